// Opening and replacing files in the Windows build; see platform/FileAccess.h.
//
// Only functions that Windows XP SP3's KERNEL32 exports are imported; the
// one later function used, GetFinalPathNameByHandleW (to follow a symbolic
// link, which XP has none of for files), is looked up at run time.
#include "platform/FileAccess.h"

#include "platform/FileAccessParts.h"

#include <fcntl.h>
#include <io.h>

#include "platform/win32/Win32.h"

namespace pcx::platform {
namespace {

// The attributes a user sets that the replacement keeps. The archive bit is
// left as the write sets it: the content did change.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_TEMPORARY;

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Where the last component of path starts: after the last separator, or
// after the colon of a drive-relative name such as "C:name".
size_t nameStart(const wchar_t* path, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i < length; ++i)
        if (isSeparator(path[i]) || (i == 1 && path[i] == L':')) start = i + 1;
    return start;
}

wchar_t upper(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

// Whether the count characters at text are word, in any case.
bool equalsIgnoringCase(const wchar_t* text, size_t count, const wchar_t* word) {
    size_t i = 0;
    for (; i < count && word[i] != L'\0'; ++i)
        if (upper(text[i]) != word[i]) return false;
    return i == count && word[i] == L'\0';
}

enum class DeviceName { None, Null, Other };

// Whether the system takes name for a device rather than a file: a name in
// the device namespace ("\\.\COM1", "\\.\pipe\x"), or a last component
// whose stem (up to the first dot or colon, trailing spaces dropped) is a
// reserved DOS device name, in any folder and with any extension: aux.pcx,
// COM1.pcx, "nul .txt". Opening one of these may wait on a serial line, a
// printer or a console, so they are told apart by name alone.
DeviceName deviceName(const wchar_t* name) {
    const size_t length = PathString::lengthOf(name);
    if (length >= 4 && isSeparator(name[0]) && isSeparator(name[1]) &&
        (name[2] == L'.' || name[2] == L'?') && isSeparator(name[3])) {
        // "\\?\C:\..." and "\\?\UNC\..." are long file names, not devices.
        const wchar_t* rest = name + 4;
        const size_t restLength = length - 4;
        const bool drive = restLength >= 3 && rest[1] == L':' && isSeparator(rest[2]);
        const bool unc =
            restLength >= 4 && equalsIgnoringCase(rest, 3, L"UNC") && isSeparator(rest[3]);
        if (name[2] == L'.' || (!drive && !unc)) return DeviceName::Other;
    }
    const wchar_t* stem = name + nameStart(name, length);
    size_t stemLength = 0;
    while (stem[stemLength] != L'\0' && stem[stemLength] != L'.' && stem[stemLength] != L':')
        ++stemLength;
    while (stemLength > 0 && stem[stemLength - 1] == L' ') --stemLength;
    if (equalsIgnoringCase(stem, stemLength, L"NUL")) return DeviceName::Null;
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"CONIN$", L"CONOUT$"})
        if (equalsIgnoringCase(stem, stemLength, device)) return DeviceName::Other;
    if (stemLength == 4 &&
        (equalsIgnoringCase(stem, 3, L"COM") || equalsIgnoringCase(stem, 3, L"LPT"))) {
        const wchar_t digit = stem[3];
        // COM1 to COM9, and the superscript ones, 1 to 3.
        if ((digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
            digit == L'\u00B3')
            return DeviceName::Other;
    }
    return DeviceName::None;
}

// Whether path is already in the long form, which no limit applies to.
bool isLongForm(const PathString& path) {
    return path.size() >= 4 && path[0] == L'\\' && path[1] == L'\\' && path[2] == L'?' &&
           path[3] == L'\\';
}

// path in the long form: "\\?\" and the full path ("\\?\UNC\server\share\..."
// for a network name), so that Windows takes it past MAX_PATH. The full path
// also resolves "." and "..", which the long form would take literally.
// failed() when memory ran out or the system cannot make the path full.
PathString longFormOf(const PathString& path) {
    PathString full;
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0 || !full.resize(needed)) return PathString::failure();
    const DWORD length = GetFullPathNameW(path.c_str(), needed + 1, full.data(), nullptr);
    if (length == 0 || length > needed) return PathString::failure();
    full.truncate(length);
    PathString longForm;
    if (length >= 2 && isSeparator(full[0]) && isSeparator(full[1])) {
        longForm.append(L"\\\\?\\UNC\\");
        longForm.append(full.c_str() + 2, full.size() - 2);
    } else {
        longForm.append(L"\\\\?\\");
        longForm.append(full);
    }
    return longForm;
}

