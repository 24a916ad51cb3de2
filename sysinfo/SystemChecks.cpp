#include "sysinfo/SystemChecks.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
#include <winver.h>

#include <atomic>
#include <cwchar>
#include <vector>

#include "app/base/SystemLibrary.h"
#include "app/base/WinHandle.h"
#include "sysinfo/SystemChecksDetail.h"
#include "sysinfo/TrustedPublishers.h"

namespace system_checks {

namespace {

// wintrust, crypt32 and version are not known DLLs: they are resolved by full
// path from the system directory, never imported.
const wchar_t kWintrust[] = L"wintrust.dll";
const wchar_t kCrypt32[] = L"crypt32.dll";
const wchar_t kVersion[] = L"version.dll";

using WinVerifyTrustFn = decltype(&::WinVerifyTrust);
using ProvDataFromStateDataFn = decltype(&::WTHelperProvDataFromStateData);
using CertGetNameStringWFn = decltype(&::CertGetNameStringW);
using GetFileVersionInfoSizeWFn = decltype(&::GetFileVersionInfoSizeW);
using GetFileVersionInfoWFn = decltype(&::GetFileVersionInfoW);
using VerQueryValueWFn = decltype(&::VerQueryValueW);

// Revocation data only from the local cache; the chain's revocation check
// leaves out the root. No check ever waits for the network.
const DWORD kProviderFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
const DWORD kSignerNameCapacity = 512;
// Larger version resources are not read for the restored uninstall entry.
const DWORD kMaxFixedVersionResource = 16383;

bool ResultAcceptedForTrust(LONG result) {
    return result == 0 || result == static_cast<LONG>(CERT_E_EXPIRED) ||
           result == static_cast<LONG>(CERT_E_UNTRUSTEDROOT);
}

bool ResultAcceptedForSigner(LONG result) {
    return result == 0 || result == static_cast<LONG>(CERT_E_EXPIRED);
}

bool FileExists(const wchar_t* path) {
    DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

DWORD OsMajorVersion() {
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!::GetVersionExW(&info)) return 0;
    return info.dwMajorVersion;
}

// The simple display name of the signing certificate: the first signer's
// chain, its first simple chain, that chain's first element.
bool ReadSignerName(HANDLE stateData, std::wstring& name) {
    auto provData = win::SystemFunction<ProvDataFromStateDataFn>(kWintrust, "WTHelperProvDataFromStateData");
    auto getName = win::SystemFunction<CertGetNameStringWFn>(kCrypt32, "CertGetNameStringW");
    if (provData == nullptr || getName == nullptr) return false;

    CRYPT_PROVIDER_DATA* data = provData(stateData);
    if (data == nullptr || data->csSigners < 1 || data->pasSigners == nullptr) return false;
    PCCERT_CHAIN_CONTEXT chain = data->pasSigners[0].pChainContext;
    if (chain == nullptr || chain->cChain < 1 || chain->rgpChain == nullptr) return false;
    PCERT_SIMPLE_CHAIN simple = chain->rgpChain[0];
    if (simple == nullptr || simple->cElement < 1 || simple->rgpElement == nullptr) return false;
    PCERT_CHAIN_ELEMENT element = simple->rgpElement[0];
    if (element == nullptr || element->pCertContext == nullptr) return false;

    wchar_t buffer[kSignerNameCapacity] = {};
    DWORD length = getName(element->pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buffer,
                           kSignerNameCapacity);
    // The count includes the terminator; a full buffer may hold a cut-off name.
    if (length < 1 || length >= kSignerNameCapacity) return false;
    name.assign(buffer);
    return true;
}

bool CheckSignature(const wchar_t* path, const SignatureReader& read, bool (*accepted)(LONG),
                    const wchar_t* signer) {
    try {
        SignatureReport report = read(path);
        if (!accepted(report.trustResult) || !report.hasSigner) return false;
        if (signer == nullptr) return IsTrustedPublisherName(report.signerName.c_str());
        return ::CompareStringOrdinal(report.signerName.c_str(), -1, signer, -1, TRUE) == CSTR_EQUAL;
    } catch (...) {
        // A damaged file must not take the uninstaller down: not trusted.
        return false;
    }
}

// The file's whole version resource; empty when it has none or it exceeds maxSize.
std::vector<BYTE> ReadVersionResource(const wchar_t* path, DWORD maxSize) {
    auto getSize = win::SystemFunction<GetFileVersionInfoSizeWFn>(kVersion, "GetFileVersionInfoSizeW");
    auto getInfo = win::SystemFunction<GetFileVersionInfoWFn>(kVersion, "GetFileVersionInfoW");
    if (getSize == nullptr || getInfo == nullptr) return {};
    DWORD unused = 0;
    DWORD size = getSize(path, &unused);
    if (size == 0 || size > maxSize) return {};
    std::vector<BYTE> block(size);
    if (!getInfo(path, 0, size, block.data())) return {};
    return block;
}

const VS_FIXEDFILEINFO* FixedInfo(std::vector<BYTE>& block) {
    auto query = win::SystemFunction<VerQueryValueWFn>(kVersion, "VerQueryValueW");
    void* value = nullptr;
    UINT length = 0;
    if (query == nullptr || !query(block.data(), L"\\", &value, &length) || value == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return nullptr;
    }
    return static_cast<const VS_FIXEDFILEINFO*>(value);
}

std::wstring FixedVersionText(const VS_FIXEDFILEINFO& info) {
    wchar_t text[64] = {};
    std::swprintf(text, 64, L"%d.%d.%d.%d", HIWORD(info.dwFileVersionMS), LOWORD(info.dwFileVersionMS),
                  HIWORD(info.dwFileVersionLS), LOWORD(info.dwFileVersionLS));
    return text;
}

// The "FileVersion" string of the first translation that has one, commas made
// full stops and blanks removed; empty when there is none.
std::wstring StringVersionText(std::vector<BYTE>& block) {
    auto query = win::SystemFunction<VerQueryValueWFn>(kVersion, "VerQueryValueW");
    if (query == nullptr) return {};
    void* value = nullptr;
    UINT length = 0;
    if (!query(block.data(), L"\\VarFileInfo\\Translation", &value, &length) || value == nullptr) return {};
    const WORD* pairs = static_cast<const WORD*>(value);
    UINT pairCount = length / (2 * sizeof(WORD));

    for (UINT i = 0; i < pairCount; ++i) {
        wchar_t subBlock[64] = {};
        std::swprintf(subBlock, 64, L"\\StringFileInfo\\%04x%04x\\FileVersion", pairs[2 * i], pairs[2 * i + 1]);
        void* text = nullptr;
        UINT textLength = 0;
        if (!query(block.data(), subBlock, &text, &textLength) || text == nullptr) continue;

        const wchar_t* chars = static_cast<const wchar_t*>(text);
        std::wstring version;
        for (size_t n = 0, end = wcsnlen(chars, textLength); n < end; ++n) {
            if (chars[n] == L' ') continue;
            version.push_back(chars[n] == L',' ? L'.' : chars[n]);
        }
        // The first translation with the value decides, even when it is blank.
        return version;
    }
    return {};
}

// Computed once per process. Two threads racing on the first call compute the
// same value; the atomics only keep that race well-defined.
struct CachedFlag {
    std::atomic<bool> computed{false};
    std::atomic<bool> value{false};

