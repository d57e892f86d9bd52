// opxhost options --dialog (Windows build): the plug-in's option panel inside
// the export dialog of the host side of the protocol (hostside/ExportDialog,
// which the panel's tests use too), driven as a host drives it: EXPORT_EnterOption with the dialog
// and its container; when the dialog closes, EXPORT_LeaveOption, accepting on OK. The plug-in
// stores the method when it is plugged out.
//
// Testing aid (the test-only program's --test-dialog-clicks 2,OK, TestAids.h):
// once the panel is shown, clicks the panel's radio button 2 (0-based, in the
// panel's order) and then the dialog's OK; "Cancel" clicks Cancel. Each click is a BM_CLICK, as a
// mouse click would be, so the panel sees what a person's clicks would do.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "host/Commands.h"
#include "host/HostError.h"
#include "host/Platform.h"
#include "host/TestAids.h"
#include "hostside/ExportDialog.h"

namespace opxhost {

namespace {

BOOL CALLBACK collectRadioButton(HWND window, LPARAM list) {
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    const LONG type = GetWindowLongW(window, GWL_STYLE) & BS_TYPEMASK;
    if (lstrcmpiW(className, L"Button") == 0 &&
        (type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON))
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

void click(HWND button) {
    if (button) SendMessageW(button, BM_CLICK, 0, 0);
    hostside::ExportDialog::pumpMessages();
}

// Carries out the test aid's clicks, if any.
void scriptedClicks(const hostside::ExportDialog& dialog) {
    const std::string& script = testAids().dialogClicks;
    if (script.empty()) return;
    std::vector<HWND> items;
    EnumChildWindows(dialog.container(), collectRadioButton, reinterpret_cast<LPARAM>(&items));
    std::string rest = script;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string word = rest.substr(0, comma);
        rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
        if (word == "OK") {
            click(GetDlgItem(dialog.window(), IDOK));
        } else if (word == "Cancel") {
            click(GetDlgItem(dialog.window(), IDCANCEL));
        } else {
            const size_t index = static_cast<size_t>(std::strtoul(word.c_str(), nullptr, 10));
            if (index < items.size()) click(items[index]);
        }
    }
}

}  // namespace

int runOptionsDialog(const Plugin& plugin) {
    int result = 0;
    {
        hostside::ExportDialog dialog;
        if (!dialog.ok())
            throw HostError(kExitUnavailable, "the export dialog cannot be opened (no display?)");
        plugin.enterOption(dialog.window(), dialog.container());
        hostside::ExportDialog::pumpMessages();
        scriptedClicks(dialog);
        while (dialog.result() == 0 && !interrupted()) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            hostside::ExportDialog::pumpMessages();
        }
        result = dialog.result();
        plugin.leaveOption(result == IDOK);
        // The panel is released through the message loop.
        hostside::ExportDialog::pumpMessages();
    }
    if (result != IDOK)
        printOut("cancelled: the stored method stays as it was\n");
    else if (plugin.saves())
        printOut("accepted: the plug-in stores this method when it is unloaded\n");
    else
        printOut("accepted for this run only (--no-save): the stored method stays as it was\n");
    return runOptions(plugin);
}

}  // namespace opxhost
