#include "net/Statistic.h"

#include <iphlpapi.h>
#include <urlmon.h>
#include <wininet.h>

#include <cwchar>
#include <memory>
#include <new>
#include <vector>

#include "app/base/PathUtil.h"
#include "app/base/Registry.h"
#include "app/base/Singleton.h"
#include "app/base/SystemLibrary.h"
#include "app/base/WinHandle.h"
#include "net/ServiceHosts.h"
#include "net/TextCodec.h"
#include "sysinfo/MachineId.h"
#include "sysinfo/SystemChecks.h"

namespace statistic {

const wchar_t kUrlTemplate[] =
    LUMORA_STATISTICS_BASE L"/tapis?pid={pid}&type={type}&action={action}&appver={ver}&mid={mid}&mid2={mid2}";

namespace {

using UrlDownloadToFileFn = HRESULT(WINAPI*)(LPUNKNOWN, LPCWSTR, LPCWSTR, DWORD, LPBINDSTATUSCALLBACK);
using DeleteUrlCacheEntryFn = BOOL(WINAPI*)(LPCWSTR);
using InternetGetConnectedStateFn = BOOL(WINAPI*)(LPDWORD, DWORD);
using GetAdaptersInfoFn = ULONG(WINAPI*)(PIP_ADAPTER_INFO, PULONG);

void ReplaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to) {
    if (from.empty()) return;
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// One fetch, shared by the thread that runs it and the caller that waits for it.
class FetchJob {
public:
    FetchJob(const std::wstring& url, DWORD timeoutMs)
        : url_(url), timeoutMs_(timeoutMs), start_(::GetTickCount()),
          done_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    FetchJob(const FetchJob&) = delete;
    FetchJob& operator=(const FetchJob&) = delete;

    void AddRef() { ::InterlockedIncrement(&refs_); }
    void Release() {
        if (::InterlockedDecrement(&refs_) == 0) delete this;
    }

    const std::wstring& Url() const { return url_; }
    HANDLE Done() const { return done_.get(); }
    bool Valid() const { return done_.valid(); }
    // The caller stopped waiting, or the time is up: the download should end.
    bool ShouldStop() const {
        return ::InterlockedCompareExchange(const_cast<volatile LONG*>(&abandoned_), 0, 0) != 0 ||
               ::GetTickCount() - start_ > timeoutMs_;
    }
    void Abandon() { ::InterlockedExchange(&abandoned_, 1); }
    void Finish(HRESULT result) {
        result_ = result;
        ::SetEvent(done_.get());
    }
    HRESULT Result() const { return result_; }

private:
    ~FetchJob() = default;

    volatile LONG refs_ = 1;
    std::wstring url_;
    DWORD timeoutMs_;
    DWORD start_;
    volatile LONG abandoned_ = 0;
    HRESULT result_ = E_FAIL;
    win::UniqueHandle done_;
};

// Aborts the download at its next progress report once the job should stop.
// The download function reports no progress while a server stalls, which is
// why the caller's wait is bounded separately.
class CBoundedBindCallback final : public IBindStatusCallback {
public:
    explicit CBoundedBindCallback(FetchJob* job) : job_(job) { job_->AddRef(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IBindStatusCallback) {
            *object = static_cast<IBindStatusCallback*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ::InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = ::InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return Continue(); }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override { return Continue(); }
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return Continue(); }
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

private:
    ~CBoundedBindCallback() { job_->Release(); }
    HRESULT Continue() const { return job_->ShouldStop() ? E_ABORT : S_OK; }

    volatile LONG refs_ = 1;
    FetchJob* job_;
};

void ForgetCachedCopy(const std::wstring& url) {
    // Every report must reach the server, and a report's URL repeats whenever
    // an action does: no copy of an earlier answer may stand in for it.
    if (auto forget = win::SystemFunction<DeleteUrlCacheEntryFn>(L"wininet.dll", "DeleteUrlCacheEntryW"))
        forget(url.c_str());
}

// The answer goes to a private temporary file that is deleted at once: reports
// are fire-and-forget. URLDownloadToCacheFileW is not used: Wine's names the
// cache file after the URL's "extension" (from the last dot on, "/" and "?"
// included), which fails for a dotted host and crashes for long URLs.
HRESULT DownloadAndDiscard(FetchJob* job) {
    auto download = win::SystemFunction<UrlDownloadToFileFn>(L"urlmon.dll", "URLDownloadToFileW");
    if (download == nullptr) return E_NOTIMPL;
    std::wstring folder = path::TempDirectory();
    wchar_t file[MAX_PATH] = {};
    if (::GetTempFileNameW(folder.c_str(), L"lst", 0, file) == 0) return HRESULT_FROM_WIN32(::GetLastError());
    auto* callback = new (std::nothrow) CBoundedBindCallback(job);
    HRESULT result = E_OUTOFMEMORY;
    if (callback != nullptr) {
        ForgetCachedCopy(job->Url());
        result = download(nullptr, job->Url().c_str(), file, 0, callback);
        ForgetCachedCopy(job->Url());
        callback->Release();
    }
    ::DeleteFileW(file);
    return result;
}

DWORD WINAPI FetchThread(void* parameter) {
    FetchJob* job = static_cast<FetchJob*>(parameter);
    HRESULT result = E_FAIL;
    {
        win::ComApartment apartment(COINIT_APARTMENTTHREADED);
        result = DownloadAndDiscard(job);
    }
    job->Finish(result);
    job->Release();
    return 0;
}

// Asynchronous report threads still running.
volatile LONG g_pendingReports = 0;

struct ReportJob {
    std::wstring url;
    DWORD timeoutMs;
};

bool IsOnlineNow();

DWORD WINAPI ReportThread(void* parameter) {
    std::unique_ptr<ReportJob> job(static_cast<ReportJob*>(parameter));
    if (!job->url.empty() && IsOnlineNow()) FetchUrl(job->url, job->timeoutMs);
    job.reset();
    ::InterlockedDecrement(&g_pendingReports);
    return 0;
}

bool HasGatewayNow() {
    auto getAdaptersInfo = win::SystemFunction<GetAdaptersInfoFn>(L"iphlpapi.dll", "GetAdaptersInfo");
    if (getAdaptersInfo == nullptr) return false;
    ULONG size = 648;
    std::vector<unsigned char> buffer(size);
    ULONG result = getAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        buffer.assign(size, 0);
        result = getAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size);
    }
    if (result != ERROR_SUCCESS) return false;
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        if (adapter->GatewayList.IpAddress.String[0] != '\0') return true;
    }
    return false;
}

