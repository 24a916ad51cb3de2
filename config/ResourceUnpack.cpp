#include "config/ResourceUnpack.h"

#include <shlobj.h>

#include "app/SmartLogger.h"
#include "app/base/WinHandle.h"
#include "config/Extract7z.h"
#include "config/TempName.h"

namespace {

// Creates `path` anew and writes `size` bytes in blocks of kWriteBlock.
bool WriteNewFile(const std::wstring& path, const void* data, DWORD size) {
    ::DeleteFileW(path.c_str());
    win::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        WriteLog(L"cannot create [%s], error[%u]", path.c_str(), static_cast<unsigned>(::GetLastError()));
        return false;
    }
    const BYTE* bytes = static_cast<const BYTE*>(data);
    for (DWORD offset = 0; offset < size;) {
        DWORD block = size - offset < CResourceUnpack::kWriteBlock ? size - offset : CResourceUnpack::kWriteBlock;
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes + offset, block, &written, nullptr) || written != block) {
            // A short copy would only fail later, as a damaged archive or list.
            WriteLog(L"write [%s] failed at %u, error[%u]", path.c_str(), static_cast<unsigned>(offset),
                     static_cast<unsigned>(::GetLastError()));
            return false;
        }
        offset += block;
    }
    return true;
}

}  // namespace

bool CResourceUnpack::Init(HMODULE module, const wchar_t* name, const wchar_t* type) {
    Reset();
    HRSRC resource = ::FindResourceW(module, name, type);
    if (!resource) return false;
    HGLOBAL loaded = ::LoadResource(module, resource);
    if (!loaded) return false;
    const void* data = ::LockResource(loaded);
    DWORD size = ::SizeofResource(module, resource);
    if (!data) return false;
    data_ = data;
    size_ = size;
    return true;
}

bool CResourceUnpack::SaveTo(const std::wstring& path) const {
    if (path.empty()) return false;
    return WriteNewFile(path, data_, data_ ? size_ : 0);
}

bool CResourceUnpack::Unpack(std::wstring& outputFolder) const {
    std::wstring archiveFile = CreateTempName();
    if (archiveFile.empty()) {
        WriteLog(L"unpack: no free temporary name for the archive");
        return false;
    }
    if (!SaveTo(archiveFile)) return false;

    std::wstring folder = CreateTempName();
    if (folder.empty()) {
        WriteLog(L"unpack: no free temporary name for the output folder");
        return false;
    }
    int created = ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (created != ERROR_SUCCESS && created != ERROR_ALREADY_EXISTS) {
        WriteLog(L"unpack: cannot create [%s], error[%d]", folder.c_str(), created);
        return false;
    }
    if (Extract7z(archiveFile, folder) != 0) return false;

    outputFolder = folder;
    ::DeleteFileW(archiveFile.c_str());
    return true;
}

void CResourceUnpack::Reset() {
    data_ = nullptr;
    size_ = 0;
}
