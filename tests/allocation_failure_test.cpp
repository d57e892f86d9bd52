// Every allocation the plug-in makes may fail: for each export that
// allocates, on a file of each variant it reads and on a write of each kind,
// the call is made once to count its allocations, then again once for every
// N with the Nth allocation failing. Each such call must return the export's
// failure result, keep nothing allocated, and leave the files as a failed
// save must: the old file whole, no temporary file beside it.
//
// The units are linked into this program, and their calls of malloc, calloc,
// realloc and free are routed here by the linker (--wrap), so that the
// plug-in's own allocations are counted and failed and nothing else's is.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Export.h"
#include "Import.h"
#include "support/HostTexts.h"
#include "support/TestEnv.h"

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
void __real_free(void* block);
}

namespace {

namespace fs = std::filesystem;

// The injection: while armed, allocations are counted, the one numbered
// failAt (1-based; 0 for none) fails, and the blocks handed out are tracked
// until they are freed.
struct Injection {
    bool armed = false;
    int count = 0;
    int failAt = 0;
    // Blocks from an armed call still live; a call that fails must leave none.
    static constexpr int kMaxLive = 64;
    void* live[kMaxLive] = {};
    int liveCount = 0;
    bool overflowed = false;

    // Whether the next allocation fails.
    bool nextFails() {
        if (!armed) return false;
        return ++count == failAt;
    }
    void track(void* block) {
        if (!armed || block == nullptr) return;
        if (liveCount == kMaxLive) {
            overflowed = true;
            return;
        }
        live[liveCount++] = block;
    }
    void forget(void* block) {
        for (int i = 0; i < liveCount; ++i)
            if (live[i] == block) {
                live[i] = live[--liveCount];
                return;
            }
    }
} injection;

}  // namespace

extern "C" {

void* __wrap_malloc(size_t size) {
    if (injection.nextFails()) return nullptr;
    void* block = __real_malloc(size);
    injection.track(block);
    return block;
}

void* __wrap_calloc(size_t count, size_t size) {
    if (injection.nextFails()) return nullptr;
    void* block = __real_calloc(count, size);
    injection.track(block);
    return block;
}

void* __wrap_realloc(void* block, size_t size) {
    if (injection.nextFails()) return nullptr;
    void* moved = __real_realloc(block, size);
    if (moved != nullptr) {
        injection.forget(block);
        injection.track(moved);
    }
    return moved;
}

void __wrap_free(void* block) {
    injection.forget(block);
    __real_free(block);
}
}

