// The feedback service's configuration reads, the feedback requests and the
// uploaded uninstall answer, through the real DarIR.dll against the local test
// service at the address this build was configured with (LUMORA_TEST_SERVICE
// must name the same service).
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cJSON.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "net/FeedbackRequests.h"
#include "net/FeedbackService.h"
#include "net/HttpRequestSlot.h"
#include "net/JsonMembers.h"
#include "net/NetLibrary.h"
#include "net/ServiceHosts.h"
#include "net/Statistic.h"
#include "net/TextCodec.h"
#include "net/UninstallConfig.h"
#include "net/UninstallFeedbackConfig.h"
#include "net/UpLoadMgr.h"
#include "net/Uploader.h"
#include "netlib/TestService.h"
#include "support/TestSupport.h"
#include "sysinfo/SystemChecks.h"

using testing_support::TestService;

namespace {

constexpr DWORD kEventWaitMs = 20000;
const char kOptionsPath[] = "/live/intf/getUninstallOptions";
const char kConfigPath[] = "/live/intf/GetConfig";
const char kReasonPath[] = "/live/uninstall/addUninstallReason";
const char kSmsPath[] = "/live/uninstall/sendSmsCode";
const char kBeansPath[] = "/live/uninstall/getBdouByUninstall";
const char kFeedbackPath[] = "/live/uninstall/addFeedback";
const char kAnswerPath[] = "/inst/uninst.php";
// Nothing listens here: connections are refused at once.
const wchar_t kRefusingBase[] = L"http://127.0.0.1:1";

std::wstring BuildFile(const std::wstring& relative) { return testing_support::BuildDir() + L"\\" + relative; }
std::wstring DarIRPath() { return BuildFile(L"DarIR.dll"); }

// The library as start-up loads it, once for this program.
IHttpManager* Manager() {
    static NetLibrary* library = [] {
        auto* record = new NetLibrary();
        record->Load(DarIRPath().c_str());
        return record;
    }();
    return library->Manager();
}

std::string JsonQuoted(const std::string& text) {
    JsonPtr value(cJSON_CreateString(text.c_str()));
    char* printed = cJSON_PrintUnformatted(value.get());
    std::string quoted = printed != nullptr ? printed : "\"\"";
    cJSON_free(printed);
    return quoted;
}

bool ScriptReply(const std::string& path, const std::string& reply) {
    return TestService::Script("{\"" + path + "\":" + reply + "}");
}

// One recorded request.
class Recorded {
public:
    explicit Recorded(const std::string& json) : root_(cJSON_Parse(json.c_str())) {}
    const cJSON* Root() const { return root_.get(); }
    std::string Text(const char* name) const { return StringOf(cJSON_GetObjectItemCaseSensitive(root_.get(), name)); }
    const cJSON* Decoded() const { return cJSON_GetObjectItemCaseSensitive(root_.get(), "decoded"); }
    // Form fields in the order sent, decoded as the service's handler reads them.
    std::vector<std::pair<std::string, std::string>> Fields() const {
        std::vector<std::pair<std::string, std::string>> fields;
        const cJSON* list = cJSON_GetObjectItemCaseSensitive(Decoded(), "fields");
        for (int i = 0; i < cJSON_GetArraySize(list); ++i) {
            const cJSON* pair = cJSON_GetArrayItem(list, i);
            fields.emplace_back(StringOf(cJSON_GetArrayItem(pair, 0)), StringOf(cJSON_GetArrayItem(pair, 1)));
        }
        return fields;
    }
    // The raw bytes of a form value, as hex.
    std::string FormHex(const char* name) const {
        const cJSON* values = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(root_.get(), "form_hex"), name);
        return StringOf(cJSON_GetArrayItem(values, 0));
    }
    std::string Form(const char* name) const {
        const cJSON* values = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(root_.get(), "form"), name);
        return StringOf(cJSON_GetArrayItem(values, 0));
    }

    static std::string StringOf(const cJSON* item) {
        return cJSON_IsString(item) && item->valuestring != nullptr ? item->valuestring : std::string();
    }

private:
    JsonPtr root_;
};

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : bytes) {
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 15]);
    }
    return hex;
}

// The requests recorded for a path after `before` earlier ones.
class RequestLog {
public:
    explicit RequestLog(std::string path) : path_(std::move(path)), before_(TestService::Requests(path_).size()) {}
    std::vector<std::string> New() const {
        std::vector<std::string> lines = TestService::Requests(path_);
        if (lines.size() <= before_) return {};
        return std::vector<std::string>(lines.begin() + before_, lines.end());
    }
    // Waits (bounded) until `count` new requests were recorded.
    std::vector<std::string> WaitFor(size_t count) const {
        for (int i = 0; i < 200; ++i) {
            std::vector<std::string> lines = New();
            if (lines.size() >= count) return lines;
            ::Sleep(50);
        }
        return New();
    }

private:
    std::string path_;
    size_t before_;
};

template <typename Done>
bool WaitUntil(Done done, DWORD timeoutMs = kEventWaitMs) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
        if (done()) return true;
        ::Sleep(20);
    }
    return done();
}

// A window's receiver: keeps its request in a slot and reads the last event.
class Receiver final : public IHttpTaskCallback {
public:
    Receiver() : done_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    void OnTaskEvent(IHttpTask* task, const HttpTaskEvent* event) override {
        ++events_;
        HttpTaskPtr finished = slot.TakeIfFinished(task, event);
        if (!finished) return;
        status_ = event->status;
        reply_ = feedback::ReadFeedbackReply(event);
        beans_ = feedback::ReadBeansReply(event);
        ::SetEvent(done_.get());
    }
    bool Wait() { return ::WaitForSingleObject(done_.get(), kEventWaitMs) == WAIT_OBJECT_0; }
    void Reset() { ::ResetEvent(done_.get()); }

    HttpRequestSlot slot;
    int status_ = -1;
    feedback::FeedbackReply reply_;
    feedback::BeansReply beans_;
    std::atomic<int> events_{0};

private:
    win::UniqueHandle done_;
};

class FeedbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The program talks to the address compiled in; the tests script and
        // read the service named by LUMORA_TEST_SERVICE. They must be one.
        ASSERT_EQ(TestService::BaseUrl(), std::wstring(LUMORA_FEEDBACK_BASE))
            << "start tools/testservice/start.sh DIR 3600 <port of LUMORA_SERVICE_BASE> and export LUMORA_TEST_SERVICE";
        int status = 0;
        std::string body;
        ASSERT_TRUE(testing_support::HttpExchange(L"GET", FeedbackServiceUrl(L"/__health"), std::string(), nullptr,
                                                  &status, &body) &&
                    status == 200)
            << "the local test service does not answer";
        ASSERT_NE(Manager(), nullptr) << "DarIR.dll did not load from the build folder";
    }
};

// ---- JSON member helpers ------------------------------------------------------

TEST(JsonMembers, ReadMembersOnlyOfTheirType) {
    const char text[] = R"({"Errno":0,"num":42,"big":1e20,"neg":-3.7,"str":"x","msg":"\u4f60\u597d","obj":{},"nul":null})";
    JsonPtr root = ParseJsonReply(text, sizeof(text) - 1);
    ASSERT_TRUE(root);
    EXPECT_EQ(JsonInt(root.get(), "errno", 1), 0);  // names compared without case
    EXPECT_EQ(JsonInt(root.get(), "num", 7), 42);
    EXPECT_EQ(JsonInt(root.get(), "big", 7), INT_MAX);
    EXPECT_EQ(JsonInt(root.get(), "neg", 7), -3);
    EXPECT_EQ(JsonInt(root.get(), "str", 7), 7);
    EXPECT_EQ(JsonInt(root.get(), "nul", 7), 7);
    EXPECT_EQ(JsonInt(root.get(), "missing", 7), 7);
    EXPECT_EQ(JsonString(root.get(), "STR", "d"), "x");
    EXPECT_EQ(JsonString(root.get(), "num", "d"), "d");
    EXPECT_EQ(JsonString(root.get(), "obj", "d"), "d");
    EXPECT_EQ(JsonStringW(root.get(), "msg"), L"\u4f60\u597d");
    EXPECT_EQ(JsonStringW(root.get(), "MSG"), L"");  // exact names only
    EXPECT_EQ(JsonStringW(root.get(), "num"), L"");
    EXPECT_NE(JsonObject(root.get(), "OBJ"), nullptr);
    EXPECT_EQ(JsonObject(root.get(), "str"), nullptr);
    // Not an object: every reader gives its default.
    const char array[] = R"([{"errno":0}])";
    JsonPtr list = ParseJsonReply(array, sizeof(array) - 1);
    ASSERT_TRUE(list);
    EXPECT_EQ(JsonInt(list.get(), "errno", 5), 5);
    EXPECT_EQ(JsonInt(nullptr, "errno", 5), 5);
    EXPECT_EQ(JsonStringW(nullptr, "msg"), L"");
}

TEST(JsonMembers, RefusesDamagedAndOversizedReplies) {
    std::string deep = std::string(40, '[') + std::string(40, ']');
    std::string large = "{\"errno\":0,\"data\":\"" + std::string(kMaxJsonReplyBytes, '1') + "\"}";
    const std::string refused[] = {"", "{\"errno\":0", "{\"errno\":0}garbage", "{errno:0}", "nul", deep, large};
    for (const std::string& text : refused) {
        EXPECT_FALSE(ParseJsonReply(text.data(), text.size())) << text.substr(0, 60);
    }
    EXPECT_FALSE(ParseJsonReply(nullptr, 5));
    const std::string accepted[] = {"{\"errno\":0} \r\n", std::string(30, '[') + std::string(30, ']'), "\"[[[[\""};
    for (const std::string& text : accepted) {
        EXPECT_TRUE(ParseJsonReply(text.data(), text.size())) << text.substr(0, 60);
    }
}

// ---- Options reply -------------------------------------------------------------

struct OptionsCase {
    const char* body;
    bool obtained;
    std::vector<int> options;
};

TEST(UninstallFeedbackConfigReply, ReadsOptionIds) {
    const std::vector<int> untouched = {9};
    const OptionsCase cases[] = {
        {R"({"errno":0,"data":"1,3,4"})", true, {1, 3, 4}},
        {R"({"errno":0,"data":"2,4"})", true, {2, 4}},
        {R"({"errno":0,"data":"1,x,3"})", true, {1, 0, 3}},
        {R"({"errno":0,"data":" -5, +7,12abc,,3"})", true, {-5, 7, 12, 0, 3}},
        {R"({"errno":0,"data":"99999999999"})", true, {INT_MAX}},
        {R"({"ERRNO":0,"data":"4"})", true, {4}},
        {R"({"errno":0,"data":""})", false, untouched},
        {R"({"data":"1,2"})", false, untouched},
        {R"({"errno":1,"data":"1,2"})", false, untouched},
        {R"({"errno":"0","data":"1,2"})", false, untouched},
        {R"({"errno":0,"data":[1,2]})", false, untouched},
        {R"({"errno":0,"data":12})", false, untouched},
        {R"({"errno":0,"Data":"1,2"})", false, untouched},  // "data" is read by its exact name
        {R"({"errno":0,"data":"1,2")", false, untouched},
        {R"(["errno",0])", false, untouched},
        {"", false, untouched},
    };
    for (const OptionsCase& c : cases) {
        std::vector<int> options = untouched;
        EXPECT_EQ(UninstallFeedbackConfig::ParseOptionsReply(c.body, strlen(c.body), options), c.obtained) << c.body;
        EXPECT_EQ(options, c.options) << c.body;
    }
}

// ---- Questionnaire reply -------------------------------------------------------

struct ConfigCase {
    const char* body;
    const wchar_t* url;  // empty: refused
};

