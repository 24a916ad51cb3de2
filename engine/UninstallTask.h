// The one uninstall task of the process: the setup configuration and the
// removal engine behind IUninstallTask.
#pragma once

#include "config/SetupConfig.h"
#include "engine/IUninstallTask.h"
#include "engine/Uninstaller.h"

class CUninstallTask final : public IUninstallTask {
public:
    CUninstallTask();
    CUninstallTask(const CUninstallTask&) = delete;
    CUninstallTask& operator=(const CUninstallTask&) = delete;

    int PreInitCheck() override;
    bool InitConfig(HINSTANCE module, UINT resourceId, const wchar_t* resourceType,
                    const wchar_t* fileName) override;
    void StartUninstall(IUninstallCallback* callback) override;
    void WriteLog(const wchar_t* text) override;
    bool IsGameCenterPlayed() override;
    void SetUninstallGameCenter(int uninstall) override;
    bool CheckGameCenterVendor() override;
    void SetRemoveAppData(int remove) override;
    void SetInstallDir(const wchar_t* directory) override;
    void GetInstallDir(wchar_t* buffer, int capacity) override;
    void DetachCallback() override;
    bool IsReady() override { return true; }
    void Dispose() override {}

    ISetupConfig* Config() { return &config_; }
    CUninstaller& Engine() { return engine_; }

private:
    CSetupConfig config_;
    CUninstaller engine_;
};

// The process's task, constructed before wWinMain.
CUninstallTask& UninstallTask();
