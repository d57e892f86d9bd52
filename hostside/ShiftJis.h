// The plug-in's texts are Shift-JIS (code page 932): its messages, its
// header report, its description and the captions of its option panel. A
// host that shows them, and a test that reads them, converts them here.
#ifndef HOSTSIDE_SHIFT_JIS_H
#define HOSTSIDE_SHIFT_JIS_H

#include <string>

namespace hostside {

// The bytes of text converted from code page 932 (Shift-JIS) to UTF-8; an
// empty result with ok false when the bytes are not valid Shift-JIS.
std::string sjisToUtf8(const std::string& sjis, bool* ok = nullptr);

}  // namespace hostside

#endif  // HOSTSIDE_SHIFT_JIS_H
