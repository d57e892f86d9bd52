// pcx_bench_floor: the least work any reader of a PCX file must do, as a
// yardstick for the decoder, in both builds (under Wine for Windows). It
// reads the file in 64 KiB chunks, copies the bytes after the header into a
// fresh buffer of the decoded size (no run-length decoding: the copy stands
// in for it), and expands that buffer into a fresh pixel buffer, one byte
// (8-bit, or planes of 1 bit gathered into an index) or one 0x00RRGGBB word
// (three planes of 8 bits) per pixel, as the decoder's output is laid out. Both buffers are
// obtained as the decoder obtains its own (pcx::allocateLarge: malloc, with huge pages asked for on
// Linux; the C run-time's malloc, as in the DLL, on Windows), so that the two pay the same for
// fresh memory. It does not read the colour table.
//
//   pcx_bench_floor FILE REPS
//
// Prints one JSON object with the seconds of each run, the resident memory
// the first run added at its peak and how that was found
// (bench/ProcessUsage.h), and the page faults and user and system time of a
// timed run (freeing included). The pixel buffer is freed after the clock
// stops, as a host frees an image later.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/ProcessUsage.h"
#include "platform/LargeBuffer.h"

namespace {

using pcxbench::RunPeak;
using pcxbench::Usage;
using pcxbench::usageNow;

constexpr size_t kChunk = 64 * 1024;

struct Layout {
    size_t width = 0;
    size_t height = 0;
    size_t bytesPerLine = 0;
    size_t planes = 0;
    unsigned bits = 0;
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "pcx_bench_floor: %s\n", message.c_str());
    std::exit(1);
}

// Compiled for SSE2 in every x86 build, the 32-bit Windows one included
// (whose plain code has no vectors): the floor is to be the least a reader
// must spend, as fast as the decoder's own kernels are.
#if defined(__i386__) || defined(__x86_64__)
#define PCX_FLOOR_VECTORS __attribute__((target("sse2")))
#else
#define PCX_FLOOR_VECTORS
#endif

__attribute__((noinline)) PCX_FLOOR_VECTORS void interleave(const uint8_t* __restrict red,
                                                            const uint8_t* __restrict green,
                                                            const uint8_t* __restrict blue,
                                                            uint32_t* __restrict out,
                                                            size_t count) {
    // A bulk of whole groups of 16, which the compiler vectorises at -O2
    // without an epilogue of its own, then the rest.
    const size_t bulk = count & ~static_cast<size_t>(15);
    for (size_t x = 0; x < bulk; ++x)
        out[x] =
            static_cast<uint32_t>(red[x]) << 16 | static_cast<uint32_t>(green[x]) << 8 | blue[x];
    for (size_t x = bulk; x < count; ++x)
        out[x] =
            static_cast<uint32_t>(red[x]) << 16 | static_cast<uint32_t>(green[x]) << 8 | blue[x];
}

// Each byte's eight bits, most significant first, one to a byte of a word:
// the plain way to turn bits into bytes, a table lookup per source byte.
struct Spread {
    uint64_t bytes[256];
    Spread() : bytes() {
        for (unsigned value = 0; value < 256; ++value)
            for (unsigned i = 0; i < 8; ++i)
                bytes[value] |= uint64_t{(value >> (7 - i)) & 1} << (8 * i);
    }
};

// One row of indices from planes plane lines of 1 bit (plane p gives bit
// p), eight pixels from one byte of each plane at a time.
__attribute__((noinline)) PCX_FLOOR_VECTORS void gatherBitPlanes(const uint8_t* line,
                                                                 size_t bytesPerLine, size_t planes,
                                                                 uint8_t* out, size_t count) {
    static const Spread spread;
    const size_t whole = count / 8;
    for (size_t k = 0; k < whole; ++k) {
        uint64_t pixels = 0;
        for (size_t p = 0; p < planes; ++p) pixels |= spread.bytes[line[p * bytesPerLine + k]] << p;
        std::memcpy(out + 8 * k, &pixels, sizeof pixels);
    }
    for (size_t x = whole * 8; x < count; ++x) {
        unsigned value = 0;
        for (size_t p = 0; p < planes; ++p)
            value |= ((line[p * bytesPerLine + x / 8] >> (7 - x % 8)) & 1u) << p;
        out[x] = static_cast<uint8_t>(value);
    }
}

