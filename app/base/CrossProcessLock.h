// A lock shared by every process that names the same resource, kept in a small
// named shared-memory block: taking it uncontended costs no system call. The
// holder's thread id is the lock word, so a lock left by a thread that died is
// taken over, and no waiter ever waits without bound.
#pragma once

#include <windows.h>

#include <string>

#include "app/base/WinHandle.h"

class CCrossProcessLock {
public:
    // `resource` names what is protected (a file path, for example).
    explicit CCrossProcessLock(const std::wstring& resource);
    ~CCrossProcessLock();
    CCrossProcessLock(const CCrossProcessLock&) = delete;
    CCrossProcessLock& operator=(const CCrossProcessLock&) = delete;

    // True when the lock was taken. False when the shared block is unavailable or
    // the wait ran out; the caller then goes on without it.
    bool Acquire(DWORD maxWaitMs);
    void Release();

private:
    bool OwnerIsGone(LONG owner) const;

    win::UniqueHandle mapping_;
    volatile LONG* word_ = nullptr;
};
