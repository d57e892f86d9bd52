// EXPORT_WriteToFile as a host calls it, through the loaded module: the exact
// bytes of small files, progress and stop, the pictures it refuses without
// touching the file, and write errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/PluginTest.h"
#include "support/Reference.h"
#include "support/TestEnv.h"
#include "write_support.h"

namespace {

using pcxtest::ProgressLog;
using pcxtest::TestPicture;
using Bytes = std::vector<uint8_t>;

using pcxref::kHeaderSize;
using pcxref::kTrailerSize;

// The trailer of an indexed file whose palette is the given colours.
Bytes trailerOf(const std::vector<uint32_t>& colours) {
    Bytes trailer(kTrailerSize, 0);
    trailer[0] = 0x0C;
    for (size_t i = 0; i < colours.size(); ++i) {
        trailer[1 + 3 * i] = static_cast<uint8_t>(colours[i] >> 16);
        trailer[2 + 3 * i] = static_cast<uint8_t>(colours[i] >> 8);
        trailer[3 + 3 * i] = static_cast<uint8_t>(colours[i]);
    }
    return trailer;
}

Bytes slice(const Bytes& bytes, size_t from, size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

class WriteToFile : public pcxtest::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        if (HasFatalFailure()) return;
        ProgressLog::reset();
    }

    int32_t write(const char* path, const PluginImage* image,
                  ProgressCallback progress = ProgressLog::callback) {
        return plugin().EXPORT_WriteToFile(path, image, progress);
    }

    // Writes picture to a fresh file, expects the result 1 and gives the
    // file's bytes.
    Bytes written(TestPicture& picture, ProgressCallback progress = ProgressLog::callback) {
        const std::string path = dir.file("out" + std::to_string(++serial) + ".pcx");
        PluginImage image = picture.record();
        EXPECT_EQ(write(path.c_str(), &image, progress), 1);
        bool ok = false;
        Bytes bytes = pcxtest::readFile(path, &ok);
        EXPECT_TRUE(ok) << path;
        return bytes;
    }

    // The coded scanlines of a file: what lies between the header and, for
    // an indexed file, the trailer.
    static Bytes scanlinesOf(const Bytes& file, bool indexed) {
        size_t end = file.size() - (indexed ? kTrailerSize : 0);
        if (file.size() < kHeaderSize + (indexed ? kTrailerSize : 0)) return {};
        return slice(file, kHeaderSize, end);
    }

    pcxtest::TempDir dir;
    int serial = 0;
};

TEST_F(WriteToFile, OneByOneIndexedPictureIsTheWholeExpectedFile) {
    TestPicture picture = pcxtest::indexedPicture(1, 1, 5);
    picture.palette = {0x123456};
    Bytes expected = {
        0x0A, 0x05, 0x01, 0x08,  // manufacturer, version, run-length, 8 bits
        0,    0,    0,    0,     // window minimum 0, 0
        0,    0,    0,    0,     // window maximum 0, 0
        0x2C, 0x01, 0x2C, 0x01,  // 300 dpi, both ways
    };
    expected.resize(64, 0);                               // no 16-colour map
    expected.insert(expected.end(), {0, 1, 2, 0, 1, 0});  // reserved, 1 plane, 2 bytes, PaletteInfo
    expected.resize(kHeaderSize, 0);
    expected.insert(expected.end(), {0x05, 0x00});  // the pixel and the fill, both literal
    Bytes trailer = trailerOf({0x123456});
    expected.insert(expected.end(), trailer.begin(), trailer.end());
    ASSERT_EQ(expected.size(), 899u);
    EXPECT_EQ(written(picture), expected);
}

