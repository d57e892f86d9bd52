// Opening and replacing files so that no name hangs a call, no planted link
// redirects a write and a failed save destroys nothing.
//
// Reading: only a regular file on disk is opened. Natively the open never
// blocks (a FIFO would wait for a writer forever) and anything that is not a
// regular file is refused; in the Windows build a name that the system maps
// to a device (aux.pcx, COM1.pcx, NUL, "\\.\...") is refused before anything
// is opened, and a handle that is not a disk file is refused after.
//
// Writing: the new content goes to a temporary file made beside the target,
// created exclusively under a fresh random name (an existing file or link of
// that name is never opened), and takes the target's place only when the
// whole file was written and closed without error. Until then the target
// keeps its bytes, or stays missing. The file that takes its place keeps the
// old one's permissions and owner (natively) or its attributes and security
// (Windows). A target that is a link is followed: the file it points to is
// replaced and the link stays. A target that exists but is not a regular
// file (a character device, a FIFO, the Windows null device) is written in
// place, since replacing it would destroy what it is (the Windows build
// refuses pipes); other special files and the other Windows devices are
// refused. Where the folder takes no new file but the target may be
// written, the target is written in place.
//
// In the Windows build the last steps (the temporary file taking the
// target's place, or its removal after a failure) are tried again for about
// a second when another program has one of the files open for a moment, as
// virus scanners, the search indexer, thumbnailers and sync clients do with
// a file just written; a refusal that lasts (a read-only target, a missing
// folder, a full disk) is not waited on.
//
// Names are the platform's own: bytes natively, UTF-16 in the Windows build.
#ifndef PCX_PLATFORM_FILE_ACCESS_H
#define PCX_PLATFORM_FILE_ACCESS_H

#include <cstdint>
#include <cstdio>

#include "platform/Text.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace pcx::platform {

#if defined(_WIN32)
using PathChar = wchar_t;
#else
using PathChar = char;
#endif
// Names are built without exceptions: a name whose memory could not be had
// is failed() (see platform/Text.h), and every function here treats it as a
// name that cannot be used.
using PathString = BasicText<PathChar>;

// The named file opened for binary reading when it is a regular file on
// disk; null otherwise, and for a null or empty name. Never blocks.
std::FILE* openRegularFile(const PathChar* name);

// What a name stands for once links are followed.
enum class FileKind {
    Missing,  // nothing by that name (or a link to nothing)
    Regular,  // a regular file on disk
    Other,    // a folder, a device, a FIFO, or a name that cannot be looked at
};
FileKind fileKind(const PathChar* name);

// A source of random 64-bit draws for temporary names.
using DrawSource = uint64_t (*)();

#if defined(_WIN32)
// A millisecond tick count, and a pause of so many milliseconds.
using TickSource = uint32_t (*)();
using PauseSink = void (*)(uint32_t milliseconds);
// ReplaceFileW's own type, spelt without <windows.h>.
using ReplaceCall = int(__stdcall*)(const wchar_t* replaced, const wchar_t* replacement,
                                    const wchar_t* backup, unsigned long flags, void* exclude,
                                    void* reserved);
#endif

struct ReplaceOptions {
    // Natively: the permissions of a file that did not exist, less the
    // umask. 0666 is what fopen's "wb" gives.
    unsigned newFileMode = 0666;
    // Flushes the new content to the disk before it takes the old one's
    // place, so that a crash cannot leave a file whose data never arrived.
    bool flushToDisk = false;
    // The draws that temporary names are made from; null for the system's
    // random numbers. Tests give their own to know the names in advance.
    DrawSource draws = nullptr;
#if defined(_WIN32)
    // The clock and the pause of the last steps' retries; null for the
    // system's tick count and Sleep. Tests give their own to follow the
    // pauses without waiting for them.
    TickSource ticks = nullptr;
    PauseSink pause = nullptr;
    // ReplaceFileW, or a stand-in with which tests bring about the partial
    // outcomes its documentation describes; null for the system's.
    ReplaceCall replaceFile = nullptr;
#endif
};

