// The upload manager: form uploads to the install-statistics endpoint through
// a copy of the network library of its own. Every task it starts is released
// at that task's last event (2 or 3); each event is first passed on to the
// callback the upload was started with, while that callback is registered.
#pragma once

#include <string>
#include <vector>

#include "app/base/Locker.h"
#include "net/HttpInterfaces.h"
#include "net/HttpRequestSlot.h"
#include "net/NetLibrary.h"

// One text form item: name and value as UTF-8 bytes.
struct UploadFormItem {
    std::string name;
    std::string value;
};

class CUpLoadMgr final : public IHttpTaskCallback {
public:
    // Loads its library from `libraryFolder` (the running executable's folder
    // for the process's instance).
    explicit CUpLoadMgr(std::wstring libraryFolder);
    // Shuts its library down (see Shutdown).
    ~CUpLoadMgr();
    CUpLoadMgr(const CUpLoadMgr&) = delete;
    CUpLoadMgr& operator=(const CUpLoadMgr&) = delete;

    // The process's instance (CSingletonT); null only when memory ran out.
    static CUpLoadMgr* Instance();

    // Loads the record with the uploader's search order ("KelDarIR.dll",
    // "wallpaperhelper\DarIR.dll", "wallpaperhelper\KelDarIR.dll"); nothing
    // happens when it holds a library already. True when ready.
    bool LoadForUploader();
    // Loads it with start-up's order ("DarIR.dll", else "KelDarIR.dll"), as the
    // main window does. True when ready.
    bool LoadForMainWindow();
    bool IsReady() const { return library_.IsReady(); }

    // Starts a POST of the items ("ungzip" and "gzip" 0) to `url`. False when
    // the library is not ready, an argument is missing or the request did not
    // start; the callback then hears nothing.
    bool Upload(const wchar_t* url, const std::vector<UploadFormItem>& form, IHttpTaskCallback* callback);

    // Stops passing events to `callback` (its owner is going away). When this
    // returns the callback is not running and will not be called again.
    void ForgetCallback(IHttpTaskCallback* callback);

    // At exit: "HttpUninit" (running uploads end with status 3 within a few
    // seconds, and are released) and the module freed. Idempotent.
    void Shutdown();

    // Uploads started and not yet finished.
    size_t PendingUploads() const;

    void OnTaskEvent(IHttpTask* task, const HttpTaskEvent* event) override;

private:
    struct PendingUpload {
        IHttpTask* raw;
        HttpTaskPtr task;
        IHttpTaskCallback* callback;
    };

    std::wstring libraryFolder_;
    NetLibrary library_;
    mutable _BaseModule::CCriticalSection lock_;
    std::vector<PendingUpload> uploads_;
    IHttpTask* current_ = nullptr;  // the latest upload
};
