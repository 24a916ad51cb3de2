#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "app/base/CrossProcessLock.h"
#include "app/base/PathUtil.h"
#include "support/TestSupport.h"

namespace {

const wchar_t kResource[] = L"C:\\lock-test\\shared.log";

// Child role: takes the lock and ends without releasing it.
int TakeLockAndDie(int, wchar_t**) {
    CCrossProcessLock lock(kResource);
    if (!lock.Acquire(1000)) return 3;
    ::ExitProcess(0);
}
testing_support::ChildRoleRegistrar g_takeAndDie(L"take-lock-and-die", &TakeLockAndDie);

}  // namespace

TEST(CrossProcessLock, ExcludesOtherHoldersAndNamesIgnoreCase) {
    CCrossProcessLock first(kResource);
    CCrossProcessLock second(L"c:\\LOCK-TEST\\shared.LOG");
    ASSERT_TRUE(first.Acquire(1000));
    bool gotIt = true;
    std::thread other([&] { gotIt = second.Acquire(200); });
    other.join();
    EXPECT_FALSE(gotIt) << "a holder on another thread keeps it";
    first.Release();
    std::thread again([&] {
        gotIt = second.Acquire(1000);
        second.Release();
    });
    again.join();
    EXPECT_TRUE(gotIt);
}

TEST(CrossProcessLock, ALockLeftByAProcessThatDiedIsTakenOver) {
    // The holder must outlive the lock's mapping name, so keep one view open here.
    CCrossProcessLock keeper(kResource);
    EXPECT_EQ(testing_support::RunAndWait(path::ModulePath(), L"--role take-lock-and-die", 30000), 0);
    EXPECT_TRUE(keeper.Acquire(5000));
    keeper.Release();
}
