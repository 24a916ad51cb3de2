// Companion calls played for real under Wine: signed and unsigned fixture
// programs and libraries (tests/fixtures/companions) copied into a scratch
// installation directory, registry lists under the product's App Paths key,
// and every call seen through the records the fixtures append to a file.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <functional>
#include <string>
#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "config/SetupConfig.h"
#include "engine/CompanionPrograms.h"
#include "engine/FileRemoval.h"
#include "engine/PathSafety.h"
#include "engine/ProductInfo.h"
#include "engine/ProgramRunner.h"
#include "sysinfo/SystemChecks.h"
#include "support/TestSupport.h"

using testing_support::ScopedTempDir;
using testing_support::UnixPath;

namespace {

const wchar_t kReleaseEvent[] = L"LumoraCompanionRelease";
const wchar_t kAppPathKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Kelwpapp.exe";
const wchar_t kTrustedName[] = L"Lumora Studio Co., Ltd.";
const wchar_t kSecondName[] = L"Orbis Interactive Limited";
constexpr DWORD kSettleMs = 20000;  // bound for a child to appear or end; never a measured time

std::string Narrow(const std::wstring& wide) { return text::ToUtf8(wide); }

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

enum class Signing { Unsigned, Trusted, Second };

// A built fixture: "companion_simple.dll", "companion_interface.dll",
// "companion_gamecenter.dll", "companion_program.exe" or "companion_rundll.exe".
std::wstring FixturePath(Signing signing, const wchar_t* name) {
    const wchar_t* folder = signing == Signing::Unsigned ? L"unsigned" : signing == Signing::Trusted ? L"signed"
                                                                                                      : L"second";
    return path::Join(testing_support::BuildDir(), std::wstring(L"testdata\\companions\\") + folder + L"\\" + name);
}

const wchar_t kSimple[] = L"companion_simple.dll";
const wchar_t kInterface[] = L"companion_interface.dll";
const wchar_t kGameCenter[] = L"companion_gamecenter.dll";
const wchar_t kProgram[] = L"companion_program.exe";
const wchar_t kRundll[] = L"companion_rundll.exe";

// One line of the record file: what was called, in which module and process.
struct Record {
    std::wstring kind;      // "dll", "iface", "exe" or "rundll"
    std::wstring module;    // the recording module's full path
    DWORD pid = 0;
    std::wstring detail;    // export name, "cap=N", "start" or "end"
    std::wstring argument;  // export argument, or the arguments after the program name
};

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (size_t at = text.find(separator); at != std::wstring::npos; at = text.find(separator, start)) {
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

bool SameFile(const std::wstring& a, const std::wstring& b) { return Upper(a) == Upper(b); }

// A project configuration with only a companion list.
class FakeConfig : public ISetupConfig {
public:
    std::vector<CallProgramEntry> programs;

    bool InitConfig(HINSTANCE, UINT, const wchar_t*, const wchar_t*) override { return true; }
    int GetMinimizeSpace() override { return 0; }
    IUninstallRootDirList* GetRootDirList() override { return nullptr; }
    bool GetVersion(wchar_t*, int) override { return false; }
    bool GetMainApp(wchar_t*, int) override { return false; }
    HKEY GetRegRoot() override { return HKEY_LOCAL_MACHINE; }
    bool GetRegSubKey(wchar_t*, int) override { return false; }
    bool GetRegValueName(wchar_t*, int) override { return false; }
    int GetCloseProgramCount() override { return 0; }
    bool GetCloseProgram(int, CloseProgramEntry*) override { return false; }
    bool GetCheckFile(int, wchar_t*, int) override { return false; }
    int GetCheckFileCount() override { return 0; }
    bool GetInstProgram(int, CallProgramEntry*) override { return false; }
    int GetInstProgramCount() override { return 0; }
    bool GetUninstProgram(int index, CallProgramEntry* entry) override {
        if (entry == nullptr) return false;
        *entry = CallProgramEntry{};
        if (index < 0 || index >= static_cast<int>(programs.size())) return false;
        *entry = programs[static_cast<size_t>(index)];
        return true;
    }
    int GetUninstProgramCount() override { return static_cast<int>(programs.size()); }
    int GetFileCount() override { return 0; }
};

void CopyField(wchar_t (&field)[MAX_PATH], const std::wstring& value) {
    wcsncpy(field, value.c_str(), MAX_PATH - 1);
    field[MAX_PATH - 1] = L'\0';
}

struct ProgramSpec {
    const wchar_t* fileName;
    const wchar_t* type;
    const wchar_t* funcName = L"";
    const wchar_t* para = L"";
    const wchar_t* cmdline = L"";
    const wchar_t* signType = L"";
    DWORD waitTime = 0;
    DWORD sync = 1;
};

CallProgramEntry MakeEntry(const ProgramSpec& spec) {
    CallProgramEntry entry = {};
    CopyField(entry.fileName, spec.fileName);
    CopyField(entry.type, spec.type);
    CopyField(entry.funcName, spec.funcName);
    CopyField(entry.para, spec.para);
    CopyField(entry.cmdline, spec.cmdline);
    CopyField(entry.signType, spec.signType);
    entry.waitTime = spec.waitTime;
    entry.sync = spec.sync;
    return entry;
}

// A registry list under the product's App Paths key (HKLM, 32-bit view).
// Keys that did not exist are created and, when empty again, deleted; only
// the values written here are removed.
class ScopedListKey {
public:
    explicit ScopedListKey(const wchar_t* listKeyPath) : keyPath_(listKeyPath) {
        createdParent_ = Create(kAppPathKey, parent_);
        createdKey_ = Create(keyPath_.c_str(), key_);
    }
    ~ScopedListKey() {
        for (const std::wstring& name : written_) ::RegDeleteValueW(key_.get(), name.c_str());
        if (createdKey_ && IsEmpty(key_.get())) {
            key_.reset();
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyPath_.c_str(), KEY_WOW64_32KEY, 0);
        }
        key_.reset();
        if (createdParent_ && IsEmpty(parent_.get())) {
            parent_.reset();
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kAppPathKey, KEY_WOW64_32KEY, 0);
        }
    }
    ScopedListKey(const ScopedListKey&) = delete;
    ScopedListKey& operator=(const ScopedListKey&) = delete;

