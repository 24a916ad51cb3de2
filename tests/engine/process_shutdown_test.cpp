#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "config/SetupConfig.h"
#include "engine/ProcessImage.h"
#include "engine/ProcessShutdown.h"
#include "support/TestSupport.h"

using testing_support::Child;
using testing_support::ReadFileBytes;
using testing_support::ScopedTempDir;
using testing_support::StartChild;
using testing_support::WriteFileBytes;

namespace {

// Exit code of a helper that ends by itself; a terminated one exits with 0.
constexpr int kNormalExit = 42;
// Helpers end by themselves after this, should a test leave one behind.
constexpr DWORD kHelperLifetimeMs = 120000;
constexpr DWORD kReadyTimeoutMs = 30000;
constexpr DWORD kEndTimeoutMs = 15000;

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring Upper(std::wstring text) {
    if (!text.empty()) ::CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

// --- helper processes ----------------------------------------------------

// "proc-wait READY": marks itself ready, then idles until it is ended.
int WaitRole(int argc, wchar_t** argv) {
    if (argc < 1 || !WriteFileBytes(argv[0], "ready")) return 2;
    ::Sleep(kHelperLifetimeMs);
    return kNormalExit;
}

struct WindowRoleState {
    std::wstring record;
    DWORD hangMs = 0;
    UINT quitMessage = 0;
} g_window;

void AppendRecord(const std::string& line) {
    HANDLE file = ::CreateFileW(g_window.record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
}

// Records each close request as "<message> <wParam> <lParam>" ("quit" for the
// broadcast); a hanging window then stops answering for hangMs.
LRESULT CALLBACK RecordingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    bool isQuit = g_window.quitMessage != 0 && message == g_window.quitMessage;
    if (isQuit || message == WM_CLOSE || message == WM_QUIT || message == WM_COMMAND) {
        char line[80];
        std::snprintf(line, sizeof(line), "%s %lu %ld\n", isQuit ? "quit" : std::to_string(message).c_str(),
                      static_cast<unsigned long>(wParam), static_cast<long>(lParam));
        AppendRecord(line);
        if (!isQuit && g_window.hangMs) ::Sleep(g_window.hangMs);
        return 0;  // the window stays; whether the process ends is the kill's business
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// "proc-window CLASS RECORD HANG_MS": a hidden top-level window of CLASS
// recording what it is sent; RECORD.ready appears once the window exists.
int WindowRole(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    g_window.record = argv[1];
    g_window.hangMs = static_cast<DWORD>(_wtoi(argv[2]));
    g_window.quitMessage = ::RegisterWindowMessageW(L"Kelwallpaper_quit");

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = RecordingWindowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = argv[0];
    if (!::RegisterClassW(&windowClass)) return 3;
    HWND window = ::CreateWindowExW(0, argv[0], L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                    windowClass.hInstance, nullptr);
    if (!window) return 4;
    if (!WriteFileBytes(g_window.record + L".ready", "ready")) return 5;

    ::SetTimer(nullptr, 0, kHelperLifetimeMs, nullptr);
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER && msg.hwnd == nullptr) break;
        ::DispatchMessageW(&msg);
    }
    return kNormalExit;
}

// "proc-kill DIR LOG": the uninstaller's kill phase, logging to LOG.
int KillRole(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    CSmartLogger::Process().SetLogPath(argv[1]);
    KillProcessesInInstallPath(argv[0]);
    return kNormalExit;
}

// "proc-launch KILLER DIR LOG": starts KILLER in the kill role and reports
// whether it (and this process) lived to finish.
int LaunchRole(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    Child killer = StartChild(argv[0], L"--role proc-kill " + Quoted(argv[1]) + L" " + Quoted(argv[2]));
    return killer.Wait(60000) == kNormalExit ? kNormalExit : 3;
}

testing_support::ChildRoleRegistrar g_waitRole(L"proc-wait", &WaitRole);
testing_support::ChildRoleRegistrar g_windowRole(L"proc-window", &WindowRole);
testing_support::ChildRoleRegistrar g_killRole(L"proc-kill", &KillRole);
testing_support::ChildRoleRegistrar g_launchRole(L"proc-launch", &LaunchRole);

bool WaitForFile(const std::wstring& path) {
    for (DWORD waited = 0; waited < kReadyTimeoutMs; waited += 20) {
        if (path::FileExists(path)) return true;
        ::Sleep(20);
    }
    return false;
}

bool IsRunning(const Child& child) { return ::WaitForSingleObject(child.process.get(), 0) == WAIT_TIMEOUT; }

// Log lines without their time stamps; the per-process "[kill]" diagnostics
// (processes that cannot be inspected) are left out.
std::vector<std::wstring> ReadLogLines(const std::wstring& file) {
    std::string bytes = ReadFileBytes(file);
    std::wstring text(bytes.size(), L'\0');
    int length = ::MultiByteToWideChar(936, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                                       static_cast<int>(text.size()));
    text.resize(length > 0 ? length : 0);

    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 2;
        constexpr size_t kStampChars = 20;  // "YYYY-MM-DD hh:mm:ss "
        if (line.size() < kStampChars || line[4] != L'-' || line[13] != L':') continue;
        line.erase(0, kStampChars);
        if (line.compare(0, 6, L"[kill]") == 0) continue;
        lines.push_back(line);
    }
    return lines;
}

// A fixture folder holding "Lumora" (the installation directory), its
// sibling "Lumora2" and unrelated folders, with copies of this test program
// placed in them and started as helper processes.
class ProcessShutdownTest : public ::testing::Test {
protected:
    void SetUp() override {
        install_ = root_.Join(L"Lumora");
        UseLog(L"tapis_uninst.log");
    }
    void TearDown() override {
        for (auto& helper : helpers_) helper.Wait(0);  // ends survivors so the folder can go
        CSmartLogger::Process().SetLogPath(std::wstring());
    }

