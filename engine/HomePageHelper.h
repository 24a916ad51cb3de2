// The home-page helper, told to undo its desktop and browser-home registrations
// before the installation directory is deleted.
#pragma once

#include <windows.h>

#include <string>

extern const wchar_t kHomePageHelperFile[];  // "wallpaperhelper\guardhp.exe", below the installation directory
constexpr DWORD kHomePageHelperWaitMs = 5000;
constexpr size_t kMaxHomePageHelperCommandChars = 2048;

// Starts the helper hidden with "/UnInstallDesk" when it carries a trusted
// publisher's signature, and waits up to 5000 ms for it ("等待进程退出超时" is
// logged when it outlives the wait). True when it was started.
bool RunUninstallDesk(const std::wstring& installDir);