TEST_F(WriteToFile, RunCoderCodesIndexedRowsExactly) {
    struct Case {
        const char* what;
        TestPicture picture;
        Bytes scanlines;
    };
    auto row = [](std::vector<uint8_t> values) {
        TestPicture picture = pcxtest::indexedPicture(static_cast<int32_t>(values.size()), 1, 0);
        picture.pixels = values;
        return picture;
    };
    std::vector<Case> cases = {
        {"a zero pixel and the fill make one run", pcxtest::indexedPicture(1, 1, 0), {0xC2, 0x00}},
        {"a lone byte of 0xC8 takes a run header",
         pcxtest::indexedPicture(1, 1, 0xC8),
         {0xC1, 0xC8, 0x00}},
        {"a lone 0xC0 takes one too", pcxtest::indexedPicture(1, 1, 0xC0), {0xC1, 0xC0, 0x00}},
        {"0xBF is still a literal", pcxtest::indexedPicture(1, 1, 0xBF), {0xBF, 0x00}},
        {"64 equal bytes: a run of 63 and a literal",
         pcxtest::indexedPicture(64, 1, 7),
         {0xFF, 0x07, 0x07}},
        {"63 zeros and the fill: the fill starts a new run",
         pcxtest::indexedPicture(63, 1, 0),
         {0xFF, 0x00, 0x00}},
        {"65 high bytes: 63, 2 and the fill",
         pcxtest::indexedPicture(65, 1, 0xC5),
         {0xFF, 0xC5, 0xC2, 0xC5, 0x00}},
        {"127 equal bytes: 63, 63, then one joined by the fill",
         pcxtest::indexedPicture(127, 1, 0),
         {0xFF, 0x00, 0xFF, 0x00, 0xC2, 0x00}},
        {"runs never join across scanlines",
         pcxtest::indexedPicture(2, 2, 9),
         {0xC2, 0x09, 0xC2, 0x09}},
        {"two equal low bytes are a run", row({1, 1, 2, 3}), {0xC2, 0x01, 0x02, 0x03}},
        {"mixed",
         row({0xC0, 0xC0, 0xFF, 0x3F, 0x3F, 0x3F, 0x40}),
         {0xC2, 0xC0, 0xC1, 0xFF, 0xC3, 0x3F, 0x40, 0x00}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(scanlinesOf(written(c.picture), true), c.scanlines);
    }
}

TEST_F(WriteToFile, ColourRowsAreRedGreenBluePlaneLines) {
    TestPicture red = pcxtest::colourPicture(3, 1, 0x00FF0000);
    Bytes file = written(red);
    ASSERT_EQ(file.size(), 135u);
    EXPECT_EQ(file[65], 3);  // planes
    EXPECT_EQ(file[66], 4);  // bytes per line: 3 rounded up
    EXPECT_EQ(file[67], 0);
    EXPECT_EQ(scanlinesOf(file, false), (Bytes{0xC3, 0xFF, 0x00, 0xC4, 0x00, 0xC4, 0x00}));

    // The top byte is ignored; each plane takes its own byte of every pixel.
    TestPicture two = pcxtest::colourPicture(2, 1, 0);
    two.setColour(0, 0, 0xAA112233);
    two.setColour(1, 0, 0x00445566);
    EXPECT_EQ(scanlinesOf(written(two), false), (Bytes{0x11, 0x44, 0x22, 0x55, 0x33, 0x66}));
}

TEST_F(WriteToFile, HeaderOfA640By480ColourPicture) {
    TestPicture picture = pcxtest::colourPicture(640, 480, 0x00102030);
    Bytes file = written(picture);
    ASSERT_GE(file.size(), kHeaderSize);
    Bytes expected(kHeaderSize, 0);
    expected[0] = 0x0A;
    expected[1] = 0x05;
    expected[2] = 0x01;
    expected[3] = 0x08;
    expected[8] = 0x7F;  // WindowXMax 639
    expected[9] = 0x02;
    expected[10] = 0xDF;  // WindowYMax 479
    expected[11] = 0x01;
    expected[12] = expected[14] = 0x2C;  // 300 dpi
    expected[13] = expected[15] = 0x01;
    expected[65] = 3;
    expected[66] = 0x80;  // BytesPerLine 640
    expected[67] = 0x02;
    expected[68] = 0x01;  // PaletteInfo 1
    EXPECT_EQ(slice(file, 0, kHeaderSize), expected);
}

TEST_F(WriteToFile, RowsAreFoundThroughStrideAlone) {
    // Width 5 in rows of 8: the three bytes after each row are not pixels.
    TestPicture picture = pcxtest::indexedPicture(5, 2, 0xEE, 8);
    const uint8_t rows[2][5] = {{1, 2, 3, 4, 5}, {6, 6, 6, 7, 8}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 5; ++x) picture.index(x, y) = rows[y][x];
    Bytes file = written(picture);
    ASSERT_GT(file.size(), kHeaderSize);
    EXPECT_EQ(file[66], 6);  // BytesPerLine
    EXPECT_EQ(scanlinesOf(file, true), (Bytes{1, 2, 3, 4, 5, 0, /* row 2 */ 0xC3, 6, 7, 8, 0}));

    // A bottom-up buffer (negative stride, pixels at the top row) gives the
    // same file as the same picture stored top-down.
    for (int32_t kind : {ImageKindIndexed, ImageKindRgb32}) {
        SCOPED_TRACE(kind);
        TestPicture topDown = kind == ImageKindIndexed ? pcxtest::indexedPicture(7, 5, 0)
                                                       : pcxtest::colourPicture(7, 5, 0);
        pcxtest::fillMixed(topDown, 99);
        TestPicture bottomUp = topDown;
        const size_t rowBytes = static_cast<size_t>(topDown.stride);
        for (int32_t y = 0; y < 5; ++y)
            std::copy_n(topDown.pixels.begin() + static_cast<std::ptrdiff_t>(y * rowBytes),
                        rowBytes,
                        bottomUp.pixels.begin() + static_cast<std::ptrdiff_t>((4 - y) * rowBytes));
        PluginImage image = bottomUp.record();
        image.pixels += 4 * rowBytes;
        image.stride = -image.stride;
        const std::string path = dir.file("bottom-up.pcx");
        ASSERT_EQ(write(path.c_str(), &image), 1);
        EXPECT_EQ(pcxtest::readFile(path), written(topDown));
    }
}

TEST_F(WriteToFile, TrailerIsAlways769BytesOfTheFirst256Entries) {
    // No palette at all.
    TestPicture none = pcxtest::indexedPicture(2, 1, 3);
    Bytes file = written(none);
    ASSERT_EQ(file.size(), kHeaderSize + 2 + kTrailerSize);
    EXPECT_EQ(slice(file, file.size() - kTrailerSize, file.size()), trailerOf({}));

    // The top byte of an entry is ignored; pixels beyond the palette are
    // written as they are.
    TestPicture short_ = pcxtest::indexedPicture(2, 1, 200);
    short_.palette = {0x12345678, 0x00ABCDEF};
    file = written(short_);
    EXPECT_EQ(scanlinesOf(file, true), (Bytes{0xC2, 200}));
    EXPECT_EQ(slice(file, file.size() - kTrailerSize, file.size()),
              trailerOf({0x345678, 0xABCDEF}));

    // More than 256 entries: the first 256.
    TestPicture many = pcxtest::indexedPicture(2, 1, 1);
    std::vector<uint32_t> first256;
    for (uint32_t i = 0; i < 300; ++i) many.palette.push_back(0x010203 * (i % 85) + i / 85);
    first256.assign(many.palette.begin(), many.palette.begin() + 256);
    file = written(many);
    ASSERT_EQ(file.size(), kHeaderSize + 2 + kTrailerSize);
    EXPECT_EQ(slice(file, file.size() - kTrailerSize, file.size()), trailerOf(first256));

    // A negative count: no entry, whether or not there is a palette.
    for (bool withPalette : {false, true}) {
        TestPicture negative = pcxtest::indexedPicture(2, 1, 1);
        if (withPalette) negative.palette = {0xFFFFFF, 0xFFFFFF};
        PluginImage image = negative.record();
        image.paletteCount = -1;
        const std::string path = dir.file("negative.pcx");
        ASSERT_EQ(write(path.c_str(), &image), 1);
        Bytes bytes = pcxtest::readFile(path);
        ASSERT_EQ(bytes.size(), kHeaderSize + 2 + kTrailerSize);
        EXPECT_EQ(slice(bytes, bytes.size() - kTrailerSize, bytes.size()), trailerOf({}));
    }
}

TEST_F(WriteToFile, LargestDescribablePicturesAreWritten) {
    TestPicture wide = pcxtest::indexedPicture(65534, 1, 0x41);
    Bytes file = written(wide);
    ASSERT_GT(file.size(), kHeaderSize);
    EXPECT_EQ(file[8], 0xFD);  // WindowXMax 65533
    EXPECT_EQ(file[9], 0xFF);
    EXPECT_EQ(file[66], 0xFE);  // BytesPerLine 65534
    EXPECT_EQ(file[67], 0xFF);
    pcxtest::DecodedPcx decoded = pcxtest::decodeWrittenPcx(file);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.width, 65534);

    TestPicture tall = pcxtest::colourPicture(1, 65536, 0x00C0FFEE);
    ProgressLog::reset();
    file = written(tall);
    ASSERT_GT(file.size(), kHeaderSize);
    EXPECT_EQ(file[10], 0xFF);  // WindowYMax 65535
    EXPECT_EQ(file[11], 0xFF);
    decoded = pcxtest::decodeWrittenPcx(file);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.height, 65536);
    EXPECT_EQ(decoded.shownColour(0, 65535), 0xC0FFEEu);
    EXPECT_EQ(ProgressLog::rows.size(), 65536u);
}

