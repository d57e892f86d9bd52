// Loads a plug-in module by path as a host does (LoadLibrary and
// GetProcAddress in the Windows build, dlopen and dlsym natively) and reaches
// the exports only through the addresses it finds by their undecorated names.
#ifndef HOSTSIDE_MODULE_LOADER_H
#define HOSTSIDE_MODULE_LOADER_H

#include <string>

#include "United.h"

namespace hostside {

// The export table in the host protocol's order, as typed function pointers.
struct PluginExports {
    void(PCX_CALL* PLUGINCALLBACK)(int32_t);
    void(PCX_CALL* PLUGOUTCALLBACK)(void);
    void(PCX_CALL* UNITED_SupportedInformation)(int32_t*, int32_t*);
    void(PCX_CALL* UNITED_Verbose)(VerboseCallback);
    void(PCX_CALL* EXPORT_InterfaceVersion)(int32_t*);
    void(PCX_CALL* EXPORT_SupportedExtensions)(TextCallback);
    void(PCX_CALL* EXPORT_EnterOption)(PcxWindow, PcxWindow, int32_t);
    void(PCX_CALL* EXPORT_LeaveOption)(int32_t);
    void(PCX_CALL* EXPORT_BeforeTransform)(int32_t*, int32_t);
    int32_t(PCX_CALL* EXPORT_WriteToFile)(const char*, const PluginImage*, ProgressCallback);
    void(PCX_CALL* IMPORT_InterfaceVersion)(int32_t*);
    void(PCX_CALL* IMPORT_SupportedExtensions)(TextCallback);
    int32_t(PCX_CALL* IMPORT_ValidFileCheck)(const char*);
    void(PCX_CALL* IMPORT_ImageInformation)(const char*, TextCallback);
    void(PCX_CALL* IMPORT_CreateImage)(const char*, PluginImage**);
    void(PCX_CALL* IMPORT_CreatePreviewImage)(const char*, int32_t, int32_t, PluginImage**);
    void(PCX_CALL* IMPORT_FreeImage)(PluginImage*);
};

// The names of the 17 exports, in the order of the export table.
extern const char* const kExportNames[17];
// Bytes of arguments each export takes (4 per argument), in the same order.
extern const int kExportArgumentBytes[17];

// A loaded module. Loading fails (loaded() is false, error() says why) when
// the file is missing or any of the 17 names cannot be found.
class LoadedModule {
public:
    explicit LoadedModule(const std::string& path);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    bool loaded() const { return handle_ != nullptr && complete_; }
    const std::string& error() const { return error_; }
    const PluginExports& exports() const { return exports_; }
    // The raw address of export number index (0-based, table order).
    void* address(int index) const { return addresses_[index]; }

private:
    void* handle_ = nullptr;
    bool complete_ = false;
    std::string error_;
    void* addresses_[17] = {};
    PluginExports exports_ = {};
};

// The folder of the running program, ending in a separator.
std::string programFolder();

}  // namespace hostside

#endif  // HOSTSIDE_MODULE_LOADER_H
