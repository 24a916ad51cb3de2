// Access to the local test web service (tools/testservice/service.py) that
// ./run starts and names in LUMORA_TEST_SERVICE: scripting its replies and
// reading back the requests it recorded. Independent of the network library
// under test: it talks plain synchronous WinHTTP.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

class TestService {
public:
    // The base URL from LUMORA_TEST_SERVICE ("http://127.0.0.1:PORT"), empty when unset.
    static std::wstring BaseUrl();

    // A path unique to this process and call, so test programs sharing the
    // service never see each other's scripts or records: "/PREFIX/PID-N/NAME".
    static std::string UniquePath(const std::string& prefix, const std::string& name);
    static std::wstring Url(const std::string& path);

    // Queues canned replies: `json` is an object {"/path": reply or [replies]}.
    static bool Script(const std::string& json);
    // The recorded requests for a path, one JSON text each, oldest first.
    static std::vector<std::string> Requests(const std::string& path);
};

// One synchronous exchange; false when no response arrived.
bool HttpExchange(const wchar_t* verb, const std::wstring& url, const std::string& body,
                  const wchar_t* contentType, int* status, std::string* response);

}  // namespace testing_support
