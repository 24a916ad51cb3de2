// The task behind IHttpTask: request settings, the request in flight, the
// latest result and the callback with its detach guarantee.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/HttpInterfaces.h"
#include "netlib/HttpBody.h"
#include "netlib/Sync.h"

namespace netlib {

class HttpManager;
class HttpRequest;

// What one request needs, copied from the task when it starts.
struct RequestSettings {
    int method = kHttpGet;
    std::wstring url;
    FormFields fields;
    std::vector<std::pair<std::string, std::string>> headers;
    bool gzipBody = false;
    bool acceptGzip = false;
    DWORD totalTimeoutMs = 30000;
    DWORD connectTimeoutMs = 10000;
    DWORD sendTimeoutMs = 10000;
    DWORD receiveTimeoutMs = 10000;
    size_t maxResponseBytes = 8 * 1024 * 1024;
};

// How a request ended.
struct RequestResult {
    int32_t status = kHttpTaskFailed;  // 2 or 3
    uint32_t error = 0;
    int32_t httpStatus = 0;
    std::shared_ptr<const std::string> body;
};

class HttpTask final : public IHttpTask, public RefCounted {
public:
    // How long SetCallback and ReleaseTask wait for a callback that is running
    // on the delivery thread; only a callback blocked on the releasing thread
    // (a caller's deadlock) can take that long.
    static constexpr DWORD kDetachWaitMs = 10000;

    explicit HttpTask(HttpManager* manager);

    void SetCallback(IHttpTaskCallback* callback) override;
    int StartRequest(int method, const wchar_t* url) override;
    int GetStatus() override;
    void ReleaseTask() override;
    void Cancel() override;
    int SetHeader(const char* name, const char* value) override;
    int AddField(const char* name, const char* value) override;
    int AddFieldW(const wchar_t* name, const wchar_t* value) override;
    void ClearFields() override;
    int GetHttpStatus() override;
    const char* GetResponseBody(uint32_t* length) override;
    uint32_t GetErrorCode() override;
    int SetOption(const char* name, int value) override;

    // From the request in flight (ignored when it is no longer the current one).
    void OnRequestProgress(HttpRequest* request, int32_t status, int32_t httpStatus);
    void OnRequestFinished(HttpRequest* request, const RequestResult& result, bool notify);
    // On the delivery thread.
    void Deliver(const HttpTaskEvent& event);

    HttpManager* manager() const { return manager_.get(); }

private:
    ~HttpTask() override;
    // Waits, lock_ held, until no callback runs on another thread.
    void WaitForDeliveryLocked();

    Ref<HttpManager> manager_;
    Lock lock_;
    Condition deliveryDone_;
    IHttpTaskCallback* callback_ = nullptr;
    DWORD deliveringThread_ = 0;
    bool released_ = false;
    RequestSettings settings_;
    Ref<HttpRequest> current_;
    int32_t status_ = kHttpTaskIdle;
    uint32_t error_ = 0;
    int32_t httpStatus_ = 0;
    std::shared_ptr<const std::string> body_;
};

}  // namespace netlib
