#include "engine/PluginTask.h"

#include <shlwapi.h>

#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/Registry.h"
#include "engine/ProgramRunner.h"
#include "sysinfo/SystemChecks.h"

const wchar_t kPluginConfigFile[] = L"config.set";
const wchar_t kPluginConfigSection[] = L"plugin_xd";
const wchar_t kPluginUninstallKey[] = L"uninstall_cmd_param";
const wchar_t kPluginLauncherKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\VIRUzoveradeRadida.exe";
const wchar_t kPluginLauncherValue[] = L"Launcher";

namespace {

// The uninstall command line, empty when there is none or when it is longer
// than allowed (a cut command line would run something nobody configured).
std::wstring ReadUninstallCommand(const std::wstring& installDir) {
    if (installDir.empty()) return std::wstring();
    std::wstring file = path::Join(installDir, kPluginConfigFile);
    std::vector<wchar_t> buffer(kMaxPluginCommandChars + 2, L'\0');
    DWORD length = ::GetPrivateProfileStringW(kPluginConfigSection, kPluginUninstallKey, L"", buffer.data(),
                                              static_cast<DWORD>(buffer.size()), file.c_str());
    if (length > kMaxPluginCommandChars) return std::wstring();
    return std::wstring(buffer.data(), length);
}

}  // namespace

bool CPluginTask::StartTask(const std::wstring& installDir) {
    installDir_ = installDir;
    commandLine_ = ReadUninstallCommand(installDir_);
    bool started = false;
    int code = -1;
    if (!commandLine_.empty()) {
        launcher_ = registry::ReadString(HKEY_LOCAL_MACHINE, kPluginLauncherKey, kPluginLauncherValue, MAX_PATH,
                                         KEY_WOW64_32KEY);
        // Only a full path: a bare name would be looked for along the search path.
        if (!launcher_.empty() && !::PathIsRelativeW(launcher_.c_str())) {
            DWORD exitCode = 0;
            started = RunProgram(launcher_.c_str(), commandLine_.c_str(), SW_SHOWNORMAL, true, true, &exitCode,
                                 kPluginLauncherWaitMs);
            if (started) {
                code = static_cast<int>(exitCode);
            } else if (path::FileExists(launcher_) && !IsTrustedFile(launcher_.c_str())) {
                WriteLog(L"file[%s] check sign fail.", launcher_.c_str());
            }
        }
    }
    WriteLog(L"CPluginTask::StartTask result=%d code=%d", started ? 1 : 0, code);
    return started;
}
