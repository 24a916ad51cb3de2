// Where the feedback service and the install-statistics endpoint are, and the
// values that identify this client in their requests: the product's and this
// program's versions and the partner id.
#pragma once

#include <windows.h>

#include <string>

// The feedback service's address for `pathAndQuery` (which starts with "/").
std::wstring FeedbackServiceUrl(const std::wstring& pathAndQuery);
// The install-statistics endpoint's address for `pathAndQuery`.
std::wstring InstallStatisticsUrl(const std::wstring& pathAndQuery);

namespace feedback {

// The installation folder as the uninstall task holds it.
std::wstring InstallDir();
// The product's main program in `installDir` ("lumdesk.exe").
std::wstring ProductProgram(const std::wstring& installDir);

// The file-version text of a program ("a.b.c.d"); empty without a version resource.
std::wstring VersionText(const std::wstring& path);

// The partner id: root\key value "pid" (REG_SZ, read into 260 characters) with
// blanks removed at both ends; empty when missing.
std::wstring ReadPartnerId(HKEY root, const wchar_t* key);
// The same from the product's per-user key (HKCU "Software\KelWallPaper").
std::wstring ReadPartnerId();
// Partners whose id contains "ruvuviz" (any case) get the questionnaire setting.
bool IsQuestionnairePartner(const std::wstring& partnerId);

// Blanks removed at both ends (ASCII white space and the ideographic space).
std::wstring Trim(const std::wstring& text);

// A query value: unreserved characters (letters, digits, "-", ".", "_", "~")
// stand as they are, everything else is percent-encoded as UTF-8, so a value
// can never add parameters or end the query.
std::wstring QueryValue(const std::wstring& value);
// "appver=%s&modver=%s&pid=%s" with the three values.
std::wstring ClientQuery(const std::wstring& appver, const std::wstring& modver, const std::wstring& pid);
// ClientQuery of this run: appver of the product's main program in the task's
// installation folder, modver of the running executable, the partner id.
std::wstring CurrentClientQuery();

// A decimal number at the start of `text` in the manner of wcstol: leading
// blanks and one sign allowed, digits read up to the first other character,
// 0 without leading digits; clamped to the int range.
int LeadingNumber(const std::wstring& text);

}  // namespace feedback
