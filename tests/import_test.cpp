// The five import exports reached as a host reaches them: the module loaded by
// path, the functions found by name, files given by name, images handed over
// and given back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "hostside/ShiftJis.h"
#include "support/HostTexts.h"
#include "support/PcxBuilder.h"
#include "support/PluginTest.h"
#include "support/Reference.h"
#include "support/TestEnv.h"

namespace {

using pcxtest::PcxFile;

std::vector<std::string>& texts = pcxtest::receivedTexts;
using pcxtest::kNotAnImage;
using pcxtest::recordText;

class Import : public pcxtest::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        if (HasFatalFailure()) return;
        texts.clear();
    }

    std::string write(const PcxFile& file) { return write(file.bytes()); }
    std::string write(const std::vector<uint8_t>& bytes) {
        const std::string path = dir.file("case" + std::to_string(++files) + ".pcx");
        EXPECT_TRUE(pcxtest::writeFile(path, bytes));
        return path;
    }
    // IMPORT_CreateImage on the file; out starts as a stale non-null value so
    // that a failure has to store null.
    PluginImage* create(const std::string& path) {
        PluginImage stale{};
        PluginImage* image = &stale;
        plugin().IMPORT_CreateImage(path.c_str(), &image);
        EXPECT_NE(image, &stale);
        return image == &stale ? nullptr : image;
    }
    PluginImage* preview(const std::string& path, int32_t boxWidth, int32_t boxHeight) {
        PluginImage stale{};
        PluginImage* image = &stale;
        plugin().IMPORT_CreatePreviewImage(path.c_str(), boxWidth, boxHeight, &image);
        EXPECT_NE(image, &stale);
        return image == &stale ? nullptr : image;
    }

    pcxtest::TempDir dir;
    int files = 0;
};

// Two planes of 4 bits: a sound header of a layout that no decode accepts
// (no two common readers agree on what it means).
PcxFile refusedPlanes() {
    PcxFile file = pcxtest::planesFile(4, 2, 2, 1);
    file.codes = {0x0F, 0xF0};
    return file;
}

TEST_F(Import, AShiftJisNameNamesTheFile) {
    // "ソフト.pcx": the second byte of its first character is 0x5C, the
    // backslash, which a byte-wise reading would take for a folder.
    const std::string name = "\x83\x5C\x83t\x83g.pcx";
#if defined(_WIN32)
    const std::filesystem::path onDisk =
        std::filesystem::path(dir.path()) / std::filesystem::path(L"\u30BD\u30D5\u30C8.pcx");
#else
    const std::filesystem::path onDisk = dir.file(name);
#endif
    {
        std::ofstream out(onDisk, std::ios::binary);
        const std::vector<uint8_t> bytes = pcxtest::indexedFile(1, 8, 1).bytes();
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    const std::string path = dir.path() + "/" + name;
    EXPECT_EQ(plugin().IMPORT_ValidFileCheck(path.c_str()), 1);
    PluginImage* image = create(path);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, 8);
    plugin().IMPORT_FreeImage(image);
}

TEST_F(Import, ValidFileCheckReadsOnlyTheHeader) {
    PcxFile notCoded = pcxtest::indexedFile(8, 2, 2);
    notCoded.encoding = 2;
    PcxFile otherMaker = pcxtest::indexedFile(8, 2, 2);
    otherMaker.manufacturer = 11;
    PcxFile empty = pcxtest::indexedFile(8, 2, 2);
    empty.windowXMin = 3;
    std::vector<uint8_t> shortHeader = pcxtest::indexedFile(8, 2, 2).bytes();
    shortHeader.resize(127);

    PcxFile stored = pcxtest::indexedFile(8, 2, 2);
    stored.encoding = 0;

    const auto valid = plugin().IMPORT_ValidFileCheck;
    EXPECT_EQ(valid(write(pcxtest::indexedFile(8, 2, 2)).c_str()), 1);
    EXPECT_EQ(valid(write(stored).c_str()), 1);
    EXPECT_EQ(valid(write(refusedPlanes()).c_str()), 1);
    EXPECT_EQ(valid(write(empty).c_str()), 1);
    EXPECT_EQ(valid(write(notCoded).c_str()), 0);
    EXPECT_EQ(valid(write(otherMaker).c_str()), 0);
    EXPECT_EQ(valid(write(shortHeader).c_str()), 0);
    EXPECT_EQ(valid(dir.file("missing.pcx").c_str()), 0);
    EXPECT_EQ(valid(""), 0);
    EXPECT_EQ(valid(nullptr), 0);
}

