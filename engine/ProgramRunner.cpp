#include "engine/ProgramRunner.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cwchar>
#include <new>
#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "engine/ProcessShutdown.h"
#include "sysinfo/SystemChecks.h"

namespace {

constexpr size_t kMaxQuotedPathChars = 1023;
constexpr int kInterfaceBufferChars = MAX_PATH;

bool IsExistingFile(const wchar_t* path) {
    DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool RunProgram(const wchar_t* path, const wchar_t* parameters, int show, bool checkSignature, bool wait,
                DWORD* exitCode, DWORD timeoutMs) {
    try {
        if (path == nullptr || *path == L'\0' || std::wcslen(path) > MAX_PATH) return false;
        // A folder would be opened in a shell window instead of being run.
        if (!IsExistingFile(path)) return false;

        std::wstring quoted = L"\"" + std::wstring(path) + L"\"";
        if (quoted.size() > kMaxQuotedPathChars) return false;
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof(info);
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
        info.lpVerb = L"open";
        info.lpFile = quoted.c_str();
        info.lpParameters = parameters;
        info.nShow = show;

        if (checkSignature && !IsTrustedFile(path)) return false;

        bool started = ::ShellExecuteExW(&info) != FALSE;
        win::UniqueHandle process(started ? info.hProcess : nullptr);
        if (started && wait && process) ::WaitForSingleObject(process.get(), timeoutMs);
        if (exitCode != nullptr) {
            if (!started) return false;
            DWORD code = 0;
            if (process) ::GetExitCodeProcess(process.get(), &code);
            *exitCode = code;
        }
        return started;
    } catch (...) {
        return false;
    }
}

bool RunExeLogged(const std::wstring& path, const std::wstring& commandLine, bool checkSignature, bool wait,
                  DWORD timeoutMs) {
    if (!path::FileExists(path)) return false;
    // A copy still running would keep its files and registrations in use.
    KillProcessByPath(path);
    WriteLog(L"call exe begin, path=[%s] cmd=[%s]", path.c_str(), commandLine.c_str());
    bool result = RunProgram(path.c_str(), commandLine.c_str(), SW_SHOWNORMAL, checkSignature, wait, nullptr,
                             timeoutMs);
    WriteLog(L"call exe return [%d], path=[%s], cmd=[%s], sync[%d]", result ? 1 : 0, path.c_str(),
             commandLine.c_str(), wait ? 1 : 0);
    return result;
}

HMODULE LoadCompanionLibrary(const std::wstring& path) {
    // Only full paths: a relative name would be searched for.
    if (path.empty() || ::PathIsRelativeW(path.c_str())) return nullptr;
    DWORD previousMode = 0;
    BOOL modeSet = ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    win::ScopeExit restoreMode([&] {
        if (modeSet) ::SetThreadErrorMode(previousMode, nullptr);
    });
    HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr,
                                      LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Windows 7 without the search-path update knows only the older flag.
    if (module == nullptr && ::GetLastError() == ERROR_INVALID_PARAMETER) {
        module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    return module;
}

bool CallDllExport(const wchar_t* path, const char* exportName, const wchar_t* argument, bool checkSignature) {
    if (path == nullptr || exportName == nullptr) return false;
    if (checkSignature && !IsTrustedFile(path)) {
        WriteLog(L"file[%s] check sign fail.", path);
        return false;
    }
    win::UniqueModule module(LoadCompanionLibrary(path));
    if (!module) return false;
    auto function = reinterpret_cast<SimpleExportFn>(
        reinterpret_cast<void*>(::GetProcAddress(module.get(), exportName)));
    if (function == nullptr) return false;
    WriteLog(L"call dll func start, path=[%s]", path);
    function(argument != nullptr ? argument : L"");
    WriteLog(L"call dll fun end, path=[%s]", path);
    return true;
}

std::wstring CallDllInterfaceEx(const wchar_t* path, const char* exportName, const wchar_t* argument,
                                bool checkSignature) {
    WriteLog(L"Call Dll Interface Ex ,path=[%s]", path != nullptr ? path : L"(null)");
    std::wstring result;
    if (path == nullptr || exportName == nullptr) return result;
    try {
        if (checkSignature && !IsTrustedFile(path)) {
            WriteLog(L"file[%s] check sign fail", path);
            return result;
        }
        win::UniqueModule module(LoadCompanionLibrary(path));
        if (!module) return result;
        auto function = reinterpret_cast<InterfaceExportFn>(
            reinterpret_cast<void*>(::GetProcAddress(module.get(), exportName)));
        if (function == nullptr) return result;
        if (argument == nullptr) argument = L"";

        WriteLog(L"call dll func start, path=[%s]", path);
        // One more element than announced: the text ends there whatever the library wrote.
        std::vector<wchar_t> buffer(kInterfaceBufferChars + 1, L'\0');
        int needed = function(argument, buffer.data(), kInterfaceBufferChars);
        buffer[kInterfaceBufferChars] = L'\0';
        result = buffer.data();
        if (needed > kMaxInterfaceTextChars) {
            WriteLog(L"interface text of %d characters refused, path=[%s]", needed, path);
        } else if (needed > 0) {
            std::vector<wchar_t> larger(static_cast<size_t>(needed) + 2, L'\0');
            function(argument, larger.data(), needed + 1);
            larger[static_cast<size_t>(needed) + 1] = L'\0';
            result = larger.data();
        }
        WriteLog(L"call dll fun end, path=[%s]", path);
    } catch (const std::bad_alloc&) {
        result.clear();
    }
    return result;
}
