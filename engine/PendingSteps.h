// Removal steps whose subsystems are not built yet (companion programs,
// shortcuts, registry and autorun, plug-in and driver clean-up, the uninstall
// report). Each logs that it did nothing; the subsystem that implements a step
// replaces its call in the step table and removes it here.
#pragma once

#include <string>

class ISetupConfig;

namespace pending_steps {

void CallUninstallPrograms(ISetupConfig* config, const std::wstring& installDir);
void CallRundllUnregistrations(ISetupConfig* config, const std::wstring& installDir);
void UninstallGameCenter(const std::wstring& installDir, bool uninstall);
void StartPluginTask(const std::wstring& installDir);
void RunRegistryRunList(const std::wstring& installDir);
void RunRegistryFilePe(const std::wstring& installDir);
void CallWallpaperHelperUninst(const std::wstring& installDir);
void RemoveDesktopShortcuts();
void RemoveStartMenuShortcuts();
void RemoveProductRegistry();
void RemoveAutorun(const std::wstring& installDir);
void DeleteUninstallRegistry();
void UninstallHomePageHelper(const std::wstring& installDir);
void RemoveProtectionDrivers();
void RemoveDynamicWallpaperDriver();
void ReportUninstall(const std::wstring& pid, const std::wstring& version);

}  // namespace pending_steps
