// The user's settings store in the Windows build: the registry under
// HKEY_CURRENT_USER, through ADVAPI32.
//
// Keys are opened and created asking for full access (KEY_ALL_ACCESS), the
// way a program that reads and writes its own key does, and closed without an
// explicit flush: the registry writes itself back in its own time.
#include "platform/SettingsStore.h"

#include <windows.h>

namespace pcx::platform {
namespace {

// Registry functions take a key path relative to the root key they are given;
// the store's paths name the key from the root with a leading backslash.
const char* relativeToRoot(const char* keyPath) {
    while (*keyPath == '\\') ++keyPath;
    return keyPath;
}

// Closes an open key when it goes out of scope.
class OpenKey {
public:
    OpenKey() = default;
    ~OpenKey() {
        if (key_) RegCloseKey(key_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

}  // namespace

std::optional<uint32_t> readUserInteger(const char* keyPath, const char* valueName) noexcept {
    if (!keyPath || !valueName) return std::nullopt;
    OpenKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, relativeToRoot(keyPath), 0, KEY_ALL_ACCESS, key.out()) !=
        ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof data;
    // A value longer than four bytes fails here with ERROR_MORE_DATA; one of
    // four bytes but another type (REG_BINARY) is refused by its type.
    if (RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data),
                         &size) != ERROR_SUCCESS)
        return std::nullopt;
    if (type != REG_DWORD || size != sizeof data) return std::nullopt;
    return static_cast<uint32_t>(data);
}

bool writeUserInteger(const char* keyPath, const char* valueName, uint32_t value) noexcept {
    if (!keyPath || !valueName) return false;
    OpenKey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, relativeToRoot(keyPath), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.out(),
                        nullptr) != ERROR_SUCCESS)
        return false;
    const DWORD data = value;
    return RegSetValueExA(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                          sizeof data) == ERROR_SUCCESS;
}

}  // namespace pcx::platform
