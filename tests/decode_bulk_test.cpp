// The decoder's bulk paths against plain one-code-at-a-time reading, for
// every instruction set's kernels the processor runs: random streams of
// every mix of codes, the window of run-length codes in which every run is a
// single byte (packed in one pass), windows with a few longer runs among
// such codes, and run headers on every offset of a window, each decoded and
// skipped; and whole files of every layout, run-length coded and stored,
// whose rows are expanded piece by piece as their scanlines are decoded,
// whole and as previews.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "Dpcx.h"
#include "support/DecodedPixel.h"
#include "support/KernelSetTest.h"
#include "support/PcxBuilder.h"
#include "support/Reference.h"
#include "support/TestEnv.h"

namespace {

using pcx::RunLengthResult;
using Bytes = std::vector<uint8_t>;

// Codes as a noisy picture's: literals, single values behind 0xC1 (a
// quarter of all values), and now and then a run of another count (0 to 63)
// at the given rate per thousand codes.
Bytes noisyCodes(std::mt19937& random, size_t length, unsigned longRunsPerThousand,
                 size_t literalPrefix) {
    Bytes codes(literalPrefix, 0x11);
    while (codes.size() < length) {
        const unsigned pick = random() % 1000;
        if (pick < longRunsPerThousand) {
            codes.push_back(static_cast<uint8_t>(0xC0 | random() % 64));
            codes.push_back(static_cast<uint8_t>(random()));
        } else if (pick % 4 == 0) {
            codes.push_back(0xC1);
            codes.push_back(static_cast<uint8_t>(0xC0 | random()));
        } else {
            codes.push_back(static_cast<uint8_t>(random() % 0xC0));
        }
    }
    return codes;
}

class DecodeBulk : public pcxtest::KernelSetTest {};

// Decodes in into an output of outSize inside guard bytes and compares
// everything with the reference: what was taken, what was written, what of
// a last run did not fit, and that nothing beyond the permitted scratch
// changed. Then skips the same codes for outSize bytes, which must take and
// count exactly as much.
void expectLikeReference(const Bytes& in, size_t outSize, const std::string& what) {
    const size_t guard = 256;
    Bytes expected(outSize, 0x5A);
    Bytes memory(guard + outSize + guard, 0x5A);
    size_t wantConsumed = 0, wantWritten = 0, wantCut = 0;
    pcxref::decodeRunLength(in.data(), in.size(), expected.data(), expected.size(), &wantConsumed,
                            &wantWritten, &wantCut);
    const RunLengthResult got =
        pcx::decodeRunLength(in.data(), in.size(), memory.data() + guard, outSize);
    ASSERT_EQ(got.consumed, wantConsumed) << what;
    ASSERT_EQ(got.written, wantWritten) << what;
    ASSERT_EQ(got.cut, wantCut) << what;
    // std::equal, not memcmp: an empty expected has a null data(), and
    // memcmp with a null pointer is undefined even for no bytes.
    ASSERT_TRUE(std::equal(expected.begin(), expected.begin() + static_cast<long>(got.written),
                           memory.begin() + guard))
        << what;
    const size_t untouchedFrom = guard + std::min(outSize, got.written + pcx::kRunLengthScratch);
    for (size_t i = 0; i < memory.size(); ++i) {
        if (i < guard || i >= untouchedFrom) {
            ASSERT_EQ(memory[i], 0x5A) << what << ", byte " << i;
        }
    }

    const RunLengthResult skipped = pcx::skipRunLength(in.data(), in.size(), outSize);
    ASSERT_EQ(skipped.consumed, wantConsumed) << what << ", skipped";
    ASSERT_EQ(skipped.written, wantWritten) << what << ", skipped";
    ASSERT_EQ(skipped.cut, wantCut) << what << ", skipped";
}

// Random code streams of every mix, from all literals to all runs, long
// runs and runs of count 0, into outputs shorter and longer than the data.
TEST_P(DecodeBulk, RandomStreamsOfEveryMix) {
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round) {
        const size_t length = random() % (round % 2 ? 300 : 6000);
        const unsigned headerPercent = random() % 101;
        const unsigned maxCount = 1 + random() % 64;
        Bytes in(length);
        for (uint8_t& byte : in)
            byte = (random() % 100 < headerPercent)
                       ? static_cast<uint8_t>(0xC0 | (random() % maxCount))
                       : static_cast<uint8_t>(random() % 0xC0);
        expectLikeReference(in, random() % (2 * length + 100), "round " + std::to_string(round));
    }
}

