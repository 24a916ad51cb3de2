#include "config/ArchiveCallbacks.h"

#include <oleauto.h>

#include "app/SmartLogger.h"

using sevenzip::Int32;
using sevenzip::UInt32;
using sevenzip::UInt64;

namespace {

// The name given to an item that has no stored path.
constexpr wchar_t kUnnamedItem[] = L"[Content]";

// Attributes that may be given to an extracted file or folder; the archive's
// other bits (Unix mode, directory, reparse) are not applied.
constexpr DWORD kApplicableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                        FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                                        FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

class PropVariant {
public:
    PropVariant() { ::PropVariantInit(&value_); }
    ~PropVariant() { ::PropVariantClear(&value_); }
    PropVariant(const PropVariant&) = delete;
    PropVariant& operator=(const PropVariant&) = delete;
    PROPVARIANT* put() {
        ::PropVariantClear(&value_);
        return &value_;
    }
    const PROPVARIANT& get() const { return value_; }
    VARTYPE type() const { return value_.vt; }

private:
    PROPVARIANT value_;
};

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDotsAndBlanks(const std::wstring& part) {
    for (wchar_t c : part)
        if (c != L'.' && c != L' ') return false;
    return true;
}

// Creates every folder of `relative` (separated by backslashes) below `base`.
void CreateFolders(const std::wstring& base, const std::wstring& relative) {
    for (size_t at = relative.find(L'\\'); at != std::wstring::npos; at = relative.find(L'\\', at + 1))
        ::CreateDirectoryW((base + relative.substr(0, at)).c_str(), nullptr);
}

bool PathExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

bool IsContainedItemPath(const std::wstring& itemPath) {
    if (itemPath.empty() || IsSeparator(itemPath.front())) return false;
    if (itemPath.find(L':') != std::wstring::npos) return false;
    size_t start = 0;
    for (size_t i = 0; i <= itemPath.size(); ++i) {
        if (i < itemPath.size() && !IsSeparator(itemPath[i])) continue;
        std::wstring part = itemPath.substr(start, i - start);
        // Windows drops trailing dots and blanks, so "..." or ". ." would climb too.
        if (part.empty() || IsDotsAndBlanks(part)) return false;
        start = i + 1;
    }
    return true;
}

// ---------------------------------------------------------------------------

HRESULT CArchiveOpenCallback::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, sevenzip::kIidArchiveOpenCallback))
        *object = static_cast<sevenzip::IArchiveOpenCallback*>(this);
    else if (IsEqualIID(iid, sevenzip::kIidCryptoGetTextPassword))
        *object = static_cast<sevenzip::ICryptoGetTextPassword*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG CArchiveOpenCallback::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }

ULONG CArchiveOpenCallback::Release() {
    LONG left = ::InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

HRESULT CArchiveOpenCallback::SetTotal(const UInt64*, const UInt64*) { return S_OK; }
HRESULT CArchiveOpenCallback::SetCompleted(const UInt64*, const UInt64*) { return S_OK; }

HRESULT CArchiveOpenCallback::CryptoGetTextPassword(BSTR* password) {
    if (password) *password = nullptr;
    passwordAsked_ = true;
    return E_ABORT;
}

// ---------------------------------------------------------------------------

CArchiveExtractCallback::CArchiveExtractCallback(sevenzip::IInArchive* archive, const std::wstring& outputFolder)
    : archive_(win::ComPtr<sevenzip::IInArchive>::AddRefOf(archive)), outputFolder_(outputFolder) {}

HRESULT CArchiveExtractCallback::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, sevenzip::kIidProgress) ||
        IsEqualIID(iid, sevenzip::kIidArchiveExtractCallback))
        *object = static_cast<sevenzip::IArchiveExtractCallback*>(this);
    else if (IsEqualIID(iid, sevenzip::kIidCryptoGetTextPassword))
        *object = static_cast<sevenzip::ICryptoGetTextPassword*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG CArchiveExtractCallback::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }

