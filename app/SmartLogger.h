// The process-wide log: one time-stamped line per WriteLog, appended to the log
// file before the call returns, in the runtime locale's code page.
#pragma once

#include <cstdarg>
#include <list>
#include <memory>
#include <string>

#include "app/base/CrossProcessLock.h"
#include "app/base/Locker.h"
#include "app/base/WinHandle.h"

class CSmartLogger {
public:
    CSmartLogger();
    virtual ~CSmartLogger();
    CSmartLogger(const CSmartLogger&) = delete;
    CSmartLogger& operator=(const CSmartLogger&) = delete;

    // Sets the file; an existing file larger than 1 GiB is deleted first.
    void SetLogPath(const std::wstring& path);
    // Time-stamps the text and queues it; returns the number of queued lines.
    size_t AddLine(const std::wstring& text);
    // Appends every queued line to the file; 1 when the file was written.
    int Flush();
    // Formats (at most 511 characters; longer messages are dropped) and writes.
    void WriteV(const wchar_t* format, va_list args);

    // The process's logger, constructed before wWinMain.
    static CSmartLogger& Process();

    static constexpr unsigned long long kMaxFileSize = 1ull << 30;
    static constexpr int kMaxMessageChars = 511;
    static constexpr size_t kMaxPendingLines = 100;

private:
    static constexpr DWORD kAppendLockWaitMs = 5000;

    bool OpenFile();
    bool AppendToFile(const std::string& bytes);

    _BaseModule::CCriticalSection lock_;
    std::list<std::wstring> pending_;
    std::wstring path_;
    int headerPending_ = 1;
    // Kept open between writes; each batch of lines is appended in one write
    // under the append lock, so lines of two processes sharing the file never mix.
    win::UniqueFile file_;
    std::unique_ptr<CCrossProcessLock> appendLock_;
    bool appendLockDisabled_ = false;
};

// Local time as "YYYY-MM-DD hh:mm:ss " (with the trailing blank).
std::wstring LogTimeStamp();

// printf-style wide logging into the process's log (runtime-library rules:
// "%s" takes a wide string).
void WriteLog(const wchar_t* format, ...);