// Skipping stops right after the byte that completes the count, as decoding
// does when its output is full: codes that write nothing (runs of count 0)
// right after it, inside the same window, are left for later.
TEST_P(DecodeBulk, SkipStopsBeforeCodesThatWriteNothingAfterTheCount) {
    for (size_t literals = 1; literals < 2 * 64; ++literals) {
        Bytes in(literals, 0x01);
        in.insert(in.end(), {0xC0, 0x00, 0xC0, 0x00});
        in.resize(in.size() + 200, 0x02);
        expectLikeReference(in, literals, std::to_string(literals) + " literals");
    }
}

// Every run a single byte, with the codes shifted through every offset of a
// window, so that a run header falls on each position, the last included
// (its value then opens the next window).
TEST_P(DecodeBulk, SingleByteRunsOnEveryOffsetOfAWindow) {
    std::mt19937 random(7);
    for (size_t prefix = 0; prefix < 64; ++prefix) {
        const Bytes in = noisyCodes(random, 3000, 0, prefix);
        expectLikeReference(in, 4000, "prefix " + std::to_string(prefix));
        expectLikeReference(in, 1500, "short output, prefix " + std::to_string(prefix));
    }
}

// Noisy codes with longer runs (and runs of 0) among them, from one in a
// window to several in each: windows with up to two such runs take the
// packing path around them, others go code by code.
TEST_P(DecodeBulk, LongerRunsAmongSingleByteRuns) {
    std::mt19937 random(8);
    for (unsigned rate : {1u, 5u, 15u, 30u, 60u, 200u, 600u}) {
        for (int round = 0; round < 40; ++round) {
            const Bytes in = noisyCodes(random, 500 + random() % 5000, rate, random() % 64);
            const size_t outSize = random() % (3 * in.size());
            expectLikeReference(
                in, outSize, "rate " + std::to_string(rate) + ", round " + std::to_string(round));
        }
    }
}

// Only literals, only single-byte runs, and the two alternating in long
// stretches: the windows without any run header and those made only of them.
TEST_P(DecodeBulk, WindowsOfOneKindOfCode) {
    std::mt19937 random(9);
    Bytes literals(5000), singles, stretches;
    for (uint8_t& b : literals) b = static_cast<uint8_t>(random() % 0xC0);
    while (singles.size() < 5000)
        singles.insert(singles.end(), {0xC1, static_cast<uint8_t>(random())});
    while (stretches.size() < 20000) {
        const size_t length = 1 + random() % 300;
        const bool runs = random() % 2;
        for (size_t i = 0; i < length; ++i) {
            if (runs)
                stretches.insert(stretches.end(), {0xC1, static_cast<uint8_t>(random())});
            else
                stretches.push_back(static_cast<uint8_t>(random() % 0xC0));
        }
    }
    expectLikeReference(literals, 6000, "literals");
    expectLikeReference(singles, 6000, "single-byte runs");
    expectLikeReference(stretches, 30000, "stretches");
}

// --- whole files, expanded as they are decoded ----------------------------------

// Codes of long runs (up to 63, so that a few kilobytes of codes decode to
// far more than a piece) among literals and single values.
Bytes longRunCodes(std::mt19937& random, size_t rawBytes) {
    Bytes codes;
    size_t decoded = 0;
    while (decoded < rawBytes) {
        const unsigned pick = random() % 10;
        if (pick < 4) {
            const unsigned count = 40 + random() % 24;
            codes.push_back(static_cast<uint8_t>(0xC0 | count));
            codes.push_back(static_cast<uint8_t>(random()));
            decoded += count;
        } else if (pick < 6) {
            codes.push_back(0xC1);
            codes.push_back(static_cast<uint8_t>(random()));
            ++decoded;
        } else {
            codes.push_back(static_cast<uint8_t>(random() % 0xC0));
            ++decoded;
        }
    }
    return codes;
}

// Output pixel (x, y) of a decoded picture as its raw scanlines give it:
// source pixel (x * scale, y * scale), a 0x00RRGGBB word for three or four
// planes of 8 bits (the fourth, alpha, unused), an index whose bit p comes
// from plane p for several planes of 1 bit.
uint32_t expectedPixel(const Bytes& raw, const pcx::TPcxDecoder& decoder, int x, int y) {
    const size_t bytesPerLine = decoder.header.bytesPerLine;
    const int bits = decoder.header.bitsPerPixel, planes = decoder.header.nPlanes;
    const size_t scanline = static_cast<size_t>(y) * decoder.scale * planes * bytesPerLine;
    const size_t column = static_cast<size_t>(x) * decoder.scale;
    if (bits == 8 && planes > 1) {
        const uint8_t* red = raw.data() + scanline + column;
        return uint32_t{red[0]} << 16 | uint32_t{red[bytesPerLine]} << 8 | red[2 * bytesPerLine];
    }
    const unsigned shift = 8 - bits - static_cast<unsigned>(column * bits % 8);
    uint32_t pixel = 0;
    for (int p = 0; p < planes; ++p) {
        const uint8_t byte = raw[scanline + p * bytesPerLine + column * bits / 8];
        pixel |= ((byte >> shift) & ((1u << bits) - 1)) << p;
    }
    return pixel;
}

