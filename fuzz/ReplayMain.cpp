// A driver for builds without libFuzzer (g++, with or without sanitizers):
// runs a target over every file named on the command line, and every file
// inside every folder named (sorted, not recursive), once with each set of
// kernels the processor runs. Each input goes to the target in a heap block
// of exactly its size, as libFuzzer hands it over. Fails when no input was
// found, so that a missing corpus cannot pass.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/KernelSets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void runOne(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(stream)),
                                  std::istreambuf_iterator<char>());
    std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), input.get());
    LLVMFuzzerTestOneInput(input.get(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path named(argv[i]);
        if (std::filesystem::is_directory(named)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(named))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else if (std::filesystem::is_regular_file(named)) {
            inputs.push_back(named);
        } else {
            std::fprintf(stderr, "no such file or folder: %s\n", argv[i]);
            return 2;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s file-or-folder...  (no inputs found)\n", argv[0]);
        return 2;
    }
    const std::vector<pcx::kernels::InstructionSet> sets = pcxtest::availableKernelSets();
    for (pcx::kernels::InstructionSet set : sets) {
        for (const auto& path : inputs) {
            // An input may choose other kernels for itself: every input
            // starts from this round's.
            pcx::kernels::select(set);
            std::fprintf(stderr, "running %s (%s)\n", path.string().c_str(),
                         pcx::kernels::nameOf(set));
            runOne(path);
        }
    }
    std::fprintf(stderr, "%zu inputs passed with each of %zu sets of kernels\n", inputs.size(),
                 sets.size());
    return 0;
}
