// PCX files written by independent encoders (ImageMagick, netpbm's ppmtopcx
// and Pillow) from pictures generated here decode, after the palette, to
// exactly the colours of their source: every layout one of them writes,
// uncompressed too. Native only: the peers are Unix programs, run as they
// are, never linked or read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/PluginTest.h"
#include "support/TestEnv.h"

namespace {

const char kImageMagick[] = "/usr/bin/convert-im6.q16";
const char kPython[] = "/usr/bin/python3";  // Debian's, which has Pillow

// A picture as 0x00RRGGBB colours, row by row.
struct Picture {
    int width, height;
    std::vector<uint32_t> colours;
};

struct Size {
    int width, height;
};
const Size kSizes[] = {{1, 1}, {1, 5}, {2, 3}, {7, 5}, {16, 16}, {33, 9}, {101, 37}, {260, 3}};

// A picture that uses every colour of palette (as far as it has pixels for
// them: the first pixels take the colours in order) and random ones of them
// elsewhere.
Picture pictureOf(Size size, const std::vector<uint32_t>& palette, std::mt19937& random) {
    Picture picture{size.width, size.height, {}};
    const size_t count = static_cast<size_t>(size.width) * size.height;
    for (size_t i = 0; i < count; ++i)
        picture.colours.push_back(i < palette.size() ? palette[i]
                                                     : palette[random() % palette.size()]);
    return picture;
}

std::vector<uint32_t> randomColours(size_t count, std::mt19937& random) {
    std::set<uint32_t> seen;
    std::vector<uint32_t> colours;
    while (colours.size() < count) {
        const uint32_t colour = random() & 0xFFFFFF;
        if (seen.insert(colour).second) colours.push_back(colour);
    }
    return colours;
}

std::vector<uint8_t> rgbBytes(const Picture& picture) {
    std::vector<uint8_t> bytes;
    for (uint32_t colour : picture.colours)
        for (int shift : {16, 8, 0}) bytes.push_back(static_cast<uint8_t>(colour >> shift));
    return bytes;
}

// The picture's colours, each followed by an alpha byte that varies from
// pixel to pixel (never fully opaque, so that the alpha plane stays).
std::vector<uint8_t> rgbaBytes(const Picture& picture) {
    std::vector<uint8_t> bytes;
    size_t i = 0;
    for (uint32_t colour : picture.colours) {
        for (int shift : {16, 8, 0}) bytes.push_back(static_cast<uint8_t>(colour >> shift));
        bytes.push_back(static_cast<uint8_t>(i++ * 37 % 255));
    }
    return bytes;
}

bool writePpm(const std::string& path, const Picture& picture) {
    const std::string head =
        "P6\n" + std::to_string(picture.width) + " " + std::to_string(picture.height) + "\n255\n";
    std::vector<uint8_t> bytes(head.begin(), head.end());
    const std::vector<uint8_t> rgb = rgbBytes(picture);
    bytes.insert(bytes.end(), rgb.begin(), rgb.end());
    return pcxtest::writeFile(path, bytes);
}

// Writes a PCX file of a picture given as raw bytes: mode is Pillow's
// (1, L, P or RGB); for P, a second file holds the 768-byte palette.
const char kPillowScript[] = R"(import sys
from PIL import Image
mode, width, height, pixels, palette, out = sys.argv[1:7]
size = (int(width), int(height))
data = open(pixels, 'rb').read()
if mode == '1':
    image = Image.frombytes('L', size, data).convert('1', dither=Image.NONE)
else:
    image = Image.frombytes(mode, size, data)
if mode == 'P':
    image.putpalette(open(palette, 'rb').read())
image.save(out, format='PCX')
)";

class Interop : public pcxtest::PluginTest {
protected:
    std::string path(const std::string& name) { return dir.file(name); }

    // Runs command (its own redirections apply to it alone); false, with a
    // failure showing its messages, when it does not exit with 0.
    bool run(const std::string& command) {
        std::string output;
        const int status = pcxtest::runCommand("{ " + command + "; } 2>&1", &output);
        EXPECT_EQ(status, 0) << command << "\n" << output;
        return status == 0;
    }

