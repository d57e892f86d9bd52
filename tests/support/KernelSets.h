// The instruction sets whose kernels this processor runs, for tests and fuzz
// drivers that link the module's units and run their checks with each set.
#ifndef PCX_TESTS_KERNEL_SETS_H
#define PCX_TESTS_KERNEL_SETS_H

#include <vector>

#include "kernels/Kernels.h"

namespace pcxtest {

inline std::vector<pcx::kernels::InstructionSet> availableKernelSets() {
    std::vector<pcx::kernels::InstructionSet> sets;
    for (pcx::kernels::InstructionSet set : pcx::kernels::kAllSets)
        if (pcx::kernels::available(set)) sets.push_back(set);
    return sets;
}

// Selects a set for its lifetime (for a loop over the sets inside a test).
class ScopedKernelSet {
public:
    explicit ScopedKernelSet(pcx::kernels::InstructionSet set)
        : before_(pcx::kernels::active()), selected_(pcx::kernels::select(set)) {}
    ~ScopedKernelSet() { pcx::kernels::select(before_); }
    ScopedKernelSet(const ScopedKernelSet&) = delete;
    ScopedKernelSet& operator=(const ScopedKernelSet&) = delete;
    bool selected() const { return selected_; }

private:
    pcx::kernels::InstructionSet before_;
    bool selected_;
};

}  // namespace pcxtest

#endif  // PCX_TESTS_KERNEL_SETS_H
