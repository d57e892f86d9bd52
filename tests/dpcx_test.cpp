// The decoder from the inside: the header fields, the run-length code over
// memory and across read blocks, the header report, the preview reduction,
// the colour table rules, the expansion of every variant, and the headers
// and files that must fail (or succeed) without harm.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Dpcx.h"
#include "support/DecodedPixel.h"
#include "support/KernelSets.h"
#include "support/PcxBuilder.h"
#include "support/Reference.h"
#include "support/TestEnv.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#endif

namespace {

using pcx::DecodeFailure;
using pcx::RunLengthResult;
using pcx::TPcxDecoder;
using pcxtest::PcxFile;

const char kHeading[] = "* PCX FILE (decoder records) *\n\n";
const char kFailure[] = "ERROR DETECTED.\n";

// Writes files into a fresh folder and decodes them.
class DecoderTest : public ::testing::Test {
protected:
    std::string write(const std::vector<uint8_t>& bytes) {
        const std::string path = dir.file("case" + std::to_string(++files) + ".pcx");
        EXPECT_TRUE(pcxtest::writeFile(path, bytes));
        return path;
    }
    bool decode(TPcxDecoder& decoder, const PcxFile& file) {
        return decoder.decode(write(file.bytes()).c_str());
    }
    bool decode(TPcxDecoder& decoder, const std::vector<uint8_t>& bytes) {
        return decoder.decode(write(bytes).c_str());
    }

    pcxtest::TempDir dir;
    int files = 0;
};

// The header report of a file whose header decodes, with its fifteen lines.
std::string headerLines(const PcxFile& f) {
    return "Manufacturer(ID) : " + std::to_string(f.manufacturer) +
           "\nVersion : " + std::to_string(f.version) +
           "\nEncoding : " + std::to_string(f.encoding) +
           "\nBItsPerPixel : " + std::to_string(f.bitsPerPixel) +
           "\nWindowXMin : " + std::to_string(f.windowXMin) +
           "\nWindowYMIn : " + std::to_string(f.windowYMin) +
           "\nWindowXMax : " + std::to_string(f.windowXMax) +
           "\nWindowYMax : " + std::to_string(f.windowYMax) + "\nHDpi : " + std::to_string(f.hDpi) +
           "\nVDpi : " + std::to_string(f.vDpi) + "\nNPlanes : " + std::to_string(f.nPlanes) +
           "\nBytesPerLine : " + std::to_string(f.bytesPerLine) +
           "\nPaletteInfoValue : " + std::to_string(f.paletteInfo) +
           "\nHScreenSize : " + std::to_string(f.hScreenSize) +
           "\nVScreenSize : " + std::to_string(f.vScreenSize) + "\n";
}

// --- header -----------------------------------------------------------------

TEST(PcxHeader, ReadsEveryFieldLittleEndianAtItsOffset) {
    uint8_t bytes[128];
    for (int i = 0; i < 128; ++i) bytes[i] = static_cast<uint8_t>(i);
    const pcx::PcxHeader h = pcx::parsePcxHeader(bytes);
    EXPECT_EQ(h.manufacturer, 0);
    EXPECT_EQ(h.version, 1);
    EXPECT_EQ(h.encoding, 2);
    EXPECT_EQ(h.bitsPerPixel, 3);
    EXPECT_EQ(h.windowXMin, 0x0504);
    EXPECT_EQ(h.windowYMin, 0x0706);
    EXPECT_EQ(h.windowXMax, 0x0908);
    EXPECT_EQ(h.windowYMax, 0x0B0A);
    EXPECT_EQ(h.hDpi, 0x0D0C);
    EXPECT_EQ(h.vDpi, 0x0F0E);
    EXPECT_EQ(h.colormap[0], 16);
    EXPECT_EQ(h.colormap[47], 63);
    EXPECT_EQ(h.reserved, 64);
    EXPECT_EQ(h.nPlanes, 65);
    EXPECT_EQ(h.bytesPerLine, 0x4342);
    EXPECT_EQ(h.paletteInfo, 0x4544);
    EXPECT_EQ(h.hScreenSize, 0x4746);
    EXPECT_EQ(h.vScreenSize, 0x4948);
    EXPECT_EQ(h.filler[0], 74);
    EXPECT_EQ(h.filler[53], 127);
}

// --- run-length code over memory ---------------------------------------------

struct RunLengthCase {
    const char* what;
    std::vector<uint8_t> in;
    size_t outSize;
    std::vector<uint8_t> out;
    size_t consumed;
};

TEST(RunLength, DecodesEachKindOfCode) {
    const RunLengthCase cases[] = {
        {"literals", {0x01, 0x02, 0xBF}, 8, {0x01, 0x02, 0xBF}, 3},
        {"a run", {0xC3, 0x07}, 8, {0x07, 0x07, 0x07}, 2},
        {"a count of 0 writes nothing but is consumed", {0xC0, 0x55, 0x07}, 8, {0x07}, 3},
        {"0xC1 carries a value above 0xBF", {0xC1, 0xC5}, 8, {0xC5}, 2},
        {"63 is the longest run", {0xFF, 0x09}, 64, std::vector<uint8_t>(63, 0x09), 2},
        {"a run header without its value is left for later", {0x01, 0xC5}, 8, {0x01}, 1},
        {"nothing is taken once out is full", {0x01, 0x02, 0x03}, 2, {0x01, 0x02}, 2},
        {"literals after a run", {0xC2, 0xEE, 0x10, 0x11}, 8, {0xEE, 0xEE, 0x10, 0x11}, 4},
    };
    for (const RunLengthCase& c : cases) {
        std::vector<uint8_t> out(c.outSize, 0xAA);
        const RunLengthResult result =
            pcx::decodeRunLength(c.in.data(), c.in.size(), out.data(), out.size());
        ASSERT_EQ(result.written, c.out.size()) << c.what;
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + result.written), c.out) << c.what;
        EXPECT_EQ(result.consumed, c.consumed) << c.what;
    }
}

