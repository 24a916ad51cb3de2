#include "net/HttpRequestSlot.h"

#include <utility>

void HttpRequestSlot::Set(HttpTaskPtr task) {
    HttpTaskPtr previous;
    {
        _BaseModule::CAutoLocker hold(lock_);
        previous = std::move(task_);
        task_ = std::move(task);
        raw_ = task_.get();
    }
    // Released outside the lock: the previous task's callback may be waiting for it.
    previous.reset();
}

void HttpRequestSlot::Drop() { Set(nullptr); }

HttpTaskPtr HttpRequestSlot::TakeIfFinished(IHttpTask* task, const HttpTaskEvent* event) {
    if (task == nullptr || !IsFinalTaskEvent(event)) return nullptr;
    _BaseModule::CAutoLocker hold(lock_);
    if (task != raw_) return nullptr;
    raw_ = nullptr;
    return std::move(task_);
}

bool HttpRequestSlot::Holds(IHttpTask* task) const {
    _BaseModule::CAutoLocker hold(lock_);
    return task != nullptr && task == raw_;
}

bool HttpRequestSlot::Pending() const {
    _BaseModule::CAutoLocker hold(lock_);
    return raw_ != nullptr;
}
