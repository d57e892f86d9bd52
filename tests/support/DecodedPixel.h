// One pixel of a decoder's output, for tests that compare it with a source.
#ifndef PCX_TESTS_DECODED_PIXEL_H
#define PCX_TESTS_DECODED_PIXEL_H

#include <cstdint>
#include <cstring>

#include "Dpcx.h"

namespace pcxtest {

// Pixel (x, y): its palette index, or its 0x00RRGGBB word for true colour.
inline uint32_t decodedPixel(const pcx::TPcxDecoder& decoder, int x, int y) {
    const uint8_t* row = decoder.rowAt(y);
    if (!decoder.trueColour) return row[x];
    uint32_t word;
    std::memcpy(&word, row + 4 * x, 4);
    return word;
}

}  // namespace pcxtest

#endif  // PCX_TESTS_DECODED_PIXEL_H