TEST(UninstallConfigReply, ReadsOnlyAnOfferedHttpAddress) {
    const ConfigCase cases[] = {
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":"http://q.example/a?b=1"}}})",
         L"http://q.example/a?b=1"},
        {R"({"errno":0,"data":{"Uninstall_Questionnaire":{"Status":"2x","URL":"HTTPS://q.example/\u95ee"}}})",
         L"HTTPS://q.example/\u95ee"},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":1,"url":"http://q.example/"}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"0","url":"http://q.example/"}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"abc","url":"http://q.example/"}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"url":"http://q.example/"}}})", L""},
        {R"({"errno":1,"data":{"uninstall_questionnaire":{"status":"1","url":"http://q.example/"}}})", L""},
        {R"({"data":{"uninstall_questionnaire":{"status":"1","url":"http://q.example/"}}})", L""},
        {R"({"errno":0,"data":"{\"uninstall_questionnaire\":{}}"})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":"status=1"}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":7}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":""}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":"file:///C:/Windows/system32/calc.exe"}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":"C:\\Windows\\notepad.exe"}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":"javascript:history.back"}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":"ftp://q.example/"}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":"http://"}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":"http:///path"}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":"http://q.example/a b"}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":"http://q.example/\r\nX"}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":" http://q.example/"}}})", L""},
        {R"({"errno":0,"data":{"uninstall_questionnaire":{"status":"1")", L""},
    };
    for (const ConfigCase& c : cases) {
        std::wstring url = L"unchanged";
        bool accepted = CUninstallConfig::ParseConfigReply(c.body, strlen(c.body), url);
        EXPECT_EQ(accepted, *c.url != L'\0') << c.body;
        EXPECT_EQ(url, accepted ? std::wstring(c.url) : std::wstring(L"unchanged")) << c.body;
    }
    std::wstring longUrl = L"http://q.example/" + std::wstring(CUninstallConfig::kMaxUrlChars, L'a');
    EXPECT_FALSE(CUninstallConfig::AcceptableQuestionnaireUrl(longUrl));
}

// ---- Client identity in the queries -----------------------------------------------

TEST(FeedbackQuery, EncodesValuesSoTheyCannotAddParameters) {
    EXPECT_EQ(feedback::ClientQuery(L"3.1.0.8", L"1.0.0.2", L"ABC_RuvUviz_01"),
              L"appver=3.1.0.8&modver=1.0.0.2&pid=ABC_RuvUviz_01");
    EXPECT_EQ(feedback::ClientQuery(L"", L"", L""), L"appver=&modver=&pid=");
    EXPECT_EQ(feedback::ClientQuery(L"1", L"2", L"a b&x=1#\u4e2d"), L"appver=1&modver=2&pid=a%20b%26x%3D1%23%E4%B8%AD");
    EXPECT_EQ(UninstallFeedbackConfig::OptionsUrl(L"q=1"),
              std::wstring(LUMORA_FEEDBACK_BASE) + L"/live/intf/getUninstallOptions?q=1");
    EXPECT_EQ(CUninstallConfig::ConfigUrl(L"q=1"), std::wstring(LUMORA_FEEDBACK_BASE) + L"/live/intf/GetConfig?q=1");
}

