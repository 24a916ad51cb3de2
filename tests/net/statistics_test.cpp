// The program side of the network: loading the network library (file search
// orders, signature and export checks), the synchronous POST, the statistics
// reports with their exact URLs and the OEM host override, and the uninstall
// report to the companion service, all against the local test service (whose
// address the program has compiled in) and under Wine's real URL download.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cJSON.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/base/PathUtil.h"
#include "net/NetLibrary.h"
#include "net/PostAndWait.h"
#include "net/ServiceHosts.h"
#include "net/Statistic.h"
#include "net/TextCodec.h"
#include "net/UninstallReport.h"
#include "netlib/TestService.h"
#include "support/TestSupport.h"
#include "sysinfo/MachineId.h"
#include "sysinfo/SystemChecks.h"

using testing_support::ScopedTempDir;
using testing_support::TestService;

namespace {

constexpr DWORD kRecordWaitMs = 20000;
// A port on the loopback address where nothing listens: connections are refused.
constexpr wchar_t kRefusingBase[] = L"http://127.0.0.1:1";

std::string Narrow(const std::wstring& text) { return text::ToUtf8(text); }
std::wstring Wide(const std::string& text) { return text::FromUtf8(text); }

std::wstring BuildFile(const std::wstring& relative) { return testing_support::BuildDir() + L"\\" + relative; }
std::wstring SignedLibrary() { return BuildFile(L"DarIR.dll"); }
std::wstring UnsignedLibrary() { return BuildFile(L"testdata\\netlib\\DarIR-unsigned.dll"); }
std::wstring ExportlessLibrary() { return BuildFile(L"testdata\\netlib\\exportless_dll.dll"); }

std::string MachineMid() {
    wchar_t buffer[260] = {};
    ::GetMid(buffer, 260);
    return Narrow(buffer);
}

std::string MachineMid2() {
    wchar_t buffer[260] = {};
    return SUCCEEDED(::GetMid2(buffer, 260)) ? Narrow(buffer) : std::string();
}

// Identifies this run: process ids repeat across runs, while the service keeps
// what earlier runs sent.
const std::string& RunToken() {
    static const std::string token = [] {
        FILETIME now = {};
        ::GetSystemTimeAsFileTime(&now);
        char text[32];
        std::snprintf(text, sizeof text, "%lx%08lx", static_cast<unsigned long>(::GetCurrentProcessId()),
                      static_cast<unsigned long>(now.dwLowDateTime));
        return std::string(text);
    }();
    return token;
}

// A unique text for this run and call, usable unescaped in a URL.
std::string UniqueToken(const char* prefix) {
    static int counter = 0;
    return std::string(prefix) + RunToken() + "x" + std::to_string(++counter);
}

// A service path of its own for this run and call.
std::string UniquePath(const char* name) { return TestService::UniquePath("stats" + RunToken(), name); }

// ---- Recorded requests -------------------------------------------------------

struct JsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

std::string Member(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) ? item->valuestring : std::string();
}

struct Recorded {
    std::string path;
    std::string query;
    std::string host;
    std::string method;
    Json record;
};

std::vector<Recorded> RecordsFor(const std::string& path) {
    std::vector<Recorded> records;
    for (const std::string& line : TestService::Requests(path)) {
        Json json(cJSON_Parse(line.c_str()));
        if (!json) continue;
        Recorded record;
        record.path = Member(json.get(), "path");
        record.query = Member(json.get(), "query");
        record.method = Member(json.get(), "method");
        record.host = Member(cJSON_GetObjectItemCaseSensitive(json.get(), "headers"), "Host");
        record.record = std::move(json);
        records.push_back(std::move(record));
    }
    return records;
}

// The statistics reports carrying `pid`, oldest first.
std::vector<Recorded> ReportsWithPid(const std::string& pid) {
    std::vector<Recorded> matching;
    for (Recorded& record : RecordsFor("/tapis"))
        if (record.query.rfind("pid=" + pid + "&", 0) == 0) matching.push_back(std::move(record));
    return matching;
}

template <typename Fetch>
auto WaitFor(Fetch fetch, size_t count) -> decltype(fetch()) {
    DWORD start = ::GetTickCount();
    auto records = fetch();
    while (records.size() < count && ::GetTickCount() - start < kRecordWaitMs) {
        ::Sleep(100);
        records = fetch();
    }
    return records;
}

