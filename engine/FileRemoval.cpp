#include "engine/FileRemoval.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "config/TempName.h"
#include "config/UninstallRootDirList.h"
#include "engine/PathSafety.h"
#include "engine/RestartDeletion.h"
#include "engine/TempLocation.h"
#include "sysinfo/SystemChecks.h"

const wchar_t kFileListKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Kelwpapp.exe\\file_list";
const wchar_t kFilePeKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Kelwpapp.exe\\file_pe";

namespace {

constexpr size_t kMaxEnumeratedPath = MAX_PATH;  // directories this long or longer are not walked
constexpr size_t kMaxShellSource = 4096;
constexpr FILEOP_FLAGS kShellDeleteFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
constexpr int kFallbackTotalCount = 200;

TrustedFileCheck g_trustedFileCheck = &IsTrustedFile;

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool TooLongToWalk(const std::wstring& directory) {
    return directory.empty() || directory.size() >= kMaxEnumeratedPath;
}

bool IsDotEntry(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

// Calls visit(name, attributes) for every entry of `directory` except "." and "..".
template <typename Visit>
void ForEachEntry(const std::wstring& directory, const wchar_t* pattern, Visit visit) {
    WIN32_FIND_DATAW data;
    win::UniqueFind find(::FindFirstFileExW(path::Join(directory, pattern).c_str(), FindExInfoBasic, &data,
                                            FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!find) return;
    do {
        if (!IsDotEntry(data.cFileName)) visit(data.cFileName, data.dwFileAttributes);
    } while (::FindNextFileW(find.get(), &data));
}

bool IsDirectory(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A link (or a walk the shell may not make) is removed as the entry itself.
bool RemoveLinkLogged(const std::wstring& path, DWORD attributes) {
    bool removed = RemoveLink(path, attributes);
    WriteLog(L"remove link %s %s", path.c_str(), removed ? L"success" : L"failed");
    return removed;
}

// Deletes a tree entry by entry without ever entering a link.
void RemoveTreeByHand(const std::wstring& directory) {
    DWORD attributes = ::GetFileAttributesW(directory.c_str());
    if (IsReparsePoint(attributes)) {
        RemoveLinkLogged(directory, attributes);
        return;
    }
    ForEachEntry(directory, L"*", [&](const wchar_t* name, DWORD entryAttributes) {
        std::wstring child = path::Join(directory, name);
        if (IsReparsePoint(entryAttributes)) {
            RemoveLinkLogged(child, entryAttributes);
        } else if (entryAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveTreeByHand(child);
        } else if (!::DeleteFileW(child.c_str())) {
            if (::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL)) ::DeleteFileW(child.c_str());
        }
    });
    if (!::RemoveDirectoryW(directory.c_str())) {
        ::SetFileAttributesW(directory.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::RemoveDirectoryW(directory.c_str());
    }
}

std::wstring UpperName(const wchar_t* name) { return CUninstallRootDirList::KeyOf(name); }

bool BelongsToProduct(const wchar_t* name, const std::wstring& fullPath, IUninstallRootDirList* rootList) {
    if (rootList && rootList->Contains(UpperName(name).c_str())) return true;
    return g_trustedFileCheck && g_trustedFileCheck(fullPath.c_str());
}

std::wstring ProgramFilesFolder() {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
        return std::wstring();
    }
    return buffer;
}

bool DeletePlainFile(const std::wstring& path) {
    if (::DeleteFileW(path.c_str())) return true;
    return ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) && ::DeleteFileW(path.c_str());
}

bool DeleteByExtensionBelow(const std::wstring& directory, const std::wstring& extension) {
    if (TooLongToWalk(directory)) return false;
    ForEachEntry(directory, L"*.*", [&](const wchar_t* name, DWORD attributes) {
        std::wstring child = path::Join(directory, name);
        if (IsReparsePoint(attributes)) return;  // neither entered nor touched
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            DeleteByExtensionBelow(child, extension);
            return;
        }
        if (_wcsicmp(::PathFindExtensionW(name), extension.c_str()) != 0) return;
        if (::DeleteFileW(child.c_str())) return;
        if (!Exists(child)) return;
        if (::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL) && ::DeleteFileW(child.c_str())) return;
        if (IsDirectory(::GetFileAttributesW(child.c_str())) && ::RemoveDirectoryW(child.c_str())) return;
        std::wstring moved;
        std::wstring registered = MoveToTemp(child, moved) ? moved : child;
        ScheduleDeleteAtRestart(registered);
        WriteLog(L"delete file:%s by pending:%s", child.c_str(), registered.c_str());
    });
    return true;
}

}  // namespace

