// Dpcx: the PCX header record and the decoder TPcxDecoder.
#include "Dpcx.h"

#include "platform/HostFile.h"
#include "platform/LargeBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/Ssse3.h"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the run-header masks of decodeRunLength assume a little-endian machine"
#endif

namespace pcx {

namespace {

// Every buffer size, row length and product of them must fit a signed 32-bit
// integer: the image record carries width and stride as 32-bit integers, and
// a host does its own arithmetic on them in 32 bits.
constexpr int64_t kMaxBufferBytes = std::numeric_limits<int32_t>::max();

// The file is read through blocks of this size: large enough that the read
// calls cost nothing next to decoding, small enough that a block stays in
// the second-level cache while it is decoded and that a decode needs little
// beyond its raw and pixel buffers.
constexpr size_t kReadBlockSize = 64 * 1024;
// Codes decoded between two expansions of the rows they complete: even at
// the longest runs they decode to under 512 KiB, so the scanlines just
// decoded are still in the second-level cache when they are expanded and
// need not come back from memory. (Pieces end between codes, never inside
// a run, which would cut it.)
constexpr size_t kDecodePiece = 16 * 1024;

// Run-length code: a byte with both top bits set is a run header whose low
// six bits are the count; every other byte is a literal.
constexpr uint8_t kRunHeaderMin = 0xC0;
constexpr uint8_t kRunCountMask = 0x3F;

constexpr uint8_t kManufacturerZsoft = 10;
constexpr uint8_t kEncodingRunLength = 1;
// 8-bit one-plane files carry the 256-colour trailer only from this version
// on; three-plane 24-bit files need at least this version.
constexpr uint8_t kVersionWithTrailer = 5;

constexpr int kColormapEntries = 16;
constexpr int kTrailerEntries = 256;
constexpr uint32_t kBlack = 0x000000;
constexpr uint32_t kWhite = 0xFFFFFF;

const char kReportHeading[] = "* PCX FILE (decoder records) *\n\n";
const char kReportFailure[] = "ERROR DETECTED.\n";

uint16_t readLe16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint32_t colourValue(const uint8_t* rgb) {
    return static_cast<uint32_t>(rgb[0]) << 16 | static_cast<uint32_t>(rgb[1]) << 8 | rgb[2];
}

// --- run-length code --------------------------------------------------------

// For the small steps of the window loop, which must be inlined into each
// processor's copy of it.
#define PCX_ALWAYS_INLINE inline __attribute__((always_inline))

constexpr uint64_t kEveryByte = 0x0101010101010101ull;

#if !defined(__SSE2__)
// Bit k set when byte k of the eight in word (little-endian) has bit 7 set:
// each top bit, moved to the bottom of its byte, is multiplied into place in
// the top byte, and no two products meet there.
uint32_t gatherTopBits(uint64_t word) {
    return static_cast<uint32_t>(((word >> 7) & kEveryByte) * 0x0102040810204080ull >> 56);
}

// Bit 7 of each byte of word that equals value, no other bit: a byte of
// word ^ value is 0 exactly when adding 0x7F to its low seven bits leaves
// bit 7 clear and its own bit 7 is clear too. No carry crosses bytes.
uint64_t bytesEqualTo(uint64_t word, uint8_t value) {
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    const uint64_t difference = word ^ (value * kEveryByte);
    return ~(((difference & kLow7) + kLow7) | difference) & ~kLow7;
}
#endif

// The byte 0xC1: as a run header, a run of one byte.
constexpr uint8_t kSingleRunHeader = kRunHeaderMin | 1;

// Two masks of the 64 bytes at p. lookalikes: bit k set when byte k looks
// like a run header (both top bits set); a value byte can look like one too.
// singles: bit k set when byte k is 0xC1, a header of a one-byte run.
struct WindowMasks {
    uint64_t lookalikes;
    uint64_t singles;
};

PCX_ALWAYS_INLINE WindowMasks scanWindow(const uint8_t* p) {
    WindowMasks masks = {0, 0};
#if defined(__SSE2__)
    // (v & v << 1) has bit 7 of a byte set exactly when its bits 7 and 6 are;
    // the 16-bit shift carries a low byte's bit 7 only into bit 0 above it.
    const __m128i single = _mm_set1_epi8(static_cast<char>(kSingleRunHeader));
    for (int part = 0; part < 4; ++part) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
        const __m128i both = _mm_and_si128(bytes, _mm_slli_epi16(bytes, 1));
        masks.lookalikes |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(both)))
                            << (16 * part);
        masks.singles |= static_cast<uint64_t>(static_cast<uint32_t>(
                             _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, single))))
                         << (16 * part);
    }
