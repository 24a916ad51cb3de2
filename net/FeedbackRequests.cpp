#include "net/FeedbackRequests.h"

#include <windows.h>

#include "app/base/PathUtil.h"
#include "net/FeedbackService.h"
#include "net/JsonMembers.h"
#include "net/Statistic.h"

namespace feedback {

namespace {

struct NarrowField {
    const char* name;
    std::string value;
};

std::string Ansi(const std::wstring& text) { return text::ToCodePage(text, CP_ACP); }

// The request pattern: new task, callback, fields, POST. Null when not started.
// The task is in the slot before it starts, so even an immediate last event is
// recognised as the caller's own.
template <typename AddFields>
bool StartPost(IHttpManager* manager, IHttpTaskCallback* callback, HttpRequestSlot& slot, const wchar_t* path,
               AddFields addFields) {
    HttpTaskPtr task = NewHttpTask(manager);
    if (!task) return false;
    task->SetCallback(callback);
    addFields(*task);
    std::wstring url = FeedbackServiceUrl(path);
    slot.Set(task);
    if (!task->StartRequest(kHttpPostForm, url.c_str())) {
        slot.Drop();  // nothing was sent and no event follows
        return false;
    }
    return true;
}

bool PostAnsiFields(IHttpManager* manager, IHttpTaskCallback* callback, HttpRequestSlot& slot, const wchar_t* path,
                    const std::vector<NarrowField>& fields) {
    return StartPost(manager, callback, slot, path, [&](IHttpTask& task) {
        for (const NarrowField& field : fields) task.AddField(field.name, field.value.c_str());
    });
}

}  // namespace

std::wstring JoinCheckedReasons(const std::vector<bool>& checked, wchar_t separator) {
    std::wstring joined;
    for (size_t i = 0; i < checked.size(); ++i) {
        if (!checked[i]) continue;
        if (!joined.empty()) joined.push_back(separator);
        joined += std::to_wstring(i + 1);
    }
    return joined;
}

UninstallReasonFields MakeUninstallReasonFields(const std::wstring& reasons, const std::wstring& suggestion) {
    UninstallReasonFields fields;
    fields.reason = reasons;
    fields.suggest = Trim(suggestion);
    if (!HasUninstallReason(fields)) return fields;  // nothing to send: skip the look-ups
    fields.appver = VersionText(ProductProgram(InstallDir()));
    fields.modever = VersionText(path::ModulePath());
    wchar_t mid[CStatistic::kFieldChars] = {};
    if (CStatistic* statistic = CStatistic::Instance()) statistic->GetMid(mid, CStatistic::kFieldChars);
    mid[CStatistic::kFieldChars - 1] = L'\0';
    fields.mid = mid;
    return fields;
}

bool HasUninstallReason(const UninstallReasonFields& fields) { return !fields.reason.empty() || !fields.suggest.empty(); }

bool SendUninstallReason(IHttpManager* manager, IHttpTaskCallback* callback, HttpRequestSlot& slot,
                         const UninstallReasonFields& fields) {
    std::string suggest = text::ToUtf8(fields.suggest);
    return StartPost(manager, callback, slot, kAddUninstallReasonPath, [&](IHttpTask& task) {
        task.AddFieldW(L"reason", fields.reason.c_str());
        task.AddField("suggest", suggest.c_str());
        task.AddFieldW(L"appver", fields.appver.c_str());
        task.AddFieldW(L"modever", fields.modever.c_str());
        task.AddFieldW(L"mid", fields.mid.c_str());
    });
}

bool SendSmsCode(IHttpManager* manager, IHttpTaskCallback* callback, HttpRequestSlot& slot,
                 const std::wstring& phone) {
    return PostAnsiFields(manager, callback, slot, kSendSmsCodePath, {{"phone", Ansi(phone)}});
}

bool SendGetBeans(IHttpManager* manager, IHttpTaskCallback* callback, HttpRequestSlot& slot,
                  const std::wstring& phone, const std::wstring& code) {
    return PostAnsiFields(manager, callback, slot, kGetBeansPath, {{"phone", Ansi(phone)}, {"code", Ansi(code)}});
}

bool SendAddFeedback(IHttpManager* manager, IHttpTaskCallback* callback, HttpRequestSlot& slot,
                     const ContactFields& fields) {
    return PostAnsiFields(manager, callback, slot, kAddFeedbackPath,
                          {{"phone", Ansi(fields.phone)},
                           {"weixin", Ansi(fields.weixin)},
                           {"qq", Ansi(fields.qq)},
                           {"email", Ansi(fields.email)}});
}

namespace {

FeedbackReply ReadCommonReply(const cJSON* root) {
    FeedbackReply reply;
    if (root == nullptr || !cJSON_IsObject(root)) return reply;
    reply.parsed = true;
    reply.errorCode = JsonInt(root, "errno", 1);
    reply.message = JsonStringW(root, "msg");
    if (reply.message.size() > kMaxMessageChars) reply.message.resize(kMaxMessageChars);
    return reply;
}

JsonPtr ParseCompleted(const HttpTaskEvent* event) {
    if (event == nullptr || event->status != kHttpTaskCompleted) return nullptr;
    return ParseJsonReply(event->body, event->bodyLength);
}

}  // namespace

FeedbackReply ReadFeedbackReply(const HttpTaskEvent* event) {
    JsonPtr root = ParseCompleted(event);
    return ReadCommonReply(root.get());
}

BeansReply ReadBeansReply(const HttpTaskEvent* event) {
    JsonPtr root = ParseCompleted(event);
    BeansReply beans;
    beans.reply = ReadCommonReply(root.get());
    if (!beans.reply.parsed) return beans;
    const cJSON* data = cJSON_GetObjectItem(root.get(), "data");
    beans.hasData = data != nullptr;
    beans.openidEncryptSelf = JsonString(data, "openid_encrypt_self", "");
    beans.openkey = JsonString(data, "openkey", "");
    return beans;
}

}  // namespace feedback
