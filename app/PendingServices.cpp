#include "app/PendingServices.h"

#include "app/SmartLogger.h"

namespace pending {

int Relaunch(const std::wstring&) {
    WriteLog(L"relaunch from a temporary copy is not available in this build");
    return 0;
}

void StatisticSetType(const std::wstring&) {}
void StatisticSetVer(const std::wstring&) {}

void StatisticSendAction(const std::wstring& action, const std::wstring& extra, bool synchronous) {
    WriteLog(L"statistics not available, action[%s] extra[%s] sync[%d] not sent", action.c_str(), extra.c_str(),
             synchronous ? 1 : 0);
}

void LoadNetworkLibrary() { WriteLog(L"network library not available in this build"); }
void RequestFeedbackOptions() {}
void ReleaseFeedbackOptions() {}

void RestoreProductEntries(const std::wstring& installDir) {
    WriteLog(L"restore of product entries not available in this build, dir[%s]", installDir.c_str());
}

void EnableAutorun(const std::wstring&) { WriteLog(L"autorun restore not available in this build"); }


}  // namespace pending

namespace pending {
void RegisterSkinResources() {}
void FreeSkinResources() {}
}  // namespace pending