// The query as the program wrote it: the URL stack escapes characters such as
// "{" and "}" on the wire, and the reports' own texts carry no "%".
std::string Unescaped(const std::string& query) {
    std::string out;
    for (size_t i = 0; i < query.size(); ++i) {
        if (query[i] == '%' && i + 2 < query.size() && std::isxdigit(static_cast<unsigned char>(query[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(query[i + 2]))) {
            out += static_cast<char>(std::stoi(query.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += query[i];
        }
    }
    return out;
}

// ---- Registry scratch keys ----------------------------------------------------

// A private HKCU key standing in for the product's keys.
class ScratchKey {
public:
    ScratchKey() : path_(L"Software\\LumoraTests\\" + Wide(UniqueToken("stats"))) {}
    ~ScratchKey() { ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str()); }
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    std::wstring ProductKey() const { return path_ + L"\\AppPaths"; }
    std::wstring UserKey() const { return path_ + L"\\User"; }
    std::wstring OemKey() const { return ProductKey() + L"\\oemconfig"; }

    CStatistic::Sources Sources() const {
        CStatistic::Sources sources;
        sources.productRoot = HKEY_CURRENT_USER;
        sources.productKey = ProductKey();
        sources.userRoot = HKEY_CURRENT_USER;
        sources.userKey = UserKey();
        return sources;
    }

    static void Set(const std::wstring& key, const std::wstring& name, DWORD type, const void* data, DWORD size) {
        win::UniqueRegKey handle;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    handle.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(::RegSetValueExW(handle.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
    }
    static void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value,
                          DWORD type = REG_SZ) {
        Set(key, name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    // An OEM value as the installer writes it: name and data encrypted.
    void SetOemValue(const std::wstring& name, const std::wstring& value) const {
        SetString(OemKey(), EncryptTextW(name, kOemConfigKey), EncryptTextW(value, kOemConfigKey));
    }

private:
    std::wstring path_;
};

// ---- Network library fixtures --------------------------------------------------

bool CopyInto(const std::wstring& source, const ScopedTempDir& folder, const std::wstring& name) {
    std::wstring target = folder.Join(name);
    ::CreateDirectoryW(path::Parent(target).c_str(), nullptr);
    return ::CopyFileW(source.c_str(), target.c_str(), FALSE) != FALSE;
}

// A record that is shut down and unloaded when the test ends, so that its
// temporary folder can go.
struct ScopedRecord {
    NetLibrary library;
    ~ScopedRecord() { library.Unload(); }
};

// The built library, loaded once for the tests that send requests.
IHttpManager* TestManager() {
    static NetLibrary* library = [] {
        auto* loaded = new NetLibrary();
        loaded->Load(SignedLibrary().c_str());
        return loaded;
    }();
    return library->Manager();
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The program's service addresses are compiled in; the test service
        // must be the one they name.
        ASSERT_EQ(TestService::BaseUrl(), std::wstring(LUMORA_STATISTICS_BASE))
            << "start tools/testservice/start.sh on the build's service port and set LUMORA_TEST_SERVICE";
        int status = 0;
        std::string body;
        ASSERT_TRUE(testing_support::HttpExchange(L"GET", TestService::Url("/__health"), "", nullptr, &status, &body))
            << "the test service does not answer";
    }
};

}  // namespace

// ================================ NetLibrary ===================================

TEST(NetLibrary, RefusesNullEmptyAndMissingPaths) {
    NetLibrary record;
    EXPECT_FALSE(record.Load(nullptr));
    EXPECT_FALSE(record.Load(L""));
    ScopedTempDir folder;
    EXPECT_FALSE(record.Load(folder.Join(L"DarIR.dll").c_str()));
    EXPECT_FALSE(record.Load(folder.path().c_str()));  // a folder is no library
    EXPECT_FALSE(record.HasModule());
    EXPECT_EQ(record.Manager(), nullptr);
}

// The loading cases below rely on these fixtures being what their names say.
TEST(NetLibrary, FixturesAreSignedOrNotAsNamed) {
    EXPECT_TRUE(IsTrustedFile(SignedLibrary().c_str()));
    EXPECT_TRUE(IsTrustedFile(ExportlessLibrary().c_str()));
    EXPECT_FALSE(IsTrustedFile(UnsignedLibrary().c_str()));
    win::UniqueModule exportless(::LoadLibraryExW(ExportlessLibrary().c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    ASSERT_TRUE(exportless);
    EXPECT_EQ(::GetProcAddress(exportless.get(), "HttpInit"), nullptr);
}

struct StartupCase {
    const char* name;
    std::vector<std::pair<std::wstring (*)(), const wchar_t*>> files;  // source, name in the folder
    const wchar_t* candidate;                                         // expected candidate file
    bool ready;
};

class StartupSearch : public ::testing::TestWithParam<StartupCase> {};

TEST_P(StartupSearch, LoadsTheCandidateOnlyWhenItIsSignedAndComplete) {
    const StartupCase& c = GetParam();
    ScopedTempDir folder;
    for (const auto& file : c.files) ASSERT_TRUE(CopyInto(file.first(), folder, file.second)) << file.second;

    EXPECT_EQ(StartupNetLibraryPath(folder.path()), folder.Join(c.candidate));
    ScopedRecord record;
    EXPECT_EQ(LoadStartupNetLibrary(record.library, folder.path()), c.ready);
    EXPECT_EQ(record.library.IsReady(), c.ready);
    EXPECT_EQ(record.library.HasModule(), c.ready);  // an unusable library is not kept
    NetLibrary::Fields fields = record.library.Snapshot();
    if (c.ready) {
        EXPECT_NE(fields.manager, nullptr);
        EXPECT_NE(fields.zlibCompress, nullptr);
        EXPECT_NE(fields.zlibUncompress, nullptr);
        EXPECT_NE(fields.zlibCompressBound, nullptr);
        wchar_t loadedFrom[MAX_PATH] = {};
        ::GetModuleFileNameW(fields.module, loadedFrom, MAX_PATH);
        EXPECT_TRUE(text::EqualsNoCase(loadedFrom, folder.Join(c.candidate)));
    } else {
        EXPECT_EQ(fields.module, nullptr);
        EXPECT_EQ(fields.manager, nullptr);
        EXPECT_EQ(record.library.Manager(), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    NetLibrary, StartupSearch,
    ::testing::Values(
        StartupCase{"Missing", {}, L"KelDarIR.dll", false},
        StartupCase{"SignedDarIR", {{SignedLibrary, L"DarIR.dll"}}, L"DarIR.dll", true},
        StartupCase{"SignedKelDarIR", {{SignedLibrary, L"KelDarIR.dll"}}, L"KelDarIR.dll", true},
        StartupCase{"BothSigned", {{SignedLibrary, L"DarIR.dll"}, {SignedLibrary, L"KelDarIR.dll"}}, L"DarIR.dll",
                    true},
        // An unsigned DarIR.dll is still the candidate: KelDarIR.dll is not tried.
        StartupCase{"UnsignedDarIR", {{UnsignedLibrary, L"DarIR.dll"}, {SignedLibrary, L"KelDarIR.dll"}},
                    L"DarIR.dll", false},
        StartupCase{"UnsignedKelDarIR", {{UnsignedLibrary, L"KelDarIR.dll"}}, L"KelDarIR.dll", false},
        StartupCase{"ExportlessDarIR", {{ExportlessLibrary, L"DarIR.dll"}, {SignedLibrary, L"KelDarIR.dll"}},
                    L"DarIR.dll", false}),
    [](const ::testing::TestParamInfo<StartupCase>& info) { return std::string(info.param.name); });

TEST(NetLibrary, UploaderSearchOrderTakesTheFirstExistingFileOrTheLastName) {
    struct Case {
        std::vector<const wchar_t*> present;
        const wchar_t* chosen;
    };
    const Case cases[] = {
        {{}, L"wallpaperhelper\\KelDarIR.dll"},
        {{L"KelDarIR.dll", L"wallpaperhelper\\DarIR.dll"}, L"KelDarIR.dll"},
        {{L"DarIR.dll", L"wallpaperhelper\\DarIR.dll"}, L"wallpaperhelper\\DarIR.dll"},
        {{L"wallpaperhelper\\KelDarIR.dll"}, L"wallpaperhelper\\KelDarIR.dll"},
    };
    for (const Case& c : cases) {
        ScopedTempDir folder;
        for (const wchar_t* name : c.present) ASSERT_TRUE(CopyInto(SignedLibrary(), folder, name));
        EXPECT_EQ(UploaderNetLibraryPath(folder.path()), folder.Join(c.chosen)) << c.chosen;
    }
    ScopedTempDir folder;
    ASSERT_TRUE(CopyInto(SignedLibrary(), folder, L"wallpaperhelper\\DarIR.dll"));
    ScopedRecord record;
    EXPECT_TRUE(LoadUploaderNetLibrary(record.library, folder.path()));
}

TEST(NetLibrary, AReadyRecordIsNotLoadedAgain) {
    ScopedTempDir folder;
    ASSERT_TRUE(CopyInto(SignedLibrary(), folder, L"DarIR.dll"));
    ASSERT_TRUE(CopyInto(SignedLibrary(), folder, L"other\\DarIR.dll"));
    ScopedRecord record;
    ASSERT_TRUE(record.library.Load(folder.Join(L"DarIR.dll").c_str()));
    NetLibrary::Fields first = record.library.Snapshot();
    EXPECT_TRUE(record.library.Load(folder.Join(L"other\\DarIR.dll").c_str()));
    EXPECT_TRUE(LoadStartupNetLibrary(record.library, folder.path()));
    NetLibrary::Fields again = record.library.Snapshot();
    EXPECT_EQ(again.module, first.module);
    EXPECT_EQ(again.manager, first.manager);
}

TEST(NetLibrary, UnloadShutsTheManagerDownAndEmptiesTheRecord) {
    ScopedTempDir folder;
    ASSERT_TRUE(CopyInto(SignedLibrary(), folder, L"DarIR.dll"));
    NetLibrary record;
    ASSERT_TRUE(record.Load(folder.Join(L"DarIR.dll").c_str()));
    record.Unload();
    EXPECT_FALSE(record.HasModule());
    EXPECT_FALSE(record.IsReady());
    EXPECT_EQ(record.Manager(), nullptr);
    record.Unload();  // twice is harmless
    EXPECT_EQ(NewHttpTask(record.Manager()), nullptr);
}

// ================================ PostAndWait ===================================

class PostAndWaitTest : public ServiceTest {};

TEST_F(PostAndWaitTest, CompletedPostHandsBackTheReplyAndSendsTheField) {
    ASSERT_NE(TestManager(), nullptr);
    std::string path = UniquePath("post");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"body\":\"answer \\u00e9\"}}"));
    std::string body;
    EXPECT_TRUE(PostAndWait(TestManager(), TestService::Url(path).c_str(), L"data", L"a+b=c \u00e9", body, 20000));
    EXPECT_EQ(body, "answer \xC3\xA9");
    std::vector<Recorded> records = RecordsFor(path);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].method, "POST");
    const cJSON* form = cJSON_GetObjectItemCaseSensitive(records[0].record.get(), "form");
    const cJSON* data = cJSON_GetObjectItemCaseSensitive(form, "data");
    ASSERT_EQ(cJSON_GetArraySize(data), 1);
    EXPECT_STREQ(cJSON_GetArrayItem(data, 0)->valuestring, "a+b=c \xC3\xA9");
}

TEST_F(PostAndWaitTest, EveryFailureGivesFalseWithinTheWait) {
    ASSERT_NE(TestManager(), nullptr);
    struct Case {
        const char* name;
        const char* reply;  // scripted reply; null: nothing scripted
        DWORD timeoutMs;
    };
    const Case cases[] = {
        {"server error", "{\"status\":500,\"body\":\"{}\"}", 20000},
        {"not found", "{\"status\":404}", 20000},
        {"closed without answer", "{\"close\":true}", 20000},
        {"slower than the wait", "{\"delay_ms\":5000}", 300},
        {"zero timeout", nullptr, 0},
    };
    for (const Case& c : cases) {
        std::string path = UniquePath("fail");
        if (c.reply != nullptr) {
            ASSERT_TRUE(TestService::Script("{\"" + path + "\":" + c.reply + "}"));
        }
        std::string body = "untouched";
        EXPECT_FALSE(PostAndWait(TestManager(), TestService::Url(path).c_str(), L"data", L"x", body, c.timeoutMs))
            << c.name;
        EXPECT_EQ(body, "untouched") << c.name;
    }
    std::string body;
    EXPECT_FALSE(PostAndWait(TestManager(), (std::wstring(kRefusingBase) + L"/x").c_str(), L"d", L"x", body, 20000));
    EXPECT_FALSE(PostAndWait(nullptr, TestService::Url("/x").c_str(), L"d", L"x", body, 20000));
    EXPECT_FALSE(PostAndWait(TestManager(), L"not a url", L"d", L"x", body, 20000));
}

TEST_F(PostAndWaitTest, TheExtraHandleEndsTheWait) {
    ASSERT_NE(TestManager(), nullptr);
    std::string path = UniquePath("extra");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"delay_ms\":3000}}"));
    win::UniqueHandle stop(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    std::string body;
    EXPECT_FALSE(PostAndWait(TestManager(), TestService::Url(path).c_str(), L"d", L"x", body, 60000, stop.get()));
}

// ================================ Statistics ====================================

class StatisticTest : public ServiceTest {
protected:
    // A reporter whose registry inputs are private, with a pid of its own so
    // that its reports can be told apart from other programs' on the service.
    std::unique_ptr<CStatistic> NewReporter(bool withPid = true) {
        if (withPid) ScratchKey::SetString(scratch_.UserKey(), L"pid", Wide(pid_));
        auto reporter = std::make_unique<CStatistic>(scratch_.Sources());
        reporter->SetType(L"tapis");
        return reporter;
    }
    std::string ExpectedQuery(const std::string& action, const std::string& ver, const std::string& extra) const {
        return "pid=" + pid_ + "&type=tapis&action=" + action + "&appver=" + ver + "&mid=" + MachineMid() +
               "&mid2=" + MachineMid2() + extra;
    }

    ScratchKey scratch_;
    std::string pid_ = UniqueToken("p");
};

TEST_F(StatisticTest, NothingIsSentWithoutTypeOrAction) {
    CStatistic reporter(scratch_.Sources());
    ScratchKey::SetString(scratch_.UserKey(), L"pid", Wide(pid_));
    EXPECT_FALSE(reporter.SendAction(L"uninstall_1", nullptr, true));  // before SetType
    EXPECT_EQ(reporter.ActionUrl(L"uninstall_1", nullptr), L"");
    reporter.SetType(L"tapis");
    EXPECT_FALSE(reporter.SendAction(nullptr, nullptr, true));
    EXPECT_FALSE(reporter.SendAction(L"", L"&ex1=1", true));
    reporter.SetType(L"");
    EXPECT_FALSE(reporter.SendAction(L"uninstall_1", nullptr, false));
    EXPECT_TRUE(ReportsWithPid(pid_).empty());
}

struct ActionCase {
    const wchar_t* action;
    const wchar_t* extra;
};

TEST_F(StatisticTest, EachActionRequestsItsExactUrl) {
    const ActionCase cases[] = {
        {L"uninstall_1", nullptr},
        {L"unist_init_fail", L"&{842908E2-421A-857d-D244-4D39A6C8E42E}=PreInitCheck:3"},
        {L"unist_init_fail", L"&{842908E2-421A-857d-D244-4D39A6C8E42E}=InitConfigFaile"},
        {L"uninst_cancel_start", nullptr},
        {L"continue_uninstall", nullptr},
        {L"ads_overmuch_click", nullptr},
        {L"paper_bean_lose", nullptr},
        {L"need_pay_click", nullptr},
        {L"get_vip_click", nullptr},
        {L"ads_select_solve", nullptr},
        {L"paper_bean_solve", nullptr},
        {L"pay_selset_solve", nullptr},
        {L"get_vip_success", nullptr},
        {L"uninst_cancel_set", nullptr},
        {L"bean_continue_use", nullptr},
        {L"bind_phone_number", nullptr},
        {L"get_bean_click", nullptr},
        {L"get_bean_success", nullptr},
        {L"question_show", nullptr},
        {L"question_yes", nullptr},
        {L"uninstall_2", L"&ex1=12&ex2=5.6.7.8"},
        {L"uninst_cancel_question", nullptr},
    };
    auto reporter = NewReporter();
    reporter->SetVer(BuildFile(L"testdata\\signing\\signed.exe").c_str());
    std::vector<std::string> expected;
    for (const ActionCase& c : cases) {
        std::string extra = c.extra != nullptr ? Narrow(c.extra) : "";
        std::string query = ExpectedQuery(Narrow(c.action), "5.6.7.8", extra);
        EXPECT_EQ(reporter->ActionUrl(c.action, c.extra), std::wstring(LUMORA_STATISTICS_BASE) + L"/tapis?" + Wide(query));
        EXPECT_TRUE(reporter->SendAction(c.action, c.extra, true)) << Narrow(c.action);
        expected.push_back(query);
    }
    std::vector<Recorded> records = ReportsWithPid(pid_);
    ASSERT_EQ(records.size(), expected.size());
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].method, "GET");
        EXPECT_EQ(records[i].path, "/tapis");
        EXPECT_EQ(Unescaped(records[i].query), expected[i]);
        EXPECT_EQ(records[i].host, "127.0.0.1:18931");
    }
}

