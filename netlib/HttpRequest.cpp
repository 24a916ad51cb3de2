#include "netlib/HttpRequest.h"

#include <algorithm>
#include <cwctype>
#include <utility>

#include "netlib/HttpManager.h"
#include "netlib/WinHttpApi.h"

namespace netlib {

namespace {

constexpr DWORD kReadChunk = 64 * 1024;

// One code for every kind of time-out: some WinHTTP builds pass the socket's
// own error through.
uint32_t NormalizedError(uint32_t error) {
    if (error == 0) return ERROR_WINHTTP_INTERNAL_ERROR;
    if (error == WSAETIMEDOUT || error == ERROR_TIMEOUT || error == WAIT_TIMEOUT) return ERROR_WINHTTP_TIMEOUT;
    return error;
}

RequestResult Failure(uint32_t error, int32_t httpStatus = 0) {
    RequestResult result;
    result.status = kHttpTaskFailed;
    result.error = NormalizedError(error);
    result.httpStatus = httpStatus;
    result.body = std::make_shared<const std::string>();
    return result;
}

bool IsLoopback(const std::wstring& host) {
    return _wcsicmp(host.c_str(), L"localhost") == 0 || host.compare(0, 4, L"127.") == 0 || host == L"[::1]" ||
           host == L"::1";
}

bool ContainsNoCase(const std::wstring& text, const wchar_t* word) {
    std::wstring lower = text;
    for (auto& c : lower) c = static_cast<wchar_t>(towlower(c));
    return lower.find(word) != std::wstring::npos;
}

// WinHTTP can call StatusCallback on its threads until the last handle-closing
// notice has returned, later than any wait of ours can prove. Once a request
// has been handed to WinHTTP the library therefore stays mapped for the rest
// of the process, so a FreeLibrary after HttpUninit never unmaps running code.
void PinLibrary() {
    static volatile LONG pinned = 0;
    if (::InterlockedExchange(&pinned, 1)) return;
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&PinLibrary), &self);
}

}  // namespace

HttpRequest::HttpRequest(HttpTask* task, RequestSettings settings)
    : task_(Ref<HttpTask>::Share(task)),
      manager_(task->manager()),
      settings_(std::move(settings)),
      deadline_(::GetTickCount64() + settings_.totalTimeoutMs) {}

