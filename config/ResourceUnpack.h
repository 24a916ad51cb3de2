// The setup archive in the program's own resources: its bytes written to a
// file, or the archive extracted into a fresh temporary folder.
#pragma once

#include <windows.h>

#include <string>

class CResourceUnpack {
public:
    CResourceUnpack() = default;
    virtual ~CResourceUnpack() = default;
    CResourceUnpack(const CResourceUnpack&) = delete;
    CResourceUnpack& operator=(const CResourceUnpack&) = delete;

    // Finds, loads and locks the resource and keeps its address and size.
    // False when it does not exist or cannot be loaded (nothing is kept).
    bool Init(HMODULE module, const wchar_t* name, const wchar_t* type);
    // Deletes `path`, creates it anew (must not exist afterwards, shared for
    // reading) and writes the resource bytes into it. False when the file
    // cannot be created or a write fails.
    bool SaveTo(const std::wstring& path) const;
    // Writes the archive to a temporary file, extracts it into a new temporary
    // folder and gives that folder back; the archive file is then deleted and
    // the folder left for the rest of the run. On failure the archive file
    // stays behind.
    bool Unpack(std::wstring& outputFolder) const;
    // Forgets the resource. The resource itself is never freed: it belongs to a
    // module that stays mapped.
    void Reset();

    const void* Data() const { return data_; }
    DWORD Size() const { return size_; }

    static constexpr DWORD kWriteBlock = 4096;

private:
    const void* data_ = nullptr;
    DWORD size_ = 0;
};
