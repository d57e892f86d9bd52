// A GoogleTest fixture for tests that drive the module through its exports:
// the module is loaded by path once per test suite, as a host loads it, and
// every test fails at once when it did not load.
#ifndef PCX_TESTS_PLUGIN_TEST_H
#define PCX_TESTS_PLUGIN_TEST_H

#include <gtest/gtest.h>

#include "hostside/ModuleLoader.h"
#include "support/ModuleUnderTest.h"

namespace pcxtest {

class PluginTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { loaded_ = new hostside::LoadedModule(modulePath()); }
    static void TearDownTestSuite() {
        delete loaded_;
        loaded_ = nullptr;
    }
    // Derived fixtures call this first and return when it failed:
    //   PluginTest::SetUp(); if (HasFatalFailure()) return;
    void SetUp() override { ASSERT_TRUE(loaded_->loaded()) << loaded_->error(); }

    static const hostside::PluginExports& plugin() { return loaded_->exports(); }

private:
    static inline hostside::LoadedModule* loaded_ = nullptr;
};

}  // namespace pcxtest

#endif  // PCX_TESTS_PLUGIN_TEST_H
