#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "app/base/PathUtil.h"
#include "config/SetupConfig.h"
#include "config/config_test_support.h"
#include "config/fixture_resources.h"
#include "support/TestSupport.h"

using config_test::ConfigTest;
using config_test::MinimalProjectBody;
using config_test::ProjectXml;
using config_test::RootListXml;
using config_test::WriteUtf16File;
using config_test::WriteUtf8File;
using testing_support::ScopedTempDir;

namespace {

bool Is64Bit() { return true; }
bool Is32Bit() { return false; }

std::wstring Repeat(size_t count, wchar_t c = L'x') { return std::wstring(count, c); }

std::wstring Version(CSetupConfig& config) {
    wchar_t buffer[64];
    config.GetVersion(buffer, 64);
    return buffer;
}

class SetupConfigTest : public ConfigTest {
protected:
    // Writes the project (and the root-directory list it names) into a fresh
    // folder; returns the project's path.
    std::wstring WriteProject(const std::wstring& body, bool withList = true) {
        std::wstring project = dir_.Join(L"tapis.noxprj");
        EXPECT_TRUE(WriteUtf16File(project, ProjectXml(body)));
        if (withList) {
            EXPECT_TRUE(WriteUtf16File(dir_.Join(L"UninstallRootDirFileList.xml"),
                                       RootListXml(L"<Item Name='bin'/>", L"<Item Name='a.exe'/>")));
        }
        return project;
    }
    // Loads a minimal project with `elements` added.
    bool LoadWith(CSetupConfig& config, const std::wstring& elements) {
        return config.LoadProject(WriteProject(MinimalProjectBody() + L"\r\n" + elements).c_str());
    }