    void SetString(const std::wstring& name, const std::wstring& value) {
        SetRaw(name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    void SetRaw(const std::wstring& name, DWORD type, const void* data, DWORD bytes) {
        ASSERT_TRUE(key_);
        ASSERT_EQ(::RegSetValueExW(key_.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes),
                  ERROR_SUCCESS)
            << Narrow(name);
        written_.push_back(name);
    }

private:
    static bool Create(const wchar_t* path, win::UniqueRegKey& key) {
        DWORD disposition = 0;
        LONG status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                                        nullptr, key.put(), &disposition);
        EXPECT_EQ(status, ERROR_SUCCESS) << Narrow(path);
        return status == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
    }
    static bool IsEmpty(HKEY key) {
        DWORD subKeys = 1, values = 1;
        return key && ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
               subKeys == 0 && values == 0;
    }

    std::wstring keyPath_;
    win::UniqueRegKey parent_;
    win::UniqueRegKey key_;
    bool createdParent_ = false;
    bool createdKey_ = false;
    std::vector<std::wstring> written_;
};

// The Unix side of the prefix: Wine shows a Unix symbolic link to a folder as
// a directory with the reparse-point attribute, which is what a junction or a
// directory link looks like to the program.
bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
    std::string unixTarget = UnixPath(target);
    std::string unixParent = UnixPath(path::Parent(link));
    if (unixTarget.empty() || unixParent.empty()) return false;
    std::wstring commandLine = L"/bin/ln -s \"" + text::FromUtf8(unixTarget) + L"\" \"" + text::FromUtf8(unixParent) +
                               L"/" + path::FileName(link) + L"\"";
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(L"Z:\\bin\\ln", buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        return false;
    }
    win::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    // Wine does not tie the process handle to a Unix program's end: wait for its result.
    for (int waited = 0; waited < 10000; waited += 10) {
        if (IsReparsePoint(::GetFileAttributesW(link.c_str()))) return true;
        ::Sleep(10);
    }
    return false;
}

class CompanionTest : public ::testing::Test {
protected:
    void SetUp() override {
        installDir_ = root_.Join(L"Lumora");
        recordFile_ = root_.Join(L"records.txt");
        logFile_ = root_.Join(L"companions.log");
        ASSERT_TRUE(::CreateDirectoryW(installDir_.c_str(), nullptr));
        ASSERT_TRUE(::SetEnvironmentVariableW(L"LUMORA_RECORD_FILE", recordFile_.c_str()));
        release_.reset(::CreateEventW(nullptr, TRUE, FALSE, kReleaseEvent));
        ASSERT_TRUE(release_);
        ::ResetEvent(release_.get());
        CSmartLogger::Process().SetLogPath(logFile_);
    }

    void TearDown() override {
        // Blocked companions go on and end; none outlives the test.
        ::SetEvent(release_.get());
        for (const Record& record : Records()) WaitForProcess(record.pid);
        CSmartLogger::Process().SetLogPath(std::wstring());
        ::SetEnvironmentVariableW(L"LUMORA_RECORD_FILE", nullptr);
    }

    static void WaitForProcess(DWORD pid) {
        if (pid == ::GetCurrentProcessId()) return;
        win::UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
        if (process && ::WaitForSingleObject(process.get(), kSettleMs) != WAIT_OBJECT_0) {
            ::TerminateProcess(process.get(), 1);
        }
    }

    // Copies a fixture into the installation directory as `relative`.
    std::wstring Place(Signing signing, const wchar_t* fixture, const std::wstring& relative) {
        std::wstring target = path::Join(installDir_, relative);
        std::wstring parent = path::Parent(target);
        for (size_t at = installDir_.size() + 1; at <= parent.size(); ++at) {
            if (at == parent.size() || parent[at] == L'\\') ::CreateDirectoryW(parent.substr(0, at).c_str(), nullptr);
        }
        std::wstring source = FixturePath(signing, fixture);
        EXPECT_TRUE(::CopyFileW(source.c_str(), target.c_str(), FALSE)) << Narrow(source);
        return target;
    }

    std::vector<Record> Records() const {
        std::wstring text = text::FromUtf8(testing_support::ReadFileBytes(recordFile_));
        std::vector<Record> records;
        for (const std::wstring& line : Split(text, L'\n')) {
            std::vector<std::wstring> fields = Split(line, L'\t');
            if (fields.size() < 5) continue;
            Record record;
            record.kind = fields[0];
            record.module = fields[1];
            record.pid = static_cast<DWORD>(std::wcstoul(fields[2].c_str(), nullptr, 10));
            record.detail = fields[3];
            // The argument may itself hold tabs: it is the rest of the line.
            record.argument = line.substr(fields[0].size() + fields[1].size() + fields[2].size() + fields[3].size() + 4);
            records.push_back(record);
        }
        return records;
    }

    // Records made by the module at `path`.
    std::vector<Record> RecordsOf(const std::wstring& path) const {
        std::vector<Record> all = Records(), mine;
        for (const Record& record : all) {
            if (SameFile(record.module, path)) mine.push_back(record);
        }
        return mine;
    }

    // The program starts recorded by `path`: their argument texts, in order.
    std::vector<std::wstring> StartsOf(const std::wstring& path) const {
        std::vector<std::wstring> starts;
        for (const Record& record : RecordsOf(path)) {
            if (record.detail == L"start") starts.push_back(record.argument);
        }
        return starts;
    }

    bool EndedRecorded(const std::wstring& path) const {
        for (const Record& record : RecordsOf(path)) {
            if (record.detail == L"end") return true;
        }
        return false;
    }

    // Waits (bounded) until `path` has recorded `count` starts.
    bool WaitForStarts(const std::wstring& path, size_t count) const {
        for (DWORD waited = 0; waited < kSettleMs; waited += 20) {
            if (StartsOf(path).size() >= count) return true;
            ::Sleep(20);
        }
        return false;
    }

    // Lets blocked companions go and waits for every recorded one to end.
    void ReleaseCompanions() {
        ::SetEvent(release_.get());
        for (const Record& record : Records()) WaitForProcess(record.pid);
    }

