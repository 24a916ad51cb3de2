#include "netlib/HttpTask.h"

#include <string.h>

#include <algorithm>

#include "netlib/HttpManager.h"
#include "netlib/HttpRequest.h"

namespace netlib {

namespace {

constexpr DWORD kMaxTimeoutMs = 300000;
constexpr int kMaxResponseLimit = 64 * 1024 * 1024;
const char kEmpty[] = "";

DWORD TimeoutOrDefault(int value, DWORD fallback) {
    if (value <= 0) return fallback;
    return std::min(static_cast<DWORD>(value), kMaxTimeoutMs);
}

bool HasLineBreak(const char* text) { return text && (strchr(text, '\r') || strchr(text, '\n')); }

}  // namespace

HttpTask::HttpTask(HttpManager* manager) : manager_(Ref<HttpManager>::Share(manager)) {}

HttpTask::~HttpTask() = default;

void HttpTask::SetCallback(IHttpTaskCallback* callback) {
    Guard guard(lock_);
    if (released_) return;
    callback_ = callback;
    WaitForDeliveryLocked();
}

int HttpTask::StartRequest(int method, const wchar_t* url) {
    if (!url || !*url || (method != kHttpGet && method != kHttpPostForm)) return 0;
    Ref<HttpRequest> request;
    Ref<HttpRequest> previous;
    {
        Guard guard(lock_);
        if (released_ || current_) return 0;
        RequestSettings settings = settings_;
        settings.method = method;
        settings.url = url;
        request = Ref<HttpRequest>::Adopt(new HttpRequest(this, std::move(settings)));
        current_ = request;
        status_ = kHttpTaskSent;
        error_ = 0;
        httpStatus_ = 0;
        body_.reset();
    }
    uint32_t error = 0;
    // On failure the request has already reported itself (without an event).
    return request->Start(&error) ? 1 : 0;
}

int HttpTask::GetStatus() {
    Guard guard(lock_);
    return status_;
}

void HttpTask::ReleaseTask() {
    Ref<HttpRequest> running;
    {
        Guard guard(lock_);
        if (released_) return;
        released_ = true;
        callback_ = nullptr;
        WaitForDeliveryLocked();
        running = current_;
    }
    if (running) running->Fail(ERROR_WINHTTP_OPERATION_CANCELLED);
    running.reset();
    Release();
}

void HttpTask::Cancel() {
    Ref<HttpRequest> running;
    {
        Guard guard(lock_);
        running = current_;
    }
    if (running) running->Fail(ERROR_WINHTTP_OPERATION_CANCELLED);
}

int HttpTask::SetHeader(const char* name, const char* value) {
    if (!name || !*name || strchr(name, ':') || HasLineBreak(name) || HasLineBreak(value)) return 0;
    Guard guard(lock_);
    auto& headers = settings_.headers;
    for (auto it = headers.begin(); it != headers.end(); ++it) {
        if (_stricmp(it->first.c_str(), name) == 0) {
            headers.erase(it);
            break;
        }
    }
    if (value && *value) headers.emplace_back(name, value);
    return 1;
}

int HttpTask::AddField(const char* name, const char* value) {
    if (!name) return 0;
    Guard guard(lock_);
    settings_.fields.emplace_back(name, value ? value : "");
    return 1;
}

int HttpTask::AddFieldW(const wchar_t* name, const wchar_t* value) {
    if (!name) return 0;
    std::string utf8Name = ToUtf8(name);
    std::string utf8Value = ToUtf8(value);
    Guard guard(lock_);
    settings_.fields.emplace_back(std::move(utf8Name), std::move(utf8Value));
    return 1;
}

void HttpTask::ClearFields() {
    Guard guard(lock_);
    settings_.fields.clear();
}

int HttpTask::GetHttpStatus() {
    Guard guard(lock_);
    return httpStatus_;
}

const char* HttpTask::GetResponseBody(uint32_t* length) {
    Guard guard(lock_);
    if (length) *length = body_ ? static_cast<uint32_t>(body_->size()) : 0;
    return body_ ? body_->c_str() : kEmpty;
}

uint32_t HttpTask::GetErrorCode() {
    Guard guard(lock_);
    return error_;
}

int HttpTask::SetOption(const char* name, int value) {
    if (!name) return 0;
    const RequestSettings defaults;
    Guard guard(lock_);
    RequestSettings& s = settings_;
    if (_stricmp(name, "gzip") == 0) {
        s.gzipBody = value != 0;
    } else if (_stricmp(name, "ungzip") == 0) {
        s.acceptGzip = value != 0;
    } else if (_stricmp(name, "timeout_ms") == 0) {
        s.totalTimeoutMs = TimeoutOrDefault(value, defaults.totalTimeoutMs);
    } else if (_stricmp(name, "connect_timeout_ms") == 0) {
        s.connectTimeoutMs = TimeoutOrDefault(value, defaults.connectTimeoutMs);
    } else if (_stricmp(name, "send_timeout_ms") == 0) {
        s.sendTimeoutMs = TimeoutOrDefault(value, defaults.sendTimeoutMs);
    } else if (_stricmp(name, "receive_timeout_ms") == 0) {
        s.receiveTimeoutMs = TimeoutOrDefault(value, defaults.receiveTimeoutMs);
    } else if (_stricmp(name, "max_response_bytes") == 0) {
        s.maxResponseBytes = value <= 0 ? defaults.maxResponseBytes
                                        : static_cast<size_t>(std::min(value, kMaxResponseLimit));
    } else {
        return 0;
    }
    return 1;
}

void HttpTask::OnRequestProgress(HttpRequest* request, int32_t status, int32_t httpStatus) {
    Guard guard(lock_);
    if (current_.get() != request) return;
    status_ = status;
    if (httpStatus) httpStatus_ = httpStatus;
    if (released_) return;
    HttpTaskEvent event = {0, status, httpStatus_, 0, kEmpty};
    manager_->PostEvent(this, event, nullptr);
}

void HttpTask::OnRequestFinished(HttpRequest* request, const RequestResult& result, bool notify) {
    Ref<HttpRequest> finished;  // dropped after the lock is left
    Guard guard(lock_);
    if (current_.get() != request) return;
    finished = std::move(current_);
    status_ = result.status;
    error_ = result.error;
    httpStatus_ = result.httpStatus;
    body_ = result.body ? result.body : std::make_shared<const std::string>();
    if (!notify || released_) return;
    HttpTaskEvent event = {error_, status_, httpStatus_, static_cast<uint32_t>(body_->size()), body_->c_str()};
    manager_->PostEvent(this, event, body_);
}

void HttpTask::Deliver(const HttpTaskEvent& event) {
    IHttpTaskCallback* callback = nullptr;
    {
        Guard guard(lock_);
        callback = callback_;
        if (!callback) return;
        deliveringThread_ = ::GetCurrentThreadId();
    }
    callback->OnTaskEvent(this, &event);
    Guard guard(lock_);
    deliveringThread_ = 0;
    deliveryDone_.WakeAll();
}

void HttpTask::WaitForDeliveryLocked() {
    ULONGLONG deadline = ::GetTickCount64() + kDetachWaitMs;
    while (deliveringThread_ != 0 && deliveringThread_ != ::GetCurrentThreadId()) {
        DWORD left = MsUntil(deadline);
        if (left == 0) break;
        deliveryDone_.Wait(lock_, left);
    }
}

}  // namespace netlib
