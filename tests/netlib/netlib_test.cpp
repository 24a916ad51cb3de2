// DarIR.dll, loaded by full path from the build folder as the program loads
// it, against the local test service: request and reply bytes, the event
// sequence, failures and limits, aborts, shutdown and the zlib exports.
#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <gtest/gtest.h>

#include <cJSON.h>

#include <memory>
#include <string>
#include <vector>

#include "net/HttpInterfaces.h"
#include "netlib/TestService.h"
#include "support/TestSupport.h"

using testing_support::TestService;

namespace {

constexpr DWORD kEventWaitMs = 20000;

// The library as the program sees it: module and the five exports.
struct Library {
    HMODULE module = nullptr;
    HttpInitFn init = nullptr;
    HttpUninitFn uninit = nullptr;
    ZlibCompressFn compress = nullptr;
    ZlibUncompressFn uncompress = nullptr;
    ZlibCompressBoundFn compressBound = nullptr;
};

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const Library& DarIR() {
    static Library library = [] {
        Library l;
        std::wstring path = testing_support::BuildDir() + L"\\DarIR.dll";
        l.module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!l.module) return l;
        l.init = Export<HttpInitFn>(l.module, "HttpInit");
        l.uninit = Export<HttpUninitFn>(l.module, "HttpUninit");
        l.compress = Export<ZlibCompressFn>(l.module, "zlib_compress");
        l.uncompress = Export<ZlibUncompressFn>(l.module, "zlib_uncompress");
        l.compressBound = Export<ZlibCompressBoundFn>(l.module, "zlib_compressBound");
        return l;
    }();
    return library;
}

struct SeenEvent {
    int32_t status;
    uint32_t error;
    int32_t httpStatus;
    std::string body;
    bool nulTerminated;
};

// Records every event; signals when the final one (2 or 3) arrives.
class EventLog final : public IHttpTaskCallback {
public:
    EventLog() : finished_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~EventLog() { ::CloseHandle(finished_); }

    void OnTaskEvent(IHttpTask* task, const HttpTaskEvent* event) override {
        {
            std::lock_guard<Mutex> hold(mutex_);
            if (detached_) ++lateEvents_;
            events_.push_back({event->status, event->error, event->httpStatus,
                               std::string(event->body, event->bodyLength), event->body[event->bodyLength] == '\0'});
        }
        if (event->status == kHttpTaskCompleted || event->status == kHttpTaskFailed) {
            if (releaseWhenDone_) task->ReleaseTask();  // the usual receiver's pattern
            ::SetEvent(finished_);
        }
    }

    bool WaitFinished(DWORD ms = kEventWaitMs) { return ::WaitForSingleObject(finished_, ms) == WAIT_OBJECT_0; }
    std::vector<SeenEvent> Events() {
        std::lock_guard<Mutex> hold(mutex_);
        return events_;
    }
    SeenEvent Final() {
        auto events = Events();
        return events.empty() ? SeenEvent{-1, 0, 0, "", false} : events.back();
    }
    // From now on any event is a fault of the library.
    void MarkDetached() {
        std::lock_guard<Mutex> hold(mutex_);
        detached_ = true;
    }
    int LateEvents() {
        std::lock_guard<Mutex> hold(mutex_);
        return lateEvents_;
    }
    void ReleaseWhenDone() { releaseWhenDone_ = true; }

private:
    // A Win32 lock: the callback runs on a thread the C++ runtime did not start.
    class Mutex {
    public:
        Mutex() { ::InitializeCriticalSection(&section_); }
        ~Mutex() { ::DeleteCriticalSection(&section_); }
        void lock() { ::EnterCriticalSection(&section_); }
        void unlock() { ::LeaveCriticalSection(&section_); }

    private:
        CRITICAL_SECTION section_;
    };

    HANDLE finished_;
    Mutex mutex_;
    std::vector<SeenEvent> events_;
    bool detached_ = false;
    int lateEvents_ = 0;
    bool releaseWhenDone_ = false;
};

