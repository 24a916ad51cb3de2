#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "app/base/Locker.h"
#include "app/base/Singleton.h"

namespace {

std::atomic<int> g_constructions{0};

struct SlowToBuild {
    SlowToBuild() {
        ++g_constructions;
        ::Sleep(20);  // widens the window in which racing callers could build a second one
        ready = 7;
    }
    int ready = 0;
};

}  // namespace

TEST(Singleton, RacingThreadsGetOneFullyBuiltInstance) {
    std::vector<std::thread> threads;
    std::vector<SlowToBuild*> seen(16, nullptr);
    std::vector<int> readyValues(16, 0);
    HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < 16; ++i)
        threads.emplace_back([&, i] {
            ::WaitForSingleObject(go, INFINITE);
            seen[i] = CSingletonT<SlowToBuild>::Instance();
            readyValues[i] = seen[i]->ready;
        });
    ::SetEvent(go);
    for (auto& t : threads) t.join();
    ::CloseHandle(go);

    EXPECT_EQ(g_constructions.load(), 1);
    EXPECT_EQ(std::set<SlowToBuild*>(seen.begin(), seen.end()).size(), 1u);
    for (int value : readyValues) EXPECT_EQ(value, 7);
}

TEST(Locker, CriticalSectionIsReentrantAndExcludesOtherThreads) {
    _BaseModule::CCriticalSection lock;
    int counter = 0;
    {
        _BaseModule::CAutoLocker outer(lock);
        _BaseModule::CAutoLocker inner(lock);  // same thread: must not deadlock
        std::thread other([&] {
            _BaseModule::CAutoLocker hold(lock);
            counter = 2;
        });
        ::Sleep(50);
        counter = 1;
        EXPECT_EQ(counter, 1);
        // Release both levels, then let the other thread finish.
        inner.~CAutoLocker();
        new (&inner) _BaseModule::CAutoLocker(lock);
        lock.Unlock();
        lock.Unlock();
        other.join();
        lock.Lock();
        lock.Lock();
    }
    EXPECT_EQ(counter, 2);
}