TEST_F(Import, ImageInformationPassesTheReportOnce) {
    PcxFile file = refusedPlanes();
    file.windowXMin = 7;
    file.windowXMax = 14;
    file.hDpi = 300;
    file.vDpi = 301;
    file.bytesPerLine = 1;
    plugin().IMPORT_ImageInformation(write(file).c_str(), recordText);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0],
              "* PCX FILE (decoder records) *\n"
              "\n"
              "Manufacturer(ID) : 10\n"
              "Version : 5\n"
              "Encoding : 1\n"
              "BItsPerPixel : 4\n"
              "WindowXMin : 7\n"
              "WindowYMIn : 0\n"
              "WindowXMax : 14\n"
              "WindowYMax : 0\n"
              "HDpi : 300\n"
              "VDpi : 301\n"
              "NPlanes : 2\n"
              "BytesPerLine : 1\n"
              "PaletteInfoValue : 1\n"
              "HScreenSize : 0\n"
              "VScreenSize : 0\n");
}

TEST_F(Import, ImageInformationPassesTheFixedMessageForWhatItCannotRead) {
    PcxFile notCoded = pcxtest::indexedFile(8, 2, 2);
    notCoded.encoding = 2;
    std::vector<uint8_t> shortHeader = pcxtest::indexedFile(8, 2, 2).bytes();
    shortHeader.resize(100);
    const std::string names[] = {dir.file("missing.pcx"), write(notCoded), write(shortHeader), ""};
    for (const std::string& name : names) {
        texts.clear();
        plugin().IMPORT_ImageInformation(name.c_str(), recordText);
        ASSERT_EQ(texts.size(), 1u) << name;
        EXPECT_EQ(texts[0], kNotAnImage) << name;
    }
    texts.clear();
    plugin().IMPORT_ImageInformation(nullptr, recordText);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], kNotAnImage);

    // 36 bytes of Shift-JIS for the message the host shows.
    EXPECT_EQ(std::strlen(kNotAnImage), 36u);
    bool ok = false;
    EXPECT_EQ(
        hostside::sjisToUtf8(kNotAnImage, &ok),
        "\xE3\x82\xA4\xE3\x83\xA1\xE3\x83\xBC\xE3\x82\xB8\xE3\x83\x95\xE3\x82\xA1\xE3\x82"
        "\xA4\xE3\x83\xAB\xE3\x81\xA7\xE3\x81\xAF\xE3\x80\x81\xE3\x81\xAA\xE3\x81\x84\xE3"
        "\x82\x88\xE3\x81\x86\xE3\x81\xA7\xE3\x81\x99\xE3\x80\x82");  // イメージファイルでは、ないようです。
    EXPECT_TRUE(ok);

    // Without a callback there is nobody to tell.
    plugin().IMPORT_ImageInformation(dir.file("missing.pcx").c_str(), nullptr);
}

