// Cost of WriteLog against the bare file appends it performs.
#include <windows.h>

#include <cstdio>
#include <locale.h>
#include <string>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"

namespace {

constexpr int kLines = 20000;

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

void Log(CSmartLogger& logger, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    logger.WriteV(format, args);
    va_end(args);
}

}  // namespace

int main() {
    _wsetlocale(LC_ALL, L"chs");
    std::wstring dir = path::TempDirectory();
    std::wstring logFile = path::Join(dir, L"bench_writelog.log");
    std::wstring bareFile = path::Join(dir, L"bench_bare.log");
    ::DeleteFileW(logFile.c_str());
    ::DeleteFileW(bareFile.c_str());
    const wchar_t* sample = L"C:\\Program Files (x86)\\Lumora\\wallpaper\\cache\\item.dat";

    LARGE_INTEGER t0, t1, t2;
    ::QueryPerformanceCounter(&t0);
    {
        CSmartLogger logger;
        logger.SetLogPath(logFile);
        for (int i = 0; i < kLines; ++i) Log(logger, L"delete file [%s] %d ok", sample, i);
    }
    ::QueryPerformanceCounter(&t1);
    {
        win::UniqueFile file(::CreateFileW(bareFile.c_str(), FILE_APPEND_DATA,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_ALWAYS, 0, nullptr));
        char line[256];
        for (int i = 0; i < kLines; ++i) {
            int length = std::snprintf(line, sizeof(line),
                                       "2026-01-01 00:00:00 delete file [C:\\Program Files (x86)\\Lumora\\wallpaper"
                                       "\\cache\\item.dat] %d ok\r\n",
                                       i);
            DWORD written = 0;
            ::WriteFile(file.get(), line, static_cast<DWORD>(length), &written, nullptr);
        }
    }
    ::QueryPerformanceCounter(&t2);
    double logged = Seconds(t0, t1), bare = Seconds(t1, t2);
    std::printf("writelog: %d lines in %.3f s\n", kLines, logged);
    std::printf("bare appends: %d lines in %.3f s\n", kLines, bare);
    std::printf("log: writelog/bare = %.2f\n", bare > 0 ? logged / bare : 0.0);
    ::DeleteFileW(logFile.c_str());
    ::DeleteFileW(bareFile.c_str());
    return 0;
}
