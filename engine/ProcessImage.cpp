#include "engine/ProcessImage.h"

#include <cwchar>

#include "app/SmartLogger.h"
#include "app/base/SystemLibrary.h"
#include "app/base/WinHandle.h"

namespace {

using GetModuleFileNameExFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
using EnumProcessesFn = BOOL(WINAPI*)(DWORD*, DWORD, DWORD*);

constexpr DWORD kMaxProcessIds = 2048;

// The main module's file name as the process's module list gives it.
DWORD ReadModuleFileName(HANDLE process, DWORD processId, wchar_t* name, DWORD capacity) {
    auto moduleFileName = win::SystemFunction<GetModuleFileNameExFn>(L"psapi.dll", "GetModuleFileNameExW");
    DWORD length = moduleFileName ? moduleFileName(process, nullptr, name, capacity) : 0;
    if (length != 0) return length;
    WriteLog(L"[kill] GetModuleFileNameEx Failed: pid = %d, error = %d", processId, ::GetLastError());

    // A 32-bit process cannot walk the module list of a 64-bit one; the
    // kernel's record of the image name serves for those.
    DWORD size = capacity;
    if (::QueryFullProcessImageNameW(process, 0, name, &size)) return size;
    return 0;
}

}  // namespace

DWORD GetProcessImagePath(DWORD processId, wchar_t* buffer, DWORD capacity) {
    if (buffer == nullptr || capacity < kMinProcessImageCapacity) return 0;
    buffer[0] = L'\0';

    win::UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process) {
        WriteLog(L"[kill] OpenProcess Failed: pid = %d, error = %d", processId, ::GetLastError());
        return 0;
    }

    wchar_t name[kProcessImageCapacity] = {};
    DWORD length = ReadModuleFileName(process.get(), processId, name, kProcessImageCapacity);
    // A name that filled the whole buffer may be cut short; a cut path could
    // compare equal to another one.
    if (length == 0 || length >= kProcessImageCapacity) return 0;

    wchar_t longName[kProcessImageCapacity] = {};
    if (std::wcschr(name, L'~') != nullptr) {
        DWORD longLength = ::GetLongPathNameW(name, longName, kProcessImageCapacity);
        if (longLength >= 1 && longLength < kProcessImageCapacity) {
            std::wmemcpy(name, longName, longLength + 1);
            length = longLength;
        }
    }

    if (length >= capacity) return 0;
    std::wmemcpy(buffer, name, length + 1);
    return length;
}

bool GetDebugPrivilege() {
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &rawToken)) return false;
    win::UniqueHandle token(rawToken);

    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!::LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &privileges.Privileges[0].Luid)) return false;
    // AdjustTokenPrivileges succeeds also when the token lacks the privilege;
    // only ERROR_SUCCESS means it is now enabled.
    if (!::AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof(privileges), nullptr, nullptr))
        return false;
    return ::GetLastError() == ERROR_SUCCESS;
}

bool EnumerateProcessIds(std::vector<DWORD>* ids) {
    ids->clear();
    auto enumProcesses = win::SystemFunction<EnumProcessesFn>(L"psapi.dll", "EnumProcesses");
    if (!enumProcesses) return false;
    std::vector<DWORD> found(kMaxProcessIds);
    DWORD bytes = 0;
    if (!enumProcesses(found.data(), static_cast<DWORD>(found.size() * sizeof(DWORD)), &bytes)) return false;
    found.resize(bytes / sizeof(DWORD));
    *ids = std::move(found);
    return true;
}