// A recorded request, parsed.
class Recorded {
public:
    explicit Recorded(const std::string& json) : root_(cJSON_Parse(json.c_str())) {}
    ~Recorded() { cJSON_Delete(root_); }
    bool valid() const { return root_ != nullptr; }
    std::string Text(const char* name) const { return StringOf(cJSON_GetObjectItemCaseSensitive(root_, name)); }
    bool Flag(const char* name) const { return cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(root_, name)); }
    std::string Header(const char* name) const {
        return StringOf(cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(root_, "headers"), name));
    }
    // First value of a form field (decoded as UTF-8), or of its bytes as hex.
    std::string Form(const char* name) const { return First("form", name); }
    std::string FormHex(const char* name) const { return First("form_hex", name); }

private:
    static std::string StringOf(const cJSON* item) {
        return cJSON_IsString(item) ? std::string(item->valuestring) : std::string("<missing>");
    }
    std::string First(const char* group, const char* name) const {
        const cJSON* values = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(root_, group), name);
        return StringOf(cJSON_GetArrayItem(values, 0));
    }
    cJSON* root_;
};

std::string Utf8(const wchar_t* text) {
    int needed = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], needed, nullptr, nullptr);
    out.resize(static_cast<size_t>(needed - 1));
    return out;
}

// `text` as a JSON string literal.
std::string JsonQuoted(const std::string& text) {
    cJSON* item = cJSON_CreateString(text.c_str());
    char* printed = cJSON_PrintUnformatted(item);
    std::string out = printed ? printed : "\"\"";
    cJSON_free(printed);
    cJSON_Delete(item);
    return out;
}

// Releases a task through its own operation, as HttpTaskDeletor does.
struct TaskReleaser {
    void operator()(IHttpTask* task) const {
        if (task) task->ReleaseTask();
    }
};
using TaskPtr = std::unique_ptr<IHttpTask, TaskReleaser>;

class NetLibrary : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const Library& library = DarIR();
        if (library.init) manager_ = library.init();
    }
    static void TearDownTestSuite() {
        if (manager_) DarIR().uninit(manager_);
        manager_ = nullptr;
    }

    void SetUp() override {
        ASSERT_FALSE(TestService::BaseUrl().empty())
            << "LUMORA_TEST_SERVICE is not set: start tools/testservice/start.sh and export its URL "
               "(./run test does this)";
        ASSERT_NE(DarIR().module, nullptr) << "DarIR.dll not found beside the tests' build folder";
        ASSERT_NE(manager_, nullptr) << "HttpInit returned no manager";
    }

    // A task with the options every request of the program sets.
    TaskPtr NewTask(EventLog* log) {
        TaskPtr task(manager_->CreateTask());
        if (task) {
            task->SetOption("ungzip", 0);
            task->SetOption("gzip", 0);
            task->SetCallback(log);
        }
        return task;
    }

    static std::string Path(const char* name) { return TestService::UniquePath("netlib", name); }

    // The only recorded request for `path`.
    static std::string OnlyRequest(const std::string& path) {
        std::vector<std::string> lines = TestService::Requests(path);
        EXPECT_EQ(lines.size(), 1u) << "requests recorded for " << path;
        return lines.empty() ? std::string("{}") : lines.front();
    }

    static IHttpManager* manager_;
};

IHttpManager* NetLibrary::manager_ = nullptr;

TEST_F(NetLibrary, ExportsAllFiveFunctionsByName) {
    const Library& library = DarIR();
    EXPECT_NE(library.init, nullptr);
    EXPECT_NE(library.uninit, nullptr);
    EXPECT_NE(library.compress, nullptr);
    EXPECT_NE(library.uncompress, nullptr);
    EXPECT_NE(library.compressBound, nullptr);
}

