// The encoder's buffered output file on its own: bytes that cross the
// buffer's end in every way arrive whole and in order, and a failed write
// or an unopened stream is reported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Epcx.h"
#include "support/TestEnv.h"

namespace {

using pcx::TPcxOutputStream;
constexpr size_t kBuffer = TPcxOutputStream::kBufferSize;

// Byte number i of a test sequence: long period, never a pattern the
// buffer's size divides.
uint8_t patternByte(size_t i) {
    return static_cast<uint8_t>((i * 131 + i / 251) & 0xFF);
}

TEST(OutputStream, BytesCrossingTheBufferArriveInOrder) {
    pcxtest::TempDir dir;
    const std::string path = dir.file("stream.bin");
    TPcxOutputStream stream;
    ASSERT_TRUE(stream.open(path.c_str()));

    std::vector<uint8_t> expected;
    auto block = [&](size_t count) {
        std::vector<uint8_t> bytes(count);
        for (size_t i = 0; i < count; ++i) bytes[i] = patternByte(expected.size() + i);
        stream.putBytes(bytes.data(), bytes.size());
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    };
    auto pair = [&]() {
        stream.reserve(2);
        uint8_t a = patternByte(expected.size()), b = patternByte(expected.size() + 1);
        stream.putPair(a, b);
        expected.push_back(a);
        expected.push_back(b);
    };
    auto single = [&]() {
        stream.reserve(1);
        uint8_t a = patternByte(expected.size());
        stream.putByte(a);
        expected.push_back(a);
    };

    block(kBuffer - 1);  // one byte of room left: a pair must drain first
    pair();
    block(kBuffer - 3);
    single();                 // the buffer is now exactly full
    single();                 // so this one drains it first
    block(3 * kBuffer + 5);   // several buffers in one call
    stream.reserve(kBuffer);  // a whole buffer's room on demand
    for (int i = 0; i < 1000; ++i) pair();
    EXPECT_FALSE(stream.failed());
    ASSERT_TRUE(stream.close());
    EXPECT_FALSE(stream.isOpen());

    bool ok = false;
    std::vector<uint8_t> file = pcxtest::readFile(path, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(file.size(), expected.size());
    EXPECT_TRUE(file == expected);
}

TEST(OutputStream, FailuresAreReportedByClose) {
    TPcxOutputStream unopened;
    EXPECT_FALSE(unopened.close());

    TPcxOutputStream empty;
    EXPECT_FALSE(empty.open(""));
    EXPECT_FALSE(empty.open(nullptr));
    EXPECT_FALSE(empty.isOpen());

#if defined(_WIN32)
    const char* full = "Z:/dev/full";
#else
    const char* full = "/dev/full";
#endif
    // A few bytes fail only when the buffer is handed over at the close.
    TPcxOutputStream small;
    ASSERT_TRUE(small.open(full));
    small.reserve(1);
    small.putByte(1);
    EXPECT_FALSE(small.failed());
    EXPECT_FALSE(small.close());

    // More than a buffer fails on the way, and the close still says so.
    TPcxOutputStream large;
    ASSERT_TRUE(large.open(full));
    std::vector<uint8_t> bytes(kBuffer + 1, 7);
    large.putBytes(bytes.data(), bytes.size());
    EXPECT_TRUE(large.failed());
    EXPECT_FALSE(large.close());

    // A stream reopens after a failure with a clean slate.
    pcxtest::TempDir dir;
    ASSERT_TRUE(large.open(dir.file("again.bin").c_str()));
    large.putBytes(bytes.data(), 10);
    EXPECT_FALSE(large.failed());
    EXPECT_TRUE(large.close());
}

}  // namespace
