#include "app/base/SystemLibrary.h"

#include <string>

namespace win {

namespace {

std::wstring SystemDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return L"C:\\Windows\\System32";
    return std::wstring(buffer, length);
}

}  // namespace

void HardenDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefault) setDefault(0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */);
    // Also drops the current directory from the classic search order on
    // systems without SetDefaultDllDirectories.
    ::SetDllDirectoryW(L"");
}

HMODULE LoadSystemLibrary(const wchar_t* fileName) {
    std::wstring path = SystemDirectory() + L"\\" + fileName;
    return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

FARPROC SystemProc(const wchar_t* library, const char* export_name) {
    HMODULE module = ::GetModuleHandleW(library);
    if (module == nullptr) module = LoadSystemLibrary(library);
    return module ? ::GetProcAddress(module, export_name) : nullptr;
}

}  // namespace win
