// Epcx: the encoder TPcxEncoder and its buffered output file.
#include "Epcx.h"

#include <cstring>
#include <new>

#include "platform/HostFile.h"
#include "platform/Ssse3.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// --- run coding a window at a time --------------------------------------------

constexpr uint8_t kRunHeader = 0xC0;

// The code for count (1 to 63) copies of value, stored at at; returns the
// position after it. A single value that cannot be mistaken for a run
// header goes out alone, anything else as the run header 0xC0 + count and
// the value. Both bytes are stored whatever the code's length, so that no
// branch depends on the data; after a lone value the second is scratch,
// which the next code overwrites (room for two bytes a code is reserved).
inline uint8_t* writeCode(uint8_t* at, uint8_t value, uint32_t count) {
    const bool alone = count == 1 && (value & kRunHeader) != kRunHeader;
    at[0] = alone ? value : static_cast<uint8_t>(kRunHeader | count);
    at[1] = value;
    return at + (alone ? 1 : 2);
}

// The codes of count single values (runs of one), at out; returns the
// position after them. Portable: one code at a time.
uint8_t* writeSinglesPortable(uint8_t* out, const uint8_t* values, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) out = writeCode(out, values[i], 1);
    return out;
}

#if PCX_HAS_SSSE3_KERNEL
// For each 8-bit mask of the values among eight that are 0xC0 or above:
// the byte shuffle that spreads the eight values (lanes 0-7) into their
// codes, taking the run header 0xC1 from lane 8 before each marked one, and
// the codes' length.
struct SinglesTables {
    uint8_t order[256][16];
    uint8_t length[256];
};

constexpr uint8_t kHeaderLane = 8;

constexpr SinglesTables makeSinglesTables() {
    SinglesTables tables = {};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned length = 0;
        for (unsigned value = 0; value < 8; ++value) {
            if ((mask >> value) & 1) tables.order[mask][length++] = kHeaderLane;
            tables.order[mask][length++] = static_cast<uint8_t>(value);
        }
        tables.length[mask] = static_cast<uint8_t>(length);
    }
    return tables;
}

constexpr SinglesTables kSinglesTables = makeSinglesTables();

// Eight values at a time, each group's codes stored as 16 bytes whatever
// their length: up to 8 bytes of scratch may follow the last code.
__attribute__((target("ssse3"))) uint8_t* writeSinglesSsse3(uint8_t* out, const uint8_t* values,
                                                            uint32_t count) {
    const __m128i header = _mm_set1_epi8(static_cast<char>(kRunHeader | 1));
    uint32_t i = 0;
    for (; count - i >= 8; i += 8) {
        const __m128i group = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(values + i));
        // (v & v << 1) has bit 7 of a byte set exactly when its bits 7 and 6
        // are; the 16-bit shift carries a low byte's bit 7 only into bit 0.
        const unsigned marked = static_cast<unsigned>(_mm_movemask_epi8(
                                    _mm_and_si128(group, _mm_slli_epi16(group, 1)))) &
                                0xFF;
        const __m128i order =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSinglesTables.order[marked]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_shuffle_epi8(_mm_unpacklo_epi64(group, header), order));
        out += kSinglesTables.length[marked];
    }
    return writeSinglesPortable(out, values + i, count - i);
}
#endif

inline uint8_t* writeSingles(uint8_t* out, const uint8_t* values, uint32_t count) {
#if PCX_HAS_SSSE3_KERNEL
    static const bool hasSsse3 = processorHasSsse3();
    if (hasSsse3) return writeSinglesSsse3(out, values, count);
#endif
    return writeSinglesPortable(out, values, count);
}

// Values are scanned in windows of 64, one bit of a mask per value.
constexpr uint32_t kScanWindow = 64;

inline unsigned lowestBit(uint64_t mask) {
    return static_cast<unsigned>(__builtin_ctzll(mask));
}

#if !defined(__SSE2__)
// Bit 7 of each byte where a and b hold the same byte, no other bit: a
// byte of a ^ b is 0 exactly when adding 0x7F to its low seven bits leaves
// bit 7 clear and its own bit 7 is clear too. No carry crosses bytes.
uint64_t equalBytes(uint64_t a, uint64_t b) {
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    const uint64_t difference = a ^ b;
    return ~(((difference & kLow7) + kLow7) | difference) & ~kLow7;
}
#endif

// Bit i set when values[i] equals values[i + 1], for i from 0 to 63: reads
// values[0..64].
uint64_t sameAsNext(const uint8_t* values) {
    uint64_t mask = 0;
#if defined(__SSE2__)
    for (int part = 0; part < 4; ++part) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + 16 * part));
        const __m128i next =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + 16 * part + 1));
        mask |= static_cast<uint64_t>(
                    static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, next))))
                << (16 * part);
    }
#else
    for (int word = 0; word < 8; ++word) {
        uint64_t here, next;
        std::memcpy(&here, values + 8 * word, 8);
        std::memcpy(&next, values + 8 * word + 1, 8);
        // Each byte's bit 7, gathered into the top byte by one multiply.
        const uint64_t equal = equalBytes(here, next) >> 7;
        mask |= (equal * 0x0102040810204080ull >> 56) << (8 * word);
    }
#endif
    return mask;
}

