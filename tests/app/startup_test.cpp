// The built Uninstall.exe, run for real in each of its modes, with a private
// temporary directory (so a private log) and the product's App Paths value set
// by the test.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/HandOverToken.h"
#include "app/StartUp.h"
#include "app/base/PathUtil.h"
#include "net/TextCodec.h"
#include "app/base/WinHandle.h"
#include "support/TestSupport.h"
#include "support/WindowDriver.h"
#include "netlib/TestService.h"

using testing_support::Child;
using testing_support::ScopedTempDir;
using testing_support::StartChild;

namespace {

const wchar_t kAppPaths[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Kelwpapp.exe";
const wchar_t kDialogClass[] = L"#32770";
const wchar_t kMainClass[] = L"KelWallPaperSetupMainWnd";
constexpr DWORD kWaitMs = 20000;

std::wstring Uninstaller() { return path::Join(testing_support::BuildDir(), L"Uninstall.exe"); }

// How many statistics reports of an action the web service has received.
size_t ReportsOf(const std::string& action) {
    size_t count = 0;
    for (const std::string& request : testing_support::TestService::Requests("/tapis"))
        if (request.find("\"" + action + "\"") != std::string::npos) ++count;
    return count;
}

// Sets (or removes) the product's installation-directory value for one test and
// puts the previous state back afterwards.
class InstallPathValue {
public:
    InstallPathValue() {
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAppPaths, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                          key_.put(), nullptr);
        wchar_t buffer[1024] = {};
        DWORD size = sizeof(buffer) - sizeof(wchar_t), type = 0;
        hadValue_ = ::RegQueryValueExW(key_.get(), L"path", nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                                       &size) == ERROR_SUCCESS;
        previous_ = buffer;
    }
    ~InstallPathValue() {
        if (hadValue_) Set(previous_);
        else Remove();
    }
    void Set(const std::wstring& value) {
        ::RegSetValueExW(key_.get(), L"path", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    void Remove() { ::RegDeleteValueW(key_.get(), L"path"); }

private:
    win::UniqueRegKey key_;
    bool hadValue_ = false;
    std::wstring previous_;
};

class StartUp : public ::testing::Test {
protected:
    Child Launch(const std::wstring& arguments) {
        return StartChild(Uninstaller(), arguments, {{L"TEMP", temp_.path()}, {L"TMP", temp_.path()}});
    }
    std::string Log() const { return testing_support::ReadFileBytes(temp_.Join(L"tapis_uninst.log")); }
    static bool Contains(const std::string& log, const char* text) { return log.find(text) != std::string::npos; }

    // Waits for the child's message box, checks its text and presses a button.
    void Answer(const Child& child, const wchar_t* expectedText, int button) {
        HWND dialog = window_driver::WaitForWindow(kDialogClass, child.id, kWaitMs);
        ASSERT_NE(dialog, nullptr) << "no message box appeared";
        EXPECT_EQ(window_driver::DialogText(dialog), expectedText);
        window_driver::PressButton(dialog, button);
    }

    ScopedTempDir temp_;
    ScopedTempDir install_;
    InstallPathValue installPath_;
};

}  // namespace

TEST_F(StartUp, FirstLaunchOnlyOffersTheRedownloadWhileTheCopyCannotBeMade) {
    installPath_.Set(install_.path());
    Child child = Launch(L"");
    Answer(child, L"卸载程序已被破坏，请重新下载安装后再进行卸载", IDNO);
    EXPECT_EQ(child.Wait(kWaitMs), 0);

    std::string log = Log();
    EXPECT_TRUE(Contains(log, "================== Start Log:"));
    EXPECT_TRUE(Contains(log, "uninstaller started, cmd[]"));
    EXPECT_FALSE(Contains(log, "setup project")) << "a first launch never loads the setup project";
}

TEST_F(StartUp, CopyWithoutAnInstallationDirectoryShowsTheDamagedMessage) {
    for (bool exists : {false, true}) {
        if (exists) installPath_.Set(install_.Join(L"missing"));
        else installPath_.Remove();
        Child child = Launch(L"/READYUNINSTALL");
        Answer(child, L"卸载程序已被破坏，请重新下载安装后再进行卸载", IDOK);
        EXPECT_EQ(child.Wait(kWaitMs), 0);
    }
}

TEST_F(StartUp, SecondInstanceIsRefusedAndRaisesTheRunningWindow) {
    installPath_.Set(install_.path());
    Child first = Launch(L"/readyuninstall");  // switches match regardless of case
    HWND mainWindow = window_driver::WaitForWindow(kMainClass, first.id, kWaitMs);
    ASSERT_NE(mainWindow, nullptr);

    Child second = Launch(L"/READYUNINSTALL");
    Answer(second, L"安装或卸载程序已经在运行,点击“确定”退出", IDOK);
    EXPECT_EQ(second.Wait(kWaitMs), 0);
    EXPECT_TRUE(Contains(Log(), "CheckSingleInstance failed, exit"));
    EXPECT_TRUE(Contains(Log(), "main window: raised by another instance"));

    ::PostMessageW(mainWindow, WM_CLOSE, 0, 0);
    EXPECT_EQ(first.Wait(kWaitMs), 0);
    std::string log = Log();
    EXPECT_TRUE(Contains(log, "main window: closed"));

    // The mutex was released with the window: a new run starts normally.
    Child third = Launch(L"/READYUNINSTALL");
    HWND again = window_driver::WaitForWindow(kMainClass, third.id, kWaitMs);
    ASSERT_NE(again, nullptr);
    ::PostMessageW(again, WM_CLOSE, 0, 0);
    EXPECT_EQ(third.Wait(kWaitMs), 0);
}

TEST_F(StartUp, RestoreRunLoadsNeitherNetworkLibraryNorSetupProject) {
    installPath_.Set(install_.path());
    ASSERT_FALSE(testing_support::TestService::BaseUrl().empty()) << "LUMORA_TEST_SERVICE is not set";
    size_t reportsBefore = ReportsOf("uninstall_1");
    Child child = Launch(L"/READYUNINSTALL /K");
    EXPECT_EQ(child.Wait(kWaitMs), 0);
    std::string log = Log();
    EXPECT_TRUE(Contains(log, "restore: ")) << log;
    EXPECT_FALSE(Contains(log, "network library"));
    EXPECT_FALSE(Contains(log, "setup project"));
    EXPECT_EQ(ReportsOf("uninstall_1"), reportsBefore) << "a restore run reports nothing";
}

TEST_F(StartUp, SilentRunsWithoutAuthorisationAreRefusedBeforeAnythingElse) {
    installPath_.Set(install_.path());
    struct Case {
        const wchar_t* arguments;
        const char* expectedLine;
    } cases[] = {
        // First launch: this test program is not signed by a trusted publisher.
        {L"/S", "parent process = "},
        // Copy without, or with a forged, hand-over token.
        {L"/S /READYUNINSTALL", "illegal call"},
        {L"/S /READYUNINSTALL /CHK=Zm9yZ2VkdG9rZW4=", "illegal call"},
    };
    for (const Case& c : cases) {
        ::DeleteFileW(temp_.Join(L"tapis_uninst.log").c_str());
        Child child = Launch(c.arguments);
        EXPECT_EQ(child.Wait(kWaitMs), 0) << c.arguments;
        std::string log = Log();
        EXPECT_TRUE(Contains(log, c.expectedLine)) << log;
        EXPECT_TRUE(Contains(log, "illegal call")) << log;
        EXPECT_FALSE(Contains(log, "CheckSingleInstance")) << log;
    }
}

TEST_F(StartUp, SilentCopyWithThisMachinesTokenRunsWithoutAsking) {
    installPath_.Set(install_.path());
    Child child = Launch(L"/S /READYUNINSTALL /CHK=" + MakeHandOverToken());
    EXPECT_EQ(child.Wait(kWaitMs), 0);
    std::string log = Log();
    EXPECT_FALSE(Contains(log, "illegal call")) << log;
    EXPECT_TRUE(Contains(log, "main window: closed")) << log;
}

// The whole run through the real program: the main window starts the removal,
// which deletes what the root-directory list names and keeps the user's file.
TEST_F(StartUp, UninstallRunRemovesListedEntriesAndKeepsUserFiles) {
    std::wstring product = install_.Join(L"Lumora");
    ::CreateDirectoryW(product.c_str(), nullptr);
    ::CreateDirectoryW(path::Join(product, L"Utils").c_str(), nullptr);
    ASSERT_TRUE(testing_support::WriteFileBytes(path::Join(product, L"config.set"), "[auto_run]\r\nopen=1\r\n"));
    ASSERT_TRUE(testing_support::WriteFileBytes(path::Join(product, L"Utils\\helper.dll"), "MZ"));
    ASSERT_TRUE(testing_support::WriteFileBytes(path::Join(product, L"my notes.txt"), "keep me"));
    installPath_.Set(product);
    size_t reportsBefore = ReportsOf("uninstall_1");

    Child child = Launch(L"/READYUNINSTALL");
    HWND window = window_driver::WaitForWindow(kMainClass, child.id, kWaitMs);
    ASSERT_NE(window, nullptr);
    ::PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
    for (int i = 0; i < 400 && !Contains(Log(), "main window: removal ended"); ++i) ::Sleep(50);
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(child.Wait(kWaitMs), 0);

    std::string log = Log();
    EXPECT_TRUE(Contains(log, "setup config loaded")) << log;
    EXPECT_TRUE(Contains(log, "start delete all files in ")) << log;
    EXPECT_TRUE(Contains(log, "File NOT exists in xml: MY NOTES.TXT")) << log;
    EXPECT_TRUE(Contains(log, "re unistinfo ret=")) << log;
    EXPECT_FALSE(path::FileExists(path::Join(product, L"config.set")));
    EXPECT_FALSE(path::FileExists(path::Join(product, L"Utils")));
    EXPECT_TRUE(path::FileExists(path::Join(product, L"my notes.txt")));
    EXPECT_EQ(ReportsOf("uninstall_1"), reportsBefore + 1);
}

// Only the relaunch's copy folder is ever deleted as "the program's own folder".
TEST(TemporaryCopy, FolderIsRecognisedOnlyByItsPlaceAndShape) {
    std::wstring temp = path::TempDirectory();
    struct Case {
        std::wstring directory;
        bool isCopy;
    } cases[] = {
        {temp + L"{5A1F0C2E-7B3D-4e8e-A521-86DD34FF011F}.tmp", true},
        {temp + L"{5a1f0c2e-7b3d-4e8e-a521-86dd34ff011f}.TMP", false},
        {temp + L"{5A1F0C2E-7B3D-4e8e-A521-86DD34FF011F}.tmp\\Utils", false},
        {temp + L"{5A1F0C2E7B3D-4e8e-A521-86DD34FF011F-}.tmp", false},
        {temp + L"{5A1F0C2E-7B3D-4e8e-A521-86DD34FF011G}.tmp", false},
        {temp + L"Lumora", false},
        {L"C:\\Program Files (x86)\\Lumora", false},
        {L"C:\\{5A1F0C2E-7B3D-4e8e-A521-86DD34FF011F}.tmp", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsTemporaryCopyFolder(c.directory), c.isCopy) << c.directory;
}

TEST(HandOverToken, OnlyTheSameKeyOpensIt) {
    std::wstring token = MakeHandOverToken(L"0123456789abcdef0123456789abcdef");
    EXPECT_FALSE(token.empty());
    EXPECT_TRUE(VerifyHandOverToken(token, L"0123456789abcdef0123456789abcdef"));
    EXPECT_FALSE(VerifyHandOverToken(token, L"fedcba9876543210fedcba9876543210")) << "another machine";
    EXPECT_FALSE(VerifyHandOverToken(L"", L"0123456789abcdef0123456789abcdef"));
    EXPECT_FALSE(VerifyHandOverToken(L"not base64!", L"0123456789abcdef0123456789abcdef"));
    // The decrypted text is compared without regard to case.
    EXPECT_TRUE(VerifyHandOverToken(EncryptTextW(L"HushNow", L"k"), L"k"));
}

// The program imports only libraries that the loader takes from the system's
// known DLLs; a DLL planted beside it in a temporary folder is never loaded.
TEST(Hardening, ImportsOnlyKnownSystemLibraries) {
    std::string image = testing_support::ReadFileBytes(Uninstaller());
    ASSERT_GT(image.size(), 0x400u);
    auto u32 = [&](size_t at) { return *reinterpret_cast<const uint32_t*>(image.data() + at); };
    auto u16 = [&](size_t at) { return *reinterpret_cast<const uint16_t*>(image.data() + at); };
    size_t pe = u32(0x3C);
    size_t sections = pe + 24 + u16(pe + 20);
    int sectionCount = u16(pe + 6);
    uint32_t importRva = u32(pe + 24 + 104);  // data directory 1 of a PE32 optional header
    auto fileOffset = [&](uint32_t rva) -> size_t {
        for (int i = 0; i < sectionCount; ++i) {
            size_t s = sections + i * 40;
            uint32_t va = u32(s + 12), size = u32(s + 8), raw = u32(s + 20);
            if (rva >= va && rva < va + size) return raw + (rva - va);
        }
        return 0;
    };
    const std::string known[] = {"kernel32.dll", "user32.dll",  "gdi32.dll",  "advapi32.dll", "shell32.dll",
                                 "shlwapi.dll",  "ole32.dll",   "oleaut32.dll", "msvcrt.dll", "ws2_32.dll"};
    int imported = 0;
    for (size_t entry = fileOffset(importRva); u32(entry + 12) != 0; entry += 20) {
        std::string name = image.c_str() + fileOffset(u32(entry + 12));
        for (char& c : name) c = static_cast<char>(tolower(c));
        EXPECT_NE(std::find(std::begin(known), std::end(known), name), std::end(known)) << name;
        ++imported;
    }
    EXPECT_GT(imported, 3);
}
