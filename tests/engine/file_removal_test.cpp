// File removal and deferred deletion, played against the real file system and
// registry of the Wine prefix. Restart-time registration is real where the
// platform's answer matters and a recording double where a refusal is needed.
#include <windows.h>
#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "config/UninstallRootDirList.h"
#include "engine/FileRemoval.h"
#include "engine/PathSafety.h"
#include "engine/RestartDeletion.h"
#include "engine/RunOnceBatch.h"
#include "engine/TempLocation.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"

using testing_support::ScopedTempDir;
using testing_support::LogCapture;
using testing_support::UnixPath;

namespace {

const wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";

std::string Narrow(const std::wstring& wide) { return text::ToUtf8(wide); }

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void MakeFile(const std::wstring& path, DWORD attributes = 0) {
    ASSERT_TRUE(testing_support::WriteFileBytes(path, "data")) << Narrow(path);
    if (attributes) ::SetFileAttributesW(path.c_str(), attributes);
}

void MakeDir(const std::wstring& path) { ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr); }

// Every file below `root` (names relative to it), for "what stays" checks.
void ListFiles(const std::wstring& root, const std::wstring& prefix, std::set<std::wstring>& out) {
    WIN32_FIND_DATAW data;
    win::UniqueFind find(::FindFirstFileW(path::Join(root, L"*").c_str(), &data));
    if (!find) return;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring relative = prefix.empty() ? name : prefix + L"\\" + name;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            out.insert(relative + L"\\");
            ListFiles(path::Join(root, name), relative, out);
        } else {
            out.insert(relative);
        }
    } while (::FindNextFileW(find.get(), &data));
}

std::set<std::wstring> Tree(const std::wstring& root) {
    std::set<std::wstring> out;
    ListFiles(root, L"", out);
    return out;
}

// The process log redirected into a scratch file for one test.
// The "b" of the "cut a to b success" line for "a".
std::wstring MovedName(const testing_support::LogCapture& log, const std::wstring& from) {
    std::wstring text = log.Text();
    std::wstring head = L" cut " + from + L" to ";
    size_t at = text.find(head);
    if (at == std::wstring::npos) return std::wstring();
    at += head.size();
    size_t end = text.find(L" success\r\n", at);
    return end == std::wstring::npos ? std::wstring() : text.substr(at, end - at);
}

class FakeRootList : public IUninstallRootDirList {
public:
    explicit FakeRootList(std::initializer_list<const wchar_t*> names) {
        for (const wchar_t* name : names) keys_.insert(CUninstallRootDirList::KeyOf(name));
    }
    bool LoadFromResource(HMODULE, const wchar_t*, const wchar_t*) override { return false; }
    bool Load(const wchar_t*) override { return false; }
    int GetCount() override { return static_cast<int>(keys_.size()); }
    bool GetItem(int, RootDirItem*) override { return false; }
    bool Remove(const wchar_t*) override { return true; }
    bool Contains(const wchar_t* name) override {
        if (name) asked_.push_back(name);
        return name && keys_.count(CUninstallRootDirList::KeyOf(name)) > 0;
    }
    std::vector<std::wstring> asked_;

private:
    std::set<std::wstring> keys_;
};

class CountingProgress : public IDeleteProgress {
public:
    void SetTotalCount(int count) override { total = count; }
    void OnFileDeleted() override { ++visited; }
    int total = -1;
    int visited = 0;
};

// Records registrations for deletion at restart, accepting or refusing them.
class RecordingRestartDeletion : public IRestartDeletion {
public:
    explicit RecordingRestartDeletion(bool accept) : accept_(accept), previous_(SetRestartDeletion(this)) {}
    ~RecordingRestartDeletion() override { SetRestartDeletion(previous_ == this ? nullptr : previous_); }
    bool Schedule(const std::wstring& path) override {
        paths.push_back(path);
        return accept_;
    }
    std::vector<std::wstring> paths;

private:
    bool accept_;
    IRestartDeletion* previous_;
};

// A helper process that holds a file open without delete or write sharing.
class HeldFile {
public:
    explicit HeldFile(const std::wstring& path) : ready_(path + L".held") {
        wchar_t name[64];
        _snwprintf(name, 64, L"Local\\lumora-hold-%lu-%p", ::GetCurrentProcessId(), static_cast<void*>(this));
        name[63] = L'\0';
        release_.reset(::CreateEventW(nullptr, TRUE, FALSE, name));
        child_ = testing_support::StartChild(path::ModulePath(),
                                             L"--role hold-file \"" + path + L"\" \"" + ready_ + L"\" " + name);
        for (int waited = 0; waited < 20000 && !Exists(ready_); waited += 20) ::Sleep(20);
        held_ = Exists(ready_);
        ::DeleteFileW(ready_.c_str());
    }
    ~HeldFile() { Release(); }
    bool held() const { return held_; }
    void Release() {
        if (!child_.process) return;
        ::SetEvent(release_.get());
        child_.Wait(20000);
        child_.process.reset();
    }

private:
    std::wstring ready_;
    win::UniqueHandle release_;
    testing_support::Child child_;
    bool held_ = false;
};

