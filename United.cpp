// United: the identity exports and the two lifecycle hooks.
#include "United.h"

#include "Export.h"
#include "PcxVersion.h"

namespace pcx {

const char kExtensions[] = "pcx";
const char kPluginName[] = "ZSoftPCX";
// The notice line is also the version resource's LegalCopyright: both come
// from the build's one definition.
const char kNotice[] = PCX_NOTICE;

// Shift-JIS bytes of
// "OSTRA標準搭載のプラグイン。\nZSoft形式(拡張子PCXのファイル)のインポートとエクスポートをサポートする。"
// (regenerate with scripts/sjis-literal.py).
const char kDescription[] =
    "OSTRA\x95W\x8F\x80\x93\x8B\x8D\xDA\x82\xCC\x83v\x83\x89\x83O\x83"
    "C\x83\x93\x81"
    "B\nZSoft\x8C`\x8E\xAE(\x8Ag\x92\xA3\x8EqPCX\x82\xCC\x83t\x83@\x83"
    "C\x83\x8B)\x82\xCC\x83"
    "C\x83\x93\x83|\x81[\x83g\x82\xC6\x83G\x83N\x83X\x83|\x81[\x83g\x82\xF0\x83T\x83|\x81["
    "\x83g\x82\xB7\x82\xE9\x81"
    "B";
static_assert(sizeof(kDescription) == 101, "the description is 100 bytes and its NUL");

}  // namespace pcx

PCX_EXPORT void PCX_CALL PLUGINCALLBACK(int32_t /*unused*/) {
    pcx::catchAll([] { pcx::LoadConversionMethod(); });
}

PCX_EXPORT void PCX_CALL PLUGOUTCALLBACK(void) {
    pcx::catchAll([] { pcx::SaveConversionMethod(); });
}

PCX_EXPORT void PCX_CALL UNITED_SupportedInformation(int32_t* importSupported,
                                                     int32_t* exportSupported) {
    if (importSupported) *importSupported = 1;
    if (exportSupported) *exportSupported = 1;
}

PCX_EXPORT void PCX_CALL UNITED_Verbose(VerboseCallback callback) {
    if (callback)
        callback(pcx::kVerboseIdentity, pcx::kPluginName, pcx::kNotice, pcx::kDescription);
}

PCX_EXPORT void PCX_CALL EXPORT_InterfaceVersion(int32_t* version) {
    if (version) *version = pcx::kInterfaceVersion;
}

PCX_EXPORT void PCX_CALL EXPORT_SupportedExtensions(TextCallback callback) {
    if (callback) callback(pcx::kExtensions);
}

PCX_EXPORT void PCX_CALL IMPORT_InterfaceVersion(int32_t* version) {
    if (version) *version = pcx::kInterfaceVersion;
}

PCX_EXPORT void PCX_CALL IMPORT_SupportedExtensions(TextCallback callback) {
    if (callback) callback(pcx::kExtensions);
}
