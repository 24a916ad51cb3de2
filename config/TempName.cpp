#include "config/TempName.h"

#include <objbase.h>

#include <cwchar>

#include "app/base/PathUtil.h"

namespace {

constexpr int kAttempts = 10;
constexpr DWORD kTempPathChars = 1024;

bool NewGuid(GUID& guid) { return SUCCEEDED(::CoCreateGuid(&guid)); }

}  // namespace

std::wstring FormatTempGuidName(const GUID& guid) {
    wchar_t text[64] = {};
    _snwprintf(text, 63, L"{%08X-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X}.tmp",
               static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
               guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

std::wstring SystemTempDirectory() {
    wchar_t buffer[kTempPathChars + 1] = {};
    DWORD length = ::GetTempPathW(kTempPathChars, buffer);
    if (length == 0 || length >= kTempPathChars) return std::wstring();
    return std::wstring(buffer, length);
}

std::wstring CreateTempNameIn(const std::wstring& folder, const GuidSource& newGuid) {
    if (folder.empty()) return std::wstring();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        GUID guid = {};
        if (!(newGuid ? newGuid(guid) : NewGuid(guid))) return std::wstring();
        std::wstring name = path::Join(folder, FormatTempGuidName(guid));
        if (::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES) continue;
        // Only a name that is really absent is free (not one we may not look at).
        DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return name;
    }
    return std::wstring();
}

std::wstring CreateTempName() { return CreateTempNameIn(SystemTempDirectory()); }