    void UseLog(const std::wstring& name) {
        log_ = root_.Join(name);
        CSmartLogger::Process().SetLogPath(log_);
    }

    // Puts a copy of this program at `relative` below the fixture folder.
    std::wstring Place(const std::wstring& relative) {
        std::wstring target = root_.Join(relative);
        ::SHCreateDirectoryExW(nullptr, path::Parent(target).c_str(), nullptr);
        std::wstring self = path::ModulePath();
        if (!::CreateHardLinkW(target.c_str(), self.c_str(), nullptr)) {
            EXPECT_TRUE(::CopyFileW(self.c_str(), target.c_str(), FALSE)) << path::FileName(target);
        }
        return target;
    }

    // Starts the copy at `relative` idling; returns its index once it runs.
    size_t StartWaiting(const std::wstring& relative) {
        std::wstring ready = root_.Join(std::to_wstring(helpers_.size()) + L".ready");
        return Start(relative, L"proc-wait " + Quoted(ready), ready);
    }

    // Starts the copy at `relative` with a window of `windowClass`; its record
    // file is returned through `record`.
    size_t StartWindow(const std::wstring& relative, const std::wstring& windowClass, DWORD hangMs,
                       std::wstring* record) {
        *record = root_.Join(std::to_wstring(helpers_.size()) + L".record");
        return Start(relative,
                     L"proc-window " + Quoted(windowClass) + L" " + Quoted(*record) + L" " + std::to_wstring(hangMs),
                     *record + L".ready");
    }

    size_t Start(const std::wstring& relative, const std::wstring& roleArguments, const std::wstring& ready) {
        helpers_.push_back(StartChild(Place(relative), L"--role " + roleArguments));
        EXPECT_TRUE(helpers_.back().process) << relative;
        EXPECT_TRUE(WaitForFile(ready)) << relative << " did not get ready";
        return helpers_.size() - 1;
    }

    // True when the helper was terminated (exit code 0) rather than idling on.
    bool WasKilled(size_t index) {
        Child& helper = helpers_[index];
        if (::WaitForSingleObject(helper.process.get(), kEndTimeoutMs) != WAIT_OBJECT_0) return false;
        DWORD code = 1;
        ::GetExitCodeProcess(helper.process.get(), &code);
        return code == 0;
    }

