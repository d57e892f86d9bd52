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
#include <tmmintrin.h>
#else
#define PCX_KERNELS_X86 0
#endif

// Portable primitives may be inlined into any set's copies; a set's own can
// only be inlined into functions compiled for the same or a larger set.
#define PCX_PORTABLE inline
#define PCX_SSE2 inline __attribute__((target("sse2")))
#define PCX_SSSE3 inline __attribute__((target("ssse3")))

namespace pcx::kernels {

// The bytes of the 64 at a window of codes that look like run headers (both
// top bits set; a value byte can look like one too), and those that are
// 0xC1, the header of a run of one. Bit k stands for byte k.
struct WindowMasks {
    uint64_t lookalikes;
    uint64_t singles;
};

constexpr uint64_t kEveryByte = 0x0101010101010101ull;
constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;

// Bits set in a word, on any processor: pairs, then nibbles, then bytes
// summed by one multiply. A 32-bit build counts the two halves of a mask
// apart, as it finds their lowest bits, instead of calling the compiler's
// 64-bit helpers.
PCX_PORTABLE unsigned countBits32(uint32_t word) {
    word -= (word >> 1) & 0x55555555u;
    word = (word & 0x33333333u) + ((word >> 2) & 0x33333333u);
    word = (word + (word >> 4)) & 0x0F0F0F0Fu;
    return (word * 0x01010101u) >> 24;
}

#if UINTPTR_MAX > 0xFFFFFFFFu
PCX_PORTABLE unsigned countBits(uint64_t mask) {
    mask -= (mask >> 1) & 0x5555555555555555ull;
    mask = (mask & 0x3333333333333333ull) + ((mask >> 2) & 0x3333333333333333ull);
    mask = (mask + (mask >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<unsigned>((mask * kEveryByte) >> 56);
}

PCX_PORTABLE unsigned lowestBit(uint64_t mask) {
    return static_cast<unsigned>(__builtin_ctzll(mask));
}
#else
PCX_PORTABLE unsigned countBits(uint64_t mask) {
    return countBits32(static_cast<uint32_t>(mask)) +
           countBits32(static_cast<uint32_t>(mask >> 32));
}

// mask is not 0.
PCX_PORTABLE unsigned lowestBit(uint64_t mask) {
    const uint32_t low = static_cast<uint32_t>(mask);
    return low != 0 ? static_cast<unsigned>(__builtin_ctz(low))
                    : 32 + static_cast<unsigned>(__builtin_ctz(static_cast<uint32_t>(mask >> 32)));
}
#endif

// Any processor: 64-bit words of eight bytes.
struct PortablePrimitives {
    // Bit k set when byte k of word has bit 7 set: each top bit, moved to
    // the bottom of its byte, is multiplied into place in the top byte, and
    // no two products meet there.
    static PCX_PORTABLE unsigned gatherTopBits(uint64_t word) {
        return static_cast<unsigned>(((word >> 7) & kEveryByte) * 0x0102040810204080ull >> 56);
    }

    // Bit 7 of each byte where a and b hold the same byte, no other bit: a
    // byte of a ^ b is 0 exactly when adding 0x7F to its low seven bits
    // leaves bit 7 clear and its own bit 7 is clear too. No carry crosses
    // bytes.
    static PCX_PORTABLE uint64_t equalBytes(uint64_t a, uint64_t b) {
        const uint64_t difference = a ^ b;
        return ~(((difference & kLow7) + kLow7) | difference) & ~kLow7;
    }

    static PCX_PORTABLE uint64_t load8(const uint8_t* p) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        return word;
    }

    static PCX_PORTABLE WindowMasks scanWindow(const uint8_t* p) {
        WindowMasks masks = {0, 0};
        for (int word = 0; word < 8; ++word) {
            const uint64_t bytes = load8(p + 8 * word);
            // Bit 7 of bytes & bytes << 1 is set exactly when bits 7 and 6 of
            // the byte are (the shift carries a low byte's bit 7 only into
            // bit 0 of the byte above).
            masks.lookalikes |= static_cast<uint64_t>(gatherTopBits(bytes & (bytes << 1)))
                                << (8 * word);
            masks.singles |= static_cast<uint64_t>(
                                 gatherTopBits(equalBytes(bytes, kSingleRunHeader * kEveryByte)))
                             << (8 * word);
        }
        return masks;
    }

    // Copies, in order, the bytes of the 64 at window whose bit in keep is
    // set to out and returns how many; up to 8 bytes of scratch may follow.
    // Every byte is stored, and the position moves on past the ones kept.
    static PCX_PORTABLE size_t keepMarked(const uint8_t* window, uint64_t keep, uint8_t* out) {
        size_t kept = 0;
        for (size_t i = 0; i < 64; ++i) {
            out[kept] = window[i];
            kept += (keep >> i) & 1;
        }
        return kept;
    }

    // Bit i set when values[i] equals values[i + 1], for i from 0 to 63:
    // reads values[0..64].
    static PCX_PORTABLE uint64_t sameAsNext(const uint8_t* values) {
        uint64_t mask = 0;
        for (int word = 0; word < 8; ++word) {
            const uint64_t equal =
                equalBytes(load8(values + 8 * word), load8(values + 8 * word + 1));
            mask |= static_cast<uint64_t>(gatherTopBits(equal)) << (8 * word);
        }
        return mask;
    }

    // Byte 0 of each of the 65 32-bit pixels at first into values[0..64].
    static PCX_PORTABLE void gatherPlane(const uint8_t* first, uint8_t* values) {
        for (size_t i = 0; i <= 64; ++i) values[i] = first[4 * i];
    }

    // The codes of count single values (runs of one) at out; returns the
    // position after them. Up to 8 bytes of scratch may follow.
    static PCX_PORTABLE uint8_t* writeSingles(uint8_t* out, const uint8_t* values, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) out = writeRunCode(out, values[i], 1);
        return out;
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

    static PCX_SSE2 WindowMasks scanWindow(const uint8_t* p) {
        const __m128i single = _mm_set1_epi8(static_cast<char>(kSingleRunHeader));
        WindowMasks masks = {0, 0};
        for (int part = 0; part < 4; ++part) {
            const __m128i bytes = load16(p + 16 * part);
            masks.lookalikes |= static_cast<uint64_t>(lookalikes16(bytes)) << (16 * part);
            masks.singles |= static_cast<uint64_t>(static_cast<unsigned>(
                                 _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, single))))
                             << (16 * part);
        }
        return masks;
    }

