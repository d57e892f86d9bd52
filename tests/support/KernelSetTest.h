// A GoogleTest fixture that runs a test once for each instruction set whose
// kernels this processor runs: the test selects the set before it starts and
// puts back the one in use before it ends. For test programs that link the
// module's units. A test may also loop over availableKernelSets() with a
// ScopedKernelSet.
//
//   class MyTest : public pcxtest::KernelSetTest {};
//   TEST_P(MyTest, Something) { ... }
//   PCX_FOR_EACH_KERNEL_SET(MyTest);
#ifndef PCX_TESTS_KERNEL_SET_TEST_H
#define PCX_TESTS_KERNEL_SET_TEST_H

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "support/KernelSets.h"

namespace pcx::kernels {

// How GoogleTest names a set in its messages.
inline void PrintTo(InstructionSet set, std::ostream* out) {
    *out << nameOf(set);
}

}  // namespace pcx::kernels

namespace pcxtest {

class KernelSetTest : public ::testing::TestWithParam<pcx::kernels::InstructionSet> {
protected:
    void SetUp() override {
        before_ = pcx::kernels::active();
        ASSERT_TRUE(pcx::kernels::select(GetParam()));
    }
    void TearDown() override { pcx::kernels::select(before_); }

private:
    pcx::kernels::InstructionSet before_ = pcx::kernels::InstructionSet::Portable;
};

inline std::string kernelSetName(
    const ::testing::TestParamInfo<pcx::kernels::InstructionSet>& info) {
    return pcx::kernels::nameOf(info.param);
}

}  // namespace pcxtest

#define PCX_FOR_EACH_KERNEL_SET(fixture)                                          \
    INSTANTIATE_TEST_SUITE_P(Kernels, fixture,                                    \
                             ::testing::ValuesIn(pcxtest::availableKernelSets()), \
                             pcxtest::kernelSetName)

#endif  // PCX_TESTS_KERNEL_SET_TEST_H
