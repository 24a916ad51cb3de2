// Statistics reporting: every noteworthy event of a run becomes one HTTP GET to
// the statistics server, fetched through the system's URL download function.
// Reports are fire-and-forget, except the synchronous ones the caller waits for
// (bounded). Nothing is logged or shown on failure.
//
// Use: CStatistic::Instance()->SetUpProduct() once at start-up, then
// SendAction(action, extra, synchronous) for every event.
#pragma once

#include <windows.h>

#include <map>
#include <string>

#include "app/base/Locker.h"

// The product's application-path key (HKLM, read in the 32-bit view).
inline constexpr wchar_t kProductAppPathsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Kelwpapp.exe";
// The per-user product key holding the partner identifier "pid".
inline constexpr wchar_t kProductUserKey[] = L"Software\\KelWallPaper";
// Names the failing step in start-up's "unist_init_fail" reports:
// "&%s=PreInitCheck:%d" and "&%s=InitConfigFaile".
inline constexpr wchar_t kStatisticsKey[] = L"{842908E2-421A-857d-D244-4D39A6C8E42E}";

// The OEM settings the installer leaves for a partner build: a flag ("oem_f")
// and encrypted name/value pairs under "oemconfig".
class OemConfig {
public:
    explicit OemConfig(const wchar_t* product = L"tapis") : product_(product != nullptr ? product : L"") {}

    // Reads root\productKey (32-bit view): "oem_f" equal to "1" (any case) sets
    // the flag, and only then are the values of its "oemconfig" sub-key read.
    void Load(HKEY root, const std::wstring& productKey);

    const std::wstring& Product() const { return product_; }
    bool IsOem() const { return oem_; }
    // The decrypted value stored under `name` (case-sensitive), or null.
    const std::wstring* Find(const std::wstring& name) const;
    const std::map<std::wstring, std::wstring>& Values() const { return values_; }

private:
    std::wstring product_;
    bool oem_ = false;
    std::map<std::wstring, std::wstring> values_;
};

// The URL with the statistics host replaced by the OEM config's "statis" value
// (every occurrence of the host text); unchanged without the flag or the value.
std::wstring ApplyOemHostOverride(const OemConfig& oem, const std::wstring& url);

class CStatistic final {
public:
    // Where the reporter's registry inputs live; the defaults are the product's.
    struct Sources {
        HKEY productRoot = HKEY_LOCAL_MACHINE;
        std::wstring productKey = kProductAppPathsKey;  // "oem_f", "oemconfig"
        HKEY userRoot = HKEY_CURRENT_USER;
        std::wstring userKey = kProductUserKey;  // "pid"
    };

    // Reads the OEM configuration once, from the product's key.
    CStatistic();
    explicit CStatistic(const Sources& sources);
    ~CStatistic() = default;
    CStatistic(const CStatistic&) = delete;
    CStatistic& operator=(const CStatistic&) = delete;

    // The process's reporter (CSingletonT); null only when memory ran out.
    static CStatistic* Instance();

    // 0: applies the OEM host override, then downloads (asynchronously unless
    // `synchronous`).
    virtual bool SendUrl(const wchar_t* url, bool synchronous);
    // 1: the fixed file version "a.b.c.d"; false without a usable version resource.
    virtual bool GetFileVersion(const wchar_t* path, wchar_t* out, size_t capacity);
    // 2: a modem, LAN or proxy connection, else whether any adapter has a gateway.
    virtual bool IsOnline();
    // 3: whether any network adapter has a default gateway.
    virtual bool HasGateway();
    // 4: asynchronous: hands the URL (cut to 2047 characters) to a short-lived
    // thread that fetches it when the machine is online, and returns true once
    // the thread runs. Synchronous: fetches at once and returns the result.
    virtual bool Download(const wchar_t* url, bool asynchronous);
    // 5, 6: the machine identifiers.
    virtual void GetMid(wchar_t* out, size_t capacity);
    virtual HRESULT GetMid2(wchar_t* out, size_t capacity);

    // Start-up's set-up: SetType("tapis") and, when the product's "path"
    // (application-path key) names an existing folder, SetVer on its lumdesk.exe.
    void SetUpProduct();
    // The product type code ("tapis"); nothing is reported while it is empty.
    void SetType(const wchar_t* type);
    // The reported application version: the file version of `path`.
    void SetVer(const wchar_t* path);

    // Reports `action`, with `extra` appended to the query verbatim. True when
    // the report was handed to its thread or, when synchronous, was fetched.
    bool SendAction(const wchar_t* action, const wchar_t* extra, bool synchronous);
    // The URL SendAction would request (before the OEM override); empty when
    // nothing would be sent. Fills the empty fields like SendAction.
    std::wstring ActionUrl(const wchar_t* action, const wchar_t* extra);

    const OemConfig& Oem() const { return oem_; }

    // Upper bound of one fetch: a synchronous caller waits at most this long,
    // and an asynchronous report thread gives up after it.
    static constexpr DWORD kDefaultFetchTimeoutMs = 15000;
    void SetFetchTimeout(DWORD timeoutMs) { fetchTimeoutMs_ = timeoutMs; }

    // Waits until every asynchronous report thread has ended, at most
    // `timeoutMs`; true when none is left. Optional: nothing needs to wait for
    // them, and they never hold up the process's exit.
    static bool WaitForPendingReports(DWORD timeoutMs);

    static constexpr size_t kFieldChars = 260;
    static constexpr size_t kMaxAsyncUrlChars = 2047;

private:
    void FillEmptyFields();

    _BaseModule::CCriticalSection lock_;
    Sources sources_;
    std::wstring ver_;
    std::wstring mid_;
    std::wstring type_;
    std::wstring pid_;
    std::wstring modver_;
    std::wstring mid2_;
    OemConfig oem_;
    DWORD fetchTimeoutMs_ = kDefaultFetchTimeoutMs;
};

namespace statistic {

// The statistics URL template and its filling, in the fixed order of the
// placeholders, by plain text replacement (no URL encoding).
extern const wchar_t kUrlTemplate[];
struct ReportFields {
    std::wstring type, action, ver, modver, mid, mid2, pid;
};
std::wstring FillTemplate(const std::wstring& urlTemplate, const ReportFields& fields);

// One GET of `url` through the system's URL download function (urlmon), on a
// thread of its own, bounded by `timeoutMs`: a fetch still running then is
// abandoned (it aborts at its next progress report and its thread ends on its
// own). The answer is written to a temporary file and deleted. True when the
// download function succeeded in time.
bool FetchUrl(const std::wstring& url, DWORD timeoutMs);

}  // namespace statistic
