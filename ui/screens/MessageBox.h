// The program's message box. In a silent run it shows nothing and returns -1.
#pragma once

#include <string>

enum MessageBoxType { kMessageOk = 0, kMessageYesNo = 4 };
constexpr int kMessageResultYes = 6;

int ShowMessageBox(const std::wstring& text, int type);
