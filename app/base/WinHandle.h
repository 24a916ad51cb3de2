// One small owner for every kind of Windows resource. The invalid value is part
// of the type; closing keeps the thread's last error intact.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <utility>

namespace win {

template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept : value_(Traits::Invalid()) {}
    explicit UniqueResource(Type value) noexcept : value_(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Type get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    Type release() noexcept { return std::exchange(value_, Traits::Invalid()); }
    void reset(Type value = Traits::Invalid()) noexcept {
        Type old = std::exchange(value_, value);
        if (old != Traits::Invalid()) {
            DWORD saved = ::GetLastError();
            Traits::Close(old);
            ::SetLastError(saved);
        }
    }
    // For out-parameters: frees the current value and hands out its slot.
    Type* put() noexcept {
        reset();
        return &value_;
    }

private:
    Type value_;
};

struct KernelHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() noexcept { return nullptr; }
    static void Close(HANDLE h) noexcept { ::CloseHandle(h); }
};
struct FileHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) noexcept { ::CloseHandle(h); }
};
struct FindHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) noexcept { ::FindClose(h); }
};
struct RegKeyTraits {
    using Type = HKEY;
    static HKEY Invalid() noexcept { return nullptr; }
    static void Close(HKEY k) noexcept { ::RegCloseKey(k); }
};
struct ModuleTraits {
    using Type = HMODULE;
    static HMODULE Invalid() noexcept { return nullptr; }
    static void Close(HMODULE m) noexcept { ::FreeLibrary(m); }
};
struct LocalMemTraits {
    using Type = HLOCAL;
    static HLOCAL Invalid() noexcept { return nullptr; }
    static void Close(HLOCAL m) noexcept { ::LocalFree(m); }
};
struct GdiObjectTraits {
    using Type = HGDIOBJ;
    static HGDIOBJ Invalid() noexcept { return nullptr; }
    static void Close(HGDIOBJ o) noexcept { ::DeleteObject(o); }
};
struct MemoryDcTraits {
    using Type = HDC;
    static HDC Invalid() noexcept { return nullptr; }
    static void Close(HDC dc) noexcept { ::DeleteDC(dc); }
};
struct WindowTraits {
    using Type = HWND;
    static HWND Invalid() noexcept { return nullptr; }
    static void Close(HWND w) noexcept { ::DestroyWindow(w); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;   // process, thread, event, mutex
using UniqueFile = UniqueResource<FileHandleTraits>;       // CreateFile, snapshots
using UniqueFind = UniqueResource<FindHandleTraits>;
using UniqueRegKey = UniqueResource<RegKeyTraits>;
using UniqueModule = UniqueResource<ModuleTraits>;
using UniqueLocal = UniqueResource<LocalMemTraits>;
using UniqueGdiObject = UniqueResource<GdiObjectTraits>;
using UniqueMemoryDc = UniqueResource<MemoryDcTraits>;
using UniqueWindow = UniqueResource<WindowTraits>;

// A window's device context from GetDC, released to its window.
class WindowDc {
public:
    explicit WindowDc(HWND window) : window_(window), dc_(::GetDC(window)) {}
    ~WindowDc() {
        if (dc_) ::ReleaseDC(window_, dc_);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// Runs a one-off clean-up when the scope ends.
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F fn) : fn_(std::move(fn)) {}
    ~ScopeExit() {
        if (armed_) fn_();
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    void dismiss() { armed_ = false; }

private:
    F fn_;
    bool armed_ = true;
};

// Owning COM interface pointer.
template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    ComPtr(const ComPtr& other) noexcept : ptr_(other.ptr_) {
        if (ptr_) ptr_->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~ComPtr() { reset(); }
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    static ComPtr Attach(T* raw) noexcept {
        ComPtr p;
        p.ptr_ = raw;
        return p;
    }
    static ComPtr AddRefOf(T* raw) noexcept {
        if (raw) raw->AddRef();
        return Attach(raw);
    }

    T* get() const noexcept { return ptr_; }
    T* operator->() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    T** put() noexcept {
        reset();
        return &ptr_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    T* detach() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept {
        if (T* old = std::exchange(ptr_, nullptr)) old->Release();
    }

private:
    T* ptr_ = nullptr;
};

// Balances a successful CoInitializeEx on this thread.
class ComApartment {
public:
    explicit ComApartment(DWORD model = COINIT_APARTMENTTHREADED)
        : initialized_(SUCCEEDED(::CoInitializeEx(nullptr, model))) {}
    ~ComApartment() {
        if (initialized_) ::CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialized_;
};

}  // namespace win
