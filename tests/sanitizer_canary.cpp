// Faults that the sanitize build must stop, one per argument: each proves
// that a sanitizer is live in this build, so that a clean sanitizer run
// means something. The overflow happens inside the module's own code.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Dpcx.h"

namespace {

void* volatile kept;

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    if (std::strcmp(argv[1], "overflow") == 0) {
        // Three literal codes into a two-byte block that claims three bytes:
        // the run-length decoder's own store lands one byte past the block.
        const uint8_t codes[] = {0x01, 0x02, 0x03};
        std::unique_ptr<uint8_t[]> out(new uint8_t[2]);
        pcx::decodeRunLength(codes, sizeof codes, out.get(), 3);
    } else if (std::strcmp(argv[1], "undefined") == 0) {
        volatile int large = INT_MAX;
        const int sum = large + argc;  // signed overflow: undefined
        std::fprintf(stderr, "went on after undefined behaviour: %d\n", sum);
    } else if (std::strcmp(argv[1], "leak") == 0) {
        kept = std::malloc(4096);
        kept = nullptr;
    } else {
        return 2;
    }
    return 0;
}