#else
    for (int word = 0; word < 8; ++word) {
        uint64_t bytes;
        std::memcpy(&bytes, p + 8 * word, 8);
        masks.lookalikes |= static_cast<uint64_t>(gatherTopBits(bytes & (bytes << 1)))
                            << (8 * word);
        masks.singles |= static_cast<uint64_t>(gatherTopBits(bytesEqualTo(bytes, kSingleRunHeader)))
                         << (8 * word);
    }
#endif
    return masks;
}

// The true run headers among the lookalikes of a window whose byte 0 starts
// a code. Within a stretch of consecutive lookalikes the first starts a code
// (the byte before it is a literal or a value, both of which end a code), so
// it is a header, the next its value, the next a header again, and so on:
// the headers are the lookalikes at an even distance from their stretch's
// start. Adding each even-placed start to the mask clears exactly the
// stretches that begin at an even position.
PCX_ALWAYS_INLINE uint64_t trueRunHeaders(uint64_t lookalikes) {
    constexpr uint64_t kEvenBits = 0x5555555555555555ull;
    const uint64_t starts = lookalikes & ~(lookalikes << 1);
    const uint64_t fromEven = lookalikes & ~(lookalikes + (starts & kEvenBits));
    const uint64_t fromOdd = lookalikes & ~fromEven;
    return (fromEven & kEvenBits) | (fromOdd & ~kEvenBits);
}

// Copies count (at most 64) literal bytes in 16-byte pieces; up to 16 bytes
// of scratch may follow them.
inline void copyWithScratch(uint8_t* out, const uint8_t* in, size_t count) {
    std::memcpy(out, in, 16);
    for (size_t done = 16; done < count; done += 16) std::memcpy(out + done, in + done, 16);
}

// The bulk of the codes, a window of 64 input bytes at a time, while the
// input holds two windows and the output room for one window's output and
// the scratch. The window's run headers are found at once as a 64-bit mask,
// so stepping from one code to the next takes no load and no test of the
// bytes between them, and no branch depends on a count.
//
// Three kinds of window, by what the masks show:
// - no run header: 64 literals, copied whole;
// - every run a single byte (0xC1 and its value), as in noisy pictures where
//   a quarter of the bytes are 0xC0 or above, or all but one or two runs:
//   the single-byte codes are the window with its run headers left out,
//   which Kernel::keepMarked makes in one pass for each stretch between the
//   other runs;
// - anything else: code by code. Literals move in 16-byte pieces.
// A run of any other length writes 8 or 64 bytes of its value whatever its
// exact count.
// What lands past a code's true end is overwritten by the codes after it,
// so only the last scratch (at most kRunLengthScratch bytes past written)
// can outlive the call.
constexpr size_t kWindow = 64;
// Most runs are short: one 8-byte store covers them.
constexpr size_t kShortRun = 8;
constexpr size_t kScratchInputMargin = 2 * kWindow;
// A window holds at most 32 runs of at most 63 bytes, or 64 literals.
constexpr size_t kScratchOutputMargin = 32 * kRunCountMask + kWindow + kRunLengthScratch;
static_assert(kRunLengthScratch > kRunCountMask, "a run's scratch covers its longest count");

// Writes the run whose header is window[header] (its value follows it) at
// out, 8 bytes of its value for a short run and 64 for a longer one, and
// returns its true count: the bytes past the count are scratch.
PCX_ALWAYS_INLINE size_t expandRun(const uint8_t* window, size_t header, uint8_t* out) {
    const size_t count = window[header] & kRunCountMask;
    const uint64_t pattern = window[header + 1] * kEveryByte;
    std::memcpy(out, &pattern, kShortRun);
    if (count > kShortRun)
        for (size_t done = kShortRun; done < kRunLengthScratch; done += kShortRun)
            std::memcpy(out + done, &pattern, kShortRun);
    return count;
}

