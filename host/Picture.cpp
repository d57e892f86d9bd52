#include "host/Picture.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "host/HostError.h"
#include "stb_image.h"
#include "stb_image_write.h"

namespace opxhost {

namespace {

uint32_t wordAt(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
           (uint32_t{bytes[3]} << 24);
}

void putColour(uint8_t* out, uint32_t colour) {
    out[0] = static_cast<uint8_t>(colour >> 16);
    out[1] = static_cast<uint8_t>(colour >> 8);
    out[2] = static_cast<uint8_t>(colour);
}

// stb_image_write hands its output to this in pieces.
struct FileSink {
    std::FILE* file;
    bool ok;
};

void writeToSink(void* context, void* data, int size) {
    FileSink* sink = static_cast<FileSink*>(context);
    if (size > 0 &&
        std::fwrite(data, 1, static_cast<size_t>(size), sink->file) != static_cast<size_t>(size))
        sink->ok = false;
}

}  // namespace

std::optional<FileFormat> formatNamed(std::string word) {
    if (!word.empty() && word[0] == '.') word.erase(0, 1);
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word == "png") return FileFormat::Png;
    if (word == "bmp") return FileFormat::Bmp;
    if (word == "ppm") return FileFormat::Ppm;
    if (word == "pcx") return FileFormat::Pcx;
    return std::nullopt;
}

const char* formatExtension(FileFormat format) {
    switch (format) {
        case FileFormat::Png:
            return "png";
        case FileFormat::Bmp:
            return "bmp";
        case FileFormat::Ppm:
            return "ppm";
        case FileFormat::Pcx:
            return "pcx";
    }
    return "";
}

Picture pictureFromPlugin(const PluginImage& image) {
    const bool indexed = image.kind == ImageKindIndexed;
    const int64_t rowBytes = int64_t{image.width} * (indexed ? 1 : 4);
    if ((!indexed && image.kind != ImageKindRgb32) || image.width < 1 || image.height < 1 ||
        !image.pixels || image.stride < rowBytes)
        throw HostError(kExitPcxRefused, "the plug-in gave a picture record that is not valid");

    Picture picture;
    picture.width = image.width;
    picture.height = image.height;
    picture.rgb.resize(static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 3);
    const int32_t colours = image.palette ? std::max(image.paletteCount, 0) : 0;
    uint8_t* out = picture.rgb.data();
    for (int32_t y = 0; y < image.height; ++y) {
        const uint8_t* row = image.pixels + static_cast<size_t>(y) * image.stride;
        for (int32_t x = 0; x < image.width; ++x, out += 3) {
            if (!indexed) {
                putColour(out, wordAt(row + 4 * x));
            } else if (!image.palette) {
                out[0] = out[1] = out[2] = row[x];
            } else {
                putColour(out, row[x] < colours ? image.palette[row[x]] : 0);
            }
        }
    }
    return picture;
}

Picture readPicture(std::FILE* file) {
    constexpr int kRgb = 3;
    int width = 0, height = 0, channels = 0;
    stbi_uc* pixels = stbi_load_from_file(file, &width, &height, &channels, kRgb);
    if (!pixels) {
        const char* reason = stbi_failure_reason();
        // stb_image allocates with malloc, which says no by returning null.
        if (reason && std::strcmp(reason, "outofmem") == 0)
            throw HostError(kExitOutOfMemory, "not enough memory to read this picture");
        throw HostError(kExitBadPicture, std::string("not a picture the host can read (") +
                                             (reason ? reason : "unknown format") + ")");
    }
    Picture picture;
    picture.width = width;
    picture.height = height;
    try {
        picture.rgb.assign(pixels,
                           pixels + static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    } catch (...) {
        stbi_image_free(pixels);
        throw;
    }
    stbi_image_free(pixels);
    return picture;
}

bool writePicture(std::FILE* file, const Picture& picture, FileFormat format, bool* outOfMemory) {
    *outOfMemory = false;
    FileSink sink{file, true};
    const int rowBytes = picture.width * 3;
    int written = 0;
    switch (format) {
        case FileFormat::Png:
            written = stbi_write_png_to_func(writeToSink, &sink, picture.width, picture.height, 3,
                                             picture.rgb.data(), rowBytes);
            break;
        case FileFormat::Bmp:
            written = stbi_write_bmp_to_func(writeToSink, &sink, picture.width, picture.height, 3,
                                             picture.rgb.data());
            break;
        case FileFormat::Ppm: {
            const std::string header = "P6\n" + std::to_string(picture.width) + " " +
                                       std::to_string(picture.height) + "\n255\n";
            sink.ok =
                std::fwrite(header.data(), 1, header.size(), file) == header.size() &&
                std::fwrite(picture.rgb.data(), 1, picture.rgb.size(), file) == picture.rgb.size();
            written = 1;
            break;
        }
        case FileFormat::Pcx:
            return false;  // PCX files are written by the plug-in only
    }
    // stb_image_write fails without a failed write only when its malloc
    // said no.
    *outOfMemory = written == 0 && sink.ok;
    return written != 0 && sink.ok;
}

}  // namespace opxhost
