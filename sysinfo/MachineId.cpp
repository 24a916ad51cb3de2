#include "sysinfo/MachineId.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "app/base/WinHandle.h"
#include "sysinfo/Crc8.h"
#include "sysinfo/Md5Variant.h"
#include "sysinfo/Sha1.h"

// {5B3E6F21-9C47-4D0A-8E2B-6A1F0C9D7E43}
const IID IID_INewMID = {0x5b3e6f21, 0x9c47, 0x4d0a, {0x8e, 0x2b, 0x6a, 0x1f, 0x0c, 0x9d, 0x7e, 0x43}};

namespace machine_id {

const char kMidFailedText[] = "Mid2Failed";

namespace {

constexpr size_t kIdentityTextLimit = 4095;
constexpr DWORD kMidCacheReadLimit = 1024;
constexpr char kRandomPrefix[] = "ffffffff";
constexpr char kNotElevatedPrefix[] = "eeeeeeee";
constexpr DWORD kRetryPauseMs = 500;

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

bool AllHex(const std::string& text) { return std::all_of(text.begin(), text.end(), IsHex); }

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t length = std::strlen(prefix);
    return text.size() >= length && EqualsNoCase(text.substr(0, length), prefix);
}

std::string Narrow(const std::wstring& ascii) { return std::string(ascii.begin(), ascii.end()); }

win::UniqueRegKey OpenCacheKey(const CacheLocation& cache, REGSAM access) {
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(cache.root, cache.subkey.c_str(), 0, access | cache.view, key.put()) != ERROR_SUCCESS)
        key.reset();
    return key;
}

win::UniqueRegKey CreateCacheKey(const CacheLocation& cache) {
    win::UniqueRegKey key;
    if (::RegCreateKeyExW(cache.root, cache.subkey.c_str(), 0, nullptr, 0,
                          KEY_QUERY_VALUE | KEY_SET_VALUE | cache.view, nullptr, key.put(),
                          nullptr) != ERROR_SUCCESS)
        key.reset();
    return key;
}

// ---- "mid" cache: ANSI strings written without their terminating zero ------

