#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "app/base/PathUtil.h"
#include "config/XMLArchive.h"
#include "config/config_test_support.h"
#include "support/TestSupport.h"

using config_test::ConfigTest;
using config_test::WriteUtf16File;
using config_test::WriteUtf8File;
using testing_support::ScopedTempDir;

namespace {

struct IntCase {
    const wchar_t* text;
    int expected;
};

class ParseAttrIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(ParseAttrIntTest, ReadsHexOrDecimalAfterBlanks) {
    EXPECT_EQ(GetParam().expected, ParseAttrInt(GetParam().text)) << "text [" << text::ToUtf8(GetParam().text) << "]";
}

INSTANTIATE_TEST_SUITE_P(
    Values, ParseAttrIntTest,
    ::testing::Values(IntCase{L"0x9C4B", 40011}, IntCase{L"0X9c4b", 40011}, IntCase{L"40011", 40011},
                      IntCase{L" 102", 102}, IntCase{L"\t 102", 102}, IntCase{L"102 ", 102},
                      IntCase{L"  0x10", 16}, IntCase{L"0x10 ", 16}, IntCase{L"0x", 0}, IntCase{L"0x1", 1},
                      IntCase{L"0x1G", 1}, IntCase{L"0xG", 0}, IntCase{L"0xFFFFFFFF", -1},
                      // "0x" and nine digits is 11 characters: read as decimal, which stops at the x.
                      IntCase{L"0x123456789", 0}, IntCase{L"", 0}, IntCase{L"   ", 0}, IntCase{L"\t", 0},
                      IntCase{L"-5", -5}, IntCase{L"+7", 7}, IntCase{L"12abc", 12}, IntCase{L"abc", 0},
                      IntCase{L" -0x10", 0}));

TEST(ParseAttrInt, NullIsZero) { EXPECT_EQ(0, ParseAttrInt(nullptr)); }

class XMLArchiveTest : public ConfigTest {
protected:
    // Opens a UTF-16 document with the given text.
    void OpenDocument(const std::wstring& xml) {
        std::wstring file = dir_.Join(L"doc.xml");
        ASSERT_TRUE(WriteUtf16File(file, xml));
        ASSERT_EQ(S_OK, archive_.Open(file, false, CXMLArchive::kDefaultDeclaration));
    }
    std::wstring Version(const CXMLArchiveItem& item) {
        std::wstring value;
        item.GetAttrText(L"Version", value, L"<none>");
        return value;
    }

