// A second, deliberately plain reading and writing of PCX files, against
// which the fuzz targets and the tests check the module. Nothing here is
// fast or clever: every byte is handled one at a time, in the order the
// format describes, so that a disagreement points at the module.
//
// Where the format leaves a choice open, this follows the module's
// documented choices: a window that is empty or negative, plane lines too
// short for the width, and buffers beyond 2^31 - 1 bytes are refused; bytes a
// short file never reaches are 0; a preview box side below 1 counts as 1.
#ifndef PCX_TESTS_REFERENCE_H
#define PCX_TESTS_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "United.h"

namespace pcxref {

constexpr size_t kHeaderSize = 128;
constexpr size_t kTrailerSize = 769;

// The header fields, read one by one from the file's first 128 bytes.
struct Header {
    uint8_t manufacturer, version, encoding, bitsPerPixel;
    uint16_t xMin, yMin, xMax, yMax, hDpi, vDpi;
    uint8_t colormap[48];
    uint8_t nPlanes;
    uint16_t bytesPerLine, paletteInfo, hScreenSize, vScreenSize;
};

// False when the file is shorter than the header.
bool readHeader(const uint8_t* file, size_t size, Header* header);

// True for a file whose header the plug-in accepts at all: at least 128
// bytes, Manufacturer 10, Encoding 0 or 1.
bool headerAccepted(const uint8_t* file, size_t size);

// The report a header-only decode of an accepted file gives.
std::string headerReport(const Header& header);

// What a full or preview decode of a file must do, worked out from the
// header alone.
struct Layout {
    bool decodable = false;  // the decode must succeed (enough memory assumed)
    int32_t sourceWidth = 0, sourceHeight = 0;
    int32_t scale = 1;  // preview reduction
    int32_t width = 0, height = 0;
    bool trueColour = false;
    int64_t rawBytes = 0;    // the whole picture's decoded scanlines
    int64_t pixelBytes = 0;  // the output pixels
};
Layout layoutOf(const uint8_t* file, size_t size, bool preview, int32_t boxWidth,
                int32_t boxHeight);

// A decoded picture in the host's terms.
struct Image {
    int32_t kind = 0, width = 0, height = 0, stride = 0;
    std::vector<uint8_t> pixels;    // height rows of stride bytes
    std::vector<uint32_t> palette;  // every entry the decoder builds (2, 16 or 256)
    int32_t paletteCount = 0;
};

// Decodes the file as the plug-in must; false when it must be refused.
bool decode(const uint8_t* file, size_t size, bool preview, int32_t boxWidth, int32_t boxHeight,
            Image* image);

// True when EXPORT_WriteToFile must write image rather than refuse it.
bool writable(const PluginImage* image);

// The bytes EXPORT_WriteToFile must leave in the file for a writable image
// when the progress callback asks to stop before row stopRow (1-based; 0
// never stops).
std::vector<uint8_t> encode(const PluginImage& image, int32_t stopRow);

// Decodes run-length codes the obvious way, with the contract of
// pcx::decodeRunLength: stops when out is full or in holds no whole code; a
// run header that is the last byte of in is left unconsumed; a run reaching
// past the end of out writes what fits, is consumed whole, and the bytes of
// it that did not fit are *cut (0 otherwise). out may be null to count the
// bytes without storing them, as pcx::skipRunLength does.
void decodeRunLength(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize,
                     size_t* consumed, size_t* written, size_t* cut = nullptr);

// Codes bytes as one stream the plain way: runs of up to 63 equal bytes; a
// lone byte below 0xC0 as itself, anything else as a run header and the
// byte.
std::vector<uint8_t> encodeRunLength(const std::vector<uint8_t>& bytes);

}  // namespace pcxref

#endif  // PCX_TESTS_REFERENCE_H
