// Helpers shared by the configuration tests: fixture locations, UTF-16 files,
// small project folders and the 7-Zip library.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/base/WinHandle.h"
#include "support/TestSupport.h"

namespace config_test {

// Build-time fixtures (archives, lists) and the copies of the shipped sources.
std::wstring FixtureDir();
std::wstring FixturePath(const std::wstring& name);
std::wstring ShippedSourcePath(const std::wstring& name);

// Writes text as UTF-16 little-endian with a byte-order mark.
bool WriteUtf16File(const std::wstring& path, const std::wstring& text);
// Writes text as UTF-8 without a byte-order mark.
bool WriteUtf8File(const std::wstring& path, const std::wstring& text);

// A project document "<?xml ... utf-16?><Setup>body</Setup>".
std::wstring ProjectXml(const std::wstring& body);
// A root-directory list with the given "Dir" and "File" element contents.
std::wstring RootListXml(const std::wstring& dirItems, const std::wstring& fileItems);
// A minimal project body that loads: a Main element and the list reference.
std::wstring MinimalProjectBody();

// Loads 7z.dll from beside the test program once.
void RequireSevenZip();

// Points the process's temporary directory (TMP and TEMP) at a scoped folder,
// so that everything an unpack leaves behind is seen and removed.
class ScopedTempRedirect {
public:
    ScopedTempRedirect();
    ~ScopedTempRedirect();
    ScopedTempRedirect(const ScopedTempRedirect&) = delete;
    ScopedTempRedirect& operator=(const ScopedTempRedirect&) = delete;
    const std::wstring& path() const;
    // Names directly in the folder, sorted.
    std::vector<std::wstring> Entries() const;

private:
    testing_support::ScopedTempDir dir_;
    std::wstring oldTmp_, oldTemp_;
    bool hadTmp_ = false, hadTemp_ = false;
};

// Every configuration test runs in an apartment-threaded COM context, with
// 7z.dll held and a private temporary directory.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { RequireSevenZip(); }

    win::ComApartment apartment_;
    ScopedTempRedirect temp_;
};

}  // namespace config_test
