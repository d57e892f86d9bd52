// What opxhost needs from the operating system: the command line, file names
// in the forms the host and the plug-in each take, the console and Ctrl-C.
// Files are opened and replaced by the plug-in's own platform code
// (platform/FileAccess.h), compiled into the host from the same source.
//
// Inside the host every text is UTF-8. A file name reaches the plug-in as the
// plug-in expects it: Shift-JIS in the Windows build (the host's own file
// names are UTF-16 there), the bytes as they stand natively.
#ifndef OPXHOST_PLATFORM_H
#define OPXHOST_PLATFORM_H

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace opxhost {

namespace fs = std::filesystem;

// A file name given as UTF-8 text (natively: as bytes) and back.
fs::path pathFromText(const std::string& text);
std::string pathText(const fs::path& path);

// The name as the plug-in takes it; empty when it cannot be written in the
// plug-in's code page (Windows build: a character outside Shift-JIS).
std::optional<std::string> pluginFileName(const fs::path& path);

// The name as the module loader takes it (LoadLibraryA in the Windows build:
// the system's ANSI code page); empty when it cannot be written so.
std::optional<std::string> loaderFileName(const fs::path& path);

// The folder of the running program.
fs::path programFolder();

// Opens a regular file as a byte stream for the host's own reading; null
// for anything else, without blocking on a FIFO or a device.
std::FILE* openFile(const fs::path& path);

// Writes UTF-8 text to standard output or standard error, converted for a
// Windows console when one is attached.
void printOut(const std::string& text);
void printErr(const std::string& text);
// True when standard error is a terminal (a console in the Windows build).
bool stderrIsTerminal();

// Ctrl-C: after installInterruptHandler, Ctrl-C (natively also SIGTERM and
// SIGHUP, the signals that end a program or its terminal) no longer ends the
// program but sets a flag that interrupted() reports, so that an incomplete
// output is removed before it exits.
void installInterruptHandler();
bool interrupted();
// Delivers a Ctrl-C to this process through the same road as a real one
// (natively SIGINT, or the signal TestAids names, SIGTERM or SIGHUP; in the
// Windows build the console control handler): a testing aid, used by the
// test-only program's --test-stop-at-row.
void simulateInterrupt();

}  // namespace opxhost

#endif  // OPXHOST_PLATFORM_H
