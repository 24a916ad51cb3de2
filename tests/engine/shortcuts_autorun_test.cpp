// Shortcuts, product registry keys, autostart and the restore run, played
// against the Wine prefix's real shell folders, links and registry. Every
// location a test touches is put back afterwards: the prefix is shared.
//
// The Task Scheduler is a recording double in most tests: Wine's scheduler
// registers, reads back and deletes tasks, but has no logon trigger, no run
// level, no idle settings, loses a task's actions and ignores enabling. The
// real one is exercised for what it can do (deleting, and the fall-back that
// its refusal of a logon trigger leads to).
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>
#include <taskschd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/Registry.h"
#include "app/base/WinHandle.h"
#include "config/ISetupConfig.h"
#include "engine/Autorun.h"
#include "engine/PathSafety.h"
#include "engine/ProductRegistry.h"
#include "engine/ProductRestore.h"
#include "engine/Shortcuts.h"
#include "engine/TaskScheduler.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "sysinfo/SystemChecks.h"

using testing_support::ScopedTempDir;
using testing_support::LogCapture;

namespace {

const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kScratchAppPathKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\LumoraScratch.exe";
const wchar_t kLinkTargetKey[] = L"Software\\LumoraTestLinkTarget";
const wchar_t kKeepRunValue[] = L"LumoraTestKeep";
const wchar_t kQuotedTestProgram[] = L"\"C:\\Lumora Test\\quorsrv.exe\"";

std::string Narrow(const std::wstring& wide) { return text::ToUtf8(wide); }
bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
std::wstring Repeat(wchar_t c, size_t count) { return std::wstring(count, c); }

// ---------------------------------------------------------------------------
// The process log redirected into a scratch file for one test.

// ---------------------------------------------------------------------------
// Registry state saved and put back.
struct RegValue {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};
struct RegTree {
    std::vector<RegValue> values;
    std::vector<std::pair<std::wstring, RegTree>> children;
};

void ReadTree(HKEY key, RegTree& tree, REGSAM view) {
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameLength = 16384, type = 0, size = 0;
        if (::RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) break;
        RegValue value;
        value.name.assign(name, nameLength);
        value.type = type;
        value.data.resize(size);
        DWORD got = size;
        ::RegQueryValueExW(key, value.name.c_str(), nullptr, &type, value.data.empty() ? nullptr : value.data.data(),
                           &got);
        value.data.resize(got);
        tree.values.push_back(std::move(value));
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        if (::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        win::UniqueRegKey child;
        if (::RegOpenKeyExW(key, name, 0, KEY_READ | view, child.put()) != ERROR_SUCCESS) continue;
        tree.children.emplace_back(std::wstring(name, length), RegTree());
        ReadTree(child.get(), tree.children.back().second, view);
    }
}

void WriteTree(HKEY key, const RegTree& tree, REGSAM view) {
    for (const RegValue& value : tree.values)
        ::RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.empty() ? nullptr : value.data.data(),
                         static_cast<DWORD>(value.data.size()));
    for (const auto& child : tree.children) {
        win::UniqueRegKey sub;
        if (::RegCreateKeyExW(key, child.first.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, sub.put(),
                              nullptr) == ERROR_SUCCESS)
            WriteTree(sub.get(), child.second, view);
    }
}

// A whole key tree, deleted and written back at the end.
class KeyBackup {
public:
    KeyBackup(HKEY root, std::wstring subKey, REGSAM view = KEY_WOW64_32KEY)
        : root_(root), subKey_(std::move(subKey)), view_(view) {
        win::UniqueRegKey key;
        existed_ = ::RegOpenKeyExW(root_, subKey_.c_str(), 0, KEY_READ | view_, key.put()) == ERROR_SUCCESS;
        if (existed_) ReadTree(key.get(), tree_, view_);
    }
    ~KeyBackup() {
        DeleteRegistryTree(root_, subKey_, view_);
        if (!existed_) return;
        win::UniqueRegKey key;
        if (::RegCreateKeyExW(root_, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_, nullptr, key.put(),
                              nullptr) == ERROR_SUCCESS)
            WriteTree(key.get(), tree_, view_);
    }
    KeyBackup(const KeyBackup&) = delete;
    KeyBackup& operator=(const KeyBackup&) = delete;

private:
    HKEY root_;
    std::wstring subKey_;
    REGSAM view_;
    bool existed_ = false;
    RegTree tree_;
};

// One value, written back (or deleted) at the end; a key made for it goes again when empty.
class ValueBackup {
public:
    ValueBackup(HKEY root, std::wstring subKey, std::wstring name, REGSAM view = KEY_WOW64_32KEY)
        : root_(root), subKey_(std::move(subKey)), name_(std::move(name)), view_(view) {
        win::UniqueRegKey key;
        keyExisted_ = ::RegOpenKeyExW(root_, subKey_.c_str(), 0, KEY_READ | view_, key.put()) == ERROR_SUCCESS;
        if (!keyExisted_) return;
        DWORD size = 0;
        if (::RegQueryValueExW(key.get(), name_.c_str(), nullptr, &type_, nullptr, &size) != ERROR_SUCCESS) return;
        existed_ = true;
        data_.resize(size);
        ::RegQueryValueExW(key.get(), name_.c_str(), nullptr, &type_, data_.empty() ? nullptr : data_.data(), &size);
        data_.resize(size);
    }
    ~ValueBackup() {
        win::UniqueRegKey key;
        if (::RegOpenKeyExW(root_, subKey_.c_str(), 0, KEY_ALL_ACCESS | view_, key.put()) != ERROR_SUCCESS) {
            if (!existed_) return;
            ::RegCreateKeyExW(root_, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_, nullptr, key.put(),
                              nullptr);
        }
        if (existed_) {
            ::RegSetValueExW(key.get(), name_.c_str(), 0, type_, data_.empty() ? nullptr : data_.data(),
                             static_cast<DWORD>(data_.size()));
        } else {
            ::RegDeleteValueW(key.get(), name_.c_str());
        }
        key.reset();
        if (!keyExisted_) ::RegDeleteKeyExW(root_, subKey_.c_str(), view_, 0);  // only when left empty
    }
    ValueBackup(const ValueBackup&) = delete;
    ValueBackup& operator=(const ValueBackup&) = delete;

private:
    HKEY root_;
    std::wstring subKey_, name_;
    REGSAM view_;
    bool keyExisted_ = false, existed_ = false;
    DWORD type_ = REG_NONE;
    std::vector<BYTE> data_;
};

bool SetValue(HKEY root, const std::wstring& subKey, const std::wstring& name, DWORD type, const void* data,
              size_t bytes, REGSAM view = KEY_WOW64_32KEY) {
    win::UniqueRegKey key;
    if (::RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    return ::RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data),
                            static_cast<DWORD>(bytes)) == ERROR_SUCCESS;
}
bool SetString(HKEY root, const std::wstring& subKey, const std::wstring& name, const std::wstring& value,
               REGSAM view = KEY_WOW64_32KEY, DWORD type = REG_SZ) {
    return SetValue(root, subKey, name, type, value.c_str(), (value.size() + 1) * sizeof(wchar_t), view);
}
bool SetDword(HKEY root, const std::wstring& subKey, const std::wstring& name, DWORD value,
              REGSAM view = KEY_WOW64_32KEY) {
    return SetValue(root, subKey, name, REG_DWORD, &value, sizeof(value), view);
}
bool KeyExists(HKEY root, const std::wstring& subKey, REGSAM view = KEY_WOW64_32KEY) {
    win::UniqueRegKey key;
    return ::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}
bool ValueExists(HKEY root, const std::wstring& subKey, const std::wstring& name, REGSAM view = KEY_WOW64_32KEY) {
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) return false;
    return ::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}
DWORD ValueType(HKEY root, const std::wstring& subKey, const std::wstring& name, REGSAM view = KEY_WOW64_32KEY) {
    win::UniqueRegKey key;
    DWORD type = REG_NONE;
    if (::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) return REG_NONE;
    ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, nullptr);
    return type;
}
std::wstring GetString(HKEY root, const std::wstring& subKey, const std::wstring& name,
                       REGSAM view = KEY_WOW64_32KEY) {
    return registry::ReadString(root, subKey.c_str(), name.c_str(), 8192, view);
}

// ---------------------------------------------------------------------------
// The product's desktop links and program-menu folders in the prefix, moved
// aside for the test and put back afterwards.
std::vector<std::wstring> ProductShellItems() {
    std::vector<std::wstring> items;
    for (int desktop : {CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_DESKTOPDIRECTORY})
        for (const wchar_t* link : {kKelEditionLink, kLumoraEditionLink, kLumoraLiteLink, L"LumoraTestOther.lnk"})
            items.push_back(path::Join(SpecialFolderPath(desktop), link));
    for (int menu : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS})
        for (const wchar_t* folder : {kLumoraMenuFolder, kKelMenuGroup})
            items.push_back(path::Join(SpecialFolderPath(menu), folder));
    return items;
}

