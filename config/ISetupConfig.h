// What the uninstaller knows about the product, as read from the embedded
// setup project: windows to close, companion programs to call, the
// root-directory list and where the product registers its path. Records
// cross this interface by value, fixed-size and zero-filled.
#pragma once

#include <windows.h>

#include "config/UninstallRootDirList.h"

// A window the product must be asked to close (one "CloseAllPrograms/Program").
struct CloseProgramEntry {
    wchar_t windowClass[200];
    UINT message;        // WM_CLOSE, WM_QUIT or WM_COMMAND
    DWORD wParam;
    LONG lParam;
    DWORD timeout;       // milliseconds
};

// A companion library or program called on uninstall ("CallProgramOnUninst/Program").
struct CallProgramEntry {
    wchar_t fileName[MAX_PATH];     // relative to the installation directory
    wchar_t type[MAX_PATH];         // "dll" or "exe"
    wchar_t funcName[MAX_PATH];
    wchar_t para[MAX_PATH];
    wchar_t cmdline[MAX_PATH];
    wchar_t signType[MAX_PATH];
    DWORD waitTime;                 // milliseconds
    DWORD sync;                     // non-zero: wait for the program
};

// A shell extension unregistered through the rundll helper ("RundllUnRegisterOnUnInst/Item").
struct RundllEntry {
    wchar_t fileName[MAX_PATH];
    wchar_t entry[MAX_PATH];
    wchar_t cmdline[MAX_PATH];
    DWORD waitTime;
};

// Text getters empty the buffer first and fail (buffer left empty) when the
// value does not fit with its terminator. Entry getters zero the record first
// and fail for a null record or an index outside 0..count-1.
class ISetupConfig {
public:
    // Unpacks the embedded archive and loads the project named `projectFile` from it.
    virtual bool InitConfig(HINSTANCE module, UINT resourceId, const wchar_t* resourceType,
                            const wchar_t* projectFile) = 0;
    virtual int GetMinimizeSpace() = 0;
    virtual IUninstallRootDirList* GetRootDirList() = 0;
    virtual bool GetVersion(wchar_t* buffer, int size) = 0;
    virtual bool GetMainApp(wchar_t* buffer, int size) = 0;
    virtual HKEY GetRegRoot() = 0;
    virtual bool GetRegSubKey(wchar_t* buffer, int size) = 0;
    virtual bool GetRegValueName(wchar_t* buffer, int size) = 0;
    virtual int GetCloseProgramCount() = 0;
    virtual bool GetCloseProgram(int index, CloseProgramEntry* entry) = 0;
    virtual bool GetCheckFile(int index, wchar_t* buffer, int size) = 0;
    virtual int GetCheckFileCount() = 0;
    virtual bool GetInstProgram(int index, CallProgramEntry* entry) = 0;
    virtual int GetInstProgramCount() = 0;
    virtual bool GetUninstProgram(int index, CallProgramEntry* entry) = 0;
    virtual int GetUninstProgramCount() = 0;
    virtual int GetFileCount() = 0;

protected:
    // Objects are released through their implementation, never deleted here.
    ~ISetupConfig() = default;
};
