// The native build's per-user settings file: its typed values, what a save
// keeps, where it lives, and that a broken or half-saved store never breaks
// a read or loses the old content.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "platform/SettingsStore.h"
#include "platform/posix/SettingsFile.h"
#include "support/TestEnv.h"

namespace {

namespace store = pcx::platform::posix;
using pcxtest::TempDir;

const char kKey[] = "\\Software\\TALVERN\\Ostra\\Plugin\\TALVERN\\EPcx";
const char kName[] = "TransformMethod";

std::string textOf(const std::string& path) {
    bool ok = false;
    std::vector<uint8_t> bytes = pcxtest::readFile(path, &ok);
    return ok ? std::string(bytes.begin(), bytes.end()) : std::string("(unreadable)");
}

void putText(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(pcxtest::writeFile(path, std::vector<uint8_t>(text.begin(), text.end())));
}

// Sets an environment variable for one scope, then puts back what was there.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(SettingsText, OnlyTheDwordFormIsAnInteger) {
    const std::string head = std::string("[") + kKey + "]\n\"TransformMethod\"=";
    struct Case {
        const char* data;
        std::optional<uint32_t> expected;
    } cases[] = {
        {"dword:00000002", 2u},
        {"dword:FFFFFFc8", 0xFFFFFFC8u},
        {"dword:00000002\r", 2u},  // a line with a carriage return, edited elsewhere
        {"\"2\"", std::nullopt},   // a string
        {"hex:02,00,00,00", std::nullopt},
        {"dword:2", std::nullopt},
        {"dword:000000002", std::nullopt},
        {"dword:0000000g", std::nullopt},
        {"dword:-0000002", std::nullopt},
        {"DWORD:00000002", std::nullopt},
        {"dword:00000002 ", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(store::SettingsText(head + c.data + "\n").readInteger(kKey, kName), c.expected)
            << c.data;
}

TEST(SettingsText, AValueCountsOnlyUnderItsOwnKey) {
    const std::string text =
        "\"TransformMethod\"=dword:00000001\n"  // before any key
        "[\\Software\\Other]\n"
        "\"TransformMethod\"=dword:00000002\n"
        "[\\software\\talvern\\ostra\\plugin\\talvern\\epcx]\n"
        "\"Another\"=dword:00000003\n"
        "\"transformmethod\"=dword:00000004\n"
        "\"TransformMethod\"=dword:00000005\n";
    store::SettingsText settings(text);
    // Paths and names are compared without regard to case; the first counts.
    EXPECT_EQ(settings.readInteger(kKey, kName), std::optional<uint32_t>(4));
    EXPECT_EQ(settings.readInteger("Software\\Other", kName), std::optional<uint32_t>(2));
    EXPECT_EQ(settings.readInteger("\\Software", kName), std::nullopt);
    EXPECT_EQ(settings.readInteger(kKey, "Missing"), std::nullopt);
}

TEST(SettingsText, AWriteChangesOneLineAndKeepsEveryOther) {
    const std::string before =
        "; written by hand\n"
        "[\\Software\\Other]\n"
        "\"Title\"=\"text with [brackets]\"\n"
        "something this version does not understand\n"
        "[\\Software\\TALVERN\\Ostra\\Plugin\\TALVERN\\EPcx]\n"
        "\"Width\"=dword:00000010\n"
        "\"transformMethod\"=\"a string\"\n"
        "\"Data\"=hex:01,02\n";
    store::SettingsText settings(before);
    ASSERT_TRUE(settings.writeInteger(kKey, kName, 0xFFFFFFC8u));
    std::string expected = before;
    expected.replace(expected.find("\"transformMethod\"=\"a string\""), 28,
                     "\"transformMethod\"=dword:ffffffc8");
    EXPECT_EQ(settings.text(), expected);

    // A new value goes under the key's header; a new key goes at the end.
    store::SettingsText added("[\\A]\n\"X\"=dword:00000001\n");
    ASSERT_TRUE(added.writeInteger("\\A", "Y", 2));
    ASSERT_TRUE(added.writeInteger("\\B\\C", "Z", 3));
    EXPECT_EQ(
        added.text(),
        "[\\A]\n\"Y\"=dword:00000002\n\"X\"=dword:00000001\n\n[\\B\\C]\n\"Z\"=dword:00000003\n");
}

TEST(SettingsText, NamesThatCannotBeWrittenAreRefused) {
    store::SettingsText settings("[\\A]\n");
    EXPECT_FALSE(settings.writeInteger("\\A", "quo\"te", 1));
    EXPECT_FALSE(settings.writeInteger("\\A", "line\nfeed", 1));
    EXPECT_FALSE(settings.writeInteger("\\A", "", 1));
    EXPECT_FALSE(settings.writeInteger("\\A]x", "N", 1));
    EXPECT_FALSE(settings.writeInteger("\\", "N", 1));
    EXPECT_EQ(settings.text(), "[\\A]\n");
}

TEST(SettingsText, GarbageNeverBreaksAReadOrAWrite) {
    // Random bytes, biased towards the characters the form is made of.
    std::mt19937 random(20260101);
    const char kAlphabet[] = "[]\"=\\:dwordhex,0123456789abcdefTransformMethod\n\r\0\xff";
    const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
    for (int round = 0; round < 2000; ++round) {
        std::string text(random() % 200, '\0');
        for (char& c : text)
            c = (random() % 4) ? alphabet[random() % alphabet.size()] : static_cast<char>(random());
        store::SettingsText settings(text);
        (void)settings.readInteger(kKey, kName);
        ASSERT_TRUE(settings.writeInteger(kKey, kName, 0x12345678u));
        ASSERT_EQ(settings.readInteger(kKey, kName), std::optional<uint32_t>(0x12345678u));
        // What the write kept still reads the same after a round trip.
        EXPECT_EQ(store::SettingsText(settings.text()).readInteger(kKey, kName),
                  std::optional<uint32_t>(0x12345678u));
    }
}

TEST(SettingsFile, AWriteMakesTheFoldersAndReadsBack) {
    TempDir dir;
    const std::string path = dir.path() + "/a/b/pcx-opx/settings";
    ASSERT_TRUE(store::writeStoreInteger(path, kKey, kName, 7));
    EXPECT_EQ(store::readStoreInteger(path, kKey, kName), std::optional<uint32_t>(7));
    ASSERT_TRUE(store::writeStoreInteger(path, kKey, kName, 8));
    EXPECT_EQ(store::readStoreInteger(path, kKey, kName), std::optional<uint32_t>(8));
    // The store is the user's own; nothing but the store is left beside it.
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0077, 0u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path() + "/a/b/pcx-opx"),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(SettingsFile, AnUnreadableStoreIsAMissingValueAndIsNeverOverwritten) {
    TempDir dir;
    // A folder where the file should be.
    const std::string folder = dir.path() + "/settings";
    std::filesystem::create_directories(folder);
    EXPECT_EQ(store::readStoreInteger(folder, kKey, kName), std::nullopt);
    EXPECT_FALSE(store::writeStoreInteger(folder, kKey, kName, 1));
    EXPECT_TRUE(std::filesystem::is_directory(folder));

    // A file far larger than any store of ours, holding a valid value.
    const std::string big = dir.path() + "/big";
    std::string text = std::string("[") + kKey + "]\n\"TransformMethod\"=dword:00000002\n";
    text.append(store::kMaxStoreBytes, ';');
    putText(big, text);
    EXPECT_EQ(store::readStoreInteger(big, kKey, kName), std::nullopt);
    EXPECT_FALSE(store::writeStoreInteger(big, kKey, kName, 1));
    EXPECT_EQ(textOf(big), text);

    // A folder that cannot be made: its parent is a file.
    putText(dir.path() + "/plain", "x");
    EXPECT_FALSE(store::writeStoreInteger(dir.path() + "/plain/pcx-opx/settings", kKey, kName, 1));
}

TEST(SettingsFile, ASaveInterruptedBeforeTheRenameLeavesTheOldStore) {
    TempDir dir;
    const std::string path = dir.path() + "/pcx-opx/settings";
    ASSERT_TRUE(store::writeStoreInteger(path, kKey, kName, 1));
    const std::string before = textOf(path);

    // The new content is staged, then the process "dies" before the rename.
    store::SettingsText next(before);
    ASSERT_TRUE(next.writeInteger(kKey, kName, 2));
    const std::string staged = store::stageStoreText(path, next.text());
    ASSERT_FALSE(staged.empty());
    EXPECT_EQ(textOf(staged), next.text());
    EXPECT_EQ(staged.substr(0, staged.rfind('/')), path.substr(0, path.rfind('/')))
        << "staged in the store's own folder, so the rename is atomic";

    EXPECT_EQ(textOf(path), before);
    EXPECT_EQ(store::readStoreInteger(path, kKey, kName), std::optional<uint32_t>(1));
    // The leftover does not stand in the way of the next save.
    ASSERT_TRUE(store::writeStoreInteger(path, kKey, kName, 3));
    EXPECT_EQ(store::readStoreInteger(path, kKey, kName), std::optional<uint32_t>(3));
    EXPECT_EQ(textOf(staged), next.text());

    // Committing replaces the store in one step.
    ASSERT_TRUE(store::commitStoreText(staged, path));
    EXPECT_EQ(store::readStoreInteger(path, kKey, kName), std::optional<uint32_t>(2));
    EXPECT_FALSE(pcxtest::fileExists(staged));
}

TEST(SettingsFile, AStoreThatIsALinkIsWrittenThroughAndKeepsItsPermissions) {
    TempDir dir;
    const std::string real = dir.path() + "/dotfiles/pcx-settings";
    putText(real, "; kept\n");
    ASSERT_EQ(chmod(real.c_str(), 0644), 0);
    std::filesystem::create_directories(dir.path() + "/pcx-opx");
    const std::string path = dir.path() + "/pcx-opx/settings";
    ASSERT_EQ(symlink("../dotfiles/pcx-settings", path.c_str()), 0);

    ASSERT_TRUE(store::writeStoreInteger(path, kKey, kName, 5));
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_EQ(store::readStoreInteger(real, kKey, kName), std::optional<uint32_t>(5));
    EXPECT_EQ(textOf(real).rfind("; kept\n", 0), 0u);
    struct stat info;
    ASSERT_EQ(stat(real.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    // Nothing left beside the link or the file.
    for (const char* folder : {"/pcx-opx", "/dotfiles"})
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path() + folder),
                                std::filesystem::directory_iterator()),
                  1)
            << folder;
}

TEST(SettingsFile, AFifoInTheStoresPlaceIsNeitherWaitedOnNorReplaced) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() + "/pcx-opx");
    const std::string path = dir.path() + "/pcx-opx/settings";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    // Should a read wait for a writer after all, one comes after three
    // seconds (and again), so that the test fails instead of hanging.
    std::atomic<bool> done{false};
    std::thread rescue([&] {
        for (int i = 0; !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (i < 300) continue;
            const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
            if (fd >= 0) close(fd);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(store::readStoreInteger(path, kKey, kName), std::nullopt);
    EXPECT_FALSE(store::writeStoreInteger(path, kKey, kName, 1));
    {
        // The road PLUGINCALLBACK takes.
        ScopedEnv config("XDG_CONFIG_HOME", dir.path().c_str());
        EXPECT_EQ(pcx::platform::readUserInteger(kKey, kName), std::nullopt);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done = true;
    rescue.join();
    EXPECT_LT(seconds, 1.0);
    struct stat info;
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST(UserStore, LivesUnderTheUsersConfigurationFolder) {
    {
        ScopedEnv config("XDG_CONFIG_HOME", "/cfg/");
        ScopedEnv home("HOME", "/home/u");
        EXPECT_EQ(store::userStorePath(), "/cfg/pcx-opx/settings");
    }
    for (const char* unusable : {static_cast<const char*>(nullptr), "", "relative/cfg"}) {
        ScopedEnv config("XDG_CONFIG_HOME", unusable);
        ScopedEnv home("HOME", "/home/u");
        EXPECT_EQ(store::userStorePath(), "/home/u/.config/pcx-opx/settings")
            << (unusable ? unusable : "(unset)");
    }
    ScopedEnv config("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home("HOME", nullptr);
    EXPECT_EQ(store::userStorePath(), "");
    EXPECT_EQ(pcx::platform::readUserInteger(kKey, kName), std::nullopt);
    EXPECT_FALSE(pcx::platform::writeUserInteger(kKey, kName, 1));
}

TEST(UserStore, TheNarrowInterfaceReadsAndWritesTheUsersFile) {
    TempDir dir;
    ScopedEnv config("XDG_CONFIG_HOME", (dir.path() + "/fresh/config").c_str());
    EXPECT_EQ(pcx::platform::readUserInteger(kKey, kName), std::nullopt);
    ASSERT_TRUE(pcx::platform::writeUserInteger(kKey, kName, 0xFFFFFFFFu));
    EXPECT_EQ(pcx::platform::readUserInteger(kKey, kName), std::optional<uint32_t>(0xFFFFFFFFu));
    EXPECT_NE(textOf(dir.path() + "/fresh/config/pcx-opx/settings")
                  .find("\"TransformMethod\"=dword:ffffffff\n"),
              std::string::npos);
    EXPECT_EQ(pcx::platform::readUserInteger(nullptr, kName), std::nullopt);
    EXPECT_FALSE(pcx::platform::writeUserInteger(kKey, nullptr, 1));
}

}  // namespace