template <class Kernel>
PCX_ALWAYS_INLINE RunLengthResult decodeWindows(const uint8_t* in, size_t inSize, uint8_t* out,
                                                size_t outSize) {
    size_t read = 0;  // the window's first byte, always the start of a code
    size_t written = 0;
    while (inSize - read >= kScratchInputMargin && outSize - written >= kScratchOutputMargin) {
        const uint8_t* window = in + read;
        const WindowMasks masks = scanWindow(window);
        uint64_t headers = trueRunHeaders(masks.lookalikes);
        if (headers == 0) {
            std::memcpy(out + written, window, kWindow);
            written += kWindow;
            read += kWindow;
            continue;
        }
        // A header in the last byte has its value in the next window, which
        // then starts with that header.
        const unsigned split = static_cast<unsigned>(headers >> (kWindow - 1));
        const uint64_t whole = headers & (~uint64_t{0} >> split);
        const uint64_t end = ~uint64_t{0} >> split;  // the bytes this window takes
        uint64_t longRuns = whole & ~masks.singles;
        const uint64_t afterFirst = longRuns & (longRuns - 1);
        if ((afterFirst & (afterFirst - 1)) == 0) {
            // The stretches of single-byte codes before, between and after
            // the (at most two) other runs.
            uint64_t from = end;  // the bytes not yet taken
            while (longRuns != 0) {
                const size_t header = static_cast<size_t>(__builtin_ctzll(longRuns));
                longRuns &= longRuns - 1;
                const uint64_t before = ~whole & from & ((uint64_t{1} << header) - 1);
                if (before != 0) written += Kernel::keepMarked(window, before, out + written);
                written += expandRun(window, header, out + written);
                from = end & (~uint64_t{0} << header << 2);
            }
            const uint64_t rest = ~whole & from;
            if (rest != 0) written += Kernel::keepMarked(window, rest, out + written);
            read += kWindow - split;
            continue;
        }
        size_t at = 0;  // the next code in the window
        bool valueInNextWindow = false;
        while (headers != 0) {
            const size_t header = static_cast<size_t>(__builtin_ctzll(headers));
            headers &= headers - 1;
            copyWithScratch(out + written, window + at, header - at);
            written += header - at;
            at = header;
            if (header == kWindow - 1) {  // the next window starts with this header
                valueInNextWindow = true;
                break;
            }
            written += expandRun(window, header, out + written);
            at = header + 2;
        }
        if (!valueInNextWindow) {  // literals to the end of the window
            copyWithScratch(out + written, window + at, kWindow - at);
            written += kWindow - at;
            at = kWindow;
        }
        read += at;
    }
    return {read, written};
}

// keepMarked(window, keep, out) copies, in order, the bytes of the 64 at
// window whose bit in keep is set to out and returns how many; it may leave
// up to 8 bytes of scratch after them.

// Any machine: every byte is stored, and the position moves on past the
// ones kept.
struct PortableKernel {
    static PCX_ALWAYS_INLINE size_t keepMarked(const uint8_t* window, uint64_t keep, uint8_t* out) {
        size_t kept = 0;
        for (size_t i = 0; i < kWindow; ++i) {
            out[kept] = window[i];
            kept += (keep >> i) & 1;
        }
        return kept;
    }
};

RunLengthResult decodeWindowsPortable(const uint8_t* in, size_t inSize, uint8_t* out,
                                      size_t outSize) {
    return decodeWindows<PortableKernel>(in, inSize, out, outSize);
}

#if PCX_HAS_SSSE3_KERNEL
// For each 8-bit mask, the positions of its set bits packed to the front,
// one byte each (a byte shuffle's order), and how many there are.
struct KeepTables {
    uint64_t order[256];
    uint8_t count[256];
};

