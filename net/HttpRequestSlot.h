// A receiver's pending request: the task it owns and the raw pointer it knows
// its own events by. A new request replaces the previous one; the last event
// (2 or 3) of the owned task hands the task over for release.
//
// Releasing a task waits until its callback has returned, so Set and Drop must
// not be called while holding a lock that the receiver's callback takes.
#pragma once

#include "app/base/Locker.h"
#include "net/HttpInterfaces.h"
#include "net/NetLibrary.h"

class HttpRequestSlot {
public:
    HttpRequestSlot() = default;
    // Drops the pending request: no event of it is delivered afterwards.
    ~HttpRequestSlot() { Drop(); }
    HttpRequestSlot(const HttpRequestSlot&) = delete;
    HttpRequestSlot& operator=(const HttpRequestSlot&) = delete;

    // Holds `task` as the pending request; a previous one is released first.
    void Set(HttpTaskPtr task);
    // Releases the pending request, if any.
    void Drop();
    // For OnTaskEvent: when `task` is the pending request and `event` is its
    // last one (status 2 or 3), the slot lets go and returns the task. The
    // caller reads the event's body while it holds the result; the task is
    // released when the result goes out of scope. Null otherwise.
    HttpTaskPtr TakeIfFinished(IHttpTask* task, const HttpTaskEvent* event);
    // Whether `task` is the pending request.
    bool Holds(IHttpTask* task) const;
    bool Pending() const;

private:
    mutable _BaseModule::CCriticalSection lock_;
    HttpTaskPtr task_;
    IHttpTask* raw_ = nullptr;
};

// Whether an event is a task's last one (completed or failed).
inline bool IsFinalTaskEvent(const HttpTaskEvent* event) {
    return event != nullptr && (event->status == kHttpTaskCompleted || event->status == kHttpTaskFailed);
}
