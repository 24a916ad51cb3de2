// Drives another process's windows the way a user would: waits for them,
// reads a message box's text, presses its buttons, closes windows.
#pragma once

#include <windows.h>

#include <string>

namespace window_driver {

// Waits for a visible top-level window of the class (and owning process, when
// not 0); null on time-out.
HWND WaitForWindow(const wchar_t* className, DWORD processId, DWORD timeoutMs);
// The static text of a message box.
std::wstring DialogText(HWND dialog);
// Presses a message-box button (IDOK, IDYES, IDNO...).
void PressButton(HWND dialog, int buttonId);

}  // namespace window_driver
