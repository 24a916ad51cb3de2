// Reading registry values defensively: wrong types, missing terminators and
// over-long data give a failure instead of garbage.
#pragma once

#include <windows.h>

#include <string>

namespace registry {

// Reads a REG_SZ value (or REG_EXPAND_SZ when allowed, unexpanded) of an open
// key into `text`. False when the value is missing, of another type, or longer
// than maxChars characters; `text` is then left unchanged.
bool ReadString(HKEY key, const wchar_t* name, size_t maxChars, bool allowExpandType, std::wstring& text);

// The same for root\subKey opened with `view` (0, KEY_WOW64_32KEY or
// KEY_WOW64_64KEY); empty on any failure.
std::wstring ReadString(HKEY root, const wchar_t* subKey, const wchar_t* name, size_t maxChars, REGSAM view = 0,
                        bool allowExpandType = false);

}  // namespace registry
