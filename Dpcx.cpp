// Dpcx: the decoder TPcxDecoder.
#include "Dpcx.h"

#include "platform/HostFile.h"
#include "platform/LargeBuffer.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace pcx {

namespace {

// Codes decoded between two expansions of the rows they complete: even at
// the longest runs they decode to under 512 KiB, so the scanlines just
// decoded are still in the second-level cache when they are expanded.
// (Pieces end between codes, never inside a run, which would cut it.)
constexpr size_t kDecodePiece = 16 * 1024;
// raw holds the scanlines decoded and not yet expanded: for a full decode as
// many whole scanlines as fit here (at least one), for a preview the one
// scanline being decoded. With the read block this keeps a decode's working
// memory within 1 MiB beside its pixel buffer, however large the picture.
constexpr size_t kRawWindowBytes = 512 * 1024;

constexpr uint32_t kBlack = 0x000000;
constexpr uint32_t kWhite = 0xFFFFFF;

constexpr char kReportHeading[] = "* PCX FILE (decoder records) *\n\n";
constexpr char kReportFailure[] = "ERROR DETECTED.\n";
// The report's lines, in order, each followed by its field's value.
constexpr size_t kReportLineCount = 15;
constexpr const char* kReportLabels[kReportLineCount] = {
    "Manufacturer(ID) : ",
    "Version : ",
    "Encoding : ",
    "BItsPerPixel : ",
    "WindowXMin : ",
    "WindowYMIn : ",
    "WindowXMax : ",
    "WindowYMax : ",
    "HDpi : ",
    "VDpi : ",
    "NPlanes : ",
    "BytesPerLine : ",
    "PaletteInfoValue : ",
    "HScreenSize : ",
    "VScreenSize : ",
};
// A field holds at most 16 bits: five digits.
constexpr size_t kMaxValueDigits = 5;

constexpr size_t longestReport() {
    size_t length = Text::lengthOf(kReportHeading) + Text::lengthOf(kReportFailure);
    for (const char* label : kReportLabels) length += Text::lengthOf(label) + kMaxValueDigits + 1;
    return length;
}
static_assert(longestReport() <= ReportText::kCapacity, "the longest report fits the decoder");

// Positions stream back bytes before its end. False, with the position
// unspecified, when the file is shorter than that or cannot seek.
bool seekBeforeEnd(std::FILE* stream, int64_t back) {
#if defined(_WIN32)
    if (_fseeki64(stream, 0, SEEK_END) != 0) return false;
    const int64_t size = _ftelli64(stream);
    return size >= back && _fseeki64(stream, size - back, SEEK_SET) == 0;
#else
    if (fseeko(stream, 0, SEEK_END) != 0) return false;
    const int64_t size = ftello(stream);
    return size >= back && fseeko(stream, static_cast<off_t>(size - back), SEEK_SET) == 0;
#endif
}

// --- reduced rows of a preview: every (1 << shift)th source column ------------

void interleavePlanesReduced(const uint8_t* red, const uint8_t* green, const uint8_t* blue,
                             uint32_t* out, size_t count, int shift) {
    for (size_t j = 0; j < count; ++j) {
        const size_t x = j << shift;
        out[j] = uint32_t{red[x]} << 16 | uint32_t{green[x]} << 8 | blue[x];
    }
}

void unpackRowReduced(int bits, const uint8_t* line, uint8_t* out, size_t count, int shift) {
    const unsigned perByte = 8u / static_cast<unsigned>(bits);
    const unsigned mask = (1u << bits) - 1;
    for (size_t j = 0; j < count; ++j) {
        const size_t x = j << shift;
        const unsigned place = static_cast<unsigned>(x % perByte) + 1;
        out[j] = static_cast<uint8_t>((line[x / perByte] >> (8 - bits * place)) & mask);
    }
}

void gatherRowReduced(const uint8_t* line, uint8_t* out, size_t count, int shift) {
    for (size_t j = 0; j < count; ++j) out[j] = line[j << shift];
}

void combineBitPlanesReduced(int planes, const uint8_t* line, size_t planeBytes, uint8_t* out,
                             size_t count, int shift) {
    for (size_t j = 0; j < count; ++j) {
        const size_t x = j << shift;
        const unsigned bit = 7 - static_cast<unsigned>(x % 8);
        unsigned value = 0;
        for (int p = 0; p < planes; ++p)
            value |= ((line[static_cast<size_t>(p) * planeBytes + x / 8] >> bit) & 1u) << p;
        out[j] = static_cast<uint8_t>(value);
    }
}

// An uncompressed file's data: the next bytes are the decoded ones. Takes
// as many as both sides have, stored at out, or only counted when out is
// null; nothing is ever cut.
RunLengthResult takeStored(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
    const size_t count = std::min(inSize, outSize);
    if (out) std::memcpy(out, in, count);
    return {count, count, 0};
}

}  // namespace

