// pcx_bench: Google Benchmark suite of the import and export paths on
// 4096 x 4096 pictures, 8-bit, 24-bit and 16 colours in four planes of 1 bit,
// with noise-like and flat content, with each set of kernels the processor
// runs (Decode/noise8/ssse3, ...). The 16-colour pictures are written as the
// 8-bit pictures they decode to.
//
// The inputs come from scripts/bench-files.py (the CMake target bench_data
// makes them in the build folder); $PCX_BENCH_DATA names another folder.
//
//   cmake --build --preset native --target bench_data
//   build/native/pcx_bench [--benchmark_filter=Decode] [--benchmark_repetitions=9]
//
// Decodes allocate tens of megabytes each time; whether glibc hands back
// fresh pages (whose first touch the kernel must fill) or reuses its heap
// depends on its moving thresholds. For figures comparable with make bench,
// which fixes that, run with GLIBC_TUNABLES=glibc.malloc.mmap_threshold=131072.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Dpcx.h"
#include "Export.h"
#include "Import.h"
#include "support/KernelSets.h"
#include "support/TestEnv.h"

#ifndef PCX_BENCH_DATA_DIR
#error "PCX_BENCH_DATA_DIR names the default folder of the benchmark inputs"
#endif

namespace {

const char* const kPictures[] = {"noise8", "noise24", "flat8", "flat24", "noise16", "flat16"};

std::string dataDir() {
    if (const char* overridden = std::getenv("PCX_BENCH_DATA")) return overridden;
    return PCX_BENCH_DATA_DIR;
}

std::string inputPath(const std::string& name) {
    return dataDir() + "/" + name + ".pcx";
}

// Bytes of the decoded scanlines, the work a decode does whatever its output
// (0 when the header cannot be read).
int64_t rawBytes(const std::string& path) {
    uint8_t bytes[pcx::kPcxHeaderSize];
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return 0;
    const bool whole = std::fread(bytes, 1, sizeof bytes, file) == sizeof bytes;
    std::fclose(file);
    if (!whole) return 0;
    const pcx::PcxHeader header = pcx::parsePcxHeader(bytes);
    return int64_t{header.bytesPerLine} * header.nPlanes *
           (header.windowYMax - header.windowYMin + 1);
}

bool inputMissing(benchmark::State& state, const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file) {
        std::fclose(file);
        return false;
    }
    state.SkipWithError(("missing " + path + ": build the target bench_data").c_str());
    return true;
}

void decode(benchmark::State& state, const std::string& name) {
    const std::string path = inputPath(name);
    if (inputMissing(state, path)) return;
    for (auto _ : state) {
        PluginImage* image = nullptr;
        IMPORT_CreateImage(path.c_str(), &image);
        if (!image) {
            state.SkipWithError("decode failed");
            break;
        }
        state.PauseTiming();
        IMPORT_FreeImage(image);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * rawBytes(path));
}

void preview(benchmark::State& state, const std::string& name) {
    const std::string path = inputPath(name);
    if (inputMissing(state, path)) return;
    for (auto _ : state) {
        PluginImage* image = nullptr;
        IMPORT_CreatePreviewImage(path.c_str(), 64, 64, &image);
        if (!image) {
            state.SkipWithError("preview failed");
            break;
        }
        IMPORT_FreeImage(image);
    }
    state.SetBytesProcessed(state.iterations() * rawBytes(path));
}

void header(benchmark::State& state, const std::string& name) {
    const std::string path = inputPath(name);
    if (inputMissing(state, path)) return;
    for (auto _ : state) benchmark::DoNotOptimize(IMPORT_ValidFileCheck(path.c_str()));
}

int32_t PCX_CALL keepGoing(int32_t /*row*/) {
    return 0;
}

void write(benchmark::State& state, const std::string& name) {
    const std::string path = inputPath(name);
    if (inputMissing(state, path)) return;
    PluginImage* image = nullptr;
    IMPORT_CreateImage(path.c_str(), &image);
    if (!image) {
        state.SkipWithError("decode of the source picture failed");
        return;
    }
    const std::string out = dataDir() + "/bench-out-" + name + ".pcx";
    for (auto _ : state) {
        // A new file each time, as saving a picture mostly does.
        state.PauseTiming();
        std::remove(out.c_str());
        state.ResumeTiming();
        if (EXPORT_WriteToFile(out.c_str(), image, keepGoing) != 1) {
            state.SkipWithError("write failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * int64_t{image->stride} * image->height);
    IMPORT_FreeImage(image);
    std::remove(out.c_str());
}

// The run-length decoder alone, from memory into memory.
void runLength(benchmark::State& state, const std::string& name) {
    const std::string path = inputPath(name);
    if (inputMissing(state, path)) return;
    const std::vector<uint8_t> file = pcxtest::readFile(path);
    std::vector<uint8_t> raw(static_cast<size_t>(rawBytes(path)));
    for (auto _ : state) {
        const pcx::RunLengthResult result =
            pcx::decodeRunLength(file.data() + pcx::kPcxHeaderSize,
                                 file.size() - pcx::kPcxHeaderSize, raw.data(), raw.size());
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(raw.size()));
}

void registerAll() {
    struct Family {
        const char* name;
        void (*run)(benchmark::State&, const std::string&);
        benchmark::TimeUnit unit;
    };
    const Family families[] = {{"Decode", decode, benchmark::kMillisecond},
                               {"Preview", preview, benchmark::kMillisecond},
                               {"Header", header, benchmark::kMicrosecond},
                               {"Write", write, benchmark::kMillisecond},
                               {"RunLength", runLength, benchmark::kMillisecond}};
    for (const Family& family : families)
        for (const char* picture : kPictures)
            for (pcx::kernels::InstructionSet set : pcxtest::availableKernelSets())
                benchmark::RegisterBenchmark(
                    (std::string(family.name) + "/" + picture + "/" + pcx::kernels::nameOf(set))
                        .c_str(),
                    [family, picture, set](benchmark::State& state) {
                        const pcxtest::ScopedKernelSet kernels(set);
                        family.run(state, picture);
                    })
                    ->Unit(family.unit)
                    ->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
