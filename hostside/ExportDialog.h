// A host's export dialog for the Windows build: a top-level window with the
// controls a host's export dialog has (a file name, OK and Cancel) and an
// empty container window, the room a host lends a plug-in for its options.
// opxhost's `options --dialog` places the panel in it; so do the option
// panel's tests, and pcxoptiondialog shows it. Under Wine it needs an X
// display (xvfb-run).
#ifndef HOSTSIDE_EXPORT_DIALOG_H
#define HOSTSIDE_EXPORT_DIALOG_H

#include <windows.h>

namespace hostside {

class ExportDialog {
public:
    // The container's client size: the panel's own design size.
    static constexpr int kContainerWidth = 283;
    static constexpr int kContainerHeight = 159;

    // Makes and shows the dialog at left, top of the screen.
    explicit ExportDialog(int left = 40, int top = 40);
    // Destroys the dialog, if it still exists, and everything in it.
    ~ExportDialog();
    ExportDialog(const ExportDialog&) = delete;
    ExportDialog& operator=(const ExportDialog&) = delete;

    // False when the windows could not be made (no display, for one).
    bool ok() const { return window_ && container_; }
    HWND window() const { return window_; }
    HWND container() const { return container_; }
    // The button the user closed the dialog with: IDOK, IDCANCEL, or 0 while
    // it is open.
    int result() const { return result_; }
    // Destroys the dialog now, as a host does when its dialog closes.
    void destroy();

    // Dispatches every message waiting for this thread's windows, as a host's
    // message loop does, and returns when none is left.
    static void pumpMessages();

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND window_ = nullptr;
    HWND container_ = nullptr;
    HFONT font_ = nullptr;
    int result_ = 0;
};

}  // namespace hostside

#endif  // HOSTSIDE_EXPORT_DIALOG_H
