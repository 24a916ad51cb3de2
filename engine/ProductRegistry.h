// The product's registry keys: the application path key named by the setup
// project, the per-user settings key, the file-class key and the uninstall
// entry. Trees are deleted without ever following a registry link out of
// them, and only keys of the product's own shape are deleted at all.
#pragma once

#include <windows.h>

#include <string>

class ISetupConfig;

extern const wchar_t kUninstallEntryKey[];   // HKLM "SOFTWARE\...\Uninstall\Kelwpapp"
extern const wchar_t kProductSettingsKey[];  // HKCU "Software\KelWallPaper"
extern const wchar_t kFileClassKey[];        // HKCR "LumoraDesk"
extern const wchar_t kAppPathsPrefix[];      // "SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\"
constexpr int kMaxRegSubKeyChars = 1024;     // the buffer for the project's sub-key, terminator included

// Deletes root\subKey with everything below it. A sub-key that is a registry
// link is removed as the link, never what it points to. An empty sub-key is
// refused. True when the key is gone (or was never there).
bool DeleteRegistryTree(HKEY root, const std::wstring& subKey, REGSAM view);

// The sub-key with runs of backslashes collapsed and leading and trailing ones
// removed (setup projects may write "\\" between components).
std::wstring NormalizeKeyPath(const std::wstring& subKey);

// Why root\subKey (normalised) is not an application path key that may be
// deleted: it must be one entry below "...\App Paths" under HKLM or HKCU.
// Empty when it may be deleted.
std::wstring WhyRefusedAppPathKey(HKEY root, const std::wstring& subKey);

// Engine step "remove registry": when the project names an application path
// key, that key, HKCU "Software\KelWallPaper" and HKCR "LumoraDesk".
void RemoveProductRegistry(ISetupConfig* config);

// Engine step "Delete uninstall registry": the uninstall entry, logged; true.
bool DeleteUninstallRegistry();

// The string values of the uninstall entry.
struct UninstallEntry {
    std::wstring displayIcon;
    std::wstring displayName;
    std::wstring displayVersion;
    std::wstring installLocation;
    std::wstring publisher;
    std::wstring uninstallString;
    std::wstring urlInfoAbout;
};

// Writes the entry's values (REG_SZ) into the uninstall key; true when all were written.
bool WriteUninstallEntry(const UninstallEntry& entry);
