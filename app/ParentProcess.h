// Who started this process.
#pragma once

#include <string>

// Full path (long form, at most 259 characters) of the parent process's image,
// or an empty string.
std::wstring GetParentProcessPath();
