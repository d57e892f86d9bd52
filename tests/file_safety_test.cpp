// The files the module writes and reads, as an unlucky user and an attacker
// meet them: a write that fails on a full disk keeps the old file (or makes
// none), a stop still replaces it, the replacement keeps the old file's
// permissions (attributes in the Windows build) and a link, a link planted
// at a temporary name is never followed, a device or FIFO is never replaced,
// and no name that is not a file holds up an import call.
//
// A full disk is a limit on the size of the files this process writes, with
// the signal for it ignored, so that writes fail (EFBIG) instead: natively
// set here around each write; under Wine the runner sets it for the whole
// program (PCX_FILE_SIZE_LIMIT), since a Windows program cannot. Under Wine
// links, FIFOs and device nodes are made by Unix tools, which Wine starts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileAccess.h"
#include "support/HostTexts.h"
#include "support/PluginTest.h"
#include "support/TestEnv.h"
#include "write_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using pcxtest::ProgressLog;
using pcxtest::TestPicture;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// The room left on the "disk": the 200 KB.
constexpr long kRoom = 204800;

// Makes writes past kRoom bytes of a file fail for as long as it lives.
class FullDisk {
public:
#if defined(_WIN32)
    bool active() const {
        const char* limit = std::getenv("PCX_FILE_SIZE_LIMIT");
        return limit && std::atol(limit) == kRoom;
    }
#else
    // A write past the limit then fails with EFBIG instead of raising
    // SIGXFSZ.
    FullDisk() : oldHandler_(signal(SIGXFSZ, SIG_IGN)) {}
    ~FullDisk() {
        signal(SIGXFSZ, oldHandler_);
    }
    bool active() const {
        return limit_.active();
    }

private:
    void (*oldHandler_)(int);
    pcxtest::ScopedLimit limit_{RLIMIT_FSIZE, kRoom};
#endif
};

// Unix side of the tests under Wine: a shell command, with paths as Unix
// names. Natively the same commands run through the shell directly.
#if defined(_WIN32)
std::string unixName(const std::string& path) {
    using UnixFileName = char*(CDECL*)(LPCWSTR);
    const auto toUnix = reinterpret_cast<UnixFileName>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return {};
    char* name = toUnix(fs::path(path).wstring().c_str());
    if (!name) return {};
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// Wine starts a Unix program given its Unix path on drive Z:, but cannot
// tell its exit status: the script writes it to a file. Only commands that
// end by themselves: a program Wine starts shares this process's link to the
// Wine server (and signals it blocks), so one left running in the background
// keeps the server, and with it the whole test run, waiting.
int shell(const std::string& script) {
    static int serial = 0;
    const std::string status =
        (fs::temp_directory_path() / ("pcxtest-status-" + std::to_string(GetCurrentProcessId()) +
                                      "-" + std::to_string(++serial)))
            .string();
    const std::string wrapped = "(" + script + ") >/dev/null 2>&1; echo $? >" + unixName(status) +
                                ".part; mv " + unixName(status) + ".part " + unixName(status);
    std::wstring command = L"sh -c \"" + fs::path(wrapped).wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\sh", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return -1;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    for (int i = 0; i < 3000; ++i) {
        bool ok = false;
        const Bytes text = pcxtest::readFile(status, &ok);
        if (ok && !text.empty()) {
            std::error_code ignored;
            fs::remove(status, ignored);
            return std::atoi(std::string(text.begin(), text.end()).c_str());
        }
        Sleep(10);
    }
    return -1;
}
#else
std::string unixName(const std::string& path) {
    return path;
}

int shell(const std::string& script) {
    return pcxtest::runCommand("sh -c '" + script + "'");
}
#endif

bool isLink(const std::string& path) {
#if defined(_WIN32)
    return shell("test -L " + unixName(path)) == 0;
#else
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
#endif
}

// A link at path to target (relative names stay relative).
bool makeLink(const std::string& target, const std::string& path) {
#if defined(_WIN32)
    const std::string to = fs::path(target).is_absolute() ? unixName(target) : target;
    return shell("ln -s " + to + " " + unixName(path)) == 0;
#else
    return symlink(target.c_str(), path.c_str()) == 0;
#endif
}

// Makes a FIFO or a device node with a Unix command, {} standing for the
// file's Unix name.
bool makeSpecial(std::string command, const std::string& path) {
    const std::string name = unixName(path);
    for (size_t at = command.find("{}"); at != std::string::npos; at = command.find("{}", at))
        command.replace(at, 2, name);
    return shell(command) == 0;
}

// A test's own folder. Under Wine it is removed by the Unix side: Wine's
// file functions do not see FIFOs and device nodes for what they are, and
// removing a folder that holds one or a link through them never ends.
class ScratchDir : public pcxtest::TempDir {
public:
    ~ScratchDir() {
#if defined(_WIN32)
        shell("rm -rf " + unixName(path()));
#endif
    }
};

