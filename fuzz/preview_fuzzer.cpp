// Fuzz target: a whole file through IMPORT_CreatePreviewImage. The input is
// the file; the preview box comes from its bytes 74 to 81 (two little-endian
// signed 32-bit numbers, width then height), which lie in the header's
// filler that the decoder never reads. So every input is still a PCX file as
// any reader sees it, and the fuzzer steers the box, 0 and negative sides
// included, as freely as any other byte.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "ImportCheck.h"

namespace {

constexpr size_t kBoxOffset = 74;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int32_t boxWidth = 64, boxHeight = 64;
    if (size >= kBoxOffset + 8) {
        pcxfuzz::ByteReader box(data + kBoxOffset, 8);
        boxWidth = box.i32();
        boxHeight = box.i32();
    }
    return pcxfuzz::checkImport(data, size, true, boxWidth, boxHeight) ? 0 : -1;
}
