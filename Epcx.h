// Epcx: the encoder TPcxEncoder, which writes a host picture as a version 5
// PCX file (the format is drawn in PcxFormat.h), and the buffered output file
// it writes through.
//
// Two variants are written, both with 8 bits per pixel in a plane:
//
//   kind 1 (indexed)  header, NPlanes 1 | scanlines | 0x0C, 256 x (R, G, B)
//   kind 5 (colour)   header, NPlanes 3 | scanlines (R, G, B plane lines)
//
// The header holds version 5, the window 0..width-1 x 0..height-1, 300 dpi
// both ways, BytesPerLine = width rounded up to even and PaletteInfo 1; every
// other field is zero. Every plane line holds BytesPerLine bytes (an odd
// width gets one 0 of fill) and is run-length coded on its own: a run never
// carries on into the next plane line.
#ifndef PCX_EPCX_H
#define PCX_EPCX_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "PcxFormat.h"
#include "United.h"
#include "kernels/Kernels.h"
#include "platform/FileAccess.h"
#include "platform/LargeBuffer.h"

namespace pcx {

// The largest picture a header can describe. WindowXMax and WindowYMax are
// 16-bit (so a height of 65536 still fits), and BytesPerLine, the width
// rounded up to even, is 16-bit too: a width of 65535 would round up to
// 65536, which does not fit.
constexpr int32_t kMaxWriteWidth = 65534;
constexpr int32_t kMaxWriteHeight = 65536;

// A file opened for writing behind a buffer of its own, so that the per-byte
// path is a store into memory and the file sees a few large writes. The
// first failed write is remembered; later writes are dropped, and close()
// reports it.
class TPcxOutputStream {
public:
    // Large enough that a 4096-wide colour picture goes out in a few dozen
    // writes; small enough to be a trivial allocation for any host.
    static constexpr size_t kBufferSize = 256 * 1024;
    // One plane line, fill included, codes to at most two bytes a byte, and
    // the encoder makes room for a whole line at once, and for the scratch
    // its fast paths may store after the last code.
    static_assert(kBufferSize >= 2 * (kMaxWriteWidth + 1) + kCodeScratch,
                  "a plane line fits the buffer");

    TPcxOutputStream() = default;
    // Abandons a file still open: the temporary file goes, the target keeps
    // what it had.
    ~TPcxOutputStream();
    TPcxOutputStream(const TPcxOutputStream&) = delete;
    TPcxOutputStream& operator=(const TPcxOutputStream&) = delete;

    // Opens fileName for writing: a new file that takes its place at the
    // close (see platform/FileAccess.h). Returns false, leaving the stream
    // closed, when the name is null or empty, the file cannot be written,
    // or the buffer cannot be allocated. In the Windows build the name is
    // Shift-JIS whatever the process's code page, and a name that is not
    // valid Shift-JIS does not open.
    bool open(const char* fileName);
    bool isOpen() const { return file_ != nullptr; }
    // True once a write to the file has failed.
    bool failed() const { return failed_; }

    // Makes room for count bytes, at most kBufferSize, which then go in
    // through putByte and putPair without a check per byte.
    void reserve(size_t count) {
        if (static_cast<size_t>(end_ - cursor_) < count) drain();
    }
    // Each needs room made by reserve beforehand.
    void putByte(uint8_t value) { *cursor_++ = value; }
    void putPair(uint8_t first, uint8_t second) {
        cursor_[0] = first;
        cursor_[1] = second;
        cursor_ += 2;
    }
    // Any number of bytes, room made as needed.
    void putBytes(const uint8_t* bytes, size_t count);

    // For a writer that stores codes itself, within room made by reserve:
    // where the next byte goes, and the position after the last one stored.
    uint8_t* position() const { return cursor_; }
    void advanceTo(uint8_t* end) { cursor_ = end; }

    // Writes what is buffered, closes the file and puts it in the target's
    // place. Returns true only when every write, the close and the
    // replacement succeeded; otherwise the target keeps what it had.
    // Closing a stream that is not open returns false.
    bool close();

private:
    // Hands the buffered bytes to the file and empties the buffer.
    void drain();

    // The replacement of the target, and its stream while open.
    platform::FileReplacement output_;
    std::FILE* file_ = nullptr;
    std::unique_ptr<uint8_t, FreeMemory> buffer_;
    uint8_t* cursor_ = nullptr;
    uint8_t* end_ = nullptr;
    bool failed_ = false;
};

// Writes one picture to one file. Made on the stack for one call of
// EXPORT_WriteToFile: open, write, close.
class TPcxEncoder {
public:
    TPcxEncoder();
    virtual ~TPcxEncoder();
    TPcxEncoder(const TPcxEncoder&) = delete;
    TPcxEncoder& operator=(const TPcxEncoder&) = delete;

    // True when image can be written: not null, of kind 1 or 5, 1 to 65534
    // pixels wide and 1 to 65536 rows high, with pixels, a stride whose
    // magnitude covers a row's bytes (it may be negative for a bottom-up
    // buffer) and, for kind 1, a palette unless paletteCount is 0 or less.
    static bool canWrite(const PluginImage* image);

    // The host's callback, told each scanline's 1-based number before it is
    // written; a non-zero answer stops the write. Null: no reports, no stop.
    void setProgress(ProgressCallback callback) { progress = callback; }

    // Opens the output file; false when it does not open.
    bool open(const char* fileName) { return stream.open(fileName); }

    // Writes picture, which canWrite accepted, to the open file: the header,
    // the scanlines until the last one or a stop, and for kind 1 the colour
    // table trailer. A stop is not a failure; a failed write ends the
    // scanlines early and is reported by close().
    void write(const PluginImage& picture);

    // Closes the file; true when every byte reached it and it closed.
    bool close() { return stream.close(); }

private:
    void writeHeader(int planes);
    void writeIndexedScanlines();
    void writeColourScanlines();
    void writePaletteTrailer();
    // Asks the host whether to write the scanline numbered row (1-based).
    bool shouldContinue(int32_t row) const { return progress == nullptr || progress(row) == 0; }
    // Puts one plane line: count bytes taken step bytes apart from first,
    // the fill byte for an odd count, and the end-of-line mark. Step is 1
    // (indexed rows) or 4 (a plane of 32-bit pixels). The bulk of the line
    // goes through codeLineBulk, which writes what put would; the last
    // values go through put.
    void putPlaneLine(const uint8_t* first, uint32_t count, uint32_t step);

    // The run coder. put takes a byte 0-255, or -1 to end a plane line;
    // emit writes one code for count (1 to 63) copies of value.
    inline void put(int32_t value);
    inline void emit(int32_t value, int32_t count);

    const PluginImage* image;
    TPcxOutputStream stream;
    int32_t runValue;
    int32_t runLength;
    ProgressCallback progress;
};

}  // namespace pcx

#endif  // PCX_EPCX_H