// The Unix side of the prefix: Wine shows a Unix symbolic link to a folder as
// a directory with the reparse-point attribute, as a junction looks.
std::string UnixPath(const std::wstring& windowsPath) {
    using ToUnix = char* (*)(const wchar_t*);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return std::string();
    char* unix = toUnix(windowsPath.c_str());
    if (!unix) return std::string();
    std::string result = unix;
    ::HeapFree(::GetProcessHeap(), 0, unix);
    return result;
}

// Starts a Unix program; Wine does not tie the handle to its end, so callers
// wait for its result.
bool StartUnix(const wchar_t* image, const std::string& commandLine) {
    std::wstring wide = text::FromUtf8(commandLine);
    std::vector<wchar_t> buffer(wide.begin(), wide.end());
    buffer.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(image, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    win::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    return true;
}

template <typename Done>
bool WaitFor(Done done) {
    for (int waited = 0; waited < 10000; waited += 10) {
        if (done()) return true;
        ::Sleep(10);
    }
    return false;
}

bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
    std::string unixTarget = UnixPath(target);
    std::string unixParent = UnixPath(path::Parent(link));
    if (unixTarget.empty() || unixParent.empty()) return false;
    if (!StartUnix(L"Z:\\bin\\ln", "/bin/ln -s \"" + unixTarget + "\" \"" + unixParent + "/" +
                                        Narrow(path::FileName(link)) + "\""))
        return false;
    return WaitFor([&] { return IsReparsePoint(::GetFileAttributesW(link.c_str())); });
}

// Wine cannot remove a Unix symbolic link to a folder from the Windows side.
void RemoveDirectoryLink(const std::wstring& link) {
    std::string unixLink = UnixPath(link);
    if (unixLink.empty() || !StartUnix(L"Z:\\bin\\rm", "/bin/rm -f \"" + unixLink + "\"")) return;
    WaitFor([&] { return ::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
}


void RemoveItem(const std::wstring& item) {
    DWORD attributes = ::GetFileAttributesW(item.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (IsReparsePoint(attributes)) {
        if (!RemoveLink(item, attributes)) RemoveDirectoryLink(item);
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) testing_support::RemoveTree(item);
    else ::DeleteFileW(item.c_str());
}

class ShellItemsBackup {
public:
    ShellItemsBackup() {
        for (int folder : {CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS})
            ::SHCreateDirectoryExW(nullptr, SpecialFolderPath(folder).c_str(), nullptr);
        int index = 0;
        for (const std::wstring& item : ProductShellItems()) {
            std::wstring aside = store_.Join(std::to_wstring(index++));
            if (Exists(item) && ::MoveFileExW(item.c_str(), aside.c_str(), 0)) moved_.emplace_back(item, aside);
        }
    }
    ~ShellItemsBackup() {
        for (const std::wstring& item : ProductShellItems()) RemoveItem(item);
        for (const auto& entry : moved_) ::MoveFileExW(entry.second.c_str(), entry.first.c_str(), 0);
    }

private:
    ScopedTempDir store_;
    std::vector<std::pair<std::wstring, std::wstring>> moved_;
};

void MakeDir(const std::wstring& path) { ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr); }
void MakeFile(const std::wstring& path, const std::string& bytes = "data") {
    ASSERT_TRUE(testing_support::WriteFileBytes(path, bytes)) << Narrow(path);
}

// ---------------------------------------------------------------------------
// Shell links read back.
struct LinkFacts {
    bool loaded = false;
    std::wstring target, arguments, iconFile, workingDir;
    int iconIndex = -1;
    int showCommand = 0;
};

LinkFacts ReadLink(const std::wstring& linkPath) {
    LinkFacts facts;
    win::ComPtr<IShellLinkW> link;
    win::ComPtr<IPersistFile> file;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  link.put_void())) ||
        FAILED(link->QueryInterface(IID_IPersistFile, file.put_void())) ||
        FAILED(file->Load(linkPath.c_str(), STGM_READ)))
        return facts;
    facts.loaded = true;
    wchar_t buffer[1024] = {};
    if (SUCCEEDED(link->GetPath(buffer, 1024, nullptr, SLGP_RAWPATH))) facts.target = buffer;
    buffer[0] = L'\0';
    if (SUCCEEDED(link->GetArguments(buffer, 1024))) facts.arguments = buffer;
    buffer[0] = L'\0';
    if (SUCCEEDED(link->GetIconLocation(buffer, 1024, &facts.iconIndex))) facts.iconFile = buffer;
    buffer[0] = L'\0';
    if (SUCCEEDED(link->GetWorkingDirectory(buffer, 1024))) facts.workingDir = buffer;
    // The stored show command (header offset 0x3C); readers turn anything
    // but 1, 3 and 7 into 1.
    std::string bytes = testing_support::ReadFileBytes(linkPath);
    if (bytes.size() >= 0x40) {
        facts.showCommand = static_cast<unsigned char>(bytes[0x3C]) | static_cast<unsigned char>(bytes[0x3D]) << 8;
    }
    return facts;
}

std::wstring ShortForm(const std::wstring& path) {
    wchar_t buffer[MAX_PATH] = {};
    DWORD length = ::GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : path;
}

// ---------------------------------------------------------------------------
// A recording Task Scheduler.
struct FakeTask {
    bool startsProgram = true;
    bool enabled = true;
    LogonTaskDefinition definition;
};

class FakeTaskScheduler final : public ITaskSchedulerService {
public:
    FakeTaskScheduler() : previous_(SetTaskScheduler(this)) {}
    ~FakeTaskScheduler() override { SetTaskScheduler(previous_ == this ? nullptr : previous_); }

    std::unique_ptr<IAutorunTaskFolder> OpenRootFolder(HRESULT& result) override {
        ++opened;
        result = openResult;
        if (FAILED(openResult)) return nullptr;
        return std::unique_ptr<IAutorunTaskFolder>(new Folder(*this));
    }

    std::map<std::wstring, FakeTask> tasks;
    std::vector<std::wstring> calls;  // "find X", "enable X", "delete X", "register X"
    HRESULT openResult = S_OK;
    HRESULT registerResult = S_OK;
    int opened = 0;

private:
    class Folder final : public IAutorunTaskFolder {
    public:
        explicit Folder(FakeTaskScheduler& owner) : owner_(owner) {}
        ExistingTask FindTask(const std::wstring& name) override {
            owner_.calls.push_back(L"find " + name);
            ExistingTask found;
            auto task = owner_.tasks.find(name);
            if (task == owner_.tasks.end()) return found;
            found.exists = true;
            found.startsProgram = task->second.startsProgram;
            found.enabled = task->second.enabled;
            return found;
        }
        bool EnableTask(const std::wstring& name) override {
            owner_.calls.push_back(L"enable " + name);
            auto task = owner_.tasks.find(name);
            if (task == owner_.tasks.end()) return false;
            task->second.enabled = true;
            return true;
        }
        HRESULT DeleteTask(const std::wstring& name) override {
            owner_.calls.push_back(L"delete " + name);
            return owner_.tasks.erase(name) ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
        HRESULT RegisterTask(const std::wstring& name, const LogonTaskDefinition& definition) override {
            owner_.calls.push_back(L"register " + name);
            if (FAILED(owner_.registerResult)) return owner_.registerResult;
            FakeTask task;
            task.definition = definition;
            owner_.tasks[name] = task;
            return S_OK;
        }

    private:
        FakeTaskScheduler& owner_;
    };

