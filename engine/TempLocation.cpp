#include "engine/TempLocation.h"

#include <windows.h>
#include <sddl.h>

#include <cwctype>

#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "engine/PathSafety.h"

namespace {

// Only administrators and the system may reach what waits there for deletion.
constexpr wchar_t kDriveTempSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

std::wstring WindowsDirectory() {
    wchar_t buffer[MAX_PATH + 1] = {};
    UINT length = ::GetWindowsDirectoryW(buffer, MAX_PATH + 1);
    return length > 0 && length <= MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}

bool CreateHiddenProtectedFolder(const std::wstring& folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kDriveTempSecurity, SDDL_REVISION_1, &descriptor,
                                                                nullptr)) {
        descriptor = nullptr;
    }
    win::UniqueLocal owner(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    if (!::CreateDirectoryW(folder.c_str(), descriptor ? &attributes : nullptr)) return false;
    ::SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_HIDDEN);
    return true;
}

}  // namespace

std::wstring DriveTempFolder(const std::wstring& path) {
    if (path.empty()) return std::wstring();
    std::wstring folder(1, path[0]);
    return folder + L":\\.temp";
}

std::wstring TempFolderFor(const std::wstring& path) {
    // Only drive-letter paths have a drive of their own to move within.
    if (path.size() < 3 || path[1] != L':' || !std::iswalpha(path[0])) return std::wstring();
    std::wstring windows = WindowsDirectory();
    if (!windows.empty() && std::towupper(windows[0]) == std::towupper(path[0])) return path::TempDirectory();

    std::wstring folder = DriveTempFolder(path);
    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!CreateHiddenProtectedFolder(folder) && !path::DirectoryExists(folder)) return std::wstring();
        attributes = ::GetFileAttributesW(folder.c_str());
    }
    // A file or a link in its place would send the moved items elsewhere.
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        IsReparsePoint(attributes)) {
        return std::wstring();
    }
    return folder + L"\\";
}
