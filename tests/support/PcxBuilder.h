// Builds small PCX files byte by byte for tests: header fields, coded data
// and an optional trailer, so that byte-exact cases are cheap to write.
#ifndef PCX_TESTS_PCX_BUILDER_H
#define PCX_TESTS_PCX_BUILDER_H

#include <cstdint>
#include <vector>

namespace pcxtest {

// A PCX file as fields. bytes() lays them out little-endian at the offsets of
// the 128-byte header, then appends codes and trailer unchanged.
struct PcxFile {
    uint8_t manufacturer = 10;
    uint8_t version = 5;
    uint8_t encoding = 1;
    uint8_t bitsPerPixel = 8;
    uint16_t windowXMin = 0;
    uint16_t windowYMin = 0;
    uint16_t windowXMax = 0;
    uint16_t windowYMax = 0;
    uint16_t hDpi = 72;
    uint16_t vDpi = 72;
    uint8_t colormap[48] = {};
    uint8_t reserved = 0;
    uint8_t nPlanes = 1;
    uint16_t bytesPerLine = 1;
    uint16_t paletteInfo = 1;
    uint16_t hScreenSize = 0;
    uint16_t vScreenSize = 0;
    uint8_t filler[54] = {};
    std::vector<uint8_t> codes;    // run-length coded data after the header
    std::vector<uint8_t> trailer;  // appended after the codes, as is

    // Sets the window to 0..width-1, 0..height-1.
    PcxFile& size(int width, int height);
    // Sets colormap entry index to 0x00RRGGBB.
    PcxFile& colormapEntry(int index, uint32_t colour);
    // Sets trailer to the 256-colour table: 12, then red, green, blue of each.
    PcxFile& trailer256(const std::vector<uint32_t>& colours);
    std::vector<uint8_t> bytes() const;
};

// planes planes of bitsPerPixel, the given size, minimal BytesPerLine plus
// extra fill bytes, no codes yet.
PcxFile planesFile(int bitsPerPixel, int planes, int width, int height, int extraBytesPerLine = 0);
// One plane of bitsPerPixel (1, 2, 4 or 8), the given size, minimal
// BytesPerLine plus extra fill bytes, no codes yet.
PcxFile indexedFile(int bitsPerPixel, int width, int height, int extraBytesPerLine = 0);
// Three planes of 8 bits, BytesPerLine = width + extra, no codes yet.
PcxFile rgbFile(int width, int height, int extraBytesPerLine = 0);

// Packs pixel values (each below 2^bitsPerPixel) into one plane line of
// bytesPerLine bytes, most significant bits first; fill bytes get fill.
std::vector<uint8_t> packLine(const std::vector<uint8_t>& values, int bitsPerPixel,
                              int bytesPerLine, uint8_t fill = 0);

// One scanline of planes plane lines of 1 bit per pixel (bytesPerLine
// bytes each) for pixel values below 2^planes: plane p holds bit p of each.
std::vector<uint8_t> bitPlanesScanline(const std::vector<uint8_t>& values, int planes,
                                       int bytesPerLine);

}  // namespace pcxtest

#endif  // PCX_TESTS_PCX_BUILDER_H
