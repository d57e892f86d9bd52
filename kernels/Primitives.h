// The primitives the loop bodies (Bodies.h) are written over, once for each
// instruction set: every bit trick of the kernels lives here, and nowhere
// else. Each set is a struct of static functions that reuses the set below
// it for whatever it does not do better. A set's primitives are compiled for
// its instructions; the entry points of its copies (Sets.cpp) are too, and
// flatten everything they call into themselves, so that each copy becomes one
// function for one instruction set.
//
// Only the kernels' own sources include this.
#ifndef PCX_KERNELS_PRIMITIVES_H
#define PCX_KERNELS_PRIMITIVES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "PcxFormat.h"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the byte masks assume a little-endian machine"
#endif

#if (defined(__i386__) || defined(__x86_64__)) && defined(__GNUC__)
#define PCX_KERNELS_X86 1
#include <emmintrin.h>
#include <immintrin.h>
#include <tmmintrin.h>
#else
#define PCX_KERNELS_X86 0
#endif

// Portable primitives may be inlined into any set's copies; a set's own can
// only be inlined into functions compiled for the same or a larger set.
#define PCX_PORTABLE inline
#define PCX_SSE2 inline __attribute__((target("sse2")))
#define PCX_SSSE3 inline __attribute__((target("ssse3")))
#define PCX_AVX2 inline __attribute__((target("avx2,popcnt,bmi")))
// Before the short loops over the words or the 16-byte pieces of a window:
// unrolled, their shifts are constants and their masks stay in registers.
#define PCX_UNROLLED _Pragma("GCC unroll 8")

namespace pcx::kernels {

// The machine's word. A window of codes (or of values to code) is as many
// bytes as a word has bits, so that its masks, one bit a byte, are one word:
// 64 bytes in a 64-bit build, 32 in a 32-bit one, whose 64-bit shifts and
// counts would each take several instructions or a call.
#if UINTPTR_MAX > 0xFFFFFFFFu
using Mask = uint64_t;
#else
using Mask = uint32_t;
#endif
constexpr size_t kWordBytes = sizeof(Mask);
constexpr size_t kWindowBytes = 8 * kWordBytes;

// The byte value repeated in every byte of a word.
constexpr Mask everyByte(uint8_t value) {
    return static_cast<Mask>(~Mask{0} / 0xFF * value);
}

// The bytes of a window of codes that look like run headers (both top bits
// set; a value byte can look like one too), and those that are 0xC1, the
// header of a run of one. Bit k stands for byte k.
struct WindowMasks {
    Mask lookalikes;
    Mask singles;
};

// mask is not 0.
PCX_PORTABLE unsigned lowestBit(Mask mask) {
    if constexpr (sizeof(Mask) == sizeof(unsigned long long))
        return static_cast<unsigned>(__builtin_ctzll(mask));
    else
        return static_cast<unsigned>(__builtin_ctz(mask));
}

// The eight bits of each byte value spread over the eight bytes of a word,
// most significant first: byte i of entry b is bit 7 - i of b (0 or 1).
struct BitSpread {
    uint64_t bytes[256];
};

constexpr BitSpread makeBitSpread() {
    BitSpread table = {};
    for (unsigned value = 0; value < 256; ++value)
        for (unsigned i = 0; i < 8; ++i)
            table.bytes[value] |= uint64_t{(value >> (7 - i)) & 1} << (8 * i);
    return table;
}

// Built by the compiler: constant data, no start-up work.
inline constexpr BitSpread kBitSpread = makeBitSpread();

// Any processor: words of bytes.
struct PortablePrimitives {
    // Bits set in mask: pairs, then nibbles, then bytes summed by one
    // multiply.
    static PCX_PORTABLE unsigned countBits(Mask mask) {
        mask -= (mask >> 1) & everyByte(0x55);
        mask = (mask & everyByte(0x33)) + ((mask >> 2) & everyByte(0x33));
        mask = (mask + (mask >> 4)) & everyByte(0x0F);
        return static_cast<unsigned>((mask * everyByte(1)) >> (8 * (kWordBytes - 1)));
    }

