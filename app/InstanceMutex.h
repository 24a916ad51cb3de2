// Keeps one uninstaller (or installer) running at a time through the named
// mutex it shares with the product's installer.
#pragma once

#include <windows.h>

#include <vector>

#include "app/base/Locker.h"

constexpr UINT WM_ACTIVATE_MAIN = WM_USER + 0x1000;  // 0x1400
extern const wchar_t kInstanceMutexName[];            // "KelWallPaperInstaller"
extern const wchar_t kMainWindowClass[];              // "KelWallPaperSetupMainWnd"

class CInstanceMutex {
public:
    CInstanceMutex() = default;
    ~CInstanceMutex() { ReleaseAll(); }
    CInstanceMutex(const CInstanceMutex&) = delete;
    CInstanceMutex& operator=(const CInstanceMutex&) = delete;

    // Takes the mutex. When another process holds it, raises that process's main
    // window and fails. Passes when the mutex cannot be created at all.
    bool Check(const wchar_t* mutexName = kInstanceMutexName);
    // Closes every mutex handle taken so far; always succeeds.
    void ReleaseAll();

    static CInstanceMutex& Process();

private:
    _BaseModule::CCriticalSection lock_;
    std::vector<HANDLE> handles_;
};