TEST_F(NetLibrary, GetDeliversBodyAfterIntermediateEvents) {
    std::string path = Path("get");
    const std::string body = Utf8(L"{\"errno\":0,\"data\":\"1,3,4\",\"msg\":\"成功\"}");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"body\":" + JsonQuoted(body) + "}}"));

    EventLog log;
    TaskPtr task = NewTask(&log);
    ASSERT_TRUE(task);
    EXPECT_EQ(task->GetStatus(), kHttpTaskIdle);
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path + "?appver=1.2.3.4&pid=abc").c_str()), 0);
    ASSERT_TRUE(log.WaitFinished());

    std::vector<SeenEvent> events = log.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].status, kHttpTaskSent);
    EXPECT_EQ(events[1].status, kHttpTaskReceiving);
    EXPECT_EQ(events[1].httpStatus, 200);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(events[i].body.empty());
        EXPECT_TRUE(events[i].nulTerminated);
    }
    const SeenEvent& last = events.back();
    EXPECT_EQ(last.status, kHttpTaskCompleted);
    EXPECT_EQ(last.error, 0u);
    EXPECT_EQ(last.httpStatus, 200);
    EXPECT_EQ(last.body, body);
    EXPECT_TRUE(last.nulTerminated);
    EXPECT_EQ(task->GetStatus(), kHttpTaskCompleted);
    EXPECT_EQ(task->GetHttpStatus(), 200);
    uint32_t length = 0;
    EXPECT_EQ(std::string(task->GetResponseBody(&length)), body);
    EXPECT_EQ(length, body.size());

    Recorded request(OnlyRequest(path));
    EXPECT_EQ(request.Text("method"), "GET");
    EXPECT_EQ(request.Text("query"), "appver=1.2.3.4&pid=abc");
    EXPECT_EQ(request.Header("Accept-Encoding"), "<missing>");
}

TEST_F(NetLibrary, GetAppendsAddedFieldsToTheQuery) {
    std::string path = Path("get-fields");
    EventLog log;
    TaskPtr task = NewTask(&log);
    task->AddField("a", "1 2");
    task->AddFieldW(L"b", L"中");
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path + "?x=0").c_str()), 0);
    ASSERT_TRUE(log.WaitFinished());
    EXPECT_EQ(log.Final().status, kHttpTaskCompleted);
    EXPECT_EQ(log.Final().body, "{\"code\":0}");  // the service's default reply
    EXPECT_EQ(Recorded(OnlyRequest(path)).Text("query"), "x=0&a=1+2&b=%E4%B8%AD");
}