TEST_F(WriteToFile, LargeMixedPicturesDecodeToTheirPixels) {
    // Big enough that the coded data passes the writer's buffer several
    // times, with odd and even widths.
    for (int32_t kind : {ImageKindIndexed, ImageKindRgb32}) {
        for (int32_t width : {601, 1024}) {
            SCOPED_TRACE(std::to_string(kind) + " " + std::to_string(width));
            TestPicture picture = kind == ImageKindIndexed ? pcxtest::indexedPicture(width, 400, 0)
                                                           : pcxtest::colourPicture(width, 400, 0);
            pcxtest::fillMixed(picture, static_cast<uint32_t>(width * 7 + kind));
            Bytes file = written(picture);
            pcxtest::DecodedPcx decoded = pcxtest::decodeWrittenPcx(file);
            ASSERT_TRUE(decoded.ok) << decoded.error;
            ASSERT_EQ(decoded.width, width);
            ASSERT_EQ(decoded.height, 400);
            int mismatches = 0;
            for (int32_t y = 0; y < 400; ++y) {
                for (int32_t x = 0; x < width; ++x)
                    mismatches += decoded.shownColour(x, y) != picture.shownColour(x, y);
                if (width & 1)
                    for (int32_t plane = 0; plane < decoded.planes; ++plane)
                        mismatches += decoded.sample(width, y, plane) != 0;
            }
            EXPECT_EQ(mismatches, 0);
        }
    }
}

