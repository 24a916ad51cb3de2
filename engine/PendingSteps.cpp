#include "engine/PendingSteps.h"

#include "app/SmartLogger.h"

namespace pending_steps {

namespace {
void NotBuilt(const wchar_t* step) { WriteLog(L"%s: not available in this build", step); }
}  // namespace

void RemoveDesktopShortcuts() { NotBuilt(L"desktop shortcut removal"); }
void RemoveStartMenuShortcuts() { NotBuilt(L"start menu shortcut removal"); }
void RemoveProductRegistry() { NotBuilt(L"product registry removal"); }
void RemoveAutorun(const std::wstring&) { NotBuilt(L"autorun removal"); }
void DeleteUninstallRegistry() { NotBuilt(L"uninstall entry removal"); }

}  // namespace pending_steps
