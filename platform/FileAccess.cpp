// What the two file layers share (platform/FileAccess.h): the bookkeeping of
// a replacement, the mixing of draws and the letters of temporary names.
// The steps that differ by system (the flush to disk, the move into place,
// the removal of the temporary file) are in posix/ and win32/.
#include "platform/FileAccess.h"

#include "platform/FileAccessParts.h"

namespace pcx::platform {

uint64_t mixBits(uint64_t x) {
    // splitmix64's finaliser: every input bit reaches every output bit.
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

PathString drawnSuffix(uint64_t draw) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    PathChar letters[kSuffixLength];
    for (PathChar& letter : letters) {
        letter = static_cast<PathChar>(kLetters[draw % 36]);
        draw /= 36;
    }
    return PathString::of(letters, kSuffixLength);
}

bool FileReplacement::closeStream() {
    if (stream_ != nullptr) {
        bool ok = std::fflush(stream_) == 0;
        if (ok && options_.flushToDisk && !temporary_.empty()) ok = flushToDisk();
        ok = std::fclose(stream_) == 0 && ok;
        stream_ = nullptr;
        if (!ok) streamFailed_ = true;
    }
    return open_ && !streamFailed_;
}

bool FileReplacement::commit() {
    if (!open_) return false;
    const bool written = closeStream();
    if (temporary_.empty()) {
        open_ = false;
        streamFailed_ = false;
        return written;
    }
    if (written && moveIntoPlace()) {
        temporary_.clear();
        open_ = false;
        return true;
    }
    abandon();
    return false;
}

void FileReplacement::abandon() {
    if (stream_ != nullptr) std::fclose(stream_);
    stream_ = nullptr;
    if (!temporary_.empty()) removeTemporary();
    temporary_.clear();
    open_ = false;
    streamFailed_ = false;
}

}  // namespace pcx::platform
