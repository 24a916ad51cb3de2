#include "net/UninstallConfig.h"

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/Singleton.h"
#include "net/FeedbackService.h"
#include "net/JsonMembers.h"
#include "net/NetLibrary.h"

namespace {

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
    size_t i = 0;
    for (; prefix[i] != L'\0'; ++i) {
        if (i >= text.size()) return false;
        wchar_t c = text[i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

}  // namespace

CUninstallConfig* CUninstallConfig::Instance() { return CSingletonT<CUninstallConfig>::Instance(); }

std::wstring CUninstallConfig::ConfigUrl() { return ConfigUrl(feedback::CurrentClientQuery()); }

std::wstring CUninstallConfig::ConfigUrl(const std::wstring& query) {
    return FeedbackServiceUrl(L"/live/intf/GetConfig?" + query);
}

void CUninstallConfig::RequestConfig() {
    IHttpManager* manager = SharedHttpManager();
    if (manager == nullptr) return;
    RequestConfig(manager, ConfigUrl());
}

void CUninstallConfig::RequestConfig(IHttpManager* manager, const std::wstring& url) {
    HttpTaskPtr task = NewHttpTask(manager);
    if (!task) return;
    task->SetCallback(this);
    request_.Set(task);
    if (!task->StartRequest(kHttpGet, url.c_str())) {
        WriteLog(L"CUninstallConfig: questionnaire request not started");
        request_.Drop();
    }
}

void CUninstallConfig::DropRequest() { request_.Drop(); }

std::wstring CUninstallConfig::GetQuestionnaireUrl() const {
    _BaseModule::CAutoLocker hold(lock_);
    return questionnaireUrl_;
}

void CUninstallConfig::OnTaskEvent(IHttpTask* task, const HttpTaskEvent* event) {
    HttpTaskPtr finished = request_.TakeIfFinished(task, event);
    if (!finished || event->status != kHttpTaskCompleted) return;
    std::wstring url;
    if (!ParseConfigReply(event->body, event->bodyLength, url)) return;
    _BaseModule::CAutoLocker hold(lock_);
    questionnaireUrl_ = std::move(url);
}

bool CUninstallConfig::ParseConfigReply(const char* body, size_t length, std::wstring& url) {
    JsonPtr root = ParseJsonReply(body, length);
    if (!root || JsonInt(root.get(), "errno", 1) != 0) return false;
    const cJSON* data = JsonObject(root.get(), "data");
    const cJSON* questionnaire = JsonObject(data, "uninstall_questionnaire");
    if (questionnaire == nullptr) return false;
    if (feedback::LeadingNumber(text::FromUtf8(JsonString(questionnaire, "status", "0"))) == 0) return false;
    std::wstring address = text::FromUtf8(JsonString(questionnaire, "url", ""));
    if (!AcceptableQuestionnaireUrl(address)) {
        if (!address.empty()) WriteLog(L"CUninstallConfig: questionnaire address refused");
        return false;
    }
    url = std::move(address);
    return true;
}

bool CUninstallConfig::AcceptableQuestionnaireUrl(const std::wstring& url) {
    if (url.empty() || url.size() > kMaxUrlChars) return false;
    size_t hostStart = 0;
    if (StartsWithNoCase(url, L"http://")) {
        hostStart = 7;
    } else if (StartsWithNoCase(url, L"https://")) {
        hostStart = 8;
    } else {
        return false;
    }
    for (wchar_t c : url) {
        if (c <= L' ' || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x3000) return false;
    }
    // A host must follow the scheme.
    return hostStart < url.size() && url[hostStart] != L'/' && url[hostStart] != L'?' && url[hostStart] != L'#';
}