int HoldFileRole(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    win::UniqueFile file(::CreateFileW(argv[0], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return 3;
    win::UniqueHandle release(::OpenEventW(SYNCHRONIZE, FALSE, argv[2]));
    testing_support::WriteFileBytes(argv[1], "ready");
    ::WaitForSingleObject(release.get(), 60000);
    return 0;
}
testing_support::ChildRoleRegistrar g_holdFileRole(L"hold-file", &HoldFileRole);

// The Unix side of the prefix: Wine shows a Unix symbolic link to a folder as
// a directory with the reparse-point attribute, which is what a junction or a
// directory link looks like to the program.
bool RunUnix(const std::wstring& program, const std::string& arguments) {
    std::wstring commandLine = program + L" " + text::FromUtf8(arguments);
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring image = L"Z:" + program;
    std::replace(image.begin(), image.end(), L'/', L'\\');
    if (!::CreateProcessW(image.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        return false;
    }
    win::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    return ::WaitForSingleObject(process.get(), 10000) == WAIT_OBJECT_0;
}

// Makes `link` a Unix symbolic link to the existing folder `target`.
bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
    std::string unixTarget = UnixPath(target);
    std::string unixParent = UnixPath(path::Parent(link));
    if (unixTarget.empty() || unixParent.empty()) return false;
    RunUnix(L"/bin/ln", "-s \"" + unixTarget + "\" \"" + unixParent + "/" + Narrow(path::FileName(link)) + "\"");
    // Wine does not tie the process handle to a Unix program's end: wait for its result.
    for (int waited = 0; waited < 10000; waited += 10) {
        if (IsReparsePoint(::GetFileAttributesW(link.c_str()))) return true;
        ::Sleep(10);
    }
    return false;
}

// A folder outside the installation with files that must survive, and the
// links made to it (Windows cannot remove them under Wine: they go at the end).
class Canary {
public:
    Canary() {
        MakeDir(folder);
        MakeFile(file);
        MakeFile(tmpFile);
    }
    ~Canary() {
        for (const std::wstring& link : links_) {
            RunUnix(L"/bin/rm", "-f \"" + UnixPath(link) + "\"");
            for (int waited = 0; waited < 5000 && Exists(link); waited += 10) ::Sleep(10);
        }
    }
    Canary(const Canary&) = delete;
    Canary& operator=(const Canary&) = delete;

    // Makes `link` a link to the folder.
    bool LinkAt(const std::wstring& link) {
        links_.push_back(link);
        return MakeDirectoryLink(link, folder);
    }
    bool Intact() const { return Exists(file) && Exists(tmpFile); }

private:
    ScopedTempDir dir_;
    std::vector<std::wstring> links_;

public:
    const std::wstring folder = dir_.Join(L"outside");
    const std::wstring file = dir_.Join(L"outside\\canary.txt");
    const std::wstring tmpFile = dir_.Join(L"outside\\canary.tmp");
};

// A spare drive letter mapped onto a scratch folder (a dosdevices link).
class MappedDrive {
public:
    MappedDrive() {
        std::string cDrive = UnixPath(L"C:\\");
        if (cDrive.empty()) return;
        while (!cDrive.empty() && cDrive.back() == '/') cDrive.pop_back();
        // "<prefix>/dosdevices/c:" holds the drive links.
        std::string dosdevices = cDrive.substr(0, cDrive.find_last_of('/') + 1);
        DWORD used = ::GetLogicalDrives();
        for (wchar_t letter = L'R'; letter <= L'Y'; ++letter) {
            if (used & (1u << (letter - L'A'))) continue;
            device_ = dosdevices + static_cast<char>(std::tolower(static_cast<char>(letter))) + ":";
            RunUnix(L"/bin/ln", "-s \"" + UnixPath(dir_.path()) + "\" \"" + device_ + "\"");
            root_ = std::wstring(1, letter) + L":\\";
            for (int waited = 0; waited < 5000; waited += 10) {
                if (Exists(root_)) return;
                ::Sleep(10);
            }
            RunUnix(L"/bin/rm", "-f \"" + device_ + "\"");
            root_.clear();
        }
    }
    ~MappedDrive() {
        if (root_.empty()) return;
        RunUnix(L"/bin/rm", "-f \"" + device_ + "\"");
        for (int waited = 0; waited < 5000 && Exists(root_); waited += 10) ::Sleep(10);
    }
    const std::wstring& root() const { return root_; }
    const std::wstring& backing() const { return dir_.path(); }

private:
    ScopedTempDir dir_;
    std::string device_;
    std::wstring root_;
};

// PendingFileRenameOperations as (source, target) pairs.
std::vector<std::pair<std::wstring, std::wstring>> PendingRenames() {
    std::vector<std::pair<std::wstring, std::wstring>> pairs;
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return pairs;
    }
    DWORD type = 0, size = 0;
    if (::RegQueryValueExW(key.get(), kPendingValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return pairs;
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    ::RegQueryValueExW(key.get(), kPendingValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    size_t end = size / sizeof(wchar_t);
    size_t at = 0;
    while (at < end && data[at] != L'\0') {
        std::wstring source = data.data() + at;
        at += source.size() + 1;
        std::wstring target = at < end ? data.data() + at : L"";
        at += target.size() + 1;
        pairs.emplace_back(source, target);
    }
    return pairs;
}

// Removes the pairs whose source names one of `paths` (the test's own).
void ForgetPendingRenames(const std::vector<std::wstring>& paths) {
    std::vector<wchar_t> data;
    for (const auto& pair : PendingRenames()) {
        bool ours = std::any_of(paths.begin(), paths.end(),
                                [&](const std::wstring& p) { return _wcsicmp(pair.first.c_str(), (L"\\??\\" + p).c_str()) == 0; });
        if (ours) continue;
        data.insert(data.end(), pair.first.begin(), pair.first.end());
        data.push_back(L'\0');
        data.insert(data.end(), pair.second.begin(), pair.second.end());
        data.push_back(L'\0');
    }
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) return;
    if (data.empty()) {
        ::RegDeleteValueW(key.get(), kPendingValue);
        return;
    }
    data.push_back(L'\0');
    ::RegSetValueExW(key.get(), kPendingValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                     static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

std::set<std::wstring> RunOnceValueNames() {
    std::set<std::wstring> names;
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[MAX_PATH + 1];
        DWORD chars = MAX_PATH + 1;
        if (::RegEnumValueW(key.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.insert(std::wstring(name, chars));
    }
    return names;
}

std::wstring RunOnceValue(const std::wstring& name) {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kRunOnceKey, name.c_str(), RRF_RT_REG_SZ, &type, data, &size) !=
        ERROR_SUCCESS) {
        return std::wstring();
    }
    return data;
}

void DeleteRunOnceValue(const std::wstring& name) {
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
        ::RegDeleteValueW(key.get(), name.c_str());
    }
}

std::wstring WindowsDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    ::GetSystemWindowsDirectoryW(buffer, MAX_PATH);
    return buffer;
}

std::wstring SpecialFolder(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer);
    return buffer;
}

std::wstring Batch(std::initializer_list<std::string> lines) {
    std::string all;
    for (const std::string& line : lines) all += line;
    return text::FromUtf8(all);
}

std::string DeleteLine(const std::wstring& p) { return "del /q \"" + Narrow(p) + "\" \r\n"; }
std::string TreeLine(const std::wstring& p) { return "rd /s /q \"" + Narrow(p) + "\" \r\n"; }
std::string FolderLine(const std::wstring& p) { return "rd /q \"" + Narrow(p) + "\" \r\n"; }

bool TrustSignedSuffix(const wchar_t* path) {
    std::wstring p = path;
    return p.size() > 7 && p.compare(p.size() - 7, 7, L".signed") == 0;
}

// ---------------------------------------------------------------------------
// The bulk deletion of an installed product.

class InstalledProduct : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = root_.Join(L"Lumora");
        MakeDir(dir_ + L"\\Utils\\deep\\deeper");
        MakeDir(dir_ + L"\\skins\\blue");
        MakeDir(dir_ + L"\\UserStuff");
        MakeFile(dir_ + L"\\Utils\\helper.dll");
        MakeFile(dir_ + L"\\Utils\\deep\\a.dat", FILE_ATTRIBUTE_READONLY);
        MakeFile(dir_ + L"\\Utils\\deep\\deeper\\b.dat", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        MakeFile(dir_ + L"\\Utils\\deep\\user-note.txt");  // a user file inside a listed folder goes too
        MakeFile(dir_ + L"\\skins\\blue\\bg.png");
        MakeFile(dir_ + L"\\lumdesk.exe");
        MakeFile(dir_ + L"\\config.set", FILE_ATTRIBUTE_READONLY);
        MakeFile(dir_ + L"\\locked.dll");
        MakeFile(dir_ + L"\\notes.txt");  // the user's own, unlisted
        MakeFile(dir_ + L"\\UserStuff\\photo.jpg");
    }

    FakeRootList list_{L"Utils", L"SKINS", L"lumdesk.exe", L"Config.Set", L"locked.dll", L"absent.dll"};
    ScopedTempDir root_;
    std::wstring dir_;
    LogCapture log_;
    CountingProgress progress_;
    LeftoverList leftovers_;
};

