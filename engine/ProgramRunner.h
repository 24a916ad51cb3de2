// Starting companion programs and calling companion libraries. Each file is
// checked against the product's publishers before it runs (unless the caller
// has already checked it); every wait is bounded.
#pragma once

#include <windows.h>

#include <string>

// Starts `path` through the shell ("open", the path quoted, error dialogs
// suppressed) with `parameters` and show state `show`. False for a null or
// empty path, one longer than 260 characters or missing, one that fails the
// trusted-publisher check when `checkSignature` is set, or a start that fails.
// When `wait` is set, waits up to `timeoutMs` for the program to end. With
// `exitCode`, stores the program's exit code (STILL_ACTIVE when it outlived
// the wait).
bool RunProgram(const wchar_t* path, const wchar_t* parameters, int show, bool checkSignature, bool wait,
                DWORD* exitCode, DWORD timeoutMs);

// Ends every running copy of `path`, then starts it (show state 1), logging
// before and after. Nothing happens when the path does not exist. Returns
// RunProgram's result.
bool RunExeLogged(const std::wstring& path, const std::wstring& commandLine, bool checkSignature, bool wait,
                  DWORD timeoutMs);

// A simple export: one zero-terminated wide-string argument, result ignored.
using SimpleExportFn = void(WINAPI*)(const wchar_t* argument);
// An interface export: argument, output buffer and its capacity in characters;
// a positive result is the length the text needs.
using InterfaceExportFn = int(WINAPI*)(const wchar_t* argument, wchar_t* buffer, int capacity);

// Loads a companion library by its full path; its own dependencies are found
// beside it or in the system directory, never in the current directory.
HMODULE LoadCompanionLibrary(const std::wstring& path);

// Loads the library, calls the simple export `exportName` once with `argument`
// and unloads it. With `checkSignature`, an untrusted library is logged and
// not loaded. True when the export was called.
bool CallDllExport(const wchar_t* path, const char* exportName, const wchar_t* argument, bool checkSignature);

// Longest text an interface export may ask for; a larger request keeps the
// text of the first call.
constexpr int kMaxInterfaceTextChars = 32767;

// Loads the library, calls the interface export `exportName` with `argument`
// and a 260-character buffer, and again with a larger buffer when it asks for
// one; returns the text (empty when nothing was called).
std::wstring CallDllInterfaceEx(const wchar_t* path, const char* exportName, const wchar_t* argument,
                                bool checkSignature);
