// Every export removes exactly its own arguments from the stack, as the
// Windows standard calling convention asks. Measured through an assembly
// thunk (support/stdcall_probe.S); a typed call would let the compiler hide
// a mismatch.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "hostside/ModuleLoader.h"
#include "support/ModuleUnderTest.h"

extern "C" uint32_t pcx_probe_stdcall(const void* fn, const uint32_t* args, uint32_t count);

namespace {

void PCX_CALL ignoreText(const char*) {}
void PCX_CALL ignoreVerbose(int32_t, const char*, const char*, const char*) {}

int __stdcall stdcallTwo(int a, int b) {
    return a + b;
}
int __cdecl cdeclTwo(int a, int b) {
    return a + b;
}

uint32_t word(const void* pointer) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}
template <typename Fn>
uint32_t wordOfFunction(Fn fn) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(fn));
}

TEST(StdcallProbe, TellsTheTwoConventionsApart) {
    const uint32_t args[2] = {1, 2};
    EXPECT_EQ(pcx_probe_stdcall(reinterpret_cast<const void*>(&stdcallTwo), args, 2), 8u);
    EXPECT_EQ(pcx_probe_stdcall(reinterpret_cast<const void*>(&cdeclTwo), args, 2), 0u);
}

TEST(Stdcall, EveryExportRemovesFourBytesPerArgument) {
    hostside::LoadedModule module(pcxtest::modulePath());
    ASSERT_TRUE(module.loaded()) << module.error();

    int32_t a = 0, b = 0;
    PluginImage* image = nullptr;
    const uint32_t textCallback = wordOfFunction(&ignoreText);
    const uint32_t verboseCallback = wordOfFunction(&ignoreVerbose);
    // Harmless arguments for each export, in table order: null file names,
    // no container window, out-pointers to local integers.
    const uint32_t arguments[17][4] = {
        {0},                        // PLUGINCALLBACK
        {0},                        // PLUGOUTCALLBACK
        {word(&a), word(&b)},       // UNITED_SupportedInformation
        {verboseCallback},          // UNITED_Verbose
        {word(&a)},                 // EXPORT_InterfaceVersion
        {textCallback},             // EXPORT_SupportedExtensions
        {0, 0, 0},                  // EXPORT_EnterOption
        {0},                        // EXPORT_LeaveOption
        {word(&a), 0},              // EXPORT_BeforeTransform
        {0, 0, 0},                  // EXPORT_WriteToFile
        {word(&a)},                 // IMPORT_InterfaceVersion
        {textCallback},             // IMPORT_SupportedExtensions
        {0},                        // IMPORT_ValidFileCheck
        {0, textCallback},          // IMPORT_ImageInformation
        {0, word(&image)},          // IMPORT_CreateImage
        {0, 64, 64, word(&image)},  // IMPORT_CreatePreviewImage
        {0},                        // IMPORT_FreeImage
    };
    for (int i = 0; i < 17; ++i) {
        const uint32_t count = static_cast<uint32_t>(hostside::kExportArgumentBytes[i] / 4);
        EXPECT_EQ(pcx_probe_stdcall(module.address(i), arguments[i], count),
                  static_cast<uint32_t>(hostside::kExportArgumentBytes[i]))
            << hostside::kExportNames[i];
    }
}

}  // namespace
