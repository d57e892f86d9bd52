// Small helpers shared by the test programs.
#ifndef PCX_TESTS_TEST_ENV_H
#define PCX_TESTS_TEST_ENV_H

#include <cstdint>
#include <string>
#include <vector>

namespace pcxtest {

// True when the run is a CI run (CI is set and not "false" or "0"): there a
// missing tool fails a test instead of skipping it.
bool inCi();

// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // path() joined with name by the platform's separator.
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

// Whole-file helpers; readFile gives an empty vector with ok false when the
// file cannot be read.
std::vector<uint8_t> readFile(const std::string& path, bool* ok = nullptr);
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
bool fileExists(const std::string& path);

#if !defined(_WIN32)
// Native only: runs a shell command, returns its exit status (-1 when it
// could not be started) and, when output is given, its standard output.
int runCommand(const std::string& command, std::string* output = nullptr);
// The full path of a program found on PATH or at an absolute path, or "".
std::string findTool(const std::string& name);

// Lowers the soft limit of one of the process's resources (RLIMIT_AS,
// RLIMIT_FSIZE, ...) to value for as long as it lives, then puts the old
// limit back; active() is false when the limit could not be set.
class ScopedLimit {
public:
    ScopedLimit(int resource, unsigned long long value);
    ~ScopedLimit();
    ScopedLimit(const ScopedLimit&) = delete;
    ScopedLimit& operator=(const ScopedLimit&) = delete;
    bool active() const { return active_; }

private:
    int resource_;
    unsigned long long savedSoft_ = 0;
    bool active_ = false;
};
#endif

}  // namespace pcxtest

// Skips the test when a tool is missing, or fails it in CI, where every tool
// must be present: REQUIRE_TOOL(path, "pcxtoppm") sets path.
#define REQUIRE_TOOL(var, name)                                            \
    const std::string var = ::pcxtest::findTool(name);                     \
    if (var.empty()) {                                                     \
        if (::pcxtest::inCi()) FAIL() << "missing tool in CI: " << (name); \
        GTEST_SKIP() << "missing tool: " << (name);                        \
    }

#endif  // PCX_TESTS_TEST_ENV_H
