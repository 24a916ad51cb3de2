#include "engine/ProductInfo.h"

#include <vector>

#include "app/base/PathUtil.h"
#include "app/base/Registry.h"
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
    return registry::ReadString(userRoot, subKey, L"PID", kMaxPidChars);
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
