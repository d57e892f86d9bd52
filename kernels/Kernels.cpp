// The kernels' entry points: the exact, code-by-code run-length loops that
// finish what the bulk copies leave (and are the reference they are held
// to), the processor check, and the choice of copies.
#include "kernels/Kernels.h"

#include <algorithm>
#include <cstring>

#include "PcxFormat.h"
#include "kernels/Sets.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace pcx {

namespace kernels {

namespace {

bool processorRuns(InstructionSet set) {
    if (set == InstructionSet::Portable) return true;
#if defined(__i386__) || defined(__x86_64__)
    // Every x86-64 processor has SSE2, but an i686 need not; SSSE3 came
    // later still (and some SSE3 processors lack it).
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool sse2 = (edx & bit_SSE2) != 0;
    const bool ssse3 = sse2 && (ecx & bit_SSSE3) != 0;
    if (set == InstructionSet::Sse2) return sse2;
    if (set == InstructionSet::Ssse3) return ssse3;
    if (set == InstructionSet::Avx2) {
        // The processor's AVX, and the system's saving of the vector
        // registers' upper halves.
        constexpr unsigned kOsSavesVectors = 1u << 27;  // OSXSAVE
        if (!ssse3 || (ecx & kOsSavesVectors) == 0 || (ecx & bit_AVX) == 0 ||
            (ecx & bit_POPCNT) == 0)
            return false;
        unsigned low, high;
        __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        constexpr unsigned kXmmAndYmmState = 0x6;
        if ((low & kXmmAndYmmState) != kXmmAndYmmState) return false;
        if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
        return (ebx & bit_AVX2) != 0 && (ebx & bit_BMI) != 0;
    }
#endif
    return false;
}

const KernelSet* tableOf(InstructionSet set) {
    switch (set) {
        case InstructionSet::Portable:
            return &kPortableSet;
#if defined(__i386__) || defined(__x86_64__)
        case InstructionSet::Sse2:
            return &kSse2Set;
        case InstructionSet::Ssse3:
            return &kSsse3Set;
#endif
#if defined(__x86_64__)
        case InstructionSet::Avx2:
            return &kAvx2Set;
#endif
        default:
            break;
    }
    return nullptr;
}

// The copies in use, and their set; chosen on first use (a constant
// until then, so that loading the module does no work).
const KernelSet* chosenTable = nullptr;
InstructionSet chosenSet = InstructionSet::Portable;

void chooseFastest() {
    for (InstructionSet set : kAllSets)
        if (available(set)) {
            chosenSet = set;
            chosenTable = tableOf(set);
        }
}

const KernelSet& copies() {
    if (chosenTable == nullptr) chooseFastest();
    return *chosenTable;
}

}  // namespace

const char* nameOf(InstructionSet set) {
    switch (set) {
        case InstructionSet::Portable:
            return "portable";
        case InstructionSet::Sse2:
            return "sse2";
        case InstructionSet::Ssse3:
            return "ssse3";
        case InstructionSet::Avx2:
            return "avx2";
    }
    return "?";
}

bool available(InstructionSet set) {
    return tableOf(set) != nullptr && processorRuns(set);
}

InstructionSet active() {
    copies();
    return chosenSet;
}

bool select(InstructionSet set) {
    if (!available(set)) return false;
    chosenSet = set;
    chosenTable = tableOf(set);
    return true;
}

}  // namespace kernels

namespace {

// The codes after the bulk's windows, one at a time and exactly, until count
// bytes are made: stored at out, or only counted when out is null. A run
// that reaches past count reports what did not fit.
RunLengthResult finishCodes(const uint8_t* in, size_t inSize, uint8_t* out, size_t count,
                            RunLengthResult bulk) {
    size_t read = bulk.consumed;
    size_t made = bulk.written;
    while (made < count && read < inSize) {
        const uint8_t code = in[read];
        if (!isRunHeader(code)) {
            if (out) out[made] = code;
            ++made;
            ++read;
            continue;
        }
        if (inSize - read < 2) break;  // its value byte may come with the next block
        const size_t length = code & kRunCountMask;
        const size_t fits = std::min(length, count - made);
        if (out) std::memset(out + made, in[read + 1], fits);
        made += fits;
        read += 2;
        if (fits < length) return {read, made, length - fits};
    }
    return {read, made, 0};
}

}  // namespace

RunLengthResult decodeRunLength(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
    return finishCodes(in, inSize, out, outSize,
                       kernels::copies().decodeWindows(in, inSize, out, outSize));
}

RunLengthResult skipRunLength(const uint8_t* in, size_t inSize, size_t count) {
    return finishCodes(in, inSize, nullptr, count,
                       kernels::copies().skipWindows(in, inSize, count));
}

void interleavePlanes(const uint8_t* red, const uint8_t* green, const uint8_t* blue, uint32_t* out,
                      size_t count) {
    kernels::copies().interleavePlanes(red, green, blue, out, count);
}

void unpackRow(int bits, const uint8_t* line, uint8_t* out, size_t count) {
    kernels::copies().unpackRow[bits / 2](line, out, count);
}

void combineBitPlanes(int planes, const uint8_t* line, size_t planeBytes, uint8_t* out,
                      size_t count) {
    kernels::copies().combineBitPlanes[planes - 2](line, planeBytes, out, count);
}

uint32_t codeLineBulk(const uint8_t* first, uint32_t count, uint32_t step, uint8_t** out,
                      OpenRun* run) {
    const kernels::KernelSet& set = kernels::copies();
    return step == 1 ? set.codeBytes(first, count, out, run)
                     : set.codePixelPlane(first, count, out, run);
}

}  // namespace pcx