constexpr KeepTables makeKeepTables() {
    KeepTables tables = {};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned kept = 0;
        for (unsigned bit = 0; bit < 8; ++bit)
            if ((mask >> bit) & 1) tables.order[mask] |= uint64_t{bit} << (8 * kept++);
        tables.count[mask] = static_cast<uint8_t>(kept);
    }
    return tables;
}

constexpr KeepTables kKeepTables = makeKeepTables();

// Processors with SSSE3: each 8-byte half of a 16-byte piece is packed by
// one byte shuffle, whose order comes from the table, and stored whole.
struct Ssse3Kernel {
    // Inlined only once decodeWindows is inlined into decodeWindowsSsse3.
    __attribute__((target("ssse3"))) static inline size_t keepMarked(const uint8_t* window,
                                                                     uint64_t keep, uint8_t* out) {
        constexpr uint64_t kSecondHalf = 8 * kEveryByte;
        size_t kept = 0;
        for (int part = 0; part < 4; ++part) {
            const __m128i bytes =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(window + 16 * part));
            const unsigned low = static_cast<unsigned>(keep >> (16 * part)) & 0xFF;
            const unsigned high = static_cast<unsigned>(keep >> (16 * part + 8)) & 0xFF;
            const __m128i order =
                _mm_set_epi64x(static_cast<long long>(kKeepTables.order[high] + kSecondHalf),
                               static_cast<long long>(kKeepTables.order[low]));
            const __m128i packed = _mm_shuffle_epi8(bytes, order);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + kept), packed);
            kept += kKeepTables.count[low];
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + kept),
                             _mm_unpackhi_epi64(packed, packed));
            kept += kKeepTables.count[high];
        }
        return kept;
    }
};

__attribute__((target("ssse3"))) RunLengthResult decodeWindowsSsse3(const uint8_t* in,
                                                                    size_t inSize, uint8_t* out,
                                                                    size_t outSize) {
    return decodeWindows<Ssse3Kernel>(in, inSize, out, outSize);
}
#endif

RunLengthResult decodeWithScratch(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
#if PCX_HAS_SSSE3_KERNEL
    static const bool hasSsse3 = processorHasSsse3();
    if (hasSsse3) return decodeWindowsSsse3(in, inSize, out, outSize);
#endif
    return decodeWindowsPortable(in, inSize, out, outSize);
}

// --- file access ------------------------------------------------------------

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

// --- expansion --------------------------------------------------------------
// The bulk loops run over a multiple of 16 pixels so that the compiler can
// vectorise them without a scalar epilogue of its own; the few pixels left
// over take the plain loop after them. The row functions with such loops
// stay out of line: inlined into the decoder, their rows would be members'
// buffers that the compiler cannot tell apart, and it would not vectorise.
#define PCX_ROW_FUNCTION __attribute__((noinline))

size_t multipleOf16(size_t count) {
    return count & ~static_cast<size_t>(15);
}

// One output row of 0x00RRGGBB words from the three plane lines of a source
// scanline, every column.
PCX_ROW_FUNCTION void interleavePlanes(const uint8_t* __restrict red,
                                       const uint8_t* __restrict green,
                                       const uint8_t* __restrict blue, uint32_t* __restrict out,
                                       size_t count) {
    const size_t bulk = multipleOf16(count);
#if defined(__SSE2__)
    // A little-endian 0x00RRGGBB word is the bytes blue, green, red, 0:
    // blue and green paired into 16-bit lanes, red paired with 0, and the
    // two pairs joined into 32-bit lanes.
    const __m128i zero = _mm_setzero_si128();
    for (size_t x = 0; x < bulk; x += 16) {
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(red + x));
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(green + x));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blue + x));
        const __m128i blueGreenLow = _mm_unpacklo_epi8(b, g);
        const __m128i blueGreenHigh = _mm_unpackhi_epi8(b, g);
        const __m128i redLow = _mm_unpacklo_epi8(r, zero);
        const __m128i redHigh = _mm_unpackhi_epi8(r, zero);
        __m128i* to = reinterpret_cast<__m128i*>(out + x);
        _mm_storeu_si128(to, _mm_unpacklo_epi16(blueGreenLow, redLow));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(blueGreenLow, redLow));
        _mm_storeu_si128(to + 2, _mm_unpacklo_epi16(blueGreenHigh, redHigh));
        _mm_storeu_si128(to + 3, _mm_unpackhi_epi16(blueGreenHigh, redHigh));
    }
