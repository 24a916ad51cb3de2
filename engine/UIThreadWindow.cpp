#include "engine/UIThreadWindow.h"

namespace {
HWND volatile g_window = nullptr;
const wchar_t kClassName[] = L"LumoraUIThreadWindow";
}  // namespace

bool CUIThreadWindow::Create() {
    if (g_window) return true;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &CUIThreadWindow::WindowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kClassName;
    if (!::RegisterClassExW(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    g_window = ::CreateWindowExW(0, kClassName, L"", WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                 CW_USEDEFAULT, nullptr, nullptr, wc.hInstance, nullptr);
    return g_window != nullptr;
}

HWND CUIThreadWindow::Handle() { return g_window; }

bool CUIThreadWindow::InvokeSync(ISimpleBind& call) {
    HWND window = g_window;
    if (!window) return false;
    return ::SendMessageW(window, UM_INVOKE_SYNC, reinterpret_cast<WPARAM>(&call), 0) == 1;
}

LRESULT CALLBACK CUIThreadWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == UM_INVOKE_SYNC) {
        auto* call = reinterpret_cast<ISimpleBind*>(wParam);
        if (!call) return 0;
        call->Invoke();
        return 1;
    }
    if (message == WM_NCDESTROY && hwnd == g_window) g_window = nullptr;
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}
