#include "host/Refusal.h"

#include <cstdlib>
#include <cstring>

namespace opxhost {

namespace {

// The report's labels, as the decoder writes them (Dpcx.cpp), with the
// field each one gives.
struct ReportField {
    const char* label;
    void (*store)(pcx::PcxHeader&, unsigned);
};

template <typename Field>
void put(Field& field, unsigned value) {
    field = static_cast<Field>(value);
}

const ReportField kReportFields[] = {
    {"Manufacturer(ID)", [](pcx::PcxHeader& h, unsigned v) { put(h.manufacturer, v); }},
    {"Version", [](pcx::PcxHeader& h, unsigned v) { put(h.version, v); }},
    {"Encoding", [](pcx::PcxHeader& h, unsigned v) { put(h.encoding, v); }},
    {"BItsPerPixel", [](pcx::PcxHeader& h, unsigned v) { put(h.bitsPerPixel, v); }},
    {"WindowXMin", [](pcx::PcxHeader& h, unsigned v) { put(h.windowXMin, v); }},
    {"WindowYMIn", [](pcx::PcxHeader& h, unsigned v) { put(h.windowYMin, v); }},
    {"WindowXMax", [](pcx::PcxHeader& h, unsigned v) { put(h.windowXMax, v); }},
    {"WindowYMax", [](pcx::PcxHeader& h, unsigned v) { put(h.windowYMax, v); }},
    {"HDpi", [](pcx::PcxHeader& h, unsigned v) { put(h.hDpi, v); }},
    {"VDpi", [](pcx::PcxHeader& h, unsigned v) { put(h.vDpi, v); }},
    {"NPlanes", [](pcx::PcxHeader& h, unsigned v) { put(h.nPlanes, v); }},
    {"BytesPerLine", [](pcx::PcxHeader& h, unsigned v) { put(h.bytesPerLine, v); }},
    {"PaletteInfoValue", [](pcx::PcxHeader& h, unsigned v) { put(h.paletteInfo, v); }},
    {"HScreenSize", [](pcx::PcxHeader& h, unsigned v) { put(h.hScreenSize, v); }},
    {"VScreenSize", [](pcx::PcxHeader& h, unsigned v) { put(h.vScreenSize, v); }},
};
constexpr size_t kFieldCount = sizeof kReportFields / sizeof kReportFields[0];

std::string number(unsigned value) {
    return std::to_string(value);
}

std::string bitsText(unsigned bits) {
    return number(bits) + (bits == 1 ? " bit" : " bits");
}

// What the pixels are, for the layouts the plug-in reads: "16 colours",
// "24-bit colour"; empty for the others.
std::string coloursText(const pcx::PcxHeader& header) {
    pcx::PcxVariant variant;
    if (!pcx::variantOf(header, &variant)) return {};
    switch (variant) {
        case pcx::PcxVariant::TrueColour:
            return hasAlphaPlane(header) ? "24-bit colour and alpha" : "24-bit colour";
        case pcx::PcxVariant::BitPlanes:
            return number(1u << header.nPlanes) + " colours";
        default:
            return number(1u << header.bitsPerPixel) + " colours";
    }
}

}  // namespace

std::optional<pcx::PcxHeader> headerFromReport(const std::string& report) {
    pcx::PcxHeader header;
    std::memset(&header, 0, sizeof header);
    bool seen[kFieldCount] = {};
    size_t count = 0;
    size_t at = 0;
    while (at < report.size()) {
        size_t end = report.find('\n', at);
        if (end == std::string::npos) end = report.size();
        const std::string line = report.substr(at, end - at);
        at = end + 1;
        const size_t colon = line.find(" : ");
        if (colon == std::string::npos) continue;
        const std::string label = line.substr(0, colon);
        const std::string value = line.substr(colon + 3);
        char* stop = nullptr;
        const unsigned long parsed = std::strtoul(value.c_str(), &stop, 10);
        if (value.empty() || *stop != '\0' || parsed > 0xFFFF) continue;
        for (size_t i = 0; i < kFieldCount; ++i) {
            if (seen[i] || label != kReportFields[i].label) continue;
            kReportFields[i].store(header, static_cast<unsigned>(parsed));
            seen[i] = true;
            ++count;
        }
    }
    if (count != kFieldCount) return std::nullopt;
    return header;
}

std::optional<pcx::PcxHeader> headerFromFile(std::FILE* file) {
    uint8_t bytes[pcx::kPcxHeaderSize];
    if (!file || std::fread(bytes, 1, sizeof bytes, file) != sizeof bytes) return std::nullopt;
    return pcx::parsePcxHeader(bytes);
}

bool hasAlphaPlane(const pcx::PcxHeader& header) {
    pcx::PcxVariant variant;
    return pcx::variantOf(header, &variant) && variant == pcx::PcxVariant::TrueColour &&
           header.nPlanes == 4;
}

std::string storageText(const pcx::PcxHeader& header) {
    const unsigned planes = header.nPlanes;
    std::string text = planes == 0 ? "no planes"
                                   : number(planes) + (planes == 1 ? " plane" : " planes") +
                                         " of " + bitsText(header.bitsPerPixel);
    if (header.encoding == pcx::kPcxEncodingNone) text += ", uncompressed";
    return text;
}

std::string layoutText(const pcx::PcxHeader& header) {
    if (!pcx::isPcxHeader(header))
        return "Encoding " + number(header.encoding) +
               ", neither uncompressed (0) nor run-length coded (1)";
    const std::string colours = coloursText(header);
    return (colours.empty() ? "" : colours + " in ") + storageText(header);
}

Refusal explainRefusal(const pcx::PcxHeader& header) {
    const pcx::HeaderClass answer = pcx::classifyHeader(header, 0);
    const std::string layout = layoutText(header);
    switch (answer.failure) {
        case pcx::DecodeFailure::UnreadVariant:
            return {kExitPcxRefused, layout + ", a layout the plug-in does not read"};
        case pcx::DecodeFailure::EmptyWindow:
            return {kExitPcxRefused, "the picture's window is empty (" + layout + "; WindowXMin " +
                                         number(header.windowXMin) + " to WindowXMax " +
                                         number(header.windowXMax) + ", WindowYMin " +
                                         number(header.windowYMin) + " to WindowYMax " +
                                         number(header.windowYMax) + ")"};
        case pcx::DecodeFailure::PlaneLineTooShort:
            return {kExitPcxRefused, "the plane lines are too short for a row (" + layout +
                                         "; BytesPerLine " + number(header.bytesPerLine) + " for " +
                                         std::to_string(pcx::pictureWidth(header)) + " pixels of " +
                                         bitsText(header.bitsPerPixel) + ")"};
        case pcx::DecodeFailure::TooLarge:
            return {kExitPcxRefused, "the picture is too large (" + layout + ", " +
                                         std::to_string(pcx::pictureWidth(header)) + " x " +
                                         std::to_string(pcx::pictureHeight(header)) +
                                         "): its decoded size passes 2 GiB"};
        case pcx::DecodeFailure::NotPcx:
            return {kExitPcxRefused, "not a run-length coded PCX header (" + layout + ")"};
        case pcx::DecodeFailure::None:
            return {kExitOutOfMemory, layout +
                                          ", a layout the plug-in reads, but memory ran out "
                                          "while it decoded the picture"};
        default:
            break;
    }
    return {kExitPcxRefused, layout};
}

std::string explainNotPcx(const std::optional<pcx::PcxHeader>& header, bool pcxName) {
    if (!header) return pcxName ? "it is shorter than a PCX header (128 bytes)" : "";
    if (header->manufacturer != pcx::kPcxManufacturer)
        return pcxName ? "it does not begin with a PCX header (the first byte is " +
                             number(header->manufacturer) + ", not 10)"
                       : "";
    if (!pcx::isPcxHeader(*header))
        return layoutText(*header) + ": the plug-in reads PCX files of those two encodings only";
    return "";
}

}  // namespace opxhost
