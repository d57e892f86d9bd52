#include "hostside/ModuleLoader.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#endif

namespace hostside {

const char* const kExportNames[17] = {
    "PLUGINCALLBACK",
    "PLUGOUTCALLBACK",
    "UNITED_SupportedInformation",
    "UNITED_Verbose",
    "EXPORT_InterfaceVersion",
    "EXPORT_SupportedExtensions",
    "EXPORT_EnterOption",
    "EXPORT_LeaveOption",
    "EXPORT_BeforeTransform",
    "EXPORT_WriteToFile",
    "IMPORT_InterfaceVersion",
    "IMPORT_SupportedExtensions",
    "IMPORT_ValidFileCheck",
    "IMPORT_ImageInformation",
    "IMPORT_CreateImage",
    "IMPORT_CreatePreviewImage",
    "IMPORT_FreeImage",
};

const int kExportArgumentBytes[17] = {4, 0, 8, 4, 4, 4, 12, 4, 8, 12, 4, 4, 4, 8, 8, 16, 4};

namespace {

template <typename Fn>
void bind(Fn& slot, void* address) {
    static_assert(sizeof(Fn) == sizeof(void*), "function and data pointers differ in size");
    std::memcpy(&slot, &address, sizeof slot);
}

}  // namespace

LoadedModule::LoadedModule(const std::string& path) {
#if defined(_WIN32)
    handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (!handle_) {
        error_ =
            "LoadLibrary failed for " + path + " (error " + std::to_string(GetLastError()) + ")";
        return;
    }
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        error_ = "dlopen failed: " + std::string(why ? why : path);
        return;
    }
#endif
    complete_ = true;
    for (int i = 0; i < 17; ++i) {
#if defined(_WIN32)
        FARPROC proc = GetProcAddress(static_cast<HMODULE>(handle_), kExportNames[i]);
        void* address = nullptr;
        std::memcpy(&address, &proc, sizeof address);
#else
        void* address = dlsym(handle_, kExportNames[i]);
#endif
        addresses_[i] = address;
        if (!address) {
            complete_ = false;
            error_ += std::string(error_.empty() ? "" : ", ") + "missing export " + kExportNames[i];
        }
    }
    PluginExports& e = exports_;
    bind(e.PLUGINCALLBACK, addresses_[0]);
    bind(e.PLUGOUTCALLBACK, addresses_[1]);
    bind(e.UNITED_SupportedInformation, addresses_[2]);
    bind(e.UNITED_Verbose, addresses_[3]);
    bind(e.EXPORT_InterfaceVersion, addresses_[4]);
    bind(e.EXPORT_SupportedExtensions, addresses_[5]);
    bind(e.EXPORT_EnterOption, addresses_[6]);
    bind(e.EXPORT_LeaveOption, addresses_[7]);
    bind(e.EXPORT_BeforeTransform, addresses_[8]);
    bind(e.EXPORT_WriteToFile, addresses_[9]);
    bind(e.IMPORT_InterfaceVersion, addresses_[10]);
    bind(e.IMPORT_SupportedExtensions, addresses_[11]);
    bind(e.IMPORT_ValidFileCheck, addresses_[12]);
    bind(e.IMPORT_ImageInformation, addresses_[13]);
    bind(e.IMPORT_CreateImage, addresses_[14]);
    bind(e.IMPORT_CreatePreviewImage, addresses_[15]);
    bind(e.IMPORT_FreeImage, addresses_[16]);
}

LoadedModule::~LoadedModule() {
    if (!handle_) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

std::string programFolder() {
#if defined(_WIN32)
    char buffer[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    std::string path(buffer, n);
    return path.substr(0, path.find_last_of("\\/") + 1);
#else
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    std::string path(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.find_last_of('/') + 1);
#endif
}

}  // namespace hostside