// Pictures of several megabytes of scanlines whose runs cross every piece
// and read block, whole and as previews, complete and cut short (the rows
// the file never reaches are 0, expanded after the reading ends): every
// output pixel is what its source scanline holds. Uncompressed files take
// the same ways with their bytes as they are.
TEST_P(DecodeBulk, RowsExpandedAsTheyAreDecodedMatchTheirScanlines) {
    pcxtest::TempDir dir;
    std::mt19937 random(10);
    // The 8-bit picture without fill bytes is decoded straight into its
    // pixels; the others through raw's window. Widths leave a few whole
    // bytes and part of one after the bulk of several planes of 1 bit.
    const struct {
        int bits, planes;
        int width, height, fill;
        bool stored;
    } pictures[] = {
        {8, 3, 701, 900, 1, false},  {8, 1, 1503, 1100, 1, false}, {8, 1, 1504, 1100, 0, false},
        {1, 1, 4001, 700, 1, false}, {4, 1, 999, 1300, 1, false},  {1, 4, 4001, 300, 1, false},
        {1, 3, 1999, 200, 2, false}, {1, 2, 2051, 200, 0, false},  {8, 4, 701, 300, 1, false},
        {8, 1, 1504, 300, 0, true},  {1, 4, 999, 200, 1, true},
    };
    int serial = 0;
    for (const auto& p : pictures) {
        pcxtest::PcxFile file = pcxtest::planesFile(p.bits, p.planes, p.width, p.height, p.fill);
        file.encoding = p.stored ? 0 : 1;
        const size_t rawBytes = size_t{file.bytesPerLine} * file.nPlanes * p.height;
        Bytes codes;
        if (p.stored)
            for (size_t i = 0; i < rawBytes; ++i) codes.push_back(static_cast<uint8_t>(random()));
        else
            codes = longRunCodes(random, rawBytes);
        for (bool cut : {false, true}) {
            file.codes = codes;
            // Cut short, in the middle of the picture, just after a run header.
            if (cut) {
                file.codes.resize(codes.size() * 3 / 5);
                file.codes.push_back(0xC9);
            }
            Bytes raw(rawBytes, 0);
            if (p.stored) {
                std::copy_n(file.codes.begin(), std::min(raw.size(), file.codes.size()),
                            raw.begin());
            } else {
                size_t consumed = 0, written = 0;
                pcxref::decodeRunLength(file.codes.data(), file.codes.size(), raw.data(),
                                        raw.size(), &consumed, &written);
            }
            const std::string path = dir.file("big" + std::to_string(++serial) + ".pcx");
            ASSERT_TRUE(pcxtest::writeFile(path, file.bytes()));
            for (int box : {0, 64, 300}) {
                pcx::TPcxDecoder decoder;
                decoder.preview = box > 0;
                decoder.previewMaxWidth = box;
                decoder.previewMaxHeight = box;
                const std::string what = std::to_string(p.planes) + " x " + std::to_string(p.bits) +
                                         " bits" + (p.stored ? ", stored" : "") +
                                         (cut ? ", cut short" : "") + ", box " +
                                         std::to_string(box);
                ASSERT_TRUE(decoder.decode(path.c_str())) << what;
                for (int y = 0; y < decoder.height; ++y)
                    for (int x = 0; x < decoder.width; ++x)
                        ASSERT_EQ(pcxtest::decodedPixel(decoder, x, y),
                                  expectedPixel(raw, decoder, x, y))
                            << what << " at " << x << "," << y;
            }
        }
    }
}

PCX_FOR_EACH_KERNEL_SET(DecodeBulk);

// With nothing selected, the fastest set the processor runs is in use; any
// available set can be selected and is then in use.
TEST(KernelChoice, FastestAvailableSetRunsUnlessAnotherIsSelected) {
    const std::vector<pcx::kernels::InstructionSet> sets = pcxtest::availableKernelSets();
    ASSERT_FALSE(sets.empty());
    EXPECT_EQ(sets.front(), pcx::kernels::InstructionSet::Portable);
    const pcx::kernels::InstructionSet fastest = sets.back();
    EXPECT_EQ(pcx::kernels::active(), fastest);
    for (pcx::kernels::InstructionSet set : sets) {
        ASSERT_TRUE(pcx::kernels::select(set));
        EXPECT_EQ(pcx::kernels::active(), set);
    }
    pcx::kernels::select(fastest);
}

}  // namespace
