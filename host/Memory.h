// opxhost when memory runs out: one message on standard error, the output
// being written abandoned, and exit code kExitOutOfMemory (HostError.h),
// never an abort.
//
// A failed operator new calls the handler installed here before anything is
// thrown: in the Windows build the first throw on a thread allocates the
// run-time's exception state, and with no memory left the run-time would
// call std::terminate instead of reaching a catch. The handler writes its
// message without allocating (write, WriteFile) and ends the process.
// Allocations through malloc (stb_image's) return null and are reported by
// their callers with the same exit code.
#ifndef OPXHOST_MEMORY_H
#define OPXHOST_MEMORY_H

namespace pcx {
namespace platform {
class FileReplacement;
}  // namespace platform
}  // namespace pcx

namespace opxhost {

// Installs the handler, and keeps back the small reserve it releases when
// memory runs out inside the plug-in's write (see PluginWrite).
void installOutOfMemoryHandler();

// While one lives, the plug-in is writing a file and calls back into
// opxhost (the progress callback). Ending the process there would leave the
// plug-in's own temporary file behind, so a first failed allocation instead
// releases the reserve, marks memory as run out and lets the allocation try
// again; the callback then asks the plug-in to stop, which removes nothing
// of the user's and lets the plug-in finish its file, and opxhost ends with
// endOutOfMemory once the write has returned. One at a time.
class PluginWrite {
public:
    PluginWrite();
    ~PluginWrite();
    PluginWrite(const PluginWrite&) = delete;
    PluginWrite& operator=(const PluginWrite&) = delete;
};

// True once memory ran out inside the plug-in's write.
bool memoryRanOut();

// What a failed operator new does (the testing aid's way in).
void simulateOutOfMemory();

// Abandons the output being written, says so on standard error without
// allocating, and ends the process with kExitOutOfMemory.
[[noreturn]] void endOutOfMemory();

// While one lives, the handler abandons replacement (closes its stream and
// removes its temporary file) before the process ends. One at a time.
class ActiveOutput {
public:
    explicit ActiveOutput(pcx::platform::FileReplacement& replacement);
    ~ActiveOutput();
    ActiveOutput(const ActiveOutput&) = delete;
    ActiveOutput& operator=(const ActiveOutput&) = delete;
};

}  // namespace opxhost

#endif  // OPXHOST_MEMORY_H
