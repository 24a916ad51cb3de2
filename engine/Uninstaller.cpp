#include "engine/Uninstaller.h"

#include <windows.h>
#include <shlobj.h>

#include <cwctype>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/Registry.h"
#include "app/base/WinHandle.h"
#include "config/SetupConfig.h"
#include "engine/CompanionPrograms.h"
#include "engine/DriverControl.h"
#include "engine/HomePageHelper.h"
#include "engine/Autorun.h"
#include "engine/ProductRegistry.h"
#include "engine/Shortcuts.h"
#include "engine/ProcessShutdown.h"
#include "engine/RunOnceBatch.h"
#include "engine/UIThreadWindow.h"
#include "net/UninstallReport.h"
#include "sysinfo/SystemChecks.h"

namespace {

constexpr int kCountFailedTotal = 200;

// A notification for the user-interface thread: a member function of the engine
// without or with one int argument, invoked there through CUIThreadWindow.
template <typename T>
class mf_bind_t final : public ISimpleBind {
public:
    mf_bind_t(T* object, void (T::*method)()) : object_(object), method_(method) {}
    void Invoke() override { (object_->*method_)(); }

private:
    T* object_;
    void (T::*method_)();
};

template <typename T>
class mf_bind_t_1 final : public ISimpleBind {
public:
    mf_bind_t_1(T* object, void (T::*method)(int), int argument)
        : object_(object), method_(method), argument_(argument) {}
    void Invoke() override { (object_->*method_)(argument_); }

private:
    T* object_;
    void (T::*method_)(int);
    int argument_;
};

std::wstring Trim(const std::wstring& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::iswspace(text[begin])) ++begin;
    while (end > begin && std::iswspace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::wstring RoamingAppData() {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer))) return std::wstring();
    return buffer;
}

}  // namespace

struct CUninstaller::Step {
    const wchar_t* name;  // what the step does, for the reader of the table
    int progress;  // reported before the action; 0 for none
    void (CUninstaller::*action)();
};

// The removal, in its fixed order. Each step is best-effort: it logs what it
// could not do and the next one follows.
const CUninstaller::Step CUninstaller::kSteps[] = {
    {L"notify start", 0, &CUninstaller::NotifyStart},
    {L"start call program", 1, &CUninstaller::StartCallPrograms},
    {L"uninstall programs", 0, &CUninstaller::CallUninstallPrograms},
    {L"rundll unregistrations", 0, &CUninstaller::CallRundllUnregistrations},
    {L"game centre", 0, &CUninstaller::UninstallGameCenter},
    {L"plug-in task", 0, &CUninstaller::StartPluginTask},
    {L"run_list companions", 0, &CUninstaller::RunRegistryRunList},
    {L"file_pe companions", 0, &CUninstaller::RunRegistryFilePe},
    {L"start close all processes", 4, &CUninstaller::StartCloseProcesses},
    {L"close and kill processes", 0, &CUninstaller::CloseProcesses},
    {L"processes closed", 5, &CUninstaller::NoAction},
    {L"wallpaper helper Uninst", 0, &CUninstaller::CallWallpaperHelperUninst},
    {L"desktop shortcuts", 0, &CUninstaller::RemoveDesktopShortcuts},
    {L"start menu shortcuts", 6, &CUninstaller::RemoveStartMenuShortcuts},
    {L"cef cache", 0, &CUninstaller::RemoveCefCache},
    {L"application data", 0, &CUninstaller::RemoveAppData},
    {L"files by registry", 7, &CUninstaller::RemoveFilesByRegistryLists},
    {L"product registry", 0, &CUninstaller::RemoveRegistry},
    {L"autorun", 8, &CUninstaller::RemoveAutorun},
    {L"uninstall registry", 9, &CUninstaller::DeleteUninstallRegistry},
    {L"home-page helper", 0, &CUninstaller::UninstallHomePageHelper},
    {L"protection drivers", 0, &CUninstaller::RemoveProtectionDrivers},
    {L"delete all files", 0, &CUninstaller::DeleteAllFiles},
    {L"second uninstaller", 0, &CUninstaller::RemoveSecondUninstallerCopy},
    {L"dynamic-wallpaper driver", 0, &CUninstaller::RemoveDynamicWallpaperDriver},
    {L"temporary files", 0, &CUninstaller::DeleteTemporaryFiles},
    {L"runonce batch", 98, &CUninstaller::CreateRunOnce},
    {L"complete", 100, &CUninstaller::NoAction},
    {L"notify end", 0, &CUninstaller::NotifyEnd},
    {L"uninstall report", 0, &CUninstaller::ReportUninstall},
    {L"notify real end", 0, &CUninstaller::NotifyRealEnd},
};

