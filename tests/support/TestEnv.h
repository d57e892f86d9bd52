// Small helpers shared by the test programs.
#ifndef PCX_TESTS_TEST_ENV_H
#define PCX_TESTS_TEST_ENV_H

#include <string>

namespace pcxtest {

// True when the run is a CI run (CI is set and not "false" or "0"): there a
// missing tool fails a test instead of skipping it.
bool inCi();

// The bytes of text converted from code page 932 (Shift-JIS) to UTF-8; an
// empty result with ok false when the bytes are not valid Shift-JIS.
std::string sjisToUtf8(const std::string& sjis, bool* ok = nullptr);

}  // namespace pcxtest

#endif  // PCX_TESTS_TEST_ENV_H