    ScopedTempDir dir_;
};

// --- whole projects ---------------------------------------------------------

TEST_F(SetupConfigTest, ProjectWithoutMainFailsEvenWithTheListPresent) {
    CSetupConfig config(Is32Bit);
    EXPECT_FALSE(config.LoadProject(
        WriteProject(L"<UninstallRootDirFileList File=\"UninstallRootDirFileList.xml\" />").c_str()));
    EXPECT_TRUE(config.RootDirListPath().empty());
    EXPECT_EQ(0, config.GetRootDirList()->GetCount());
}

TEST_F(SetupConfigTest, ProjectNamingAMissingListFails) {
    CSetupConfig config(Is32Bit);
    EXPECT_FALSE(config.LoadProject(WriteProject(MinimalProjectBody(), false).c_str()));
}

TEST_F(SetupConfigTest, ListReferenceWithoutFileNameFails) {
    CSetupConfig config(Is32Bit);
    EXPECT_FALSE(config.LoadProject(
        WriteProject(L"<Main Version='1'/><UninstallRootDirFileList File='' />").c_str()));
    CSetupConfig missingAttribute(Is32Bit);
    EXPECT_FALSE(missingAttribute.LoadProject(
        WriteProject(L"<Main Version='1'/><UninstallRootDirFileList />").c_str()));
}

TEST_F(SetupConfigTest, MinimalProjectLoadsWithDefaults) {
    CSetupConfig config(Is64Bit);
    ASSERT_TRUE(config.LoadProject(WriteProject(MinimalProjectBody()).c_str()));
    EXPECT_EQ(0, config.GetCloseProgramCount());
    EXPECT_EQ(0, config.GetUninstProgramCount());
    EXPECT_TRUE(config.GetRundllList().empty());
    EXPECT_EQ(HKEY_LOCAL_MACHINE, config.GetRegRoot());
    EXPECT_EQ(100, config.GetMinimizeSpace());
    EXPECT_EQ(200, config.GetFileCount());
    EXPECT_EQ(0, config.GetCheckFileCount());
    EXPECT_EQ(0, config.GetInstProgramCount());
    wchar_t text[MAX_PATH] = L"junk";
    EXPECT_TRUE(config.GetRegSubKey(text, MAX_PATH));
    EXPECT_STREQ(L"", text);
    EXPECT_TRUE(config.GetRegValueName(text, MAX_PATH));
    EXPECT_STREQ(L"", text);
    EXPECT_TRUE(config.GetMainApp(text, MAX_PATH));
    EXPECT_STREQ(L"", text);
    EXPECT_TRUE(config.FileListPath().empty());
    EXPECT_EQ(dir_.Join(L"UninstallRootDirFileList.xml"), config.RootDirListPath());
    EXPECT_EQ(2, config.GetRootDirList()->GetCount());
    EXPECT_TRUE(config.GetRootDirList()->Contains(L"BIN"));
}

TEST_F(SetupConfigTest, MainAndFileListValuesAreRead) {
    CSetupConfig config(Is32Bit);
    ASSERT_TRUE(config.LoadProject(
        WriteProject(L"<Main Version='' MinimizeSpace='0x40' />"
                     L"<FileList FileCount=' 12' File='lists\\FileList.xml' />"
                     L"<UninstallRootDirFileList File='UninstallRootDirFileList.xml' />"
                     L"<Application MainApp='Kelwpapp.exe' />")
            .c_str()));
    EXPECT_EQ(L"", Version(config));
    EXPECT_EQ(64, config.GetMinimizeSpace());
    EXPECT_EQ(12, config.GetFileCount());
    EXPECT_EQ(dir_.Join(L"lists\\FileList.xml"), config.FileListPath());
    wchar_t mainApp[MAX_PATH];
    EXPECT_TRUE(config.GetMainApp(mainApp, MAX_PATH));
    EXPECT_STREQ(L"Kelwpapp.exe", mainApp);
}

TEST_F(SetupConfigTest, ListInASubfolderIsJoinedWithTheProjectFolder) {
    ASSERT_TRUE(::CreateDirectoryW(dir_.Join(L"sub").c_str(), nullptr));
    ASSERT_TRUE(WriteUtf16File(dir_.Join(L"sub\\roots.xml"), RootListXml(L"<Item Name='Utils'/>", L"")));
    CSetupConfig config(Is32Bit);
    ASSERT_TRUE(config.LoadProject(
        WriteProject(L"<Main/><UninstallRootDirFileList File='sub\\roots.xml' />", false).c_str()));
    EXPECT_TRUE(config.GetRootDirList()->Contains(L"utils"));
}

TEST_F(SetupConfigTest, OnlyTheFirstSetupElementCounts) {
    std::wstring project = dir_.Join(L"tapis.noxprj");
    ASSERT_TRUE(WriteUtf16File(
        project, L"<?xml version=\"1.0\" encoding=\"utf-16\"?><Projects>"
                 L"<Setup><Main Version='first'/><UninstallRootDirFileList File='UninstallRootDirFileList.xml'/></Setup>"
                 L"<Setup><Main Version='second'/><CloseAllPrograms><Program WindowClass='W'/></CloseAllPrograms>"
                 L"</Setup></Projects>"));
    ASSERT_TRUE(WriteUtf16File(dir_.Join(L"UninstallRootDirFileList.xml"), RootListXml(L"", L"")));
    CSetupConfig config(Is32Bit);
    ASSERT_TRUE(config.LoadProject(project.c_str()));
    EXPECT_EQ(L"first", Version(config));
    EXPECT_EQ(0, config.GetCloseProgramCount());
}

TEST_F(SetupConfigTest, Utf8ProjectLoadsToo) {
    std::wstring project = dir_.Join(L"tapis.noxprj");
    ASSERT_TRUE(WriteUtf8File(project, L"<?xml version=\"1.0\" encoding=\"utf-8\"?><Setup>" + MinimalProjectBody() +
                                           L"<Application MainApp='\u684c\u9762.exe'/></Setup>"));
    ASSERT_TRUE(WriteUtf16File(dir_.Join(L"UninstallRootDirFileList.xml"), RootListXml(L"", L"")));
    CSetupConfig config(Is32Bit);
    ASSERT_TRUE(config.LoadProject(project.c_str()));
    wchar_t mainApp[MAX_PATH];
    EXPECT_TRUE(config.GetMainApp(mainApp, MAX_PATH));
    EXPECT_STREQ(L"\u684c\u9762.exe", mainApp);
}

struct BadProjectCase {
    const char* name;
    std::string bytes;
};

class BadProjectTest : public SetupConfigTest, public ::testing::WithParamInterface<BadProjectCase> {};

TEST_P(BadProjectTest, FailsToLoad) {
    std::wstring project = dir_.Join(L"tapis.noxprj");
    ASSERT_TRUE(testing_support::WriteFileBytes(project, GetParam().bytes));
    ASSERT_TRUE(WriteUtf16File(dir_.Join(L"UninstallRootDirFileList.xml"), RootListXml(L"", L"")));
    CSetupConfig config(Is32Bit);
    EXPECT_FALSE(config.LoadProject(project.c_str()));
}

INSTANTIATE_TEST_SUITE_P(
    Documents, BadProjectTest,
    ::testing::Values(BadProjectCase{"plain_text", "tapis project\r\n"},
                      BadProjectCase{"empty_file", std::string()},
                      BadProjectCase{"declared_utf16_but_single_byte",
                                     "<?xml version=\"1.0\" encoding=\"utf-16\"?><Setup><Main/>"
                                     "<UninstallRootDirFileList File='UninstallRootDirFileList.xml'/></Setup>"},
                      BadProjectCase{"truncated_xml", "<Setup><Main Version='1'/><UninstallRootDirFileList File='Unin"},
                      BadProjectCase{"seven_zip_bytes", std::string("7z\xBC\xAF\x27\x1C\x00\x04", 8)},
                      BadProjectCase{"other_root_without_main",
                                     "<Project><Uninstall/><UninstallRootDirFileList "
                                     "File='UninstallRootDirFileList.xml'/></Project>"}),
    [](const ::testing::TestParamInfo<BadProjectCase>& info) { return std::string(info.param.name); });

TEST_F(SetupConfigTest, MissingNullOrDirectoryPathFails) {
    CSetupConfig config(Is32Bit);
    EXPECT_FALSE(config.LoadProject(nullptr));
    EXPECT_FALSE(config.LoadProject(dir_.Join(L"absent.noxprj").c_str()));
    EXPECT_FALSE(config.LoadProject(dir_.path().c_str()));
}

// The project in `folder` named by a path of exactly `length` characters:
// "." parts pad the path without changing the file it names.
std::wstring PaddedProjectPath(const std::wstring& folder, size_t length) {
    const std::wstring file = L"tapis.noxprj";
    std::wstring path = folder + L"\\";
    if ((length - path.size() - file.size()) % 2 != 0) {
        ::CreateDirectoryW((folder + L"\\a").c_str(), nullptr);
        path += L"a\\..\\";
    }
    while (path.size() + file.size() < length) path += L".\\";
    return path + file;
}

TEST_F(SetupConfigTest, ProjectPathsOf512CharactersAreRefused) {
    WriteProject(MinimalProjectBody());
    for (size_t length : {200u, 511u, 512u, 513u}) {
        std::wstring project = PaddedProjectPath(dir_.path(), length);
        ASSERT_EQ(length, project.size());
        CSetupConfig config(Is32Bit);
        EXPECT_EQ(length < 512, config.LoadProject(project.c_str())) << "length " << length;
    }
}

// --- close-program entries --------------------------------------------------

struct CloseCase {
    const char* name;
    std::wstring attributes;
    bool kept;
    UINT message;
    DWORD wParam;
    LONG lParam;
    DWORD timeout;
};

class CloseProgramTest : public SetupConfigTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseProgramTest, EntryFollowsTheAttributes) {
    const CloseCase& c = GetParam();
    CSetupConfig config(Is32Bit);
    ASSERT_TRUE(LoadWith(config, L"<CloseAllPrograms><Program " + c.attributes + L" /></CloseAllPrograms>"));
    ASSERT_EQ(c.kept ? 1 : 0, config.GetCloseProgramCount());
    if (!c.kept) return;
    CloseProgramEntry entry;
    ASSERT_TRUE(config.GetCloseProgram(0, &entry));
    EXPECT_EQ(c.message, entry.message);
    EXPECT_EQ(c.wParam, entry.wParam);
    EXPECT_EQ(c.lParam, entry.lParam);
    EXPECT_EQ(c.timeout, entry.timeout);
}

