// The stored conversion method through the module loaded as a host loads it:
// PLUGINCALLBACK reads "TransformMethod" from the user's store,
// EXPORT_BeforeTransform answers with its transform code and PLUGOUTCALLBACK
// writes it back. In the Windows build the store is the registry of the test
// run's private Wine prefix; natively the store file in a temporary folder.
#include <gtest/gtest.h>

#include <memory>

#include "hostside/ModuleLoader.h"
#include "support/ModuleUnderTest.h"
#include "support/RawUserStore.h"

namespace {

using hostside::LoadedModule;
using pcxtest::RawUserStore;

// The host's integer before the call: a value no method maps to, so that
// "nothing written" shows.
constexpr int32_t kUntouched = 0x5A5A;

class ConversionMethod : public ::testing::Test {
protected:
    void SetUp() override { load(); }

    // A fresh load of the module: the method starts at 0 again.
    void load() {
        module_.reset();
        module_ = std::make_unique<LoadedModule>(pcxtest::modulePath());
        ASSERT_TRUE(module_->loaded()) << module_->error();
    }
    const hostside::PluginExports& plugin() const { return module_->exports(); }

    int32_t transformCode() const {
        int32_t code = kUntouched;
        plugin().EXPORT_BeforeTransform(&code, 0);
        return code;
    }

    RawUserStore store_;
    std::unique_ptr<LoadedModule> module_;
};

TEST_F(ConversionMethod, EachStoredMethodMapsToItsTransformCode) {
    const int32_t expected[] = {1, 5, 9, 10};
    for (uint32_t method = 0; method < 4; ++method) {
        ASSERT_TRUE(store_.putInteger(method));
        load();
        plugin().PLUGINCALLBACK(0);
        EXPECT_EQ(transformCode(), expected[method]) << "method " << method;
    }
}

TEST_F(ConversionMethod, WithoutAKeyTheMethodIsFullColour) {
    ASSERT_FALSE(store_.hasKey());
    plugin().PLUGINCALLBACK(0);
    EXPECT_EQ(transformCode(), 1);
    plugin().EXPORT_BeforeTransform(nullptr, 0);  // survived
    // Asked before the hook, too.
    load();
    EXPECT_EQ(transformCode(), 1);
}

TEST_F(ConversionMethod, OnlyTheLowByteCountsReadAsSigned) {
    // 260 is 0x104: method 4, which has no code, and it is written back as 4.
    ASSERT_TRUE(store_.putInteger(260));
    plugin().PLUGINCALLBACK(0);
    EXPECT_EQ(transformCode(), kUntouched);
    plugin().PLUGOUTCALLBACK();
    EXPECT_EQ(store_.integer(), std::optional<uint32_t>(4));

    // 200 is the byte 0xC8: method -56, written back widened with its sign.
    ASSERT_TRUE(store_.putInteger(200));
    load();
    plugin().PLUGINCALLBACK(0);
    EXPECT_EQ(transformCode(), kUntouched);
    plugin().PLUGOUTCALLBACK();
    EXPECT_EQ(store_.integer(), std::optional<uint32_t>(0xFFFFFFC8u));

    // 0x302 keeps 2 in its low byte.
    ASSERT_TRUE(store_.putInteger(0x302));
    load();
    plugin().PLUGINCALLBACK(0);
    EXPECT_EQ(transformCode(), 9);
}

TEST_F(ConversionMethod, ValuesOfAnotherTypeAreIgnored) {
    // Read as integers, each of these would make the method 2 (code 9).
    ASSERT_TRUE(store_.putString("2"));
    plugin().PLUGINCALLBACK(0);
    EXPECT_EQ(transformCode(), 1) << "a string value";

    ASSERT_TRUE(store_.putBinary({2, 0, 0, 0}));
    load();
    plugin().PLUGINCALLBACK(0);
    EXPECT_EQ(transformCode(), 1) << "a four-byte binary value";

    // An ignored value leaves the method that is in force, not 0: load 3,
    // then load again from a binary value.
    ASSERT_TRUE(store_.putInteger(3));
    load();
    plugin().PLUGINCALLBACK(0);
    ASSERT_TRUE(store_.putBinary({2, 0, 0, 0}));
    plugin().PLUGINCALLBACK(0);
    EXPECT_EQ(transformCode(), 10);

    // The save replaces the value of the other type with an integer.
    plugin().PLUGOUTCALLBACK();
    EXPECT_EQ(store_.integer(), std::optional<uint32_t>(3));
}

TEST_F(ConversionMethod, SaveCreatesTheMissingKey) {
    ASSERT_TRUE(store_.putInteger(2));
    plugin().PLUGINCALLBACK(0);
    ASSERT_TRUE(store_.removeKey());
    plugin().PLUGOUTCALLBACK();
    EXPECT_TRUE(store_.hasKey());
    EXPECT_EQ(store_.integer(), std::optional<uint32_t>(2));
}

TEST_F(ConversionMethod, SaveWithoutALoadWritesTheMethodInForce) {
    // The stored 3 is never read: a fresh module's method is 0.
    ASSERT_TRUE(store_.putInteger(3));
    plugin().PLUGOUTCALLBACK();
    EXPECT_EQ(store_.integer(), std::optional<uint32_t>(0));
}

}  // namespace
