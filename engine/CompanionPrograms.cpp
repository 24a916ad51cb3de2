#include "engine/CompanionPrograms.h"

#include <shlwapi.h>

#include <cwchar>
#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/Registry.h"
#include "app/base/WinHandle.h"
#include "config/SetupConfig.h"
#include "engine/FileRemoval.h"
#include "engine/PathSafety.h"
#include "engine/ProcessShutdown.h"
#include "engine/ProductInfo.h"
#include "engine/ProgramRunner.h"
#include "sysinfo/SystemChecks.h"

const wchar_t kRunListKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Kelwpapp.exe\\run_list";

namespace {

// Registry list value names longer than this are passed over.
constexpr DWORD kMaxListNameChars = MAX_PATH - 1;

// Every companion path is built from the installation directory: a relative
// one would make it depend on the current directory, and a longer one than
// the classic limit cannot hold a usable companion path.
bool IsUsableInstallDir(const std::wstring& installDir) {
    return !installDir.empty() && installDir.size() <= MAX_PATH && !::PathIsRelativeW(installDir.c_str());
}

// Copies out a fixed-size text field, ending it at its last element whatever the record holds.
std::wstring Field(const wchar_t (&field)[MAX_PATH]) { return std::wstring(field, wcsnlen(field, MAX_PATH - 1)); }

// A string value of at most maxChars characters; false when it is of another
// type or longer.
bool ReadListValue(HKEY key, const wchar_t* name, size_t maxChars, std::wstring& text) {
    return registry::ReadString(key, name, maxChars, true, text);
}

// Calls `visit(key, name)` for every value name of root\keyPath (32-bit
// view), in index order. Over-long names are logged and passed over.
template <typename Visit>
void ForEachListValue(HKEY root, const wchar_t* keyPath, const wchar_t* listName, Visit visit) {
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(root, keyPath, 0, KEY_READ | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS) return;
    for (DWORD index = 0;; ++index) {
        wchar_t name[kMaxListNameChars + 1] = {};
        DWORD nameChars = kMaxListNameChars + 1;
        LONG status = ::RegEnumValueW(key.get(), index, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) {
            WriteLog(L"%s value %lu: name too long, skipped", listName, index);
            continue;
        }
        if (status != ERROR_SUCCESS) break;
        visit(key.get(), std::wstring(name, nameChars));
    }
}

// The full path of a registry-listed companion, or empty (logged) when the
// name could lead outside the installation directory.
std::wstring ListedCompanionPath(const std::wstring& installDir, const std::wstring& name, const wchar_t* listName) {
    std::wstring reason = WhyUnsafeRelativeName(name);
    std::wstring path = path::Join(installDir, name);
    if (reason.empty() && (PassesThroughLink(installDir, name) || IsReparsePoint(::GetFileAttributesW(path.c_str())))) {
        reason = L"passes through a link";
    }
    if (!reason.empty()) {
        WriteLog(L"%s entry [%s] refused: %s", listName, name.c_str(), reason.c_str());
        return std::wstring();
    }
    return path;
}

bool HasExtension(const std::wstring& path, const wchar_t* extension) {
    return ::StrCmpIW(::PathFindExtensionW(path.c_str()), extension) == 0;
}

}  // namespace

DWORD EffectiveWaitTime(DWORD waitTime) {
    return waitTime == 0 || waitTime > kMaxProjectProgramWaitMs ? kMaxProjectProgramWaitMs : waitTime;
}

bool CallProgramOnUninst(ISetupConfig* config, const std::wstring& installDir) {
    if (config == nullptr || installDir.empty()) return false;
    int count = config->GetUninstProgramCount();
    if (count <= 0) return true;
    if (!IsUsableInstallDir(installDir)) {
        WriteLog(L"call program: unusable installation directory [%s]", installDir.c_str());
        return false;
    }

    for (int index = 0; index < count; ++index) {
        CallProgramEntry entry = {};
        if (!config->GetUninstProgram(index, &entry)) continue;
        const std::wstring path = path::Join(installDir, Field(entry.fileName));
        const std::wstring signType = Field(entry.signType);
        if (!path::FileExists(path)) {
            WriteLog(L"file[%s] is not exist", path.c_str());
            continue;
        }
        bool trusted = signType.empty() ? IsTrustedFile(path.c_str()) : IsSignedBy(path.c_str(), signType.c_str());
        if (!trusted) {
            WriteLog(L"check sign fail, signType[%s], filepath[%s]", signType.c_str(), path.c_str());
            continue;
        }

        const std::wstring type = Field(entry.type);
        if (text::EqualsNoCase(type, L"exe")) {
            RunExeLogged(path, Field(entry.cmdline), false, entry.sync != 0, EffectiveWaitTime(entry.waitTime));
        } else if (text::EqualsNoCase(type, L"dll")) {
            std::string function = text::ToCodePage(Field(entry.funcName), CP_THREAD_ACP);
            CallDllExport(path.c_str(), function.c_str(), Field(entry.para).c_str(), false);
        }
    }
    return true;
}