    ScopedTempDir root_;
    std::wstring install_;
    std::wstring log_;
    std::vector<Child> helpers_;
};

// Writes a project with the given close-program elements and loads it.
std::unique_ptr<CSetupConfig> LoadProjectWith(const ScopedTempDir& dir, const std::wstring& programs) {
    std::string project =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Setup>\r\n<Main Version=\"1.0\" />\r\n"
        "<UninstallRootDirFileList File=\"UninstallRootDirFileList.xml\" />\r\n<CloseAllPrograms>\r\n" +
        text::ToUtf8(programs) + "</CloseAllPrograms>\r\n</Setup>\r\n";
    EXPECT_TRUE(WriteFileBytes(dir.Join(L"tapis.noxprj"), project));
    EXPECT_TRUE(WriteFileBytes(dir.Join(L"UninstallRootDirFileList.xml"),
                               "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<RootDirFiles/>\r\n"));
    auto config = std::make_unique<CSetupConfig>();
    EXPECT_TRUE(config->LoadProject(dir.Join(L"tapis.noxprj").c_str()));
    return config;
}

}  // namespace

// --- the whole step ------------------------------------------------------

TEST_F(ProcessShutdownTest, ClosesProjectWindowsThenEndsWhatRunsInsideTheFolderOnly) {
    struct Helper {
        const wchar_t* relative;
        const wchar_t* windowClass;  // null: an idle process without windows
        DWORD hangMs;
        bool killed;
        const char* record;          // what the window was sent
    };
    const Helper helpers[] = {
        {L"Lumora\\Kelwpapp.exe", nullptr, 0, true, nullptr},
        {L"Lumora\\bin\\deep\\helper.exe", nullptr, 0, true, nullptr},
        {L"Lumora\\RarOzo\\RarOzo.exe", nullptr, 0, false, nullptr},
        {L"Lumora2\\sibling.exe", nullptr, 0, false, nullptr},  // same leading text, other folder
        {L"outside\\other.exe", nullptr, 0, false, nullptr},
        {L"outside\\mainwnd.exe", L"LumoraTestMainWnd", 0, false, "quit 0 0\n273 40011 102\n"},
        {L"Lumora\\widget.exe", L"KelWallPaperCtrlCls", 0, true, "quit 0 0\n273 40011 102\n"},
        // "wm_close" is no known name: WM_CLOSE with the default parameters (0x168).
        {L"Lumora\\hung.exe", L"LumoraTestHungWnd", 30000, true, "quit 0 0\n16 360 360\n"},
    };
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    auto config = LoadProjectWith(root_,
                                  L"<Program WindowClass=\"LumoraTestMainWnd\" Message=\"WM_COMMAND\" "
                                  L"WPARAM=\"40011\" LPARAM=\"102\" />\r\n"
                                  L"<Program WindowClass=\"LumoraTestNoSuchWnd\" Message=\"WM_COMMAND\" />\r\n"
                                  L"<Program WindowClass=\"LumoraTestHungWnd\" Message=\"wm_close\" Timeout=\"300\" />\r\n"
                                  L"<Program WindowClass=\"KelWallPaperCtrlCls\" Message=\"WM_COMMAND\" "
                                  L"WPARAM=\"40011\" LPARAM=\"102\" />\r\n");
    ::CoUninitialize();

    std::vector<size_t> index;
    std::vector<std::wstring> records(std::size(helpers));
    for (size_t i = 0; i < std::size(helpers); ++i) {
        const Helper& helper = helpers[i];
        index.push_back(helper.windowClass ? StartWindow(helper.relative, helper.windowClass, helper.hangMs, &records[i])
                                           : StartWaiting(helper.relative));
    }
    ASSERT_FALSE(HasFailure());

    // A trailing separator on the directory changes nothing.
    CloseAllPrograms(config.get(), install_ + L"\\");

    // The ended ones first: by then a wrongly terminated survivor would be gone too.
    for (size_t i = 0; i < std::size(helpers); ++i) {
        if (helpers[i].killed) {
            EXPECT_TRUE(WasKilled(index[i])) << helpers[i].relative << " still runs";
        }
    }
    for (size_t i = 0; i < std::size(helpers); ++i) {
        if (!helpers[i].killed) {
            EXPECT_TRUE(IsRunning(helpers_[index[i]])) << helpers[i].relative << " was ended";
        }
    }

    std::set<std::wstring> expectedKills;
    for (size_t i = 0; i < std::size(helpers); ++i) {
        const Helper& helper = helpers[i];
        if (helper.record) {
            EXPECT_EQ(helper.record, ReadFileBytes(records[i])) << helper.relative;
        }
        std::wstring upper = Upper(root_.Join(helper.relative));
        if (helper.killed) expectedKills.insert(L"Kill process: " + upper);
        if (std::wstring(helper.relative) == L"Lumora\\RarOzo\\RarOzo.exe")
            expectedKills.insert(L"Ignore process : " + upper);
    }

    std::vector<std::wstring> lines = ReadLogLines(log_);
    const std::vector<std::wstring> head = {
        L"Send msg to LumoraTestMainWnd wnd",  // no line for the missing window
        L"Send msg to LumoraTestHungWnd wnd",
        L"Send msg to KelWallPaperCtrlCls wnd",
        L"enter KillProcessesInInstallPath szTargetDir=" + install_ + L"\\",
        L"enter KillMultiProcesses",
    };
    ASSERT_GE(lines.size(), head.size() + expectedKills.size() + 2);
    EXPECT_EQ(head, std::vector<std::wstring>(lines.begin(), lines.begin() + head.size()));
    auto passEnd = std::find(lines.begin(), lines.end(), L"end KillMultiProcesses");
    ASSERT_NE(lines.end(), passEnd);
    EXPECT_EQ(expectedKills, std::set<std::wstring>(lines.begin() + head.size(), passEnd));
    EXPECT_EQ(L"end KillProcessesInInstallPath", lines.back());
    // The exact-path passes may still catch Kelwpapp.exe while it is dying; nothing else.
    for (auto line = passEnd + 1; line + 1 < lines.end(); ++line)
        EXPECT_EQ(L"Kill process: " + Upper(root_.Join(L"Lumora\\Kelwpapp.exe")), *line);
}