    ITaskSchedulerService* previous_;
};

// ---------------------------------------------------------------------------
// A setup project that names only an application path key.
class FakeSetupConfig final : public ISetupConfig {
public:
    FakeSetupConfig(HKEY root, std::wstring subKey) : root_(root), subKey_(std::move(subKey)) {}
    bool InitConfig(HINSTANCE, UINT, const wchar_t*, const wchar_t*) override { return true; }
    int GetMinimizeSpace() override { return 0; }
    IUninstallRootDirList* GetRootDirList() override { return nullptr; }
    bool GetVersion(wchar_t* buffer, int size) override { return CopyOut(L"", buffer, size); }
    bool GetMainApp(wchar_t* buffer, int size) override { return CopyOut(L"", buffer, size); }
    HKEY GetRegRoot() override { return root_; }
    bool GetRegSubKey(wchar_t* buffer, int size) override { return CopyOut(subKey_, buffer, size); }
    bool GetRegValueName(wchar_t* buffer, int size) override { return CopyOut(L"Path", buffer, size); }
    int GetCloseProgramCount() override { return 0; }
    bool GetCloseProgram(int, CloseProgramEntry*) override { return false; }
    bool GetCheckFile(int, wchar_t*, int) override { return false; }
    int GetCheckFileCount() override { return 0; }
    bool GetInstProgram(int, CallProgramEntry*) override { return false; }
    int GetInstProgramCount() override { return 0; }
    bool GetUninstProgram(int, CallProgramEntry*) override { return false; }
    int GetUninstProgramCount() override { return 0; }
    int GetFileCount() override { return 0; }

private:
    static bool CopyOut(const std::wstring& text, wchar_t* buffer, int size) {
        if (buffer == nullptr || size <= 0) return false;
        buffer[0] = L'\0';
        if (text.size() >= static_cast<size_t>(size)) return false;
        std::copy(text.begin(), text.end(), buffer);
        buffer[text.size()] = L'\0';
        return true;
    }
    HKEY root_;
    std::wstring subKey_;
};

// ---------------------------------------------------------------------------
// An installation directory (with a blank in its name) holding the programs
// the links point to; lumdesk.exe carries fixed version 5.6.7.8.
class InstallDir {
public:
    InstallDir() : path_(temp_.Join(L"Lumora Desk")) {
        MakeDir(path_);
        std::wstring versioned = testing_support::BuildDir() + L"\\testdata\\signing\\unsigned.exe";
        for (const wchar_t* name : {L"lumdesk.exe", L"Uninstall.exe", L"quorsrv.exe"})
            ::CopyFileW(versioned.c_str(), Join(name).c_str(), FALSE);
    }
    const std::wstring& path() const { return path_; }
    std::wstring Join(const std::wstring& name) const { return path::Join(path_, name); }

private:
    ScopedTempDir temp_;
    std::wstring path_;
};

// Every product location the tests change, saved and put back; a recording
// Task Scheduler installed.
class ProductTracesTest : public ::testing::Test {
protected:
    std::wstring CommonDesktop() const { return SpecialFolderPath(CSIDL_COMMON_DESKTOPDIRECTORY); }
    std::wstring UserDesktop() const { return SpecialFolderPath(CSIDL_DESKTOPDIRECTORY); }
    std::wstring CommonPrograms() const { return SpecialFolderPath(CSIDL_COMMON_PROGRAMS); }
    std::wstring UserPrograms() const { return SpecialFolderPath(CSIDL_PROGRAMS); }

    void SetProductName(const std::wstring& name) {
        ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kProductAppPathKey, L"ProductName", name));
    }

    ShellItemsBackup shell_;
    KeyBackup userKey_{HKEY_CURRENT_USER, kProductSettingsKey};
    KeyBackup classKey_{HKEY_CLASSES_ROOT, kFileClassKey};
    KeyBackup uninstallKey_{HKEY_LOCAL_MACHINE, kUninstallEntryKey};
    KeyBackup scratchMachine_{HKEY_LOCAL_MACHINE, kScratchAppPathKey};
    KeyBackup scratchUser_{HKEY_CURRENT_USER, kScratchAppPathKey};
    KeyBackup linkTarget_{HKEY_CURRENT_USER, kLinkTargetKey};
    ValueBackup productName_{HKEY_LOCAL_MACHINE, kProductAppPathKey, L"ProductName"};
    ValueBackup userRun_{HKEY_CURRENT_USER, kRunKey, kAutorunTaskName};
    ValueBackup machineRun_{HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName};
    ValueBackup legacy32_{HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, KEY_WOW64_32KEY};
    ValueBackup legacy64_{HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, KEY_WOW64_64KEY};
    ValueBackup keepUser_{HKEY_CURRENT_USER, kRunKey, kKeepRunValue};
    ValueBackup keepMachine_{HKEY_LOCAL_MACHINE, kRunKey, kKeepRunValue};
    FakeTaskScheduler scheduler_;
};

// ===========================================================================
// CreateShortcut