TEST_F(Import, CreateImageStoresNullForWhatItCannotDecode) {
    PcxFile narrow = pcxtest::indexedFile(8, 10, 2);
    narrow.bytesPerLine = 9;
    PcxFile empty = pcxtest::indexedFile(8, 2, 2);
    empty.windowYMin = 2;
    // Layouts still refused: several planes of 2 bits, five planes of 1 bit,
    // two of 8 bits.
    const PcxFile planesOf2 = pcxtest::planesFile(2, 4, 8, 2);
    const PcxFile fivePlanes = pcxtest::planesFile(1, 5, 8, 2);
    const PcxFile twoPlanesOf8 = pcxtest::planesFile(8, 2, 8, 2);
    const std::string names[] = {
        write(refusedPlanes()), write(planesOf2), write(fivePlanes),       write(twoPlanesOf8),
        write(narrow),          write(empty),     dir.file("missing.pcx"), ""};
    for (const std::string& name : names) {
        PluginImage* image = create(name);
        EXPECT_EQ(image, nullptr) << name;
        // A host gives back what it got; null is ignored.
        plugin().IMPORT_FreeImage(image);
        EXPECT_EQ(preview(name, 64, 64), nullptr) << name;
    }
    PluginImage stale{};
    PluginImage* image = &stale;
    plugin().IMPORT_CreateImage(nullptr, &image);
    EXPECT_EQ(image, nullptr);
    image = &stale;
    plugin().IMPORT_CreatePreviewImage(nullptr, 64, 64, &image);
    EXPECT_EQ(image, nullptr);
    // Nowhere to store the result: nothing happens.
    plugin().IMPORT_CreateImage(write(pcxtest::indexedFile(1, 8, 1)).c_str(), nullptr);
    plugin().IMPORT_CreatePreviewImage(write(pcxtest::indexedFile(1, 8, 1)).c_str(), 1, 1, nullptr);
}

