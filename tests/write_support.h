// Helpers for the tests of the PCX writer: pictures in the host's record
// layout, a progress callback that records and stops, and a small reader
// that checks a written file's structure while it decodes it.
#ifndef PCX_TESTS_WRITE_SUPPORT_H
#define PCX_TESTS_WRITE_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "United.h"

namespace pcxtest {

// A picture owned by the test, handed to the plug-in as a PluginImage.
struct TestPicture {
    int32_t kind = ImageKindIndexed;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    std::vector<uint8_t> pixels;
    std::vector<uint32_t> palette;

    PluginImage record() {
        PluginImage image{};
        image.kind = kind;
        image.pixels = pixels.empty() ? nullptr : pixels.data();
        image.stride = stride;
        image.width = width;
        image.height = height;
        image.palette = palette.empty() ? nullptr : palette.data();
        image.paletteCount = static_cast<int32_t>(palette.size());
        return image;
    }
    uint8_t& index(int32_t x, int32_t y) {
        return pixels[static_cast<size_t>(y) * static_cast<size_t>(stride) +
                      static_cast<size_t>(x)];
    }
    // The 0x00RRGGBB colour of a kind 5 pixel, read from its bytes B, G, R.
    uint32_t colour(int32_t x, int32_t y) const {
        size_t at = static_cast<size_t>(y) * static_cast<size_t>(stride) + 4u * x;
        return (uint32_t{pixels[at + 2]} << 16) | (uint32_t{pixels[at + 1]} << 8) | pixels[at];
    }
    void setColour(int32_t x, int32_t y, uint32_t value) {
        size_t at = static_cast<size_t>(y) * static_cast<size_t>(stride) + 4u * x;
        for (int i = 0; i < 4; ++i) pixels[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    // The colour a reader should show at (x, y): through the palette for
    // kind 1, the pixel itself without its top byte for kind 5.
    uint32_t shownColour(int32_t x, int32_t y) {
        if (kind == ImageKindIndexed) {
            uint8_t i = index(x, y);
            return i < palette.size() ? palette[i] & 0xFFFFFF : 0;
        }
        return colour(x, y);
    }
};

// An indexed picture, every pixel value, packed rows unless stride is given.
inline TestPicture indexedPicture(int32_t width, int32_t height, uint8_t value,
                                  int32_t stride = 0) {
    TestPicture picture;
    picture.kind = ImageKindIndexed;
    picture.width = width;
    picture.height = height;
    picture.stride = stride ? stride : width;
    picture.pixels.assign(static_cast<size_t>(picture.stride) * static_cast<size_t>(height), value);
    return picture;
}

// A colour picture, every pixel the word value, packed rows unless stride
// is given.
inline TestPicture colourPicture(int32_t width, int32_t height, uint32_t value,
                                 int32_t stride = 0) {
    TestPicture picture;
    picture.kind = ImageKindRgb32;
    picture.width = width;
    picture.height = height;
    picture.stride = stride ? stride : 4 * width;
    picture.pixels.assign(static_cast<size_t>(picture.stride) * static_cast<size_t>(height), 0);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) picture.setColour(x, y, value);
    return picture;
}

// A small deterministic generator (xorshift32), so that every build sees the
// same "random" pictures.
class Random {
public:
    explicit Random(uint32_t seed) : state_(seed ? seed : 1) {}
    uint32_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

private:
    uint32_t state_;
};

// Fills a picture with a mixture that exercises the run coder: runs of every
// length up to past 63, lone bytes below and at or above 0xC0, and noise.
// For kind 1 the palette gets 256 distinct colours.
inline void fillMixed(TestPicture& picture, uint32_t seed) {
    Random random(seed);
    for (int32_t y = 0; y < picture.height; ++y) {
        int32_t x = 0;
        while (x < picture.width) {
            uint32_t choice = random.next();
            int32_t length = (choice & 3) == 0 ? 1 + static_cast<int32_t>(random.next() % 140)
                                               : 1 + static_cast<int32_t>(random.next() % 3);
            uint32_t value = random.next();
            if ((choice & 12) == 0) value |= 0xC0C0C0;  // bytes that need a run header
            for (int32_t i = 0; i < length && x < picture.width; ++i, ++x) {
                if (picture.kind == ImageKindIndexed)
                    picture.index(x, y) = static_cast<uint8_t>(value);
                else
                    picture.setColour(x, y, value | (random.next() & 0xFF000000u));
            }
        }
    }
    if (picture.kind == ImageKindIndexed) {
        picture.palette.resize(256);
        for (uint32_t i = 0; i < 256; ++i)
            picture.palette[i] = ((i * 0x9E3779B1u) & 0xFFFF00u) | i;  // distinct low bytes
    }
}

// Records the rows the writer announces, and asks it to stop at stopAt
// (0: never). The callback is a plain stdcall function, as a host's is.
struct ProgressLog {
    static inline std::vector<int32_t> rows;
    static inline int32_t stopAt = 0;
    static void reset(int32_t stop = 0) {
        rows.clear();
        stopAt = stop;
    }
    static int32_t PCX_CALL callback(int32_t row) {
        rows.push_back(row);
        return row == stopAt ? 1 : 0;
    }
};

// What a strict reading of a written file gives. The reader refuses (ok
// false, error says why) anything this writer never produces: a run that
// carries on past the end of a plane line, a run header with a count of 0,
// a header that is not the writer's, bytes left over or missing.
struct DecodedPcx {
    bool ok = false;
    std::string error;
    int32_t width = 0, height = 0, planes = 0, bytesPerLine = 0;
    // Decoded plane lines, scanline by scanline: height x planes x
    // bytesPerLine bytes.
    std::vector<uint8_t> lines;
    // For one plane: the 256 trailer colours as 0x00RRGGBB.
    std::vector<uint32_t> palette;