TEST_F(ProductTracesTest, CreateShortcutWritesWhatItIsGiven) {
    InstallDir dir;
    ScopedTempDir links;
    std::wstring target = dir.Join(L"lumdesk.exe");
    std::wstring icon = dir.Join(L"Uninstall.exe");
    struct Case {
        const wchar_t* name;
        std::wstring target, arguments, linkFolder, iconFile;
        int iconIndex;
        bool notify, expected;
    } cases[] = {
        {L"plain", target, L"", links.path(), target, 0, false, true},
        {L"arguments and another icon", target, L"/show --from=test", links.path(), icon, 3, true, true},
        {L"no icon", target, L"", links.path(), icon, -1, false, true},
        {L"missing target", dir.Join(L"missing.exe"), L"", links.path(), target, 0, false, false},
        {L"missing link folder", target, L"", links.Join(L"absent"), target, 0, false, false},
        {L"link path of 260+", target, L"", links.Join(Repeat(L'd', 250)), target, 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        std::wstring linkPath = path::Join(c.linkFolder, L"测试.lnk");
        EXPECT_EQ(c.expected, CreateShortcut(c.target, c.arguments, linkPath, c.iconFile, c.iconIndex, c.notify));
        LinkFacts facts = ReadLink(linkPath);
        ASSERT_EQ(c.expected, facts.loaded);
        if (!c.expected) continue;
        EXPECT_TRUE(text::EqualsNoCase(c.target, facts.target)) << Narrow(facts.target);
        EXPECT_EQ(c.arguments, facts.arguments);
        EXPECT_TRUE(text::EqualsNoCase(dir.path(), facts.workingDir)) << Narrow(facts.workingDir);
        EXPECT_EQ(5, facts.showCommand);
        if (c.iconIndex >= 0) {
            EXPECT_EQ(ShortForm(c.iconFile), facts.iconFile);
            EXPECT_EQ(c.iconIndex, facts.iconIndex);
        } else {
            EXPECT_EQ(L"", facts.iconFile);
        }
        ::DeleteFileW(linkPath.c_str());
    }
}

// ===========================================================================
// Removal of shortcuts

TEST_F(ProductTracesTest, RemovalTakesBothEditionsLinksAndMenusAndKeepsTheGroupFolder) {
    std::vector<std::wstring> product, others;
    for (const std::wstring& desktop : {CommonDesktop(), UserDesktop()}) {
        for (const wchar_t* link : {kKelEditionLink, kLumoraEditionLink, kLumoraLiteLink})
            product.push_back(path::Join(desktop, link));
        others.push_back(path::Join(desktop, L"LumoraTestOther.lnk"));
    }
    for (const std::wstring& menu : {CommonPrograms(), UserPrograms()}) {
        MakeDir(path::Join(menu, kKelMenuFolder));
        MakeDir(path::Join(menu, kLumoraMenuFolder));
        product.push_back(path::Join(path::Join(menu, kKelMenuFolder), kKelEditionLink));
        product.push_back(path::Join(path::Join(menu, kKelMenuFolder), kKelUninstallLink));
        product.push_back(path::Join(path::Join(menu, kLumoraMenuFolder), kLumoraEditionLink));
        product.push_back(path::Join(path::Join(menu, kLumoraMenuFolder), kLumoraUninstallLink));
        others.push_back(path::Join(path::Join(menu, kKelMenuGroup), L"其他产品.lnk"));
    }
    for (const std::wstring& file : product) MakeFile(file);
    for (const std::wstring& file : others) MakeFile(file);

    RemoveDesktopShortcuts();
    RemoveStartMenuShortcuts();

    for (const std::wstring& file : product) EXPECT_FALSE(Exists(file)) << Narrow(file);
    for (const std::wstring& file : others) EXPECT_TRUE(Exists(file)) << Narrow(file);
    for (const std::wstring& menu : {CommonPrograms(), UserPrograms()}) {
        EXPECT_FALSE(Exists(path::Join(menu, kKelMenuFolder))) << Narrow(menu);
        EXPECT_FALSE(Exists(path::Join(menu, kLumoraMenuFolder))) << Narrow(menu);
        EXPECT_TRUE(path::DirectoryExists(path::Join(menu, kKelMenuGroup))) << Narrow(menu);
    }
}

TEST_F(ProductTracesTest, RemovalKeepsAnEmptyGroupFolderAndToleratesMissingItems) {
    MakeDir(path::Join(CommonPrograms(), kKelMenuFolder));
    RemoveDesktopShortcuts();
    RemoveStartMenuShortcuts();
    EXPECT_TRUE(path::DirectoryExists(path::Join(CommonPrograms(), kKelMenuGroup)));
    EXPECT_FALSE(Exists(path::Join(CommonPrograms(), kKelMenuFolder)));
}

TEST_F(ProductTracesTest, RemovalNeverFollowsALinkedMenuFolder) {
    ScopedTempDir outside;
    MakeDir(outside.Join(L"Kel壁纸"));
    MakeFile(outside.Join(L"Kel壁纸\\keep.txt"));
    MakeDir(outside.Join(L"Lumora"));
    MakeFile(outside.Join(L"Lumora\\keep.txt"));
    // Removed while their targets still exist: a dangling link is invisible to the program.
    win::ScopeExit unlink([this] {
        RemoveItem(path::Join(UserPrograms(), kKelMenuGroup));
        RemoveItem(path::Join(UserPrograms(), kLumoraMenuFolder));
    });
    ASSERT_TRUE(MakeDirectoryLink(path::Join(UserPrograms(), kKelMenuGroup), outside.path()));
    ASSERT_TRUE(MakeDirectoryLink(path::Join(UserPrograms(), kLumoraMenuFolder), outside.Join(L"Lumora")));

    LogCapture log;
    RemoveStartMenuShortcuts();

    EXPECT_TRUE(Exists(outside.Join(L"Kel壁纸\\keep.txt")));
    EXPECT_TRUE(Exists(outside.Join(L"Lumora\\keep.txt")));
    EXPECT_TRUE(log.Has(L"lies behind a link, kept"));
}

// ===========================================================================
// Product registry keys

struct RegistryCase {
    const char* name;
    HKEY root;
    std::wstring subKey;
    bool appPathGone, userKeyGone, classKeyGone;
    const wchar_t* logPart;  // null: no particular line
};

std::wstring AppPathsEntry(size_t totalLength) {
    std::wstring key = kAppPathsPrefix;
    return key + Repeat(L'n', totalLength > key.size() ? totalLength - key.size() : 1);
}

class RemoveProductRegistryTest : public ProductTracesTest, public ::testing::WithParamInterface<RegistryCase> {};

TEST_P(RemoveProductRegistryTest, DeletesOnlyTheProductsKeys) {
    const RegistryCase& c = GetParam();
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
        ASSERT_TRUE(SetString(root, kScratchAppPathKey, L"path", L"C:\\scratch"));
    ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, std::wstring(kScratchAppPathKey) + L"\\file_list", L"a.dll", L""));
    ASSERT_TRUE(SetString(HKEY_CURRENT_USER, kProductSettingsKey, L"pid", L"tapis"));
    ASSERT_TRUE(SetString(HKEY_CURRENT_USER, std::wstring(kProductSettingsKey) + L"\\sub", L"x", L"y"));
    ASSERT_TRUE(SetString(HKEY_CLASSES_ROOT, std::wstring(kFileClassKey) + L"\\shell", L"", L"open"));
    bool appPathsExisted = KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths");

    LogCapture log;
    FakeSetupConfig config(c.root, c.subKey);
    RemoveProductRegistry(&config);

    HKEY appPathRoot = c.root == HKEY_CURRENT_USER ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    EXPECT_EQ(c.appPathGone, !KeyExists(appPathRoot, kScratchAppPathKey));
    EXPECT_EQ(c.userKeyGone, !KeyExists(HKEY_CURRENT_USER, kProductSettingsKey));
    EXPECT_EQ(c.classKeyGone, !KeyExists(HKEY_CLASSES_ROOT, kFileClassKey));
    // Whatever the project says, nothing around the product's keys goes.
    HKEY otherRoot = appPathRoot == HKEY_CURRENT_USER ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    EXPECT_TRUE(KeyExists(otherRoot, kScratchAppPathKey));
    EXPECT_EQ(appPathsExisted,
              KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kRunKey));
    if (c.logPart) {
        EXPECT_TRUE(log.Has(c.logPart)) << Narrow(log.Text());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Projects, RemoveProductRegistryTest,
    ::testing::Values(
        RegistryCase{"machine_entry", HKEY_LOCAL_MACHINE, kScratchAppPathKey, true, true, true, nullptr},
        RegistryCase{"user_entry", HKEY_CURRENT_USER, kScratchAppPathKey, true, true, true, nullptr},
        RegistryCase{"doubled_backslashes", HKEY_LOCAL_MACHINE,
                     L"SOFTWARE\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\App Paths\\\\LumoraScratch.exe\\\\", true,
                     true, true, nullptr},
        RegistryCase{"empty", HKEY_LOCAL_MACHINE, L"", false, false, false, L"names no application path key"},
        RegistryCase{"only_backslashes", HKEY_LOCAL_MACHINE, L"\\\\\\", false, true, true, L"kept"},
        RegistryCase{"software_root", HKEY_LOCAL_MACHINE, L"SOFTWARE", false, true, true, L"kept"},
        RegistryCase{"app_paths_itself", HKEY_LOCAL_MACHINE,
                     L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths", false, true, true, L"kept"},
        RegistryCase{"parent_step", HKEY_LOCAL_MACHINE, std::wstring(kScratchAppPathKey) + L"\\..", false, true, true,
                     L"kept"},
        RegistryCase{"below_entry", HKEY_LOCAL_MACHINE, std::wstring(kScratchAppPathKey) + L"\\file_list", false,
                     true, true, L"kept"},
        RegistryCase{"users_root", HKEY_USERS, kScratchAppPathKey, false, true, true, L"root is not HKLM or HKCU"},
        RegistryCase{"length_260", HKEY_LOCAL_MACHINE, AppPathsEntry(260), false, true, true, nullptr},
        RegistryCase{"entry_name_of_256", HKEY_LOCAL_MACHINE, AppPathsEntry(52 + 256), false, true, true,
                     L"not one entry of App Paths"},
        RegistryCase{"length_1023", HKEY_LOCAL_MACHINE, AppPathsEntry(1023), false, true, true, L"kept"},
        RegistryCase{"length_1024", HKEY_LOCAL_MACHINE, AppPathsEntry(1024), false, false, false,
                     L"(unreadable or too long)"},
        RegistryCase{"length_2048", HKEY_LOCAL_MACHINE, AppPathsEntry(2048), false, false, false,
                     L"(unreadable or too long)"},
        RegistryCase{"length_4095", HKEY_LOCAL_MACHINE, AppPathsEntry(4095), false, false, false,
                     L"(unreadable or too long)"}),
    [](const ::testing::TestParamInfo<RegistryCase>& info) { return std::string(info.param.name); });

TEST_F(ProductTracesTest, RemoveProductRegistryWithoutConfigurationDoesNothing) {
    ASSERT_TRUE(SetString(HKEY_CURRENT_USER, kProductSettingsKey, L"pid", L"tapis"));
    RemoveProductRegistry(nullptr);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kProductSettingsKey));
}

// A registry link inside the per-user key goes as a link; its target stays.
TEST_F(ProductTracesTest, ProductKeyTreeDeletionNeverFollowsARegistryLink) {
    ASSERT_TRUE(SetString(HKEY_CURRENT_USER, kLinkTargetKey, L"keep", L"me"));
    std::wstring sid;
    {
        win::UniqueHandle token;
        ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()));
        BYTE buffer[512];
        DWORD length = 0;
        ASSERT_TRUE(::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &length));
        using ToString = BOOL(WINAPI*)(PSID, LPWSTR*);
        auto toString = reinterpret_cast<ToString>(reinterpret_cast<void*>(
            ::GetProcAddress(::GetModuleHandleW(L"advapi32.dll"), "ConvertSidToStringSidW")));
        ASSERT_NE(nullptr, toString);
        LPWSTR text = nullptr;
        ASSERT_TRUE(toString(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text));
        sid = text;
        ::LocalFree(text);
    }
    {
        win::UniqueRegKey link;
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(kProductSettingsKey) + L"\\linked").c_str(), 0,
                                    nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr,
                                    link.put(), nullptr));
        std::wstring target = L"\\Registry\\User\\" + sid + L"\\" + kLinkTargetKey;
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                                                  reinterpret_cast<const BYTE*>(target.data()),
                                                  static_cast<DWORD>(target.size() * sizeof(wchar_t))));
    }
    ASSERT_EQ(L"me", GetString(HKEY_CURRENT_USER, std::wstring(kProductSettingsKey) + L"\\linked", L"keep"));

    FakeSetupConfig config(HKEY_LOCAL_MACHINE, kScratchAppPathKey);
    RemoveProductRegistry(&config);

    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kProductSettingsKey));
    EXPECT_EQ(L"me", GetString(HKEY_CURRENT_USER, kLinkTargetKey, L"keep"));
}

TEST_F(ProductTracesTest, DeleteRegistryTreeRefusesAWholeRoot) {
    for (const wchar_t* subKey : {L"", L"\\", L"\\\\\\"}) EXPECT_FALSE(DeleteRegistryTree(HKEY_CURRENT_USER, subKey, 0));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software"));
}

TEST_F(ProductTracesTest, DeleteUninstallRegistryRemovesTheEntryWhateverItHolds) {
    for (bool present : {true, false}) {
        SCOPED_TRACE(present ? "present" : "missing");
        if (present) {
            ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kUninstallEntryKey, L"DisplayName", Repeat(L'x', 4095)));
            ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kUninstallEntryKey, L"NoModify", 1));
            ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, std::wstring(kUninstallEntryKey) + L"\\sub", L"a", L"b"));
        }
        LogCapture log;
        EXPECT_TRUE(DeleteUninstallRegistry());
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallEntryKey));
        EXPECT_TRUE(log.HasLine(L"Delete uninstall registry"));
    }
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"));
}

// ===========================================================================
// Autostart

TEST(TaskDelay, IsMinutesAndRemainingSeconds) {
    const struct {
        int seconds;
        const wchar_t* text;
    } cases[] = {{60, L"PT1M0S"}, {90, L"PT1M30S"}, {0, L"PT0M0S"},
                 {59, L"PT0M59S"}, {3600, L"PT60M0S"}, {-5, L"PT0M0S"}};
    for (const auto& c : cases) EXPECT_EQ(c.text, FormatTaskDelay(c.seconds)) << c.seconds;
}

