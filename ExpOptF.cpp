// ExpOptF: the export option panel TExportOptionForm and its layout.
#include "ExpOptF.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#if defined(_WIN32)
#include <windows.h>
#endif

// Panels live in memory from malloc, as everything the module allocates: a
// panel that cannot be had is a null pointer, never an exception.
struct TExportOptionFormMemory {
    static TExportOptionForm* newForm() {
        void* memory = std::malloc(sizeof(TExportOptionForm));
        return memory ? ::new (memory) TExportOptionForm() : nullptr;
    }
    static void deleteForm(TExportOptionForm* form) {
        if (!form) return;
        form->~TExportOptionForm();
        std::free(form);
    }
    struct FormRelease {
        void operator()(TExportOptionForm* form) const { deleteForm(form); }
    };
};

namespace pcx {

const char kFormCaption[] = "ExportOptionForm";
// ＭＳ Ｐゴシック
const char kFormFontFace[] =
    "\x82l\x82r \x82o\x83S\x83V\x83"
    "b\x83N";
// 変換方式
const char kConvMethodCaption[] = "\x95\xCF\x8A\xB7\x95\xFB\x8E\xAE";

namespace {

// The radio buttons inside the group, as designed: one column below the
// group's caption, inset from its frame.
constexpr int32_t kItemInset = 8;
constexpr int32_t kFirstItemTop = 18;
constexpr int32_t kItemPitch = 26;
constexpr int32_t kItemHeight = 24;

}  // namespace

int32_t formFontPixels(int32_t dpi) {
    if (dpi < 1) dpi = kDesignDpi;
    const int64_t scaled = (int64_t{kDesignFontPixels} * dpi + kDesignDpi / 2) / kDesignDpi;
    return static_cast<int32_t>(scaled);
}

int32_t scaleToFont(int32_t length, int32_t fontPixels) {
    const int64_t product = int64_t{length} * fontPixels;
    const int64_t half = kDesignFontPixels / 2;
    return static_cast<int32_t>(product >= 0 ? (product + half) / kDesignFontPixels
                                             : (product - half) / kDesignFontPixels);
}

PanelRect scaleToFont(PanelRect rect, int32_t fontPixels) {
    return {scaleToFont(rect.left, fontPixels), scaleToFont(rect.top, fontPixels),
            scaleToFont(rect.width, fontPixels), scaleToFont(rect.height, fontPixels)};
}

PanelRect convMethodItemRect(int32_t index) {
    return {kItemInset, kFirstItemTop + index * kItemPitch,
            kConvMethodGroupRect.width - 2 * kItemInset, kItemHeight};
}

int32_t clampConvMethodIndex(int32_t index) {
    if (index < -1) return -1;
    if (index >= kConvMethodItemCount) return kConvMethodItemCount - 1;
    return index;
}

}  // namespace pcx

#if defined(_WIN32)

// The panel's window: a window class of the module's own whose procedure
// destroys the window when the release request arrives, and a group box of
// radio buttons inside it. Every text is converted from code page 932
// explicitly and every window and the font are made with the wide-character
// API, so the panel reads right whatever the system's code page.
struct TExportOptionFormWindow : TExportOptionFormMemory {
    static constexpr wchar_t kClassName[] = L"TExportOptionForm";
    // The release request, a message of the class's own.
    static constexpr UINT kReleaseMessage = WM_USER + 1;
    static constexpr DWORD kFormStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
    static constexpr int kGroupId = 100;
    static constexpr int kFirstItemId = 101;

    static HMODULE module();
    static bool registerClass();
    static void unregisterClass();
    static TExportOptionForm* create(HWND container);
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static void windowGone(TExportOptionForm& form);
};