#else
    for (size_t x = 0; x < bulk; ++x)
        out[x] =
            static_cast<uint32_t>(red[x]) << 16 | static_cast<uint32_t>(green[x]) << 8 | blue[x];
#endif
    for (size_t x = bulk; x < count; ++x)
        out[x] =
            static_cast<uint32_t>(red[x]) << 16 | static_cast<uint32_t>(green[x]) << 8 | blue[x];
}

// Likewise, taking source column j << shift for output column j.
void interleavePlanesReduced(const uint8_t* red, const uint8_t* green, const uint8_t* blue,
                             uint32_t* out, size_t count, int shift) {
    for (size_t j = 0; j < count; ++j) {
        const size_t x = j << shift;
        out[j] =
            static_cast<uint32_t>(red[x]) << 16 | static_cast<uint32_t>(green[x]) << 8 | blue[x];
    }
}

// Pixel x of a plane line packed Bits to a pixel, most significant bits first.
template <int Bits>
uint8_t packedPixel(const uint8_t* line, size_t x) {
    constexpr size_t kPerByte = 8 / Bits;
    constexpr unsigned kMask = (1u << Bits) - 1;
    const unsigned shift = static_cast<unsigned>(8 - Bits * (x % kPerByte + 1));
    return static_cast<uint8_t>((line[x / kPerByte] >> shift) & kMask);
}

// The pixels of one source byte of Bits (1, 2 or 4) per pixel, most
// significant first, written out one by one so that the loop around it
// vectorises.
template <int Bits>
void unpackByte(unsigned value, uint8_t* out) {
    if constexpr (Bits == 1) {
        out[0] = static_cast<uint8_t>((value >> 7) & 1);
        out[1] = static_cast<uint8_t>((value >> 6) & 1);
        out[2] = static_cast<uint8_t>((value >> 5) & 1);
        out[3] = static_cast<uint8_t>((value >> 4) & 1);
        out[4] = static_cast<uint8_t>((value >> 3) & 1);
        out[5] = static_cast<uint8_t>((value >> 2) & 1);
        out[6] = static_cast<uint8_t>((value >> 1) & 1);
        out[7] = static_cast<uint8_t>(value & 1);
    } else if constexpr (Bits == 2) {
        out[0] = static_cast<uint8_t>((value >> 6) & 3);
        out[1] = static_cast<uint8_t>((value >> 4) & 3);
        out[2] = static_cast<uint8_t>((value >> 2) & 3);
        out[3] = static_cast<uint8_t>(value & 3);
    } else {
        static_assert(Bits == 4, "1, 2 or 4 bits per pixel");
        out[0] = static_cast<uint8_t>((value >> 4) & 15);
        out[1] = static_cast<uint8_t>(value & 15);
    }
}

// One output row of indices from a plane line of Bits (1, 2 or 4) per pixel,
// every column: whole source bytes first, then the pixels of a last partial
// byte.
template <int Bits>
PCX_ROW_FUNCTION void unpackRow(const uint8_t* __restrict line, uint8_t* __restrict out,
                                size_t count) {
    constexpr size_t kPerByte = 8 / Bits;
    const size_t bulk = multipleOf16(count / kPerByte);
    for (size_t k = 0; k < bulk; ++k) unpackByte<Bits>(line[k], out + k * kPerByte);
    for (size_t x = bulk * kPerByte; x < count; ++x) out[x] = packedPixel<Bits>(line, x);
}

// Likewise, taking source column j << shift for output column j.
template <int Bits>
void unpackRowReduced(const uint8_t* line, uint8_t* out, size_t count, int shift) {
    for (size_t j = 0; j < count; ++j) out[j] = packedPixel<Bits>(line, j << shift);
}