TEST_F(NetLibrary, PostSendsFieldsFormEncodedInOrder) {
    std::string path = Path("post");
    EventLog log;
    TaskPtr task = NewTask(&log);
    task->AddFieldW(L"reason", L"1|3|6");
    task->AddField("phone", "\xD6\xD0\xCE\xC4 13800");  // ANSI code page 936 bytes, sent as they are
    task->AddFieldW(L"suggest", L"中文 建议&=+%");
    task->AddField("empty", "");
    task->AddFieldW(L"mid", L"A-B_C.D~E");
    ASSERT_NE(task->StartRequest(kHttpPostForm, TestService::Url(path + "?").c_str()), 0);
    ASSERT_TRUE(log.WaitFinished());
    EXPECT_EQ(log.Final().status, kHttpTaskCompleted);

    Recorded request(OnlyRequest(path));
    ASSERT_TRUE(request.valid());
    EXPECT_EQ(request.Text("method"), "POST");
    EXPECT_EQ(request.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(request.Text("body_text"),
              "reason=1%7C3%7C6&phone=%D6%D0%CE%C4+13800"
              "&suggest=%E4%B8%AD%E6%96%87+%E5%BB%BA%E8%AE%AE%26%3D%2B%25&empty=&mid=A-B_C.D~E");
    EXPECT_EQ(request.Form("reason"), "1|3|6");
    EXPECT_EQ(request.FormHex("phone"), "d6d0cec4203133383030");
    EXPECT_EQ(request.Form("suggest"), Utf8(L"中文 建议&=+%"));
    EXPECT_EQ(request.Form("empty"), "");
    EXPECT_FALSE(request.Flag("body_gzip"));
}

struct FailingReply {
    const char* name;
    const char* reply;  // scripted reply
    int httpStatus;     // expected in the final event
    uint32_t error;
};

class NetLibraryFailure : public NetLibrary, public ::testing::WithParamInterface<FailingReply> {};

TEST_P(NetLibraryFailure, EndsWithStatus3) {
    const FailingReply& c = GetParam();
    std::string path = Path(c.name);
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":" + c.reply + "}"));
    EventLog log;
    TaskPtr task = NewTask(&log);
    task->SetOption("max_response_bytes", 1000);
    task->SetOption("ungzip", 1);
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ASSERT_TRUE(log.WaitFinished());
    SeenEvent last = log.Final();
    EXPECT_EQ(last.status, kHttpTaskFailed);
    EXPECT_EQ(last.httpStatus, c.httpStatus);
    if (c.error) {
        EXPECT_EQ(last.error, c.error);
    } else {
        EXPECT_NE(last.error, 0u);
    }
    EXPECT_TRUE(last.nulTerminated);
    EXPECT_EQ(task->GetStatus(), kHttpTaskFailed);
    EXPECT_EQ(task->GetErrorCode(), last.error);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, NetLibraryFailure,
    ::testing::Values(
        FailingReply{"not-found", R"({"status":404,"body":"no such page"})", 404, kHttpErrorHttpStatus},
        FailingReply{"server-error", R"({"status":500,"body":"broken"})", 500, kHttpErrorHttpStatus},
        FailingReply{"too-large", R"({"huge":5000})", 200, kHttpErrorTooLarge},
        FailingReply{"too-large-unannounced", R"({"huge":5000,"no_length":true})", 200, kHttpErrorTooLarge},
        FailingReply{"cut-short", R"({"body":"0123456789abcdef","truncate":4})", 200, 0},
        FailingReply{"bad-gzip", R"({"body":"not gzip","headers":{"Content-Encoding":"gzip"}})", 200,
                     kHttpErrorBadEncoding},
        FailingReply{"hang-up", R"({"close":true})", 0, 0}),
    [](const ::testing::TestParamInfo<FailingReply>& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (c == '-') c = '_';
        return name;
    });

TEST_F(NetLibrary, HttpErrorKeepsTheServersBody) {
    std::string path = Path("error-body");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"status\":404,\"body\":\"no such page\"}}"));
    EventLog log;
    TaskPtr task = NewTask(&log);
    ASSERT_NE(task->StartRequest(kHttpPostForm, TestService::Url(path).c_str()), 0);
    ASSERT_TRUE(log.WaitFinished());
    EXPECT_EQ(log.Final().status, kHttpTaskFailed);
    EXPECT_EQ(log.Final().body, "no such page");
}

TEST_F(NetLibrary, DefaultResponseLimitIsEightMegabytes) {
    std::string path = Path("nine-mib");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"huge\":" + std::to_string(9 * 1024 * 1024) + "}}"));
    EventLog log;
    TaskPtr task = NewTask(&log);
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ASSERT_TRUE(log.WaitFinished());
    EXPECT_EQ(log.Final().status, kHttpTaskFailed);
    EXPECT_EQ(log.Final().error, static_cast<uint32_t>(kHttpErrorTooLarge));
}

TEST_F(NetLibrary, SlowReplyFailsAtTheTimeOut) {
    std::string path = Path("slow");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"delay_ms\":8000}}"));
    EventLog log;
    TaskPtr task = NewTask(&log);
    ASSERT_EQ(task->SetOption("timeout_ms", 1000), 1);
    ULONGLONG started = ::GetTickCount64();
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ASSERT_TRUE(log.WaitFinished());
    ULONGLONG elapsed = ::GetTickCount64() - started;
    EXPECT_EQ(log.Final().status, kHttpTaskFailed);
    EXPECT_EQ(log.Final().error, static_cast<uint32_t>(ERROR_WINHTTP_TIMEOUT));
    EXPECT_LT(elapsed, 5000u) << "the 1000 ms limit must end the request long before the 8 s reply";
}

