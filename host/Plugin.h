// The plug-in as opxhost drives it: loaded by path (hostside/ModuleLoader,
// the loader the tests use too: LoadLibrary and GetProcAddress, dlopen and
// dlsym), plugged in with PLUGINCALLBACK and plugged out with PLUGOUTCALLBACK
// before it is unloaded, and reached only through its 17 exports.
//
// Texts come back from the plug-in in Shift-JIS and leave this class in UTF-8.
#ifndef OPXHOST_PLUGIN_H
#define OPXHOST_PLUGIN_H

#include <memory>
#include <optional>
#include <string>

#include "United.h"
#include "host/Platform.h"
#include "hostside/ModuleLoader.h"

namespace opxhost {

// What UNITED_Verbose and the version and extension exports say.
struct PluginIdentity {
    int32_t identity = 0;
    std::string name, notice, description;  // UTF-8
    int32_t importVersion = 0, exportVersion = 0;
    std::string importExtensions, exportExtensions;
};

class Plugin {
public:
    // Loads the module and plugs it in; throws HostError (kExitPluginNotLoaded)
    // when the file does not load or lacks an export. save false (--no-save)
    // skips PLUGOUTCALLBACK at the end, so that the plug-in's stored method
    // (a setting the host application shares) is not written by this run.
    explicit Plugin(const fs::path& modulePath, bool save = true);
    // Plugs the module out (the plug-in saves its option) and unloads it.
    ~Plugin();

    // False with --no-save.
    bool saves() const { return save_; }
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const fs::path& path() const { return path_; }

    PluginIdentity identity() const;

    // The import road. name is a file name in the plug-in's form
    // (pluginFileName).
    bool accepts(const std::string& name) const;
    // The plug-in's header report, or its fixed message for a file it does
    // not take, converted to UTF-8.
    std::string report(const std::string& name) const;

    // An image the plug-in made, given back through IMPORT_FreeImage.
    struct ImageRelease {
        const hostside::PluginExports* exports;
        void operator()(PluginImage* image) const { exports->IMPORT_FreeImage(image); }
    };
    using Image = std::unique_ptr<PluginImage, ImageRelease>;
    // Null when the plug-in gives no picture.
    Image createImage(const std::string& name) const;
    Image createPreview(const std::string& name, int32_t boxWidth, int32_t boxHeight) const;

    // The export road: the transform code for the stored method, or empty when
    // EXPORT_BeforeTransform names none (a method outside 0 to 3).
    std::optional<int32_t> transformCode() const;
    // EXPORT_WriteToFile's result.
    bool write(const std::string& name, const PluginImage& image, ProgressCallback progress) const;

    // The plug-in's option panel inside a host window (Windows build).
    void enterOption(PcxWindow application, PcxWindow container) const;
    void leaveOption(bool accept) const;

private:
    fs::path path_;
    bool save_;
    std::unique_ptr<hostside::LoadedModule> module_;
    const hostside::PluginExports* exports_ = nullptr;
};

// The module the host loads when no --plugin is given: the Pcx.opx beside
// the program.
fs::path defaultPluginPath();

}  // namespace opxhost

#endif  // OPXHOST_PLUGIN_H