// Each variant's record: kind, sizes, stride, the colour table handed over
// with its count (read before the decoder forgot it), and the pixels.
TEST_F(Import, CreateImageHandsOverEveryVariant) {
    PcxFile oneBit = pcxtest::indexedFile(1, 9, 2);  // a colormap the decode ignores
    oneBit.colormapEntry(0, 0xFF0000).colormapEntry(1, 0x0000FF);
    oneBit.codes = {0xC1, 0xAA, 0x80, 0x55, 0x00};
    PcxFile twoBits = pcxtest::indexedFile(2, 5, 1);
    PcxFile fourBits = pcxtest::indexedFile(4, 5, 1);
    for (PcxFile* file : {&twoBits, &fourBits}) {
        for (int i = 0; i < 16; ++i)
            file->colormapEntry(i, 0x100000u * static_cast<uint32_t>(i) + 0x0A0B0Cu);
        file->codes = pcxref::encodeRunLength(
            pcxtest::packLine({3, 2, 1, 0, 3}, file->bitsPerPixel, file->bytesPerLine));
    }
    std::vector<uint32_t> colours(256);
    for (uint32_t i = 0; i < 256; ++i) colours[i] = 0xFFFFFF - i * 0x010101;
    PcxFile withTable = pcxtest::indexedFile(8, 3, 2);
    withTable.codes = {0x00, 0xC1, 0xC8, 0xC4, 0x7F};
    withTable.trailer256(colours);
    PcxFile withoutTable = withTable;
    withoutTable.trailer.clear();
    PcxFile rgb = pcxtest::rgbFile(3, 1, 1);
    rgb.codes = {0x10, 0x11, 0xC1, 0xF2, 0x00, 0x20, 0x21, 0x22, 0x00, 0x30, 0x31, 0x32, 0x00};
    // The version decides nothing.
    PcxFile tableVersion3 = withTable;
    tableVersion3.version = 3;
    PcxFile rgbVersion4 = rgb;
    rgbVersion4.version = 4;
    // A fourth plane of 8 bits (alpha) is dropped.
    PcxFile rgba = pcxtest::planesFile(8, 4, 3, 1, 1);
    rgba.codes = rgb.codes;
    rgba.codes.insert(rgba.codes.end(), {0xC4, 0x80});

    // Planes of 1 bit: index bit p from plane p, colours from the colormap.
    // Runs carry on from one plane line into the next (fill bytes of 0).
    PcxFile planes2 = pcxtest::planesFile(1, 2, 5, 1, 1);
    PcxFile planes3 = pcxtest::planesFile(1, 3, 5, 1, 1);
    PcxFile planes4 = pcxtest::planesFile(1, 4, 13, 2, 1);
    const std::vector<uint8_t> values2 = {3, 2, 1, 0, 3}, values3 = {7, 6, 1, 0, 5},
                               values4 = {0,  1,  2,  3,  4, 5, 6, 7, 8, 9, 10, 11, 15,
                                          15, 14, 13, 12, 0, 0, 0, 0, 9, 9, 9,  9,  3};
    planes2.codes = pcxref::encodeRunLength(pcxtest::bitPlanesScanline(values2, 2, 2));
    planes3.codes = pcxref::encodeRunLength(pcxtest::bitPlanesScanline(values3, 3, 2));
    std::vector<uint8_t> raw4;
    for (int row = 0; row < 2; ++row) {
        const std::vector<uint8_t> scanline = pcxtest::bitPlanesScanline(
            std::vector<uint8_t>(values4.begin() + 13 * row, values4.begin() + 13 * (row + 1)), 4,
            3);
        raw4.insert(raw4.end(), scanline.begin(), scanline.end());
    }
    planes4.codes = pcxref::encodeRunLength(raw4);
    // Uncompressed: the same pixels, the scanlines' bytes as they are.
    PcxFile planes4Stored = planes4;
    planes4Stored.encoding = 0;
    planes4Stored.codes = raw4;
    PcxFile rgbStored = rgb;
    rgbStored.encoding = 0;
    rgbStored.codes = {0x10, 0x11, 0xF2, 0x00, 0x20, 0x21, 0x22, 0x00, 0x30, 0x31, 0x32, 0x00};
    for (PcxFile* file : {&planes2, &planes3, &planes4, &planes4Stored})
        for (int i = 0; i < 16; ++i)
            file->colormapEntry(i, 0x100000u * static_cast<uint32_t>(i) + 0x0A0B0Cu);

    const std::vector<uint32_t> colormap16 = [] {
        std::vector<uint32_t> entries;
        for (uint32_t i = 0; i < 16; ++i) entries.push_back(0x100000u * i + 0x0A0B0Cu);
        return entries;
    }();
    // Several files decode to the same pixels.
    const std::vector<uint8_t> tablePixels = {0x00, 0xC8, 0x7F, 0x7F, 0x7F, 0x7F};
    const std::vector<uint8_t> rgbPixels = {0x30, 0x20, 0x10, 0,    0x31, 0x21,
                                            0x11, 0,    0x32, 0x22, 0xF2, 0};
    const struct {
        const char* what;
        const PcxFile* file;
        int32_t kind, width, height, stride, paletteCount;
        std::vector<uint32_t> palette;  // the entries the record must hold
        std::vector<uint8_t> pixels;
    } cases[] = {
        {"1 bit",
         &oneBit,
         ImageKindIndexed,
         9,
         2,
         9,
         2,
         {0x000000, 0xFFFFFF},
         {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0}},
        {"2 bits", &twoBits, ImageKindIndexed, 5, 1, 5, 4, colormap16, {3, 2, 1, 0, 3}},
        {"4 bits", &fourBits, ImageKindIndexed, 5, 1, 5, 16, colormap16, {3, 2, 1, 0, 3}},
        {"8 bits with the table", &withTable, ImageKindIndexed, 3, 2, 3, 256, colours, tablePixels},
        {"8 bits without it", &withoutTable, ImageKindIndexed, 3, 2, 3, 0, {}, tablePixels},
        {"24 bits", &rgb, ImageKindRgb32, 3, 1, 12, 0, {}, rgbPixels},
        {"8 bits, version 3", &tableVersion3, ImageKindIndexed, 3, 2, 3, 256, colours, tablePixels},
        {"24 bits, version 4", &rgbVersion4, ImageKindRgb32, 3, 1, 12, 0, {}, rgbPixels},
        {"24 bits, uncompressed", &rgbStored, ImageKindRgb32, 3, 1, 12, 0, {}, rgbPixels},
        {"four planes of 8 bits", &rgba, ImageKindRgb32, 3, 1, 12, 0, {}, rgbPixels},
        {"two planes of 1 bit", &planes2, ImageKindIndexed, 5, 1, 5, 4, colormap16, values2},
        {"three planes of 1 bit", &planes3, ImageKindIndexed, 5, 1, 5, 8, colormap16, values3},
        {"four planes of 1 bit", &planes4, ImageKindIndexed, 13, 2, 13, 16, colormap16, values4},
        {"four planes of 1 bit, uncompressed", &planes4Stored, ImageKindIndexed, 13, 2, 13, 16,
         colormap16, values4},
    };
    for (const auto& c : cases) {
        PluginImage* image = create(write(*c.file));
        ASSERT_NE(image, nullptr) << c.what;
        EXPECT_EQ(image->kind, c.kind) << c.what;
        EXPECT_EQ(image->width, c.width) << c.what;
        EXPECT_EQ(image->height, c.height) << c.what;
        EXPECT_EQ(image->stride, c.stride) << c.what;
        EXPECT_EQ(image->paletteCount, c.paletteCount) << c.what;
        if (c.palette.empty()) {
            EXPECT_EQ(image->palette, nullptr) << c.what;
        } else {
            ASSERT_NE(image->palette, nullptr) << c.what;
            EXPECT_EQ(std::vector<uint32_t>(image->palette, image->palette + c.palette.size()),
                      c.palette)
                << c.what;
        }
        EXPECT_EQ(std::vector<uint8_t>(image->pixels, image->pixels + c.pixels.size()), c.pixels)
            << c.what;
        // Released as the host gives it back, with or without a table.
        plugin().IMPORT_FreeImage(image);
    }
}

