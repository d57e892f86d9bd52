// The current user's settings store: the registry under HKEY_CURRENT_USER in
// the Windows build, a small file of this project's own natively.
//
// Both keep typed values under key paths, so that a 32-bit integer can be told
// apart from a string or binary value of the same name: only an integer is
// ever read back as one. A key path begins with a backslash and names the key
// from the root of the user's store, e.g. "\Software\Maker\Product". Key paths
// and value names are plain ASCII and compared without regard to case.
#ifndef PCX_PLATFORM_SETTINGS_STORE_H
#define PCX_PLATFORM_SETTINGS_STORE_H

#include <cstdint>
#include <optional>

namespace pcx::platform {

// The 32-bit integer value valueName of the key keyPath. Empty when the key or
// the value is missing, when the value has any other type (a string, binary
// data even of four bytes), or when the store cannot be read or is malformed.
// Never throws.
std::optional<uint32_t> readUserInteger(const char* keyPath, const char* valueName) noexcept;

// Stores value as the 32-bit integer value valueName of the key keyPath,
// creating the key and any missing parent keys and replacing any earlier
// value of that name, whatever its type. False when nothing could be stored.
// Never throws.
bool writeUserInteger(const char* keyPath, const char* valueName, uint32_t value) noexcept;

}  // namespace pcx::platform

#endif  // PCX_PLATFORM_SETTINGS_STORE_H
