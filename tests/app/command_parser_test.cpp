#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/CommandParser.h"

namespace {

struct ParseCase {
    const wchar_t* commandLine;
    const wchar_t* name;
    bool present;
    const wchar_t* value;  // expected value when present
};

class CommandParserCases : public ::testing::TestWithParam<ParseCase> {};

}  // namespace

TEST_P(CommandParserCases, FindsSwitchAndValue) {
    const ParseCase& c = GetParam();
    CCommandParser parser;
    ASSERT_TRUE(parser.Parse(c.commandLine));
    EXPECT_EQ(parser.HasSwitch(c.name), c.present) << c.commandLine;
    std::wstring value = L"untouched";
    EXPECT_EQ(parser.GetSwitchValue(c.name, value), c.present);
    EXPECT_EQ(value, c.present ? c.value : L"untouched") << c.commandLine;
}

INSTANTIATE_TEST_SUITE_P(
    Switches, CommandParserCases,
    ::testing::Values(
        ParseCase{L"/s", L"/S", true, L""},
        ParseCase{L"/S", L"/s", true, L""},
        ParseCase{L"/readyuninstall /K", L"/READYUNINSTALL", true, L""},
        ParseCase{L"/chk=Ab", L"/CHK", true, L"Ab"},
        ParseCase{L"\"/CHK= xyz \"", L"/CHK", true, L"xyz"},
        ParseCase{L"/X /CHK=\\\"quoted\\\"", L"/CHK", true, L"quoted"},
        ParseCase{L"/X /CHK=\\\"", L"/CHK", true, L""},
        ParseCase{L"a=b=c", L"A", true, L"b=c"},
        ParseCase{L"/CHK=first /CHK=second", L"/CHK", true, L"second"},
        ParseCase{L"S", L"/S", false, L""},
        ParseCase{L"S", L"S", true, L""},
        ParseCase{L"\"   \"", L"", true, L""},
        ParseCase{L"", L"/S", false, L""},
        ParseCase{L"/Sx", L"/S", false, L""},
        ParseCase{L"\"C:\\Program Files\\Lumora\\Uninstall.exe\" /S", L"/S", true, L""},
        ParseCase{L"/X /K=\"  spaced value  \"", L"/K", true, L"spaced value"},
        // The first argument follows program-name rules: a quote does not group blanks.
        ParseCase{L"/K=\"a b\"", L"/K", true, L"a"}));

TEST(CommandParser, EmptyCommandLineIsAFirstLaunchWithTheProgramPathAsOnlyKey) {
    CCommandParser parser;
    ASSERT_TRUE(parser.Parse(L""));
    EXPECT_FALSE(parser.HasSwitch(L"/READYUNINSTALL"));
    EXPECT_FALSE(parser.IsSilent());
    EXPECT_EQ(parser.CommandLine(), L"");
}

TEST(CommandParser, ParseRebuildsTheTableAndIsSilentFollowsSlashS) {
    CCommandParser parser;
    parser.Parse(L"/S /READYUNINSTALL");
    EXPECT_TRUE(parser.IsSilent());
    parser.Parse(L"/K");
    EXPECT_FALSE(parser.IsSilent());
    EXPECT_FALSE(parser.HasSwitch(L"/READYUNINSTALL"));
    EXPECT_TRUE(parser.HasSwitch(L"/k"));
}

TEST(CommandParser, ProcessInstanceIsASingleton) {
    EXPECT_NE(CCommandParser::Instance(), nullptr);
    EXPECT_EQ(CCommandParser::Instance(), CCommandParser::Instance());
}
