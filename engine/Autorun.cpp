#include "engine/Autorun.h"

#include <windows.h>
#include <shlwapi.h>

#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/Registry.h"
#include "app/base/SystemLibrary.h"
#include "app/base/WinHandle.h"
#include "engine/LogText.h"
#include "engine/PathSafety.h"
#include "sysinfo/SystemChecks.h"

const wchar_t kAutorunTaskName[] = L"Kelwp-srv";
const wchar_t kAutorunTaskDescription[] = L"Starts Kelwp-srv when a user logs on.";
const wchar_t kAutorunArguments[] = L"/autorun --from=task";
const wchar_t kLegacyRunValue[] = L"wpapp";
const int kAutorunDelaySeconds = 60;

namespace {

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kConfigFile[] = L"config.set";
const wchar_t kAutorunSection[] = L"auto_run";
const wchar_t kAutorunKey[] = L"open";
const wchar_t kTriggerId[] = L"Trigger1";
const wchar_t kAdministratorsGroup[] = L"BUILTIN\\Administrators";
const wchar_t kNoTimeLimit[] = L"PT0S";
constexpr int kNameSamCompatible = 2;  // EXTENDED_NAME_FORMAT: DOMAIN\name

// The Run key is shared with the maker's other programs: 32-bit view.
void DeleteValue(HKEY root, const wchar_t* subKey, const std::wstring& name, REGSAM view) {
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(root, subKey, 0, KEY_SET_VALUE | view, key.put()) != ERROR_SUCCESS) return;
    ::RegDeleteValueW(key.get(), name.c_str());
}

std::wstring AccountName() {
    wchar_t buffer[256 + 1] = {};
    DWORD size = sizeof(buffer) / sizeof(buffer[0]);
    return ::GetUserNameW(buffer, &size) ? std::wstring(buffer) : std::wstring();
}

std::wstring DownLevelUserName() {
    using GetUserNameExFn = BOOLEAN(WINAPI*)(int, LPWSTR, PULONG);
    auto getUserNameEx = win::SystemFunction<GetUserNameExFn>(L"secur32.dll", "GetUserNameExW");
    if (getUserNameEx == nullptr) return std::wstring();
    std::vector<wchar_t> buffer(512, L'\0');
    ULONG size = static_cast<ULONG>(buffer.size());
    if (!getUserNameEx(kNameSamCompatible, buffer.data(), &size)) {
        if (::GetLastError() != ERROR_MORE_DATA || size == 0 || size > 32768) return std::wstring();
        buffer.assign(size + 1, L'\0');
        size = static_cast<ULONG>(buffer.size());
        if (!getUserNameEx(kNameSamCompatible, buffer.data(), &size)) return std::wstring();
    }
    buffer.back() = L'\0';
    return buffer.data();
}

// One leading and one trailing double quote removed.
std::wstring Unquoted(const std::wstring& path) {
    std::wstring bare = path;
    if (!bare.empty() && bare.front() == L'"') bare.erase(0, 1);
    if (!bare.empty() && bare.back() == L'"') bare.pop_back();
    return bare;
}

bool RegisterAutorunTask(const std::wstring& quotedPath, const std::wstring& name, const std::wstring& description,
                         int delaySeconds) {
    HRESULT result = S_OK;
    std::unique_ptr<IAutorunTaskFolder> folder = CurrentTaskScheduler().OpenRootFolder(result);
    if (!folder) {
        WriteLog(L"Task scheduler not available, hr = 0x%08lX", static_cast<unsigned long>(result));
        return false;
    }
    ExistingTask existing = folder->FindTask(name);
    if (existing.exists && existing.startsProgram) {
        if (existing.enabled) return true;
        if (folder->EnableTask(name)) return true;
        WriteLog(L"Enable auto run task %s failed", name.c_str());
        return false;
    }
    LogonTaskDefinition definition = MakeAutorunTaskDefinition(quotedPath, description, delaySeconds);
    folder->DeleteTask(name);
    result = folder->RegisterTask(name, definition);
    if (FAILED(result)) {
        WriteLog(L"Register auto run task failed, hr = 0x%08lX", static_cast<unsigned long>(result));
        return false;
    }
    return true;
}

// The fall-back: "<quoted path> /autorun --from=task" under HKLM Run, written
// only when the value differs (ignoring case).
bool WriteRunValue(const std::wstring& quotedPath, const std::wstring& name) {
    win::UniqueRegKey key;
    LONG opened = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0,
                                    KEY_QUERY_VALUE | KEY_CREATE_SUB_KEY | KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr,
                                    key.put(), nullptr);
    if (opened != ERROR_SUCCESS) {
        WriteLog(L"Open auto run register failed, error %ld", static_cast<long>(opened));
        return false;
    }
    std::wstring command = quotedPath + L" " + kAutorunArguments;
    // A longer, differently typed or unreadable value reads as empty and is replaced.
    std::wstring current =
        registry::ReadString(HKEY_LOCAL_MACHINE, kRunKey, name.c_str(), command.size() + 1, KEY_WOW64_32KEY);
    if (!text::EqualsNoCase(current, command)) {
        LONG written = ::RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(command.c_str()),
                                        static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
        if (written != ERROR_SUCCESS) {
            WriteLog(L"Write auto run register failed, error %ld", static_cast<long>(written));
            return false;
        }
    }
    WriteLog(L"Add auto run register, %s", quotedPath.c_str());
    return true;
}

}  // namespace

