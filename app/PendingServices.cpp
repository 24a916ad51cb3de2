#include "app/PendingServices.h"

#include "app/SmartLogger.h"

namespace pending {

int Relaunch(const std::wstring&) {
    WriteLog(L"relaunch from a temporary copy is not available in this build");
    return 0;
}

void RegisterSkinResources() {}
void FreeSkinResources() {}

}  // namespace pending
