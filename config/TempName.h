// Fresh temporary names: a folder joined with a new GUID and ".tmp", used for
// the unpacked setup archive and other short-lived files and folders.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// "{%08X-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X}.tmp" (third group lower-case).
std::wstring FormatTempGuidName(const GUID& guid);

// The system temporary directory (GetTempPathW, up to 1024 characters) with a
// trailing separator; empty when it cannot be read.
std::wstring SystemTempDirectory();

// Up to 10 new GUID names in `folder` are tried; the first that does not exist
// yet is returned. Empty when all of them exist or no GUID can be made.
using GuidSource = std::function<bool(GUID&)>;
std::wstring CreateTempNameIn(const std::wstring& folder, const GuidSource& newGuid = GuidSource());

// CreateTempNameIn the system temporary directory.
std::wstring CreateTempName();
