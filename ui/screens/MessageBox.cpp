#include "ui/screens/MessageBox.h"

#include <windows.h>

#include "app/RunMode.h"

// The system message box stands in until the skinned one is drawn.
int ShowMessageBox(const std::wstring& text, int type) {
    if (IsSilentRun()) return -1;
    UINT style = (type == kMessageYesNo ? MB_YESNO : MB_OK) | MB_SETFOREGROUND | MB_TOPMOST;
    return ::MessageBoxW(nullptr, text.c_str(), L"Lumora", style);
}