void ReportText::append(const char* text) {
    while (*text != '\0' && size_ < kCapacity) text_[size_++] = *text++;
    text_[size_] = '\0';
}

void ReportText::appendDecimal(unsigned value) {
    char digits[10];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    char text[sizeof digits + 1];
    for (size_t i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
    text[count] = '\0';
    append(text);
}

TPcxDecoder::TPcxDecoder()
    : stream(nullptr),
      header(),
      raw(nullptr),
      report(),
      pixels(nullptr),
      sourceWidth(0),
      sourceHeight(0),
      width(0),
      height(0),
      stride(0),
      trueColour(false),
      paletteCount(0),
      palette(nullptr),
      headerOnly(false),
      preview(false),
      previewMaxWidth(64),
      previewMaxHeight(64),
      scale(1),
      scaleShift(0),
      scaleMask(0),
      failure(DecodeFailure::None),
      layout_() {}

TPcxDecoder::~TPcxDecoder() {
    closeFile();
    releaseBuffers();
}

uint8_t* TPcxDecoder::detachPixels() {
    uint8_t* detached = pixels;
    pixels = nullptr;
    return detached;
}

uint32_t* TPcxDecoder::detachPalette() {
    uint32_t* detached = palette;
    if (detached) {
        palette = nullptr;
        paletteCount = 0;
    }
    return detached;
}

uint8_t* TPcxDecoder::rowAt(int32_t row) const {
    return pixels + static_cast<ptrdiff_t>(row) * stride;
}

void TPcxDecoder::releaseBuffers() {
    std::free(pixels);
    pixels = nullptr;
    std::free(palette);
    palette = nullptr;
    std::free(raw);
    raw = nullptr;
}

bool TPcxDecoder::openFile(const char* fileName) {
    stream = openHostFile(fileName);
    if (!stream) return false;
    // The data is read in large blocks into a buffer of our own: a second
    // buffer inside the stream would only add a copy.
    std::setvbuf(stream, nullptr, _IONBF, 0);
    return true;
}

void TPcxDecoder::closeFile() {
    if (stream) std::fclose(stream);
    stream = nullptr;
}

bool TPcxDecoder::fail(DecodeFailure why) {
    failure = why;
    return false;
}

bool TPcxDecoder::decode(const char* fileName) {
    // The file is closed and raw released on every way out.
    struct EndOfDecode {
        TPcxDecoder& decoder;
        ~EndOfDecode() {
            decoder.closeFile();
            std::free(decoder.raw);
            decoder.raw = nullptr;
        }
    } endOfDecode{*this};

    failure = DecodeFailure::None;
    const bool opened = openFile(fileName) || fail(DecodeFailure::FileNotOpened);
    releaseBuffers();
    report.clear();
    report.append(kReportHeading);

    // Reading the data also expands the pixels: each output row as soon as
    // its source scanline is decoded.
    const bool decoded =
        opened && readHeader() && (headerOnly || (classify() && readData() && choosePalette()));
    if (!decoded) {
        report.append(kReportFailure);
        releaseBuffers();
        paletteCount = 0;
    }
    return decoded;
}

// Fails when the file holds fewer than 128 bytes or its header is not a
// run-length coded ZSoft header. Sets the picture size and the reduction.
bool TPcxDecoder::readHeader() {
    uint8_t bytes[kPcxHeaderSize];
    if (std::fread(bytes, 1, sizeof bytes, stream) != sizeof bytes)
        return fail(DecodeFailure::HeaderTooShort);
    header = parsePcxHeader(bytes);
    if (!isPcxHeader(header)) return fail(DecodeFailure::NotPcx);
    appendHeaderReport();
    sourceWidth = pictureWidth(header);
    sourceHeight = pictureHeight(header);
    chooseScale();
    return true;
}

void TPcxDecoder::appendHeaderReport() {
    const unsigned values[] = {
        header.manufacturer, header.version,     header.encoding,    header.bitsPerPixel,
        header.windowXMin,   header.windowYMin,  header.windowXMax,  header.windowYMax,
        header.hDpi,         header.vDpi,        header.nPlanes,     header.bytesPerLine,
        header.paletteInfo,  header.hScreenSize, header.vScreenSize,
    };
    static_assert(sizeof values / sizeof values[0] == kReportLineCount, "one value a line");
    for (size_t line = 0; line < kReportLineCount; ++line) {
        report.append(kReportLabels[line]);
        report.appendDecimal(values[line]);
        report.append("\n");
    }
}

// scale is the largest power of two at which one side, divided by it, still
// reaches the preview box (1 when the picture is below the box on both
// sides). A box side below 1 counts as 1: with 0 the doubling never stops.
void TPcxDecoder::chooseScale() {
    scale = 1;
    scaleShift = 0;
    if (preview) {
        const int32_t boxWidth = std::max<int32_t>(previewMaxWidth, 1);
        const int32_t boxHeight = std::max<int32_t>(previewMaxHeight, 1);
        // Sides are at most 65536, so scale stays at or below 2^17.
        while (sourceWidth / scale >= boxWidth || sourceHeight / scale >= boxHeight) {
            scale *= 2;
            ++scaleShift;
        }
        if (scale > 1) {
            scale /= 2;
            --scaleShift;
        }
    }
    scaleMask = scale - 1;
    width = preview ? reducedSide(sourceWidth, scaleShift) : sourceWidth;
    height = preview ? reducedSide(sourceHeight, scaleShift) : sourceHeight;
}

// The one question of what the header is; the later steps take its answer.
bool TPcxDecoder::classify() {
    const HeaderClass answer = classifyHeader(header, scaleShift);
    if (answer.failure != DecodeFailure::None) return fail(answer.failure);
    layout_ = answer.layout;
    return true;
}

// Decodes the codes after the header (or, uncompressed, takes the bytes as
// they are) and expands the rows as it goes. The picture's decoded bytes
// are a sequence of segments, each stored in raw or skipped: a full decode
// stores every scanline, a window of them at a time; a preview stores each
// scanline it samples (every scale-th) and skips the codes of the others
// without storing them. The codes of each read block are decoded a piece at
// a time, and the rows whose scanlines a piece completed are expanded at
// once, while those scanlines are still in cache. A run that the end of a
// segment cuts carries on into the next one.
//
// Bytes that a short file never reaches are 0: the rest of the segment being
// stored (scratch included) is cleared and expanded, and the output rows
// after it are cleared. A run header with no value byte before the end of
// the file adds nothing. Fails only when a buffer cannot be allocated.
bool TPcxDecoder::readData() {
    const size_t scanlineBytes = layout_.scanlineBytes;
    const int32_t scanlines = layout_.sourceHeight;
    // A whole 8-bit picture whose scanlines are exactly its rows is decoded
    // straight into the pixel buffer, which then serves as the one window,
    // and nothing is expanded.
    const bool direct = layout_.variant == PcxVariant::Indexed8 && scaleShift == 0 &&
                        scanlineBytes == static_cast<size_t>(width);
    const int32_t windowScanlines =
        direct           ? scanlines
        : scaleShift > 0 ? 1
                         : static_cast<int32_t>(std::min<size_t>(
                               static_cast<size_t>(scanlines),
                               std::max<size_t>(1, kRawWindowBytes / scanlineBytes)));
    if (!direct)
        raw = static_cast<uint8_t*>(
            std::malloc(scanlineBytes * static_cast<size_t>(windowScanlines)));
    const std::unique_ptr<uint8_t, FreeMemory> block(
        static_cast<uint8_t*>(std::malloc(kReadBlockSize)));
    if ((!direct && !raw) || !block || !allocatePixels()) return fail(DecodeFailure::OutOfMemory);
    uint8_t* const window = direct ? pixels : raw;

    int32_t first = 0;  // the segment's first source scanline
    bool store = true;  // whether the segment is stored in raw
    size_t length = 0;  // the segment's bytes
    size_t done = 0;    // bytes of the segment decoded
    int32_t rowsDone = 0;
    // The next segment from first on: stored scanlines up to the window's
    // size (a preview's sampled scanline alone), or skipped ones up to the
    // next sampled scanline.
    auto beginSegment = [&]() {
        done = 0;
        store = (first & scaleMask) == 0;
        const int32_t end = store ? std::min(scanlines, first + windowScanlines)
                                  : std::min(scanlines, (first | scaleMask) + 1);
        length = static_cast<size_t>(end - first) * scanlineBytes;
    };
    // The output rows of the segment's scanlines that are complete.
    auto expandComplete = [&]() {
        const int32_t complete = first + static_cast<int32_t>(done / scanlineBytes);
        for (; rowsDone < height && (rowsDone << scaleShift) < complete; ++rowsDone)
            if (!direct)
                expandRow(rowsDone, raw + static_cast<size_t>((rowsDone << scaleShift) - first) *
                                              scanlineBytes);
    };
    auto endSegment = [&]() {
        first += static_cast<int32_t>(length / scanlineBytes);
        if (first < scanlines) beginSegment();
    };
    beginSegment();

    size_t available = 0;  // bytes in block
    size_t consumed = 0;   // of them, taken
    size_t cutCount = 0;   // bytes of a run the last segment's end cut
    uint8_t cutValue = 0;
    while (first < scanlines) {
        if (cutCount > 0) {  // a run carrying on from the segment before
            const size_t fits = std::min(cutCount, length - done);
            if (store) std::memset(window + done, cutValue, fits);
            done += fits;
            cutCount -= fits;
        } else {
            // A piece of the block's codes (all of them when skipping, which
            // leaves nothing to expand); a run header left whole at its end
            // (without its value) waits for the next piece or block.
            const size_t piece =
                store ? std::min(available - consumed, kDecodePiece) : available - consumed;
            const uint8_t* codes = block.get() + consumed;
            const RunLengthResult result =
                !layout_.runLength
                    ? takeStored(codes, piece, store ? window + done : nullptr, length - done)
                : store ? decodeRunLength(codes, piece, window + done, length - done)
                        : skipRunLength(codes, piece, length - done);
            consumed += result.consumed;
            done += result.written;
            cutCount = result.cut;
            if (cutCount > 0) cutValue = codes[result.consumed - 1];
            if (result.consumed == 0) {
                // At most a run header's first byte is left: it goes in front
                // of the next block.
                const size_t left = available - consumed;
                if (left > 0) block.get()[0] = block.get()[consumed];
                const size_t got = std::fread(block.get() + left, 1, kReadBlockSize - left, stream);
                // The end of the file, or a read error, which counts as one.
                if (got == 0) break;
                available = left + got;
                consumed = 0;
            }
        }
        // Scratch lies only past done, in a scanline not yet complete.
        if (store) expandComplete();
        if (done == length) endSegment();
    }
    if (first < scanlines && store) {
        std::memset(window + done, 0, length - done);
        done = length;
        expandComplete();
    }
    clearRows(rowsDone);
    return true;
}

// Picks the colour table of the variant. Fails only when the table cannot be
// allocated.
bool TPcxDecoder::choosePalette() {
    trueColour = layout_.variant == PcxVariant::TrueColour;
    switch (layout_.variant) {
        case PcxVariant::TrueColour:
            paletteCount = 0;
            return true;
        case PcxVariant::Indexed8:
            return readTrailer();
        case PcxVariant::Indexed1:
            // Two-colour files are black and white whatever their colormap
            // says.
            palette = static_cast<uint32_t*>(std::calloc(2, sizeof(uint32_t)));
            if (!palette) return fail(DecodeFailure::OutOfMemory);
            palette[0] = kBlack;
            palette[1] = kWhite;
            paletteCount = 2;
            return true;
        case PcxVariant::Indexed2:
        case PcxVariant::Indexed4:
            return readColormap(1 << layout_.bitsPerPixel);
        case PcxVariant::BitPlanes:
            return readColormap(1 << layout_.planes);
    }
    return true;
}

// The header's sixteen colours, of which the first count are the picture's.
// Fails only when the table cannot be allocated.
bool TPcxDecoder::readColormap(int32_t count) {
    palette = static_cast<uint32_t*>(std::calloc(kColormapEntries, sizeof(uint32_t)));
    if (!palette) return fail(DecodeFailure::OutOfMemory);
    for (int entry = 0; entry < kColormapEntries; ++entry)
        palette[entry] = colourValue(header.colormap + 3 * entry);
    paletteCount = count;
    return true;
}

// The 256-colour table at the end of the file, when the byte 769 bytes
// before the end is 12. A file too short to hold it, or without the marker,
// has no table: palette stays null and paletteCount 0.
bool TPcxDecoder::readTrailer() {
    paletteCount = 0;
    uint8_t trailer[kPcxTrailerSize];
    if (!seekBeforeEnd(stream, kPcxTrailerSize)) return true;
    if (std::fread(trailer, 1, sizeof trailer, stream) != sizeof trailer) return true;
    if (trailer[0] != kPcxTrailerMarker) return true;

    palette = static_cast<uint32_t*>(std::calloc(kTrailerEntries, sizeof(uint32_t)));
    if (!palette) return fail(DecodeFailure::OutOfMemory);
    for (int entry = 0; entry < kTrailerEntries; ++entry)
        palette[entry] = colourValue(trailer + 1 + 3 * entry);
    paletteCount = kTrailerEntries;
    return true;
}

// The output buffer: one 0x00RRGGBB word a pixel for three planes, one byte
// otherwise. Fails only when it cannot be allocated.
bool TPcxDecoder::allocatePixels() {
    stride = layout_.stride;
    pixels = static_cast<uint8_t*>(allocateLarge(static_cast<size_t>(stride) * height));
    return pixels != nullptr;
}

// Output row row from its source scanline (source row row * scale): output
// column j is source column j * scale, the top-left pixel of each scale x
// scale block.
void TPcxDecoder::expandRow(int32_t row, const uint8_t* scanline) {
    const size_t count = static_cast<size_t>(width);
    const int shift = scaleShift;
    uint8_t* out = rowAt(row);
    switch (layout_.variant) {
        case PcxVariant::TrueColour: {  // an alpha plane after blue is skipped
            const uint8_t* red = scanline;
            const uint8_t* green = red + layout_.planeBytes;
            const uint8_t* blue = green + layout_.planeBytes;
            uint32_t* words = reinterpret_cast<uint32_t*>(out);
            if (shift == 0)
                interleavePlanes(red, green, blue, words, count);
            else
                interleavePlanesReduced(red, green, blue, words, count, shift);
            return;
        }
        case PcxVariant::Indexed8:  // a row is the start of its scanline
            if (shift == 0)
                std::memcpy(out, scanline, count);
            else
                gatherRowReduced(scanline, out, count, shift);
            return;
        case PcxVariant::Indexed1:
        case PcxVariant::Indexed2:
        case PcxVariant::Indexed4:
            if (shift == 0)
                unpackRow(layout_.bitsPerPixel, scanline, out, count);
            else
                unpackRowReduced(layout_.bitsPerPixel, scanline, out, count, shift);
            return;
        case PcxVariant::BitPlanes:
            if (shift == 0)
                combineBitPlanes(layout_.planes, scanline, layout_.planeBytes, out, count);
            else
                combineBitPlanesReduced(layout_.planes, scanline, layout_.planeBytes, out, count,
                                        shift);
            return;
    }
}

// Output rows from first on, whose scanlines the file never reached: all 0.
void TPcxDecoder::clearRows(int32_t first) {
    if (first < height)
        std::memset(rowAt(first), 0,
                    static_cast<size_t>(height - first) * static_cast<size_t>(stride));
}

}  // namespace pcx
