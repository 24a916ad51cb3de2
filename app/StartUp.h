// The process's start-up sequence: run-mode decision, process-wide objects,
// the message loop of an uninstall run, and teardown in a fixed order.
#pragma once

#include <windows.h>

#include <string>

// Product constants that start-up and several subsystems share.
extern const wchar_t kLogFileName[];        // "tapis_uninst.log"
extern const wchar_t kAppPathsKey[];        // App Paths key of the product (HKLM, 32-bit view)
extern const wchar_t kMainExecutable[];     // "lumdesk.exe"
extern const wchar_t kInstallerDownloadUrl[];

// Start-up message texts by code (2: uninstaller damaged, 3: 7z.dll damaged).
std::wstring StartUpMessageText(int code);

// The product's installation directory from its App Paths value "path"; empty
// when the value is missing or not a string.
std::wstring ReadInstallDirectory();

// True for a folder named as the relaunch names its copy folders, directly in
// the temporary directory.
bool IsTemporaryCopyFolder(const std::wstring& directory);

class CStartUp {
public:
    // Runs the whole process; always returns 0.
    int Run(HINSTANCE instance, const wchar_t* commandLine);

private:
    void InitializeProcess(HINSTANCE instance);
    void FirstLaunch(const std::wstring& commandLine);
    void UninstallOrRestore(HINSTANCE instance);
    void RunUninstall(HINSTANCE instance);
    void RunUserInterface(HINSTANCE instance);
    void OfferRedownload();
    void SetUpStatistics();
    void SendAction(const wchar_t* action, const std::wstring& extra);
    void DeleteOwnTemporaryCopy(const std::wstring& ownDirectory);
    void Teardown();

    ULONG_PTR gdiplusToken_ = 0;
    std::wstring installDir_;
};