    // Bit k set when byte k of word has bit 7 set: each top bit, moved to
    // the bottom of its byte, is multiplied into place in the top byte, and
    // no two products meet there.
    static PCX_PORTABLE unsigned gatherTopBits(Mask word) {
        // Byte k's bit goes to bit 8 * (kWordBytes - 1) + k.
        constexpr Mask kGather = sizeof(Mask) == 8 ? static_cast<Mask>(0x0102040810204080ull)
                                                   : static_cast<Mask>(0x01020408u);
        return static_cast<unsigned>(((word >> 7) & everyByte(1)) * kGather >>
                                     (8 * (kWordBytes - 1)));
    }

    // Bit 7 of each byte where a and b hold the same byte, no other bit: a
    // byte of a ^ b is 0 exactly when adding 0x7F to its low seven bits
    // leaves bit 7 clear and its own bit 7 is clear too. No carry crosses
    // bytes.
    static PCX_PORTABLE Mask equalBytes(Mask a, Mask b) {
        const Mask difference = a ^ b;
        return ~(((difference & everyByte(0x7F)) + everyByte(0x7F)) | difference) &
               ~everyByte(0x7F);
    }

    static PCX_PORTABLE Mask loadWord(const uint8_t* p) {
        Mask word;
        std::memcpy(&word, p, sizeof word);
        return word;
    }

    static PCX_PORTABLE WindowMasks scanWindow(const uint8_t* p) {
        WindowMasks masks = {0, 0};
        PCX_UNROLLED
        for (size_t word = 0; word < 8; ++word) {
            const Mask bytes = loadWord(p + kWordBytes * word);
            // Bit 7 of bytes & bytes << 1 is set exactly when bits 7 and 6 of
            // the byte are (the shift carries a low byte's bit 7 only into
            // bit 0 of the byte above).
            masks.lookalikes |= static_cast<Mask>(gatherTopBits(bytes & (bytes << 1)))
                                << (kWordBytes * word);
            masks.singles |=
                static_cast<Mask>(gatherTopBits(equalBytes(bytes, everyByte(kSingleRunHeader))))
                << (kWordBytes * word);
        }
        return masks;
    }

    // Copies, in order, the bytes of the window whose bit in keep is set to
    // out and returns how many; up to 8 bytes of scratch may follow. Every
    // byte is stored, and the position moves on past the ones kept.
    static PCX_PORTABLE size_t keepMarked(const uint8_t* window, Mask keep, uint8_t* out) {
        size_t kept = 0;
        for (size_t i = 0; i < kWindowBytes; ++i) {
            out[kept] = window[i];
            kept += (keep >> i) & 1;
        }
        return kept;
    }

    // Bit i set when values[i] equals values[i + 1], for each i of a window:
    // reads one value past the window.
    static PCX_PORTABLE Mask sameAsNext(const uint8_t* values) {
        Mask mask = 0;
        PCX_UNROLLED
        for (size_t word = 0; word < 8; ++word) {
            const Mask equal = equalBytes(loadWord(values + kWordBytes * word),
                                          loadWord(values + kWordBytes * word + 1));
            mask |= static_cast<Mask>(gatherTopBits(equal)) << (kWordBytes * word);
        }
        return mask;
    }

    // Byte 0 of each of a window's 32-bit pixels at first, and of the pixel
    // after them, into values[0..kWindowBytes]; returns sameAsNext(values).
    static PCX_PORTABLE Mask gatherPlane(const uint8_t* first, uint8_t* values) {
        for (size_t i = 0; i <= kWindowBytes; ++i) values[i] = first[4 * i];
        return sameAsNext(values);
    }

