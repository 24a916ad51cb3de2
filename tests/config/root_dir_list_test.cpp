#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/base/PathUtil.h"
#include "config/UninstallRootDirList.h"
#include "config/config_test_support.h"
#include "config/fixture_resources.h"
#include "support/TestSupport.h"

using config_test::ConfigTest;
using config_test::RootListXml;
using config_test::WriteUtf16File;
using testing_support::ScopedTempDir;

namespace {

class RootDirListTest : public ConfigTest {
protected:
    std::wstring WriteList(const std::wstring& dirItems, const std::wstring& fileItems,
                           const std::wstring& name = L"list.xml") {
        std::wstring file = dir_.Join(name);
        EXPECT_TRUE(WriteUtf16File(file, RootListXml(dirItems, fileItems)));
        return file;
    }
    std::vector<std::wstring> Names() {
        std::vector<std::wstring> names;
        RootDirItem item;
        for (int i = 0; i < list_.GetCount(); ++i)
            if (list_.GetItem(i, &item)) names.push_back(item.name);
        return names;
    }

    ScopedTempDir dir_;
    CUninstallRootDirList list_;
};

TEST_F(RootDirListTest, ContainsIgnoresCase) {
    ASSERT_TRUE(list_.Load(WriteList(L"<Item Name='Utils'/>", L"<Item Name='config.set'/>").c_str()));
    for (const wchar_t* name : {L"utils", L"Utils", L"UTILS", L"CONFIG.SET", L"Config.Set"})
        EXPECT_TRUE(list_.Contains(name)) << text::ToUtf8(name);
    EXPECT_FALSE(list_.Contains(L"Util"));
    EXPECT_FALSE(list_.Contains(nullptr));
}

TEST_F(RootDirListTest, ItemsCarryKindAndOptionalFlag) {
    ASSERT_TRUE(list_.Load(WriteList(L"<Item Name='cache' optional='1'/><Item Name='Utils'/>",
                                     L"<Item Name='a.log' optional=' 0x2'/>")
                               .c_str()));
    ASSERT_EQ(3, list_.GetCount());
    RootDirItem item;
    ASSERT_TRUE(list_.GetItem(0, &item));  // "A.LOG"
    EXPECT_STREQ(L"a.log", item.name);
    EXPECT_EQ(0u, item.isDirectory);
    EXPECT_EQ(2u, item.optional);
    ASSERT_TRUE(list_.GetItem(1, &item));  // "CACHE"
    EXPECT_EQ(1u, item.isDirectory);
    EXPECT_EQ(1u, item.optional);
    ASSERT_TRUE(list_.GetItem(2, &item));  // "UTILS"
    EXPECT_EQ(0u, item.optional);
    EXPECT_EQ(2, list_.DirectoryCount());
    EXPECT_EQ(1, list_.FileCount());
}

TEST_F(RootDirListTest, ItemsComeInUpperCasedKeyOrder) {
    ASSERT_TRUE(list_.Load(WriteList(L"<Item Name='zeta'/><Item Name='_tmp'/>",
                                     L"<Item Name='beta'/><Item Name='Alpha'/>")
                               .c_str()));
    // "_" (0x5F) sorts after the upper-case letters.
    EXPECT_EQ((std::vector<std::wstring>{L"Alpha", L"beta", L"zeta", L"_tmp"}), Names());
}

TEST_F(RootDirListTest, NameListedAsDirectoryAndFileEndsAsFile) {
    ASSERT_TRUE(list_.Load(WriteList(L"<Item Name='logs'/>", L"<Item Name='LOGS'/>").c_str()));
    ASSERT_EQ(1, list_.GetCount());
    RootDirItem item;
    ASSERT_TRUE(list_.GetItem(0, &item));
    EXPECT_STREQ(L"LOGS", item.name);
    EXPECT_EQ(0u, item.isDirectory);
}

TEST_F(RootDirListTest, ItemWithoutNameAddsTheEmptyKey) {
    ASSERT_TRUE(list_.Load(WriteList(L"<Item/>", L"").c_str()));
    EXPECT_EQ(1, list_.GetCount());
    EXPECT_TRUE(list_.Contains(L""));
    EXPECT_FALSE(list_.Contains(L"x"));
}

TEST_F(RootDirListTest, ItemsAreFoundAtAnyDepthBelowDirAndFile) {
    ASSERT_TRUE(WriteUtf16File(dir_.Join(L"deep.xml"),
                               L"<RootDirFiles><Dir><Group><Item Name='deep'/></Group></Dir>"
                               L"<Other><Item Name='ignored'/></Other></RootDirFiles>"));
    ASSERT_TRUE(list_.Load(dir_.Join(L"deep.xml").c_str()));
    EXPECT_TRUE(list_.Contains(L"DEEP"));
    EXPECT_FALSE(list_.Contains(L"ignored"));
}

TEST_F(RootDirListTest, SecondLoadReplacesAndAFailedLoadKeeps) {
    ASSERT_TRUE(list_.Load(WriteList(L"<Item Name='one'/>", L"", L"first.xml").c_str()));
    ASSERT_TRUE(list_.Load(WriteList(L"", L"<Item Name='two'/>", L"second.xml").c_str()));
    EXPECT_FALSE(list_.Contains(L"one"));
    EXPECT_TRUE(list_.Contains(L"two"));

    ASSERT_TRUE(testing_support::WriteFileBytes(dir_.Join(L"broken.xml"), "<RootDirFiles><Dir>"));
    EXPECT_FALSE(list_.Load(dir_.Join(L"broken.xml").c_str()));
    EXPECT_FALSE(list_.Load(dir_.Join(L"missing.xml").c_str()));
    EXPECT_FALSE(list_.Load(nullptr));
    EXPECT_EQ(1, list_.GetCount());
    EXPECT_TRUE(list_.Contains(L"two"));
}

TEST_F(RootDirListTest, DocumentWithoutDirOrFileLoadsEmpty) {
    ASSERT_TRUE(list_.Load(WriteList(L"<Item Name='x'/>", L"", L"first.xml").c_str()));
    ASSERT_TRUE(WriteUtf16File(dir_.Join(L"empty.xml"), L"<RootDirFiles/>"));
    EXPECT_TRUE(list_.Load(dir_.Join(L"empty.xml").c_str()));
    EXPECT_EQ(0, list_.GetCount());
}

TEST_F(RootDirListTest, GetItemChecksItsArgumentsAndCutsLongNames) {
    std::wstring longName(300, L'n');
    ASSERT_TRUE(list_.Load(WriteList(L"", L"<Item Name='" + longName + L"'/>").c_str()));
    RootDirItem item;
    std::memset(&item, 0xAB, sizeof(item));
    ASSERT_TRUE(list_.GetItem(0, &item));
    EXPECT_EQ(longName.substr(0, 259), item.name);
    EXPECT_FALSE(list_.GetItem(1, &item));
    EXPECT_FALSE(list_.GetItem(-1, &item));
    EXPECT_FALSE(list_.GetItem(0, nullptr));
}

TEST_F(RootDirListTest, RemoveDropsTheUpperCasedKey) {
    ASSERT_TRUE(list_.Load(WriteList(L"<Item Name='Utils'/>", L"<Item Name='a.exe'/>").c_str()));
    EXPECT_TRUE(list_.Remove(L"UTILS"));
    EXPECT_FALSE(list_.Contains(L"Utils"));
    EXPECT_TRUE(list_.Remove(L"never-listed"));
    EXPECT_FALSE(list_.Remove(nullptr));
    EXPECT_EQ(1, list_.GetCount());
}

TEST_F(RootDirListTest, LoadsFromAPlainXmlResourceAndLeavesNoFile) {
    IUninstallRootDirList& asInterface = list_;
    ASSERT_TRUE(asInterface.LoadFromResource(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(FIXTURE_ROOT_LIST),
                                             L"ROOTLIST"));
    EXPECT_EQ(5, asInterface.GetCount());
    EXPECT_TRUE(asInterface.Contains(L"uninstall.exe"));
    // Only the test's own folder remains in the temporary directory.
    EXPECT_EQ(1u, temp_.Entries().size());

    EXPECT_FALSE(asInterface.LoadFromResource(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(999), L"ROOTLIST"));
    EXPECT_EQ(5, asInterface.GetCount());
}

}  // namespace