// Drive mapping first: these tests add a drive letter to the prefix.
TEST(TempLocation, TheWindowsDriveUsesTheUsersTempOtherDrivesAHiddenTempFolder) {
    std::wstring windows = WindowsDirectory();
    EXPECT_EQ(TempFolderFor(windows.substr(0, 3) + L"Lumora\\x.dll"), path::TempDirectory());
    EXPECT_EQ(DriveTempFolder(L"d:\\Lumora\\x.dll"), L"d:\\.temp");
    EXPECT_EQ(TempFolderFor(L"\\\\server\\share\\x.dll"), L"");

    MappedDrive drive;
    if (drive.root().empty()) GTEST_SKIP() << "no spare drive letter";
    std::wstring folder = TempFolderFor(drive.root() + L"Lumora\\x.dll");
    EXPECT_EQ(folder, drive.root() + L".temp\\");
    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN));
}

TEST(TempLocation, AFileInPlaceOfTheDriveTempFolderIsNotUsed) {
    MappedDrive drive;
    if (drive.root().empty()) GTEST_SKIP() << "no spare drive letter";
    MakeFile(drive.root() + L".temp");
    EXPECT_EQ(TempFolderFor(drive.root() + L"Lumora\\x.dll"), L"");
    std::wstring moved;
    MakeFile(drive.root() + L"x.dll");
    EXPECT_FALSE(MoveToTemp(drive.root() + L"x.dll", moved));
    EXPECT_TRUE(Exists(drive.root() + L"x.dll"));

    // A leftover folder that cannot be moved is registered in place.
    RecordingRestartDeletion restart(true);
    LogCapture log;
    MakeDir(drive.root() + L"Lumora\\skins");
    MakeFile(drive.root() + L"Lumora\\skins\\bg.png");
    LeftoverList leftovers = {drive.root() + L"Lumora\\skins"};
    EXPECT_TRUE(CreateRunOnceBat(leftovers, drive.root() + L"Lumora"));
    EXPECT_TRUE(log.HasLine(L"cut " + drive.root() + L"Lumora\\skins to temp failed,delete by pending"));
    EXPECT_EQ(restart.paths, (std::vector<std::wstring>{drive.root() + L"Lumora\\skins", drive.root() + L".temp"}));
}

TEST_F(InstalledProduct, RemovesListedEntriesAndKeepsTheUsersOwn) {
    HeldFile held(dir_ + L"\\locked.dll");
    ASSERT_TRUE(held.held());
    DeleteAllFilesInDir(dir_, &list_, leftovers_, progress_);

    EXPECT_EQ(Tree(dir_), (std::set<std::wstring>{L"locked.dll", L"notes.txt", L"UserStuff\\",
                                                   L"UserStuff\\photo.jpg"}));
    EXPECT_EQ(leftovers_, LeftoverList{dir_ + L"\\locked.dll"});
    // Five files below listed folders plus three listed top-level files.
    EXPECT_EQ(progress_.total, 8);
    EXPECT_EQ(progress_.visited, 7);  // the locked top-level file did not go
    for (const wchar_t* line : {L"File NOT exists in xml: NOTES.TXT", L"File NOT exists in xml: USERSTUFF"})
        EXPECT_EQ(log_.CountLines(line), 2) << Narrow(line);  // once counting, once deleting
    EXPECT_TRUE(log_.HasLine(L"Delete File: " + dir_ + L"\\lumdesk.exe"));
    EXPECT_TRUE(log_.HasLine(L"DeleteFile:" + dir_ + L"\\config.set suceesss"));
    EXPECT_TRUE(log_.HasLine(L"DeleteFile:" + dir_ + L"\\Utils\\deep\\a.dat suceesss"));
    EXPECT_FALSE(log_.HasLine(L"Delete File: " + dir_ + L"\\locked.dll"));
    EXPECT_TRUE(log_.HasLine(L"remove directory " + dir_ + L" failed."));
}

TEST_F(InstalledProduct, AskedTheListWithUpperCasedNames) {
    DeleteAllFilesInDir(dir_, &list_, leftovers_, progress_);
    for (const std::wstring& name : list_.asked_) EXPECT_EQ(name, CUninstallRootDirList::KeyOf(name));
    EXPECT_NE(std::find(list_.asked_.begin(), list_.asked_.end(), L"LUMDESK.EXE"), list_.asked_.end());
}

TEST_F(InstalledProduct, RemovesTheDirectoryWhenNothingUnlistedIsLeft) {
    ::DeleteFileW((dir_ + L"\\notes.txt").c_str());
    testing_support::RemoveTree(dir_ + L"\\UserStuff");
    DeleteAllFilesInDir(dir_, &list_, leftovers_, progress_);
    EXPECT_FALSE(Exists(dir_));
    EXPECT_TRUE(leftovers_.empty());
    EXPECT_EQ(progress_.visited, progress_.total);
    EXPECT_TRUE(log_.HasLine(L"remove directory " + dir_ + L" suceess"));
}

TEST_F(InstalledProduct, UnlistedEntriesOfATrustedPublisherGo) {
    MakeFile(dir_ + L"\\extra.signed");
    TrustedFileCheck previous = SetTrustedFileCheck(&TrustSignedSuffix);
    DeleteAllFilesInDir(dir_, &list_, leftovers_, progress_);
    SetTrustedFileCheck(previous);
    EXPECT_FALSE(Exists(dir_ + L"\\extra.signed"));
    EXPECT_TRUE(Exists(dir_ + L"\\notes.txt"));
}

// Through the real signature check with the build's test programs.
TEST_F(InstalledProduct, ASignedProgramOfThePublisherGoesAnUnsignedOneStays) {
    std::wstring signing = testing_support::BuildDir() + L"\\testdata\\signing\\";
    if (!Exists(signing + L"signed.exe")) GTEST_SKIP() << "no signed test programs in this build";
    ASSERT_TRUE(::CopyFileW((signing + L"signed.exe").c_str(), (dir_ + L"\\partner.exe").c_str(), FALSE));
    ASSERT_TRUE(::CopyFileW((signing + L"unsigned.exe").c_str(), (dir_ + L"\\stranger.exe").c_str(), FALSE));
    DeleteAllFilesInDir(dir_, &list_, leftovers_, progress_);
    EXPECT_FALSE(Exists(dir_ + L"\\partner.exe"));
    EXPECT_TRUE(Exists(dir_ + L"\\stranger.exe"));
}

TEST_F(InstalledProduct, ALinkInsideIsRemovedAsALinkAndNothingBehindItIsTouched) {
    Canary canary;
    ASSERT_TRUE(canary.LinkAt(dir_ + L"\\skins\\shared"));
    ASSERT_TRUE(canary.LinkAt(dir_ + L"\\Utils\\deep\\more"));

    DeleteAllFilesInDir(dir_, &list_, leftovers_, progress_);

    EXPECT_TRUE(canary.Intact());
    // Windows removes the link itself; Wine cannot remove a Unix link and
    // leaves it for the deferred deletion.
    for (const std::wstring& link : {dir_ + L"\\skins\\shared", dir_ + L"\\Utils\\deep\\more"}) {
        bool left = std::find(leftovers_.begin(), leftovers_.end(), link) != leftovers_.end();
        EXPECT_TRUE(!Exists(link) || left) << Narrow(link);
        EXPECT_TRUE(log_.Text().find(L"remove link " + link) != std::wstring::npos) << Narrow(link);
    }
    EXPECT_FALSE(Exists(dir_ + L"\\skins\\blue"));
    EXPECT_FALSE(Exists(dir_ + L"\\Utils\\helper.dll"));
}

