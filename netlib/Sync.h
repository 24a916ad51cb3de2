// Locks, condition variables and reference counting for the library's objects.
// Plain Win32 primitives: the library runs code on threads it does not own
// (WinHTTP's), where no C++ runtime thread state can be assumed.
#pragma once

#include <windows.h>

#include <cstddef>

namespace netlib {

// A re-entrant critical section.
class Lock {
public:
    Lock() { ::InitializeCriticalSection(&section_); }
    ~Lock() { ::DeleteCriticalSection(&section_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void Enter() { ::EnterCriticalSection(&section_); }
    void Leave() { ::LeaveCriticalSection(&section_); }
    CRITICAL_SECTION* native() { return &section_; }

private:
    CRITICAL_SECTION section_;
};

class Guard {
public:
    explicit Guard(Lock& lock) : lock_(lock) { lock_.Enter(); }
    ~Guard() { lock_.Leave(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    Lock& lock_;
};

class Condition {
public:
    Condition() { ::InitializeConditionVariable(&variable_); }
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    // Waits while `lock` is held by the caller (once); false on time-out.
    bool Wait(Lock& lock, DWORD ms) { return ::SleepConditionVariableCS(&variable_, lock.native(), ms) != FALSE; }
    void WakeAll() { ::WakeAllConditionVariable(&variable_); }

private:
    CONDITION_VARIABLE variable_;
};

// Milliseconds left until `deadline` (GetTickCount64 time), 0 when passed.
inline DWORD MsUntil(ULONGLONG deadline) {
    ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return 0;
    ULONGLONG left = deadline - now;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(left);
}

// Intrusive reference count; the object deletes itself at zero.
class RefCounted {
public:
    void AddRef() { ::InterlockedIncrement(&refs_); }
    void Release() {
        if (::InterlockedDecrement(&refs_) == 0) delete this;
    }

protected:
    RefCounted() = default;
    virtual ~RefCounted() = default;

private:
    volatile LONG refs_ = 1;
};

// Owning pointer to a RefCounted object.
template <typename T>
class Ref {
public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    // Takes over the reference the caller holds.
    static Ref Adopt(T* raw) {
        Ref r;
        r.ptr_ = raw;
        return r;
    }
    // Adds a reference of its own.
    static Ref Share(T* raw) {
        if (raw) raw->AddRef();
        return Adopt(raw);
    }
    Ref(const Ref& other) : ptr_(other.ptr_) {
        if (ptr_) ptr_->AddRef();
    }
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    ~Ref() { reset(); }
    Ref& operator=(Ref other) noexcept {
        T* old = ptr_;
        ptr_ = other.ptr_;
        other.ptr_ = old;
        return *this;
    }
    void reset() {
        T* old = ptr_;
        ptr_ = nullptr;
        if (old) old->Release();
    }
    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

private:
    T* ptr_ = nullptr;
};

}  // namespace netlib
