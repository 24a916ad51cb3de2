// The plug-in launcher, the home-page helper and the removal of the product's
// drivers, played against the real loader, signature checks and service control
// manager of the Wine prefix. The drivers are a small kernel driver registered
// under the product's driver names, which records the unlock request it gets
// and its unload; an own-process service stands in for drivers that do not stop.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "engine/DriverControl.h"
#include "engine/HomePageHelper.h"
#include "engine/PluginTask.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"

using testing_support::ScopedTempDir;
using testing_support::LogCapture;

namespace {

const wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";
const wchar_t kHeldTimeoutLine[] = L"等待进程退出超时";
constexpr int kRecorderExitCode = 23;

std::wstring Fixture(const wchar_t* name) { return testing_support::BuildDir() + L"\\testdata\\drivers\\" + name; }

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
        begin = end + 1;
    }
    return lines;
}

// The lines a fixture program or driver appended to the record file.
std::vector<std::string> RecordLines(const std::wstring& file) {
    return SplitLines(testing_support::ReadFileBytes(file));
}

// The process log redirected into a scratch file for one test.

UniqueServiceHandle OpenManager() {
    return UniqueServiceHandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

bool ServiceExists(const std::wstring& name) {
    UniqueServiceHandle manager = OpenManager();
    UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    return service.valid();
}

DWORD ServiceState(const std::wstring& name) {
    UniqueServiceHandle manager = OpenManager();
    UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    return service && ::QueryServiceStatus(service.get(), &status) ? status.dwCurrentState : 0;
}

// Removes a service whatever became of it: stop control, the process of a
// service that does not stop ended, deletion, and a bounded wait until the
// manager has dropped the entry.
void RemoveServiceCompletely(const std::wstring& name) {
    UniqueServiceHandle manager = OpenManager();
    if (!manager) return;
    {
        UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
        if (!service) return;
        SERVICE_STATUS status = {};
        ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        for (int attempt = 0; attempt < 40; ++attempt) {
            SERVICE_STATUS_PROCESS process = {};
            DWORD needed = 0;
            if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                                        sizeof(process), &needed) ||
                process.dwCurrentState == SERVICE_STOPPED)
                break;
            if (attempt == 10 && process.dwProcessId != 0) {
                win::UniqueHandle stuck(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.dwProcessId));
                if (stuck) {
                    ::TerminateProcess(stuck.get(), 1);
                    ::WaitForSingleObject(stuck.get(), 5000);
                }
            }
            ::Sleep(50);
        }
        ::DeleteService(service.get());
    }
    for (int attempt = 0; attempt < 100 && ServiceExists(name); ++attempt) ::Sleep(50);
}

// A service registered for one test and removed when the test ends, whatever happened.
class ScopedService {
public:
    explicit ScopedService(std::wstring name) : name_(std::move(name)) { RemoveServiceCompletely(name_); }
    ~ScopedService() { RemoveServiceCompletely(name_); }
    ScopedService(const ScopedService&) = delete;
    ScopedService& operator=(const ScopedService&) = delete;

    // The fake kernel driver at `image`, recording into `recordFile`.
    bool InstallDriver(const std::wstring& image, const std::wstring& recordFile, bool holdRequests, bool start) {
        if (!Create(SERVICE_KERNEL_DRIVER, image)) return false;
        win::UniqueRegKey key;
        std::wstring keyPath = kServicesKey + name_;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS)
            return false;
        std::wstring ntPath = L"\\??\\" + recordFile;
        DWORD hold = holdRequests ? 1 : 0;
        if (::RegSetValueExW(key.get(), L"RecordFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(ntPath.c_str()),
                             static_cast<DWORD>((ntPath.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS ||
            ::RegSetValueExW(key.get(), L"HoldRequests", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&hold),
                             sizeof(hold)) != ERROR_SUCCESS)
            return false;
        return !start || Start();
    }

    // The own-process service program in `mode` (see service_program.c).
    bool InstallProgram(const std::wstring& recordFile, const wchar_t* mode) {
        std::wstring command = L"\"" + Fixture(L"service_program.exe") + L"\" \"" + recordFile + L"\" " + mode;
        return Create(SERVICE_WIN32_OWN_PROCESS, command) && Start();
    }

private:
    bool Create(DWORD type, const std::wstring& binary) {
        UniqueServiceHandle manager = OpenManager();
        UniqueServiceHandle service(::CreateServiceW(manager.get(), name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS,
                                                     type, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binary.c_str(),
                                                     nullptr, nullptr, nullptr, nullptr, nullptr));
        return service.valid();
    }

    bool Start() {
        UniqueServiceHandle manager = OpenManager();
        UniqueServiceHandle service(::OpenServiceW(manager.get(), name_.c_str(), SERVICE_ALL_ACCESS));
        if (!service || !::StartServiceW(service.get(), 0, nullptr)) return false;
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (ServiceState(name_) == SERVICE_RUNNING) return true;
            ::Sleep(50);
        }
        return false;
    }