    template <typename Compute>
    bool Get(Compute compute) {
        if (computed.load(std::memory_order_acquire)) return value.load(std::memory_order_relaxed);
        bool result = compute();
        value.store(result, std::memory_order_relaxed);
        computed.store(true, std::memory_order_release);
        return result;
    }
};

CachedFlag g_is64BitSystem;
CachedFlag g_isWindows10OrLater;

}  // namespace

SignatureReport ReadFileSignature(const wchar_t* path) {
    SignatureReport report;
    auto verify = win::SystemFunction<WinVerifyTrustFn>(kWintrust, "WinVerifyTrust");
    if (verify == nullptr || path == nullptr) {
        report.trustResult = static_cast<LONG>(TRUST_E_PROVIDER_UNKNOWN);
        return report;
    }

    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path;

    WINTRUST_DATA trust = {};
    trust.cbStruct = sizeof(trust);
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &file;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    trust.dwProvFlags = kProviderFlags;
    trust.dwUIContext = 0;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    // The verification state is released however the reading below ends.
    win::ScopeExit closeState([&] {
        trust.dwStateAction = WTD_STATEACTION_CLOSE;
        verify(nullptr, &action, &trust);
    });
    try {
        report.trustResult = verify(nullptr, &action, &trust);
        if (ResultAcceptedForTrust(report.trustResult)) {
            report.hasSigner = ReadSignerName(trust.hWVTStateData, report.signerName);
        }
    } catch (...) {
        report = SignatureReport();
        report.trustResult = static_cast<LONG>(TRUST_E_SYSTEM_ERROR);
    }
    return report;
}

bool CheckTrustedFile(const wchar_t* path, DWORD osMajorVersion, const SignatureReader& read) {
    if (path == nullptr || !FileExists(path)) return false;
    // Windows XP and Server 2003 cannot verify current signatures.
    if (osMajorVersion < 6) return true;
    return CheckSignature(path, read, ResultAcceptedForTrust, nullptr);
}

bool CheckSignedBy(const wchar_t* path, const wchar_t* signer, DWORD osMajorVersion,
                   const SignatureReader& read) {
    if (signer == nullptr) return true;
    if (path == nullptr || !FileExists(path)) return false;
    if (osMajorVersion < 6) return true;
    return CheckSignature(path, read, ResultAcceptedForSigner, signer);
}

bool Is64BitMachine(const MachineFacts& facts) {
    if (!facts.hasNativeSystemInfo) return false;
    switch (facts.nativeArchitecture) {
        case PROCESSOR_ARCHITECTURE_IA64:
        case PROCESSOR_ARCHITECTURE_AMD64:
        case 12:  // PROCESSOR_ARCHITECTURE_ARM64
            return true;
        default:
            break;
    }
    // An x86 process on ARM64 Windows is told it runs on x86; only
    // IsWow64Process2 reveals the native machine.
    return facts.hasNativeMachine && facts.nativeMachine == 0xAA64 /* IMAGE_FILE_MACHINE_ARM64 */;
}

bool IsWindows10Version(DWORD major, DWORD minor) {
    return major > 9 || (major == 6 && minor == 4);
}

bool ReadFileVersionText(const wchar_t* path, bool preferStringVersion, std::wstring& text) {
    if (path == nullptr) return false;
    std::vector<BYTE> block = ReadVersionResource(path, MAXDWORD);
    if (block.empty()) return false;
    if (preferStringVersion) {
        std::wstring version = StringVersionText(block);
        if (!version.empty()) {
            text = version;
            return true;
        }
    }
    const VS_FIXEDFILEINFO* fixed = FixedInfo(block);
    if (fixed == nullptr) return false;
    text = FixedVersionText(*fixed);
    return true;
}

}  // namespace system_checks

