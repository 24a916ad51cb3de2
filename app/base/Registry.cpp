#include "app/base/Registry.h"

#include <vector>

#include "app/base/WinHandle.h"

namespace registry {

std::wstring ReadString(HKEY root, const wchar_t* subKey, const wchar_t* name, size_t maxChars, REGSAM view,
                        bool allowExpandType) {
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(root, subKey, 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) return std::wstring();
    std::vector<wchar_t> buffer(maxChars + 2, L'\0');
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(maxChars * sizeof(wchar_t));
    if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
        ERROR_SUCCESS)
        return std::wstring();
    if (type != REG_SZ && !(allowExpandType && type == REG_EXPAND_SZ)) return std::wstring();
    // The stored data need not carry its terminator; the text ends at the first one.
    buffer[size / sizeof(wchar_t)] = L'\0';
    return buffer.data();
}

}  // namespace registry
