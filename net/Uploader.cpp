#include "net/Uploader.h"

#include <windows.h>

#include <cwchar>
#include <optional>
#include <utility>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "net/FeedbackService.h"
#include "net/Statistic.h"
#include "net/TextCodec.h"
#include "sysinfo/SystemChecks.h"

namespace {

constexpr size_t kFieldChars = 260;

std::wstring FixedVersion(const std::wstring& path) {
    wchar_t version[kFieldChars] = {};
    if (path.empty() || !GetFixedFileVersion(path.c_str(), version, kFieldChars)) return std::wstring();
    version[kFieldChars - 1] = L'\0';
    return version;
}

std::wstring JsonEscaped(const std::wstring& text) {
    std::wstring escaped;
    escaped.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
            case L'"': escaped += L"\\\""; break;
            case L'\\': escaped += L"\\\\"; break;
            case L'\b': escaped += L"\\b"; break;
            case L'\f': escaped += L"\\f"; break;
            case L'\n': escaped += L"\\n"; break;
            case L'\r': escaped += L"\\r"; break;
            case L'\t': escaped += L"\\t"; break;
            default:
                if (c < 0x20) {
                    wchar_t unit[8];
                    swprintf(unit, 8, L"\\u%04x", static_cast<unsigned>(c));
                    escaped += unit;
                } else {
                    escaped.push_back(c);
                }
        }
    }
    return escaped;
}


}  // namespace

namespace feedback {

std::wstring BuildAnswerJson(const std::wstring& mid, const std::wstring& appver, const std::wstring& modver,
                             const std::wstring& check, const std::wstring& contact) {
    std::wstring json =
        L"{\"mid\":\"{MID}\",\t\"appver\":\"{APPVER}\", \t\"modver\":\"{MODVER}\", \t\"check\":\"{CHECK}\", "
        L"\t\"contact\":\"{CONTACT}\" \t}";
    // Each placeholder is replaced once, in this order, so a value that looks
    // like a later placeholder is never filled in itself.
    const std::pair<const wchar_t*, std::wstring> values[] = {{L"{MID}", JsonEscaped(mid)},
                                                               {L"{APPVER}", JsonEscaped(appver)},
                                                               {L"{MODVER}", JsonEscaped(modver)},
                                                               {L"{CHECK}", JsonEscaped(check)},
                                                               {L"{CONTACT}", JsonEscaped(contact)}};
    size_t from = 0;
    for (const auto& [placeholder, value] : values) {
        size_t at = json.find(placeholder, from);
        if (at == std::wstring::npos) continue;
        json.replace(at, wcslen(placeholder), value);
        from = at + value.size();
    }
    return json;
}

std::string EncryptedAnswer(const std::wstring& answerJson) {
    std::optional<std::string> encrypted = EncryptAnswer(answerJson, kAnswerKey);
    return encrypted ? *encrypted : std::string();
}

}  // namespace feedback

CUploader::CUploader(CUpLoadMgr* manager) : manager_(manager) {}

CUploader::~CUploader() {
    CUpLoadMgr* manager = manager_ != nullptr ? manager_ : CUpLoadMgr::Instance();
    if (manager != nullptr) manager->ForgetCallback(this);
}

void CUploader::SetAppPath(const wchar_t* path) { appver_ = FixedVersion(path != nullptr ? path : L""); }

std::wstring CUploader::AnswerUrl() { return InstallStatisticsUrl(L"/inst/uninst.php?from=tapis"); }

std::wstring CUploader::AnswerJson() const {
    return feedback::BuildAnswerJson(mid_, appver_, modver_, check_, contact_);
}

bool CUploader::SendAnswer(const std::wstring& check, const std::wstring& contact) {
    check_ = check;
    contact_ = feedback::Trim(contact);
    CUpLoadMgr* manager = manager_ != nullptr ? manager_ : CUpLoadMgr::Instance();
    if (manager == nullptr) return false;
    manager->LoadForUploader();

    if (modver_.empty()) modver_ = FixedVersion(path::ModulePath());
    if (mid_.empty()) {
        wchar_t mid[CStatistic::kFieldChars] = {};
        if (CStatistic* statistic = CStatistic::Instance()) statistic->GetMid(mid, CStatistic::kFieldChars);
        mid[CStatistic::kFieldChars - 1] = L'\0';
        mid_ = mid;
    }

    std::string answer = feedback::EncryptedAnswer(AnswerJson());
    if (answer.empty()) WriteLog(L"CUploader: answer too long to encrypt, sent empty");
    return manager->Upload(AnswerUrl().c_str(), {{"unint_ask", answer}}, this);
}
