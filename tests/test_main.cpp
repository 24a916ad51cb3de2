#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>
#include <locale.h>

#include "support/TestSupport.h"

int main(int argc, char** argv) {
    // Same runtime locale as the program: text conversion and upper-casing follow it.
    _wsetlocale(LC_ALL, L"chs");
    int exitCode = 0;
    if (testing_support::RunChildRoleIfAsked(&exitCode)) return exitCode;
    // The main thread is a single-threaded COM apartment, as in the program.
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
