#include "config/FileStreams.h"

using sevenzip::Int64;
using sevenzip::UInt32;
using sevenzip::UInt64;

HRESULT LastErrorResult() {
    DWORD error = ::GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

namespace {

HRESULT SeekFile(HANDLE file, Int64 offset, UInt32 origin, UInt64* newPosition) {
    if (origin > sevenzip::kSeekEnd) return STG_E_INVALIDFUNCTION;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position;
    position.QuadPart = 0;
    if (!::SetFilePointerEx(file, distance, &position, origin)) return LastErrorResult();
    if (newPosition) *newPosition = static_cast<UInt64>(position.QuadPart);
    return S_OK;
}

}  // namespace

// ---------------------------------------------------------------------------

bool CInFileStream::Open(const std::wstring& path) {
    file_.reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    return file_.valid();
}

HRESULT CInFileStream::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, sevenzip::kIidSequentialInStream) ||
        IsEqualIID(iid, sevenzip::kIidInStream))
        *object = static_cast<sevenzip::IInStream*>(this);
    else if (IsEqualIID(iid, sevenzip::kIidStreamGetSize))
        *object = static_cast<sevenzip::IStreamGetSize*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG CInFileStream::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }

ULONG CInFileStream::Release() {
    LONG left = ::InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

HRESULT CInFileStream::Read(void* data, UInt32 size, UInt32* processedSize) {
    if (processedSize) *processedSize = 0;
    if (!file_) return E_FAIL;
    if (size == 0) return S_OK;
    if (!data) return E_POINTER;
    DWORD read = 0;
    if (!::ReadFile(file_.get(), data, size, &read, nullptr)) return LastErrorResult();
    if (processedSize) *processedSize = read;
    return S_OK;
}

HRESULT CInFileStream::Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) {
    if (!file_) return E_FAIL;
    return SeekFile(file_.get(), offset, seekOrigin, newPosition);
}

HRESULT CInFileStream::GetSize(UInt64* size) {
    if (!size) return E_POINTER;
    LARGE_INTEGER length;
    if (!file_ || !::GetFileSizeEx(file_.get(), &length)) return file_ ? LastErrorResult() : E_FAIL;
    *size = static_cast<UInt64>(length.QuadPart);
    return S_OK;
}

// ---------------------------------------------------------------------------

bool COutFileStream::Create(const std::wstring& path) {
    file_.reset(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    bytesWritten_ = 0;
    return file_.valid();
}

HRESULT COutFileStream::SetModificationTime(const FILETIME& time) {
    if (!file_) return E_FAIL;
    return ::SetFileTime(file_.get(), nullptr, nullptr, &time) ? S_OK : LastErrorResult();
}

HRESULT COutFileStream::Close() {
    if (!file_) return S_OK;
    HANDLE handle = file_.release();
    return ::CloseHandle(handle) ? S_OK : LastErrorResult();
}

HRESULT COutFileStream::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, sevenzip::kIidSequentialOutStream) ||
        IsEqualIID(iid, sevenzip::kIidOutStream))
        *object = static_cast<sevenzip::IOutStream*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG COutFileStream::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }

ULONG COutFileStream::Release() {
    LONG left = ::InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

HRESULT COutFileStream::Write(const void* data, UInt32 size, UInt32* processedSize) {
    if (processedSize) *processedSize = 0;
    if (!file_) return E_FAIL;
    if (size == 0) return S_OK;
    if (!data) return E_POINTER;
    DWORD written = 0;
    if (!::WriteFile(file_.get(), data, size, &written, nullptr)) return LastErrorResult();
    bytesWritten_ += written;
    if (processedSize) *processedSize = written;
    return S_OK;
}

HRESULT COutFileStream::Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) {
    if (!file_) return E_FAIL;
    return SeekFile(file_.get(), offset, seekOrigin, newPosition);
}

HRESULT COutFileStream::SetSize(UInt64 newSize) {
    if (!file_) return E_FAIL;
    LARGE_INTEGER current;
    current.QuadPart = 0;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!::SetFilePointerEx(file_.get(), zero, &current, FILE_CURRENT)) return LastErrorResult();
    LARGE_INTEGER target;
    target.QuadPart = static_cast<LONGLONG>(newSize);
    if (!::SetFilePointerEx(file_.get(), target, nullptr, FILE_BEGIN) || !::SetEndOfFile(file_.get()))
        return LastErrorResult();
    // Keep the write position where it was.
    return ::SetFilePointerEx(file_.get(), current, nullptr, FILE_BEGIN) ? S_OK : LastErrorResult();
}
