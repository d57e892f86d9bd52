// The native build's per-user settings file; see SettingsFile.h for its form.
#include "platform/posix/SettingsFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/FileAccess.h"
#include "platform/SettingsStore.h"

namespace pcx::platform::posix {
namespace {

constexpr char kStoreFolder[] = "pcx-opx";
constexpr char kStoreFile[] = "settings";
constexpr char kDwordPrefix[] = "dword:";
constexpr size_t kDwordDigits = 8;
// Written at the top of a new store so that a person who opens it knows what
// it is and how it reads.
constexpr char kNewStoreComment[] =
    "; Pcx.opx per-user settings: [\\key\\path] lines, then \"name\"=dword:XXXXXXXX values";

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

// "\A\B", "A\B" and "\\A\B" name the same key: the path from the root.
std::string keyFromRoot(const std::string& keyPath) {
    size_t start = keyPath.find_first_not_of('\\');
    return start == std::string::npos ? std::string() : keyPath.substr(start);
}

bool isPrintableAscii(const std::string& s) {
    for (char c : s)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

// A line without the carriage return a hand-edited file may carry.
std::string withoutCarriageReturn(const std::string& line) {
    return (!line.empty() && line.back() == '\r') ? line.substr(0, line.size() - 1) : line;
}

// The key path of a "[...]" header line, or empty when the line is none.
std::optional<std::string> headerKey(const std::string& rawLine) {
    const std::string line = withoutCarriageReturn(rawLine);
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
    return keyFromRoot(line.substr(1, line.size() - 2));
}

struct Entry {
    std::string name;
    std::string data;  // everything after the '='
};

// The name and data of a "\"name\"=data" line, or empty when the line is none.
std::optional<Entry> entryOf(const std::string& rawLine) {
    const std::string line = withoutCarriageReturn(rawLine);
    if (line.empty() || line[0] != '"') return std::nullopt;
    const size_t close = line.find('"', 1);
    if (close == std::string::npos || close + 1 >= line.size() || line[close + 1] != '=')
        return std::nullopt;
    return Entry{line.substr(1, close - 1), line.substr(close + 2)};
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = lowerAscii(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The integer of "dword:" and exactly eight hex digits; nothing else is one.
std::optional<uint32_t> dwordOf(const std::string& data) {
    const size_t prefix = sizeof kDwordPrefix - 1;
    if (data.size() != prefix + kDwordDigits || data.compare(0, prefix, kDwordPrefix) != 0)
        return std::nullopt;
    uint32_t value = 0;
    for (size_t i = prefix; i < data.size(); ++i) {
        const int digit = hexDigit(data[i]);
        if (digit < 0) return std::nullopt;
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return value;
}

std::string dwordLine(const std::string& name, uint32_t value) {
    char digits[kDwordDigits + 1];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(value));
    return "\"" + name + "\"=" + kDwordPrefix + digits;
}

// Makes folder and its missing parents, each private to the user.
bool makeFolders(const std::string& folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (!part.empty() && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
    }
    struct stat info;
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string userStorePath() {
    std::string base;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config && config[0] == '/')
        base = config;
    else if (home && home[0] == '/')
        base = std::string(home) + "/.config";
    else
        return {};
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/" + kStoreFolder + "/" + kStoreFile;
}

SettingsText::SettingsText(const std::string& text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines_.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::optional<uint32_t> SettingsText::readInteger(const std::string& keyPath,
                                                  const std::string& name) const {
    const std::string key = keyFromRoot(keyPath);
    bool inKey = false;
    for (const std::string& line : lines_) {
        if (auto header = headerKey(line)) {
            inKey = equalsIgnoringCase(*header, key);
        } else if (auto entry = entryOf(line);
                   inKey && entry && equalsIgnoringCase(entry->name, name)) {
            return dwordOf(entry->data);
        }
    }
    return std::nullopt;
}

bool SettingsText::writeInteger(const std::string& keyPath, const std::string& name,
                                uint32_t value) {
    const std::string key = keyFromRoot(keyPath);
    if (key.empty() || !isPrintableAscii(key) || key.find_first_of("[]") != std::string::npos ||
        name.empty() || !isPrintableAscii(name) || name.find('"') != std::string::npos)
        return false;

    bool inKey = false;
    size_t firstHeader = lines_.size();
    for (size_t i = 0; i < lines_.size(); ++i) {
        if (auto header = headerKey(lines_[i])) {
            inKey = equalsIgnoringCase(*header, key);
            if (inKey && firstHeader == lines_.size()) firstHeader = i;
        } else if (auto entry = entryOf(lines_[i]);
                   inKey && entry && equalsIgnoringCase(entry->name, name)) {
            // Keep the spelling the store already has, as the registry does.
            lines_[i] = dwordLine(entry->name, value);
            return true;
        }
    }
    if (firstHeader < lines_.size()) {
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(firstHeader) + 1,
                      dwordLine(name, value));
        return true;
    }
    if (lines_.empty())
        lines_.push_back(kNewStoreComment);
    else if (!withoutCarriageReturn(lines_.back()).empty())
        lines_.emplace_back();
    lines_.push_back("[\\" + key + "]");
    lines_.push_back(dwordLine(name, value));
    return true;
}

std::string SettingsText::text() const {
    std::string out;
    for (const std::string& line : lines_) out += line + "\n";
    return out;
}

std::optional<std::string> loadStoreText(const std::string& path) {
    // Only a regular file, opened without blocking: a FIFO in the store's
    // place would otherwise hold up the host's start for good.
    const int fd = openRegularFileDescriptor(path.c_str());
    if (fd < 0) return errno == ENOENT ? std::optional<std::string>(std::string()) : std::nullopt;
    std::optional<std::string> result;
    struct stat info;
    if (fstat(fd, &info) == 0 && info.st_size >= 0 &&
        static_cast<uint64_t>(info.st_size) <= kMaxStoreBytes) {
        std::string text;
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            if (n == 0) {
                result = std::move(text);
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
            // The file grew while it was read: not a store of ours.
            if (text.size() > kMaxStoreBytes) break;
        }
    }
    close(fd);
    return result;
}

std::string stageStoreText(const std::string& path, const std::string& text) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0 || !makeFolders(path.substr(0, slash))) return {};
    // A store that is a link is written through it: the file it names is
    // replaced and the link stays. The new file keeps the old one's
    // permissions; a new store is private to the user.
    const PathString target = resolveLinks(path.c_str());
    if (target.empty() || target.failed()) return {};
    struct stat old;
    const bool replacing = lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    PathString stagedName;
    const int fd = createTemporaryBeside(target, 0600, replacing ? &old : nullptr, &stagedName);
    if (fd < 0) return {};
    const std::string staged(stagedName.view());
    const bool written = writeAll(fd, text) && fsync(fd) == 0;
    if (close(fd) != 0 || !written) {
        unlink(staged.c_str());
        return {};
    }
    return staged;
}

bool commitStoreText(const std::string& staged, const std::string& path) {
    const PathString target = resolveLinks(path.c_str());
    if (!target.empty() && !target.failed() && rename(staged.c_str(), target.c_str()) == 0)
        return true;
    unlink(staged.c_str());
    return false;
}

std::optional<uint32_t> readStoreInteger(const std::string& path, const std::string& keyPath,
                                         const std::string& name) {
    const std::optional<std::string> text = loadStoreText(path);
    if (!text) return std::nullopt;
    return SettingsText(*text).readInteger(keyPath, name);
}

bool writeStoreInteger(const std::string& path, const std::string& keyPath, const std::string& name,
                       uint32_t value) {
    const std::optional<std::string> text = loadStoreText(path);
    if (!text) return false;
    SettingsText store(*text);
    if (!store.writeInteger(keyPath, name, value)) return false;
    const std::string staged = stageStoreText(path, store.text());
    return !staged.empty() && commitStoreText(staged, path);
}

}  // namespace pcx::platform::posix

namespace pcx::platform {

std::optional<uint32_t> readUserInteger(const char* keyPath, const char* valueName) noexcept {
    try {
        const std::string path = posix::userStorePath();
        if (!keyPath || !valueName || path.empty()) return std::nullopt;
        return posix::readStoreInteger(path, keyPath, valueName);
    } catch (...) {
        return std::nullopt;
    }
}

bool writeUserInteger(const char* keyPath, const char* valueName, uint32_t value) noexcept {
    try {
        const std::string path = posix::userStorePath();
        if (!keyPath || !valueName || path.empty()) return false;
        return posix::writeStoreInteger(path, keyPath, valueName, value);
    } catch (...) {
        return false;
    }
}

}  // namespace pcx::platform
