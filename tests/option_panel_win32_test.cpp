// The option panel of the Windows build as a host meets it: the module
// loaded by path, EXPORT_EnterOption given a host-like dialog's container,
// the panel and its radio buttons found as real windows, the user's clicks
// made with BM_CLICK, and the release delivered by the host's message loop.
// Runs under Wine with a virtual X display and Wine's default, non-Japanese
// code page: every text is read back as Unicode.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "hostside/ExportDialog.h"
#include "hostside/ModuleLoader.h"
#include "hostside/ShiftJis.h"
#include "support/ModuleUnderTest.h"
#include "support/RawUserStore.h"

namespace {

using hostside::ExportDialog;
using hostside::LoadedModule;

constexpr int32_t kUntouched = 0x5A5A;

std::vector<HWND> childrenOf(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

// A window's text as Unicode, then as the Shift-JIS bytes it stands for.
std::wstring wideText(HWND window) {
    wchar_t buffer[256] = {};
    GetWindowTextW(window, buffer, 256);
    return buffer;
}
std::string sjisText(HWND window) {
    const std::wstring wide = wideText(window);
    char bytes[512] = {};
    WideCharToMultiByte(932, 0, wide.c_str(), -1, bytes, sizeof bytes, nullptr, nullptr);
    return bytes;
}
std::string utf8Text(HWND window) {
    bool ok = false;
    std::string text = hostside::sjisToUtf8(sjisText(window), &ok);
    return ok ? text : "(not Shift-JIS)";
}

// A window's rectangle within its parent's client area.
RECT rectInParent(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void expectRect(HWND window, int left, int top, int width, int height, const char* what) {
    const RECT rect = rectInParent(window);
    EXPECT_EQ(rect.left, left) << what;
    EXPECT_EQ(rect.top, top) << what;
    EXPECT_EQ(rect.right - rect.left, width) << what;
    EXPECT_EQ(rect.bottom - rect.top, height) << what;
}

class OptionPanelWindow : public ::testing::Test {
protected:
    void SetUp() override {
        load();
        dialog_ = std::make_unique<ExportDialog>();
        ASSERT_TRUE(dialog_->ok()) << "no window: is there an X display (xvfb-run)?";
    }
    void TearDown() override {
        if (module_ && module_->loaded()) plugin().EXPORT_LeaveOption(0);
        ExportDialog::pumpMessages();
        dialog_.reset();
        module_.reset();
    }

    void load() {
        module_.reset();
        module_ = std::make_unique<LoadedModule>(pcxtest::modulePath());
        ASSERT_TRUE(module_->loaded()) << module_->error();
    }
    const hostside::PluginExports& plugin() const { return module_->exports(); }

    // Loads the method as the host does at start, from a stored integer.
    void storeAndLoadMethod(uint32_t stored) {
        ASSERT_TRUE(store_.putInteger(stored));
        plugin().PLUGINCALLBACK(0);
    }
    void enter() { plugin().EXPORT_EnterOption(dialog_->window(), dialog_->container(), 0); }
    int32_t transformCode() const {
        int32_t code = kUntouched;
        plugin().EXPORT_BeforeTransform(&code, 0);
        return code;
    }

    // The panel: the container's one child.
    HWND panel() const {
        const std::vector<HWND> children = childrenOf(dialog_->container());
        return children.size() == 1 ? children[0] : nullptr;
    }
    HWND group() const {
        const std::vector<HWND> children = childrenOf(panel());
        return children.size() == 1 ? children[0] : nullptr;
    }
    std::vector<HWND> items() const { return childrenOf(group()); }
    // The checked item, -1 when none is, -2 when more than one is.
    int checkedItem() const {
        int checked = -1;
        const std::vector<HWND> buttons = items();
        for (size_t i = 0; i < buttons.size(); ++i)
            if (SendMessageW(buttons[i], BM_GETCHECK, 0, 0) == BST_CHECKED)
                checked = checked == -1 ? static_cast<int>(i) : -2;
        return checked;
    }
    void click(int item) {
        const std::vector<HWND> buttons = items();
        ASSERT_LT(static_cast<size_t>(item), buttons.size());
        SendMessageW(buttons[static_cast<size_t>(item)], BM_CLICK, 0, 0);
    }

    pcxtest::RawUserStore store_;
    std::unique_ptr<LoadedModule> module_;
    std::unique_ptr<ExportDialog> dialog_;
};

TEST_F(OptionPanelWindow, ThePanelIsAChildWindowCoveringTheContainer) {
    enter();
    HWND form = panel();
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(GetParent(form), dialog_->container());
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(form, GWL_STYLE)), 0x56000000u);
    EXPECT_TRUE(IsWindowVisible(form));
    expectRect(form, 0, 0, ExportDialog::kContainerWidth, ExportDialog::kContainerHeight, "panel");
    EXPECT_EQ(wideText(form), L"ExportOptionForm");

    // Painted in the button-face colour, where no control covers it.
    UpdateWindow(form);
    HDC dc = GetDC(form);
    const COLORREF corner = GetPixel(dc, ExportDialog::kContainerWidth - 4, 4);
    ReleaseDC(form, dc);
    EXPECT_EQ(corner, GetSysColor(COLOR_BTNFACE));
}

TEST_F(OptionPanelWindow, TheRadioGroupHoldsFourItemsInOneColumn) {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    ASSERT_EQ(dpi, 96) << "the geometry below is the design at 96 pixels per inch";

    enter();
    HWND box = group();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(GetWindowLongW(box, GWL_STYLE) & BS_TYPEMASK, BS_GROUPBOX);
    expectRect(box, 8, 16, 241, 129, "PCXConvMethodRG");
    EXPECT_EQ(utf8Text(box), "変換方式");
    EXPECT_EQ(sjisText(box), "\x95\xCF\x8A\xB7\x95\xFB\x8E\xAE");

    const std::vector<HWND> buttons = items();
    ASSERT_EQ(buttons.size(), 4u);
    const char* const captions[4] = {"全てフルカラー", "フルカラー と 可能ならば、256色 を使う",
                                     "最適化 256色", "ウィンドウズパレット 256色 強制変換"};
    RECT previous = {0, 0, 0, 0};
    for (size_t i = 0; i < buttons.size(); ++i) {
        EXPECT_EQ(utf8Text(buttons[i]), captions[i]) << "item " << i;
        EXPECT_EQ(GetWindowLongW(buttons[i], GWL_STYLE) & BS_TYPEMASK, BS_AUTORADIOBUTTON);
        const RECT rect = rectInParent(buttons[i]);
        // One column inside the group, below its caption, top to bottom.
        EXPECT_GE(rect.top, i == 0 ? 12 : previous.bottom) << "item " << i;
        EXPECT_EQ(rect.left, i == 0 ? rect.left : previous.left) << "item " << i;
        EXPECT_GT(rect.left, 0);
        EXPECT_LE(rect.right, 241);
        EXPECT_LE(rect.bottom, 129);
        previous = rect;
    }
    EXPECT_EQ(GetWindowLongW(buttons[0], GWL_STYLE) & WS_GROUP, WS_GROUP);
}

TEST_F(OptionPanelWindow, EveryTextIsInThePanelsFont) {
    enter();
    std::vector<HWND> windows = {panel(), group()};
    for (HWND item : items()) windows.push_back(item);
    ASSERT_EQ(windows.size(), 6u);
    for (HWND window : windows) {
        HFONT font = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
        ASSERT_NE(font, nullptr);
        LOGFONTW face = {};
        ASSERT_EQ(GetObjectW(font, sizeof face, &face), static_cast<int>(sizeof face));
        EXPECT_STREQ(face.lfFaceName, L"ＭＳ Ｐゴシック");
        EXPECT_EQ(face.lfCharSet, SHIFTJIS_CHARSET);
        EXPECT_EQ(face.lfHeight, -12);
        EXPECT_EQ(face.lfWeight, FW_NORMAL);
        EXPECT_FALSE(face.lfItalic || face.lfUnderline || face.lfStrikeOut);
    }
}

TEST_F(OptionPanelWindow, TheStoredMethodIsSelectedClamped) {
    // Stored value, the item selected (-1: none).
    const std::pair<uint32_t, int> cases[] = {{0, 0},   {1, 1},    {3, 3},    {7, 3},
                                              {127, 3}, {255, -1}, {254, -1}, {128, -1}};
    for (auto [stored, selected] : cases) {
        load();
        storeAndLoadMethod(stored);
        enter();
        EXPECT_EQ(checkedItem(), selected) << "stored " << stored;
        plugin().EXPORT_LeaveOption(0);
        ExportDialog::pumpMessages();
    }
}

TEST_F(OptionPanelWindow, AClickCountsOnlyWhenTheLeaveAccepts) {
    enter();
    click(2);
    EXPECT_EQ(checkedItem(), 2) << "a click moves the selection";
    EXPECT_EQ(transformCode(), 1) << "and nothing else";
    plugin().EXPORT_LeaveOption(1);
    EXPECT_EQ(transformCode(), 9);
    ExportDialog::pumpMessages();

    enter();
    EXPECT_EQ(checkedItem(), 2);
    click(0);
    click(3);
    EXPECT_EQ(checkedItem(), 3);
    plugin().EXPORT_LeaveOption(0);
    EXPECT_EQ(transformCode(), 9);
}

TEST_F(OptionPanelWindow, LeavingWithAClampedOrEmptySelection) {
    storeAndLoadMethod(7);
    enter();
    plugin().EXPORT_LeaveOption(1);
    EXPECT_EQ(transformCode(), 10) << "7 shows the fourth item, and accepting makes it 3";
    ExportDialog::pumpMessages();

    storeAndLoadMethod(255);
    enter();
    ASSERT_EQ(checkedItem(), -1);
    plugin().EXPORT_LeaveOption(1);
    EXPECT_EQ(transformCode(), kUntouched) << "-1 stays -1";
    plugin().PLUGOUTCALLBACK();
    EXPECT_EQ(store_.integer(), std::optional<uint32_t>(0xFFFFFFFFu));
}

TEST_F(OptionPanelWindow, ThePanelIsReleasedByTheHostsMessageLoop) {
    enter();
    HWND form = panel();
    ASSERT_NE(form, nullptr);
    const std::vector<HWND> buttons = items();
    plugin().EXPORT_LeaveOption(1);
    EXPECT_TRUE(IsWindow(form)) << "still there until the loop runs";
    EXPECT_TRUE(IsWindowVisible(form));
    ExportDialog::pumpMessages();
    EXPECT_FALSE(IsWindow(form));
    for (HWND button : buttons) EXPECT_FALSE(IsWindow(button));
    EXPECT_TRUE(childrenOf(dialog_->container()).empty());
}

TEST_F(OptionPanelWindow, ALeaveWithoutALivePanelDoesNothing) {
    plugin().EXPORT_LeaveOption(1);  // never entered
    EXPECT_EQ(transformCode(), 1);

    enter();
    click(3);
    plugin().EXPORT_LeaveOption(0);
    // The released panel is still on screen, with item 3 checked; a second
    // leave must not take it.
    plugin().EXPORT_LeaveOption(1);
    EXPECT_EQ(transformCode(), 1);
    ExportDialog::pumpMessages();
    plugin().EXPORT_LeaveOption(1);
    EXPECT_EQ(transformCode(), 1);
}

TEST_F(OptionPanelWindow, ASecondEnterReplacesTheLivePanel) {
    enter();
    HWND first = panel();
    ASSERT_NE(first, nullptr);
    click(1);
    enter();
    EXPECT_FALSE(IsWindow(first));
    ASSERT_NE(panel(), nullptr) << "exactly one panel in the container";
    EXPECT_EQ(checkedItem(), 0) << "the new panel shows the method";
    click(2);
    plugin().EXPORT_LeaveOption(1);
    EXPECT_EQ(transformCode(), 9);
}

TEST_F(OptionPanelWindow, AReleasedPanelStillOnScreenGoesWhenTheNextEnterComes) {
    enter();
    HWND first = panel();
    plugin().EXPORT_LeaveOption(0);
    enter();  // before the loop has run
    EXPECT_FALSE(IsWindow(first));
    EXPECT_NE(panel(), nullptr);
    ExportDialog::pumpMessages();
    EXPECT_NE(panel(), nullptr) << "the old release request does not reach the new panel";
}

TEST_F(OptionPanelWindow, ANullOrDeadContainerMakesNoPanel) {
    storeAndLoadMethod(2);
    plugin().EXPORT_EnterOption(dialog_->window(), nullptr, 0);
    plugin().EXPORT_LeaveOption(0);

    HWND gone = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(gone, nullptr);
    DestroyWindow(gone);
    plugin().EXPORT_EnterOption(dialog_->window(), gone, 0);
    plugin().EXPORT_LeaveOption(1);
    EXPECT_EQ(transformCode(), 9);

    // A live panel is released all the same when the next enter fails.
    enter();
    HWND form = panel();
    ASSERT_NE(form, nullptr);
    plugin().EXPORT_EnterOption(dialog_->window(), nullptr, 0);
    EXPECT_FALSE(IsWindow(form));
}

TEST_F(OptionPanelWindow, TheChoiceSurvivesAHostThatDestroysItsDialogFirst) {
    enter();
    click(1);
    dialog_->destroy();
    plugin().EXPORT_LeaveOption(1);
    EXPECT_EQ(transformCode(), 5);
    ExportDialog::pumpMessages();
}

TEST_F(OptionPanelWindow, UnloadingDestroysAPanelNeverReleased) {
    enter();
    HWND form = panel();
    ASSERT_NE(form, nullptr);
    module_.reset();
    EXPECT_FALSE(IsWindow(form));
    ExportDialog::pumpMessages();  // nothing may call into the unloaded module

    // A new load registers the panel's class afresh and works as before.
    load();
    storeAndLoadMethod(1);
    enter();
    ASSERT_NE(panel(), nullptr);
    EXPECT_EQ(checkedItem(), 1);
    click(3);
    plugin().EXPORT_LeaveOption(1);
    EXPECT_EQ(transformCode(), 10);
}

}  // namespace
