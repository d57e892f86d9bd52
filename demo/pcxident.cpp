// pcxident: loads Pcx.opx as a host does and prints what it says of itself.
#include <cstdio>
#include <string>

#include "support/ModuleLoader.h"
#include "support/TestEnv.h"

namespace {

std::string extension;

void PCX_CALL takeExtension(const char* text) {
    extension = text ? text : "";
}

void PCX_CALL printIdentity(int32_t identity, const char* name, const char* notice,
                            const char* description) {
    std::printf("identity:    0x%08X\n", static_cast<unsigned>(identity));
    std::printf("name:        %s\n", name);
    std::printf("notice:      %s\n", notice);
    std::string text = pcxtest::sjisToUtf8(description);
    std::string indented;
    for (char c : text) {
        indented += c;
        if (c == '\n') indented += "             ";
    }
    std::printf("description: %s\n", indented.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : pcxtest::modulePath();
    pcxtest::LoadedModule module(path);
    if (!module.loaded()) {
        std::fprintf(stderr, "pcxident: %s\n", module.error().c_str());
        return 1;
    }
    const pcxtest::PluginExports& plugin = module.exports();
#if defined(_WIN32)
    std::printf("module:      %s (32-bit Windows DLL, under Wine)\n", path.c_str());
#else
    std::printf("module:      %s (native shared object)\n", path.c_str());
#endif
    plugin.UNITED_Verbose(printIdentity);
    int32_t importVersion = 0, exportVersion = 0, canImport = 0, canExport = 0;
    plugin.IMPORT_InterfaceVersion(&importVersion);
    plugin.EXPORT_InterfaceVersion(&exportVersion);
    plugin.UNITED_SupportedInformation(&canImport, &canExport);
    plugin.IMPORT_SupportedExtensions(takeExtension);
    std::printf("import:      interface 0x%X, supported %d, extension \"%s\"\n",
                static_cast<unsigned>(importVersion), canImport, extension.c_str());
    plugin.EXPORT_SupportedExtensions(takeExtension);
    std::printf("export:      interface 0x%X, supported %d, extension \"%s\"\n",
                static_cast<unsigned>(exportVersion), canExport, extension.c_str());
    return 0;
}
