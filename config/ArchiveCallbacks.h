// Callbacks handed to the 7-Zip library while an archive is opened and
// extracted. Reference-counted COM-style objects: create with `new`, own
// through win::ComPtr, never delete. No password is known, so an encrypted
// archive is refused.
#pragma once

#include <windows.h>

#include <string>

#include "app/base/WinHandle.h"
#include "config/FileStreams.h"
#include "config/SevenZipInterfaces.h"

class CArchiveOpenCallback final : public sevenzip::IArchiveOpenCallback, public sevenzip::ICryptoGetTextPassword {
public:
    CArchiveOpenCallback() = default;
    CArchiveOpenCallback(const CArchiveOpenCallback&) = delete;
    CArchiveOpenCallback& operator=(const CArchiveOpenCallback&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE SetTotal(const sevenzip::UInt64* files, const sevenzip::UInt64* bytes) override;
    HRESULT STDMETHODCALLTYPE SetCompleted(const sevenzip::UInt64* files, const sevenzip::UInt64* bytes) override;
    // Always E_ABORT.
    HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) override;

    bool PasswordAsked() const { return passwordAsked_; }

private:
    ~CArchiveOpenCallback() = default;

    volatile LONG references_ = 1;
    bool passwordAsked_ = false;
};

// Writes every item of an archive below one output folder. Item paths must stay
// inside that folder: absolute paths, drive or stream names and ".." parts
// abort the extraction.
class CArchiveExtractCallback final : public sevenzip::IArchiveExtractCallback,
                                      public sevenzip::ICryptoGetTextPassword {
public:
    // `outputFolder` ends with a path separator.
    CArchiveExtractCallback(sevenzip::IInArchive* archive, const std::wstring& outputFolder);
    CArchiveExtractCallback(const CArchiveExtractCallback&) = delete;
    CArchiveExtractCallback& operator=(const CArchiveExtractCallback&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE SetTotal(sevenzip::UInt64 total) override;
    HRESULT STDMETHODCALLTYPE SetCompleted(const sevenzip::UInt64* completeValue) override;
    HRESULT STDMETHODCALLTYPE GetStream(sevenzip::UInt32 index, sevenzip::ISequentialOutStream** outStream,
                                        sevenzip::Int32 askExtractMode) override;
    HRESULT STDMETHODCALLTYPE PrepareOperation(sevenzip::Int32 askExtractMode) override;
    HRESULT STDMETHODCALLTYPE SetOperationResult(sevenzip::Int32 operationResult) override;
    // Always E_ABORT.
    HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) override;

    // Items whose operation result was not success.
    unsigned FailedItems() const { return failedItems_; }
    bool PasswordAsked() const { return passwordAsked_; }

private:
    ~CArchiveExtractCallback() = default;

    volatile LONG references_ = 1;
    win::ComPtr<sevenzip::IInArchive> archive_;
    std::wstring outputFolder_;

    // The current item.
    sevenzip::UInt32 index_ = 0;
    std::wstring itemPath_;
    std::wstring fullPath_;
    bool extracting_ = false;
    bool isDirectory_ = false;
    bool attributesKnown_ = false;
    DWORD attributes_ = 0;
    bool modificationTimeKnown_ = false;
    FILETIME modificationTime_ = {};
    win::ComPtr<COutFileStream> outFile_;

    unsigned failedItems_ = 0;
    bool passwordAsked_ = false;
};

// True when an archive item path names something inside the output folder:
// relative, without drive or stream names and without "." or ".." parts.
bool IsContainedItemPath(const std::wstring& itemPath);