TEST_F(ProductTracesTest, SetAutorunRegistersTheLogonTaskOfTheTable) {
    LogCapture log;
    EXPECT_TRUE(SetAutorun(true, L"C:\\Lumora Test\\quorsrv.exe", kAutorunTaskName, kAutorunTaskDescription, 90));
    ASSERT_EQ(1u, scheduler_.tasks.count(kAutorunTaskName));
    const LogonTaskDefinition& task = scheduler_.tasks[kAutorunTaskName].definition;

    wchar_t account[257] = {};
    DWORD size = 257;
    ASSERT_TRUE(::GetUserNameW(account, &size));
    EXPECT_EQ(account, task.author);
    EXPECT_EQ(L"Starts Kelwp-srv when a user logs on.", task.description);
    EXPECT_EQ(L"Trigger1", task.triggerId);
    EXPECT_NE(std::wstring::npos, task.triggerUser.find(L'\\')) << Narrow(task.triggerUser);
    EXPECT_EQ(std::wstring(L"\\") + account, task.triggerUser.substr(task.triggerUser.find(L'\\')));
    EXPECT_EQ(L"PT1M30S", task.delay);
    EXPECT_EQ(kQuotedTestProgram, task.programPath);
    EXPECT_EQ(L"/autorun --from=task", task.arguments);
    EXPECT_EQ(L"", task.workingDirectory);
    EXPECT_EQ(account, task.principalId);
    EXPECT_EQ(L"BUILTIN\\Administrators", task.principalGroup);
    EXPECT_TRUE(task.highestRunLevel);
    EXPECT_FALSE(task.stopIfGoingOnBatteries);
    EXPECT_FALSE(task.disallowStartIfOnBatteries);
    EXPECT_FALSE(task.allowHardTerminate);
    EXPECT_EQ(L"PT0S", task.executionTimeLimit);
    EXPECT_FALSE(task.stopOnIdleEnd);
    EXPECT_EQ(account, task.registrationUser);
    EXPECT_TRUE(log.HasLine(std::wstring(L"Add auto run task schedule success, ") + kQuotedTestProgram));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName));
}

TEST_F(ProductTracesTest, SetAutorunQuotesThePathExactlyOnce) {
    const struct {
        const wchar_t* given;
        bool accepted;
    } cases[] = {
        {L"C:\\Lumora Test\\quorsrv.exe", true},
        {L"\"C:\\Lumora Test\\quorsrv.exe\"", true},
        {L"\"C:\\Lumora Test\\quorsrv.exe", true},
        {L"C:\\Lumora Test\\quorsrv.exe\"", true},
        {L"", false},
        {L"\"", false},
        {L"\"\"", false},
        {L"C:\\Lumora \"Test\\quorsrv.exe", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.given));
        for (bool fallBack : {false, true}) {
            SCOPED_TRACE(fallBack ? "Run value" : "task");
            scheduler_.tasks.clear();
            scheduler_.registerResult = fallBack ? E_NOTIMPL : S_OK;
            DeleteRunValue(kAutorunTaskName);
            EXPECT_EQ(c.accepted, SetAutorun(true, c.given));
            std::wstring registered = scheduler_.tasks.count(kAutorunTaskName)
                                          ? scheduler_.tasks[kAutorunTaskName].definition.programPath
                                          : L"";
            std::wstring runValue = GetString(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName);
            if (!c.accepted) {
                EXPECT_EQ(L"", registered);
                EXPECT_EQ(L"", runValue);
            } else if (fallBack) {
                EXPECT_EQ(std::wstring(kQuotedTestProgram) + L" /autorun --from=task", runValue);
            } else {
                EXPECT_EQ(kQuotedTestProgram, registered);
            }
        }
    }
}

TEST_F(ProductTracesTest, SetAutorunRefusesOverLongPaths) {
    for (size_t length : {259u, 260u, 261u, 1024u, 2048u, 4095u}) {
        SCOPED_TRACE(length);
        std::wstring program = L"C:\\" + Repeat(L'p', length - 7) + L".exe";
        ASSERT_EQ(length, program.size());
        scheduler_.tasks.clear();
        LogCapture log;
        bool accepted = SetAutorun(true, program);
        EXPECT_EQ(length < MAX_PATH, accepted);
        EXPECT_EQ(length < MAX_PATH, scheduler_.tasks.count(kAutorunTaskName) == 1);
        if (length >= MAX_PATH) {
            EXPECT_TRUE(log.Has(L"Auto run refused for program path C:\\ppp"));
        }
    }
}

TEST_F(ProductTracesTest, AnExistingProgramTaskIsEnabledNotRecreated) {
    const struct {
        const char* name;
        bool startsProgram, enabled;
        std::vector<std::wstring> calls;
    } cases[] = {
        {"disabled program task", true, false, {L"find Kelwp-srv", L"enable Kelwp-srv"}},
        {"enabled program task", true, true, {L"find Kelwp-srv"}},
        {"task of another kind", false, true, {L"find Kelwp-srv", L"delete Kelwp-srv", L"register Kelwp-srv"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scheduler_.tasks.clear();
        scheduler_.calls.clear();
        FakeTask existing;
        existing.startsProgram = c.startsProgram;
        existing.enabled = c.enabled;
        existing.definition.programPath = L"\"C:\\old\\quorsrv.exe\"";
        scheduler_.tasks[kAutorunTaskName] = existing;
        EXPECT_TRUE(SetAutorun(true, L"C:\\Lumora Test\\quorsrv.exe"));
        EXPECT_EQ(c.calls, scheduler_.calls);
        ASSERT_EQ(1u, scheduler_.tasks.count(kAutorunTaskName));
        EXPECT_TRUE(scheduler_.tasks[kAutorunTaskName].enabled);
        EXPECT_EQ(c.startsProgram ? L"\"C:\\old\\quorsrv.exe\"" : kQuotedTestProgram,
                  scheduler_.tasks[kAutorunTaskName].definition.programPath);
        EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName));
    }
}

TEST_F(ProductTracesTest, RunValueFallBackReplacesOnlyADifferentValue) {
    const std::wstring expected = std::wstring(kQuotedTestProgram) + L" /autorun --from=task";
    std::wstring sameOtherCase = expected;
    std::transform(sameOtherCase.begin(), sameOtherCase.end(), sameOtherCase.begin(), ::towupper);
    const struct {
        const char* name;
        std::function<void()> plant;
        std::wstring after;
    } cases[] = {
        {"missing", [] {}, expected},
        {"same text in other case",
         [&] { SetString(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName, sameOtherCase); }, sameOtherCase},
        {"other program",
         [] { SetString(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName, L"\"C:\\old.exe\" /autorun"); }, expected},
        {"empty", [] { SetString(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName, L""); }, expected},
        {"dword", [] { SetDword(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName, 7); }, expected},
        {"expandable same text",
         [&] { SetString(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName, expected, KEY_WOW64_32KEY, REG_EXPAND_SZ); },
         expected},
        {"binary",
         [] { SetValue(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName, REG_BINARY, "\x01\x02\x03", 3); }, expected},
        {"4095 characters starting alike",
         [&] { SetString(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName, expected + Repeat(L'x', 4095 - expected.size())); },
         expected},
    };
    scheduler_.registerResult = E_NOTIMPL;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteRunValue(kAutorunTaskName);
        c.plant();
        LogCapture log;
        EXPECT_TRUE(SetAutorun(true, L"C:\\Lumora Test\\quorsrv.exe"));
        EXPECT_EQ(REG_SZ, ValueType(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName));
        EXPECT_EQ(c.after, GetString(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName));
        EXPECT_TRUE(log.HasLine(std::wstring(L"Add auto run register, ") + kQuotedTestProgram));
        EXPECT_TRUE(log.Has(L"Register auto run task failed, hr = 0x80004001"));
    }
}

TEST_F(ProductTracesTest, AnUnreachableSchedulerFallsBackToTheRunValue) {
    scheduler_.openResult = CO_E_NOTINITIALIZED;
    LogCapture log;
    EXPECT_TRUE(SetAutorun(true, L"C:\\Lumora Test\\quorsrv.exe"));
    EXPECT_EQ(std::wstring(kQuotedTestProgram) + L" /autorun --from=task",
              GetString(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName));
    EXPECT_TRUE(log.Has(L"Task scheduler not available, hr = 0x800401F0"));
}

TEST_F(ProductTracesTest, SetAutorunOffDeletesTaskAndBothRunValues) {
    scheduler_.tasks[kAutorunTaskName] = FakeTask();
    ASSERT_TRUE(SetString(HKEY_CURRENT_USER, kRunKey, kAutorunTaskName, L"x"));
    ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName, L"x"));
    EXPECT_TRUE(SetAutorun(false, L""));
    EXPECT_EQ(0u, scheduler_.tasks.count(kAutorunTaskName));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, kRunKey, kAutorunTaskName));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName));
}

