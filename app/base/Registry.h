// Reading registry values defensively: wrong types, missing terminators and
// over-long data give an empty result instead of garbage.
#pragma once

#include <windows.h>

#include <string>

namespace registry {

// A REG_SZ (or REG_EXPAND_SZ when allowed) value of at most maxChars characters
// under root\subKey, opened with `view` (0, KEY_WOW64_32KEY or KEY_WOW64_64KEY).
// Empty when the key or value is missing, of another type, or too long.
std::wstring ReadString(HKEY root, const wchar_t* subKey, const wchar_t* name, size_t maxChars, REGSAM view = 0,
                        bool allowExpandType = false);

}  // namespace registry
