#include "netlib/WinHttpApi.h"

#include "app/base/SystemLibrary.h"

namespace netlib {

namespace {

template <typename Fn>
bool Bind(HMODULE module, const char* name, Fn* slot) {
    *slot = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    return *slot != nullptr;
}

BOOL CALLBACK LoadOnce(PINIT_ONCE, PVOID parameter, PVOID*) {
    auto* api = static_cast<WinHttpApi*>(parameter);
    HMODULE module = win::LoadSystemLibrary(L"winhttp.dll");
    if (!module) return TRUE;
    bool ok = Bind(module, "WinHttpOpen", &api->Open) && Bind(module, "WinHttpConnect", &api->Connect) &&
              Bind(module, "WinHttpOpenRequest", &api->OpenRequest) &&
              Bind(module, "WinHttpSetTimeouts", &api->SetTimeouts) &&
              Bind(module, "WinHttpSetOption", &api->SetOption) &&
              Bind(module, "WinHttpSetStatusCallback", &api->SetStatusCallback) &&
              Bind(module, "WinHttpAddRequestHeaders", &api->AddRequestHeaders) &&
              Bind(module, "WinHttpSendRequest", &api->SendRequest) &&
              Bind(module, "WinHttpReceiveResponse", &api->ReceiveResponse) &&
              Bind(module, "WinHttpQueryHeaders", &api->QueryHeaders) &&
              Bind(module, "WinHttpReadData", &api->ReadData) &&
              Bind(module, "WinHttpCloseHandle", &api->CloseHandle) &&
              Bind(module, "WinHttpCrackUrl", &api->CrackUrl);
    if (!ok) api->Open = nullptr;  // marks the table unusable
    return TRUE;
}

}  // namespace

const WinHttpApi* GetWinHttp() {
    static WinHttpApi api = {};
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    ::InitOnceExecuteOnce(&once, LoadOnce, &api, nullptr);
    return api.Open ? &api : nullptr;
}

}  // namespace netlib
