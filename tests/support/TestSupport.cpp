#include "support/TestSupport.h"

#include <objbase.h>

#include <vector>

#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"

namespace testing_support {

ScopedTempDir::ScopedTempDir() {
    GUID guid;
    ::CoCreateGuid(&guid);
    wchar_t name[64];
    _snwprintf(name, 64, L"lumtest-%08lX%04X", guid.Data1, guid.Data2);
    name[63] = L'\0';
    path_ = path::Join(path::TempDirectory(), name);
    ::CreateDirectoryW(path_.c_str(), nullptr);
}

ScopedTempDir::~ScopedTempDir() { RemoveTree(path_); }

std::wstring ScopedTempDir::Join(const std::wstring& name) const { return path::Join(path_, name); }

std::string ReadFileBytes(const std::wstring& path) {
    win::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
    if (!file) return std::string();
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    win::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

void RemoveTree(const std::wstring& root) {
    if (root.empty()) return;
    WIN32_FIND_DATAW data;
    win::UniqueFind find(::FindFirstFileW(path::Join(root, L"*").c_str(), &data));
    if (find) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path::Join(root, name);
            ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveTree(child);
            else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                ::RemoveDirectoryW(child.c_str());
            else
                ::DeleteFileW(child.c_str());
        } while (::FindNextFileW(find.get(), &data));
    }
    find.reset();
    ::RemoveDirectoryW(root.c_str());
}

int RunAndWait(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs,
               const std::wstring& workingDir) {
    Child child = StartChild(program, arguments, {}, workingDir);
    return child.process ? child.Wait(timeoutMs) : -2;
}

std::string UnixPath(const std::wstring& windowsPath) {
    using ToUnix = char* (*)(const wchar_t*);
    auto toUnix = reinterpret_cast<ToUnix>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"),
                                                            "wine_get_unix_file_name"));
    if (!toUnix) return std::string();
    char* unix = toUnix(windowsPath.c_str());
    if (!unix) return std::string();
    std::string result = unix;
    ::HeapFree(::GetProcessHeap(), 0, unix);
    return result;
}

std::wstring BuildDir() {
    // The test programs sit directly in the build folder's tests/ subfolder.
    return path::Parent(path::ModuleDirectory());
}

}  // namespace testing_support

#include <map>
#include <shellapi.h>

namespace testing_support {

namespace {
std::map<std::wstring, ChildRole>& Roles() {
    static std::map<std::wstring, ChildRole> roles;
    return roles;
}
}  // namespace

ChildRoleRegistrar::ChildRoleRegistrar(const wchar_t* name, ChildRole role) { Roles()[name] = role; }

bool RunChildRoleIfAsked(int* exitCode) {
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv) return false;
    win::UniqueLocal owner(reinterpret_cast<HLOCAL>(argv));
    if (argc < 3 || std::wstring(argv[1]) != L"--role") return false;
    auto found = Roles().find(argv[2]);
    *exitCode = found == Roles().end() ? 97 : found->second(argc - 3, argv + 3);
    return true;
}

}  // namespace testing_support

namespace testing_support {

int Child::Wait(DWORD timeoutMs) {
    if (!process) return -2;
    if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 99);
        ::WaitForSingleObject(process.get(), 5000);
        return -1;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
}

Child StartChild(const std::wstring& program, const std::wstring& arguments,
                 const std::map<std::wstring, std::wstring>& environment, const std::wstring& workingDir) {
    // Build the child's environment: ours, with the overrides applied.
    std::map<std::wstring, std::wstring> merged;
    if (wchar_t* block = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
            std::wstring text = entry;
            size_t equals = text.find(L'=', 1);
            if (equals != std::wstring::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
        }
        ::FreeEnvironmentStringsW(block);
    }
    for (const auto& item : environment) merged[item.first] = item.second;
    std::vector<wchar_t> envBlock;
    for (const auto& item : merged) {
        std::wstring entry = item.first + L"=" + item.second;
        envBlock.insert(envBlock.end(), entry.begin(), entry.end());
        envBlock.push_back(L'\0');
    }
    envBlock.push_back(L'\0');

    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    Child child;
    if (::CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                         envBlock.data(), workingDir.empty() ? nullptr : workingDir.c_str(), &si, &pi)) {
        ::CloseHandle(pi.hThread);
        child.process.reset(pi.hProcess);
        child.id = pi.dwProcessId;
    }
    return child;
}

}  // namespace testing_support