INSTANTIATE_TEST_SUITE_P(
    Attributes, CloseProgramTest,
    ::testing::Values(
        CloseCase{"command_hex_and_blank", L"WindowClass='W' Message='WM_COMMAND' WPARAM='0x9C4B' LPARAM=' 102'", true,
                  WM_COMMAND, 40011, 102, 2000},
        CloseCase{"decimal", L"WindowClass='W' Message='WM_COMMAND' WPARAM='40011' LPARAM='102' Timeout='750'", true,
                  WM_COMMAND, 40011, 102, 750},
        CloseCase{"lower_case_message_is_close", L"WindowClass='W' Message='wm_command'", true, WM_CLOSE, 0x168,
                  0x168, 2000},
        CloseCase{"quit", L"WindowClass='W' Message='WM_QUIT'", true, WM_QUIT, 0x168, 0x168, 2000},
        CloseCase{"close", L"WindowClass='W' Message='WM_CLOSE'", true, WM_CLOSE, 0x168, 0x168, 2000},
        CloseCase{"unknown_message", L"WindowClass='W' Message='WM_PAINT'", true, WM_CLOSE, 0x168, 0x168, 2000},
        CloseCase{"defaults", L"WindowClass='W'", true, WM_CLOSE, 0x168, 0x168, 2000},
        CloseCase{"empty_numbers_are_zero", L"WindowClass='W' WPARAM='' LPARAM='' Timeout=''", true, WM_CLOSE, 0, 0,
                  0},
        CloseCase{"eleven_character_hex_is_decimal", L"WindowClass='W' WPARAM='0x123456789'", true, WM_CLOSE, 0,
                  0x168, 2000},
        CloseCase{"ten_character_hex", L"WindowClass='W' WPARAM='0xFFFFFFFF' LPARAM='-1'", true, WM_CLOSE,
                  0xFFFFFFFF, -1, 2000},
        CloseCase{"tab_and_blank_before_hex", L"WindowClass='W' Timeout='\t 0x1F4'", true, WM_CLOSE, 0x168, 0x168,
                  500},
        CloseCase{"empty_class_kept", L"WindowClass=''", true, WM_CLOSE, 0x168, 0x168, 2000},
        CloseCase{"missing_class_kept", L"Message='WM_QUIT'", true, WM_QUIT, 0x168, 0x168, 2000},
        CloseCase{"class_of_195_kept", L"WindowClass='" + Repeat(195) + L"'", true, WM_CLOSE, 0x168, 0x168, 2000},
        CloseCase{"class_of_196_dropped", L"WindowClass='" + Repeat(196) + L"'", false, 0, 0, 0, 0},
        CloseCase{"class_of_197_dropped", L"WindowClass='" + Repeat(197) + L"'", false, 0, 0, 0, 0}),
    [](const ::testing::TestParamInfo<CloseCase>& info) { return std::string(info.param.name); });