    std::wstring LogText() const {
        std::string bytes = testing_support::ReadFileBytes(logFile_);
        if (bytes.empty()) return std::wstring();
        int length = ::MultiByteToWideChar(936, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        std::wstring wide(static_cast<size_t>(length), L'\0');
        ::MultiByteToWideChar(936, 0, bytes.data(), static_cast<int>(bytes.size()), &wide[0], length);
        return wide;
    }
    // Where a whole log line (after its time stamp) reads `line`; npos when absent.
    size_t LinePosition(const std::wstring& line) const { return LogText().find(L" " + line + L"\r\n"); }
    bool HasLine(const std::wstring& line) const { return LinePosition(line) != std::wstring::npos; }
    bool LogMentions(const std::wstring& part) const { return LogText().find(part) != std::wstring::npos; }

    ScopedTempDir root_;
    std::wstring installDir_;
    std::wstring recordFile_;
    std::wstring logFile_;
    win::UniqueHandle release_;
};

// ---------------------------------------------------------------------------
// RunProgram and RunExeLogged

TEST_F(CompanionTest, RunProgramRefusesBadPathsAndUntrustedPrograms) {
    std::wstring unsignedProgram = Place(Signing::Unsigned, kProgram, L"bin\\unsigned.exe");
    std::wstring folder = installDir_ + L"\\bin";
    std::wstring tooLong = installDir_ + L"\\" + std::wstring(MAX_PATH, L'a') + L".exe";
    struct Case {
        const char* label;
        const wchar_t* path;
        bool check;
    } cases[] = {
        {"null path", nullptr, false},
        {"empty path", L"", false},
        {"missing file", L"C:\\no\\such\\companion.exe", false},
        {"over-long path", tooLong.c_str(), false},
        {"a folder", folder.c_str(), false},
        {"unsigned, checked", unsignedProgram.c_str(), true},
    };
    for (const Case& c : cases) {
        DWORD exitCode = 12345;
        EXPECT_FALSE(RunProgram(c.path, L"--exit=3", SW_SHOWNORMAL, c.check, true, &exitCode, kSettleMs)) << c.label;
        EXPECT_EQ(exitCode, 12345u) << c.label;
    }
    EXPECT_TRUE(Records().empty());
}

TEST_F(CompanionTest, RunProgramStartsWaitsAndReportsTheExitCode) {
    std::wstring unsignedProgram = Place(Signing::Unsigned, kProgram, L"bin\\unsigned.exe");
    std::wstring signedProgram = Place(Signing::Trusted, kProgram, L"bin\\signed.exe");

    DWORD exitCode = 0;
    EXPECT_TRUE(RunProgram(unsignedProgram.c_str(), L"--exit=7 one", SW_SHOWNORMAL, false, true, &exitCode,
                           kSettleMs));
    EXPECT_EQ(exitCode, 7u);
    EXPECT_TRUE(RunProgram(signedProgram.c_str(), L"--exit=9 two", SW_SHOWNORMAL, true, true, &exitCode, kSettleMs));
    EXPECT_EQ(exitCode, 9u);

    EXPECT_EQ(StartsOf(unsignedProgram), std::vector<std::wstring>{L"--exit=7 one"});
    EXPECT_EQ(StartsOf(signedProgram), std::vector<std::wstring>{L"--exit=9 two"});
    // Waited for: both ended before RunProgram returned.
    EXPECT_TRUE(EndedRecorded(unsignedProgram));
    EXPECT_TRUE(EndedRecorded(signedProgram));
}

TEST_F(CompanionTest, RunProgramSurvivesACrashingProgram) {
    std::wstring program = Place(Signing::Trusted, kProgram, L"bin\\crash.exe");
    DWORD exitCode = 0;
    EXPECT_TRUE(RunProgram(program.c_str(), L"--crash", SW_SHOWNORMAL, true, true, &exitCode, kSettleMs));
    EXPECT_EQ(exitCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(StartsOf(program).size(), 1u);
    EXPECT_FALSE(EndedRecorded(program));
}

TEST_F(CompanionTest, RunExeLoggedLogsTheCallAndItsResult) {
    std::wstring program = Place(Signing::Trusted, kProgram, L"bin\\helper.exe");
    std::wstring unsignedProgram = Place(Signing::Unsigned, kProgram, L"bin\\plain.exe");

    EXPECT_TRUE(RunExeLogged(program, L"--exit=0 /uninstall /from=tapis", true, true, kSettleMs));
    EXPECT_FALSE(RunExeLogged(unsignedProgram, L"/uninstall", true, true, kSettleMs));
    EXPECT_FALSE(RunExeLogged(installDir_ + L"\\bin\\missing.exe", L"/uninstall", true, true, kSettleMs));

    size_t begin = LinePosition(L"call exe begin, path=[" + program + L"] cmd=[--exit=0 /uninstall /from=tapis]");
    size_t end = LinePosition(L"call exe return [1], path=[" + program +
                              L"], cmd=[--exit=0 /uninstall /from=tapis], sync[1]");
    ASSERT_NE(begin, std::wstring::npos) << Narrow(LogText());
    ASSERT_NE(end, std::wstring::npos) << Narrow(LogText());
    EXPECT_LT(begin, end);
    EXPECT_EQ(StartsOf(program), std::vector<std::wstring>{L"--exit=0 /uninstall /from=tapis"});

    EXPECT_TRUE(HasLine(L"call exe return [0], path=[" + unsignedProgram + L"], cmd=[/uninstall], sync[1]"));
    EXPECT_TRUE(StartsOf(unsignedProgram).empty());
    EXPECT_FALSE(LogMentions(L"missing.exe"));
}

TEST_F(CompanionTest, RunExeLoggedEndsARunningCopyBeforeTheCleanUpRun) {
    std::wstring program = Place(Signing::Trusted, kProgram, L"bin\\resident.exe");
    testing_support::Child running = testing_support::StartChild(program, L"--block");
    ASSERT_TRUE(running.process);
    ASSERT_TRUE(WaitForStarts(program, 1));

    EXPECT_TRUE(RunExeLogged(program, L"--exit=0 clean", false, true, kSettleMs));

    // The running copy was terminated, not released: it never recorded its end.
    ASSERT_EQ(::WaitForSingleObject(running.process.get(), kSettleMs), WAIT_OBJECT_0);
    std::vector<Record> records = RecordsOf(program);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].pid, running.id);
    EXPECT_EQ(records[0].argument, L"--block");
    EXPECT_EQ(records[1].detail, L"start");
    EXPECT_EQ(records[1].argument, L"--exit=0 clean");
    EXPECT_NE(records[1].pid, running.id);
    EXPECT_EQ(records[2].detail, L"end");
    EXPECT_EQ(records[2].pid, records[1].pid);

    size_t kill = LinePosition(L"Kill process: " + Upper(program));
    size_t begin = LinePosition(L"call exe begin, path=[" + program + L"] cmd=[--exit=0 clean]");
    ASSERT_NE(kill, std::wstring::npos) << Narrow(LogText());
    ASSERT_NE(begin, std::wstring::npos);
    EXPECT_LT(kill, begin);
}

// ---------------------------------------------------------------------------
// Library calls

