#include "hostside/ShiftJis.h"

#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace hostside {

std::string sjisToUtf8(const std::string& sjis, bool* ok) {
    if (ok) *ok = false;
    if (sjis.empty()) {
        if (ok) *ok = true;
        return {};
    }
#if defined(_WIN32)
    int wideLength = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, sjis.data(),
                                         static_cast<int>(sjis.size()), nullptr, 0);
    if (wideLength <= 0) return {};
    std::vector<wchar_t> wide(static_cast<size_t>(wideLength));
    MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, sjis.data(), static_cast<int>(sjis.size()),
                        wide.data(), wideLength);
    int length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, &out[0], length, nullptr, nullptr);
#else
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::vector<char> in(sjis.begin(), sjis.end());
    std::string out(sjis.size() * 4, '\0');
    char* src = in.data();
    size_t srcLeft = in.size();
    char* dst = &out[0];
    size_t dstLeft = out.size();
    size_t result = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (result == static_cast<size_t>(-1) || srcLeft != 0) return {};
    out.resize(out.size() - dstLeft);
#endif
    if (ok) *ok = true;
    return out;
}

}  // namespace hostside
