// Fuzz target: pcx::decodeRunLength and pcx::skipRunLength, the decoder's
// word-at-a-time readers of run-length codes, with every set of kernels the
// processor runs, against the plain code-by-code reading. The input's first
// two bytes are the output size (little-endian), the rest the codes. Input
// and output are heap blocks of exactly their sizes, so a read or write
// outside them is caught; within the output, the decoder may leave scratch
// only in the kRunLengthScratch bytes just past what it wrote.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "Dpcx.h"
#include "FuzzSupport.h"
#include "support/KernelSets.h"
#include "support/Reference.h"

namespace {

constexpr uint8_t kUnwritten = 0xE7;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pcxfuzz::ByteReader header(data, size);
    const size_t outSize = header.u8() | header.u8() << 8;
    const size_t inSize = size > 2 ? size - 2 : 0;
    std::unique_ptr<uint8_t[]> in(new uint8_t[inSize]);
    if (inSize > 0) std::memcpy(in.get(), data + 2, inSize);

    std::unique_ptr<uint8_t[]> expected(new uint8_t[outSize]);
    size_t consumed, written, cut;
    pcxref::decodeRunLength(in.get(), inSize, expected.get(), outSize, &consumed, &written, &cut);

    std::unique_ptr<uint8_t[]> out(new uint8_t[outSize]);
    for (pcx::kernels::InstructionSet set : pcxtest::availableKernelSets()) {
        const pcxtest::ScopedKernelSet kernels(set);
        std::memset(out.get(), kUnwritten, outSize);
        const pcx::RunLengthResult got = pcx::decodeRunLength(in.get(), inSize, out.get(), outSize);
        const pcx::RunLengthResult skipped = pcx::skipRunLength(in.get(), inSize, outSize);

        const std::string what = std::string(pcx::kernels::nameOf(set)) + ": " +
                                 std::to_string(inSize) + " bytes of codes into " +
                                 std::to_string(outSize) + ": consumed " +
                                 std::to_string(got.consumed) + ", written " +
                                 std::to_string(got.written) + ", cut " + std::to_string(got.cut);
        FUZZ_CHECK(got.consumed == consumed,
                   what + ", expected consumed " + std::to_string(consumed));
        FUZZ_CHECK(got.written == written, what + ", expected written " + std::to_string(written));
        FUZZ_CHECK(got.cut == cut, what + ", expected cut " + std::to_string(cut));
        FUZZ_CHECK(written == 0 || std::memcmp(out.get(), expected.get(), written) == 0, what);
        for (size_t i = written + pcx::kRunLengthScratch; i < outSize; ++i)
            FUZZ_CHECK(out[i] == kUnwritten, what + ": byte " + std::to_string(i) + " touched");
        FUZZ_CHECK(skipped.consumed == consumed && skipped.written == written && skipped.cut == cut,
                   what + ": skipping took " + std::to_string(skipped.consumed) + ", counted " +
                       std::to_string(skipped.written) + ", cut " + std::to_string(skipped.cut));
    }
    return 0;
}
