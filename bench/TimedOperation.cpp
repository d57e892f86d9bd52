#include "bench/TimedOperation.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/ProcessUsage.h"

namespace pcxbench {

void fail(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    std::exit(1);
}

namespace {

[[noreturn]] void fail(const std::string& message) {
    pcxbench::fail("pcx_bench_driver", message);
}

// The peak of the run being measured, when it is to be sampled from the
// progress callback (which carries no context of its own).
RunPeak* gSampledPeak = nullptr;

int32_t PCX_CALL keepGoing(int32_t /*row*/) {
    if (gSampledPeak) gSampledPeak->sample();
    return 0;
}

// KiB of the decoded scanlines the file's header describes (raw), or 0 when
// the header cannot be read.
long rawKibOf(const char* file) {
    unsigned char header[128];
    std::FILE* stream = std::fopen(file, "rb");
    if (!stream) return 0;
    const bool whole = std::fread(header, 1, sizeof header, stream) == sizeof header;
    std::fclose(stream);
    if (!whole) return 0;
    const int64_t yMin = header[6] | header[7] << 8;
    const int64_t yMax = header[10] | header[11] << 8;
    const int64_t bytesPerLine = header[66] | header[67] << 8;
    const int64_t planes = header[65];
    const int64_t height = yMax - yMin + 1;
    return height > 0 ? static_cast<long>(bytesPerLine * planes * height / 1024) : 0;
}

long pixelKibOf(const PluginImage* image) {
    if (!image) return 0;
    const int64_t stride = image->stride < 0 ? -int64_t{image->stride} : image->stride;
    return static_cast<long>(stride * image->height / 1024);
}

}  // namespace

void timeOperation(const hostside::PluginExports& pcx, const std::string& op, const char* file,
                   int reps, const char* outFile) {
    if (op != "decode" && op != "preview" && op != "header" && op != "write")
        fail("unknown operation " + op);
    if (op == "write" && !outFile) fail("write needs an output file");
    if (reps < 1) fail("REPS must be at least 1");

    // The picture a write starts from. Decoding it raises the process's peak
    // above what the write adds: on Windows the write's peak is then sampled
    // at its progress calls (see RunPeak).
    PluginImage* source = nullptr;
    if (op == "write") {
        pcx.IMPORT_CreateImage(file, &source);
        if (!source) fail(std::string("cannot decode ") + file);
    }

    long pixelKib = pixelKibOf(source);
    // One run; keep, when given, receives the KiB of the image it made.
    auto runOnce = [&](long* keep) {
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
        } else {
            ok = pcx.EXPORT_WriteToFile(outFile, source, keepGoing) == 1;
        }
        const auto stop = std::chrono::steady_clock::now();
        if (!ok) fail(op + " failed on " + file);
        if (keep && image) *keep = pixelKibOf(image);
        if (image) pcx.IMPORT_FreeImage(image);
        return std::chrono::duration<double>(stop - start).count();
    };

    // The first run, before anything else large, for its peak memory (a
    // high-water mark, so freeing the image afterwards does not lower it).
    RunPeak peak;
    if (peak.wantsSamples() && op == "write") gSampledPeak = &peak;
    runOnce(op == "write" ? nullptr : &pixelKib);
    gSampledPeak = nullptr;
    const long peakKib = peak.addedKib();

    std::vector<double> times;
    times.reserve(static_cast<size_t>(reps));
    const Usage usageBefore = usageNow();
    for (int i = 0; i < reps; ++i) times.push_back(runOnce(nullptr));
    const Usage usageAfter = usageNow();
    const long faultsPerRun = (usageAfter.faults - usageBefore.faults) / reps;
    const double userPerRun = (usageAfter.userSeconds - usageBefore.userSeconds) / reps;
    const double systemPerRun = (usageAfter.systemSeconds - usageBefore.systemSeconds) / reps;
    if (source) pcx.IMPORT_FreeImage(source);

    std::printf(
        "{\"op\": \"%s\", \"peak_kib\": %ld, \"peak_method\": \"%s\", \"raw_kib\": %ld, "
        "\"pixels_kib\": %ld, \"faults_per_run\": %ld, \"user_per_run\": %.6f, "
        "\"system_per_run\": %.6f, \"times\": [",
        op.c_str(), peakKib, peak.method(), rawKibOf(file), pixelKib, faultsPerRun, userPerRun,
        systemPerRun);
    for (size_t i = 0; i < times.size(); ++i) std::printf("%s%.9f", i ? ", " : "", times[i]);
    std::printf("]}\n");
    std::fflush(stdout);
}

}  // namespace pcxbench
