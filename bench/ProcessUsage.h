// What the benchmark programs report about their own process (Linux): peak
// resident memory, minor page faults and processor time.
#ifndef PCX_BENCH_PROCESS_USAGE_H
#define PCX_BENCH_PROCESS_USAGE_H

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace pcxbench {

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

// Sets the process's high-water mark of resident memory (VmHWM) back to what
// is resident now (Linux 4.0 and later). False when the kernel refuses.
inline bool resetPeak() {
    std::FILE* file = std::fopen("/proc/self/clear_refs", "w");
    if (!file) return false;
    const bool done = std::fputs("5", file) >= 0;
    return std::fclose(file) == 0 && done;
}

struct Usage {
    long minorFaults;
    double userSeconds;
    double systemSeconds;
};

inline Usage usageNow() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return {usage.ru_minflt, usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6,
            usage.ru_stime.tv_sec + usage.ru_stime.tv_usec * 1e-6};
}

}  // namespace pcxbench

#endif  // PCX_BENCH_PROCESS_USAGE_H
