// The check the decode and preview targets share: one file through
// IMPORT_CreateImage or IMPORT_CreatePreviewImage, compared with the
// reference decode.
#ifndef PCX_FUZZ_IMPORT_CHECK_H
#define PCX_FUZZ_IMPORT_CHECK_H

#include <cstddef>
#include <cstdint>

namespace pcxfuzz {

// Writes file to the scratch file, decodes it through the export and checks
// that the result is exactly the reference's: the same refusal, or the same
// kind, size, stride, palette and pixels, with no byte that depends on memory
// the module did not write, and no more memory taken than the picture needs.
// Returns false, without calling the module, for a sound picture too large
// to be worth fuzzing (see kMaxFuzzedPictureBytes).
bool checkImport(const uint8_t* file, size_t size, bool preview, int32_t boxWidth,
                 int32_t boxHeight);

}  // namespace pcxfuzz

#endif  // PCX_FUZZ_IMPORT_CHECK_H