    ScopedTempDir dir_;
    CXMLArchive archive_;
};

TEST_F(XMLArchiveTest, OnlyTheFirstSetupElementIsSearched) {
    OpenDocument(L"<Projects><Setup><Main Version='first'/></Setup>"
                 L"<Setup><Main Version='second'/><CloseAllPrograms><Program/></CloseAllPrograms></Setup></Projects>");
    EXPECT_EQ(L"first", Version(archive_.SelectSingleNode(L"Setup/Main")));
    EXPECT_EQ(1, archive_.SelectNodes(L"Setup/Main").Count());
    EXPECT_EQ(0, archive_.SelectNodes(L"Setup/CloseAllPrograms/Program").Count());
}

TEST_F(XMLArchiveTest, ElementsAreFoundAtAnyDepthInDocumentOrder) {
    OpenDocument(L"<Setup><Group><Main Version='deep'/></Group><Main Version='top'/></Setup>");
    EXPECT_EQ(L"deep", Version(archive_.SelectSingleNode(L"Setup/Main")));
    CXMLArchiveItemList all = archive_.SelectNodes(L"Setup/Main");
    ASSERT_EQ(2, all.Count());
    EXPECT_EQ(L"deep", Version(all.Item(0)));
    EXPECT_EQ(L"top", Version(all.Item(1)));
    EXPECT_TRUE(all.Item(2).IsEmpty());
    EXPECT_TRUE(all.Item(-1).IsEmpty());
}

TEST_F(XMLArchiveTest, FurtherNamesSearchBelowTheFirstMatchOnly) {
    OpenDocument(L"<Setup><List><Program Version='a'/><Program Version='b'/></List>"
                 L"<List><Program Version='c'/></List></Setup>");
    CXMLArchiveItemList programs = archive_.SelectNodes(L"Setup/List/Program");
    ASSERT_EQ(2, programs.Count());
    EXPECT_EQ(L"a", Version(programs.Item(0)));
    EXPECT_EQ(L"b", Version(programs.Item(1)));
    EXPECT_EQ(0, archive_.SelectNodes(L"Setup/Missing/Program").Count());
    EXPECT_EQ(0, archive_.SelectNodes(L"Nothing/List").Count());
}

TEST_F(XMLArchiveTest, BackslashSeparatesLikeSlash) {
    OpenDocument(L"<Setup><Main Version='v'/></Setup>");
    EXPECT_EQ(L"v", Version(archive_.SelectSingleNode(L"Setup\\Main")));
}

TEST_F(XMLArchiveTest, PathsLongerThan2047CharactersFindNothing) {
    // Tag names sized so the path is exactly at and just over the limit.
    std::wstring atLimit(CXMLArchive::kMaxPathChars - 6, L'A');
    std::wstring overLimit(CXMLArchive::kMaxPathChars - 5, L'B');
    OpenDocument(L"<Setup><" + atLimit + L" Version='at'/><" + overLimit + L" Version='over'/></Setup>");
    EXPECT_EQ(L"at", Version(archive_.SelectSingleNode(L"Setup/" + atLimit)));
    EXPECT_EQ(1, archive_.SelectNodes(L"Setup/" + atLimit).Count());
    EXPECT_EQ(0, archive_.SelectNodes(L"Setup/" + overLimit).Count());
    EXPECT_TRUE(archive_.SelectSingleNode(L"Setup/" + overLimit).IsEmpty());
    EXPECT_EQ(0, archive_.SelectNodes(L"").Count());
}

TEST_F(XMLArchiveTest, TextAttributesTellPresentFromMissing) {
    OpenDocument(L"<Setup><Main Version='1.2' Empty=''/></Setup>");
    CXMLArchiveItem main = archive_.SelectSingleNode(L"Setup/Main");
    std::wstring value = L"unchanged";
    EXPECT_TRUE(main.GetAttrText(L"Empty", value, L"default"));
    EXPECT_EQ(L"", value);
    EXPECT_FALSE(main.GetAttrText(L"Missing", value, L"default"));
    EXPECT_EQ(L"default", value);
    EXPECT_FALSE(main.GetAttrText(L"Missing", value, nullptr));
    EXPECT_EQ(L"", value);
    EXPECT_FALSE(main.GetAttrText(L"version", value, L"names are case-sensitive"));
    EXPECT_EQ(L"names are case-sensitive", value);
    value = L"unchanged";
    EXPECT_FALSE(main.GetAttrText(L"", value, L"default"));
    EXPECT_EQ(L"unchanged", value);
}

TEST_F(XMLArchiveTest, IntegerAttributesEmptyIsZeroMissingIsDefault) {
    OpenDocument(L"<Setup><Program WaitTime='' Timeout=' 0x9C4B'/></Setup>");
    CXMLArchiveItem program = archive_.SelectSingleNode(L"Setup/Program");
    int value = 7;
    EXPECT_TRUE(program.GetAttrInt(L"WaitTime", value, 5000));
    EXPECT_EQ(0, value);
    EXPECT_TRUE(program.GetAttrInt(L"Timeout", value, 5000));
    EXPECT_EQ(40011, value);
    EXPECT_FALSE(program.GetAttrInt(L"Missing", value, 5000));
    EXPECT_EQ(5000, value);
    value = 7;
    EXPECT_FALSE(program.GetAttrInt(L"", value, 5000));
    EXPECT_EQ(7, value);
}

TEST_F(XMLArchiveTest, ChildNodesListsDescendantsOfOneItem) {
    OpenDocument(L"<Setup><Dir><Item Name='a'/><Sub><Item Name='b'/></Sub></Dir><Item Name='outside'/></Setup>");
    CXMLArchiveItemList items = archive_.SelectSingleNode(L"Setup/Dir").ChildNodes(L"Item");
    ASSERT_EQ(2, items.Count());
    std::wstring name;
    items.Item(1).GetAttrText(L"Name", name, nullptr);
    EXPECT_EQ(L"b", name);
    EXPECT_EQ(0, CXMLArchiveItem::Empty().ChildNodes(L"Item").Count());
}

TEST_F(XMLArchiveTest, EmptyItemAnswersWithDefaults) {
    const CXMLArchiveItem& empty = CXMLArchiveItem::Empty();
    std::wstring text;
    int number = 0;
    EXPECT_FALSE(empty.GetAttrText(L"Version", text, L"d"));
    EXPECT_EQ(L"d", text);
    EXPECT_FALSE(empty.GetAttrInt(L"WaitTime", number, 12));
    EXPECT_EQ(12, number);
}

struct OpenCase {
    const char* name;
    std::string bytes;  // empty: no file at all
    bool opens;
};

class XMLArchiveOpenTest : public ConfigTest, public ::testing::WithParamInterface<OpenCase> {};

std::string Utf16Bytes(const std::wstring& text, bool bom) {
    std::string bytes = bom ? "\xFF\xFE" : "";
    bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    return bytes;
}

TEST_P(XMLArchiveOpenTest, LoadsWhatTheParserAcceptsAndRefusesTheRest) {
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"doc.xml");
    if (!GetParam().bytes.empty()) {
        ASSERT_TRUE(testing_support::WriteFileBytes(file, GetParam().bytes));
    }
    CXMLArchive archive;
    HRESULT hr = archive.Open(file, false, CXMLArchive::kDefaultDeclaration);
    EXPECT_EQ(GetParam().opens, SUCCEEDED(hr)) << GetParam().name << " hr=0x" << std::hex << hr;
    EXPECT_EQ(GetParam().opens, archive.IsOpen());
    if (!GetParam().opens) {
        EXPECT_EQ(0, archive.SelectNodes(L"Setup/Main").Count());
    } else {
        std::wstring version;
        EXPECT_TRUE(archive.SelectSingleNode(L"Setup/Main").GetAttrText(L"Version", version, nullptr));
        EXPECT_EQ(L"7", version);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Documents, XMLArchiveOpenTest,
    ::testing::Values(
        OpenCase{"utf16_with_bom", Utf16Bytes(L"<?xml version=\"1.0\" encoding=\"utf-16\"?><Setup><Main Version='7'/></Setup>", true), true},
        OpenCase{"utf16_bom_no_declaration", Utf16Bytes(L"<Setup><Main Version='7'/></Setup>", true), true},
        OpenCase{"utf8_declared", "<?xml version=\"1.0\" encoding=\"utf-8\"?><Setup><Main Version='7'/></Setup>", true},
        OpenCase{"declared_utf16_but_single_byte", "<?xml version=\"1.0\" encoding=\"utf-16\"?><Setup><Main Version='7'/></Setup>", false},
        OpenCase{"missing_file", "", false},
        OpenCase{"not_xml", "this is not a document\r\n", false},
        OpenCase{"unclosed_element", "<Setup><Main Version='7'>", false},
        OpenCase{"binary_garbage", std::string("7z\xBC\xAF\x27\x1C\x00\x04\x01\x02", 10), false}),
    [](const ::testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

TEST_F(XMLArchiveTest, DirectoryIsNotADocument) {
    EXPECT_EQ(E_FAIL, archive_.Open(dir_.path(), false, CXMLArchive::kDefaultDeclaration));
    EXPECT_FALSE(archive_.IsOpen());
}

TEST_F(XMLArchiveTest, FailedOpenDropsThePreviousDocument) {
    OpenDocument(L"<Setup><Main Version='v'/></Setup>");
    EXPECT_TRUE(FAILED(archive_.Open(dir_.Join(L"missing.xml"), false, CXMLArchive::kDefaultDeclaration)));
    EXPECT_FALSE(archive_.IsOpen());
    EXPECT_TRUE(archive_.SelectSingleNode(L"Setup/Main").IsEmpty());
}

TEST_F(XMLArchiveTest, CreateModeStartsADocumentWithTheDeclaration) {
    ASSERT_EQ(S_OK, archive_.Open(dir_.Join(L"new.xml"), true, nullptr));
    win::ComPtr<IXMLDOMNode> first;
    ASSERT_EQ(S_OK, archive_.Document()->get_firstChild(first.put()));
    BSTR markup = nullptr;
    ASSERT_EQ(S_OK, first->get_xml(&markup));
    std::wstring xml = markup ? markup : L"";
    ::SysFreeString(markup);
    EXPECT_NE(std::wstring::npos, xml.find(L"<?xml")) << text::ToUtf8(xml);
    EXPECT_NE(std::wstring::npos, xml.find(L"version")) << text::ToUtf8(xml);
}

}  // namespace