    // Decodes file through the module and compares every pixel's colour with
    // the source. The header must be the layout and encoding the peer was
    // asked for.
    void expectSameColours(const std::string& file, const Picture& source, int bits, int planes,
                           const std::string& what, int encoding = 1) {
        bool ok = false;
        const std::vector<uint8_t> bytes = pcxtest::readFile(file, &ok);
        ASSERT_TRUE(ok && bytes.size() >= 128) << what << ": no PCX file written";
        ASSERT_EQ(bytes[2], encoding) << what << ": the peer wrote another encoding";
        ASSERT_EQ(bytes[3], bits) << what << ": the peer wrote another depth";
        ASSERT_EQ(bytes[65], planes) << what << ": the peer wrote another plane count";

        PluginImage* image = nullptr;
        plugin().IMPORT_CreateImage(file.c_str(), &image);
        ASSERT_NE(image, nullptr) << what;
        EXPECT_EQ(image->width, source.width) << what;
        EXPECT_EQ(image->height, source.height) << what;
        EXPECT_EQ(image->kind, bits == 8 && planes >= 3 ? ImageKindRgb32 : ImageKindIndexed)
            << what;
        if (image->width == source.width && image->height == source.height) {
            int mismatches = 0;
            for (int y = 0; y < source.height && mismatches < 5; ++y)
                for (int x = 0; x < source.width && mismatches < 5; ++x) {
                    const uint8_t* row = image->pixels + y * image->stride;
                    uint32_t colour;
                    if (image->kind == ImageKindRgb32) {
                        std::memcpy(&colour, row + 4 * x, 4);
                    } else {
                        ASSERT_LT(row[x], image->paletteCount) << what;
                        colour = image->palette[row[x]];
                    }
                    const uint32_t expected =
                        source.colours[static_cast<size_t>(y) * source.width + x];
                    if ((colour & 0xFFFFFF) != expected) {
                        ++mismatches;
                        ADD_FAILURE() << what << ": pixel " << x << "," << y << " is 0x" << std::hex
                                      << colour << ", the source 0x" << expected;
                    }
                }
        }
        plugin().IMPORT_FreeImage(image);
    }

    pcxtest::TempDir dir;
};

std::string describe(const char* peer, Size size) {
    return std::string(peer) + " " + std::to_string(size.width) + "x" + std::to_string(size.height);
}

// Each layout run-length coded and, with -compress none, uncompressed
// (Encoding 0), the same picture both ways. A picture with alpha gets a
// fourth plane of 8 bits, which the decode drops. (ImageMagick's palette
// conversion merges some sets of close colours even below 256, so the
// indexed pictures keep the seeded draws that it writes exactly.)
TEST_F(Interop, ImageMagickTrueColourAlphaAndPalette) {
    REQUIRE_TOOL(convert, kImageMagick);
    std::mt19937 random(1);
    std::mt19937 alphaRandom(11);
    for (Size size : kSizes) {
        const size_t pixels = static_cast<size_t>(size.width) * size.height;
        const Picture rgb = pictureOf(size, randomColours(pixels, random), random);
        const Picture rgba = pictureOf(size, randomColours(pixels, alphaRandom), alphaRandom);
        // At least three colours: with fewer, ImageMagick writes three planes.
        const Picture indexed =
            pixels < 3
                ? Picture{}
                : pictureOf(size, randomColours(std::min<size_t>(pixels, 256), random), random);
        ASSERT_TRUE(writePpm(path("rgb.ppm"), rgb));
        ASSERT_TRUE(pcxtest::writeFile(path("rgba.raw"), rgbaBytes(rgba)));
        if (pixels >= 3) {
            ASSERT_TRUE(writePpm(path("indexed.ppm"), indexed));
        }
        for (int encoding : {1, 0}) {
            const std::string options = encoding == 0 ? " -compress none " : " ";
            const std::string coded = encoding == 0 ? " uncompressed" : "";
            ASSERT_TRUE(run(convert + " " + path("rgb.ppm") + options + path("rgb.pcx")));
            expectSameColours(path("rgb.pcx"), rgb, 8, 3,
                              describe(("ImageMagick 24-bit" + coded).c_str(), size), encoding);
            ASSERT_TRUE(run(convert + " -size " + std::to_string(size.width) + "x" +
                            std::to_string(size.height) + " -depth 8 rgba:" + path("rgba.raw") +
                            options + path("rgba.pcx")));
            expectSameColours(path("rgba.pcx"), rgba, 8, 4,
                              describe(("ImageMagick RGBA" + coded).c_str(), size), encoding);
            if (pixels < 3) continue;
            ASSERT_TRUE(run(convert + " " + path("indexed.ppm") + " -type Palette" + options +
                            path("indexed.pcx")));
            expectSameColours(path("indexed.pcx"), indexed, 8, 1,
                              describe(("ImageMagick 8-bit" + coded).c_str(), size), encoding);
        }
    }
}