TEST(FeedbackQuery, PartnerIdIsTrimmedAndSelectsTheQuestionnaire) {
    std::wstring key = L"Software\\LumoraTests\\feedback-" + std::to_wstring(::GetCurrentProcessId());
    win::UniqueRegKey created;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, created.put(),
                                nullptr),
              ERROR_SUCCESS);
    win::ScopeExit removeKey([&] { ::RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str()); });
    EXPECT_EQ(feedback::ReadPartnerId(HKEY_CURRENT_USER, key.c_str()), L"");
    const wchar_t value[] = L" \t ABC_RuvUviz_01 \t";
    ASSERT_EQ(::RegSetValueExW(created.get(), L"pid", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof(value)),
              ERROR_SUCCESS);
    EXPECT_EQ(feedback::ReadPartnerId(HKEY_CURRENT_USER, key.c_str()), L"ABC_RuvUviz_01");
    DWORD number = 5;
    ASSERT_EQ(::RegSetValueExW(created.get(), L"pid", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(feedback::ReadPartnerId(HKEY_CURRENT_USER, key.c_str()), L"");

    const std::pair<const wchar_t*, bool> partners[] = {
        {L"ABC_RuvUviz_01", true}, {L"ruvuviz", true}, {L"RUVUVIZ7", true}, {L"abc", false}, {L"ruvuvi", false}, {L"", false}};
    for (const auto& [pid, wanted] : partners) EXPECT_EQ(feedback::IsQuestionnairePartner(pid), wanted) << pid;
}

// ---- Options request through the library ------------------------------------------

TEST_F(FeedbackTest, OptionsComeFromTheServiceReply) {
    RequestLog log(kOptionsPath);
    UninstallFeedbackConfig config;
    config.RequestOptions(Manager(), UninstallFeedbackConfig::OptionsUrl(feedback::ClientQuery(L"3.1.0.8", L"1.0.0.2", L" p&1")));
    std::vector<int> options;
    EXPECT_TRUE(config.GetFeedback(options));
    EXPECT_EQ(options, (std::vector<int>{1, 3, 4}));  // the service's example reply

    std::vector<std::string> requests = log.WaitFor(1);
    ASSERT_EQ(requests.size(), 1u);
    Recorded request(requests[0]);
    EXPECT_EQ(request.Text("method"), "GET");
    EXPECT_EQ(request.Text("query"), "appver=3.1.0.8&modver=1.0.0.2&pid=%20p%261");
    config.Release();
}

TEST_F(FeedbackTest, OptionsRequestIsSentOnlyOnce) {
    RequestLog log(kOptionsPath);
    ASSERT_TRUE(ScriptReply(kOptionsPath, R"({"json":{"errno":0,"data":"2,4"}})"));
    UninstallFeedbackConfig config;
    std::wstring url = UninstallFeedbackConfig::OptionsUrl(L"n=1");
    config.RequestOptions(Manager(), url);
    std::vector<int> options;
    EXPECT_TRUE(config.GetFeedback(options));
    EXPECT_EQ(options, (std::vector<int>{2, 4}));
    config.RequestOptions(Manager(), url);
    EXPECT_TRUE(config.GetFeedback(options));
    EXPECT_EQ(options, (std::vector<int>{2, 4}));
    EXPECT_EQ(log.New().size(), 1u);
}

struct FaultCase {
    const char* name;
    const char* reply;
};

// Every broken reply leaves the defaults, and the wait ends with the request.
TEST_F(FeedbackTest, BrokenOptionsRepliesLeaveTheDefaults) {
    const FaultCase faults[] = {
        {"not found", R"({"status":404,"json":{"errno":0,"data":"2"}})"},
        {"server error", R"({"status":500,"body":"oops"})"},
        {"truncated", R"({"body":"{\"errno\":0,\"data\":\"2,3\"}","truncate":12})"},
        {"malformed", R"({"body":"{errno:0,data:'2'}"})"},
        {"wrong types", R"({"json":{"errno":"0","data":[2,3]}})"},
        {"errno missing", R"({"json":{"data":"2,3"}})"},
        {"empty data", R"({"json":{"errno":0,"data":""}})"},
        {"html", R"({"body":"<html>busy</html>"})"},
        {"large body", R"({"huge":200000})"},
        {"beyond the library's limit", R"({"huge":9437184})"},
        {"connection closed", R"({"close":true})"},
    };
    for (const FaultCase& fault : faults) {
        SCOPED_TRACE(fault.name);
        ASSERT_TRUE(ScriptReply(kOptionsPath, fault.reply));
        UninstallFeedbackConfig config;
        config.RequestOptions(Manager(), UninstallFeedbackConfig::OptionsUrl(L"fault=1"));
        std::vector<int> options;
        EXPECT_FALSE(config.GetFeedback(options));
        EXPECT_EQ(options, UninstallFeedbackConfig::DefaultOptions());
    }
}

TEST_F(FeedbackTest, UnreachableServiceOrNoLibraryLeaveTheDefaults) {
    {
        UninstallFeedbackConfig config;
        config.RequestOptions(Manager(), std::wstring(kRefusingBase) + L"/live/intf/getUninstallOptions?x=1");
        std::vector<int> options;
        EXPECT_FALSE(config.GetFeedback(options));
        EXPECT_EQ(options, UninstallFeedbackConfig::DefaultOptions());
    }
    {
        // A URL the library refuses to start: no event will come, so nothing waits.
        UninstallFeedbackConfig config;
        config.RequestOptions(Manager(), L"ftp://127.0.0.1/x");
        std::vector<int> options;
        DWORD start = ::GetTickCount();
        EXPECT_FALSE(config.GetFeedback(options));
        EXPECT_LT(::GetTickCount() - start, 1000u);
        EXPECT_EQ(options, UninstallFeedbackConfig::DefaultOptions());
    }
    {
        RequestLog log(kOptionsPath);
        UninstallFeedbackConfig config;
        config.RequestOptions(nullptr, UninstallFeedbackConfig::OptionsUrl(L"x=1"));
        std::vector<int> options;
        DWORD start = ::GetTickCount();
        EXPECT_FALSE(config.GetFeedback(options));
        EXPECT_LT(::GetTickCount() - start, 1000u);
        EXPECT_EQ(options, UninstallFeedbackConfig::DefaultOptions());
        EXPECT_TRUE(log.New().empty());
    }
    {
        // Never asked: the defaults as well.
        UninstallFeedbackConfig config;
        std::vector<int> options;
        EXPECT_FALSE(config.GetFeedback(options));
        EXPECT_EQ(options, UninstallFeedbackConfig::DefaultOptions());
    }
}

// The window never waits more than 2000 ms, and a reply arriving after it gave
// up does not change what it was handed.
TEST_F(FeedbackTest, SlowOptionsReplyIsNotWaitedForAndDroppedWhenLate) {
    ASSERT_TRUE(ScriptReply(kOptionsPath, R"({"delay_ms":3200,"json":{"errno":0,"data":"2,4"}})"));
    UninstallFeedbackConfig config;
    config.RequestOptions(Manager(), UninstallFeedbackConfig::OptionsUrl(L"slow=1"));
    std::vector<int> options;
    DWORD start = ::GetTickCount();
    EXPECT_FALSE(config.GetFeedback(options));
    DWORD waited = ::GetTickCount() - start;
    EXPECT_GE(waited, 1900u);
    EXPECT_LE(waited, 2600u);
    EXPECT_EQ(options, UninstallFeedbackConfig::DefaultOptions());
    // The second wait ends with the late reply, which is dropped.
    EXPECT_FALSE(config.GetFeedback(options));
    EXPECT_EQ(options, UninstallFeedbackConfig::DefaultOptions());
}

// Start-up's last step releases a request that is still running; afterwards
// nothing waits and no event arrives.
TEST_F(FeedbackTest, ReleaseEndsARunningOptionsRequest) {
    RequestLog log(kOptionsPath);
    ASSERT_TRUE(ScriptReply(kOptionsPath, R"({"delay_ms":1500,"json":{"errno":0,"data":"3"}})"));
    UninstallFeedbackConfig config;
    config.RequestOptions(Manager(), UninstallFeedbackConfig::OptionsUrl(L"release=1"));
    ASSERT_EQ(log.WaitFor(1).size(), 1u);
    config.Release();
    std::vector<int> options;
    DWORD start = ::GetTickCount();
    EXPECT_FALSE(config.GetFeedback(options));
    EXPECT_LT(::GetTickCount() - start, 1000u);
    EXPECT_EQ(options, UninstallFeedbackConfig::DefaultOptions());
    config.Release();  // twice is harmless
}

// ---- Questionnaire request ----------------------------------------------------------

TEST_F(FeedbackTest, QuestionnaireAddressComesFromTheService) {
    RequestLog log(kConfigPath);
    CUninstallConfig config;
    EXPECT_EQ(config.GetQuestionnaireUrl(), L"");
    config.RequestConfig(Manager(), CUninstallConfig::ConfigUrl(feedback::ClientQuery(L"3.1.0.8", L"1.0.0.2", L"x_ruvuviz")));
    ASSERT_TRUE(WaitUntil([&] { return !config.RequestPending(); }));
    EXPECT_EQ(config.GetQuestionnaireUrl(), std::wstring(LUMORA_FEEDBACK_BASE) + L"/questionnaire/uninstall");
    std::vector<std::string> requests = log.WaitFor(1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(Recorded(requests[0]).Text("method"), "GET");
    EXPECT_EQ(Recorded(requests[0]).Text("query"), "appver=3.1.0.8&modver=1.0.0.2&pid=x_ruvuviz");
}

TEST_F(FeedbackTest, BrokenOrRefusedQuestionnaireRepliesOfferNothing) {
    const FaultCase faults[] = {
        {"status as a number", R"({"json":{"errno":0,"data":{"uninstall_questionnaire":{"status":1,"url":"http://q.example/"}}}})"},
        {"local file", R"({"json":{"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":"file:///C:/Windows/notepad.exe"}}}})"},
        {"program path", R"({"json":{"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":"C:\\Windows\\notepad.exe"}}}})"},
        {"not found", R"({"status":404,"body":"none"})"},
        {"server error", R"({"status":500,"json":{"errno":0}})"},
        {"truncated", R"({"body":"{\"errno\":0,\"data\":{\"uninstall_questionnaire\":{\"status\":\"1\"","truncate":20})"},
        {"malformed", R"({"body":"{\"errno\":0,,}"})"},
        {"data as text", R"({"json":{"errno":0,"data":"uninstall_questionnaire"}})"},
        {"large body", R"({"huge":200000})"},
        {"connection closed", R"({"close":true})"},
    };
    for (const FaultCase& fault : faults) {
        SCOPED_TRACE(fault.name);
        ASSERT_TRUE(ScriptReply(kConfigPath, fault.reply));
        CUninstallConfig config;
        config.RequestConfig(Manager(), CUninstallConfig::ConfigUrl(L"fault=1"));
        ASSERT_TRUE(WaitUntil([&] { return !config.RequestPending(); }));
        EXPECT_EQ(config.GetQuestionnaireUrl(), L"");
    }
    CUninstallConfig refused;
    refused.RequestConfig(Manager(), std::wstring(kRefusingBase) + L"/live/intf/GetConfig?x=1");
    ASSERT_TRUE(WaitUntil([&] { return !refused.RequestPending(); }));
    EXPECT_EQ(refused.GetQuestionnaireUrl(), L"");
    CUninstallConfig noLibrary;
    noLibrary.RequestConfig(nullptr, CUninstallConfig::ConfigUrl(L"x=1"));
    EXPECT_FALSE(noLibrary.RequestPending());
    EXPECT_EQ(noLibrary.GetQuestionnaireUrl(), L"");
}

TEST_F(FeedbackTest, DroppedQuestionnaireRequestChangesNothing) {
    RequestLog log(kConfigPath);
    ASSERT_TRUE(ScriptReply(kConfigPath, R"({"delay_ms":1000,"json":{"errno":0,"data":{"uninstall_questionnaire":{"status":"1","url":"http://q.example/"}}}})"));
    CUninstallConfig config;
    config.RequestConfig(Manager(), CUninstallConfig::ConfigUrl(L"drop=1"));
    EXPECT_TRUE(config.RequestPending());
    ASSERT_EQ(log.WaitFor(1).size(), 1u);  // the service holds the delayed reply
    config.DropRequest();
    EXPECT_FALSE(config.RequestPending());
    // A released task reports nothing more, so the reply can never be read.
    EXPECT_EQ(config.GetQuestionnaireUrl(), L"");
}

// ---- Feedback requests ------------------------------------------------------------------

TEST(FeedbackReasons, JoinTheCheckedBoxNumbers) {
    using feedback::JoinCheckedReasons;
    EXPECT_EQ(JoinCheckedReasons({true, false, true, false, false, true}, L'|'), L"1|3|6");
    EXPECT_EQ(JoinCheckedReasons({true, false, true, false, false, true}, L','), L"1,3,6");
    EXPECT_EQ(JoinCheckedReasons({false, true, false, false, true, false}, L'|'), L"2|5");
    EXPECT_EQ(JoinCheckedReasons({false, false, false, false, false, false}, L'|'), L"");
    EXPECT_EQ(JoinCheckedReasons({true, true, true, true, true, true}, L','), L"1,2,3,4,5,6");

    feedback::UninstallReasonFields blank = feedback::MakeUninstallReasonFields(L"", L" \t\u3000 ");
    EXPECT_FALSE(feedback::HasUninstallReason(blank));
    EXPECT_EQ(blank.suggest, L"");
    feedback::UninstallReasonFields suggestion = feedback::MakeUninstallReasonFields(L"", L"  \u592a\u5361 ");
    EXPECT_TRUE(feedback::HasUninstallReason(suggestion));
    EXPECT_EQ(suggestion.suggest, L"\u592a\u5361");
    wchar_t mid[CStatistic::kFieldChars] = {};
    CStatistic::Instance()->GetMid(mid, CStatistic::kFieldChars);
    EXPECT_EQ(suggestion.mid, mid);
    EXPECT_FALSE(suggestion.mid.empty());
}

TEST_F(FeedbackTest, UninstallReasonFieldsInOrderAndEncoding) {
    RequestLog log(kReasonPath);
    Receiver receiver;
    feedback::UninstallReasonFields fields;
    fields.reason = L"2|5";
    fields.suggest = L"\u5e7f\u544a\u592a\u591a & \"more\"";
    fields.appver = L"3.1.0.8";
    fields.modever = L"1.0.0.2";
    fields.mid = L"0123456789abcdef0123456789abcdef";
    ASSERT_TRUE(feedback::SendUninstallReason(Manager(), &receiver, receiver.slot, fields));
    ASSERT_TRUE(receiver.Wait());
    EXPECT_EQ(receiver.status_, kHttpTaskCompleted);
    EXPECT_TRUE(receiver.reply_.Succeeded());
    EXPECT_FALSE(receiver.slot.Pending());

    std::vector<std::string> requests = log.WaitFor(1);
    ASSERT_EQ(requests.size(), 1u);
    Recorded request(requests[0]);
    EXPECT_EQ(request.Text("method"), "POST");
    EXPECT_EQ(request.Text("query"), "");
    using Fields = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(request.Fields(), (Fields{{"reason", "2|5"},
                                        {"suggest", "\xe5\xb9\xbf\xe5\x91\x8a\xe5\xa4\xaa\xe5\xa4\x9a & \"more\""},
                                        {"appver", "3.1.0.8"},
                                        {"modever", "1.0.0.2"},
                                        {"mid", "0123456789abcdef0123456789abcdef"}}));
    EXPECT_EQ(request.FormHex("suggest"), Hex(text::ToUtf8(fields.suggest)));
}

TEST_F(FeedbackTest, InputWindowRequestsSendAnsiFields) {
    const std::wstring weixin = L"\u5fae\u4fe1\u53f7_abc";
    {
        RequestLog log(kSmsPath);
        Receiver receiver;
        ASSERT_TRUE(feedback::SendSmsCode(Manager(), &receiver, receiver.slot, L"13812345678"));
        ASSERT_TRUE(receiver.Wait());
        EXPECT_TRUE(receiver.reply_.Succeeded());
        std::vector<std::string> requests = log.WaitFor(1);
        ASSERT_EQ(requests.size(), 1u);
        using Fields = std::vector<std::pair<std::string, std::string>>;
        EXPECT_EQ(Recorded(requests[0]).Fields(), (Fields{{"phone", "13812345678"}}));
    }
    {
        RequestLog log(kBeansPath);
        Receiver receiver;
        ASSERT_TRUE(feedback::SendGetBeans(Manager(), &receiver, receiver.slot, L"13812345678", L"4321"));
        ASSERT_TRUE(receiver.Wait());
        EXPECT_TRUE(receiver.beans_.reply.Succeeded());
        EXPECT_TRUE(receiver.beans_.hasData);
        EXPECT_EQ(receiver.beans_.openidEncryptSelf, "openid-13812345678");
        EXPECT_EQ(receiver.beans_.openkey, "openkey-13812345678");
        std::vector<std::string> requests = log.WaitFor(1);
        ASSERT_EQ(requests.size(), 1u);
        using Fields = std::vector<std::pair<std::string, std::string>>;
        EXPECT_EQ(Recorded(requests[0]).Fields(), (Fields{{"phone", "13812345678"}, {"code", "4321"}}));
    }
    {
        RequestLog log(kFeedbackPath);
        Receiver receiver;
        feedback::ContactFields contact{L"", weixin, L"", L"a@b.example"};
        ASSERT_TRUE(feedback::SendAddFeedback(Manager(), &receiver, receiver.slot, contact));
        ASSERT_TRUE(receiver.Wait());
        EXPECT_TRUE(receiver.reply_.Succeeded());
        std::vector<std::string> requests = log.WaitFor(1);
        ASSERT_EQ(requests.size(), 1u);
        Recorded request(requests[0]);
        std::vector<std::pair<std::string, std::string>> fields = request.Fields();
        ASSERT_EQ(fields.size(), 4u);  // empty fields are sent too
        EXPECT_EQ(fields[0], std::make_pair(std::string("phone"), std::string()));
        EXPECT_EQ(fields[1].first, "weixin");
        EXPECT_EQ(fields[2], std::make_pair(std::string("qq"), std::string()));
        EXPECT_EQ(fields[3], std::make_pair(std::string("email"), std::string("a@b.example")));
        // The bytes are the ANSI code page's, not UTF-8.
        EXPECT_EQ(request.FormHex("weixin"), Hex(text::ToCodePage(weixin, CP_ACP)));
        if (::GetACP() == 936) {
            EXPECT_EQ(fields[1].second, text::ToUtf8(weixin));
        }
    }
}

struct ReplyCase {
    const char* name;
    const char* reply;
    bool succeeded;
    const wchar_t* shown;  // the message a window shows; empty: nothing
};

TEST_F(FeedbackTest, InputWindowRepliesShowOnlyReadableRefusals) {
    const ReplyCase cases[] = {
        {"success", R"({"json":{"errno":0,"msg":"ok"}})", true, L""},
        {"refused", R"({"json":{"errno":20001,"msg":"\u624b\u673a\u53f7\u9519\u8bef"}})", false, L"\u624b\u673a\u53f7\u9519\u8bef"},
        {"refused without msg", R"({"json":{"errno":3}})", false, L""},
        {"errno missing", R"({"json":{"msg":"strange"}})", false, L"strange"},
        {"errno as text", R"({"json":{"errno":"0","msg":"x"}})", false, L"x"},
        {"msg not text", R"({"json":{"errno":2,"msg":{"a":1}}})", false, L""},
        {"not found", R"({"status":404,"json":{"errno":1,"msg":"hidden"}})", false, L""},
        {"server error", R"({"status":500,"body":"oops"})", false, L""},
        {"truncated", R"({"body":"{\"errno\":1,\"msg\":\"abc\"}","truncate":10})", false, L""},
        {"malformed", R"({"body":"{\"errno\":1,\"msg\":}"})", false, L""},
        {"array", R"({"json":[{"errno":1,"msg":"x"}]})", false, L""},
        {"large body", R"({"huge":300000})", false, L""},
        {"connection closed", R"({"close":true})", false, L""},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(ScriptReply(kSmsPath, c.reply));
        Receiver receiver;
        ASSERT_TRUE(feedback::SendSmsCode(Manager(), &receiver, receiver.slot, L"13812345678"));
        ASSERT_TRUE(receiver.Wait());
        EXPECT_EQ(receiver.reply_.Succeeded(), c.succeeded);
        EXPECT_EQ(receiver.reply_.HasMessageToShow() ? receiver.reply_.message : std::wstring(), std::wstring(c.shown));
    }
    // A long message is cut to what a label can hold.
    ASSERT_TRUE(ScriptReply(kSmsPath, "{\"json\":{\"errno\":1,\"msg\":" + JsonQuoted(std::string(5000, 'm')) + "}}"));
    Receiver receiver;
    ASSERT_TRUE(feedback::SendSmsCode(Manager(), &receiver, receiver.slot, L"1"));
    ASSERT_TRUE(receiver.Wait());
    EXPECT_EQ(receiver.reply_.message, std::wstring(feedback::kMaxMessageChars, L'm'));
}

TEST_F(FeedbackTest, BeansReplyDataOfTheWrongShapeGivesEmptyTexts) {
    const FaultCase cases[] = {
        {"no data", R"({"json":{"errno":0}})"},
        {"data as text", R"({"json":{"errno":0,"data":"openid"}})"},
        {"numbers", R"({"json":{"errno":0,"data":{"openid_encrypt_self":5,"openkey":[1]}}})"},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(ScriptReply(kBeansPath, c.reply));
        Receiver receiver;
        ASSERT_TRUE(feedback::SendGetBeans(Manager(), &receiver, receiver.slot, L"13812345678", L"1"));
        ASSERT_TRUE(receiver.Wait());
        EXPECT_TRUE(receiver.beans_.reply.Succeeded());
        EXPECT_EQ(receiver.beans_.openidEncryptSelf, "");
        EXPECT_EQ(receiver.beans_.openkey, "");
    }
}

// A new request replaces the pending one of the same kind: only the latest
// is answered.
TEST_F(FeedbackTest, NewRequestReplacesThePendingOne) {
    RequestLog log(kSmsPath);
    ASSERT_TRUE(ScriptReply(kSmsPath, R"([{"delay_ms":1500,"json":{"errno":5,"msg":"first"}},{"json":{"errno":0,"msg":"second"}}])"));
    Receiver receiver;
    ASSERT_TRUE(feedback::SendSmsCode(Manager(), &receiver, receiver.slot, L"1"));
    ASSERT_EQ(log.WaitFor(1).size(), 1u);  // the first holds the delayed reply
    ASSERT_TRUE(feedback::SendSmsCode(Manager(), &receiver, receiver.slot, L"2"));
    // Replacing released the first request: its reply can no longer arrive.
    ASSERT_TRUE(receiver.Wait());
    EXPECT_EQ(receiver.reply_.message, L"second");
    EXPECT_EQ(log.New().size(), 2u);
}

TEST_F(FeedbackTest, RequestsWithoutLibraryOrServiceReportNothingOrFailure) {
    Receiver receiver;
    EXPECT_FALSE(feedback::SendSmsCode(nullptr, &receiver, receiver.slot, L"1"));
    EXPECT_FALSE(receiver.slot.Pending());
    feedback::UninstallReasonFields fields;
    fields.reason = L"1";
    EXPECT_FALSE(feedback::SendUninstallReason(nullptr, &receiver, receiver.slot, fields));
    EXPECT_EQ(receiver.events_.load(), 0);
}

// ---- Uninstall answer ---------------------------------------------------------------------

TEST(UninstallAnswer, JsonFollowsTheTemplate) {
    EXPECT_EQ(feedback::BuildAnswerJson(L"m1", L"3.1.0.8", L"1.0.0.2", L"2,5", L""),
              L"{\"mid\":\"m1\",\t\"appver\":\"3.1.0.8\", \t\"modver\":\"1.0.0.2\", \t\"check\":\"2,5\", "
              L"\t\"contact\":\"\" \t}");
    // Typed text is escaped and never fills a later placeholder.
    std::wstring json = feedback::BuildAnswerJson(L"{CONTACT}", L"", L"", L"", L"qq \"1\"\\\n\u4e2d");
    EXPECT_EQ(json, L"{\"mid\":\"{CONTACT}\",\t\"appver\":\"\", \t\"modver\":\"\", \t\"check\":\"\", "
                    L"\t\"contact\":\"qq \\\"1\\\"\\\\\\n\u4e2d\" \t}");
    std::string utf8 = text::ToUtf8(json);
    EXPECT_TRUE(ParseJsonReply(utf8.data(), utf8.size()));
}

TEST(UninstallAnswer, EncryptedUpTo743Bytes) {
    std::wstring base = feedback::BuildAnswerJson(L"m", L"1", L"2", L"1", L"");
    std::wstring at743 = feedback::BuildAnswerJson(L"m", L"1", L"2", L"1", std::wstring(743 - base.size(), L'a'));
    ASSERT_EQ(text::ToUtf8(at743).size(), 743u);
    std::string encrypted = feedback::EncryptedAnswer(at743);
    EXPECT_EQ(encrypted, *EncryptAnswer(at743, kAnswerKey));
    EXPECT_EQ(encrypted.size(), 1018u);
    std::wstring at744 = feedback::BuildAnswerJson(L"m", L"1", L"2", L"1", std::wstring(744 - base.size(), L'a'));
    EXPECT_EQ(feedback::EncryptedAnswer(at744), "");
}

// An upload manager whose library comes from a private folder laid out as the
// uploader expects.
class UploaderTest : public FeedbackTest {
protected:
    void Place(const std::wstring& source, const std::wstring& relative) {
        std::wstring target = folder_.Join(relative);
        ::CreateDirectoryW(path::Parent(target).c_str(), nullptr);
        ASSERT_TRUE(::CopyFileW(source.c_str(), target.c_str(), FALSE)) << relative.c_str();
    }
    testing_support::ScopedTempDir folder_;
};

TEST_F(UploaderTest, AnswerIsUploadedEncrypted) {
    Place(DarIRPath(), L"wallpaperhelper\\DarIR.dll");
    RequestLog log(kAnswerPath);
    CUpLoadMgr manager(folder_.path());
    std::wstring product = BuildFile(L"testdata\\signing\\signed.exe");
    std::wstring productVersion;
    ASSERT_TRUE(GetFileVersionText(product.c_str(), productVersion));
    {
        CUploader uploader(&manager);
        uploader.SetAppPath(product.c_str());
        ASSERT_TRUE(uploader.SendAnswer(L"2,5", L"  qq 12345 \t"));
        EXPECT_TRUE(manager.IsReady());
        EXPECT_EQ(uploader.AppVer(), productVersion);

        std::vector<std::string> requests = log.WaitFor(1);
        ASSERT_EQ(requests.size(), 1u);
        Recorded request(requests[0]);
        EXPECT_EQ(request.Text("method"), "POST");
        EXPECT_EQ(request.Text("query"), "from=tapis");
        std::wstring json = uploader.AnswerJson();
        EXPECT_EQ(json, feedback::BuildAnswerJson(uploader.Mid(), productVersion, uploader.ModVer(), L"2,5", L"qq 12345"));
        EXPECT_EQ(request.Form("unint_ask"), *EncryptAnswer(json, kAnswerKey));  // CR LF lines included
        const cJSON* decoded = request.Decoded();
        EXPECT_EQ(Recorded::StringOf(cJSON_GetObjectItemCaseSensitive(decoded, "unint_ask")), text::ToUtf8(json));
        const cJSON* answer = cJSON_GetObjectItemCaseSensitive(decoded, "json");
        EXPECT_EQ(Recorded::StringOf(cJSON_GetObjectItemCaseSensitive(answer, "check")), "2,5");
        EXPECT_EQ(Recorded::StringOf(cJSON_GetObjectItemCaseSensitive(answer, "contact")), "qq 12345");
        EXPECT_EQ(Recorded::StringOf(cJSON_GetObjectItemCaseSensitive(answer, "appver")), text::ToUtf8(productVersion));
        wchar_t mid[CStatistic::kFieldChars] = {};
        CStatistic::Instance()->GetMid(mid, CStatistic::kFieldChars);
        EXPECT_EQ(Recorded::StringOf(cJSON_GetObjectItemCaseSensitive(answer, "mid")), text::ToUtf8(mid));
        EXPECT_TRUE(WaitUntil([&] { return manager.PendingUploads() == 0; }));
    }
}

TEST_F(UploaderTest, AnswerTooLongForTheCodecIsSentEmpty) {
    Place(DarIRPath(), L"KelDarIR.dll");
    RequestLog log(kAnswerPath);
    CUpLoadMgr manager(folder_.path());
    CUploader uploader(&manager);
    ASSERT_TRUE(uploader.SendAnswer(L"", std::wstring(250, L'\u4e2d')));  // 750 bytes of UTF-8
    std::vector<std::string> requests = log.WaitFor(1);
    ASSERT_EQ(requests.size(), 1u);
    Recorded request(requests[0]);
    std::string body = Recorded::StringOf(cJSON_GetObjectItemCaseSensitive(request.Root(), "body_text"));
    EXPECT_EQ(body, "unint_ask=");
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(request.Decoded(), "empty")));
    EXPECT_TRUE(WaitUntil([&] { return manager.PendingUploads() == 0; }));
}

// The uploader's search order; a missing or untrusted library sends nothing.
TEST_F(UploaderTest, LibrarySearchOrderAndRefusals) {
    std::wstring unsigned_dll = BuildFile(L"testdata\\netlib\\DarIR-unsigned.dll");
    {
        RequestLog log(kAnswerPath);
        CUpLoadMgr manager(folder_.path());  // empty folder
        CUploader uploader(&manager);
        EXPECT_FALSE(uploader.SendAnswer(L"1", L""));
        EXPECT_FALSE(manager.IsReady());
        EXPECT_TRUE(log.New().empty());
    }
    Place(unsigned_dll, L"KelDarIR.dll");
    Place(DarIRPath(), L"wallpaperhelper\\DarIR.dll");
    {
        // An unsigned KelDarIR.dll is the candidate and is refused: the signed
        // copy further down the order is not tried.
        CUpLoadMgr manager(folder_.path());
        CUploader uploader(&manager);
        EXPECT_FALSE(uploader.SendAnswer(L"1", L""));
        EXPECT_FALSE(manager.IsReady());
    }
    ASSERT_TRUE(::DeleteFileW(folder_.Join(L"KelDarIR.dll").c_str()));
    {
        CUpLoadMgr manager(folder_.path());
        EXPECT_TRUE(manager.LoadForUploader());
    }
    {
        // The main window's order looks for DarIR.dll beside the program only.
        CUpLoadMgr manager(folder_.path());
        EXPECT_FALSE(manager.LoadForMainWindow());
    }
    Place(DarIRPath(), L"DarIR.dll");
    {
        CUpLoadMgr manager(folder_.path());
        EXPECT_TRUE(manager.LoadForMainWindow());
        EXPECT_TRUE(manager.LoadForUploader());  // already loaded: kept
    }
}

class CountingCallback final : public IHttpTaskCallback {
public:
    void OnTaskEvent(IHttpTask*, const HttpTaskEvent* event) override {
        ++events;
        if (IsFinalTaskEvent(event)) ++finals;
    }
    std::atomic<int> events{0};
    std::atomic<int> finals{0};
};

TEST_F(UploaderTest, UploadsAreReleasedAndForgottenCallbacksNotCalled) {
    Place(DarIRPath(), L"DarIR.dll");
    CUpLoadMgr manager(folder_.path());
    ASSERT_TRUE(manager.LoadForMainWindow());
    std::wstring url = CUploader::AnswerUrl();
    CountingCallback callback;
    EXPECT_FALSE(manager.Upload(nullptr, {{"unint_ask", "x"}}, &callback));
    EXPECT_FALSE(manager.Upload(url.c_str(), {}, &callback));
    EXPECT_FALSE(manager.Upload(url.c_str(), {{"unint_ask", "x"}}, nullptr));
    EXPECT_FALSE(manager.Upload(L"ftp://127.0.0.1/x", {{"unint_ask", "x"}}, &callback));
    EXPECT_EQ(manager.PendingUploads(), 0u);

    // Two uploads in a row: both are released at their last event.
    ASSERT_TRUE(manager.Upload(url.c_str(), {{"unint_ask", "1"}}, &callback));
    ASSERT_TRUE(manager.Upload(url.c_str(), {{"unint_ask", "2"}}, &callback));
    ASSERT_TRUE(WaitUntil([&] { return manager.PendingUploads() == 0; }));
    EXPECT_EQ(callback.finals.load(), 2);

    // A callback whose owner went away hears nothing more.
    ASSERT_TRUE(ScriptReply(kAnswerPath, R"({"delay_ms":1000,"json":{"errno":0}})"));
    CountingCallback leaving;
    ASSERT_TRUE(manager.Upload(url.c_str(), {{"unint_ask", "3"}}, &leaving));
    manager.ForgetCallback(&leaving);
    int heard = leaving.events.load();
    ASSERT_TRUE(WaitUntil([&] { return manager.PendingUploads() == 0; }));
    EXPECT_EQ(leaving.events.load(), heard);
    EXPECT_EQ(leaving.finals.load(), 0);

    // Refused by the service or unreachable: released all the same.
    ASSERT_TRUE(ScriptReply(kAnswerPath, R"({"status":500,"body":"down"})"));
    ASSERT_TRUE(manager.Upload(url.c_str(), {{"unint_ask", "4"}}, &callback));
    std::wstring refusing = std::wstring(kRefusingBase) + L"/inst/uninst.php?from=tapis";
    ASSERT_TRUE(manager.Upload(refusing.c_str(), {{"unint_ask", "5"}}, &callback));
    ASSERT_TRUE(WaitUntil([&] { return manager.PendingUploads() == 0; }));
    EXPECT_EQ(callback.finals.load(), 4);
}

TEST_F(UploaderTest, ShutdownEndsRunningUploads) {
    Place(DarIRPath(), L"DarIR.dll");
    CUpLoadMgr manager(folder_.path());
    ASSERT_TRUE(manager.LoadForMainWindow());
    ASSERT_TRUE(ScriptReply(kAnswerPath, R"({"delay_ms":8000,"json":{"errno":0}})"));
    CountingCallback callback;
    std::wstring url = CUploader::AnswerUrl();
    RequestLog log(kAnswerPath);
    ASSERT_TRUE(manager.Upload(url.c_str(), {{"unint_ask", "slow"}}, &callback));
    ASSERT_EQ(log.WaitFor(1).size(), 1u);
    manager.Shutdown();
    EXPECT_EQ(manager.PendingUploads(), 0u);
    EXPECT_EQ(callback.finals.load(), 1);
    EXPECT_FALSE(manager.IsReady());
    EXPECT_FALSE(manager.Upload(url.c_str(), {{"unint_ask", "late"}}, &callback));
    manager.Shutdown();  // twice is harmless
}

}  // namespace
