// The version resource of the two Windows programs a release ships, read
// back as Explorer reads it: through version.dll (GetFileVersionInfoW,
// VerQueryValueW). The numbers must be the build's one version number, the
// texts the ones a user is shown, and the module's LegalCopyright the notice
// line its own UNITED_Verbose reports.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PcxVersion.h"
#include "support/PluginTest.h"

namespace {

using hostside::programFolder;

std::string utf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &text[0], size,
                        nullptr, nullptr);
    return text;
}

std::wstring wide(const std::string& text) {
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
    return result;
}

// A program's version resource as the version API hands it out.
class VersionInfo {
public:
    explicit VersionInfo(const std::string& path) {
        const std::wstring name = wide(path);
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(name.c_str(), &ignored);
        if (size == 0) {
            error_ = "GetFileVersionInfoSizeW failed for " + path + " (error " +
                     std::to_string(GetLastError()) + ")";
            return;
        }
        data_.resize(size);
        if (!GetFileVersionInfoW(name.c_str(), 0, size, data_.data())) {
            error_ = "GetFileVersionInfoW failed for " + path;
            data_.clear();
        }
    }
    bool loaded() const { return !data_.empty(); }
    const std::string& error() const { return error_; }

    const VS_FIXEDFILEINFO* fixed() const {
        void* block = nullptr;
        UINT size = 0;
        if (!VerQueryValueW(data_.data(), L"\\", &block, &size) || size < sizeof(VS_FIXEDFILEINFO))
            return nullptr;
        return static_cast<const VS_FIXEDFILEINFO*>(block);
    }

    // The (language, code page) pairs of VarFileInfo\Translation.
    std::vector<std::pair<WORD, WORD>> translations() const {
        void* block = nullptr;
        UINT size = 0;
        std::vector<std::pair<WORD, WORD>> pairs;
        if (!VerQueryValueW(data_.data(), L"\\VarFileInfo\\Translation", &block, &size))
            return pairs;
        const WORD* words = static_cast<const WORD*>(block);
        for (UINT i = 0; i + 1 < size / sizeof(WORD); i += 2)
            pairs.push_back({words[i], words[i + 1]});
        return pairs;
    }

    // One text of the StringFileInfo table for the Japanese UTF-16 entry,
    // "(missing)" when there is none; a text's terminating NUL is not counted.
    std::string text(const wchar_t* field) const {
        const std::wstring path = std::wstring(L"\\StringFileInfo\\041104b0\\") + field;
        void* block = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(data_.data(), path.c_str(), &block, &length) || !block)
            return "(missing)";
        std::wstring value(static_cast<const wchar_t*>(block), length);
        while (!value.empty() && value.back() == L'\0') value.pop_back();
        return utf8(value);
    }

private:
    std::vector<unsigned char> data_;
    std::string error_;
};

std::string reportedNotice;
void PCX_CALL recordNotice(int32_t, const char*, const char* notice, const char*) {
    reportedNotice = notice ? notice : "(null)";
}

struct Program {
    const char* fileName;
    DWORD fileType;
    const char* description;
};

// The fields both programs carry, checked against the build's version number
// and the notice the module reports.
void expectReleaseFields(const Program& program, const std::string& notice) {
    SCOPED_TRACE(program.fileName);
    const VersionInfo info(programFolder() + program.fileName);
    ASSERT_TRUE(info.loaded()) << info.error();

    const VS_FIXEDFILEINFO* fixed = info.fixed();
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD versionMs = (PCX_VERSION_MAJOR << 16) | PCX_VERSION_MINOR;
    const DWORD versionLs = static_cast<DWORD>(PCX_VERSION_PATCH) << 16;
    EXPECT_EQ(fixed->dwFileVersionMS, versionMs);
    EXPECT_EQ(fixed->dwFileVersionLS, versionLs);
    EXPECT_EQ(fixed->dwProductVersionMS, versionMs);
    EXPECT_EQ(fixed->dwProductVersionLS, versionLs);
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "debug or pre-release flags";
    EXPECT_EQ(fixed->dwFileType, program.fileType);

    // Japanese, in UTF-16: the one table the texts below are read from.
    EXPECT_EQ(info.translations(), (std::vector<std::pair<WORD, WORD>>{{0x0411, 1200}}));

    EXPECT_EQ(info.text(L"FileVersion"), PCX_VERSION_TEXT);
    EXPECT_EQ(info.text(L"ProductVersion"), PCX_VERSION_TEXT);
    EXPECT_EQ(info.text(L"FileDescription"), program.description);
    EXPECT_EQ(info.text(L"ProductName"), "Pcx.opx");
    EXPECT_EQ(info.text(L"OriginalFilename"), program.fileName);
    EXPECT_EQ(info.text(L"CompanyName"), "The Pcx.opx developers");
    EXPECT_EQ(info.text(L"LegalCopyright"), notice);
}

class VersionResource : public pcxtest::PluginTest {};

TEST_F(VersionResource, BothProgramsCarryTheReleaseAndTheModulesNotice) {
    reportedNotice.clear();
    plugin().UNITED_Verbose(recordNotice);
    ASSERT_FALSE(reportedNotice.empty());

    expectReleaseFields({"Pcx.opx", VFT_DLL, "ZSoft PCX 形式の画像を読み書きするプラグイン"},
                        reportedNotice);
    expectReleaseFields({"opxhost.exe", VFT_APP, "Pcx.opx の動作を確かめるコマンドライン ツール"},
                        reportedNotice);
}

TEST(VersionResourceOfAFile, IsAbsentFromAProgramWithoutOne) {
    // The test program itself has no version resource: the reader says so
    // rather than finding the fields somewhere else.
    char self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    const VersionInfo info(self);
    EXPECT_FALSE(info.loaded());
}

}  // namespace
