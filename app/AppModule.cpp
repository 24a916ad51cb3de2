#include "app/AppModule.h"

#include <algorithm>

void CMessageLoop::RemoveMessageFilter(CMessageFilter* filter) {
    filters_.erase(std::remove(filters_.begin(), filters_.end(), filter), filters_.end());
}

void CMessageLoop::RemoveIdleHandler(CIdleHandler* handler) {
    idleHandlers_.erase(std::remove(idleHandlers_.begin(), idleHandlers_.end(), handler), idleHandlers_.end());
}

bool CMessageLoop::IsIdleMessage(const MSG& msg) {
    // Mouse moves, paints and the caret blink do not re-enable idle processing.
    switch (msg.message) {
        case WM_MOUSEMOVE:
        case WM_NCMOUSEMOVE:
        case WM_PAINT:
        case 0x0118:  // WM_SYSTIMER
            return false;
        default:
            return true;
    }
}

bool CMessageLoop::OnIdle(int /*idleCount*/) {
    for (CIdleHandler* handler : idleHandlers_)
        if (handler) handler->OnIdle();
    return false;
}

bool CMessageLoop::PreTranslateMessage(MSG* msg) {
    for (auto it = filters_.rbegin(); it != filters_.rend(); ++it)
        if (*it && (*it)->PreTranslateMessage(msg)) return true;
    return false;
}

int CMessageLoop::Run() {
    bool doIdle = true;
    int idleCount = 0;
    MSG msg = {};
    for (;;) {
        while (doIdle && !::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            if (!OnIdle(idleCount++)) doIdle = false;
        }
        BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) continue;
        if (!got) break;
        if (!PreTranslateMessage(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        if (IsIdleMessage(msg)) {
            doIdle = true;
            idleCount = 0;
        }
    }
    return static_cast<int>(msg.wParam);
}

CAppModule& CAppModule::Process() {
    static CAppModule module;
    return module;
}

HRESULT CAppModule::Init(HINSTANCE instance) {
    instance_ = instance;
    return S_OK;
}

void CAppModule::Term() {
    _BaseModule::CAutoLocker hold(lock_);
    loops_.clear();
}

bool CAppModule::AddMessageLoop(CMessageLoop* loop) {
    _BaseModule::CAutoLocker hold(lock_);
    return loops_.emplace(::GetCurrentThreadId(), loop).second;
}

bool CAppModule::RemoveMessageLoop() {
    _BaseModule::CAutoLocker hold(lock_);
    return loops_.erase(::GetCurrentThreadId()) != 0;
}

CMessageLoop* CAppModule::GetMessageLoop(DWORD threadId) {
    _BaseModule::CAutoLocker hold(lock_);
    auto found = loops_.find(threadId);
    return found == loops_.end() ? nullptr : found->second;
}
