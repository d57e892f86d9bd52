// Real PCX files written by other programs and by fuzzers (tests/data/
// third-party, see its README.md): each gives, through the exports, exactly
// what the README's table says.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/HostTexts.h"
#include "support/Md5.h"
#include "support/PluginTest.h"
#include "support/TestEnv.h"

#ifndef PCX_TEST_DATA_DIR
#error "PCX_TEST_DATA_DIR names the folder of test inputs"
#endif

namespace {

std::vector<std::string>& texts = pcxtest::receivedTexts;
using pcxtest::kNotAnImage;
using pcxtest::recordText;

std::string dataFile(const std::string& name) {
    return std::string(PCX_TEST_DATA_DIR) + "/third-party/" + name;
}

class ThirdParty : public pcxtest::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        if (HasFatalFailure()) return;
        texts.clear();
    }

    // The header report of name, which must be one text.
    std::string report(const std::string& name) {
        texts.clear();
        plugin().IMPORT_ImageInformation(dataFile(name).c_str(), recordText);
        EXPECT_EQ(texts.size(), 1u) << name;
        return texts.empty() ? std::string() : texts[0];
    }
    PluginImage* create(const std::string& name) {
        PluginImage* image = nullptr;
        plugin().IMPORT_CreateImage(dataFile(name).c_str(), &image);
        return image;
    }
    // The indexed image of name, which the header check accepts, with the
    // given size (rows packed) and a table of count colours; null, with a
    // failure, when any of that is not so.
    PluginImage* createIndexed(const std::string& name, int32_t width, int32_t height,
                               int32_t count) {
        EXPECT_EQ(plugin().IMPORT_ValidFileCheck(dataFile(name).c_str()), 1) << name;
        PluginImage* image = create(name);
        const bool sound = image != nullptr && image->kind == ImageKindIndexed &&
                           image->width == width && image->height == height &&
                           image->stride == width && image->paletteCount == count &&
                           image->palette != nullptr;
        EXPECT_TRUE(sound) << name;
        if (!sound) plugin().IMPORT_FreeImage(image);
        return sound ? image : nullptr;
    }
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(ThirdParty, TheFilesAreThere) {
    for (const char* name :
         {"odd_stride.pcx", "pil184.pcx", "p_4_planes.pcx", "01r_00.pcx", "pcx_overrun.bin",
          "pcx_overrun2.bin", "ossfuzz-4836216264589312.pcx", "README.md", "LICENSE-Pillow.txt"})
        EXPECT_TRUE(pcxtest::fileExists(dataFile(name))) << dataFile(name);
}

TEST_F(ThirdParty, OddStrideDecodesWithItsTable) {
    const std::string text = report("odd_stride.pcx");
    EXPECT_TRUE(contains(text, "Version : 5\nEncoding : 1\nBItsPerPixel : 8\n")) << text;
    EXPECT_TRUE(contains(text, "NPlanes : 1\nBytesPerLine : 371\n")) << text;

    PluginImage* image = createIndexed("odd_stride.pcx", 371, 150, 256);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(pcxtest::md5Hex(image->pixels, 371 * 150), "c82111da3cc9083d069647270f9e27fb");
    std::vector<uint8_t> rgb;
    for (int i = 0; i < 256; ++i)
        for (int shift : {16, 8, 0})
            rgb.push_back(static_cast<uint8_t>(image->palette[i] >> shift));
    EXPECT_EQ(pcxtest::md5Hex(rgb.data(), rgb.size()), "bc4e7548ae89c50af053d21552c420f5");
    plugin().IMPORT_FreeImage(image);
}

TEST_F(ThirdParty, Pil184DecodesBlackAndWhite) {
    const std::string text = report("pil184.pcx");
    EXPECT_TRUE(contains(text,
                         "WindowXMin : 1\nWindowYMIn : 1\nWindowXMax : 447\n"
                         "WindowYMax : 144\n"))
        << text;
    EXPECT_TRUE(contains(text, "BItsPerPixel : 1\n")) << text;
    EXPECT_TRUE(contains(text, "BytesPerLine : 56\n")) << text;

    PluginImage* image = createIndexed("pil184.pcx", 447, 144, 2);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->palette[0], 0x000000u);
    EXPECT_EQ(image->palette[1], 0xFFFFFFu);
    const int count = 447 * 144;
    EXPECT_EQ(pcxtest::md5Hex(image->pixels, count), "8a9511bd6764700badaeb61e3be96e46");
    EXPECT_EQ(std::count(image->pixels, image->pixels + count, 1), 55843);
    EXPECT_EQ(std::count(image->pixels, image->pixels + count, 0), count - 55843);
    plugin().IMPORT_FreeImage(image);
}

// The 16-colour layout of four planes of 1 bit: pixel 0 has bit 7 set in
// planes 0 and 1 (bytes 0 and 2 of its scanline, BytesPerLine 2), so it is
// index 3, which the colormap makes red.
TEST_F(ThirdParty, FourPlanesOfOneBitTakeTheirColoursFromTheColormap) {
    const std::string text = report("p_4_planes.pcx");
    EXPECT_TRUE(contains(text, "BItsPerPixel : 1\n")) << text;
    EXPECT_TRUE(contains(text, "NPlanes : 4\nBytesPerLine : 2\n")) << text;

    PluginImage* image = createIndexed("p_4_planes.pcx", 1, 1, 16);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->pixels[0], 3);
    EXPECT_EQ(image->palette[image->pixels[0]], 0xFF0000u);
    plugin().IMPORT_FreeImage(image);
}

// Sound headers whose pictures cannot be decoded: the header check accepts
// them, the decode does not.
TEST_F(ThirdParty, RefusedLayoutsPassTheHeaderCheckOnly) {
    struct Case {
        const char* name;
        const char* headerLines;
    };
    const Case cases[] = {
        {"01r_00.pcx", "BytesPerLine : 12\n"},
        {"pcx_overrun.bin", "BytesPerLine : 52\n"},
        {"pcx_overrun2.bin", "Version : 2\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plugin().IMPORT_ValidFileCheck(dataFile(c.name).c_str()), 1) << c.name;
        const std::string text = report(c.name);
        EXPECT_TRUE(contains(text, c.headerLines)) << c.name << "\n" << text;
        PluginImage* image = create(c.name);
        EXPECT_EQ(image, nullptr) << c.name;
        plugin().IMPORT_FreeImage(image);
        image = nullptr;
        plugin().IMPORT_CreatePreviewImage(dataFile(c.name).c_str(), 64, 64, &image);
        EXPECT_EQ(image, nullptr) << c.name;
    }
}

TEST_F(ThirdParty, FuzzedHeaderIsNotAPcxFile) {
    const std::string name = "ossfuzz-4836216264589312.pcx";
    EXPECT_EQ(plugin().IMPORT_ValidFileCheck(dataFile(name).c_str()), 0);
    EXPECT_EQ(report(name), kNotAnImage);
    EXPECT_EQ(create(name), nullptr);
}

}  // namespace