// A 640 x 480 picture in the default box comes out 80 x 60: every eighth
// pixel of every eighth row.
TEST_F(Import, PreviewReducesByAPowerOfTwo) {
    PcxFile file = pcxtest::rgbFile(640, 480);
    std::vector<uint8_t> raw;
    for (int y = 0; y < 480; ++y)
        for (int plane = 0; plane < 3; ++plane)
            for (int x = 0; x < 640; ++x)
                raw.push_back(static_cast<uint8_t>(plane == 0 ? x : plane == 1 ? y : x ^ y));
    file.codes = pcxref::encodeRunLength(raw);
    PluginImage* image = preview(write(file), 64, 64);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->kind, ImageKindRgb32);
    EXPECT_EQ(image->width, 80);
    EXPECT_EQ(image->height, 60);
    EXPECT_EQ(image->stride, 320);
    for (int y : {0, 1, 59})
        for (int x : {0, 1, 79}) {
            uint32_t word;
            std::memcpy(&word, image->pixels + y * 320 + x * 4, 4);
            const uint32_t sx = 8u * x, sy = 8u * y;
            EXPECT_EQ(word, (sx & 255) << 16 | (sy & 255) << 8 | ((sx ^ sy) & 255))
                << x << "," << y;
        }
    plugin().IMPORT_FreeImage(image);
}

// A box side below 1 counts as 1: the smallest box there is.
TEST_F(Import, PreviewBoxBelowOneCountsAsOne) {
    PcxFile file = pcxtest::indexedFile(1, 3, 1);
    file.codes = {0xA0};
    const std::string path = write(file);
    const int32_t boxes[][2] = {{1, 1}, {0, 0}, {-1, 1}, {INT32_MIN, INT32_MIN}};
    for (const auto& box : boxes) {
        PluginImage* image = preview(path, box[0], box[1]);
        ASSERT_NE(image, nullptr) << box[0] << "x" << box[1];
        EXPECT_EQ(image->width, 2);
        EXPECT_EQ(image->height, 1);
        EXPECT_EQ(image->pixels[0], 1);
        EXPECT_EQ(image->pixels[1], 1);
        plugin().IMPORT_FreeImage(image);
    }
}

