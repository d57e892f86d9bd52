// The native build's per-user settings store: one small text file of this
// project's own, kept in the user's configuration folder, that holds typed
// values under registry-like key paths.
//
//   ; a comment line
//   [\Software\Maker\Product]            a key: its path, leading backslash
//   "Count"=dword:0000001c               a 32-bit integer, exactly 8 hex digits
//   "Title"="text"                       any other value (a string, hex:00,01
//                                        binary data, ...) is never an integer
//
// Only a line of the dword form counts as an integer, so a string or binary
// value of the same name is told apart from one, as in the registry. A save
// changes or adds the one line it writes and keeps every other line as it
// was, even lines it does not understand; those are ignored on reads. The
// file is replaced atomically: the new content is written to a temporary file
// in the same folder and renamed over the old one, so a crash mid-save leaves
// either the old store or the new, never a broken one. A store that is a
// symbolic link is written through it (the link stays), and the new file
// keeps the old one's permissions.
#ifndef PCX_PLATFORM_POSIX_SETTINGS_FILE_H
#define PCX_PLATFORM_POSIX_SETTINGS_FILE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pcx::platform::posix {

// A store holds a handful of short lines; a file larger than this is not one
// of ours and counts as unreadable (and is never overwritten).
constexpr size_t kMaxStoreBytes = 1 << 20;

// The store of the current user: $XDG_CONFIG_HOME/pcx-opx/settings, or
// $HOME/.config/pcx-opx/settings when XDG_CONFIG_HOME is unset, empty or not
// an absolute path. Empty when neither gives an absolute folder.
std::string userStorePath();

// A store's text, line by line, as read from its file.
class SettingsText {
public:
    explicit SettingsText(const std::string& text = std::string());

    // The integer value name of the key keyPath (both compared without regard
    // to ASCII case; leading backslashes of the path do not matter). The first
    // line naming it counts. Empty when it is missing or not of the dword form.
    std::optional<uint32_t> readInteger(const std::string& keyPath, const std::string& name) const;

    // Makes value the integer value name of keyPath: rewrites the line that
    // readInteger would find, else adds one under the key's first header,
    // else appends the key. False, with nothing changed, when the path or the
    // name cannot be written in this format (not printable ASCII, or a name
    // holding a quote, or a path holding a bracket).
    bool writeInteger(const std::string& keyPath, const std::string& name, uint32_t value);

    // The whole text, each line ending in a line feed.
    std::string text() const;

private:
    std::vector<std::string> lines_;
};

// The content of the store file at path: the empty text when the file does
// not exist, empty (no value) when it exists but cannot be read whole, is not
// a regular file or is larger than kMaxStoreBytes. Never blocks.
std::optional<std::string> loadStoreText(const std::string& path);

// Writes text to a new temporary file, created exclusively, in the folder of
// the file path names once links are followed (path's folder is made with any
// missing parents, private to the user), with that file's permissions or,
// for a new store, private ones, and flushes it to disk. The temporary file's
// path, or empty when any step failed (then nothing is left behind).
std::string stageStoreText(const std::string& path, const std::string& text);

// Renames the staged file over the file path names (links followed),
// replacing the store in one step. On failure the staged file is removed and
// the old store stays as it was.
bool commitStoreText(const std::string& staged, const std::string& path);

// The integer value of the store file at path (see SettingsText::readInteger);
// empty as well when the file cannot be read.
std::optional<uint32_t> readStoreInteger(const std::string& path, const std::string& keyPath,
                                         const std::string& name);

// Loads the store file at path (a missing file is an empty store), writes the
// value, then stages and commits the new content. False when anything failed;
// a store that exists but cannot be read is left alone, never overwritten.
bool writeStoreInteger(const std::string& path, const std::string& keyPath, const std::string& name,
                       uint32_t value);

}  // namespace pcx::platform::posix

#endif  // PCX_PLATFORM_POSIX_SETTINGS_FILE_H
