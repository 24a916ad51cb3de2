// Where a locked item goes before it is deleted later: the user's temporary
// folder on the Windows drive, otherwise a hidden "<drive>:\.temp" folder on
// the item's own drive, so the move never crosses volumes.
#pragma once

#include <string>

// The temporary folder for `path`, with a trailing backslash. A missing
// "<drive>:\.temp" folder is created hidden. Empty when no usable folder
// exists (e.g. "<drive>:\.temp" is a link or a file).
std::wstring TempFolderFor(const std::wstring& path);

// "<first character of path>:\.temp" (no trailing backslash).
std::wstring DriveTempFolder(const std::wstring& path);
