// Import: the exported import operations.
#include "Import.h"

PCX_EXPORT int32_t PCX_CALL IMPORT_ValidFileCheck(const char* /*fileName*/) {
    return 0;
}

PCX_EXPORT void PCX_CALL IMPORT_ImageInformation(const char* /*fileName*/,
                                                 TextCallback /*callback*/) {}

PCX_EXPORT void PCX_CALL IMPORT_CreateImage(const char* /*fileName*/, PluginImage** out) {
    if (out) *out = nullptr;
}

PCX_EXPORT void PCX_CALL IMPORT_CreatePreviewImage(const char* /*fileName*/, int32_t /*boxWidth*/,
                                                   int32_t /*boxHeight*/, PluginImage** out) {
    if (out) *out = nullptr;
}

PCX_EXPORT void PCX_CALL IMPORT_FreeImage(PluginImage* /*image*/) {}
