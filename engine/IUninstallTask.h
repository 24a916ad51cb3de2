// The engine's only face towards the rest of the program, and the
// notifications it sends back to the progress screen. Slot orders are fixed.
#pragma once

#include <windows.h>

class IUninstallCallback {
public:
    virtual void OnUninstallStart() = 0;             // user-interface thread
    virtual void OnUninstallProgress(int percent) = 0;  // 1..99, user-interface thread
    virtual void OnUninstallEnd() = 0;               // user-interface thread
    virtual void OnRealUninstallEnd() = 0;           // worker thread, the run's very last act

protected:
    ~IUninstallCallback() = default;
};

class IUninstallTask {
public:
    virtual int PreInitCheck() = 0;
    virtual bool InitConfig(HINSTANCE module, UINT resourceId, const wchar_t* resourceType,
                            const wchar_t* fileName) = 0;
    virtual void StartUninstall(IUninstallCallback* callback) = 0;
    virtual void WriteLog(const wchar_t* text) = 0;
    virtual bool IsGameCenterPlayed() = 0;
    virtual void SetUninstallGameCenter(int uninstall) = 0;
    virtual bool CheckGameCenterVendor() = 0;
    virtual void SetRemoveAppData(int remove) = 0;
    virtual void SetInstallDir(const wchar_t* directory) = 0;
    virtual void GetInstallDir(wchar_t* buffer, int capacity) = 0;
    virtual void DetachCallback() = 0;
    virtual bool IsReady() = 0;
    virtual void Dispose() = 0;

protected:
    ~IUninstallTask() = default;
};

// PreInitCheck results.
constexpr int kPreInitOk = 0;
constexpr int kPreInitUntrustedSelf = 2;
constexpr int kPreInitSevenZipMissing = 3;