// The names in a folder, sorted.
std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TestPicture noise(int32_t kind, int32_t side, uint32_t seed) {
    TestPicture picture = kind == ImageKindIndexed ? pcxtest::indexedPicture(side, side, 0)
                                                   : pcxtest::colourPicture(side, side, 0);
    pcxtest::Random random(seed);
    for (uint8_t& byte : picture.pixels) byte = static_cast<uint8_t>(random.next());
    if (kind == ImageKindIndexed) picture.palette.assign(256, 0x123456);
    return picture;
}

class FileSafety : public pcxtest::PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        if (HasFatalFailure()) return;
        ProgressLog::reset();
    }

    int32_t write(const std::string& path, TestPicture& picture,
                  ProgressCallback progress = ProgressLog::callback) {
        PluginImage image = picture.record();
        return plugin().EXPORT_WriteToFile(path.c_str(), &image, progress);
    }

    // What a write of picture gives in a fresh file (the stop included).
    Bytes freshWrite(TestPicture& picture, int32_t stopAt = 0) {
        pcxtest::TempDir fresh;
        ProgressLog::reset(stopAt);
        EXPECT_EQ(write(fresh.file("fresh.pcx"), picture), 1);
        return pcxtest::readFile(fresh.file("fresh.pcx"));
    }

    ScratchDir dir;
};

TEST_F(FileSafety, AFailedWriteKeepsTheOldFileOrMakesNone) {
    const std::string old = dir.file("old.pcx");
    const Bytes oldBytes(704, 0x5A);
    ASSERT_TRUE(pcxtest::writeFile(old, oldBytes));
    // 400 x 400 colour noise fails in the middle of the scanlines; indexed
    // noise of 420 x 420 (about 220 KB) only when the buffer is handed over
    // at the close.
    TestPicture colour = noise(ImageKindRgb32, 400, 1);
    TestPicture indexed = noise(ImageKindIndexed, 420, 2);
    FullDisk full;
    if (!full.active()) {
        if (pcxtest::inCi()) FAIL() << "no file size limit (PCX_FILE_SIZE_LIMIT under Wine)";
        GTEST_SKIP() << "no file size limit (PCX_FILE_SIZE_LIMIT under Wine)";
    }
    for (TestPicture* picture : {&colour, &indexed}) {
        SCOPED_TRACE(picture->kind);
        EXPECT_EQ(write(old, *picture), 0);
        EXPECT_EQ(pcxtest::readFile(old), oldBytes);
        EXPECT_EQ(write(dir.file("new.pcx"), *picture), 0);
        EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"old.pcx"});
    }
}

TEST_F(FileSafety, AStopReplacesTheOldFileWithTheRowsBeforeIt) {
    for (int32_t kind : {ImageKindIndexed, ImageKindRgb32}) {
        SCOPED_TRACE(kind);
        TestPicture picture = kind == ImageKindIndexed ? pcxtest::indexedPicture(7, 5, 0)
                                                       : pcxtest::colourPicture(7, 5, 0);
        pcxtest::fillMixed(picture, 9);
        const Bytes stopped = freshWrite(picture, 3);
        const std::string old = dir.file("old.pcx");
        ASSERT_TRUE(pcxtest::writeFile(old, Bytes(5000, 0x77)));
        ProgressLog::reset(3);
        EXPECT_EQ(write(old, picture), 1);
        EXPECT_EQ(pcxtest::readFile(old), stopped);
        EXPECT_EQ(ProgressLog::rows, (std::vector<int32_t>{1, 2, 3}));
        EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"old.pcx"});
    }
}

TEST_F(FileSafety, TheNewFileKeepsWhatTheUserSetOnTheOld) {
    TestPicture picture = pcxtest::indexedPicture(3, 2, 1);
    const std::string old = dir.file("old.pcx");
    ASSERT_TRUE(pcxtest::writeFile(old, bytesOf("old")));
#if defined(_WIN32)
    const std::wstring wide = fs::path(old).wstring();
    ASSERT_TRUE(SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(write(old, picture), 1);
    EXPECT_NE(GetFileAttributesW(wide.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    // A read-only file is not written, as it could not be opened for it.
    ASSERT_TRUE(SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_READONLY));
    const Bytes kept = pcxtest::readFile(old);
    EXPECT_EQ(write(old, picture), 0);
    EXPECT_EQ(pcxtest::readFile(old), kept);
    SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
#else
    auto modeOf = [](const std::string& path) {
        struct stat info;
        return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0u;
    };
    for (mode_t mode : {0640, 0604, 0600}) {
        ASSERT_EQ(chmod(old.c_str(), mode), 0);
        EXPECT_EQ(write(old, picture), 1);
        EXPECT_EQ(modeOf(old), mode);
    }
    // A new file gets what "wb" would give it: 0666 less the umask.
    for (mode_t mask : {022, 077}) {
        const mode_t saved = umask(mask);
        const std::string fresh = dir.file("fresh" + std::to_string(mask) + ".pcx");
        EXPECT_EQ(write(fresh, picture), 1);
        umask(saved);
        EXPECT_EQ(modeOf(fresh), 0666 & ~mask);
    }
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(old.c_str(), 0444), 0);
        const Bytes kept = pcxtest::readFile(old);
        EXPECT_EQ(write(old, picture), 0);
        EXPECT_EQ(pcxtest::readFile(old), kept);
    }
#endif
    EXPECT_EQ(write(dir.file("fresh.pcx"), picture), 1);
    for (const std::string& name : entries(dir.path())) EXPECT_NE(name[0], '.') << name;
}

