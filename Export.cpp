// Export: the exported export operations and the stored conversion method.
#include "Export.h"

#include "Epcx.h"
#include "ExpOptF.h"
#include "platform/SettingsStore.h"

namespace pcx {

int8_t ConversionMethod = 0;

namespace {

// Where the method is kept in the user's store (the registry's
// HKEY_CURRENT_USER in the Windows build), read and written under one name.
constexpr char kSettingsKey[] = "\\Software\\TALVERN\\Ostra\\Plugin\\TALVERN\\EPcx";
constexpr char kMethodValueName[] = "TransformMethod";

// The option panel of the latest enter, from EXPORT_EnterOption until
// EXPORT_LeaveOption; null otherwise, so that a leave without a live panel
// does nothing.
TExportOptionForm* ExportOptionForm = nullptr;
// The container window and the host's application window of the latest enter.
// The application window is the plug-in's own from then on: any top-level
// window the plug-in made would be owned by it.
PcxWindow ContainerWindow = nullptr;
PcxWindow ApplicationWindow = nullptr;

}  // namespace

std::optional<int32_t> TransformCodeFor(int8_t method) {
    // Indexed by method: everything in full colour; full colour and 256
    // colours where possible; optimised 256 colours; the Windows palette.
    constexpr int32_t kCodes[] = {1, 5, 9, 10};
    if (method < 0 || method >= static_cast<int8_t>(sizeof kCodes / sizeof kCodes[0]))
        return std::nullopt;
    return kCodes[method];
}

void LoadConversionMethod() {
    const std::optional<uint32_t> stored =
        platform::readUserInteger(kSettingsKey, kMethodValueName);
    // Only the low eight bits count, read as a signed byte: 260 is 4, 200 is -56.
    if (stored) ConversionMethod = static_cast<int8_t>(static_cast<uint8_t>(*stored & 0xFFu));
}

void SaveConversionMethod() {
    // Widened with its sign: -56 is stored as 0xFFFFFFC8.
    platform::writeUserInteger(kSettingsKey, kMethodValueName,
                               static_cast<uint32_t>(static_cast<int32_t>(ConversionMethod)));
}

TExportOptionForm* LiveExportOptionForm() {
    return ExportOptionForm;
}

}  // namespace pcx

PCX_EXPORT void PCX_CALL EXPORT_EnterOption(PcxWindow application, PcxWindow container,
                                            int32_t /*unused*/) {
    pcx::catchAll([&] {
        pcx::ApplicationWindow = application;
        pcx::ContainerWindow = container;
        // A panel still live from an enter without its leave goes first: the
        // application object destroys it before it makes the new one.
        pcx::ExportOptionForm = nullptr;
        pcx::ExportOptionForm = pcx::CreateExportOptionForm(container);
        if (pcx::ExportOptionForm) pcx::ExportOptionForm->SetItemIndex(pcx::ConversionMethod);
    });
}

PCX_EXPORT void PCX_CALL EXPORT_LeaveOption(int32_t accept) {
    pcx::catchAll([&] {
        TExportOptionForm* form = pcx::ExportOptionForm;
        if (!form) return;
        pcx::ExportOptionForm = nullptr;
        const int32_t selected = form->ItemIndex();
        if (accept != 0 && selected >= 0) pcx::ConversionMethod = static_cast<int8_t>(selected);
        form->Release();
    });
}

PCX_EXPORT void PCX_CALL EXPORT_BeforeTransform(int32_t* transformCode, int32_t /*unused*/) {
    pcx::catchAll([&] {
        const std::optional<int32_t> code = pcx::TransformCodeFor(pcx::ConversionMethod);
        if (code && transformCode) *transformCode = *code;
    });
}

// Refuses, before the file is touched, any picture the encoder cannot write
// whole: another kind, a size the header cannot hold, missing pixels or
// palette, rows that overlap. A stop asked for through progress still
// yields 1; a failed write or close yields 0.
PCX_EXPORT int32_t PCX_CALL EXPORT_WriteToFile(const char* fileName, const PluginImage* image,
                                               ProgressCallback progress) {
    int32_t result = 0;
    pcx::catchAll([&] {
        if (!pcx::TPcxEncoder::canWrite(image)) return;
        pcx::TPcxEncoder encoder;
        encoder.setProgress(progress);
        if (!encoder.open(fileName)) return;
        encoder.write(*image);
        if (encoder.close()) result = 1;
    });
    return result;
}
