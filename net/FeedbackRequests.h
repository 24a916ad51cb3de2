// The requests the questionnaire and the input windows send to the feedback
// service (form POSTs), and the readers of their replies. Each sender follows
// the request pattern of NetLibrary.h: a new task with the caller as callback,
// the fields in their fixed order, the task placed in the caller's slot (it
// replaces the slot's previous request), POST. Returns whether the request was
// started; when not (no library, no task, refused) the slot is left empty and
// no event follows. The caller takes the task back from the slot at its last
// event (HttpRequestSlot::TakeIfFinished) and reads the reply below.
//
// Field encodings: wide fields go out as UTF-8 (AddFieldW); "suggest" is sent
// as UTF-8 bytes and the input windows' fields in the ANSI code page (AddField).
#pragma once

#include <string>
#include <vector>

#include "net/HttpInterfaces.h"
#include "net/HttpRequestSlot.h"
#include "net/NetLibrary.h"

inline constexpr wchar_t kAddUninstallReasonPath[] = L"/live/uninstall/addUninstallReason?";
inline constexpr wchar_t kSendSmsCodePath[] = L"/live/uninstall/sendSmsCode?";
inline constexpr wchar_t kGetBeansPath[] = L"/live/uninstall/getBdouByUninstall?";
inline constexpr wchar_t kAddFeedbackPath[] = L"/live/uninstall/addFeedback?";

namespace feedback {

// The numbers (1-based positions) of the checked boxes in ascending order,
// joined by `separator`: {true,false,true,false,false,true} gives "1|3|6".
std::wstring JoinCheckedReasons(const std::vector<bool>& checked, wchar_t separator);

// ---- addUninstallReason (questionnaire) ---------------------------------------

struct UninstallReasonFields {
    std::wstring reason;   // "reason": checked numbers joined by "|"
    std::wstring suggest;  // "suggest": the suggestion, trimmed; sent as UTF-8
    std::wstring appver;   // "appver": version text of the product's main program
    std::wstring modever;  // "modever": version text of the running executable
    std::wstring mid;      // "mid": the statistics reporter's machine identifier
};
// The fields for this run: the reasons text as given, the suggestion trimmed,
// the versions from the uninstall task's installation folder and this program,
// and the machine identifier.
UninstallReasonFields MakeUninstallReasonFields(const std::wstring& reasons, const std::wstring& suggestion);
// Sent only when there is something to say: reasons or a suggestion.
bool HasUninstallReason(const UninstallReasonFields& fields);

bool SendUninstallReason(IHttpManager* manager, IHttpTaskCallback* callback, HttpRequestSlot& slot,
                         const UninstallReasonFields& fields);

// ---- Input windows (ANSI code page fields) ------------------------------------

bool SendSmsCode(IHttpManager* manager, IHttpTaskCallback* callback, HttpRequestSlot& slot,
                 const std::wstring& phone);
bool SendGetBeans(IHttpManager* manager, IHttpTaskCallback* callback, HttpRequestSlot& slot,
                  const std::wstring& phone, const std::wstring& code);

struct ContactFields {
    std::wstring phone;
    std::wstring weixin;
    std::wstring qq;
    std::wstring email;
};
// Every field is sent, empty ones included.
bool SendAddFeedback(IHttpManager* manager, IHttpTaskCallback* callback, HttpRequestSlot& slot,
                     const ContactFields& fields);

// ---- Replies -------------------------------------------------------------------

// The common reply {"errno": number, "msg": text, "data": ...}.
struct FeedbackReply {
    bool parsed = false;    // a completed request whose body is a JSON object
    int errorCode = 1;      // "errno"; 1 when missing or not a number
    std::wstring message;   // "msg" (at most kMaxMessageChars), empty when missing

    bool Succeeded() const { return parsed && errorCode == 0; }
    // A refusal the window shows in its error label: a readable reply with a
    // non-zero errno and a message. Unreadable replies and transport failures
    // show nothing.
    bool HasMessageToShow() const { return parsed && errorCode != 0 && !message.empty(); }
};
constexpr size_t kMaxMessageChars = 256;

// Reads a task's last event: only status 2 with a JSON object body is parsed.
FeedbackReply ReadFeedbackReply(const HttpTaskEvent* event);

// getBdouByUninstall: the common reply plus data's two texts (UTF-8 as sent).
struct BeansReply {
    FeedbackReply reply;
    bool hasData = false;             // the reply has a "data" member
    std::string openidEncryptSelf;    // data."openid_encrypt_self", empty when absent
    std::string openkey;              // data."openkey", empty when absent
};
BeansReply ReadBeansReply(const HttpTaskEvent* event);

}  // namespace feedback