TEST_F(FileSafety, ALinkIsWrittenThroughAndStays) {
    TestPicture picture = pcxtest::colourPicture(5, 3, 0x00ABCDEF);
    const Bytes expected = freshWrite(picture);
    fs::create_directories(dir.file("elsewhere"));
    const std::string nearFile = dir.file("near.pcx");
    const std::string farFile = dir.file("elsewhere") + "/far.pcx";
    ASSERT_TRUE(pcxtest::writeFile(nearFile, bytesOf("near")));
    ASSERT_TRUE(pcxtest::writeFile(farFile, bytesOf("far")));
    if (!makeLink("near.pcx", dir.file("to-near.pcx")) ||
        !makeLink(farFile, dir.file("to-far.pcx")))
        GTEST_SKIP() << "links cannot be made here";
    std::vector<std::string> links = {"to-near.pcx", "to-far.pcx"};
    std::vector<std::string> names = {"elsewhere", "near.pcx", "to-far.pcx", "to-near.pcx"};
#if !defined(_WIN32)
    // A link to nothing makes the file it names. (Windows cannot tell such a
    // link from a missing file, nor can Wine.)
    ASSERT_TRUE(makeLink("made.pcx", dir.file("to-nothing.pcx")));
    links.push_back("to-nothing.pcx");
    names = {"elsewhere", "made.pcx", "near.pcx", "to-far.pcx", "to-near.pcx", "to-nothing.pcx"};
#endif

    for (const std::string& link : links) {
        SCOPED_TRACE(link);
        EXPECT_EQ(write(dir.file(link), picture), 1);
        EXPECT_TRUE(isLink(dir.file(link)));
    }
    EXPECT_EQ(pcxtest::readFile(nearFile), expected);
    EXPECT_EQ(pcxtest::readFile(farFile), expected);
#if !defined(_WIN32)
    EXPECT_EQ(pcxtest::readFile(dir.file("made.pcx")), expected);
#endif
    EXPECT_EQ(entries(dir.path()), names);
    EXPECT_EQ(entries(dir.file("elsewhere")), std::vector<std::string>{"far.pcx"});
}

