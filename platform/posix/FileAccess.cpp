// Opening and replacing files natively; see platform/FileAccess.h.
#include "platform/FileAccess.h"

#include "platform/FileAccessParts.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

namespace pcx::platform {
namespace {

// Linux gives up after 40 links in a row; so do we.
constexpr int kMaxLinkHops = 40;

// Where the name after path's last slash starts (0 for a bare name).
size_t nameStart(const char* path, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i < length; ++i)
        if (path[i] == '/') start = i + 1;
    return start;
}

// The folder that holds path, with its slash ("./" for a bare name, "/" for
// a file in the root), which a name can follow directly.
bool appendFolderOf(PathString& out, const char* path, size_t length) {
    const size_t start = nameStart(path, length);
    return start == 0 ? out.append("./") : out.append(path, start);
}

// The kernel's random numbers; where they are not to be had, the clock,
// the process and a counter, mixed.
uint64_t systemDraw() {
    uint64_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value))
        return value;
    static std::atomic<uint64_t> counter{0};
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return mixBits(static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
                   (static_cast<uint64_t>(getpid()) << 44) ^ ++counter);
}

bool writeAccessible(const PathString& path) {
    // The effective ids decide, as they do for an open.
    return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

// Gives the new file the owner, group and permissions of the one it
// replaces, as far as this process may: a change of owner needs privileges,
// a change of group membership of it. Permissions come last, since a change
// of owner clears the set-id bits.
void takeOwnerAndMode(int fd, const struct stat& old) {
    struct stat now;
    if (fstat(fd, &now) == 0 && (now.st_uid != old.st_uid || now.st_gid != old.st_gid)) {
        if (fchown(fd, old.st_uid, old.st_gid) != 0 &&
            fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
            // Nothing more can be done; the permissions still follow.
        }
    }
    if (fchmod(fd, old.st_mode & 07777) != 0) {
        // The file is ours and was made with private permissions, 0600.
    }
}

}  // namespace

PathString temporaryNameFor(const PathString& target, uint64_t draw) {
    const size_t start = nameStart(target.c_str(), target.size());
    const size_t kept = std::min(target.size() - start, kKeptNameLength);
    PathString name;
    appendFolderOf(name, target.c_str(), target.size());
    name.append('.');
    name.append(target.c_str() + start, kept);
    name.append('.');
    name.append(drawnSuffix(draw));
    return name;
}

int openRegularFileDescriptor(const char* name) {
    if (name == nullptr || name[0] == '\0') {
        errno = EINVAL;
        return -1;
    }
    // Without O_NONBLOCK a FIFO would wait here for a writer, and a serial
    // line for its carrier.
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    // Reads then behave as any other's; the only status flag set was this.
    fcntl(fd, F_SETFL, 0);
    return fd;
}

std::FILE* openRegularFile(const char* name) {
    const int fd = openRegularFileDescriptor(name);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) close(fd);
    return file;
}

FileKind fileKind(const char* name) {
    struct stat info;
    if (name == nullptr || name[0] == '\0') return FileKind::Other;
    if (stat(name, &info) != 0) return errno == ENOENT ? FileKind::Missing : FileKind::Other;
    return S_ISREG(info.st_mode) ? FileKind::Regular : FileKind::Other;
}

PathString resolveLinks(const char* path) {
    PathString at = PathString::of(path);
    // One link's text, read into memory of the call's own.
    char link[PATH_MAX + 1];
    for (int hop = 0; hop <= kMaxLinkHops && !at.failed(); ++hop) {
        struct stat info;
        // Missing, or anything but a link: the end of the chain. What it is
        // is the caller's to find out.
        if (lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return at;
        const ssize_t length = readlink(at.c_str(), link, sizeof link);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof link) return PathString();
        // A relative link is relative to the folder that holds it.
        PathString next;
        if (link[0] != '/') appendFolderOf(next, at.c_str(), at.size());
        next.append(link, static_cast<size_t>(length));
        at = static_cast<PathString&&>(next);
    }
    return PathString();
}

