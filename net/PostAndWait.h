// A synchronous POST of one form field through the network library: the caller's
// thread waits, bounded, for the task's last event.
#pragma once

#include <windows.h>

#include <string>

#include "app/base/Locker.h"
#include "app/base/WinHandle.h"
#include "net/HttpInterfaces.h"
#include "net/NetLibrary.h"

// Receives the events of one POST and hands the outcome to the waiting thread
// through a manual-reset event. Destruction detaches the callback (no event is
// delivered afterwards), closes the event and releases the task.
class CHttpTaskAdapterPost final : public IHttpTaskCallback {
public:
    CHttpTaskAdapterPost();
    ~CHttpTaskAdapterPost();
    CHttpTaskAdapterPost(const CHttpTaskAdapterPost&) = delete;
    CHttpTaskAdapterPost& operator=(const CHttpTaskAdapterPost&) = delete;

    // Creates the task and starts the POST of the one field (sent as UTF-8);
    // false when no task could be made or started.
    bool Start(IHttpManager* manager, const wchar_t* url, const wchar_t* fieldName, const wchar_t* fieldValue);
    // Waits up to `timeoutMs` for the last event, or for `extra` when given.
    // True only when the task's event came first and the request completed
    // (status 2); `body` then receives the response body (UTF-8).
    bool Wait(DWORD timeoutMs, HANDLE extra, std::string& body);

    void OnTaskEvent(IHttpTask* task, const HttpTaskEvent* event) override;

private:
    _BaseModule::CCriticalSection lock_;
    HttpTaskPtr task_;
    IHttpTask* rawTask_ = nullptr;
    bool success_ = false;
    win::UniqueHandle done_;
    std::string body_;
};

// POSTs `fieldName`=`fieldValue` to `url` with `manager` and waits at most
// `timeoutMs` (or until `extra` is signalled). A zero timeout, a null manager
// or a task that does not start gives false at once. True only for a completed
// request; `body` then holds the reply.
bool PostAndWait(IHttpManager* manager, const wchar_t* url, const wchar_t* fieldName, const wchar_t* fieldValue,
                 std::string& body, DWORD timeoutMs, HANDLE extra = nullptr);

// The same through the shared network library loaded at start-up.
bool PostAndWait(const wchar_t* url, const wchar_t* fieldName, const wchar_t* fieldValue, std::string& body,
                 DWORD timeoutMs, HANDLE extra = nullptr);