TEST_F(SetupConfigTest, CloseProgramsKeepDocumentOrderAndFullClassNames) {
    CSetupConfig config(Is32Bit);
    std::wstring longClass = Repeat(195, L'k');
    ASSERT_TRUE(LoadWith(config, L"<CloseAllPrograms><Program WindowClass='first'/>"
                                 L"<Program WindowClass='" + Repeat(196) + L"'/>"
                                 L"<Group><Program WindowClass='" + longClass + L"'/></Group>"
                                 L"</CloseAllPrograms>"));
    ASSERT_EQ(2, config.GetCloseProgramCount());
    CloseProgramEntry entry;
    ASSERT_TRUE(config.GetCloseProgram(0, &entry));
    EXPECT_STREQ(L"first", entry.windowClass);
    ASSERT_TRUE(config.GetCloseProgram(1, &entry));
    EXPECT_EQ(longClass, entry.windowClass);
}

// --- uninstall-program entries ----------------------------------------------

struct CallCase {
    const char* name;
    std::wstring fileName, type, funcName, para, cmdline, signType;
    std::wstring extra;  // further attributes
    bool kept;
    DWORD waitTime;
    DWORD sync;
};

class CallProgramTest : public SetupConfigTest, public ::testing::WithParamInterface<CallCase> {};

