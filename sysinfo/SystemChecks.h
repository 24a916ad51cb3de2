// Windows version and bitness, file versions, and the signature checks that
// guard every program or library the uninstaller loads or starts.
#pragma once

#include <cstddef>
#include <string>

// True when the file carries a valid signature of one of the product's publishers
// (an expired certificate or an untrusted root are tolerated).
bool IsTrustedFile(const wchar_t* path);
// True when the file is signed by `signer` with a trusted chain; true for a null signer.
bool IsSignedBy(const wchar_t* path, const wchar_t* signer);

bool Is64BitSystem();
bool IsWindows10OrLater();

// The file's version as "a.b.c.d"; false (text unchanged) without a version resource.
bool GetFileVersionText(const wchar_t* path, std::wstring& text);
bool GetFixedFileVersion(const wchar_t* path, wchar_t* buffer, size_t capacity);
