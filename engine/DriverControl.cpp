#include "engine/DriverControl.h"

#include <memory>

#include "app/SmartLogger.h"

const wchar_t* const kProtectionDriverNames[3] = {L"CorvaniteLock", L"CorvaniteLockWp", L"ZurevureDezadavEr"};
const wchar_t kDynamicWallpaperDriverName[] = L"RivirezirezoDO";

namespace {

constexpr size_t kMaxServiceNameChars = 256;
constexpr DWORD kUnlockCancelWaitMs = 500;
constexpr DWORD kStoppedPollMs = 50;

// A name that can only mean a service and its device: no path separators, no
// device-name syntax, no control characters.
bool IsPlainServiceName(const std::wstring& name) {
    if (name.empty() || name.size() > kMaxServiceNameChars) return false;
    for (wchar_t c : name) {
        if (c < 0x20 || c == 0x7f) return false;
    }
    return name.find_first_of(L"\\/:*?\"<>|") == std::wstring::npos && name != L"." && name != L"..";
}

// The unlock request's buffers: they must live as long as the driver may still
// complete the request.
struct UnlockRequest {
    OVERLAPPED overlapped = {};
    win::UniqueHandle done;
};

void SendUnlockRequest(const std::wstring& name) {
    std::wstring device = L"\\\\.\\" + name;
    win::UniqueFile file(::CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!file) return;
    auto request = std::make_unique<UnlockRequest>();
    request->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!request->done) return;
    request->overlapped.hEvent = request->done.get();

    DWORD returned = 0;
    if (::DeviceIoControl(file.get(), kDriverUnlockControlCode, nullptr, 0, nullptr, 0, &returned,
                          &request->overlapped))
        return;
    if (::GetLastError() != ERROR_IO_PENDING) return;
    if (::WaitForSingleObject(request->done.get(), kDriverUnlockWaitMs) == WAIT_OBJECT_0) return;
    ::CancelIoEx(file.get(), &request->overlapped);
    if (::WaitForSingleObject(request->done.get(), kUnlockCancelWaitMs) == WAIT_OBJECT_0) return;
    // The driver keeps the request past its cancellation and will complete it
    // into these buffers whenever it lets go: they are left to it.
    (void)request.release();
}

void WaitUntilStopped(SC_HANDLE service, SERVICE_STATUS status) {
    ULONGLONG start = ::GetTickCount64();
    while (status.dwCurrentState != SERVICE_STOPPED) {
        if (::GetTickCount64() - start >= kDriverStoppedWaitMs) return;
        ::Sleep(kStoppedPollMs);
        if (!::QueryServiceStatus(service, &status)) return;
    }
}

bool SendStopControlNow(const std::wstring& name) {
    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return false;
    UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (!service) return false;
    SERVICE_STATUS status = {};
    if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return false;
    // A stopped driver no longer holds its image file, which the bulk deletion removes next.
    WaitUntilStopped(service.get(), status);
    return true;
}

struct StopRequest {
    std::wstring name;
    bool accepted = false;
};

DWORD WINAPI StopThread(void* parameter) {
    std::unique_ptr<std::shared_ptr<StopRequest>> request(static_cast<std::shared_ptr<StopRequest>*>(parameter));
    (*request)->accepted = SendStopControlNow((*request)->name);
    return 0;
}

// The service manager stops a kernel driver by calling its unload routine and
// answers only when that returns, so the stop control is sent from a thread of
// its own: a driver that never returns costs the run a bounded wait, and the
// abandoned thread keeps what it uses.
bool SendStopControl(const std::wstring& name) {
    auto request = std::make_shared<StopRequest>();
    request->name = name;
    auto threadShare = std::make_unique<std::shared_ptr<StopRequest>>(request);
    win::UniqueHandle thread(::CreateThread(nullptr, 0, &StopThread, threadShare.get(), 0, nullptr));
    if (!thread) return SendStopControlNow(name);
    (void)threadShare.release();  // the thread owns it now
    if (::WaitForSingleObject(thread.get(), kDriverStopControlWaitMs) != WAIT_OBJECT_0) return false;
    return request->accepted;
}

}  // namespace

bool StopDriver(const std::wstring& name) {
    if (!IsPlainServiceName(name)) return false;
    SendUnlockRequest(name);
    return SendStopControl(name);
}

bool DeleteDriver(const std::wstring& name) {
    if (!IsPlainServiceName(name)) return false;
    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return false;
    UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (!service) return false;
    return ::DeleteService(service.get()) != FALSE;
}

void RemoveProtectionDrivers() {
    for (const wchar_t* name : kProtectionDriverNames) {
        StopDriver(name);
        if (!DeleteDriver(name)) WriteLog(L"delete %s fail", name);
        WriteLog(L"delete %s", name);
    }
}

void RemoveDynamicWallpaperDriver() {
    StopDriver(kDynamicWallpaperDriverName);
    DeleteDriver(kDynamicWallpaperDriverName);
}