TEST_F(Import, PreviewOfAPictureSmallerThanTheBoxIsThePicture) {
    PcxFile file = pcxtest::indexedFile(4, 3, 2);
    file.codes = {0x12, 0x30, 0x45, 0x60};
    PluginImage* image = preview(write(file), 64, 64);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, 3);
    EXPECT_EQ(image->height, 2);
    EXPECT_EQ(image->paletteCount, 16);
    EXPECT_EQ(std::vector<uint8_t>(image->pixels, image->pixels + 6),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    plugin().IMPORT_FreeImage(image);
}

// A picture whose decoded scanlines would not fit a 32-bit host's address
// space (20000 x 20000 in 24 bits: 1.2 GB of scanlines, in a 38 MB file) is
// previewed in its box all the same: the decoder holds only a window of
// scanlines, and skips those the preview does not sample. So is the
// 16-colour picture of that size in four planes of 1 bit (200 MB of
// scanlines, 400 MB of pixels in full). Each plane line is runs of 63 (and
// one shorter) whose values follow the row, the plane and the run. The files
// are removed with the test's folder.
TEST_F(Import, PreviewOfAPictureTooLargeToHoldDecoded) {
    constexpr int kSide = 20000;
    constexpr int kRun = 63;
    auto value = [](int y, int plane, int x) {
        return static_cast<uint8_t>((y * 7 + plane * 61 + (x / kRun) * 5) % 0xC0);
    };
    for (const int bits : {8, 1}) {
        const int planes = bits == 8 ? 3 : 4;
        PcxFile file = pcxtest::planesFile(bits, planes, kSide, kSide);
        const int lineBytes = file.bytesPerLine;
        file.codes.reserve(size_t{3} * kSide * (kSide / kRun + 1) * 2);
        for (int y = 0; y < kSide; ++y)
            for (int plane = 0; plane < planes; ++plane)
                for (int x = 0; x < lineBytes; x += kRun) {
                    const int count = std::min(kRun, lineBytes - x);
                    file.codes.push_back(static_cast<uint8_t>(0xC0 | count));
                    file.codes.push_back(value(y, plane, x));
                }
        const std::string path = write(file);
        file.codes = {};

        PluginImage* image = preview(path, 64, 64);
        ASSERT_NE(image, nullptr) << planes << " planes";
        constexpr int kScale = 256;  // 20000 / 256 is 78, at least 64; / 512 is not
        EXPECT_EQ(image->kind, bits == 8 ? ImageKindRgb32 : ImageKindIndexed);
        EXPECT_EQ(image->paletteCount, bits == 8 ? 0 : 16);
        ASSERT_EQ(image->width, (kSide + kScale - 1) / kScale);
        ASSERT_EQ(image->height, (kSide + kScale - 1) / kScale);
        for (int r = 0; r < image->height; ++r)
            for (int j = 0; j < image->width; ++j) {
                const int y = r * kScale, x = j * kScale;
                if (bits == 8) {
                    uint32_t pixel;
                    std::memcpy(&pixel, image->pixels + r * image->stride + 4 * j, 4);
                    const uint32_t expected = uint32_t{value(y, 0, x)} << 16 |
                                              uint32_t{value(y, 1, x)} << 8 | value(y, 2, x);
                    ASSERT_EQ(pixel, expected) << "at " << j << "," << r;
                } else {
                    // Column x is bit 7 of byte x / 8 of each plane line.
                    int expected = 0;
                    for (int plane = 0; plane < planes; ++plane)
                        expected |= (value(y, plane, x / 8) >> 7) << plane;
                    ASSERT_EQ(image->pixels[r * image->stride + j], expected)
                        << "at " << j << "," << r;
                }
            }
        plugin().IMPORT_FreeImage(image);
    }
}

}  // namespace
