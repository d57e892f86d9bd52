// Epcx: the encoder TPcxEncoder and its buffered output file.
#include "Epcx.h"

#include <cstring>
#include <new>

#include "platform/HostFile.h"

namespace pcx {

namespace {

constexpr size_t kHeaderSize = 128;
// The byte that opens the colour table trailer.
constexpr uint8_t kTrailerMark = 12;
constexpr size_t kTrailerSize = 1 + 3 * kTrailerEntries;
// Written into both resolution fields.
constexpr uint16_t kDotsPerInch = 300;

void storeLe16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

}  // namespace

TPcxOutputStream::~TPcxOutputStream() {
    if (file_ != nullptr) std::fclose(file_);
}

bool TPcxOutputStream::open(const char* fileName) {
    if (file_ != nullptr || fileName == nullptr || fileName[0] == '\0') return false;
    // The buffer first: a picture that cannot be buffered must not cost the
    // host an existing file.
    buffer_.reset(new (std::nothrow) uint8_t[kBufferSize]);
    if (!buffer_) return false;
    file_ = openHostFile(fileName, HostFileMode::WriteBinary);
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
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    buffer_.reset();
    cursor_ = end_ = nullptr;
    return closed && !failed_;
}

}  // namespace pcx

// The run coder. A run stays open while equal bytes arrive, up to 63 of
// them; any other value, or the end-of-line mark -1, closes it.
inline void TPcxEncoder::emit(int32_t value, int32_t count) {
    const uint8_t data = static_cast<uint8_t>(value);
    // A byte with both top bits set would read as a run header, so even a
    // single one goes out as a run of one.
    if (count == 1 && (data & 0xC0) != 0xC0) {
        stream.putByte(data);
    } else {
        stream.putPair(static_cast<uint8_t>(0xC0 | count), data);
    }
}

inline void TPcxEncoder::put(int32_t value) {
    if (runValue < 0) {
        runValue = value;
        runLength = 1;
    } else if (value == runValue && runLength < pcx::kMaxRunLength) {
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
    if (picture->width < 1 || picture->width > pcx::kMaxWriteWidth) return false;
    if (picture->height < 1 || picture->height > pcx::kMaxWriteHeight) return false;
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
    const uint32_t width = static_cast<uint32_t>(image->width);
    const uint32_t height = static_cast<uint32_t>(image->height);
    uint8_t header[pcx::kHeaderSize] = {};
    header[0] = 10;  // Manufacturer
    header[1] = 5;   // Version
    header[2] = 1;   // Encoding: run-length
    header[3] = 8;   // BitsPerPixel
    pcx::storeLe16(header + 8, width - 1);
    pcx::storeLe16(header + 10, height - 1);
    pcx::storeLe16(header + 12, pcx::kDotsPerInch);
    pcx::storeLe16(header + 14, pcx::kDotsPerInch);
    header[65] = static_cast<uint8_t>(planes);
    pcx::storeLe16(header + 66, (width + 1) & ~1u);
    pcx::storeLe16(header + 68, 1);  // PaletteInfo
    stream.putBytes(header, sizeof header);
}

void TPcxEncoder::putPlaneLine(const uint8_t* first, uint32_t count, uint32_t step) {
    // Every byte of the line, fill included, codes to two bytes at most.
    stream.reserve(2 * (static_cast<size_t>(count) + 1));
    const uint8_t* at = first;
    for (uint32_t x = 0; x < count; ++x, at += step) put(*at);
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
    uint8_t trailer[pcx::kTrailerSize] = {};
    trailer[0] = pcx::kTrailerMark;
    // Entries beyond the trailer's 256 are dropped; a count of 0 or less
    // leaves every entry zero and the palette unread.
    int32_t count = image->paletteCount;
    if (count > pcx::kTrailerEntries) count = pcx::kTrailerEntries;
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t entry = image->palette[i];
        trailer[1 + 3 * i] = static_cast<uint8_t>((entry >> 16) & 0xFF);
        trailer[2 + 3 * i] = static_cast<uint8_t>((entry >> 8) & 0xFF);
        trailer[3 + 3 * i] = static_cast<uint8_t>(entry & 0xFF);
    }
    stream.putBytes(trailer, sizeof trailer);
}
