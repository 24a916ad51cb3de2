// WinHTTP, bound at run time from the system directory: the library imports
// nothing that the loader would look for beside the program.
#pragma once

#include <windows.h>
#include <winhttp.h>

namespace netlib {

struct WinHttpApi {
    decltype(&::WinHttpOpen) Open;
    decltype(&::WinHttpConnect) Connect;
    decltype(&::WinHttpOpenRequest) OpenRequest;
    decltype(&::WinHttpSetTimeouts) SetTimeouts;
    decltype(&::WinHttpSetOption) SetOption;
    decltype(&::WinHttpSetStatusCallback) SetStatusCallback;
    decltype(&::WinHttpAddRequestHeaders) AddRequestHeaders;
    decltype(&::WinHttpSendRequest) SendRequest;
    decltype(&::WinHttpReceiveResponse) ReceiveResponse;
    decltype(&::WinHttpQueryHeaders) QueryHeaders;
    decltype(&::WinHttpReadData) ReadData;
    decltype(&::WinHttpCloseHandle) CloseHandle;
    decltype(&::WinHttpCrackUrl) CrackUrl;
};

// The bound functions, or null when winhttp.dll or one of them is missing.
// The library stays loaded for the life of the process.
const WinHttpApi* GetWinHttp();

}  // namespace netlib
