// pcx_bench_driver: times one operation of Pcx.opx as a host sees it. The
// module is loaded by path and reached only through its exports; the
// operation runs repeatedly in this one process, as in a host that opens or
// saves many files, and each run is timed on its own.
//
//   pcx_bench_driver OP FILE REPS [OUTFILE]
//
//   decode   IMPORT_CreateImage on FILE (the image is freed after the clock)
//   preview  IMPORT_CreatePreviewImage on FILE into a 64 x 64 box
//   header   IMPORT_ValidFileCheck on FILE (the header alone)
//   write    EXPORT_WriteToFile of FILE's picture (decoded once, beforehand)
//            to OUTFILE, with a progress callback that never stops; OUTFILE
//            is removed before each run, outside the clock
//
// Prints one JSON object: the seconds of each run, the resident memory the
// first run added at its peak (VmHWM after a reset, less VmRSS before), the
// sizes of the decoded picture's raw and pixel buffers, and the minor page
// faults and the user and system time of a timed run (freeing included):
// on a virtual machine, first touches of fresh memory can cost as much as
// the decoding itself.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/ProcessUsage.h"
#include "support/ModuleLoader.h"

namespace {

using pcxbench::resetPeak;
using pcxbench::statusKib;
using pcxbench::Usage;
using pcxbench::usageNow;

int32_t PCX_CALL keepGoing(int32_t /*row*/) {
    return 0;
}

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "pcx_bench_driver: %s\n", message.c_str());
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) fail("usage: pcx_bench_driver decode|preview|header|write FILE REPS [OUTFILE]");
    const std::string op = argv[1];
    const char* file = argv[2];
    const int reps = std::atoi(argv[3]);
    const char* outFile = argc > 4 ? argv[4] : nullptr;
    if (reps < 1) fail("REPS must be at least 1");
    if (op == "write" && !outFile) fail("write needs OUTFILE");

    pcxtest::LoadedModule module(pcxtest::modulePath());
    if (!module.loaded()) fail(module.error());
    const pcxtest::PluginExports& pcx = module.exports();

    // The picture the write starts from, and the buffer sizes reported.
    PluginImage* source = nullptr;
    pcx.IMPORT_CreateImage(file, &source);
    if (!source) fail(std::string("cannot decode ") + file);
    const long pixelKib = static_cast<long>(int64_t{source->stride} * source->height / 1024);
    long rawKib = 0;
    {
        unsigned char header[128];
        std::FILE* stream = std::fopen(file, "rb");
        if (stream && std::fread(header, 1, sizeof header, stream) == sizeof header) {
            const long bytesPerLine = header[66] | header[67] << 8;
            const long planes = header[65];
            rawKib = bytesPerLine * planes * source->height / 1024;
        }
        if (stream) std::fclose(stream);
    }
    if (op != "write") {
        pcx.IMPORT_FreeImage(source);
        source = nullptr;
    }

    auto runOnce = [&]() {
        PluginImage* image = nullptr;
        // Each write makes a new file, as saving a picture mostly does:
        // replacing the last one would add the file system's cost of
        // releasing its blocks, which is no part of the encoder.
        if (op == "write") std::remove(outFile);
        const auto start = std::chrono::steady_clock::now();
        bool ok = true;
        if (op == "decode") {
            pcx.IMPORT_CreateImage(file, &image);
            ok = image != nullptr;
        } else if (op == "preview") {
            pcx.IMPORT_CreatePreviewImage(file, 64, 64, &image);
            ok = image != nullptr;
        } else if (op == "header") {
            ok = pcx.IMPORT_ValidFileCheck(file) == 1;
        } else if (op == "write") {
            ok = pcx.EXPORT_WriteToFile(outFile, source, keepGoing) == 1;
        } else {
            fail("unknown operation " + op);
        }
        const auto stop = std::chrono::steady_clock::now();
        if (!ok) fail(op + " failed on " + file);
        if (image) pcx.IMPORT_FreeImage(image);
        return std::chrono::duration<double>(stop - start).count();
    };

    // The first run, alone, for its peak memory (a high-water mark, so
    // freeing the image afterwards does not lower it); it also warms the
    // caches.
    long peakKib = -1;
    const long before = statusKib("VmRSS");
    const bool peakReset = resetPeak();
    runOnce();
    if (peakReset) peakKib = statusKib("VmHWM") - before;

    std::vector<double> times;
    times.reserve(static_cast<size_t>(reps));
    const Usage usageBefore = usageNow();
    for (int i = 0; i < reps; ++i) times.push_back(runOnce());
    const Usage usageAfter = usageNow();
    const long faultsPerRun = (usageAfter.minorFaults - usageBefore.minorFaults) / reps;
    const double userPerRun = (usageAfter.userSeconds - usageBefore.userSeconds) / reps;
    const double systemPerRun = (usageAfter.systemSeconds - usageBefore.systemSeconds) / reps;
    if (source) pcx.IMPORT_FreeImage(source);

    std::printf(
        "{\"op\": \"%s\", \"peak_kib\": %ld, \"raw_kib\": %ld, \"pixels_kib\": %ld, "
        "\"faults_per_run\": %ld, \"user_per_run\": %.6f, \"system_per_run\": %.6f, "
        "\"times\": [",
        op.c_str(), peakKib, rawKib, pixelKib, faultsPerRun, userPerRun, systemPerRun);
    for (size_t i = 0; i < times.size(); ++i) std::printf("%s%.9f", i ? ", " : "", times[i]);
    std::printf("]}\n");
    return 0;
}
