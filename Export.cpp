// Export: the exported export operations and the stored conversion method.
#include "Export.h"

#include "Epcx.h"

namespace pcx {

void LoadConversionMethod() {}

void SaveConversionMethod() {}

}  // namespace pcx

PCX_EXPORT void PCX_CALL EXPORT_EnterOption(PcxWindow /*application*/, PcxWindow /*container*/,
                                            int32_t /*unused*/) {}

PCX_EXPORT void PCX_CALL EXPORT_LeaveOption(int32_t /*accept*/) {}

PCX_EXPORT void PCX_CALL EXPORT_BeforeTransform(int32_t* /*transformCode*/, int32_t /*unused*/) {}

// Refuses, before the file is touched, any picture the encoder cannot write
// whole: another kind, a size the header cannot hold, missing pixels or
// palette, rows that overlap. A stop asked for through progress still
// yields 1; a failed write or close yields 0.
PCX_EXPORT int32_t PCX_CALL EXPORT_WriteToFile(const char* fileName, const PluginImage* image,
                                               ProgressCallback progress) {
    int32_t result = 0;
    pcx::catchAll([&] {
        if (!TPcxEncoder::canWrite(image)) return;
        TPcxEncoder encoder;
        encoder.setProgress(progress);
        if (!encoder.open(fileName)) return;
        encoder.write(*image);
        if (encoder.close()) result = 1;
    });
    return result;
}
