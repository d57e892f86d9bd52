// pcx_bench_driver: times one operation of Pcx.opx as a host sees it, in
// both builds (under Wine for Windows). The module is loaded by path and
// reached only through its exports; the operation runs repeatedly in this
// one process, as in a host that opens or saves many files, and each run is
// timed on its own (bench/TimedOperation.h says what each operation is).
//
//   pcx_bench_driver decode|preview|header|write FILE REPS [OUTFILE]
//
// Prints one JSON object: the seconds of each run; the memory the first run
// added at its peak and how that was found (bench/ProcessUsage.h); the sizes
// of the picture's raw scanlines and of its pixel buffer; and the page faults
// and the user and system time of a timed run (freeing included). On a
// virtual machine, first touches of fresh memory can cost as much as the
// decoding itself.
#include <cstdlib>
#include <string>

#include "bench/TimedOperation.h"
#include "hostside/ModuleLoader.h"
#include "support/ModuleUnderTest.h"

int main(int argc, char** argv) {
    if (argc < 4)
        pcxbench::fail("pcx_bench_driver",
                       "usage: pcx_bench_driver decode|preview|header|write FILE REPS [OUTFILE]");
    hostside::LoadedModule module(pcxtest::modulePath());
    if (!module.loaded()) pcxbench::fail("pcx_bench_driver", module.error());
    pcxbench::timeOperation(module.exports(), argv[1], argv[2], std::atoi(argv[3]),
                            argc > 4 ? argv[4] : nullptr);
    return 0;
}
