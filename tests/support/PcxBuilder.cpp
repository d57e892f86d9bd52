#include "PcxBuilder.h"

#include <cstring>

namespace pcxtest {

namespace {

void put16(std::vector<uint8_t>& out, size_t offset, uint16_t value) {
    out[offset] = static_cast<uint8_t>(value & 0xFF);
    out[offset + 1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

PcxFile& PcxFile::size(int width, int height) {
    windowXMin = 0;
    windowYMin = 0;
    windowXMax = static_cast<uint16_t>(width - 1);
    windowYMax = static_cast<uint16_t>(height - 1);
    return *this;
}

PcxFile& PcxFile::colormapEntry(int index, uint32_t colour) {
    colormap[3 * index] = static_cast<uint8_t>(colour >> 16);
    colormap[3 * index + 1] = static_cast<uint8_t>(colour >> 8);
    colormap[3 * index + 2] = static_cast<uint8_t>(colour);
    return *this;
}

PcxFile& PcxFile::trailer256(const std::vector<uint32_t>& colours) {
    trailer.assign(769, 0);
    trailer[0] = 12;
    for (size_t i = 0; i < colours.size() && i < 256; ++i) {
        trailer[1 + 3 * i] = static_cast<uint8_t>(colours[i] >> 16);
        trailer[2 + 3 * i] = static_cast<uint8_t>(colours[i] >> 8);
        trailer[3 + 3 * i] = static_cast<uint8_t>(colours[i]);
    }
    return *this;
}

std::vector<uint8_t> PcxFile::bytes() const {
    std::vector<uint8_t> out(128, 0);
    out[0] = manufacturer;
    out[1] = version;
    out[2] = encoding;
    out[3] = bitsPerPixel;
    put16(out, 4, windowXMin);
    put16(out, 6, windowYMin);
    put16(out, 8, windowXMax);
    put16(out, 10, windowYMax);
    put16(out, 12, hDpi);
    put16(out, 14, vDpi);
    std::memcpy(&out[16], colormap, sizeof colormap);
    out[64] = reserved;
    out[65] = nPlanes;
    put16(out, 66, bytesPerLine);
    put16(out, 68, paletteInfo);
    put16(out, 70, hScreenSize);
    put16(out, 72, vScreenSize);
    std::memcpy(&out[74], filler, sizeof filler);
    out.insert(out.end(), codes.begin(), codes.end());
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

PcxFile planesFile(int bitsPerPixel, int planes, int width, int height, int extraBytesPerLine) {
    PcxFile file;
    file.size(width, height);
    file.bitsPerPixel = static_cast<uint8_t>(bitsPerPixel);
    file.nPlanes = static_cast<uint8_t>(planes);
    file.bytesPerLine = static_cast<uint16_t>((width * bitsPerPixel + 7) / 8 + extraBytesPerLine);
    return file;
}

PcxFile indexedFile(int bitsPerPixel, int width, int height, int extraBytesPerLine) {
    return planesFile(bitsPerPixel, 1, width, height, extraBytesPerLine);
}

PcxFile rgbFile(int width, int height, int extraBytesPerLine) {
    return planesFile(8, 3, width, height, extraBytesPerLine);
}

std::vector<uint8_t> packLine(const std::vector<uint8_t>& values, int bitsPerPixel,
                              int bytesPerLine, uint8_t fill) {
    std::vector<uint8_t> line(static_cast<size_t>(bytesPerLine), fill);
    const int perByte = 8 / bitsPerPixel;
    const size_t used = (values.size() * static_cast<size_t>(bitsPerPixel) + 7) / 8;
    for (size_t b = 0; b < used; ++b) line[b] = 0;
    for (size_t x = 0; x < values.size(); ++x) {
        const int shift =
            8 - bitsPerPixel * (static_cast<int>(x % static_cast<size_t>(perByte)) + 1);
        line[x / static_cast<size_t>(perByte)] |= static_cast<uint8_t>(values[x] << shift);
    }
    return line;
}

std::vector<uint8_t> bitPlanesScanline(const std::vector<uint8_t>& values, int planes,
                                       int bytesPerLine) {
    std::vector<uint8_t> scanline;
    for (int p = 0; p < planes; ++p) {
        std::vector<uint8_t> bits;
        for (uint8_t value : values) bits.push_back(static_cast<uint8_t>((value >> p) & 1));
        const std::vector<uint8_t> line = packLine(bits, 1, bytesPerLine);
        scanline.insert(scanline.end(), line.begin(), line.end());
    }
    return scanline;
}

}  // namespace pcxtest