TEST_F(StatisticTest, SynchronousUninstallFromIsOnTheServerWhenTheCallReturns) {
    auto reporter = NewReporter();
    ASSERT_TRUE(reporter->SendAction(L"uninstall_from", L"&ex1=explorer&ex2=6.1", true));
    std::vector<Recorded> records = ReportsWithPid(pid_);  // no waiting: the call waited
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].query, ExpectedQuery("uninstall_from", "", "&ex1=explorer&ex2=6.1"));
}

TEST_F(StatisticTest, ExtraTextIsAppendedVerbatimAsTheLastQueryKeys) {
    auto reporter = NewReporter();
    ASSERT_TRUE(reporter->SendAction(L"uninstall_2", L"&ex1=3&ex2=abc", true));
    std::vector<Recorded> records = ReportsWithPid(pid_);
    ASSERT_EQ(records.size(), 1u);
    const cJSON* pairs = cJSON_GetObjectItemCaseSensitive(records[0].record.get(), "statistic");
    int count = cJSON_GetArraySize(pairs);
    ASSERT_GE(count, 2);
    auto pair = [&](int index, int part) { return std::string(cJSON_GetArrayItem(cJSON_GetArrayItem(pairs, index), part)->valuestring); };
    EXPECT_EQ(pair(count - 2, 0) + "=" + pair(count - 2, 1), "ex1=3");
    EXPECT_EQ(pair(count - 1, 0) + "=" + pair(count - 1, 1), "ex2=abc");
}

