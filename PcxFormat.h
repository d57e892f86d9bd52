// PcxFormat: the ZSoft PCX file as this module reads and writes it, drawn
// once: the header record with its parser and its writer, the run-length
// code, the colour tables, and every constant of the format. The decoder
// (Dpcx) and the encoder (Epcx) both follow it. Which header layouts a full
// decode reads, and why any other is refused, is decided here once
// (classifyHeader), so that the decoder and a host that explains a refusal
// give the same answer.
//
// A file:
//
//   offset 0     the 128-byte header (below)
//   offset 128   the run-length codes of every scanline, top scanline first,
//                as one stream: a run may carry on into the next plane line
//   end - 769    for 256 colours only: the marker 12, then 256 x (R, G, B)
//
// The header, all numbers little-endian and unsigned:
//
//   offset size field            offset size field
//    0      1   manufacturer      16     48  colormap: 16 x (red, green, blue)
//    1      1   version           64      1  reserved
//    2      1   encoding          65      1  nPlanes
//    3      1   bitsPerPixel      66      2  bytesPerLine
//    4      2   windowXMin        68      2  paletteInfo
//    6      2   windowYMin        70      2  hScreenSize
//    8      2   windowXMax        72      2  vScreenSize
//   10      2   windowYMax        74     54  filler
//   12      2   hDpi
//   14      2   vDpi
//
// The picture is (windowXMax - windowXMin + 1) x (windowYMax - windowYMin + 1)
// pixels. Decoded, a scanline is nPlanes plane lines of bytesPerLine bytes
// each (red, green, blue for three planes); a pixel of fewer than 8 bits takes
// the most significant free bits of its byte first, and bytes past the width
// are fill.
//
// The run-length code (Encoding 1): a byte with both top bits set
// (0xC0-0xFF) is a run header, whose low six bits (0-63) count how often the
// next byte repeats; any other byte (0x00-0xBF) is one literal. A data byte
// of 0xC0 or above can only be stored through a run header, if need be as
// the run of one 0xC1. An uncompressed file (Encoding 0) stores the decoded
// bytes themselves after the header.
//
// The layouts, by bits per pixel in one plane and planes:
//
//   1, 2 or 4 bits, one plane     indexed; 1 bit is black and white, 2 and 4
//                                 bits take the header's colormap
//   1 bit, 2 to 4 planes          indexed, pixel = sum of plane p's bit << p,
//                                 2^planes colours from the colormap (four
//                                 planes: the 16-colour EGA/VGA picture)
//   8 bits, one plane             indexed, 256 colours from the trailer when
//                                 the file has one
//   8 bits, 3 planes              red, green, blue
//   8 bits, 4 planes              red, green, blue, alpha
#ifndef PCX_PCX_FORMAT_H
#define PCX_PCX_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace pcx {

// --- the header ---------------------------------------------------------------

constexpr size_t kPcxHeaderSize = 128;
// Every PCX file names this maker.
constexpr uint8_t kPcxManufacturer = 10;
// The two encodings: the decoded bytes as they are, and the run-length code
// (the one written here, and the one nearly every file uses).
constexpr uint8_t kPcxEncodingNone = 0;
constexpr uint8_t kPcxEncodingRunLength = 1;
// The version written here. The reader gates no layout on the version:
// files of 256 or 24-bit colour that carry an older number read alike.
constexpr uint8_t kPcxVersion5 = 5;
// The most planes of 1-bit samples a picture has: four index the sixteen
// entries of the header's colormap.
constexpr unsigned kMaxBitPlanes = 4;

// The header, field by field, as the file stores it.
struct PcxHeader {
    uint8_t manufacturer;  // kPcxManufacturer
    uint8_t version;
    uint8_t encoding;      // kPcxEncodingNone or kPcxEncodingRunLength
    uint8_t bitsPerPixel;  // bits of one pixel in one plane
    uint16_t windowXMin;   // the picture's window, edges inclusive
    uint16_t windowYMin;
    uint16_t windowXMax;
    uint16_t windowYMax;
    uint16_t hDpi;
    uint16_t vDpi;
    uint8_t colormap[48];  // 16 entries of red, green, blue
    uint8_t reserved;
    uint8_t nPlanes;        // colour planes
    uint16_t bytesPerLine;  // bytes of one plane of one scanline
    uint16_t paletteInfo;
    uint16_t hScreenSize;
    uint16_t vScreenSize;
    uint8_t filler[54];
};

// The header held in bytes[0..127]. Never fails: every bit pattern is a
// header; whether a reader accepts it is a separate question.
PcxHeader parsePcxHeader(const uint8_t* bytes);
// The header's 128 bytes into bytes[0..127].
void writePcxHeader(const PcxHeader& header, uint8_t* bytes);

// Whether the header is a PCX header at all: the maker and an encoding
// there is.
inline bool isPcxHeader(const PcxHeader& header) {
    return header.manufacturer == kPcxManufacturer &&
           (header.encoding == kPcxEncodingNone || header.encoding == kPcxEncodingRunLength);
}

// The picture's size from its window, in signed 32-bit arithmetic, so that a
// window whose maximum is below its minimum gives 0 or less.
inline int32_t pictureWidth(const PcxHeader& header) {
    return static_cast<int32_t>(header.windowXMax) - header.windowXMin + 1;
}
inline int32_t pictureHeight(const PcxHeader& header) {
    return static_cast<int32_t>(header.windowYMax) - header.windowYMin + 1;
}

// --- the run-length code --------------------------------------------------------