TEST_F(InstalledProduct, AListedTopLevelLinkIsNotFollowed) {
    Canary canary;
    testing_support::RemoveTree(dir_ + L"\\skins");
    ASSERT_TRUE(canary.LinkAt(dir_ + L"\\skins"));
    DeleteAllFilesInDir(dir_, &list_, leftovers_, progress_);
    EXPECT_TRUE(canary.Intact());
}

TEST(ShellDeleteDirectory, ATreeHoldingALinkIsWalkedByHand) {
    ScopedTempDir dir;
    Canary canary;
    std::wstring tree = dir.Join(L"tree");
    MakeDir(tree + L"\\sub");
    MakeFile(tree + L"\\sub\\x.dat", FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(canary.LinkAt(tree + L"\\sub\\link"));
    LogCapture log;
    EXPECT_TRUE(ShellDeleteDirectory(tree));
    EXPECT_TRUE(canary.Intact());
    EXPECT_FALSE(Exists(tree + L"\\sub\\x.dat"));
    EXPECT_TRUE(log.HasLine(tree + L" holds a link, removed entry by entry"));
}

TEST(ShellDeleteDirectory, RemovesAPlainTree) {
    ScopedTempDir dir;
    std::wstring tree = dir.Join(L"tree");
    MakeDir(tree + L"\\a\\b");
    MakeFile(tree + L"\\a\\b\\c.dat", FILE_ATTRIBUTE_READONLY);
    MakeFile(tree + L"\\d.dat");
    EXPECT_TRUE(ShellDeleteDirectory(tree));
    EXPECT_FALSE(Exists(tree));
}

// ---------------------------------------------------------------------------
// Directories that are never emptied in bulk.

struct GuardCase {
    const char* label;
    std::function<std::wstring()> directory;
    bool refused;
};
void PrintTo(const GuardCase& c, std::ostream* os) { *os << c.label; }

class ProtectedDirectories : public ::testing::TestWithParam<GuardCase> {};

TEST_P(ProtectedDirectories, AreRefusedForBulkDeletion) {
    std::wstring directory = GetParam().directory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(!WhyProtectedDirectory(directory).empty(), GetParam().refused) << Narrow(directory);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProtectedDirectories,
    ::testing::Values(
        GuardCase{"drive root", [] { return std::wstring(L"C:\\"); }, true},
        GuardCase{"bare drive", [] { return std::wstring(L"C:"); }, true},
        GuardCase{"other drive root", [] { return std::wstring(L"D:\\"); }, true},
        GuardCase{"share root", [] { return std::wstring(L"\\\\server\\share"); }, true},
        GuardCase{"server", [] { return std::wstring(L"\\\\server"); }, true},
        GuardCase{"product on a share", [] { return std::wstring(L"\\\\server\\share\\Lumora"); }, false},
        GuardCase{"relative", [] { return std::wstring(L"Lumora"); }, true},
        GuardCase{"rooted without drive", [] { return std::wstring(L"\\Lumora"); }, true},
        GuardCase{"climbing to a root", [] { return std::wstring(L"C:\\Lumora\\.."); }, true},
        GuardCase{"windows", [] { return WindowsDirectory(); }, true},
        GuardCase{"windows with slash", [] { return WindowsDirectory() + L"\\"; }, true},
        GuardCase{"system32", [] { return SpecialFolder(CSIDL_SYSTEM); }, true},
        GuardCase{"inside windows", [] { return WindowsDirectory() + L"\\Lumora"; }, true},
        GuardCase{"program files", [] { return SpecialFolder(CSIDL_PROGRAM_FILES); }, true},
        GuardCase{"program files x86", [] { return SpecialFolder(CSIDL_PROGRAM_FILESX86); }, true},
        GuardCase{"program files native", [] { return std::wstring(L"C:\\Program Files"); }, true},
        GuardCase{"profile", [] { return SpecialFolder(CSIDL_PROFILE); }, true},
        GuardCase{"profiles root", [] { return path::Parent(SpecialFolder(CSIDL_PROFILE)); }, true},
        GuardCase{"roaming app data", [] { return SpecialFolder(CSIDL_APPDATA); }, true},
        GuardCase{"documents", [] { return SpecialFolder(CSIDL_PERSONAL); }, true},
        GuardCase{"desktop", [] { return SpecialFolder(CSIDL_DESKTOPDIRECTORY); }, true},
        GuardCase{"program data", [] { return SpecialFolder(CSIDL_COMMON_APPDATA); }, true},
        GuardCase{"temp", [] { return path::TempDirectory(); }, true},
        GuardCase{"product on a drive", [] { return std::wstring(L"D:\\Lumora"); }, false},
        GuardCase{"product in program files",
                  [] { return SpecialFolder(CSIDL_PROGRAM_FILES) + L"\\Kel\\Lumora"; }, false},
        GuardCase{"product in app data", [] { return SpecialFolder(CSIDL_APPDATA) + L"\\Lumora"; }, false}));

TEST(ProtectedDirectories, ALinkAsInstallationDirectoryIsRefused) {
    ScopedTempDir dir;
    Canary canary;
    ASSERT_TRUE(canary.LinkAt(dir.Join(L"Lumora")));
    EXPECT_FALSE(WhyProtectedDirectory(dir.Join(L"Lumora")).empty());
}

TEST(ProtectedDirectories, BulkDeletionLogsTheRefusalAndTouchesNothing) {
    LogCapture log;
    // Nothing real is listed: a failing guard shows as the list being asked.
    FakeRootList list{L"NoSuchEntry"};
    CountingProgress progress;
    LeftoverList leftovers;
    std::wstring profile = SpecialFolder(CSIDL_PROFILE);
    DeleteAllFilesInDir(profile, &list, leftovers, progress);
    EXPECT_TRUE(Exists(profile));
    EXPECT_TRUE(list.asked_.empty());
    EXPECT_EQ(progress.total, 200);
    EXPECT_TRUE(log.HasLine(L"refuse to delete all files in " + profile + L": a special folder") ||
                log.HasLine(L"refuse to delete all files in " + profile + L": the user profile"));
}

TEST(ProtectedDirectories, DeletingTmpFilesIsRefusedAtARoot) {
    LogCapture log;
    EXPECT_FALSE(DeleteByExtension(L"C:\\", L".tmp"));
    EXPECT_TRUE(log.HasLine(L"refuse to delete .tmp files in C:\\: a drive root"));
}

// ---------------------------------------------------------------------------
// Paths of 260 characters or more are not walked.

TEST(LongPaths, EveryEnumeratingOperationRefusesAPathOf260Characters) {
    std::wstring longDir = L"C:\\" + std::wstring(MAX_PATH - 3, L'a');
    ASSERT_EQ(longDir.size(), static_cast<size_t>(MAX_PATH));
    LeftoverList leftovers;
    int count = 0;
    EXPECT_FALSE(DeleteDirectoryRecursive(longDir, leftovers));
    EXPECT_FALSE(DeleteDirectoryTree(longDir));
    EXPECT_FALSE(DeleteByExtension(longDir, L".tmp"));
    EXPECT_FALSE(CountListedFiles(longDir, longDir, nullptr, count));
    EXPECT_FALSE(DeleteDirectoryRecursive(L"", leftovers));
    EXPECT_FALSE(DeleteDirectoryTree(L""));
    EXPECT_TRUE(leftovers.empty());

    CountingProgress progress;
    DeleteAllFilesInDir(longDir, nullptr, leftovers, progress);
    EXPECT_EQ(progress.total, 200);
    EXPECT_EQ(progress.visited, 0);
}

// ---------------------------------------------------------------------------
// Files named by the product's registry lists.

class RegistryListed : public ::testing::Test {
protected:
    void SetUp() override {
        GUID guid;
        ::CoCreateGuid(&guid);
        wchar_t name[96];
        _snwprintf(name, 96, L"Software\\LumoraTests\\file_list-%08lX", guid.Data1);
        name[95] = L'\0';
        keyPath_ = name;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    key_.put(), nullptr),
                  ERROR_SUCCESS);
        dir_ = root_.Join(L"Lumora");
        MakeDir(dir_ + L"\\sub\\nested");
        MakeDir(dir_ + L"\\plugins\\x");
    }
    void TearDown() override {
        key_.reset();
        ::RegDeleteKeyW(HKEY_CURRENT_USER, keyPath_.c_str());
    }
    void List(const std::wstring& name) {
        ::RegSetValueExW(key_.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1"), 4);
    }

    ScopedTempDir root_;
    std::wstring dir_;
    std::wstring keyPath_;
    win::UniqueRegKey key_;
    LogCapture log_;
    LeftoverList leftovers_;
};

