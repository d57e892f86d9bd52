// Import: the exported operations through which the host tests, describes,
// loads and previews PCX files, and gives back the images it received.
#ifndef PCX_IMPORT_H
#define PCX_IMPORT_H

#include "United.h"

// 1 when the file opens and carries a PCX header this plug-in accepts, else 0.
PCX_EXPORT int32_t PCX_CALL IMPORT_ValidFileCheck(const char* fileName);
// Calls callback once with the header report, or with a fixed message.
PCX_EXPORT void PCX_CALL IMPORT_ImageInformation(const char* fileName, TextCallback callback);
// Stores a new image in *out, or null when the file cannot be decoded.
PCX_EXPORT void PCX_CALL IMPORT_CreateImage(const char* fileName, PluginImage** out);
// Stores a new image reduced by a power of two for a boxWidth x boxHeight box.
PCX_EXPORT void PCX_CALL IMPORT_CreatePreviewImage(const char* fileName, int32_t boxWidth,
                                                   int32_t boxHeight, PluginImage** out);
// Releases an image made by IMPORT_CreateImage or IMPORT_CreatePreviewImage.
PCX_EXPORT void PCX_CALL IMPORT_FreeImage(PluginImage* image);

#endif  // PCX_IMPORT_H
