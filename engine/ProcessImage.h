// Reading other processes' image paths, for the process kills of the uninstall.
#pragma once

#include <windows.h>

#include <vector>

// Capacity that callers pass to GetProcessImagePath; also the longest module
// name read.
constexpr DWORD kProcessImageCapacity = 1024;
// GetProcessImagePath refuses smaller buffers.
constexpr DWORD kMinProcessImageCapacity = 100;

// Writes the image path of a process (long form when read as an 8.3 name) into
// `buffer` and returns its length; 0 on failure, on a null buffer, a capacity
// below kMinProcessImageCapacity, or a path that does not fit the buffer.
DWORD GetProcessImagePath(DWORD processId, wchar_t* buffer, DWORD capacity);

// Enables "SeDebugPrivilege" in the process token, so that an elevated
// uninstaller can open the product's processes of other users and services.
// True when the privilege is now enabled. Failure is not logged.
bool GetDebugPrivilege();

// Ids of the running processes, at most 2048; false (last error set) when the
// list cannot be read.
bool EnumerateProcessIds(std::vector<DWORD>* ids);
