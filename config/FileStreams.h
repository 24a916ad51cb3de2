// File streams handed to the 7-Zip library: one file opened for reading (the
// archive) and one opened for writing (an extracted item). Reference-counted
// COM-style objects: create with `new`, own through win::ComPtr, never delete.
#pragma once

#include <windows.h>

#include <string>

#include "app/base/WinHandle.h"
#include "config/SevenZipInterfaces.h"

class CInFileStream final : public sevenzip::IInStream, public sevenzip::IStreamGetSize {
public:
    CInFileStream() = default;
    CInFileStream(const CInFileStream&) = delete;
    CInFileStream& operator=(const CInFileStream&) = delete;

    // Opens an existing file for reading, shared for reading.
    bool Open(const std::wstring& path);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE Read(void* data, sevenzip::UInt32 size, sevenzip::UInt32* processedSize) override;
    // Origins 0 to 2 (begin, current, end); others give STG_E_INVALIDFUNCTION.
    HRESULT STDMETHODCALLTYPE Seek(sevenzip::Int64 offset, sevenzip::UInt32 seekOrigin,
                                   sevenzip::UInt64* newPosition) override;
    HRESULT STDMETHODCALLTYPE GetSize(sevenzip::UInt64* size) override;

private:
    ~CInFileStream() = default;

    volatile LONG references_ = 1;
    win::UniqueFile file_;
};

class COutFileStream final : public sevenzip::IOutStream {
public:
    COutFileStream() = default;
    COutFileStream(const COutFileStream&) = delete;
    COutFileStream& operator=(const COutFileStream&) = delete;

    // Creates the file, replacing an existing one; shared for reading.
    bool Create(const std::wstring& path);
    // Sets the last-write time of the open file.
    HRESULT SetModificationTime(const FILETIME& time);
    // Closes the file; the close error when there is one.
    HRESULT Close();
    sevenzip::UInt64 BytesWritten() const { return bytesWritten_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE Write(const void* data, sevenzip::UInt32 size,
                                    sevenzip::UInt32* processedSize) override;
    HRESULT STDMETHODCALLTYPE Seek(sevenzip::Int64 offset, sevenzip::UInt32 seekOrigin,
                                   sevenzip::UInt64* newPosition) override;
    HRESULT STDMETHODCALLTYPE SetSize(sevenzip::UInt64 newSize) override;

private:
    ~COutFileStream() = default;

    volatile LONG references_ = 1;
    win::UniqueFile file_;
    sevenzip::UInt64 bytesWritten_ = 0;
};

// The thread's last Windows error as a COM result; E_FAIL when there is none.
HRESULT LastErrorResult();