TEST_F(RegistryListed, FilesAndFoldersNamedRelativeToTheDirectoryGo) {
    MakeFile(dir_ + L"\\a.dll", FILE_ATTRIBUTE_READONLY);
    MakeFile(dir_ + L"\\sub\\nested\\b.exe");
    MakeFile(dir_ + L"\\plugins\\x\\c.dat");
    MakeFile(dir_ + L"\\keep.dat");
    for (const wchar_t* name : {L"a.dll", L"sub\\nested\\b.exe", L"plugins", L"missing.dll"}) List(name);

    RemoveFilesByRegistry(dir_, keyPath_, leftovers_, HKEY_CURRENT_USER);

    EXPECT_EQ(Tree(dir_), (std::set<std::wstring>{L"keep.dat", L"sub\\", L"sub\\nested\\"}));
    EXPECT_TRUE(leftovers_.empty());
    EXPECT_TRUE(log_.HasLine(L"DeleteFile:" + dir_ + L"\\a.dll suceesss"));
}

TEST_F(RegistryListed, NamesLeavingTheDirectoryAreRefusedAndLogged) {
    Canary canary;
    std::wstring outsideFile = root_.Join(L"outside.txt");
    MakeFile(outsideFile);
    MakeFile(dir_ + L"\\sub\\kept.dat");
    ASSERT_TRUE(canary.LinkAt(dir_ + L"\\shared"));
    const std::vector<std::pair<std::wstring, std::wstring>> refused = {
        {L"..\\outside.txt", L"leaves the directory"},
        {L"sub\\..\\..\\outside.txt", L"leaves the directory"},
        {L"sub\\ .. \\kept.dat", L"leaves the directory"},
        {outsideFile, L"drive or stream name"},
        {L"\\outside.txt", L"absolute path"},
        {L"sub\\kept.dat:stream", L"drive or stream name"},
        {L"sub\\*.dat", L"wildcard or reserved character"},
        {L"", L"empty name"},
        {L"shared\\canary.txt", L"passes through a link"},
    };
    for (const auto& item : refused) List(item.first);

    RemoveFilesByRegistry(dir_, keyPath_, leftovers_, HKEY_CURRENT_USER);

    EXPECT_TRUE(Exists(outsideFile));
    EXPECT_TRUE(Exists(dir_ + L"\\sub\\kept.dat"));
    EXPECT_TRUE(canary.Intact());
    EXPECT_TRUE(Exists(dir_));
    for (const auto& item : refused) {
        std::wstring line = L"refuse listed name \"" + item.first + L"\" of " + keyPath_ + L": " + item.second;
        EXPECT_TRUE(log_.HasLine(line)) << Narrow(line);
    }
}

TEST_F(RegistryListed, AListedLinkIsRemovedAsALink) {
    Canary canary;
    ASSERT_TRUE(canary.LinkAt(dir_ + L"\\shared"));
    List(L"shared");
    RemoveFilesByRegistry(dir_, keyPath_, leftovers_, HKEY_CURRENT_USER);
    EXPECT_TRUE(canary.Intact());
    EXPECT_TRUE(!Exists(dir_ + L"\\shared") || leftovers_ == LeftoverList{dir_ + L"\\shared"});
}

TEST_F(RegistryListed, AMissingDirectoryOrKeyDoesNothing) {
    MakeFile(dir_ + L"\\a.dll");
    List(L"a.dll");
    RemoveFilesByRegistry(root_.Join(L"NoSuchDir"), keyPath_, leftovers_, HKEY_CURRENT_USER);
    RemoveFilesByRegistry(dir_, keyPath_ + L"-missing", leftovers_, HKEY_CURRENT_USER);
    EXPECT_TRUE(Exists(dir_ + L"\\a.dll"));
    EXPECT_TRUE(leftovers_.empty());
}

TEST_F(RegistryListed, ALockedFileIsCarriedAsALeftover) {
    MakeFile(dir_ + L"\\busy.dll");
    HeldFile held(dir_ + L"\\busy.dll");
    ASSERT_TRUE(held.held());
    List(L"busy.dll");
    RemoveFilesByRegistry(dir_, keyPath_, leftovers_, HKEY_CURRENT_USER);
    EXPECT_EQ(leftovers_, LeftoverList{dir_ + L"\\busy.dll"});
}

// ---------------------------------------------------------------------------
// Single-file and tree operations.