bool IsTrustedFile(const wchar_t* path) {
    return system_checks::CheckTrustedFile(path, system_checks::OsMajorVersion(), system_checks::ReadFileSignature);
}

bool IsSignedBy(const wchar_t* path, const wchar_t* signer) {
    return system_checks::CheckSignedBy(path, signer, system_checks::OsMajorVersion(),
                                        system_checks::ReadFileSignature);
}

bool Is64BitSystem() {
    return system_checks::g_is64BitSystem.Get([] {
        using GetNativeSystemInfoFn = void(WINAPI*)(LPSYSTEM_INFO);
        using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
        system_checks::MachineFacts facts;
        auto nativeInfo = win::SystemFunction<GetNativeSystemInfoFn>(L"kernel32.dll", "GetNativeSystemInfo");
        if (nativeInfo != nullptr) {
            SYSTEM_INFO info = {};
            nativeInfo(&info);
            facts.hasNativeSystemInfo = true;
            facts.nativeArchitecture = info.wProcessorArchitecture;
        }
        auto wow64Process2 = win::SystemFunction<IsWow64Process2Fn>(L"kernel32.dll", "IsWow64Process2");
        USHORT processMachine = 0;
        USHORT nativeMachine = 0;
        if (wow64Process2 != nullptr && wow64Process2(::GetCurrentProcess(), &processMachine, &nativeMachine)) {
            facts.hasNativeMachine = true;
            facts.nativeMachine = nativeMachine;
        }
        return system_checks::Is64BitMachine(facts);
    });
}

bool IsWindows10OrLater() {
    return system_checks::g_isWindows10OrLater.Get([] {
        using RtlGetNtVersionNumbersFn = void(WINAPI*)(DWORD*, DWORD*, DWORD*);
        win::UniqueModule ntdll(win::LoadSystemLibrary(L"ntdll.dll"));
        if (!ntdll) return false;
        auto versionNumbers = reinterpret_cast<RtlGetNtVersionNumbersFn>(
            reinterpret_cast<void*>(::GetProcAddress(ntdll.get(), "RtlGetNtVersionNumbers")));
        if (versionNumbers == nullptr) return false;
        DWORD major = 0, minor = 0, build = 0;
        versionNumbers(&major, &minor, &build);
        return system_checks::IsWindows10Version(major, minor);
    });
}

bool GetFileVersionText(const wchar_t* path, std::wstring& text) {
    // Only 32-bit Windows 10 prefers the string form of the version.
    bool preferString = IsWindows10OrLater() && !Is64BitSystem();
    return system_checks::ReadFileVersionText(path, preferString, text);
}

bool GetFixedFileVersion(const wchar_t* path, wchar_t* buffer, size_t capacity) {
    if (path == nullptr || buffer == nullptr || capacity == 0) return false;
    std::vector<BYTE> block = system_checks::ReadVersionResource(path, system_checks::kMaxFixedVersionResource);
    if (block.empty()) return false;
    const VS_FIXEDFILEINFO* fixed = system_checks::FixedInfo(block);
    if (fixed == nullptr) return false;
    std::wstring text = system_checks::FixedVersionText(*fixed);
    std::wmemset(buffer, L'\0', capacity);
    text.copy(buffer, capacity - 1);
    return true;
}
