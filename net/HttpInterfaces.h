// The network library's binary interface, shared by the library (DarIR.dll)
// and the programs that load it. A manager creates tasks; a task runs one HTTP
// request at a time and reports its progress to a callback on a thread of the
// library. The virtual slot order is the contract between separately built
// modules: operations are only ever added at the end, and the interfaces have
// no virtual destructor (it would take slots of its own).
#pragma once

#include <stdint.h>

// Methods accepted by IHttpTask::StartRequest.
enum HttpMethod : int {
    kHttpGet = 0,       // GET; added fields are appended to the query
    kHttpPostForm = 2,  // POST of the added fields, application/x-www-form-urlencoded
};

// HttpTaskEvent::status and IHttpTask::GetStatus.
enum HttpTaskStatus : int32_t {
    kHttpTaskIdle = -1,      // never started (GetStatus only)
    kHttpTaskSent = 0,       // request sent, waiting for the response
    kHttpTaskReceiving = 1,  // response headers in, reading the body
    kHttpTaskCompleted = 2,  // body complete, HTTP status below 400
    kHttpTaskFailed = 3,     // transport error, time-out, cancellation, HTTP status >= 400, ...
};

// HttpTaskEvent::error for failures that are not Windows errors. Windows and
// WinHTTP errors (ERROR_WINHTTP_TIMEOUT, ERROR_WINHTTP_CANNOT_CONNECT,
// ERROR_WINHTTP_OPERATION_CANCELLED, ...) are passed through unchanged.
enum HttpTaskError : uint32_t {
    kHttpErrorNone = 0,
    kHttpErrorHttpStatus = 0x20000001,    // the server answered with status >= 400
    kHttpErrorTooLarge = 0x20000002,      // response above the size limit ("max_response_bytes")
    kHttpErrorBadEncoding = 0x20000003,   // a gzip response that does not inflate
    kHttpErrorShutDown = 0x20000004,      // the manager was shut down (HttpUninit)
};

// One report of a task, five 32-bit fields.
struct HttpTaskEvent {
    uint32_t error;       // why the task failed (status 3), else 0
    int32_t status;       // HttpTaskStatus, 0 to 3
    int32_t httpStatus;   // HTTP status code once headers arrived, else 0
    uint32_t bodyLength;  // bytes at body, without the terminating NUL
    const char* body;     // response body, NUL-terminated, never null; empty on 0 and 1;
                          // valid only during the callback
};
#if defined(__i386__) || defined(_M_IX86)
static_assert(sizeof(HttpTaskEvent) == 20, "the task event is five 32-bit fields");
#endif

class IHttpTask;

class IHttpTaskCallback {
public:
    // 0: called on a library thread, one event at a time per task and in order:
    // optionally 0, optionally 1, then exactly one of 2 or 3. The callback may
    // call any task operation, ReleaseTask included.
    virtual void OnTaskEvent(IHttpTask* task, const HttpTaskEvent* event) = 0;

protected:
    ~IHttpTaskCallback() = default;
};

// Options (SetOption), read when a request starts:
//   "gzip"               non-zero: the POST body is sent gzip-compressed with
//                        "Content-Encoding: gzip" (default 0)
//   "ungzip"             non-zero: "Accept-Encoding: gzip" is sent and a gzip
//                        response is inflated before it is reported; with 0 the
//                        body is reported as the server sent it (default 0)
//   "timeout_ms"         overall limit from StartRequest to the last event
//                        (default 30000); also caps each phase below
//   "connect_timeout_ms", "send_timeout_ms", "receive_timeout_ms"
//                        limits of the single phases (default 10000 each)
//   "max_response_bytes" largest body accepted, after inflation (default 8 MiB)
// Values of 0 or below restore the default; time limits are capped at 300000.
class IHttpTask {
public:
    // 0: sets or replaces the callback; null detaches. When it returns, the old
    // callback is not running on another thread and will not be called again.
    virtual void SetCallback(IHttpTaskCallback* callback) = 0;
    // 1: starts a request (HttpMethod) to an http or https URL; non-zero when
    // started, in which case exactly one event 2 or 3 follows (unless the
    // callback is detached first). 0 while a request runs, for a bad URL or an
    // unknown method, or after HttpUninit; no event follows then.
    virtual int StartRequest(int method, const wchar_t* url) = 0;
    // 2: HttpTaskStatus of the latest request.
    virtual int GetStatus() = 0;
    // 3: aborts a running request and frees the task. When it returns no
    // callback is running on another thread for this task and none will follow.
    virtual void ReleaseTask() = 0;
    // 4: aborts a running request; it fails (status 3) with
    // ERROR_WINHTTP_OPERATION_CANCELLED. No effect when nothing runs.
    virtual void Cancel() = 0;
    // 5: adds or replaces a request header (null or empty value removes it).
    // 0 for a missing name or text containing CR or LF.
    virtual int SetHeader(const char* name, const char* value) = 0;
    // 6: adds a form field; name and value bytes are sent as given (percent-encoded).
    virtual int AddField(const char* name, const char* value) = 0;
    // 7: adds a form field; name and value are sent as UTF-8 (percent-encoded).
    virtual int AddFieldW(const wchar_t* name, const wchar_t* value) = 0;
    // 8: removes every added field.
    virtual void ClearFields() = 0;
    // 9: HTTP status code of the latest response, 0 when none arrived.
    virtual int GetHttpStatus() = 0;
    // 10: body of the latest finished request (NUL-terminated, never null);
    // valid until the next StartRequest or ReleaseTask.
    virtual const char* GetResponseBody(uint32_t* length) = 0;
    // 11: error of the latest failed request (HttpTaskEvent::error), else 0.
    virtual uint32_t GetErrorCode() = 0;
    // 12: sets an option (see above); 0 for an unknown name.
    virtual int SetOption(const char* name, int value) = 0;

protected:
    ~IHttpTask() = default;
};

class IHttpManager {
public:
    // 0: a new task, or null after HttpUninit.
    virtual IHttpTask* CreateTask() = 0;
    // 1: requests started and not yet fully closed.
    virtual int GetActiveRequestCount() = 0;

protected:
    ~IHttpManager() = default;
};

// The library's exports, looked up by name.
extern "C" {
// "HttpInit": the manager, or null when HTTP is unavailable.
typedef IHttpManager*(__cdecl* HttpInitFn)();
// "HttpUninit": lets running requests finish for up to 2 seconds, fails the
// rest (kHttpErrorShutDown), delivers their last events and stops the
// library's threads. Returns within about 3 seconds, or up to 2 more while one
// of the caller's callbacks is still running. No callback runs after it
// returns. Tasks still held stay valid for ReleaseTask; CreateTask and
// StartRequest fail from the moment it is called.
typedef void(__cdecl* HttpUninitFn)(IHttpManager* manager);
// "zlib_compress", "zlib_uncompress", "zlib_compressBound": zlib's compress,
// uncompress and compressBound (zlib format, Z_OK = 0).
typedef int(__cdecl* ZlibCompressFn)(unsigned char* dest, unsigned long* destLen,
                                     const unsigned char* source, unsigned long sourceLen);
typedef int(__cdecl* ZlibUncompressFn)(unsigned char* dest, unsigned long* destLen,
                                       const unsigned char* source, unsigned long sourceLen);
typedef unsigned long(__cdecl* ZlibCompressBoundFn)(unsigned long sourceLen);
}
