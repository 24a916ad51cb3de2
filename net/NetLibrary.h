// The network library (DarIR.dll) as the program loads it: one record per
// loaded copy, the file search orders of its users, and the shared record that
// start-up fills. Every request to the feedback service goes through a record's
// manager; a record that is not ready makes those requests inert.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "app/base/Locker.h"
#include "net/HttpInterfaces.h"

// One loaded copy of the network library. Loading happens at most once per
// record: a record that holds a module is never loaded again.
class NetLibrary {
public:
    NetLibrary() = default;
    NetLibrary(const NetLibrary&) = delete;
    NetLibrary& operator=(const NetLibrary&) = delete;
    // Does not unload: a record lives until the process ends unless Unload is called.
    ~NetLibrary() = default;

    // Loads the library at `path` (full path) when the record holds no module
    // yet: refuses a null, empty or missing path and a file failing the
    // publisher signature check, resolves the five exports and calls "HttpInit".
    // A library that yields no manager is freed again and leaves the record
    // empty. Returns IsReady() afterwards (true at once for a ready record).
    bool Load(const wchar_t* path);

    // "HttpInit", "HttpUninit" and the manager are all present.
    bool IsReady() const;
    // The manager of a ready record, else null.
    IHttpManager* Manager() const;
    // Whether a module is held (ready or not).
    bool HasModule() const;

    // Shuts the manager down ("HttpUninit") and frees the module; the record is
    // empty afterwards. Used by the upload manager at exit. Tasks still held by
    // callers stay valid for ReleaseTask only.
    void Unload();

    // The record's fields, in their fixed order.
    struct Fields {
        HMODULE module = nullptr;
        HttpInitFn httpInit = nullptr;
        HttpUninitFn httpUninit = nullptr;
        IHttpManager* manager = nullptr;
        ZlibUncompressFn zlibUncompress = nullptr;  // looked up at load, never called
        ZlibCompressFn zlibCompress = nullptr;
        ZlibCompressBoundFn zlibCompressBound = nullptr;
    };
    Fields Snapshot() const;

private:
    mutable _BaseModule::CCriticalSection lock_;
    Fields fields_;
};

// ---- File search orders (folder = the running executable's folder) ---------

// The folder of the running executable, without a trailing backslash.
std::wstring ProgramFolder();

// Start-up and the main window: "DarIR.dll", or "KelDarIR.dll" when the first
// does not exist. An existing but unsigned "DarIR.dll" is still the candidate,
// so "KelDarIR.dll" is then not tried.
std::wstring StartupNetLibraryPath(const std::wstring& folder);
// The uploader: the first existing of "KelDarIR.dll", "wallpaperhelper\DarIR.dll",
// else "wallpaperhelper\KelDarIR.dll" (taken even if missing; loading then fails).
std::wstring UploaderNetLibraryPath(const std::wstring& folder);

// Load `record` from the candidate of the respective search order in `folder`.
bool LoadStartupNetLibrary(NetLibrary& record, const std::wstring& folder);
bool LoadUploaderNetLibrary(NetLibrary& record, const std::wstring& folder);

// ---- The shared record -------------------------------------------------------

// The process-wide record that start-up loads (never null; created on first use).
NetLibrary& SharedNetLibrary();
// Start-up's load of the shared record from the program's own folder. A missing,
// unsigned or unusable library leaves the record empty; the run continues.
bool LoadSharedNetLibrary();
// The shared record's manager, or null when the library is not loaded.
IHttpManager* SharedHttpManager();

// ---- The request pattern -----------------------------------------------------
//
// Every request: NewHttpTask (CreateTask, "ungzip" 0, "gzip" 0, owned by the
// shared pointer), SetCallback, add the fields, StartRequest. The receiver keeps
// the raw pointer to recognise its own task's events; on status 2 or 3 it acts
// (parses the body only on 2), clears the raw pointer and drops the shared one.

// Releases a task when its last owner lets go. ReleaseTask may run on the
// library's thread, from inside the task's own callback.
struct HttpTaskDeletor {
    void operator()(IHttpTask* task) const {
        if (task != nullptr) task->ReleaseTask();
    }
};
using HttpTaskPtr = std::shared_ptr<IHttpTask>;

// A new task of `manager` with the options every request sets; null for a null
// manager or when the manager creates no task.
HttpTaskPtr NewHttpTask(IHttpManager* manager);
