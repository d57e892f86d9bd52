// The operations pcx_bench_driver times, on a module reached only through
// its export table. The table may come from a loaded module (the driver) or
// from a program with the module's units linked in: the timing and the
// report are the same either way.
#ifndef PCX_BENCH_TIMED_OPERATION_H
#define PCX_BENCH_TIMED_OPERATION_H

#include <string>

#include "hostside/ModuleLoader.h"

namespace pcxbench {

// Runs op on file once, untimed, for the memory it adds at its peak (and to
// warm the caches), then reps times, each run timed on its own; prints one
// JSON object to standard output. Ends the program with a message on
// standard error when op is unknown or a run fails.
//
//   decode   IMPORT_CreateImage on file (the image is freed after the clock)
//   preview  IMPORT_CreatePreviewImage on file into a 64 x 64 box
//   header   IMPORT_ValidFileCheck on file (the header alone)
//   write    EXPORT_WriteToFile of file's picture (decoded once, beforehand)
//            to outFile, with a progress callback that never stops; outFile
//            is removed before each run, outside the clock
void timeOperation(const hostside::PluginExports& pcx, const std::string& op, const char* file,
                   int reps, const char* outFile);

// Ends the program with "program: message" on standard error.
[[noreturn]] void fail(const char* program, const std::string& message);

}  // namespace pcxbench

#endif  // PCX_BENCH_TIMED_OPERATION_H