#if !defined(_WIN32)
TEST_F(FileSafety, AFolderThatTakesNoNewFileHasItsFileWrittenInPlace) {
    // A folder so deep that the file's name still fits a path but no
    // temporary name beside it does (ENAMETOOLONG), and, where the test is
    // not run by root, a folder the user may not write.
    // The folder's name is 4080 bytes: "/a.pcx" fits PATH_MAX (4096, its
    // zero included), "/.a.pcx." and ten more do not.
    std::string deep = dir.path();
    while (deep.size() + 1 + 200 + 10 <= 4080) deep += "/" + std::string(200, 'd');
    deep += "/" + std::string(4080 - deep.size() - 1, 'e');
    static_assert(PATH_MAX == 4096, "the lengths above");
    ASSERT_TRUE(fs::create_directories(deep));
    std::vector<std::string> folders = {deep};
    if (geteuid() != 0) {
        fs::create_directories(dir.file("locked"));
        folders.push_back(dir.file("locked"));
    }
    TestPicture picture = pcxtest::indexedPicture(4, 3, 7);
    const Bytes expected = freshWrite(picture);
    for (const std::string& folder : folders) {
        const std::string target = folder + "/a.pcx";
        ASSERT_LT(target.size(), size_t{PATH_MAX});
        ASSERT_TRUE(pcxtest::writeFile(target, bytesOf("old")));
        if (folder != deep) {
            ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
        }
        struct stat before, after;
        ASSERT_EQ(stat(target.c_str(), &before), 0);
        EXPECT_EQ(write(target, picture), 1);
        EXPECT_EQ(pcxtest::readFile(target), expected);
        EXPECT_EQ(entries(folder), std::vector<std::string>{"a.pcx"});
        // The same file, written over: nothing took its place.
        ASSERT_EQ(stat(target.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        chmod(folder.c_str(), 0755);
    }
}
#endif

// Draws 1, 2, 3, ... for temporary names known in advance.
uint64_t nextDraw() {
    static uint64_t draw = 0;
    return ++draw;
}

TEST(TemporaryFile, NoFileOrLinkAtATemporaryNameIsOpened) {
    ScratchDir dir;
    const pcx::platform::PathString target =
        pcx::platform::PathString::of(fs::path(dir.file("out.pcx")).native().c_str());
    const uint64_t first = nextDraw() + 1;
    auto nameOf = [&](uint64_t draw) {
        return fs::path(pcx::platform::temporaryNameFor(target, draw).view()).string();
    };
    // Planted at the first three names the replacement will try: a link to
    // a victim, a link to nothing, a plain file.
    const std::string victim = dir.file("victim.txt");
    ASSERT_TRUE(pcxtest::writeFile(victim, bytesOf("notes")));
    const bool links = makeLink(victim, nameOf(first)) &&
                       makeLink(dir.file("through-link.pcx"), nameOf(first + 1));
    if (!links) {
        ASSERT_TRUE(pcxtest::writeFile(nameOf(first), bytesOf("planted")));
    }
    ASSERT_TRUE(pcxtest::writeFile(nameOf(first + 2), bytesOf("planted")));

    pcx::platform::FileReplacement replacement;
    pcx::platform::ReplaceOptions options;
    options.draws = nextDraw;
    ASSERT_TRUE(replacement.open(target.c_str(), options));
    EXPECT_EQ(fs::path(replacement.temporary().view()).string(), nameOf(first + 3));
    std::fputs("picture", replacement.stream());
    ASSERT_TRUE(replacement.commit());

    EXPECT_EQ(pcxtest::readFile(dir.file("out.pcx")), bytesOf("picture"));
    EXPECT_EQ(pcxtest::readFile(victim), bytesOf("notes"));
    EXPECT_FALSE(pcxtest::fileExists(dir.file("through-link.pcx")));
    if (links) {
        EXPECT_TRUE(isLink(nameOf(first)));
    }
    EXPECT_EQ(pcxtest::readFile(nameOf(first + 2)), bytesOf("planted"));
}

#if defined(_WIN32)
// Windows refuses a plain path of MAX_PATH characters or more (Wine does
// not), so a temporary name that the limit would refuse is made in the long
// form, from the full path; one within the limit stays as the target has it.
TEST(TemporaryFile, ANameBeyondThePathLimitIsInTheLongForm) {
    using pcx::platform::PathString;
    auto temporaryFor = [](const std::wstring& target) {
        const PathString name =
            pcx::platform::temporaryNameFor(PathString::of(target.c_str()), 12345);
        EXPECT_FALSE(name.failed());
        return std::wstring(name.view());
    };
    const std::wstring suffix = temporaryFor(L"x").substr(3);  // after ".x."
    ASSERT_EQ(suffix.size(), 10u);

    // Short: beside the target, as given.
    EXPECT_EQ(temporaryFor(L"C:\\pictures\\a.pcx"), L"C:\\pictures\\.a.pcx." + suffix);
    // A target of 250 characters, whose temporary name passes the limit.
    const std::wstring folder = L"C:\\" + std::wstring(236, L'd') + L"\\";
    const std::wstring nearLimit = folder + L"picture.pcx";
    ASSERT_LT(nearLimit.size(), 260u);
    EXPECT_EQ(temporaryFor(nearLimit), L"\\\\?\\" + folder + L".picture.pcx." + suffix);
    // A network name takes the long form of its own.
    const std::wstring share = L"\\\\server\\share\\" + std::wstring(236, L's') + L"\\";
    EXPECT_EQ(temporaryFor(share + L"p.pcx"),
              L"\\\\?\\UNC\\server\\share\\" + std::wstring(236, L's') + L"\\.p.pcx." + suffix);
    // "." and ".." are resolved, since the long form would take them
    // literally.
    EXPECT_EQ(temporaryFor(folder + L"sub\\..\\picture.pcx"),
              L"\\\\?\\" + folder + L".picture.pcx." + suffix);
    // A relative name counts at its full length: 254 characters as given,
    // more from the current folder.
    wchar_t current[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, current), 0u);
    const std::wstring relativeFolder = std::wstring(230, L'r') + L"\\";
    std::wstring here = current;
    if (here.back() != L'\\') here += L'\\';
    EXPECT_EQ(temporaryFor(relativeFolder + L"picture.pcx"),
              L"\\\\?\\" + here + relativeFolder + L".picture.pcx." + suffix);
    // A target already in the long form keeps it.
    EXPECT_EQ(temporaryFor(L"\\\\?\\C:\\a.pcx"), L"\\\\?\\C:\\.a.pcx." + suffix);
}
#endif

#if defined(_WIN32)
// Wine's ReplaceFileW can leave an empty rfXXXX.tmp of its own beside a
// target it failed to replace; Windows does not.
// (Every failed call of a retry can leave one.)
std::vector<std::string> entriesWithoutWines(const std::string& folder) {
    std::vector<std::string> names;
    for (const std::string& name : entries(folder))
        if (!(name.rfind("rf", 0) == 0 && name.size() > 4 &&
              name.compare(name.size() - 4, 4, ".tmp") == 0 &&
              fs::file_size(fs::path(folder) / name) == 0))
            names.push_back(name);
    return names;
}

// Another program's hold on a file, as a virus scanner, the search indexer,
// a thumbnailer or a sync client takes one: the file opened without any
// sharing, from a thread of its own, and let go after a set time.
class Holder {
public:
    ~Holder() { wait(); }

    // Opens path (disposition OPEN_ALWAYS makes it) and returns once it is
    // held; false when it could not be opened.
    bool start(const std::wstring& path, DWORD disposition, DWORD milliseconds) {
        std::promise<bool> opened;
        std::future<bool> held = opened.get_future();
        thread_ = std::thread([path, disposition, milliseconds, &opened] {
            const HANDLE handle =
                CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, disposition, 0, nullptr);
            opened.set_value(handle != INVALID_HANDLE_VALUE);
            if (handle == INVALID_HANDLE_VALUE) return;
            Sleep(milliseconds);
            CloseHandle(handle);
        });
        return held.get();
    }
    // Returns once the file is let go.
    void wait() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

// Which file another program holds at the end of a save.
enum class Held { Target, Temporary };

struct HoldCase {
    const char* name;
    bool existing;  // whether the target exists before the save
    Held held;
    DWORD holdMs;
    bool saved;  // whether the save is to succeed
};

// The holds: well under the about one second that the save waits, and well
// past it (but under the second window that the removal of a held
// temporary file has).
constexpr DWORD kShortHoldMs = 150;
constexpr DWORD kLongHoldMs = 1400;

// The last row's progress report starts the hold on the target.
struct LastRowHold {
    static inline Holder* holder = nullptr;
    static inline std::wstring path;
    static inline DWORD disposition = OPEN_EXISTING;
    static inline DWORD milliseconds = 0;
    static inline int32_t lastRow = 0;
    static inline bool held = false;
    static int32_t PCX_CALL callback(int32_t row) {
        if (row == lastRow) held = holder->start(path, disposition, milliseconds);
        return 0;
    }
};

// Opens a replacement of target and writes content to it, closed and ready
// for the commit.
void prepare(pcx::platform::FileReplacement& replacement, const std::string& target,
             const Bytes& content, const pcx::platform::ReplaceOptions& options) {
    ASSERT_TRUE(replacement.open(fs::path(target).wstring().c_str(), options));
    ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), replacement.stream()), content.size());
    ASSERT_TRUE(replacement.closeStream());
}