// Byte 0 of each of the 65 32-bit pixels at first (one plane's values,
// first pointing at that plane's byte of the first pixel) into values[0..64].
void gatherPlane(const uint8_t* first, uint8_t* values) {
#if defined(__SSE2__)
    // Sixteen pixels at a time: keep the low byte of each 32-bit lane and
    // pack them down; the last load ends within pixel 64's word.
    const __m128i lowByte = _mm_set1_epi32(0xFF);
    for (int part = 0; part < 4; ++part) {
        const __m128i* from = reinterpret_cast<const __m128i*>(first + 64 * part);
        const __m128i a = _mm_and_si128(_mm_loadu_si128(from), lowByte);
        const __m128i b = _mm_and_si128(_mm_loadu_si128(from + 1), lowByte);
        const __m128i c = _mm_and_si128(_mm_loadu_si128(from + 2), lowByte);
        const __m128i d = _mm_and_si128(_mm_loadu_si128(from + 3), lowByte);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(values + 16 * part),
                         _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
    }
#else
    for (uint32_t i = 0; i < kScanWindow; ++i) values[i] = first[4 * i];
#endif
    values[kScanWindow] = first[4 * kScanWindow];
}

// The state put keeps: the open run's value (-1 when none) and length.
struct OpenRun {
    int32_t value;
    int32_t length;
};

// Writes the full codes of 63 that the open run has collected beyond 63
// bytes, as put does when its 64th equal byte arrives.
inline uint8_t* writeFullCodes(uint8_t* out, OpenRun& run) {
    while (run.length > pcx::kMaxRunLength) {
        out = writeCode(out, static_cast<uint8_t>(run.value), pcx::kMaxRunLength);
        run.length -= pcx::kMaxRunLength;
    }
    return out;
}

// Codes the 64 values of a window exactly as 64 calls of put would, given
// the run open before it: every run that ends inside the window is
// written, and the run that reaches the window's end is left open.
// sameAsNextMask is sameAsNext(values).
uint8_t* codeWindow(uint8_t* out, const uint8_t* values, uint64_t sameAsNextMask, OpenRun& run) {
    // Bit i set when values[i] begins a run: it differs from the value
    // before it (from the open run's for value 0, -1 matching no byte).
    uint64_t starts = ~(sameAsNextMask << 1);
    if (values[0] == run.value) starts &= ~uint64_t{1};
    uint32_t at = 0;
    if ((starts & 1) == 0) {  // the open run goes on
        at = starts == 0 ? kScanWindow : lowestBit(starts);
        run.length += static_cast<int32_t>(at);
        out = writeFullCodes(out, run);
    }
    while (at < kScanWindow) {
        // A run begins at at: the open one ends.
        if (run.value >= 0)
            out =
                writeCode(out, static_cast<uint8_t>(run.value), static_cast<uint32_t>(run.length));
        // Where the next value begins a run too, this one is a single
        // value: most values of a noisy picture.
        const uint64_t notStarts = ~(starts >> at);
        const uint32_t together = notStarts == 0 ? kScanWindow - at : lowestBit(notStarts);
        if (together > 1) {
            out = writeSingles(out, values + at, together - 1);
            at += together - 1;
        }
        // The run beginning at at lasts until the next one begins.
        const uint64_t later = at + 1 < kScanWindow ? starts >> (at + 1) : 0;
        const uint32_t length = later == 0 ? kScanWindow - at : lowestBit(later) + 1;
        run.value = values[at];
        run.length = static_cast<int32_t>(length);
        out = writeFullCodes(out, run);
        at += length;
    }
    return out;
}

}  // namespace

// output_ removes its temporary file when it goes uncommitted.
TPcxOutputStream::~TPcxOutputStream() = default;

bool TPcxOutputStream::open(const char* fileName) {
    if (file_ != nullptr || fileName == nullptr || fileName[0] == '\0') return false;
    // The buffer first: a picture that cannot be buffered must not cost the
    // host an existing file.
    buffer_.reset(new (std::nothrow) uint8_t[kBufferSize]);
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

}  // namespace pcx

// The run coder. A run stays open while equal bytes arrive, up to 63 of
// them; any other value, or the end-of-line mark -1, closes it.
inline void TPcxEncoder::emit(int32_t value, int32_t count) {
    // A byte with both top bits set would read as a run header, so even a
    // single one goes out as a run of one (see writeCode).
    stream.advanceTo(pcx::writeCode(stream.position(), static_cast<uint8_t>(value),
                                    static_cast<uint32_t>(count)));
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

template <uint32_t Step>
uint32_t TPcxEncoder::putWindows(const uint8_t* first, uint32_t count) {
    // Locals, not members, while codes are stored: a store through a byte
    // pointer could change any member, which would then be read again.
    pcx::OpenRun run = {runValue, runLength};
    uint8_t* out = stream.position();
    uint8_t gathered[pcx::kScanWindow + 1];
    uint32_t x = 0;
    // A window's mask looks at the value after it too: each window ends
    // before the line's last value.
    for (; count - x > pcx::kScanWindow; x += pcx::kScanWindow) {
        const uint8_t* values = first + Step * x;
        if (Step != 1) {
            pcx::gatherPlane(values, gathered);
            values = gathered;
        }
        out = pcx::codeWindow(out, values, pcx::sameAsNext(values), run);
    }
    stream.advanceTo(out);
    runValue = run.value;
    runLength = run.length;
    return x;
}

void TPcxEncoder::putPlaneLine(const uint8_t* first, uint32_t count, uint32_t step) {
    // Every byte of the line, fill included, codes to two bytes at most; the
    // codes of a window may leave a little scratch after them.
    stream.reserve(2 * (static_cast<size_t>(count) + 1) + pcx::kCodeScratch);
    // The bulk a window at a time, with the codes put would write; the last
    // values one at a time through put.
    uint32_t x = 0;
    if (count > pcx::kScanWindow)
        x = step == 1 ? putWindows<1>(first, count) : putWindows<4>(first, count);
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