TEST(RunLength, RunPastTheEndWritesOnlyWhatFitsAndIsConsumedWhole) {
    // Guard bytes around a two-byte output show that nothing lands outside.
    std::vector<uint8_t> memory(10, 0xEE);
    const uint8_t in[] = {0xC5, 0x07, 0x33};
    const RunLengthResult result = pcx::decodeRunLength(in, sizeof in, &memory[4], 2);
    EXPECT_EQ(result.written, 2u);
    EXPECT_EQ(result.consumed, 2u);
    EXPECT_EQ(result.cut, 3u);  // the run's last three bytes begin what follows
    EXPECT_EQ(memory,
              (std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0xEE, 0x07, 0x07, 0xEE, 0xEE, 0xEE, 0xEE}));
}

// --- run-length code in files -------------------------------------------------

// A file of the given codes for an 8-bit picture whose raw bytes are the
// pixels themselves (BytesPerLine equals the width), decoded and compared with
// code-by-code reading, whatever the read blocks are: run headers fall on
// even offsets, on odd offsets and at random ones.
TEST_F(DecoderTest, CodesSplitAcrossReadBlocksDecodeAsOneStream) {
    const int width = 1000, height = 700;  // 700,000 raw bytes, many read blocks
    std::mt19937 random(99);
    std::vector<std::vector<uint8_t>> streams(3);
    for (int s = 0; s < 3; ++s) {
        std::vector<uint8_t>& codes = streams[static_cast<size_t>(s)];
        if (s == 1) codes.push_back(0x42);  // shifts every run header to an odd offset
        while (codes.size() < 800000) {
            if (s < 2 || random() % 2) {
                codes.push_back(static_cast<uint8_t>(0xC0 | (1 + random() % 2)));
                codes.push_back(static_cast<uint8_t>(random()));
            } else {
                codes.push_back(static_cast<uint8_t>(random() % 0xC0));
            }
        }
    }
    for (const std::vector<uint8_t>& codes : streams) {
        PcxFile file = pcxtest::indexedFile(8, width, height);
        file.codes = codes;
        std::vector<uint8_t> expected(static_cast<size_t>(width) * height, 0);
        size_t consumed = 0, written = 0;
        pcxref::decodeRunLength(codes.data(), codes.size(), expected.data(), expected.size(),
                                &consumed, &written);
        TPcxDecoder decoder;
        ASSERT_TRUE(decode(decoder, file));
        ASSERT_EQ(0, std::memcmp(decoder.pixels, expected.data(), expected.size()));
    }
}

