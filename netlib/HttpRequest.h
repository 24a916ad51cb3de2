// One HTTP exchange over asynchronous WinHTTP. Every WinHTTP call on the
// request's handles is made under the request's lock; a handle is closed only
// after it has been taken out of the request under that lock, so no thread can
// use a closed (and possibly reused) handle value. Closing the handle is also
// how a running exchange is aborted.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

#include "netlib/HttpTask.h"
#include "netlib/Sync.h"

namespace netlib {

class HttpManager;

class HttpRequest final : public RefCounted {
public:
    HttpRequest(HttpTask* task, RequestSettings settings);

    // Opens the handles and sends the request. False (and no event) when it
    // could not be sent; `error` then tells why.
    bool Start(uint32_t* error);
    // Ends the exchange with a failure unless it already ended.
    void Fail(uint32_t error);

    bool finished() const { return finished_ != 0; }
    ULONGLONG deadline() const { return deadline_; }

    static void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, void* info,
                                        DWORD infoLength);

private:
    ~HttpRequest() override = default;
    void OnStatus(DWORD status, void* info, DWORD infoLength);
    void OnHeaders();
    // Issues reads until one is pending or the body is complete.
    void ReadMore();
    // Takes `count` freshly read bytes; false when the exchange ended.
    bool TakeBytes(DWORD count);
    void Complete();
    // Sets the outcome, closes the handles and reports; lock_ held on entry.
    void FinishLocked(RequestResult result);

    Ref<HttpTask> task_;
    HttpManager* manager_;  // kept alive by the task
    RequestSettings settings_;
    Lock lock_;
    HINTERNET connect_ = nullptr;
    HINTERNET request_ = nullptr;
    bool callbackInstalled_ = false;
    bool registered_ = false;
    bool sent_ = false;  // WinHttpSendRequest accepted: outcomes are reported as events
    volatile LONG finished_ = 0;
    ULONGLONG deadline_ = 0;
    std::string requestBody_;
    std::vector<char> readBuffer_;
    std::string response_;
    int32_t httpStatus_ = 0;
    bool gzipResponse_ = false;
    bool lengthKnown_ = false;  // the response announced its Content-Length
    DWORD announcedLength_ = 0;
    // A read that completed inside WinHttpReadData on this thread.
    bool inRead_ = false;
    bool readCompletedInline_ = false;
    DWORD inlineBytes_ = 0;
};

}  // namespace netlib
