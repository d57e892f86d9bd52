// The copies of one instruction set, as a table of entry points (Sets.cpp
// fills one for each set, Kernels.cpp chooses among them).
//
// Only the kernels' own sources include this.
#ifndef PCX_KERNELS_SETS_H
#define PCX_KERNELS_SETS_H

#include <cstddef>
#include <cstdint>

#include "kernels/Kernels.h"

namespace pcx::kernels {

struct KernelSet {
    // The bulk of decodeRunLength and skipRunLength: whole windows only,
    // leaving the last codes to the exact loops (cut is always 0).
    RunLengthResult (*decodeWindows)(const uint8_t* in, size_t inSize, uint8_t* out,
                                     size_t outSize);
    RunLengthResult (*skipWindows)(const uint8_t* in, size_t inSize, size_t count);
    void (*interleavePlanes)(const uint8_t* red, const uint8_t* green, const uint8_t* blue,
                             uint32_t* out, size_t count);
    // Indexed by bits per pixel / 2: 1, 2 and 4 bits.
    void (*unpackRow[3])(const uint8_t* line, uint8_t* out, size_t count);
    // Indexed by planes - 2: 2, 3 and 4 planes of 1 bit.
    void (*combineBitPlanes[3])(const uint8_t* line, size_t planeBytes, uint8_t* out, size_t count);
    // codeLineBulk for a step of 1 (bytes) and of 4 (one plane of pixels).
    uint32_t (*codeBytes)(const uint8_t* first, uint32_t count, uint8_t** out, OpenRun* run);
    uint32_t (*codePixelPlane)(const uint8_t* first, uint32_t count, uint8_t** out, OpenRun* run);
};

extern const KernelSet kPortableSet;
#if defined(__i386__) || defined(__x86_64__)
extern const KernelSet kSse2Set;
extern const KernelSet kSsse3Set;
#endif
#if defined(__x86_64__)
extern const KernelSet kAvx2Set;
#endif

}  // namespace pcx::kernels

#endif  // PCX_KERNELS_SETS_H