TEST_F(Interop, NetpbmEightAndTwentyFourBits) {
    REQUIRE_TOOL(ppmtopcx, "ppmtopcx");
    std::mt19937 random(2);
    for (Size size : kSizes) {
        const size_t pixels = static_cast<size_t>(size.width) * size.height;
        const Picture rgb = pictureOf(size, randomColours(pixels, random), random);
        ASSERT_TRUE(writePpm(path("rgb.ppm"), rgb));
        ASSERT_TRUE(run(ppmtopcx + " -24bit " + path("rgb.ppm") + " > " + path("rgb.pcx")));
        expectSameColours(path("rgb.pcx"), rgb, 8, 3, describe("ppmtopcx -24bit", size));

        const Picture indexed =
            pictureOf(size, randomColours(std::min<size_t>(pixels, 256), random), random);
        ASSERT_TRUE(writePpm(path("indexed.ppm"), indexed));
        ASSERT_TRUE(run(ppmtopcx + " -8bit " + path("indexed.ppm") + " > " + path("indexed.pcx")));
        expectSameColours(path("indexed.pcx"), indexed, 8, 1, describe("ppmtopcx -8bit", size));
    }
}

// -packed picks 1, 2 or 4 bits in one plane for 2, 4 or 16 colours. A 1-bit
// file is black and white whatever its colormap, so its pictures are black
// and white.
TEST_F(Interop, NetpbmPackedOneTwoAndFourBits) {
    REQUIRE_TOOL(ppmtopcx, "ppmtopcx");
    std::mt19937 random(3);
    for (int bits : {1, 2, 4}) {
        const size_t colours = size_t{1} << bits;
        for (Size size : kSizes) {
            if (static_cast<size_t>(size.width) * size.height < colours) continue;
            const std::vector<uint32_t> palette = bits == 1
                                                      ? std::vector<uint32_t>{0x000000, 0xFFFFFF}
                                                      : randomColours(colours, random);
            const Picture picture = pictureOf(size, palette, random);
            ASSERT_TRUE(writePpm(path("packed.ppm"), picture));
            ASSERT_TRUE(
                run(ppmtopcx + " -packed " + path("packed.ppm") + " > " + path("packed.pcx")));
            expectSameColours(
                path("packed.pcx"), picture, bits, 1,
                describe(("ppmtopcx -packed " + std::to_string(bits) + "-bit").c_str(), size));
        }
    }
}

// For 3 to 16 colours ppmtopcx writes 2, 3 or 4 planes of 1 bit (4 and 8
// colours are the most two and three planes hold); -planes 4 asks for four
// whatever the count.
TEST_F(Interop, NetpbmPlanesOfOneBit) {
    REQUIRE_TOOL(ppmtopcx, "ppmtopcx");
    std::mt19937 random(5);
    const struct {
        size_t colours;
        int planes;
        const char* options;
    } cases[] = {{3, 2, ""}, {4, 2, ""}, {8, 3, ""}, {16, 4, ""}, {11, 4, ""}, {3, 4, "-planes 4"}};
    for (const auto& c : cases)
        for (Size size : kSizes) {
            if (static_cast<size_t>(size.width) * size.height < c.colours) continue;
            const Picture picture = pictureOf(size, randomColours(c.colours, random), random);
            ASSERT_TRUE(writePpm(path("planes.ppm"), picture));
            ASSERT_TRUE(run(ppmtopcx + " " + c.options + " " + path("planes.ppm") + " > " +
                            path("planes.pcx")));
            expectSameColours(
                path("planes.pcx"), picture, 1, c.planes,
                describe(
                    ("ppmtopcx " + std::to_string(c.colours) + " colours " + c.options).c_str(),
                    size));
        }
}

