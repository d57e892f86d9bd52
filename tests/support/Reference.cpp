// The plain reference reading and writing of PCX files (see Reference.h).
#include "Reference.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace pcxref {

namespace {

constexpr int64_t kMaxBufferBytes = std::numeric_limits<int32_t>::max();

uint16_t le16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

void putLe16(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    bytes[at] = static_cast<uint8_t>(value & 0xFF);
    bytes[at + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

uint32_t rgb(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) << 16 | static_cast<uint32_t>(at[1]) << 8 | at[2];
}

// Bytes run-length coded as one stream, appended to out: runs of up to 63
// equal bytes; a lone byte below 0xC0 as itself, anything else as a count
// and a value.
void codeLine(const std::vector<uint8_t>& line, std::vector<uint8_t>& out) {
    size_t i = 0;
    while (i < line.size()) {
        const uint8_t value = line[i];
        size_t length = 1;
        while (i + length < line.size() && line[i + length] == value && length < 63) ++length;
        if (length == 1 && (value & 0xC0) != 0xC0) {
            out.push_back(value);
        } else {
            out.push_back(static_cast<uint8_t>(0xC0 | length));
            out.push_back(value);
        }
        i += length;
    }
}

}  // namespace

bool readHeader(const uint8_t* file, size_t size, Header* header) {
    if (size < kHeaderSize) return false;
    header->manufacturer = file[0];
    header->version = file[1];
    header->encoding = file[2];
    header->bitsPerPixel = file[3];
    header->xMin = le16(file + 4);
    header->yMin = le16(file + 6);
    header->xMax = le16(file + 8);
    header->yMax = le16(file + 10);
    header->hDpi = le16(file + 12);
    header->vDpi = le16(file + 14);
    std::memcpy(header->colormap, file + 16, 48);
    header->nPlanes = file[65];
    header->bytesPerLine = le16(file + 66);
    header->paletteInfo = le16(file + 68);
    header->hScreenSize = le16(file + 70);
    header->vScreenSize = le16(file + 72);
    return true;
}

bool headerAccepted(const uint8_t* file, size_t size) {
    return size >= kHeaderSize && file[0] == 10 && (file[2] == 0 || file[2] == 1);
}

std::string headerReport(const Header& h) {
    const std::pair<const char*, unsigned> lines[] = {
        {"Manufacturer(ID) : ", h.manufacturer},
        {"Version : ", h.version},
        {"Encoding : ", h.encoding},
        {"BItsPerPixel : ", h.bitsPerPixel},
        {"WindowXMin : ", h.xMin},
        {"WindowYMIn : ", h.yMin},
        {"WindowXMax : ", h.xMax},
        {"WindowYMax : ", h.yMax},
        {"HDpi : ", h.hDpi},
        {"VDpi : ", h.vDpi},
        {"NPlanes : ", h.nPlanes},
        {"BytesPerLine : ", h.bytesPerLine},
        {"PaletteInfoValue : ", h.paletteInfo},
        {"HScreenSize : ", h.hScreenSize},
        {"VScreenSize : ", h.vScreenSize},
    };
    std::string report = "* PCX FILE (decoder records) *\n\n";
    for (const auto& line : lines) report += line.first + std::to_string(line.second) + "\n";
    return report;
}

Layout layoutOf(const uint8_t* file, size_t size, bool preview, int32_t boxWidth,
                int32_t boxHeight) {
    Layout layout;
    Header h;
    if (!headerAccepted(file, size) || !readHeader(file, size, &h)) return layout;
    layout.sourceWidth = static_cast<int32_t>(h.xMax) - h.xMin + 1;
    layout.sourceHeight = static_cast<int32_t>(h.yMax) - h.yMin + 1;
    const int32_t sw = layout.sourceWidth, sh = layout.sourceHeight;

    // Whatever the version: one plane of 1, 2, 4 or 8 bits, two to four
    // planes of 1 bit (indexed), three or four planes of 8 bits (colour).
    const int bits = h.bitsPerPixel, planes = h.nPlanes;
    const bool indexed = (planes == 1 && (bits == 1 || bits == 2 || bits == 4 || bits == 8)) ||
                         (bits == 1 && planes >= 2 && planes <= 4);
    const bool trueColour = bits == 8 && (planes == 3 || planes == 4);
    if ((!indexed && !trueColour) || sw < 1 || sh < 1) return layout;
    if (int64_t{h.bytesPerLine} * 8 < int64_t{sw} * h.bitsPerPixel) return layout;

    int32_t scale = 1;
    if (preview) {
        const int32_t bw = std::max<int32_t>(boxWidth, 1);
        const int32_t bh = std::max<int32_t>(boxHeight, 1);
        while (sw / scale >= bw || sh / scale >= bh) scale *= 2;
        if (scale > 1) scale /= 2;
    }
    layout.scale = scale;
    layout.width = (sw + scale - 1) / scale;
    layout.height = (sh + scale - 1) / scale;
    layout.trueColour = trueColour;
    layout.rawBytes = int64_t{h.bytesPerLine} * h.nPlanes * sh;
    layout.pixelBytes = int64_t{layout.width} * (trueColour ? 4 : 1) * layout.height;
    layout.decodable = layout.rawBytes <= kMaxBufferBytes && layout.pixelBytes <= kMaxBufferBytes;
    return layout;
}

bool decode(const uint8_t* file, size_t size, bool preview, int32_t boxWidth, int32_t boxHeight,
            Image* image) {
    const Layout layout = layoutOf(file, size, preview, boxWidth, boxHeight);
    if (!layout.decodable) return false;
    Header h;
    readHeader(file, size, &h);

    // Every scanline of the picture: the bytes after the header as they are
    // (Encoding 0), or one stream of codes; what the file never reaches
    // stays 0, and run bytes past the end are dropped.
    std::vector<uint8_t> raw(static_cast<size_t>(layout.rawBytes), 0);
    size_t at = kHeaderSize;
    size_t total = 0;
    if (h.encoding == 0)
        for (; total < raw.size() && at < size; ++total) raw[total] = file[at++];
    while (total < raw.size() && at < size) {
        const uint8_t code = file[at++];
        size_t count = 1;
        uint8_t value = code;
        if ((code & 0xC0) == 0xC0) {
            if (at >= size) break;
            count = code & 0x3F;
            value = file[at++];
        }
        for (size_t k = 0; k < count; ++k, ++total)
            if (total < raw.size()) raw[total] = value;
    }

    image->kind = layout.trueColour ? 5 : 1;
    image->width = layout.width;
    image->height = layout.height;
    image->stride = layout.width * (layout.trueColour ? 4 : 1);
    image->palette.clear();
    image->paletteCount = 0;
    if (!layout.trueColour) {
        if (h.bitsPerPixel == 8) {
            if (size >= kTrailerSize && file[size - kTrailerSize] == 12) {
                for (int i = 0; i < 256; ++i)
                    image->palette.push_back(rgb(file + size - kTrailerSize + 1 + 3 * i));
                image->paletteCount = 256;
            }
        } else if (h.bitsPerPixel == 1 && h.nPlanes == 1) {
            image->palette = {0x000000, 0xFFFFFF};
            image->paletteCount = 2;
        } else {
            for (int i = 0; i < 16; ++i) image->palette.push_back(rgb(h.colormap + 3 * i));
            image->paletteCount = 1 << (h.bitsPerPixel * h.nPlanes);
        }
    }

    // Output pixel (j, r) is source pixel (j * scale, r * scale).
    const size_t bpl = h.bytesPerLine;
    const int bits = h.bitsPerPixel;
    image->pixels.assign(static_cast<size_t>(layout.pixelBytes), 0);
    for (int32_t r = 0; r < layout.height; ++r) {
        const size_t line = static_cast<size_t>(r) * layout.scale * bpl * h.nPlanes;
        uint8_t* out = image->pixels.data() + static_cast<size_t>(r) * image->stride;
        for (int32_t j = 0; j < layout.width; ++j) {
            const size_t x = static_cast<size_t>(j) * layout.scale;
            if (layout.trueColour) {
                out[4 * j + 0] = raw[line + 2 * bpl + x];  // blue
                out[4 * j + 1] = raw[line + bpl + x];      // green
                out[4 * j + 2] = raw[line + x];            // red
                out[4 * j + 3] = 0;
            } else if (bits == 8) {
                out[j] = raw[line + x];
            } else if (h.nPlanes > 1) {  // bit p of the index from plane p
                int index = 0;
                for (int p = 0; p < h.nPlanes; ++p)
                    index |= ((raw[line + p * bpl + x / 8] >> (7 - x % 8)) & 1) << p;
                out[j] = static_cast<uint8_t>(index);
            } else {
                const size_t perByte = 8 / bits;
                const int shift = 8 - bits * static_cast<int>(x % perByte + 1);
                out[j] =
                    static_cast<uint8_t>((raw[line + x / perByte] >> shift) & ((1 << bits) - 1));
            }
        }
    }
    return true;
}

bool writable(const PluginImage* image) {
    if (image == nullptr) return false;
    if (image->kind != 1 && image->kind != 5) return false;
    if (image->width < 1 || image->width > 65534) return false;
    if (image->height < 1 || image->height > 65536) return false;
    if (image->pixels == nullptr) return false;
    const int64_t rowBytes = int64_t{image->width} * (image->kind == 5 ? 4 : 1);
    const int64_t stride = image->stride;
    if (std::max(stride, -stride) < rowBytes) return false;
    if (image->kind == 1 && image->palette == nullptr && image->paletteCount > 0) return false;
    return true;
}

std::vector<uint8_t> encode(const PluginImage& image, int32_t stopRow) {
    const uint32_t width = static_cast<uint32_t>(image.width);
    std::vector<uint8_t> out(kHeaderSize, 0);
    out[0] = 10;
    out[1] = 5;
    out[2] = 1;
    out[3] = 8;
    putLe16(out, 8, width - 1);
    putLe16(out, 10, static_cast<uint32_t>(image.height) - 1);
    putLe16(out, 12, 300);
    putLe16(out, 14, 300);
    out[65] = image.kind == 5 ? 3 : 1;
    putLe16(out, 66, (width + 1) & ~1u);
    putLe16(out, 68, 1);

    // Indexed rows are one plane line; colour rows are red, green, blue plane
    // lines taken from bytes 2, 1 and 0 of each little-endian word.
    static const int kIndexedPlanes[] = {0};
    static const int kColourPlanes[] = {2, 1, 0};
    const bool colour = image.kind == 5;
    std::vector<uint8_t> line;
    for (int32_t r = 0; r < image.height; ++r) {
        if (r + 1 == stopRow) break;
        const uint8_t* row = image.pixels + static_cast<int64_t>(r) * image.stride;
        for (int p = 0; p < (colour ? 3 : 1); ++p) {
            const int plane = colour ? kColourPlanes[p] : kIndexedPlanes[p];
            line.clear();
            for (uint32_t x = 0; x < width; ++x)
                line.push_back(colour ? row[4 * x + plane] : row[x]);
            if (width % 2 == 1) line.push_back(0);
            codeLine(line, out);
        }
    }

    if (image.kind == 1) {
        out.push_back(12);
        const int32_t count = std::min(std::max(image.paletteCount, 0), 256);
        for (int32_t i = 0; i < 256; ++i) {
            const uint32_t entry = i < count ? image.palette[i] : 0;
            out.push_back(static_cast<uint8_t>(entry >> 16));
            out.push_back(static_cast<uint8_t>(entry >> 8));
            out.push_back(static_cast<uint8_t>(entry));
        }
    }
    return out;
}

void decodeRunLength(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize,
                     size_t* consumed, size_t* written, size_t* cut) {
    size_t read = 0, done = 0, left = 0;
    while (done < outSize && read < inSize) {
        if ((in[read] & 0xC0) == 0xC0) {
            if (read + 1 == inSize) break;  // the value byte is not there yet
            size_t count = in[read] & 0x3F;
            for (; count > 0 && done < outSize; --count, ++done)
                if (out) out[done] = in[read + 1];
            left = count;
            read += 2;
        } else {
            if (out) out[done] = in[read];
            ++done;
            ++read;
        }
    }
    *consumed = read;
    *written = done;
    if (cut) *cut = left;
}

std::vector<uint8_t> encodeRunLength(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> codes;
    codeLine(bytes, codes);
    return codes;
}

}  // namespace pcxref