    // The codes of count single values (runs of one) at out; returns the
    // position after them. Up to 16 bytes of scratch may follow. values[0]
    // to values[readable - 1] may be read (readable >= count).
    static PCX_PORTABLE uint8_t* writeSingles(uint8_t* out, const uint8_t* values, uint32_t count,
                                              uint32_t /*readable*/) {
        for (uint32_t i = 0; i < count; ++i) out = writeRunCode(out, values[i], 1);
        return out;
    }

    // The eight pixels of byte k of each of Planes plane lines of 1 bit:
    // each plane's bits spread one to a byte, moved to the plane's place.
    // No sum carries out of its byte.
    template <int Planes>
    static PCX_PORTABLE void combineBitPlaneByte(const uint8_t* const* planes, size_t k,
                                                 uint8_t* out) {
        uint64_t pixels = 0;
        for (int p = 0; p < Planes; ++p) pixels |= kBitSpread.bytes[planes[p][k]] << p;
        std::memcpy(out, &pixels, sizeof pixels);
    }

    // The 128 pixels of bytes k to k + 15 of each plane line.
    template <int Planes>
    static PCX_PORTABLE void combineBitPlanes16(const uint8_t* const* planes, size_t k,
                                                uint8_t* out) {
        for (size_t i = 0; i < 16; ++i) combineBitPlaneByte<Planes>(planes, k + i, out + 8 * i);
    }

    // Sixteen 0x00RRGGBB words from sixteen bytes of each plane.
    static PCX_PORTABLE void interleave16(const uint8_t* red, const uint8_t* green,
                                          const uint8_t* blue, uint32_t* out) {
        for (size_t x = 0; x < 16; ++x)
            out[x] = uint32_t{red[x]} << 16 | uint32_t{green[x]} << 8 | blue[x];
    }
};

#if PCX_KERNELS_X86
// SSE2: sixteen bytes at a time, byte masks by movemask.
struct Sse2Primitives : PortablePrimitives {
    static PCX_SSE2 __m128i load16(const uint8_t* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }

    // Bit k set when byte k of the sixteen has both top bits set: the 16-bit
    // shift carries a low byte's bit 7 only into bit 0 of the byte above.
    static PCX_SSE2 unsigned lookalikes16(__m128i bytes) {
        return static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(bytes, _mm_slli_epi16(bytes, 1))));
    }

    // The window is kWindowBytes / 16 pieces of sixteen bytes.
    static constexpr size_t kParts = kWindowBytes / 16;

    static PCX_SSE2 WindowMasks scanWindow(const uint8_t* p) {
        const __m128i single = _mm_set1_epi8(static_cast<char>(kSingleRunHeader));
        WindowMasks masks = {0, 0};
        PCX_UNROLLED
        for (size_t part = 0; part < kParts; ++part) {
            const __m128i bytes = load16(p + 16 * part);
            masks.lookalikes |= static_cast<Mask>(lookalikes16(bytes)) << (16 * part);
            masks.singles |= static_cast<Mask>(static_cast<unsigned>(
                                 _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, single))))
                             << (16 * part);
        }
        return masks;
    }

    static PCX_SSE2 Mask sameAsNext(const uint8_t* values) {
        Mask mask = 0;
        PCX_UNROLLED
        for (size_t part = 0; part < kParts; ++part) {
            const __m128i here = load16(values + 16 * part);
            const __m128i next = load16(values + 16 * part + 1);
            mask |= static_cast<Mask>(
                        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, next))))
                    << (16 * part);
        }
        return mask;
    }

    // Sixteen pixels at a time: the low byte of each 32-bit lane, packed
    // down; the last load ends within the word of the pixel after them. The
    // mask is made from the packed registers, each against itself moved down
    // one byte with the next one's first byte behind it: loading values + 1
    // back would straddle two stores just made, which the processor cannot
    // forward.
    static PCX_SSE2 Mask gatherPlane(const uint8_t* first, uint8_t* values) {
        const __m128i lowByte = _mm_set1_epi32(0xFF);
        __m128i packed[kParts + 1];
        PCX_UNROLLED
        for (size_t part = 0; part < kParts; ++part) {
            const uint8_t* from = first + 64 * part;
            const __m128i a = _mm_and_si128(load16(from), lowByte);
            const __m128i b = _mm_and_si128(load16(from + 16), lowByte);
            const __m128i c = _mm_and_si128(load16(from + 32), lowByte);
            const __m128i d = _mm_and_si128(load16(from + 48), lowByte);
            packed[part] = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(values + 16 * part), packed[part]);
        }
        values[kWindowBytes] = first[4 * kWindowBytes];
        packed[kParts] = _mm_cvtsi32_si128(values[kWindowBytes]);
        Mask mask = 0;
        PCX_UNROLLED
        for (size_t part = 0; part < kParts; ++part) {
            const __m128i next =
                _mm_or_si128(_mm_srli_si128(packed[part], 1), _mm_slli_si128(packed[part + 1], 15));
            mask |= static_cast<Mask>(static_cast<unsigned>(
                        _mm_movemask_epi8(_mm_cmpeq_epi8(packed[part], next))))
                    << (16 * part);
        }
        return mask;
    }

    // A little-endian 0x00RRGGBB word is the bytes blue, green, red, 0: blue
    // and green paired into 16-bit lanes, red paired with 0, and the two
    // pairs joined into 32-bit lanes.
    static PCX_SSE2 void interleave16(const uint8_t* red, const uint8_t* green, const uint8_t* blue,
                                      uint32_t* out) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i r = load16(red), g = load16(green), b = load16(blue);
        const __m128i blueGreenLow = _mm_unpacklo_epi8(b, g);
        const __m128i blueGreenHigh = _mm_unpackhi_epi8(b, g);
        const __m128i redLow = _mm_unpacklo_epi8(r, zero);
        const __m128i redHigh = _mm_unpackhi_epi8(r, zero);
        __m128i* to = reinterpret_cast<__m128i*>(out);
        _mm_storeu_si128(to, _mm_unpacklo_epi16(blueGreenLow, redLow));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(blueGreenLow, redLow));
        _mm_storeu_si128(to + 2, _mm_unpacklo_epi16(blueGreenHigh, redHigh));
        _mm_storeu_si128(to + 3, _mm_unpackhi_epi16(blueGreenHigh, redHigh));
    }

    // Each 64-bit lane read as an 8 x 8 matrix of bits, row r its byte r and
    // column c bit c of that byte, mirrored on its anti-diagonal: bit c of
    // byte r moves to bit 7 - r of byte 7 - c. Three exchanges of blocks,
    // of 4 x 4, 2 x 2 and single bits.
    static PCX_SSE2 __m128i mirrorAntiDiagonal(__m128i x) {
        const __m128i blocks4 = _mm_set1_epi64x(static_cast<long long>(0xF0F0F0F00F0F0F0Full));
        const __m128i blocks2 = _mm_set1_epi64x(static_cast<long long>(0xCCCC0000CCCC0000ull));
        const __m128i blocks1 = _mm_set1_epi64x(static_cast<long long>(0xAA00AA00AA00AA00ull));
        __m128i t = _mm_xor_si128(x, _mm_slli_epi64(x, 36));
        x = _mm_xor_si128(x, _mm_and_si128(blocks4, _mm_xor_si128(t, _mm_srli_epi64(x, 36))));
        t = _mm_and_si128(blocks2, _mm_xor_si128(x, _mm_slli_epi64(x, 18)));
        x = _mm_xor_si128(x, _mm_xor_si128(t, _mm_srli_epi64(t, 18)));
        t = _mm_and_si128(blocks1, _mm_xor_si128(x, _mm_slli_epi64(x, 9)));
        return _mm_xor_si128(x, _mm_xor_si128(t, _mm_srli_epi64(t, 9)));
    }

    // The 128 pixels of bytes k to k + 15 of each plane line, a bit
    // transposition. Each 64-bit lane takes two source bytes of every plane:
    // planes 3 to 0 of one byte, then of the next (planes past Planes are
    // 0). Mirrored on its anti-diagonal, byte j of the lane holds bit 7 - j,
    // pixel j, of all eight, plane p of the first byte at bit 4 + p and of
    // the second at bit p: the pixels of the first byte are the high nibbles,
    // those of the second the low ones.
    template <int Planes>
    static PCX_SSE2 void combineBitPlanes16(const uint8_t* const* planes, size_t k, uint8_t* out) {
        __m128i plane[4];
        for (int p = 0; p < 4; ++p)
            plane[p] = p < Planes ? load16(planes[p] + k) : _mm_setzero_si128();
        const __m128i highLow = _mm_unpacklo_epi8(plane[3], plane[2]);
        const __m128i highHigh = _mm_unpackhi_epi8(plane[3], plane[2]);
        const __m128i lowLow = _mm_unpacklo_epi8(plane[1], plane[0]);
        const __m128i lowHigh = _mm_unpackhi_epi8(plane[1], plane[0]);
        const __m128i lanes[4] = {
            _mm_unpacklo_epi16(highLow, lowLow), _mm_unpackhi_epi16(highLow, lowLow),
            _mm_unpacklo_epi16(highHigh, lowHigh), _mm_unpackhi_epi16(highHigh, lowHigh)};
        const __m128i nibble = _mm_set1_epi8(0x0F);
        __m128i* to = reinterpret_cast<__m128i*>(out);
        PCX_UNROLLED
        for (size_t i = 0; i < 4; ++i) {
            const __m128i pixels = mirrorAntiDiagonal(lanes[i]);
            const __m128i first = _mm_and_si128(_mm_srli_epi16(pixels, 4), nibble);
            const __m128i second = _mm_and_si128(pixels, nibble);
            _mm_storeu_si128(to + 2 * i, _mm_unpacklo_epi64(first, second));
            _mm_storeu_si128(to + 2 * i + 1, _mm_unpackhi_epi64(first, second));
        }
    }
};