TEST_F(StatisticTest, AsynchronousReportArrivesFromItsOwnThread) {
    auto reporter = NewReporter();
    EXPECT_TRUE(reporter->SendAction(L"uninstall_1", nullptr, false));
    std::vector<Recorded> records = WaitFor([&] { return ReportsWithPid(pid_); }, 1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].query, ExpectedQuery("uninstall_1", "", ""));
    EXPECT_TRUE(CStatistic::WaitForPendingReports(kRecordWaitMs));
}

TEST_F(StatisticTest, RepeatedActionsAreEachSent) {
    auto reporter = NewReporter();
    ASSERT_TRUE(reporter->SendAction(L"question_show", nullptr, true));
    ASSERT_TRUE(reporter->SendAction(L"question_show", nullptr, true));
    EXPECT_EQ(ReportsWithPid(pid_).size(), 2u);
}

TEST_F(StatisticTest, EmptyFieldsAreSentEmptyAndLookedUpAgain) {
    auto reporter = NewReporter(false);  // no pid yet
    std::string marker = UniqueToken("m");
    std::wstring extra = L"&marker=" + Wide(marker);
    ASSERT_TRUE(reporter->SendAction(L"uninstall_1", extra.c_str(), true));
    std::vector<Recorded> sent;
    for (Recorded& record : RecordsFor("/tapis"))
        if (record.query.find("&marker=" + marker) != std::string::npos) sent.push_back(std::move(record));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].query, "pid=&type=tapis&action=uninstall_1&appver=&mid=" + MachineMid() + "&mid2=" +
                                 MachineMid2() + "&marker=" + marker);

    ScratchKey::SetString(scratch_.UserKey(), L"pid", Wide(pid_));
    EXPECT_EQ(reporter->ActionUrl(L"uninstall_1", nullptr),
              std::wstring(LUMORA_STATISTICS_BASE) + L"/tapis?" + Wide(ExpectedQuery("uninstall_1", "", "")));
    // Once filled, a field keeps its value.
    ScratchKey::SetString(scratch_.UserKey(), L"pid", L"changed");
    EXPECT_EQ(reporter->ActionUrl(L"uninstall_1", nullptr).find(L"pid=changed"), std::wstring::npos);
}

