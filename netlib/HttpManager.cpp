#include "netlib/HttpManager.h"

#include <algorithm>
#include <utility>

#include "netlib/HttpRequest.h"
#include "netlib/HttpTask.h"
#include "netlib/WinHttpApi.h"

namespace netlib {

namespace {

const wchar_t kUserAgent[] = L"DarIR/1.0";

// Managers handed out by HttpInit and not yet given back: HttpUninit ignores
// anything else (a repeated or stray call).
Lock& LiveLock() {
    static Lock lock;
    return lock;
}
std::vector<HttpManager*>& LiveManagers() {
    static std::vector<HttpManager*> managers;
    return managers;
}

}  // namespace

HttpManager* HttpManager::Create() {
    if (!GetWinHttp()) return nullptr;
    auto* manager = new HttpManager();
    if (!manager->Start()) {
        manager->Release();
        return nullptr;
    }
    Guard guard(LiveLock());
    LiveManagers().push_back(manager);
    return manager;
}

void HttpManager::Uninit(IHttpManager* handle) {
    HttpManager* manager = nullptr;
    {
        Guard guard(LiveLock());
        auto& live = LiveManagers();
        auto it = std::find_if(live.begin(), live.end(),
                               [&](HttpManager* m) { return static_cast<IHttpManager*>(m) == handle; });
        if (it == live.end()) return;
        manager = *it;
        live.erase(it);
    }
    manager->Shutdown();
    manager->Release();
}

bool HttpManager::Start() {
    const WinHttpApi* api = GetWinHttp();
    proxySession_ = api->Open(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    directSession_ = api->Open(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (!proxySession_ || !directSession_) return false;

    // The delivery thread holds a reference to the manager and one to this
    // library, which it gives back with FreeLibraryAndExitThread: the library
    // cannot be unmapped under it even if HttpUninit stops waiting for it.
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&HttpManager::ThreadMain), &self))
        return false;
    AddRef();
    thread_.reset(::CreateThread(nullptr, 0, &HttpManager::ThreadMain, this, 0, &threadId_));
    if (!thread_) {
        Release();
        ::FreeLibrary(self);
        return false;
    }
    return true;
}

HttpManager::~HttpManager() {
    if (const WinHttpApi* api = GetWinHttp()) {
        if (proxySession_) api->CloseHandle(proxySession_);
        if (directSession_) api->CloseHandle(directSession_);
    }
}

IHttpTask* HttpManager::CreateTask() {
    {
        Guard guard(lock_);
        if (shuttingDown_) return nullptr;
    }
    return new HttpTask(this);
}

int HttpManager::GetActiveRequestCount() {
    Guard guard(lock_);
    return static_cast<int>(active_.size());
}

bool HttpManager::Register(HttpRequest* request) {
    Guard guard(lock_);
    if (shuttingDown_) return false;
    active_.push_back(Ref<HttpRequest>::Share(request));
    wake_.WakeAll();  // a new deadline to watch
    return true;
}

void HttpManager::Unregister(HttpRequest* request) {
    Ref<HttpRequest> removed;  // dropped after the lock is left
    Guard guard(lock_);
    auto it = std::find_if(active_.begin(), active_.end(),
                           [&](const Ref<HttpRequest>& r) { return r.get() == request; });
    if (it == active_.end()) return;
    removed = std::move(*it);
    active_.erase(it);
    changed_.WakeAll();
}

void HttpManager::NotifyRequestChanged() {
    Guard guard(lock_);
    changed_.WakeAll();
}

void HttpManager::PostEvent(HttpTask* task, const HttpTaskEvent& event, std::shared_ptr<const std::string> body) {
    Guard guard(lock_);
    if (stopThread_) return;
    queue_.push_back(PendingEvent{Ref<HttpTask>::Share(task), event, std::move(body)});
    wake_.WakeAll();
}

bool HttpManager::AllFinishedLocked() const {
    return std::all_of(active_.begin(), active_.end(), [](const Ref<HttpRequest>& r) { return r->finished(); });
}

void HttpManager::Shutdown() {
    std::vector<Ref<HttpRequest>> running;
    {
        Guard guard(lock_);
        shuttingDown_ = true;
        // Requests close to their end (an upload at exit) may still finish.
        ULONGLONG graceEnd = ::GetTickCount64() + kUninitGraceMs;
        while (!AllFinishedLocked()) {
            DWORD left = MsUntil(graceEnd);
            if (left == 0) break;
            changed_.Wait(lock_, left);
        }
        for (const auto& request : active_)
            if (!request->finished()) running.push_back(request);
    }
    for (auto& request : running) request->Fail(kHttpErrorShutDown);
    running.clear();
    {
        // WinHTTP confirms each abort with a handle-closing notice; the
        // failures above still go out to their callbacks.
        Guard guard(lock_);
        // Called from a callback, the delivery thread itself is busy with us.
        bool onDeliveryThread = ::GetCurrentThreadId() == threadId_;
        ULONGLONG closeEnd = ::GetTickCount64() + kUninitCloseMs;
        while (!active_.empty() || (!onDeliveryThread && (!queue_.empty() || delivering_))) {
            DWORD left = MsUntil(closeEnd);
            if (left == 0) break;
            changed_.Wait(lock_, left);
        }
        stopThread_ = true;
        queue_.clear();
        wake_.WakeAll();
    }
    if (::GetCurrentThreadId() != threadId_) ::WaitForSingleObject(thread_.get(), kUninitStopMs);
}

DWORD WINAPI HttpManager::ThreadMain(void* parameter) {
    auto* manager = static_cast<HttpManager*>(parameter);
    manager->Run();
    manager->Release();
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&HttpManager::ThreadMain), &self);
    ::FreeLibraryAndExitThread(self, 0);
    return 0;
}

std::vector<Ref<HttpRequest>> HttpManager::TakeExpired(DWORD* nextWaitMs) {
    std::vector<Ref<HttpRequest>> expired;
    ULONGLONG now = ::GetTickCount64();
    *nextWaitMs = INFINITE;
    for (const auto& request : active_) {
        if (request->finished()) continue;
        if (request->deadline() <= now) {
            expired.push_back(request);
        } else {
            ULONGLONG left = request->deadline() - now;
            *nextWaitMs = std::min<DWORD>(*nextWaitMs, static_cast<DWORD>(std::min<ULONGLONG>(left, 0x7FFFFFFF)));
        }
    }
    return expired;
}

void HttpManager::Run() {
    lock_.Enter();
    for (;;) {
        if (!queue_.empty()) {
            {
                PendingEvent item = std::move(queue_.front());
                queue_.pop_front();
                delivering_ = true;
                lock_.Leave();
                item.task->Deliver(item.event);
            }
            lock_.Enter();
            delivering_ = false;
            if (queue_.empty()) changed_.WakeAll();
            continue;
        }
        if (stopThread_) break;
        DWORD waitMs = INFINITE;
        std::vector<Ref<HttpRequest>> expired = TakeExpired(&waitMs);
        if (!expired.empty()) {
            lock_.Leave();
            for (auto& request : expired) request->Fail(ERROR_WINHTTP_TIMEOUT);
            expired.clear();
            lock_.Enter();
            continue;
        }
        wake_.Wait(lock_, waitMs);
    }
    lock_.Leave();
}

}  // namespace netlib
