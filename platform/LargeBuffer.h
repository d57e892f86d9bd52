// Buffers from malloc: their owner, and the large ones that a decode fills
// once (the pixel buffer). The module allocates only through malloc and its
// kin, never through operator new, so that a failed allocation is a null
// pointer to check rather than an exception.
#ifndef PCX_PLATFORM_LARGE_BUFFER_H
#define PCX_PLATFORM_LARGE_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace pcx {

// Releases a block from malloc, for std::unique_ptr.
struct FreeMemory {
    void operator()(void* block) const { std::free(block); }
};

// A block of size bytes from malloc (free releases it), or null. A large
// block is asked to be backed by huge pages where Linux offers them on
// request: the block is written whole once, and on a virtual machine the
// first touch of each 4 KiB page can cost more kernel time than the work
// done on the bytes in it. The advice covers only the 2 MiB-aligned interior
// of the block and changes nothing of its contents or lifetime; elsewhere
// this is plain malloc.
inline void* allocateLarge(size_t size) {
    void* block = std::malloc(size);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr size_t kHugePage = 2 * 1024 * 1024;
    if (block != nullptr && size >= 2 * kHugePage) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(block);
        const uintptr_t first = (start + kHugePage - 1) & ~static_cast<uintptr_t>(kHugePage - 1);
        const uintptr_t last = (start + size) & ~static_cast<uintptr_t>(kHugePage - 1);
        if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#endif
    return block;
}

}  // namespace pcx

#endif  // PCX_PLATFORM_LARGE_BUFFER_H
