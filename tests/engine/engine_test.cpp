// The removal engine end to end: a real run on the worker thread over a fixture
// installation, observed through a recording callback on this (user-interface)
// thread, which pumps messages while the run lasts.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "config/SevenZipLibrary.h"
#include "engine/UIThreadWindow.h"
#include "engine/UninstallTask.h"
#include "support/TestSupport.h"

using testing_support::ReadFileBytes;
using testing_support::ScopedTempDir;
using testing_support::WriteFileBytes;

namespace {

const wchar_t kPendingKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// Records every notification with the thread it arrived on.
class RecordingCallback : public IUninstallCallback {
public:
    RecordingCallback() : realEnd_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    void OnUninstallStart() override { Record(L"start"); }
    void OnUninstallProgress(int percent) override {
        Record(L"progress");
        progress.push_back(percent);
        if (detachAtProgress != 0 && percent == detachAtProgress) task->DetachCallback();
    }
    void OnUninstallEnd() override { Record(L"end"); }
    void OnRealUninstallEnd() override {
        realEndThread = ::GetCurrentThreadId();
        events.push_back(L"real end");
        ::SetEvent(realEnd_.get());
    }

    HANDLE RealEndEvent() const { return realEnd_.get(); }

    std::vector<std::wstring> events;
    std::vector<int> progress;
    std::vector<DWORD> threads;
    DWORD realEndThread = 0;
    int detachAtProgress = 0;
    CUninstallTask* task = nullptr;

private:
    void Record(const wchar_t* what) {
        events.push_back(what);
        threads.push_back(::GetCurrentThreadId());
    }
    win::UniqueHandle realEnd_;
};

// Pumps this thread's messages until `done` is signalled or the time is up.
bool PumpUntil(HANDLE done, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    for (;;) {
        DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        DWORD which = ::MsgWaitForMultipleObjects(1, &done, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
        if (which == WAIT_OBJECT_0) return true;
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
}

// Keeps the restart-deletion list of the prefix as it was before the test.
class PendingRenamesGuard {
public:
    PendingRenamesGuard() {
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPendingKey, 0, KEY_ALL_ACCESS, key_.put());
        DWORD size = 0, type = 0;
        had_ = ::RegQueryValueExW(key_.get(), L"PendingFileRenameOperations", nullptr, &type, nullptr, &size) ==
               ERROR_SUCCESS;
        if (had_) {
            saved_.resize(size);
            ::RegQueryValueExW(key_.get(), L"PendingFileRenameOperations", nullptr, &type, saved_.data(), &size);
        }
    }
    ~PendingRenamesGuard() {
        if (had_)
            ::RegSetValueExW(key_.get(), L"PendingFileRenameOperations", 0, REG_MULTI_SZ, saved_.data(),
                             static_cast<DWORD>(saved_.size()));
        else
            ::RegDeleteValueW(key_.get(), L"PendingFileRenameOperations");
    }

private:
    win::UniqueRegKey key_;
    bool had_ = false;
    std::vector<BYTE> saved_;
};

class Engine : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(CUIThreadWindow::Create());
        ASSERT_EQ(LoadSevenZipBesideProgram(), 0);
    }