TEST_P(CallProgramTest, EntryFollowsTheAttributes) {
    const CallCase& c = GetParam();
    std::wstring attributes = L"FileName='" + c.fileName + L"' Type='" + c.type + L"' FuncName='" + c.funcName +
                              L"' Para='" + c.para + L"' Cmdline='" + c.cmdline + L"' SignType='" + c.signType +
                              L"' " + c.extra;
    CSetupConfig config(Is32Bit);
    ASSERT_TRUE(LoadWith(config, L"<CallProgramOnUninst><Program " + attributes + L"/></CallProgramOnUninst>"));
    ASSERT_EQ(c.kept ? 1 : 0, config.GetUninstProgramCount());
    if (!c.kept) return;
    CallProgramEntry entry;
    ASSERT_TRUE(config.GetUninstProgram(0, &entry));
    EXPECT_EQ(c.fileName, entry.fileName);
    EXPECT_EQ(c.type, entry.type);
    EXPECT_EQ(c.funcName, entry.funcName);
    EXPECT_EQ(c.para, entry.para);
    EXPECT_EQ(c.cmdline, entry.cmdline);
    EXPECT_EQ(c.signType, entry.signType);
    EXPECT_EQ(c.waitTime, entry.waitTime);
    EXPECT_EQ(c.sync, entry.sync);
}

INSTANTIATE_TEST_SUITE_P(
    Attributes, CallProgramTest,
    ::testing::Values(
        CallCase{"defaults", L"a.exe", L"exe", L"", L"", L"", L"", L"", true, 0, 1},
        CallCase{"dll_call", L"Utils\\NOXBasic.dll", L"dll", L"UnRegisterProduct", L"tapis", L"", L"Lumora Studio",
                 L"WaitTime='5000'", true, 5000, 1},
        CallCase{"exe_no_wait", L"quorsrv.exe", L"exe", L"", L"", L"/uninstall /from=tapis", L"",
                 L"WaitTime='0x1388' Sync='0'", true, 5000, 0},
        CallCase{"blank_decimal", L"a.exe", L"exe", L"", L"", L"", L"", L"WaitTime=' 250' Sync=''", true, 250, 0},
        CallCase{"cmdline_259_kept", L"a.exe", L"exe", L"", L"", Repeat(259), L"", L"", true, 0, 1},
        CallCase{"cmdline_260_dropped", L"a.exe", L"exe", L"", L"", Repeat(260), L"", L"", false, 0, 0},
        CallCase{"file_name_260_dropped", Repeat(260), L"exe", L"", L"", L"", L"", L"", false, 0, 0},
        CallCase{"type_260_dropped", L"a.exe", Repeat(260), L"", L"", L"", L"", L"", false, 0, 0},
        CallCase{"func_name_260_dropped", L"a.dll", L"dll", Repeat(260), L"", L"", L"", L"", false, 0, 0},
        CallCase{"para_260_dropped", L"a.dll", L"dll", L"F", Repeat(260), L"", L"", L"", false, 0, 0},
        CallCase{"sign_type_260_dropped", L"a.dll", L"dll", L"F", L"", L"", Repeat(260), L"", false, 0, 0},
        CallCase{"all_259_kept", Repeat(259, L'f'), Repeat(259, L't'), Repeat(259, L'u'), Repeat(259, L'p'),
                 Repeat(259, L'c'), Repeat(259, L's'), L"", true, 0, 1}),
    [](const ::testing::TestParamInfo<CallCase>& info) { return std::string(info.param.name); });

// --- rundll entries ---------------------------------------------------------

struct RundllCase {
    const char* name;
    std::wstring attributes;
    bool keptOn32;
    bool keptOn64;
};

class RundllTest : public SetupConfigTest, public ::testing::WithParamInterface<RundllCase> {};

TEST_P(RundllTest, KeptOnlyForTheSystemsBitness) {
    const RundllCase& c = GetParam();
    std::wstring list = L"<RundllUnRegisterOnUnInst><Item " + c.attributes + L"/></RundllUnRegisterOnUnInst>";
    CSetupConfig on32(Is32Bit);
    ASSERT_TRUE(LoadWith(on32, list));
    EXPECT_EQ(c.keptOn32 ? 1u : 0u, on32.GetRundllList().size());
    CSetupConfig on64(Is64Bit);
    ASSERT_TRUE(LoadWith(on64, list));
    EXPECT_EQ(c.keptOn64 ? 1u : 0u, on64.GetRundllList().size());
}

