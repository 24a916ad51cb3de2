// Stopping and deleting the product's kernel drivers: the three drivers that
// protect its files and processes, and the dynamic-wallpaper driver. A driver
// that is missing, refuses to stop or never answers only costs a bounded wait
// and a log line; the run goes on.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <string>

#include "app/base/WinHandle.h"

struct ServiceHandleTraits {
    using Type = SC_HANDLE;
    static SC_HANDLE Invalid() noexcept { return nullptr; }
    static void Close(SC_HANDLE h) noexcept { ::CloseServiceHandle(h); }
};
// OpenSCManager, OpenService and CreateService handles.
using UniqueServiceHandle = win::UniqueResource<ServiceHandleTraits>;

// The unlock request sent to a driver's device "\\.\<name>" before its service is
// stopped: a device I/O control without input or output. A driver that guards
// itself against unloading drops that guard when it receives this code (and may
// check the caller's rights); any other driver may fail or ignore it, and its
// answer is not used.
constexpr DWORD kDriverUnlockControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

// How long each part of stopping one driver may take.
constexpr DWORD kDriverUnlockWaitMs = 1000;     // the unlock request
constexpr DWORD kDriverStopControlWaitMs = 15000;  // the service manager's answer to the stop control
constexpr DWORD kDriverStoppedWaitMs = 3000;    // the service reaching "stopped" after accepting it

// Services removed, in this order, before the installation directory is deleted.
extern const wchar_t* const kProtectionDriverNames[3];  // "CorvaniteLock", "CorvaniteLockWp", "ZurevureDezadavEr"
extern const wchar_t kDynamicWallpaperDriverName[];     // "RivirezirezoDO", removed after the files

// Sends the unlock request to the driver's device (silently skipped when there is
// none), then the stop control to its service, and waits a bounded time for the
// service to stop. True when the service manager accepted the stop control;
// false for a name that is not a plain service name, a missing service, one
// that is not running or refuses to stop, or an answer that did not come in time.
bool StopDriver(const std::wstring& name);

// Deletes the driver's service entry (it goes once the driver has stopped). True
// when the service manager accepted the deletion.
bool DeleteDriver(const std::wstring& name);

// Stops and deletes the three protection drivers in order, logging
// "delete <name> fail" when the deletion failed and "delete <name>" for each.
void RemoveProtectionDrivers();

// Stops and deletes the dynamic-wallpaper driver, without log lines of its own.
void RemoveDynamicWallpaperDriver();