TEST_F(StatisticTest, SetVerReportsTheFixedFileVersionOrNothing) {
    auto reporter = NewReporter();
    struct Case {
        std::wstring file;
        const wchar_t* version;
    };
    const Case cases[] = {
        {BuildFile(L"testdata\\signing\\signed.exe"), L"5.6.7.8"},
        {BuildFile(L"testdata\\signing\\version-blank.exe"), L"5.6.7.8"},
        {BuildFile(L"testdata\\signing\\version-large.exe"), L""},  // resource above 16 KB
        {BuildFile(L"testdata\\signing\\missing.exe"), L""},
        {BuildFile(L"CMakeCache.txt"), L""},  // no version resource
    };
    for (const Case& c : cases) {
        wchar_t version[64] = L"old";
        EXPECT_EQ(reporter->GetFileVersion(c.file.c_str(), version, 64), *c.version != L'\0') << Narrow(c.file);
        reporter->SetVer(c.file.c_str());
        std::wstring url = reporter->ActionUrl(L"uninstall_1", nullptr);
        EXPECT_NE(url.find(L"&appver=" + std::wstring(c.version) + L"&mid="), std::wstring::npos) << Narrow(c.file);
    }
}

TEST_F(StatisticTest, SetUpProductTakesTypeAndTheInstalledProductsVersion) {
    ScopedTempDir installed;
    ASSERT_TRUE(CopyInto(BuildFile(L"testdata\\signing\\signed.exe"), installed, L"lumdesk.exe"));
    ScratchKey::SetString(scratch_.UserKey(), L"pid", Wide(pid_));
    struct Case {
        std::wstring folder;
        std::string ver;
    };
    const Case cases[] = {
        {installed.path(), "5.6.7.8"},
        {installed.Join(L"gone"), ""},  // no such folder: no version
        {L"", ""},
    };
    for (const Case& c : cases) {
        ScratchKey::SetString(scratch_.ProductKey(), L"path", c.folder);
        CStatistic reporter(scratch_.Sources());
        reporter.SetUpProduct();
        EXPECT_EQ(reporter.ActionUrl(L"uninstall_1", nullptr),
                  std::wstring(LUMORA_STATISTICS_BASE) + L"/tapis?" + Wide(ExpectedQuery("uninstall_1", c.ver, "")))
            << Narrow(c.folder);
    }
}

