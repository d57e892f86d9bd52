#include "host/Plugin.h"

#include "host/HostError.h"
#include "hostside/ShiftJis.h"

namespace opxhost {

namespace {

// The plug-in's callbacks carry no context of their own: what they receive is
// kept here for the one call in progress (the plug-in calls back on the
// caller's thread, before the export returns).
std::string* textSink = nullptr;
PluginIdentity* identitySink = nullptr;

// A Shift-JIS text as UTF-8; bytes that are not Shift-JIS are shown as '?'.
std::string fromShiftJis(const char* text) {
    if (!text) return {};
    bool ok = false;
    std::string converted = hostside::sjisToUtf8(text, &ok);
    if (ok) return converted;
    std::string plain(text);
    for (char& c : plain)
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    return plain;
}

void PCX_CALL takeText(const char* text) {
    if (textSink) *textSink = fromShiftJis(text);
}

void PCX_CALL takeIdentity(int32_t identity, const char* name, const char* notice,
                           const char* description) {
    if (!identitySink) return;
    identitySink->identity = identity;
    identitySink->name = fromShiftJis(name);
    identitySink->notice = fromShiftJis(notice);
    identitySink->description = fromShiftJis(description);
}

// Runs call with the text callback pointing at the returned string.
template <typename Call>
std::string collectText(Call&& call) {
    std::string text;
    textSink = &text;
    call(takeText);
    textSink = nullptr;
    return text;
}

}  // namespace

Plugin::Plugin(const fs::path& modulePath, bool save) : path_(modulePath), save_(save) {
    // A relative name would send the loader along its library search path
    // (dlopen without a slash, LoadLibrary with any relative name): the host
    // means the file the name leads to from the current folder.
    std::error_code ignored;
    const fs::path absolute = fs::absolute(modulePath, ignored);
    if (!absolute.empty()) path_ = absolute;
    const std::optional<std::string> name = loaderFileName(path_);
    if (!name)
        throw HostError(kExitPluginNotLoaded,
                        "cannot load the plug-in " + pathText(modulePath) +
                            ": its name has characters the loader cannot take");
    std::error_code error;
    if (!fs::is_regular_file(modulePath, error))
        throw HostError(kExitPluginNotLoaded,
                        "cannot load the plug-in " + pathText(modulePath) + ": no such file");
    module_ = std::make_unique<hostside::LoadedModule>(*name);
    if (!module_->loaded())
        throw HostError(kExitPluginNotLoaded, "cannot load the plug-in " + pathText(modulePath) +
                                                  ": " + module_->error());
    exports_ = &module_->exports();
    exports_->PLUGINCALLBACK(0);
}

Plugin::~Plugin() {
    if (save_) exports_->PLUGOUTCALLBACK();
}

PluginIdentity Plugin::identity() const {
    PluginIdentity result;
    identitySink = &result;
    exports_->UNITED_Verbose(takeIdentity);
    identitySink = nullptr;
    exports_->IMPORT_InterfaceVersion(&result.importVersion);
    exports_->EXPORT_InterfaceVersion(&result.exportVersion);
    result.importExtensions =
        collectText([&](TextCallback take) { exports_->IMPORT_SupportedExtensions(take); });
    result.exportExtensions =
        collectText([&](TextCallback take) { exports_->EXPORT_SupportedExtensions(take); });
    return result;
}

bool Plugin::accepts(const std::string& name) const {
    return exports_->IMPORT_ValidFileCheck(name.c_str()) != 0;
}

std::string Plugin::report(const std::string& name) const {
    return collectText(
        [&](TextCallback take) { exports_->IMPORT_ImageInformation(name.c_str(), take); });
}

Plugin::Image Plugin::createImage(const std::string& name) const {
    PluginImage* image = nullptr;
    exports_->IMPORT_CreateImage(name.c_str(), &image);
    return Image(image, ImageRelease{exports_});
}

Plugin::Image Plugin::createPreview(const std::string& name, int32_t boxWidth,
                                    int32_t boxHeight) const {
    PluginImage* image = nullptr;
    exports_->IMPORT_CreatePreviewImage(name.c_str(), boxWidth, boxHeight, &image);
    return Image(image, ImageRelease{exports_});
}

std::optional<int32_t> Plugin::transformCode() const {
    // The plug-in writes nothing for a method it has no code for, so the
    // integer starts with a value no code has.
    constexpr int32_t kNoCode = -1;
    int32_t code = kNoCode;
    exports_->EXPORT_BeforeTransform(&code, 0);
    if (code == kNoCode) return std::nullopt;
    return code;
}

bool Plugin::write(const std::string& name, const PluginImage& image,
                   ProgressCallback progress) const {
    return exports_->EXPORT_WriteToFile(name.c_str(), &image, progress) != 0;
}

void Plugin::enterOption(PcxWindow application, PcxWindow container) const {
    exports_->EXPORT_EnterOption(application, container, 0);
}

void Plugin::leaveOption(bool accept) const {
    exports_->EXPORT_LeaveOption(accept ? 1 : 0);
}

fs::path defaultPluginPath() {
    return programFolder() / "Pcx.opx";
}

}  // namespace opxhost
