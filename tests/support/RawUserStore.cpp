#include "RawUserStore.h"

#include <cstdio>
#include <cstdlib>

#include "TestEnv.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <filesystem>
#endif

namespace pcxtest {

const char kMethodKeyPath[] = "\\Software\\TALVERN\\Ostra\\Plugin\\TALVERN\\EPcx";
const char kMethodValueName[] = "TransformMethod";

#if defined(_WIN32)

namespace {

const char* const kSubKey = kMethodKeyPath + 1;  // the registry takes it without the backslash

bool putValue(DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const bool ok = RegSetValueExA(key, kMethodValueName, 0, type, static_cast<const BYTE*>(data),
                                   size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

}  // namespace

struct RawUserStore::State {};

RawUserStore::RawUserStore() : state_(new State) {
    removeKey();
}

RawUserStore::~RawUserStore() {
    removeKey();
}

bool RawUserStore::putInteger(uint32_t value) {
    const DWORD data = value;
    return putValue(REG_DWORD, &data, sizeof data);
}

bool RawUserStore::putString(const std::string& text) {
    return putValue(REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

bool RawUserStore::putBinary(const std::vector<uint8_t>& bytes) {
    return putValue(REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
}

bool RawUserStore::removeKey() {
    RegDeleteKeyA(HKEY_CURRENT_USER, kSubKey);
    return !hasKey();
}

std::optional<uint32_t> RawUserStore::integer() const {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSubKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = 0, data = 0, size = sizeof data;
    const LONG status = RegQueryValueExA(key, kMethodValueName, nullptr, &type,
                                         reinterpret_cast<BYTE*>(&data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof data) return std::nullopt;
    return data;
}

bool RawUserStore::hasKey() const {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSubKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

#else

// The store file's form, written out by hand: a "[\key\path]" line, then
// "\"name\"=dword:XXXXXXXX" for an integer, "\"name\"=\"text\"" for a string
// and "\"name\"=hex:xx,xx" for binary data.
struct RawUserStore::State {
    TempDir config;
    std::string previous;
    bool hadPrevious = false;
};

namespace {

std::string storeFile(const TempDir& config) {
    return config.path() + "/pcx-opx/settings";
}

bool putLine(const TempDir& config, const std::string& data) {
    std::filesystem::create_directories(config.path() + "/pcx-opx");
    const std::string text =
        std::string("[") + kMethodKeyPath + "]\n\"" + kMethodValueName + "\"=" + data + "\n";
    return writeFile(storeFile(config), std::vector<uint8_t>(text.begin(), text.end()));
}

}  // namespace

RawUserStore::RawUserStore() : state_(new State) {
    if (const char* previous = std::getenv("XDG_CONFIG_HOME")) {
        state_->previous = previous;
        state_->hadPrevious = true;
    }
    setenv("XDG_CONFIG_HOME", state_->config.path().c_str(), 1);
}

RawUserStore::~RawUserStore() {
    if (state_->hadPrevious)
        setenv("XDG_CONFIG_HOME", state_->previous.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

std::string RawUserStore::filePath() const {
    return storeFile(state_->config);
}

bool RawUserStore::putInteger(uint32_t value) {
    char data[32];
    std::snprintf(data, sizeof data, "dword:%08x", static_cast<unsigned>(value));
    return putLine(state_->config, data);
}

bool RawUserStore::putString(const std::string& text) {
    return putLine(state_->config, "\"" + text + "\"");
}

bool RawUserStore::putBinary(const std::vector<uint8_t>& bytes) {
    std::string data = "hex:";
    for (size_t i = 0; i < bytes.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", bytes[i]);
        data += (i ? "," : "") + std::string(byte);
    }
    return putLine(state_->config, data);
}

bool RawUserStore::removeKey() {
    std::error_code error;
    std::filesystem::remove(storeFile(state_->config), error);
    return !hasKey();
}

std::optional<uint32_t> RawUserStore::integer() const {
    bool ok = false;
    const std::vector<uint8_t> bytes = readFile(storeFile(state_->config), &ok);
    if (!ok) return std::nullopt;
    const std::string text(bytes.begin(), bytes.end());
    const std::string header = std::string("[") + kMethodKeyPath + "]\n";
    const std::string entry = std::string("\"") + kMethodValueName + "\"=dword:";
    const size_t key = text.find(header);
    if (key == std::string::npos) return std::nullopt;
    const size_t at = text.find(entry, key);
    if (at == std::string::npos || at + entry.size() + 8 > text.size()) return std::nullopt;
    return static_cast<uint32_t>(std::stoul(text.substr(at + entry.size(), 8), nullptr, 16));
}

bool RawUserStore::hasKey() const {
    bool ok = false;
    const std::vector<uint8_t> bytes = readFile(storeFile(state_->config), &ok);
    const std::string text(bytes.begin(), bytes.end());
    return ok && text.find(std::string("[") + kMethodKeyPath + "]") != std::string::npos;
}

#endif

}  // namespace pcxtest
