// Epcx: the encoder TPcxEncoder and its buffered output file.
#include "Epcx.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/HostFile.h"

namespace pcx {

namespace {

// Written into both resolution fields.
constexpr uint16_t kDotsPerInch = 300;
// Written into PaletteInfo.
constexpr uint16_t kPaletteInfoColour = 1;

}  // namespace

// output_ removes its temporary file when it goes uncommitted.
TPcxOutputStream::~TPcxOutputStream() = default;

bool TPcxOutputStream::open(const char* fileName) {
    if (file_ != nullptr || fileName == nullptr || fileName[0] == '\0') return false;
    // The buffer first: a picture that cannot be buffered must not cost the
    // host an existing file.
    buffer_.reset(static_cast<uint8_t*>(std::malloc(kBufferSize)));
    if (!buffer_) return false;
    file_ = openHostOutput(output_, fileName);
    if (file_ == nullptr) {
        buffer_.reset();
        return false;
    }
    // The stream's own buffer would only copy every block once more.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    cursor_ = buffer_.get();
    end_ = cursor_ + kBufferSize;
    failed_ = false;
    return true;
}

void TPcxOutputStream::drain() {
    const size_t count = static_cast<size_t>(cursor_ - buffer_.get());
    if (!failed_ && count > 0 && std::fwrite(buffer_.get(), 1, count, file_) != count)
        failed_ = true;
    cursor_ = buffer_.get();
}

void TPcxOutputStream::putBytes(const uint8_t* bytes, size_t count) {
    while (count > 0) {
        if (cursor_ == end_) drain();
        size_t room = static_cast<size_t>(end_ - cursor_);
        size_t step = count < room ? count : room;
        std::memcpy(cursor_, bytes, step);
        cursor_ += step;
        bytes += step;
        count -= step;
    }
}

bool TPcxOutputStream::close() {
    if (file_ == nullptr) return false;
    drain();
    // Only a whole file takes the target's place.
    bool kept = false;
    if (failed_)
        output_.abandon();
    else
        kept = output_.commit();
    file_ = nullptr;
    buffer_.reset();
    cursor_ = end_ = nullptr;
    return kept;
}

// The run coder. A run stays open while equal bytes arrive, up to 63 of
// them; any other value, or the end-of-line mark -1, closes it.
inline void TPcxEncoder::emit(int32_t value, int32_t count) {
    // A byte with both top bits set would read as a run header, so even a
    // single one goes out as a run of one (see writeRunCode).
    stream.advanceTo(
        writeRunCode(stream.position(), static_cast<uint8_t>(value), static_cast<uint32_t>(count)));
}

inline void TPcxEncoder::put(int32_t value) {
    if (runValue < 0) {
        runValue = value;
        runLength = 1;
    } else if (value == runValue && runLength < static_cast<int32_t>(kMaxRunLength)) {
        ++runLength;
    } else {
        emit(runValue, runLength);
        runValue = value;
        runLength = 1;
    }
}

TPcxEncoder::TPcxEncoder() : image(nullptr), progress(nullptr) {}

TPcxEncoder::~TPcxEncoder() = default;

bool TPcxEncoder::canWrite(const PluginImage* picture) {
    if (picture == nullptr) return false;
    int64_t bytesPerPixel;
    if (picture->kind == ImageKindIndexed) {
        bytesPerPixel = 1;
    } else if (picture->kind == ImageKindRgb32) {
        bytesPerPixel = 4;
    } else {
        return false;
    }
    if (picture->width < 1 || picture->width > kMaxWriteWidth) return false;
    if (picture->height < 1 || picture->height > kMaxWriteHeight) return false;
    if (picture->pixels == nullptr) return false;
    const int64_t stride = picture->stride;
    if ((stride < 0 ? -stride : stride) < bytesPerPixel * picture->width) return false;
    if (picture->kind == ImageKindIndexed && picture->palette == nullptr &&
        picture->paletteCount > 0)
        return false;
    return true;
}

void TPcxEncoder::write(const PluginImage& picture) {
    image = &picture;
    if (image->kind == ImageKindIndexed) {
        writeHeader(1);
        writeIndexedScanlines();
        // The trailer follows a stopped write too, so that the scanlines
        // already written keep their colours.
        if (!stream.failed()) writePaletteTrailer();
    } else if (image->kind == ImageKindRgb32) {
        writeHeader(3);
        writeColourScanlines();
    }
}

void TPcxEncoder::writeHeader(int planes) {
    // The 16-bit fields take the low 16 bits; canWrite keeps every size in
    // range.
    const uint32_t width = static_cast<uint32_t>(image->width);
    const uint32_t height = static_cast<uint32_t>(image->height);
    PcxHeader header = {};
    header.manufacturer = kPcxManufacturer;
    header.version = kPcxVersion5;
    header.encoding = kPcxEncodingRunLength;
    header.bitsPerPixel = 8;
    header.windowXMax = static_cast<uint16_t>(width - 1);
    header.windowYMax = static_cast<uint16_t>(height - 1);
    header.hDpi = kDotsPerInch;
    header.vDpi = kDotsPerInch;
    header.nPlanes = static_cast<uint8_t>(planes);
    header.bytesPerLine = static_cast<uint16_t>((width + 1) & ~1u);
    header.paletteInfo = kPaletteInfoColour;
    uint8_t bytes[kPcxHeaderSize];
    writePcxHeader(header, bytes);
    stream.putBytes(bytes, sizeof bytes);
}

void TPcxEncoder::putPlaneLine(const uint8_t* first, uint32_t count, uint32_t step) {
    // Every byte of the line, fill included, codes to two bytes at most; the
    // codes of a window may leave a little scratch after them.
    stream.reserve(2 * (static_cast<size_t>(count) + 1) + kCodeScratch);
    // The bulk a window at a time, with the codes put would write; the last
    // values one at a time through put.
    uint32_t x = 0;
    if (count > kCodeWindow) {
        // Locals while codes are stored: a store through a byte pointer
        // could change any member, which would then be read again.
        OpenRun run = {runValue, runLength};
        uint8_t* out = stream.position();
        x = codeLineBulk(first, count, step, &out, &run);
        stream.advanceTo(out);
        runValue = run.value;
        runLength = run.length;
    }
    const uint8_t* at = first + static_cast<size_t>(x) * step;
    for (; x < count; ++x, at += step) put(*at);
    // The fill byte that makes an odd line even is coded like any pixel.
    if (count & 1) put(0);
    put(-1);
}

void TPcxEncoder::writeIndexedScanlines() {
    const uint32_t width = static_cast<uint32_t>(image->width);
    const uint32_t height = static_cast<uint32_t>(image->height);
    runValue = -1;
    runLength = -1;
    for (uint32_t r = 0; r < height && !stream.failed(); ++r) {
        if (!shouldContinue(static_cast<int32_t>(r + 1))) break;
        const uint8_t* row =
            image->pixels + static_cast<ptrdiff_t>(static_cast<int64_t>(r) * image->stride);
        putPlaneLine(row, width, 1);
    }
}

void TPcxEncoder::writeColourScanlines() {
    const uint32_t width = static_cast<uint32_t>(image->width);
    const uint32_t height = static_cast<uint32_t>(image->height);
    // Byte offsets of red, green and blue within a little-endian 0x00RRGGBB.
    static const uint32_t kPlaneOffsets[3] = {2, 1, 0};
    runValue = -1;
    runLength = -1;
    for (uint32_t r = 0; r < height && !stream.failed(); ++r) {
        if (!shouldContinue(static_cast<int32_t>(r + 1))) break;
        const uint8_t* row =
            image->pixels + static_cast<ptrdiff_t>(static_cast<int64_t>(r) * image->stride);
        for (uint32_t offset : kPlaneOffsets) putPlaneLine(row + offset, width, 4);
    }
}

void TPcxEncoder::writePaletteTrailer() {
    uint8_t trailer[kPcxTrailerSize] = {};
    trailer[0] = kPcxTrailerMarker;
    // Entries beyond the trailer's 256 are dropped; a count of 0 or less
    // leaves every entry zero and the palette unread.
    const int32_t count = std::min<int32_t>(image->paletteCount, kTrailerEntries);
    for (int32_t i = 0; i < count; ++i) storeColourValue(image->palette[i], trailer + 1 + 3 * i);
    stream.putBytes(trailer, sizeof trailer);
}

}  // namespace pcx
