// Lazily created process-wide instance per type. Instances are never destroyed.
#pragma once

#include <windows.h>

#include <new>

#include "app/base/Locker.h"

namespace detail {

// Guards the creation of every singleton's lock object. Initialised during
// static construction, before wWinMain and before any thread exists.
class SingletonCreationGuard {
public:
    SingletonCreationGuard() { ::InitializeCriticalSection(&section_); }
    SingletonCreationGuard(const SingletonCreationGuard&) = delete;
    SingletonCreationGuard& operator=(const SingletonCreationGuard&) = delete;
    void Enter() { ::EnterCriticalSection(&section_); }
    void Leave() { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

}  // namespace detail

template <typename T>
class CSingletonT {
public:
    // Returns the instance, creating it on first use; null only when memory ran out.
    static T* Instance() {
        _BaseModule::ILocker* lock = lock_;
        if (lock == nullptr) {
            creationGuard_.Enter();
            if (lock_ == nullptr) {
                auto* created = new (std::nothrow) _BaseModule::CCriticalSection();
                ::MemoryBarrier();
                lock_ = created;
            }
            lock = lock_;
            creationGuard_.Leave();
            if (lock == nullptr) return nullptr;
        }
        T* instance = instance_;
        if (instance != nullptr) return instance;

        _BaseModule::CAutoLocker hold(*lock);
        if (instance_ == nullptr) {
            T* created = new (std::nothrow) T();
            ::MemoryBarrier();
            instance_ = created;
        }
        return instance_;
    }

private:
    static T* volatile instance_;
    static _BaseModule::ILocker* volatile lock_;
    static detail::SingletonCreationGuard creationGuard_;
};

template <typename T>
T* volatile CSingletonT<T>::instance_ = nullptr;
template <typename T>
_BaseModule::ILocker* volatile CSingletonT<T>::lock_ = nullptr;
template <typename T>
detail::SingletonCreationGuard CSingletonT<T>::creationGuard_;
