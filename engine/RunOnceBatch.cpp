#include "engine/RunOnceBatch.h"

#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "engine/FileRemoval.h"
#include "engine/PathSafety.h"
#include "engine/RestartDeletion.h"
#include "engine/TempLocation.h"

const wchar_t kRunOnceKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

namespace {

constexpr char kDeleteFileLine[] = "del /q \"%s\" \r\n";
constexpr char kRemoveTreeLine[] = "rd /s /q \"%s\" \r\n";
constexpr char kRemoveFolderLine[] = "rd /q \"%s\" \r\n";
constexpr size_t kLineBytes = 520;
constexpr int kCreateAttempts = 10;

// The batch runs at the next logon with that user's rights: only
// administrators and the system may change it, everyone may run it.
constexpr wchar_t kBatchSecurity[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFX;;;BU)";

std::wstring g_lastBatchPath;

// The path in the thread's ANSI code page, "%" doubled so that cmd does not
// expand it as a variable; false when a character has no exact equivalent.
bool ToBatchText(const std::wstring& path, std::string& out) {
    out.clear();
    if (path.empty()) return true;
    BOOL usedDefault = FALSE;
    int length = ::WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, path.data(),
                                       static_cast<int>(path.size()), nullptr, 0, nullptr, &usedDefault);
    if (length <= 0 || usedDefault) return false;
    std::string narrow(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, path.data(), static_cast<int>(path.size()),
                          &narrow[0], length, nullptr, &usedDefault);
    if (usedDefault) return false;
    for (char c : narrow) {
        out.push_back(c);
        if (c == '%') out.push_back('%');
    }
    return true;
}

// The system's own temporary folder (ANSI, with a trailing backslash):
// unprivileged users may add files there but not delete or rename ours,
// unlike in a user's temporary folder.
std::string BatchFolder() {
    char windows[MAX_PATH + 1] = {};
    UINT length = ::GetSystemWindowsDirectoryA(windows, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return std::string();
    std::string folder(windows, length);
    if (folder.back() != '\\') folder.push_back('\\');
    folder += "Temp\\";
    DWORD attributes = ::GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        IsReparsePoint(attributes)) {
        return std::string();
    }
    return folder;
}

// The batch file, created at its first line.
class CRunOnceBatchFile {
public:
    CRunOnceBatchFile() = default;
    CRunOnceBatchFile(const CRunOnceBatchFile&) = delete;
    CRunOnceBatchFile& operator=(const CRunOnceBatchFile&) = delete;

    bool Exists() const { return file_.valid(); }
    const std::string& Path() const { return path_; }

    // One command line with `target` converted to the thread's ANSI code page.
    // A line that would not name exactly `target` is dropped: a character the
    // code page lacks becomes "?", a wildcard to "del", and a cut line names
    // a shorter path.
    void WriteLine(const char* format, const std::wstring& target) {
        std::string narrow;
        if (!ToBatchText(target, narrow)) {
            WriteLog(L"runonce bat: %s has no ANSI spelling, line dropped", target.c_str());
            return;
        }
        char line[kLineBytes] = {};
        int length = _snprintf(line, kLineBytes - 1, format, narrow.c_str());
        if (length < 0 || length > static_cast<int>(kLineBytes - 1)) {
            WriteLog(L"runonce bat: line for %s too long, dropped", target.c_str());
            return;
        }
        if (!file_ && !Create()) return;
        DWORD written = 0;
        ::WriteFile(file_.get(), line, static_cast<DWORD>(length), &written, nullptr);
    }