CUninstaller::CUninstaller(CSetupConfig* config) : config_(config) {}

void CUninstaller::StartUninstall(IUninstallCallback* callback) {
    callback_ = callback;
    worker_.Start(nullptr, this);
}

void CUninstaller::DetachCallback() {
    _BaseModule::CAutoLocker hold(lock_);
    callback_ = nullptr;
}

void CUninstaller::SetUninstallGameCenter(int uninstall) {
    if (gameCenterVendor_ == 1) uninstallGameCenter_ = uninstall;
}

int CUninstaller::Run(void*) {
    std::wstring version;
    version_ = GetFileVersionText(path::Join(installDir_, L"lumdesk.exe").c_str(), version) ? version : L"";
    std::wstring pid = registry::ReadString(HKEY_CURRENT_USER, L"Software\\KelWallPaper", L"pid", MAX_PATH - 1, 0, true);
    if (!pid.empty()) pid_ = Trim(pid);
    DoUninstall();
    return 0;
}

void CUninstaller::DoUninstall() {
    for (const Step& step : kSteps) {
        if (step.progress != 0) ReportProgress(step.progress);
        (this->*step.action)();
    }
}

void CUninstaller::TraceProgress(int percent) {
    wchar_t line[32];
    _snwprintf(line, 32, L"nProgress=%d\n", percent);
    line[31] = L'\0';
    ::OutputDebugStringW(line);
}

void CUninstaller::ReportProgress(int percent) {
    TraceProgress(percent);
    mf_bind_t_1<CUninstaller> call(this, &CUninstaller::SendProgress, percent < 100 ? percent : 99);
    CUIThreadWindow::InvokeSync(call);
}

void CUninstaller::OnFileDeleted() {
    ++deletedCount_;
    if (deletedCount_ > totalCount_) deletedCount_ = totalCount_;
    float share = totalCount_ > 0 ? static_cast<float>(deletedCount_) / static_cast<float>(totalCount_) : 1.0f;
    int percent = static_cast<int>(share * 88.0f + 10.0f);
    // A value the screen already shows is not sent again: a large installation
    // would otherwise cost one cross-thread send per file.
    if (percent == lastFilePercent_) {
        TraceProgress(percent);
        return;
    }
    lastFilePercent_ = percent;
    ReportProgress(percent);
}

// The sent notifications run on the user-interface thread, as DetachCallback
// does, so they read the callback pointer without the lock.
void CUninstaller::SendStart() {
    if (callback_) callback_->OnUninstallStart();
}
void CUninstaller::SendProgress(int percent) {
    if (callback_) callback_->OnUninstallProgress(percent);
}
void CUninstaller::SendEnd() {
    if (callback_) callback_->OnUninstallEnd();
}

void CUninstaller::NotifyStart() {
    mf_bind_t<CUninstaller> call(this, &CUninstaller::SendStart);
    CUIThreadWindow::InvokeSync(call);
}