bool ReadAnsiString(HKEY key, const std::wstring& name, std::string& text) {
    char buffer[kMidCacheReadLimit + 1] = {};
    DWORD type = 0;
    DWORD size = kMidCacheReadLimit;
    if (::RegQueryValueExA(key, Narrow(name).c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    text.assign(buffer, strnlen(buffer, std::min<DWORD>(size, kMidCacheReadLimit)));
    return true;
}

bool WriteAnsiString(HKEY key, const std::wstring& name, const std::string& text) {
    return ::RegSetValueExA(key, Narrow(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                            static_cast<DWORD>(text.size())) == ERROR_SUCCESS;
}

void StoreMid(const CacheLocation& cache, const std::string& id) {
    win::UniqueRegKey key = CreateCacheKey(cache);
    if (!key) return;
    std::string current;
    if (ReadAnsiString(key.get(), cache.value, current) && !current.empty() && current != id)
        WriteAnsiString(key.get(), cache.oldValue, current);
    WriteAnsiString(key.get(), cache.value, id + MidHash(id));
}

void AppendLimited(std::string& text, const std::string& part) {
    if (text.size() >= kIdentityTextLimit) return;
    text.append(part, 0, kIdentityTextLimit - text.size());
}

// ---- "mid2" cache: wide strings with their terminating zero ------------------

bool ReadWideString(HKEY key, const std::wstring& name, std::wstring& text) {
    wchar_t buffer[kMidCacheReadLimit + 1] = {};
    DWORD type = 0;
    DWORD size = kMidCacheReadLimit * sizeof(wchar_t);
    if (::RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    text.assign(buffer, wcsnlen(buffer, std::min<DWORD>(size / sizeof(wchar_t), kMidCacheReadLimit)));
    return true;
}

bool WriteWideString(HKEY key, const std::wstring& name, const std::wstring& text) {
    return ::RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

std::string Hex2(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", value & 0xff);
    return text;
}

std::string GuidHex(const GUID& guid) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&guid);
    std::string text;
    for (size_t i = 0; i < sizeof guid; ++i) text += Hex2(bytes[i]);
    return text;
}

// Asks the probe for the components still missing; true when any turned up.
bool Collect(IHardwareProbe& probe, Mid2Components& components) {
    bool found = false;
    auto fill = [&](std::string& slot, std::string (IHardwareProbe::*query)()) {
        if (!slot.empty()) return;
        slot = (probe.*query)();
        found = found || !slot.empty();
    };
    fill(components.adapter, &IHardwareProbe::Mid2AdapterText);
    fill(components.disk, &IHardwareProbe::Mid2DiskText);
    fill(components.processor, &IHardwareProbe::Mid2ProcessorText);
    return found;
}

bool HasHardware(const Mid2Components& c) { return !c.adapter.empty() || !c.disk.empty(); }

}  // namespace

CacheLocation MidCacheLocation() {
    return {HKEY_LOCAL_MACHINE, L"Software\\Orbis2\\Virira", KEY_WOW64_32KEY, L"mid", L"mid_old"};
}

CacheLocation Mid2CacheLocation() {
    return {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Trivela", KEY_WOW64_32KEY, L"m2", L"m2_old"};
}

// ---- "mid" ------------------------------------------------------------------

bool ParseMidCache(const std::string& cached, std::string& identifier) {
    if (cached.size() != 64) return false;
    std::string head = cached.substr(0, 32);
    // Only a hex identifier is accepted: the text goes into request addresses.
    if (!AllHex(head) || !EqualsNoCase(cached.substr(32), MidHash(head))) return false;
    identifier = head;
    return true;
}

std::string ResolveMid(IHardwareProbe& probe, const CacheLocation& cache) {
    if (win::UniqueRegKey key = OpenCacheKey(cache, KEY_QUERY_VALUE)) {
        std::string cached, identifier;
        if (ReadAnsiString(key.get(), cache.value, cached) && ParseMidCache(cached, identifier)) return identifier;
    }

    std::string identity;
    AppendLimited(identity, probe.MidProcessorText());
    AppendLimited(identity, probe.MidDiskSerial());
    AppendLimited(identity, probe.MidMacAddress());
    bool failed = identity.empty();
    if (failed) identity = kMidFailedText;

    std::string id = MidHash(identity);
    // A machine that gave no data keeps no cache, so a later run may do better.
    if (!failed) StoreMid(cache, id);
    return id;
}

// ---- "mid2" -----------------------------------------------------------------

bool ComposeMid2(const Mid2Components& components, bool elevated, IHardwareProbe& probe, std::string& id) {
    std::string digits;
    unsigned flags = 0;
    bool real = false;
    if (HasHardware(components)) {
        std::string input;
        if (!components.adapter.empty()) {
            input += components.adapter;
            flags |= kMid2FlagAdapter;
        }
        if (!components.disk.empty()) {
            input += components.disk;
            flags |= kMid2FlagDisk;
        }
        if (!components.processor.empty()) {
            input += components.processor;
            flags |= kMid2FlagProcessor;
        }
        if (Sha1Hex(input, digits)) {
            flags |= kMid2FlagHashed;
            real = true;
        }
    } else {
        flags = kMid2FlagRandom;
        GUID guid;
        if (probe.NewGuid(guid)) digits = kRandomPrefix + GuidHex(guid);
    }

    if (digits.empty()) {
        digits.assign(40, '0');
        real = false;
    } else if (!elevated && !StartsWithNoCase(digits, kRandomPrefix)) {
        digits.replace(0, 8, kNotElevatedPrefix);
    }

    std::string text = digits + Hex2(flags);
    text += Hex2(Crc8Maxim(text.data(), text.size()));
    id = text;
    return real;
}

Mid2CacheState ParseMid2Cache(DWORD type, const void* data, DWORD size) {
    Mid2CacheState state;
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || data == nullptr || size != (kMid2Length + 1) * sizeof(wchar_t))
        return state;
    wchar_t chars[kMid2Length + 1];
    std::memcpy(chars, data, sizeof chars);
    if (chars[kMid2Length] != L'\0') return state;
    std::string text;
    for (size_t i = 0; i < kMid2Length; ++i) {
        // Every character must be a hex digit: the value goes into request
        // addresses, and anything else cannot have come from this algorithm.
        if (chars[i] > 0x7f || !IsHex(static_cast<char>(chars[i]))) return state;
        text += static_cast<char>(chars[i]);
    }
    unsigned long check = std::strtoul(text.substr(42).c_str(), nullptr, 16);
    if (check != Crc8Maxim(text.data(), 42)) return state;
    state.valid = true;
    state.random = StartsWithNoCase(text, kRandomPrefix);
    state.value = text;
    return state;
}

Mid2CacheState ReadMid2Cache(const CacheLocation& cache) {
    win::UniqueRegKey key = OpenCacheKey(cache, KEY_QUERY_VALUE);
    if (!key) return Mid2CacheState();
    wchar_t buffer[kMid2Length + 8] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer;
    if (::RegQueryValueExW(key.get(), cache.value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS)
        return Mid2CacheState();
    return ParseMid2Cache(type, buffer, size);
}

bool WriteMid2Cache(const CacheLocation& cache, const std::string& value) {
    win::UniqueRegKey key = CreateCacheKey(cache);
    if (!key) return false;
    std::wstring wide(value.begin(), value.end());
    std::wstring previous;
    if (ReadWideString(key.get(), cache.value, previous) && !previous.empty() &&
        ::CompareStringOrdinal(previous.c_str(), -1, wide.c_str(), -1, TRUE) != CSTR_EQUAL)
        WriteWideString(key.get(), cache.oldValue, previous);
    return WriteWideString(key.get(), cache.value, wide);
}

std::string ResolveMid2(IHardwareProbe& probe, const CacheLocation& cache) {
    const Mid2CacheState cached = ReadMid2Cache(cache);
    const bool elevated = probe.IsElevated();

    // 1. Only an elevated run may replace a stored value, so others take it as is.
    if (cached.valid && !elevated) return cached.value;

    // 2.
    Mid2Components components;
    Collect(probe, components);

    // 3, 4.
    std::string early;
    bool haveEarly = false;
    if (HasHardware(components) && cached.valid) {
        if (!ComposeMid2(components, elevated, probe, early)) return cached.value;
        if (EqualsNoCase(early, cached.value)) return cached.value;
        haveEarly = true;
    } else if (!HasHardware(components) && cached.valid && cached.random) {
        return cached.value;
    }

    // 5. Devices may still be starting (early in a session): one more look.
    bool bothBefore = !components.adapter.empty() && !components.disk.empty();
    bool foundNew = false;
    if (!bothBefore) {
        probe.Pause(kRetryPauseMs);
        foundNew = Collect(probe, components);
    }

    // 6.
    if ((bothBefore || !foundNew) && haveEarly) {
        WriteMid2Cache(cache, early);
        return early;
    }

    // 7.
    std::string id;
    bool real = ComposeMid2(components, elevated, probe, id);
    if (real || !cached.valid || !cached.random) {
        WriteMid2Cache(cache, id);
        return id;
    }
    return cached.value;
}

}  // namespace machine_id

// ---- Public entry points -------------------------------------------------------

void GetMid(wchar_t* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return;
    std::string mid = machine_id::ResolveMid(machine_id::RealHardwareProbe(), machine_id::MidCacheLocation());
    int length = ::MultiByteToWideChar(CP_THREAD_ACP, 0, mid.data(), static_cast<int>(mid.size()), nullptr, 0);
    std::wstring wide(length > 0 ? length : 0, L'\0');
    if (length > 0)
        ::MultiByteToWideChar(CP_THREAD_ACP, 0, mid.data(), static_cast<int>(mid.size()), &wide[0], length);
    size_t copied = std::min(wide.size(), size - 1);
    std::wmemcpy(buffer, wide.data(), copied);
    buffer[copied] = L'\0';
}

HRESULT GetMid2(wchar_t* buffer, size_t size) {
    if (buffer == nullptr || size < machine_id::kMid2MaxLength + 1) return E_INVALIDARG;
    CNoxMID2* provider = CNoxMID2::Instance();
    if (provider == nullptr) return E_OUTOFMEMORY;
    return provider->GetMid2(buffer, static_cast<ULONG>(std::min<size_t>(size, ULONG_MAX)));
}

CNoxMID2::CNoxMID2(machine_id::IHardwareProbe& probe, machine_id::CacheLocation cache)
    : probe_(probe), cache_(std::move(cache)) {}

HRESULT CNoxMID2::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_INewMID)) {
        *object = static_cast<INewMID*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT CNoxMID2::GetMid2(wchar_t* buffer, ULONG size) {
    if (buffer == nullptr || size == 0) return E_INVALIDARG;
    {
        _BaseModule::CAutoLocker hold(lock_);
        if (!computed_) {
            std::string id = machine_id::ResolveMid2(probe_, cache_);
            size_t length = std::min(id.size(), machine_id::kMid2MaxLength);
            for (size_t i = 0; i < length; ++i) id_[i] = static_cast<unsigned char>(id[i]);
            id_[length] = L'\0';
            computed_ = true;
        }
    }
    size_t length = wcslen(id_);
    size_t copied = std::min<size_t>(length, size - 1);
    std::wmemcpy(buffer, id_, copied);
    buffer[copied] = L'\0';
    return copied == length ? S_OK : HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
}

namespace {

// 0: not created, 1: being created, 2: ready.
volatile LONG g_mid2State = 0;
CNoxMID2* volatile g_mid2Instance = nullptr;

}  // namespace

CNoxMID2* CNoxMID2::Instance() {
    for (;;) {
        LONG state = ::InterlockedCompareExchange(&g_mid2State, 1, 0);
        if (state == 0) {
            CNoxMID2* created =
                new (std::nothrow) CNoxMID2(machine_id::RealHardwareProbe(), machine_id::Mid2CacheLocation());
            g_mid2Instance = created;
            ::MemoryBarrier();
            // Without memory the next caller tries again instead of waiting forever.
            ::InterlockedExchange(&g_mid2State, created ? 2 : 0);
            return created;
        }
        if (state == 2) {
            ::MemoryBarrier();
            return g_mid2Instance;
        }
        ::Sleep(1);
    }
}