std::wstring FormatTaskDelay(int seconds) {
    if (seconds < 0) seconds = 0;
    wchar_t text[32] = {};
    _snwprintf(text, 31, L"PT%dM%dS", seconds / 60, seconds % 60);
    return text;
}

LogonTaskDefinition MakeAutorunTaskDefinition(const std::wstring& quotedPath, const std::wstring& description,
                                              int delaySeconds) {
    std::wstring account = AccountName();
    LogonTaskDefinition definition;
    definition.author = account;
    definition.description = description;
    definition.triggerId = kTriggerId;
    definition.triggerUser = DownLevelUserName();
    definition.delay = FormatTaskDelay(delaySeconds);
    definition.programPath = quotedPath;
    definition.arguments = kAutorunArguments;
    definition.workingDirectory.clear();
    definition.principalId = account;
    definition.principalGroup = kAdministratorsGroup;
    definition.highestRunLevel = true;
    definition.stopIfGoingOnBatteries = false;
    definition.disallowStartIfOnBatteries = false;
    definition.allowHardTerminate = false;
    definition.executionTimeLimit = kNoTimeLimit;
    definition.stopOnIdleEnd = false;
    definition.registrationUser = account;
    return definition;
}

bool DeleteRunValue(const std::wstring& name) {
    if (name.empty()) return true;  // never the key's default value
    DeleteValue(HKEY_CURRENT_USER, kRunKey, name, KEY_WOW64_32KEY);
    DeleteValue(HKEY_LOCAL_MACHINE, kRunKey, name, KEY_WOW64_32KEY);
    return true;
}

bool DeleteAutorunTask(const std::wstring& name) {
    HRESULT result = S_OK;
    std::unique_ptr<IAutorunTaskFolder> folder = CurrentTaskScheduler().OpenRootFolder(result);
    if (!folder) return false;
    if (!name.empty()) folder->DeleteTask(name);
    return true;
}

bool SetAutorun(bool enable, const std::wstring& programPath, const std::wstring& name,
                const std::wstring& description, int delaySeconds) {
    if (name.empty()) {
        WriteLog(L"Auto run refused: no name");
        return false;
    }
    if (!enable) {
        DeleteAutorunTask(name);
        DeleteRunValue(name);
        return true;
    }
    std::wstring bare = Unquoted(programPath);
    if (bare.empty()) {
        WriteLog(L"Auto run refused: no program path");
        return false;
    }
    // A quote inside would end the quoted path early and turn the rest into arguments.
    if (bare.size() >= MAX_PATH || bare.find(L'"') != std::wstring::npos) {
        WriteLog(L"Auto run refused for program path %s", LogText(bare).c_str());
        return false;
    }
    std::wstring quoted = L"\"" + bare + L"\"";
    if (RegisterAutorunTask(quoted, name, description, delaySeconds)) {
        WriteLog(L"Add auto run task schedule success, %s", quoted.c_str());
        return true;
    }
    return WriteRunValue(quoted, name);
}

bool WriteAutorunSwitch(const std::wstring& installDir, bool on) {
    const wchar_t* value = on ? L"1" : L"0";
    // A bare file name would land in the Windows directory.
    if (installDir.empty() || ::PathIsRelativeW(installDir.c_str())) {
        WriteLog(L"config.set auto_run open=%s not written: installation directory [%s] is not absolute", value,
                 LogText(installDir).c_str());
        return false;
    }
    std::wstring configPath = path::Join(installDir, kConfigFile);
    if (configPath.size() >= MAX_PATH) {
        WriteLog(L"config.set auto_run open=%s not written: path too long, %s", value, LogText(configPath).c_str());
        return false;
    }
    DWORD attributes = ::GetFileAttributesW(configPath.c_str());
    // Switching off needs no settings file: the removal does not create one in
    // the directory it is about to delete.
    if (!on && attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (IsReparsePoint(attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY))) {
        WriteLog(L"config.set auto_run open=%s not written: %s is a link or a folder", value, configPath.c_str());
        return false;
    }
    if (!::WritePrivateProfileStringW(kAutorunSection, kAutorunKey, value, configPath.c_str())) {
        WriteLog(L"config.set auto_run open=%s not written to %s, error %lu", value, configPath.c_str(),
                 static_cast<unsigned long>(::GetLastError()));
        return false;
    }
    return true;
}

void DeleteLegacyRunValue(bool alsoNativeView) {
    DeleteValue(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, KEY_WOW64_32KEY);
    if (alsoNativeView) DeleteValue(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, KEY_WOW64_64KEY);
}

void RemoveAutorun(const std::wstring& installDir) {
    WriteAutorunSwitch(installDir, false);
    WriteLog(L"Delete AutoRun Registry, ret = %d", DeleteRunValue(kAutorunTaskName) ? 1 : 0);
    WriteLog(L"Delete AutoRun Task Schedule, ret = %d", DeleteAutorunTask(kAutorunTaskName) ? 1 : 0);
    DeleteLegacyRunValue(Is64BitSystem());
}
