// Locking primitives shared by the logger, the singletons and the engine.
#pragma once

#include <windows.h>

namespace _BaseModule {

class ILocker {
public:
    virtual void Lock() = 0;
    virtual void Unlock() = 0;

protected:
    ~ILocker() = default;
};

// A re-entrant Windows critical section behind ILocker.
class CCriticalSection final : public ILocker {
public:
    CCriticalSection() { ::InitializeCriticalSection(&section_); }
    ~CCriticalSection() { ::DeleteCriticalSection(&section_); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() override { ::EnterCriticalSection(&section_); }
    void Unlock() override { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

// Holds a lock for the lifetime of the scope.
class CAutoLocker {
public:
    explicit CAutoLocker(ILocker& locker) : locker_(locker) { locker_.Lock(); }
    ~CAutoLocker() { locker_.Unlock(); }
    CAutoLocker(const CAutoLocker&) = delete;
    CAutoLocker& operator=(const CAutoLocker&) = delete;

private:
    ILocker& locker_;
};

}  // namespace _BaseModule