TEST_F(ProcessShutdownTest, UninstallerInsideTheFolderSparesItselfAndItsParent) {
    size_t victim = StartWaiting(L"Lumora\\Kelwpsrv.exe");
    std::wstring launcher = Place(L"Lumora\\launcher.exe");
    std::wstring killer = Place(L"Lumora\\Uninstall.exe");
    std::wstring killerLog = root_.Join(L"killer.log");
    ASSERT_FALSE(HasFailure());

    Child run = StartChild(launcher, L"--role proc-launch " + Quoted(killer) + L" " + Quoted(install_) + L" " +
                                         Quoted(killerLog));
    EXPECT_EQ(kNormalExit, run.Wait(60000));
    EXPECT_TRUE(WasKilled(victim));

    std::vector<std::wstring> lines = ReadLogLines(killerLog);
    auto contains = [&](const std::wstring& line) { return std::count(lines.begin(), lines.end(), line) > 0; };
    EXPECT_TRUE(contains(L"Kill process: " + Upper(root_.Join(L"Lumora\\Kelwpsrv.exe"))));
    EXPECT_FALSE(contains(L"Kill process: " + Upper(launcher)));
    EXPECT_FALSE(contains(L"Kill process: " + Upper(killer)));
}

TEST_F(ProcessShutdownTest, KillByPathEndsExactMatchesOnlyAndNeverItsOwnProcess) {
    size_t exact = StartWaiting(L"Lumora\\Kelwpapp.exe");
    size_t similar = StartWaiting(L"Lumora\\Kelwpapp2.exe");
    size_t nested = StartWaiting(L"Lumora\\sub\\Kelwpapp.exe");
    ASSERT_FALSE(HasFailure());

    // Case does not matter; the own process is no target; bad paths are refused.
    EXPECT_EQ(0, KillProcessByPath(root_.Join(L"lumora\\KELWPAPP.exe")));
    EXPECT_EQ(0, KillProcessByPath(path::ModulePath()));
    EXPECT_EQ(0, KillProcessByPath(nullptr));
    EXPECT_EQ(0, KillProcessByPath(install_ + L"\\" + std::wstring(MAX_PATH, L'x')));

    EXPECT_TRUE(WasKilled(exact));
    EXPECT_TRUE(IsRunning(helpers_[similar]));
    EXPECT_TRUE(IsRunning(helpers_[nested]));
    EXPECT_EQ(std::vector<std::wstring>{L"Kill process: " + Upper(root_.Join(L"Lumora\\Kelwpapp.exe"))},
              ReadLogLines(log_));

    // The folder pass counts what it ends.
    int killed = -1;
    EXPECT_EQ(0, KillMultiProcesses(install_.c_str(), &killed));
    EXPECT_EQ(2, killed);
    EXPECT_TRUE(WasKilled(similar));
    EXPECT_TRUE(WasKilled(nested));
}

