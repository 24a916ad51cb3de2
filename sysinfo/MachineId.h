// The two machine identifiers that the statistics and feedback services use to
// tell machines apart. Both are derived from hardware, hashed, and cached in the
// registry (32-bit view) where the maker's other programs read the same values.
//   "mid":  32 lower-case hex digits; the cache is consulted on every request.
//   "mid2": 40 hex digits of SHA-1, 2 of flags, 2 of CRC-8 check value; made at
//           most once per process.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <cstddef>
#include <string>

#include "app/base/Locker.h"
#include "sysinfo/HardwareProbe.h"

// The "mid" text, cut to size - 1 characters; nothing for a null buffer or size 0.
void GetMid(wchar_t* buffer, size_t size);
// The "mid2" text: E_INVALIDARG for a null buffer or a size below 50 characters.
HRESULT GetMid2(wchar_t* buffer, size_t size);

// Extension interface of the maker's shared components. Only the slot order
// matters to callers; this program implements none of the operations.
class IExtend : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE Reserved1(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved2(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved3(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved4(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved5(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved6(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c) = 0;
    // Forwards to InvokeEx with 0 as the second argument.
    virtual HRESULT STDMETHODCALLTYPE Invoke(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c) = 0;
    virtual HRESULT STDMETHODCALLTYPE InvokeEx(ULONG_PTR a, ULONG_PTR flags, ULONG_PTR b, ULONG_PTR c) = 0;
    virtual ~IExtend() = default;
};

// IExtend with every operation answering E_NOTIMPL.
class CEmptyExtendImpl : public IExtend {
public:
    HRESULT STDMETHODCALLTYPE Reserved1(ULONG_PTR, ULONG_PTR, ULONG_PTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved2(ULONG_PTR, ULONG_PTR, ULONG_PTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved3(ULONG_PTR, ULONG_PTR, ULONG_PTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4(ULONG_PTR, ULONG_PTR, ULONG_PTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5(ULONG_PTR, ULONG_PTR, ULONG_PTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6(ULONG_PTR, ULONG_PTR, ULONG_PTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(ULONG_PTR a, ULONG_PTR b, ULONG_PTR c) override { return InvokeEx(a, 0, b, c); }
    HRESULT STDMETHODCALLTYPE InvokeEx(ULONG_PTR, ULONG_PTR, ULONG_PTR, ULONG_PTR) override { return E_NOTIMPL; }
};

class INewMID : public IUnknown {
public:
    // Copies the identifier; a too-small buffer receives the truncated text and
    // STRSAFE_E_INSUFFICIENT_BUFFER.
    virtual HRESULT STDMETHODCALLTYPE GetMid2(wchar_t* buffer, ULONG size) = 0;
};

// {5B3E6F21-9C47-4D0A-8E2B-6A1F0C9D7E43}
extern const IID IID_INewMID;

namespace machine_id {

// A registry value with its "previous value" companion, in one key and view.
struct CacheLocation {
    HKEY root;
    std::wstring subkey;
    REGSAM view;
    std::wstring value;
    std::wstring oldValue;
};

// HKLM "Software\Orbis2\Virira" "mid"/"mid_old" and HKLM "SOFTWARE\Trivela"
// "m2"/"m2_old", both in the 32-bit view.
CacheLocation MidCacheLocation();
CacheLocation Mid2CacheLocation();

// ---- "mid" ------------------------------------------------------------------

// The identity text used when the machine gives no hardware data at all.
extern const char kMidFailedText[];  // "Mid2Failed"

// Whether a cached "mid" value (identifier followed by its hash) is valid; the
// identifier on success.
bool ParseMidCache(const std::string& cached, std::string& identifier);
// The "mid" identifier: the cached one when valid, else computed from the probe
// and stored (unless no hardware data was found).
std::string ResolveMid(IHardwareProbe& probe, const CacheLocation& cache);

// ---- "mid2" -----------------------------------------------------------------

constexpr size_t kMid2Length = 44;
constexpr size_t kMid2MaxLength = 49;

enum Mid2Flags : unsigned {
    kMid2FlagAdapter = 0x01,
    kMid2FlagDisk = 0x02,
    kMid2FlagProcessor = 0x08,
    kMid2FlagRandom = 0x10,
    kMid2FlagHashed = 0x20,
};

struct Mid2Components {
    std::string adapter;
    std::string disk;
    std::string processor;
};

// Builds the 44-character identifier from the components; true when it is a
// real (hardware-derived) identifier. Without adapter and disk it is random.
bool ComposeMid2(const Mid2Components& components, bool elevated, IHardwareProbe& probe, std::string& id);

struct Mid2CacheState {
    bool valid = false;
    bool random = false;  // valid and starting with "ffffffff"
    std::string value;    // the valid value
};

// Whether a registry value (type and raw bytes) is a valid "mid2" cache entry.
Mid2CacheState ParseMid2Cache(DWORD type, const void* data, DWORD size);
Mid2CacheState ReadMid2Cache(const CacheLocation& cache);
// Creates the key if needed, keeps a different previous value in the old-value
// slot, and writes the new value; false when the registry refused.
bool WriteMid2Cache(const CacheLocation& cache, const std::string& value);

// The "mid2" decision: cache, hardware, one retry after 500 ms, and storing.
std::string ResolveMid2(IHardwareProbe& probe, const CacheLocation& cache);

}  // namespace machine_id

// The process-wide "mid2" provider: computes the identifier once and keeps it.
class CNoxMID2 final : public CEmptyExtendImpl, public INewMID {
public:
    CNoxMID2(machine_id::IHardwareProbe& probe, machine_id::CacheLocation cache);
    ~CNoxMID2() override = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }   // one instance for the
    ULONG STDMETHODCALLTYPE Release() override { return 1; }  // process; never freed
    HRESULT STDMETHODCALLTYPE GetMid2(wchar_t* buffer, ULONG size) override;

    // The process's instance, created on first use; null only when memory ran out.
    static CNoxMID2* Instance();

private:
    machine_id::IHardwareProbe& probe_;
    machine_id::CacheLocation cache_;
    _BaseModule::CCriticalSection lock_;
    bool computed_ = false;
    wchar_t id_[machine_id::kMid2MaxLength + 1] = {};
};