// The performance counter, the tick count, the process and thread and a
// counter, mixed: different for every attempt and not to be guessed from
// outside. Exclusive creation keeps a guessed name harmless anyway.
uint64_t systemDraw() {
    static volatile LONG counter = 0;
    LARGE_INTEGER performance{};
    QueryPerformanceCounter(&performance);
    const uint64_t seed = static_cast<uint64_t>(performance.QuadPart) ^
                          (static_cast<uint64_t>(GetTickCount()) << 32) ^
                          (static_cast<uint64_t>(GetCurrentProcessId()) << 48) ^
                          (static_cast<uint64_t>(GetCurrentThreadId()) << 16) ^
                          static_cast<uint64_t>(InterlockedIncrement(&counter));
    return mixBits(seed);
}

// The name a handle's file really has, symbolic links followed, or empty
// where the system cannot tell (Windows XP has no such function, and no
// file links either) or memory ran out.
PathString finalNameOf(HANDLE handle) {
    using FinalPathName = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
    // Looked up each time: a local static would bring in the run-time's
    // guard for its first use, which throws.
    const FinalPathName finalPathName =
        reinterpret_cast<FinalPathName>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
    PathString name;
    if (finalPathName == nullptr) return name;
    DWORD room = MAX_PATH;
    for (int round = 0; round < 2; ++round) {
        // room characters and the terminating zero.
        if (!name.resize(room)) break;
        const DWORD length = finalPathName(handle, name.data(), room + 1, 0);
        if (length == 0) break;
        if (length <= room) {
            name.truncate(length);
            return name;
        }
        room = length;  // the length needed, its zero included
    }
    name.clear();
    return name;
}

// A C stream over a handle; the handle is closed on failure.
std::FILE* streamOn(HANDLE handle, int flags, const char* mode) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, mode);
    if (file == nullptr) _close(fd);
    return file;
}

// The last steps of a save meet files that another program holds for a
// moment: a virus scanner checks the temporary file as soon as it is
// closed, the search indexer or a thumbnailer reads the old picture, a sync
// client uploads either, often without letting others delete or rename the
// file. A step refused so is tried again after a pause that doubles each
// time, until it succeeds, meets a refusal that lasts, or its window is
// spent. The host's window does not repaint meanwhile, so the window is
// short.

// The first pause: a scanner is often done with a small file within a few
// milliseconds. (Sleep rounds up to the system's timer tick, 10 to 16 ms
// unless a program asked for finer.)
constexpr uint32_t kFirstPauseMs = 4;
// Each pause is this many times the one before: a short hold is met soon,
// a long one costs few attempts (ten in a whole window).
constexpr uint32_t kPauseGrowth = 2;
// No pause is longer, so that a hold that ends late in the window is met
// within a quarter of a second of its end.
constexpr uint32_t kLongestPauseMs = 250;
// The longest one step waits in all, counted from its first attempt: about
// what a user sits through at the end of a save without taking the program
// for hung, and well inside the five seconds after which Windows marks its
// window "not responding".
constexpr uint32_t kRetryWindowMs = 1000;

uint32_t systemTicks() {
    return GetTickCount();
}

void systemPause(uint32_t milliseconds) {
    Sleep(milliseconds);
}

// The pauses between the attempts of one step.
class RetryWindow {
public:
    explicit RetryWindow(const ReplaceOptions& options)
        : ticks_(options.ticks ? options.ticks : systemTicks),
          pause_(options.pause ? options.pause : systemPause),
          start_(ticks_()) {}