// ---- OEM host override ----

TEST_F(StatisticTest, OemConfigReadsOnlyEncryptedTextValuesAndOnlyWithTheFlag) {
    ScratchKey::SetString(scratch_.ProductKey(), L"oem_f", L"1");
    scratch_.SetOemValue(L"statis", L"first.example");
    scratch_.SetOemValue(L"other", L"value");
    std::wstring name = EncryptTextW(L"expand", kOemConfigKey);
    ScratchKey::SetString(scratch_.OemKey(), name, EncryptTextW(L"yes", kOemConfigKey), REG_EXPAND_SZ);
    ScratchKey::SetString(scratch_.OemKey(), L"plain", L"not encrypted");
    std::wstring binary = EncryptTextW(L"bin", kOemConfigKey);
    std::wstring binaryData = EncryptTextW(L"data", kOemConfigKey);
    ScratchKey::Set(scratch_.OemKey(), binary, REG_BINARY, binaryData.c_str(),
                    static_cast<DWORD>((binaryData.size() + 1) * sizeof(wchar_t)));
    std::wstring odd = EncryptTextW(L"odd", kOemConfigKey);
    std::wstring oddData = EncryptTextW(L"size", kOemConfigKey);
    ScratchKey::Set(scratch_.OemKey(), odd, REG_SZ, oddData.c_str(), static_cast<DWORD>(oddData.size() * 2 + 1));

    OemConfig oem;
    oem.Load(HKEY_CURRENT_USER, scratch_.ProductKey());
    EXPECT_TRUE(oem.IsOem());
    EXPECT_EQ(oem.Product(), L"tapis");
    std::map<std::wstring, std::wstring> expected = {
        {L"statis", L"first.example"}, {L"other", L"value"}, {L"expand", L"yes"}};
    EXPECT_EQ(oem.Values(), expected);

    for (const wchar_t* flag : {L"0", L"", L"11", L"true"}) {
        ScratchKey::SetString(scratch_.ProductKey(), L"oem_f", flag);
        OemConfig off;
        off.Load(HKEY_CURRENT_USER, scratch_.ProductKey());
        EXPECT_FALSE(off.IsOem()) << Narrow(flag);
        EXPECT_TRUE(off.Values().empty()) << Narrow(flag);
    }
}

TEST_F(StatisticTest, OemHostOverrideReplacesEveryOccurrenceOfTheHost) {
    ScratchKey::SetString(scratch_.ProductKey(), L"oem_f", L"1");
    scratch_.SetOemValue(L"statis", L"partner.example");
    OemConfig oem;
    oem.Load(HKEY_CURRENT_USER, scratch_.ProductKey());
    struct Case {
        const wchar_t* url;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"http://stat.host/tapis?a=1", L"http://partner.example/tapis?a=1"},
        {L"http://127.0.0.1:18931/tapis?h=127.0.0.1", L"http://partner.example:18931/tapis?h=partner.example"},
        {L"http://stat.host", L"http://partner.example"},
        {L"no scheme here", L"no scheme here"},
        {L"http:///tapis", L"http:///tapis"},  // no host: nothing to replace
    };
    for (const Case& c : cases) EXPECT_EQ(ApplyOemHostOverride(oem, c.url), c.expected) << Narrow(c.url);

    OemConfig plain;  // no flag read: nothing changes
    EXPECT_EQ(ApplyOemHostOverride(plain, L"http://stat.host/x"), L"http://stat.host/x");
}

TEST_F(StatisticTest, OemReportGoesToThePartnerHostWithPathAndQueryUnchanged) {
    ScratchKey::SetString(scratch_.ProductKey(), L"oem_f", L"1");
    scratch_.SetOemValue(L"statis", L"localhost");
    auto reporter = NewReporter();
    ASSERT_TRUE(reporter->SendAction(L"uninstall_1", L"&ex1=oem", true));
    std::vector<Recorded> records = ReportsWithPid(pid_);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].host, "localhost:18931");
    EXPECT_EQ(records[0].path, "/tapis");
    EXPECT_EQ(records[0].query, ExpectedQuery("uninstall_1", "", "&ex1=oem"));
}

TEST_F(StatisticTest, WithoutTheOemFlagTheOemValuesAreIgnored) {
    ScratchKey::SetString(scratch_.ProductKey(), L"oem_f", L"0");
    scratch_.SetOemValue(L"statis", L"localhost");
    auto reporter = NewReporter();
    ASSERT_TRUE(reporter->SendAction(L"uninstall_1", nullptr, true));
    std::vector<Recorded> records = ReportsWithPid(pid_);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].host, "127.0.0.1:18931");
}

// ---- Downloads against a failing or misbehaving service ----

