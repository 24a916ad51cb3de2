// The decisions behind the system checks, separated from the platform calls
// that feed them, so that each rule can be exercised with the inputs of a
// system the tests do not run on (Windows XP, 32-bit Windows 10, ARM64).
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace system_checks {

// What the platform's signature verification reported for one file.
struct SignatureReport {
    LONG trustResult = static_cast<LONG>(TRUST_E_NOSIGNATURE);
    bool hasSigner = false;   // the signing certificate was found and its name read
    std::wstring signerName;  // simple display name of the signing certificate
};

using SignatureReader = std::function<SignatureReport(const wchar_t* path)>;

// WinVerifyTrust on the file's embedded signature, then the signing
// certificate's name; the name is only read for results a check can accept.
SignatureReport ReadFileSignature(const wchar_t* path);

// The two checks for a given Windows major version and signature reader.
bool CheckTrustedFile(const wchar_t* path, DWORD osMajorVersion, const SignatureReader& read);
bool CheckSignedBy(const wchar_t* path, const wchar_t* signer, DWORD osMajorVersion,
                   const SignatureReader& read);

struct MachineFacts {
    bool hasNativeSystemInfo = false;
    WORD nativeArchitecture = 0;   // GetNativeSystemInfo's wProcessorArchitecture
    bool hasNativeMachine = false; // IsWow64Process2 was available and succeeded
    USHORT nativeMachine = 0;      // its native machine type
};
bool Is64BitMachine(const MachineFacts& facts);

// Windows 10 as RtlGetNtVersionNumbers reports it (early builds said 6.4).
bool IsWindows10Version(DWORD major, DWORD minor);

// GetFileVersionText with the choice of the string version made by the caller.
bool ReadFileVersionText(const wchar_t* path, bool preferStringVersion, std::wstring& text);

}  // namespace system_checks
