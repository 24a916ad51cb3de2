#include "app/StartUp.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <cwctype>
#include <locale.h>

#include "app/AppModule.h"
#include "app/CallerCheck.h"
#include "app/CommandParser.h"
#include "app/InstanceMutex.h"
#include "app/PendingServices.h"
#include "app/RunMode.h"
#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/Registry.h"
#include "app/base/SystemLibrary.h"
#include "app/base/WinHandle.h"
#include "engine/FileRemoval.h"
#include "engine/ProductRestore.h"
#include "engine/UninstallTask.h"
#include "net/NetLibrary.h"
#include "net/Statistic.h"
#include "net/UninstallFeedbackConfig.h"
#include "net/UpLoadMgr.h"
#include "ui/screens/MainWnd.h"
#include "ui/screens/MessageBox.h"

const wchar_t kLogFileName[] = L"tapis_uninst.log";
const wchar_t kAppPathsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Kelwpapp.exe";
const wchar_t kMainExecutable[] = L"lumdesk.exe";
const wchar_t kInstallerDownloadUrl[] = L"http://dl.lumorapaper.com/tapis/LumoraSetup.exe";

namespace {

constexpr int kSetupConfigResourceId = 209;
constexpr DWORD kFailurePauseMs = 3000;

struct GdiplusStartupInput {
    UINT32 version = 1;
    void* debugEventCallback = nullptr;
    BOOL suppressBackgroundThread = FALSE;
    BOOL suppressExternalCodecs = FALSE;
};
using GdiplusStartupFn = int(WINAPI*)(ULONG_PTR*, const GdiplusStartupInput*, void*);
using GdiplusShutdownFn = void(WINAPI*)(ULONG_PTR);
using InitCommonControlsExFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);

}  // namespace

std::wstring StartUpMessageText(int code) {
    switch (code) {
        case 2: return L"卸载程序已被破坏，请重新下载安装后再进行卸载";
        case 3: return L"7z.dll文件破坏，请重新下载安装后进行卸载";
        default: return std::wstring();
    }
}

std::wstring ReadInstallDirectory() {
    // Read into a 260-character buffer: at most 259 characters and the terminator.
    return registry::ReadString(HKEY_LOCAL_MACHINE, kAppPathsKey, L"path", MAX_PATH - 1, KEY_WOW64_32KEY);
}

int CStartUp::Run(HINSTANCE instance, const wchar_t* commandLine) {
    InitializeProcess(instance);

    std::wstring logPath = path::TempDirectory();
    if (!logPath.empty()) CSmartLogger::Process().SetLogPath(path::Join(logPath, kLogFileName));

    std::wstring line = commandLine ? commandLine : L"";
    CCommandParser* parser = CCommandParser::Instance();
    if (!parser) ::ExitProcess(1);
    parser->Parse(line);
    WriteLog(L"uninstaller started, cmd[%s]", line.c_str());

    if (!CheckCaller()) {
        WriteLog(L"illegal call");
        return 0;
    }

    if (auto startup = win::SystemFunction<GdiplusStartupFn>(L"gdiplus.dll", "GdiplusStartup")) {
        GdiplusStartupInput input;
        if (startup(&gdiplusToken_, &input, nullptr) != 0) gdiplusToken_ = 0;
    }
    pending::RegisterSkinResources();
    SetSilentRun(parser->IsSilent());

    if (!CInstanceMutex::Process().Check()) {
        WriteLog(L"CheckSingleInstance failed, exit");
        ShowMessageBox(L"安装或卸载程序已经在运行,点击“确定”退出", kMessageOk);
    } else if (!parser->HasSwitch(L"/READYUNINSTALL")) {
        FirstLaunch(line);
    } else {
        UninstallOrRestore(instance);
    }
    Teardown();
    return 0;
}