bool HttpRequest::Start(uint32_t* error) {
    const WinHttpApi* api = GetWinHttp();
    Guard guard(lock_);
    *error = 0;
    if (finished()) {
        *error = ERROR_WINHTTP_OPERATION_CANCELLED;
        return false;
    }
    auto fail = [&](uint32_t code) {
        *error = code ? code : static_cast<uint32_t>(ERROR_WINHTTP_INTERNAL_ERROR);
        FinishLocked(Failure(*error));
        return false;
    };
    if (!api) return fail(ERROR_MOD_NOT_FOUND);

    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
        static_cast<DWORD>(-1);
    if (!api->CrackUrl(settings_.url.c_str(), 0, 0, &parts)) return fail(::GetLastError());
    bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if ((parts.nScheme != INTERNET_SCHEME_HTTP && !secure) || parts.dwHostNameLength == 0)
        return fail(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object = parts.dwUrlPathLength ? std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) : L"/";
    if (parts.dwExtraInfoLength) object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    size_t fragment = object.find(L'#');  // never sent to the server
    if (fragment != std::wstring::npos) object.erase(fragment);

    std::wstring headers;
    if (settings_.method == kHttpPostForm) {
        requestBody_ = EncodeForm(settings_.fields);
        headers += L"Content-Type: application/x-www-form-urlencoded\r\n";
        if (settings_.gzipBody) {
            std::string packed;
            if (!GzipCompress(requestBody_, &packed)) return fail(ERROR_NOT_ENOUGH_MEMORY);
            requestBody_.swap(packed);
            headers += L"Content-Encoding: gzip\r\n";
        }
    } else if (!settings_.fields.empty()) {
        // GET carries the fields in its query.
        wchar_t last = object.empty() ? L'\0' : object.back();
        if (object.find(L'?') == std::wstring::npos) object += L'?';
        else if (last != L'?' && last != L'&') object += L'&';
        object += FromUtf8(EncodeForm(settings_.fields));
    }
    if (settings_.acceptGzip) headers += L"Accept-Encoding: gzip\r\n";
    for (const auto& header : settings_.headers)
        headers += FromUtf8(header.first) + L": " + FromUtf8(header.second) + L"\r\n";

    connect_ = api->Connect(manager_->Session(IsLoopback(host)), host.c_str(), parts.nPort, 0);
    if (!connect_) return fail(::GetLastError());
    request_ = api->OpenRequest(connect_, settings_.method == kHttpPostForm ? L"POST" : L"GET", object.c_str(),
                                nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                secure ? WINHTTP_FLAG_SECURE : 0);
    if (!request_) return fail(::GetLastError());

    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(this);
    if (!api->SetOption(request_, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context)))
        return fail(::GetLastError());
    PinLibrary();
    if (api->SetStatusCallback(request_, &HttpRequest::StatusCallback,
                               WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                               0) == WINHTTP_INVALID_STATUS_CALLBACK)
        return fail(::GetLastError());
    // WinHTTP's reference: returned by the handle-closing notice.
    AddRef();
    callbackInstalled_ = true;
    if (!manager_->Register(this)) return fail(kHttpErrorShutDown);
    registered_ = true;

    DWORD connectMs = std::min(settings_.connectTimeoutMs, settings_.totalTimeoutMs);
    DWORD sendMs = std::min(settings_.sendTimeoutMs, settings_.totalTimeoutMs);
    DWORD receiveMs = std::min(settings_.receiveTimeoutMs, settings_.totalTimeoutMs);
    if (!api->SetTimeouts(request_, static_cast<int>(connectMs), static_cast<int>(connectMs),
                          static_cast<int>(sendMs), static_cast<int>(receiveMs)))
        return fail(::GetLastError());
    // The wait for the response headers has a limit of its own in WinHTTP.
    api->SetOption(request_, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receiveMs, sizeof(receiveMs));
    if (!headers.empty() &&
        !api->AddRequestHeaders(request_, headers.c_str(), static_cast<DWORD>(-1),
                                WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
        return fail(::GetLastError());

    sent_ = true;
    DWORD bodyLength = static_cast<DWORD>(requestBody_.size());
    void* body = bodyLength ? &requestBody_[0] : WINHTTP_NO_REQUEST_DATA;
    if (!api->SendRequest(request_, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body, bodyLength, bodyLength, context)) {
        // Refused at once: no completion notice will follow, so no event either.
        sent_ = false;
        return fail(::GetLastError());
    }
    return true;
}

void HttpRequest::Fail(uint32_t error) {
    Guard guard(lock_);
    FinishLocked(Failure(error));
}

void CALLBACK HttpRequest::StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, void* info,
                                          DWORD infoLength) {
    auto* self = reinterpret_cast<HttpRequest*>(context);
    if (!self) return;
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        // The last notice for the handle: WinHTTP's reference comes back.
        Ref<HttpRequest> winhttpReference = Ref<HttpRequest>::Adopt(self);
        if (self->registered_) self->manager_->Unregister(self);
        return;
    }
    Ref<HttpRequest> keep = Ref<HttpRequest>::Share(self);
    self->OnStatus(status, info, infoLength);
}

void HttpRequest::OnStatus(DWORD status, void* info, DWORD infoLength) {
    Guard guard(lock_);
    if (finished() || !request_) return;
    const WinHttpApi* api = GetWinHttp();
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        task_->OnRequestProgress(this, kHttpTaskSent, 0);
        if (!api->ReceiveResponse(request_, nullptr)) FinishLocked(Failure(::GetLastError()));
        break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        OnHeaders();
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        if (inRead_) {
            // Completed inside WinHttpReadData on this thread: ReadMore goes on.
            readCompletedInline_ = true;
            inlineBytes_ = infoLength;
            break;
        }
        if (TakeBytes(infoLength)) ReadMore();
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
        auto* result = static_cast<WINHTTP_ASYNC_RESULT*>(info);
        FinishLocked(Failure(result ? result->dwError : ERROR_WINHTTP_INTERNAL_ERROR));
        break;
    }
    default:
        break;
    }
}

