#include "ui/screens/MainWnd.h"

#include "app/InstanceMutex.h"
#include "app/RunMode.h"
#include "app/SmartLogger.h"
#include "app/base/WinHandle.h"

namespace {
constexpr int kWidth = 480;
constexpr int kHeight = 240;
}  // namespace

CMainWnd::CMainWnd(IUninstallTask& task)
    : task_(task), realEnd_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CMainWnd::~CMainWnd() {
    if (hwnd_ && ::IsWindow(hwnd_)) ::DestroyWindow(hwnd_);
}

bool CMainWnd::RegisterWndClass(HINSTANCE instance) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &CMainWnd::WindowProc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kMainWindowClass;
    return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HWND CMainWnd::Create(HINSTANCE instance) {
    int x = (::GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2;
    int y = (::GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2;
    hwnd_ = ::CreateWindowExW(0, kMainWindowClass, L"", WS_POPUP | WS_BORDER, x, y, kWidth, kHeight, nullptr,
                              nullptr, instance, this);
    if (!hwnd_) return nullptr;
    if (IsSilentRun()) {
        // A silent run asks nothing: the removal starts at once.
        StartRemoval();
    } else {
        ::ShowWindow(hwnd_, SW_SHOW);
        ::SetForegroundWindow(hwnd_);
    }
    return hwnd_;
}

LRESULT CALLBACK CMainWnd::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* self = static_cast<CMainWnd*>(create->lpCreateParams);
        self->hwnd_ = hwnd;
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<CMainWnd*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return ::DefWindowProcW(hwnd, message, wParam, lParam);
    LRESULT result = self->HandleMessage(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
    }
    return result;
}

LRESULT CMainWnd::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_ACTIVATE_MAIN:
            WriteLog(L"main window: raised by another instance");
            BringToFront();
            return 0;
        case WM_PAINT:
            Paint();
            return 0;
        case WM_KEYDOWN:
            if (wParam == VK_RETURN) StartRemoval();
            else if (wParam == VK_ESCAPE && (!started_ || ended_)) ::PostMessageW(hwnd_, WM_CLOSE, 0, 0);
            return 0;
        case WM_LBUTTONUP:
            if (!started_) StartRemoval();
            else if (ended_) ::PostMessageW(hwnd_, WM_CLOSE, 0, 0);
            return 0;
        case WM_CLOSE:
            Close();
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(hwnd_, message, wParam, lParam);
    }
}

void CMainWnd::StartRemoval() {
    if (started_) return;
    started_ = true;
    ::InvalidateRect(hwnd_, nullptr, TRUE);
    task_.StartUninstall(this);
}

void CMainWnd::Close() {
    if (started_) WaitForRealEnd();
    task_.DetachCallback();
    WriteLog(L"main window: closed");
    CInstanceMutex::Process().ReleaseAll();
    ::DestroyWindow(hwnd_);
}

// Keeps pumping while waiting: the engine's notifications are sent to this thread.
void CMainWnd::WaitForRealEnd() {
    HANDLE event = realEnd_.get();
    DWORD start = ::GetTickCount();
    for (;;) {
        DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= kRealEndWaitMs) return;
        DWORD which = ::MsgWaitForMultipleObjects(1, &event, FALSE, kRealEndWaitMs - elapsed, QS_ALLINPUT);
        if (which != WAIT_OBJECT_0 + 1) return;
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                ::PostQuitMessage(static_cast<int>(msg.wParam));
                return;
            }
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
}

void CMainWnd::OnUninstallStart() {
    WriteLog(L"main window: removal started");
    ::InvalidateRect(hwnd_, nullptr, TRUE);
}

void CMainWnd::OnUninstallProgress(int percent) {
    percent_ = percent;
    ::InvalidateRect(hwnd_, nullptr, TRUE);
    ::UpdateWindow(hwnd_);
}

void CMainWnd::OnUninstallEnd() {
    ended_ = true;
    WriteLog(L"main window: removal ended");
    ::InvalidateRect(hwnd_, nullptr, TRUE);
    if (IsSilentRun()) ::PostMessageW(hwnd_, WM_CLOSE, 0, 0);
}

// Runs on the worker thread: only signals.
void CMainWnd::OnRealUninstallEnd() { ::SetEvent(realEnd_.get()); }

void CMainWnd::BringToFront() {
    if (::IsIconic(hwnd_)) ::ShowWindow(hwnd_, SW_RESTORE);
    if (!::IsWindowVisible(hwnd_)) ::ShowWindow(hwnd_, SW_SHOW);
    ::SetForegroundWindow(hwnd_);
}

void CMainWnd::Paint() {
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(hwnd_, &ps);
    RECT area;
    ::GetClientRect(hwnd_, &area);
    win::UniqueGdiObject brush(::CreateSolidBrush(RGB(0x1E, 0x2A, 0x44)));
    ::FillRect(dc, &area, static_cast<HBRUSH>(brush.get()));
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, RGB(0xF2, 0xF4, 0xF8));
    area.top += kHeight / 3;
    wchar_t status[128];
    if (!started_)
        wcscpy(status, L"Lumora 卸载程序\n\n点击或按回车开始卸载，按 Esc 退出");
    else if (!ended_)
        _snwprintf(status, 128, L"正在卸载 Lumora…\n\n%d%%", percent_);
    else
        wcscpy(status, L"Lumora 已卸载\n\n点击关闭");
    status[127] = L'\0';
    ::DrawTextW(dc, status, -1, &area, DT_CENTER | DT_WORDBREAK);
    ::EndPaint(hwnd_, &ps);
}
