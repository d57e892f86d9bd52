// Dpcx: the PCX header record and the decoder TPcxDecoder.
//
// The decoder reads the header (and can stop there), works out once which
// variant the header describes, decodes the scanlines (or takes them as they
// are from an uncompressed file) and expands each into
// one byte (indexed) or one 32-bit word 0x00RRGGBB (24-bit) per pixel as soon
// as it is complete, optionally keeping only every scale-th row and column
// for a preview, and picks the colour table. The file format itself, the
// header record among it, is drawn in PcxFormat.h.
#ifndef PCX_DPCX_H
#define PCX_DPCX_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "PcxFormat.h"
#include "United.h"
#include "kernels/Kernels.h"

namespace pcx {

// The file is read through blocks of this size: large enough that the read
// calls cost little next to decoding (a preview, which only skips most codes,
// is half read calls at 64 KiB), small enough that a block stays in the
// second-level cache while it is decoded and that a decode needs little
// beyond its pixel buffer.
constexpr size_t kReadBlockSize = 256 * 1024;

// The header report: a heading, one line for each of fifteen header fields
// (a label and a value of at most five digits) and, after a failure, one
// more line. Its longest text is known, so it is kept inside the decoder and
// never needs memory of its own: a decode can always say what it found,
// however little memory the process has left.
class ReportText {
public:
    // Room for the longest report, checked in Dpcx.cpp against its lines.
    static constexpr size_t kCapacity = 400;

    void clear() {
        size_ = 0;
        text_[0] = '\0';
    }
    // Appends text; what would pass the capacity is dropped.
    void append(const char* text);
    // Appends value in decimal: no sign, no leading zeros, no separators.
    void appendDecimal(unsigned value);

    const char* c_str() const { return text_; }
    size_t size() const { return size_; }
    std::string_view view() const { return {text_, size_}; }

private:
    char text_[kCapacity + 1] = {};
    size_t size_ = 0;
};

// Decodes one PCX file into an indexed or 24-bit picture. Make one, set the
// switches (headerOnly, preview, previewMaxWidth, previewMaxHeight), call
// decode, read the results, detach what the caller keeps.
class TPcxDecoder {
public:
    TPcxDecoder();
    virtual ~TPcxDecoder();
    TPcxDecoder(const TPcxDecoder&) = delete;
    TPcxDecoder& operator=(const TPcxDecoder&) = delete;

    // Decodes the named file (null is the empty name, which never opens).
    // True when the file opened, its header has Manufacturer 10 and
    // Encoding 0 or 1 and, unless headerOnly, classifyHeader accepts it and its
    // buffers could be allocated. A file that ends early still succeeds:
    // unreached bytes are 0. On failure report ends with
    // "ERROR DETECTED.\n", failure says why, and pixels and palette are
    // null. The file is closed and raw released before it returns, in every
    // case.
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
    uint8_t* raw;          // decoded scanlines not yet expanded (malloc), only during decode
    ReportText report;     // the header report
    uint8_t* pixels;       // output rows (malloc)
    int32_t sourceWidth;   // picture size from the header window
    int32_t sourceHeight;  //
    int32_t width;         // output size: the source size, or reduced for a preview
    int32_t height;        //
    int32_t stride;        // bytes per output row
    bool trueColour;       // three or four planes of 8 bits: output is 0x00RRGGBB words
    int32_t paletteCount;  // colours the picture uses (palette may hold more)
    uint32_t* palette;     // 0x00RRGGBB colour table or null (calloc)
    bool headerOnly;       // stop after the header
    bool preview;          // reduce by a power of two for the preview box
    int32_t previewMaxWidth;
    int32_t previewMaxHeight;
    int32_t scale;       // reduction factor, a power of two
    int32_t scaleShift;  // log2(scale)
    int32_t scaleMask;   // scale - 1
    // Why the latest decode failed (None after a success).
    DecodeFailure failure;

private:
    void releaseBuffers();
    bool openFile(const char* fileName);
    void closeFile();
    bool fail(DecodeFailure why);
    bool readHeader();
    void appendHeaderReport();
    void chooseScale();
    bool classify();
    bool readData();
    bool choosePalette();
    bool readTrailer();
    bool readColormap(int32_t count);
    bool allocatePixels();
    void expandRow(int32_t row, const uint8_t* scanline);
    void clearRows(int32_t first);

    // The accepted header's variant and sizes, set by classify.
    DecodeLayout layout_;
};

}  // namespace pcx

#endif  // PCX_DPCX_H