    std::wstring name_;
};

std::string UnlockLine(const std::string& name) {
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08lx", static_cast<unsigned long>(kDriverUnlockControlCode));
    return name + " ioctl " + code;
}

const wchar_t* const kAllDriverNames[] = {L"CorvaniteLock", L"CorvaniteLockWp", L"ZurevureDezadavEr",
                                          L"RivirezirezoDO"};

enum class DriverState { kRunning, kStopped, kMissing };

class DriverRemoval : public ::testing::Test {
protected:
    void SetUp() override {
        // Left over from an interrupted run, a driver would change what "missing" means.
        for (const wchar_t* name : kAllDriverNames) RemoveServiceCompletely(name);
    }

    // Registers the fake driver under `name` from a copy of its own (a driver
    // image is loaded once, so each service needs its own file).
    void Install(const std::wstring& name, DriverState state, bool holdRequests = false) {
        if (state == DriverState::kMissing) return;
        services_.push_back(std::make_unique<ScopedService>(name));
        std::wstring image = dir_.Join(name + L".sys");
        ASSERT_TRUE(::CopyFileW(Fixture(L"fake_driver.sys").c_str(), image.c_str(), FALSE));
        ASSERT_TRUE(services_.back()->InstallDriver(image, record_, holdRequests, state == DriverState::kRunning))
            << text::ToUtf8(name);
    }

    std::vector<std::string> Record() const { return RecordLines(record_); }

    // Declared first: the drivers are unloaded before their image files go.
    ScopedTempDir dir_;
    std::wstring record_ = dir_.Join(L"record.txt");
    LogCapture log_;
    std::vector<std::unique_ptr<ScopedService>> services_;
};

TEST_F(DriverRemoval, ProtectionDriversAreUnlockedStoppedAndDeletedInOrderThenTheWallpaperDriver) {
    for (const wchar_t* name : kAllDriverNames) ASSERT_NO_FATAL_FAILURE(Install(name, DriverState::kRunning));

    RemoveProtectionDrivers();

    EXPECT_EQ(log_.Lines(), (std::vector<std::wstring>{L"delete CorvaniteLock", L"delete CorvaniteLockWp",
                                                        L"delete ZurevureDezadavEr"}));
    std::vector<std::string> loads = {"CorvaniteLock load", "CorvaniteLockWp load", "ZurevureDezadavEr load",
                                      "RivirezirezoDO load"};
    std::vector<std::string> expected = loads;
    for (const char* name : {"CorvaniteLock", "CorvaniteLockWp", "ZurevureDezadavEr"}) {
        expected.push_back(UnlockLine(name));
        expected.push_back(std::string(name) + " unload");
    }
    EXPECT_EQ(Record(), expected);
    for (const wchar_t* name : kProtectionDriverNames) EXPECT_FALSE(ServiceExists(name)) << text::ToUtf8(name);
    EXPECT_EQ(ServiceState(kDynamicWallpaperDriverName), static_cast<DWORD>(SERVICE_RUNNING));

    RemoveDynamicWallpaperDriver();

    EXPECT_EQ(log_.Lines().size(), 3u) << "the wallpaper driver's removal logs nothing of its own";
    expected.push_back(UnlockLine("RivirezirezoDO"));
    expected.push_back("RivirezirezoDO unload");
    EXPECT_EQ(Record(), expected);
    EXPECT_FALSE(ServiceExists(kDynamicWallpaperDriverName));
}

struct DriverStatesCase {
    const char* label;
    DriverState states[3];  // of CorvaniteLock, CorvaniteLockWp, ZurevureDezadavEr
    std::vector<std::wstring> lines;
};
void PrintTo(const DriverStatesCase& c, std::ostream* os) { *os << c.label; }

class DriverStates : public DriverRemoval, public ::testing::WithParamInterface<DriverStatesCase> {};

