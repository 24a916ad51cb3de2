#include "engine/WorkerThread.h"

#include <exception>

#include "app/SmartLogger.h"

CXThread::~CXThread() {
    if (!thread_) return;
    ::SetEvent(shutdownEvent_.get());
    ::WaitForSingleObject(thread_.get(), kShutdownWaitMs);
}

bool CXThread::Start(void* argument, IThreadCallback* callback) {
    if (::InterlockedCompareExchange(&running_, 0, 0) == 1) return true;
    if (::InterlockedCompareExchange(&started_, 0, 0) == 0) {
        shutdownEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        wakeEvent_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!shutdownEvent_ || !wakeEvent_) return false;
        callback_ = callback;
        thread_.reset(::CreateThread(nullptr, 0, &CXThread::ThreadMain, this, 0, nullptr));
        if (!thread_) return false;
        ::InterlockedExchange(&started_, 1);
    }
    argument_ = argument;
    ::SetEvent(wakeEvent_.get());
    return true;
}

DWORD WINAPI CXThread::ThreadMain(void* self) {
    static_cast<CXThread*>(self)->Loop();
    return 0;
}

void CXThread::Loop() {
    HANDLE events[] = {shutdownEvent_.get(), wakeEvent_.get()};
    for (;;) {
        DWORD which = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (which != WAIT_OBJECT_0 + 1) return;
        try {
            Execute();
        } catch (const std::exception&) {
            // Only a failed allocation gets here: the worker ends and no later run starts.
            ::InterlockedExchange(&running_, 0);
            WriteLog(L"uninstall worker ended by an exception");
            return;
        }
    }
}

void CXThread::Execute() {
    win::ComApartment apartment(COINIT_APARTMENTTHREADED);
    ::InterlockedExchange(&running_, 1);
    callback_->Run(argument_);
    ::InterlockedExchange(&running_, 0);
}