    void Close() { file_.reset(); }

private:
    bool Create() {
        std::string folder = BatchFolder();
        if (folder.empty()) {
            WriteLog(L"no folder for the runonce bat");
            return false;
        }
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kBatchSecurity, SDDL_REVISION_1, &descriptor,
                                                                    nullptr)) {
            return false;
        }
        win::UniqueLocal ownDescriptor(descriptor);
        SECURITY_ATTRIBUTES security = {sizeof(security), descriptor, FALSE};
        for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
            char name[MAX_PATH] = {};
            if (!::GetTempFileNameA(folder.c_str(), "nox", 0, name)) return false;
            ::DeleteFileA(name);
            std::string batch(name);
            size_t dot = batch.find_last_of('.');
            if (dot != std::string::npos) batch.resize(dot);
            batch += ".bat";
            if (batch.size() >= MAX_PATH) return false;
            ::DeleteFileA(batch.c_str());
            // A new file only: an existing one could be a planted link.
            file_.reset(::CreateFileA(batch.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file_) {
                path_ = batch;
                return true;
            }
        }
        WriteLog(L"create runonce bat failed, error=%d", static_cast<int>(::GetLastError()));
        return false;
    }

    win::UniqueFile file_;
    std::string path_;
};

std::wstring Widen(const std::string& narrow) {
    if (narrow.empty()) return std::wstring();
    int length = ::MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), &wide[0], length);
    return wide;
}

// Registers `path` for deletion at restart, or writes `batchLine` for it.
void ScheduleOrBatch(CRunOnceBatchFile& batch, const std::wstring& path, const char* batchLine) {
    if (ScheduleDeleteAtRestart(path)) {
        WriteLog(L"write %s to pending success", path.c_str());
        return;
    }
    batch.WriteLine(batchLine, path);
    WriteLog(L"write to runonce bat: %s", path.c_str());
}

void RegisterRunOnce(const std::wstring& batchPath) {
    win::UniqueRegKey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                          nullptr) != ERROR_SUCCESS) {
        return;
    }
    std::wstring command = batchPath.find(L' ') == std::wstring::npos ? batchPath : L"\"" + batchPath + L"\"";
    std::wstring name = path::FileName(batchPath);
    ::RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                     static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

std::wstring LastRunOnceBatchPath() { return g_lastBatchPath; }

const wchar_t* RunOnceBatchSecurity() { return kBatchSecurity; }

bool CreateRunOnceBat(LeftoverList& leftovers, const std::wstring& installDir) {
    g_lastBatchPath.clear();
    if (installDir.empty()) return false;
    CRunOnceBatchFile batch;

    std::vector<std::wstring> directories;
    for (const std::wstring& leftover : leftovers) {
        DWORD attributes = ::GetFileAttributesW(leftover.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            directories.push_back(leftover);
            continue;
        }
        std::wstring moved;
        if (MoveToTemp(leftover, moved)) {
            WriteLog(L"cut %s to %s success", leftover.c_str(), moved.c_str());
            ScheduleOrBatch(batch, moved, kDeleteFileLine);
        } else {
            WriteLog(L"cut %s to temp failed, delete by pending", leftover.c_str());
            DeleteFileOrSchedule(leftover);
        }
    }
    leftovers.clear();

    for (const std::wstring& directory : directories) {
        if (RemoveNowIfPossible(directory)) continue;
        std::wstring moved;
        if (MoveToTemp(directory, moved)) {
            WriteLog(L"cut %s to %s success", directory.c_str(), moved.c_str());
            ScheduleOrBatch(batch, moved, kRemoveTreeLine);
        } else {
            WriteLog(L"cut %s to temp failed,delete by pending", directory.c_str());
            DeleteFileOrSchedule(directory);
        }
    }

    ScheduleOrBatch(batch, DriveTempFolder(installDir), kRemoveFolderLine);

    if (batch.Exists()) {
        std::wstring batchPath = Widen(batch.Path());
        batch.WriteLine(kDeleteFileLine, batchPath);
        WriteLog(L"write to runonce bat: %s", batchPath.c_str());
        RegisterRunOnce(batchPath);
        WriteLog(L"write runonce bat to registry");
        g_lastBatchPath = batchPath;
    }
    ::RemoveDirectoryW(installDir.c_str());
    batch.Close();
    return true;
}
