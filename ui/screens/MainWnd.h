// The first window of an uninstall run. Until the drawn uninstall screens
// exist it is a plain pop-up that runs the removal itself: Enter or a click
// starts it (a silent run starts at once), progress is shown as text, and the
// window closes only after the engine's final notification.
#pragma once

#include <windows.h>

#include "app/base/WinHandle.h"
#include "engine/IUninstallTask.h"

class CMainWnd : public IUninstallCallback {
public:
    explicit CMainWnd(IUninstallTask& task);
    ~CMainWnd();
    CMainWnd(const CMainWnd&) = delete;
    CMainWnd& operator=(const CMainWnd&) = delete;

    static bool RegisterWndClass(HINSTANCE instance);
    HWND Create(HINSTANCE instance);
    HWND hwnd() const { return hwnd_; }

    // Longest wait for the engine's final notification when the window closes.
    static constexpr DWORD kRealEndWaitMs = 1200000;

    // IUninstallCallback
    void OnUninstallStart() override;
    void OnUninstallProgress(int percent) override;
    void OnUninstallEnd() override;
    void OnRealUninstallEnd() override;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void StartRemoval();
    void Close();
    void WaitForRealEnd();
    void Paint();
    void BringToFront();

    IUninstallTask& task_;
    HWND hwnd_ = nullptr;
    bool started_ = false;
    bool ended_ = false;
    int percent_ = 0;
    win::UniqueHandle realEnd_;
};
