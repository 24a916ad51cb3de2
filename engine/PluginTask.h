// The plug-in of a sibling product that lives in the installation directory:
// when its configuration names an uninstall command line, the plug-in's
// launcher is started with it so that the plug-in removes itself.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "net/HttpInterfaces.h"

// "config.set" in the installation directory, section "plugin_xd".
extern const wchar_t kPluginConfigFile[];
extern const wchar_t kPluginConfigSection[];
extern const wchar_t kPluginUninstallKey[];  // "uninstall_cmd_param", at most 260 characters
// HKLM (32-bit view) application path whose value "Launcher" names the launcher.
extern const wchar_t kPluginLauncherKey[];
extern const wchar_t kPluginLauncherValue[];
constexpr DWORD kPluginLauncherWaitMs = 3000;
constexpr size_t kMaxPluginCommandChars = MAX_PATH;

class CPluginTask : public IHttpTaskCallback {
public:
    CPluginTask() = default;
    CPluginTask(const CPluginTask&) = delete;
    CPluginTask& operator=(const CPluginTask&) = delete;

    // Runs the plug-in's uninstall command line through its launcher (when both
    // are configured and the launcher carries a trusted publisher's signature),
    // waiting up to 3000 ms. Logs "CPluginTask::StartTask result=%d code=%d" with
    // whether the launcher started and its exit code (-1 when nothing ran).
    bool StartTask(const std::wstring& installDir);

    // The plug-in's requests are not made during an uninstall.
    void OnTaskEvent(IHttpTask*, const HttpTaskEvent*) override {}

private:
    std::shared_ptr<IHttpTask> task_;  // stays empty during an uninstall
    std::wstring launcher_;
    std::wstring commandLine_;
    std::wstring installDir_;
};
