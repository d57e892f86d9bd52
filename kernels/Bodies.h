// The loop bodies of the kernels, written once over a set of primitives P
// (Primitives.h) and instantiated for each instruction set in Sets.cpp.
// What each loop must do, and its plain reference, is in Kernels.h and
// Kernels.cpp.
//
// Only the kernels' own sources include this.
#ifndef PCX_KERNELS_BODIES_H
#define PCX_KERNELS_BODIES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/Kernels.h"
#include "kernels/Primitives.h"

namespace pcx::kernels {

// --- run-length decoding, a window of code bytes at a time ------------------------
//
// While the input holds a window (and, when storing, the output has room for
// one window's output and the scratch), a window's run headers are found
// at once as a mask of one word, so stepping from one code to the next takes
// no load and no test of the bytes between them, and no branch depends on a
// count. The exact code-by-code loop of Kernels.cpp finishes what is left.

constexpr size_t kWindow = kWindowBytes;
static_assert(kCodeWindow == kWindowBytes, "the coder's windows are the decoder's");
// Input a window may read: the window itself, and when decoding up to 15
// bytes past it (literals are copied in 16-byte pieces).
constexpr size_t kDecodeInputMargin = kWindow + 16;
constexpr size_t kSkipInputMargin = kWindow;
// A window holds at most kWindow / 2 runs of at most 63 bytes, or kWindow
// literals.
constexpr size_t kOutputMargin = kWindow / 2 * kRunCountMask + kWindow + kRunLengthScratch;
static_assert(kRunLengthScratch > kRunCountMask, "a run's scratch covers its longest count");
// Most runs are short: one 8-byte store covers them.
constexpr size_t kShortRun = 8;

// The true run headers among the lookalikes of a window whose byte 0 starts
// a code. Within a stretch of consecutive lookalikes the first starts a code
// (the byte before it is a literal or a value, both of which end a code), so
// it is a header, the next its value, the next a header again, and so on:
// the headers are the lookalikes at an even distance from their stretch's
// start. Adding each even-placed start to the mask clears exactly the
// stretches that begin at an even position.
inline Mask trueRunHeaders(Mask lookalikes) {
    constexpr Mask kEvenBits = everyByte(0x55);
    const Mask starts = lookalikes & ~(lookalikes << 1);
    const Mask fromEven = lookalikes & ~(lookalikes + (starts & kEvenBits));
    const Mask fromOdd = lookalikes & ~fromEven;
    return (fromEven & kEvenBits) | (fromOdd & ~kEvenBits);
}

// What a window of codes holds, worked out from its masks.
struct WindowCodes {
    Mask headers;   // the run headers whose value is in this window
    Mask taken;     // the bytes this window takes (all but a last header)
    Mask longRuns;  // headers of runs other than a run of one
    size_t length;  // bytes taken: the window, or one less when its last byte is a header
};

// The input position after a window. A header in its last byte, the one
// case of a shorter step, is rare enough to be predicted, so it is a branch:
// the next window's loads then need not wait for this window's masks. (The
// empty statement keeps the compiler from turning the branch back into
// arithmetic on the masks.)
inline size_t afterWindow(size_t read, const WindowCodes& codes) {
    read += kWindow;
    if (codes.length != kWindow) {
        __asm__("" : "+r"(read));
        --read;
    }
    return read;
}

template <class P>
inline WindowCodes readWindow(const uint8_t* window) {
    const WindowMasks masks = P::scanWindow(window);
    const Mask headers = trueRunHeaders(masks.lookalikes);
    // A header in the last byte has its value in the next window, which
    // then starts with that header.
    const unsigned split = static_cast<unsigned>(headers >> (kWindow - 1));
    const Mask taken = ~Mask{0} >> split;
    const Mask whole = headers & taken;
    return {whole, taken, whole & ~masks.singles, kWindow - split};
}

// Copies count (at most a window's) literal bytes in 16-byte pieces; up to 16 bytes
// of scratch may follow them.
inline void copyWithScratch(uint8_t* out, const uint8_t* in, size_t count) {
    std::memcpy(out, in, 16);
    for (size_t done = 16; done < count; done += 16) std::memcpy(out + done, in + done, 16);
}

// Writes the run whose header is window[header] (its value follows it) at
// out, 8 bytes of its value for a short run and 64 for a longer one, and
// returns its true count: the bytes past the count are scratch.
inline size_t expandRun(const uint8_t* window, size_t header, uint8_t* out) {
    const size_t count = window[header] & kRunCountMask;
    const uint64_t pattern = window[header + 1] * 0x0101010101010101ull;
    std::memcpy(out, &pattern, kShortRun);
    if (count > kShortRun)
        for (size_t done = kShortRun; done < kRunLengthScratch; done += kShortRun)
            std::memcpy(out + done, &pattern, kShortRun);
    return count;
}

// Three kinds of window, by what the masks show:
// - no run header: 64 literals, copied whole;
// - every run a single byte (0xC1 and its value), as in noisy pictures where
//   a quarter of the bytes are 0xC0 or above, or all but one or two runs:
//   the single-byte codes are the window with its run headers left out,
//   which P::keepMarked makes in one pass for each stretch between the
//   other runs;
// - anything else: code by code. Literals move in 16-byte pieces.
// A run of any other length writes 8 or 64 bytes of its value whatever its
// exact count. What lands past a code's true end is overwritten by the
// codes after it, so only the last scratch (at most kRunLengthScratch bytes
// past written) can outlive the call.
template <class P>
inline RunLengthResult decodeWindows(const uint8_t* in, size_t inSize, uint8_t* out,
                                     size_t outSize) {
    size_t read = 0;  // the window's first byte, always the start of a code
    size_t written = 0;
    while (inSize - read >= kDecodeInputMargin && outSize - written >= kOutputMargin) {
        const uint8_t* window = in + read;
        const WindowCodes codes = readWindow<P>(window);
        if (codes.headers == 0 && codes.length == kWindow) {
            std::memcpy(out + written, window, kWindow);
            written += kWindow;
            read += kWindow;
            continue;
        }
        Mask longRuns = codes.longRuns;
        const Mask afterFirst = longRuns & (longRuns - 1);
        if ((afterFirst & (afterFirst - 1)) == 0) {
            // The stretches of single-byte codes before, between and after
            // the (at most two) other runs.
            Mask from = codes.taken;  // the bytes not yet taken
            while (longRuns != 0) {
                const size_t header = lowestBit(longRuns);
                longRuns &= longRuns - 1;
                const Mask before = ~codes.headers & from & ((Mask{1} << header) - 1);
                if (before != 0) written += P::keepMarked(window, before, out + written);
                written += expandRun(window, header, out + written);
                from = codes.taken & (~Mask{0} << header << 2);
            }
            const Mask rest = ~codes.headers & from;
            if (rest != 0) written += P::keepMarked(window, rest, out + written);
            read = afterWindow(read, codes);
            continue;
        }
        Mask headers = codes.headers;
        size_t at = 0;  // the next code in the window
        while (headers != 0) {
            const size_t header = lowestBit(headers);
            headers &= headers - 1;
            copyWithScratch(out + written, window + at, header - at);
            written += header - at;
            written += expandRun(window, header, out + written);
            at = header + 2;
        }
        // Literals to the end of what the window takes.
        if (at < codes.length) {
            copyWithScratch(out + written, window + at, codes.length - at);
            written += codes.length - at;
        }
        read = afterWindow(read, codes);
    }
    return {read, written, 0};
}

// The same windows, counted instead of stored: a window is taken whole when
// all it decodes to stays below what is left of count (one that would reach
// count exactly may hold codes after the last byte that write nothing, which
// the exact loop leaves for later, as decoding does). Its literals and runs
// of one are counted by their masks; only other runs are looked at one by
// one.
template <class P>
inline RunLengthResult skipWindows(const uint8_t* in, size_t inSize, size_t count) {
    size_t read = 0;
    size_t skipped = 0;
    while (inSize - read >= kSkipInputMargin) {
        const WindowCodes codes = readWindow<P>(in + read);
        // Each header and its value make one byte for a run of one; a
        // literal makes one.
        size_t decoded = codes.length - P::countBits(codes.headers);
        for (Mask runs = codes.longRuns; runs != 0; runs &= runs - 1) {
            const size_t header = lowestBit(runs);
            decoded += static_cast<size_t>(in[read + header] & kRunCountMask) - 1;
        }
        if (decoded >= count - skipped) break;
        skipped += decoded;
        read = afterWindow(read, codes);
    }
    return {read, skipped, 0};
}

// --- row expansion ---------------------------------------------------------------
// The bulk runs over a multiple of 16 pixels; the few left over take the
// plain loop after it.

inline size_t multipleOf16(size_t count) {
    return count & ~static_cast<size_t>(15);
}

template <class P>
inline void interleaveRow(const uint8_t* __restrict red, const uint8_t* __restrict green,
                          const uint8_t* __restrict blue, uint32_t* __restrict out, size_t count) {
    const size_t bulk = multipleOf16(count);
    for (size_t x = 0; x < bulk; x += 16) P::interleave16(red + x, green + x, blue + x, out + x);
    for (size_t x = bulk; x < count; ++x)
        out[x] = uint32_t{red[x]} << 16 | uint32_t{green[x]} << 8 | blue[x];
}

// Pixel x of a plane line packed Bits to a pixel, most significant bits
// first.
template <int Bits>
inline uint8_t packedPixel(const uint8_t* line, size_t x) {
    constexpr size_t kPerByte = 8 / Bits;
    constexpr unsigned kMask = (1u << Bits) - 1;
    const unsigned shift = static_cast<unsigned>(8 - Bits * (x % kPerByte + 1));
    return static_cast<uint8_t>((line[x / kPerByte] >> shift) & kMask);
}

// The pixels of one source byte, most significant first, written out one by
// one so that the loop around it vectorises wherever the set has vectors.
template <int Bits>
inline void unpackByte(unsigned value, uint8_t* out) {
    constexpr unsigned kMask = (1u << Bits) - 1;
    constexpr int kPerByte = 8 / Bits;
    for (int i = 0; i < kPerByte; ++i)
        out[i] = static_cast<uint8_t>((value >> (8 - Bits * (i + 1))) & kMask);
}

// Whole source bytes first, in a multiple of 16, then the pixels of what is
// left, a last partial byte included.
template <int Bits>
inline void unpackRowBits(const uint8_t* __restrict line, uint8_t* __restrict out, size_t count) {
    constexpr size_t kPerByte = 8 / Bits;
    const size_t bulk = multipleOf16(count / kPerByte);
    for (size_t k = 0; k < bulk; ++k) unpackByte<Bits>(line[k], out + k * kPerByte);
    for (size_t x = bulk * kPerByte; x < count; ++x) out[x] = packedPixel<Bits>(line, x);
}

// Pixel x of Planes plane lines of 1 bit: plane p gives bit p.
template <int Planes>
inline uint8_t bitPlanesPixel(const uint8_t* const* planes, size_t x) {
    unsigned value = 0;
    for (int p = 0; p < Planes; ++p) value |= ((planes[p][x / 8] >> (7 - x % 8)) & 1u) << p;
    return static_cast<uint8_t>(value);
}

// Sixteen source bytes of each plane (128 pixels) at a time, then the whole
// bytes left (8 pixels each), then the pixels of a last partial byte.
template <class P, int Planes>
inline void combineBitPlanesRow(const uint8_t* line, size_t planeBytes, uint8_t* __restrict out,
                                size_t count) {
    const uint8_t* planes[4] = {};
    for (int p = 0; p < Planes; ++p) planes[p] = line + static_cast<size_t>(p) * planeBytes;
    const size_t whole = count / 8;
    const size_t bulk = multipleOf16(whole);
    for (size_t k = 0; k < bulk; k += 16)
        P::template combineBitPlanes16<Planes>(planes, k, out + 8 * k);
    for (size_t k = bulk; k < whole; ++k)
        P::template combineBitPlaneByte<Planes>(planes, k, out + 8 * k);
    for (size_t x = whole * 8; x < count; ++x) out[x] = bitPlanesPixel<Planes>(planes, x);
}

// --- run-length coding of plane lines ---------------------------------------------

// Writes the full codes of 63 that the open run has collected beyond 63
// bytes, as the run coder does when its 64th equal byte arrives.
inline uint8_t* writeFullCodes(uint8_t* out, OpenRun& run) {
    while (run.length > static_cast<int32_t>(kMaxRunLength)) {
        out = writeRunCode(out, static_cast<uint8_t>(run.value), kMaxRunLength);
        run.length -= static_cast<int32_t>(kMaxRunLength);
    }
    return out;
}

// Codes the values of a window exactly as the same values fed one at a time
// to the run coder would, given the run open before it: every run that ends
// inside the window is written, and the run that reaches the window's end is
// left open. sameAsNextMask is P::sameAsNext(values).
template <class P>
inline uint8_t* codeWindow(uint8_t* out, const uint8_t* values, Mask sameAsNextMask, OpenRun& run) {
    // Bit i set when values[i] begins a run: it differs from the value
    // before it (from the open run's for value 0, -1 matching no byte).
    Mask starts = ~(sameAsNextMask << 1);
    if (values[0] == run.value) starts &= ~Mask{1};
    uint32_t at = 0;
    if ((starts & 1) == 0) {  // the open run goes on
        at = starts == 0 ? kCodeWindow : lowestBit(starts);
        run.length += static_cast<int32_t>(at);
        out = writeFullCodes(out, run);
    }
    while (at < kCodeWindow) {
        // A run begins at at: the open one ends.
        if (run.value >= 0)
            out = writeRunCode(out, static_cast<uint8_t>(run.value),
                               static_cast<uint32_t>(run.length));
        // Where the next value begins a run too, this one is a single
        // value: most values of a noisy picture.
        const Mask notStarts = ~(starts >> at);
        const uint32_t together = notStarts == 0 ? kCodeWindow - at : lowestBit(notStarts);
        if (together > 1) {
            out = P::writeSingles(out, values + at, together - 1, kCodeWindow + 1 - at);
            at += together - 1;
        }
        // The run beginning at at lasts until the next one begins.
        const Mask later = at + 1 < kCodeWindow ? starts >> (at + 1) : 0;
        const uint32_t length = later == 0 ? kCodeWindow - at : lowestBit(later) + 1;
        run.value = values[at];
        run.length = static_cast<int32_t>(length);
        out = writeFullCodes(out, run);
        at += length;
    }
    return out;
}

// A window's mask looks at the value after it too: each window ends before
// the line's last value.
template <class P, uint32_t Step>
inline uint32_t codeLine(const uint8_t* first, uint32_t count, uint8_t** out, OpenRun* run) {
    // Locals while codes are stored: a store through a byte pointer could
    // change anything the pointers lead to, which would then be read again.
    OpenRun open = *run;
    uint8_t* at = *out;
    uint8_t gathered[kCodeWindow + 1];
    uint32_t x = 0;
    for (; count - x > kCodeWindow; x += kCodeWindow) {
        const uint8_t* values = first + Step * x;
        Mask same;
        if (Step == 1) {
            same = P::sameAsNext(values);
        } else {
            same = P::gatherPlane(values, gathered);
            values = gathered;
        }
        at = codeWindow<P>(at, values, same, open);
    }
    *out = at;
    *run = open;
    return x;
}

}  // namespace pcx::kernels

#endif  // PCX_KERNELS_BODIES_H