    static PCX_SSE2 uint64_t sameAsNext(const uint8_t* values) {
        uint64_t mask = 0;
        for (int part = 0; part < 4; ++part) {
            const __m128i here = load16(values + 16 * part);
            const __m128i next = load16(values + 16 * part + 1);
            mask |= static_cast<uint64_t>(
                        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, next))))
                    << (16 * part);
        }
        return mask;
    }

    // Sixteen pixels at a time: the low byte of each 32-bit lane, packed
    // down; the last load ends within pixel 64's word.
    static PCX_SSE2 void gatherPlane(const uint8_t* first, uint8_t* values) {
        const __m128i lowByte = _mm_set1_epi32(0xFF);
        for (int part = 0; part < 4; ++part) {
            const uint8_t* from = first + 64 * part;
            const __m128i a = _mm_and_si128(load16(from), lowByte);
            const __m128i b = _mm_and_si128(load16(from + 16), lowByte);
            const __m128i c = _mm_and_si128(load16(from + 32), lowByte);
            const __m128i d = _mm_and_si128(load16(from + 48), lowByte);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(values + 16 * part),
                             _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
        }
        values[64] = first[4 * 64];
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
};

// For each 8-bit mask: the positions of its set bits packed to the front,
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
    // stored whole.
    static PCX_SSSE3 size_t keepMarked(const uint8_t* window, uint64_t keep, uint8_t* out) {
        constexpr uint64_t kSecondHalf = 8 * kEveryByte;
        size_t kept = 0;
        for (int part = 0; part < 4; ++part) {
            const __m128i bytes = load16(window + 16 * part);
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

    // Eight values at a time, each group's codes stored as 16 bytes whatever
    // their length: up to 8 bytes of scratch may follow the last code.
    static PCX_SSSE3 uint8_t* writeSingles(uint8_t* out, const uint8_t* values, uint32_t count) {
        const __m128i header = _mm_set1_epi8(static_cast<char>(kSingleRunHeader));
        uint32_t i = 0;
        for (; count - i >= 8; i += 8) {
            const __m128i group = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(values + i));
            const unsigned marked = lookalikes16(group) & 0xFF;
            const __m128i order =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSinglesTables.order[marked]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                             _mm_shuffle_epi8(_mm_unpacklo_epi64(group, header), order));
            out += kSinglesTables.length[marked];
        }
        return PortablePrimitives::writeSingles(out, values + i, count - i);
    }
};
#endif  // PCX_KERNELS_X86

}  // namespace pcx::kernels

#endif  // PCX_KERNELS_PRIMITIVES_H