// For each 8-bit mask: the positions of its set bits packed to the front,
// one byte each (a byte shuffle's order), as positions in the low and in the
// high half of sixteen bytes, and how many there are.
struct KeepTables {
    uint64_t order[256];
    uint64_t orderHigh[256];  // order + 8 in every byte
    uint8_t count[256];
};

constexpr KeepTables makeKeepTables() {
    KeepTables tables = {};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned kept = 0;
        for (unsigned bit = 0; bit < 8; ++bit)
            if ((mask >> bit) & 1) {
                tables.order[mask] |= uint64_t{bit} << (8 * kept);
                tables.orderHigh[mask] |= uint64_t{bit + 8} << (8 * kept);
                ++kept;
            }
        tables.count[mask] = static_cast<uint8_t>(kept);
    }
    return tables;
}

// For each 8-bit mask of the values among eight that are 0xC0 or above: the
// byte shuffle that spreads the eight values (lanes 0-7) into their codes,
// taking the run header 0xC1 from lane 8 before each marked one, and the
// codes' length.
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

// Built by the compiler: constant data, no start-up work.
inline constexpr KeepTables kKeepTables = makeKeepTables();
inline constexpr SinglesTables kSinglesTables = makeSinglesTables();

// SSSE3: byte shuffles, whose orders come from the tables above.
struct Ssse3Primitives : Sse2Primitives {
    // Each 8-byte half of a 16-byte piece is packed by one shuffle and
    // stored whole. The shuffle's order is loaded from the tables as two
    // halves, never assembled in general registers (which a 32-bit build
    // would pass through memory, stalling the load that follows).
    static PCX_SSSE3 size_t keepMarked(const uint8_t* window, Mask keep, uint8_t* out) {
        size_t kept = 0;
        PCX_UNROLLED
        for (size_t part = 0; part < kParts; ++part) {
            const __m128i bytes = load16(window + 16 * part);
            const unsigned low = static_cast<unsigned>(keep >> (16 * part)) & 0xFF;
            const unsigned high = static_cast<unsigned>(keep >> (16 * part + 8)) & 0xFF;
            const __m128i order = _mm_unpacklo_epi64(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kKeepTables.order[low])),
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kKeepTables.orderHigh[high])));
            const __m128i packed = _mm_shuffle_epi8(bytes, order);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + kept), packed);
            kept += kKeepTables.count[low];
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + kept),
                             _mm_unpackhi_epi64(packed, packed));
            kept += kKeepTables.count[high];
        }
        return kept;
    }

    // Eight values at a time, each group's codes stored as 16 bytes whatever
    // their length: up to 16 bytes of scratch may follow the last code. A
    // last group of fewer than eight goes the same way when eight values
    // can be read there, its codes cut after its own values.
    static PCX_SSSE3 uint8_t* writeSingles(uint8_t* out, const uint8_t* values, uint32_t count,
                                           uint32_t readable) {
        const __m128i header = _mm_set1_epi8(static_cast<char>(kSingleRunHeader));
        uint32_t i = 0;
        for (; i < count && readable - i >= 8; i += 8) {
            const __m128i group = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(values + i));
            const uint32_t taken = count - i < 8 ? count - i : 8;
            const unsigned marked = lookalikes16(group) & ((1u << taken) - 1);
            const __m128i order =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSinglesTables.order[marked]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                             _mm_shuffle_epi8(_mm_unpacklo_epi64(group, header), order));
            // The table's length counts all eight values.
            out += kSinglesTables.length[marked] - (8 - taken);
        }
        return i < count ? PortablePrimitives::writeSingles(out, values + i, count - i, 0) : out;
    }
};

