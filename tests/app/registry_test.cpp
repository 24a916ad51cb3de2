#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/base/Registry.h"
#include "app/base/WinHandle.h"

namespace {

const wchar_t kScratchKey[] = L"Software\\LumoraTests\\Registry";

struct Case {
    const char* name;
    DWORD type;
    std::wstring data;  // stored as given, terminator included unless dropped
    bool withTerminator;
    bool readable;
};

}  // namespace

TEST(Registry, StringValuesAreReadOnlyWhenTheyFitAndHaveTheRightType) {
    win::UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kScratchKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                nullptr),
              ERROR_SUCCESS);
    const Case cases[] = {
        {"short", REG_SZ, L"abc", true, true},
        {"exactly the limit with terminator", REG_SZ, std::wstring(259, L'x'), true, true},
        {"exactly the limit without terminator", REG_SZ, std::wstring(259, L'y'), false, true},
        {"one over the limit", REG_SZ, std::wstring(260, L'z'), true, false},
        {"expandable refused", REG_EXPAND_SZ, L"%TEMP%", true, false},
        {"number refused", REG_BINARY, L"ab", false, false},
    };
    for (const Case& c : cases) {
        size_t bytes = (c.data.size() + (c.withTerminator ? 1 : 0)) * sizeof(wchar_t);
        ASSERT_EQ(::RegSetValueExW(key.get(), L"value", 0, c.type, reinterpret_cast<const BYTE*>(c.data.c_str()),
                                   static_cast<DWORD>(bytes)),
                  ERROR_SUCCESS);
        std::wstring read = registry::ReadString(HKEY_CURRENT_USER, kScratchKey, L"value", 259);
        EXPECT_EQ(read, c.readable ? c.data : L"") << c.name;
    }
    std::wstring untouched = L"kept";
    EXPECT_FALSE(registry::ReadString(key.get(), L"missing", 259, true, untouched));
    EXPECT_EQ(untouched, L"kept");
    key.reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\LumoraTests");
}
