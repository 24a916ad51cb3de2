// Services that start-up calls but whose subsystems are not built yet. Each
// one logs that it did nothing and returns the outcome that keeps the run
// safe; the subsystem that implements it replaces the call and removes it here.
#pragma once

#include <string>

namespace pending {

// Relaunch from a temporary copy: returns 0 (the copy was not started).
int Relaunch(const std::wstring& commandLine);

// Skin pictures, fonts and cursor of the drawn windows.
void RegisterSkinResources();
void FreeSkinResources();

}  // namespace pending
