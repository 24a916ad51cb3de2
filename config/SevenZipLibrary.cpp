#include "config/SevenZipLibrary.h"

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"

CSevenZipLibrary& CSevenZipLibrary::Process() {
    static CSevenZipLibrary library;
    return library;
}

bool CSevenZipLibrary::Load(const std::wstring& path) {
    // A full path only: a bare name would let the search order pick the file.
    if (path.empty()) return false;
    HMODULE module = ::LoadLibraryW(path.c_str());
    if (!module) return false;
    if (module != module_.get()) module_.reset(module);
    else ::FreeLibrary(module);  // the same library again: keep one reference
    return true;
}

int LoadSevenZipBesideProgram() {
    CSevenZipLibrary& library = CSevenZipLibrary::Process();
    if (library.IsLoaded()) return 0;
    std::wstring directory = path::ModuleDirectory();
    if (directory.empty()) {
        WriteLog(L"7z.dll not loaded: own directory unknown");
        return kSevenZipLibraryMissing;
    }
    std::wstring dll = path::Join(directory, L"7z.dll");
    if (!library.Load(dll)) {
        WriteLog(L"load 7z.dll failed, path[%s] error[%u]", dll.c_str(), static_cast<unsigned>(::GetLastError()));
        return kSevenZipLibraryMissing;
    }
    return 0;
}
