// The option panel of the native build, a window-less control group: its
// captions and layout, and the enter and leave rules, with the user's clicks
// made through the group's ClickItem seam.
#include <gtest/gtest.h>

#include <string>

#include "ExpOptF.h"
#include "Export.h"
#include "hostside/ShiftJis.h"

namespace {

// Any non-null handle stands for the host's windows natively.
int applicationObject, containerObject, otherContainerObject;
PcxWindow const kApplication = &applicationObject;
PcxWindow const kContainer = &containerObject;
PcxWindow const kOtherContainer = &otherContainerObject;

constexpr int32_t kUntouched = 0x5A5A;

int32_t transformCode() {
    int32_t code = kUntouched;
    EXPORT_BeforeTransform(&code, 0);
    return code;
}

std::string utf8(const char* sjis) {
    bool ok = false;
    std::string text = hostside::sjisToUtf8(sjis, &ok);
    EXPECT_TRUE(ok) << "not Shift-JIS: " << sjis;
    return text;
}

TEST(OptionPanelLayout, CaptionsAreTheShiftJisTextsInOrder) {
    EXPECT_EQ(utf8(pcx::kConvMethodCaption), "変換方式");
    EXPECT_EQ(utf8(pcx::kConvMethodItems[0]), "全てフルカラー");
    EXPECT_EQ(utf8(pcx::kConvMethodItems[1]), "フルカラー と 可能ならば、256色 を使う");
    EXPECT_EQ(utf8(pcx::kConvMethodItems[2]), "最適化 256色");
    EXPECT_EQ(utf8(pcx::kConvMethodItems[3]), "ウィンドウズパレット 256色 強制変換");
    EXPECT_EQ(utf8(pcx::kFormFontFace), "ＭＳ Ｐゴシック");
    EXPECT_STREQ(pcx::kFormCaption, "ExportOptionForm");
}

TEST(OptionPanelLayout, ScalesWithTheFontAndKeepsItemsInsideTheGroup) {
    EXPECT_EQ(pcx::formFontPixels(96), 12);
    EXPECT_EQ(pcx::formFontPixels(120), 15);
    EXPECT_EQ(pcx::formFontPixels(144), 18);
    EXPECT_EQ(pcx::formFontPixels(0), 12);
    const pcx::PanelRect at120 = pcx::scaleToFont(pcx::kConvMethodGroupRect, 15);
    EXPECT_EQ(at120.left, 10);
    EXPECT_EQ(at120.top, 20);
    EXPECT_EQ(at120.width, 301);
    EXPECT_EQ(at120.height, 161);

    for (int32_t fontPixels : {12, 15, 18, 24}) {
        const pcx::PanelRect group = pcx::scaleToFont(pcx::kConvMethodGroupRect, fontPixels);
        int32_t previousBottom = fontPixels;  // below the group's caption
        for (int32_t i = 0; i < pcx::kConvMethodItemCount; ++i) {
            const pcx::PanelRect item = pcx::scaleToFont(pcx::convMethodItemRect(i), fontPixels);
            EXPECT_GE(item.top, previousBottom) << "item " << i << " at " << fontPixels;
            EXPECT_GE(item.height, fontPixels) << "item " << i << " at " << fontPixels;
            EXPECT_GT(item.left, 0);
            EXPECT_LE(item.left + item.width, group.width);
            EXPECT_LE(item.top + item.height, group.height) << "item " << i << " at " << fontPixels;
            previousBottom = item.top + item.height;
        }
    }
}

TEST(OptionPanelLayout, TheGroupClampsTheMethod) {
    const std::pair<int32_t, int32_t> cases[] = {{-128, -1}, {-2, -1}, {-1, -1}, {0, 0},  {1, 1},
                                                 {2, 2},     {3, 3},   {4, 3},   {127, 3}};
    for (auto [method, selected] : cases) EXPECT_EQ(pcx::clampConvMethodIndex(method), selected);
}

class OptionPanel : public ::testing::Test {
protected:
    void SetUp() override {
        EXPORT_LeaveOption(0);
        pcx::ConversionMethod = 0;
    }
    void TearDown() override { EXPORT_LeaveOption(0); }

