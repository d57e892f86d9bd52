// What the benchmark programs report about their own process, in both
// builds: resident memory and its high-water mark, page faults and processor
// time. Linux reads /proc/self/status and getrusage; Windows asks
// GetProcessMemoryInfo and GetProcessTimes.
//
// Resident memory on Windows is the working set, and its high-water mark
// PeakWorkingSetSize: the same quantity as Linux's VmRSS and VmHWM, so the
// two builds' figures compare. PeakPagefileUsage (the peak of committed
// private memory) would do on Windows too, but Wine does not keep it: it
// reports the current commit charge there, while PeakWorkingSetSize comes
// from the Linux kernel's own VmHWM of the Wine process.
#ifndef PCX_BENCH_PROCESS_USAGE_H
#define PCX_BENCH_PROCESS_USAGE_H

#if defined(_WIN32)
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#else
#include <sys/resource.h>

#include <cstring>
#include <fstream>
#include <string>
#endif

#include <cstdio>
#include <cstdlib>

namespace pcxbench {

// Resident memory now and the process's high-water mark of it, in KiB (-1
// when unknown).
struct Memory {
    long residentKib = -1;
    long peakKib = -1;
};

struct Usage {
    long faults = 0;  // minor page faults on Linux, every page fault on Windows
    double userSeconds = 0;
    double systemSeconds = 0;
};

#if defined(_WIN32)

inline Memory memoryNow() {
    PROCESS_MEMORY_COUNTERS counters;
    counters.cb = sizeof counters;
    Memory memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        memory.residentKib = static_cast<long>(counters.WorkingSetSize / 1024);
        memory.peakKib = static_cast<long>(counters.PeakWorkingSetSize / 1024);
    }
    return memory;
}

// Windows keeps the high-water mark for the life of the process.
inline bool resetPeak() {
    return false;
}

inline double fileTimeSeconds(const FILETIME& time) {
    return ((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime) *
           1e-7;
}

inline Usage usageNow() {
    Usage usage;
    PROCESS_MEMORY_COUNTERS counters;
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        usage.faults = static_cast<long>(counters.PageFaultCount);
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        usage.userSeconds = fileTimeSeconds(user);
        usage.systemSeconds = fileTimeSeconds(kernel);
    }
    return usage;
}

#else

// One field of /proc/self/status in KiB (VmRSS, VmHWM, ...), or -1.
inline long statusKib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::strtol(line.c_str() + length + 1, nullptr, 10);
    return -1;
}

inline Memory memoryNow() {
    Memory memory;
    memory.residentKib = statusKib("VmRSS");
    memory.peakKib = statusKib("VmHWM");
    return memory;
}

// Sets the process's high-water mark of resident memory (VmHWM) back to what
// is resident now (Linux 4.0 and later). False when the kernel refuses.
inline bool resetPeak() {
    std::FILE* file = std::fopen("/proc/self/clear_refs", "w");
    if (!file) return false;
    const bool done = std::fputs("5", file) >= 0;
    return std::fclose(file) == 0 && done;
}

inline Usage usageNow() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    Usage result;
    result.faults = usage.ru_minflt;
    result.userSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6;
    result.systemSeconds = usage.ru_stime.tv_sec + usage.ru_stime.tv_usec * 1e-6;
    return result;
}

#endif

// The memory one run adds at its peak, over the resident size before it.
// Made just before the run, read just after it.
//
// Where the high-water mark can be reset (Linux), it is, and the mark after
// the run is the run's own. Where it cannot (Windows), the mark after the
// run is still the run's own if the run raised it: then the run's peak
// stood above everything before. A program therefore makes its first run
// before anything else large; a run that stays below an earlier peak (a
// write, after decoding its source) can only be sampled from inside, at the
// points it calls back.
class RunPeak {
public:
    RunPeak() : before_(memoryNow()), reset_(resetPeak()) {}

    // True when the mark does not tell this run's peak by itself, so that
    // samples from inside the run are worth taking.
    bool wantsSamples() const { return !reset_; }

    // Notes the resident size now, from a point inside the run.
    void sample() {
        const long resident = memoryNow().residentKib;
        if (resident > sampledKib_) sampledKib_ = resident;
    }

    // After the run: the KiB it added at its peak, or -1 when unknown.
    // method() then says how it was found.
    long addedKib() {
        const Memory after = memoryNow();
        if (before_.residentKib < 0 || after.peakKib < 0) return finish("none", -1);
        if (reset_) return finish("reset", after.peakKib);
        if (after.peakKib > before_.peakKib) return finish("first", after.peakKib);
        if (sampledKib_ >= 0) return finish("sampled", sampledKib_);
        return finish("none", -1);
    }

    // "reset": the high-water mark after a reset; "first": the mark this run
    // raised; "sampled": the largest resident size seen at a call back;
    // "none": unknown.
    const char* method() const { return method_; }

private:
    long finish(const char* method, long peakKib) {
        method_ = method;
        if (peakKib < 0) return -1;
        const long added = peakKib - before_.residentKib;
        return added > 0 ? added : 0;
    }

    Memory before_;
    bool reset_;
    long sampledKib_ = -1;
    const char* method_ = "none";
};

}  // namespace pcxbench

#endif  // PCX_BENCH_PROCESS_USAGE_H
