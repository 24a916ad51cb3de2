// The product's autostart: the logon task of the Task Scheduler with the
// Run-key value as its fall-back, the older "wpapp" Run value, and the
// product's own switch in "config.set".
#pragma once

#include <string>

#include "engine/TaskScheduler.h"

extern const wchar_t kAutorunTaskName[];         // "Kelwp-srv": task name and Run value name
extern const wchar_t kAutorunTaskDescription[];  // "Starts Kelwp-srv when a user logs on."
extern const wchar_t kAutorunArguments[];        // "/autorun --from=task"
extern const wchar_t kLegacyRunValue[];          // "wpapp"
extern const int kAutorunDelaySeconds;           // 60

// "PT%dM%dS" with the delay's minutes and remaining seconds (negative counts as 0).
std::wstring FormatTaskDelay(int seconds);

// The autostart task for `quotedPath`, for the current user.
LogonTaskDefinition MakeAutorunTaskDefinition(const std::wstring& quotedPath, const std::wstring& description,
                                              int delaySeconds);

// Deletes the value from the Run key of HKCU, then of HKLM; true.
bool DeleteRunValue(const std::wstring& name);

// Deletes the task from the root task folder; true once the folder was
// reached, whatever the deletion did.
bool DeleteAutorunTask(const std::wstring& name);

// Enable: registers `programPath` (quoted once, whatever quotes it came with)
// as the logon task `name`, enabling an existing program task instead of
// recreating it; falls back to the HKLM Run value "<quoted path> /autorun
// --from=task". False when neither was written. Disable: deletes the task and
// both Run values; true.
bool SetAutorun(bool enable, const std::wstring& programPath, const std::wstring& name = kAutorunTaskName,
                const std::wstring& description = kAutorunTaskDescription, int delaySeconds = kAutorunDelaySeconds);

// Writes "open" of section "auto_run" in "config.set" of the installation
// directory; refused (logged, false) without an absolute directory, for a
// path of 260 or more characters, or when "config.set" is a link or a folder.
bool WriteAutorunSwitch(const std::wstring& installDir, bool on);

// Deletes "wpapp" from the HKLM Run key, in the 64-bit view as well when asked.
void DeleteLegacyRunValue(bool alsoNativeView);

// Engine step "remove autorun": the product's switch off, the Run values, the task, "wpapp".
void RemoveAutorun(const std::wstring& installDir);