TEST(DeleteOneFile, ReadOnlyFilesGoAndMissingOnesCountAsGone) {
    ScopedTempDir dir;
    LeftoverList leftovers;
    MakeFile(dir.Join(L"ro.dat"), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(DeleteOneFile(dir.Join(L"ro.dat"), leftovers));
    EXPECT_TRUE(DeleteOneFile(dir.Join(L"never.dat"), leftovers));
    EXPECT_FALSE(Exists(dir.Join(L"ro.dat")));
    EXPECT_TRUE(leftovers.empty());
}

TEST(DeleteDirectoryRecursive, NotifiesAfterEveryFileDeletedOrNot) {
    ScopedTempDir dir;
    std::wstring tree = dir.Join(L"Kelwp");
    MakeDir(tree + L"\\cef_cache\\GPUCache");
    MakeFile(tree + L"\\a.dat");
    MakeFile(tree + L"\\cef_cache\\b.dat");
    MakeFile(tree + L"\\cef_cache\\GPUCache\\busy.dat");
    HeldFile held(tree + L"\\cef_cache\\GPUCache\\busy.dat");
    ASSERT_TRUE(held.held());
    LeftoverList leftovers;
    CountingProgress progress;

    EXPECT_TRUE(DeleteDirectoryRecursive(tree, leftovers, &progress));

    EXPECT_EQ(progress.visited, 3);
    EXPECT_EQ(Tree(tree), (std::set<std::wstring>{L"cef_cache\\", L"cef_cache\\GPUCache\\",
                                                  L"cef_cache\\GPUCache\\busy.dat"}));
    // Innermost first, so the deferred deletion empties folders before removing them.
    EXPECT_EQ(leftovers, (LeftoverList{tree + L"\\cef_cache\\GPUCache\\busy.dat", tree + L"\\cef_cache\\GPUCache",
                                       tree + L"\\cef_cache", tree}));
}

TEST(DeleteDirectoryTree, SchedulesWhatIsLockedFilesBeforeTheirFolders) {
    RecordingRestartDeletion restart(true);
    ScopedTempDir dir;
    Canary canary;
    std::wstring tree = dir.Join(L"copy");
    MakeDir(tree + L"\\sub");
    ::SetFileAttributesW((tree + L"\\sub").c_str(), FILE_ATTRIBUTE_READONLY);
    MakeFile(tree + L"\\Uninstall.exe");
    MakeFile(tree + L"\\sub\\ro.dat", FILE_ATTRIBUTE_READONLY);
    MakeFile(tree + L"\\sub\\busy.dll");
    ASSERT_TRUE(canary.LinkAt(tree + L"\\link"));
    HeldFile held(tree + L"\\sub\\busy.dll");
    ASSERT_TRUE(held.held());

    EXPECT_TRUE(DeleteDirectoryTree(tree));

    EXPECT_TRUE(canary.Intact());
    EXPECT_FALSE(Exists(tree + L"\\Uninstall.exe"));
    EXPECT_FALSE(Exists(tree + L"\\sub\\ro.dat"));
    ASSERT_GE(restart.paths.size(), 3u);
    EXPECT_EQ(restart.paths[0], tree + L"\\sub\\busy.dll");
    EXPECT_EQ(restart.paths[1], tree + L"\\sub");
    EXPECT_EQ(restart.paths.back(), tree);
}

TEST(DeleteFileOrSchedule, DeletesOrRegistersForRestart) {
    RecordingRestartDeletion restart(true);
    ScopedTempDir dir;
    MakeFile(dir.Join(L"ro.dat"), FILE_ATTRIBUTE_READONLY);
    MakeFile(dir.Join(L"busy.dat"));
    HeldFile held(dir.Join(L"busy.dat"));
    ASSERT_TRUE(held.held());
    EXPECT_TRUE(DeleteFileOrSchedule(dir.Join(L"ro.dat")));
    EXPECT_TRUE(DeleteFileOrSchedule(dir.Join(L"never.dat")));
    EXPECT_FALSE(DeleteFileOrSchedule(dir.Join(L"busy.dat")));
    EXPECT_EQ(restart.paths, std::vector<std::wstring>{dir.Join(L"busy.dat")});
}

TEST(RemoveNowIfPossible, FilesAndEmptyFoldersOnly) {
    ScopedTempDir dir;
    MakeFile(dir.Join(L"ro.dat"), FILE_ATTRIBUTE_READONLY);
    MakeDir(dir.Join(L"empty"));
    MakeDir(dir.Join(L"full"));
    MakeFile(dir.Join(L"full\\x.dat"));
    EXPECT_TRUE(RemoveNowIfPossible(dir.Join(L"ro.dat")));
    EXPECT_TRUE(RemoveNowIfPossible(dir.Join(L"empty")));
    EXPECT_TRUE(RemoveNowIfPossible(dir.Join(L"never")));
    EXPECT_FALSE(RemoveNowIfPossible(dir.Join(L"full")));
    EXPECT_TRUE(Exists(dir.Join(L"full\\x.dat")));
}

// The real registration: Wine records it where Windows does.
TEST(RestartRegistration, WritesPendingFileRenameOperations) {
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"at-restart.dat");
    MakeFile(file);
    ASSERT_TRUE(SystemRestartDeletion().Schedule(file));
    auto pairs = PendingRenames();
    ForgetPendingRenames({file});
    auto found = std::find_if(pairs.begin(), pairs.end(), [&](const auto& p) { return p.first == L"\\??\\" + file; });
    ASSERT_NE(found, pairs.end());
    EXPECT_EQ(found->second, L"");  // no target: a deletion
    for (const auto& pair : PendingRenames()) EXPECT_NE(pair.first, L"\\??\\" + file);
}

// ---------------------------------------------------------------------------
// Temporary places, ".tmp" files and the second uninstaller.

TEST(MoveToTemp, MovesFilesAndFoldersUnderAGuidName) {
    ScopedTempDir dir;
    MakeDir(dir.Join(L"folder\\sub"));
    MakeFile(dir.Join(L"folder\\sub\\x.dat"));
    MakeFile(dir.Join(L"file.dat"));
    for (const wchar_t* name : {L"file.dat", L"folder"}) {
        std::wstring moved;
        ASSERT_TRUE(MoveToTemp(dir.Join(name), moved)) << Narrow(name);
        EXPECT_FALSE(Exists(dir.Join(name)));
        EXPECT_EQ(path::Parent(moved) + L"\\", path::TempDirectory());
        std::wstring leaf = path::FileName(moved);
        EXPECT_EQ(leaf.size(), 42u);
        EXPECT_EQ(leaf.front(), L'{');
        EXPECT_EQ(leaf.substr(38), L".tmp");
        testing_support::RemoveTree(moved);
        ::DeleteFileW(moved.c_str());
    }
    std::wstring untouched = L"unchanged";
    EXPECT_FALSE(MoveToTemp(dir.Join(L"never.dat"), untouched));
    EXPECT_EQ(untouched, L"unchanged");
}

TEST(DeleteByExtension, DeletesOrSchedulesEveryMatchingFileBelow) {
    RecordingRestartDeletion restart(true);
    ScopedTempDir root;
    Canary canary;
    std::wstring dir = root.Join(L"Lumora");
    MakeDir(dir + L"\\sub\\deeper");
    MakeFile(dir + L"\\a.tmp");
    MakeFile(dir + L"\\sub\\b.TMP", FILE_ATTRIBUTE_READONLY);
    MakeFile(dir + L"\\sub\\deeper\\c.tmp");
    MakeFile(dir + L"\\sub\\keep.txt");
    MakeFile(dir + L"\\sub\\keep.tmp.txt");
    MakeFile(dir + L"\\busy.tmp");
    ASSERT_TRUE(canary.LinkAt(dir + L"\\shared"));
    HeldFile held(dir + L"\\busy.tmp");
    ASSERT_TRUE(held.held());
    LogCapture log;

    EXPECT_TRUE(DeleteByExtension(dir, L".tmp"));

    EXPECT_TRUE(canary.Intact());
    EXPECT_EQ(Tree(dir), (std::set<std::wstring>{L"busy.tmp", L"shared", L"sub\\", L"sub\\deeper\\",
                                                 L"sub\\keep.txt", L"sub\\keep.tmp.txt"}));
    // Held without delete sharing it cannot be moved either: registered in place.
    EXPECT_EQ(restart.paths, std::vector<std::wstring>{dir + L"\\busy.tmp"});
    EXPECT_TRUE(log.HasLine(L"delete file:" + dir + L"\\busy.tmp by pending:" + dir + L"\\busy.tmp"));
    EXPECT_FALSE(DeleteByExtension(dir, L""));
}