ULONG CArchiveExtractCallback::Release() {
    LONG left = ::InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

HRESULT CArchiveExtractCallback::SetTotal(UInt64) { return S_OK; }
HRESULT CArchiveExtractCallback::SetCompleted(const UInt64*) { return S_OK; }

HRESULT CArchiveExtractCallback::GetStream(UInt32 index, sevenzip::ISequentialOutStream** outStream,
                                           Int32 askExtractMode) {
    if (outStream) *outStream = nullptr;
    outFile_.reset();
    index_ = index;
    itemPath_.clear();
    fullPath_.clear();
    isDirectory_ = false;
    attributesKnown_ = false;
    modificationTimeKnown_ = false;
    if (!archive_) return E_FAIL;

    PropVariant property;
    HRESULT hr = archive_->GetProperty(index, sevenzip::kpidPath, property.put());
    if (FAILED(hr)) return hr;
    if (property.type() == VT_BSTR) {
        BSTR path = property.get().bstrVal;
        itemPath_.assign(path ? path : L"", path ? ::SysStringLen(path) : 0);
        // The library reports a nameless item as an empty text.
        if (itemPath_.empty()) itemPath_ = kUnnamedItem;
    } else if (property.type() == VT_EMPTY) {
        itemPath_ = kUnnamedItem;
    } else {
        return E_FAIL;
    }
    for (wchar_t& c : itemPath_)
        if (c == L'/') c = L'\\';

    if (askExtractMode != sevenzip::kExtract) return S_OK;
    if (!outStream) return E_POINTER;

    hr = archive_->GetProperty(index, sevenzip::kpidAttrib, property.put());
    if (FAILED(hr)) return hr;
    if (property.type() == VT_UI4) {
        attributesKnown_ = true;
        attributes_ = property.get().ulVal;
    } else if (property.type() != VT_EMPTY) {
        return E_FAIL;
    }

    hr = archive_->GetProperty(index, sevenzip::kpidIsDir, property.put());
    if (FAILED(hr)) return hr;
    if (property.type() == VT_BOOL) isDirectory_ = property.get().boolVal != VARIANT_FALSE;
    else if (property.type() != VT_EMPTY) return E_FAIL;

    hr = archive_->GetProperty(index, sevenzip::kpidMTime, property.put());
    if (FAILED(hr)) return hr;
    if (property.type() == VT_FILETIME) {
        modificationTimeKnown_ = true;
        modificationTime_ = property.get().filetime;
    } else if (property.type() != VT_EMPTY) {
        return E_FAIL;
    }

    if (!IsContainedItemPath(itemPath_)) {
        WriteLog(L"archive item [%s] leaves the output folder, extraction stopped", itemPath_.c_str());
        return E_ABORT;
    }

    CreateFolders(outputFolder_, itemPath_);
    fullPath_ = outputFolder_ + itemPath_;
    if (isDirectory_) {
        ::CreateDirectoryW(fullPath_.c_str(), nullptr);
        return S_OK;
    }

    if (PathExists(fullPath_) && !::DeleteFileW(fullPath_.c_str())) {
        WriteLog(L"extract: existing file [%s] cannot be replaced, error[%u]", fullPath_.c_str(),
                 static_cast<unsigned>(::GetLastError()));
        return E_ABORT;
    }
    win::ComPtr<COutFileStream> stream = win::ComPtr<COutFileStream>::Attach(new COutFileStream());
    if (!stream->Create(fullPath_)) {
        WriteLog(L"extract: cannot create [%s], error[%u]", fullPath_.c_str(),
                 static_cast<unsigned>(::GetLastError()));
        return E_ABORT;
    }
    outFile_ = stream;
    *outStream = stream.detach();  // the library's reference
    return S_OK;
}

HRESULT CArchiveExtractCallback::PrepareOperation(Int32 askExtractMode) {
    extracting_ = askExtractMode == sevenzip::kExtract;
    return S_OK;
}

HRESULT CArchiveExtractCallback::SetOperationResult(Int32 operationResult) {
    if (operationResult != sevenzip::kOk) {
        ++failedItems_;
        WriteLog(L"extract: item [%s] failed, result[%d]", itemPath_.c_str(), static_cast<int>(operationResult));
    }
    if (outFile_) {
        if (modificationTimeKnown_) outFile_->SetModificationTime(modificationTime_);
        HRESULT closed = outFile_->Close();
        outFile_.reset();
        if (FAILED(closed)) return closed;
    }
    if (extracting_ && attributesKnown_ && !fullPath_.empty()) {
        DWORD attributes = attributes_ & kApplicableAttributes;
        ::SetFileAttributesW(fullPath_.c_str(), attributes ? attributes : FILE_ATTRIBUTE_NORMAL);
    }
    return S_OK;
}

HRESULT CArchiveExtractCallback::CryptoGetTextPassword(BSTR* password) {
    if (password) *password = nullptr;
    passwordAsked_ = true;
    return E_ABORT;
}