// Only a deletion that fails adds the "fail" line; a driver that is installed
// but not running cannot be stopped, yet its entry is deleted.
TEST_P(DriverStates, FailLineOnlyWhereTheDeletionFailed) {
    const DriverStatesCase& c = GetParam();
    for (int i = 0; i < 3; ++i) ASSERT_NO_FATAL_FAILURE(Install(kProtectionDriverNames[i], c.states[i]));

    RemoveProtectionDrivers();

    EXPECT_EQ(log_.Lines(), c.lines);
    for (const wchar_t* name : kProtectionDriverNames) EXPECT_FALSE(ServiceExists(name)) << text::ToUtf8(name);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, DriverStates,
    ::testing::Values(
        DriverStatesCase{"none installed",
                         {DriverState::kMissing, DriverState::kMissing, DriverState::kMissing},
                         {L"delete CorvaniteLock fail", L"delete CorvaniteLock", L"delete CorvaniteLockWp fail",
                          L"delete CorvaniteLockWp", L"delete ZurevureDezadavEr fail", L"delete ZurevureDezadavEr"}},
        DriverStatesCase{"running, stopped, missing",
                         {DriverState::kRunning, DriverState::kStopped, DriverState::kMissing},
                         {L"delete CorvaniteLock", L"delete CorvaniteLockWp", L"delete ZurevureDezadavEr fail",
                          L"delete ZurevureDezadavEr"}},
        DriverStatesCase{"missing, running, stopped",
                         {DriverState::kMissing, DriverState::kRunning, DriverState::kStopped},
                         {L"delete CorvaniteLock fail", L"delete CorvaniteLock", L"delete CorvaniteLockWp",
                          L"delete ZurevureDezadavEr"}}));

