#include "engine/UninstallTask.h"

#include <algorithm>
#include <cwctype>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/Registry.h"
#include "app/base/WinHandle.h"
#include "config/SevenZipLibrary.h"
#include "engine/UIThreadWindow.h"
#include "sysinfo/SystemChecks.h"

namespace {

const wchar_t kGameCenterKey[] = L"SOFTWARE\\NOXGameCenter";

// A string value of the game centre's key (32-bit view), at most 259 characters.
std::wstring ReadGameCenterValue(const wchar_t* name) {
    return registry::ReadString(HKEY_LOCAL_MACHINE, kGameCenterKey, name, MAX_PATH - 1, KEY_WOW64_32KEY, true);
}

CUninstallTask& g_processTask = UninstallTask();

}  // namespace

CUninstallTask& UninstallTask() {
    static CUninstallTask task;
    return task;
}

CUninstallTask::CUninstallTask() : engine_(&config_) {}

int CUninstallTask::PreInitCheck() {
    if (!IsTrustedFile(path::ModulePath().c_str())) return kPreInitUntrustedSelf;
    CUIThreadWindow::Create();
    return LoadSevenZipBesideProgram() == 0 ? kPreInitOk : kPreInitSevenZipMissing;
}

bool CUninstallTask::InitConfig(HINSTANCE module, UINT resourceId, const wchar_t* resourceType,
                                const wchar_t* fileName) {
    return config_.InitConfig(module, resourceId, resourceType, fileName);
}

void CUninstallTask::StartUninstall(IUninstallCallback* callback) {
    engine_.StartUninstall(callback);
    ::WriteLog(L"start uninstall thread...");
}

void CUninstallTask::WriteLog(const wchar_t* text) {
    if (text) ::WriteLog(L"%s", text);
}

bool CUninstallTask::IsGameCenterPlayed() { return ReadGameCenterValue(L"Played").empty(); }

void CUninstallTask::SetUninstallGameCenter(int uninstall) { engine_.SetUninstallGameCenter(uninstall); }

bool CUninstallTask::CheckGameCenterVendor() {
    std::wstring vendor = ReadGameCenterValue(L"VendorID");
    std::transform(vendor.begin(), vendor.end(), vendor.begin(), [](wchar_t c) { return std::towlower(c); });
    bool isVendor = vendor.find(L"tapis") != std::wstring::npos;
    engine_.SetGameCenterVendor(isVendor ? 1 : 0);
    return isVendor;
}

void CUninstallTask::SetRemoveAppData(int remove) { engine_.SetRemoveAppData(remove); }

void CUninstallTask::SetInstallDir(const wchar_t* directory) { engine_.SetInstallDir(directory ? directory : L""); }

void CUninstallTask::GetInstallDir(wchar_t* buffer, int capacity) {
    const std::wstring& directory = engine_.GetInstallDir();
    if (!buffer || capacity <= 0 || directory.empty() || directory.size() >= static_cast<size_t>(capacity)) return;
    std::copy(directory.begin(), directory.end(), buffer);
    buffer[directory.size()] = L'\0';
}

void CUninstallTask::DetachCallback() { engine_.DetachCallback(); }
