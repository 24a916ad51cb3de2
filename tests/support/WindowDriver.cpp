#include "support/WindowDriver.h"

namespace window_driver {

namespace {

struct Search {
    const wchar_t* className;
    DWORD processId;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<Search*>(lParam);
    wchar_t name[128] = {};
    ::GetClassNameW(hwnd, name, 128);
    if (wcscmp(name, search->className) != 0 || !::IsWindowVisible(hwnd)) return TRUE;
    DWORD owner = 0;
    ::GetWindowThreadProcessId(hwnd, &owner);
    if (search->processId != 0 && owner != search->processId) return TRUE;
    search->found = hwnd;
    return FALSE;
}

}  // namespace

HWND WaitForWindow(const wchar_t* className, DWORD processId, DWORD timeoutMs) {
    for (DWORD waited = 0;; waited += 50) {
        Search search{className, processId, nullptr};
        ::EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found || waited >= timeoutMs) return search.found;
        ::Sleep(50);
    }
}

std::wstring DialogText(HWND dialog) {
    // Message boxes keep their text in the static control with id 0xFFFF.
    wchar_t text[1024] = {};
    ::GetDlgItemTextW(dialog, 0xFFFF, text, 1024);
    return text;
}

void PressButton(HWND dialog, int buttonId) {
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, buttonId)));
}

}  // namespace window_driver