INSTANTIATE_TEST_SUITE_P(
    Attributes, RundllTest,
    ::testing::Values(
        RundllCase{"system_32", L"FileName='a.dll' Entry='E' Cmdline='--verb=UnInstall' System='32'", true, false},
        RundllCase{"system_64", L"FileName='a.dll' Entry='E' Cmdline='--verb=UnInstall' System='64'", false, true},
        RundllCase{"system_empty", L"FileName='a.dll' System=''", false, false},
        RundllCase{"system_missing", L"FileName='a.dll'", false, false},
        RundllCase{"system_x64", L"FileName='a.dll' System='x64'", false, false},
        RundllCase{"system_with_blank", L"FileName='a.dll' System=' 64'", false, false},
        RundllCase{"entry_259_kept", L"FileName='a.dll' Entry='" + Repeat(259) + L"' System='32'", true, false},
        RundllCase{"entry_260_dropped", L"FileName='a.dll' Entry='" + Repeat(260) + L"' System='32'", false, false},
        RundllCase{"file_name_260_dropped", L"FileName='" + Repeat(260) + L"' System='64'", false, false},
        RundllCase{"cmdline_260_dropped", L"FileName='a.dll' Cmdline='" + Repeat(260) + L"' System='64'", false,
                   false}),
    [](const ::testing::TestParamInfo<RundllCase>& info) { return std::string(info.param.name); });

TEST_F(SetupConfigTest, RundllEntryCarriesItsFields) {
    CSetupConfig config(Is64Bit);
    ASSERT_TRUE(LoadWith(config, L"<RundllUnRegisterOnUnInst>"
                                 L"<Item FileName='Utils\\ext.dll' Entry='Go' Cmdline='--verb=UnInstall' System='64' "
                                 L"WaitTime='5000'/><Item FileName='Utils\\b.dll' System='64'/>"
                                 L"</RundllUnRegisterOnUnInst>"));
    ASSERT_EQ(2u, config.GetRundllList().size());
    const RundllEntry& first = config.GetRundllList()[0];
    EXPECT_STREQ(L"Utils\\ext.dll", first.fileName);
    EXPECT_STREQ(L"Go", first.entry);
    EXPECT_STREQ(L"--verb=UnInstall", first.cmdline);
    EXPECT_EQ(5000u, first.waitTime);
    EXPECT_EQ(0u, config.GetRundllList()[1].waitTime);
}

// --- registry root ----------------------------------------------------------

struct RootCase {
    const char* name;
    std::wstring element;
    HKEY expected;
};

class RegistryRootTest : public SetupConfigTest, public ::testing::WithParamInterface<RootCase> {};

TEST_P(RegistryRootTest, NameSelectsThePredefinedKey) {
    CSetupConfig config(Is32Bit);
    ASSERT_TRUE(LoadWith(config, GetParam().element));
    EXPECT_EQ(GetParam().expected, config.GetRegRoot());
}

INSTANTIATE_TEST_SUITE_P(
    Names, RegistryRootTest,
    ::testing::Values(RootCase{"lower_case_current_user", L"<RegAppPath HKEY='hkey_current_user'/>", HKEY_CURRENT_USER},
                      RootCase{"current_user", L"<RegAppPath HKEY='HKEY_CURRENT_USER'/>", HKEY_CURRENT_USER},
                      RootCase{"abbreviation", L"<RegAppPath HKEY='HKCU'/>", HKEY_LOCAL_MACHINE},
                      RootCase{"users", L"<RegAppPath HKEY='HKEY_USERS'/>", HKEY_USERS},
                      RootCase{"classes_root", L"<RegAppPath HKEY='hkey_classes_root'/>", HKEY_CLASSES_ROOT},
                      RootCase{"current_config", L"<RegAppPath HKEY='Hkey_Current_Config'/>", HKEY_CURRENT_CONFIG},
                      RootCase{"local_machine", L"<RegAppPath HKEY='HKEY_LOCAL_MACHINE'/>", HKEY_LOCAL_MACHINE},
                      RootCase{"leading_blank", L"<RegAppPath HKEY=' HKEY_USERS'/>", HKEY_LOCAL_MACHINE},
                      RootCase{"empty", L"<RegAppPath HKEY=''/>", HKEY_LOCAL_MACHINE},
                      RootCase{"attribute_missing", L"<RegAppPath SubKey='x'/>", HKEY_LOCAL_MACHINE},
                      RootCase{"element_missing", L"", HKEY_LOCAL_MACHINE}),
    [](const ::testing::TestParamInfo<RootCase>& info) { return std::string(info.param.name); });