bool IsOnlineNow() {
    auto connectedState =
        win::SystemFunction<InternetGetConnectedStateFn>(L"wininet.dll", "InternetGetConnectedState");
    DWORD flags = 0;
    if (connectedState != nullptr && connectedState(&flags, 0) &&
        (flags & (INTERNET_CONNECTION_MODEM | INTERNET_CONNECTION_LAN | INTERNET_CONNECTION_PROXY)) != 0)
        return true;
    return HasGatewayNow();
}

}  // namespace

std::wstring FillTemplate(const std::wstring& urlTemplate, const ReportFields& fields) {
    std::wstring url = urlTemplate;
    ReplaceAll(url, L"{type}", fields.type);
    ReplaceAll(url, L"{action}", fields.action);
    ReplaceAll(url, L"{ver}", fields.ver);
    ReplaceAll(url, L"{modver}", fields.modver);
    ReplaceAll(url, L"{mid}", fields.mid);
    ReplaceAll(url, L"{mid2}", fields.mid2);
    ReplaceAll(url, L"{pid}", fields.pid);
    return url;
}

bool FetchUrl(const std::wstring& url, DWORD timeoutMs) {
    if (url.empty() || timeoutMs == 0) return false;
    auto* job = new (std::nothrow) FetchJob(url, timeoutMs);
    if (job == nullptr) return false;
    if (!job->Valid()) {
        job->Release();
        return false;
    }
    job->AddRef();  // the thread's reference
    win::UniqueHandle thread(::CreateThread(nullptr, 0, FetchThread, job, 0, nullptr));
    if (!thread) {
        job->Release();
        job->Release();
        return false;
    }
    // A single-threaded apartment keeps serving COM calls and sent messages
    // while it waits; other threads simply wait.
    HANDLE done = job->Done();
    DWORD index = 0;
    HRESULT waited = ::CoWaitForMultipleHandles(0, timeoutMs, 1, &done, &index);
    if (waited == CO_E_NOTINITIALIZED)
        waited = ::WaitForSingleObject(done, timeoutMs) == WAIT_OBJECT_0 ? S_OK : RPC_S_CALLPENDING;
    bool finished = waited == S_OK && index == 0;
    bool fetched = finished && job->Result() >= 0;
    if (!finished) job->Abandon();
    job->Release();
    return fetched;
}

}  // namespace statistic