TEST_F(NetLibrary, SlowBodyFailsAtTheTimeOut) {
    std::string path = Path("slow-body");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"body\":\"late\",\"body_delay_ms\":8000}}"));
    EventLog log;
    TaskPtr task = NewTask(&log);
    task->SetOption("timeout_ms", 1000);
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ASSERT_TRUE(log.WaitFinished(5000));
    EXPECT_EQ(log.Final().status, kHttpTaskFailed);
}

TEST_F(NetLibrary, RefusedConnectionFails) {
    // A port that was just free and is not listening.
    WSADATA wsa;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(address);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size), 0);
    int port = ntohs(address.sin_port);
    ::closesocket(probe);
    ::WSACleanup();

    EventLog log;
    TaskPtr task = NewTask(&log);
    std::wstring url = L"http://127.0.0.1:" + std::to_wstring(port) + L"/nothing";
    ASSERT_NE(task->StartRequest(kHttpPostForm, url.c_str()), 0);
    ASSERT_TRUE(log.WaitFinished());
    EXPECT_EQ(log.Final().status, kHttpTaskFailed);
    EXPECT_NE(log.Final().error, 0u);
    EXPECT_EQ(log.Final().httpStatus, 0);
}

TEST_F(NetLibrary, StartRefusesBadInput) {
    EventLog log;
    TaskPtr task = NewTask(&log);
    EXPECT_EQ(task->StartRequest(kHttpGet, nullptr), 0);
    EXPECT_EQ(task->StartRequest(kHttpGet, L""), 0);
    EXPECT_EQ(task->StartRequest(kHttpGet, L"ftp://127.0.0.1/x"), 0);
    EXPECT_EQ(task->StartRequest(kHttpGet, L"not a url"), 0);
    EXPECT_EQ(task->StartRequest(1, TestService::Url("/netlib/x").c_str()), 0);
    EXPECT_EQ(task->SetOption("no_such_option", 1), 0);
    EXPECT_EQ(task->SetOption(nullptr, 1), 0);
    EXPECT_EQ(task->SetHeader("X-Bad", "a\r\nInjected: 1"), 0);
    EXPECT_EQ(task->AddField(nullptr, "v"), 0);
    EXPECT_EQ(log.Events().size(), 0u) << "a request that did not start reports nothing";
}

TEST_F(NetLibrary, SecondStartWhileRunningIsRefused) {
    std::string path = Path("busy");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"delay_ms\":500}}"));
    EventLog log;
    TaskPtr task = NewTask(&log);
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    EXPECT_EQ(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ASSERT_TRUE(log.WaitFinished());
    EXPECT_EQ(log.Final().status, kHttpTaskCompleted);
    EXPECT_EQ(TestService::Requests(path).size(), 1u);
}

TEST_F(NetLibrary, TaskReleasedMidRequestReportsNothingMore) {
    std::string path = Path("released");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"body\":\"late\",\"delay_ms\":1500}}"));
    EventLog log;
    IHttpTask* task = manager_->CreateTask();
    ASSERT_NE(task, nullptr);
    task->SetCallback(&log);
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ::Sleep(300);  // the request is now in the service's hands
    task->ReleaseTask();
    log.MarkDetached();
    ::Sleep(2500);  // past the moment the service answers
    EXPECT_EQ(log.LateEvents(), 0);
    for (const SeenEvent& event : log.Events()) EXPECT_LT(event.status, kHttpTaskCompleted);
}

TEST_F(NetLibrary, TaskReleasedRightAfterStartIsSafe) {
    // Release races the request's first steps; repeated to give the race a chance.
    std::string path = Path("released-at-once");
    for (int i = 0; i < 20; ++i) {
        EventLog log;
        IHttpTask* task = manager_->CreateTask();
        ASSERT_NE(task, nullptr);
        task->SetCallback(&log);
        task->AddFieldW(L"n", std::to_wstring(i).c_str());
        ASSERT_NE(task->StartRequest(kHttpPostForm, TestService::Url(path).c_str()), 0);
        task->ReleaseTask();
        log.MarkDetached();
        EXPECT_EQ(log.LateEvents(), 0);
    }
}

