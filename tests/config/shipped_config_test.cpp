// The setup archive embedded in the built Uninstall.exe, read the way start-up
// reads it, against the shipped source files it was packed from.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <iostream>
#include <string>
#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "config/ResourceUnpack.h"
#include "config/SetupConfig.h"
#include "config/config_test_support.h"
#include "support/TestSupport.h"

using config_test::ConfigTest;
using config_test::ShippedSourcePath;
using testing_support::ReadFileBytes;

namespace {

bool Is64Bit() { return true; }
bool Is32Bit() { return false; }

constexpr UINT kSetupConfigId = 209;

std::wstring Text(bool (CSetupConfig::*getter)(wchar_t*, int), CSetupConfig& config) {
    wchar_t buffer[1024];
    EXPECT_TRUE((config.*getter)(buffer, 1024));
    return buffer;
}

std::vector<RootDirItem> Items(IUninstallRootDirList& list) {
    std::vector<RootDirItem> items(static_cast<size_t>(list.GetCount()));
    for (int i = 0; i < list.GetCount(); ++i) EXPECT_TRUE(list.GetItem(i, &items[static_cast<size_t>(i)]));
    return items;
}

class ShippedConfigTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        std::wstring uninstaller = path::Join(testing_support::BuildDir(), L"Uninstall.exe");
        module_.reset(::LoadLibraryExW(uninstaller.c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        ASSERT_TRUE(module_.valid()) << "cannot map " << text::ToUtf8(uninstaller);
    }

    win::UniqueModule module_;
};

TEST_F(ShippedConfigTest, ShippedSourcesAreUtf16WithByteOrderMark) {
    for (const wchar_t* name : {L"tapis.noxprj", L"UninstallRootDirFileList.xml"}) {
        std::string bytes = ReadFileBytes(ShippedSourcePath(name));
        ASSERT_GT(bytes.size(), 2u) << text::ToUtf8(name);
        EXPECT_EQ(std::string("\xFF\xFE", 2), bytes.substr(0, 2));
        std::wstring textOf(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
        EXPECT_EQ(0u, textOf.find(L"<?xml version=\"1.0\" encoding=\"utf-16\"?>")) << text::ToUtf8(name);
    }
}

TEST_F(ShippedConfigTest, EmbeddedArchiveUnpacksToTheShippedSources) {
    CResourceUnpack resource;
    ASSERT_TRUE(resource.Init(module_.get(), MAKEINTRESOURCEW(kSetupConfigId), L"SETUPCONFIG"));
    std::cout << "[ figures  ] embedded setup archive: " << resource.Size() << " bytes" << std::endl;
    // A 7z archive.
    ASSERT_GT(resource.Size(), 6u);
    EXPECT_EQ(0, std::memcmp(resource.Data(), "7z\xBC\xAF\x27\x1C", 6));

    CSetupConfig config;
    ULONGLONG started = ::GetTickCount64();
    ASSERT_TRUE(config.InitConfig(reinterpret_cast<HINSTANCE>(module_.get()), kSetupConfigId, L"SETUPCONFIG",
                                  L"tapis.noxprj"));
    std::cout << "[ figures  ] InitConfig: " << (::GetTickCount64() - started) << " ms" << std::endl;
    for (const wchar_t* name : {L"tapis.noxprj", L"UninstallRootDirFileList.xml"})
        EXPECT_EQ(ReadFileBytes(ShippedSourcePath(name)), ReadFileBytes(path::Join(config.UnpackFolder(), name)))
            << text::ToUtf8(name);
}

TEST_F(ShippedConfigTest, EmbeddedProjectReadsLikeTheShippedSource) {
    for (CSetupConfig::SystemBitnessProbe probe : {&Is32Bit, &Is64Bit}) {
        CSetupConfig embedded(probe);
        ASSERT_TRUE(embedded.InitConfig(reinterpret_cast<HINSTANCE>(module_.get()), kSetupConfigId, L"SETUPCONFIG",
                                        L"tapis.noxprj"));
        CSetupConfig source(probe);
        ASSERT_TRUE(source.LoadProject(ShippedSourcePath(L"tapis.noxprj").c_str()));

        EXPECT_EQ(Text(&CSetupConfig::GetVersion, source), Text(&CSetupConfig::GetVersion, embedded));
        EXPECT_EQ(Text(&CSetupConfig::GetMainApp, source), Text(&CSetupConfig::GetMainApp, embedded));
        EXPECT_EQ(Text(&CSetupConfig::GetRegSubKey, source), Text(&CSetupConfig::GetRegSubKey, embedded));
        EXPECT_EQ(Text(&CSetupConfig::GetRegValueName, source), Text(&CSetupConfig::GetRegValueName, embedded));
        EXPECT_EQ(source.GetRegRoot(), embedded.GetRegRoot());
        EXPECT_EQ(source.GetMinimizeSpace(), embedded.GetMinimizeSpace());
        EXPECT_EQ(source.GetFileCount(), embedded.GetFileCount());
        EXPECT_EQ(path::FileName(source.FileListPath()), path::FileName(embedded.FileListPath()));

        ASSERT_EQ(source.GetCloseProgramCount(), embedded.GetCloseProgramCount());
        for (int i = 0; i < source.GetCloseProgramCount(); ++i) {
            CloseProgramEntry a, b;
            ASSERT_TRUE(source.GetCloseProgram(i, &a));
            ASSERT_TRUE(embedded.GetCloseProgram(i, &b));
            EXPECT_EQ(0, std::memcmp(&a, &b, sizeof(a))) << "close program " << i;
        }
        ASSERT_EQ(source.GetUninstProgramCount(), embedded.GetUninstProgramCount());
        for (int i = 0; i < source.GetUninstProgramCount(); ++i) {
            CallProgramEntry a, b;
            ASSERT_TRUE(source.GetUninstProgram(i, &a));
            ASSERT_TRUE(embedded.GetUninstProgram(i, &b));
            EXPECT_EQ(0, std::memcmp(&a, &b, sizeof(a))) << "uninstall program " << i;
        }
        ASSERT_EQ(source.GetRundllList().size(), embedded.GetRundllList().size());
        for (size_t i = 0; i < source.GetRundllList().size(); ++i)
            EXPECT_EQ(0, std::memcmp(&source.GetRundllList()[i], &embedded.GetRundllList()[i], sizeof(RundllEntry)));

        std::vector<RootDirItem> sourceItems = Items(*source.GetRootDirList());
        std::vector<RootDirItem> embeddedItems = Items(*embedded.GetRootDirList());
        ASSERT_EQ(sourceItems.size(), embeddedItems.size());
        for (size_t i = 0; i < sourceItems.size(); ++i)
            EXPECT_EQ(0, std::memcmp(&sourceItems[i], &embeddedItems[i], sizeof(RootDirItem))) << "item " << i;
    }
}

// What the product's project must say, whatever else is edited around it.
TEST_F(ShippedConfigTest, ShippedProjectDescribesTheProduct) {
    CSetupConfig config(&Is64Bit);
    ASSERT_TRUE(config.InitConfig(reinterpret_cast<HINSTANCE>(module_.get()), kSetupConfigId, L"SETUPCONFIG",
                                  L"tapis.noxprj"));
    EXPECT_EQ(L"1.2.1.8888", Text(&CSetupConfig::GetVersion, config));
    EXPECT_EQ(200, config.GetMinimizeSpace());
    EXPECT_EQ(L"Kelwpapp.exe", Text(&CSetupConfig::GetMainApp, config));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, config.GetRegRoot());
    EXPECT_EQ(L"SOFTWARE\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\App Paths\\\\Kelwpapp.exe",
              Text(&CSetupConfig::GetRegSubKey, config));
    EXPECT_EQ(L"Path", Text(&CSetupConfig::GetRegValueName, config));
    EXPECT_EQ(200, config.GetFileCount());
    EXPECT_EQ(L"FileList.xml", path::FileName(config.FileListPath()));
    EXPECT_EQ(L"UninstallRootDirFileList.xml", path::FileName(config.RootDirListPath()));

    ASSERT_EQ(2, config.GetCloseProgramCount());
    std::vector<std::wstring> classes;
    for (int i = 0; i < 2; ++i) {
        CloseProgramEntry entry;
        ASSERT_TRUE(config.GetCloseProgram(i, &entry));
        EXPECT_EQ(static_cast<UINT>(WM_COMMAND), entry.message);
        EXPECT_EQ(40011u, entry.wParam);
        EXPECT_EQ(102, entry.lParam);
        classes.push_back(entry.windowClass);
    }
    EXPECT_EQ(L"KelWallPaperCtrlCls", classes[1]);
    EXPECT_NE(std::wstring::npos, classes[0].find(L"KelWallPaper"));

    IUninstallRootDirList& roots = *config.GetRootDirList();
    ASSERT_EQ(9, config.GetUninstProgramCount());
    int libraries = 0, productCodeCalls = 0, fromTapis = 0, uninst = 0;
    for (int i = 0; i < 9; ++i) {
        CallProgramEntry entry;
        ASSERT_TRUE(config.GetUninstProgram(i, &entry));
        std::wstring type = entry.type, file = entry.fileName, cmdline = entry.cmdline;
        EXPECT_EQ(5000u, entry.waitTime) << text::ToUtf8(file);
        EXPECT_EQ(1u, entry.sync) << text::ToUtf8(file);
        if (type == L"dll") {
            ++libraries;
            EXPECT_NE(L'\0', entry.funcName[0]) << text::ToUtf8(file);
            if (std::wstring(entry.para) == L"tapis") ++productCodeCalls;
        } else {
            EXPECT_EQ(L"exe", type);
            if (cmdline == L"/uninstall /from=tapis") ++fromTapis;
            if (cmdline == L"--uninst") ++uninst;
        }
        // Every companion lies in the installation directory or a listed folder of it.
        std::wstring top = file.substr(0, file.find(L'\\'));
        EXPECT_TRUE(roots.Contains(top.c_str())) << text::ToUtf8(file);
    }
    EXPECT_EQ(4, libraries);
    EXPECT_EQ(1, productCodeCalls);
    EXPECT_EQ(4, fromTapis);
    EXPECT_EQ(1, uninst);

    for (CSetupConfig::SystemBitnessProbe probe : {&Is32Bit, &Is64Bit}) {
        CSetupConfig bitness(probe);
        ASSERT_TRUE(bitness.LoadProject(ShippedSourcePath(L"tapis.noxprj").c_str()));
        ASSERT_EQ(1u, bitness.GetRundllList().size());
        const RundllEntry& entry = bitness.GetRundllList()[0];
        EXPECT_STREQ(L"--verb=UnInstall", entry.cmdline);
        EXPECT_EQ(5000u, entry.waitTime);
        std::wstring file = entry.fileName;
        EXPECT_EQ(probe == &Is64Bit, file.find(L"64") != std::wstring::npos) << text::ToUtf8(file);
        EXPECT_TRUE(roots.Contains(file.substr(0, file.find(L'\\')).c_str())) << text::ToUtf8(file);
    }
}

TEST_F(ShippedConfigTest, SuccessfulLoadLogsTheCounts) {
    std::wstring log = path::Join(path::ModuleDirectory(), L"config_tests.log");
    ::DeleteFileW(log.c_str());
    CSmartLogger::Process().SetLogPath(log);
    CSetupConfig config(&Is64Bit);
    ASSERT_TRUE(config.InitConfig(reinterpret_cast<HINSTANCE>(module_.get()), kSetupConfigId, L"SETUPCONFIG",
                                  L"tapis.noxprj"));
    CSmartLogger::Process().Flush();
    std::string written = ReadFileBytes(log);
    EXPECT_NE(std::string::npos, written.find("setup config loaded in ")) << written;
    EXPECT_NE(std::string::npos,
              written.find("close programs[2] uninstall programs[9] rundll items[1] root dir items[51] "
                           "(dirs 13, files 38) version[1.2.1.8888]"))
        << written;
}

TEST_F(ShippedConfigTest, ShippedRootListNamesTheInstallationDirectory) {
    CSetupConfig config(&Is64Bit);
    ASSERT_TRUE(config.InitConfig(reinterpret_cast<HINSTANCE>(module_.get()), kSetupConfigId, L"SETUPCONFIG",
                                  L"tapis.noxprj"));
    CUninstallRootDirList& roots = config.RootDirList();
    EXPECT_EQ(51, roots.GetCount());
    EXPECT_EQ(13, roots.DirectoryCount());
    EXPECT_EQ(38, roots.FileCount());
    for (const RootDirItem& item : Items(roots)) EXPECT_EQ(0u, item.optional) << text::ToUtf8(item.name);
    for (const wchar_t* name : {L"Utils", L"wallpaperhelper", L"RarOzo"}) {
        RootDirItem item;
        bool found = false;
        for (int i = 0; i < roots.GetCount() && roots.GetItem(i, &item); ++i)
            if (std::wstring(item.name) == name) found = item.isDirectory == 1;
        EXPECT_TRUE(found) << text::ToUtf8(name);
    }
    for (const wchar_t* name : {L"Uninstall.exe", L"lumdesk.exe", L"Kelwpapp.exe", L"quorsrv.exe", L"Kelwpsrv.exe",
                                L"config.set", L"KelDarIR.dll", L"Vadazevu.exe", L"FileList.xml"})
        EXPECT_TRUE(roots.Contains(name)) << text::ToUtf8(name);
    for (const wchar_t* name : {L"utils", L"UTILS", L"uninstall.EXE"}) EXPECT_TRUE(roots.Contains(name));
}

}  // namespace