void gatherRowReduced(const uint8_t* line, uint8_t* out, size_t count, int shift) {
    for (size_t j = 0; j < count; ++j) out[j] = line[j << shift];
}

// One output row from a plane line of Bits (1, 2 or 4) per pixel, every
// column when shift is 0, else every (1 << shift)th.
template <int Bits>
void unpackRowScaled(const uint8_t* line, uint8_t* out, size_t count, int shift) {
    if (shift == 0)
        unpackRow<Bits>(line, out, count);
    else
        unpackRowReduced<Bits>(line, out, count, shift);
}

}  // namespace

// Byte layout of the 128-byte header; numbers are little-endian, unsigned:
//
//   offset size field            offset size field
//    0      1   manufacturer      16     48  colormap: 16 x (red, green, blue)
//    1      1   version           64      1  reserved
//    2      1   encoding          65      1  nPlanes
//    3      1   bitsPerPixel      66      2  bytesPerLine
//    4      2   windowXMin        68      2  paletteInfo
//    6      2   windowYMin        70      2  hScreenSize
//    8      2   windowXMax        72      2  vScreenSize
//   10      2   windowYMax        74     54  filler
//   12      2   hDpi
//   14      2   vDpi
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

RunLengthResult decodeRunLength(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
    const RunLengthResult bulk = decodeWithScratch(in, inSize, out, outSize);
    size_t read = bulk.consumed;
    size_t written = bulk.written;
    // The last codes, one at a time and exactly.
    while (written < outSize && read < inSize) {
        const uint8_t code = in[read];
        if (code < kRunHeaderMin) {
            out[written++] = code;
            ++read;
            continue;
        }
        if (inSize - read < 2) break;  // its value byte may come with the next block
        const size_t count = std::min<size_t>(code & kRunCountMask, outSize - written);
        std::memset(out + written, in[read + 1], count);
        written += count;
        read += 2;
    }
    return {read, written};
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
      scaleMask(0) {}

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

bool TPcxDecoder::decode(const char* fileName) {
    // The file is closed and raw released on every way out, also when an
    // allocation inside the report throws.
    struct EndOfDecode {
        TPcxDecoder& decoder;
        ~EndOfDecode() {
            decoder.closeFile();
            std::free(decoder.raw);
            decoder.raw = nullptr;
        }
    } endOfDecode{*this};

    const bool opened = openFile(fileName);
    releaseBuffers();
    report = kReportHeading;

    // Reading the data also expands the pixels: each output row as soon as
    // its source scanline is decoded.
    const bool decoded =
        opened && readHeader() && (headerOnly || (checkLayout() && readData() && choosePalette()));
    if (!decoded) {
        report += kReportFailure;
        releaseBuffers();
        paletteCount = 0;
    }
    return decoded;
}

// Fails when the file holds fewer than 128 bytes or its header is not a
// run-length coded ZSoft header. Sets the picture size and the reduction.
bool TPcxDecoder::readHeader() {
    uint8_t bytes[kPcxHeaderSize];
    if (std::fread(bytes, 1, sizeof bytes, stream) != sizeof bytes) return false;
    header = parsePcxHeader(bytes);
    if (header.manufacturer != kManufacturerZsoft || header.encoding != kEncodingRunLength)
        return false;
    appendHeaderReport();
    sourceWidth = static_cast<int32_t>(header.windowXMax) - header.windowXMin + 1;
    sourceHeight = static_cast<int32_t>(header.windowYMax) - header.windowYMin + 1;
    chooseScale();
    return true;
}

void TPcxDecoder::appendHeaderReport() {
    const struct {
        const char* label;
        unsigned value;
    } lines[] = {
        {"Manufacturer(ID) : ", header.manufacturer},
        {"Version : ", header.version},
        {"Encoding : ", header.encoding},
        {"BItsPerPixel : ", header.bitsPerPixel},
        {"WindowXMin : ", header.windowXMin},
        {"WindowYMIn : ", header.windowYMin},
        {"WindowXMax : ", header.windowXMax},
        {"WindowYMax : ", header.windowYMax},
        {"HDpi : ", header.hDpi},
        {"VDpi : ", header.vDpi},
        {"NPlanes : ", header.nPlanes},
        {"BytesPerLine : ", header.bytesPerLine},
        {"PaletteInfoValue : ", header.paletteInfo},
        {"HScreenSize : ", header.hScreenSize},
        {"VScreenSize : ", header.vScreenSize},
    };
    for (const auto& line : lines) {
        report += line.label;
        report += std::to_string(line.value);
        report += '\n';
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
    width = preview ? (sourceWidth + scale - 1) >> scaleShift : sourceWidth;
    height = preview ? (sourceHeight + scale - 1) >> scaleShift : sourceHeight;
}

// Fails for a depth and plane count that no expansion covers, for an empty
// picture, for plane lines too short for the width, and for buffers whose
// sizes do not fit a signed 32-bit integer. Nothing is allocated yet.
bool TPcxDecoder::checkLayout() {
    const int bits = header.bitsPerPixel;
    const bool indexed =
        header.nPlanes == 1 && (bits == 1 || bits == 2 || bits == 4 ||
                                (bits == 8 && header.version == kVersionWithTrailer));
    const bool rgb = header.nPlanes == 3 && bits == 8 && header.version >= kVersionWithTrailer;
    if (!indexed && !rgb) return false;
    if (sourceWidth < 1 || sourceHeight < 1) return false;

    const int64_t lineBits = int64_t{header.bytesPerLine} * 8;
    if (lineBits < int64_t{sourceWidth} * bits) return false;

    const int64_t rawSize = int64_t{header.bytesPerLine} * header.nPlanes * sourceHeight;
    // A row (width, or width x 4) is never longer than the whole output,
    // whose height is at least 1: bounding the buffer bounds the stride.
    const int64_t pixelSize = int64_t{width} * (rgb ? 4 : 1) * height;
    return rawSize <= kMaxBufferBytes && pixelSize <= kMaxBufferBytes;
}

// Decodes the codes after the header into raw, which covers the whole
// picture (also for a preview), and expands the pixels as it goes: the
// codes of each read block are decoded a piece at a time, and the output
// rows whose scanlines a piece completed are expanded at once, while those
// scanlines are still in cache. Fails only when raw, the read block or the
// pixel buffer cannot be allocated. Bytes that a short file never reaches
// are 0: raw is not cleared beforehand (for a whole file that would write
// every byte twice), but its unreached end is, scratch included, before
// the rows there are expanded. A run header with no value byte before the
// end of the file adds nothing.
bool TPcxDecoder::readData() {
    const size_t scanlineBytes = static_cast<size_t>(header.bytesPerLine) * header.nPlanes;
    const size_t size = scanlineBytes * static_cast<size_t>(sourceHeight);
    raw = static_cast<uint8_t*>(allocateLarge(size));
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kReadBlockSize]);
    if (!raw || !block || !allocatePixels()) return false;

    int32_t rowsDone = 0;
    // Output row r is complete once source scanline r * scale is.
    auto expandCompleteRows = [&](size_t written) {
        const size_t scanlines = written / scanlineBytes;
        const int32_t rows = static_cast<int32_t>(
            std::min<size_t>(static_cast<size_t>(height), (scanlines + scaleMask) >> scaleShift));
        if (rows > rowsDone) {
            expandPixels(rowsDone, rows);
            rowsDone = rows;
        }
    };

    size_t written = 0;
    size_t carried = 0;  // a run header whose value byte is in the next block
    while (written < size) {
        const size_t got = std::fread(block.get() + carried, 1, kReadBlockSize - carried, stream);
        if (got == 0) break;  // end of file, or a read error, which counts as one
        const size_t available = carried + got;
        size_t consumed = 0;
        while (written < size && consumed < available) {
            // A piece of the block's codes; one left whole at its end (a run
            // header without its value) waits for the next piece.
            const size_t piece = std::min(available - consumed, kDecodePiece);
            const RunLengthResult result =
                decodeRunLength(block.get() + consumed, piece, raw + written, size - written);
            consumed += result.consumed;
            written += result.written;
            // Scratch lies only past written, in scanlines not yet complete.
            expandCompleteRows(written);
            if (result.consumed == 0) break;  // only a run header's first byte is left
        }
        carried = available - consumed;
        if (written < size && carried > 0) block[0] = block[consumed];
    }
    if (written < size) std::memset(raw + written, 0, size - written);
    if (rowsDone < height) expandPixels(rowsDone, height);
    return true;
}

