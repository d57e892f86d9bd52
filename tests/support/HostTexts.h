// The texts the module hands a host: the fixed message for a file it cannot
// read, and a text callback that records every text it is given.
#ifndef PCX_TESTS_HOST_TEXTS_H
#define PCX_TESTS_HOST_TEXTS_H

#include <string>
#include <vector>

#include "United.h"

namespace pcxtest {

// Shift-JIS bytes of "イメージファイルでは、ないようです。", written out here
// rather than taken from the module, so a wrong message in the module fails.
inline constexpr char kNotAnImage[] =
    "\x83\x43\x83\x81\x81\x5B\x83\x57\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xC5\x82\xCD\x81\x41"
    "\x82\xC8\x82\xA2\x82\xE6\x82\xA4\x82\xC5\x82\xB7\x81\x42";

// Every text recordText received, in order; a test clears it before a call.
inline std::vector<std::string> receivedTexts;

// A TextCallback for the module; a null text is recorded as "(null)".
inline void PCX_CALL recordText(const char* text) {
    receivedTexts.push_back(text ? text : "(null)");
}

}  // namespace pcxtest

#endif  // PCX_TESTS_HOST_TEXTS_H
