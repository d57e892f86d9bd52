// Every file of the fuzz seed corpus (fuzz/corpus, every target's folder)
// through the import exports as a host calls them: header check, report,
// full decode, previews in several boxes, and freeing. Each file must either
// decode to a sound image or be refused, and the program must survive every
// one. In the Windows build this runs the real DLL under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/HostTexts.h"
#include "support/PluginTest.h"
#include "support/TestEnv.h"

#ifndef PCX_FUZZ_CORPUS_DIR
#error "PCX_FUZZ_CORPUS_DIR names the fuzz corpus folder"
#endif

namespace {

const char kReportHeading[] = "* PCX FILE (decoder records) *\n\n";
std::vector<std::string>& texts = pcxtest::receivedTexts;
using pcxtest::kNotAnImage;
using pcxtest::recordText;

std::vector<std::string> corpusFiles(const std::string& folder) {
    std::vector<std::string> files;
    const std::filesystem::path path = std::filesystem::path(PCX_FUZZ_CORPUS_DIR) / folder;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        if (entry.is_regular_file()) files.push_back(entry.path().generic_string());
    std::sort(files.begin(), files.end());
    return files;
}

// The signed little-endian 32-bit number at offset at of bytes.
int32_t le32(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    return static_cast<int32_t>(value);
}

// The reduction a box gives: the largest power of two at which one side,
// divided by it, still reaches the box (a side below 1 counts as 1).
int32_t previewScale(int32_t width, int32_t height, int32_t boxWidth, int32_t boxHeight) {
    boxWidth = std::max(boxWidth, 1);
    boxHeight = std::max(boxHeight, 1);
    int32_t scale = 1;
    while (width / scale >= boxWidth || height / scale >= boxHeight) scale *= 2;
    return scale > 1 ? scale / 2 : 1;
}

class Corpus : public pcxtest::PluginTest, public ::testing::WithParamInterface<const char*> {
protected:
    // An image the plug-in made holds what its record says.
    static void expectSound(const PluginImage& image) {
        ASSERT_TRUE(image.kind == 1 || image.kind == 5) << image.kind;
        ASSERT_GE(image.width, 1);
        ASSERT_GE(image.height, 1);
        ASSERT_NE(image.pixels, nullptr);
        ASSERT_EQ(image.stride, image.width * (image.kind == 5 ? 4 : 1));
        if (image.kind == 5) {
            EXPECT_EQ(image.palette, nullptr);
            EXPECT_EQ(image.paletteCount, 0);
            for (int32_t y = 0; y < image.height; ++y)
                for (int32_t x = 0; x < image.width; ++x)
                    ASSERT_EQ(image.pixels[y * image.stride + 4 * x + 3], 0) << x << ", " << y;
            return;
        }
        const int32_t count = image.paletteCount;
        ASSERT_TRUE(count == 0 || count == 2 || count == 4 || count == 8 || count == 16 ||
                    count == 256)
            << count;
        EXPECT_EQ(image.palette == nullptr, count == 0);
        if (count == 0 || count == 256) return;
        // Fewer than 8 bits per pixel: no index beyond the colours.
        for (int32_t i = 0; i < image.width * image.height; ++i)
            ASSERT_LT(image.pixels[i], count) << "pixel " << i;
    }

    // A preview is the full picture's top-left pixel of each scale x scale
    // block.
    static void expectReduced(const PluginImage& full, const PluginImage& preview, int32_t scale) {
        ASSERT_EQ(preview.kind, full.kind);
        ASSERT_EQ(preview.width, (full.width + scale - 1) / scale);
        ASSERT_EQ(preview.height, (full.height + scale - 1) / scale);
        ASSERT_EQ(preview.paletteCount, full.paletteCount);
        const int32_t bytes = full.kind == 5 ? 4 : 1;
        for (int32_t r = 0; r < preview.height; ++r) {
            const uint8_t* fullRow = full.pixels + static_cast<size_t>(r) * scale * full.stride;
            const uint8_t* previewRow = preview.pixels + static_cast<size_t>(r) * preview.stride;
            for (int32_t j = 0; j < preview.width; ++j)
                ASSERT_EQ(0, std::memcmp(previewRow + j * bytes,
                                         fullRow + static_cast<size_t>(j) * scale * bytes, bytes))
                    << "preview pixel " << j << ", " << r << " at scale " << scale;
        }
    }

    void checkFile(const std::string& path) {
        SCOPED_TRACE(path);
        const int32_t valid = plugin().IMPORT_ValidFileCheck(path.c_str());
        ASSERT_TRUE(valid == 0 || valid == 1) << valid;

        texts.clear();
        plugin().IMPORT_ImageInformation(path.c_str(), recordText);
        ASSERT_EQ(texts.size(), 1u);
        if (valid)
            EXPECT_EQ(texts[0].rfind(kReportHeading, 0), 0u) << texts[0];
        else
            EXPECT_EQ(texts[0], kNotAnImage);

        PluginImage* full = nullptr;
        plugin().IMPORT_CreateImage(path.c_str(), &full);
        if (full != nullptr) {
            EXPECT_EQ(valid, 1) << "decoded, yet the header check refuses it";
            expectSound(*full);
        }

        // The box the preview fuzzer reads from the file, and the usual ones.
        const std::vector<uint8_t> bytes = pcxtest::readFile(path);
        std::vector<std::pair<int32_t, int32_t>> boxes = {{64, 64}, {1, 1}, {0, -5}};
        if (bytes.size() >= 82) boxes.emplace_back(le32(bytes, 74), le32(bytes, 78));
        for (const auto& box : boxes) {
            SCOPED_TRACE("box " + std::to_string(box.first) + " x " + std::to_string(box.second));
            PluginImage* preview = nullptr;
            plugin().IMPORT_CreatePreviewImage(path.c_str(), box.first, box.second, &preview);
            if (preview != nullptr) {
                EXPECT_EQ(valid, 1);
                expectSound(*preview);
            }
            if (full != nullptr) {
                ASSERT_NE(preview, nullptr) << "the full picture decodes, its preview does not";
                expectReduced(*full, *preview,
                              previewScale(full->width, full->height, box.first, box.second));
            }
            plugin().IMPORT_FreeImage(preview);
        }
        plugin().IMPORT_FreeImage(full);
    }
};

TEST_P(Corpus, EveryFileDecodesSoundlyOrIsRefused) {
    const std::vector<std::string> files = corpusFiles(GetParam());
    ASSERT_FALSE(files.empty()) << "no seeds in " << GetParam();
    for (const std::string& path : files) {
        checkFile(path);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, Corpus,
                         ::testing::Values("decode", "preview", "header", "export", "runlength"));

}  // namespace