TEST_F(CompanionTest, CallDllExportChecksLoadsCallsAndUnloads) {
    std::wstring trusted = Place(Signing::Trusted, kSimple, L"lib\\trusted.dll");
    std::wstring untrusted = Place(Signing::Unsigned, kSimple, L"lib\\untrusted.dll");

    EXPECT_TRUE(CallDllExport(trusted.c_str(), "Uninst", L"hello", true));
    EXPECT_FALSE(CallDllExport(untrusted.c_str(), "Uninst", L"refused", true));
    EXPECT_TRUE(CallDllExport(untrusted.c_str(), "CleanUp", L"unchecked", false));
    EXPECT_FALSE(CallDllExport(trusted.c_str(), "NoSuchExport", L"x", true));
    EXPECT_FALSE(CallDllExport(nullptr, "Uninst", L"x", true));

    std::vector<Record> trustedCalls = RecordsOf(trusted);
    ASSERT_EQ(trustedCalls.size(), 1u);
    EXPECT_EQ(trustedCalls[0].detail, L"Uninst");
    EXPECT_EQ(trustedCalls[0].argument, L"hello");
    EXPECT_EQ(trustedCalls[0].pid, ::GetCurrentProcessId());
    std::vector<Record> untrustedCalls = RecordsOf(untrusted);
    ASSERT_EQ(untrustedCalls.size(), 1u);
    EXPECT_EQ(untrustedCalls[0].detail, L"CleanUp");
    EXPECT_EQ(untrustedCalls[0].argument, L"unchecked");

    EXPECT_TRUE(HasLine(L"file[" + untrusted + L"] check sign fail."));
    EXPECT_TRUE(HasLine(L"call dll func start, path=[" + trusted + L"]"));
    EXPECT_TRUE(HasLine(L"call dll fun end, path=[" + trusted + L"]"));
    EXPECT_EQ(::GetModuleHandleW(trusted.c_str()), nullptr);
    EXPECT_EQ(::GetModuleHandleW(untrusted.c_str()), nullptr);
}

TEST_F(CompanionTest, CallDllInterfaceExFollowsTheLengthTheExportAsksFor) {
    std::wstring library = Place(Signing::Trusted, kInterface, L"lib\\iface.dll");
    std::wstring alphabet;
    for (int i = 0; i < 500; ++i) alphabet.push_back(static_cast<wchar_t>(L'a' + i % 26));
    struct Case {
        const wchar_t* argument;
        std::wstring result;
        std::vector<std::wstring> capacities;
    } cases[] = {
        {L"plain", L"done:plain", {L"cap=260"}},
        {L"ask500", alphabet, {L"cap=260", L"cap=501"}},
        {L"fill260", std::wstring(260, L'x'), {L"cap=260"}},
        {L"huge", L"first", {L"cap=260"}},
    };
    for (const Case& c : cases) {
        ::DeleteFileW(recordFile_.c_str());
        EXPECT_EQ(CallDllInterfaceEx(library.c_str(), "Uninst", c.argument, true), c.result) << Narrow(c.argument);
        std::vector<std::wstring> capacities;
        for (const Record& record : RecordsOf(library)) {
            capacities.push_back(record.detail);
            EXPECT_EQ(record.argument, c.argument);
        }
        EXPECT_EQ(capacities, c.capacities) << Narrow(c.argument);
    }
    EXPECT_TRUE(HasLine(L"Call Dll Interface Ex ,path=[" + library + L"]"));
    EXPECT_TRUE(HasLine(L"interface text of 2147483647 characters refused, path=[" + library + L"]"));
    EXPECT_EQ(::GetModuleHandleW(library.c_str()), nullptr);
}

TEST_F(CompanionTest, CallDllInterfaceExRefusesAnUntrustedLibrary) {
    std::wstring library = Place(Signing::Unsigned, kInterface, L"lib\\unsigned.dll");
    EXPECT_EQ(CallDllInterfaceEx(library.c_str(), "Uninst", L"plain", true), L"");
    EXPECT_TRUE(HasLine(L"file[" + library + L"] check sign fail"));
    EXPECT_FALSE(HasLine(L"file[" + library + L"] check sign fail."));
    EXPECT_TRUE(Records().empty());
    // Without the check the same library answers.
    EXPECT_EQ(CallDllInterfaceEx(library.c_str(), "Uninst", L"plain", false), L"done:plain");
    EXPECT_EQ(CallDllInterfaceEx(nullptr, "Uninst", L"plain", false), L"");
}

// ---------------------------------------------------------------------------
// The project's companion list

TEST_F(CompanionTest, ProjectListRunsEveryEntryInOrderWithItsSignerDecision) {
    std::wstring simple = Place(Signing::Trusted, kSimple, L"comp\\simple.dll");
    std::wstring first = Place(Signing::Trusted, kProgram, L"bin\\first.exe");
    std::wstring unsignedDll = Place(Signing::Unsigned, kSimple, L"comp\\unsigned.dll");
    std::wstring otherSigner = Place(Signing::Second, kSimple, L"comp\\orbis.dll");
    std::wstring namedSigner = Place(Signing::Second, kSimple, L"comp\\named.dll");
    std::wstring crash = Place(Signing::Trusted, kProgram, L"bin\\crash.exe");
    std::wstring upper = Place(Signing::Trusted, kProgram, L"bin\\upper.exe");
    std::wstring script = Place(Signing::Trusted, kProgram, L"bin\\script.exe");
    std::wstring last = Place(Signing::Trusted, kSimple, L"comp\\last.dll");

    FakeConfig config;
    config.programs = {
        MakeEntry({L"comp\\simple.dll", L"dll", L"CleanUp", L"tapis"}),
        MakeEntry({L"bin\\first.exe", L"exe", L"", L"", L"/uninstall /from=tapis", L"", 5000, 1}),
        MakeEntry({L"bin\\gone.exe", L"exe", L"", L"", L"/uninstall"}),
        MakeEntry({L"comp\\unsigned.dll", L"dll", L"Uninst", L"u"}),
        MakeEntry({L"comp\\orbis.dll", L"dll", L"Uninst", L"o", L"", kTrustedName}),
        MakeEntry({L"comp\\named.dll", L"dll", L"Uninst", L"n", L"", kSecondName}),
        MakeEntry({L"bin\\crash.exe", L"exe", L"", L"", L"--crash"}),
        MakeEntry({L"bin\\upper.exe", L"EXE", L"", L"", L"--uninst"}),
        MakeEntry({L"bin\\script.exe", L"bat", L"", L"", L"--never"}),
        MakeEntry({L"comp\\last.dll", L"Dll", L"Uninst", L"end"}),
    };
    EXPECT_TRUE(CallProgramOnUninst(&config, installDir_));

    // Calls in list order (starts and library calls; program ends left out).
    std::vector<std::wstring> calls;
    for (const Record& record : Records()) {
        if (record.detail == L"end") continue;
        calls.push_back(path::FileName(record.module) + L" " + record.detail + L" " + record.argument);
    }
    std::vector<std::wstring> expected = {
        L"simple.dll CleanUp tapis", L"first.exe start /uninstall /from=tapis", L"named.dll Uninst n",
        L"crash.exe start --crash",  L"upper.exe start --uninst",               L"last.dll Uninst end",
    };
    EXPECT_EQ(calls, expected);
    EXPECT_TRUE(EndedRecorded(first));  // Sync 1: waited for

    EXPECT_TRUE(HasLine(L"file[" + installDir_ + L"\\bin\\gone.exe] is not exist"));
    EXPECT_TRUE(HasLine(L"check sign fail, signType[], filepath[" + unsignedDll + L"]"));
    EXPECT_TRUE(HasLine(L"check sign fail, signType[" + std::wstring(kTrustedName) + L"], filepath[" + otherSigner +
                        L"]"));
    EXPECT_TRUE(HasLine(L"call exe begin, path=[" + first + L"] cmd=[/uninstall /from=tapis]"));
    EXPECT_TRUE(HasLine(L"call exe return [1], path=[" + crash + L"], cmd=[--crash], sync[1]"));
    EXPECT_TRUE(HasLine(L"call dll func start, path=[" + simple + L"]"));
    EXPECT_FALSE(LogMentions(script));
    EXPECT_TRUE(RecordsOf(namedSigner).size() == 1u);
    EXPECT_TRUE(RecordsOf(last).size() == 1u);
}

