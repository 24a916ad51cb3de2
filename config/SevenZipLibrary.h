// The process's hold on the 7-Zip library "7z.dll". It is loaded by full path
// from the program's own directory, kept until the process ends, and used by
// every extraction.
#pragma once

#include <windows.h>

#include <string>

#include "app/base/WinHandle.h"

class CSevenZipLibrary {
public:
    // The process-wide holder; the library it holds is freed at process exit.
    static CSevenZipLibrary& Process();

    CSevenZipLibrary() = default;
    CSevenZipLibrary(const CSevenZipLibrary&) = delete;
    CSevenZipLibrary& operator=(const CSevenZipLibrary&) = delete;

    // Loads the library at `path`; on success frees any library held before
    // and keeps the new one. A failed load keeps what was held.
    bool Load(const std::wstring& path);
    bool IsLoaded() const { return module_.valid(); }
    HMODULE Module() const { return module_.get(); }

private:
    win::UniqueModule module_;
};

// Result of the library check that runs before the setup project is loaded.
constexpr int kSevenZipLibraryMissing = 3;

// Makes sure 7z.dll is held, loading it from the program's own directory
// (never through the library search order) when it is not. Returns 0 when the
// library is held, kSevenZipLibraryMissing when it cannot be loaded; logs why.
int LoadSevenZipBesideProgram();