namespace {

// Any object of the module lies inside its image: its address finds the
// module's own handle, whichever name the host loaded it under.
const char moduleAnchor = 0;

// A caption of the panel in UTF-16, held in place: the captions are short,
// so converting them needs no memory from the heap.
class WideCaption {
public:
    explicit WideCaption(const char* sjis) {
        if (MultiByteToWideChar(932, 0, sjis, -1, text_, kLongest + 1) <= 0) text_[0] = L'\0';
    }
    const wchar_t* c_str() const { return text_; }

private:
    // The longest caption has 24 characters.
    static constexpr int kLongest = 63;
    wchar_t text_[kLongest + 1] = {};
};

HWND asWindow(PcxWindow window) {
    return static_cast<HWND>(window);
}

HWND createControl(const WideCaption& text, DWORD style, DWORD exStyle, pcx::PanelRect rect,
                   int32_t fontPixels, HWND parent, int id, HFONT font) {
    const pcx::PanelRect at = pcx::scaleToFont(rect, fontPixels);
    HWND control = CreateWindowExW(exStyle, L"BUTTON", text.c_str(), WS_CHILD | WS_VISIBLE | style,
                                   at.left, at.top, at.width, at.height, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   TExportOptionFormWindow::module(), nullptr);
    if (control) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
}

}  // namespace

HMODULE TExportOptionFormWindow::module() {
    HMODULE handle = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&moduleAnchor), &handle);
    return handle;
}

bool TExportOptionFormWindow::registerClass() {
    WNDCLASSEXW existing = {};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExW(module(), kClassName, &existing)) return true;
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = module();
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = kClassName;
    return RegisterClassExW(&windowClass) != 0;
}

void TExportOptionFormWindow::unregisterClass() {
    UnregisterClassW(kClassName, module());
}

TExportOptionForm* TExportOptionFormWindow::create(HWND container) {
    if (!container || !IsWindow(container) || !registerClass()) return nullptr;

    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : pcx::kDesignDpi;
    if (screen) ReleaseDC(nullptr, screen);
    const int32_t fontPixels = pcx::formFontPixels(dpi);

    // Owned here until it is complete: a failure half-way destroys whatever
    // window was made.
    std::unique_ptr<TExportOptionForm, FormRelease> form(newForm());
    if (!form) return nullptr;
    HFONT font = CreateFontW(-fontPixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, WideCaption(pcx::kFormFontFace).c_str());
    form->font_ = font;

    // At the container's top-left, over its whole client area.
    RECT client = {};
    GetClientRect(container, &client);
    // WM_NCCREATE ties the window to the form before any other message.
    CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, WideCaption(pcx::kFormCaption).c_str(),
                    kFormStyle, 0, 0, client.right - client.left, client.bottom - client.top,
                    container, nullptr, module(), form.get());
    HWND window = asWindow(form->window_);
    if (!window) return nullptr;

    HWND group =
        createControl(WideCaption(pcx::kConvMethodCaption), BS_GROUPBOX, WS_EX_CONTROLPARENT,
                      pcx::kConvMethodGroupRect, fontPixels, window, kGroupId, font);
    form->group_ = group;
    for (int32_t i = 0; group && i < pcx::kConvMethodItemCount; ++i) {
        // One group of auto radio buttons: a click checks one and clears the
        // others; the first starts the group and is the tab stop.
        const DWORD style = BS_AUTORADIOBUTTON | (i == 0 ? WS_GROUP | WS_TABSTOP : 0);
        form->items_[i] =
            createControl(WideCaption(pcx::kConvMethodItems[i]), style, 0,
                          pcx::convMethodItemRect(i), fontPixels, group, kFirstItemId + i, font);
    }
    return form.release();
}

void TExportOptionFormWindow::windowGone(TExportOptionForm& form) {
    form.window_ = nullptr;
    form.group_ = nullptr;
    for (PcxWindow& item : form.items_) item = nullptr;
    if (form.font_) DeleteObject(static_cast<HFONT>(form.font_));
    form.font_ = nullptr;
}

LRESULT CALLBACK TExportOptionFormWindow::procedure(HWND window, UINT message, WPARAM wParam,
                                                    LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* form = static_cast<TExportOptionForm*>(
            reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        form->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto* form = reinterpret_cast<TExportOptionForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case kReleaseMessage:
            DestroyWindow(window);
            return 0;
        case WM_GETFONT:
            return reinterpret_cast<LRESULT>(form ? form->font_ : nullptr);
        case WM_DESTROY:
            // The buttons still exist: keep their selection for a leave that
            // comes after the host destroyed its dialog.
            if (form) form->lastItemIndex_ = form->ItemIndex();
            break;
        case WM_NCDESTROY:
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            if (form) windowGone(*form);
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

TExportOptionForm::~TExportOptionForm() {
    HWND window = asWindow(window_);
    if (window && IsWindow(window)) {
        if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
            DestroyWindow(window);
        } else {
            // Only the window's own thread may destroy it. Cut it loose from
            // this object and from the module's code instead, so that it
            // never calls into either once they are gone.
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DefWindowProcW));
            font_ = nullptr;  // still in use by the buttons
        }
    }
    if (font_) DeleteObject(static_cast<HFONT>(font_));
}

