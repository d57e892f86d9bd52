// Which module a test program loads. PCX_MODULE is a switch of the tests
// alone: a host finds its plug-in by a path of its own.
#ifndef PCX_TESTS_MODULE_UNDER_TEST_H
#define PCX_TESTS_MODULE_UNDER_TEST_H

#include <cstdlib>
#include <string>

#include "hostside/ModuleLoader.h"

namespace pcxtest {

// The path of the module under test: $PCX_MODULE when set, else the Pcx.opx
// beside the running test program.
inline std::string modulePath() {
    if (const char* overridden = std::getenv("PCX_MODULE")) return overridden;
    return hostside::programFolder() + "Pcx.opx";
}

}  // namespace pcxtest

#endif  // PCX_TESTS_MODULE_UNDER_TEST_H
