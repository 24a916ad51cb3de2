// Small path and file-system helpers shared by every subsystem.
#pragma once

#include <string>

namespace path {

// Joins a directory and a relative name with exactly one backslash between them.
std::wstring Join(const std::wstring& directory, const std::wstring& name);
// The directory part of a path, without its trailing backslash.
std::wstring Parent(const std::wstring& path);
// The last component of a path.
std::wstring FileName(const std::wstring& path);

bool FileExists(const std::wstring& path);       // any existing file or directory
bool DirectoryExists(const std::wstring& path);

// The full path of this process's executable, and its directory.
std::wstring ModulePath();
std::wstring ModuleDirectory();
// The system temporary directory with a trailing backslash.
std::wstring TempDirectory();

}  // namespace path

namespace text {

std::wstring FromUtf8(const std::string& utf8);
std::string ToUtf8(const std::wstring& wide);
std::string ToCodePage(const std::wstring& wide, unsigned codePage);
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);

}  // namespace text
