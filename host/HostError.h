// opxhost's exit codes and the one error type its commands throw.
//
// Every failure a person can cause has its own exit code, so that scripts can
// tell them apart; docs/opxhost.md lists them. A command that works on several
// files goes on after a failed file and exits with the code of the first
// failure; an interruption stops it at once.
#ifndef OPXHOST_HOST_ERROR_H
#define OPXHOST_HOST_ERROR_H

#include <stdexcept>
#include <string>

namespace opxhost {

enum ExitCode : int {
    kExitOk = 0,
    kExitPluginNotLoaded = 1,  // the module is missing or lacks an export
    kExitUsage = 2,            // the command line is wrong
    kExitMissingInput = 3,     // an input file does not exist or cannot be opened
    kExitNotPcx = 4,           // the plug-in does not accept the file as PCX
    kExitPcxRefused = 5,       // the plug-in accepts the header but cannot decode it
    kExitBadPicture = 6,       // an input picture the host cannot read
    kExitCannotWrite = 7,      // an output file that cannot be written
    kExitInterrupted = 8,      // Ctrl-C: the file being written is incomplete
    kExitUnavailable = 9,      // a conversion or dialog this build does not have
    kExitUnexpected = 10,      // anything else: a fault of the host
    kExitOutOfMemory = 11,     // memory ran out (the host's, or the plug-in's while decoding)
};

// A failure with its exit code and a one-line message (without the program
// name, which the caller puts in front).
class HostError : public std::runtime_error {
public:
    HostError(ExitCode code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

private:
    ExitCode code_;
};

}  // namespace opxhost

#endif  // OPXHOST_HOST_ERROR_H
