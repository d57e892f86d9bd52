// The inner loops of the decoder and the encoder, with a copy for each
// instruction set that speeds them up, chosen once per process from what the
// processor (and, for AVX2, the system) says of itself.
//
//   loop                       used by   portable   SSE2   SSSE3      AVX2
//   run-length decode windows  Dpcx      yes        yes    yes        yes
//   run-length skip windows    Dpcx      yes        yes    yes        yes
//   plane interleave           Dpcx      yes        yes    (SSE2's)   (SSE2's)
//   1, 2, 4-bit row unpacking  Dpcx      yes        yes    (SSE2's)   (SSE2's)
//   1-bit plane combining      Dpcx      yes        yes    (SSE2's)   (SSE2's)
//   run scan of a plane line   Epcx      yes        yes    yes        yes
//
// The portable copies are plain C++ (machine words as masks) for any
// processor, also an i686 without SSE2; everything outside this folder is
// plain code too. The SSE2 and SSSE3 copies exist in both x86 builds, the
// AVX2 ones only in the 64-bit build (in the 32-bit one they earned nothing
// clear over SSSE3). Each copy is compiled function by function for its
// instruction set (the build itself assumes none), so the 32-bit Windows
// module loads and decodes correctly on any processor and takes the fastest
// copy the processor runs. What the loops do, and their exact byte-at-a-time
// reference, is in Kernels.cpp; the loop bodies, written once over each
// set's primitives, in Bodies.h and Primitives.h.
//
// Every copy gives the same bytes: the tests, the sanitizer suite and the
// fuzz targets force each one the processor has (kernels::select) and hold
// it to the plain reference. The module itself never forces one.
#ifndef PCX_KERNELS_KERNELS_H
#define PCX_KERNELS_KERNELS_H

#include <cstddef>
#include <cstdint>

namespace pcx {

// --- run-length decoding ------------------------------------------------------

// What a run-length call did: input bytes taken, output bytes made (written,
// or skipped), and how many bytes of the last run did not fit because the
// output ended inside it (0 unless the output's end cut a run; those bytes
// begin whatever follows the output).
struct RunLengthResult {
    size_t consumed;
    size_t written;
    size_t cut;
};

// How far past its last byte written decodeRunLength may leave scratch: the
// length of the longest run, rounded up to whole words.
constexpr size_t kRunLengthScratch = 64;

// Decodes PCX run-length codes from in[0..inSize) into out[0..outSize).
//
// Stops when out is full or when in holds no further whole code. A run
// header that is the last byte of in is not consumed (consumed ends before
// it), so a caller reading in blocks carries it over to the next block; at
// the end of a file it is simply dropped. A run that reaches past the end of
// out writes only what fits, is consumed whole and reports the rest as cut;
// a run of count 0 writes nothing and is consumed.
//
// Nothing outside out[0..outSize) is ever touched, but to move whole words
// the decoder may leave scratch in up to kRunLengthScratch bytes of out just
// past written; bytes beyond those are left untouched.
RunLengthResult decodeRunLength(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize);

// Takes the codes of the next count decoded bytes from in[0..inSize) without
// storing them, with the stops of decodeRunLength (written counts the bytes
// skipped; a run reaching past count reports the rest as cut).
RunLengthResult skipRunLength(const uint8_t* in, size_t inSize, size_t count);

// --- row expansion --------------------------------------------------------------

// One row of count 0x00RRGGBB words from the three plane lines of a scanline.
void interleavePlanes(const uint8_t* red, const uint8_t* green, const uint8_t* blue, uint32_t* out,
                      size_t count);

// One row of count indices from a plane line of bits (1, 2 or 4) per pixel,
// most significant bits first.
void unpackRow(int bits, const uint8_t* line, uint8_t* out, size_t count);

// One row of count indices from planes (2, 3 or 4) plane lines of 1 bit per
// pixel, planeBytes apart from line on: pixel x is bit 7 - x % 8 of byte
// x / 8 of plane 0, plus twice that bit of plane 1, four times that of plane
// 2 and eight times that of plane 3.
void combineBitPlanes(int planes, const uint8_t* line, size_t planeBytes, uint8_t* out,
                      size_t count);

// --- run-length coding ----------------------------------------------------------

// The run an encoder has open between values: its byte value (-1 when none)
// and its length so far (1 to 63 while one is open).
struct OpenRun {
    int32_t value;
    int32_t length;
};

// Values a bulk coding step looks at together: as many as the machine's
// word has bits, one bit of a mask a value.
constexpr uint32_t kCodeWindow = 8 * sizeof(uintptr_t);
// Bytes past its last code that codeLineBulk may overwrite with scratch.
constexpr size_t kCodeScratch = 16;

// Codes the bulk of a plane line of count values, taken step (1, or 4 for
// one byte of each 32-bit pixel) bytes apart from first, exactly as feeding
// them one at a time to the run coder would, given the run open before them.
// Runs that end are stored at *out, which moves past them; the run reaching
// the last value taken stays open in *run. Returns how many values it took,
// a multiple of kCodeWindow that leaves at least one value for the caller.
// *out needs room for two bytes a value plus kCodeScratch.
uint32_t codeLineBulk(const uint8_t* first, uint32_t count, uint32_t step, uint8_t** out,
                      OpenRun* run);

// --- the choice of copies ---------------------------------------------------------

namespace kernels {

enum class InstructionSet { Portable, Sse2, Ssse3, Avx2 };

// Every set this build has a copy for, slowest first.
constexpr InstructionSet kAllSets[] = {InstructionSet::Portable, InstructionSet::Sse2,
                                       InstructionSet::Ssse3, InstructionSet::Avx2};

// "portable", "sse2", "ssse3", "avx2".
const char* nameOf(InstructionSet set);

// Whether this build has a copy for set and this processor runs it.
bool available(InstructionSet set);

// The set whose copies run now: the fastest available one, unless select
// chose another.
InstructionSet active();

// For tests, fuzz targets and benchmarks only: runs set's copies from now on
// in this process. False, changing nothing, when set is not available.
bool select(InstructionSet set);

}  // namespace kernels

}  // namespace pcx

#endif  // PCX_KERNELS_KERNELS_H