TEST_F(NetLibrary, TaskReleasedInsideItsCallback) {
    std::string path = Path("release-in-callback");
    EventLog log;
    log.ReleaseWhenDone();
    IHttpTask* task = manager_->CreateTask();
    ASSERT_NE(task, nullptr);
    task->SetCallback(&log);
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ASSERT_TRUE(log.WaitFinished());
    EXPECT_EQ(log.Final().status, kHttpTaskCompleted);
}

TEST_F(NetLibrary, ParallelTasksEachGetTheirOwnReply) {
    constexpr int kTasks = 12;
    std::vector<std::string> paths;
    std::string script = "{";
    for (int i = 0; i < kTasks; ++i) {
        paths.push_back(Path(("parallel-" + std::to_string(i)).c_str()));
        script += (i ? ",\"" : "\"") + paths[i] + "\":{\"body\":\"reply " + std::to_string(i) +
                  "\",\"delay_ms\":" + std::to_string(50 * (kTasks - i)) + "}";
    }
    ASSERT_TRUE(TestService::Script(script + "}"));
    std::vector<std::unique_ptr<EventLog>> logs;
    std::vector<TaskPtr> tasks;
    for (int i = 0; i < kTasks; ++i) {
        logs.push_back(std::make_unique<EventLog>());
        tasks.push_back(NewTask(logs.back().get()));
        ASSERT_NE(tasks.back()->StartRequest(kHttpGet, TestService::Url(paths[i]).c_str()), 0);
    }
    for (int i = 0; i < kTasks; ++i) {
        ASSERT_TRUE(logs[i]->WaitFinished()) << i;
        EXPECT_EQ(logs[i]->Final().status, kHttpTaskCompleted) << i;
        EXPECT_EQ(logs[i]->Final().body, "reply " + std::to_string(i));
    }
}

// Holds the final event for a while, as a slow receiver would.
class SlowReceiver final : public IHttpTaskCallback {
public:
    SlowReceiver()
        : entered_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~SlowReceiver() { ::CloseHandle(entered_); }
    void OnTaskEvent(IHttpTask*, const HttpTaskEvent* event) override {
        if (event->status < kHttpTaskCompleted) return;
        ::SetEvent(entered_);
        ::Sleep(600);
        ::InterlockedExchange(&left_, 1);
    }
    bool WaitEntered() { return ::WaitForSingleObject(entered_, kEventWaitMs) == WAIT_OBJECT_0; }
    bool Left() { return ::InterlockedCompareExchange(&left_, 0, 0) != 0; }

private:
    HANDLE entered_;
    volatile LONG left_ = 0;
};

TEST_F(NetLibrary, ReleaseWaitsForACallbackRunningOnTheLibraryThread) {
    std::string path = Path("release-during-callback");
    SlowReceiver receiver;
    IHttpTask* task = manager_->CreateTask();
    ASSERT_NE(task, nullptr);
    task->SetCallback(&receiver);
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ASSERT_TRUE(receiver.WaitEntered());
    task->ReleaseTask();
    // The receiver may be destroyed now: its callback has returned.
    EXPECT_TRUE(receiver.Left());
}

TEST_F(NetLibrary, CancelEndsTheRequestWithStatus3) {
    std::string path = Path("cancelled");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"delay_ms\":3000}}"));
    EventLog log;
    TaskPtr task = NewTask(&log);
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ::Sleep(200);
    task->Cancel();
    ASSERT_TRUE(log.WaitFinished(2000));
    EXPECT_EQ(log.Final().status, kHttpTaskFailed);
    EXPECT_EQ(log.Final().error, static_cast<uint32_t>(ERROR_WINHTTP_OPERATION_CANCELLED));
}