// One floor decode; returns the pixel buffer (malloc).
uint8_t* floorDecode(const char* fileName) {
    std::FILE* stream = std::fopen(fileName, "rb");
    if (!stream) fail(std::string("cannot open ") + fileName);
    std::setvbuf(stream, nullptr, _IONBF, 0);
    uint8_t header[128];
    if (std::fread(header, 1, sizeof header, stream) != sizeof header) fail("short header");
    Layout layout;
    layout.width =
        static_cast<size_t>((header[8] | header[9] << 8) - (header[4] | header[5] << 8) + 1);
    layout.height =
        static_cast<size_t>((header[10] | header[11] << 8) - (header[6] | header[7] << 8) + 1);
    layout.planes = header[65];
    layout.bits = header[3];
    layout.bytesPerLine = static_cast<size_t>(header[66] | header[67] << 8);
    const size_t rawSize = layout.bytesPerLine * layout.planes * layout.height;

    uint8_t* raw = static_cast<uint8_t*>(pcx::allocateLarge(rawSize));
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunk]);
    size_t filled = 0;
    for (;;) {
        const size_t got = std::fread(chunk.get(), 1, kChunk, stream);
        if (got == 0) break;
        const size_t take = std::min(got, rawSize - filled);
        std::memcpy(raw + filled, chunk.get(), take);
        filled += take;
    }
    std::fclose(stream);

    uint8_t* pixels;
    if (layout.bits == 1 && layout.planes > 1) {
        pixels = static_cast<uint8_t*>(pcx::allocateLarge(layout.width * layout.height));
        for (size_t row = 0; row < layout.height; ++row)
            gatherBitPlanes(raw + row * layout.planes * layout.bytesPerLine, layout.bytesPerLine,
                            layout.planes, pixels + row * layout.width, layout.width);
    } else if (layout.planes == 3) {
        pixels = static_cast<uint8_t*>(pcx::allocateLarge(layout.width * 4 * layout.height));
        for (size_t row = 0; row < layout.height; ++row) {
            const uint8_t* red = raw + row * 3 * layout.bytesPerLine;
            interleave(red, red + layout.bytesPerLine, red + 2 * layout.bytesPerLine,
                       reinterpret_cast<uint32_t*>(pixels + row * layout.width * 4), layout.width);
        }
    } else {
        pixels = static_cast<uint8_t*>(pcx::allocateLarge(layout.width * layout.height));
        for (size_t row = 0; row < layout.height; ++row)
            std::memcpy(pixels + row * layout.width, raw + row * layout.bytesPerLine, layout.width);
    }
    std::free(raw);
    return pixels;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) fail("usage: pcx_bench_floor FILE REPS");
    const char* file = argv[1];
    const int reps = std::atoi(argv[2]);
    if (reps < 1) fail("REPS must be at least 1");

    // The first run, before anything else large (see RunPeak).
    RunPeak peak;
    std::free(floorDecode(file));
    const long peakKib = peak.addedKib();

    std::vector<double> times;
    const Usage usageBefore = usageNow();
    for (int i = 0; i < reps; ++i) {
        const auto start = std::chrono::steady_clock::now();
        uint8_t* pixels = floorDecode(file);
        const auto stop = std::chrono::steady_clock::now();
        std::free(pixels);
        times.push_back(std::chrono::duration<double>(stop - start).count());
    }
    const Usage usageAfter = usageNow();
    const long faultsPerRun = (usageAfter.faults - usageBefore.faults) / reps;
    const double userPerRun = (usageAfter.userSeconds - usageBefore.userSeconds) / reps;
    const double systemPerRun = (usageAfter.systemSeconds - usageBefore.systemSeconds) / reps;
    std::printf(
        "{\"op\": \"floor\", \"peak_kib\": %ld, \"peak_method\": \"%s\", "
        "\"faults_per_run\": %ld, \"user_per_run\": %.6f, \"system_per_run\": %.6f, "
        "\"times\": [",
        peakKib, peak.method(), faultsPerRun, userPerRun, systemPerRun);
    for (size_t i = 0; i < times.size(); ++i) std::printf("%s%.9f", i ? ", " : "", times[i]);
    std::printf("]}\n");
    return 0;
}
