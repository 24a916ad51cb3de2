/* A signed library without the network library's exports: it loads, but has
   nothing to offer, so a record loaded from it must stay unusable. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