TEST_F(NetLibrary, GzipOptionCompressesTheRequestBody) {
    std::string path = Path("gzip-body");
    EventLog log;
    TaskPtr task = NewTask(&log);
    ASSERT_EQ(task->SetOption("gzip", 1), 1);
    task->AddFieldW(L"data", L"压缩 payload");
    ASSERT_NE(task->StartRequest(kHttpPostForm, TestService::Url(path).c_str()), 0);
    ASSERT_TRUE(log.WaitFinished());
    EXPECT_EQ(log.Final().status, kHttpTaskCompleted);
    Recorded request(OnlyRequest(path));
    EXPECT_EQ(request.Header("Content-Encoding"), "gzip");
    EXPECT_TRUE(request.Flag("body_gzip"));
    EXPECT_EQ(request.Form("data"), Utf8(L"压缩 payload"));
}

TEST_F(NetLibrary, UngzipOptionInflatesTheResponse) {
    std::string path = Path("gzip-reply");
    const std::string body = "{\"errno\":0,\"data\":\"" + std::string(2000, 'z') + "\"}";
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"body\":" + JsonQuoted(body) + ",\"gzip\":true,\"repeat\":true}}"));

    EventLog inflated;
    TaskPtr task = NewTask(&inflated);
    ASSERT_EQ(task->SetOption("ungzip", 1), 1);
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ASSERT_TRUE(inflated.WaitFinished());
    EXPECT_EQ(inflated.Final().status, kHttpTaskCompleted);
    EXPECT_EQ(inflated.Final().body, body);

    // Without the option the body is passed on as the server sent it.
    EventLog raw;
    TaskPtr plain = NewTask(&raw);
    ASSERT_NE(plain->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ASSERT_TRUE(raw.WaitFinished());
    EXPECT_EQ(raw.Final().status, kHttpTaskCompleted);
    ASSERT_GE(raw.Final().body.size(), 2u);
    EXPECT_EQ(raw.Final().body.substr(0, 2), "\x1f\x8b");

    std::vector<std::string> requests = TestService::Requests(path);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(Recorded(requests[0]).Header("Accept-Encoding").find("gzip"), std::string::npos);
    EXPECT_EQ(Recorded(requests[1]).Header("Accept-Encoding"), "<missing>");
}

TEST_F(NetLibrary, TaskCanBeStartedAgainAfterItFinished) {
    std::string path = Path("again");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":[{\"body\":\"one\"},{\"body\":\"two\"}]}"));
    EventLog first, second;
    TaskPtr task = NewTask(&first);
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ASSERT_TRUE(first.WaitFinished());
    size_t firstEvents = first.Events().size();
    task->SetCallback(&second);
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ASSERT_TRUE(second.WaitFinished());
    EXPECT_EQ(first.Final().body, "one");
    EXPECT_EQ(second.Final().body, "two");
    EXPECT_EQ(first.Events().size(), firstEvents) << "the replaced callback hears nothing of the second run";
}

TEST_F(NetLibrary, ZlibExportsRoundTrip) {
    const Library& z = DarIR();
    const std::string text = Utf8(L"壁纸 wallpaper ") + std::string(4096, 'w');
    unsigned long bound = z.compressBound(static_cast<unsigned long>(text.size()));
    ASSERT_GE(bound, text.size());
    std::vector<unsigned char> packed(bound);
    unsigned long packedSize = bound;
    ASSERT_EQ(z.compress(packed.data(), &packedSize, reinterpret_cast<const unsigned char*>(text.data()),
                         static_cast<unsigned long>(text.size())),
              0);
    EXPECT_LT(packedSize, text.size());

    std::vector<unsigned char> unpacked(text.size());
    unsigned long unpackedSize = static_cast<unsigned long>(unpacked.size());
    ASSERT_EQ(z.uncompress(unpacked.data(), &unpackedSize, packed.data(), packedSize), 0);
    EXPECT_EQ(std::string(unpacked.begin(), unpacked.begin() + unpackedSize), text);

    // Damaged input and missing buffers are refused, not crashed on.
    packed[packedSize / 2] ^= 0x55;
    unpackedSize = static_cast<unsigned long>(unpacked.size());
    EXPECT_LT(z.uncompress(unpacked.data(), &unpackedSize, packed.data(), packedSize), 0);
    EXPECT_EQ(z.uncompress(nullptr, &unpackedSize, packed.data(), packedSize), -2);
    EXPECT_EQ(z.compress(packed.data(), nullptr, packed.data(), 1), -2);
}