// Picks the colour table by version, depth and plane count (checkLayout has
// already refused the combinations that have none). Fails only when the
// table cannot be allocated.
bool TPcxDecoder::choosePalette() {
    trueColour = false;
    if (header.nPlanes == 3) {
        trueColour = true;
        paletteCount = 0;
        return true;
    }
    if (header.bitsPerPixel == 8) return readTrailer();

    if (header.bitsPerPixel == 1) {
        // Two-colour files are black and white whatever their colormap says.
        palette = static_cast<uint32_t*>(std::calloc(2, sizeof(uint32_t)));
        if (!palette) return false;
        palette[0] = kBlack;
        palette[1] = kWhite;
        paletteCount = 2;
        return true;
    }
    palette = static_cast<uint32_t*>(std::calloc(kColormapEntries, sizeof(uint32_t)));
    if (!palette) return false;
    for (int entry = 0; entry < kColormapEntries; ++entry)
        palette[entry] = colourValue(header.colormap + 3 * entry);
    paletteCount = 1 << header.bitsPerPixel;
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
    if (!palette) return false;
    for (int entry = 0; entry < kTrailerEntries; ++entry)
        palette[entry] = colourValue(trailer + 1 + 3 * entry);
    paletteCount = kTrailerEntries;
    return true;
}

