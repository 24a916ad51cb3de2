#include "engine/ProductInfo.h"

#include <vector>

#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"

namespace {

struct ProductRow {
    const wchar_t* markers[2];  // programs whose presence names the product
    const wchar_t* code;
    const wchar_t* userKey;     // below HKEY_CURRENT_USER, holds "PID"
};

constexpr ProductRow kProducts[] = {
    {{L"lumdesk.exe", L"Kelwpapp.exe"}, L"tapis", L"Software\\KelWallPaper"},
    {{L"OrbisPlayer.exe", nullptr}, L"orbis", L"Software\\OrbisPlayer"},
};

constexpr size_t kMaxPidChars = MAX_PATH;

std::wstring ReadPid(HKEY userRoot, const wchar_t* subKey) {
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(userRoot, subKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return std::wstring();
    std::vector<wchar_t> buffer(kMaxPidChars + 2, L'\0');
    DWORD type = 0;
    DWORD size = static_cast<DWORD>((kMaxPidChars + 1) * sizeof(wchar_t));
    if (::RegQueryValueExW(key.get(), L"PID", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::wstring();
    }
    buffer[size / sizeof(wchar_t)] = L'\0';
    return buffer.data();
}

}  // namespace

ProductInfo GetProductInfo(const std::wstring& directory, HKEY userRoot) {
    ProductInfo info;
    if (directory.empty()) return info;
    for (const ProductRow& row : kProducts) {
        for (const wchar_t* marker : row.markers) {
            if (marker == nullptr || !path::FileExists(path::Join(directory, marker))) continue;
            info.code = row.code;
            info.pid = ReadPid(userRoot, row.userKey);
            return info;
        }
    }
    return info;
}

ProductInfo GetRunningProductInfo() { return GetProductInfo(path::ModuleDirectory()); }
