// Entry routine of the Windows module: the plug-in has no start-up or
// shut-down work of its own, so every reason (process and thread attach and
// detach) simply reports success.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD /*reason*/, LPVOID /*reserved*/) {
    return TRUE;
}