    // Waits before the next attempt; false, without waiting, once the
    // window is spent. The last pause ends with the window.
    bool pauseBeforeRetry() {
        // Unsigned: right across the tick count's wrap after 49.7 days.
        const uint32_t spent = ticks_() - start_;
        if (spent >= kRetryWindowMs) return false;
        const uint32_t left = kRetryWindowMs - spent;
        pause_(next_ < left ? next_ : left);
        next_ = next_ * kPauseGrowth < kLongestPauseMs ? next_ * kPauseGrowth : kLongestPauseMs;
        return true;
    }

private:
    TickSource ticks_;
    PauseSink pause_;
    uint32_t start_;
    uint32_t next_ = kFirstPauseMs;
};

// Whether error, met by a step on name, means that another program has a
// file of the step open for the moment, rather than a refusal that lasts:
// a missing folder, a full disk, a read-only file or a folder in the file's
// place. Windows answers access denied both for a file held without delete
// sharing (or one that waits to be deleted until its last holder lets go)
// and for a read-only file or a folder, which no wait changes; a held source
// of a move gives a sharing violation.
bool heldForNow(DWORD error, const PathString& name) {
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
    if (error != ERROR_ACCESS_DENIED) return false;
    const DWORD attributes = GetFileAttributesW(name.c_str());
    // A file that waits to be deleted cannot even be looked at.
    if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_ACCESS_DENIED;
    return (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

// The ways the temporary file takes the target's place.
enum class FinalStep {
    Move,       // to a name that nothing has
    Replace,    // ReplaceFileW over the existing file
    Overwrite,  // MoveFileExW over it, where the volume cannot replace
};

// Tries step once: ERROR_SUCCESS, or the error it failed with.
DWORD runStep(FinalStep step, const PathString& temporary, const PathString& target,
              ReplaceCall replaceFile) {
    BOOL done = FALSE;
    switch (step) {
        case FinalStep::Move:
            // Without MOVEFILE_REPLACE_EXISTING: a file that someone made under
            // the name meanwhile is replaced as any existing file is, keeping
            // its attributes, not overwritten blindly.
            done = MoveFileExW(temporary.c_str(), target.c_str(), 0);
            break;
        case FinalStep::Replace:
            // ReplaceFileW gives the new file the old one's attributes,
            // security and other metadata.
            done = replaceFile(target.c_str(), temporary.c_str(), nullptr,
                               REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
            break;
        case FinalStep::Overwrite:
            done = MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
            break;
    }
    return done ? ERROR_SUCCESS : GetLastError();
}

// What follows a step that failed: which step, and when.
struct Sequel {
    enum When { GiveUp, AtOnce, AfterPause } when;
    FinalStep step;
};

Sequel sequelOf(FinalStep step, DWORD error, const PathString& target) {
    if (step == FinalStep::Move && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS))
        return {Sequel::AtOnce, FinalStep::Replace};
    if (step == FinalStep::Replace) {
        switch (error) {
            case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
            case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
            case ERROR_FILE_NOT_FOUND:
                // Without a backup name the first leaves the old file deleted,
                // the second leaves it under another name, and both leave the
                // temporary file under its own: the target's name is free and
                // the new file is moved there. Not found: the old file went
                // meanwhile (or the temporary one did, which the move finds).
                return {Sequel::AfterPause, FinalStep::Move};
            case ERROR_UNABLE_TO_REMOVE_REPLACED:
                // Both files keep their names: the same call again.
                return {Sequel::AfterPause, step};
            default:
                break;
        }
    }
    if (heldForNow(error, target)) return {Sequel::AfterPause, step};
    // A read-only target or a folder is refused, as open refuses it; Wine
    // would let a move replace it. Another error of ReplaceFileW may mean
    // that the volume cannot do all it asks: the new file is moved over the
    // old instead, and the attributes are set again after.
    if (step == FinalStep::Replace && error != ERROR_ACCESS_DENIED)
        return {Sequel::AtOnce, FinalStep::Overwrite};
    return {Sequel::GiveUp, step};
}

}  // namespace

PathString temporaryNameFor(const PathString& target, uint64_t draw) {
    const size_t start = nameStart(target.c_str(), target.size());
    size_t kept = target.size() - start < kKeptNameLength ? target.size() - start : kKeptNameLength;
    // Never half a surrogate pair.
    if (kept > 0 && target[start + kept - 1] >= 0xD800 && target[start + kept - 1] <= 0xDBFF)
        --kept;
    PathString name;
    name.append(target.c_str(), start);
    name.append(L'.');
    name.append(target.c_str() + start, kept);
    name.append(L'.');
    name.append(drawnSuffix(draw));
    if (name.failed() || isLongForm(name)) return name;
    // The name is longer than the target's: beside a target just under the
    // limit it would pass it, and Windows would refuse to make the file
    // ("path not found") where writing the target itself would have worked.
    // The limit holds for the full path, so a relative name is measured as
    // the system resolves it.
    const DWORD full = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (full != 0 && full <= MAX_PATH) return name;  // full counts the zero
    return longFormOf(name);
}

std::FILE* openRegularFile(const wchar_t* name) {
    if (name == nullptr || name[0] == L'\0' || deviceName(name) != DeviceName::None) return nullptr;
    // The sharing of _wfopen's "rb", and deletion too, so that reading a
    // file never stands in the way of another program replacing it.
    HANDLE handle =
        CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    // A pipe or a character device that slipped past the names.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return nullptr;
    }
    return streamOn(handle, _O_RDONLY | _O_BINARY, "rb");
}