    TExportOptionForm* enter(PcxWindow container = kContainer) {
        EXPORT_EnterOption(kApplication, container, 0);
        return pcx::LiveExportOptionForm();
    }
};

TEST_F(OptionPanel, EnterPlacesTheGroupWithTheMethodSelected) {
    const std::pair<int8_t, int32_t> cases[] = {{0, 0}, {2, 2}, {7, 3}, {-1, -1}, {-56, -1}};
    for (auto [method, selected] : cases) {
        pcx::ConversionMethod = method;
        TExportOptionForm* form = enter();
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(form->Handle(), kContainer);
        EXPECT_EQ(form->ItemIndex(), selected) << "method " << int{method};
        EXPORT_LeaveOption(0);
    }
}

TEST_F(OptionPanel, AClickCountsOnlyWhenTheLeaveAccepts) {
    TExportOptionForm* form = enter();
    ASSERT_NE(form, nullptr);
    form->ClickItem(2);
    EXPECT_EQ(form->ItemIndex(), 2);
    EXPECT_EQ(transformCode(), 1) << "a click alone changes nothing";
    EXPORT_LeaveOption(1);
    EXPECT_EQ(pcx::ConversionMethod, 2);
    EXPECT_EQ(transformCode(), 9);

    form = enter();
    ASSERT_NE(form, nullptr);
    form->ClickItem(3);
    EXPORT_LeaveOption(0);
    EXPECT_EQ(transformCode(), 9);
}

TEST_F(OptionPanel, LeavingTakesTheClampedSelection) {
    // A method past the last item shows the last; accepting makes it 3.
    pcx::ConversionMethod = 7;
    ASSERT_NE(enter(), nullptr);
    EXPORT_LeaveOption(1);
    EXPECT_EQ(pcx::ConversionMethod, 3);

    // -1 selects nothing, and accepting without a click keeps -1.
    pcx::ConversionMethod = -1;
    ASSERT_NE(enter(), nullptr);
    EXPORT_LeaveOption(1);
    EXPECT_EQ(pcx::ConversionMethod, -1);
    EXPECT_EQ(transformCode(), kUntouched);
}

TEST_F(OptionPanel, ClicksOutsideTheItemsOrAfterTheLeaveChangeNothing) {
    TExportOptionForm* form = enter();
    ASSERT_NE(form, nullptr);
    form->ClickItem(1);
    form->ClickItem(4);
    form->ClickItem(-1);
    EXPECT_EQ(form->ItemIndex(), 1);
    EXPORT_LeaveOption(1);
    EXPECT_EQ(form->Handle(), nullptr) << "released";
    form->ClickItem(3);
    EXPECT_EQ(form->ItemIndex(), 1);
    EXPECT_EQ(pcx::ConversionMethod, 1);
}

TEST_F(OptionPanel, ALeaveWithoutALivePanelDoesNothing) {
    pcx::ConversionMethod = 1;
    EXPORT_LeaveOption(1);  // never entered
    EXPECT_EQ(pcx::ConversionMethod, 1);

    TExportOptionForm* form = enter();
    ASSERT_NE(form, nullptr);
    form->ClickItem(3);
    EXPORT_LeaveOption(0);
    // A second leave must not take the released panel's selection.
    EXPORT_LeaveOption(1);
    EXPECT_EQ(pcx::ConversionMethod, 1);
    EXPECT_EQ(pcx::LiveExportOptionForm(), nullptr);
}

TEST_F(OptionPanel, ASecondEnterReplacesTheLivePanel) {
    pcx::ConversionMethod = 2;
    TExportOptionForm* first = enter();
    ASSERT_NE(first, nullptr);
    first->ClickItem(0);
    TExportOptionForm* second = enter(kOtherContainer);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->Handle(), kOtherContainer);
    EXPECT_EQ(second->ItemIndex(), 2) << "the new panel shows the method, not the old click";
    second->ClickItem(1);
    EXPORT_LeaveOption(1);
    EXPECT_EQ(pcx::ConversionMethod, 1);
}

TEST_F(OptionPanel, ANullContainerMakesNoPanel) {
    EXPECT_EQ(enter(nullptr), nullptr);
    pcx::ConversionMethod = 2;
    EXPORT_LeaveOption(1);
    EXPECT_EQ(pcx::ConversionMethod, 2);
    // A live panel goes when the next enter fails.
    ASSERT_NE(enter(), nullptr);
    EXPECT_EQ(enter(nullptr), nullptr);
}

}  // namespace