TEST_F(DriverRemoval, StopAndDeleteReportWhatTheServiceManagerDid) {
    ASSERT_NO_FATAL_FAILURE(Install(L"CorvaniteLock", DriverState::kRunning));
    ASSERT_NO_FATAL_FAILURE(Install(L"CorvaniteLockWp", DriverState::kStopped));

    EXPECT_TRUE(StopDriver(L"CorvaniteLock"));
    EXPECT_EQ(ServiceState(L"CorvaniteLock"), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_FALSE(StopDriver(L"CorvaniteLockWp")) << "not running";
    EXPECT_FALSE(StopDriver(L"ZurevureDezadavEr")) << "not installed";
    EXPECT_EQ(Record(), (std::vector<std::string>{"CorvaniteLock load", UnlockLine("CorvaniteLock"),
                                                  "CorvaniteLock unload"}));

    EXPECT_TRUE(DeleteDriver(L"CorvaniteLockWp"));
    EXPECT_FALSE(ServiceExists(L"CorvaniteLockWp"));
    EXPECT_FALSE(DeleteDriver(L"CorvaniteLockWp")) << "already deleted";
    EXPECT_FALSE(DeleteDriver(L"ZurevureDezadavEr"));
    EXPECT_TRUE(log_.Lines().empty());
}

// Names that are not plain service names never reach a device or the manager.
TEST_F(DriverRemoval, NamesThatAreNotPlainServiceNamesAreRefused) {
    ASSERT_NO_FATAL_FAILURE(Install(L"CorvaniteLock", DriverState::kRunning));
    for (const wchar_t* name : {L"", L".", L"..\\CorvaniteLock", L"CorvaniteLock\\", L"C:CorvaniteLock",
                                L"pipe/CorvaniteLock", L"Corvanite\nLock"}) {
        EXPECT_FALSE(StopDriver(name)) << text::ToUtf8(name);
        EXPECT_FALSE(DeleteDriver(name)) << text::ToUtf8(name);
    }
    EXPECT_EQ(Record(), (std::vector<std::string>{"CorvaniteLock load"}));
    EXPECT_EQ(ServiceState(L"CorvaniteLock"), static_cast<DWORD>(SERVICE_RUNNING));
}

// A driver that keeps the unlock request (and ignores its cancellation) costs a
// bounded wait; the stop control follows and unloads it.
TEST_F(DriverRemoval, UnlockRequestThatIsNeverAnsweredDoesNotHoldTheStop) {
    ASSERT_NO_FATAL_FAILURE(Install(L"CorvaniteLock", DriverState::kRunning, true));

    EXPECT_TRUE(StopDriver(L"CorvaniteLock"));
    EXPECT_TRUE(DeleteDriver(L"CorvaniteLock"));

    EXPECT_EQ(Record(), (std::vector<std::string>{"CorvaniteLock load", UnlockLine("CorvaniteLock"),
                                                  "CorvaniteLock unload"}));
    EXPECT_FALSE(ServiceExists(L"CorvaniteLock"));
}

struct StubbornServiceCase {
    const char* mode;
    bool stopAccepted;
    std::vector<std::string> controls;  // what the service saw after starting
    DWORD stateAfterStop;
};
void PrintTo(const StubbornServiceCase& c, std::ostream* os) { *os << c.mode; }

class StubbornServices : public DriverRemoval, public ::testing::WithParamInterface<StubbornServiceCase> {};

// A service that never reaches "stopped" or refuses the stop control: the stop
// returns after a bounded wait, and the entry is still marked for deletion.
TEST_P(StubbornServices, StopReturnsAndTheEntryIsDeletedAllTheSame) {
    const StubbornServiceCase& c = GetParam();
    const std::wstring name = L"LumoraTestStubbornService";
    ScopedService service(name);
    ASSERT_TRUE(service.InstallProgram(record_, text::FromUtf8(c.mode).c_str()));

    EXPECT_EQ(StopDriver(name), c.stopAccepted);
    EXPECT_EQ(ServiceState(name), c.stateAfterStop);
    EXPECT_TRUE(DeleteDriver(name));

    std::vector<std::string> expected = {"LumoraTestStubbornService running"};
    for (const std::string& control : c.controls) expected.push_back("LumoraTestStubbornService " + control);
    EXPECT_EQ(Record(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, StubbornServices,
    ::testing::Values(StubbornServiceCase{"stops", true, {"control 1"}, SERVICE_STOPPED},
                      StubbornServiceCase{"stays-pending", true, {"control 1"}, SERVICE_STOP_PENDING},
                      StubbornServiceCase{"refuses", false, {}, SERVICE_RUNNING}));

// ---------------------------------------------------------------------------
// Plug-in launcher and home-page helper

// What a recorder program wrote when it started.
struct RecordedStart {
    std::wstring program;
    std::wstring commandLine;
    unsigned long startupFlags = 0;
    unsigned show = 0;
};

std::vector<RecordedStart> RecordedStarts(const std::wstring& file) {
    std::vector<RecordedStart> starts;
    for (const std::string& line : RecordLines(file)) {
        std::vector<std::string> fields;
        size_t begin = 0;
        for (size_t tab; (tab = line.find('\t', begin)) != std::string::npos; begin = tab + 1)
            fields.push_back(line.substr(begin, tab - begin));
        fields.push_back(line.substr(begin));
        if (fields.size() != 5 || fields[0] != "start") continue;
        RecordedStart start;
        start.program = text::FromUtf8(fields[1]);
        start.commandLine = text::FromUtf8(fields[2]);
        start.startupFlags = std::stoul(fields[3]);
        start.show = static_cast<unsigned>(std::stoul(fields[4]));
        starts.push_back(start);
    }
    return starts;
}

// The arguments after the quoted program path.
std::wstring ArgumentsOf(const std::wstring& commandLine) {
    if (commandLine.empty() || commandLine[0] != L'"') return commandLine;
    size_t close = commandLine.find(L'"', 1);
    if (close == std::wstring::npos) return std::wstring();
    size_t begin = commandLine.find_first_not_of(L' ', close + 1);
    return begin == std::wstring::npos ? std::wstring() : commandLine.substr(begin);
}

// Recorder programs write to a scratch file named by the environment they inherit.
class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::SetEnvironmentVariableW(L"LUMORA_RECORD_FILE", record_.c_str());
        ::SetEnvironmentVariableW(L"LUMORA_HOLD_EVENT", nullptr);
    }
    void TearDown() override {
        if (release_) {
            ::SetEvent(release_.get());
            // The held program ends before its folder is removed.
            for (int attempt = 0; attempt < 200 && !HasEndLine(); ++attempt) ::Sleep(50);
        }
        ::SetEnvironmentVariableW(L"LUMORA_RECORD_FILE", nullptr);
        ::SetEnvironmentVariableW(L"LUMORA_HOLD_EVENT", nullptr);
    }

    // Keeps the next recorder program running until the test ends.
    void HoldRecorders() {
        std::wstring event = L"LumoraDriverTestHold" + std::to_wstring(::GetCurrentProcessId());
        release_.reset(::CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
        ASSERT_TRUE(release_.valid());
        ::SetEnvironmentVariableW(L"LUMORA_HOLD_EVENT", event.c_str());
    }

    bool HasEndLine() const {
        for (const std::string& line : RecordLines(record_))
            if (line.rfind("end\t", 0) == 0) return true;
        return false;
    }

    void CopyFixture(const wchar_t* fixture, const std::wstring& to) {
        ::SHCreateDirectoryExW(nullptr, path::Parent(to).c_str(), nullptr);
        ASSERT_TRUE(::CopyFileW(Fixture(fixture).c_str(), to.c_str(), FALSE)) << text::ToUtf8(to);
    }

    ScopedTempDir dir_;
    std::wstring record_ = dir_.Join(L"record.txt");
    std::wstring installDir_ = dir_.Join(L"Lumora");
    LogCapture log_;
    win::UniqueHandle release_;
};

const char kPluginConfig[] = "[plugin_xd]\r\nuninstall_cmd_param=/uninstall /silent /from=\"lumora desk\"\r\n";
const wchar_t kPluginCommand[] = L"/uninstall /silent /from=\"lumora desk\"";

class PluginTaskTest : public RecorderTest {
protected:
    void SetUp() override {
        RecorderTest::SetUp();
        ::CreateDirectoryW(installDir_.c_str(), nullptr);
        DeleteLauncherKey();
    }
    void TearDown() override {
        RecorderTest::TearDown();
        DeleteLauncherKey();
    }

    static void DeleteLauncherKey() { ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPluginLauncherKey, KEY_WOW64_32KEY, 0); }

    void WriteConfig(const char* text) {
        ASSERT_TRUE(testing_support::WriteFileBytes(path::Join(installDir_, L"config.set"), text));
    }
    void SetLauncher(const std::wstring& value) {
        win::UniqueRegKey key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPluginLauncherKey, 0, nullptr, 0,
                                    KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(::RegSetValueExW(key.get(), kPluginLauncherValue, 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(value.c_str()),
                                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    // The launcher in a folder of the sibling product.
    std::wstring launcher_ = dir_.Join(L"Viru\\PluginLauncher.exe");
};

struct PluginCase {
    const char* label;
    const char* config;      // "config.set"; null: no file
    const wchar_t* fixture;  // copied as the launcher; null: nothing there
    const wchar_t* launcherValue;  // the "Launcher" value: null none, "" the copied launcher's path
    bool runs;
    bool signFailLine;
};
void PrintTo(const PluginCase& c, std::ostream* os) { *os << c.label; }

class PluginTaskCases : public PluginTaskTest, public ::testing::WithParamInterface<PluginCase> {};

TEST_P(PluginTaskCases, LauncherRunsOnlyWhenConfiguredAndSigned) {
    const PluginCase& c = GetParam();
    if (c.config) {
        ASSERT_NO_FATAL_FAILURE(WriteConfig(c.config));
    }
    if (c.fixture) {
        ASSERT_NO_FATAL_FAILURE(CopyFixture(c.fixture, launcher_));
    }
    if (c.launcherValue) {
        ASSERT_NO_FATAL_FAILURE(SetLauncher(*c.launcherValue ? c.launcherValue : launcher_));
    }

    CPluginTask task;
    EXPECT_EQ(task.StartTask(installDir_), c.runs);

    std::vector<std::wstring> lines;
    if (c.signFailLine) lines.push_back(L"file[" + launcher_ + L"] check sign fail.");
    lines.push_back(c.runs ? L"CPluginTask::StartTask result=1 code=" + std::to_wstring(kRecorderExitCode)
                           : L"CPluginTask::StartTask result=0 code=-1");
    EXPECT_EQ(log_.Lines(), lines);

    std::vector<RecordedStart> starts = RecordedStarts(record_);
    if (c.runs) {
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0].program, launcher_);
        EXPECT_EQ(ArgumentsOf(starts[0].commandLine), kPluginCommand);
    } else {
        EXPECT_TRUE(starts.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Plugin, PluginTaskCases,
    ::testing::Values(
        PluginCase{"no configuration", nullptr, L"recorder-signed.exe", L"", false, false},
        PluginCase{"no uninstall command", "[plugin_xd]\r\nother=1\r\n", L"recorder-signed.exe", L"", false, false},
        PluginCase{"no launcher value", kPluginConfig, L"recorder-signed.exe", nullptr, false, false},
        PluginCase{"signed launcher", kPluginConfig, L"recorder-signed.exe", L"", true, false},
        // Started elevated with the product's rights: only a publisher's own launcher runs.
        PluginCase{"unsigned launcher", kPluginConfig, L"recorder-unsigned.exe", L"", false, true},
        PluginCase{"tampered launcher", kPluginConfig, L"recorder-tampered.exe", L"", false, true},
        PluginCase{"launcher file missing", kPluginConfig, nullptr, L"", false, false},
        PluginCase{"launcher named without a folder", kPluginConfig, L"recorder-signed.exe",
                   L"recorder-signed.exe", false, false}));

TEST_F(PluginTaskTest, CommandLineLongerThanAllowedIsNotRun) {
    std::string config = "[plugin_xd]\r\nuninstall_cmd_param=/uninstall " + std::string(300, 'x') + "\r\n";
    ASSERT_NO_FATAL_FAILURE(WriteConfig(config.c_str()));
    ASSERT_NO_FATAL_FAILURE(CopyFixture(L"recorder-signed.exe", launcher_));
    ASSERT_NO_FATAL_FAILURE(SetLauncher(launcher_));

    CPluginTask task;
    EXPECT_FALSE(task.StartTask(installDir_));
    EXPECT_EQ(log_.Lines(), std::vector<std::wstring>{L"CPluginTask::StartTask result=0 code=-1"});
    EXPECT_TRUE(RecordedStarts(record_).empty());
}

// A launcher that outlives its wait still counts as started; its exit code is
// the "still active" code at that moment.
TEST_F(PluginTaskTest, LauncherOutlivingTheWaitIsLeftRunning) {
    ASSERT_NO_FATAL_FAILURE(WriteConfig(kPluginConfig));
    ASSERT_NO_FATAL_FAILURE(CopyFixture(L"recorder-signed.exe", launcher_));
    ASSERT_NO_FATAL_FAILURE(SetLauncher(launcher_));
    ASSERT_NO_FATAL_FAILURE(HoldRecorders());

    CPluginTask task;
    EXPECT_TRUE(task.StartTask(installDir_));
    EXPECT_EQ(log_.Lines(), std::vector<std::wstring>{L"CPluginTask::StartTask result=1 code=" +
                                                      std::to_wstring(STILL_ACTIVE)});
    EXPECT_FALSE(HasEndLine());
}

class HomePageHelperTest : public RecorderTest {
protected:
    std::wstring helper_ = path::Join(installDir_, L"wallpaperhelper\\guardhp.exe");
};

TEST_F(HomePageHelperTest, SignedHelperRunsHiddenWithTheUninstallSwitches) {
    ASSERT_NO_FATAL_FAILURE(CopyFixture(L"recorder-signed.exe", helper_));

    EXPECT_TRUE(RunUninstallDesk(installDir_));

    std::vector<RecordedStart> starts = RecordedStarts(record_);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].program, helper_);
    EXPECT_EQ(starts[0].commandLine,
              L"\"" + helper_ + L"\" /UnInstallDesk /LockHomePagePath=\"" + helper_ + L"\" /Pid=tapis");
    EXPECT_TRUE(starts[0].startupFlags & STARTF_USESHOWWINDOW);
    EXPECT_EQ(starts[0].show, static_cast<unsigned>(SW_HIDE));
    EXPECT_TRUE(log_.Lines().empty());
}

class HomePageHelperRefused : public HomePageHelperTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(HomePageHelperRefused, UntrustedOrMissingHelperIsNotStarted) {
    if (*GetParam()) {
        ASSERT_NO_FATAL_FAILURE(CopyFixture(GetParam(), helper_));
    }

    EXPECT_FALSE(RunUninstallDesk(installDir_));

    EXPECT_TRUE(RecordedStarts(record_).empty());
    EXPECT_TRUE(log_.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(HomePage, HomePageHelperRefused,
                         ::testing::Values(L"recorder-unsigned.exe", L"recorder-tampered.exe", L""));

TEST_F(HomePageHelperTest, HelperOutlivingTheWaitIsLogged) {
    ASSERT_NO_FATAL_FAILURE(CopyFixture(L"recorder-signed.exe", helper_));
    ASSERT_NO_FATAL_FAILURE(HoldRecorders());

    EXPECT_TRUE(RunUninstallDesk(installDir_));

    EXPECT_EQ(log_.Lines(), std::vector<std::wstring>{kHeldTimeoutLine});
    EXPECT_EQ(RecordedStarts(record_).size(), 1u);
    EXPECT_FALSE(HasEndLine());
}

}  // namespace