    void SetUp() override {
        CSmartLogger::Process().SetLogPath(logDir_.Join(L"tapis_uninst.log"));
        std::wstring program = path::Join(testing_support::BuildDir(), L"Uninstall.exe");
        resources_.reset(::LoadLibraryExW(program.c_str(), nullptr,
                                          LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        ASSERT_TRUE(resources_.valid());
        ASSERT_TRUE(task_.InitConfig(resources_.get(), 209, L"SETUPCONFIG", L"tapis.noxprj")) << Log();
        installDir_ = install_.Join(L"Lumora");
        ::CreateDirectoryW(installDir_.c_str(), nullptr);
        task_.SetInstallDir(installDir_.c_str());
        callback_.task = &task_;
    }

    void RunToEnd(IUninstallCallback* callback) {
        task_.StartUninstall(callback);
        ASSERT_TRUE(PumpUntil(callback_.RealEndEvent(), 120000)) << "the run did not end";
    }

    std::string Log() const { return ReadFileBytes(logDir_.Join(L"tapis_uninst.log")); }

    PendingRenamesGuard pendingGuard_;
    ScopedTempDir logDir_;
    ScopedTempDir install_;
    win::UniqueModule resources_;
    CUninstallTask task_;
    RecordingCallback callback_;
    std::wstring installDir_;
};

}  // namespace

TEST_F(Engine, EmptyInstallationReportsTheFixedProgressSequenceOnTheRightThreads) {
    RunToEnd(&callback_);

    EXPECT_EQ(callback_.progress, (std::vector<int>{1, 4, 5, 6, 7, 8, 9, 97, 98, 99}));
    ASSERT_GE(callback_.events.size(), 3u);
    EXPECT_EQ(callback_.events.front(), L"start");
    EXPECT_EQ(callback_.events[callback_.events.size() - 2], L"end");
    EXPECT_EQ(callback_.events.back(), L"real end");
    for (DWORD thread : callback_.threads) EXPECT_EQ(thread, ::GetCurrentThreadId());
    EXPECT_NE(callback_.realEndThread, ::GetCurrentThreadId());
    EXPECT_FALSE(path::FileExists(installDir_)) << "the emptied installation directory is removed";
}

TEST_F(Engine, StepsLogInTheirOrderWithTheirBeforeAndAfterMarks) {
    RunToEnd(&callback_);
    std::string log = Log();
    const char* ordered[] = {"start call program",
                             "start close all processes",
                             "enter KillProcessesInInstallPath",
                             "remove desktop shortcuts",
                             "remove start menu shortcuts",
                             "remove cef cache",
                             "remove file by registry",
                             "remove registry",
                             "remove autorun",
                             "Delete uninstall registry",
                             "start delete all files in ",
                             "end delete all files in ",
                             "start uninstall RivirezirezoDO.",
                             "start create runonce bat"};
    size_t at = 0;
    for (const char* line : ordered) {
        size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << log;
        at = found;
    }
    EXPECT_EQ(log.find("remove appdata"), std::string::npos) << "application data is kept unless chosen";
}

TEST_F(Engine, FourListedFilesMoveTheBarFromTenToNinetyEight) {
    std::wstring utils = path::Join(installDir_, L"Utils");
    ::CreateDirectoryW(utils.c_str(), nullptr);
    for (const wchar_t* name : {L"a.dll", L"b.dll", L"c.dll", L"d.dll"})
        ASSERT_TRUE(WriteFileBytes(path::Join(utils, name), "x"));

    RunToEnd(&callback_);
    EXPECT_EQ(callback_.progress, (std::vector<int>{1, 4, 5, 6, 7, 8, 9, 32, 54, 76, 98, 97, 98, 99}));
    EXPECT_FALSE(path::FileExists(utils));
}

TEST_F(Engine, DetachDuringTheRunDropsLaterNotificationsButTheRemovalGoesOn) {
    std::wstring file = path::Join(installDir_, L"config.set");
    ASSERT_TRUE(WriteFileBytes(file, "[auto_run]\r\nopen=1\r\n"));
    callback_.detachAtProgress = 5;
    task_.StartUninstall(&callback_);
    // No real end arrives after a detach: wait for the worker through the log instead.
    HANDLE never = callback_.RealEndEvent();
    for (int i = 0; i < 600 && Log().find("start create runonce bat") == std::string::npos; ++i) PumpUntil(never, 100);
    PumpUntil(never, 500);

    EXPECT_EQ(callback_.progress, (std::vector<int>{1, 4, 5}));
    EXPECT_EQ(std::count(callback_.events.begin(), callback_.events.end(), L"end"), 0);
    EXPECT_EQ(callback_.realEndThread, 0u);
    EXPECT_FALSE(path::FileExists(file)) << "the removal continued after the detach";
}

TEST_F(Engine, RunWithoutCallbackPerformsEveryStep) {
    std::wstring file = path::Join(installDir_, L"lumdesk.exe");
    ASSERT_TRUE(WriteFileBytes(file, "MZ"));
    task_.StartUninstall(nullptr);
    HANDLE never = callback_.RealEndEvent();
    for (int i = 0; i < 600 && Log().find("start create runonce bat") == std::string::npos; ++i) PumpUntil(never, 100);
    EXPECT_NE(Log().find("start create runonce bat"), std::string::npos);
    EXPECT_FALSE(path::FileExists(file));
}

TEST(UninstallTask, GameCentreFlagNeedsTheVendorAndInstallDirNeedsRoom) {
    CUninstallTask task;
    task.SetUninstallGameCenter(1);
    EXPECT_FALSE(task.Engine().UninstallsGameCenter()) << "no effect before the vendor check found tapis";
    task.Engine().SetGameCenterVendor(1);
    task.SetUninstallGameCenter(1);
    EXPECT_TRUE(task.Engine().UninstallsGameCenter());

    task.SetInstallDir(L"C:\\Lumora");
    wchar_t exact[9] = L"untouch";
    task.GetInstallDir(exact, 9);  // 9 characters need 10 with the terminator
    EXPECT_STREQ(exact, L"untouch");
    wchar_t room[10] = {};
    task.GetInstallDir(room, 10);
    EXPECT_STREQ(room, L"C:\\Lumora");
    EXPECT_TRUE(task.IsReady());
}