TrustedFileCheck SetTrustedFileCheck(TrustedFileCheck check) {
    TrustedFileCheck previous = g_trustedFileCheck;
    g_trustedFileCheck = check ? check : &IsTrustedFile;
    return previous;
}

namespace {

// The shell delete; true when the directory is gone afterwards.
bool ShellDeleteDirectoryGone(const std::wstring& directory) {
    if (directory.empty()) return true;
    // An emptied directory, the common case, needs no shell round trip.
    if (::RemoveDirectoryW(directory.c_str())) return true;
    if (TreeHoldsLink(directory)) {
        WriteLog(L"%s holds a link, removed entry by entry", directory.c_str());
        RemoveTreeByHand(directory);
    } else if (directory.size() < kMaxShellSource - 1) {
        std::vector<wchar_t> source(directory.begin(), directory.end());
        source.push_back(L'\0');
        source.push_back(L'\0');
        SHFILEOPSTRUCTW operation = {};
        operation.wFunc = FO_DELETE;
        operation.pFrom = source.data();
        operation.fFlags = kShellDeleteFlags;
        ::SHFileOperationW(&operation);
    }
    return !Exists(directory);
}

// DeleteOneFile with the entry's attributes already known (from a directory
// walk). A successful delete needs no second look: a name that lingers while
// another process still holds the file goes when that handle is closed.
bool DeleteEntry(const std::wstring& path, DWORD attributes, LeftoverList& leftovers) {
    bool gone;
    if (IsReparsePoint(attributes)) {
        gone = RemoveLinkLogged(path, attributes);
    } else if (IsDirectory(attributes)) {
        gone = ShellDeleteDirectoryGone(path);
    } else if (DeletePlainFile(path)) {
        WriteLog(L"DeleteFile:%s suceesss", path.c_str());
        gone = true;
    } else {
        gone = !Exists(path);
    }
    if (!gone) leftovers.push_back(path);
    return gone;
}

}  // namespace

bool ShellDeleteDirectory(const std::wstring& directory) {
    ShellDeleteDirectoryGone(directory);
    return true;
}

bool DeleteOneFile(const std::wstring& path, LeftoverList& leftovers) {
    return DeleteEntry(path, ::GetFileAttributesW(path.c_str()), leftovers);
}

namespace {

// DeleteDirectoryRecursive with the directory's attributes already known.
void DeleteTreeEntries(const std::wstring& directory, DWORD attributes, LeftoverList& leftovers,
                       IDeleteProgress* progress) {
    if (!IsReparsePoint(attributes)) {
        ForEachEntry(directory, L"*", [&](const wchar_t* name, DWORD entryAttributes) {
            std::wstring child = path::Join(directory, name);
            if ((entryAttributes & FILE_ATTRIBUTE_DIRECTORY) && !IsReparsePoint(entryAttributes)) {
                if (!TooLongToWalk(child)) DeleteTreeEntries(child, entryAttributes, leftovers, progress);
                return;
            }
            DeleteEntry(child, entryAttributes, leftovers);  // a link counts as one file
            if (progress) progress->OnFileDeleted();
        });
    }
    DeleteEntry(directory, attributes, leftovers);
}

}  // namespace

bool DeleteDirectoryRecursive(const std::wstring& directory, LeftoverList& leftovers, IDeleteProgress* progress) {
    if (TooLongToWalk(directory)) return false;
    DeleteTreeEntries(directory, ::GetFileAttributesW(directory.c_str()), leftovers, progress);
    return true;
}

