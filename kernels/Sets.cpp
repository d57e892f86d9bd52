// One copy of every kernel for each instruction set: the loop bodies of
// Bodies.h over that set's primitives. Each entry point is compiled for its
// set's instructions and flattens everything it calls into itself, so that
// no call leaves the set's code inside a loop, and nothing compiled for a
// larger set can be reached from a smaller one.
#include "kernels/Sets.h"
#include "kernels/Bodies.h"

namespace pcx::kernels {

// The entry points of one set, in namespace name, over primitives P, each
// with the attributes that compile it for the set; and table, their table.
#define PCX_DEFINE_KERNEL_SET(name, table, P, ATTRIBUTES)                                          \
    namespace name {                                                                               \
    ATTRIBUTES RunLengthResult decode(const uint8_t* in, size_t inSize, uint8_t* out,              \
                                      size_t outSize) {                                            \
        return decodeWindows<P>(in, inSize, out, outSize);                                         \
    }                                                                                              \
    ATTRIBUTES RunLengthResult skip(const uint8_t* in, size_t inSize, size_t count) {              \
        return skipWindows<P>(in, inSize, count);                                                  \
    }                                                                                              \
    ATTRIBUTES void interleave(const uint8_t* red, const uint8_t* green, const uint8_t* blue,      \
                               uint32_t* out, size_t count) {                                      \
        interleaveRow<P>(red, green, blue, out, count);                                            \
    }                                                                                              \
    ATTRIBUTES void unpack1(const uint8_t* line, uint8_t* out, size_t count) {                     \
        unpackRowBits<1>(line, out, count);                                                        \
    }                                                                                              \
    ATTRIBUTES void unpack2(const uint8_t* line, uint8_t* out, size_t count) {                     \
        unpackRowBits<2>(line, out, count);                                                        \
    }                                                                                              \
    ATTRIBUTES void unpack4(const uint8_t* line, uint8_t* out, size_t count) {                     \
        unpackRowBits<4>(line, out, count);                                                        \
    }                                                                                              \
    ATTRIBUTES void combine2(const uint8_t* line, size_t planeBytes, uint8_t* out, size_t count) { \
        combineBitPlanesRow<P, 2>(line, planeBytes, out, count);                                   \
    }                                                                                              \
    ATTRIBUTES void combine3(const uint8_t* line, size_t planeBytes, uint8_t* out, size_t count) { \
        combineBitPlanesRow<P, 3>(line, planeBytes, out, count);                                   \
    }                                                                                              \
    ATTRIBUTES void combine4(const uint8_t* line, size_t planeBytes, uint8_t* out, size_t count) { \
        combineBitPlanesRow<P, 4>(line, planeBytes, out, count);                                   \
    }                                                                                              \
    ATTRIBUTES uint32_t codeBytes(const uint8_t* first, uint32_t count, uint8_t** out,             \
                                  OpenRun* run) {                                                  \
        return codeLine<P, 1>(first, count, out, run);                                             \
    }                                                                                              \
    ATTRIBUTES uint32_t codePixelPlane(const uint8_t* first, uint32_t count, uint8_t** out,        \
                                       OpenRun* run) {                                             \
        return codeLine<P, 4>(first, count, out, run);                                             \
    }                                                                                              \
    }                                                                                              \
    const KernelSet table = {name::decode,                                                         \
                             name::skip,                                                           \
                             name::interleave,                                                     \
                             {name::unpack1, name::unpack2, name::unpack4},                        \
                             {name::combine2, name::combine3, name::combine4},                     \
                             name::codeBytes,                                                      \
                             name::codePixelPlane};

PCX_DEFINE_KERNEL_SET(portable, kPortableSet, PortablePrimitives, __attribute__((flatten)))
#if PCX_KERNELS_X86
PCX_DEFINE_KERNEL_SET(sse2, kSse2Set, Sse2Primitives, __attribute__((flatten, target("sse2"))))
PCX_DEFINE_KERNEL_SET(ssse3, kSsse3Set, Ssse3Primitives, __attribute__((flatten, target("ssse3"))))
#if defined(__x86_64__)
PCX_DEFINE_KERNEL_SET(avx2, kAvx2Set, Avx2Primitives,
                      __attribute__((flatten, target("avx2,popcnt,bmi"))))
#endif
#endif

}  // namespace pcx::kernels