// ---- OemConfig ---------------------------------------------------------------

void OemConfig::Load(HKEY root, const std::wstring& productKey) {
    oem_ = false;
    values_.clear();
    std::wstring flag = registry::ReadString(root, productKey.c_str(), L"oem_f", 260, KEY_WOW64_32KEY);
    if (!text::EqualsNoCase(flag, L"1")) return;
    oem_ = true;

    win::UniqueRegKey key;
    std::wstring configKey = productKey + L"\\oemconfig";
    if (::RegOpenKeyExW(root, configKey.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS)
        return;

    constexpr DWORD kMaxNameChars = 4096;
    constexpr DWORD kMaxDataBytes = 8192;
    std::vector<wchar_t> name(kMaxNameChars + 1);
    std::vector<BYTE> data(kMaxDataBytes);
    for (DWORD index = 0;; ++index) {
        DWORD nameChars = kMaxNameChars + 1;
        DWORD type = 0;
        DWORD size = kMaxDataBytes;
        LONG result = ::RegEnumValueW(key.get(), index, name.data(), &nameChars, nullptr, &type, data.data(), &size);
        if (result == ERROR_MORE_DATA) continue;  // name or data too long: skipped
        if (result != ERROR_SUCCESS) break;
        if (type != REG_SZ && type != REG_EXPAND_SZ) continue;
        // Only whole UTF-16 text that carries its terminator.
        if (size != 0 && (size % sizeof(wchar_t) != 0 ||
                          reinterpret_cast<const wchar_t*>(data.data())[size / sizeof(wchar_t) - 1] != L'\0'))
            continue;
        const wchar_t* text = reinterpret_cast<const wchar_t*>(data.data());
        std::wstring cipherValue(text, size == 0 ? 0 : wcsnlen(text, size / sizeof(wchar_t)));
        std::wstring plainName = DecryptTextW(std::wstring(name.data(), nameChars), kOemConfigKey);
        std::wstring plainValue = DecryptTextW(cipherValue, kOemConfigKey);
        if (!plainName.empty() && !plainValue.empty()) values_[plainName] = plainValue;
    }
}

const std::wstring* OemConfig::Find(const std::wstring& name) const {
    auto found = values_.find(name);
    return found != values_.end() ? &found->second : nullptr;
}

std::wstring ApplyOemHostOverride(const OemConfig& oem, const std::wstring& url) {
    if (!oem.IsOem()) return url;
    const std::wstring* host = oem.Find(L"statis");
    if (host == nullptr) return url;
    size_t scheme = url.find(L"://");
    if (scheme == std::wstring::npos) return url;
    size_t start = scheme + 3;
    size_t end = url.find(L'/', start);
    std::wstring current = url.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
    size_t port = current.find(L':', 1);
    if (port != std::wstring::npos) current.resize(port);
    std::wstring result = url;
    statistic::ReplaceAll(result, current, *host);
    return result;
}

// ---- CStatistic -----------------------------------------------------------------

CStatistic::CStatistic() : CStatistic(Sources()) {}

CStatistic::CStatistic(const Sources& sources) : sources_(sources), oem_(L"tapis") {
    oem_.Load(sources_.productRoot, sources_.productKey);
}

CStatistic* CStatistic::Instance() { return CSingletonT<CStatistic>::Instance(); }

bool CStatistic::SendUrl(const wchar_t* url, bool synchronous) {
    if (url == nullptr) return false;
    std::wstring target = ApplyOemHostOverride(oem_, url);
    return Download(target.c_str(), !synchronous);
}

bool CStatistic::GetFileVersion(const wchar_t* path, wchar_t* out, size_t capacity) {
    return GetFixedFileVersion(path, out, capacity);
}

bool CStatistic::IsOnline() { return statistic::IsOnlineNow(); }

bool CStatistic::HasGateway() { return statistic::HasGatewayNow(); }

bool CStatistic::Download(const wchar_t* url, bool asynchronous) {
    if (url == nullptr) return false;
    if (!asynchronous) return statistic::FetchUrl(url, fetchTimeoutMs_);

    auto* job = new (std::nothrow) statistic::ReportJob{std::wstring(url).substr(0, kMaxAsyncUrlChars), fetchTimeoutMs_};
    if (job == nullptr) return false;
    ::InterlockedIncrement(&statistic::g_pendingReports);
    // The report thread runs on its own; nothing waits for it by handle.
    win::UniqueHandle thread(::CreateThread(nullptr, 0, statistic::ReportThread, job, 0, nullptr));
    if (!thread) {
        ::InterlockedDecrement(&statistic::g_pendingReports);
        delete job;
        return false;
    }
    return true;
}

void CStatistic::GetMid(wchar_t* out, size_t capacity) { ::GetMid(out, capacity); }

HRESULT CStatistic::GetMid2(wchar_t* out, size_t capacity) { return ::GetMid2(out, capacity); }

void CStatistic::SetUpProduct() {
    SetType(L"tapis");
    std::wstring folder = registry::ReadString(sources_.productRoot, sources_.productKey.c_str(), L"path",
                                               kFieldChars, KEY_WOW64_32KEY);
    if (!folder.empty() && path::DirectoryExists(folder))
        SetVer(path::Join(folder, L"lumdesk.exe").c_str());
}

void CStatistic::SetType(const wchar_t* type) {
    _BaseModule::CAutoLocker hold(lock_);
    type_ = type != nullptr ? type : L"";
}

void CStatistic::SetVer(const wchar_t* path) {
    wchar_t version[kFieldChars] = {};
    bool found = path != nullptr && GetFileVersion(path, version, kFieldChars);
    _BaseModule::CAutoLocker hold(lock_);
    ver_ = found ? version : L"";
}

void CStatistic::FillEmptyFields() {
    wchar_t buffer[kFieldChars];
    if (mid_.empty()) {
        buffer[0] = L'\0';
        GetMid(buffer, kFieldChars);
        mid_ = buffer;
    }
    if (mid2_.empty()) {
        buffer[0] = L'\0';
        if (SUCCEEDED(GetMid2(buffer, kFieldChars))) mid2_ = buffer;
    }
    if (ver_.empty()) {
        std::wstring product = path::Join(path::ModuleDirectory(), L"lumdesk.exe");
        buffer[0] = L'\0';
        if (GetFileVersion(product.c_str(), buffer, kFieldChars)) ver_ = buffer;
    }
    if (pid_.empty())
        pid_ = registry::ReadString(sources_.userRoot, sources_.userKey.c_str(), L"pid", kFieldChars);
    if (modver_.empty()) {
        std::wstring self = path::ModulePath();
        buffer[0] = L'\0';
        if (GetFileVersion(self.c_str(), buffer, kFieldChars)) modver_ = buffer;
    }
}

std::wstring CStatistic::ActionUrl(const wchar_t* action, const wchar_t* extra) {
    if (action == nullptr || *action == L'\0') return std::wstring();
    statistic::ReportFields fields;
    {
        _BaseModule::CAutoLocker hold(lock_);
        if (type_.empty()) return std::wstring();
        FillEmptyFields();
        fields = {type_, action, ver_, modver_, mid_, mid2_, pid_};
    }
    std::wstring url = statistic::FillTemplate(statistic::kUrlTemplate, fields);
    if (extra != nullptr) url += extra;
    return url;
}

bool CStatistic::SendAction(const wchar_t* action, const wchar_t* extra, bool synchronous) {
    std::wstring url = ActionUrl(action, extra);
    if (url.empty()) return false;
    return SendUrl(url.c_str(), synchronous);
}

bool CStatistic::WaitForPendingReports(DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    while (::InterlockedCompareExchange(&statistic::g_pendingReports, 0, 0) != 0) {
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(10);
    }
    return true;
}
