// PcxFormat: the header's parser and writer, field by field at the offsets
// drawn in PcxFormat.h, and the one decision of which layouts a full decode
// reads.
#include "PcxFormat.h"

#include <cstring>
#include <limits>

namespace pcx {

namespace {

uint16_t readLe16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

void storeLe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>(value >> 8);
}

// The largest buffer a decode makes: the image record carries sizes as
// signed 32-bit integers, and a host does its own arithmetic on them in 32
// bits.
constexpr int64_t kMaxBufferBytes = std::numeric_limits<int32_t>::max();

}  // namespace

PcxHeader parsePcxHeader(const uint8_t* bytes) {
    PcxHeader header;
    header.manufacturer = bytes[0];
    header.version = bytes[1];
    header.encoding = bytes[2];
    header.bitsPerPixel = bytes[3];
    header.windowXMin = readLe16(bytes + 4);
    header.windowYMin = readLe16(bytes + 6);
    header.windowXMax = readLe16(bytes + 8);
    header.windowYMax = readLe16(bytes + 10);
    header.hDpi = readLe16(bytes + 12);
    header.vDpi = readLe16(bytes + 14);
    std::memcpy(header.colormap, bytes + 16, sizeof header.colormap);
    header.reserved = bytes[64];
    header.nPlanes = bytes[65];
    header.bytesPerLine = readLe16(bytes + 66);
    header.paletteInfo = readLe16(bytes + 68);
    header.hScreenSize = readLe16(bytes + 70);
    header.vScreenSize = readLe16(bytes + 72);
    std::memcpy(header.filler, bytes + 74, sizeof header.filler);
    return header;
}

void writePcxHeader(const PcxHeader& header, uint8_t* bytes) {
    bytes[0] = header.manufacturer;
    bytes[1] = header.version;
    bytes[2] = header.encoding;
    bytes[3] = header.bitsPerPixel;
    storeLe16(bytes + 4, header.windowXMin);
    storeLe16(bytes + 6, header.windowYMin);
    storeLe16(bytes + 8, header.windowXMax);
    storeLe16(bytes + 10, header.windowYMax);
    storeLe16(bytes + 12, header.hDpi);
    storeLe16(bytes + 14, header.vDpi);
    std::memcpy(bytes + 16, header.colormap, sizeof header.colormap);
    bytes[64] = header.reserved;
    bytes[65] = header.nPlanes;
    storeLe16(bytes + 66, header.bytesPerLine);
    storeLe16(bytes + 68, header.paletteInfo);
    storeLe16(bytes + 70, header.hScreenSize);
    storeLe16(bytes + 72, header.vScreenSize);
    std::memcpy(bytes + 74, header.filler, sizeof header.filler);
}

// The version decides nothing: files of 256 colours or 24 bits with a
// version below 5 read as those of version 5 do. Refused: several planes of
// 2- or 4-bit samples (no two common readers agree on what they mean), one
// plane of more than 8 bits, two planes of 8 bits, and any other plane
// count.
bool variantOf(const PcxHeader& header, PcxVariant* variant) {
    const unsigned bits = header.bitsPerPixel, planes = header.nPlanes;
    if (planes == 1) {
        switch (bits) {
            case 1:
                *variant = PcxVariant::Indexed1;
                return true;
            case 2:
                *variant = PcxVariant::Indexed2;
                return true;
            case 4:
                *variant = PcxVariant::Indexed4;
                return true;
            case 8:
                *variant = PcxVariant::Indexed8;
                return true;
            default:
                return false;
        }
    }
    if (bits == 1 && planes >= 2 && planes <= kMaxBitPlanes) {
        *variant = PcxVariant::BitPlanes;
        return true;
    }
    if (bits == 8 && (planes == 3 || planes == 4)) {
        *variant = PcxVariant::TrueColour;
        return true;
    }
    return false;
}

HeaderClass classifyHeader(const PcxHeader& header, int32_t scaleShift) {
    HeaderClass answer = {DecodeFailure::None, {}};
    DecodeLayout& layout = answer.layout;
    auto refuse = [&answer](DecodeFailure why) {
        answer.failure = why;
        return answer;
    };
    if (!isPcxHeader(header)) return refuse(DecodeFailure::NotPcx);
    if (!variantOf(header, &layout.variant)) return refuse(DecodeFailure::UnreadVariant);
    const bool rgb = layout.variant == PcxVariant::TrueColour;
    layout.runLength = header.encoding == kPcxEncodingRunLength;
    layout.bitsPerPixel = header.bitsPerPixel;
    layout.planes = header.nPlanes;
    layout.sourceWidth = pictureWidth(header);
    layout.sourceHeight = pictureHeight(header);
    if (layout.sourceWidth < 1 || layout.sourceHeight < 1)
        return refuse(DecodeFailure::EmptyWindow);
    if (int64_t{header.bytesPerLine} * 8 < int64_t{layout.sourceWidth} * layout.bitsPerPixel)
        return refuse(DecodeFailure::PlaneLineTooShort);

    layout.planeBytes = header.bytesPerLine;
    layout.scanlineBytes = layout.planeBytes * header.nPlanes;
    layout.width = reducedSide(layout.sourceWidth, scaleShift);
    layout.height = reducedSide(layout.sourceHeight, scaleShift);
    layout.pictureBytes = int64_t{header.bytesPerLine} * header.nPlanes * layout.sourceHeight;
    // A row (width, or width x 4) is never longer than the whole output,
    // whose height is at least 1: bounding the buffer bounds the stride.
    const int64_t pixelBytes = int64_t{layout.width} * (rgb ? 4 : 1) * layout.height;
    if (layout.pictureBytes > kMaxBufferBytes || pixelBytes > kMaxBufferBytes)
        return refuse(DecodeFailure::TooLarge);
    layout.stride = layout.width * (rgb ? 4 : 1);
    return answer;
}

}  // namespace pcx
