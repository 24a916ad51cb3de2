// winctl: drives the uninstaller's windows from scripts (the demo).
//   winctl answer BUTTON TIMEOUT_MS   waits for a message box, prints its text, presses BUTTON (1 OK, 6 Yes, 7 No)
//   winctl close CLASS TIMEOUT_MS     waits for a window of CLASS and asks it to close
//   winctl wait CLASS TIMEOUT_MS      waits for a window of CLASS
//   winctl enter CLASS TIMEOUT_MS     waits for a window of CLASS and presses Enter in it
// Exit code 0 when the window was found, 1 on time-out, 2 on bad usage.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "support/WindowDriver.h"

namespace {

void PrintUtf8(const std::wstring& text) {
    int length = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length > 0 ? length : 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], length, nullptr, nullptr);
    std::fwrite(bytes.c_str(), 1, std::strlen(bytes.c_str()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    std::wstring command = argv[1];
    DWORD timeout = static_cast<DWORD>(_wtoi(argv[3]));
    if (command == L"answer") {
        HWND dialog = window_driver::WaitForWindow(L"#32770", 0, timeout);
        if (!dialog) return 1;
        PrintUtf8(window_driver::DialogText(dialog));
        window_driver::PressButton(dialog, _wtoi(argv[2]));
        return 0;
    }
    HWND window = window_driver::WaitForWindow(argv[2], 0, timeout);
    if (!window) return 1;
    if (command == L"close") ::PostMessageW(window, WM_CLOSE, 0, 0);
    else if (command == L"enter") ::PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
    else if (command != L"wait") return 2;
    return 0;
}
