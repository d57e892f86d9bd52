// Fuzz target: a whole file through IMPORT_CreateImage, as a host loads it,
// compared with the reference decode. The input is the file, with one
// twist that lets small inputs reach the decoder's read-block boundaries:
//
// When bit 0 of header byte 74 (filler, which no reader uses) is set, the
// target inserts pcx::kReadBlockSize - k bytes of padding between the header
// and the codes, k being header byte 75, before decoding. The padding is runs of
// count 0 (0xC0, 0x00), which write nothing, so the file's own codes start
// k bytes before the end of the decoder's first read block and cross
// into the next one at an even or odd offset (for an odd length the last
// 0xC0 takes the file's first code byte as its value). The reference decodes
// the same padded bytes, so nothing is assumed about what the padding means.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Dpcx.h"
#include "ImportCheck.h"

namespace {

constexpr size_t kHeaderSize = 128;
constexpr size_t kPadFlag = 74;
constexpr size_t kPadShortBy = 75;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeaderSize || !(data[kPadFlag] & 1))
        return pcxfuzz::checkImport(data, size, false, 0, 0) ? 0 : -1;

    const size_t padding = pcx::kReadBlockSize - data[kPadShortBy];
    std::vector<uint8_t> padded(data, data + kHeaderSize);
    for (size_t i = 0; i < padding; ++i) padded.push_back(i % 2 == 0 ? 0xC0 : 0x00);
    padded.insert(padded.end(), data + kHeaderSize, data + size);
    // -1 keeps a picture too large to fuzz out of the corpus.
    return pcxfuzz::checkImport(padded.data(), padded.size(), false, 0, 0) ? 0 : -1;
}