TEST_F(SetupConfigTest, RegistryPathIsKeptAsWritten) {
    CSetupConfig config(Is32Bit);
    ASSERT_TRUE(LoadWith(config, L"<RegAppPath HKEY='HKEY_LOCAL_MACHINE' "
                                 L"SubKey='SOFTWARE\\\\Microsoft\\\\App Paths\\\\Kelwpapp.exe' Value='Path'/>"));
    wchar_t text[MAX_PATH];
    EXPECT_TRUE(config.GetRegSubKey(text, MAX_PATH));
    EXPECT_STREQ(L"SOFTWARE\\\\Microsoft\\\\App Paths\\\\Kelwpapp.exe", text);
    EXPECT_TRUE(config.GetRegValueName(text, MAX_PATH));
    EXPECT_STREQ(L"Path", text);
}

// --- getters ----------------------------------------------------------------

TEST_F(SetupConfigTest, TextGettersNeedRoomForTheTerminator) {
    CSetupConfig config(Is32Bit);
    ASSERT_TRUE(config.LoadProject(
        WriteProject(L"<Main Version='1.2.1.8888'/><UninstallRootDirFileList File='UninstallRootDirFileList.xml'/>")
            .c_str()));
    wchar_t buffer[16];
    std::wmemset(buffer, L'#', 16);
    EXPECT_FALSE(config.GetVersion(buffer, 10));  // exactly the version's length
    EXPECT_STREQ(L"", buffer);
    EXPECT_TRUE(config.GetVersion(buffer, 11));
    EXPECT_STREQ(L"1.2.1.8888", buffer);
    EXPECT_FALSE(config.GetVersion(nullptr, 16));
    buffer[0] = L'#';
    EXPECT_FALSE(config.GetVersion(buffer, 0));
    EXPECT_EQ(L'#', buffer[0]);
}

TEST_F(SetupConfigTest, EntryGettersZeroTheRecordAndCheckTheIndex) {
    CSetupConfig config(Is32Bit);
    ASSERT_TRUE(LoadWith(config, L"<CloseAllPrograms><Program WindowClass='W'/></CloseAllPrograms>"
                                 L"<CallProgramOnUninst><Program FileName='a.exe'/></CallProgramOnUninst>"));
    CloseProgramEntry close;
    std::memset(&close, 0xAB, sizeof(close));
    EXPECT_FALSE(config.GetCloseProgram(1, &close));
    EXPECT_EQ(0, close.windowClass[0]);
    EXPECT_EQ(0u, close.timeout);
    EXPECT_FALSE(config.GetCloseProgram(-1, &close));
    EXPECT_FALSE(config.GetCloseProgram(0, nullptr));

    CallProgramEntry call;
    std::memset(&call, 0xAB, sizeof(call));
    EXPECT_FALSE(config.GetUninstProgram(1, &call));
    EXPECT_EQ(0u, call.sync);
    EXPECT_TRUE(config.GetUninstProgram(0, &call));
    EXPECT_STREQ(L"a.exe", call.fileName);
    // Zero-filled behind the text.
    EXPECT_EQ(0, call.fileName[MAX_PATH - 1]);

    std::memset(&call, 0xAB, sizeof(call));
    EXPECT_FALSE(config.GetInstProgram(0, &call));
    EXPECT_EQ(0u, call.waitTime);
    wchar_t checkFile[8] = L"junk";
    EXPECT_FALSE(config.GetCheckFile(0, checkFile, 8));
    EXPECT_STREQ(L"", checkFile);
}

// --- loading from the module's resources ------------------------------------

struct ResourceCase {
    const char* name;
    UINT id;
    const wchar_t* type;
    bool loads;
};

class InitConfigTest : public SetupConfigTest, public ::testing::WithParamInterface<ResourceCase> {};

