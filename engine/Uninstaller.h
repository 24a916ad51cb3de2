// The removal engine: an ordered table of named best-effort steps run on the
// worker thread, reporting start, progress and end to the screens.
#pragma once

#include <string>

#include "app/base/Locker.h"
#include "engine/FileRemoval.h"
#include "engine/IUninstallTask.h"
#include "engine/LeftoverList.h"
#include "engine/PluginTask.h"
#include "engine/WorkerThread.h"

class CSetupConfig;

class CUninstaller : public IThreadCallback, private IDeleteProgress {
public:
    explicit CUninstaller(CSetupConfig* config);
    ~CUninstaller() override = default;
    CUninstaller(const CUninstaller&) = delete;
    CUninstaller& operator=(const CUninstaller&) = delete;

    // Stores the callback and starts a run on the worker (nothing while one runs).
    void StartUninstall(IUninstallCallback* callback);
    void DetachCallback();

    void SetInstallDir(const std::wstring& directory) { installDir_ = directory; }
    const std::wstring& GetInstallDir() const { return installDir_; }
    void SetRemoveAppData(int remove) { removeAppData_ = remove; }
    void SetGameCenterVendor(int isVendor) { gameCenterVendor_ = isVendor; }
    void SetUninstallGameCenter(int uninstall);
    bool UninstallsGameCenter() const { return uninstallGameCenter_ != 0; }

    // The worker body: reads the version and pid, then runs every step.
    int Run(void* argument) override;

private:
    struct Step;
    static const Step kSteps[];

    void DoUninstall();
    void ReportProgress(int percent);
    void TraceProgress(int percent);
    // IDeleteProgress: per-entry progress of the bulk deletion, 10..98.
    void SetTotalCount(int count) override { totalCount_ = count; }
    void OnFileDeleted() override;

    // Notifications, run on the user-interface thread through CUIThreadWindow.
    void SendStart();
    void SendProgress(int percent);
    void SendEnd();

    // The steps.
    void NotifyStart();
    void StartCallPrograms();
    void CallUninstallPrograms();
    void CallRundllUnregistrations();
    void UninstallGameCenter();
    void StartPluginTask();
    void RunRegistryRunList();
    void RunRegistryFilePe();
    void StartCloseProcesses();
    void CloseProcesses();
    void NoAction() {}
    void CallWallpaperHelperUninst();
    void RemoveDesktopShortcuts();
    void RemoveStartMenuShortcuts();
    void RemoveCefCache();
    void RemoveAppData();
    void RemoveFilesByRegistryLists();
    void RemoveRegistry();
    void RemoveAutorun();
    void DeleteUninstallRegistry();
    void UninstallHomePageHelper();
    void RemoveProtectionDrivers();
    void DeleteAllFiles();
    void RemoveSecondUninstallerCopy();
    void RemoveDynamicWallpaperDriver();
    void DeleteTemporaryFiles();
    void CreateRunOnce();
    void NotifyEnd();
    void ReportUninstall();
    void NotifyRealEnd();

    CSetupConfig* config_;
    int deletedCount_ = 0;
    std::wstring installDir_;
    LeftoverList leftovers_;
    IUninstallCallback* callback_ = nullptr;
    int uninstallGameCenter_ = 0;
    int gameCenterVendor_ = 0;
    int removeAppData_ = 0;
    _BaseModule::CCriticalSection lock_;
    int totalCount_ = 0;
    int lastFilePercent_ = -1;
    std::wstring version_;
    std::wstring pid_;
    CPluginTask pluginTask_;
    // Last member: destroyed first, so the worker stops before the fields it uses go.
    CXThread worker_;
};
