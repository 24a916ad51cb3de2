// The questionnaire's uninstall answer: the checked reasons and the contact
// text with the client's identity, as JSON encrypted with the answer codec and
// uploaded to the install-statistics endpoint as the form item "unint_ask".
#pragma once

#include <string>

#include "net/HttpInterfaces.h"
#include "net/UpLoadMgr.h"

class CUploader final : public IHttpTaskCallback {
public:
    // Uploads through `manager` (the process's upload manager by default).
    explicit CUploader(CUpLoadMgr* manager = nullptr);
    // Stops the manager from passing this uploader any further event.
    ~CUploader();
    CUploader(const CUploader&) = delete;
    CUploader& operator=(const CUploader&) = delete;

    // appver := the fixed file version ("%d.%d.%d.%d") of the product's main
    // program at `path` (empty without a version resource).
    void SetAppPath(const wchar_t* path);
    // The questionnaire, when `check` or `contact` is not empty: stores both
    // (the contact trimmed), loads the manager's library with the uploader's
    // search order, fills modver and mid when empty, builds and encrypts the
    // answer and uploads it. An answer too long for the codec is uploaded with
    // an empty value. True when the upload was started.
    bool SendAnswer(const std::wstring& check, const std::wstring& contact);

    // The answer JSON for the current fields.
    std::wstring AnswerJson() const;
    // The install-statistics address the answer goes to.
    static std::wstring AnswerUrl();

    // The manager passes the upload's events here; nothing depends on them.
    void OnTaskEvent(IHttpTask* task, const HttpTaskEvent* event) override {}

    const std::wstring& Mid() const { return mid_; }
    const std::wstring& AppVer() const { return appver_; }
    const std::wstring& ModVer() const { return modver_; }

private:
    CUpLoadMgr* manager_;
    std::wstring mid_;
    std::wstring appver_;
    std::wstring modver_;
    std::wstring check_;
    std::wstring contact_;
};

namespace feedback {

// The answer template with its five values put in, in the order MID, APPVER,
// MODVER, CHECK, CONTACT. The values are JSON-escaped (quotes, backslashes and
// control characters), so a typed contact text can never break the document.
std::wstring BuildAnswerJson(const std::wstring& mid, const std::wstring& appver, const std::wstring& modver,
                             const std::wstring& check, const std::wstring& contact);
// The form value of "unint_ask": the encrypted answer, or empty when the
// answer is longer than the codec takes (743 bytes of UTF-8).
std::string EncryptedAnswer(const std::wstring& answerJson);

}  // namespace feedback
