#include "app/SmartLogger.h"

#include <windows.h>
#include <shlobj.h>

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
    std::string converted = text::ToCodePage(text, codePage);
    std::string out;
    out.reserve(converted.size() + 8);
    for (char c : converted) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

// Constructs the process logger during static initialisation.
CSmartLogger& g_processLogger = CSmartLogger::Process();

}  // namespace

std::wstring LogTimeStamp() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t stamp[32];
    _snwprintf(stamp, 32, L"%04d-%02d-%02d %02d:%02d:%02d ", now.wYear, now.wMonth, now.wDay, now.wHour,
               now.wMinute, now.wSecond);
    stamp[31] = L'\0';
    return stamp;
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

namespace {

// Writers of the shared log take this byte-range lock (far past any real end
// of file) around "seek to end, write", so two processes never overwrite each
// other's lines. A writer that cannot get it within the bound writes anyway.
class AppendLock {
public:
    explicit AppendLock(HANDLE file) : file_(file) {
        overlapped_.Offset = 0xFFFFFFF0u;
        overlapped_.OffsetHigh = 0x3FFFFFFFu;
        for (DWORD waited = 0; waited < kMaxWaitMs; waited += kPollMs) {
            if (::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &overlapped_)) {
                held_ = true;
                return;
            }
            ::Sleep(kPollMs);
        }
    }
    ~AppendLock() {
        if (held_) ::UnlockFileEx(file_, 0, 1, 0, &overlapped_);
    }
    AppendLock(const AppendLock&) = delete;
    AppendLock& operator=(const AppendLock&) = delete;

private:
    static constexpr DWORD kMaxWaitMs = 5000;
    static constexpr DWORD kPollMs = 1;
    HANDLE file_;
    OVERLAPPED overlapped_ = {};
    bool held_ = false;
};

}  // namespace

bool CSmartLogger::AppendToFile(const std::string& bytes) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!file_) {
            file_.reset(::CreateFileW(path_.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file_) return false;
        }
        {
            AppendLock lock(file_.get());
            LARGE_INTEGER zero = {};
            DWORD written = 0;
            if (::SetFilePointerEx(file_.get(), zero, nullptr, FILE_END) &&
                ::WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                written == bytes.size())
                return true;
        }
        // The kept handle went stale (file deleted or replaced): reopen once.
        file_.reset();
    }
    return false;
}

int CSmartLogger::Flush() {
    _BaseModule::CAutoLocker hold(lock_);
    if (path_.empty()) return 0;

    int result = 0;
    std::wstring directory = path::Parent(path_);
    if (!directory.empty() && !path::DirectoryExists(directory))
        ::SHCreateDirectoryExW(nullptr, directory.c_str(), nullptr);
    if (directory.empty() || path::DirectoryExists(directory)) {
        std::wstring batch;
        if (headerPending_)
            batch = L"\r\n================== Start Log:" + LogTimeStamp() + L" ==================\n";
        for (const std::wstring& line : pending_) batch += line;
        if (AppendToFile(ToTextModeBytes(batch))) {
            headerPending_ = 0;
            result = 1;
        }
    }
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
