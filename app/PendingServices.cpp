#include "app/PendingServices.h"

#include "app/SmartLogger.h"

namespace pending {

int Relaunch(const std::wstring&) {
    WriteLog(L"relaunch from a temporary copy is not available in this build");
    return 0;
}

void RestoreProductEntries(const std::wstring& installDir) {
    WriteLog(L"restore of product entries not available in this build, dir[%s]", installDir.c_str());
}

void EnableAutorun(const std::wstring&) { WriteLog(L"autorun restore not available in this build"); }

void RegisterSkinResources() {}
void FreeSkinResources() {}

}  // namespace pending