// AVX2, with the bit-count and lowest-bit instructions that come with it:
// a 64-byte window's masks from two loads. Only the 64-bit build has a copy
// for it: in the 32-bit one, whose windows are 32 bytes, it earned nothing
// clear over SSSE3.
struct Avx2Primitives : Ssse3Primitives {
    static constexpr size_t kLoads = kWindowBytes / 32;

    static PCX_AVX2 __m256i load32(const uint8_t* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }

    static PCX_AVX2 unsigned countBits(Mask mask) {
        if constexpr (sizeof(Mask) == sizeof(unsigned long long))
            return static_cast<unsigned>(__builtin_popcountll(mask));
        else
            return static_cast<unsigned>(__builtin_popcount(mask));
    }

    static PCX_AVX2 WindowMasks scanWindow(const uint8_t* p) {
        const __m256i single = _mm256_set1_epi8(static_cast<char>(kSingleRunHeader));
        WindowMasks masks = {0, 0};
        PCX_UNROLLED
        for (size_t part = 0; part < kLoads; ++part) {
            const __m256i bytes = load32(p + 32 * part);
            const __m256i both = _mm256_and_si256(bytes, _mm256_slli_epi16(bytes, 1));
            masks.lookalikes |= static_cast<Mask>(static_cast<uint32_t>(_mm256_movemask_epi8(both)))
                                << (32 * part);
            masks.singles |= static_cast<Mask>(static_cast<uint32_t>(
                                 _mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, single))))
                             << (32 * part);
        }
        return masks;
    }

    static PCX_AVX2 Mask sameAsNext(const uint8_t* values) {
        Mask mask = 0;
        PCX_UNROLLED
        for (size_t part = 0; part < kLoads; ++part) {
            const __m256i equal =
                _mm256_cmpeq_epi8(load32(values + 32 * part), load32(values + 32 * part + 1));
            mask |= static_cast<Mask>(static_cast<uint32_t>(_mm256_movemask_epi8(equal)))
                    << (32 * part);
        }
        return mask;
    }
};
#endif  // PCX_KERNELS_X86

}  // namespace pcx::kernels

#endif  // PCX_KERNELS_PRIMITIVES_H
