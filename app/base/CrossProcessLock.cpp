#include "app/base/CrossProcessLock.h"

#include <cwctype>

namespace {

std::wstring MappingName(const std::wstring& resource) {
    // FNV-1a over the upper-cased name: the same file under another case is the same lock.
    unsigned long long hash = 1469598103934665603ull;
    for (wchar_t c : resource) {
        hash ^= static_cast<unsigned long long>(std::towupper(c));
        hash *= 1099511628211ull;
    }
    wchar_t name[64];
    _snwprintf(name, 64, L"Local\\LumoraLock_%016I64X", hash);
    name[63] = L'\0';
    return name;
}

}  // namespace

CCrossProcessLock::CCrossProcessLock(const std::wstring& resource) {
    mapping_.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG),
                                        MappingName(resource).c_str()));
    if (!mapping_) return;
    word_ = static_cast<volatile LONG*>(::MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LONG)));
}

CCrossProcessLock::~CCrossProcessLock() {
    if (word_) ::UnmapViewOfFile(const_cast<LONG*>(word_));
}

bool CCrossProcessLock::OwnerIsGone(LONG owner) const {
    win::UniqueHandle thread(::OpenThread(SYNCHRONIZE, FALSE, static_cast<DWORD>(owner)));
    return !thread || ::WaitForSingleObject(thread.get(), 0) == WAIT_OBJECT_0;
}

bool CCrossProcessLock::Acquire(DWORD maxWaitMs) {
    if (!word_) return false;
    const LONG self = static_cast<LONG>(::GetCurrentThreadId());
    DWORD start = ::GetTickCount();
    DWORD lastOwnerCheck = start;
    for (unsigned spins = 0;; ++spins) {
        LONG owner = ::InterlockedCompareExchange(word_, self, 0);
        if (owner == 0) return true;
        DWORD now = ::GetTickCount();
        if (now - lastOwnerCheck >= 50) {
            lastOwnerCheck = now;
            if (OwnerIsGone(owner) && ::InterlockedCompareExchange(word_, self, owner) == owner) return true;
        }
        if (now - start >= maxWaitMs) return false;
        if (spins < 64) ::SwitchToThread();
        else ::Sleep(1);
    }
}

void CCrossProcessLock::Release() {
    if (word_) ::InterlockedCompareExchange(word_, 0, static_cast<LONG>(::GetCurrentThreadId()));
}