TEST_P(InitConfigTest, LoadsOnlyACompleteArchive) {
    CSetupConfig config(Is32Bit);
    EXPECT_EQ(GetParam().loads, config.InitConfig(::GetModuleHandleW(nullptr), GetParam().id, GetParam().type,
                                                  L"tapis.noxprj"));
}

INSTANTIATE_TEST_SUITE_P(
    Resources, InitConfigTest,
    ::testing::Values(ResourceCase{"good", FIXTURE_GOOD_ARCHIVE, L"SETUPCONFIG", true},
                      ResourceCase{"damaged_data", FIXTURE_DAMAGED_ARCHIVE, L"SETUPCONFIG", false},
                      ResourceCase{"truncated", FIXTURE_TRUNCATED_ARCHIVE, L"SETUPCONFIG", false},
                      ResourceCase{"encrypted", FIXTURE_ENCRYPTED_ARCHIVE, L"SETUPCONFIG", false},
                      ResourceCase{"without_project", FIXTURE_NO_PROJECT_ARCHIVE, L"SETUPCONFIG", false},
                      ResourceCase{"not_an_archive", FIXTURE_NOT_AN_ARCHIVE, L"SETUPCONFIG", false},
                      ResourceCase{"missing_id", 999, L"SETUPCONFIG", false},
                      ResourceCase{"other_type", FIXTURE_GOOD_ARCHIVE, L"OTHERCONFIG", false}),
    [](const ::testing::TestParamInfo<ResourceCase>& info) { return std::string(info.param.name); });

TEST_F(SetupConfigTest, InitConfigReadsTheFixtureProject) {
    CSetupConfig config(Is64Bit);
    ASSERT_TRUE(config.InitConfig(::GetModuleHandleW(nullptr), FIXTURE_GOOD_ARCHIVE, L"SETUPCONFIG", L"tapis.noxprj"));
    EXPECT_EQ(L"9.8.7.6", Version(config));
    EXPECT_EQ(64, config.GetMinimizeSpace());
    EXPECT_EQ(12, config.GetFileCount());
    EXPECT_EQ(HKEY_CURRENT_USER, config.GetRegRoot());
    ASSERT_EQ(1, config.GetCloseProgramCount());
    CloseProgramEntry close;
    ASSERT_TRUE(config.GetCloseProgram(0, &close));
    EXPECT_STREQ(L"FixtureWnd", close.windowClass);
    EXPECT_EQ(static_cast<UINT>(WM_QUIT), close.message);
    EXPECT_EQ(40011u, close.wParam);
    EXPECT_EQ(-1, close.lParam);
    EXPECT_EQ(750u, close.timeout);
    ASSERT_EQ(1, config.GetUninstProgramCount());
    CallProgramEntry call;
    ASSERT_TRUE(config.GetUninstProgram(0, &call));
    EXPECT_STREQ(L"bin\\fixture.exe", call.fileName);
    EXPECT_EQ(0u, call.sync);
    ASSERT_EQ(1u, config.GetRundllList().size());
    EXPECT_STREQ(L"ext64.dll", config.GetRundllList()[0].fileName);
    EXPECT_EQ(5, config.GetRootDirList()->GetCount());

    // The project was read from a fresh GUID folder in the temporary directory,
    // which stays; the archive file written on the way is gone.
    std::wstring folder = config.UnpackFolder();
    EXPECT_EQ(path::Join(temp_.path(), path::FileName(folder)), folder);
    EXPECT_TRUE(path::FileExists(path::Join(folder, L"tapis.noxprj")));
    EXPECT_TRUE(path::FileExists(path::Join(folder, L"UninstallRootDirFileList.xml")));
    EXPECT_EQ(path::Join(folder, L"UninstallRootDirFileList.xml"), config.RootDirListPath());
    size_t tmpEntries = 0;
    for (const std::wstring& name : temp_.Entries())
        if (name.size() > 4 && name.compare(name.size() - 4, 4, L".tmp") == 0) ++tmpEntries;
    EXPECT_EQ(1u, tmpEntries);
}

TEST_F(SetupConfigTest, ReleaseDeletesAHeapConfiguration) {
    CSetupConfig* config = new CSetupConfig(Is32Bit);
    ISetupConfig* asInterface = config;
    EXPECT_EQ(100, asInterface->GetMinimizeSpace());
    config->Release();
}

}  // namespace
