// The Task Scheduler as the autostart code uses it: the root task folder, and
// tasks looked up, enabled, deleted and registered there by name. The
// process-wide service is replaceable, so that what a platform's scheduler
// cannot do (Wine has no logon triggers and ignores enabling) can be played.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

// A task that starts one program when a user logs on.
struct LogonTaskDefinition {
    // Registration information.
    std::wstring author;
    std::wstring description;
    // The one logon trigger, enabled.
    std::wstring triggerId;
    std::wstring triggerUser;  // DOMAIN\name
    std::wstring delay;        // "PT%dM%dS"
    // The one executable action.
    std::wstring programPath;  // in double quotes
    std::wstring arguments;
    std::wstring workingDirectory;
    // Principal.
    std::wstring principalId;
    std::wstring principalGroup;
    bool highestRunLevel = true;
    // Settings.
    bool stopIfGoingOnBatteries = false;
    bool disallowStartIfOnBatteries = false;
    bool allowHardTerminate = false;
    std::wstring executionTimeLimit;
    bool stopOnIdleEnd = false;
    // Registered for this account with its interactive token, no password, no security descriptor.
    std::wstring registrationUser;
};

// What the root folder holds under a name.
struct ExistingTask {
    bool exists = false;
    bool startsProgram = false;  // its first action is an executable action
    bool enabled = false;
};

// The root folder "\" of a connected scheduler; usable while the object lives.
class IAutorunTaskFolder {
public:
    virtual ExistingTask FindTask(const std::wstring& name) = 0;
    // Enables a registered task; true when it is enabled afterwards.
    virtual bool EnableTask(const std::wstring& name) = 0;
    virtual HRESULT DeleteTask(const std::wstring& name) = 0;
    // Creates or replaces the task.
    virtual HRESULT RegisterTask(const std::wstring& name, const LogonTaskDefinition& definition) = 0;
    virtual ~IAutorunTaskFolder() = default;
};

class ITaskSchedulerService {
public:
    // Initialises COM on this thread (kept until the folder is released) and
    // the process's COM security, connects and opens the root folder. Null when
    // that failed, with the reason in `result`.
    virtual std::unique_ptr<IAutorunTaskFolder> OpenRootFolder(HRESULT& result) = 0;
    virtual ~ITaskSchedulerService() = default;
};

// Task Scheduler 2.0 through COM.
ITaskSchedulerService& SystemTaskScheduler();

// The service every autostart operation uses (the system one by default).
ITaskSchedulerService& CurrentTaskScheduler();
// Installs `replacement` (null restores the system one); returns the previous one.
ITaskSchedulerService* SetTaskScheduler(ITaskSchedulerService* replacement);