// Success is the download function's own verdict; whether it counts an error
// status or a dropped connection as a download differs between systems, and the
// answer is ignored either way. What is fixed: one GET per report, and no wait
// beyond the bound.
TEST_F(StatisticTest, SynchronousDownloadReturnsWithinItsBoundWhateverTheService) {
    CStatistic reporter(scratch_.Sources());
    reporter.SetFetchTimeout(2000);
    enum Outcome { kFetched, kFailed, kEither };
    struct Case {
        const char* name;
        const char* reply;
        Outcome outcome;
    };
    const Case cases[] = {
        {"ok", "{\"body\":\"ok\"}", kFetched},
        {"garbage body", "{\"body\":\"\\u0000\\u00ff<html>{{{\"}", kFetched},
        {"empty body", "{\"body\":\"\"}", kFetched},
        {"not found", "{\"status\":404,\"body\":\"missing\"}", kEither},
        {"server error", "{\"status\":500,\"body\":\"broken\"}", kEither},
        {"closed without answer", "{\"close\":true}", kEither},
        {"slower than the bound", "{\"delay_ms\":6000}", kFailed},
        {"body stalls", "{\"body\":\"late\",\"body_delay_ms\":6000}", kFailed},
    };
    for (const Case& c : cases) {
        std::string path = UniquePath("download");
        ASSERT_TRUE(TestService::Script("{\"" + path + "\":" + c.reply + "}"));
        bool fetched = reporter.Download(TestService::Url(path).c_str(), false);
        if (c.outcome != kEither) {
            EXPECT_EQ(fetched, c.outcome == kFetched) << c.name;
        }
        EXPECT_EQ(RecordsFor(path).size(), 1u) << c.name;
    }
    EXPECT_FALSE(reporter.Download((std::wstring(kRefusingBase) + L"/tapis").c_str(), false));
    EXPECT_FALSE(reporter.Download(L"not a url", false));
    EXPECT_FALSE(reporter.Download(L"", false));
    EXPECT_FALSE(reporter.Download(nullptr, false));
    EXPECT_FALSE(reporter.Download(nullptr, true));
    EXPECT_FALSE(reporter.SendUrl(nullptr, true));
}

TEST_F(StatisticTest, AsynchronousUrlIsCutAt2047Characters) {
    CStatistic reporter(scratch_.Sources());
    std::string path = UniquePath("long");
    std::wstring url = TestService::Url(path) + L"?q=" + std::wstring(3000, L'a');
    ASSERT_TRUE(reporter.Download(url.c_str(), true));
    std::vector<Recorded> records = WaitFor([&] { return RecordsFor(path); }, 1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Wide(records[0].query), url.substr(0, CStatistic::kMaxAsyncUrlChars).substr(url.find(L'?') + 1));
    EXPECT_TRUE(CStatistic::WaitForPendingReports(kRecordWaitMs));
}

TEST_F(StatisticTest, AsynchronousReportsToADeadOrStalledServiceEndWithinTheirBound) {
    CStatistic reporter(scratch_.Sources());
    reporter.SetFetchTimeout(1000);
    std::string path = UniquePath("stall");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"delay_ms\":8000}}"));
    EXPECT_TRUE(reporter.Download(TestService::Url(path).c_str(), true));
    EXPECT_TRUE(reporter.Download((std::wstring(kRefusingBase) + L"/tapis").c_str(), true));
    EXPECT_TRUE(CStatistic::WaitForPendingReports(6000));
}

namespace {

// Child: sends a report to a stalled service, then ends at once.
int ReportAndExitRole(int argc, wchar_t** argv) {
    if (argc < 1) return 2;
    CStatistic reporter;
    if (!reporter.Download(argv[0], true)) return 3;
    return 0;
}
testing_support::ChildRoleRegistrar g_reportAndExit(L"stats-report-and-exit", &ReportAndExitRole);

}  // namespace

TEST_F(StatisticTest, PendingReportsDoNotHoldUpTheProcessExit) {
    std::string path = UniquePath("exit");
    ASSERT_TRUE(TestService::Script("{\"" + path + "\":{\"delay_ms\":30000}}"));
    testing_support::Child child = testing_support::StartChild(
        path::ModulePath(), L"--role stats-report-and-exit " + TestService::Url(path));
    EXPECT_EQ(child.Wait(15000), 0);
}

TEST_F(StatisticTest, ConnectivityChecksAnswer) {
    CStatistic reporter(scratch_.Sources());
    bool gateway = reporter.HasGateway();
    bool online = reporter.IsOnline();
    EXPECT_TRUE(online || !gateway);  // a gateway alone makes the machine online
}

// ================================ Uninstall report ===============================

TEST(UninstallReport, BodyIsCompactJsonWithTheMembersInOrder) {
    uninstall_report::Fields fields;
    fields.kind = "set";
    fields.pid = L"p\"1\\\u00e9";
    fields.mid = L"0123abcd";
    fields.mid2 = L"M2";
    fields.appver = L"5.6.7.8";
    fields.modver = L"1.0.0.1";
    EXPECT_EQ(uninstall_report::BuildBody(fields),
              "{\"type\":\"set\",\"pid\":\"p\\\"1\\\\\xC3\xA9\",\"mid\":\"0123abcd\",\"mid2\":\"M2\","
              "\"appver\":\"5.6.7.8\",\"modver\":\"1.0.0.1\",\"appname\":\"wp\"}");
    fields.pid = L"tab\tnl\n\x01";
    EXPECT_NE(uninstall_report::BuildBody(fields).find("\"pid\":\"tab\\tnl\\n\\u0001\""), std::string::npos);
}