void HttpRequest::OnHeaders() {
    const WinHttpApi* api = GetWinHttp();
    DWORD code = 0;
    DWORD size = sizeof(code);
    if (!api->QueryHeaders(request_, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX)) {
        FinishLocked(Failure(::GetLastError()));
        return;
    }
    httpStatus_ = static_cast<int32_t>(code);

    wchar_t encoding[128] = {};
    size = sizeof(encoding) - sizeof(wchar_t);
    if (settings_.acceptGzip && api->QueryHeaders(request_, WINHTTP_QUERY_CONTENT_ENCODING,
                                                  WINHTTP_HEADER_NAME_BY_INDEX, encoding, &size,
                                                  WINHTTP_NO_HEADER_INDEX))
        gzipResponse_ = ContainsNoCase(encoding, L"gzip");

    DWORD length = 0;
    size = sizeof(length);
    lengthKnown_ = api->QueryHeaders(request_, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                     WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX) != FALSE;
    announcedLength_ = length;
    if (lengthKnown_ && length > settings_.maxResponseBytes) {
        FinishLocked(Failure(kHttpErrorTooLarge, httpStatus_));
        return;
    }

    task_->OnRequestProgress(this, kHttpTaskReceiving, httpStatus_);
    readBuffer_.resize(kReadChunk);
    ReadMore();
}

void HttpRequest::ReadMore() {
    const WinHttpApi* api = GetWinHttp();
    for (;;) {
        if (finished() || !request_) return;
        inRead_ = true;
        readCompletedInline_ = false;
        BOOL ok = api->ReadData(request_, readBuffer_.data(), kReadChunk, nullptr);
        DWORD lastError = ::GetLastError();
        inRead_ = false;
        if (finished()) return;  // an error notice arrived inside the call
        if (!ok) {
            FinishLocked(Failure(lastError));
            return;
        }
        if (!readCompletedInline_) return;  // READ_COMPLETE will continue
        if (!TakeBytes(inlineBytes_)) return;
    }
}

bool HttpRequest::TakeBytes(DWORD count) {
    if (count == 0) {
        Complete();
        return false;
    }
    if (count > readBuffer_.size() || response_.size() + count > settings_.maxResponseBytes) {
        FinishLocked(Failure(kHttpErrorTooLarge, httpStatus_));
        return false;
    }
    response_.append(readBuffer_.data(), count);
    return true;
}

void HttpRequest::Complete() {
    // A connection closed before the announced length is a broken reply, not a short body.
    if (lengthKnown_ && response_.size() != announcedLength_) {
        FinishLocked(Failure(ERROR_WINHTTP_CONNECTION_ERROR, httpStatus_));
        return;
    }
    std::string body = std::move(response_);
    if (gzipResponse_ && !body.empty()) {
        std::string inflated;
        InflateResult inflate = Inflate(body, settings_.maxResponseBytes, &inflated);
        if (inflate == InflateResult::kTooLarge) {
            FinishLocked(Failure(kHttpErrorTooLarge, httpStatus_));
            return;
        }
        if (inflate == InflateResult::kOk) {
            body.swap(inflated);
        } else if (httpStatus_ < 400) {
            FinishLocked(Failure(kHttpErrorBadEncoding, httpStatus_));
            return;
        }
    }
    RequestResult result;
    result.httpStatus = httpStatus_;
    if (httpStatus_ >= 400) {
        result.status = kHttpTaskFailed;
        result.error = kHttpErrorHttpStatus;
    } else {
        result.status = kHttpTaskCompleted;
    }
    result.body = std::make_shared<const std::string>(std::move(body));
    FinishLocked(std::move(result));
}

void HttpRequest::FinishLocked(RequestResult result) {
    if (::InterlockedExchange(&finished_, 1) != 0) return;
    HINTERNET request = std::exchange(request_, nullptr);
    HINTERNET connect = std::exchange(connect_, nullptr);
    if (const WinHttpApi* api = GetWinHttp()) {
        // Closing aborts whatever WinHTTP still does for the request; its
        // late notices find the request finished and are ignored.
        if (request) api->CloseHandle(request);
        if (connect) api->CloseHandle(connect);
    }
    if (result.httpStatus == 0) result.httpStatus = httpStatus_;
    task_->OnRequestFinished(this, result, sent_);
    manager_->NotifyRequestChanged();
}

}  // namespace netlib
