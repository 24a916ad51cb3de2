#include "engine/PathSafety.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwctype>
#include <vector>

#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"

namespace {

// Upper-cased full path without trailing separators ("C:" for a drive root).
std::wstring Canonical(const std::wstring& path) {
    if (path.empty()) return std::wstring();
    wchar_t buffer[1024] = {};
    DWORD length = ::GetFullPathNameW(path.c_str(), 1024, buffer, nullptr);
    std::wstring full = length > 0 && length < 1024 ? std::wstring(buffer, length) : path;
    for (wchar_t& c : full) {
        if (c == L'/') c = L'\\';
        c = static_cast<wchar_t>(std::towupper(c));
    }
    while (!full.empty() && full.back() == L'\\') full.pop_back();
    return full;
}

// True when `ancestor` is `path` or a folder above it (both canonical).
bool IsSameOrAbove(const std::wstring& ancestor, const std::wstring& path) {
    if (ancestor.empty() || path.size() < ancestor.size()) return false;
    if (path.compare(0, ancestor.size(), ancestor) != 0) return false;
    return path.size() == ancestor.size() || path[ancestor.size()] == L'\\';
}

struct SpecialFolder {
    int csidl;
    const wchar_t* label;
};

// Folders whose loss would damage the system or a user's data.
constexpr SpecialFolder kSpecialFolders[] = {
    {CSIDL_WINDOWS, L"the Windows directory"},
    {CSIDL_SYSTEM, L"the system directory"},
    {CSIDL_SYSTEMX86, L"the system directory"},
    {CSIDL_PROGRAM_FILES, L"a Program Files root"},
    {CSIDL_PROGRAM_FILESX86, L"a Program Files root"},
    {CSIDL_PROGRAM_FILES_COMMON, L"a Program Files root"},
    {CSIDL_PROGRAM_FILES_COMMONX86, L"a Program Files root"},
    {CSIDL_PROFILE, L"the user profile"},
    {CSIDL_APPDATA, L"a special folder"},
    {CSIDL_LOCAL_APPDATA, L"a special folder"},
    {CSIDL_COMMON_APPDATA, L"a special folder"},
    {CSIDL_DESKTOPDIRECTORY, L"a special folder"},
    {CSIDL_COMMON_DESKTOPDIRECTORY, L"a special folder"},
    {CSIDL_PERSONAL, L"a special folder"},
    {CSIDL_COMMON_DOCUMENTS, L"a special folder"},
    {CSIDL_MYPICTURES, L"a special folder"},
    {CSIDL_MYMUSIC, L"a special folder"},
    {CSIDL_MYVIDEO, L"a special folder"},
    {CSIDL_STARTMENU, L"a special folder"},
    {CSIDL_COMMON_STARTMENU, L"a special folder"},
    {CSIDL_PROGRAMS, L"a special folder"},
    {CSIDL_COMMON_PROGRAMS, L"a special folder"},
    {CSIDL_STARTUP, L"a special folder"},
    {CSIDL_COMMON_STARTUP, L"a special folder"},
    {CSIDL_FAVORITES, L"a special folder"},
    {CSIDL_FONTS, L"a special folder"},
    {CSIDL_TEMPLATES, L"a special folder"},
    {CSIDL_COMMON_TEMPLATES, L"a special folder"},
    {CSIDL_RECENT, L"a special folder"},
    {CSIDL_SENDTO, L"a special folder"},
    {CSIDL_INTERNET_CACHE, L"a special folder"},
    {CSIDL_COOKIES, L"a special folder"},
    {CSIDL_HISTORY, L"a special folder"},
    {CSIDL_ADMINTOOLS, L"a special folder"},
    {CSIDL_COMMON_ADMINTOOLS, L"a special folder"},
    {CSIDL_RESOURCES, L"a special folder"},
};

std::wstring FolderPath(int csidl) {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_DONT_VERIFY, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
        return std::wstring();
    }
    return buffer;
}

