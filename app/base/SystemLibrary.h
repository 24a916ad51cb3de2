// Loads Windows libraries from the system directory only, by full path. The
// program runs elevated from a folder that other users may be able to write.
#pragma once

#include <windows.h>

namespace win {

// Restricts the process's DLL search to the system directories. Call first.
void HardenDllSearch();

// Loads a library of the system directory by its full path; null on failure.
HMODULE LoadSystemLibrary(const wchar_t* fileName);

// Resolves an export of a system library that stays loaded for the process's
// lifetime (the library is loaded once and never freed).
FARPROC SystemProc(const wchar_t* library, const char* export_name);

template <typename Fn>
Fn SystemFunction(const wchar_t* library, const char* export_name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(SystemProc(library, export_name)));
}

}  // namespace win