TEST_F(WriteToFile, AnExistingFileIsReplaced) {
    const std::string path = dir.file("old.pcx");
    ASSERT_TRUE(pcxtest::writeFile(path, Bytes(5000, 0x55)));
    TestPicture picture = pcxtest::indexedPicture(1, 1, 5);
    PluginImage image = picture.record();
    ASSERT_EQ(write(path.c_str(), &image), 1);
    EXPECT_EQ(pcxtest::readFile(path).size(), 899u);
}

TEST_F(WriteToFile, ProgressAnnouncesEachScanlineOnceInOrder) {
    for (int32_t kind : {ImageKindIndexed, ImageKindRgb32}) {
        SCOPED_TRACE(kind);
        TestPicture picture = kind == ImageKindIndexed ? pcxtest::indexedPicture(4, 3, 1)
                                                       : pcxtest::colourPicture(4, 3, 1);
        ProgressLog::reset();
        written(picture);
        EXPECT_EQ(ProgressLog::rows, (std::vector<int32_t>{1, 2, 3}));
    }
}

TEST_F(WriteToFile, StopKeepsTheWholeScanlinesBeforeItAndTheTrailer) {
    // Each scanline of this picture codes differently, so the kept ones can
    // be told apart.
    for (int32_t kind : {ImageKindIndexed, ImageKindRgb32}) {
        TestPicture picture = kind == ImageKindIndexed ? pcxtest::indexedPicture(3, 3, 0)
                                                       : pcxtest::colourPicture(3, 3, 0);
        pcxtest::fillMixed(picture, 5);
        ProgressLog::reset();
        Bytes whole = written(picture);
        pcxtest::DecodedPcx decoded = pcxtest::decodeWrittenPcx(whole);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        const bool indexed = kind == ImageKindIndexed;
        const Bytes allLines = scanlinesOf(whole, indexed);

        for (int32_t stop : {1, 3}) {
            SCOPED_TRACE(std::to_string(kind) + " stop at " + std::to_string(stop));
            ProgressLog::reset(stop);
            Bytes file = written(picture);
            EXPECT_EQ(ProgressLog::rows.size(), static_cast<size_t>(stop));
            EXPECT_EQ(slice(file, 0, kHeaderSize), slice(whole, 0, kHeaderSize));
            if (indexed) {
                ASSERT_GE(file.size(), kHeaderSize + kTrailerSize);
                EXPECT_EQ(slice(file, file.size() - kTrailerSize, file.size()),
                          slice(whole, whole.size() - kTrailerSize, whole.size()));
            }
            // The kept scanlines are a prefix of the whole file's, ending on
            // a scanline boundary: every line a reader finds is complete.
            Bytes kept = scanlinesOf(file, indexed);
            ASSERT_LE(kept.size(), allLines.size());
            EXPECT_EQ(kept, slice(allLines, 0, kept.size()));
            if (stop == 1) {
                EXPECT_TRUE(kept.empty());
            } else {
                Bytes header = slice(whole, 0, kHeaderSize);
                header[10] = static_cast<uint8_t>(stop - 2);  // pretend the picture was shorter
                Bytes asShort = header;
                asShort.insert(asShort.end(), kept.begin(), kept.end());
                if (indexed) {
                    Bytes trailer = slice(whole, whole.size() - kTrailerSize, whole.size());
                    asShort.insert(asShort.end(), trailer.begin(), trailer.end());
                }
                pcxtest::DecodedPcx two = pcxtest::decodeWrittenPcx(asShort);
                ASSERT_TRUE(two.ok) << two.error;
                EXPECT_EQ(two.lines, slice(decoded.lines, 0, two.lines.size()));
            }
        }
    }
}