void CStartUp::InitializeProcess(HINSTANCE instance) {
    ::CoInitialize(nullptr);
    ::DefWindowProcW(nullptr, 0, 0, 0);
    if (auto init = win::SystemFunction<InitCommonControlsExFn>(L"comctl32.dll", "InitCommonControlsEx")) {
        INITCOMMONCONTROLSEX controls = {sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
        init(&controls);
    }
    _wsetlocale(LC_ALL, L"chs");
    CAppModule::Process().Init(instance);
}

void CStartUp::SetUpStatistics() {
    if (CStatistic* statistic = CStatistic::Instance()) statistic->SetUpProduct();
}

void CStartUp::SendAction(const wchar_t* action, const std::wstring& extra) {
    if (CStatistic* statistic = CStatistic::Instance())
        statistic->SendAction(action, extra.empty() ? nullptr : extra.c_str(), false);
}

void CStartUp::FirstLaunch(const std::wstring& commandLine) {
    SetUpStatistics();
    if (pending::Relaunch(commandLine) == 0) OfferRedownload();
}

void CStartUp::OfferRedownload() {
    if (ShowMessageBox(StartUpMessageText(2), kMessageYesNo) == kMessageResultYes)
        ::ShellExecuteW(nullptr, L"open", kInstallerDownloadUrl, nullptr, nullptr, SW_SHOWNORMAL);
}

void CStartUp::UninstallOrRestore(HINSTANCE instance) {
    installDir_ = ReadInstallDirectory();
    if (!path::DirectoryExists(installDir_)) {
        ShowMessageBox(StartUpMessageText(2), kMessageOk);
        return;
    }
    UninstallTask().SetInstallDir(installDir_.c_str());
    if (CStatistic* statistic = CStatistic::Instance())
        statistic->SetVer(path::Join(installDir_, kMainExecutable).c_str());
    std::wstring ownDirectory = path::ModuleDirectory();
    ::SetCurrentDirectoryW(ownDirectory.c_str());

    if (CCommandParser::Instance()->HasSwitch(L"/K")) {
        RunRestore(installDir_);
    } else {
        RunUninstall(instance);
    }

    if (UninstallFeedbackConfig* options = UninstallFeedbackConfig::Instance()) options->Release();
    DeleteOwnTemporaryCopy(ownDirectory);
}

namespace {
std::wstring LongForm(const std::wstring& path) {
    wchar_t buffer[1024] = {};
    DWORD length = ::GetLongPathNameW(path.c_str(), buffer, 1024);
    return length > 0 && length < 1024 ? std::wstring(buffer, length) : path;
}
}  // namespace

bool IsTemporaryCopyFolder(const std::wstring& directory) {
    // "<temp>\{XXXXXXXX-XXXX-xxxx-XXXX-XXXXXXXXXXXX}.tmp", as the relaunch makes it.
    std::wstring temp = path::TempDirectory();
    if (temp.empty() ||
        !text::EqualsNoCase(LongForm(path::Parent(directory)), LongForm(path::Parent(temp + L"x"))))
        return false;
    std::wstring name = path::FileName(directory);
    if (name.size() != 42 || name.front() != L'{' || name.compare(37, 5, L"}.tmp") != 0) return false;
    for (size_t i = 1; i < 37; ++i) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? name[i] != L'-' : !iswxdigit(name[i])) return false;
    }
    return true;
}

void CStartUp::DeleteOwnTemporaryCopy(const std::wstring& ownDirectory) {
    // Only the copy that the relaunch made in the temporary directory deletes
    // its folder; a run started elsewhere (the installation directory itself,
    // for a restore) never deletes the folder it runs from.
    if (!IsTemporaryCopyFolder(ownDirectory)) {
        WriteLog(L"not a temporary copy, [%s] kept", ownDirectory.c_str());
        return;
    }
    DeleteDirectoryTree(ownDirectory);
}

void CStartUp::RunUninstall(HINSTANCE instance) {
    LoadSharedNetLibrary();
    if (UninstallFeedbackConfig* options = UninstallFeedbackConfig::Instance()) options->RequestOptions();
    SetUpStatistics();
    SendAction(L"uninstall_1", std::wstring());

    int check = UninstallTask().PreInitCheck();
    if (check != 0) {
        WriteLog(L"pre init check failed, ret = %d", check);
        ShowMessageBox(StartUpMessageText(check), kMessageOk);
        wchar_t extra[128];
        _snwprintf(extra, 128, L"&%s=PreInitCheck:%d", kStatisticsKey, check);
        extra[127] = L'\0';
        SendAction(L"unist_init_fail", extra);
        ::Sleep(kFailurePauseMs);
        return;
    }

    if (!UninstallTask().InitConfig(instance, kSetupConfigResourceId, L"SETUPCONFIG", L"tapis.noxprj")) {
        WriteLog(L"init config failed, exit");
        OfferRedownload();
        SendAction(L"unist_init_fail", std::wstring(L"&") + kStatisticsKey + L"=InitConfigFaile");
        ::Sleep(kFailurePauseMs);
        return;
    }
    RunUserInterface(instance);
}

void CStartUp::RunUserInterface(HINSTANCE instance) {
    CAppModule& module = CAppModule::Process();
    CMessageLoop loop;
    module.AddMessageLoop(&loop);
    {
        CMainWnd mainWindow(UninstallTask());
        CMainWnd::RegisterWndClass(instance);
        if (mainWindow.Create(instance)) loop.Run();
        else WriteLog(L"main window could not be created, error %d", static_cast<int>(::GetLastError()));
    }
    module.RemoveMessageLoop();
    if (CUpLoadMgr* uploads = CUpLoadMgr::Instance()) uploads->Shutdown();
}

void CStartUp::Teardown() {
    CInstanceMutex::Process().ReleaseAll();
    pending::FreeSkinResources();
    CAppModule::Process().Term();
    ::CoUninitialize();
    if (gdiplusToken_ != 0) {
        if (auto shutdown = win::SystemFunction<GdiplusShutdownFn>(L"gdiplus.dll", "GdiplusShutdown"))
            shutdown(gdiplusToken_);
        gdiplusToken_ = 0;
    }
}
