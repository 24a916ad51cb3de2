#include "net/UninstallReport.h"

#include <cJSON.h>

#include <memory>
#include <optional>
#include <utility>

#include "app/base/PathUtil.h"
#include "net/PostAndWait.h"
#include "net/ServiceHosts.h"
#include "net/TextCodec.h"
#include "sysinfo/MachineId.h"
#include "sysinfo/SystemChecks.h"

namespace uninstall_report {

std::string BuildBody(const Fields& fields) {
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> body(cJSON_CreateObject(), &cJSON_Delete);
    if (!body) return std::string();
    const std::pair<const char*, std::string> members[] = {
        {"type", fields.kind},
        {"pid", text::ToUtf8(fields.pid)},
        {"mid", text::ToUtf8(fields.mid)},
        {"mid2", text::ToUtf8(fields.mid2)},
        {"appver", text::ToUtf8(fields.appver)},
        {"modver", text::ToUtf8(fields.modver)},
        {"appname", "wp"},
    };
    for (const auto& member : members)
        if (cJSON_AddStringToObject(body.get(), member.first, member.second.c_str()) == nullptr) return std::string();
    std::unique_ptr<char, decltype(&cJSON_free)> printed(cJSON_PrintUnformatted(body.get()), &cJSON_free);
    return printed ? std::string(printed.get()) : std::string();
}

Fields CollectFields(const char* kind, const wchar_t* pid, const wchar_t* version) {
    Fields fields;
    fields.kind = kind != nullptr ? kind : "";
    fields.pid = pid != nullptr ? pid : L"";
    fields.appver = version != nullptr ? version : L"";
    wchar_t buffer[260] = {};
    ::GetMid(buffer, 260);
    fields.mid = buffer;
    buffer[0] = L'\0';
    if (SUCCEEDED(::GetMid2(buffer, 260))) fields.mid2 = buffer;
    GetFileVersionText(path::ModulePath().c_str(), fields.modver);
    return fields;
}

bool IsInternalReportPid(const wchar_t* pid) {
    if (pid == nullptr) return false;
    std::wstring value = pid;
    for (const wchar_t* known : {L"tapis_home", L"Kelsafe", L"quor", L"dozoruz", L"Kelse"})
        if (text::EqualsNoCase(value, known)) return true;
    return value.size() >= 6 && text::EqualsNoCase(value.substr(0, 6), L"system");
}

bool ReplyConfirms(const std::string& replyBody, const std::wstring& mid2) {
    std::optional<std::string> plain = DecryptText(replyBody, kUninstallReportKey);
    if (!plain) return false;
    std::string text(plain->c_str());  // the zero padding ends the text
    std::string id = text::ToUtf8(mid2);
    if (id.empty()) return false;
    size_t at = text.find(id);
    return at != std::string::npos && at > 0;
}

bool Report(IHttpManager* manager, const std::wstring& url, const Fields& fields, DWORD timeoutMs) {
    bool result = IsInternalReportPid(fields.pid.c_str());
    std::optional<std::string> data = EncryptText(BuildBody(fields), kUninstallReportKey);
    std::wstring value = data ? text::FromUtf8(*data) : std::wstring();
    std::string reply;
    if (PostAndWait(manager, url.c_str(), L"data", value.c_str(), reply, timeoutMs))
        result = ReplyConfirms(reply, fields.mid2);
    return result;
}

}  // namespace uninstall_report

bool ReportUninstall(const char* kind, const wchar_t* pid, const wchar_t* version) {
    return uninstall_report::Report(SharedHttpManager(), LUMORA_COMPANION_SERVICE_BASE L"/pc/ud/dogsun",
                                    uninstall_report::CollectFields(kind, pid, version), kUninstallReportTimeoutMs);
}
