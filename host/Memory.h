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

void installOutOfMemoryHandler();

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
