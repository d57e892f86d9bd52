// Dpcx: the PCX header record and the decoder TPcxDecoder.
//
// A PCX file is a 128-byte header, the run-length coded scanlines of the
// whole picture and, for 256-colour pictures, a 769-byte colour table at the
// very end. The decoder reads the header (and can stop there), decodes every
// scanline into one buffer, picks the colour table and expands the scanlines
// into one byte (indexed) or one 32-bit word 0x00RRGGBB (24-bit) per pixel,
// optionally keeping only every scale-th row and column for a preview.
#ifndef PCX_DPCX_H
#define PCX_DPCX_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "United.h"

namespace pcx {

// The 128-byte file header, field by field, as the file stores it (all
// numbers unsigned). The byte layout is drawn beside parsePcxHeader.
struct PcxHeader {
    uint8_t manufacturer;  // 10 for every PCX file
    uint8_t version;       // 5 for files with a 256-colour trailer or 24-bit colour
    uint8_t encoding;      // 1: the run-length code
    uint8_t bitsPerPixel;  // bits of one pixel in one plane
    uint16_t windowXMin;   // the picture's window, edges inclusive
    uint16_t windowYMin;
    uint16_t windowXMax;
    uint16_t windowYMax;
    uint16_t hDpi;
    uint16_t vDpi;
    uint8_t colormap[48];  // 16 entries of red, green, blue
    uint8_t reserved;
    uint8_t nPlanes;        // colour planes: 1, or 3 for red, green, blue
    uint16_t bytesPerLine;  // bytes of one plane of one scanline
    uint16_t paletteInfo;   // only reported
    uint16_t hScreenSize;   // only reported
    uint16_t vScreenSize;   // only reported
    uint8_t filler[54];
};

constexpr size_t kPcxHeaderSize = 128;
// The 256-colour trailer: the marker byte 12, then 256 triples red, green, blue.
constexpr size_t kPcxTrailerSize = 769;
constexpr uint8_t kPcxTrailerMarker = 12;

// The header held in bytes[0..127]. Never fails: every bit pattern is a
// header; whether the decoder accepts it is a separate question.
PcxHeader parsePcxHeader(const uint8_t* bytes);

// How far past its last byte written decodeRunLength may leave scratch: the
// length of the longest run, rounded up to whole words.
constexpr size_t kRunLengthScratch = 64;

// What decodeRunLength did: input bytes taken, output bytes written.
struct RunLengthResult {
    size_t consumed;
    size_t written;
};

// Decodes PCX run-length codes from in[0..inSize) into out[0..outSize).
// A byte of 0xC0 or above is a run header (count = its low six bits, the
// next byte is the value); any other byte is one literal byte.
//
// Stops when out is full or when in holds no further whole code. A run
// header that is the last byte of in is not consumed (consumed ends before
// it), so a caller reading in blocks carries it over to the next block; at
// the end of a file it is simply dropped. A run that reaches past the end of
// out writes only what fits and is consumed whole; a run of count 0 writes
// nothing and is consumed.
//
// Nothing outside out[0..outSize) is ever touched, but to move whole words
// the decoder may leave scratch in up to kRunLengthScratch bytes of out just
// past written; bytes beyond those are left untouched. A caller that needs
// the bytes past written restores those few.
RunLengthResult decodeRunLength(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize);

// Decodes one PCX file into an indexed or 24-bit picture. Make one, set the
// switches (headerOnly, preview, previewMaxWidth, previewMaxHeight), call
// decode, read the results, detach what the caller keeps.
//
// Accepted variants: 1, 2, 4 or 8 bits in one plane (8 bits only with
// version 5), and 8 bits in three planes (version 5 or above).
class TPcxDecoder {
public:
    TPcxDecoder();
    virtual ~TPcxDecoder();
    TPcxDecoder(const TPcxDecoder&) = delete;
    TPcxDecoder& operator=(const TPcxDecoder&) = delete;

    // Decodes the named file (null is the empty name, which never opens).
    // True when the file opened, its header has Manufacturer 10 and
    // Encoding 1 and, unless headerOnly, the picture is an accepted variant of
    // a sound size that could be allocated. A file that ends early still
    // succeeds: unreached bytes are 0. On failure report ends with
    // "ERROR DETECTED.\n" and pixels and palette are null. The file is closed
    // and raw released before it returns, in every case.
    bool decode(const char* fileName);

    // The pixel buffer (from malloc; the caller frees it with free); the
    // decoder forgets it.
    uint8_t* detachPixels();
    // The colour table (from calloc; the caller frees it with free); when it
    // was not null the decoder forgets it and sets paletteCount to 0.
    uint32_t* detachPalette();
    // The first byte of output row row.
    uint8_t* rowAt(int32_t row) const;

    // Members in their documented order. Switches are set before decode; the
    // results are read after it.
    std::FILE* stream;     // the open file, only during decode
    PcxHeader header;      // the header as read
    uint8_t* raw;          // every decoded scanline byte of the picture (malloc)
    std::string report;    // the header report
    uint8_t* pixels;       // output rows (malloc)
    int32_t sourceWidth;   // picture size from the header window
    int32_t sourceHeight;  //
    int32_t width;         // output size: the source size, or reduced for a preview
    int32_t height;        //
    int32_t stride;        // bytes per output row
    bool trueColour;       // three planes of 8 bits: output is 0x00RRGGBB words
    int32_t paletteCount;  // colours the picture uses (palette may hold more)
    uint32_t* palette;     // 0x00RRGGBB colour table or null (calloc)
    bool headerOnly;       // stop after the header
    bool preview;          // reduce by a power of two for the preview box
    int32_t previewMaxWidth;
    int32_t previewMaxHeight;
    int32_t scale;       // reduction factor, a power of two
    int32_t scaleShift;  // log2(scale)
    int32_t scaleMask;   // scale - 1

private:
    void releaseBuffers();
    bool openFile(const char* fileName);
    void closeFile();
    bool readHeader();
    void appendHeaderReport();
    void chooseScale();
    bool checkLayout();
    bool readData();
    bool choosePalette();
    bool readTrailer();
    bool allocatePixels();
    void expandPixels(int32_t first, int32_t end);
    void expandTrueColour(int32_t first, int32_t end);
    void expandIndexed(int32_t first, int32_t end);
};

}  // namespace pcx

#endif  // PCX_DPCX_H
