#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "support/TestSupport.h"

using testing_support::ReadFileBytes;
using testing_support::ScopedTempDir;

namespace {

void Log(CSmartLogger& logger, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    logger.WriteV(format, args);
    va_end(args);
}

const char kStamp[] = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )";

std::string HeaderPattern() {
    return std::string(R"(\r\r\n================== Start Log:)") + kStamp + R"( ==================\r\n)";
}

size_t CountOf(const std::string& haystack, const std::string& needle) {
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++count;
    return count;
}

bool MakeSizedFile(const std::wstring& path, unsigned long long size) {
    win::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    LARGE_INTEGER target;
    target.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFilePointerEx(file.get(), target, nullptr, FILE_BEGIN) && ::SetEndOfFile(file.get());
}

unsigned long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

TEST(SmartLogger, FirstEntryOfProcessStartsWithHeaderThenTimeStampedLines) {
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"tapis_uninst.log");
    CSmartLogger logger;
    logger.SetLogPath(file);
    Log(logger, L"hello %d", 42);
    Log(logger, L"second %s", L"line");

    std::string expected = HeaderPattern() + kStamp + R"(hello 42\r\n)" + kStamp + R"(second line\r\n)";
    EXPECT_TRUE(std::regex_match(ReadFileBytes(file), std::regex(expected))) << ReadFileBytes(file);
}

TEST(SmartLogger, LineFeedRulesAndPercentSignsInArguments) {
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"log.txt");
    CSmartLogger logger;
    logger.SetLogPath(file);
    Log(logger, L"ends with feed\n");
    Log(logger, L"");
    Log(logger, L"value %s", L"100%s %d done");

    std::string expected = HeaderPattern() + kStamp + R"(ends with feed\r\n)" + kStamp + kStamp +
                           R"(value 100%s %d done\r\n)";
    EXPECT_TRUE(std::regex_match(ReadFileBytes(file), std::regex(expected))) << ReadFileBytes(file);
}

TEST(SmartLogger, MessagesOver511CharactersAreDropped) {
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"log.txt");
    CSmartLogger logger;
    logger.SetLogPath(file);
    Log(logger, L"%s", std::wstring(511, L'a').c_str());
    Log(logger, L"%s", std::wstring(512, L'b').c_str());

    std::string content = ReadFileBytes(file);
    EXPECT_NE(content.find(std::string(511, 'a') + "\r\n"), std::string::npos);
    EXPECT_EQ(content.find('b'), std::string::npos);
}

TEST(SmartLogger, ChineseTextIsWrittenInCodePage936) {
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"log.txt");
    CSmartLogger logger;
    logger.SetLogPath(file);
    Log(logger, L"%s", L"卸载程序");
    // GBK: 卸 D0B6, 载 D4D8, 程 B3CC, 序 D0F2.
    EXPECT_NE(ReadFileBytes(file).find("\xD0\xB6\xD4\xD8\xB3\xCC\xD0\xF2\r\n"), std::string::npos);
}

TEST(SmartLogger, LinesAddedBeforeThePathIsSetAreWrittenByTheFirstFlush) {
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"nested\\deeper\\log.txt");
    CSmartLogger logger;
    EXPECT_EQ(logger.AddLine(L"early"), 1u);
    EXPECT_EQ(logger.Flush(), 0);
    logger.SetLogPath(file);
    Log(logger, L"late");
    std::string expected = HeaderPattern() + kStamp + R"(early\r\n)" + kStamp + R"(late\r\n)";
    EXPECT_TRUE(std::regex_match(ReadFileBytes(file), std::regex(expected))) << ReadFileBytes(file);
}

TEST(SmartLogger, SizeRuleDeletesOnlyFilesOverOneGibibyte) {
    ScopedTempDir dir;
    struct Case {
        unsigned long long size;
        bool deleted;
    } cases[] = {{CSmartLogger::kMaxFileSize + 1, true}, {CSmartLogger::kMaxFileSize, false}};
    for (const Case& c : cases) {
        std::wstring file = dir.Join(L"big.log");
        ASSERT_TRUE(MakeSizedFile(file, c.size));
        {
            CSmartLogger logger;
            logger.SetLogPath(file);
            EXPECT_EQ(path::FileExists(file), !c.deleted) << c.size;
            Log(logger, L"after");
        }
        if (c.deleted) {
            EXPECT_LT(FileSize(file), 1000u);
        } else {
            EXPECT_GT(FileSize(file), c.size);
        }
        ::DeleteFileW(file.c_str());
    }
}

TEST(SmartLogger, AFileHeldWithoutSharingLosesTheLinesButNothingFails) {
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"log.txt");
    {
        win::UniqueFile holder(::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                             0, nullptr));
        ASSERT_TRUE(holder.valid());
        CSmartLogger logger;
        logger.SetLogPath(file);
        Log(logger, L"lost");
        EXPECT_EQ(logger.Flush(), 0);
        holder.reset();
        Log(logger, L"kept");
    }
    std::string content = ReadFileBytes(file);
    EXPECT_EQ(content.find("lost"), std::string::npos);
    EXPECT_NE(content.find("kept"), std::string::npos);
    EXPECT_EQ(CountOf(content, "Start Log:"), 1u);
}

TEST(SmartLogger, ThreadsNeverMixWithinALine) {
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"log.txt");
    CSmartLogger logger;
    logger.SetLogPath(file);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < 200; ++i) Log(logger, L"thread %d line %d %s", t, i, std::wstring(60, L'x').c_str());
        });
    for (auto& thread : threads) thread.join();

    std::string content = ReadFileBytes(file);
    std::regex line(std::string(kStamp) + R"(thread \d line \d+ x{60}\r\n)");
    EXPECT_EQ(std::distance(std::sregex_iterator(content.begin(), content.end(), line), std::sregex_iterator()),
              800);
}

// Two processes append to one file: every line of both arrives whole, each
// process's share starts with its own header.
TEST(SmartLogger, TwoProcessesAppendToTheSameFileWithoutLosingLines) {
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"shared.log");
    std::wstring self = path::ModulePath();
    auto start = [&](const wchar_t* tag) {
        std::wstring commandLine = L"\"" + self + L"\" --role log-writer \"" + file + L"\" 500 " + tag;
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        EXPECT_TRUE(::CreateProcessW(self.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                     &si, &pi));
        ::CloseHandle(pi.hThread);
        return win::UniqueHandle(pi.hProcess);
    };
    win::UniqueHandle first = start(L"AAA"), second = start(L"BBB");
    HANDLE both[] = {first.get(), second.get()};
    ASSERT_EQ(::WaitForMultipleObjects(2, both, TRUE, 120000), WAIT_OBJECT_0);

    std::string content = ReadFileBytes(file);
    EXPECT_EQ(CountOf(content, "Start Log:"), 2u);
    for (const char* tag : {"AAA", "BBB"}) {
        std::regex line(std::string(kStamp) + "writer " + tag + R"( \d+ y{100}\r\n)");
        EXPECT_EQ(std::distance(std::sregex_iterator(content.begin(), content.end(), line), std::sregex_iterator()),
                  500)
            << tag;
    }
}

namespace {
// Child role: log-writer FILE COUNT TAG.
int RunLogWriter(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    CSmartLogger logger;
    logger.SetLogPath(argv[0]);
    int count = _wtoi(argv[1]);
    for (int i = 0; i < count; ++i) Log(logger, L"writer %s %d %s", argv[2], i, std::wstring(100, L'y').c_str());
    return 0;
}
testing_support::ChildRoleRegistrar g_logWriter(L"log-writer", &RunLogWriter);
}  // namespace