TEST_F(WriteToFile, NullProgressWritesEverything) {
    TestPicture picture = pcxtest::colourPicture(9, 4, 0);
    pcxtest::fillMixed(picture, 11);
    Bytes reported = written(picture);
    EXPECT_EQ(written(picture, nullptr), reported);
}

// Pictures the header cannot describe, or whose record cannot be read
// safely, are refused before the file is opened: an existing file keeps its
// bytes, a missing one is not made, and progress is never called.
TEST_F(WriteToFile, RefusedPicturesLeaveTheFileUntouched) {
    struct Case {
        const char* what;
        void (*spoil)(PluginImage&, int32_t rowBytes);
    };
    const Case cases[] = {
        {"kind 3", [](PluginImage& i, int32_t) { i.kind = 3; }},
        {"kind 0", [](PluginImage& i, int32_t) { i.kind = 0; }},
        {"width 0", [](PluginImage& i, int32_t) { i.width = 0; }},
        {"negative width", [](PluginImage& i, int32_t) { i.width = -4; }},
        {"width 65535", [](PluginImage& i, int32_t) { i.width = 65535; }},
        {"height 0", [](PluginImage& i, int32_t) { i.height = 0; }},
        {"negative height", [](PluginImage& i, int32_t) { i.height = -1; }},
        {"height 65537", [](PluginImage& i, int32_t) { i.height = 65537; }},
        {"null pixels", [](PluginImage& i, int32_t) { i.pixels = nullptr; }},
        {"stride 0", [](PluginImage& i, int32_t) { i.stride = 0; }},
        {"stride short of a row", [](PluginImage& i, int32_t row) { i.stride = row - 1; }},
        {"negative stride short of a row", [](PluginImage& i, int32_t row) { i.stride = 1 - row; }},
    };
    const Bytes original = {'k', 'e', 'e', 'p', 0, 0xFF};
    const std::string existing = dir.file("existing.pcx");
    const std::string missing = dir.file("missing.pcx");
    auto expectUntouched = [&](const PluginImage* image, const std::string& what) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(pcxtest::writeFile(existing, original));
        std::error_code ignored;
        std::filesystem::remove(missing, ignored);
        ProgressLog::reset();
        EXPECT_EQ(write(existing.c_str(), image), 0);
        EXPECT_EQ(pcxtest::readFile(existing), original);
        EXPECT_EQ(write(missing.c_str(), image), 0);
        EXPECT_FALSE(pcxtest::fileExists(missing));
        EXPECT_TRUE(ProgressLog::rows.empty());
    };

    for (int32_t kind : {ImageKindIndexed, ImageKindRgb32}) {
        TestPicture picture = kind == ImageKindIndexed ? pcxtest::indexedPicture(6, 3, 1)
                                                       : pcxtest::colourPicture(6, 3, 1);
        picture.palette = {1, 2, 3};
        for (const Case& c : cases) {
            PluginImage image = picture.record();
            c.spoil(image, picture.stride);
            expectUntouched(&image, std::string(c.what) + " (kind " + std::to_string(kind) + ")");
        }
    }
    expectUntouched(nullptr, "null image");

    TestPicture indexed = pcxtest::indexedPicture(2, 2, 1);
    PluginImage noPalette = indexed.record();
    noPalette.paletteCount = 1;
    expectUntouched(&noPalette, "null palette with entries");

    // A colour picture does not read its palette fields at all.
    TestPicture colour = pcxtest::colourPicture(2, 2, 1);
    PluginImage colourRecord = colour.record();
    colourRecord.paletteCount = 77;
    EXPECT_EQ(write(dir.file("colour.pcx").c_str(), &colourRecord), 1);
}

