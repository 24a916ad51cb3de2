#include "net/FeedbackService.h"

#include <climits>

#include "app/base/PathUtil.h"
#include "app/base/Registry.h"
#include "engine/UninstallTask.h"
#include "net/ServiceHosts.h"
#include "sysinfo/SystemChecks.h"

std::wstring FeedbackServiceUrl(const std::wstring& pathAndQuery) {
    return std::wstring(LUMORA_FEEDBACK_BASE) + pathAndQuery;
}

std::wstring InstallStatisticsUrl(const std::wstring& pathAndQuery) {
    return std::wstring(LUMORA_INSTALL_STATISTICS_BASE) + pathAndQuery;
}

namespace feedback {

namespace {

constexpr size_t kPartnerIdChars = 260;

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f' || c == 0x3000;
}

bool IsUnreserved(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-' ||
           c == L'.' || c == L'_' || c == L'~';
}

}  // namespace

std::wstring InstallDir() {
    wchar_t directory[MAX_PATH] = {};
    UninstallTask().GetInstallDir(directory, MAX_PATH);
    directory[MAX_PATH - 1] = L'\0';
    return directory;
}

std::wstring ProductProgram(const std::wstring& installDir) {
    if (installDir.empty()) return std::wstring();
    return path::Join(installDir, L"lumdesk.exe");
}

std::wstring VersionText(const std::wstring& path) {
    std::wstring text;
    if (path.empty() || !GetFileVersionText(path.c_str(), text)) return std::wstring();
    return text;
}

std::wstring ReadPartnerId(HKEY root, const wchar_t* key) {
    return Trim(registry::ReadString(root, key, L"pid", kPartnerIdChars));
}

std::wstring ReadPartnerId() { return ReadPartnerId(HKEY_CURRENT_USER, L"Software\\KelWallPaper"); }

bool IsQuestionnairePartner(const std::wstring& partnerId) {
    std::wstring lower = partnerId;
    for (wchar_t& c : lower) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return lower.find(L"ruvuviz") != std::wstring::npos;
}

std::wstring Trim(const std::wstring& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

std::wstring QueryValue(const std::wstring& value) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring encoded;
    std::string utf8 = text::ToUtf8(value);
    for (unsigned char byte : utf8) {
        if (byte < 0x80 && IsUnreserved(static_cast<wchar_t>(byte))) {
            encoded.push_back(static_cast<wchar_t>(byte));
        } else {
            encoded.push_back(L'%');
            encoded.push_back(kHex[byte >> 4]);
            encoded.push_back(kHex[byte & 0x0F]);
        }
    }
    return encoded;
}

std::wstring ClientQuery(const std::wstring& appver, const std::wstring& modver, const std::wstring& pid) {
    return L"appver=" + QueryValue(appver) + L"&modver=" + QueryValue(modver) + L"&pid=" + QueryValue(pid);
}

std::wstring CurrentClientQuery() {
    return ClientQuery(VersionText(ProductProgram(InstallDir())), VersionText(path::ModulePath()), ReadPartnerId());
}

int LeadingNumber(const std::wstring& text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    long long value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10 + (text[i] - L'0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace feedback
