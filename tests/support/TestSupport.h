// Helpers shared by the test programs: scoped temporary folders, file bytes,
// and running a child program to completion.
#pragma once

#include <windows.h>

#include <string>

namespace testing_support {

class ScopedTempDir {
public:
    ScopedTempDir();
    ~ScopedTempDir();
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring Join(const std::wstring& name) const;

private:
    std::wstring path_;
};

std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Deletes a folder and everything under it (test fixtures only).
void RemoveTree(const std::wstring& path);

// Starts a program with the given command line (program path is prepended,
// quoted); waits up to timeoutMs; returns the exit code or -1 on time-out.
int RunAndWait(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs,
               const std::wstring& workingDir = std::wstring());

// The build folder (where the programs and test artefacts are placed), as a Windows path.
std::wstring BuildDir();

// The Unix path Wine maps a Windows path to; empty outside Wine.
std::string UnixPath(const std::wstring& windowsPath);

}  // namespace testing_support

namespace testing_support {

// A test program can also act as a helper child process: started with
// "--role NAME args...", it runs the registered role and exits with its result.
using ChildRole = int (*)(int argc, wchar_t** argv);  // argv[0] is the first role argument
struct ChildRoleRegistrar {
    ChildRoleRegistrar(const wchar_t* name, ChildRole role);
};
// Runs the role named on the command line, if any; true when one ran.
bool RunChildRoleIfAsked(int* exitCode);

}  // namespace testing_support

#include <map>

#include "app/base/WinHandle.h"

namespace testing_support {

// A started child process.
struct Child {
    win::UniqueHandle process;
    DWORD id = 0;
    // Waits up to timeoutMs; the exit code, or -1 on time-out (the child is then ended).
    int Wait(DWORD timeoutMs);
};

// Starts `program` with `arguments`, with the given environment variables
// replaced or added (TEMP and TMP, for example, to give it a private log).
Child StartChild(const std::wstring& program, const std::wstring& arguments,
                 const std::map<std::wstring, std::wstring>& environment = {},
                 const std::wstring& workingDir = std::wstring());

}  // namespace testing_support