bool DeleteFileOrSchedule(const std::wstring& path) {
    if (::DeleteFileW(path.c_str())) return true;
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (IsReparsePoint(attributes)) {
        // A restart-time delete might resolve the link; leave it to the user.
        return RemoveLinkLogged(path, attributes);
    }
    if (::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) && ::DeleteFileW(path.c_str())) return true;
    ScheduleDeleteAtRestart(path);
    return false;
}

bool DeleteDirectoryTree(const std::wstring& directory) {
    if (TooLongToWalk(directory)) return false;
    DWORD attributes = ::GetFileAttributesW(directory.c_str());
    if (IsReparsePoint(attributes)) {
        RemoveLinkLogged(directory, attributes);
        return true;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        ::SetFileAttributesW(directory.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    ForEachEntry(directory, L"*", [&](const wchar_t* name, DWORD entryAttributes) {
        std::wstring child = path::Join(directory, name);
        if (IsReparsePoint(entryAttributes)) RemoveLinkLogged(child, entryAttributes);
        else if (entryAttributes & FILE_ATTRIBUTE_DIRECTORY) DeleteDirectoryTree(child);
        else DeleteFileOrSchedule(child);
    });
    ShellDeleteDirectory(directory);
    // Registered after its files, so it is empty when its turn comes at restart.
    if (IsDirectory(::GetFileAttributesW(directory.c_str()))) ScheduleDeleteAtRestart(directory);
    return true;
}

bool MoveToTemp(const std::wstring& path, std::wstring& newPath) {
    DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    // A link is only ever removed in place: a rename may act on its target.
    if (IsReparsePoint(attributes)) {
        WriteLog(L"leave link %s in place", path.c_str());
        return false;
    }
    std::wstring folder = TempFolderFor(path);
    std::wstring target = !folder.empty() && folder.size() <= MAX_PATH ? CreateTempNameIn(folder) : std::wstring();
    if (target.empty() || !::MoveFileW(path.c_str(), target.c_str())) {
        DWORD error = target.empty() ? ERROR_PATH_NOT_FOUND : ::GetLastError();
        WriteLog(L"move %s to %s, failed, error=%d", path.c_str(), target.c_str(), static_cast<int>(error));
        return false;
    }
    if (Exists(path)) {
        DeleteFileOrSchedule(target);
        return false;
    }
    newPath = target;
    return true;
}

bool RemoveNowIfPossible(const std::wstring& path) {
    if (::DeleteFileW(path.c_str())) return true;
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (IsReparsePoint(attributes)) return RemoveLink(path, attributes);
    if (::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) && ::DeleteFileW(path.c_str())) return true;
    return IsDirectory(::GetFileAttributesW(path.c_str())) && ::RemoveDirectoryW(path.c_str());
}

void RemoveFilesByRegistry(const std::wstring& installDir, const std::wstring& keyPath, LeftoverList& leftovers,
                           HKEY root) {
    DWORD dirAttributes = ::GetFileAttributesW(installDir.c_str());
    if (!IsDirectory(dirAttributes)) return;
    if (IsReparsePoint(dirAttributes)) {
        WriteLog(L"refuse files of %s: %s is a link", keyPath.c_str(), installDir.c_str());
        return;
    }
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(root, keyPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;

    for (DWORD index = 0;; ++index) {
        wchar_t name[MAX_PATH + 1] = {};
        DWORD nameChars = MAX_PATH + 1;
        LONG result = ::RegEnumValueW(key.get(), index, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_MORE_DATA) continue;  // longer than a path may be
        if (result != ERROR_SUCCESS) break;
        std::wstring relative(name, nameChars);
        std::wstring why = WhyUnsafeRelativeName(relative);
        if (why.empty() && PassesThroughLink(installDir, relative)) why = L"passes through a link";
        if (!why.empty()) {
            WriteLog(L"refuse listed name \"%s\" of %s: %s", relative.c_str(), keyPath.c_str(), why.c_str());
            continue;
        }
        std::wstring full = path::Join(installDir, relative);
        DWORD attributes = ::GetFileAttributesW(full.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) continue;
        if (IsDirectory(attributes) && !IsReparsePoint(attributes)) DeleteDirectoryRecursive(full, leftovers);
        else DeleteOneFile(full, leftovers);
    }
}

bool CountListedFiles(const std::wstring& directory, const std::wstring& installDir, IUninstallRootDirList* rootList,
                      int& count) {
    if (TooLongToWalk(directory)) return false;
    // Every entry found here has `directory` as its parent.
    bool topLevel = directory == installDir;
    ForEachEntry(directory, L"*", [&](const wchar_t* name, DWORD attributes) {
        std::wstring child = path::Join(directory, name);
        if (topLevel && !BelongsToProduct(name, child, rootList)) {
            WriteLog(L"File NOT exists in xml: %s", UpperName(name).c_str());
            return;
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsReparsePoint(attributes)) {
            CountListedFiles(child, installDir, rootList, count);
        } else {
            ++count;
        }
    });
    return true;
}

void DeleteAllFilesInDir(const std::wstring& installDir, IUninstallRootDirList* rootList, LeftoverList& leftovers,
                         IDeleteProgress& progress) {
    if (TooLongToWalk(installDir)) {
        progress.SetTotalCount(kFallbackTotalCount);
        return;
    }
    std::wstring why = WhyProtectedDirectory(installDir);
    if (!why.empty()) {
        progress.SetTotalCount(kFallbackTotalCount);
        WriteLog(L"refuse to delete all files in %s: %s", installDir.c_str(), why.c_str());
        return;
    }
    int count = 0;
    progress.SetTotalCount(CountListedFiles(installDir, installDir, rootList, count) ? count : kFallbackTotalCount);

    ForEachEntry(installDir, L"*", [&](const wchar_t* name, DWORD attributes) {
        std::wstring child = path::Join(installDir, name);
        if (!BelongsToProduct(name, child, rootList)) {
            WriteLog(L"File NOT exists in xml: %s", UpperName(name).c_str());
            return;
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsReparsePoint(attributes)) {
            if (!TooLongToWalk(child)) DeleteTreeEntries(child, attributes, leftovers, &progress);
        } else if (DeleteEntry(child, attributes, leftovers)) {
            WriteLog(L"Delete File: %s", child.c_str());
            progress.OnFileDeleted();
        }
    });
    bool removed = ::RemoveDirectoryW(installDir.c_str()) != FALSE;
    WriteLog(L"remove directory %s %s", installDir.c_str(), removed ? L"suceess" : L"failed.");
}

void RemoveSecondUninstaller() {
    std::wstring programFiles = ProgramFilesFolder();
    if (programFiles.empty()) return;
    std::wstring kel = path::Join(programFiles, L"Kel");
    std::wstring keltapis = path::Join(kel, L"Keltapis");
    std::wstring uninstaller = path::Join(keltapis, L"Uninstall.exe");
    if (PassesThroughLink(programFiles, L"Kel\\Keltapis\\Uninstall.exe") ||
        IsReparsePoint(::GetFileAttributesW(uninstaller.c_str()))) {
        WriteLog(L"refuse to remove %s: it passes through a link", uninstaller.c_str());
        return;
    }
    if (Exists(uninstaller)) DeletePlainFile(uninstaller);
    if (Exists(keltapis)) ::RemoveDirectoryW(keltapis.c_str());
    if (Exists(kel)) ::RemoveDirectoryW(kel.c_str());
}

bool DeleteByExtension(const std::wstring& directory, const std::wstring& extension) {
    if (extension.empty() || TooLongToWalk(directory)) return false;
    std::wstring why = WhyProtectedDirectory(directory);
    if (!why.empty()) {
        WriteLog(L"refuse to delete %s files in %s: %s", extension.c_str(), directory.c_str(), why.c_str());
        return false;
    }
    return DeleteByExtensionBelow(directory, extension);
}