TEST_F(WriteToFile, NamesThatDoNotOpenYieldZeroWithoutProgress) {
    TestPicture picture = pcxtest::indexedPicture(3, 2, 1);
    PluginImage image = picture.record();
    const std::string inMissingFolder = dir.file("no-such-folder") + "/out.pcx";
    EXPECT_EQ(write(inMissingFolder.c_str(), &image), 0);
    EXPECT_EQ(write("", &image), 0);
    EXPECT_EQ(write(nullptr, &image), 0);
    EXPECT_TRUE(ProgressLog::rows.empty());
    EXPECT_FALSE(pcxtest::fileExists(inMissingFolder));
}

#if defined(_WIN32)
// Wine maps the Unix device through its Z: drive.
const char kFullDevice[] = "Z:/dev/full";
#else
const char kFullDevice[] = "/dev/full";
#endif

TEST_F(WriteToFile, AWriteErrorYieldsZero) {
    // The device opens and takes no byte: the failure shows at the final
    // flush for a small file and in the middle for a large one, whose
    // remaining scanlines are then not even announced.
    TestPicture small = pcxtest::indexedPicture(3, 2, 1);
    PluginImage image = small.record();
    EXPECT_EQ(write(kFullDevice, &image), 0);
    EXPECT_EQ(ProgressLog::rows, (std::vector<int32_t>{1, 2}));

    // Noise codes to more than a byte a sample: several buffers' worth.
    TestPicture large = pcxtest::colourPicture(1000, 200, 0);
    pcxtest::Random random(3);
    for (uint8_t& byte : large.pixels) byte = static_cast<uint8_t>(random.next());
    image = large.record();
    ProgressLog::reset();
    EXPECT_EQ(write(kFullDevice, &image), 0);
    EXPECT_FALSE(ProgressLog::rows.empty());
    EXPECT_LT(ProgressLog::rows.size(), 200u);
}

TEST_F(WriteToFile, AShiftJisNameNamesTheFile) {
    // "ソフト.pcx": the second byte of its first character is 0x5C, the
    // backslash, which a byte-wise reading would take for a folder.
    const std::string name = "\x83\x5C\x83t\x83g.pcx";
    TestPicture picture = pcxtest::indexedPicture(1, 1, 5);
    PluginImage image = picture.record();
    const std::string path = dir.path() + "/" + name;
    ASSERT_EQ(write(path.c_str(), &image), 1);
#if defined(_WIN32)
    const std::filesystem::path expected =
        std::filesystem::path(dir.path()) / std::filesystem::path(L"\u30BD\u30D5\u30C8.pcx");
#else
    const std::filesystem::path expected = path;
#endif
    std::error_code error;
    EXPECT_EQ(std::filesystem::file_size(expected, error), 899u) << error.message();
}

}  // namespace
