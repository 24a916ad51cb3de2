#include "app/SmartLogger.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <locale.h>

#include "app/base/PathUtil.h"


namespace {

constexpr unsigned kFallbackCodePage = 936;

// Converts to the runtime locale's code page, writing each line feed as CR LF,
// as a text-mode stream of the runtime library would.
std::string ToTextModeBytes(const std::wstring& text) {
    unsigned codePage = ___lc_codepage_func();
    if (codePage == 0) codePage = kFallbackCodePage;
    // One UTF-16 unit never takes more than 4 bytes, CR included for a line feed.
    std::string out(text.size() * 4 + 1, '\0');
    int converted = text.empty() ? 0
                                 : ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                                         &out[0], static_cast<int>(out.size()), nullptr, nullptr);
    if (converted <= 0) return std::string();
    out.resize(static_cast<size_t>(converted));
    size_t feeds = static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
    if (feeds == 0) return out;
    std::string withReturns;
    withReturns.reserve(out.size() + feeds);
    for (char c : out) {
        if (c == '\n') withReturns.push_back('\r');
        withReturns.push_back(c);
    }
    return withReturns;
}

// Constructs the process logger during static initialisation.
CSmartLogger& g_processLogger = CSmartLogger::Process();

}  // namespace

std::wstring LogTimeStamp() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    // Lines come in bursts within one second: format each second once per thread.
    thread_local SYSTEMTIME cachedTime = {};
    thread_local wchar_t cachedStamp[32] = {};
    if (now.wSecond != cachedTime.wSecond || now.wMinute != cachedTime.wMinute || now.wHour != cachedTime.wHour ||
        now.wDay != cachedTime.wDay || now.wMonth != cachedTime.wMonth || now.wYear != cachedTime.wYear ||
        cachedStamp[0] == L'\0') {
        _snwprintf(cachedStamp, 32, L"%04d-%02d-%02d %02d:%02d:%02d ", now.wYear, now.wMonth, now.wDay, now.wHour,
                   now.wMinute, now.wSecond);
        cachedStamp[31] = L'\0';
        cachedTime = now;
    }
    return cachedStamp;
}

CSmartLogger::CSmartLogger() = default;
CSmartLogger::~CSmartLogger() = default;

CSmartLogger& CSmartLogger::Process() {
    static CSmartLogger logger;
    return logger;
}

void CSmartLogger::SetLogPath(const std::wstring& path) {
    _BaseModule::CAutoLocker hold(lock_);
    file_.reset();
    appendLock_.reset();
    appendLockDisabled_ = false;
    path_ = path;
    if (path_.empty() || !path::FileExists(path_)) return;

    unsigned long long size = 0;
    {
        win::UniqueFile probe(::CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER value;
        if (probe && ::GetFileSizeEx(probe.get(), &value)) size = static_cast<unsigned long long>(value.QuadPart);
    }
    if (size > kMaxFileSize) ::DeleteFileW(path_.c_str());
}

size_t CSmartLogger::AddLine(const std::wstring& text) {
    _BaseModule::CAutoLocker hold(lock_);
    std::wstring line = LogTimeStamp() + text;
    if (!text.empty() && text.back() != L'\n') line.push_back(L'\n');
    pending_.push_back(std::move(line));
    size_t count = pending_.size();
    if (count > kMaxPendingLines) Flush();
    return count;
}

bool CSmartLogger::OpenFile() {
    std::wstring directory = path::Parent(path_);
    if (!directory.empty() && !path::DirectoryExists(directory))
        ::SHCreateDirectoryExW(nullptr, directory.c_str(), nullptr);
    if (!directory.empty() && !path::DirectoryExists(directory)) return false;
    file_.reset(::CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) return false;
    if (!appendLock_) appendLock_ = std::make_unique<CCrossProcessLock>(path_);
    return true;
}

bool CSmartLogger::AppendToFile(const std::string& bytes) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!file_ && !OpenFile()) return false;
        // Writers of the same log, in this or another process, take the append
        // lock around "seek to the end, write", so no line overwrites another.
        // A writer that cannot get it in time writes anyway, and stops asking.
        bool locked = !appendLockDisabled_ && appendLock_->Acquire(kAppendLockWaitMs);
        if (!locked) appendLockDisabled_ = true;
        LARGE_INTEGER zero = {};
        DWORD written = 0;
        bool ok = ::SetFilePointerEx(file_.get(), zero, nullptr, FILE_END) &&
                  ::WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
        if (locked) appendLock_->Release();
        if (ok) return true;
        // The kept handle went stale (file deleted or replaced): reopen once.
        file_.reset();
    }
    return false;
}

int CSmartLogger::Flush() {
    _BaseModule::CAutoLocker hold(lock_);
    if (path_.empty()) return 0;

    int result = 0;
    std::wstring batch;
    if (headerPending_)
        batch = L"\r\n================== Start Log:" + LogTimeStamp() + L" ==================\n";
    for (const std::wstring& line : pending_) batch += line;
    if (AppendToFile(ToTextModeBytes(batch))) {
        headerPending_ = 0;
        result = 1;
    }
    // Lines that could not be written are dropped, as when the file is unavailable.
    pending_.clear();
    return result;
}

void CSmartLogger::WriteV(const wchar_t* format, va_list args) {
    if (format == nullptr) return;
    wchar_t message[kMaxMessageChars + 1];
    int length = _vsnwprintf(message, kMaxMessageChars, format, args);
    if (length < 0 || length > kMaxMessageChars) return;
    message[length] = L'\0';
    AddLine(std::wstring(message, static_cast<size_t>(length)));
    Flush();
}

void WriteLog(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CSmartLogger::Process().WriteV(format, args);
    va_end(args);
}