// ---------------------------------------------------------------------------
// RemoveAutorun

TEST_F(ProductTracesTest, RemoveAutorunClearsRunValuesTaskAndWpappInBothViews) {
    ASSERT_TRUE(Is64BitSystem()) << "the prefix is a 64-bit one";
    const struct {
        const char* name;
        std::function<void(HKEY, const wchar_t*, REGSAM)> plant;
    } values[] = {
        {"string", [](HKEY r, const wchar_t* n, REGSAM v) { SetString(r, kRunKey, n, L"\"C:\\x\\quorsrv.exe\"", v); }},
        {"empty", [](HKEY r, const wchar_t* n, REGSAM v) { SetString(r, kRunKey, n, L"", v); }},
        {"dword", [](HKEY r, const wchar_t* n, REGSAM v) { SetDword(r, kRunKey, n, 1, v); }},
        {"4095 characters", [](HKEY r, const wchar_t* n, REGSAM v) { SetString(r, kRunKey, n, Repeat(L'r', 4095), v); }},
        {"missing", [](HKEY, const wchar_t*, REGSAM) {}},
    };
    InstallDir dir;
    for (const auto& value : values) {
        SCOPED_TRACE(value.name);
        value.plant(HKEY_CURRENT_USER, kAutorunTaskName, KEY_WOW64_32KEY);
        value.plant(HKEY_LOCAL_MACHINE, kAutorunTaskName, KEY_WOW64_32KEY);
        value.plant(HKEY_LOCAL_MACHINE, kLegacyRunValue, KEY_WOW64_32KEY);
        value.plant(HKEY_LOCAL_MACHINE, kLegacyRunValue, KEY_WOW64_64KEY);
        ASSERT_TRUE(SetString(HKEY_CURRENT_USER, kRunKey, kKeepRunValue, L"keep"));
        ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kRunKey, kKeepRunValue, L"keep"));
        scheduler_.tasks[kAutorunTaskName] = FakeTask();

        LogCapture log;
        RemoveAutorun(dir.path());

        EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, kRunKey, kAutorunTaskName));
        EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, kAutorunTaskName));
        EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, KEY_WOW64_32KEY));
        EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, KEY_WOW64_64KEY));
        EXPECT_EQ(0u, scheduler_.tasks.count(kAutorunTaskName));
        EXPECT_EQ(L"keep", GetString(HKEY_CURRENT_USER, kRunKey, kKeepRunValue));
        EXPECT_EQ(L"keep", GetString(HKEY_LOCAL_MACHINE, kRunKey, kKeepRunValue));
        EXPECT_TRUE(log.HasLine(L"Delete AutoRun Registry, ret = 1"));
        EXPECT_TRUE(log.HasLine(L"Delete AutoRun Task Schedule, ret = 1"));
    }
}

TEST_F(ProductTracesTest, WpappGoesFromTheNativeViewOnlyOnA64BitSystem) {
    for (bool is64 : {false, true}) {
        SCOPED_TRACE(is64 ? "64-bit" : "32-bit");
        ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, L"a", KEY_WOW64_32KEY));
        ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, L"b", KEY_WOW64_64KEY));
        DeleteLegacyRunValue(is64);
        EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, KEY_WOW64_32KEY));
        EXPECT_EQ(!is64, ValueExists(HKEY_LOCAL_MACHINE, kRunKey, kLegacyRunValue, KEY_WOW64_64KEY));
    }
}

TEST_F(ProductTracesTest, RemoveAutorunLogsTheFolderResultOfAnUnreachableScheduler) {
    scheduler_.openResult = REGDB_E_CLASSNOTREG;
    InstallDir dir;
    LogCapture log;
    RemoveAutorun(dir.path());
    EXPECT_TRUE(log.HasLine(L"Delete AutoRun Registry, ret = 1"));
    EXPECT_TRUE(log.HasLine(L"Delete AutoRun Task Schedule, ret = 0"));
}

// config.set: whatever it held, "open" of "auto_run" reads "0" afterwards and
// the other entries stay; a missing file is not created.
TEST_F(ProductTracesTest, RemoveAutorunSwitchesConfigSetOff) {
    const std::string longValue(4095, 'v');
    const struct {
        const char* name;
        std::string content;
        bool present;
    } cases[] = {
        {"missing file", "", false},
        {"empty file", "", true},
        {"switch on", "[auto_run]\r\nopen=1\r\nother=keep\r\n[login]\r\nuser=keep\r\n", true},
        {"no section", "[login]\r\nuser=keep\r\n", true},
        {"switch text", "[auto_run]\r\nopen=yes please\r\nother=keep\r\n", true},
        {"switch of 4095", "[auto_run]\r\nopen=" + longValue + "\r\nother=keep\r\n", true},
        {"binary noise", std::string("\x00\xff\x01[auto_run\r\n=\r\n", 16), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstallDir dir;
        std::wstring config = dir.Join(L"config.set");
        if (c.present) MakeFile(config, c.content);
        RemoveAutorun(dir.path());
        if (!c.present) {
            EXPECT_FALSE(path::FileExists(config));
            continue;
        }
        wchar_t value[64] = {};
        ::GetPrivateProfileStringW(L"auto_run", L"open", L"", value, 64, config.c_str());
        EXPECT_STREQ(L"0", value);
        if (c.content.find("other=keep") != std::string::npos) {
            ::GetPrivateProfileStringW(L"auto_run", L"other", L"", value, 64, config.c_str());
            EXPECT_STREQ(L"keep", value);
        }
        if (c.content.find("user=keep") != std::string::npos) {
            ::GetPrivateProfileStringW(L"login", L"user", L"", value, 64, config.c_str());
            EXPECT_STREQ(L"keep", value);
        }
    }
}

TEST_F(ProductTracesTest, ConfigSetIsNeverWrittenOutsideAnAbsoluteInstallDir) {
    wchar_t windowsDir[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windowsDir, MAX_PATH);
    std::wstring strayConfig = path::Join(windowsDir, L"config.set");
    ASSERT_FALSE(Exists(strayConfig)) << "left over from elsewhere";
    ScopedTempDir temp;
    std::wstring current = temp.path();
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ::SetCurrentDirectoryW(current.c_str());
    MakeDir(temp.Join(L"relative"));

    const struct {
        const char* name;
        std::wstring installDir;
        const wchar_t* logPart;
    } cases[] = {
        {"empty", L"", L"is not absolute"},
        {"relative", L"relative", L"is not absolute"},
        {"260", L"C:\\" + Repeat(L'd', 257), L"path too long"},
        {"1024", L"C:\\" + Repeat(L'd', 1021), L"path too long"},
        {"2048", L"C:\\" + Repeat(L'd', 2045), L"path too long"},
        {"4095", L"C:\\" + Repeat(L'd', 4092), L"path too long"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scheduler_.tasks[kAutorunTaskName] = FakeTask();
        LogCapture log;
        RemoveAutorun(c.installDir);
        EXPECT_TRUE(log.Has(c.logPart)) << Narrow(log.Text());
        // The run goes on to the Run values and the task.
        EXPECT_TRUE(log.HasLine(L"Delete AutoRun Task Schedule, ret = 1"));
        EXPECT_EQ(0u, scheduler_.tasks.count(kAutorunTaskName));
    }
    EXPECT_FALSE(Exists(strayConfig));
    EXPECT_FALSE(Exists(temp.Join(L"config.set")));
    EXPECT_FALSE(Exists(temp.Join(L"relative\\config.set")));
    ::SetCurrentDirectoryW(previous);
}

TEST_F(ProductTracesTest, ConfigSetThatIsAFolderOrLinkIsLeftAlone) {
    ScopedTempDir outside;
    MakeFile(outside.Join(L"target.ini"), "[auto_run]\r\nopen=1\r\n");
    for (bool asLink : {false, true}) {
        SCOPED_TRACE(asLink ? "link" : "folder");
        InstallDir dir;
        if (asLink) {
            ASSERT_TRUE(MakeDirectoryLink(dir.Join(L"config.set"), outside.path()));
        } else {
            MakeDir(dir.Join(L"config.set"));
        }
        LogCapture log;
        EXPECT_FALSE(WriteAutorunSwitch(dir.path(), false));
        EXPECT_TRUE(log.Has(L"is a link or a folder"));
        EXPECT_EQ("[auto_run]\r\nopen=1\r\n", testing_support::ReadFileBytes(outside.Join(L"target.ini")));
        RemoveItem(dir.Join(L"config.set"));
    }
}

// ===========================================================================
// Restore ("/K")

TEST_F(ProductTracesTest, EditionFollowsProductNameWhateverItHolds) {
    const struct {
        const char* name;
        std::function<void()> plant;
        ProductEdition edition;
    } cases[] = {
        {"missing", [] { ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProductAppPathKey, L"ProductName"); },
         ProductEdition::Kel},
        {"lumoradesk", [] { SetString(HKEY_LOCAL_MACHINE, kProductAppPathKey, L"ProductName", L"lumoradesk"); },
         ProductEdition::Lumora},
        {"LumoraDesk", [] { SetString(HKEY_LOCAL_MACHINE, kProductAppPathKey, L"ProductName", L"LumoraDesk"); },
         ProductEdition::Lumora},
        {"other", [] { SetString(HKEY_LOCAL_MACHINE, kProductAppPathKey, L"ProductName", L"kelwp"); },
         ProductEdition::Kel},
        {"empty", [] { SetString(HKEY_LOCAL_MACHINE, kProductAppPathKey, L"ProductName", L""); },
         ProductEdition::Kel},
        {"longer", [] { SetString(HKEY_LOCAL_MACHINE, kProductAppPathKey, L"ProductName", L"lumoradesk2"); },
         ProductEdition::Kel},
        {"dword", [] { SetDword(HKEY_LOCAL_MACHINE, kProductAppPathKey, L"ProductName", 1); }, ProductEdition::Kel},
        {"expandable",
         [] {
             SetString(HKEY_LOCAL_MACHINE, kProductAppPathKey, L"ProductName", L"lumoradesk", KEY_WOW64_32KEY,
                       REG_EXPAND_SZ);
         },
         ProductEdition::Kel},
        {"260 characters",
         [] { SetString(HKEY_LOCAL_MACHINE, kProductAppPathKey, L"ProductName", L"lumoradesk" + Repeat(L' ', 250)); },
         ProductEdition::Kel},
        {"4095 characters",
         [] { SetString(HKEY_LOCAL_MACHINE, kProductAppPathKey, L"ProductName", Repeat(L'l', 4095)); },
         ProductEdition::Kel},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.plant();
        EXPECT_EQ(c.edition, CProductRestore(L"C:\\nowhere").Edition());
    }
}

// Old links of both editions in both menus, for the restore to clear.
void PlantOldShortcuts(const std::vector<std::wstring>& desktops, const std::vector<std::wstring>& menus) {
    for (const std::wstring& desktop : desktops)
        for (const wchar_t* link : {kKelEditionLink, kLumoraEditionLink, kLumoraLiteLink})
            MakeFile(path::Join(desktop, link), "old");
    for (const std::wstring& menu : menus) {
        MakeDir(path::Join(menu, kKelMenuFolder));
        MakeDir(path::Join(menu, kLumoraMenuFolder));
        MakeFile(path::Join(path::Join(menu, kKelMenuFolder), kKelEditionLink), "old");
        MakeFile(path::Join(path::Join(menu, kLumoraMenuFolder), kLumoraEditionLink), "old");
    }
}

void ExpectLink(const std::wstring& linkPath, const std::wstring& target, int iconIndex) {
    SCOPED_TRACE(Narrow(linkPath));
    LinkFacts facts = ReadLink(linkPath);
    ASSERT_TRUE(facts.loaded);
    EXPECT_TRUE(text::EqualsNoCase(target, facts.target)) << Narrow(facts.target);
    EXPECT_EQ(L"", facts.arguments);
    EXPECT_TRUE(text::EqualsNoCase(path::Parent(target), facts.workingDir)) << Narrow(facts.workingDir);
    EXPECT_EQ(ShortForm(target), facts.iconFile);
    EXPECT_EQ(iconIndex, facts.iconIndex);
    EXPECT_EQ(5, facts.showCommand);
}

void ExpectUninstallEntry(const InstallDir& dir, const std::wstring& icon, const std::wstring& name,
                          const std::wstring& publisher) {
    const std::wstring key = kUninstallEntryKey;
    EXPECT_EQ(icon, GetString(HKEY_LOCAL_MACHINE, key, L"DisplayIcon"));
    EXPECT_EQ(name, GetString(HKEY_LOCAL_MACHINE, key, L"DisplayName"));
    EXPECT_EQ(L"5.6.7.8", GetString(HKEY_LOCAL_MACHINE, key, L"DisplayVersion"));
    EXPECT_EQ(dir.path(), GetString(HKEY_LOCAL_MACHINE, key, L"InstallLocation"));
    EXPECT_EQ(publisher, GetString(HKEY_LOCAL_MACHINE, key, L"Publisher"));
    EXPECT_EQ(L"\"" + dir.Join(L"Uninstall.exe") + L"\"", GetString(HKEY_LOCAL_MACHINE, key, L"UninstallString"));
    EXPECT_EQ(kProductAboutPage, GetString(HKEY_LOCAL_MACHINE, key, L"URLInfoAbout"));
    for (const wchar_t* value : {L"DisplayIcon", L"DisplayName", L"DisplayVersion", L"InstallLocation", L"Publisher",
                                 L"UninstallString", L"URLInfoAbout"})
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), ValueType(HKEY_LOCAL_MACHINE, key, value)) << Narrow(value);
}

