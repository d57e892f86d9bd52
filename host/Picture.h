// The host's own picture: 8-bit red, green, blue, top row first. Pictures in
// other formats are read and written with stb_image and stb_image_write; PCX
// files go through the plug-in only.
#ifndef OPXHOST_PICTURE_H
#define OPXHOST_PICTURE_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "United.h"

namespace opxhost {

struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> rgb;  // width * height * 3 bytes, rows packed

    const uint8_t* pixel(int32_t x, int32_t y) const {
        return &rgb[(static_cast<size_t>(y) * static_cast<size_t>(width) + x) * 3];
    }
};

enum class FileFormat { Png, Bmp, Ppm, Pcx };

// The format named by an extension or a --to word ("png", ".PNG"), if any.
std::optional<FileFormat> formatNamed(std::string word);
const char* formatExtension(FileFormat format);

// A picture the plug-in made, in the host's form. An indexed picture takes
// its colours from the palette; an index past paletteCount is black, and an
// 8-bit picture without a palette (a file without its colour table) is shown
// as grey levels, index 0 black to 255 white. Throws HostError
// (kExitPcxRefused) for a record that does not describe a picture.
Picture pictureFromPlugin(const PluginImage& image);

// Reads a PNG, BMP, PPM/PGM, JPEG, TGA or GIF (first frame) picture.
// Transparency is dropped: each pixel keeps its colour as it is stored.
// Throws HostError (kExitBadPicture) with stb_image's reason when the bytes
// are not such a picture, and kExitOutOfMemory when its buffers could not be
// allocated.
Picture readPicture(std::FILE* file);

// Writes picture as PNG, BMP or PPM (binary, P6) to file; false when a write
// fails, or when stb_image_write could not allocate its buffers, which sets
// *outOfMemory. file stays open.
bool writePicture(std::FILE* file, const Picture& picture, FileFormat format, bool* outOfMemory);

}  // namespace opxhost

#endif  // OPXHOST_PICTURE_H
