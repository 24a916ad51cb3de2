#include "app/ParentProcess.h"

#include <windows.h>

#include "app/base/SystemLibrary.h"
#include "app/base/WinHandle.h"

namespace {

struct BasicProcessInformation {
    LONG exitStatus;
    void* pebBaseAddress;
    ULONG_PTR affinityMask;
    LONG basePriority;
    ULONG_PTR uniqueProcessId;
    ULONG_PTR inheritedFromUniqueProcessId;
};

using NtQueryInformationProcessFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
using GetModuleFileNameExFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);

constexpr size_t kMaxResultChars = 259;

}  // namespace

DWORD QueryParentProcessId() {
    auto query = win::SystemFunction<NtQueryInformationProcessFn>(L"ntdll.dll", "NtQueryInformationProcess");
    if (!query) return kUnknownProcessId;
    win::UniqueHandle self(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, ::GetCurrentProcessId()));
    if (!self) return kUnknownProcessId;
    BasicProcessInformation info = {};
    if (query(self.get(), 0 /* ProcessBasicInformation */, &info, sizeof(info), nullptr) != 0)
        return kUnknownProcessId;
    return static_cast<DWORD>(info.inheritedFromUniqueProcessId);
}

std::wstring GetParentProcessPath() {
    auto moduleFileName = win::SystemFunction<GetModuleFileNameExFn>(L"psapi.dll", "GetModuleFileNameExW");
    if (!moduleFileName) return std::wstring();
    DWORD parentId = QueryParentProcessId();
    if (parentId == kUnknownProcessId) return std::wstring();

    win::UniqueHandle parent(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, parentId));
    if (!parent) return std::wstring();
    wchar_t buffer[1024] = {};
    DWORD length = moduleFileName(parent.get(), nullptr, buffer, 1024);
    if (length == 0 || length >= 1024) return std::wstring();
    std::wstring result(buffer, length);

    if (result.find(L'~') != std::wstring::npos) {
        wchar_t longForm[1024] = {};
        DWORD longLength = ::GetLongPathNameW(result.c_str(), longForm, 1024);
        if (longLength > 0 && longLength < 1024) result.assign(longForm, longLength);
    }
    if (result.size() > kMaxResultChars) result.resize(kMaxResultChars);
    return result;
}
