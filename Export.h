// Export: the exported write and option operations, and the load and save of
// the stored export option.
#ifndef PCX_EXPORT_UNIT_H
#define PCX_EXPORT_UNIT_H

#include <optional>

#include "United.h"

class TExportOptionForm;

// Places the option panel inside the host's container window.
PCX_EXPORT void PCX_CALL EXPORT_EnterOption(PcxWindow application, PcxWindow container,
                                            int32_t unused);
// Takes the panel's choice when accept is non-zero, then releases the panel.
PCX_EXPORT void PCX_CALL EXPORT_LeaveOption(int32_t accept);
// Stores the host's transform code for the stored conversion method.
PCX_EXPORT void PCX_CALL EXPORT_BeforeTransform(int32_t* transformCode, int32_t unused);
// Writes image to fileName as a version 5 PCX file; 1 on success, else 0.
PCX_EXPORT int32_t PCX_CALL EXPORT_WriteToFile(const char* fileName, const PluginImage* image,
                                               ProgressCallback progress);

namespace pcx {

// The conversion method the user chose: 0 to 3 are the option panel's items,
// any other value read from the store stays in force unchanged. 0 when the
// module is loaded.
extern int8_t ConversionMethod;

// The host's transform code for method: 1, 5, 9 or 10 for methods 0 to 3,
// nothing for any other method.
std::optional<int32_t> TransformCodeFor(int8_t method);

// Loads the conversion method from the per-user store; every error is
// swallowed and leaves the method as it was.
void LoadConversionMethod();
// Saves the conversion method to the per-user store; every error is swallowed.
void SaveConversionMethod();

// The option panel between EXPORT_EnterOption and EXPORT_LeaveOption, else
// null. Natively the way a host's own drawing, and the tests, reach the
// window-less group.
TExportOptionForm* LiveExportOptionForm();

}  // namespace pcx

#endif  // PCX_EXPORT_UNIT_H
