#include "app/StartUp.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <locale.h>

#include "app/AppModule.h"
#include "app/CallerCheck.h"
#include "app/CommandParser.h"
#include "app/InstanceMutex.h"
#include "app/PendingServices.h"
#include "app/RunMode.h"
#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/SystemLibrary.h"
#include "app/base/WinHandle.h"
#include "ui/screens/MainWnd.h"
#include "ui/screens/MessageBox.h"

const wchar_t kLogFileName[] = L"tapis_uninst.log";
const wchar_t kAppPathsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Kelwpapp.exe";
const wchar_t kMainExecutable[] = L"lumdesk.exe";
const wchar_t kStatisticsKey[] = L"{842908E2-421A-857d-D244-4D39A6C8E42E}";
const wchar_t kInstallerDownloadUrl[] = L"http://dl.lumorapaper.com/tapis/LumoraSetup.exe";

namespace {

constexpr wchar_t kProductCode[] = L"tapis";
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
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAppPathsKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, key.put()) !=
        ERROR_SUCCESS)
        return std::wstring();
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD type = 0;
    DWORD size = MAX_PATH * sizeof(wchar_t);
    if (::RegQueryValueExW(key.get(), L"path", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return std::wstring();
    buffer[size / sizeof(wchar_t)] = L'\0';
    return buffer;
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
    pending::StatisticSetType(kProductCode);
    std::wstring installDir = ReadInstallDirectory();
    if (path::DirectoryExists(installDir)) pending::StatisticSetVer(path::Join(installDir, kMainExecutable));
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
    pending::SetInstallDir(installDir_);
    pending::StatisticSetVer(path::Join(installDir_, kMainExecutable));
    std::wstring ownDirectory = path::ModuleDirectory();
    ::SetCurrentDirectoryW(ownDirectory.c_str());

    if (CCommandParser::Instance()->HasSwitch(L"/K")) {
        pending::RestoreProductEntries(installDir_);
        pending::EnableAutorun(installDir_);
    } else {
        RunUninstall(instance);
    }

    pending::ReleaseFeedbackOptions();
    pending::DeleteDirectoryTree(ownDirectory);
}

void CStartUp::RunUninstall(HINSTANCE instance) {
    pending::LoadNetworkLibrary();
    pending::RequestFeedbackOptions();
    SetUpStatistics();
    pending::StatisticSendAction(L"uninstall_1", L"", false);

    int check = pending::PreInitCheck();
    if (check != 0) {
        WriteLog(L"pre init check failed, ret = %d", check);
        ShowMessageBox(StartUpMessageText(check), kMessageOk);
        wchar_t extra[128];
        _snwprintf(extra, 128, L"&%s=PreInitCheck:%d", kStatisticsKey, check);
        extra[127] = L'\0';
        pending::StatisticSendAction(L"unist_init_fail", extra, false);
        ::Sleep(kFailurePauseMs);
        return;
    }

    if (!pending::InitConfig(instance, kSetupConfigResourceId, L"SETUPCONFIG", L"tapis.noxprj")) {
        WriteLog(L"init config failed, exit");
        OfferRedownload();
        pending::StatisticSendAction(L"unist_init_fail", std::wstring(L"&") + kStatisticsKey + L"=InitConfigFaile",
                                     false);
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
        CMainWnd mainWindow;
        CMainWnd::RegisterWndClass(instance);
        if (mainWindow.Create(instance)) loop.Run();
        else WriteLog(L"main window could not be created, error %d", static_cast<int>(::GetLastError()));
    }
    module.RemoveMessageLoop();
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
