// Guards for a program that runs elevated and deletes: which directories may
// be emptied in bulk, which registry-listed names stay inside the installation
// directory, and whether a path crosses a link.
#pragma once

#include <string>

// True for a reparse point (junction, mount point, symbolic link).
bool IsReparsePoint(unsigned long attributes);

// Removes a link itself (the directory entry), never what it points to.
bool RemoveLink(const std::wstring& path, unsigned long attributes);

// Why `directory` must not be emptied in bulk (drive root, the Windows
// directory or one of its parents, a Program Files root, a profile or other
// special-folder root, a relative path, a link); empty when it may be.
std::wstring WhyProtectedDirectory(const std::wstring& directory);

// Why a name read from a registry list is refused (empty, absolute, drive
// relative, a ".." component, a stream name); empty when it is a plain
// relative path.
std::wstring WhyUnsafeRelativeName(const std::wstring& name);

// True when a component of `relative` below `base`, except the last one, is a link.
bool PassesThroughLink(const std::wstring& base, const std::wstring& relative);

// True when the tree below `directory` (the directory included) holds a link.
bool TreeHoldsLink(const std::wstring& directory);
