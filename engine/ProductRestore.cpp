#include "engine/ProductRestore.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwctype>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/Registry.h"
#include "engine/Autorun.h"
#include "engine/LogText.h"
#include "engine/Shortcuts.h"
#include "sysinfo/SystemChecks.h"

const wchar_t kProductAppPathKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Kelwpapp.exe";

const wchar_t kKelEditionDisplayName[] = L"Kel壁纸";
const wchar_t kKelEditionPublisher[] = L"Kel互联网安全中心";
const wchar_t kLumoraEditionDisplayName[] = L"Lumora";
const wchar_t kLumoraEditionPublisher[] = L"Lumora";
const wchar_t kProductAboutPage[] = L"http://www.lumorapaper.com/";

namespace {

const wchar_t kLumoraProductName[] = L"lumoradesk";
const wchar_t kLiteVariantPid[] = L"paperLite";
const wchar_t kMainProgram[] = L"lumdesk.exe";
const wchar_t kUninstaller[] = L"Uninstall.exe";
const wchar_t kServiceProgram[] = L"quorsrv.exe";
const wchar_t kLumoraIcon[] = L"Utils\\lumoradesk.ico";
constexpr size_t kMaxValueChars = MAX_PATH - 1;

std::wstring Trimmed(const std::wstring& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::iswspace(text[begin])) ++begin;
    while (end > begin && std::iswspace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// An absolute, existing directory short enough for the links' paths.
bool IsUsableInstallDir(const std::wstring& directory) {
    return !directory.empty() && directory.size() < MAX_PATH && !::PathIsRelativeW(directory.c_str()) &&
           path::DirectoryExists(directory);
}

// Creates the folder (and its parents) when missing; true when it exists afterwards.
bool EnsureFolder(const std::wstring& folder) {
    if (path::DirectoryExists(folder)) return true;
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    return path::DirectoryExists(folder);
}

// One link of the sequence; false (logged) ends it.
bool MakeLink(const std::wstring& target, const std::wstring& linkPath, int iconIndex, bool notify) {
    if (CreateShortcut(target, std::wstring(), linkPath, target, iconIndex, notify)) return true;
    WriteLog(L"restore: shortcut %s to %s not created", LogText(linkPath).c_str(), LogText(target).c_str());
    return false;
}

bool MakeMenuFolder(const std::wstring& folder) {
    if (EnsureFolder(folder)) return true;
    WriteLog(L"restore: program menu folder %s not created", LogText(folder).c_str());
    return false;
}

}  // namespace

CProductRestore::CProductRestore(const std::wstring& installDir)
    : installDir_(installDir), edition_(ProductEdition::Kel) {
    std::wstring productName =
        registry::ReadString(HKEY_LOCAL_MACHINE, kProductAppPathKey, L"ProductName", kMaxValueChars, KEY_WOW64_32KEY);
    if (text::EqualsNoCase(productName, kLumoraProductName)) edition_ = ProductEdition::Lumora;
}

void CProductRestore::RestoreProductEntries() {
    if (!IsUsableInstallDir(installDir_)) {
        WriteLog(L"restore: installation directory [%s] missing, nothing restored", LogText(installDir_).c_str());
        return;
    }
    RemoveDesktopShortcuts();
    RemoveProgramMenuFolders(SpecialFolderPath(CSIDL_COMMON_PROGRAMS), true);
    RemoveProgramMenuFolders(SpecialFolderPath(CSIDL_PROGRAMS), true);

    bool lumora = edition_ == ProductEdition::Lumora;
    bool linked = lumora ? CreateLumoraEditionShortcuts() : CreateKelEditionShortcuts();
    WriteLog(L"restore: %s edition shortcuts %s", lumora ? L"Lumora" : L"Kel", linked ? L"created" : L"incomplete");
    if (!linked) return;
    bool written = WriteUninstallEntry(MakeUninstallEntry());
    WriteLog(L"restore: uninstall registry %s", written ? L"written" : L"incomplete");
}

bool CProductRestore::CreateKelEditionShortcuts() {
    std::wstring desktop = SpecialFolderPath(CSIDL_COMMON_DESKTOPDIRECTORY);
    std::wstring programs = SpecialFolderPath(CSIDL_COMMON_PROGRAMS);
    if (desktop.empty() || programs.empty()) return false;
    std::wstring mainProgram = path::Join(installDir_, kMainProgram);
    std::wstring menu = path::Join(programs, kKelMenuFolder);
    return MakeLink(mainProgram, path::Join(desktop, kKelEditionLink), 0, false) && MakeMenuFolder(menu) &&
           MakeLink(mainProgram, path::Join(menu, kKelEditionLink), 0, false) &&
           MakeLink(path::Join(installDir_, kUninstaller), path::Join(menu, kKelUninstallLink), 0, true);
}

bool CProductRestore::CreateLumoraEditionShortcuts() {
    std::wstring desktop = SpecialFolderPath(CSIDL_COMMON_DESKTOPDIRECTORY);
    std::wstring programs = SpecialFolderPath(CSIDL_COMMON_PROGRAMS);
    if (desktop.empty() || programs.empty()) return false;
    std::wstring pid =
        Trimmed(registry::ReadString(HKEY_CURRENT_USER, kProductSettingsKey, L"pid", kMaxValueChars, 0, true));
    const wchar_t* desktopLink = text::EqualsNoCase(pid, kLiteVariantPid) ? kLumoraLiteLink : kLumoraEditionLink;
    std::wstring mainProgram = path::Join(installDir_, kMainProgram);
    std::wstring menu = path::Join(programs, kLumoraMenuFolder);
    return MakeLink(mainProgram, path::Join(desktop, desktopLink), 1, false) && MakeMenuFolder(menu) &&
           MakeLink(mainProgram, path::Join(menu, kLumoraEditionLink), 1, false) &&
           MakeLink(path::Join(installDir_, kUninstaller), path::Join(menu, kLumoraUninstallLink), 0, true);
}

UninstallEntry CProductRestore::MakeUninstallEntry() const {
    bool lumora = edition_ == ProductEdition::Lumora;
    UninstallEntry entry;
    entry.displayIcon = lumora ? path::Join(installDir_, kLumoraIcon) : std::wstring();
    entry.displayName = lumora ? kLumoraEditionDisplayName : kKelEditionDisplayName;
    wchar_t version[64] = {};
    if (GetFixedFileVersion(path::Join(installDir_, kMainProgram).c_str(), version, 64)) entry.displayVersion = version;
    entry.installLocation = installDir_;
    entry.publisher = lumora ? kLumoraEditionPublisher : kKelEditionPublisher;
    // Quoted: an unquoted path with blanks could start another program on the way.
    entry.uninstallString = L"\"" + path::Join(installDir_, kUninstaller) + L"\"";
    entry.urlInfoAbout = kProductAboutPage;
    return entry;
}

bool CProductRestore::EnableAutorun() {
    if (!IsUsableInstallDir(installDir_)) {
        WriteLog(L"restore: no installation directory [%s], autorun not enabled", LogText(installDir_).c_str());
        return false;
    }
    WriteAutorunSwitch(installDir_, true);
    return SetAutorun(true, path::Join(installDir_, kServiceProgram), kAutorunTaskName, kAutorunTaskDescription,
                      kAutorunDelaySeconds);
}

void RunRestore(const std::wstring& installDir) {
    CProductRestore restore(installDir);
    restore.RestoreProductEntries();
    restore.EnableAutorun();
}
