// Removal steps whose subsystems are not built yet (companion programs,
// shortcuts, registry and autorun, plug-in and driver clean-up, the uninstall
// report). Each logs that it did nothing; the subsystem that implements a step
// replaces its call in the step table and removes it here.
#pragma once

#include <string>

namespace pending_steps {

void RemoveDesktopShortcuts();
void RemoveStartMenuShortcuts();
void RemoveProductRegistry();
void RemoveAutorun(const std::wstring& installDir);
void DeleteUninstallRegistry();

}  // namespace pending_steps
