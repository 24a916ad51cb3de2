#include "net/PostAndWait.h"

CHttpTaskAdapterPost::CHttpTaskAdapterPost() : done_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CHttpTaskAdapterPost::~CHttpTaskAdapterPost() {
    if (task_) task_->SetCallback(nullptr);  // no event can reach this object any more
    done_.reset();
    task_.reset();  // ReleaseTask aborts a request still running
}

bool CHttpTaskAdapterPost::Start(IHttpManager* manager, const wchar_t* url, const wchar_t* fieldName,
                                 const wchar_t* fieldValue) {
    if (!done_ || task_ || url == nullptr) return false;
    HttpTaskPtr task = NewHttpTask(manager);
    if (!task) return false;
    {
        _BaseModule::CAutoLocker hold(lock_);
        task_ = task;
        rawTask_ = task.get();
    }
    task->SetCallback(this);
    task->AddFieldW(fieldName != nullptr ? fieldName : L"", fieldValue != nullptr ? fieldValue : L"");
    if (task->StartRequest(kHttpPostForm, url) == 0) {
        _BaseModule::CAutoLocker hold(lock_);
        rawTask_ = nullptr;
        return false;
    }
    return true;
}

bool CHttpTaskAdapterPost::Wait(DWORD timeoutMs, HANDLE extra, std::string& body) {
    if (!done_ || timeoutMs == 0) return false;
    HANDLE handles[2] = {done_.get(), extra};
    DWORD count = extra != nullptr ? 2 : 1;
    if (::WaitForMultipleObjects(count, handles, FALSE, timeoutMs) != WAIT_OBJECT_0) return false;
    _BaseModule::CAutoLocker hold(lock_);
    if (!success_) return false;
    body = body_;
    return true;
}

void CHttpTaskAdapterPost::OnTaskEvent(IHttpTask* task, const HttpTaskEvent* event) {
    if (event == nullptr || event->status == kHttpTaskSent || event->status == kHttpTaskReceiving) return;
    _BaseModule::CAutoLocker hold(lock_);
    if (task == nullptr || task != rawTask_) return;
    rawTask_ = nullptr;
    success_ = event->status == kHttpTaskCompleted;
    if (success_ && event->body != nullptr) body_.assign(event->body, event->bodyLength);
    ::SetEvent(done_.get());
}

bool PostAndWait(IHttpManager* manager, const wchar_t* url, const wchar_t* fieldName, const wchar_t* fieldValue,
                 std::string& body, DWORD timeoutMs, HANDLE extra) {
    if (timeoutMs == 0) return false;
    CHttpTaskAdapterPost adapter;
    if (!adapter.Start(manager, url, fieldName, fieldValue)) return false;
    return adapter.Wait(timeoutMs, extra, body);
}

bool PostAndWait(const wchar_t* url, const wchar_t* fieldName, const wchar_t* fieldValue, std::string& body,
                 DWORD timeoutMs, HANDLE extra) {
    return PostAndWait(SharedHttpManager(), url, fieldName, fieldValue, body, timeoutMs, extra);
}
