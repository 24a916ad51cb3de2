// The first window of an uninstall run. Until the uninstall screens are drawn it
// is a plain pop-up that keeps the run's single-instance role: it answers a
// second instance's raise request and ends the message loop when closed.
#pragma once

#include <windows.h>

class CMainWnd {
public:
    CMainWnd() = default;
    ~CMainWnd();
    CMainWnd(const CMainWnd&) = delete;
    CMainWnd& operator=(const CMainWnd&) = delete;

    static bool RegisterWndClass(HINSTANCE instance);
    HWND Create(HINSTANCE instance);
    HWND hwnd() const { return hwnd_; }

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void Paint();
    void BringToFront();

    HWND hwnd_ = nullptr;
};
