// One worker thread that runs a callback each time it is woken; runs never
// overlap, and each runs inside a single-threaded COM apartment.
#pragma once

#include <windows.h>

#include "app/base/WinHandle.h"

class IThreadCallback {
public:
    virtual int Run(void* argument) = 0;

protected:
    ~IThreadCallback() = default;
};

class CXThread {
public:
    CXThread() = default;
    // Signals shutdown and waits at most 10000 ms for the thread.
    ~CXThread();
    CXThread(const CXThread&) = delete;
    CXThread& operator=(const CXThread&) = delete;

    // Starts a run of `callback` with `argument`; returns at once. Does nothing
    // while a run is in progress. False when the thread could not be started.
    bool Start(void* argument, IThreadCallback* callback);

    static constexpr DWORD kShutdownWaitMs = 10000;

private:
    static DWORD WINAPI ThreadMain(void* self);
    void Loop();
    void Execute();

    volatile LONG started_ = 0;
    volatile LONG running_ = 0;
    void* argument_ = nullptr;
    win::UniqueHandle wakeEvent_;
    win::UniqueHandle shutdownEvent_;
    win::UniqueHandle thread_;
    IThreadCallback* callback_ = nullptr;
};
