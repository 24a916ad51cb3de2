#include "engine/ProcessShutdown.h"

#include <cwchar>
#include <vector>

#include "app/ParentProcess.h"
#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "config/ISetupConfig.h"
#include "engine/ProcessImage.h"

namespace {

constexpr wchar_t kQuitMessageName[] = L"Kelwallpaper_quit";
constexpr wchar_t kWidgetWindowClass[] = L"KelWallPaperCtrlCls";
// The widget needs a moment to save its state and go after being told to close.
constexpr DWORD kWidgetCloseDelayMs = 2000;
// A project time-out beyond this would let one hung window stall the uninstall.
constexpr DWORD kMaxSendTimeoutMs = 60000;

// The companion that outlives the product's removal.
constexpr wchar_t kSparedProcess[] = L"RarOzo\\RarOzo.exe";
// Killed by exact path after the folder pass: they restart each other.
constexpr const wchar_t* kResidentPrograms[] = {L"\\quorsrv.exe", L"\\Kelwpsrv.exe", L"\\Kelwpapp.exe",
                                                L"\\lumdesk.exe"};

constexpr size_t kMinKillDirectoryChars = 4;

std::wstring UpperCase(std::wstring text) {
    if (!text.empty()) ::CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

// The folder as a prefix test needs it: backslashes only, no trailing separator.
std::wstring WithoutTrailingSeparators(std::wstring directory) {
    for (wchar_t& c : directory)
        if (c == L'/') c = L'\\';
    while (!directory.empty() && directory.back() == L'\\') directory.pop_back();
    return directory;
}

// Upper-cased image path of a process, or empty when it cannot be read.
std::wstring UpperImagePath(DWORD processId) {
    wchar_t image[kProcessImageCapacity];
    if (GetProcessImagePath(processId, image, kProcessImageCapacity) == 0) return std::wstring();
    return UpperCase(image);
}

// Best effort; whether the process really ends is not waited for.
void Terminate(DWORD processId) {
    win::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    if (process) ::TerminateProcess(process.get(), 0);
}

void SendCloseMessage(const CloseProgramEntry& entry) {
    wchar_t windowClass[_countof(entry.windowClass)];
    std::wmemcpy(windowClass, entry.windowClass, _countof(windowClass));
    windowClass[_countof(windowClass) - 1] = L'\0';

    HWND window = ::FindWindowW(windowClass, nullptr);
    if (window == nullptr) return;
    DWORD timeout = entry.timeout < kMaxSendTimeoutMs ? entry.timeout : kMaxSendTimeoutMs;
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(window, entry.message, static_cast<WPARAM>(entry.wParam),
                          static_cast<LPARAM>(entry.lParam), SMTO_NORMAL, timeout, &ignored);
    if (_wcsicmp(windowClass, kWidgetWindowClass) == 0) ::Sleep(kWidgetCloseDelayMs);
    WriteLog(L"Send msg to %s wnd", windowClass);
}

}  // namespace

void CloseAllPrograms(ISetupConfig* config, const std::wstring& installDir) {
    UINT quitMessage = ::RegisterWindowMessageW(kQuitMessageName);
    if (quitMessage != 0) ::SendNotifyMessageW(HWND_BROADCAST, quitMessage, 0, 0);

    int count = config ? config->GetCloseProgramCount() : 0;
    for (int index = 0; index < count; ++index) {
        CloseProgramEntry entry;
        if (config->GetCloseProgram(index, &entry)) SendCloseMessage(entry);
    }

    KillProcessesInInstallPath(installDir);
}

void KillProcessesInInstallPath(const std::wstring& directory) {
    WriteLog(L"enter KillProcessesInInstallPath szTargetDir=%s", directory.c_str());
    if (directory.size() <= kMinKillDirectoryChars) return;

    KillMultiProcesses(directory.c_str());
    for (const wchar_t* program : kResidentPrograms) KillProcessByPath(path::Join(directory, program));
    WriteLog(L"end KillProcessesInInstallPath");
}

int KillMultiProcesses(const wchar_t* directory, int* killedCount) {
    WriteLog(L"enter KillMultiProcesses");
    if (directory == nullptr) return 0;
    size_t length = std::wcslen(directory);
    // The length limits hold for the folder without trailing separators too:
    // "C:\\\\" must not become "C:\", the whole drive.
    std::wstring folder = WithoutTrailingSeparators(directory);
    if (length < kMinKillDirectoryChars || length > MAX_PATH || folder.size() < kMinKillDirectoryChars) return 0;
    if (killedCount) *killedCount = 0;

    GetDebugPrivilege();
    std::vector<DWORD> ids;
    if (!EnumerateProcessIds(&ids)) {
        WriteLog(L"EnumProcesses fail dwError = %lu", ::GetLastError());
        return 0;
    }

    // A separator after the folder keeps "C:\Lumora" from covering "C:\Lumora2".
    const std::wstring prefix = UpperCase(folder) + L"\\";
    const std::wstring spared = prefix + UpperCase(kSparedProcess);
    const DWORD self = ::GetCurrentProcessId();
    const DWORD parent = QueryParentProcessId();

    int killed = 0;
    for (DWORD id : ids) {
        if (id == self || id == parent) continue;
        std::wstring image = UpperImagePath(id);
        if (image.empty() || image.compare(0, prefix.size(), prefix) != 0) continue;
        if (image == spared) {
            WriteLog(L"Ignore process : %s", image.c_str());
            continue;
        }
        Terminate(id);
        WriteLog(L"Kill process: %s", image.c_str());
        ++killed;
    }

    if (killedCount) *killedCount = killed;
    WriteLog(L"end KillMultiProcesses");
    return 0;
}

int KillProcessByPath(const wchar_t* path) {
    if (path == nullptr || std::wcslen(path) > MAX_PATH) return 0;
    GetDebugPrivilege();
    std::vector<DWORD> ids;
    if (!EnumerateProcessIds(&ids)) return 0;

    const std::wstring target = UpperCase(path);
    if (target.empty()) return 0;
    const DWORD self = ::GetCurrentProcessId();
    for (DWORD id : ids) {
        // Ending the uninstaller itself would abandon the removal half done.
        if (id == self) continue;
        std::wstring image = UpperImagePath(id);
        if (image != target) continue;
        Terminate(id);
        WriteLog(L"Kill process: %s", image.c_str());
    }
    return 0;
}
