// Cost of the bulk deletion of an installation directory (count, delete, log,
// progress) against a bare FindFirstFileW/DeleteFileW/RemoveDirectoryW walk of
// an identical tree.
#include <windows.h>

#include <cstdio>
#include <locale.h>
#include <set>
#include <string>
#include <thread>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "app/base/WinHandle.h"
#include "config/UninstallRootDirList.h"
#include "engine/FileRemoval.h"

namespace {

constexpr int kTopFolders = 20;        // listed names directly below the installation directory
constexpr int kSubFolders = 99;        // below each listed folder
constexpr int kFilesPerFolder = 10;    // 20 * (1 + 99) folders, 20,000 files
constexpr int kRounds = 3;

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

std::wstring TopName(int index) {
    wchar_t name[16];
    _snwprintf(name, 16, L"Pack%02d", index);
    name[15] = L'\0';
    return name;
}

void MakeFiles(const std::wstring& folder) {
    static const char kBody[512] = {};
    for (int i = 0; i < kFilesPerFolder; ++i) {
        wchar_t name[32];
        _snwprintf(name, 32, L"file%02d.dat", i);
        name[31] = L'\0';
        win::UniqueFile file(::CreateFileW(path::Join(folder, name).c_str(), GENERIC_WRITE, 0, nullptr,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (file) ::WriteFile(file.get(), kBody, sizeof(kBody), &written, nullptr);
    }
}

void MakeInstallation(const std::wstring& root) {
    ::CreateDirectoryW(root.c_str(), nullptr);
    for (int top = 0; top < kTopFolders; ++top) {
        std::wstring folder = path::Join(root, TopName(top));
        ::CreateDirectoryW(folder.c_str(), nullptr);
        MakeFiles(folder);
        for (int sub = 0; sub < kSubFolders; ++sub) {
            wchar_t name[32];
            _snwprintf(name, 32, L"skin%03d", sub);
            name[31] = L'\0';
            std::wstring child = path::Join(folder, name);
            ::CreateDirectoryW(child.c_str(), nullptr);
            MakeFiles(child);
        }
    }
}

// The plain walk the engine is measured against.
void BareDelete(const std::wstring& directory) {
    WIN32_FIND_DATAW data;
    win::UniqueFind find(::FindFirstFileW(path::Join(directory, L"*").c_str(), &data));
    if (find) {
        do {
            if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) continue;
            std::wstring child = path::Join(directory, data.cFileName);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) BareDelete(child);
            else ::DeleteFileW(child.c_str());
        } while (::FindNextFileW(find.get(), &data));
    }
    find.reset();
    ::RemoveDirectoryW(directory.c_str());
}

class ListedNames : public IUninstallRootDirList {
public:
    ListedNames() {
        for (int top = 0; top < kTopFolders; ++top) keys_.insert(CUninstallRootDirList::KeyOf(TopName(top)));
    }
    bool LoadFromResource(HMODULE, const wchar_t*, const wchar_t*) override { return false; }
    bool Load(const wchar_t*) override { return false; }
    int GetCount() override { return static_cast<int>(keys_.size()); }
    bool GetItem(int, RootDirItem*) override { return false; }
    bool Remove(const wchar_t*) override { return true; }
    bool Contains(const wchar_t* name) override { return name && keys_.count(CUninstallRootDirList::KeyOf(name)); }

private:
    std::set<std::wstring> keys_;
};

// A user-interface thread with a window that receives the progress, as the
// engine's notifications reach the progress screen: one synchronous send each.
class UiThread {
public:
    UiThread() {
        HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, ready] {
            window_ = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
            threadId_ = ::GetCurrentThreadId();
            ::SetEvent(ready);
            MSG msg;
            while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
            ::DestroyWindow(window_);
        });
        ::WaitForSingleObject(ready, INFINITE);
        ::CloseHandle(ready);
    }
    ~UiThread() {
        ::PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    HWND window() const { return window_; }

private:
    std::thread thread_;
    HWND window_ = nullptr;
    DWORD threadId_ = 0;
};

// The engine's per-entry progress: clamped, 10..98, traced after every file and
// sent to the user-interface thread whenever the value moves.
class Progress : public IDeleteProgress {
public:
    explicit Progress(HWND ui) : ui_(ui) {}
    void SetTotalCount(int count) override { total_ = count; }
    void OnFileDeleted() override {
        if (++deleted_ > total_) deleted_ = total_;
        int percent = total_ > 0 ? static_cast<int>(float(deleted_) / float(total_) * 88.0f + 10.0f) : 10;
        wchar_t text[32];
        _snwprintf(text, 32, L"nProgress=%d\n", percent);
        text[31] = L'\0';
        ::OutputDebugStringW(text);
        if (percent == last_) return;
        last_ = percent;
        ::SendMessageW(ui_, WM_NULL, static_cast<WPARAM>(percent), 0);
    }
    int deleted() const { return deleted_; }

private:
    HWND ui_;
    int total_ = 0;
    int deleted_ = 0;
    int last_ = -1;
};

}  // namespace

int main() {
    _wsetlocale(LC_ALL, L"chs");
    std::wstring work = path::Join(path::TempDirectory(), L"bench_bulk_delete");
    BareDelete(work);
    ::CreateDirectoryW(work.c_str(), nullptr);
    std::wstring logFile = path::Join(work, L"tapis_uninst.log");
    CSmartLogger::Process().SetLogPath(logFile);

    double bestEngine = 0, bestBare = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::wstring engineCopy = path::Join(work, L"engine\\Lumora");
        std::wstring bareCopy = path::Join(work, L"bare\\Lumora");
        ::CreateDirectoryW(path::Parent(engineCopy).c_str(), nullptr);
        ::CreateDirectoryW(path::Parent(bareCopy).c_str(), nullptr);
        MakeInstallation(engineCopy);
        MakeInstallation(bareCopy);

        ListedNames list;
        UiThread ui;
        Progress progress(ui.window());
        LeftoverList leftovers;
        // Alternate the order so neither side always runs on a warmer system.
        LARGE_INTEGER t0, t1, t2, t3;
        ::QueryPerformanceCounter(&t0);
        if (round % 2) BareDelete(bareCopy);
        ::QueryPerformanceCounter(&t1);
        DeleteAllFilesInDir(engineCopy, &list, leftovers, progress);
        ::QueryPerformanceCounter(&t2);
        if (round % 2 == 0) BareDelete(bareCopy);
        ::QueryPerformanceCounter(&t3);

        double engine = Seconds(t1, t2), bare = Seconds(t0, t1) + Seconds(t2, t3);
        std::printf("round %d: engine %.3f s (%d files, %u leftovers, %s), bare %.3f s\n", round + 1, engine,
                    progress.deleted(), static_cast<unsigned>(leftovers.size()),
                    path::FileExists(engineCopy) ? "directory left" : "directory gone", bare);
        if (round == 0 || engine < bestEngine) bestEngine = engine;
        if (round == 0 || bare < bestBare) bestBare = bare;
    }
    CSmartLogger::Process().SetLogPath(std::wstring());
    BareDelete(work);

    std::printf("bulk delete: %d files in %d folders\n", kTopFolders * (kSubFolders + 1) * kFilesPerFolder,
                kTopFolders * (kSubFolders + 1));
    std::printf("engine (count + delete + log + progress): %.3f s\n", bestEngine);
    std::printf("bare walk: %.3f s\n", bestBare);
    std::printf("bulk delete: engine/bare = %.2f\n", bestBare > 0 ? bestEngine / bestBare : 0.0);
    return 0;
}
