// Whether the progress window may invite the user to an online questionnaire,
// and at which address, as the feedback service says. Empty (no invitation)
// until a good reply arrives; only http and https addresses are accepted.
#pragma once

#include <string>

#include "app/base/Locker.h"
#include "net/HttpInterfaces.h"
#include "net/HttpRequestSlot.h"

class CUninstallConfig final : public IHttpTaskCallback {
public:
    CUninstallConfig() = default;
    // Releases a request still running (its events stop first).
    ~CUninstallConfig() { DropRequest(); }
    CUninstallConfig(const CUninstallConfig&) = delete;
    CUninstallConfig& operator=(const CUninstallConfig&) = delete;

    // The process's instance (CSingletonT); null only when memory ran out.
    static CUninstallConfig* Instance();

    // The main window, for questionnaire partners (feedback::IsQuestionnairePartner):
    // sends the questionnaire request through the shared network library. A
    // new request replaces one still running; without a library nothing is sent.
    void RequestConfig();
    // The same through `manager` to `url` (tests, other services).
    void RequestConfig(IHttpManager* manager, const std::wstring& url);
    // The main window's close: releases the pending request (no event follows).
    void DropRequest();

    // Whether a request was sent and its last event has not arrived yet.
    bool RequestPending() const { return request_.Pending(); }
    // A copy of the questionnaire address; empty when none was offered.
    std::wstring GetQuestionnaireUrl() const;

    // The questionnaire request's events (library thread).
    void OnTaskEvent(IHttpTask* task, const HttpTaskEvent* event) override;

    // The questionnaire address with this run's query, and for a given query.
    static std::wstring ConfigUrl();
    static std::wstring ConfigUrl(const std::wstring& query);
    // Reads a reply: true and the address for {"errno":0,"data":{"uninstall_questionnaire":
    // {"status":"1","url":"http://..."}}}; false for anything else, including a
    // zero status and an address that AcceptableQuestionnaireUrl refuses.
    static bool ParseConfigReply(const char* body, size_t length, std::wstring& url);
    // An absolute http or https address with a host, at most kMaxUrlChars long,
    // without blanks or control characters: only such an address is ever opened.
    static bool AcceptableQuestionnaireUrl(const std::wstring& url);

    static constexpr size_t kMaxUrlChars = 2048;

private:
    mutable _BaseModule::CCriticalSection lock_;
    HttpRequestSlot request_;
    std::wstring questionnaireUrl_;
};
