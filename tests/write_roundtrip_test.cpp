// Every file the plug-in writes reads back through its own import: the
// same kind, size, pixels and palette, in both builds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/PluginTest.h"
#include "support/TestEnv.h"
#include "write_support.h"

namespace {

using pcxtest::TestPicture;

class WriteRoundTrip : public pcxtest::PluginTest {
protected:
    // Writes picture, imports the file and compares what comes back.
    void expectRoundTrip(TestPicture& picture) {
        const hostside::PluginExports& exports = plugin();
        const std::string path = dir.file("round.pcx");
        PluginImage written = picture.record();
        ASSERT_EQ(exports.EXPORT_WriteToFile(path.c_str(), &written, nullptr), 1);

        PluginImage* read = nullptr;
        exports.IMPORT_CreateImage(path.c_str(), &read);
        ASSERT_NE(read, nullptr) << "the import gave no picture";
        struct Release {
            const hostside::PluginExports& plugin;
            PluginImage* image;
            ~Release() { plugin.IMPORT_FreeImage(image); }
        } release{exports, read};

        ASSERT_EQ(read->kind, picture.kind);
        ASSERT_EQ(read->width, picture.width);
        ASSERT_EQ(read->height, picture.height);
        ASSERT_NE(read->pixels, nullptr);
        const int32_t bytesPerPixel = picture.kind == ImageKindIndexed ? 1 : 4;
        ASSERT_EQ(read->stride, picture.width * bytesPerPixel);

        int mismatches = 0;
        for (int32_t y = 0; y < picture.height; ++y) {
            const uint8_t* row = read->pixels + static_cast<size_t>(y) * read->stride;
            for (int32_t x = 0; x < picture.width; ++x) {
                uint32_t got, want;
                if (picture.kind == ImageKindIndexed) {
                    got = row[x];
                    want = picture.index(x, y);
                } else {
                    // The import's pixels are 0x00RRGGBB words, bytes B, G, R, 0.
                    got = uint32_t{row[4 * x]} | (uint32_t{row[4 * x + 1]} << 8) |
                          (uint32_t{row[4 * x + 2]} << 16) | (uint32_t{row[4 * x + 3]} << 24);
                    want = picture.colour(x, y);
                }
                if (got != want && ++mismatches <= 3)
                    ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << got
                                  << " instead of " << want;
            }
        }
        EXPECT_EQ(mismatches, 0);

        if (picture.kind == ImageKindIndexed) {
            // The trailer always holds 256 entries; those the picture had
            // come back without their top byte, the rest are black.
            ASSERT_EQ(read->paletteCount, 256);
            ASSERT_NE(read->palette, nullptr);
            for (size_t i = 0; i < 256; ++i) {
                uint32_t want = i < picture.palette.size() ? picture.palette[i] & 0xFFFFFF : 0;
                EXPECT_EQ(read->palette[i], want) << "entry " << i;
            }
        } else {
            EXPECT_EQ(read->palette, nullptr);
            EXPECT_EQ(read->paletteCount, 0);
        }
    }

    pcxtest::TempDir dir;
};

// Odd and even widths, width 1, widths around a full run of 63, and a tall
// and a wide picture.
const std::pair<int32_t, int32_t> kSizes[] = {{1, 1},    {1, 5},    {2, 1},    {2, 3},   {3, 3},
                                              {4, 2},    {7, 7},    {62, 4},   {63, 4},  {64, 4},
                                              {65, 4},   {126, 3},  {127, 3},  {128, 3}, {601, 301},
                                              {3, 2500}, {4000, 3}, {1, 3000}, {5000, 1}};

TEST_F(WriteRoundTrip, IndexedPicturesComeBackWithTheirPalette) {
    for (const auto& size : kSizes) {
        SCOPED_TRACE(std::to_string(size.first) + " x " + std::to_string(size.second));
        TestPicture picture = pcxtest::indexedPicture(size.first, size.second, 0);
        pcxtest::fillMixed(picture, static_cast<uint32_t>(size.first * 17 + size.second));
        // Top bytes that must not reach the file.
        for (uint32_t& entry : picture.palette) entry |= (entry & 0xFF) << 24;
        expectRoundTrip(picture);
    }
}

TEST_F(WriteRoundTrip, ColourPicturesComeBackWithoutTheirTopByte) {
    for (const auto& size : kSizes) {
        SCOPED_TRACE(std::to_string(size.first) + " x " + std::to_string(size.second));
        TestPicture picture = pcxtest::colourPicture(size.first, size.second, 0);
        pcxtest::fillMixed(picture, static_cast<uint32_t>(size.first * 29 + size.second));
        expectRoundTrip(picture);
    }
}

TEST_F(WriteRoundTrip, AShortPaletteComesBackPaddedWithBlack) {
    TestPicture picture = pcxtest::indexedPicture(9, 5, 0);
    pcxtest::fillMixed(picture, 77);
    picture.palette.resize(16);
    expectRoundTrip(picture);
}

}  // namespace
