// Puts typed values into the user's settings store, and reads them back, the
// way a person or another program would: through the registry API in the
// Windows build (inside the test run's private Wine prefix), by writing the
// store file's text by hand natively. Never through the module's own code, so
// that a test checks the module against the store's real form.
#ifndef PCX_TESTS_RAW_USER_STORE_H
#define PCX_TESTS_RAW_USER_STORE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pcxtest {

// The key and value under which the module keeps its conversion method.
extern const char kMethodKeyPath[];  // leading backslash, from the root
extern const char kMethodValueName[];

// One store for one test. Natively it points XDG_CONFIG_HOME at a fresh
// temporary folder for its lifetime; in the Windows build it deletes the
// method's key when it is made and when it goes.
class RawUserStore {
public:
    RawUserStore();
    ~RawUserStore();
    RawUserStore(const RawUserStore&) = delete;
    RawUserStore& operator=(const RawUserStore&) = delete;

    // Each replaces the value kMethodValueName of kMethodKeyPath, creating
    // the key. True when it was stored.
    bool putInteger(uint32_t value);
    bool putString(const std::string& text);
    bool putBinary(const std::vector<uint8_t>& bytes);
    // Deletes the key with all its values; true when it is gone afterwards.
    bool removeKey();
    // The value when it is a 32-bit integer, else empty.
    std::optional<uint32_t> integer() const;
    // True when the key exists.
    bool hasKey() const;

#if !defined(_WIN32)
    // The store file the module uses while this object lives.
    std::string filePath() const;
#endif

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace pcxtest

#endif  // PCX_TESTS_RAW_USER_STORE_H
