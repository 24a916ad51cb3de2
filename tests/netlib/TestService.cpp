#include "netlib/TestService.h"

#include <windows.h>
#include <winhttp.h>

#include <atomic>

#include "app/base/SystemLibrary.h"

namespace testing_support {

namespace {

template <typename Fn>
Fn Api(const char* name) {
    return win::SystemFunction<Fn>(L"winhttp.dll", name);
}

struct InternetHandle {
    HINTERNET value = nullptr;
    ~InternetHandle() {
        if (value) Api<decltype(&::WinHttpCloseHandle)>("WinHttpCloseHandle")(value);
    }
};

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

bool HttpExchange(const wchar_t* verb, const std::wstring& url, const std::string& body,
                  const wchar_t* contentType, int* status, std::string* response) {
    auto open = Api<decltype(&::WinHttpOpen)>("WinHttpOpen");
    auto crack = Api<decltype(&::WinHttpCrackUrl)>("WinHttpCrackUrl");
    auto connect = Api<decltype(&::WinHttpConnect)>("WinHttpConnect");
    auto openRequest = Api<decltype(&::WinHttpOpenRequest)>("WinHttpOpenRequest");
    auto setTimeouts = Api<decltype(&::WinHttpSetTimeouts)>("WinHttpSetTimeouts");
    auto send = Api<decltype(&::WinHttpSendRequest)>("WinHttpSendRequest");
    auto receive = Api<decltype(&::WinHttpReceiveResponse)>("WinHttpReceiveResponse");
    auto query = Api<decltype(&::WinHttpQueryHeaders)>("WinHttpQueryHeaders");
    auto read = Api<decltype(&::WinHttpReadData)>("WinHttpReadData");
    if (!open || !crack || !connect || !openRequest || !setTimeouts || !send || !receive || !query || !read)
        return false;

    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!crack(url.c_str(), 0, 0, &parts)) return false;
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength);
    object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

    InternetHandle session, connection, request;
    session.value = open(L"LumoraTests", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                         WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session.value) return false;
    connection.value = connect(session.value, host.c_str(), parts.nPort, 0);
    if (!connection.value) return false;
    request.value = openRequest(connection.value, verb, object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    if (!request.value) return false;
    setTimeouts(request.value, 5000, 5000, 10000, 10000);
    std::wstring headers;
    if (contentType) headers = std::wstring(L"Content-Type: ") + contentType;
    void* data = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
    if (!send(request.value, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
              headers.empty() ? 0 : static_cast<DWORD>(-1), data, static_cast<DWORD>(body.size()),
              static_cast<DWORD>(body.size()), 0) ||
        !receive(request.value, nullptr))
        return false;
    DWORD code = 0;
    DWORD size = sizeof(code);
    if (!query(request.value, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
               &code, &size, WINHTTP_NO_HEADER_INDEX))
        return false;
    *status = static_cast<int>(code);
    response->clear();
    char buffer[16 * 1024];
    for (;;) {
        DWORD got = 0;
        if (!read(request.value, buffer, sizeof(buffer), &got)) return false;
        if (got == 0) break;
        response->append(buffer, got);
    }
    return true;
}

std::wstring TestService::BaseUrl() {
    wchar_t buffer[512] = {};
    DWORD length = ::GetEnvironmentVariableW(L"LUMORA_TEST_SERVICE", buffer, 512);
    if (length == 0 || length >= 512) return std::wstring();
    std::wstring url(buffer, length);
    while (!url.empty() && url.back() == L'/') url.pop_back();
    return url;
}

std::string TestService::UniquePath(const std::string& prefix, const std::string& name) {
    static std::atomic<int> counter{0};
    return "/" + prefix + "/" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++counter) + "/" +
           name;
}

std::wstring TestService::Url(const std::string& path) { return BaseUrl() + Widen(path); }

bool TestService::Script(const std::string& json) {
    int status = 0;
    std::string response;
    return HttpExchange(L"POST", Url("/__control/script"), json, L"application/json", &status, &response) &&
           status == 200;
}

std::vector<std::string> TestService::Requests(const std::string& path) {
    std::vector<std::string> lines;
    int status = 0;
    std::string response;
    if (!HttpExchange(L"GET", Url("/__requests?path=" + path), std::string(), nullptr, &status, &response) ||
        status != 200)
        return lines;
    size_t start = 0;
    while (start < response.size()) {
        size_t end = response.find('\n', start);
        if (end == std::string::npos) end = response.size();
        if (end > start) lines.push_back(response.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace testing_support
