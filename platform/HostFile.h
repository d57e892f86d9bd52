// Opening the files a host names.
//
// The host's file names are Shift-JIS (code page 932) byte strings. In the
// Windows build they are converted to UTF-16 and opened with _wfopen: the
// C run-time's fopen would read them in the system's ANSI code page, which
// on a system set to another code page turns a name such as "ソフト.pcx"
// (whose second byte is 0x5C, a backslash) into a different path. Natively a
// name is a byte string and is opened as it stands.
#ifndef PCX_PLATFORM_HOST_FILE_H
#define PCX_PLATFORM_HOST_FILE_H

#include <cstdio>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <vector>
#endif

namespace pcx {

enum class HostFileMode { ReadBinary, WriteBinary };

// The named file opened as a byte stream ("rb" or "wb"), or null when the
// name is null or empty, is not valid Shift-JIS (Windows build), or the
// file does not open.
inline std::FILE* openHostFile(const char* fileName, HostFileMode mode) {
    if (fileName == nullptr || fileName[0] == '\0') return nullptr;
#if defined(_WIN32)
    constexpr UINT kShiftJis = 932;
    const int length =
        MultiByteToWideChar(kShiftJis, MB_ERR_INVALID_CHARS, fileName, -1, nullptr, 0);
    if (length <= 0) return nullptr;
    std::vector<wchar_t> wide(static_cast<size_t>(length));
    if (MultiByteToWideChar(kShiftJis, MB_ERR_INVALID_CHARS, fileName, -1, wide.data(), length) !=
        length)
        return nullptr;
    return _wfopen(wide.data(), mode == HostFileMode::ReadBinary ? L"rb" : L"wb");
#else
    return std::fopen(fileName, mode == HostFileMode::ReadBinary ? "rb" : "wb");
#endif
}

}  // namespace pcx

#endif  // PCX_PLATFORM_HOST_FILE_H
