#include "app/HandOverToken.h"

#include "app/base/PathUtil.h"
#include "net/TextCodec.h"
#include "sysinfo/MachineId.h"

namespace {

const wchar_t kHandOverText[] = L"hushnow";

std::wstring MachineKey() {
    wchar_t mid[MAX_PATH] = {};
    GetMid(mid, MAX_PATH);
    return mid;
}

}  // namespace

std::wstring MakeHandOverToken(const std::wstring& key) {
    if (key.empty()) return std::wstring();
    return EncryptTextW(kHandOverText, key);
}

bool VerifyHandOverToken(const std::wstring& token, const std::wstring& key) {
    if (token.empty() || key.empty()) return false;
    return text::EqualsNoCase(DecryptTextW(token, key), kHandOverText);
}

std::wstring MakeHandOverToken() { return MakeHandOverToken(MachineKey()); }
bool VerifyHandOverToken(const std::wstring& token) { return VerifyHandOverToken(token, MachineKey()); }
