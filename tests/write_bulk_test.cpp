// The writer codes the bulk of each plane line a window of values at a time
// (runs found by comparing many values at once, stretches of single values
// coded together) and only the end of the line one value at a time. Its
// bytes must be exactly those of the run coder fed one value at a time:
// here every written file is compared with the plain reference coder's, on
// rows of noise, of runs of every length around 63, of values that need a
// run header, on odd and even widths around the window size, for both kinds
// of picture, with each instruction set's kernels the processor runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Export.h"
#include "support/KernelSetTest.h"
#include "support/Reference.h"
#include "support/TestEnv.h"
#include "write_support.h"

namespace {

using pcxtest::Random;
using pcxtest::TestPicture;
using Bytes = std::vector<uint8_t>;

// One plane line of values of a kind that matters to the coder.
enum class RowKind {
    Noise,          // every byte value, equal neighbours rare
    HighNoise,      // only 0xC0-0xFF: every single value needs a run header
    NoiseAndPairs,  // noise with many equal neighbours
    RunsAround63,   // runs of 1-3, 62-65, 125-128 and 189-190
    Constant,       // one value for the whole line
    ZerosAtEnd,     // noise, then zeros to the end (the fill byte joins them)
    Alternating,    // two values taking turns
    WindowSteps,    // a new value every 64, or every 63, values
};
constexpr RowKind kRowKinds[] = {RowKind::Noise,        RowKind::HighNoise,  RowKind::NoiseAndPairs,
                                 RowKind::RunsAround63, RowKind::Constant,   RowKind::ZerosAtEnd,
                                 RowKind::Alternating,  RowKind::WindowSteps};

std::vector<uint8_t> planeValues(RowKind kind, int32_t width, Random& random) {
    std::vector<uint8_t> values(static_cast<size_t>(width));
    auto byte = [&] { return static_cast<uint8_t>(random.next() >> 11); };
    switch (kind) {
        case RowKind::Noise:
            for (uint8_t& v : values) v = byte();
            break;
        case RowKind::HighNoise:
            for (uint8_t& v : values) v = static_cast<uint8_t>(0xC0 | byte());
            break;
        case RowKind::NoiseAndPairs:
            for (size_t x = 0; x < values.size(); ++x)
                values[x] = x > 0 && random.next() % 4 == 0 ? values[x - 1] : byte();
            break;
        case RowKind::RunsAround63: {
            static const int32_t kLengths[] = {1,   2,   3,   62,  63,  64, 65,
                                               125, 126, 127, 128, 189, 190};
            size_t x = 0;
            while (x < values.size()) {
                const int32_t length = kLengths[random.next() % 13];
                const uint8_t v = random.next() % 2 ? byte() : static_cast<uint8_t>(0xC0 | byte());
                for (int32_t i = 0; i < length && x < values.size(); ++i) values[x++] = v;
            }
            break;
        }
        case RowKind::Constant: {
            const uint8_t v = random.next() % 3 == 0 ? 0 : byte();
            for (uint8_t& v2 : values) v2 = v;
            break;
        }
        case RowKind::ZerosAtEnd: {
            const size_t zerosFrom = random.next() % (values.size() + 1);
            for (size_t x = 0; x < values.size(); ++x) values[x] = x < zerosFrom ? byte() : 0;
            break;
        }
        case RowKind::Alternating: {
            const uint8_t a = byte(), b = static_cast<uint8_t>(a ^ 0xC3);
            for (size_t x = 0; x < values.size(); ++x) values[x] = x % 2 ? a : b;
            break;
        }
        case RowKind::WindowSteps: {
            const size_t step = random.next() % 2 ? 64 : 63;
            uint8_t v = byte();
            for (size_t x = 0; x < values.size(); ++x) {
                if (x % step == 0) v = static_cast<uint8_t>(v + 0x41);
                values[x] = v;
            }
            break;
        }
    }
    return values;
}

// A picture with two rows of each kind; colour pictures take each plane's
// kind independently and a random top byte.
TestPicture mixedPicture(int32_t kind, int32_t width, uint32_t seed) {
    Random random(seed);
    const int32_t height = 2 * static_cast<int32_t>(std::size(kRowKinds));
    TestPicture picture;
    picture.kind = kind;
    picture.width = width;
    picture.height = height;
    // Rows a little longer than their pixels, so that nothing past a row is read.
    picture.stride = (kind == ImageKindIndexed ? width : 4 * width) + 8;
    picture.pixels.assign(static_cast<size_t>(picture.stride) * height, 0xEE);
    for (int32_t y = 0; y < height; ++y) {
        const RowKind rowKind = kRowKinds[static_cast<size_t>(y) / 2];
        if (kind == ImageKindIndexed) {
            const std::vector<uint8_t> values = planeValues(rowKind, width, random);
            for (int32_t x = 0; x < width; ++x) picture.index(x, y) = values[x];
        } else {
            std::vector<uint8_t> planes[3];
            for (int p = 0; p < 3; ++p)
                planes[p] =
                    planeValues(p == 0 ? rowKind : kRowKinds[random.next() % std::size(kRowKinds)],
                                width, random);
            for (int32_t x = 0; x < width; ++x)
                picture.setColour(x, y,
                                  (random.next() & 0xFF000000u) | uint32_t{planes[0][x]} << 16 |
                                      uint32_t{planes[1][x]} << 8 | planes[2][x]);
        }
    }
    if (kind == ImageKindIndexed) picture.palette.assign(256, 0x102030);
    return picture;
}

class WriteBulk : public pcxtest::KernelSetTest {
protected:
    // The file the plug-in writes for picture (empty when it cannot be read).
    Bytes writtenFile(TestPicture& picture) {
        const std::string path = dir.file("bulk.pcx");
        PluginImage image = picture.record();
        EXPECT_EQ(EXPORT_WriteToFile(path.c_str(), &image, nullptr), 1);
        return pcxtest::readFile(path);
    }

    // Three pictures of mixed rows for each width of kWidths, seeds counting
    // up from firstSeed.
    void expectEveryWidthCodedOneValueAtATime(int32_t kind, uint32_t firstSeed);

    pcxtest::TempDir dir;
};

// Widths below, at and around one, two and three windows of 64, odd and
// even, and a few long lines.
const int32_t kWidths[] = {1,   2,   3,   7,   63,  64,  65,  66,   127,  128,
                           129, 130, 131, 191, 192, 193, 194, 1000, 1001, 4097};

void WriteBulk::expectEveryWidthCodedOneValueAtATime(int32_t kind, uint32_t firstSeed) {
    uint32_t seed = firstSeed;
    for (int32_t width : kWidths) {
        for (int round = 0; round < 3; ++round) {
            TestPicture picture = mixedPicture(kind, width, seed++);
            ASSERT_EQ(writtenFile(picture), pcxref::encode(picture.record(), 0))
                << "width " << width << ", seed " << seed - 1;
        }
    }
}

TEST_P(WriteBulk, IndexedRowsAreCodedAsOneValueAtATime) {
    expectEveryWidthCodedOneValueAtATime(ImageKindIndexed, 1);
}

TEST_P(WriteBulk, ColourRowsAreCodedAsOneValueAtATime) {
    expectEveryWidthCodedOneValueAtATime(ImageKindRgb32, 1000);
}

PCX_FOR_EACH_KERNEL_SET(WriteBulk);

}  // namespace