TEST_F(CompanionTest, ProjectListRefusesUnusableArguments) {
    FakeConfig empty;
    FakeConfig one;
    one.programs = {MakeEntry({L"comp\\simple.dll", L"dll", L"Uninst", L"x"})};
    EXPECT_FALSE(CallProgramOnUninst(nullptr, installDir_));
    EXPECT_FALSE(CallProgramOnUninst(&one, L""));
    EXPECT_TRUE(CallProgramOnUninst(&empty, installDir_));
    EXPECT_FALSE(CallProgramOnUninst(&one, L"relative\\dir"));
    EXPECT_FALSE(CallProgramOnUninst(&one, L"C:\\" + std::wstring(MAX_PATH, L'd')));
    EXPECT_TRUE(Records().empty());
}

TEST(CompanionWaits, ProjectWaitTimeIsBoundedTo50Seconds) {
    struct Case {
        DWORD given, waited;
    } cases[] = {{0, 50000}, {1, 1}, {5000, 5000}, {50000, 50000}, {50001, 50000}, {0xFFFFFFFF, 50000}};
    for (const Case& c : cases) EXPECT_EQ(EffectiveWaitTime(c.given), c.waited) << c.given;
}

TEST_F(CompanionTest, ProjectProgramWaitsFollowSyncAndWaitTime) {
    std::wstring waited = Place(Signing::Trusted, kProgram, L"bin\\waited.exe");
    std::wstring detached = Place(Signing::Trusted, kProgram, L"bin\\detached.exe");
    std::wstring overdue = Place(Signing::Trusted, kProgram, L"bin\\overdue.exe");

    FakeConfig config;
    config.programs = {
        // WaitTime 0 waits up to 50 s: the short sleep ends well inside it.
        MakeEntry({L"bin\\waited.exe", L"exe", L"", L"", L"--sleep=300", L"", 0, 1}),
        // Sync 0: not waited for, although it cannot end before it is released.
        MakeEntry({L"bin\\detached.exe", L"exe", L"", L"", L"--block", L"", 0, 0}),
        // Outlives its wait time of 1 s: the list goes on while it still runs.
        MakeEntry({L"bin\\overdue.exe", L"exe", L"", L"", L"--block", L"", 1000, 1}),
    };
    EXPECT_TRUE(CallProgramOnUninst(&config, installDir_));

    EXPECT_TRUE(EndedRecorded(waited));
    ASSERT_TRUE(WaitForStarts(detached, 1));
    EXPECT_FALSE(EndedRecorded(detached));
    ASSERT_EQ(StartsOf(overdue).size(), 1u);
    EXPECT_FALSE(EndedRecorded(overdue));
    EXPECT_TRUE(HasLine(L"call exe return [1], path=[" + detached + L"], cmd=[--block], sync[0]"));
    EXPECT_TRUE(HasLine(L"call exe return [1], path=[" + overdue + L"], cmd=[--block], sync[1]"));

    ReleaseCompanions();
    EXPECT_TRUE(EndedRecorded(detached));
    EXPECT_TRUE(EndedRecorded(overdue));
}

// ---------------------------------------------------------------------------
// The rundll list

class RundllTest : public CompanionTest {
protected:
    // A project with two rundll items for this system's bitness.
    void LoadProject(CSetupConfig& config) {
        std::wstring folder = root_.Join(L"project");
        ::CreateDirectoryW(folder.c_str(), nullptr);
        ASSERT_TRUE(testing_support::WriteFileBytes(path::Join(folder, L"roots.xml"), "<RootDirFiles/>"));
        std::string system = Is64BitSystem() ? "64" : "32";
        std::string project =
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Setup>\n"
            "  <Main Version=\"1.0\"/>\n"
            "  <UninstallRootDirFileList File=\"roots.xml\"/>\n"
            "  <RundllUnRegisterOnUnInst>\n"
            "    <Item FileName=\"ext\\shellext.dll\" Entry=\"DllUnregisterServer\" Cmdline=\"--verb=UnInstall\" "
            "System=\"" + system + "\" WaitTime=\"5000\"/>\n"
            "    <Item FileName=\"ext\\missing.dll\" Entry=\"DllUnregisterServer\" Cmdline=\"--verb=UnInstall\" "
            "System=\"" + system + "\" WaitTime=\"5000\"/>\n"
            "  </RundllUnRegisterOnUnInst>\n</Setup>\n";
        std::wstring projectPath = path::Join(folder, L"project.noxprj");
        ASSERT_TRUE(testing_support::WriteFileBytes(projectPath, project));
        ASSERT_TRUE(config.LoadProject(projectPath.c_str()));
        ASSERT_EQ(config.GetRundllList().size(), 2u);
    }

    std::wstring ChosenHelper() const {
        return installDir_ + (Is64BitSystem() ? L"\\Utils\\rundll64.exe" : L"\\Utils\\rundll.exe");
    }
};

TEST_F(RundllTest, SignedHelperUnregistersEachLibrary) {
    win::ComApartment apartment;
    CSetupConfig config;
    LoadProject(config);
    Place(Signing::Trusted, kRundll, L"Utils\\rundll.exe");
    Place(Signing::Trusted, kRundll, L"Utils\\rundll64.exe");
    std::wstring library = Place(Signing::Unsigned, kSimple, L"ext\\shellext.dll");

    EXPECT_TRUE(RundllUnRegisterOnUnInst(config, installDir_));

    std::wstring expected = L"--dll=\"" + library + L"\" --entry=DllUnregisterServer --verb=UnInstall";
    EXPECT_EQ(StartsOf(ChosenHelper()), std::vector<std::wstring>{expected});
    EXPECT_EQ(Records().size(), 2u);  // start and end of the one helper run
    EXPECT_TRUE(HasLine(L"call exe begin, path=[" + ChosenHelper() + L"] cmd=[" + expected + L"]"));
    EXPECT_TRUE(HasLine(L"file[" + installDir_ + L"\\ext\\missing.dll] is not exist"));
}