FileKind fileKind(const wchar_t* name) {
    if (name == nullptr || name[0] == L'\0' || deviceName(name) != DeviceName::None)
        return FileKind::Other;
    // No access asked for: only a look at what the name is.
    HANDLE handle = CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? FileKind::Missing : FileKind::Other;
    }
    const bool disk = GetFileType(handle) == FILE_TYPE_DISK;
    CloseHandle(handle);
    return disk ? FileKind::Regular : FileKind::Other;
}

bool FileReplacement::open(const wchar_t* name, const ReplaceOptions& options) {
    abandon();
    onlyCopy_ = false;
    if (name == nullptr || name[0] == L'\0') return false;
    options_ = options;
    const DeviceName device = deviceName(name);
    // The null device takes any write and cannot block; the other devices
    // could.
    if (device == DeviceName::Other) return false;
    if (device == DeviceName::Null) return openInPlace(PathString::of(name), false);

    // The target as it stands, opened for writing without changing it: a
    // file that could not be opened so is not replaced either (read-only,
    // in use, a folder), and a missing folder refuses here.
    HANDLE existing =
        CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    PathString target = PathString::of(name);
    existed_ = existing != INVALID_HANDLE_VALUE;
    if (target.failed()) {
        if (existed_) CloseHandle(existing);
        return false;
    }
    attributes_ = 0;
    if (!existed_) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    } else {
        // A character device is written as it is. A pipe is refused: a
        // Unix FIFO that Wine opens takes the bytes whether or not anyone
        // reads them, and loses them.
        const DWORD type = GetFileType(existing);
        if (type == FILE_TYPE_CHAR) return openInPlaceOnHandle(target, existing);
        if (type != FILE_TYPE_DISK) {
            CloseHandle(existing);
            return false;
        }
        // A link is followed: the file it points to is replaced, the link
        // stays.
        PathString resolved = finalNameOf(existing);
        if (!resolved.empty()) target = static_cast<PathString&&>(resolved);
        BY_HANDLE_FILE_INFORMATION information;
        if (GetFileInformationByHandle(existing, &information))
            attributes_ = information.dwFileAttributes;
        CloseHandle(existing);
        // Windows refuses to open a read-only file for writing; an
        // administrator under Wine would not be refused.
        if (attributes_ & FILE_ATTRIBUTE_READONLY) return false;
    }

    HANDLE handle = INVALID_HANDLE_VALUE;
    PathString temporary;
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        temporary = temporaryNameFor(target, options.draws ? options.draws() : systemDraw());
        if (temporary.failed()) return false;
        // CREATE_NEW: an existing file or link of this name makes the call
        // fail instead of being opened.
        handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) break;
        error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    if (handle == INVALID_HANDLE_VALUE) {
        // The folder takes no new file, but the target may be writable. A
        // full disk is no reason: writing in place would cost the old file.
        if (error == ERROR_ACCESS_DENIED || error == ERROR_FILENAME_EXCED_RANGE)
            return openInPlace(target, true);
        return false;
    }
    stream_ = streamOn(handle, _O_BINARY, "wb");
    if (stream_ == nullptr) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    target_ = static_cast<PathString&&>(target);
    temporary_ = static_cast<PathString&&>(temporary);
    open_ = true;
    return true;
}