// Both top bits set: a run header.
constexpr uint8_t kRunHeaderBits = 0xC0;
// The count in a run header's low six bits.
constexpr uint8_t kRunCountMask = 0x3F;
// The longest run one code can carry.
constexpr uint32_t kMaxRunLength = kRunCountMask;
// The header of a run of one byte.
constexpr uint8_t kSingleRunHeader = kRunHeaderBits | 1;

inline bool isRunHeader(uint8_t code) {
    return (code & kRunHeaderBits) == kRunHeaderBits;
}

// Stores the code for count (1 to 63) copies of value at at and returns the
// position after it: a single value that cannot be mistaken for a run header
// goes out alone, anything else as the run header 0xC0 + count and the
// value. Both bytes are stored whatever the code's length, so that no branch
// depends on the data: after a lone value the second byte is scratch, which
// the next code overwrites, and the caller keeps room for two bytes a code.
inline uint8_t* writeRunCode(uint8_t* at, uint8_t value, uint32_t count) {
    const bool alone = count == 1 && !isRunHeader(value);
    at[0] = alone ? value : static_cast<uint8_t>(kRunHeaderBits | count);
    at[1] = value;
    return at + (alone ? 1 : 2);
}

// --- colour tables ----------------------------------------------------------------

// The header's colormap: 16 entries.
constexpr int kColormapEntries = 16;
static_assert(kColormapEntries == 1 << kMaxBitPlanes, "four bit planes index the colormap");
// The trailer of 256-colour files: the marker, then 256 entries, ending the
// file; a reader finds it kPcxTrailerSize bytes before the end.
constexpr int kTrailerEntries = 256;
constexpr uint8_t kPcxTrailerMarker = 12;
constexpr size_t kPcxTrailerSize = 1 + 3 * kTrailerEntries;

// A table entry (red, green, blue at rgb) as the colour value 0x00RRGGBB,
// and back (the top byte is dropped).
inline uint32_t colourValue(const uint8_t* rgb) {
    return static_cast<uint32_t>(rgb[0]) << 16 | static_cast<uint32_t>(rgb[1]) << 8 | rgb[2];
}
inline void storeColourValue(uint32_t colour, uint8_t* rgb) {
    rgb[0] = static_cast<uint8_t>(colour >> 16);
    rgb[1] = static_cast<uint8_t>(colour >> 8);
    rgb[2] = static_cast<uint8_t>(colour);
}

// --- the layouts a full decode reads ----------------------------------------------

// Why a decode failed. The host never sees it (it sees a failure); tests
// read it to tell a file refused for the right reason from one refused for
// a wrong one.
enum class DecodeFailure : uint8_t {
    None,
    FileNotOpened,      // no name, or the file does not open
    HeaderTooShort,     // fewer than 128 bytes
    NotPcx,             // Manufacturer not 10, or Encoding neither 0 nor 1
    UnreadVariant,      // a depth and plane count that no variant has
    EmptyWindow,        // a width or height below 1
    PlaneLineTooShort,  // BytesPerLine holds fewer bits than a row of pixels
    TooLarge,           // the decoded picture or the output beyond 2^31 - 1 bytes
    OutOfMemory,        // a buffer could not be allocated
};

// The variants a full decode reads (the layouts drawn at the top). The
// 8-bit indexed one takes its colours from the file's trailer when it has
// one; BitPlanes gathers one bit of each of 2 to 4 planes into an index;
// TrueColour reads the first three planes of 8 bits, and a fourth (alpha),
// which the image record has no room for, is skipped.
enum class PcxVariant : uint8_t { Indexed1, Indexed2, Indexed4, Indexed8, BitPlanes, TrueColour };

// What a header is, for a full decode: its variant and the sizes that follow
// from it and from the reduction.
struct DecodeLayout {
    PcxVariant variant;
    bool runLength;        // Encoding 1; else the bytes are stored as they are
    int bitsPerPixel;      // of one plane: 1, 2, 4 or 8
    int planes;            // NPlanes: 1 to 4
    size_t planeBytes;     // BytesPerLine
    size_t scanlineBytes;  // every plane of one scanline
    int32_t sourceWidth;   // the picture
    int32_t sourceHeight;  //
    int32_t width;         // the output, reduced by 2^scaleShift
    int32_t height;        //
    int32_t stride;        // bytes of one output row
    int64_t pictureBytes;  // every decoded scanline of the picture
};

// The variant of a header's depth and plane count, whatever else it says;
// false for a combination no variant reads.
bool variantOf(const PcxHeader& header, PcxVariant* variant);

// The answer of classifyHeader: a layout, or the reason there is none.
struct HeaderClass {
    DecodeFailure failure;  // None when layout holds
    DecodeLayout layout;
};

// Classifies a header for a full decode whose output is reduced by
// 2^scaleShift. Accepted, in either encoding and of any version: 1, 2, 4 or
// 8 bits in one plane, 1 bit in 2 to 4 planes, and 8 bits in three or four
// planes; of a non-empty window, with plane lines long enough for a row, and with every
// buffer size (the decoded picture, the output) within a signed 32-bit
// integer: the image record carries sizes as 32-bit integers, and a host
// does its own arithmetic on them in 32 bits.
HeaderClass classifyHeader(const PcxHeader& header, int32_t scaleShift);

// The output side (width or height) of a picture side reduced by
// 2^scaleShift: the side divided by the scale, rounded up.
inline int32_t reducedSide(int32_t side, int32_t scaleShift) {
    return (side + (int32_t{1} << scaleShift) - 1) >> scaleShift;
}

}  // namespace pcx

#endif  // PCX_PCX_FORMAT_H