void ExpectAutostartOn(const FakeTaskScheduler& scheduler, const InstallDir& dir) {
    ASSERT_EQ(1u, scheduler.tasks.count(kAutorunTaskName));
    const LogonTaskDefinition& task = scheduler.tasks.at(kAutorunTaskName).definition;
    EXPECT_EQ(L"\"" + dir.Join(L"quorsrv.exe") + L"\"", task.programPath);
    EXPECT_EQ(L"/autorun --from=task", task.arguments);
    EXPECT_EQ(L"PT1M0S", task.delay);
    wchar_t value[16] = {};
    ::GetPrivateProfileStringW(L"auto_run", L"open", L"", value, 16, dir.Join(L"config.set").c_str());
    EXPECT_STREQ(L"1", value);
}

TEST_F(ProductTracesTest, RestoreRecreatesTheKelEditionAndItsAutostart) {
    SetProductName(L"kelwp");
    InstallDir dir;
    PlantOldShortcuts({CommonDesktop(), UserDesktop()}, {CommonPrograms(), UserPrograms()});

    RunRestore(dir.path());

    std::wstring lumdesk = dir.Join(L"lumdesk.exe");
    std::wstring menu = path::Join(CommonPrograms(), kKelMenuFolder);
    ExpectLink(path::Join(CommonDesktop(), kKelEditionLink), lumdesk, 0);
    ExpectLink(path::Join(menu, kKelEditionLink), lumdesk, 0);
    ExpectLink(path::Join(menu, kKelUninstallLink), dir.Join(L"Uninstall.exe"), 0);
    for (const std::wstring& desktop : {CommonDesktop(), UserDesktop()})
        for (const wchar_t* link : {kLumoraEditionLink, kLumoraLiteLink})
            EXPECT_FALSE(Exists(path::Join(desktop, link))) << Narrow(desktop);
    EXPECT_FALSE(Exists(path::Join(UserDesktop(), kKelEditionLink)));
    EXPECT_FALSE(Exists(path::Join(CommonPrograms(), kLumoraMenuFolder)));
    EXPECT_FALSE(Exists(path::Join(UserPrograms(), kLumoraMenuFolder)));
    EXPECT_FALSE(Exists(path::Join(UserPrograms(), kKelMenuGroup)));  // emptied, so removed
    ExpectUninstallEntry(dir, L"", L"Kel壁纸", L"Kel互联网安全中心");
    ExpectAutostartOn(scheduler_, dir);
}

TEST_F(ProductTracesTest, RestoreRecreatesTheLumoraEditionWithItsLiteDesktopLink) {
    const struct {
        const char* name;
        std::function<void()> plantPid;
        const wchar_t* desktopLink;
    } cases[] = {
        {"lite", [] { SetString(HKEY_CURRENT_USER, kProductSettingsKey, L"pid", L"PaperLite"); }, kLumoraLiteLink},
        {"lite with blanks", [] { SetString(HKEY_CURRENT_USER, kProductSettingsKey, L"pid", L" paperLite "); },
         kLumoraLiteLink},
        {"other pid", [] { SetString(HKEY_CURRENT_USER, kProductSettingsKey, L"pid", L"tapis"); }, kLumoraEditionLink},
        {"dword pid", [] { SetDword(HKEY_CURRENT_USER, kProductSettingsKey, L"pid", 1); }, kLumoraEditionLink},
        {"4095 pid", [] { SetString(HKEY_CURRENT_USER, kProductSettingsKey, L"pid", L"paperLite" + Repeat(L' ', 4086)); },
         kLumoraEditionLink},
        {"no pid", [] { DeleteRegistryTree(HKEY_CURRENT_USER, kProductSettingsKey, 0); }, kLumoraEditionLink},
    };
    SetProductName(L"LumoraDesk");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.plantPid();
        InstallDir dir;
        PlantOldShortcuts({CommonDesktop()}, {CommonPrograms()});
        MakeFile(path::Join(path::Join(CommonPrograms(), kKelMenuGroup), L"其他产品.lnk"));
        scheduler_.tasks.clear();

        RunRestore(dir.path());

        std::wstring lumdesk = dir.Join(L"lumdesk.exe");
        std::wstring menu = path::Join(CommonPrograms(), kLumoraMenuFolder);
        ExpectLink(path::Join(CommonDesktop(), c.desktopLink), lumdesk, 1);
        const wchar_t* otherDesktopLink = c.desktopLink == kLumoraLiteLink ? kLumoraEditionLink : kLumoraLiteLink;
        EXPECT_FALSE(Exists(path::Join(CommonDesktop(), otherDesktopLink)));
        EXPECT_FALSE(Exists(path::Join(CommonDesktop(), kKelEditionLink)));
        ExpectLink(path::Join(menu, kLumoraEditionLink), lumdesk, 1);
        ExpectLink(path::Join(menu, kLumoraUninstallLink), dir.Join(L"Uninstall.exe"), 0);
        EXPECT_FALSE(Exists(path::Join(CommonPrograms(), kKelMenuFolder)));
        EXPECT_TRUE(Exists(path::Join(path::Join(CommonPrograms(), kKelMenuGroup), L"其他产品.lnk")));
        ExpectUninstallEntry(dir, dir.Join(L"Utils\\lumoradesk.ico"), L"Lumora", L"Lumora");
        ExpectAutostartOn(scheduler_, dir);
        for (const std::wstring& item : ProductShellItems()) RemoveItem(item);
        DeleteUninstallRegistry();
    }
}