// Codes run on from one scanline into the next; a run past the picture's
// end is cut; a run header with no value behind it at the end of the file
// adds nothing.
TEST_F(DecoderTest, CodesInFilesDecodeAsOneStream) {
    const struct {
        const char* what;
        int bits, width, height;
        std::vector<uint8_t> codes, pixels;
    } cases[] = {
        {"into the next scanline", 8, 2, 2, {0xC3, 0x07, 0x09}, {0x07, 0x07, 0x07, 0x09}},
        {"past the end", 8, 3, 1, {0x01, 0xFF, 0x07}, {0x01, 0x07, 0x07}},
        {"header without value",
         1,
         16,
         1,
         {0xC1, 0xFF, 0xC3},
         {1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        PcxFile file = pcxtest::indexedFile(c.bits, c.width, c.height);
        file.codes = c.codes;
        TPcxDecoder decoder;
        ASSERT_TRUE(decode(decoder, file)) << c.what;
        EXPECT_EQ(std::vector<uint8_t>(decoder.pixels, decoder.pixels + c.pixels.size()), c.pixels)
            << c.what;
    }
}

// Bytes that a short file never reaches are 0, not what the heap held before.
// The heap is first filled with freed blocks of raw's size full of 0xAB, so a
// raw buffer that were not cleared would very likely show them.
TEST_F(DecoderTest, BytesAShortFileNeverReachesAreZero) {
    const int width = 13, height = 11;  // raw of 13 * 11 = 143 bytes
    for (int i = 0; i < 8; ++i) {
        void* dirty[4];
        for (void*& block : dirty) {
            block = std::malloc(width * height);
            std::memset(block, 0xAB, width * height);
        }
        for (void* block : dirty) std::free(block);
    }
    PcxFile file = pcxtest::indexedFile(8, width, height);
    file.codes = {0x05, 0xC4, 0x06};  // five bytes of 143
    TPcxDecoder decoder;
    ASSERT_TRUE(decode(decoder, file));
    std::vector<uint8_t> expected(width * height, 0);
    expected[0] = 5;
    expected[1] = expected[2] = expected[3] = expected[4] = 6;
    EXPECT_EQ(std::vector<uint8_t>(decoder.pixels, decoder.pixels + width * height), expected);
}

// The decoder's scratch past its last byte written never shows: here the
// data ends with codes that write nothing, behind which scratch is left.
TEST_F(DecoderTest, NoScratchOutlivesAShortFile) {
    PcxFile file = pcxtest::indexedFile(8, 512, 512);
    for (int i = 0; i < 20000; ++i) file.codes.insert(file.codes.end(), {0xC3, 0x7F});
    for (int i = 0; i < 64; ++i) file.codes.insert(file.codes.end(), {0xC0, 0x55});
    TPcxDecoder decoder;
    ASSERT_TRUE(decode(decoder, file));
    std::vector<uint8_t> expected(512 * 512, 0);
    std::fill(expected.begin(), expected.begin() + 60000, 0x7F);
    ASSERT_EQ(0, std::memcmp(decoder.pixels, expected.data(), expected.size()));
}

// --- report -----------------------------------------------------------------

TEST_F(DecoderTest, ReportListsTheFifteenFieldsByteForByte) {
    PcxFile file = pcxtest::indexedFile(8, 1, 1);
    file.version = 5;
    file.windowXMin = 1;
    file.windowYMin = 2;
    file.windowXMax = 300;
    file.windowYMax = 65535;
    file.hDpi = 0;
    file.vDpi = 1200;
    file.nPlanes = 1;
    file.bytesPerLine = 300;
    file.paletteInfo = 2;
    file.hScreenSize = 640;
    file.vScreenSize = 480;
    file.colormapEntry(0, 0x123456);  // the colormap and the filler are not reported
    file.filler[0] = 9;
    TPcxDecoder decoder;
    decoder.headerOnly = true;
    ASSERT_TRUE(decode(decoder, file));
    EXPECT_EQ(decoder.report.view(),
              "* PCX FILE (decoder records) *\n"
              "\n"
              "Manufacturer(ID) : 10\n"
              "Version : 5\n"
              "Encoding : 1\n"
              "BItsPerPixel : 8\n"
              "WindowXMin : 1\n"
              "WindowYMIn : 2\n"
              "WindowXMax : 300\n"
              "WindowYMax : 65535\n"
              "HDpi : 0\n"
              "VDpi : 1200\n"
              "NPlanes : 1\n"
              "BytesPerLine : 300\n"
              "PaletteInfoValue : 2\n"
              "HScreenSize : 640\n"
              "VScreenSize : 480\n");
    EXPECT_EQ(decoder.sourceWidth, 300);
    EXPECT_EQ(decoder.sourceHeight, 65534);
}

TEST_F(DecoderTest, FilesThatAreNotPcxReportOnlyTheHeadingAndTheFailure) {
    PcxFile wrongMaker = pcxtest::indexedFile(8, 4, 4);
    wrongMaker.manufacturer = 11;
    PcxFile notCoded = pcxtest::indexedFile(8, 4, 4);
    notCoded.encoding = 2;
    std::vector<uint8_t> shortHeader = pcxtest::indexedFile(8, 4, 4).bytes();
    shortHeader.resize(127);

    const std::string expected = std::string(kHeading) + kFailure;
    for (bool headerOnly : {true, false}) {
        TPcxDecoder decoder;
        decoder.headerOnly = headerOnly;
        EXPECT_FALSE(decode(decoder, wrongMaker));
        EXPECT_EQ(decoder.report.view(), expected);
        EXPECT_EQ(decoder.failure, DecodeFailure::NotPcx);
        EXPECT_FALSE(decode(decoder, notCoded));
        EXPECT_EQ(decoder.report.view(), expected);
        EXPECT_EQ(decoder.failure, DecodeFailure::NotPcx);
        EXPECT_FALSE(decode(decoder, shortHeader));
        EXPECT_EQ(decoder.report.view(), expected);
        EXPECT_EQ(decoder.failure, DecodeFailure::HeaderTooShort);
        EXPECT_FALSE(decode(decoder, std::vector<uint8_t>()));
        EXPECT_EQ(decoder.report.view(), expected);
        EXPECT_EQ(decoder.failure, DecodeFailure::HeaderTooShort);
        EXPECT_FALSE(decoder.decode(dir.file("missing.pcx").c_str()));
        EXPECT_EQ(decoder.report.view(), expected);
        EXPECT_EQ(decoder.failure, DecodeFailure::FileNotOpened);
        EXPECT_FALSE(decoder.decode(nullptr));
        EXPECT_EQ(decoder.report.view(), expected);
        EXPECT_EQ(decoder.failure, DecodeFailure::FileNotOpened);
        EXPECT_FALSE(decoder.decode(""));
        EXPECT_EQ(decoder.report.view(), expected);
        EXPECT_EQ(decoder.failure, DecodeFailure::FileNotOpened);
        EXPECT_EQ(decoder.pixels, nullptr);
        EXPECT_EQ(decoder.palette, nullptr);
    }
}

// Header-only decodes accept any depth; a full decode refuses the layouts
// without an expansion after the fifteen lines: several planes of 2 or 4
// bits, planes of 1 bit beyond four, 8 bits in two or five planes, no
// planes, and one plane of a depth other than 1, 2, 4 or 8.
TEST_F(DecoderTest, UnsupportedVariantsFailAfterTheHeaderLines) {
    struct Variant {
        int version, bits, planes;
    };
    const Variant variants[] = {
        {5, 2, 2}, {5, 2, 4},  {5, 4, 3}, {3, 4, 4}, {5, 1, 5}, {5, 8, 2}, {5, 8, 5}, {5, 8, 0},
        {5, 1, 0}, {5, 16, 1}, {5, 0, 1}, {5, 3, 1}, {5, 5, 1}, {5, 6, 1}, {5, 7, 1}, {5, 24, 1},
    };
    for (const Variant& v : variants) {
        PcxFile file = pcxtest::indexedFile(8, 4, 2);
        file.version = static_cast<uint8_t>(v.version);
        file.bitsPerPixel = static_cast<uint8_t>(v.bits);
        file.nPlanes = static_cast<uint8_t>(v.planes);
        file.bytesPerLine = 8;
        file.codes.assign(64, 0x01);
        file.trailer256({0xFFFFFF});
        const std::string what = "version " + std::to_string(v.version) + ", " +
                                 std::to_string(v.bits) + " bits, " + std::to_string(v.planes) +
                                 " planes";

        TPcxDecoder header;
        header.headerOnly = true;
        EXPECT_TRUE(decode(header, file)) << what;
        EXPECT_EQ(header.report.view(), kHeading + headerLines(file)) << what;
        EXPECT_EQ(header.pixels, nullptr) << what;

        TPcxDecoder full;
        EXPECT_FALSE(decode(full, file)) << what;
        EXPECT_EQ(full.failure, DecodeFailure::UnreadVariant) << what;
        EXPECT_EQ(full.report.view(), kHeading + headerLines(file) + kFailure) << what;
        EXPECT_EQ(full.pixels, nullptr) << what;
        EXPECT_EQ(full.palette, nullptr) << what;
    }
}

// --- preview reduction --------------------------------------------------------

TEST_F(DecoderTest, PreviewScaleIsTheLargestPowerOfTwoThatStillReachesTheBox) {
    struct Case {
        int sourceWidth, sourceHeight, boxWidth, boxHeight, scale, width, height;
    };
    const Case cases[] = {
        {640, 480, 64, 64, 8, 80, 60},
        {128, 128, 64, 64, 2, 64, 64},
        {127, 127, 64, 64, 1, 127, 127},
        {50, 50, 64, 64, 1, 50, 50},
        {1000, 10, 64, 64, 8, 125, 2},
        {10, 1000, 64, 64, 8, 2, 125},
        {3, 1, 1, 1, 2, 2, 1},
        {65535, 65535, 1, 1, 32768, 2, 2},
        // A box side below 1 counts as 1.
        {3, 1, 0, 0, 2, 2, 1},
        {640, 480, -5, 64, 512, 2, 1},
        {65535, 2, INT_MIN, INT_MIN, 32768, 2, 1},
    };
    for (const Case& c : cases) {
        PcxFile file = pcxtest::indexedFile(8, c.sourceWidth, c.sourceHeight);
        TPcxDecoder decoder;
        decoder.headerOnly = true;
        decoder.preview = true;
        decoder.previewMaxWidth = c.boxWidth;
        decoder.previewMaxHeight = c.boxHeight;
        const std::string what = std::to_string(c.sourceWidth) + "x" +
                                 std::to_string(c.sourceHeight) + " in " +
                                 std::to_string(c.boxWidth) + "x" + std::to_string(c.boxHeight);
        ASSERT_TRUE(decode(decoder, file)) << what;
        EXPECT_EQ(decoder.scale, c.scale) << what;
        EXPECT_EQ(1 << decoder.scaleShift, c.scale) << what;
        EXPECT_EQ(decoder.scaleMask, c.scale - 1) << what;
        EXPECT_EQ(decoder.width, c.width) << what;
        EXPECT_EQ(decoder.height, c.height) << what;
    }
}

// --- colour tables --------------------------------------------------------------

TEST_F(DecoderTest, EightBitsTakeTheTrailerOnlyWhenItsMarkerIsTwelve) {
    std::vector<uint32_t> colours(256);
    for (uint32_t i = 0; i < 256; ++i) colours[i] = i << 16 | (255 - i) << 8 | (i * 7 & 255);
    PcxFile file = pcxtest::indexedFile(8, 2, 1);
    file.codes = {0x00, 0xC1, 0xFF};
    file.trailer256(colours);
    {
        TPcxDecoder decoder;
        ASSERT_TRUE(decode(decoder, file));
        ASSERT_EQ(decoder.paletteCount, 256);
        EXPECT_EQ(std::vector<uint32_t>(decoder.palette, decoder.palette + 256), colours);
        EXPECT_EQ(decoder.pixels[1], 0xFF);
    }
    file.trailer[0] = 13;
    {
        TPcxDecoder decoder;
        ASSERT_TRUE(decode(decoder, file));
        EXPECT_EQ(decoder.palette, nullptr);
        EXPECT_EQ(decoder.paletteCount, 0);
        EXPECT_EQ(decoder.pixels[1], 0xFF);
    }
}

// A file too short for the 769-byte table has none, even when the byte after
// the data is 12 and the seek back from its end cannot be made.
TEST_F(DecoderTest, FileShorterThanTheTrailerHasNoColourTable) {
    PcxFile file = pcxtest::indexedFile(8, 2, 1);
    file.codes = {0x0C, 0x0C};
    file.trailer.assign(767 - 128 - 2, 0x40);
    file.trailer[0] = 12;
    ASSERT_EQ(file.bytes().size(), 767u);
    TPcxDecoder decoder;
    ASSERT_TRUE(decode(decoder, file));
    EXPECT_EQ(decoder.palette, nullptr);
    EXPECT_EQ(decoder.paletteCount, 0);

    // Exactly 769 bytes: the table would start with the header's first byte.
    file.trailer.assign(769 - 128 - 2, 0x40);
    TPcxDecoder exact;
    ASSERT_TRUE(decode(exact, file));
    EXPECT_EQ(exact.palette, nullptr);
}

TEST_F(DecoderTest, ThreePlanesOfAnyVersionAreTrueColour) {
    for (int version : {0, 2, 3, 4, 5, 6, 200}) {
        PcxFile file = pcxtest::rgbFile(1, 1);
        file.version = static_cast<uint8_t>(version);
        file.codes = {0x12, 0x34, 0x56};
        TPcxDecoder decoder;
        ASSERT_TRUE(decode(decoder, file)) << version;
        EXPECT_TRUE(decoder.trueColour);
        EXPECT_EQ(decoder.palette, nullptr);
        EXPECT_EQ(decoder.paletteCount, 0);
        uint32_t pixel;
        std::memcpy(&pixel, decoder.pixels, 4);
        EXPECT_EQ(pixel, 0x123456u);
    }
}

// A decoder used twice starts afresh: the second file has no table, so the
// count of the first must not stay behind with a null table.
TEST_F(DecoderTest, SecondDecodeLeavesNothingOfTheFirst) {
    PcxFile withTable = pcxtest::indexedFile(8, 2, 1);
    withTable.codes = {0x01, 0x02};
    withTable.trailer256({0x111111});
    PcxFile withoutTable = withTable;
    withoutTable.trailer.clear();

    TPcxDecoder decoder;
    ASSERT_TRUE(decode(decoder, withTable));
    EXPECT_EQ(decoder.paletteCount, 256);
    ASSERT_TRUE(decode(decoder, withoutTable));
    EXPECT_EQ(decoder.palette, nullptr);
    EXPECT_EQ(decoder.paletteCount, 0);
    EXPECT_EQ(decoder.report.view(), kHeading + headerLines(withoutTable));
}

TEST_F(DecoderTest, DetachingHandsOverTheBuffers) {
    PcxFile file = pcxtest::indexedFile(4, 2, 1);
    file.codes = {0x21};
    TPcxDecoder decoder;
    ASSERT_TRUE(decode(decoder, file));
    uint8_t* pixels = decoder.detachPixels();
    EXPECT_EQ(decoder.pixels, nullptr);
    EXPECT_EQ(decoder.paletteCount, 16);
    uint32_t* palette = decoder.detachPalette();
    EXPECT_EQ(decoder.palette, nullptr);
    EXPECT_EQ(decoder.paletteCount, 0);
    EXPECT_EQ(decoder.detachPalette(), nullptr);
    ASSERT_NE(pixels, nullptr);
    ASSERT_NE(palette, nullptr);
    EXPECT_EQ(pixels[0], 2);
    EXPECT_EQ(pixels[1], 1);
    std::free(pixels);
    std::free(palette);
}

// --- expansion of every variant, whole and reduced -------------------------------

struct Picture {
    int bits;  // 1, 2, 4, 8 or 24
    int width, height;
    std::vector<uint32_t> values;  // index, or 0x00RRGGBB for 24 bits
};

Picture randomPicture(int bits, int width, int height, std::mt19937& random) {
    Picture picture{bits, width, height, {}};
    picture.values.resize(static_cast<size_t>(width) * height);
    for (uint32_t& value : picture.values)
        value = bits == 24 ? random() & 0xFFFFFF : random() % (1u << bits);
    return picture;
}

// The picture as a file: plane lines with extra fill bytes of 0xFF, which
// carry no pixels.
PcxFile fileOf(const Picture& picture, int extraBytesPerLine) {
    PcxFile file =
        picture.bits == 24
            ? pcxtest::rgbFile(picture.width, picture.height, extraBytesPerLine)
            : pcxtest::indexedFile(picture.bits, picture.width, picture.height, extraBytesPerLine);
    std::vector<uint8_t> raw;
    for (int y = 0; y < picture.height; ++y) {
        const uint32_t* row = &picture.values[static_cast<size_t>(y) * picture.width];
        if (picture.bits == 24) {
            for (int shift : {16, 8, 0}) {
                std::vector<uint8_t> plane(file.bytesPerLine, 0xFF);
                for (int x = 0; x < picture.width; ++x)
                    plane[x] = static_cast<uint8_t>(row[x] >> shift);
                raw.insert(raw.end(), plane.begin(), plane.end());
            }
        } else {
            std::vector<uint8_t> values(row, row + picture.width);
            std::vector<uint8_t> line =
                pcxtest::packLine(values, picture.bits, file.bytesPerLine, 0xFF);
            raw.insert(raw.end(), line.begin(), line.end());
        }
    }
    file.codes = pcxref::encodeRunLength(raw);
    return file;
}

// Output pixel (j, r) is source pixel (j * scale, r * scale): checked for
// every depth, for widths around the bulk loops' 16-pixel and 16-byte steps,
// whole and in previews of several scales, with each set of kernels.
TEST_F(DecoderTest, EveryVariantExpandsToTheSourcePixels) {
    std::mt19937 random(2024);
    const int widths[] = {1, 3, 8, 9, 17, 33, 70, 129, 300};
    for (int bits : {1, 2, 4, 8, 24}) {
        for (int width : widths) {
            const int height = 1 + width % 7;
            const Picture picture = randomPicture(bits, width, height, random);
            const PcxFile file = fileOf(picture, width % 3);
            for (int box : {0, 64, 16, 4, 1}) {
                for (pcx::kernels::InstructionSet set : pcxtest::availableKernelSets()) {
                    const pcxtest::ScopedKernelSet kernels(set);
                    TPcxDecoder decoder;
                    decoder.preview = box > 0;
                    decoder.previewMaxWidth = box;
                    decoder.previewMaxHeight = box;
                    const std::string what = std::to_string(bits) + " bits, " +
                                             std::to_string(width) + "x" + std::to_string(height) +
                                             ", box " + std::to_string(box) + ", " +
                                             pcx::kernels::nameOf(set);
                    ASSERT_TRUE(decode(decoder, file)) << what;
                    const int scale = decoder.scale;
                    ASSERT_EQ(decoder.width, (width + scale - 1) / scale) << what;
                    ASSERT_EQ(decoder.height, (height + scale - 1) / scale) << what;
                    ASSERT_EQ(decoder.stride, decoder.width * (bits == 24 ? 4 : 1)) << what;
                    ASSERT_EQ(decoder.trueColour, bits == 24) << what;
                    for (int y = 0; y < decoder.height; ++y)
                        for (int x = 0; x < decoder.width; ++x)
                            ASSERT_EQ(pcxtest::decodedPixel(decoder, x, y),
                                      picture.values[static_cast<size_t>(y) * scale * width +
                                                     static_cast<size_t>(x) * scale])
                                << what << " at " << x << "," << y;
                }
            }
        }
    }
}

// --- headers that describe no picture one can decode --------------------------

TEST_F(DecoderTest, EmptyOrNegativeSizesFail) {
    PcxFile noWidth = pcxtest::indexedFile(8, 4, 4);
    noWidth.windowXMin = 5;
    noWidth.windowXMax = 4;
    PcxFile negativeWidth = noWidth;
    negativeWidth.windowXMax = 0;
    PcxFile noHeight = pcxtest::indexedFile(8, 4, 4);
    noHeight.windowYMin = 1;
    noHeight.windowYMax = 0;
    PcxFile mostlyNegative = pcxtest::indexedFile(8, 4, 4);
    mostlyNegative.windowYMin = 65535;
    mostlyNegative.windowYMax = 0;
    for (const PcxFile* file : {&noWidth, &negativeWidth, &noHeight, &mostlyNegative}) {
        PcxFile coded = *file;
        coded.codes.assign(32, 0x01);
        TPcxDecoder decoder;
        EXPECT_FALSE(decode(decoder, coded));
        EXPECT_EQ(decoder.failure, DecodeFailure::EmptyWindow);
        EXPECT_EQ(decoder.report.view(), kHeading + headerLines(coded) + kFailure);
        // The header alone is still readable and described.
        TPcxDecoder header;
        header.headerOnly = true;
        EXPECT_TRUE(decode(header, coded));
    }
}

TEST_F(DecoderTest, PlaneLinesTooShortForTheWidthFail) {
    struct Case {
        int bits, width, bytesPerLine;
        bool decodes;
    };
    const Case cases[] = {
        {8, 10, 9, false}, {8, 10, 10, true}, {1, 9, 1, false}, {1, 9, 2, true},   {2, 5, 1, false},
        {2, 5, 2, true},   {4, 3, 1, false},  {4, 3, 2, true},  {24, 4, 3, false}, {24, 4, 4, true},
    };
    for (const Case& c : cases) {
        PcxFile file =
            c.bits == 24 ? pcxtest::rgbFile(c.width, 2) : pcxtest::indexedFile(c.bits, c.width, 2);
        file.bytesPerLine = static_cast<uint16_t>(c.bytesPerLine);
        file.codes.assign(64, 0x01);
        TPcxDecoder decoder;
        EXPECT_EQ(decode(decoder, file), c.decodes)
            << c.bits << " bits, width " << c.width << ", BytesPerLine " << c.bytesPerLine;
        EXPECT_EQ(decoder.failure,
                  c.decodes ? DecodeFailure::None : DecodeFailure::PlaneLineTooShort);
    }
}

// Products beyond a signed 32-bit integer are refused before anything is
// allocated, so these fail at once. A raw buffer too large fails previews
// too; were it not checked, the preview of the first case (2 GiB of raw that
// is hardly touched, a small output) would succeed at once.
TEST_F(DecoderTest, SizesBeyondThirtyTwoBitsFail) {
    PcxFile rawJustTooBig = pcxtest::indexedFile(8, 65535, 32769);  // 2^31 + 32767 raw bytes
    PcxFile rawFarTooBig = pcxtest::rgbFile(65535, 65535);          // 3 * 65535^2 raw bytes
    PcxFile pixelsTooBig = pcxtest::rgbFile(65535, 9000);  // raw fits, 4-byte pixels do not
    PcxFile indexedTooBig = pcxtest::indexedFile(1, 65535, 65535);  // raw fits, pixels do not
    PcxFile widest = pcxtest::indexedFile(1, 1, 1);  // a window 0..65535 is 65536 wide
    widest.windowXMax = 65535;
    widest.windowYMax = 65535;
    widest.bytesPerLine = 8192;
    const struct {
        const PcxFile* file;
        bool rawTooBig;
    } cases[] = {{&rawJustTooBig, true},
                 {&rawFarTooBig, true},
                 {&pixelsTooBig, false},
                 {&indexedTooBig, false},
                 {&widest, false}};
    for (const auto& c : cases) {
        PcxFile coded = *c.file;
        coded.codes = {0xC1, 0x00};
        const std::string path = write(coded.bytes());
        for (bool preview : {true, false}) {
            if (preview && !c.rawTooBig) continue;  // a reduced output may well fit
            TPcxDecoder decoder;
            decoder.preview = preview;
            ASSERT_FALSE(decoder.decode(path.c_str())) << headerLines(coded);
            EXPECT_EQ(decoder.failure, DecodeFailure::TooLarge) << headerLines(coded);
            EXPECT_EQ(decoder.pixels, nullptr);
            EXPECT_EQ(decoder.report.view(), kHeading + headerLines(coded) + kFailure);
        }
    }
}

// Allocations that fail end the decode cleanly. Natively the address space
// is limited for the call; a 32-bit Windows process cannot find 2 GiB in one
// piece anyway.
class AddressSpaceLimit {
public:
#if defined(_WIN32)
    bool active() const {
        return true;
    }
#else
    bool active() const {
        return wanted_ != 0 && limit_.active();
    }

private:
    // What the process has mapped now, and 512 MiB more; 0 when unknown.
    static unsigned long long mappedPlus512Mib() {
        long pages = 0;
        std::ifstream statm("/proc/self/statm");
        if (!(statm >> pages)) return 0;
        return static_cast<unsigned long long>(pages) * sysconf(_SC_PAGESIZE) + (512u << 20);
    }
    const unsigned long long wanted_ = mappedPlus512Mib();
    pcxtest::ScopedLimit limit_{RLIMIT_AS, wanted_ != 0 ? wanted_ : RLIM_INFINITY};
#endif
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PCX_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || \
    __has_feature(thread_sanitizer)
#define PCX_SANITIZED 1
#endif
#endif

TEST_F(DecoderTest, FailedAllocationsFailTheDecode) {
#if defined(PCX_SANITIZED)
    GTEST_SKIP() << "sanitizers reserve the address space this test limits";
#endif
    // Pixel buffers of 65535 * 32767 bytes (just below 2^31), from 8-bit and
    // from 1-bit scanlines; the decoder's own working memory is small.
    PcxFile eightBits = pcxtest::indexedFile(8, 65535, 32767);
    eightBits.codes = {0xC1, 0x00};
    PcxFile oneBit = pcxtest::indexedFile(1, 65535, 32767);
    oneBit.codes = {0xC1, 0x00};
    const std::string rawPath = write(eightBits.bytes());
    const std::string pixelsPath = write(oneBit.bytes());

    AddressSpaceLimit limit;
    if (!limit.active()) GTEST_SKIP() << "cannot limit the address space";
    for (const std::string* path : {&rawPath, &pixelsPath}) {
        TPcxDecoder decoder;
        EXPECT_FALSE(decoder.decode(path->c_str())) << *path;
        EXPECT_EQ(decoder.failure, DecodeFailure::OutOfMemory) << *path;
        EXPECT_EQ(decoder.pixels, nullptr);
        EXPECT_EQ(decoder.palette, nullptr);
        EXPECT_EQ(decoder.raw, nullptr);
        const std::string report(decoder.report.view());
        ASSERT_GE(report.size(), std::strlen(kFailure));
        EXPECT_EQ(report.substr(report.size() - std::strlen(kFailure)), kFailure);
    }
}

}  // namespace
