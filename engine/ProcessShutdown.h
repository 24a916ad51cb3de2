// Ending the product's processes before its files are removed: ask its
// windows to quit, then terminate whatever still runs from the installation
// directory. Runs on the uninstall worker; every failure is logged and passed over.
#pragma once

#include <windows.h>

#include <string>

class ISetupConfig;

// The whole step: the "Kelwallpaper_quit" broadcast, the project's
// close-program messages in order, then KillProcessesInInstallPath.
void CloseAllPrograms(ISetupConfig* config, const std::wstring& installDir);

// The kill phase: every process below the directory (KillMultiProcesses),
// then the product's four resident programs by exact path. Directories of 4
// characters or fewer are refused.
void KillProcessesInInstallPath(const std::wstring& directory);

// Terminates every process whose image lies inside `directory` (a whole-folder
// match: "C:\Lumora" does not cover "C:\Lumora2\x.exe"), except the product's
// "RarOzo\RarOzo.exe", this process and its parent. Stores the number killed
// in `killedCount` when given. Always returns 0.
int KillMultiProcesses(const wchar_t* directory, int* killedCount = nullptr);

// Terminates every process (other than this one) whose image path equals
// `path`, ignoring case. Always returns 0.
int KillProcessByPath(const wchar_t* path);
inline int KillProcessByPath(const std::wstring& path) { return KillProcessByPath(path.c_str()); }