TEST(UninstallReport, ProductPidsCountAsReportedWithoutAReply) {
    struct Case {
        const wchar_t* pid;
        bool internal;
    };
    const Case cases[] = {
        {L"tapis_home", true}, {L"TAPIS_HOME", true}, {L"Kelsafe", true}, {L"kelsafe", true}, {L"quor", true},
        {L"dozoruz", true},    {L"Kelse", true},      {L"system", true},  {L"System32", true}, {L"SYSTEMx", true},
        {L"syste", false},     {L"quorx", false},     {L"", false},       {L"acme", false},    {nullptr, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(uninstall_report::IsInternalReportPid(c.pid), c.internal) << (c.pid ? Narrow(c.pid) : "null");
}

class UninstallReportTest : public ServiceTest {
protected:
    uninstall_report::Fields Fields(const std::wstring& pid) {
        return uninstall_report::CollectFields("set", pid.c_str(), L"5.6.7.8");
    }
    static std::string Encrypted(const std::string& text) { return EncryptText(text, kUninstallReportKey).value_or(""); }
};

TEST_F(UninstallReportTest, CollectedFieldsAreThisMachinesAndProgramsOwn) {
    uninstall_report::Fields fields = Fields(L"acme");
    EXPECT_EQ(fields.kind, "set");
    EXPECT_EQ(fields.pid, L"acme");
    EXPECT_EQ(fields.appver, L"5.6.7.8");
    EXPECT_EQ(Narrow(fields.mid), MachineMid());
    EXPECT_EQ(Narrow(fields.mid2), MachineMid2());
    EXPECT_FALSE(fields.mid2.empty());
}

TEST_F(UninstallReportTest, ReplyRuleDecidesWhenTheServiceAnswers) {
    ASSERT_NE(TestManager(), nullptr);
    std::string mid2 = MachineMid2();
    ASSERT_FALSE(mid2.empty());
    struct Case {
        const char* name;
        std::string reply;  // scripted reply object
        const wchar_t* pid;
        bool result;
    };
    const Case cases[] = {
        {"confirms after the first character", "{\"body\":\"" + Encrypted("{\"mid2\":\"" + mid2 + "\"}") + "\"}",
         L"acme", true},
        {"begins with the identifier", "{\"body\":\"" + Encrypted(mid2 + " ok") + "\"}", L"acme", false},
        {"other identifier", "{\"body\":\"" + Encrypted("{\"mid2\":\"someone else\"}") + "\"}", L"Kelsafe", false},
        {"not Base64", "{\"body\":\"<html>error</html>\"}", L"system", false},
        {"empty", "{\"body\":\"\"}", L"quor", false},
        {"server error, product pid", "{\"status\":500}", L"Kelsafe", true},
        {"server error, other pid", "{\"status\":500}", L"acme", false},
        {"no answer, product pid", "{\"close\":true}", L"SYSTEM_x", true},
    };
    for (const Case& c : cases) {
        std::string path = UniquePath("dogsun");
        ASSERT_TRUE(TestService::Script("{\"" + path + "\":" + c.reply + "}"));
        EXPECT_EQ(uninstall_report::Report(TestManager(), TestService::Url(path), Fields(c.pid), 20000), c.result)
            << c.name;
    }
    std::wstring refused = std::wstring(kRefusingBase) + L"/pc/ud/dogsun";
    EXPECT_TRUE(uninstall_report::Report(TestManager(), refused, Fields(L"system"), 20000));
    EXPECT_FALSE(uninstall_report::Report(TestManager(), refused, Fields(L"acme"), 20000));
    EXPECT_TRUE(uninstall_report::Report(nullptr, TestService::Url("/x"), Fields(L"dozoruz"), 20000));
}

TEST_F(UninstallReportTest, SharedLibraryCarriesTheReportToTheCompanionService) {
    // The test program's own folder holds no network library: the shared
    // record stays empty, and the report falls back to the pid rule unsent.
    EXPECT_FALSE(LoadSharedNetLibrary());
    EXPECT_EQ(SharedHttpManager(), nullptr);
    EXPECT_TRUE(ReportUninstall("set", L"system", L"1.0"));
    EXPECT_FALSE(ReportUninstall("set", L"acme", L"1.0"));

    ASSERT_TRUE(SharedNetLibrary().Load(SignedLibrary().c_str()));
    ASSERT_NE(SharedHttpManager(), nullptr);
    std::string pid = UniqueToken("r");
    EXPECT_TRUE(ReportUninstall("set", Wide(pid).c_str(), L"5.6.7.8"));

    std::vector<Recorded> mine;
    for (Recorded& record : RecordsFor("/pc/ud/dogsun")) {
        const cJSON* decoded = cJSON_GetObjectItemCaseSensitive(record.record.get(), "decoded");
        if (Member(cJSON_GetObjectItemCaseSensitive(decoded, "json"), "pid") == pid) mine.push_back(std::move(record));
    }
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_EQ(mine[0].method, "POST");
    const cJSON* decoded = cJSON_GetObjectItemCaseSensitive(mine[0].record.get(), "decoded");
    uninstall_report::Fields expected = Fields(Wide(pid));
    EXPECT_EQ(Member(decoded, "text"), uninstall_report::BuildBody(expected));
    const cJSON* headers = cJSON_GetObjectItemCaseSensitive(mine[0].record.get(), "headers");
    EXPECT_EQ(Member(headers, "Content-Encoding"), "");  // "gzip" 0: the form goes uncompressed
    // The form's one field.
    const cJSON* form = cJSON_GetObjectItemCaseSensitive(mine[0].record.get(), "form");
    EXPECT_EQ(cJSON_GetArraySize(form), 1);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(form, "data")), 1);
}