void CUninstaller::StartCallPrograms() { WriteLog(L"start call program"); }
void CUninstaller::CallUninstallPrograms() { CallProgramOnUninst(config_, installDir_); }
void CUninstaller::CallRundllUnregistrations() {
    if (config_) RundllUnRegisterOnUnInst(*config_, installDir_);
}
void CUninstaller::UninstallGameCenter() { ::UninstallGameCenter(installDir_, uninstallGameCenter_ == 1); }
void CUninstaller::StartPluginTask() { pluginTask_.StartTask(installDir_); }
void CUninstaller::RunRegistryRunList() { CallRunListCompanions(installDir_); }
void CUninstaller::RunRegistryFilePe() { CallFilePeCompanions(installDir_); }
void CUninstaller::StartCloseProcesses() { WriteLog(L"start close all processes"); }
void CUninstaller::CloseProcesses() { CloseAllPrograms(config_, installDir_); }
void CUninstaller::CallWallpaperHelperUninst() { ::CallWallpaperHelperUninst(installDir_); }

void CUninstaller::RemoveDesktopShortcuts() {
    WriteLog(L"remove desktop shortcuts");
    ::RemoveDesktopShortcuts();
}

void CUninstaller::RemoveStartMenuShortcuts() {
    WriteLog(L"remove start menu shortcuts");
    ::RemoveStartMenuShortcuts();
}

void CUninstaller::RemoveCefCache() {
    std::wstring roaming = RoamingAppData();
    std::wstring cache = path::Join(roaming, L"Kelwp\\cef_cache");
    if (!roaming.empty() && path::DirectoryExists(cache)) DeleteDirectoryTree(cache);
    WriteLog(L"remove cef cache");
}

void CUninstaller::RemoveAppData() {
    if (!removeAppData_) return;
    WriteLog(L"remove appdata");
    std::wstring roaming = RoamingAppData();
    std::wstring data = path::Join(roaming, L"Kelwp");
    if (!roaming.empty() && path::DirectoryExists(data)) DeleteDirectoryTree(data);
}

void CUninstaller::RemoveFilesByRegistryLists() {
    WriteLog(L"remove file by registry");
    RemoveFilesByRegistry(installDir_, kFileListKey, leftovers_);
    RemoveFilesByRegistry(installDir_, kFilePeKey, leftovers_);
}

void CUninstaller::RemoveRegistry() {
    WriteLog(L"remove registry");
    ::RemoveProductRegistry(config_);
}

void CUninstaller::RemoveAutorun() {
    WriteLog(L"remove autorun");
    ::RemoveAutorun(installDir_);
}

// Logs "Delete uninstall registry" after the removal itself.
void CUninstaller::DeleteUninstallRegistry() { ::DeleteUninstallRegistry(); }

void CUninstaller::UninstallHomePageHelper() { RunUninstallDesk(installDir_); }
void CUninstaller::RemoveProtectionDrivers() { ::RemoveProtectionDrivers(); }

void CUninstaller::DeleteAllFiles() {
    WriteLog(L"start delete all files in %s", installDir_.c_str());
    DeleteAllFilesInDir(installDir_, config_ ? config_->GetRootDirList() : nullptr, leftovers_, *this);
    WriteLog(L"end delete all files in %s", installDir_.c_str());
}

void CUninstaller::RemoveSecondUninstallerCopy() { RemoveSecondUninstaller(); }

void CUninstaller::RemoveDynamicWallpaperDriver() {
    WriteLog(L"start uninstall RivirezirezoDO.");
    ReportProgress(97);
    ::RemoveDynamicWallpaperDriver();
}

void CUninstaller::DeleteTemporaryFiles() { DeleteByExtension(installDir_, L".tmp"); }

void CUninstaller::CreateRunOnce() {
    WriteLog(L"start create runonce bat");
    CreateRunOnceBat(leftovers_, installDir_);
}

void CUninstaller::NotifyEnd() {
    mf_bind_t<CUninstaller> call(this, &CUninstaller::SendEnd);
    CUIThreadWindow::InvokeSync(call);
}

void CUninstaller::ReportUninstall() {
    bool reported = ::ReportUninstall("set", pid_.c_str(), version_.c_str());
    WriteLog(L"re unistinfo ret=%lu", static_cast<unsigned long>(reported));
}

void CUninstaller::NotifyRealEnd() {
    _BaseModule::CAutoLocker hold(lock_);
    if (callback_) callback_->OnRealUninstallEnd();
}
