// The application module and its message loop: the small part of a WTL-style
// framework that start-up needs (loops per thread, idle handlers, filters).
#pragma once

#include <windows.h>

#include <map>
#include <vector>

#include "app/base/Locker.h"

class CMessageFilter {
public:
    virtual BOOL PreTranslateMessage(MSG* msg) = 0;

protected:
    ~CMessageFilter() = default;
};

class CIdleHandler {
public:
    virtual BOOL OnIdle() = 0;

protected:
    ~CIdleHandler() = default;
};

class CMessageLoop {
public:
    void AddMessageFilter(CMessageFilter* filter) { filters_.push_back(filter); }
    void RemoveMessageFilter(CMessageFilter* filter);
    void AddIdleHandler(CIdleHandler* handler) { idleHandlers_.push_back(handler); }
    void RemoveIdleHandler(CIdleHandler* handler);

    // Pumps until WM_QUIT; returns its exit code.
    int Run();

private:
    static bool IsIdleMessage(const MSG& msg);
    bool OnIdle(int idleCount);
    bool PreTranslateMessage(MSG* msg);

    std::vector<CMessageFilter*> filters_;
    std::vector<CIdleHandler*> idleHandlers_;
};

class CAppModule {
public:
    HRESULT Init(HINSTANCE instance);
    void Term();

    HINSTANCE GetInstance() const { return instance_; }
    bool AddMessageLoop(CMessageLoop* loop);
    bool RemoveMessageLoop();
    CMessageLoop* GetMessageLoop(DWORD threadId = ::GetCurrentThreadId());

    static CAppModule& Process();

private:
    HINSTANCE instance_ = nullptr;
    _BaseModule::CCriticalSection lock_;
    std::map<DWORD, CMessageLoop*> loops_;
};
