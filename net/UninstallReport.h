// The report that tells the companion service about the uninstallation: an
// encrypted JSON body posted through the network library, and the service's
// encrypted acknowledgement.
#pragma once

#include <windows.h>

#include <string>

#include "net/HttpInterfaces.h"

// Blowfish key of the report and of its reply (shared with the companion service).
inline constexpr char kUninstallReportKey[] = "4e7d0a15-8b62-4f3c-a1d8-3c90b4e6f271";
inline constexpr DWORD kUninstallReportTimeoutMs = 30000;

// Reports the uninstallation to the companion service ("/pc/ud/dogsun") through
// the shared network library and waits up to 30 s. True when the service's reply
// confirms the report; without a usable reply, true only for the product's own
// partner ids (see IsInternalReportPid). The engine only logs the result.
bool ReportUninstall(const char* kind, const wchar_t* pid, const wchar_t* version);

namespace uninstall_report {

struct Fields {
    std::string kind;  // "type"
    std::wstring pid;
    std::wstring mid;
    std::wstring mid2;
    std::wstring appver;
    std::wstring modver;
};

// The compact JSON body: "type", "pid", "mid", "mid2", "appver", "modver" and
// "appname" ("wp"), all strings, UTF-8.
std::string BuildBody(const Fields& fields);
// The fields of this machine and program for a report.
Fields CollectFields(const char* kind, const wchar_t* pid, const wchar_t* version);

// The result when no reply could be had: the pid is one of the product's own
// ("tapis_home", "Kelsafe", "quor", "dozoruz", "Kelse", any case) or starts with "system".
bool IsInternalReportPid(const wchar_t* pid);
// Whether the encrypted reply names the machine's second identifier after its
// first character.
bool ReplyConfirms(const std::string& replyBody, const std::wstring& mid2);

// ReportUninstall against a given manager and address.
bool Report(IHttpManager* manager, const std::wstring& url, const Fields& fields, DWORD timeoutMs);

}  // namespace uninstall_report
