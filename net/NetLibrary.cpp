#include "net/NetLibrary.h"

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/Singleton.h"
#include "sysinfo/SystemChecks.h"

namespace {

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

bool IsExistingFile(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The record start-up loads; a type of its own so that it gets its own singleton.
class CSharedNetLibrary final : public NetLibrary {};

}  // namespace

bool NetLibrary::Load(const wchar_t* path) {
    _BaseModule::CAutoLocker hold(lock_);
    if (fields_.module != nullptr) return IsReady();
    if (path == nullptr || *path == L'\0' || !IsExistingFile(path)) return false;
    if (!IsTrustedFile(path)) {
        WriteLog(L"network library not trusted: %s", path);
        return false;
    }

    // LOAD_WITH_ALTERED_SEARCH_PATH: the library's own dependencies resolve next
    // to it, never from the current directory.
    HMODULE module = ::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        WriteLog(L"network library load failed: %s (%lu)", path, ::GetLastError());
        return false;
    }

    Fields loaded;
    loaded.module = module;
    loaded.httpInit = Export<HttpInitFn>(module, "HttpInit");
    loaded.httpUninit = Export<HttpUninitFn>(module, "HttpUninit");
    loaded.zlibUncompress = Export<ZlibUncompressFn>(module, "zlib_uncompress");
    loaded.zlibCompress = Export<ZlibCompressFn>(module, "zlib_compress");
    loaded.zlibCompressBound = Export<ZlibCompressBoundFn>(module, "zlib_compressBound");
    if (loaded.httpInit != nullptr) loaded.manager = loaded.httpInit();

    if (loaded.manager == nullptr) {
        // Nothing of the library runs yet, so it can go again; the record stays
        // empty and a later load may try another file.
        WriteLog(L"network library unusable: %s", path);
        ::FreeLibrary(module);
        return false;
    }
    // With a manager but without "HttpUninit" the library's threads could not be
    // stopped before unloading, so the module is kept (not ready) for the
    // process's lifetime.
    fields_ = loaded;
    return IsReady();
}

bool NetLibrary::IsReady() const {
    _BaseModule::CAutoLocker hold(lock_);
    return fields_.httpInit != nullptr && fields_.httpUninit != nullptr && fields_.manager != nullptr;
}

IHttpManager* NetLibrary::Manager() const {
    _BaseModule::CAutoLocker hold(lock_);
    return IsReady() ? fields_.manager : nullptr;
}

bool NetLibrary::HasModule() const {
    _BaseModule::CAutoLocker hold(lock_);
    return fields_.module != nullptr;
}

NetLibrary::Fields NetLibrary::Snapshot() const {
    _BaseModule::CAutoLocker hold(lock_);
    return fields_;
}

void NetLibrary::Unload() {
    Fields old;
    {
        _BaseModule::CAutoLocker hold(lock_);
        if (!IsReady()) return;  // a manager without "HttpUninit" cannot be stopped safely
        old = fields_;
        fields_ = Fields();
    }
    // Outside the lock: HttpUninit waits for running callbacks, which may read
    // the record.
    old.httpUninit(old.manager);
    ::FreeLibrary(old.module);
}

std::wstring ProgramFolder() { return path::ModuleDirectory(); }

std::wstring StartupNetLibraryPath(const std::wstring& folder) {
    std::wstring first = path::Join(folder, L"DarIR.dll");
    if (IsExistingFile(first)) return first;
    return path::Join(folder, L"KelDarIR.dll");
}

std::wstring UploaderNetLibraryPath(const std::wstring& folder) {
    for (const wchar_t* name : {L"KelDarIR.dll", L"wallpaperhelper\\DarIR.dll"}) {
        std::wstring candidate = path::Join(folder, name);
        if (IsExistingFile(candidate)) return candidate;
    }
    return path::Join(folder, L"wallpaperhelper\\KelDarIR.dll");
}

bool LoadStartupNetLibrary(NetLibrary& record, const std::wstring& folder) {
    if (record.HasModule()) return record.IsReady();
    return record.Load(StartupNetLibraryPath(folder).c_str());
}

bool LoadUploaderNetLibrary(NetLibrary& record, const std::wstring& folder) {
    if (record.HasModule()) return record.IsReady();
    return record.Load(UploaderNetLibraryPath(folder).c_str());
}

NetLibrary& SharedNetLibrary() {
    if (NetLibrary* shared = CSingletonT<CSharedNetLibrary>::Instance()) return *shared;
    // Out of memory: a plain record stands in, so callers need no null check.
    static NetLibrary unavailable;
    return unavailable;
}

bool LoadSharedNetLibrary() { return LoadStartupNetLibrary(SharedNetLibrary(), ProgramFolder()); }

IHttpManager* SharedHttpManager() { return SharedNetLibrary().Manager(); }

HttpTaskPtr NewHttpTask(IHttpManager* manager) {
    if (manager == nullptr) return nullptr;
    IHttpTask* task = manager->CreateTask();
    if (task == nullptr) return nullptr;
    task->SetOption("ungzip", 0);
    task->SetOption("gzip", 0);
    return HttpTaskPtr(task, HttpTaskDeletor());
}