TEST_F(NetLibrary, InterfaceSlotsMatchTheBinaryContract) {
    // The program calls through fixed slots; call the library the same way.
    using SetOptionFn = int(__thiscall*)(IHttpTask*, const char*, int);
    using GetStatusFn = int(__thiscall*)(IHttpTask*);
    using ReleaseFn = void(__thiscall*)(IHttpTask*);
    using CreateTaskFn = IHttpTask*(__thiscall*)(IHttpManager*);
    void** managerSlots = *reinterpret_cast<void***>(manager_);
    IHttpTask* task = reinterpret_cast<CreateTaskFn>(managerSlots[0])(manager_);
    ASSERT_NE(task, nullptr);
    void** slots = *reinterpret_cast<void***>(task);
    EXPECT_EQ(reinterpret_cast<SetOptionFn>(slots[12])(task, "ungzip", 0), 1);
    EXPECT_EQ(reinterpret_cast<SetOptionFn>(slots[12])(task, "bogus", 0), 0);
    EXPECT_EQ(reinterpret_cast<GetStatusFn>(slots[2])(task), kHttpTaskIdle);
    reinterpret_cast<ReleaseFn>(slots[3])(task);
}

TEST(NetLibraryShutdown, FinishedRequestsLeaveNothingBehind) {
    ASSERT_FALSE(TestService::BaseUrl().empty()) << "LUMORA_TEST_SERVICE is not set";
    const Library& library = DarIR();
    ASSERT_NE(library.init, nullptr);
    IHttpManager* manager = library.init();
    ASSERT_NE(manager, nullptr);
    std::string path = TestService::UniquePath("netlib", "closed");
    for (int i = 0; i < 3; ++i) {
        EventLog log;
        log.ReleaseWhenDone();
        IHttpTask* task = manager->CreateTask();
        ASSERT_NE(task, nullptr);
        task->SetCallback(&log);
        ASSERT_NE(task->StartRequest(i == 1 ? kHttpPostForm : kHttpGet, TestService::Url(path).c_str()), 0);
        ASSERT_TRUE(log.WaitFinished());
    }
    // WinHTTP confirms each closed request handle; only then is the request let go.
    for (int wait = 0; wait < 100 && manager->GetActiveRequestCount() != 0; ++wait) ::Sleep(50);
    EXPECT_EQ(manager->GetActiveRequestCount(), 0);
    library.uninit(manager);
}

TEST(NetLibraryShutdown, UninitWithARunningRequestReturnsInTime) {
    ASSERT_FALSE(TestService::BaseUrl().empty()) << "LUMORA_TEST_SERVICE is not set";
    const Library& library = DarIR();
    ASSERT_NE(library.init, nullptr);
    IHttpManager* manager = library.init();
    ASSERT_NE(manager, nullptr);
    std::string path = TestService::UniquePath("netlib", "uninit");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"delay_ms\":30000}}"));

    EventLog log;
    IHttpTask* task = manager->CreateTask();
    ASSERT_NE(task, nullptr);
    task->SetCallback(&log);
    ASSERT_NE(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    ::Sleep(200);

    ULONGLONG started = ::GetTickCount64();
    library.uninit(manager);
    ULONGLONG elapsed = ::GetTickCount64() - started;
    EXPECT_LT(elapsed, 6000u) << "HttpUninit must not wait for the 30 s reply";
    // The running request was told it ended before HttpUninit returned.
    EXPECT_EQ(log.Final().status, kHttpTaskFailed);
    EXPECT_EQ(log.Final().error, static_cast<uint32_t>(kHttpErrorShutDown));
    log.MarkDetached();

    // The task stays usable for its release; nothing starts any more.
    EXPECT_EQ(task->StartRequest(kHttpGet, TestService::Url(path).c_str()), 0);
    task->ReleaseTask();
    library.uninit(manager);  // a second call is ignored
    ::Sleep(300);
    EXPECT_EQ(log.LateEvents(), 0);
}

}  // namespace
