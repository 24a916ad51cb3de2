// The engine's calls to the product's companion programs and libraries, which
// must undo their registrations before their files are deleted: the setup
// project's lists, the product's registry lists, the game centre and the
// wallpaper helper. Every file is checked against the product's publishers
// first (only "run_list" entries marked "/Regtest" skip the check); a missing,
// untrusted or failing companion is logged and the next one follows.
#pragma once

#include <windows.h>

#include <string>

class ISetupConfig;
class CSetupConfig;

// HKLM (32-bit view) key whose value names are companions relative to the
// installation directory and whose data are their arguments.
extern const wchar_t kRunListKey[];  // "...\App Paths\Kelwpapp.exe\run_list"

// Longest argument read from a "run_list" and a "file_pe" value.
constexpr size_t kMaxRunListArgumentChars = MAX_PATH - 1;
constexpr size_t kMaxFilePeArgumentChars = 4095;

// How long the engine waits for each kind of companion executable.
constexpr DWORD kMaxProjectProgramWaitMs = 50000;
constexpr DWORD kRunListProgramWaitMs = 60000;
constexpr DWORD kFilePeProgramWaitMs = 50000;
constexpr DWORD kGameCenterWaitMs = 3000;

// A project entry's WaitTime as waited: 0 or more than 50000 ms give 50000 ms.
DWORD EffectiveWaitTime(DWORD waitTime);

// The project's CallProgramOnUninst list, in order: executables are started
// with their command line, libraries' exports called with their parameter,
// each after the signer check (the entry's SignType, else the publisher list).
// False for a null configuration or an empty, relative or over-long directory.
bool CallProgramOnUninst(ISetupConfig* config, const std::wstring& installDir);

// The project's rundll list through the helper "Utils\rundll64.exe" (64-bit
// Windows) or "Utils\rundll.exe". False, with nothing run or logged, when the
// helper is not signed by a trusted publisher.
bool RundllUnRegisterOnUnInst(const CSetupConfig& config, const std::wstring& installDir);

// Tells the game-centre companion to uninstall (" /UNINSTALL") or to stay
// (" /NOUNINSTALL"): its library's "Start4RunDll" when that can be called,
// otherwise its executable, waited for at most 3000 ms.
void UninstallGameCenter(const std::wstring& installDir, bool uninstall);

// The "run_list" companions: libraries (".dll", ".tpi") through their interface
// export "Uninst", executables with the product code and pid appended. Names
// that are absolute, leave the directory or pass through a link are refused.
// `root` is replaceable for tests only.
void CallRunListCompanions(const std::wstring& installDir, HKEY root = HKEY_LOCAL_MACHINE);

// The "file_pe" companions: libraries' "Uninst" export with the value's text,
// executables with it followed by " /uninstall /product=tapis". Names are
// refused as for the run list. `root` is replaceable for tests only.
void CallFilePeCompanions(const std::wstring& installDir, HKEY root = HKEY_LOCAL_MACHINE);

// Export "Uninst" of "wallpaperhelper\Corvanite12.dll", with an empty argument.
void CallWallpaperHelperUninst(const std::wstring& installDir);