int createTemporaryBeside(const PathString& target, unsigned mode, const struct stat* replacing,
                          PathString* temporary, DrawSource draws) {
    // Private until the content is complete when it replaces a file; a new
    // file is made as fopen would make it.
    const mode_t createMode = replacing ? 0600 : static_cast<mode_t>(mode & 0777);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        PathString name = temporaryNameFor(target, draws ? draws() : systemDraw());
        if (name.failed()) {
            errno = ENOMEM;
            return -1;
        }
        // O_EXCL: an existing file or link of this name, even a link to
        // nothing, makes the open fail instead of being followed.
        int fd;
        do {
            fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                      createMode);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            if (replacing) takeOwnerAndMode(fd, *replacing);
            *temporary = static_cast<PathString&&>(name);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

bool FileReplacement::open(const char* name, const ReplaceOptions& options) {
    abandon();
    if (name == nullptr || name[0] == '\0') return false;
    PathString target = resolveLinks(name);
    if (target.empty() || target.failed()) return false;
    options_ = options;

    struct stat old;
    bool exists = true;
    if (lstat(target.c_str(), &old) != 0) {
        if (errno != ENOENT) return false;
        exists = false;
    }
    if (exists && !S_ISREG(old.st_mode)) {
        // A device or a FIFO is what the user means to write to; replacing
        // it with a file would destroy it. Anything else is no target.
        if (!S_ISCHR(old.st_mode) && !S_ISFIFO(old.st_mode)) return false;
        return openInPlace(target, false);
    }
    // A file that could not be opened for writing is not replaced either.
    if (exists && !writeAccessible(target)) return false;

    PathString temporary;
    const int fd = createTemporaryBeside(target, options.newFileMode, exists ? &old : nullptr,
                                         &temporary, options.draws);
    if (fd < 0) {
        // No new file may be made in the folder (or its name would be too
        // long), but the target may still be writable: as fopen would.
        // A full disk is no reason: writing in place would then cost the
        // old content.
        if (errno == EACCES || errno == EPERM || errno == ENAMETOOLONG)
            return openInPlace(target, true);
        return false;
    }
    stream_ = fdopen(fd, "wb");
    if (stream_ == nullptr) {
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    target_ = static_cast<PathString&&>(target);
    temporary_ = static_cast<PathString&&>(temporary);
    open_ = true;
    return true;
}

bool FileReplacement::openInPlace(const PathString& target, bool createOrTruncate) {
    // Never blocks: a FIFO without a reader refuses at once (ENXIO) instead
    // of waiting for one. The target's links are already followed.
    const int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW |
                      (createOrTruncate ? O_CREAT | O_TRUNC : 0);
    const int fd = ::open(target.c_str(), flags, static_cast<mode_t>(options_.newFileMode & 0777));
    if (fd < 0) return false;
    struct stat info;
    // A regular file that took the special file's place since it was looked
    // at would be written over without being truncated.
    if (fstat(fd, &info) != 0 || (!createOrTruncate && S_ISREG(info.st_mode))) {
        close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, 0);
    if (!target_.assign(target)) {
        close(fd);
        return false;
    }
    stream_ = fdopen(fd, "wb");
    if (stream_ == nullptr) {
        close(fd);
        return false;
    }
    temporary_.clear();
    open_ = true;
    return true;
}

bool FileReplacement::flushToDisk() {
    return fsync(fileno(stream_)) == 0;
}

// rename replaces the target in one step: a reader sees the old file or the
// new one, never a mixture.
bool FileReplacement::moveIntoPlace() {
    return rename(temporary_.c_str(), target_.c_str()) == 0;
}

void FileReplacement::removeTemporary() {
    unlink(temporary_.c_str());
}

}  // namespace pcx::platform
