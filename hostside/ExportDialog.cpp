#include "hostside/ExportDialog.h"

namespace hostside {
namespace {

constexpr wchar_t kDialogClass[] = L"PcxHostExportDialog";
constexpr wchar_t kContainerClass[] = L"PcxHostOptionRoom";

// The dialog's client layout, in pixels at 96 pixels per inch.
constexpr int kMargin = 12;
constexpr int kContainerTop = 58;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 24;
constexpr int kClientWidth = kMargin + ExportDialog::kContainerWidth + kMargin;
constexpr int kButtonTop = kContainerTop + ExportDialog::kContainerHeight + kMargin;
constexpr int kClientHeight = kButtonTop + kButtonHeight + kMargin;

bool registerClasses() {
    static bool registered = false;
    if (registered) return true;
    WNDCLASSEXW dialog = {};
    dialog.cbSize = sizeof dialog;
    dialog.lpfnWndProc = DefWindowProcW;  // replaced per window below
    dialog.hInstance = GetModuleHandleW(nullptr);
    dialog.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    dialog.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    dialog.lpszClassName = kDialogClass;
    WNDCLASSEXW container = dialog;
    container.lpszClassName = kContainerClass;
    registered = RegisterClassExW(&dialog) && RegisterClassExW(&container);
    return registered;
}

HWND makeControl(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style,
                 DWORD exStyle, int left, int top, int width, int height, int id, HFONT font) {
    HWND control = CreateWindowExW(
        exStyle, className, text, WS_CHILD | WS_VISIBLE | style, left, top, width, height, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    if (control && font) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
}

}  // namespace

ExportDialog::ExportDialog(int left, int top) {
    if (!registerClasses()) return;
    // The host's own controls use the font the panel asks for, so that the
    // picture of the dialog shows one face throughout.
    font_ = CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        DEFAULT_PITCH | FF_DONTCARE, L"ＭＳ Ｐゴシック");

    const DWORD style = WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
    RECT outer = {0, 0, kClientWidth, kClientHeight};
    AdjustWindowRectEx(&outer, style, FALSE, exStyle);
    window_ = CreateWindowExW(exStyle, kDialogClass, L"エクスポート - PCX 形式", style, left, top,
                              outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    if (!window_) return;
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure));

    makeControl(window_, L"STATIC", L"ファイル名:", SS_LEFT, 0, kMargin, 15, 70, 16, -1, font_);
    makeControl(window_, L"EDIT", L"sample.pcx", ES_AUTOHSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, 84,
                12, kClientWidth - 84 - kMargin, 21, 10, font_);
    makeControl(window_, L"STATIC", L"オプション", SS_LEFT, 0, kMargin, 40, 200, 16, -1, font_);
    container_ =
        makeControl(window_, kContainerClass, L"", WS_CLIPCHILDREN, WS_EX_CONTROLPARENT, kMargin,
                    kContainerTop, kContainerWidth, kContainerHeight, 20, nullptr);
    makeControl(window_, L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 0,
                kClientWidth - kMargin - 2 * kButtonWidth - 6, kButtonTop, kButtonWidth,
                kButtonHeight, IDOK, font_);
    makeControl(window_, L"BUTTON", L"キャンセル", BS_PUSHBUTTON | WS_TABSTOP, 0,
                kClientWidth - kMargin - kButtonWidth, kButtonTop, kButtonWidth, kButtonHeight,
                IDCANCEL, font_);
    ShowWindow(window_, SW_SHOW);
    UpdateWindow(window_);
}

ExportDialog::~ExportDialog() {
    destroy();
    if (font_) DeleteObject(font_);
}

void ExportDialog::destroy() {
    if (window_ && IsWindow(window_)) DestroyWindow(window_);
    window_ = nullptr;
    container_ = nullptr;
}

void ExportDialog::pumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

LRESULT CALLBACK ExportDialog::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* dialog = reinterpret_cast<ExportDialog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_COMMAND:
            if (dialog && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
                dialog->result_ = LOWORD(wParam);
                return 0;
            }
            break;
        case WM_CLOSE:
            if (dialog) dialog->result_ = IDCANCEL;
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace hostside
