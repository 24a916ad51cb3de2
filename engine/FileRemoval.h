// The engine's file operations: deleting files and trees, the bulk deletion of
// the installation directory guided by the root-directory list, and the
// removal of what the product's registry lists name. Links (junctions, mount
// points, symbolic links) are removed as links; nothing behind one is touched.
#pragma once

#include <windows.h>

#include <string>

#include "engine/LeftoverList.h"

class IUninstallRootDirList;

// Progress of the bulk deletion, implemented by the engine.
class IDeleteProgress {
public:
    // The number of files the deletion will visit (200 when counting failed).
    virtual void SetTotalCount(int count) = 0;
    // One more file visited (see DeleteAllFilesInDir for which ones count).
    virtual void OnFileDeleted() = 0;
    virtual ~IDeleteProgress() = default;
};

// HKLM keys whose value names list files to remove, relative to the installation directory.
extern const wchar_t kFileListKey[];  // "...\App Paths\Kelwpapp.exe\file_list"
extern const wchar_t kFilePeKey[];    // "...\App Paths\Kelwpapp.exe\file_pe"

// Deletes a file, or a directory with everything in it; appends the path to
// `leftovers` and returns false when it still exists afterwards.
bool DeleteOneFile(const std::wstring& path, LeftoverList& leftovers);

// Deletes a tree entry by entry with DeleteOneFile, calling
// progress->OnFileDeleted() after each file visited (deleted or not) when
// progress is not null. False only for an empty path or one of 260+ characters.
bool DeleteDirectoryRecursive(const std::wstring& directory, LeftoverList& leftovers,
                              IDeleteProgress* progress = nullptr);

// Deletes a tree; files that cannot go now are registered for deletion at restart.
bool DeleteDirectoryTree(const std::wstring& directory);

// Deletes a file, else registers it for deletion at restart (false then).
// True also when the file does not exist.
bool DeleteFileOrSchedule(const std::wstring& path);

// Shell delete of a directory and its contents (no recycle bin, no UI). A tree
// that holds a link is walked by hand instead, so the shell never follows it.
bool ShellDeleteDirectory(const std::wstring& directory);

// Moves a file or directory to a fresh GUID ".tmp" name in its temporary
// folder (TempLocation.h). True with `newPath` set when the item is gone from
// its old place.
bool MoveToTemp(const std::wstring& path, std::wstring& newPath);

// Deletes a file or an empty directory at once; true when the path is gone.
bool RemoveNowIfPossible(const std::wstring& path);

// Deletes what the value names of HKLM `keyPath` name below `installDir`
// (names that are absolute or leave the directory are refused and logged).
// `root` is replaceable for tests only.
void RemoveFilesByRegistry(const std::wstring& installDir, const std::wstring& keyPath, LeftoverList& leftovers,
                           HKEY root = HKEY_LOCAL_MACHINE);

// Counts the files the bulk deletion of `installDir` will visit below `directory`.
bool CountListedFiles(const std::wstring& directory, const std::wstring& installDir,
                      IUninstallRootDirList* rootList, int& count);

// The bulk deletion: every top-level entry that is in the root-directory list
// or signed by a trusted publisher, then the directory itself when empty.
// Refused (logged) for a drive root, system or special-folder root.
void DeleteAllFilesInDir(const std::wstring& installDir, IUninstallRootDirList* rootList, LeftoverList& leftovers,
                         IDeleteProgress& progress);

// Deletes "<Program Files>\Kel\Keltapis\Uninstall.exe" and the two folders when empty.
void RemoveSecondUninstaller();

// Deletes, or moves away and schedules, every file below `directory` whose
// extension is `extension` (with its dot, case-insensitive).
bool DeleteByExtension(const std::wstring& directory, const std::wstring& extension);

// The trusted-publisher check used for unlisted top-level entries
// (IsTrustedFile by default); replaceable for tests. Returns the previous one.
using TrustedFileCheck = bool (*)(const wchar_t* path);
TrustedFileCheck SetTrustedFileCheck(TrustedFileCheck check);
