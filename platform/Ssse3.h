// The processor check behind the SSSE3 byte-shuffle paths of the decoder and
// the encoder. The build itself assumes no more than SSE2, so these paths are
// compiled for SSSE3 function by function and chosen at run time; nearly every
// x86-64 processor has it. Without SSE2 (or another compiler) everything is
// portable C++ and PCX_HAS_SSSE3_KERNEL is 0.
#ifndef PCX_PLATFORM_SSSE3_H
#define PCX_PLATFORM_SSSE3_H

#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define PCX_HAS_SSSE3_KERNEL 1
#include <cpuid.h>
#include <tmmintrin.h>

namespace pcx {

// Whether this processor runs SSSE3 instructions (asked once per caller).
inline bool processorHasSsse3() {
    unsigned eax, ebx, ecx, edx;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_SSSE3) != 0;
}

}  // namespace pcx
#else
#define PCX_HAS_SSSE3_KERNEL 0
#endif

#endif  // PCX_PLATFORM_SSSE3_H