TEST_F(ProcessShutdownTest, DirectoriesTooShortToBeAnInstallationKillNothing) {
    struct Case {
        const wchar_t* directory;
        std::vector<std::wstring> log;
    };
    const Case cases[] = {
        {L"", {L"enter KillProcessesInInstallPath szTargetDir="}},
        {L"C:\\x", {L"enter KillProcessesInInstallPath szTargetDir=C:\\x"}},
        // Long enough as text, but only a drive root once the separators go.
        {L"Q:\\\\\\\\",
         {L"enter KillProcessesInInstallPath szTargetDir=Q:\\\\\\\\", L"enter KillMultiProcesses",
          L"end KillProcessesInInstallPath"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        UseLog(L"refused" + std::to_wstring(n++) + L".log");
        KillProcessesInInstallPath(c.directory);
        EXPECT_EQ(c.log, ReadLogLines(log_)) << c.directory;
    }
    int killed = -1;
    EXPECT_EQ(0, KillMultiProcesses(nullptr, &killed));
    EXPECT_EQ(0, KillMultiProcesses(L"C:\\", &killed));
    EXPECT_EQ(-1, killed);  // refused before counting
}

TEST_F(ProcessShutdownTest, ImagePathOfARunningProgramInLongForm) {
    size_t helper = StartWaiting(L"Lumora\\Long Program Name.exe");
    ASSERT_FALSE(HasFailure());
    std::wstring expected = root_.Join(L"Lumora\\Long Program Name.exe");

    wchar_t buffer[kProcessImageCapacity];
    DWORD length = GetProcessImagePath(helpers_[helper].id, buffer, kProcessImageCapacity);
    EXPECT_EQ(expected.size(), length);
    EXPECT_TRUE(text::EqualsNoCase(expected, buffer)) << buffer;

    // Started through its 8.3 name, it is still reported by its long name.
    wchar_t shortName[MAX_PATH] = {};
    DWORD shortLength = ::GetShortPathNameW(expected.c_str(), shortName, MAX_PATH);
    if (shortLength > 0 && shortLength < MAX_PATH && std::wstring(shortName).find(L'~') != std::wstring::npos) {
        std::wstring ready = root_.Join(L"short.ready");
        helpers_.push_back(StartChild(shortName, L"--role proc-wait " + Quoted(ready)));
        ASSERT_TRUE(WaitForFile(ready));
        length = GetProcessImagePath(helpers_.back().id, buffer, kProcessImageCapacity);
        EXPECT_TRUE(text::EqualsNoCase(expected, buffer)) << buffer << " started as " << shortName;
    }

    // Buffers that are missing, too small for any path or too small for this one.
    EXPECT_EQ(0u, GetProcessImagePath(helpers_[helper].id, nullptr, kProcessImageCapacity));
    EXPECT_EQ(0u, GetProcessImagePath(helpers_[helper].id, buffer, kMinProcessImageCapacity - 1));
    if (expected.size() >= kMinProcessImageCapacity) {
        EXPECT_EQ(0u, GetProcessImagePath(helpers_[helper].id, buffer, static_cast<DWORD>(expected.size())));
    }
}