class HeldFile : public FileSafety, public ::testing::WithParamInterface<HoldCase> {};

// The hold on the target starts in the last row's progress report. The
// temporary file cannot be held then: the write's own handle shares
// nothing, and no report follows its close. So that case writes through the
// same file layer directly and starts the hold between the close and the
// commit, where a scanner opens a file just written.
TEST_P(HeldFile, ASaveWaitsOutAShortHoldAndGivesUpOnALongOneKeepingTheOldFile) {
    const HoldCase& c = GetParam();
    TestPicture picture = pcxtest::colourPicture(9, 4, 0x00336699);
    pcxtest::fillMixed(picture, 17);
    const Bytes written = freshWrite(picture);
    const std::string target = dir.file("picture.pcx");
    const Bytes old = bytesOf("the old picture");
    if (c.existing) {
        ASSERT_TRUE(pcxtest::writeFile(target, old));
    }
    Holder holder;
    bool saved = false;
    if (c.held == Held::Target) {
        LastRowHold::holder = &holder;
        LastRowHold::path = fs::path(target).wstring();
        // Where there is no file yet, the other program makes one.
        LastRowHold::disposition = c.existing ? OPEN_EXISTING : OPEN_ALWAYS;
        LastRowHold::milliseconds = c.holdMs;
        LastRowHold::lastRow = picture.height;
        LastRowHold::held = false;
        saved = write(target, picture, LastRowHold::callback) == 1;
        ASSERT_TRUE(LastRowHold::held);
    } else {
        pcx::platform::FileReplacement replacement;
        ASSERT_NO_FATAL_FAILURE(prepare(replacement, target, written, {}));
        ASSERT_EQ(entries(dir.path()).size(), c.existing ? 2u : 1u);  // found by listing
        ASSERT_TRUE(
            holder.start(std::wstring(replacement.temporary().view()), OPEN_EXISTING, c.holdMs));
        saved = replacement.commit();
    }
    holder.wait();
    EXPECT_EQ(saved, c.saved);
    if (c.saved) {
        EXPECT_EQ(pcxtest::readFile(target), written);
    } else if (c.existing) {
        EXPECT_EQ(pcxtest::readFile(target), old);
    } else if (c.held == Held::Target) {
        EXPECT_EQ(pcxtest::readFile(target), Bytes{});  // the other program's file
    }
    const bool leftTarget = c.saved || c.existing || c.held == Held::Target;
    EXPECT_EQ(entriesWithoutWines(dir.path()),
              leftTarget ? std::vector<std::string>{"picture.pcx"} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Holds, HeldFile,
    ::testing::Values(HoldCase{"NewFileTemporaryShort", false, Held::Temporary, kShortHoldMs, true},
                      HoldCase{"NewFileTemporaryLong", false, Held::Temporary, kLongHoldMs, false},
                      HoldCase{"NewFileMadeMeanwhileShort", false, Held::Target, kShortHoldMs,
                               true},
                      HoldCase{"NewFileMadeMeanwhileLong", false, Held::Target, kLongHoldMs, false},
                      HoldCase{"ExistingTemporaryShort", true, Held::Temporary, kShortHoldMs, true},
                      HoldCase{"ExistingTemporaryLong", true, Held::Temporary, kLongHoldMs, false},
                      HoldCase{"ExistingTargetShort", true, Held::Target, kShortHoldMs, true},
                      HoldCase{"ExistingTargetLong", true, Held::Target, kLongHoldMs, false}),
    [](const ::testing::TestParamInfo<HoldCase>& hold) { return std::string(hold.param.name); });

// The save's own window, about a second: the longest it waits in all.
constexpr uint32_t kSaveWindowMs = 1000;

// A clock that moves only by the pauses asked of it, so that the back-off
// runs without waiting. It can let go of a file that the test holds once
// the save's window is spent, which is when the removal of the temporary
// file starts.
struct FakeClock {
    static inline uint32_t start = 0;
    static inline uint32_t now = 0;
    static inline std::vector<uint32_t> pauses;
    static inline HANDLE heldPastWindow = INVALID_HANDLE_VALUE;

    static pcx::platform::ReplaceOptions options(uint32_t at) {
        start = now = at;
        pauses.clear();
        heldPastWindow = INVALID_HANDLE_VALUE;
        pcx::platform::ReplaceOptions options;
        options.ticks = ticks;
        options.pause = pause;
        return options;
    }
    static uint32_t ticks() { return now; }
    static void pause(uint32_t milliseconds) {
        pauses.push_back(milliseconds);
        now += milliseconds;
        if (heldPastWindow != INVALID_HANDLE_VALUE && now - start > kSaveWindowMs) {
            CloseHandle(heldPastWindow);
            heldPastWindow = INVALID_HANDLE_VALUE;
        }
    }
    static uint32_t total() {
        uint32_t sum = 0;
        for (uint32_t pause : pauses) sum += pause;
        return sum;
    }
};

HANDLE holdWithoutSharing(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST(FinalStep, WaitsAboutASecondForAHoldAndNotAtAllForARefusal) {
    ScratchDir dir;
    const std::string target = dir.file("picture.pcx");
    const Bytes old = bytesOf("old");
    ASSERT_TRUE(pcxtest::writeFile(target, old));
    {
        // Held throughout: pauses from a few milliseconds, growing, none
        // long, about a second in all; then the save fails as before. The
        // clock starts just short of the tick count's wrap.
        pcx::platform::FileReplacement replacement;
        ASSERT_NO_FATAL_FAILURE(
            prepare(replacement, target, bytesOf("new"), FakeClock::options(0xFFFFFF00u)));
        const HANDLE held = holdWithoutSharing(fs::path(target).wstring());
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(replacement.commit());
        CloseHandle(held);
        const std::vector<uint32_t>& pauses = FakeClock::pauses;
        ASSERT_GE(pauses.size(), 5u);
        EXPECT_LE(pauses.size(), 20u);
        EXPECT_GE(pauses.front(), 1u);
        EXPECT_LE(pauses.front(), 10u);
        EXPECT_GT(pauses[1], pauses[0]);
        EXPECT_LE(*std::max_element(pauses.begin(), pauses.end()), kSaveWindowMs / 4);
        EXPECT_LE(FakeClock::total(), kSaveWindowMs);
        EXPECT_GE(FakeClock::total(), kSaveWindowMs * 3 / 4);
        EXPECT_EQ(pcxtest::readFile(target), old);
        EXPECT_EQ(entriesWithoutWines(dir.path()), std::vector<std::string>{"picture.pcx"});
    }
    {
        // Made read-only after the save began: refused at once.
        pcx::platform::FileReplacement replacement;
        ASSERT_NO_FATAL_FAILURE(
            prepare(replacement, target, bytesOf("new"), FakeClock::options(0)));
        const std::wstring wide = fs::path(target).wstring();
        ASSERT_TRUE(SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_READONLY));
        EXPECT_FALSE(replacement.commit());
        SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(FakeClock::pauses, std::vector<uint32_t>{});
        EXPECT_EQ(pcxtest::readFile(target), old);
        EXPECT_EQ(entriesWithoutWines(dir.path()), std::vector<std::string>{"picture.pcx"});
    }
    {
        // The folder moved away after the save began: refused at once.
        fs::create_directories(dir.file("folder"));
        pcx::platform::FileReplacement replacement;
        ASSERT_NO_FATAL_FAILURE(prepare(replacement, dir.file("folder") + "/new.pcx",
                                        bytesOf("new"), FakeClock::options(0)));
        fs::rename(dir.file("folder"), dir.file("moved"));
        EXPECT_FALSE(replacement.commit());
        EXPECT_EQ(FakeClock::pauses, std::vector<uint32_t>{});
    }
}

// Stands in for ReplaceFileW: the first call fails with the error asked for
// and leaves the files as the documentation says it does without a backup
// name; later calls are the system's.
struct PartialReplacement {
    static inline DWORD error = 0;
    static inline int calls = 0;
    static inline std::wstring movedAway;

    static BOOL WINAPI replace(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags,
                               LPVOID exclude, LPVOID reserved) {
        if (calls++ > 0)
            return ReplaceFileW(replaced, replacement, backup, flags, exclude, reserved);
        // ERROR_UNABLE_TO_REMOVE_REPLACED: both keep their names.
        if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT) DeleteFileW(replaced);
        if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
            MoveFileExW(replaced, movedAway.c_str(), 0);
        SetLastError(error);
        return FALSE;
    }
};