std::wstring EnvironmentPath(const wchar_t* name) {
    wchar_t buffer[MAX_PATH] = {};
    DWORD length = ::GetEnvironmentVariableW(name, buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}

bool IsDotsAndBlanks(const std::wstring& component) {
    for (wchar_t c : component) {
        if (c != L'.' && c != L' ') return false;
    }
    return true;
}

std::vector<std::wstring> SplitComponents(const std::wstring& relative) {
    std::vector<std::wstring> parts;
    std::wstring current;
    for (wchar_t c : relative) {
        if (c == L'\\' || c == L'/') {
            if (!current.empty()) parts.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) parts.push_back(current);
    return parts;
}

}  // namespace

bool IsReparsePoint(unsigned long attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool RemoveLink(const std::wstring& path, unsigned long attributes) {
    // Removing the entry itself: RemoveDirectoryW and DeleteFileW act on the
    // link, not on its target. Attributes are never reset here, as that would
    // reach through the link.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) ::RemoveDirectoryW(path.c_str());
    else ::DeleteFileW(path.c_str());
    return ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

std::wstring WhyProtectedDirectory(const std::wstring& directory) {
    if (directory.empty()) return L"empty path";
    bool driveAbsolute = directory.size() >= 3 && std::iswalpha(directory[0]) && directory[1] == L':' &&
                         (directory[2] == L'\\' || directory[2] == L'/');
    bool unc = directory.size() >= 3 && directory[0] == L'\\' && directory[1] == L'\\';
    if (!driveAbsolute && !unc) return L"not an absolute path";

    std::wstring canonical = Canonical(directory);
    if (canonical.size() <= 2) return L"a drive root";
    // "\\server\share" is the root of a share.
    if (unc && SplitComponents(canonical.substr(2)).size() <= 2) return L"a share root";
    if (IsReparsePoint(::GetFileAttributesW(directory.c_str()))) return L"a link";

    for (const SpecialFolder& folder : kSpecialFolders) {
        std::wstring special = Canonical(FolderPath(folder.csidl));
        if (IsSameOrAbove(canonical, special)) return folder.label;
    }
    // A 32-bit process is shown the x86 folder as CSIDL_PROGRAM_FILES.
    for (const wchar_t* name : {L"ProgramW6432", L"ProgramFiles", L"ProgramFiles(x86)", L"CommonProgramW6432"}) {
        if (IsSameOrAbove(canonical, Canonical(EnvironmentPath(name)))) return L"a Program Files root";
    }
    for (const wchar_t* name : {L"SystemRoot", L"windir", L"USERPROFILE", L"PUBLIC", L"ALLUSERSPROFILE"}) {
        if (IsSameOrAbove(canonical, Canonical(EnvironmentPath(name)))) return L"a special folder";
    }
    if (IsSameOrAbove(canonical, Canonical(path::TempDirectory()))) return L"the temporary folder";
    // Nothing below the Windows directory belongs to a product.
    if (IsSameOrAbove(Canonical(FolderPath(CSIDL_WINDOWS)), canonical)) return L"inside the Windows directory";
    return std::wstring();
}

std::wstring WhyUnsafeRelativeName(const std::wstring& name) {
    if (name.empty()) return L"empty name";
    if (name[0] == L'\\' || name[0] == L'/') return L"absolute path";
    if (name.find(L':') != std::wstring::npos) return L"drive or stream name";
    if (name.find_first_of(L"*?\"<>|") != std::wstring::npos) return L"wildcard or reserved character";
    for (wchar_t c : name) {
        if (c < 0x20) return L"control character";
    }
    std::vector<std::wstring> parts = SplitComponents(name);
    if (parts.empty()) return L"empty name";
    for (const std::wstring& part : parts) {
        // "..", and the names Windows trims to it, climb out of the directory.
        if (IsDotsAndBlanks(part)) return L"leaves the directory";
    }
    return std::wstring();
}

bool PassesThroughLink(const std::wstring& base, const std::wstring& relative) {
    std::vector<std::wstring> parts = SplitComponents(relative);
    std::wstring current = base;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        current = path::Join(current, parts[i]);
        if (IsReparsePoint(::GetFileAttributesW(current.c_str()))) return true;
    }
    return false;
}

bool TreeHoldsLink(const std::wstring& directory) {
    if (IsReparsePoint(::GetFileAttributesW(directory.c_str()))) return true;
    WIN32_FIND_DATAW data;
    win::UniqueFind find(::FindFirstFileExW(path::Join(directory, L"*").c_str(), FindExInfoBasic, &data,
                                            FindExSearchNameMatch, nullptr, 0));
    if (!find) return false;
    do {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) continue;
        if (IsReparsePoint(data.dwFileAttributes)) return true;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            TreeHoldsLink(path::Join(directory, data.cFileName))) {
            return true;
        }
    } while (::FindNextFileW(find.get(), &data));
    return false;
}
