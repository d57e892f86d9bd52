// Export: the exported export operations and the stored conversion method.
#include "Export.h"

namespace pcx {

void LoadConversionMethod() {}

void SaveConversionMethod() {}

}  // namespace pcx

PCX_EXPORT void PCX_CALL EXPORT_EnterOption(PcxWindow /*application*/, PcxWindow /*container*/,
                                            int32_t /*unused*/) {}

PCX_EXPORT void PCX_CALL EXPORT_LeaveOption(int32_t /*accept*/) {}

PCX_EXPORT void PCX_CALL EXPORT_BeforeTransform(int32_t* /*transformCode*/, int32_t /*unused*/) {}

PCX_EXPORT int32_t PCX_CALL EXPORT_WriteToFile(const char* /*fileName*/,
                                               const PluginImage* /*image*/,
                                               ProgressCallback /*progress*/) {
    return 0;
}
