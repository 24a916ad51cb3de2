// Who started this process.
#pragma once

#include <windows.h>

#include <string>

// Value of QueryParentProcessId when the parent cannot be determined; no
// process has this id.
constexpr DWORD kUnknownProcessId = static_cast<DWORD>(-1);

// Id of the process this one was started from (the inherited-from id of the
// native basic process information), or kUnknownProcessId.
DWORD QueryParentProcessId();

// Full path (long form, at most 259 characters) of the parent process's image,
// or an empty string.
std::wstring GetParentProcessPath();
