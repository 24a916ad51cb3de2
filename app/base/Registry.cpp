#include "app/base/Registry.h"

#include <vector>

#include "app/base/WinHandle.h"

namespace registry {

bool ReadString(HKEY key, const wchar_t* name, size_t maxChars, bool allowExpandType, std::wstring& text) {
    // Room for maxChars characters and their terminator, plus one spare so a
    // value stored without a terminator can still be ended.
    std::vector<wchar_t> buffer(maxChars + 2, L'\0');
    DWORD type = 0;
    DWORD size = static_cast<DWORD>((maxChars + 1) * sizeof(wchar_t));
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
        ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && !(allowExpandType && type == REG_EXPAND_SZ)) return false;
    // The stored data need not carry its terminator; the text ends at the first one.
    buffer[size / sizeof(wchar_t)] = L'\0';
    std::wstring value = buffer.data();
    if (value.size() > maxChars) return false;
    text = std::move(value);
    return true;
}

std::wstring ReadString(HKEY root, const wchar_t* subKey, const wchar_t* name, size_t maxChars, REGSAM view,
                        bool allowExpandType) {
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(root, subKey, 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) return std::wstring();
    std::wstring text;
    ReadString(key.get(), name, maxChars, allowExpandType, text);
    return text;
}

}  // namespace registry
