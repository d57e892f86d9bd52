#include "host/Memory.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "host/HostError.h"
#include "platform/FileAccess.h"

#if defined(_WIN32)
#include "platform/win32/Win32.h"
#else
#include <unistd.h>
#endif

namespace opxhost {

namespace {

// Enough for what the progress callback allocates (its bar) once memory has
// run out, until it has asked the plug-in to stop.
constexpr size_t kReserveBytes = 1024 * 1024;

pcx::platform::FileReplacement* activeReplacement = nullptr;
bool handling = false;
void* reserve = nullptr;
bool pluginWriting = false;
bool ranOut = false;

// Writes text to standard error without allocating, past the C stream and
// its buffer.
void writeError(const char* text) {
    const size_t length = std::strlen(text);
#if defined(_WIN32)
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written, nullptr);
#else
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(STDERR_FILENO, text + done, length - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
#endif
}

void onOutOfMemory() {
    if (pluginWriting && reserve != nullptr) {
        // Inside the plug-in's write: go on, and stop it at the next row.
        std::free(reserve);
        reserve = nullptr;
        ranOut = true;
        return;
    }
    endOutOfMemory();
}

}  // namespace

void endOutOfMemory() {
    // An allocation while the output is abandoned comes back here: it ends
    // the process at once.
    const bool first = !handling;
    handling = true;
    const bool writing = activeReplacement != nullptr;
    if (first && writing) activeReplacement->abandon();
    writeError(writing
                   ? "opxhost: out of memory: stopped, and the file being written was not kept\n"
                   : "opxhost: out of memory: stopped\n");
    std::_Exit(kExitOutOfMemory);
}

void installOutOfMemoryHandler() {
    if (reserve == nullptr) reserve = std::malloc(kReserveBytes);
    std::set_new_handler(onOutOfMemory);
}

PluginWrite::PluginWrite() {
    pluginWriting = true;
}

PluginWrite::~PluginWrite() {
    pluginWriting = false;
}

bool memoryRanOut() {
    return ranOut;
}

void simulateOutOfMemory() {
    if (std::new_handler handler = std::get_new_handler()) handler();
}

ActiveOutput::ActiveOutput(pcx::platform::FileReplacement& replacement) {
    activeReplacement = &replacement;
}

ActiveOutput::~ActiveOutput() {
    activeReplacement = nullptr;
}

}  // namespace opxhost