TEST_F(RundllTest, UnsignedHelperRunsNothingAndLogsNothing) {
    win::ComApartment apartment;
    CSetupConfig config;
    LoadProject(config);
    Place(Signing::Unsigned, kRundll, L"Utils\\rundll.exe");
    Place(Signing::Unsigned, kRundll, L"Utils\\rundll64.exe");
    Place(Signing::Trusted, kSimple, L"ext\\shellext.dll");

    std::wstring before = LogText();
    EXPECT_FALSE(RundllUnRegisterOnUnInst(config, installDir_));
    EXPECT_EQ(LogText(), before);
    EXPECT_TRUE(Records().empty());
}

// ---------------------------------------------------------------------------
// The game centre

TEST_F(CompanionTest, GameCenterLibraryIsCalledAndKeptLoaded) {
    std::wstring library = Place(Signing::Trusted, kGameCenter, L"Utils\\noxgamecenter_tapis.dll");
    std::wstring program = Place(Signing::Trusted, kProgram, L"Utils\\noxgamecenter_tapis.exe");

    UninstallGameCenter(installDir_, true);

    std::vector<Record> calls = RecordsOf(library);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].detail, L"Start4RunDll");
    EXPECT_EQ(calls[0].argument, L"/S /PID=tapis /UNINSTALL");
    EXPECT_TRUE(StartsOf(program).empty());
    EXPECT_FALSE(LogMentions(L"Call exe:"));

    HMODULE loaded = ::GetModuleHandleW(library.c_str());
    EXPECT_NE(loaded, nullptr);
    if (loaded) ::FreeLibrary(loaded);  // the test's own clean-up
}

TEST_F(CompanionTest, GameCenterProgramRunsWhenTheLibraryCannotBeCalled) {
    struct Case {
        const char* label;
        Signing signing;
        const wchar_t* fixture;  // placed as the library; null: no library
    } cases[] = {
        {"no library", Signing::Trusted, nullptr},
        {"unsigned library", Signing::Unsigned, kGameCenter},
        {"library without Start4RunDll", Signing::Trusted, kSimple},
    };
    std::wstring library = installDir_ + L"\\Utils\\noxgamecenter_tapis.dll";
    std::wstring program = Place(Signing::Trusted, kProgram, L"Utils\\noxgamecenter_tapis.exe");
    for (const Case& c : cases) {
        ::DeleteFileW(recordFile_.c_str());
        ::DeleteFileW(library.c_str());
        if (c.fixture) Place(c.signing, c.fixture, L"Utils\\noxgamecenter_tapis.dll");

        UninstallGameCenter(installDir_, false);

        EXPECT_EQ(StartsOf(program), std::vector<std::wstring>{L"/S /PID=tapis /NOUNINSTALL"}) << c.label;
        EXPECT_TRUE(RecordsOf(library).empty()) << c.label;
        EXPECT_EQ(::GetModuleHandleW(library.c_str()), nullptr) << c.label;
    }
    std::wstring text = LogText();
    size_t count = 0;
    std::wstring line = L" Call exe:" + program + L",param:/S /PID=tapis /NOUNINSTALL\r\n";
    for (size_t at = text.find(line); at != std::wstring::npos; at = text.find(line, at + 1)) ++count;
    EXPECT_EQ(count, 3u);
}

TEST_F(CompanionTest, UntrustedGameCenterProgramIsNotRunButLogged) {
    std::wstring program = Place(Signing::Unsigned, kProgram, L"Utils\\noxgamecenter_tapis.exe");
    UninstallGameCenter(installDir_, true);
    EXPECT_TRUE(Records().empty());
    EXPECT_TRUE(HasLine(L"Call exe:" + program + L",param:/S /PID=tapis /UNINSTALL"));
}

// ---------------------------------------------------------------------------
// The wallpaper helper

TEST_F(CompanionTest, WallpaperHelperUninstIsCalledWithAnEmptyArgument) {
    std::wstring library = installDir_ + L"\\wallpaperhelper\\Corvanite12.dll";
    CallWallpaperHelperUninst(installDir_);
    EXPECT_TRUE(HasLine(L"file[" + library + L"] check sign fail."));

    Place(Signing::Trusted, kSimple, L"wallpaperhelper\\Corvanite12.dll");
    CallWallpaperHelperUninst(installDir_);
    std::vector<Record> calls = RecordsOf(library);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].detail, L"Uninst");
    EXPECT_EQ(calls[0].argument, L"");
}

// ---------------------------------------------------------------------------
// The registry lists

class RegistryListTest : public CompanionTest {
protected:
    void SetUp() override {
        CompanionTest::SetUp();
        outside_ = root_.Join(L"outside.exe");
        ASSERT_TRUE(::CopyFileW(FixturePath(Signing::Trusted, kProgram).c_str(), outside_.c_str(), FALSE));
    }
    // Names that must never be run: above the directory, absolute, through a link.
    void AddUnsafeNames(ScopedListKey& key) {
        key.SetString(L"..\\outside.exe", L"--exit=0 climbed");
        key.SetString(outside_, L"--exit=0 absolute");
        key.SetString(L"sub\\..\\..\\outside.exe", L"--exit=0 nested");
        ASSERT_TRUE(MakeDirectoryLink(installDir_ + L"\\linked", root_.path()));
        key.SetString(L"linked\\outside.exe", L"--exit=0 linked");
    }
    void ExpectUnsafeNamesRefused(const wchar_t* list) {
        EXPECT_TRUE(RecordsOf(outside_).empty());
        EXPECT_TRUE(HasLine(std::wstring(list) + L" entry [..\\outside.exe] refused: leaves the directory"));
        EXPECT_TRUE(HasLine(std::wstring(list) + L" entry [" + outside_ + L"] refused: drive or stream name"));
        EXPECT_TRUE(HasLine(std::wstring(list) + L" entry [sub\\..\\..\\outside.exe] refused: leaves the directory"));
        EXPECT_TRUE(HasLine(std::wstring(list) + L" entry [linked\\outside.exe] refused: passes through a link"));
    }

    std::wstring outside_;
};

