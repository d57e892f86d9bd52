// pcxoptiondialog: shows the plug-in's option panel inside a host-like export
// dialog, driving the module as a host does: PLUGINCALLBACK, then
// EXPORT_EnterOption with the dialog's container; when the dialog closes,
// EXPORT_LeaveOption (accepting on OK) and PLUGOUTCALLBACK.
//
//   pcxoptiondialog [--seconds N]
//
// Prints "dialog LEFT TOP WIDTH HEIGHT" (the dialog's screen rectangle) once
// the dialog is drawn, for a screenshot tool. With --seconds the dialog closes
// by itself after N seconds, as if cancelled. The exit status is 0 when the
// dialog was accepted or timed out, 1 when it was cancelled, 2 on failure.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hostside/ExportDialog.h"
#include "hostside/ModuleLoader.h"
#include "support/ModuleUnderTest.h"

int main(int argc, char** argv) {
    DWORD seconds = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: pcxoptiondialog [--seconds N]\n");
            return 2;
        }
    }

    hostside::LoadedModule module(pcxtest::modulePath());
    if (!module.loaded()) {
        std::fprintf(stderr, "pcxoptiondialog: %s\n", module.error().c_str());
        return 2;
    }
    const hostside::PluginExports& plugin = module.exports();
    plugin.PLUGINCALLBACK(0);

    int result = 0;
    {
        hostside::ExportDialog dialog;
        if (!dialog.ok()) {
            std::fprintf(stderr, "pcxoptiondialog: no window (is there an X display?)\n");
            return 2;
        }
        plugin.EXPORT_EnterOption(dialog.window(), dialog.container(), 0);
        RedrawWindow(dialog.window(), nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        hostside::ExportDialog::pumpMessages();

        RECT rect;
        GetWindowRect(dialog.window(), &rect);
        std::printf("dialog %ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
                    rect.bottom - rect.top);
        std::fflush(stdout);

        const ULONGLONG deadline = GetTickCount64() + seconds * 1000ull;
        while (dialog.result() == 0 && (seconds == 0 || GetTickCount64() < deadline)) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            hostside::ExportDialog::pumpMessages();
        }
        result = dialog.result();
        plugin.EXPORT_LeaveOption(result == IDOK ? 1 : 0);
        hostside::ExportDialog::pumpMessages();
    }
    plugin.PLUGOUTCALLBACK();
    return result == IDCANCEL ? 1 : 0;
}