class SecondUninstaller : public ::testing::Test {
protected:
    void SetUp() override {
        kel_ = SpecialFolder(CSIDL_PROGRAM_FILES) + L"\\Kel";
        ASSERT_FALSE(Exists(kel_)) << "a real Kel folder is in the way";
        created_ = true;
        MakeDir(kel_ + L"\\Keltapis");
        MakeFile(kel_ + L"\\Keltapis\\Uninstall.exe", FILE_ATTRIBUTE_READONLY);
    }
    void TearDown() override {
        if (created_) testing_support::RemoveTree(kel_);
    }
    std::wstring kel_;
    bool created_ = false;
};

TEST_F(SecondUninstaller, IsRemovedWithItsEmptyFolders) {
    RemoveSecondUninstaller();
    EXPECT_FALSE(Exists(kel_));
}

TEST_F(SecondUninstaller, FoldersWithOtherContentStay) {
    MakeFile(kel_ + L"\\other.dat");
    RemoveSecondUninstaller();
    EXPECT_FALSE(Exists(kel_ + L"\\Keltapis"));
    EXPECT_TRUE(Exists(kel_ + L"\\other.dat"));
}

// ---------------------------------------------------------------------------
// The deferred deletion of leftovers.

class DeferredDeletion : public ::testing::Test {
protected:
    void SetUp() override {
        runOnceBefore_ = RunOnceValueNames();
        dir_ = root_.Join(L"Lumora");
        MakeDir(dir_ + L"\\skins\\old");
        MakeFile(dir_ + L"\\skins\\old\\bg.png");
        MakeFile(dir_ + L"\\stale.dll", FILE_ATTRIBUTE_READONLY);
        leftovers_ = {dir_ + L"\\stale.dll", dir_ + L"\\skins\\old", dir_ + L"\\skins", dir_ + L"\\gone.dll"};
    }
    void TearDown() override {
        for (const std::wstring& name : RunOnceValueNames()) {
            if (!runOnceBefore_.count(name)) DeleteRunOnceValue(name);
        }
        if (!LastRunOnceBatchPath().empty()) ::DeleteFileW(LastRunOnceBatchPath().c_str());
        for (const std::wstring& moved : moved_) {
            ::SetFileAttributesW(moved.c_str(), FILE_ATTRIBUTE_NORMAL);
            testing_support::RemoveTree(moved);
            ::DeleteFileW(moved.c_str());
        }
    }
    std::wstring Moved(const std::wstring& from) {
        std::wstring to = MovedName(log_, from);
        if (!to.empty()) moved_.push_back(to);
        return to;
    }
    std::wstring DriveTemp() const { return dir_.substr(0, 1) + L":\\.temp"; }

    std::set<std::wstring> runOnceBefore_;
    std::vector<std::wstring> moved_;
    ScopedTempDir root_;
    std::wstring dir_;
    LeftoverList leftovers_;
    LogCapture log_;
};

TEST_F(DeferredDeletion, WithRestartRegistrationNoBatchIsWritten) {
    RecordingRestartDeletion restart(true);
    EXPECT_TRUE(CreateRunOnceBat(leftovers_, dir_));

    std::wstring file = Moved(dir_ + L"\\stale.dll");
    std::wstring folder = Moved(dir_ + L"\\skins\\old");
    ASSERT_FALSE(file.empty());
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(restart.paths, (std::vector<std::wstring>{file, folder, DriveTemp()}));
    EXPECT_TRUE(leftovers_.empty());
    EXPECT_FALSE(Exists(dir_));  // emptied by the moves, then removed
    EXPECT_EQ(LastRunOnceBatchPath(), L"");
    EXPECT_EQ(RunOnceValueNames(), runOnceBefore_);
    EXPECT_TRUE(log_.HasLine(L"write " + file + L" to pending success"));
    EXPECT_TRUE(log_.HasLine(L"write " + DriveTemp() + L" to pending success"));
    EXPECT_TRUE(log_.HasLine(L"cut " + dir_ + L"\\gone.dll to temp failed, delete by pending"));
    EXPECT_FALSE(log_.HasLine(L"write runonce bat to registry"));
}

TEST_F(DeferredDeletion, AnEmptyListWritesNoBatchAndNoRunOnceValue) {
    RecordingRestartDeletion restart(true);
    LeftoverList none;
    EXPECT_TRUE(CreateRunOnceBat(none, dir_));
    EXPECT_EQ(restart.paths, std::vector<std::wstring>{DriveTemp()});
    EXPECT_EQ(LastRunOnceBatchPath(), L"");
    EXPECT_EQ(RunOnceValueNames(), runOnceBefore_);
    EXPECT_FALSE(CreateRunOnceBat(none, L""));
}

TEST_F(DeferredDeletion, RefusedRegistrationsGoIntoASelfDeletingRunOnceBatch) {
    RecordingRestartDeletion restart(false);
    EXPECT_TRUE(CreateRunOnceBat(leftovers_, dir_));

    std::wstring file = Moved(dir_ + L"\\stale.dll");
    std::wstring folder = Moved(dir_ + L"\\skins\\old");
    std::wstring batch = LastRunOnceBatchPath();
    ASSERT_FALSE(batch.empty());
    EXPECT_EQ(text::FromUtf8(testing_support::ReadFileBytes(batch)),
              Batch({DeleteLine(file), TreeLine(folder), FolderLine(DriveTemp()), DeleteLine(batch)}));
    EXPECT_TRUE(Exists(folder + L"\\bg.png"));  // left for the batch

    // In the system's temporary folder, "nox....bat", registered under its own name.
    EXPECT_EQ(_wcsicmp(path::Parent(batch).c_str(), (WindowsDirectory() + L"\\Temp").c_str()), 0);
    std::wstring name = path::FileName(batch);
    EXPECT_EQ(name.substr(0, 3), L"nox");
    EXPECT_EQ(name.substr(name.size() - 4), L".bat");
    EXPECT_EQ(RunOnceValue(name), batch);
    EXPECT_FALSE(Exists(dir_));
    for (const std::wstring& line : {L"cut " + dir_ + L"\\stale.dll to " + file + L" success",
                                     L"write to runonce bat: " + file, L"write to runonce bat: " + folder,
                                     L"write to runonce bat: " + DriveTemp(), L"write to runonce bat: " + batch,
                                     std::wstring(L"write runonce bat to registry")})
        EXPECT_TRUE(log_.HasLine(line)) << Narrow(line);
}

TEST_F(DeferredDeletion, ALockedLeftoverIsRegisteredInPlace) {
    RecordingRestartDeletion restart(false);
    MakeFile(dir_ + L"\\busy.dll");
    HeldFile held(dir_ + L"\\busy.dll");
    ASSERT_TRUE(held.held());
    LeftoverList leftovers = {dir_ + L"\\busy.dll"};

    EXPECT_TRUE(CreateRunOnceBat(leftovers, dir_));

    std::wstring batch = LastRunOnceBatchPath();
    ASSERT_FALSE(batch.empty());
    // Only the drive's ".temp" folder and the self-deletion reach the batch.
    EXPECT_EQ(text::FromUtf8(testing_support::ReadFileBytes(batch)),
              Batch({FolderLine(DriveTemp()), DeleteLine(batch)}));
    EXPECT_EQ(restart.paths.front(), dir_ + L"\\busy.dll");
    EXPECT_TRUE(log_.HasLine(L"cut " + dir_ + L"\\busy.dll to temp failed, delete by pending"));
    EXPECT_EQ(RunOnceValue(path::FileName(batch)), batch);
}

