#include "engine/Shortcuts.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "engine/FileRemoval.h"
#include "engine/LogText.h"
#include "engine/PathSafety.h"

const wchar_t kKelEditionLink[] = L"Kel壁纸.lnk";
const wchar_t kLumoraEditionLink[] = L"Lumora.lnk";
const wchar_t kLumoraLiteLink[] = L"LumoraLite.lnk";
const wchar_t kKelUninstallLink[] = L"卸载Kel壁纸.lnk";
const wchar_t kLumoraUninstallLink[] = L"卸载Lumora.lnk";
const wchar_t kKelMenuGroup[] = L"Kel安全中心";
const wchar_t kKelMenuFolder[] = L"Kel安全中心\\Kel壁纸";
const wchar_t kLumoraMenuFolder[] = L"Lumora";

namespace {

constexpr int kShowNormal = 5;                 // SW_SHOW
constexpr WPARAM kIniChangeNotification = 42;  // what the product's own programs listen for

const CLSID kShellLinkClass = {0x00021401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kShellLinkInterface = {0x000214F9, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kPersistFileInterface = {0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The short (8.3) form of an existing file's path; the path itself when the
// volume keeps no short names or the file is missing.
std::wstring ShortPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH] = {};
    DWORD length = ::GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : path;
}

void RemoveDesktopLinks(const std::wstring& desktop) {
    if (desktop.empty()) return;  // never a bare name in the current directory
    for (const wchar_t* name : {kKelEditionLink, kLumoraEditionLink, kLumoraLiteLink}) {
        std::wstring link = path::Join(desktop, name);
        if (!DeleteFileOrSchedule(link)) WriteLog(L"desktop link %s left for deletion at restart", link.c_str());
    }
}

void RemoveMenuTree(const std::wstring& programsFolder, const std::wstring& relative) {
    std::wstring folder = path::Join(programsFolder, relative);
    if (!Exists(folder)) return;
    // A link on the way would put the folder outside the program menu.
    if (PassesThroughLink(programsFolder, relative)) {
        WriteLog(L"program menu folder %s lies behind a link, kept", LogText(folder).c_str());
        return;
    }
    DeleteDirectoryTree(folder);
}

}  // namespace

std::wstring SpecialFolderPath(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) return std::wstring();
    buffer[MAX_PATH - 1] = L'\0';
    return buffer;
}

bool CreateShortcut(const std::wstring& target, const std::wstring& arguments, const std::wstring& linkPath,
                    const std::wstring& iconFile, int iconIndex, bool notify) {
    if (target.empty() || target.size() >= MAX_PATH || !Exists(target)) return false;
    if (linkPath.empty() || linkPath.size() >= MAX_PATH) return false;
    win::ComApartment apartment;  // the callers' threads have one already; this only balances
    win::ComPtr<IShellLinkW> link;
    if (FAILED(::CoCreateInstance(kShellLinkClass, nullptr, CLSCTX_INPROC_SERVER, kShellLinkInterface,
                                  link.put_void())) ||
        !link)
        return false;
    win::ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(kPersistFileInterface, file.put_void())) || !file) return false;
    if (FAILED(link->SetPath(target.c_str()))) return false;
    if (!arguments.empty() && FAILED(link->SetArguments(arguments.c_str()))) return false;
    if (FAILED(link->SetShowCmd(kShowNormal))) return false;
    if (iconIndex >= 0 && FAILED(link->SetIconLocation(ShortPath(iconFile).c_str(), iconIndex))) return false;
    if (FAILED(link->SetWorkingDirectory(path::Parent(target).c_str()))) return false;
    if (FAILED(file->Save(linkPath.c_str(), TRUE))) return false;
    if (notify) {
        ::PostMessageW(HWND_BROADCAST, WM_WININICHANGE, kIniChangeNotification, 0);
        // Flushed without waiting: a hung shell window must not hold the uninstaller.
        ::SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST | SHCNF_FLUSHNOWAIT, nullptr, nullptr);
    }
    return true;
}

void RemoveDesktopShortcuts() {
    RemoveDesktopLinks(SpecialFolderPath(CSIDL_COMMON_DESKTOPDIRECTORY));
    RemoveDesktopLinks(SpecialFolderPath(CSIDL_DESKTOPDIRECTORY));
}

void RemoveProgramMenuFolders(const std::wstring& programsFolder, bool removeEmptyGroup) {
    if (programsFolder.empty()) return;
    RemoveMenuTree(programsFolder, kLumoraMenuFolder);
    RemoveMenuTree(programsFolder, kKelMenuFolder);
    if (!removeEmptyGroup) return;
    std::wstring group = path::Join(programsFolder, kKelMenuGroup);
    DWORD attributes = ::GetFileAttributesW(group.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !IsReparsePoint(attributes))
        ::RemoveDirectoryW(group.c_str());  // only when empty
}

void RemoveStartMenuShortcuts() {
    RemoveProgramMenuFolders(SpecialFolderPath(CSIDL_COMMON_PROGRAMS), false);
    // Older installations also put them in the user's own menu.
    RemoveProgramMenuFolders(SpecialFolderPath(CSIDL_PROGRAMS), false);
}
