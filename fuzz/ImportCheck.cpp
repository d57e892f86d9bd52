// The shared import check (see ImportCheck.h).
#include "ImportCheck.h"

#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "Import.h"
#include "support/Reference.h"

namespace pcxfuzz {

namespace {

constexpr size_t kKernelChoiceOffset = 82;

std::string describe(const pcxref::Layout& layout) {
    return std::to_string(layout.sourceWidth) + " x " + std::to_string(layout.sourceHeight) +
           " scale " + std::to_string(layout.scale) + " -> " + std::to_string(layout.width) +
           " x " + std::to_string(layout.height);
}

void compareImages(const PluginImage& got, const pcxref::Image& want,
                   const pcxref::Layout& layout) {
    const std::string what = describe(layout);
    FUZZ_CHECK(got.kind == want.kind, what);
    FUZZ_CHECK(got.width == want.width && got.height == want.height, what);
    FUZZ_CHECK(got.stride == want.stride, what);
    FUZZ_CHECK(got.paletteCount == want.paletteCount, what);
    FUZZ_CHECK((got.palette == nullptr) == want.palette.empty(), what);
    for (size_t i = 0; i < want.palette.size(); ++i)
        FUZZ_CHECK(got.palette[i] == want.palette[i],
                   what + ", palette entry " + std::to_string(i));
    FUZZ_CHECK(got.pixels != nullptr, what);
    const size_t rowBytes = static_cast<size_t>(want.stride);
    for (int32_t row = 0; row < want.height; ++row) {
        const uint8_t* gotRow = got.pixels + static_cast<size_t>(row) * rowBytes;
        const uint8_t* wantRow = want.pixels.data() + static_cast<size_t>(row) * rowBytes;
        if (std::memcmp(gotRow, wantRow, rowBytes) == 0) continue;
        size_t column = 0;
        while (gotRow[column] == wantRow[column]) ++column;
        FUZZ_CHECK(false, what + ": pixel byte " + std::to_string(column) + " of row " +
                              std::to_string(row) + " is " + std::to_string(gotRow[column]) +
                              ", not " + std::to_string(wantRow[column]));
    }
}

}  // namespace

bool checkImport(const uint8_t* file, size_t size, bool preview, int32_t boxWidth,
                 int32_t boxHeight) {
    static const ScratchFile decodeScratch("decode.pcx");
    static const ScratchFile previewScratch("preview.pcx");
    const ScratchFile& scratch = preview ? previewScratch : decodeScratch;
    const pcxref::Layout layout = pcxref::layoutOf(file, size, preview, boxWidth, boxHeight);
    const int64_t pictureBytes = layout.decodable ? layout.rawBytes + layout.pixelBytes : 0;
    if (pictureBytes > kMaxFuzzedPictureBytes) return false;
    // The decoder holds only a window of the decoded scanlines: the output
    // pixels are the one buffer that grows with the picture.
    const int64_t bufferBytes = layout.decodable ? layout.pixelBytes : 0;

    // Header byte 82 lies in the filler, which no reader uses.
    useKernelsFor(size > kKernelChoiceOffset ? file[kKernelChoiceOffset] : 0);
    scratch.write(file, size);
    PluginImage* image = nullptr;
    AllocationStats stats;
    {
        AllocationWatch watch(nextFill());
        if (preview)
            IMPORT_CreatePreviewImage(scratch.path(), boxWidth, boxHeight, &image);
        else
            IMPORT_CreateImage(scratch.path(), &image);
        stats = watch.stats();
    }
    // Palettes are at most 256 entries of 4 bytes.
    checkAllocationBound(stats, bufferBytes > 0 ? bufferBytes + 1024 : 0,
                         preview ? "IMPORT_CreatePreviewImage" : "IMPORT_CreateImage");

    pcxref::Image expected;
    const bool decodable = pcxref::decode(file, size, preview, boxWidth, boxHeight, &expected);
    FUZZ_CHECK((image != nullptr) == decodable,
               std::string(decodable ? "refused" : "accepted") + " " + describe(layout));
    if (image != nullptr) compareImages(*image, expected, layout);
    IMPORT_FreeImage(image);
    return true;
}

}  // namespace pcxfuzz
