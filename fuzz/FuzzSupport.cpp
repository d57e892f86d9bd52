// What the fuzz targets share (see FuzzSupport.h).
#include "FuzzSupport.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kernels/Kernels.h"
#include "support/KernelSets.h"
#include "support/TestEnv.h"

namespace pcxfuzz {

namespace {

std::atomic<bool> watching{false};
std::atomic<int> fillByte{0};
std::atomic<uint64_t> calls{0};
std::atomic<uint64_t> totalBytes{0};
std::atomic<uint64_t> largestBytes{0};

// Counts a request and, for blocks whose contents are not defined, fills
// them with the watch's garbage.
void noteAllocation(void* block, size_t size, bool fill) {
    if (!watching.load(std::memory_order_relaxed)) return;
    calls.fetch_add(1, std::memory_order_relaxed);
    totalBytes.fetch_add(size, std::memory_order_relaxed);
    if (size > largestBytes.load(std::memory_order_relaxed))
        largestBytes.store(size, std::memory_order_relaxed);
    if (fill && block != nullptr)
        std::memset(block, fillByte.load(std::memory_order_relaxed), size);
}

std::vector<std::string>& scratchPaths() {
    static std::vector<std::string> paths;
    return paths;
}

void removeScratchFiles() {
    for (const std::string& path : scratchPaths()) std::remove(path.c_str());
}

}  // namespace

void useKernelsFor(uint8_t choice) {
    if (choice == 0) return;
    static const std::vector<pcx::kernels::InstructionSet> sets = pcxtest::availableKernelSets();
    pcx::kernels::select(sets[(choice - 1u) % sets.size()]);
}

void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "\npcx fuzz check failed at %s:%d\n  %s\n", file, line, what.c_str());
    std::fflush(stderr);
    std::abort();
}

ScratchFile::ScratchFile(const char* name) {
    const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr;
    if (folder == nullptr) folder = std::getenv("TMPDIR");
    if (folder == nullptr || folder[0] == '\0') folder = "/tmp";
    path_ = std::string(folder) + "/pcx-fuzz-" + std::to_string(getpid()) + "-" + name;
    if (scratchPaths().empty()) std::atexit(removeScratchFiles);
    scratchPaths().push_back(path_);
}

void ScratchFile::write(const uint8_t* data, size_t size) const {
    FUZZ_CHECK(pcxtest::writeFile(path_, std::vector<uint8_t>(data, data + size)), path_);
}

std::vector<uint8_t> ScratchFile::read() const {
    bool ok = false;
    std::vector<uint8_t> bytes = pcxtest::readFile(path_, &ok);
    FUZZ_CHECK(ok, path_);
    return bytes;
}

AllocationWatch::AllocationWatch(uint8_t fill) {
    fillByte.store(fill);
    calls.store(0);
    totalBytes.store(0);
    largestBytes.store(0);
    watching.store(true);
}

AllocationWatch::~AllocationWatch() {
    watching.store(false);
}

AllocationStats AllocationWatch::stats() const {
    AllocationStats stats;
    stats.calls = calls.load();
    stats.totalBytes = totalBytes.load();
    stats.largestBytes = largestBytes.load();
    return stats;
}

uint8_t nextFill() {
    static const uint8_t kFills[] = {0xA5, 0x5A, 0xFF, 0x3C, 0xC3, 0x01};
    static size_t next = 0;
    next = (next + 1) % sizeof kFills;
    return kFills[next];
}

void checkAllocationBound(const AllocationStats& stats, uint64_t pictureBytes, const char* call) {
    const std::string figures = std::string(call) + ": " + std::to_string(stats.calls) +
                                " allocations, " + std::to_string(stats.totalBytes) +
                                " bytes in all, the largest " + std::to_string(stats.largestBytes) +
                                "; the picture needs " + std::to_string(pictureBytes);
    FUZZ_CHECK(stats.totalBytes <= pictureBytes + kWorkingMemoryBytes, figures);
    FUZZ_CHECK(stats.largestBytes <= std::max<uint64_t>(pictureBytes, kWorkingMemoryBytes),
               figures);
}

}  // namespace pcxfuzz

// The linker's --wrap sends the fuzz program's own calls (the module's units
// are linked into it) here; __real_ names the library's function. Shared
// libraries (the C++ run-time's own allocations) are not redirected.
extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
void* __real__Znwm(size_t size);
void* __real__Znam(size_t size);
void* __real__ZnwmRKSt9nothrow_t(size_t size, const std::nothrow_t& tag);
void* __real__ZnamRKSt9nothrow_t(size_t size, const std::nothrow_t& tag);

void* __wrap_malloc(size_t size) {
    void* block = __real_malloc(size);
    pcxfuzz::noteAllocation(block, size, true);
    return block;
}

void* __wrap_calloc(size_t count, size_t size) {
    void* block = __real_calloc(count, size);
    // calloc refuses products that overflow; the count is then moot.
    pcxfuzz::noteAllocation(block, block != nullptr ? count * size : 0, false);
    return block;
}

void* __wrap_realloc(void* block, size_t size) {
    // The new part of a grown block is undefined, but where it starts is not
    // known here: count only.
    void* grown = __real_realloc(block, size);
    pcxfuzz::noteAllocation(grown, size, false);
    return grown;
}

void* __wrap__Znwm(size_t size) {
    void* block = __real__Znwm(size);
    pcxfuzz::noteAllocation(block, size, true);
    return block;
}

void* __wrap__Znam(size_t size) {
    void* block = __real__Znam(size);
    pcxfuzz::noteAllocation(block, size, true);
    return block;
}

void* __wrap__ZnwmRKSt9nothrow_t(size_t size, const std::nothrow_t& tag) {
    void* block = __real__ZnwmRKSt9nothrow_t(size, tag);
    pcxfuzz::noteAllocation(block, size, true);
    return block;
}

void* __wrap__ZnamRKSt9nothrow_t(size_t size, const std::nothrow_t& tag) {
    void* block = __real__ZnamRKSt9nothrow_t(size, tag);
    pcxfuzz::noteAllocation(block, size, true);
    return block;
}
}
