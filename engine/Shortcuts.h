// The product's shell links: writing one, and removing both editions' desktop
// links and program-menu folders.
#pragma once

#include <string>

extern const wchar_t kKelEditionLink[];       // "Kel壁纸.lnk"
extern const wchar_t kLumoraEditionLink[];    // "Lumora.lnk"
extern const wchar_t kLumoraLiteLink[];       // "LumoraLite.lnk"
extern const wchar_t kKelUninstallLink[];     // "卸载Kel壁纸.lnk"
extern const wchar_t kLumoraUninstallLink[];  // "卸载Lumora.lnk"
extern const wchar_t kKelMenuGroup[];         // "Kel安全中心"
extern const wchar_t kKelMenuFolder[];        // "Kel安全中心\Kel壁纸"
extern const wchar_t kLumoraMenuFolder[];     // "Lumora"

// A shell special folder (CSIDL_...); empty when the shell does not know it.
std::wstring SpecialFolderPath(int csidl);

// Writes a shell link at `linkPath` to an existing `target`: arguments when
// given, show command 5, the icon (short path form of `iconFile`) when
// `iconIndex` is not negative, the target's folder as working folder. With
// `notify`, tells the shell and the top-level windows that associations
// changed. False when the target is missing or any step fails.
bool CreateShortcut(const std::wstring& target, const std::wstring& arguments, const std::wstring& linkPath,
                    const std::wstring& iconFile, int iconIndex, bool notify);

// Engine step "remove desktop shortcuts": both editions' links from the
// common desktop, then the user's; a locked link goes at restart.
void RemoveDesktopShortcuts();

// Engine step "remove start menu shortcuts": the folders "Lumora" and
// "Kel安全中心\Kel壁纸" from the common program menu and then the user's;
// "Kel安全中心" itself stays.
void RemoveStartMenuShortcuts();

// Removes "Lumora" and "Kel安全中心\Kel壁纸" below `programsFolder`, and
// "Kel安全中心" too when `removeEmptyGroup` and it is then empty.
void RemoveProgramMenuFolders(const std::wstring& programsFolder, bool removeEmptyGroup);