TEST_F(RegistryListTest, RunListCallsLibrariesAndProgramsWithTheirChecks) {
    std::wstring iface = Place(Signing::Trusted, kInterface, L"rl\\iface.dll");
    std::wstring tpi = Place(Signing::Trusted, kInterface, L"rl\\plugin.TPI");
    std::wstring unsignedDll = Place(Signing::Unsigned, kInterface, L"rl\\unsigned.dll");
    std::wstring regtestDll = Place(Signing::Unsigned, kInterface, L"rl\\regtest.dll");
    std::wstring tool = Place(Signing::Trusted, kProgram, L"rl\\tool.exe");
    std::wstring regtestTool = Place(Signing::Unsigned, kProgram, L"rl\\regtool.exe");
    std::wstring plain = Place(Signing::Unsigned, kProgram, L"rl\\plain.exe");
    std::wstring notes = Place(Signing::Trusted, kProgram, L"rl\\notes.txt");

    ScopedListKey key(kRunListKey);
    key.SetString(L"rl\\iface.dll", L"plain");
    key.SetString(L"rl\\plugin.TPI", L"tpi");
    key.SetString(L"rl\\unsigned.dll", L"x");
    key.SetString(L"rl\\regtest.dll", L"a /Regtest b");
    key.SetString(L"rl\\tool.exe", L"--exit=0 go");
    key.SetString(L"rl\\regtool.exe", L"/Regtest");
    key.SetString(L"rl\\plain.exe", L"p");
    key.SetString(L"rl\\notes.txt", L"n");
    key.SetString(L"rl\\missing.dll", L"m");
    AddUnsafeNames(key);

    CallRunListCompanions(installDir_);

    EXPECT_TRUE(HasLine(L"file extension:.dll"));
    EXPECT_TRUE(HasLine(L"file extension:.TPI"));
    EXPECT_TRUE(HasLine(L"file extension:.txt"));
    EXPECT_TRUE(HasLine(L"CallDllInterfaceEx return value=done:plain"));
    EXPECT_TRUE(HasLine(L"CallDllInterfaceEx return value=done:tpi"));
    EXPECT_TRUE(HasLine(L"file[" + unsignedDll + L"] check sign fail"));
    EXPECT_TRUE(HasLine(L"CallDllInterfaceEx return value="));
    EXPECT_TRUE(HasLine(L"Regtest, no need to check sign."));
    EXPECT_TRUE(HasLine(L"CallDllInterfaceEx return value=done:a /Regtest b"));
    EXPECT_TRUE(RecordsOf(unsignedDll).empty());
    ASSERT_EQ(RecordsOf(regtestDll).size(), 1u);

    // The copy runs from a folder without the product's marker programs.
    EXPECT_EQ(StartsOf(tool), std::vector<std::wstring>{L"--exit=0 go --PRODUCT= --PID="});
    EXPECT_TRUE(EndedRecorded(tool));
    EXPECT_TRUE(HasLine(L"call exe begin, path=[" + tool + L"] ,cmd=[--exit=0 go --PRODUCT= --PID=]"));
    EXPECT_TRUE(HasLine(L"call exe return [1], path=[" + tool + L"], cmd=[--exit=0 go --PRODUCT= --PID=], sync[1]"));
    EXPECT_EQ(StartsOf(regtestTool), std::vector<std::wstring>{L"/Regtest --PRODUCT= --PID="});
    EXPECT_TRUE(StartsOf(plain).empty());
    EXPECT_TRUE(HasLine(L"call exe return [0], path=[" + plain + L"], cmd=[p --PRODUCT= --PID=], sync[1]"));
    EXPECT_TRUE(RecordsOf(notes).empty());
    EXPECT_FALSE(LogMentions(L"missing.dll"));
    ExpectUnsafeNamesRefused(L"run_list");
}

TEST_F(RegistryListTest, RunListArgumentsThatCannotBeReadBecomeEmpty) {
    struct Case {
        const wchar_t* name;
        DWORD type;
        std::wstring data;  // for REG_DWORD the first two characters are the value
        bool readable;
    } cases[] = {
        {L"empty.dll", REG_SZ, L"", true},
        {L"len259.dll", REG_SZ, std::wstring(259, L'a'), true},
        {L"len260.dll", REG_SZ, std::wstring(260, L'b'), false},
        {L"len1024.dll", REG_SZ, std::wstring(1024, L'c'), false},
        {L"len2048.dll", REG_SZ, std::wstring(2048, L'd'), false},
        {L"len4095.dll", REG_SZ, std::wstring(4095, L'e'), false},
        {L"dword.dll", REG_DWORD, std::wstring(2, L'\x0101'), false},
        {L"multi.dll", REG_MULTI_SZ, std::wstring(L"one\0two\0", 8), false},
    };
    ScopedListKey key(kRunListKey);
    // A value whose name is too long to be a companion: passed over, the list goes on.
    key.SetString(std::wstring(300, L'n') + L".dll", L"long name");
    for (const Case& c : cases) {
        Place(Signing::Trusted, kInterface, std::wstring(L"rl\\") + c.name);
        DWORD bytes = c.type == REG_DWORD ? 4 : static_cast<DWORD>((c.data.size() + 1) * sizeof(wchar_t));
        key.SetRaw(std::wstring(L"rl\\") + c.name, c.type, c.data.c_str(), bytes);
    }

    CallRunListCompanions(installDir_);

    for (const Case& c : cases) {
        std::vector<Record> calls = RecordsOf(installDir_ + L"\\rl\\" + c.name);
        ASSERT_EQ(calls.size(), 1u) << Narrow(c.name);
        EXPECT_EQ(calls[0].argument, c.readable ? c.data : L"") << Narrow(c.name);
        EXPECT_EQ(HasLine(L"run_list value of [rl\\" + std::wstring(c.name) + L"] unreadable, empty argument"),
                  !c.readable)
            << Narrow(c.name);
    }
    EXPECT_TRUE(LogMentions(L": name too long, skipped"));
}

TEST_F(RegistryListTest, FilePeCallsLibrariesAndProgramsAfterTheirChecks) {
    std::wstring helper = Place(Signing::Trusted, kSimple, L"fp\\Helper.dll");
    std::wstring unsignedDll = Place(Signing::Unsigned, kSimple, L"fp\\unsigned.dll");
    std::wstring upper = Place(Signing::Trusted, kProgram, L"fp\\Cleaner.EXE");
    std::wstring unsignedExe = Place(Signing::Unsigned, kProgram, L"fp\\bad.exe");
    std::wstring regtest = Place(Signing::Unsigned, kProgram, L"fp\\regtest.exe");

    ScopedListKey key(kFilePeKey);
    key.SetString(L"fp\\Helper.dll", L"arg1");
    key.SetString(L"fp\\unsigned.dll", L"u");
    key.SetString(L"fp\\Cleaner.EXE", L"--exit=0 val");
    key.SetString(L"fp\\bad.exe", L"b");
    key.SetString(L"fp\\regtest.exe", L"/Regtest");  // no exemption in this list
    key.SetString(L"fp\\missing.exe", L"m");
    AddUnsafeNames(key);

    CallFilePeCompanions(installDir_);

    std::vector<Record> calls = RecordsOf(helper);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].detail, L"Uninst");
    EXPECT_EQ(calls[0].argument, L"arg1");
    EXPECT_TRUE(HasLine(L"call dll func start, path=[" + helper + L"]"));
    EXPECT_TRUE(HasLine(L"file[" + unsignedDll + L"] check sign fail."));
    EXPECT_TRUE(RecordsOf(unsignedDll).empty());

    EXPECT_EQ(StartsOf(upper), std::vector<std::wstring>{L"--exit=0 val /uninstall /product=tapis"});
    EXPECT_TRUE(EndedRecorded(upper));
    EXPECT_TRUE(HasLine(L"call exe begin, path=[" + upper + L"] cmd=[--exit=0 val /uninstall /product=tapis]"));
    EXPECT_TRUE(StartsOf(unsignedExe).empty());
    EXPECT_TRUE(HasLine(L"call exe return [0], path=[" + unsignedExe + L"], cmd=[b /uninstall /product=tapis], sync[1]"));
    EXPECT_TRUE(StartsOf(regtest).empty());
    EXPECT_FALSE(LogMentions(L"missing.exe"));
    ExpectUnsafeNamesRefused(L"file_pe");
}

