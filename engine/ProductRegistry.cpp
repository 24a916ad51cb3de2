#include "engine/ProductRegistry.h"

#include <windows.h>

#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/SystemLibrary.h"
#include "app/base/WinHandle.h"
#include "config/ISetupConfig.h"
#include "engine/LogText.h"

const wchar_t kUninstallEntryKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kelwpapp";
const wchar_t kProductSettingsKey[] = L"Software\\KelWallPaper";
const wchar_t kFileClassKey[] = L"LumoraDesk";
const wchar_t kAppPathsPrefix[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

namespace {

constexpr int kMaxKeyDepth = 512;         // the registry's own nesting limit
constexpr size_t kMaxKeyNameChars = 255;  // one component
constexpr size_t kKeyNameBuffer = kMaxKeyNameChars + 1;

bool IsLinkKey(HKEY key) {
    DWORD type = REG_NONE;
    return ::RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
           type == REG_LINK;
}

// Deletes the key behind an open handle; for a link opened as itself, the link.
bool DeleteOpenKey(HKEY key) {
    using NtDeleteKeyFn = LONG(NTAPI*)(HANDLE);
    auto ntDeleteKey = win::SystemFunction<NtDeleteKeyFn>(L"ntdll.dll", "NtDeleteKey");
    return ntDeleteKey != nullptr && ntDeleteKey(key) >= 0;
}

std::vector<std::wstring> SubKeyNames(HKEY key) {
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[kKeyNameBuffer] = {};
        DWORD length = kKeyNameBuffer;
        LONG result = ::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result == ERROR_SUCCESS) names.emplace_back(name, length);
        else if (result != ERROR_MORE_DATA) break;
    }
    return names;
}

bool DeleteTreeBelow(HKEY parent, const std::wstring& name, REGSAM view, int depth) {
    if (depth > kMaxKeyDepth) return false;
    win::UniqueRegKey key;
    LONG opened = ::RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK,
                                  KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE | view, key.put());
    if (opened == ERROR_FILE_NOT_FOUND) return true;
    if (opened != ERROR_SUCCESS) return false;
    if (!IsLinkKey(key.get())) {
        for (const std::wstring& child : SubKeyNames(key.get())) DeleteTreeBelow(key.get(), child, view, depth + 1);
    }
    return DeleteOpenKey(key.get());
}

bool IsPlainComponent(const std::wstring& name) {
    return !name.empty() && name.size() <= kMaxKeyNameChars && name != L"." && name != L".." &&
           name.find(L'\\') == std::wstring::npos;
}

}  // namespace

std::wstring NormalizeKeyPath(const std::wstring& subKey) {
    std::wstring normalized;
    normalized.reserve(subKey.size());
    for (wchar_t c : subKey) {
        if (c == L'\\' && (normalized.empty() || normalized.back() == L'\\')) continue;
        normalized.push_back(c);
    }
    if (!normalized.empty() && normalized.back() == L'\\') normalized.pop_back();
    return normalized;
}

bool DeleteRegistryTree(HKEY root, const std::wstring& subKey, REGSAM view) {
    std::wstring key = NormalizeKeyPath(subKey);
    if (key.empty()) return false;  // never a whole root
    return DeleteTreeBelow(root, key, view, 0);
}

std::wstring WhyRefusedAppPathKey(HKEY root, const std::wstring& subKey) {
    if (root != HKEY_LOCAL_MACHINE && root != HKEY_CURRENT_USER) return L"root is not HKLM or HKCU";
    std::wstring key = NormalizeKeyPath(subKey);
    std::wstring prefix = kAppPathsPrefix;
    if (key.size() <= prefix.size() || !text::EqualsNoCase(key.substr(0, prefix.size()), prefix))
        return L"not an entry of App Paths";
    if (!IsPlainComponent(key.substr(prefix.size()))) return L"not one entry of App Paths";
    return std::wstring();
}

void RemoveProductRegistry(ISetupConfig* config) {
    if (config == nullptr) return;
    std::vector<wchar_t> buffer(kMaxRegSubKeyChars, L'\0');
    HKEY root = config->GetRegRoot();
    bool read = config->GetRegSubKey(buffer.data(), kMaxRegSubKeyChars);
    buffer.back() = L'\0';
    std::wstring subKey = read ? buffer.data() : L"";
    if (subKey.empty()) {
        WriteLog(L"remove registry: the setup project names no application path key%s",
                 read ? L"" : L" (unreadable or too long)");
        return;
    }
    std::wstring why = WhyRefusedAppPathKey(root, subKey);
    if (why.empty()) {
        DeleteRegistryTree(root, subKey, KEY_WOW64_32KEY);
    } else {
        WriteLog(L"remove registry: application path key [%s] kept, %s", LogText(subKey).c_str(), why.c_str());
    }
    DeleteRegistryTree(HKEY_CURRENT_USER, kProductSettingsKey, KEY_WOW64_32KEY);
    DeleteRegistryTree(HKEY_CLASSES_ROOT, kFileClassKey, KEY_WOW64_32KEY);
}

bool DeleteUninstallRegistry() {
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, kUninstallEntryKey, KEY_WOW64_32KEY);
    WriteLog(L"Delete uninstall registry");
    return true;
}

bool WriteUninstallEntry(const UninstallEntry& entry) {
    win::UniqueRegKey key;
    LONG created = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallEntryKey, 0, nullptr, 0,
                                     KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, key.put(), nullptr);
    if (created != ERROR_SUCCESS) {
        WriteLog(L"Create uninstall registry failed, error %ld", static_cast<long>(created));
        return false;
    }
    const struct {
        const wchar_t* name;
        const std::wstring& value;
    } values[] = {
        {L"DisplayIcon", entry.displayIcon},         {L"DisplayName", entry.displayName},
        {L"DisplayVersion", entry.displayVersion},   {L"InstallLocation", entry.installLocation},
        {L"Publisher", entry.publisher},             {L"UninstallString", entry.uninstallString},
        {L"URLInfoAbout", entry.urlInfoAbout},
    };
    bool all = true;
    for (const auto& value : values) {
        LONG written = ::RegSetValueExW(key.get(), value.name, 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(value.value.c_str()),
                                        static_cast<DWORD>((value.value.size() + 1) * sizeof(wchar_t)));
        if (written != ERROR_SUCCESS) {
            WriteLog(L"Write uninstall registry value %s failed, error %ld", value.name, static_cast<long>(written));
            all = false;
        }
    }
    return all;
}