bool RundllUnRegisterOnUnInst(const CSetupConfig& config, const std::wstring& installDir) {
    if (!IsUsableInstallDir(installDir)) return false;
    const std::wstring helper =
        path::Join(installDir, Is64BitSystem() ? L"Utils\\rundll64.exe" : L"Utils\\rundll.exe");
    if (!IsTrustedFile(helper.c_str())) return false;

    for (const RundllEntry& entry : config.GetRundllList()) {
        const std::wstring library = path::Join(installDir, Field(entry.fileName));
        if (!path::FileExists(library)) {
            WriteLog(L"file[%s] is not exist", library.c_str());
            continue;
        }
        std::wstring commandLine =
            L"--dll=\"" + library + L"\" --entry=" + Field(entry.entry) + L" " + Field(entry.cmdline);
        RunExeLogged(helper, commandLine, false, true, entry.waitTime);
    }
    return true;
}

void UninstallGameCenter(const std::wstring& installDir, bool uninstall) {
    if (!IsUsableInstallDir(installDir)) return;
    const std::wstring argument = std::wstring(L"/S /PID=tapis") + (uninstall ? L" /UNINSTALL" : L" /NOUNINSTALL");

    const std::wstring library = path::Join(installDir, L"Utils\\noxgamecenter_tapis.dll");
    if (IsTrustedFile(library.c_str())) {
        win::UniqueModule module(LoadCompanionLibrary(library));
        auto start = module ? reinterpret_cast<SimpleExportFn>(
                                  reinterpret_cast<void*>(::GetProcAddress(module.get(), "Start4RunDll")))
                            : nullptr;
        if (start != nullptr) {
            start(argument.c_str());
            // The game centre may still run code of its library (threads it
            // started), so the library stays loaded for the rest of the process.
            module.release();
            return;
        }
    }

    const std::wstring program = path::Join(installDir, L"Utils\\noxgamecenter_tapis.exe");
    RunProgram(program.c_str(), argument.c_str(), SW_SHOWNORMAL, true, true, nullptr, kGameCenterWaitMs);
    WriteLog(L"Call exe:%s,param:%s", program.c_str(), argument.c_str());
}

void CallRunListCompanions(const std::wstring& installDir, HKEY root) {
    if (!IsUsableInstallDir(installDir) || !path::DirectoryExists(installDir)) return;
    const ProductInfo product = GetRunningProductInfo();

    ForEachListValue(root, kRunListKey, L"run_list", [&](HKEY key, const std::wstring& name) {
        const std::wstring path = ListedCompanionPath(installDir, name, L"run_list");
        if (path.empty() || !path::FileExists(path)) return;

        std::wstring argument;
        if (!ReadListValue(key, name.c_str(), kMaxRunListArgumentChars, argument)) {
            WriteLog(L"run_list value of [%s] unreadable, empty argument", name.c_str());
            argument.clear();
        }
        bool checkSignature = true;
        if (argument.find(L"/Regtest") != std::wstring::npos) {
            WriteLog(L"Regtest, no need to check sign.");
            checkSignature = false;
        }
        WriteLog(L"file extension:%s", ::PathFindExtensionW(path.c_str()));

        if (HasExtension(path, L".dll") || HasExtension(path, L".tpi")) {
            std::wstring result = CallDllInterfaceEx(path.c_str(), "Uninst", argument.c_str(), checkSignature);
            WriteLog(L"CallDllInterfaceEx return value=%s", result.c_str());
        } else if (HasExtension(path, L".exe")) {
            std::wstring commandLine = argument + L" --PRODUCT=" + product.code + L" --PID=" + product.pid;
            if (!path::FileExists(path)) return;
            KillProcessByPath(path);
            WriteLog(L"call exe begin, path=[%s] ,cmd=[%s]", path.c_str(), commandLine.c_str());
            bool result = RunProgram(path.c_str(), commandLine.c_str(), SW_SHOWNORMAL, checkSignature, true, nullptr,
                                     kRunListProgramWaitMs);
            WriteLog(L"call exe return [%d], path=[%s], cmd=[%s], sync[%d]", result ? 1 : 0, path.c_str(),
                     commandLine.c_str(), 1);
        }
    });
}

void CallFilePeCompanions(const std::wstring& installDir, HKEY root) {
    if (!IsUsableInstallDir(installDir) || !path::DirectoryExists(installDir)) return;

    ForEachListValue(root, kFilePeKey, L"file_pe", [&](HKEY key, const std::wstring& name) {
        const std::wstring path = ListedCompanionPath(installDir, name, L"file_pe");
        if (path.empty() || !path::FileExists(path)) return;
        std::wstring argument;
        if (!ReadListValue(key, name.c_str(), kMaxFilePeArgumentChars, argument)) {
            WriteLog(L"file_pe value of [%s] unreadable, skipped", name.c_str());
            return;
        }
        if (HasExtension(path, L".dll")) {
            CallDllExport(path.c_str(), "Uninst", argument.c_str(), true);
        } else if (HasExtension(path, L".exe")) {
            RunExeLogged(path, argument + L" /uninstall /product=tapis", true, true, kFilePeProgramWaitMs);
        }
    });
}

void CallWallpaperHelperUninst(const std::wstring& installDir) {
    if (!IsUsableInstallDir(installDir)) return;
    const std::wstring library = path::Join(installDir, L"wallpaperhelper\\Corvanite12.dll");
    CallDllExport(library.c_str(), "Uninst", L"", true);
}
