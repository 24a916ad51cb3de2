#include "app/base/PathUtil.h"

#include <windows.h>

namespace path {

std::wstring Join(const std::wstring& directory, const std::wstring& name) {
    if (directory.empty()) return name;
    std::wstring result = directory;
    bool dirSlash = result.back() == L'\\' || result.back() == L'/';
    bool nameSlash = !name.empty() && (name.front() == L'\\' || name.front() == L'/');
    if (dirSlash && nameSlash) result.pop_back();
    else if (!dirSlash && !nameSlash) result.push_back(L'\\');
    return result + name;
}

std::wstring Parent(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return std::wstring();
    return path.substr(0, slash);
}

std::wstring FileName(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool FileExists(const std::wstring& path) {
    return !path.empty() && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DirectoryExists(const std::wstring& path) {
    if (path.empty()) return false;
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ModulePath() {
    std::wstring buffer(1024, L'\0');
    DWORD length = ::GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    buffer.resize(length < buffer.size() ? length : 0);
    return buffer;
}

std::wstring ModuleDirectory() { return Parent(ModulePath()); }

std::wstring TempDirectory() {
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH) return std::wstring();
    return std::wstring(buffer, length);
}

}  // namespace path

namespace text {

std::wstring FromUtf8(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
    return wide;
}

std::string ToCodePage(const std::wstring& wide, unsigned codePage) {
    if (wide.empty()) return std::string();
    int length = ::WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                       nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string narrow(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), &narrow[0], length, nullptr,
                          nullptr);
    return narrow;
}

std::string ToUtf8(const std::wstring& wide) { return ToCodePage(wide, CP_UTF8); }

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

}  // namespace text