void TExportOptionForm::SetItemIndex(int32_t index) {
    const int32_t selected = pcx::clampConvMethodIndex(index);
    for (int32_t i = 0; i < pcx::kConvMethodItemCount; ++i)
        if (items_[i])
            SendMessageW(asWindow(items_[i]), BM_SETCHECK,
                         i == selected ? BST_CHECKED : BST_UNCHECKED, 0);
    if (!window_) lastItemIndex_ = selected;
}

int32_t TExportOptionForm::ItemIndex() const {
    if (!window_) return lastItemIndex_;
    for (int32_t i = 0; i < pcx::kConvMethodItemCount; ++i)
        if (items_[i] && SendMessageW(asWindow(items_[i]), BM_GETCHECK, 0, 0) == BST_CHECKED)
            return i;
    return -1;
}

void TExportOptionForm::Release() {
    if (window_) PostMessageW(asWindow(window_), TExportOptionFormWindow::kReleaseMessage, 0, 0);
}

PcxWindow TExportOptionForm::Handle() const {
    return window_;
}

#else  // the window-less control group of the native build

struct TExportOptionFormWindow : TExportOptionFormMemory {
    static TExportOptionForm* create(PcxWindow container) {
        if (!container) return nullptr;
        TExportOptionForm* form = newForm();
        if (form) form->container_ = container;
        return form;
    }
};

TExportOptionForm::~TExportOptionForm() = default;

void TExportOptionForm::SetItemIndex(int32_t index) {
    if (container_) itemIndex_ = pcx::clampConvMethodIndex(index);
}

int32_t TExportOptionForm::ItemIndex() const {
    return itemIndex_;
}

void TExportOptionForm::Release() {
    container_ = nullptr;
}

PcxWindow TExportOptionForm::Handle() const {
    return container_;
}

void TExportOptionForm::ClickItem(int32_t index) {
    if (container_ && index >= 0 && index < pcx::kConvMethodItemCount) itemIndex_ = index;
}

#endif

namespace {

// The plug-in's application object, reduced to the one thing it does here:
// owning the latest panel.
//
// A panel that was never released must not outlive the module: its window
// procedure is the module's code. The owner is a namespace-scope object whose
// constructor is constexpr, so it is constant-initialized and nothing of the
// plug-in runs when the module loads; its destructor runs when the run-time
// tears the module down at unload, after the entry routine (which does
// nothing) has returned. That destructor destroys a live panel and, in the
// Windows build, unregisters the window class, so a later load of the module
// registers it afresh with its own window procedure.
class FormOwner {
public:
    constexpr FormOwner() = default;
    ~FormOwner() {
        TExportOptionFormMemory::deleteForm(form_);
#if defined(_WIN32)
        if (classMayBeRegistered_) TExportOptionFormWindow::unregisterClass();
#endif
    }
    FormOwner(const FormOwner&) = delete;
    FormOwner& operator=(const FormOwner&) = delete;

    TExportOptionForm* replace(PcxWindow container) {
        TExportOptionForm* previous = form_;
        form_ = nullptr;
        TExportOptionFormMemory::deleteForm(previous);
#if defined(_WIN32)
        classMayBeRegistered_ = true;
        form_ = TExportOptionFormWindow::create(static_cast<HWND>(container));
#else
        form_ = TExportOptionFormWindow::create(container);
#endif
        return form_;
    }

private:
    TExportOptionForm* form_ = nullptr;
#if defined(_WIN32)
    bool classMayBeRegistered_ = false;
#endif
};

FormOwner applicationForms;

}  // namespace

namespace pcx {

TExportOptionForm* CreateExportOptionForm(PcxWindow container) {
    return applicationForms.replace(container);
}

}  // namespace pcx