TEST_F(RegistryListTest, FilePeValuesThatCannotBeReadAreSkipped) {
    struct Case {
        const wchar_t* name;
        DWORD type;
        std::wstring data;
        bool called;
    } cases[] = {
        {L"empty.dll", REG_SZ, L"", true},
        {L"len260.dll", REG_SZ, std::wstring(260, L'a'), true},
        {L"len1024.dll", REG_SZ, std::wstring(1024, L'b'), true},
        {L"len2048.dll", REG_SZ, std::wstring(2048, L'c'), true},
        {L"len4095.dll", REG_SZ, std::wstring(4095, L'd'), true},
        {L"len4096.dll", REG_SZ, std::wstring(4096, L'e'), false},
        {L"dword.dll", REG_DWORD, std::wstring(2, L'\x0101'), false},
        {L"binary.dll", REG_BINARY, L"bin", false},
    };
    ScopedListKey key(kFilePeKey);
    for (const Case& c : cases) {
        Place(Signing::Trusted, kSimple, std::wstring(L"fp\\") + c.name);
        DWORD bytes = c.type == REG_DWORD ? 4 : static_cast<DWORD>((c.data.size() + 1) * sizeof(wchar_t));
        key.SetRaw(std::wstring(L"fp\\") + c.name, c.type, c.data.c_str(), bytes);
    }
    // The longest argument reaches a program whole, with the fixed suffix.
    std::wstring program = Place(Signing::Trusted, kProgram, L"fp\\long.exe");
    std::wstring longArgument = L"--exit=0 " + std::wstring(4095 - 9, L'z');
    key.SetString(L"fp\\long.exe", longArgument);

    CallFilePeCompanions(installDir_);

    for (const Case& c : cases) {
        std::vector<Record> calls = RecordsOf(installDir_ + L"\\fp\\" + c.name);
        ASSERT_EQ(calls.size(), c.called ? 1u : 0u) << Narrow(c.name);
        if (c.called) {
            EXPECT_EQ(calls[0].argument, c.data) << Narrow(c.name);
        }
        EXPECT_EQ(HasLine(L"file_pe value of [fp\\" + std::wstring(c.name) + L"] unreadable, skipped"), !c.called)
            << Narrow(c.name);
    }
    EXPECT_EQ(StartsOf(program), std::vector<std::wstring>{longArgument + L" /uninstall /product=tapis"});
}

TEST_F(RegistryListTest, RunListProgramEndsItsRunningCopyFirst) {
    std::wstring tool = Place(Signing::Trusted, kProgram, L"rl\\resident.exe");
    testing_support::Child running = testing_support::StartChild(tool, L"--block");
    ASSERT_TRUE(running.process);
    ASSERT_TRUE(WaitForStarts(tool, 1));

    ScopedListKey key(kRunListKey);
    key.SetString(L"rl\\resident.exe", L"--exit=0 again");
    CallRunListCompanions(installDir_);

    ASSERT_EQ(::WaitForSingleObject(running.process.get(), kSettleMs), WAIT_OBJECT_0);
    EXPECT_EQ(StartsOf(tool), (std::vector<std::wstring>{L"--block", L"--exit=0 again --PRODUCT= --PID="}));
    size_t kill = LinePosition(L"Kill process: " + Upper(tool));
    ASSERT_NE(kill, std::wstring::npos);
    EXPECT_LT(kill, LinePosition(L"call exe begin, path=[" + tool + L"] ,cmd=[--exit=0 again --PRODUCT= --PID=]"));
}

TEST_F(RegistryListTest, MissingListsAndDirectoriesDoNothing) {
    // No run_list values of ours and a directory that does not exist.
    CallRunListCompanions(installDir_ + L"\\absent");
    CallFilePeCompanions(installDir_ + L"\\absent");
    CallRunListCompanions(L"relative");
    EXPECT_TRUE(Records().empty());
}

// ---------------------------------------------------------------------------
// Product information

class ProductInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        GUID guid;
        ::CoCreateGuid(&guid);
        wchar_t name[80];
        _snwprintf(name, 80, L"Software\\LumoraTest\\product-%08lX", guid.Data1);
        name[79] = L'\0';
        rootPath_ = name;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, rootPath_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    root_.put(), nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        root_.reset();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, rootPath_.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\LumoraTest");  // only when no other test uses it
    }
    void SetPid(const std::wstring& pid) {
        win::UniqueRegKey key;
        ASSERT_EQ(::RegCreateKeyExW(root_.get(), L"Software\\KelWallPaper", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    key.put(), nullptr),
                  ERROR_SUCCESS);
        ::RegSetValueExW(key.get(), L"PID", 0, REG_SZ, reinterpret_cast<const BYTE*>(pid.c_str()),
                         static_cast<DWORD>((pid.size() + 1) * sizeof(wchar_t)));
    }

    ScopedTempDir dir_;
    std::wstring rootPath_;
    win::UniqueRegKey root_;
};

TEST_F(ProductInfoTest, MarkerProgramsNameTheProduct) {
    ProductInfo none = GetProductInfo(dir_.path(), root_.get());
    EXPECT_EQ(none.code, L"");
    EXPECT_EQ(none.pid, L"");

    testing_support::WriteFileBytes(dir_.Join(L"Kelwpapp.exe"), "marker");
    ProductInfo withoutPid = GetProductInfo(dir_.path(), root_.get());
    EXPECT_EQ(withoutPid.code, L"tapis");
    EXPECT_EQ(withoutPid.pid, L"");

    SetPid(L"pid-123");
    ::DeleteFileW(dir_.Join(L"Kelwpapp.exe").c_str());
    testing_support::WriteFileBytes(dir_.Join(L"lumdesk.exe"), "marker");
    ProductInfo full = GetProductInfo(dir_.path(), root_.get());
    EXPECT_EQ(full.code, L"tapis");
    EXPECT_EQ(full.pid, L"pid-123");

    SetPid(std::wstring(261, L'p'));  // longer than a pid can be
    EXPECT_EQ(GetProductInfo(dir_.path(), root_.get()).pid, L"");
    SetPid(std::wstring(260, L'p'));
    EXPECT_EQ(GetProductInfo(dir_.path(), root_.get()).pid, std::wstring(260, L'p'));
}

}  // namespace
