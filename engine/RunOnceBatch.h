// Deferred deletion of the leftovers: each is moved aside and registered for
// deletion at restart; what cannot be registered goes into a batch file that
// the RunOnce key runs at the next logon and that deletes itself.
#pragma once

#include <string>

#include "engine/LeftoverList.h"

extern const wchar_t kRunOnceKey[];  // HKLM "SOFTWARE\Microsoft\Windows\CurrentVersion\RunOnce"

// Consumes `leftovers` (emptied), then removes the installation directory
// when it is empty. False only for an empty directory argument.
bool CreateRunOnceBat(LeftoverList& leftovers, const std::wstring& installDir);

// The batch file written by the last CreateRunOnceBat (empty when none).
std::wstring LastRunOnceBatchPath();

// The batch file's security descriptor (SDDL): only administrators and the
// system may change it. It is created in the system's temporary folder, where
// unprivileged users cannot delete or rename what others made.
const wchar_t* RunOnceBatchSecurity();