namespace {

// One export's call, with failAt as the injection's failing allocation; true
// when the export gave its failure result.
using Call = bool (*)(const std::string& file);

std::string lastText;
int textCalls = 0;
void PCX_CALL keepText(const char* text) {
    lastText = text;
    ++textCalls;
}

bool validFileCheckFailed(const std::string& file) {
    return IMPORT_ValidFileCheck(file.c_str()) == 0;
}

bool imageInformationFailed(const std::string& file) {
    lastText.clear();
    textCalls = 0;
    IMPORT_ImageInformation(file.c_str(), keepText);
    EXPECT_EQ(textCalls, 1) << "the host hears once, whatever happens";
    return lastText == pcxtest::kNotAnImage;
}

bool imageFailed(PluginImage* image) {
    if (image == nullptr) return true;
    IMPORT_FreeImage(image);
    return false;
}

bool createImageFailed(const std::string& file) {
    PluginImage* image = reinterpret_cast<PluginImage*>(1);
    IMPORT_CreateImage(file.c_str(), &image);
    return imageFailed(image);
}

bool createPreviewFailed(const std::string& file) {
    PluginImage* image = reinterpret_cast<PluginImage*>(1);
    IMPORT_CreatePreviewImage(file.c_str(), 16, 16, &image);
    return imageFailed(image);
}

// A small picture of each kind the host hands the write.
struct WritePicture {
    std::vector<uint8_t> pixels;
    std::vector<uint32_t> palette;
    PluginImage record{};
};

WritePicture pictureOf(ImageKind kind) {
    constexpr int32_t kWidth = 37;
    constexpr int32_t kHeight = 5;
    WritePicture picture;
    const int32_t bytesPerPixel = kind == ImageKindIndexed ? 1 : 4;
    picture.pixels.resize(static_cast<size_t>(kWidth * kHeight * bytesPerPixel));
    for (size_t i = 0; i < picture.pixels.size(); ++i)
        picture.pixels[i] = static_cast<uint8_t>(i * 7 / 5);
    if (kind == ImageKindIndexed) picture.palette = {0x102030, 0xFFEEDD, 0x00FF00};
    picture.record = {kind,
                      picture.pixels.data(),
                      kWidth * bytesPerPixel,
                      kWidth,
                      kHeight,
                      picture.palette.empty() ? nullptr : picture.palette.data(),
                      static_cast<int32_t>(picture.palette.size())};
    return picture;
}

bool writeFailed(const std::string& file, ImageKind kind) {
    WritePicture picture = pictureOf(kind);
    return EXPORT_WriteToFile(file.c_str(), &picture.record, nullptr) == 0;
}
bool writeIndexedFailed(const std::string& file) {
    return writeFailed(file, ImageKindIndexed);
}
bool writeColourFailed(const std::string& file) {
    return writeFailed(file, ImageKindRgb32);
}

struct Case {
    std::string name;
    Call call;
    const char* sample;  // a file of samples/, or null for a write
    bool overOldFile;    // a write over an existing file, else a new one
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class AllocationFailure : public ::testing::TestWithParam<Case> {
protected:
    std::vector<std::string> namesIn(const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_P(AllocationFailure, EveryFailedAllocationIsAFailureResult) {
    const Case& c = GetParam();
    pcxtest::TempDir dir;
    const std::string file =
        c.sample ? std::string(PCX_SAMPLES_DIR "/") + c.sample : dir.file("out.pcx");
    const std::vector<uint8_t> oldBytes = {'o', 'l', 'd'};
    auto prepare = [&] {
        if (c.sample != nullptr) return;
        if (c.overOldFile) {
            ASSERT_TRUE(pcxtest::writeFile(file, oldBytes));
        } else {
            fs::remove(file);
        }
    };

    // The count, with nothing failing: the call succeeds.
    prepare();
    injection = Injection();
    injection.armed = true;
    const bool failedWhole = c.call(file);
    injection.armed = false;
    ASSERT_FALSE(failedWhole) << "the call succeeds when memory is there";
    const int allocations = injection.count;
    ASSERT_GT(allocations, 0) << "the call allocates";
    EXPECT_EQ(injection.liveCount, 0) << "a success keeps nothing once the image is freed";

    for (int n = 1; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(allocations));
        prepare();
        injection = Injection();
        injection.failAt = n;
        injection.armed = true;
        const bool failed = c.call(file);
        injection.armed = false;
        EXPECT_TRUE(failed) << "a failed allocation is a failure result";
        EXPECT_EQ(injection.liveCount, 0) << "nothing stays allocated";
        EXPECT_FALSE(injection.overflowed);
        if (c.sample == nullptr) {
            // The old file whole, or no file at all; nothing else beside it.
            if (c.overOldFile) {
                EXPECT_EQ(pcxtest::readFile(file), oldBytes);
                EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"out.pcx"});
            } else {
                EXPECT_TRUE(namesIn(dir.path()).empty());
            }
        }
    }
}

// Files of every variant the plug-in reads, through every import export.
constexpr const char* kSamples[] = {"mono-1bit.pcx",
                                    "cga-2bit.pcx",
                                    "ega-4bit.pcx",
                                    "palette-8bit.pcx",
                                    "grey-8bit-notable.pcx",
                                    "rgb-24bit.pcx",
                                    "cga-2planes.pcx",
                                    "colours-3planes.pcx",
                                    "ega-4planes.pcx",
                                    "rgba-4planes.pcx",
                                    "palette-8bit-uncompressed.pcx"};

std::vector<Case> allCases() {
    std::vector<Case> cases;
    const struct {
        const char* name;
        Call call;
    } imports[] = {{"ValidFileCheck", validFileCheckFailed},
                   {"ImageInformation", imageInformationFailed},
                   {"CreateImage", createImageFailed},
                   {"CreatePreviewImage", createPreviewFailed}};
    for (const auto& import : imports)
        for (const char* sample : kSamples)
            cases.push_back({std::string(import.name) + "_" + sample, import.call, sample, false});
    cases.push_back({"WriteIndexedNewFile", writeIndexedFailed, nullptr, false});
    cases.push_back({"WriteIndexedOverOldFile", writeIndexedFailed, nullptr, true});
    cases.push_back({"WriteColourNewFile", writeColourFailed, nullptr, false});
    cases.push_back({"WriteColourOverOldFile", writeColourFailed, nullptr, true});
    return cases;
}

std::string caseName(const ::testing::TestParamInfo<Case>& param) {
    std::string name = param.param.name;
    std::replace_if(
        name.begin(), name.end(),
        [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Exports, AllocationFailure, ::testing::ValuesIn(allCases()), caseName);

// The option panel: a panel that cannot be made is no panel, and leaving it
// changes nothing.
TEST(AllocationFailureOptions, APanelThatCannotBeMadeChangesNothing) {
    int dummyContainer = 0;
    pcx::ConversionMethod = 2;
    injection = Injection();
    injection.failAt = 1;
    injection.armed = true;
    EXPORT_EnterOption(nullptr, &dummyContainer, 0);
    injection.armed = false;
    EXPECT_EQ(injection.count, 1) << "the panel is the one allocation";
    EXPECT_EQ(pcx::LiveExportOptionForm(), nullptr);
    EXPORT_LeaveOption(1);
    EXPECT_EQ(pcx::ConversionMethod, 2);
    int32_t code = 0;
    EXPORT_BeforeTransform(&code, 0);
    EXPECT_EQ(code, 9);
}

}  // namespace
