// A hidden window on the user-interface thread. The worker hands it call
// objects by a synchronous send, so the notifications to the screens run on
// the user-interface thread, in order, while the worker waits.
#pragma once

#include <windows.h>

constexpr UINT UM_INVOKE_SYNC = 3002;

class ISimpleBind {
public:
    virtual void Invoke() = 0;

protected:
    ~ISimpleBind() = default;
};

class CUIThreadWindow {
public:
    // Creates the window on the calling thread once per process; true when it exists.
    static bool Create();
    // Runs `call` on the window's thread; false (nothing run) without the window.
    static bool InvokeSync(ISimpleBind& call);
    static HWND Handle();

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
};
