// Opening the files a host names.
//
// The host's file names are Shift-JIS (code page 932) byte strings. In the
// Windows build they are converted to UTF-16 and opened through the wide
// functions: the C run-time's fopen would read them in the system's ANSI
// code page, which on a system set to another code page turns a name such
// as "ソフト.pcx" (whose second byte is 0x5C, a backslash) into a different
// path. Natively a name is a byte string and is opened as it stands.
//
// How files are opened and replaced is platform/FileAccess.h's: reading
// takes only a regular file and never blocks; writing goes through a
// temporary file that replaces the target only when complete.
#ifndef PCX_PLATFORM_HOST_FILE_H
#define PCX_PLATFORM_HOST_FILE_H

#include <cstdio>

#include "platform/FileAccess.h"

#if defined(_WIN32)
#include "platform/win32/Win32.h"
#endif

namespace pcx {

// The host's name as the platform's; empty when the name is null or empty,
// (Windows build) not valid Shift-JIS, or there was no memory for it.
inline platform::PathString hostPath(const char* fileName) {
    platform::PathString path;
    if (fileName == nullptr || fileName[0] == '\0') return path;
#if defined(_WIN32)
    constexpr UINT kShiftJis = 932;
    const int length =
        MultiByteToWideChar(kShiftJis, MB_ERR_INVALID_CHARS, fileName, -1, nullptr, 0);
    // length counts the terminating zero, which the text keeps itself.
    if (length <= 1 || !path.resize(static_cast<size_t>(length) - 1) ||
        MultiByteToWideChar(kShiftJis, MB_ERR_INVALID_CHARS, fileName, -1, path.data(), length) !=
            length)
        path.clear();
#else
    if (!path.append(fileName)) path.clear();
#endif
    return path;
}

// The named file opened for binary reading, or null when the name is not
// one (see hostPath) or does not name a regular file that opens.
inline std::FILE* openHostFile(const char* fileName) {
    const platform::PathString path = hostPath(fileName);
    return path.empty() ? nullptr : platform::openRegularFile(path.c_str());
}

// Starts output's replacement of the named file; its stream, or null when
// the name is not one or the replacement cannot start.
inline std::FILE* openHostOutput(platform::FileReplacement& output, const char* fileName) {
    const platform::PathString path = hostPath(fileName);
    return !path.empty() && output.open(path.c_str()) ? output.stream() : nullptr;
}

}  // namespace pcx

#endif  // PCX_PLATFORM_HOST_FILE_H