TEST_F(DeferredDeletion, RealRegistrationReachesThePrefixsRegistry) {
    EXPECT_TRUE(CreateRunOnceBat(leftovers_, dir_));
    std::wstring file = Moved(dir_ + L"\\stale.dll");
    std::wstring folder = Moved(dir_ + L"\\skins\\old");
    auto pairs = PendingRenames();
    ForgetPendingRenames({file, folder, DriveTemp()});
    for (const std::wstring& registered : {file, folder, DriveTemp()}) {
        EXPECT_TRUE(std::any_of(pairs.begin(), pairs.end(),
                                [&](const auto& p) { return p.first == L"\\??\\" + registered && p.second.empty(); }))
            << Narrow(registered);
    }
    EXPECT_EQ(LastRunOnceBatchPath(), L"");
}

TEST_F(DeferredDeletion, ALeftoverOnAnotherDriveMovesIntoThatDrivesTempFolder) {
    MappedDrive drive;
    if (drive.root().empty()) GTEST_SKIP() << "no spare drive letter";
    RecordingRestartDeletion restart(false);
    std::wstring dir = drive.root() + L"Lumora";
    MakeDir(dir);
    MakeFile(dir + L"\\stale.dll");
    LeftoverList leftovers = {dir + L"\\stale.dll"};

    EXPECT_TRUE(CreateRunOnceBat(leftovers, dir));

    std::wstring moved = MovedName(log_, dir + L"\\stale.dll");
    EXPECT_EQ(path::Parent(moved), drive.root() + L".temp");
    EXPECT_TRUE(Exists(moved));
    std::wstring batch = LastRunOnceBatchPath();
    EXPECT_EQ(text::FromUtf8(testing_support::ReadFileBytes(batch)),
              Batch({DeleteLine(moved), FolderLine(drive.root() + L".temp"), DeleteLine(batch)}));
}

// Moving a link could move what it points to (Wine renames the target of a
// Unix link), so a link that cannot be removed stays where it is.
TEST_F(DeferredDeletion, ALinkLeftoverIsRemovedAsALinkNeverMoved) {
    RecordingRestartDeletion restart(false);
    Canary canary;
    std::wstring link = dir_ + L"\\shared";
    ASSERT_TRUE(canary.LinkAt(link));
    LeftoverList leftovers = {link};

    EXPECT_TRUE(CreateRunOnceBat(leftovers, dir_));

    EXPECT_TRUE(canary.Intact());
    EXPECT_TRUE(Exists(canary.folder));
    std::wstring batch = LastRunOnceBatchPath();
    EXPECT_EQ(text::FromUtf8(testing_support::ReadFileBytes(batch)),
              Batch({FolderLine(DriveTemp()), DeleteLine(batch)}));
    EXPECT_EQ(restart.paths, std::vector<std::wstring>{DriveTemp()});
    std::wstring moved;
    if (Exists(link)) {
        EXPECT_FALSE(MoveToTemp(link, moved));
    }
    EXPECT_TRUE(canary.Intact());
}

// The user's temporary folder is where moved items go on the Windows drive.
class ScopedTmp {
public:
    explicit ScopedTmp(const std::wstring& folder) {
        wchar_t old[MAX_PATH] = {};
        hadOld_ = ::GetEnvironmentVariableW(L"TMP", old, MAX_PATH) > 0;
        old_ = old;
        ::SetEnvironmentVariableW(L"TMP", folder.c_str());
    }
    ~ScopedTmp() { ::SetEnvironmentVariableW(L"TMP", hadOld_ ? old_.c_str() : nullptr); }

private:
    bool hadOld_ = false;
    std::wstring old_;
};

TEST_F(DeferredDeletion, BatchLinesNameExactlyTheirPathOrAreDropped) {
    RecordingRestartDeletion restart(false);
    ScopedTempDir tmp;
    std::wstring percent = tmp.Join(L"a%PATH%b");
    std::wstring foreign = tmp.Join(L"\u0e01\u0e02");  // in no ANSI code page of the product's markets
    MakeDir(percent);
    MakeDir(foreign);
    std::wstring movedPercent;
    {
        ScopedTmp redirect(percent + L"\\");
        LeftoverList leftovers = {dir_ + L"\\stale.dll"};
        EXPECT_TRUE(CreateRunOnceBat(leftovers, dir_));
        movedPercent = MovedName(log_, dir_ + L"\\stale.dll");
    }
    ASSERT_EQ(path::Parent(movedPercent), percent);
    std::string expected = "del /q \"" + Narrow(percent) + "\\" + Narrow(path::FileName(movedPercent)) + "\" \r\n";
    expected.replace(expected.find("%PATH%"), 6, "%%PATH%%");
    std::string firstBatch = testing_support::ReadFileBytes(LastRunOnceBatchPath());
    EXPECT_EQ(firstBatch.substr(0, expected.size()), expected);
    DeleteRunOnceValue(path::FileName(LastRunOnceBatchPath()));
    ::DeleteFileW(LastRunOnceBatchPath().c_str());
    {
        ScopedTmp redirect(foreign + L"\\");
        LeftoverList leftovers = {dir_ + L"\\skins\\old\\bg.png"};
        EXPECT_TRUE(CreateRunOnceBat(leftovers, dir_));
    }
    // The log's own code page cannot spell the name either; the folder shows the move.
    std::set<std::wstring> moved = Tree(foreign);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved.begin()->substr(moved.begin()->size() - 4), L".tmp");
    EXPECT_FALSE(Exists(dir_ + L"\\skins\\old\\bg.png"));
    std::wstring batch = LastRunOnceBatchPath();
    EXPECT_EQ(text::FromUtf8(testing_support::ReadFileBytes(batch)),
              Batch({FolderLine(DriveTemp()), DeleteLine(batch)}));
    EXPECT_NE(log_.Text().find(L" has no ANSI spelling, line dropped\r\n"), std::wstring::npos);
}

TEST(RunOnceBatchSecurity, OnlyAdministratorsAndSystemMayChangeIt) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(RunOnceBatchSecurity(), SDDL_REVISION_1,
                                                                       &descriptor, nullptr));
    win::UniqueLocal owner(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);  // nothing inherited from the folder
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);

    BYTE systemSid[SECURITY_MAX_SID_SIZE], adminsSid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(systemSid);
    ::CreateWellKnownSid(WinLocalSystemSid, nullptr, systemSid, &size);
    size = sizeof(adminsSid);
    ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, adminsSid, &size);
    const DWORD changeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE |
                               WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    int grantsToOthers = 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        ASSERT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        PSID sid = &allowed->SidStart;
        bool privileged = ::EqualSid(sid, systemSid) || ::EqualSid(sid, adminsSid);
        if (!privileged && (allowed->Mask & changeRights)) ++grantsToOthers;
    }
    EXPECT_EQ(grantsToOthers, 0);
}

}  // namespace
