// Import: the exported import operations. Each call makes its own decoder,
// sets its switches, runs one decode, hands the result over in the host's
// terms and destroys the decoder, whatever the outcome.
#include "Import.h"

#include <cstdlib>

#include "Dpcx.h"

namespace {

// Shift-JIS bytes of "イメージファイルでは、ないようです。" (regenerate with
// scripts/sjis-literal.py): what the host shows for a file this plug-in
// cannot read.
const char kNotAnImage[] =
    "\x83"
    "C\x83\x81\x81[\x83W\x83t\x83@\x83"
    "C\x83\x8B\x82\xC5\x82\xCD\x81"
    "A\x82\xC8\x82\xA2\x82\xE6\x82\xA4\x82\xC5\x82\xB7\x81"
    "B";
static_assert(sizeof(kNotAnImage) == 37, "the message is 36 bytes and its NUL");

// A new zero-filled record (released by IMPORT_FreeImage) holding the
// decoder's buffers, which the decoder forgets; null, with the buffers left
// to the decoder, when the record cannot be allocated.
PluginImage* takeImage(pcx::TPcxDecoder& decoder) {
    auto* image = static_cast<PluginImage*>(std::calloc(1, sizeof(PluginImage)));
    if (!image) return nullptr;
    image->kind = decoder.trueColour ? ImageKindRgb32 : ImageKindIndexed;
    image->width = decoder.width;
    image->height = decoder.height;
    image->stride = decoder.stride;
    image->pixels = decoder.detachPixels();
    // Read before the palette is detached: detaching clears the count.
    image->paletteCount = decoder.paletteCount;
    image->palette = decoder.detachPalette();
    return image;
}

void createImage(const char* fileName, bool preview, int32_t boxWidth, int32_t boxHeight,
                 PluginImage** out) {
    if (!out) return;
    *out = nullptr;
    pcx::catchAll([&] {
        pcx::TPcxDecoder decoder;
        if (preview) {
            decoder.preview = true;
            decoder.previewMaxWidth = boxWidth;
            decoder.previewMaxHeight = boxHeight;
        }
        if (decoder.decode(fileName)) *out = takeImage(decoder);
    });
}

}  // namespace

PCX_EXPORT int32_t PCX_CALL IMPORT_ValidFileCheck(const char* fileName) {
    int32_t valid = 0;
    pcx::catchAll([&] {
        pcx::TPcxDecoder decoder;
        decoder.headerOnly = true;
        valid = decoder.decode(fileName) ? 1 : 0;
    });
    return valid;
}

PCX_EXPORT void PCX_CALL IMPORT_ImageInformation(const char* fileName, TextCallback callback) {
    if (!callback) return;
    bool told = false;
    pcx::catchAll([&] {
        pcx::TPcxDecoder decoder;
        decoder.headerOnly = true;
        const bool decoded = decoder.decode(fileName);
        // The report dies with the decoder, right after the host has seen it.
        told = true;
        callback(decoded ? decoder.report.c_str() : kNotAnImage);
    });
    // A decode that could not even run (no memory for the report) still
    // answers, once.
    if (!told) callback(kNotAnImage);
}

PCX_EXPORT void PCX_CALL IMPORT_CreateImage(const char* fileName, PluginImage** out) {
    createImage(fileName, false, 0, 0, out);
}

PCX_EXPORT void PCX_CALL IMPORT_CreatePreviewImage(const char* fileName, int32_t boxWidth,
                                                   int32_t boxHeight, PluginImage** out) {
    createImage(fileName, true, boxWidth, boxHeight, out);
}

PCX_EXPORT void PCX_CALL IMPORT_FreeImage(PluginImage* image) {
    if (!image) return;
    std::free(image->pixels);
    std::free(image->palette);
    std::free(image);
}
