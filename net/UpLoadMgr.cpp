#include "net/UpLoadMgr.h"

#include <new>
#include <utility>

#include "app/SmartLogger.h"
#include "app/base/Singleton.h"

namespace {

// The process's instance: the library beside the running executable.
class CProcessUpLoadMgr final {
public:
    CProcessUpLoadMgr() : manager(ProgramFolder()) {}
    CUpLoadMgr manager;
};

}  // namespace

CUpLoadMgr::CUpLoadMgr(std::wstring libraryFolder) : libraryFolder_(std::move(libraryFolder)) {}

CUpLoadMgr::~CUpLoadMgr() { Shutdown(); }

CUpLoadMgr* CUpLoadMgr::Instance() {
    CProcessUpLoadMgr* instance = CSingletonT<CProcessUpLoadMgr>::Instance();
    return instance != nullptr ? &instance->manager : nullptr;
}

bool CUpLoadMgr::LoadForUploader() { return LoadUploaderNetLibrary(library_, libraryFolder_); }

bool CUpLoadMgr::LoadForMainWindow() { return LoadStartupNetLibrary(library_, libraryFolder_); }

bool CUpLoadMgr::Upload(const wchar_t* url, const std::vector<UploadFormItem>& form, IHttpTaskCallback* callback) {
    if (url == nullptr || *url == L'\0' || form.empty() || callback == nullptr) return false;
    HttpTaskPtr task = NewHttpTask(library_.Manager());
    if (!task) return false;
    for (const UploadFormItem& item : form) task->AddField(item.name.c_str(), item.value.c_str());
    IHttpTask* raw = task.get();
    {
        _BaseModule::CAutoLocker hold(lock_);
        uploads_.push_back({raw, task, callback});
        current_ = raw;
    }
    task->SetCallback(this);
    if (task->StartRequest(kHttpPostForm, url)) return true;

    // Not started: no event follows, so the task is forgotten here.
    HttpTaskPtr dropped;
    {
        _BaseModule::CAutoLocker hold(lock_);
        for (auto it = uploads_.begin(); it != uploads_.end(); ++it) {
            if (it->raw == raw) {
                dropped = std::move(it->task);
                uploads_.erase(it);
                break;
            }
        }
        if (current_ == raw) current_ = nullptr;
    }
    return false;
}

void CUpLoadMgr::OnTaskEvent(IHttpTask* task, const HttpTaskEvent* event) {
    HttpTaskPtr finished;
    _BaseModule::CAutoLocker hold(lock_);
    for (auto it = uploads_.begin(); it != uploads_.end(); ++it) {
        if (it->raw != task) continue;
        if (it->callback != nullptr) it->callback->OnTaskEvent(task, event);
        if (IsFinalTaskEvent(event)) {
            finished = std::move(it->task);
            uploads_.erase(it);
            if (current_ == task) current_ = nullptr;
        }
        break;
    }
    // `finished` is released after the lock is left, from inside its own callback.
}

void CUpLoadMgr::ForgetCallback(IHttpTaskCallback* callback) {
    // Events are passed on under the lock, so once it is taken here the
    // callback is not running.
    _BaseModule::CAutoLocker hold(lock_);
    for (PendingUpload& upload : uploads_) {
        if (upload.callback == callback) upload.callback = nullptr;
    }
}

void CUpLoadMgr::Shutdown() {
    // The library delivers every running upload's last event before
    // "HttpUninit" returns; OnTaskEvent releases those tasks meanwhile.
    library_.Unload();
    _BaseModule::CAutoLocker hold(lock_);
    current_ = nullptr;
    if (uploads_.empty()) return;
    // A task the library never finished cannot be released once its module is
    // gone: it is left to the process's end instead of calling into freed code.
    WriteLog(L"CUpLoadMgr: %u upload(s) left unfinished at shutdown", static_cast<unsigned>(uploads_.size()));
    new (std::nothrow) std::vector<PendingUpload>(std::move(uploads_));
    uploads_.clear();
}

size_t CUpLoadMgr::PendingUploads() const {
    _BaseModule::CAutoLocker hold(lock_);
    return uploads_.size();
}
