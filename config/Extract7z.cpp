#include "config/Extract7z.h"

#include <windows.h>
#include <shlobj.h>

#include "app/SmartLogger.h"
#include "app/base/WinHandle.h"
#include "config/ArchiveCallbacks.h"
#include "config/FileStreams.h"
#include "config/SevenZipInterfaces.h"
#include "config/SevenZipLibrary.h"

int Extract7z(const std::wstring& archivePath, const std::wstring& outputFolder) {
    if (archivePath.empty() || outputFolder.empty()) return -1;
    DWORD attributes = ::GetFileAttributesW(outputFolder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) ::SHCreateDirectoryExW(nullptr, outputFolder.c_str(), nullptr);

    HMODULE library = CSevenZipLibrary::Process().Module();
    auto createObject = library ? reinterpret_cast<sevenzip::CreateObjectFn>(
                                      reinterpret_cast<void*>(::GetProcAddress(library, "CreateObject")))
                                : nullptr;
    if (!createObject) {
        WriteLog(L"extract 7z: library not loaded or without CreateObject");
        return -1;
    }

    win::ComPtr<sevenzip::IInArchive> archive;
    HRESULT hr = createObject(&sevenzip::kClsid7zFormat, &sevenzip::kIidInArchive, archive.put_void());
    if (FAILED(hr) || !archive) {
        WriteLog(L"extract 7z: no 7z handler, hr[0x%08X]", static_cast<unsigned>(hr));
        return -1;
    }

    auto stream = win::ComPtr<CInFileStream>::Attach(new CInFileStream());
    if (!stream->Open(archivePath)) {
        WriteLog(L"extract 7z: cannot open [%s], error[%u]", archivePath.c_str(),
                 static_cast<unsigned>(::GetLastError()));
        return -1;
    }

    auto openCallback = win::ComPtr<CArchiveOpenCallback>::Attach(new CArchiveOpenCallback());
    // No limit on the search for the archive's start.
    hr = archive->Open(stream.get(), nullptr, openCallback.get());
    if (hr != S_OK) {
        WriteLog(L"extract 7z: [%s] is not a readable 7z archive, hr[0x%08X]%s", archivePath.c_str(),
                 static_cast<unsigned>(hr), openCallback->PasswordAsked() ? L" (encrypted)" : L"");
        return -1;
    }

    std::wstring folder = outputFolder;
    if (folder.back() != L'\\' && folder.back() != L'/') folder.push_back(L'\\');
    auto extractCallback = win::ComPtr<CArchiveExtractCallback>::Attach(new CArchiveExtractCallback(archive.get(), folder));
    hr = archive->Extract(nullptr, sevenzip::kAllItems, 0, extractCallback.get());
    // A damaged item is reported through its operation result while Extract
    // itself succeeds: a file written from damaged data is no success.
    int result = (hr == S_OK && extractCallback->FailedItems() == 0) ? 0 : -1;
    if (result != 0)
        WriteLog(L"extract 7z: [%s] failed, hr[0x%08X] failed items[%u]%s", archivePath.c_str(),
                 static_cast<unsigned>(hr), extractCallback->FailedItems(),
                 extractCallback->PasswordAsked() ? L" (encrypted)" : L"");

    archive->Close();
    extractCallback.reset();
    openCallback.reset();
    stream.reset();
    archive.reset();
    return result;
}
