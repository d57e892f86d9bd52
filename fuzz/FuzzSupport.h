// What the fuzz targets share: a failed check that every driver reports, a
// per-process scratch file for the exports that take file names, and a
// watch over the module's allocations.
#ifndef PCX_FUZZ_SUPPORT_H
#define PCX_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pcxfuzz {

// The largest picture a target hands to the module, counting its decoded
// scanlines and its output pixels together. Larger pictures are sound (a
// 40-byte file may describe 2 GiB of pixels, and the module decodes it), but
// their cost grows with their size while they reach no code that a picture
// of a megabyte does not (a 4 MiB picture takes a quarter of a second with
// the reference beside it), so the fuzzer would spend its time filling
// memory instead of exploring. Pictures whose buffers do not fit 32 bits are
// always handed over: the module must refuse them at once.
constexpr int64_t kMaxFuzzedPictureBytes = 1 << 20;

// Memory a call may take beyond the picture's own buffers: the read block,
// the report, the output buffer of a write, the stream. A missing bound
// shows up as far more than this.
constexpr uint64_t kWorkingMemoryBytes = 2 << 20;

// Prints the failed check and aborts, which every fuzz driver reports as a
// crash with the input that caused it.
[[noreturn]] void fail(const char* file, int line, const std::string& what);

#define FUZZ_CHECK(condition, what)                                                       \
    do {                                                                                  \
        if (!(condition))                                                                 \
            ::pcxfuzz::fail(__FILE__, __LINE__, std::string(#condition) + ": " + (what)); \
    } while (0)

// A file of this process's own, in memory (/dev/shm) when the machine has
// it, removed when the process ends normally. Two fuzzers never share one.
class ScratchFile {
public:
    explicit ScratchFile(const char* name);
    const char* path() const { return path_.c_str(); }
    void write(const uint8_t* data, size_t size) const;
    std::vector<uint8_t> read() const;

private:
    std::string path_;
};

// Allocation figures while an AllocationWatch was alive, for calls that the
// module's units make (malloc, calloc, realloc and operator new, through
// the linker's --wrap).
struct AllocationStats {
    uint64_t calls = 0;
    uint64_t totalBytes = 0;    // every byte asked for, frees not subtracted
    uint64_t largestBytes = 0;  // the largest single request
};

// While one is alive, every block the module gets from malloc, realloc or
// operator new arrives filled with fill (calloc still gives zeros): output
// that depends on bytes the module never wrote then depends on fill, and a
// target that varies fill sees it change. The figures count every request.
class AllocationWatch {
public:
    explicit AllocationWatch(uint8_t fill);
    ~AllocationWatch();
    AllocationWatch(const AllocationWatch&) = delete;
    AllocationWatch& operator=(const AllocationWatch&) = delete;
    AllocationStats stats() const;
};

// Garbage bytes for successive watches: never 0, never the same twice in a
// row.
uint8_t nextFill();

// Checks that one call allocated no more than a picture of pictureBytes
// needs (0 for a call that must refuse, or needs no picture buffers).
void checkAllocationBound(const AllocationStats& stats, uint64_t pictureBytes, const char* call);

// Runs what follows with the kernels of one instruction set: choice 0
// leaves the set in use alone (libFuzzer's runs take the module's own
// choice, and the replay driver runs every input with each set in turn);
// any other value picks one of the sets this processor runs.
void useKernelsFor(uint8_t choice);

// Little-endian reads from a byte string that run out gracefully: past the
// end every byte reads as 0.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(u8()) << (8 * i);
        return value;
    }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    const uint8_t* rest() const { return data_ + at_; }
    size_t restSize() const { return size_ - at_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace pcxfuzz

#endif  // PCX_FUZZ_SUPPORT_H