    uint8_t sample(int32_t x, int32_t y, int32_t plane) const {
        return lines[(static_cast<size_t>(y) * planes + plane) * bytesPerLine + x];
    }
    uint32_t shownColour(int32_t x, int32_t y) const {
        if (planes == 1) return palette[sample(x, y, 0)];
        return (uint32_t{sample(x, y, 0)} << 16) | (uint32_t{sample(x, y, 1)} << 8) |
               sample(x, y, 2);
    }
};

inline DecodedPcx decodeWrittenPcx(const std::vector<uint8_t>& file) {
    DecodedPcx out;
    auto le16 = [&](size_t at) { return static_cast<int32_t>(file[at] | (file[at + 1] << 8)); };
    if (file.size() < 128) {
        out.error = "shorter than a header";
        return out;
    }
    if (file[0] != 10 || file[1] != 5 || file[2] != 1 || file[3] != 8 || le16(4) != 0 ||
        le16(6) != 0 || le16(12) != 300 || le16(14) != 300 || le16(68) != 1) {
        out.error = "not this writer's header";
        return out;
    }
    out.width = le16(8) + 1;
    out.height = le16(10) + 1;
    out.planes = file[65];
    out.bytesPerLine = le16(66);
    if ((out.planes != 1 && out.planes != 3) || out.bytesPerLine != ((out.width + 1) & ~1)) {
        out.error = "planes or bytes per line";
        return out;
    }
    size_t end = file.size() - (out.planes == 1 ? 769 : 0);
    if (out.planes == 1 && (file.size() < 128 + 769 || file[end] != 12)) {
        out.error = "no colour table trailer";
        return out;
    }
    size_t at = 128;
    out.lines.reserve(static_cast<size_t>(out.height) * out.planes * out.bytesPerLine);
    for (int32_t line = 0; line < out.height * out.planes; ++line) {
        int32_t filled = 0;
        while (filled < out.bytesPerLine) {
            if (at >= end) {
                out.error = "data ends inside line " + std::to_string(line);
                return out;
            }
            uint8_t code = file[at++];
            int32_t count = 1;
            if ((code & 0xC0) == 0xC0) {
                count = code & 0x3F;
                if (count == 0 || at >= end) {
                    out.error = "empty or unfinished run";
                    return out;
                }
                code = file[at++];
            }
            if (filled + count > out.bytesPerLine) {
                out.error = "a run crosses the end of line " + std::to_string(line);
                return out;
            }
            out.lines.insert(out.lines.end(), static_cast<size_t>(count), code);
            filled += count;
        }
    }
    if (at != end) {
        out.error = "bytes left over after the scanlines";
        return out;
    }
    if (out.planes == 1) {
        for (int i = 0; i < 256; ++i)
            out.palette.push_back((uint32_t{file[end + 1 + 3 * i]} << 16) |
                                  (uint32_t{file[end + 2 + 3 * i]} << 8) | file[end + 3 + 3 * i]);
    }
    out.ok = true;
    return out;
}

}  // namespace pcxtest

#endif  // PCX_TESTS_WRITE_SUPPORT_H