bool FileReplacement::openInPlace(const PathString& target, bool /*createOrTruncate*/) {
    if (target.failed() || (&target != &target_ && !target_.assign(target))) return false;
    // As the write always opened its file.
    stream_ = _wfopen(target_.c_str(), L"wb");
    if (stream_ == nullptr) return false;
    temporary_.clear();
    open_ = true;
    return true;
}

bool FileReplacement::openInPlaceOnHandle(const PathString& target, void* handle) {
    if (!target_.assign(target)) {
        CloseHandle(static_cast<HANDLE>(handle));
        return false;
    }
    stream_ = streamOn(static_cast<HANDLE>(handle), _O_BINARY, "wb");
    if (stream_ == nullptr) return false;
    temporary_.clear();
    open_ = true;
    return true;
}

bool FileReplacement::flushToDisk() {
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_)))) != 0;
}

void FileReplacement::keepAttributes() {
    // ReplaceFileW gives the new file the old one's attributes, but not
    // every implementation does (Wine's does not), and a move keeps the new
    // file's own: set them again where they differ.
    const DWORD now = GetFileAttributesW(target_.c_str());
    if (now == INVALID_FILE_ATTRIBUTES) return;
    const DWORD wanted =
        ((now & ~kKeptAttributes) | (attributes_ & kKeptAttributes)) & kSettableAttributes;
    if (wanted != (now & kSettableAttributes))
        SetFileAttributesW(target_.c_str(), wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL);
}

bool FileReplacement::moveIntoPlace() {
    const ReplaceCall replaceFile = options_.replaceFile ? options_.replaceFile : ReplaceFileW;
    RetryWindow window(options_);
    // A file that existed is replaced; a new one is moved into place.
    FinalStep step = existed_ ? FinalStep::Replace : FinalStep::Move;
    bool replacing = existed_;
    for (;;) {
        const DWORD error = runStep(step, temporary_, target_, replaceFile);
        if (error == ERROR_SUCCESS) break;
        const Sequel sequel = sequelOf(step, error, target_);
        if (sequel.when == Sequel::GiveUp) return false;
        if (step == FinalStep::Move && sequel.step == FinalStep::Replace) {
            // A file has the name: made meanwhile by another program, or
            // left there by ReplaceFileW after all.
            const DWORD found = GetFileAttributesW(target_.c_str());
            attributes_ = found != INVALID_FILE_ATTRIBUTES ? found : 0;
            replacing = true;
            onlyCopy_ = false;
        }
        // The old file was deleted, or renamed to a name not known here:
        // the new one is the copy of the picture to keep.
        if (step == FinalStep::Replace && sequel.step == FinalStep::Move)
            onlyCopy_ = error != ERROR_FILE_NOT_FOUND;
        step = sequel.step;
        if (sequel.when == Sequel::AfterPause && !window.pauseBeforeRetry()) return false;
    }
    onlyCopy_ = false;
    if (replacing) keepAttributes();
    return true;
}

void FileReplacement::removeTemporary() {
    // The one copy of the picture is not thrown away.
    if (onlyCopy_) {
        onlyCopy_ = false;
        return;
    }
    RetryWindow window(options_);
    while (!DeleteFileW(temporary_.c_str())) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || !heldForNow(error, temporary_) ||
            !window.pauseBeforeRetry())
            return;
    }
}

}  // namespace pcx::platform