TEST_F(Interop, PillowOneEightAndTwentyFourBits) {
    REQUIRE_TOOL(python, kPython);
    if (pcxtest::runCommand(python + " -c 'import PIL' 2>/dev/null") != 0) {
        if (pcxtest::inCi()) FAIL() << "Pillow is missing in CI";
        GTEST_SKIP() << "Pillow is missing";
    }
    ASSERT_TRUE(pcxtest::writeFile(
        path("pillow.py"),
        std::vector<uint8_t>(kPillowScript, kPillowScript + sizeof kPillowScript - 1)));
    const std::string pillow = python + " " + path("pillow.py") + " ";
    std::mt19937 random(4);
    for (Size size : kSizes) {
        const size_t pixels = static_cast<size_t>(size.width) * size.height;
        const std::string dimensions =
            std::to_string(size.width) + " " + std::to_string(size.height) + " ";

        // 24 bits in three planes.
        const Picture rgb = pictureOf(size, randomColours(pixels, random), random);
        ASSERT_TRUE(pcxtest::writeFile(path("rgb.raw"), rgbBytes(rgb)));
        ASSERT_TRUE(run(pillow + "RGB " + dimensions + path("rgb.raw") + " - " + path("rgb.pcx")));
        if (size.width == 1) {
            // Pillow's fault, not ours: for a picture one pixel wide it writes
            // BytesPerLine 2 but leaves plane bytes out, so the file ends early
            // (a 1 x 1 picture gets 4 data bytes for 6). netpbm's reader stops
            // on the same file with "unexpected end of file". Such a file is
            // left out while netpbm refuses it.
            REQUIRE_TOOL(pcxtoppm, "pcxtoppm");
            const bool truncated =
                pcxtest::runCommand(pcxtoppm + " " + path("rgb.pcx") + " >/dev/null 2>&1") != 0;
            if (truncated) continue;
        }
        expectSameColours(path("rgb.pcx"), rgb, 8, 3, describe("Pillow RGB", size));

        // 8 bits with a 256-colour table, from a palette picture.
        std::vector<uint32_t> table = randomColours(256, random);
        std::vector<uint8_t> indices(pixels), tableBytes;
        Picture indexed{size.width, size.height, {}};
        for (size_t i = 0; i < pixels; ++i) {
            indices[i] = static_cast<uint8_t>(i < 256 ? i : random() % 256);
            indexed.colours.push_back(table[indices[i]]);
        }
        for (uint32_t colour : table)
            for (int shift : {16, 8, 0})
                tableBytes.push_back(static_cast<uint8_t>(colour >> shift));
        ASSERT_TRUE(pcxtest::writeFile(path("indices.raw"), indices));
        ASSERT_TRUE(pcxtest::writeFile(path("table.raw"), tableBytes));
        ASSERT_TRUE(run(pillow + "P " + dimensions + path("indices.raw") + " " + path("table.raw") +
                        " " + path("p.pcx")));
        expectSameColours(path("p.pcx"), indexed, 8, 1, describe("Pillow P", size));

        // 8-bit grey: the table is the grey ramp.
        std::vector<uint8_t> greys(pixels);
        Picture grey{size.width, size.height, {}};
        for (uint8_t& value : greys) {
            value = static_cast<uint8_t>(random());
            grey.colours.push_back(value * 0x010101u);
        }
        ASSERT_TRUE(pcxtest::writeFile(path("grey.raw"), greys));
        ASSERT_TRUE(run(pillow + "L " + dimensions + path("grey.raw") + " - " + path("l.pcx")));
        expectSameColours(path("l.pcx"), grey, 8, 1, describe("Pillow L", size));

        // 1 bit, black and white.
        std::vector<uint8_t> levels(pixels);
        Picture bilevel{size.width, size.height, {}};
        for (uint8_t& value : levels) {
            value = random() % 2 ? 255 : 0;
            bilevel.colours.push_back(value ? 0xFFFFFFu : 0x000000u);
        }
        ASSERT_TRUE(pcxtest::writeFile(path("bilevel.raw"), levels));
        ASSERT_TRUE(
            run(pillow + "1 " + dimensions + path("bilevel.raw") + " - " + path("one.pcx")));
        expectSameColours(path("one.pcx"), bilevel, 1, 1, describe("Pillow 1", size));
    }
}

}  // namespace
