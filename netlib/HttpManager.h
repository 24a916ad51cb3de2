// The manager behind IHttpManager: owns the WinHTTP sessions, the list of
// requests in flight with their deadlines, and the one thread that delivers
// task events to callbacks and enforces the deadlines.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/base/WinHandle.h"
#include "net/HttpInterfaces.h"
#include "netlib/Sync.h"

namespace netlib {

class HttpRequest;
class HttpTask;

class HttpManager final : public IHttpManager, public RefCounted {
public:
    // Grace period HttpUninit gives running requests before cancelling them,
    // and how long it then waits for WinHTTP to close them and for the last
    // events to be delivered.
    static constexpr DWORD kUninitGraceMs = 2000;
    static constexpr DWORD kUninitCloseMs = 1000;
    static constexpr DWORD kUninitStopMs = 2000;

    // A started manager (one reference for the caller), or null when WinHTTP
    // is not available.
    static HttpManager* Create();
    // HttpUninit: see net/HttpInterfaces.h. Drops the caller's reference.
    static void Uninit(IHttpManager* manager);

    IHttpTask* CreateTask() override;
    int GetActiveRequestCount() override;

    // WinHTTP session for a host: loopback hosts never go through a proxy.
    HINTERNET Session(bool loopback) const { return loopback ? directSession_ : proxySession_; }

    // A request that WinHTTP knows about; it is kept alive until Unregister.
    // False once the manager shuts down.
    bool Register(HttpRequest* request);
    void Unregister(HttpRequest* request);
    // Wakes waiters after a request finished or its deadline was set.
    void NotifyRequestChanged();
    // Queues an event for delivery on the manager's thread; dropped after shutdown.
    void PostEvent(HttpTask* task, const HttpTaskEvent& event, std::shared_ptr<const std::string> body);

private:
    struct PendingEvent {
        Ref<HttpTask> task;
        HttpTaskEvent event;
        std::shared_ptr<const std::string> body;
    };

    HttpManager() = default;
    ~HttpManager() override;
    bool Start();
    void Shutdown();
    static DWORD WINAPI ThreadMain(void* parameter);
    void Run();
    // Requests whose deadline passed; called with lock_ held.
    std::vector<Ref<HttpRequest>> TakeExpired(DWORD* nextWaitMs);
    bool AllFinishedLocked() const;

    Lock lock_;
    Condition wake_;     // the delivery thread: new event, new deadline, stop
    Condition changed_;  // Shutdown: request finished or closed, queue drained
    std::deque<PendingEvent> queue_;
    std::vector<Ref<HttpRequest>> active_;
    bool delivering_ = false;
    bool shuttingDown_ = false;
    bool stopThread_ = false;
    win::UniqueHandle thread_;
    DWORD threadId_ = 0;
    HINTERNET proxySession_ = nullptr;
    HINTERNET directSession_ = nullptr;
};

}  // namespace netlib
