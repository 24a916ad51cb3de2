#include "app/InstanceMutex.h"

const wchar_t kInstanceMutexName[] = L"KelWallPaperInstaller";
const wchar_t kMainWindowClass[] = L"KelWallPaperSetupMainWnd";

namespace {
CInstanceMutex& g_processGuard = CInstanceMutex::Process();
}

CInstanceMutex& CInstanceMutex::Process() {
    static CInstanceMutex guard;
    return guard;
}

bool CInstanceMutex::Check(const wchar_t* mutexName) {
    HANDLE mutex = ::CreateMutexW(nullptr, TRUE, mutexName);
    if (mutex == nullptr) return true;
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        if (HWND running = ::FindWindowW(kMainWindowClass, nullptr))
            ::PostMessageW(running, WM_ACTIVATE_MAIN, 0, 0);
        return false;
    }
    _BaseModule::CAutoLocker hold(lock_);
    handles_.push_back(mutex);
    return true;
}

void CInstanceMutex::ReleaseAll() {
    std::vector<HANDLE> taken;
    {
        _BaseModule::CAutoLocker hold(lock_);
        taken.swap(handles_);
    }
    for (HANDLE mutex : taken) {
        ::ReleaseMutex(mutex);
        ::CloseHandle(mutex);
    }
}