// The output buffer: one 0x00RRGGBB word a pixel for three planes, one byte
// otherwise. Fails only when it cannot be allocated.
bool TPcxDecoder::allocatePixels() {
    stride = header.nPlanes == 3 ? width * 4 : width;
    pixels = static_cast<uint8_t*>(allocateLarge(static_cast<size_t>(stride) * height));
    return pixels != nullptr;
}

// Output rows first to end - 1, from scanlines that raw already holds.
void TPcxDecoder::expandPixels(int32_t first, int32_t end) {
    if (header.nPlanes == 3)
        expandTrueColour(first, end);
    else
        expandIndexed(first, end);
}

// Output row r is source scanline r * scale, output column j source column
// j * scale (the top-left pixel of each scale x scale block).
void TPcxDecoder::expandTrueColour(int32_t first, int32_t end) {
    const size_t planeBytes = header.bytesPerLine;
    const size_t scanlineBytes = planeBytes * 3;
    for (int32_t row = first; row < end; ++row) {
        const uint8_t* red = raw + (static_cast<size_t>(row) << scaleShift) * scanlineBytes;
        uint32_t* out = reinterpret_cast<uint32_t*>(rowAt(row));
        if (scaleShift == 0)
            interleavePlanes(red, red + planeBytes, red + 2 * planeBytes, out,
                             static_cast<size_t>(width));
        else
            interleavePlanesReduced(red, red + planeBytes, red + 2 * planeBytes, out,
                                    static_cast<size_t>(width), scaleShift);
    }
}

void TPcxDecoder::expandIndexed(int32_t first, int32_t end) {
    const size_t scanlineBytes = header.bytesPerLine;
    const size_t count = static_cast<size_t>(width);
    const int shift = scaleShift;
    for (int32_t row = first; row < end; ++row) {
        const uint8_t* line = raw + (static_cast<size_t>(row) << shift) * scanlineBytes;
        uint8_t* out = rowAt(row);
        switch (header.bitsPerPixel) {
            case 1:
                unpackRowScaled<1>(line, out, count, shift);
                break;
            case 2:
                unpackRowScaled<2>(line, out, count, shift);
                break;
            case 4:
                unpackRowScaled<4>(line, out, count, shift);
                break;
            default:  // 8 bits: a row is the start of its scanline
                if (shift == 0)
                    std::memcpy(out, line, count);
                else
                    gatherRowReduced(line, out, count, shift);
                break;
        }
    }
}

}  // namespace pcx