TEST_F(ProductTracesTest, RestoreEnablesADisabledTaskWithoutRecreatingIt) {
    InstallDir dir;
    FakeTask existing;
    existing.enabled = false;
    existing.definition.programPath = L"\"C:\\old\\quorsrv.exe\"";
    scheduler_.tasks[kAutorunTaskName] = existing;

    RunRestore(dir.path());

    EXPECT_EQ((std::vector<std::wstring>{L"find Kelwp-srv", L"enable Kelwp-srv"}), scheduler_.calls);
    EXPECT_TRUE(scheduler_.tasks[kAutorunTaskName].enabled);
    EXPECT_EQ(L"\"C:\\old\\quorsrv.exe\"", scheduler_.tasks[kAutorunTaskName].definition.programPath);
}

TEST_F(ProductTracesTest, RestoreWithoutTheMainProgramWritesNoEntry) {
    SetProductName(L"kelwp");
    InstallDir dir;
    ::DeleteFileW(dir.Join(L"lumdesk.exe").c_str());
    PlantOldShortcuts({CommonDesktop()}, {CommonPrograms()});
    LogCapture log;
    CProductRestore(dir.path()).RestoreProductEntries();
    EXPECT_FALSE(Exists(path::Join(CommonDesktop(), kKelEditionLink)));
    EXPECT_FALSE(Exists(path::Join(CommonPrograms(), kLumoraMenuFolder)));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallEntryKey));
    EXPECT_TRUE(log.Has(L"restore: Kel edition shortcuts incomplete"));
}

TEST_F(ProductTracesTest, RestoreOfAMissingDirectoryTouchesNothing) {
    ScopedTempDir temp;
    const std::wstring missing[] = {L"", L".", temp.Join(L"gone"), L"C:\\" + Repeat(L'd', 260),
                                    L"C:\\" + Repeat(L'd', 4092)};
    PlantOldShortcuts({CommonDesktop()}, {CommonPrograms()});
    for (const std::wstring& installDir : missing) {
        SCOPED_TRACE(installDir.size());
        LogCapture log;
        RunRestore(installDir);
        EXPECT_TRUE(log.Has(L"nothing restored"));
        EXPECT_TRUE(log.Has(L"autorun not enabled"));
        EXPECT_EQ("old", testing_support::ReadFileBytes(path::Join(CommonDesktop(), kKelEditionLink)));
        EXPECT_TRUE(Exists(path::Join(CommonPrograms(), kLumoraMenuFolder)));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kUninstallEntryKey));
        EXPECT_TRUE(scheduler_.tasks.empty());
        EXPECT_EQ(0, scheduler_.opened);
    }
}

// ===========================================================================
// The real Task Scheduler of this platform

const CLSID kTaskSchedulerClass = {0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};

// The root folder, reached the plain way, for fixtures and read-backs.
class RawScheduler {
public:
    RawScheduler() {
        if (FAILED(::CoCreateInstance(kTaskSchedulerClass, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITaskService),
                                      service_.put_void())))
            return;
        VARIANT empty;
        ::VariantInit(&empty);
        BSTR root = ::SysAllocString(L"\\");
        if (SUCCEEDED(service_->Connect(empty, empty, empty, empty))) service_->GetFolder(root, folder_.put());
        ::SysFreeString(root);
    }
    bool ok() const { return static_cast<bool>(folder_); }
    // A task with one program action and no trigger: what this platform can hold.
    bool RegisterPlainTask(const std::wstring& name) {
        win::ComPtr<ITaskDefinition> definition;
        win::ComPtr<IActionCollection> actions;
        win::ComPtr<IAction> action;
        win::ComPtr<IExecAction> exec;
        if (FAILED(service_->NewTask(0, definition.put())) || FAILED(definition->get_Actions(actions.put())) ||
            FAILED(actions->Create(TASK_ACTION_EXEC, action.put())) ||
            FAILED(action->QueryInterface(__uuidof(IExecAction), exec.put_void())))
            return false;
        BSTR program = ::SysAllocString(L"C:\\windows\\notepad.exe");
        exec->put_Path(program);
        ::SysFreeString(program);
        VARIANT empty;
        ::VariantInit(&empty);
        BSTR taskName = ::SysAllocString(name.c_str());
        win::ComPtr<IRegisteredTask> registered;
        HRESULT result = folder_->RegisterTaskDefinition(taskName, definition.get(), TASK_CREATE_OR_UPDATE, empty,
                                                         empty, TASK_LOGON_INTERACTIVE_TOKEN, empty,
                                                         registered.put());
        ::SysFreeString(taskName);
        return SUCCEEDED(result);
    }
    // The task's XML; empty when there is no such task.
    std::wstring TaskXml(const std::wstring& name) {
        BSTR taskName = ::SysAllocString(name.c_str());
        win::ComPtr<IRegisteredTask> task;
        HRESULT found = folder_->GetTask(taskName, task.put());
        ::SysFreeString(taskName);
        if (FAILED(found) || !task) return std::wstring();
        BSTR xml = nullptr;
        std::wstring text = SUCCEEDED(task->get_Xml(&xml)) && xml ? std::wstring(xml) : std::wstring(L"<none/>");
        ::SysFreeString(xml);
        return text;
    }
    void Delete(const std::wstring& name) {
        BSTR taskName = ::SysAllocString(name.c_str());
        folder_->DeleteTask(taskName, 0);
        ::SysFreeString(taskName);
    }

private:
    win::ComPtr<ITaskService> service_;
    win::ComPtr<ITaskFolder> folder_;
};

TEST(RealTaskScheduler, DeleteAutorunTaskRemovesARegisteredTask) {
    const std::wstring name = L"LumoraTestDelete";
    RawScheduler scheduler;
    ASSERT_TRUE(scheduler.ok());
    ASSERT_TRUE(scheduler.RegisterPlainTask(name));
    ASSERT_NE(L"", scheduler.TaskXml(name));

    EXPECT_TRUE(DeleteAutorunTask(name));
    EXPECT_EQ(L"", scheduler.TaskXml(name));
    EXPECT_TRUE(DeleteAutorunTask(name));  // a missing task is normal
}

TEST(RealTaskScheduler, SetAutorunRegistersTheTaskOrFallsBackToTheRunValue) {
    const std::wstring name = L"LumoraTestAutorun";
    ValueBackup runValue(HKEY_LOCAL_MACHINE, kRunKey, name);
    RawScheduler scheduler;
    ASSERT_TRUE(scheduler.ok());
    scheduler.Delete(name);
    LogCapture log;

    EXPECT_TRUE(SetAutorun(true, L"C:\\Lumora Test\\quorsrv.exe", name, kAutorunTaskDescription, 60));

    std::wstring xml = scheduler.TaskXml(name);
    if (!xml.empty()) {
        // A scheduler with logon triggers (Windows).
        EXPECT_NE(std::wstring::npos, xml.find(L"<LogonTrigger")) << Narrow(xml);
        EXPECT_NE(std::wstring::npos, xml.find(L"<Delay>PT1M")) << Narrow(xml);
        EXPECT_NE(std::wstring::npos, xml.find(L"<Command>\"C:\\Lumora Test\\quorsrv.exe\"</Command>"))
            << Narrow(xml);
        EXPECT_NE(std::wstring::npos, xml.find(L"<Arguments>/autorun --from=task</Arguments>")) << Narrow(xml);
        scheduler.Delete(name);
    } else {
        // Wine: the logon trigger is refused, so the Run value carries the autostart.
        ::testing::Test::RecordProperty("autostart", "Run value");
        EXPECT_TRUE(log.Has(L"Register auto run task failed, hr = 0x80004001")) << Narrow(log.Text());
        EXPECT_EQ(std::wstring(kQuotedTestProgram) + L" /autorun --from=task",
                  GetString(HKEY_LOCAL_MACHINE, kRunKey, name));
    }
}

}  // namespace
