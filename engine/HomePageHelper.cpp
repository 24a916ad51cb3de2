#include "engine/HomePageHelper.h"

#include <vector>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "sysinfo/SystemChecks.h"

const wchar_t kHomePageHelperFile[] = L"wallpaperhelper\\guardhp.exe";

bool RunUninstallDesk(const std::wstring& installDir) {
    if (installDir.empty()) return false;
    std::wstring helper = path::Join(installDir, kHomePageHelperFile);

    // Held open without write or delete sharing from the check to the start, so
    // the file that runs is the file that was checked.
    win::UniqueFile pinned(::CreateFileW(helper.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!pinned) return false;
    if (!IsTrustedFile(helper.c_str())) return false;

    std::wstring commandLine =
        L"\"" + helper + L"\" /UnInstallDesk /LockHomePagePath=\"" + helper + L"\" /Pid=tapis";
    if (commandLine.size() >= kMaxHomePageHelperCommandChars) return false;
    // CreateProcessW may write into the command line.
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started = {};
    if (!::CreateProcessW(helper.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &started))
        return false;
    win::UniqueHandle process(started.hProcess);
    win::UniqueHandle thread(started.hThread);
    pinned.reset();

    if (::WaitForSingleObject(process.get(), kHomePageHelperWaitMs) == WAIT_TIMEOUT) {
        WriteLog(L"等待进程退出超时");
    }
    return true;
}
