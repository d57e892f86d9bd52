// ExpOptF: the export option panel TExportOptionForm and its layout.
//
// The panel shows the four conversion methods as one group of radio buttons,
// PCXConvMethodRG; the position of an item (0 to 3, top to bottom) is the
// method it stands for. In the Windows build it is a real child window of a
// container window that the host lends; natively, where the host has no
// windows to lend, it is a window-less control group with the same captions,
// order, selection rules and release.
#ifndef PCX_EXPOPTF_H
#define PCX_EXPOPTF_H

#include "United.h"

namespace pcx {

// A rectangle of the layout: position within the parent, and size.
struct PanelRect {
    int32_t left, top, width, height;
};

// The layout is drawn at 96 pixels per inch with a font 12 pixels high; on
// another screen the font follows the resolution and every position and size
// follows the font.
constexpr int32_t kDesignDpi = 96;
constexpr int32_t kDesignFontPixels = 12;
// The panel's client area as designed; it is stretched over the container.
constexpr PanelRect kFormDesignRect = {0, 0, 283, 159};
// The radio group within the panel.
constexpr PanelRect kConvMethodGroupRect = {8, 16, 241, 129};
constexpr int32_t kConvMethodItemCount = 4;

// Texts, as Shift-JIS bytes.
extern const char kFormCaption[];   // the panel's window text, never shown
extern const char kFormFontFace[];  // the panel's font face
extern const char kConvMethodCaption[];

// The radio items, top to bottom (regenerate with scripts/sjis-literal.py):
// 全てフルカラー / フルカラー と 可能ならば、256色 を使う / 最適化 256色 /
// ウィンドウズパレット 256色 強制変換. Defined here so that a host program can
// show the same captions.
inline constexpr const char* kConvMethodItems[kConvMethodItemCount] = {
    "\x91S\x82\xC4\x83t\x83\x8B\x83J\x83\x89\x81[",
    "\x83t\x83\x8B\x83J\x83\x89\x81[ \x82\xC6 \x89\xC2\x94\x5C\x82\xC8\x82\xE7\x82\xCE\x81"
    "A256\x90"
    "F \x82\xF0\x8Eg\x82\xA4",
    "\x8D\xC5\x93K\x89\xBB 256\x90"
    "F",
    "\x83"
    "E\x83"
    "B\x83\x93\x83h\x83"
    "E\x83Y\x83p\x83\x8C\x83"
    "b\x83g 256\x90"
    "F \x8B\xAD\x90\xA7\x95\xCF\x8A\xB7",
};

// The font's character height in pixels (internal leading not counted) on a
// screen of dpi pixels per inch; a dpi below 1 counts as 96.
int32_t formFontPixels(int32_t dpi);
// A length of the layout scaled for a font fontPixels high.
int32_t scaleToFont(int32_t length, int32_t fontPixels);
PanelRect scaleToFont(PanelRect rect, int32_t fontPixels);
// Item index's radio button within the group, as designed (one column).
PanelRect convMethodItemRect(int32_t index);
// The item a radio group selects for index: below -1 counts as -1 (nothing
// selected), past the last item selects the last.
int32_t clampConvMethodIndex(int32_t index);

}  // namespace pcx

struct TExportOptionFormWindow;
struct TExportOptionFormMemory;

// The option panel. Made and owned by the plug-in's application object
// (pcx::CreateExportOptionForm); a panel that was never released is destroyed
// when the module is unloaded.
class TExportOptionForm {
public:
    ~TExportOptionForm();
    TExportOptionForm(const TExportOptionForm&) = delete;
    TExportOptionForm& operator=(const TExportOptionForm&) = delete;

    // Selects the item for index, clamped as clampConvMethodIndex says.
    void SetItemIndex(int32_t index);
    // The selected item, or -1 when none is. Once the panel's window is gone,
    // the selection it had when it was destroyed.
    int32_t ItemIndex() const;
    // Asks for the panel's release. In the Windows build the request is posted
    // to the panel's own window, which is destroyed when the host's message
    // loop delivers it; natively, without a loop, the group is released at once.
    void Release();
    // The panel's window in the Windows build (null once it is destroyed);
    // natively the container the group was placed in (null once released).
    PcxWindow Handle() const;

#if !defined(_WIN32)
    // Natively the user's click on item index, for a host's own drawing of the
    // group and for tests; an index outside the items, or a click after the
    // release, changes nothing.
    void ClickItem(int32_t index);
#endif

private:
    friend struct TExportOptionFormWindow;
    friend struct TExportOptionFormMemory;
    struct TExportOptionFormMemory;
    TExportOptionForm() = default;

#if defined(_WIN32)
    PcxWindow window_ = nullptr;
    PcxWindow group_ = nullptr;
    PcxWindow items_[pcx::kConvMethodItemCount] = {};
    void* font_ = nullptr;  // HFONT, deleted once the window is gone
    int32_t lastItemIndex_ = -1;
#else
    PcxWindow container_ = nullptr;
    int32_t itemIndex_ = -1;
#endif
};

namespace pcx {

// Makes a new panel covering the client area of container, after destroying
// the panel made before, if any, at once. The new panel, owned by the
// application object, or null when container is not a window or the panel
// cannot be made.
TExportOptionForm* CreateExportOptionForm(PcxWindow container);

}  // namespace pcx

#endif  // PCX_EXPOPTF_H
