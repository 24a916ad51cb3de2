#include "net/UninstallFeedbackConfig.h"

#include "app/SmartLogger.h"
#include "app/base/Singleton.h"
#include "net/FeedbackService.h"
#include "net/JsonMembers.h"
#include "net/NetLibrary.h"

UninstallFeedbackConfig::UninstallFeedbackConfig() : options_(DefaultOptions()) {}

UninstallFeedbackConfig::~UninstallFeedbackConfig() { Release(); }

UninstallFeedbackConfig* UninstallFeedbackConfig::Instance() { return CSingletonT<UninstallFeedbackConfig>::Instance(); }

std::wstring UninstallFeedbackConfig::OptionsUrl() { return OptionsUrl(feedback::CurrentClientQuery()); }

std::wstring UninstallFeedbackConfig::OptionsUrl(const std::wstring& query) {
    return FeedbackServiceUrl(L"/live/intf/getUninstallOptions?" + query);
}

void UninstallFeedbackConfig::RequestOptions() {
    // The query is read before anything is locked: it touches files and the registry.
    IHttpManager* manager = SharedHttpManager();
    RequestOptions(manager, manager != nullptr ? OptionsUrl() : std::wstring());
}

void UninstallFeedbackConfig::RequestOptions(IHttpManager* manager, const std::wstring& url) {
    {
        _BaseModule::CAutoLocker hold(lock_);
        if (requested_) return;
        requested_ = true;
        options_ = DefaultOptions();
    }
    HttpTaskPtr task = NewHttpTask(manager);
    if (!task) return;  // nothing sent, no event: GetFeedback answers at once

    {
        _BaseModule::CAutoLocker hold(lock_);
        done_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    task->SetCallback(this);
    request_.Set(task);
    if (!task->StartRequest(kHttpGet, url.c_str())) {
        // No event follows a request that did not start: end the wait now.
        WriteLog(L"UninstallFeedbackConfig: options request not started");
        request_.Drop();
        _BaseModule::CAutoLocker hold(lock_);
        if (done_) ::SetEvent(done_.get());
    }
}

bool UninstallFeedbackConfig::GetFeedback(std::vector<int>& options) {
    HANDLE done = nullptr;
    {
        _BaseModule::CAutoLocker hold(lock_);
        done = done_.get();
    }
    if (done != nullptr) ::WaitForSingleObject(done, kWaitMs);

    int obtained = 0;
    {
        _BaseModule::CAutoLocker hold(lock_);
        handedOut_ = true;
        options = options_;
        obtained = obtained_;
    }
    WriteLog(L"UninstallFeedbackConfig::GetFeedback");
    return obtained != 0;
}

void UninstallFeedbackConfig::Release() {
    // The task goes first: once it is released no callback can touch the event.
    request_.Drop();
    _BaseModule::CAutoLocker hold(lock_);
    done_.reset();
}

void UninstallFeedbackConfig::OnTaskEvent(IHttpTask* task, const HttpTaskEvent* event) {
    HttpTaskPtr finished = request_.TakeIfFinished(task, event);
    if (!finished) return;

    std::vector<int> options;
    bool good = event->status == kHttpTaskCompleted && ParseOptionsReply(event->body, event->bodyLength, options);
    _BaseModule::CAutoLocker hold(lock_);
    if (good && !handedOut_) {
        options_ = std::move(options);
        obtained_ = 1;
    }
    if (done_) ::SetEvent(done_.get());
    // `finished` is released on return, from inside its own callback.
}

bool UninstallFeedbackConfig::ParseOptionsReply(const char* body, size_t length, std::vector<int>& options) {
    JsonPtr root = ParseJsonReply(body, length);
    if (!root || JsonInt(root.get(), "errno", 1) != 0) return false;
    std::wstring data = JsonStringW(root.get(), "data");
    if (data.empty()) return false;

    std::vector<int> parsed;
    size_t start = 0;
    for (;;) {
        size_t comma = data.find(L',', start);
        parsed.push_back(feedback::LeadingNumber(data.substr(start, comma == std::wstring::npos ? comma : comma - start)));
        if (comma == std::wstring::npos) break;
        start = comma + 1;
    }
    options = std::move(parsed);
    return true;
}
