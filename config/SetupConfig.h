// The setup project of the product, unpacked from the program's resources and
// read once at start-up; read-only afterwards (user-interface thread and the
// uninstall worker read it without locking).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "config/ISetupConfig.h"
#include "config/UninstallRootDirList.h"

class CXMLArchive;

class CSetupConfig : public ISetupConfig {
public:
    // Tells whether Windows is 64-bit; decides which rundll items are kept.
    using SystemBitnessProbe = bool (*)();

    static constexpr size_t kMaxProjectPathChars = 511;
    static constexpr size_t kMaxWindowClassChars = 195;
    static constexpr size_t kMaxFieldChars = MAX_PATH - 1;

    // By default the bitness comes from Is64BitSystem.
    explicit CSetupConfig(SystemBitnessProbe is64BitSystem = nullptr);
    CSetupConfig(const CSetupConfig&) = delete;
    CSetupConfig& operator=(const CSetupConfig&) = delete;

    bool InitConfig(HINSTANCE module, UINT resourceId, const wchar_t* resourceType,
                    const wchar_t* projectFile) override;
    int GetMinimizeSpace() override;
    IUninstallRootDirList* GetRootDirList() override;
    bool GetVersion(wchar_t* buffer, int size) override;
    bool GetMainApp(wchar_t* buffer, int size) override;
    HKEY GetRegRoot() override;
    bool GetRegSubKey(wchar_t* buffer, int size) override;
    bool GetRegValueName(wchar_t* buffer, int size) override;
    int GetCloseProgramCount() override;
    bool GetCloseProgram(int index, CloseProgramEntry* entry) override;
    bool GetCheckFile(int index, wchar_t* buffer, int size) override;
    int GetCheckFileCount() override;
    bool GetInstProgram(int index, CallProgramEntry* entry) override;
    int GetInstProgramCount() override;
    bool GetUninstProgram(int index, CallProgramEntry* entry) override;
    int GetUninstProgramCount() override;
    int GetFileCount() override;
    virtual ~CSetupConfig();
    // Deletes a heap-allocated configuration.
    virtual void Release();

    // Loads the project file at `path` (fewer than 512 characters) and the
    // root-directory list it names. False when the file is missing or not a
    // readable XML document, has no "Setup/Main", or names no existing
    // root-directory list file.
    bool LoadProject(const wchar_t* path);

    // The rundll items kept for this system's bitness (no interface operation).
    const std::vector<RundllEntry>& GetRundllList() const { return rundllList_; }
    const std::wstring& RootDirListPath() const { return rootDirListPath_; }
    const std::wstring& UnpackFolder() const { return unpackFolder_; }
    const std::wstring& FileListPath() const { return fileListPath_; }
    CUninstallRootDirList& RootDirList() { return rootDirList_; }

private:
    void ReadCloseProgramList(const CXMLArchive& archive);
    void ReadRundllList(const CXMLArchive& archive);
    void ReadUninstProgramList(const CXMLArchive& archive);

    std::vector<CloseProgramEntry> closeProgramList_;
    std::vector<std::wstring> checkFileList_;           // never filled by the uninstaller
    std::vector<CallProgramEntry> instProgramList_;     // never filled by the uninstaller
    std::vector<CallProgramEntry> uninstProgramList_;
    std::vector<RundllEntry> rundllList_;
    int minimizeSpace_ = 100;
    HKEY regRoot_ = HKEY_LOCAL_MACHINE;
    std::wstring regSubKey_;
    std::wstring regValueName_;
    std::wstring version_;
    std::wstring mainApp_;
    std::wstring rootDirListPath_;
    std::wstring unpackFolder_;
    std::wstring fileListPath_;
    int fileCount_ = 200;
    CUninstallRootDirList rootDirList_;

    SystemBitnessProbe is64BitSystem_;
};

// Registry root by name, ignoring case: the five predefined root key names;
// anything else gives HKEY_LOCAL_MACHINE.
HKEY RegistryRootFromName(const std::wstring& name);


