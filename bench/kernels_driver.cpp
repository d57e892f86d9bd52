// pcx_bench_kernels: the driver's operations (bench/TimedOperation.h) with
// the module's units linked in instead of loaded, so that one set of
// kernels can be forced for the whole run: the figures of each set in each
// build, beside the loaded module's own choice that pcx_bench_driver times.
//
//   pcx_bench_kernels portable|sse2|ssse3|avx2 decode|preview|header|write FILE REPS [OUTFILE]
//   pcx_bench_kernels --sets
//
// Prints the driver's JSON object; a set that this build has no copy for or
// this processor does not run is an error. --sets prints the names of the
// sets it can run, one a line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Export.h"
#include "Import.h"
#include "United.h"
#include "bench/TimedOperation.h"
#include "kernels/Kernels.h"

namespace {

// The units' own exports, in the table a loaded module would give.
hostside::PluginExports linkedExports() {
    hostside::PluginExports table = {};
    table.PLUGINCALLBACK = PLUGINCALLBACK;
    table.PLUGOUTCALLBACK = PLUGOUTCALLBACK;
    table.UNITED_SupportedInformation = UNITED_SupportedInformation;
    table.UNITED_Verbose = UNITED_Verbose;
    table.EXPORT_InterfaceVersion = EXPORT_InterfaceVersion;
    table.EXPORT_SupportedExtensions = EXPORT_SupportedExtensions;
    table.EXPORT_EnterOption = EXPORT_EnterOption;
    table.EXPORT_LeaveOption = EXPORT_LeaveOption;
    table.EXPORT_BeforeTransform = EXPORT_BeforeTransform;
    table.EXPORT_WriteToFile = EXPORT_WriteToFile;
    table.IMPORT_InterfaceVersion = IMPORT_InterfaceVersion;
    table.IMPORT_SupportedExtensions = IMPORT_SupportedExtensions;
    table.IMPORT_ValidFileCheck = IMPORT_ValidFileCheck;
    table.IMPORT_ImageInformation = IMPORT_ImageInformation;
    table.IMPORT_CreateImage = IMPORT_CreateImage;
    table.IMPORT_CreatePreviewImage = IMPORT_CreatePreviewImage;
    table.IMPORT_FreeImage = IMPORT_FreeImage;
    return table;
}

}  // namespace

int main(int argc, char** argv) {
    const char* program = "pcx_bench_kernels";
    if (argc == 2 && std::strcmp(argv[1], "--sets") == 0) {
        for (pcx::kernels::InstructionSet set : pcx::kernels::kAllSets)
            if (pcx::kernels::available(set)) std::printf("%s\n", pcx::kernels::nameOf(set));
        return 0;
    }
    if (argc < 5)
        pcxbench::fail(program,
                       "usage: pcx_bench_kernels portable|sse2|ssse3|avx2 "
                       "decode|preview|header|write FILE REPS [OUTFILE]");
    bool selected = false;
    for (pcx::kernels::InstructionSet set : pcx::kernels::kAllSets)
        if (std::strcmp(argv[1], pcx::kernels::nameOf(set)) == 0)
            selected = pcx::kernels::select(set);
    if (!selected)
        pcxbench::fail(program, std::string("no copy for this build and processor: ") + argv[1]);
    pcxbench::timeOperation(linkedExports(), argv[2], argv[3], std::atoi(argv[4]),
                            argc > 5 ? argv[5] : nullptr);
    return 0;
}
