#include "host/Platform.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "host/TestAids.h"
#include "platform/FileAccess.h"

#if defined(_WIN32)
#include "platform/win32/Win32.h"
#else
#include <unistd.h>

#include "hostside/ModuleLoader.h"
#endif

namespace opxhost {

namespace {

std::atomic<bool> interruptRequested{false};

#if defined(_WIN32)
constexpr UINT kShiftJis = 932;

std::wstring wideFromUtf8(const std::string& text) {
    if (text.empty()) return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                            length);
    return wide;
}

std::string utf8FromWide(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &text[0],
                            length, nullptr, nullptr);
    return text;
}

// The wide text in codePage, or empty when a character has no exact form
// there (no best-fit substitutes: a near-miss name would open another file).
std::optional<std::string> narrowExactly(const std::wstring& wide, UINT codePage) {
    if (wide.empty()) return std::string();
    BOOL usedDefault = FALSE;
    const int length =
        WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(),
                            static_cast<int>(wide.size()), nullptr, 0, nullptr, &usedDefault);
    if (length <= 0 || usedDefault) return std::nullopt;
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                        &text[0], length, nullptr, &usedDefault);
    if (usedDefault) return std::nullopt;
    return text;
}

BOOL WINAPI onConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        interruptRequested = true;
        return TRUE;
    }
    return FALSE;
}

// Writes to a console as UTF-16, since a console's byte code page need not
// be UTF-8; to a file or pipe as the UTF-8 bytes.
void print(DWORD which, std::FILE* stream, const std::string& text) {
    HANDLE handle = GetStdHandle(which);
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode)) {
        std::fflush(stream);
        const std::wstring wide = wideFromUtf8(text);
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}
#else
void onSignal(int) {
    interruptRequested = true;
}
#endif

}  // namespace

#if defined(_WIN32)

fs::path pathFromText(const std::string& text) {
    return fs::path(wideFromUtf8(text));
}

std::string pathText(const fs::path& path) {
    return utf8FromWide(path.wstring());
}

std::optional<std::string> pluginFileName(const fs::path& path) {
    return narrowExactly(path.wstring(), kShiftJis);
}

std::optional<std::string> loaderFileName(const fs::path& path) {
    return narrowExactly(path.wstring(), CP_ACP);
}

fs::path programFolder() {
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    return fs::path(buffer).parent_path();
}

void printOut(const std::string& text) {
    print(STD_OUTPUT_HANDLE, stdout, text);
}

void printErr(const std::string& text) {
    print(STD_ERROR_HANDLE, stderr, text);
}

bool stderrIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void installInterruptHandler() {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void simulateInterrupt() {
    // A real Ctrl-C arrives on a thread of its own; calling the handler here
    // takes the same road to the flag without needing a console.
    onConsoleControl(CTRL_C_EVENT);
}

#else

fs::path pathFromText(const std::string& text) {
    return fs::path(text);
}

std::string pathText(const fs::path& path) {
    return path.string();
}

std::optional<std::string> pluginFileName(const fs::path& path) {
    return path.string();
}

std::optional<std::string> loaderFileName(const fs::path& path) {
    return path.string();
}

fs::path programFolder() {
    return fs::path(hostside::programFolder());
}

void printOut(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void printErr(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

bool stderrIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

void installInterruptHandler() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // A write to a pipe or terminal goes on after the flag is set; the next
    // progress call stops the export.
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

void simulateInterrupt() {
    switch (testAids().stopSignal) {
        case StopSignal::Terminate:
            std::raise(SIGTERM);
            return;
        case StopSignal::HangUp:
            std::raise(SIGHUP);
            return;
        case StopSignal::Interrupt:
            break;
    }
    std::raise(SIGINT);
}

#endif

std::FILE* openFile(const fs::path& path) {
    return pcx::platform::openRegularFile(path.c_str());
}

bool interrupted() {
    return interruptRequested;
}

}  // namespace opxhost