// The name of the temporary file beside target for one draw: in target's
// folder, "." then the first 100 characters of target's own name, "." and
// ten letters and digits taken from draw. failed() when memory ran out. In
// the Windows build a name that would pass the system's path limit
// (MAX_PATH) is given in the long form ("\\?\" and the full path), which
// Windows XP already takes.
PathString temporaryNameFor(const PathString& target, uint64_t draw);

// One file being written in place of another (see the top of this file).
class FileReplacement {
public:
    FileReplacement() = default;
    // Abandons a replacement that was not committed.
    ~FileReplacement() { abandon(); }
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Prepares the replacement of name and opens the stream it is written
    // through. False, with nothing made, when the name is null or empty,
    // its folder does not exist, the target may not be written, is a folder
    // or a special file other than those written in place, or no file can
    // be made.
    bool open(const PathChar* name, const ReplaceOptions& options = ReplaceOptions());

    // The stream to write to; null before open and after closeStream.
    std::FILE* stream() const { return stream_; }
    // True when the target itself is being written (no temporary file).
    bool inPlace() const { return open_ && temporary_.empty(); }
    // The file that receives the content: the name given, links followed.
    const PathString& target() const { return target_; }
    // The temporary file; empty when writing in place.
    const PathString& temporary() const { return temporary_; }

    // Closes the stream and keeps the temporary file, for a caller that has
    // another writer fill it by name before the commit. False when the
    // close failed, which commit then reports too.
    bool closeStream();

    // Closes the stream if still open and puts the temporary file in the
    // target's place. True only when every write, the close and the
    // replacement succeeded; otherwise the temporary file is removed and
    // the target keeps what it had. In place: true when the close succeeded.
    // (Windows build: where the system took the old file away during a
    // replacement that then failed, which ReplaceFileW's documentation
    // allows, the temporary file is kept, as the one copy of the picture.)
    bool commit();

    // Closes the stream and removes the temporary file; the target keeps
    // what it had (in place: whatever was written to it so far).
    void abandon();

private:
    // The steps that differ by system: the stream's data forced to the
    // disk, the temporary file put in the target's place, and removed.
    bool flushToDisk();
    bool moveIntoPlace();
    void removeTemporary();
    bool openInPlace(const PathString& target, bool createOrTruncate);
#if defined(_WIN32)
    bool openInPlaceOnHandle(const PathString& target, void* handle);
    void keepAttributes();
#endif

    std::FILE* stream_ = nullptr;
    PathString target_;
    PathString temporary_;
    ReplaceOptions options_;
    bool open_ = false;
    bool streamFailed_ = false;
#if defined(_WIN32)
    // The attributes of the target this replaces; whether there was one.
    uint32_t attributes_ = 0;
    bool existed_ = false;
    // Whether the temporary file is the only copy left: the system took the
    // old file away and the move that should have followed failed.
    bool onlyCopy_ = false;
#endif
};

#if !defined(_WIN32)
// The native building blocks, shared with the settings store.

// The named file opened read-only (close-on-exec) as a descriptor when it
// is a regular file, without blocking; -1 otherwise, with errno ENOENT only
// when nothing of that name exists.
int openRegularFileDescriptor(const char* name);

// The name the links starting at path end at; the file there need not
// exist. Empty (or failed()) for a loop of links, a link that cannot be
// read, or no memory.
PathString resolveLinks(const char* path);

// Creates a temporary file for target beside it, exclusively, open for
// writing (close-on-exec), with permissions mode less the umask; when
// replacing is given, with that file's owner, group and permissions instead.
// The descriptor, its name in temporary; -1 with errno when none could be
// made (EEXIST: every name tried was taken).
int createTemporaryBeside(const PathString& target, unsigned mode, const struct stat* replacing,
                          PathString* temporary, DrawSource draws = nullptr);
#endif

}  // namespace pcx::platform

#endif  // PCX_PLATFORM_FILE_ACCESS_H
