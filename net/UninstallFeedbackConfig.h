// The problem choices (option ids) the first window offers, read once from the
// feedback service. Until a good reply arrives, and whenever the service cannot
// be reached, the defaults 1, 2, 3, 4 stand; the window never waits longer than
// kWaitMs for the reply.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "app/base/Locker.h"
#include "app/base/WinHandle.h"
#include "net/HttpInterfaces.h"
#include "net/HttpRequestSlot.h"

class UninstallFeedbackConfig final : public IHttpTaskCallback {
public:
    UninstallFeedbackConfig();
    // Releases a request still running (its events stop first).
    ~UninstallFeedbackConfig();
    UninstallFeedbackConfig(const UninstallFeedbackConfig&) = delete;
    UninstallFeedbackConfig& operator=(const UninstallFeedbackConfig&) = delete;

    // The process's instance (CSingletonT); null only when memory ran out.
    static UninstallFeedbackConfig* Instance();

    // Start-up, right after the shared network library was loaded: sets the
    // defaults and sends the options request through the shared library. Only
    // the first call sends; without a library nothing is sent.
    void RequestOptions();
    // The same through `manager` to `url` (tests, other services).
    void RequestOptions(IHttpManager* manager, const std::wstring& url);

    // The main window: waits at most kWaitMs for the reply, copies the option
    // ids and returns whether they came from the service. Returns at once when
    // no request is running. Logs "UninstallFeedbackConfig::GetFeedback".
    bool GetFeedback(std::vector<int>& options);

    // Start-up's last step: releases the request's task (no event follows) and
    // closes the event. Call on the thread that calls GetFeedback.
    void Release();

    // The options request's events (library thread).
    void OnTaskEvent(IHttpTask* task, const HttpTaskEvent* event) override;

    // The options address with this run's query.
    static std::wstring OptionsUrl();
    // The options address for the given query text.
    static std::wstring OptionsUrl(const std::wstring& query);
    // Reads a reply: true and the ids for {"errno":0,"data":"1,3,4"}; false for
    // anything else (the ids are then untouched).
    static bool ParseOptionsReply(const char* body, size_t length, std::vector<int>& options);
    static std::vector<int> DefaultOptions() { return {1, 2, 3, 4}; }

    static constexpr DWORD kWaitMs = 2000;

private:
    _BaseModule::CCriticalSection lock_;
    HttpRequestSlot request_;
    std::vector<int> options_;
    int obtained_ = 0;
    bool requested_ = false;
    // Set once the list was handed to the window: a reply arriving later is
    // dropped, so the list never changes under the screen that shows it.
    bool handedOut_ = false;
    win::UniqueHandle done_;
};