TEST(FinalStep, FollowsEachPartialOutcomeOfTheReplacement) {
    struct Case {
        const char* what;
        DWORD error;
        bool temporaryHeld;  // until the save's window is spent
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {"unable to remove replaced", ERROR_UNABLE_TO_REMOVE_REPLACED, false, {"picture.pcx"}},
        {"unable to move replacement", ERROR_UNABLE_TO_MOVE_REPLACEMENT, false, {"picture.pcx"}},
        {"unable to move replacement 2",
         ERROR_UNABLE_TO_MOVE_REPLACEMENT_2,
         false,
         {"moved-away.pcx", "picture.pcx"}},
        // The old file is gone and the new one cannot take its name: it
        // stays as the one copy of the picture.
        {"unable to move replacement, the new file held",
         ERROR_UNABLE_TO_MOVE_REPLACEMENT,
         true,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        const std::string target = dir.file("picture.pcx");
        ASSERT_TRUE(pcxtest::writeFile(target, bytesOf("old")));
        PartialReplacement::error = c.error;
        PartialReplacement::calls = 0;
        PartialReplacement::movedAway = fs::path(dir.file("moved-away.pcx")).wstring();
        pcx::platform::ReplaceOptions options = FakeClock::options(0);
        options.replaceFile = PartialReplacement::replace;
        pcx::platform::FileReplacement replacement;
        ASSERT_NO_FATAL_FAILURE(prepare(replacement, target, bytesOf("new"), options));
        const std::string temporary = fs::path(replacement.temporary().view()).string();
        if (c.temporaryHeld) {
            FakeClock::heldPastWindow = holdWithoutSharing(fs::path(temporary).wstring());
            ASSERT_NE(FakeClock::heldPastWindow, INVALID_HANDLE_VALUE);
        }
        EXPECT_EQ(replacement.commit(), !c.temporaryHeld);
        // Still held: a removal of the temporary file, which would have had
        // it let go past the window, was not even tried.
        if (FakeClock::heldPastWindow != INVALID_HANDLE_VALUE) {
            CloseHandle(FakeClock::heldPastWindow);
            FakeClock::heldPastWindow = INVALID_HANDLE_VALUE;
        }
        replacement.abandon();
        if (c.temporaryHeld) {
            EXPECT_EQ(pcxtest::readFile(temporary), bytesOf("new"));
            EXPECT_FALSE(pcxtest::fileExists(target));
            fs::remove(temporary);
        } else {
            EXPECT_EQ(pcxtest::readFile(target), bytesOf("new"));
        }
        EXPECT_EQ(entriesWithoutWines(dir.path()), c.left);
        if (c.error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            EXPECT_EQ(pcxtest::readFile(dir.file("moved-away.pcx")), bytesOf("old"));
        }
    }
}
#endif

// Times one call; natively a FIFO that a call waits on is opened from the
// other side after three seconds, and again as often as needed, so that a
// fault fails the test instead of hanging it.
template <typename Call>
double secondsFor(const std::string& fifo, Call&& call) {
    std::atomic<bool> done{false};
    std::thread rescue;
#if !defined(_WIN32)
    if (!fifo.empty())
        rescue = std::thread([&] {
            for (int i = 0; !done; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                if (i < 300) continue;
                const int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
                if (fd >= 0) close(fd);
            }
        });
#else
    (void)fifo;
#endif
    const Clock::time_point start = Clock::now();
    call();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    done = true;
    if (rescue.joinable()) rescue.join();
    return seconds;
}

TEST_F(FileSafety, ImportCallsAnswerAtOnceForNamesThatAreNotFiles) {
    std::vector<std::pair<std::string, std::string>> names;  // name, FIFO to rescue
    const std::string fifo = dir.file("fifo.pcx");
    if (makeSpecial("mkfifo {}", fifo)) names.push_back({fifo, fifo});
    names.push_back({dir.path(), ""});
#if defined(_WIN32)
    for (const char* device : {"aux.pcx", "COM1.pcx", "lpt1.pcx", "con", "NUL", "prn.PCX"})
        names.push_back({dir.file(device), ""});
    names.push_back({"NUL", ""});
    names.push_back({"\\\\.\\COM1", ""});
#endif
    const auto& plugin = this->plugin();
    for (const auto& [name, rescued] : names) {
        SCOPED_TRACE(name);
        pcxtest::receivedTexts.clear();
        PluginImage* image = reinterpret_cast<PluginImage*>(1);
        PluginImage* preview = reinterpret_cast<PluginImage*>(1);
        int32_t valid = -1;
        const double seconds = secondsFor(rescued, [&] {
            valid = plugin.IMPORT_ValidFileCheck(name.c_str());
            plugin.IMPORT_ImageInformation(name.c_str(), pcxtest::recordText);
            plugin.IMPORT_CreateImage(name.c_str(), &image);
            plugin.IMPORT_CreatePreviewImage(name.c_str(), 64, 64, &preview);
        });
        EXPECT_LT(seconds, 1.0);
        EXPECT_EQ(valid, 0);
        EXPECT_EQ(pcxtest::receivedTexts, std::vector<std::string>{pcxtest::kNotAnImage});
        EXPECT_EQ(image, nullptr);
        EXPECT_EQ(preview, nullptr);
    }
    // A regular file still reads.
    TestPicture picture = pcxtest::indexedPicture(4, 4, 3);
    ASSERT_EQ(write(dir.file("real.pcx"), picture), 1);
    EXPECT_EQ(plugin.IMPORT_ValidFileCheck(dir.file("real.pcx").c_str()), 1);
}

TEST_F(FileSafety, ADeviceOrAFifoIsWrittenInPlaceAndNeverReplaced) {
    TestPicture picture = pcxtest::colourPicture(6, 4, 0x00102030);
    const Bytes expected = freshWrite(picture);
    // A character device of our own, the twin of /dev/null, where device
    // nodes can be made and used: a fault must not cost the machine its
    // /dev/null.
    const std::string nullTwin = dir.file("null-device");
    const bool twinMade = makeSpecial("mknod {} c 1 3 && echo >{}", nullTwin);
    std::vector<std::string> devices;
    if (twinMade) devices.push_back(nullTwin);
#if defined(_WIN32)
    devices.push_back("NUL");
    devices.push_back(dir.file("nul.pcx"));
#else
    if (!twinMade && geteuid() != 0) devices.push_back("/dev/null");  // not ours to replace
#endif
    for (const std::string& name : devices) {
        SCOPED_TRACE(name);
        EXPECT_EQ(write(name, picture), 1);
    }
    if (twinMade) {
        EXPECT_EQ(shell("test -c " + unixName(nullTwin)), 0);
    }

    // A FIFO without a reader refuses at once; with one, the reader gets
    // the whole file. The Windows build refuses pipes (under Wine a FIFO
    // would take the bytes without a reader and lose them).
    const std::string fifo = dir.file("fifo.pcx");
    if (makeSpecial("mkfifo {}", fifo)) {
        int32_t result = -1;
        EXPECT_LT(secondsFor(fifo, [&] { result = write(fifo, picture); }), 1.0);
        EXPECT_EQ(result, 0);
#if !defined(_WIN32)
        const std::string copy = dir.file("copy.pcx");
        // In the background, from another process.
        ASSERT_EQ(shell("timeout 10 cat " + fifo + " >" + copy + " &"), 0);
        // The reader needs a moment to open its end.
        for (int i = 0; i < 100 && result != 1; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            result = write(fifo, picture);
        }
        EXPECT_EQ(result, 1);
        for (int i = 0; i < 100 && pcxtest::readFile(copy) != expected; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(pcxtest::readFile(copy), expected);
#endif
        EXPECT_EQ(shell("test -p " + unixName(fifo)), 0);
    }
#if defined(_WIN32)
    // The other device names could wait on a line or a printer: refused.
    for (const char* name : {"COM1.pcx", "aux.pcx", "LPT2.pcx", "con.pcx"}) {
        SCOPED_TRACE(name);
        int32_t result = -1;
        EXPECT_LT(secondsFor("", [&] { result = write(dir.file(name), picture); }), 1.0);
        EXPECT_EQ(result, 0);
    }
#endif
    for (const std::string& name : entries(dir.path())) EXPECT_NE(name[0], '.') << name;
}

}  // namespace
