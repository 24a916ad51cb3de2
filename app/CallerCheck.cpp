#include "app/CallerCheck.h"

#include "app/CommandParser.h"
#include "app/ParentProcess.h"
#include "app/SmartLogger.h"
#include "app/HandOverToken.h"
#include "sysinfo/SystemChecks.h"

bool CheckCaller() {
    CCommandParser* parser = CCommandParser::Instance();
    if (!parser->IsSilent()) return true;

    if (parser->HasSwitch(L"/READYUNINSTALL")) {
        std::wstring token;
        if (!parser->GetSwitchValue(L"/CHK", token) || token.empty()) return false;
        return VerifyHandOverToken(token);
    }

    std::wstring parent = GetParentProcessPath();
    if (!parent.empty() && IsTrustedFile(parent.c_str())) return true;
    WriteLog(L"parent process = %s", parent.c_str());
    return false;
}
