#include "config/SetupConfig.h"

#include <cstring>
#include <cwchar>

#include "app/SmartLogger.h"
#include "app/base/PathUtil.h"
#include "config/ResourceUnpack.h"
#include "config/XMLArchive.h"
#include "sysinfo/SystemChecks.h"

namespace {

constexpr int kDefaultMinimizeSpace = 100;
constexpr int kDefaultFileCount = 200;
constexpr int kDefaultMessageParameter = 0x168;
constexpr int kDefaultCloseTimeoutMs = 2000;

bool IsExistingFile(const std::wstring& path) {
    if (path.empty()) return false;
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

template <size_t N>
void CopyField(wchar_t (&field)[N], const std::wstring& value) {
    size_t length = value.size() < N ? value.size() : N - 1;
    std::wmemcpy(field, value.data(), length);
    field[length] = L'\0';
}

// Empties the buffer, then copies the value when it fits with its terminator.
bool CopyOut(const std::wstring& value, wchar_t* buffer, int size) {
    if (!buffer || size <= 0) return false;
    buffer[0] = L'\0';
    if (value.size() >= static_cast<size_t>(size)) return false;
    std::wmemcpy(buffer, value.data(), value.size());
    buffer[value.size()] = L'\0';
    return true;
}

template <typename Entry>
bool CopyEntry(const std::vector<Entry>& list, int index, Entry* entry) {
    if (!entry) return false;
    std::memset(entry, 0, sizeof(*entry));
    if (index < 0 || static_cast<size_t>(index) >= list.size()) return false;
    *entry = list[static_cast<size_t>(index)];
    return true;
}

UINT MessageFromName(const std::wstring& name) {
    if (name == L"WM_QUIT") return WM_QUIT;
    if (name == L"WM_COMMAND") return WM_COMMAND;
    return WM_CLOSE;  // also "WM_CLOSE", any other name and a missing one
}

std::wstring Text(const CXMLArchiveItem& item, const wchar_t* name) {
    std::wstring value;
    item.GetAttrText(name, value, L"");
    return value;
}

int Integer(const CXMLArchiveItem& item, const wchar_t* name, int defaultValue) {
    int value = defaultValue;
    item.GetAttrInt(name, value, defaultValue);
    return value;
}

}  // namespace

HKEY RegistryRootFromName(const std::wstring& name) {
    struct Root {
        const wchar_t* name;
        HKEY key;
    };
    static const Root kRoots[] = {
        {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {L"HKEY_USERS", HKEY_USERS},                 {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    };
    std::wstring upper = CUninstallRootDirList::KeyOf(name);
    for (const Root& root : kRoots)
        if (upper == root.name) return root.key;
    return HKEY_LOCAL_MACHINE;
}


CSetupConfig::CSetupConfig(SystemBitnessProbe is64BitSystem)
    : is64BitSystem_(is64BitSystem ? is64BitSystem : &Is64BitSystem) {}

CSetupConfig::~CSetupConfig() = default;

void CSetupConfig::Release() { delete this; }

bool CSetupConfig::InitConfig(HINSTANCE module, UINT resourceId, const wchar_t* resourceType,
                              const wchar_t* projectFile) {
    ULONGLONG started = ::GetTickCount64();
    if (!resourceType || !projectFile) return false;
    CResourceUnpack resource;
    if (!resource.Init(module, MAKEINTRESOURCEW(resourceId), resourceType)) {
        WriteLog(L"setup config: resource %u of type [%s] not found", resourceId, resourceType);
        return false;
    }
    std::wstring folder;
    if (!resource.Unpack(folder)) {
        WriteLog(L"setup config: resource %u could not be unpacked", resourceId);
        return false;
    }
    unpackFolder_ = folder;
    if (!LoadProject(path::Join(folder, projectFile).c_str())) return false;

    WriteLog(L"setup config loaded in %u ms: close programs[%d] uninstall programs[%d] rundll items[%d] "
             L"root dir items[%d] (dirs %d, files %d) version[%s]",
             static_cast<unsigned>(::GetTickCount64() - started), GetCloseProgramCount(), GetUninstProgramCount(),
             static_cast<int>(rundllList_.size()), rootDirList_.GetCount(), rootDirList_.DirectoryCount(),
             rootDirList_.FileCount(), version_.c_str());
    return true;
}

bool CSetupConfig::LoadProject(const wchar_t* path) {
    if (!path) return false;
    std::wstring projectPath = path;
    if (projectPath.size() > kMaxProjectPathChars || !path::FileExists(projectPath)) {
        WriteLog(L"setup project [%s] missing or path too long", projectPath.c_str());
        return false;
    }
    std::wstring folder = path::Parent(projectPath);

    CXMLArchive archive;
    HRESULT hr = archive.Open(projectPath, false, CXMLArchive::kDefaultDeclaration);
    if (FAILED(hr)) {
        WriteLog(L"setup project [%s] is not a readable XML document, hr[0x%08X]", projectPath.c_str(),
                 static_cast<unsigned>(hr));
        return false;
    }

    CXMLArchiveItem main = archive.SelectSingleNode(L"Setup/Main");
    if (!main.IsEmpty()) {
        main.GetAttrText(L"Version", version_, L"");
        main.GetAttrInt(L"MinimizeSpace", minimizeSpace_, kDefaultMinimizeSpace);
        std::wstring file;
        if (archive.SelectSingleNode(L"Setup/UninstallRootDirFileList").GetAttrText(L"File", file, nullptr))
            rootDirListPath_ = path::Join(folder, file);
        CXMLArchiveItem fileList = archive.SelectSingleNode(L"Setup/FileList");
        fileList.GetAttrInt(L"FileCount", fileCount_, kDefaultFileCount);
        if (fileList.GetAttrText(L"File", file, nullptr)) fileListPath_ = path::Join(folder, file);
    }
    if (!IsExistingFile(rootDirListPath_)) {
        WriteLog(L"setup project [%s]: %s", projectPath.c_str(),
                 main.IsEmpty() ? L"no Setup/Main element" : L"root dir list file missing");
        return false;
    }
    rootDirList_.Load(rootDirListPath_.c_str());

    CXMLArchiveItem regAppPath = archive.SelectSingleNode(L"Setup/RegAppPath");
    std::wstring rootName;
    regAppPath.GetAttrText(L"HKEY", rootName, L"HKEY_LOCAL_MACHINE");
    regRoot_ = RegistryRootFromName(rootName);
    regAppPath.GetAttrText(L"SubKey", regSubKey_, L"");
    regAppPath.GetAttrText(L"Value", regValueName_, L"");

    archive.SelectSingleNode(L"Setup/Application").GetAttrText(L"MainApp", mainApp_, L"");

    ReadCloseProgramList(archive);
    ReadRundllList(archive);
    ReadUninstProgramList(archive);
    return true;
}

void CSetupConfig::ReadCloseProgramList(const CXMLArchive& archive) {
    closeProgramList_.clear();
    CXMLArchiveItemList programs = archive.SelectNodes(L"Setup/CloseAllPrograms/Program");
    for (long i = 0; i < programs.Count(); ++i) {
        CXMLArchiveItem program = programs.Item(i);
        if (program.IsEmpty()) continue;
        std::wstring windowClass = Text(program, L"WindowClass");
        if (windowClass.size() > kMaxWindowClassChars) continue;
        CloseProgramEntry entry = {};
        CopyField(entry.windowClass, windowClass);
        entry.message = MessageFromName(Text(program, L"Message"));
        entry.wParam = static_cast<DWORD>(Integer(program, L"WPARAM", kDefaultMessageParameter));
        entry.lParam = static_cast<LONG>(Integer(program, L"LPARAM", kDefaultMessageParameter));
        entry.timeout = static_cast<DWORD>(Integer(program, L"Timeout", kDefaultCloseTimeoutMs));
        closeProgramList_.push_back(entry);
    }
}

void CSetupConfig::ReadRundllList(const CXMLArchive& archive) {
    rundllList_.clear();
    const wchar_t* wantedSystem = is64BitSystem_() ? L"64" : L"32";
    CXMLArchiveItemList items = archive.SelectNodes(L"Setup/RundllUnRegisterOnUnInst/Item");
    for (long i = 0; i < items.Count(); ++i) {
        CXMLArchiveItem item = items.Item(i);
        if (item.IsEmpty()) continue;
        if (Text(item, L"System") != wantedSystem) continue;
        std::wstring fileName = Text(item, L"FileName");
        std::wstring entryName = Text(item, L"Entry");
        std::wstring cmdline = Text(item, L"Cmdline");
        if (fileName.size() > kMaxFieldChars || entryName.size() > kMaxFieldChars || cmdline.size() > kMaxFieldChars)
            continue;
        RundllEntry entry = {};
        CopyField(entry.fileName, fileName);
        CopyField(entry.entry, entryName);
        CopyField(entry.cmdline, cmdline);
        entry.waitTime = static_cast<DWORD>(Integer(item, L"WaitTime", 0));
        rundllList_.push_back(entry);
    }
}

void CSetupConfig::ReadUninstProgramList(const CXMLArchive& archive) {
    uninstProgramList_.clear();
    CXMLArchiveItemList programs = archive.SelectNodes(L"Setup/CallProgramOnUninst/Program");
    for (long i = 0; i < programs.Count(); ++i) {
        CXMLArchiveItem program = programs.Item(i);
        if (program.IsEmpty()) continue;
        std::wstring texts[] = {Text(program, L"FileName"), Text(program, L"Type"),    Text(program, L"FuncName"),
                                Text(program, L"Para"),     Text(program, L"Cmdline"), Text(program, L"SignType")};
        bool fits = true;
        for (const std::wstring& text : texts) fits = fits && text.size() <= kMaxFieldChars;
        if (!fits) continue;
        CallProgramEntry entry = {};
        CopyField(entry.fileName, texts[0]);
        CopyField(entry.type, texts[1]);
        CopyField(entry.funcName, texts[2]);
        CopyField(entry.para, texts[3]);
        CopyField(entry.cmdline, texts[4]);
        CopyField(entry.signType, texts[5]);
        entry.waitTime = static_cast<DWORD>(Integer(program, L"WaitTime", 0));
        entry.sync = static_cast<DWORD>(Integer(program, L"Sync", 1));
        uninstProgramList_.push_back(entry);
    }
}

int CSetupConfig::GetMinimizeSpace() { return minimizeSpace_; }
IUninstallRootDirList* CSetupConfig::GetRootDirList() { return &rootDirList_; }
bool CSetupConfig::GetVersion(wchar_t* buffer, int size) { return CopyOut(version_, buffer, size); }
bool CSetupConfig::GetMainApp(wchar_t* buffer, int size) { return CopyOut(mainApp_, buffer, size); }
HKEY CSetupConfig::GetRegRoot() { return regRoot_; }
bool CSetupConfig::GetRegSubKey(wchar_t* buffer, int size) { return CopyOut(regSubKey_, buffer, size); }
bool CSetupConfig::GetRegValueName(wchar_t* buffer, int size) { return CopyOut(regValueName_, buffer, size); }
int CSetupConfig::GetCloseProgramCount() { return static_cast<int>(closeProgramList_.size()); }

bool CSetupConfig::GetCloseProgram(int index, CloseProgramEntry* entry) {
    return CopyEntry(closeProgramList_, index, entry);
}

bool CSetupConfig::GetCheckFile(int index, wchar_t* buffer, int size) {
    if (buffer && size > 0) buffer[0] = L'\0';
    if (index < 0 || static_cast<size_t>(index) >= checkFileList_.size()) return false;
    return CopyOut(checkFileList_[static_cast<size_t>(index)], buffer, size);
}

int CSetupConfig::GetCheckFileCount() { return static_cast<int>(checkFileList_.size()); }

bool CSetupConfig::GetInstProgram(int index, CallProgramEntry* entry) {
    return CopyEntry(instProgramList_, index, entry);
}

int CSetupConfig::GetInstProgramCount() { return static_cast<int>(instProgramList_.size()); }

bool CSetupConfig::GetUninstProgram(int index, CallProgramEntry* entry) {
    return CopyEntry(uninstProgramList_, index, entry);
}

int CSetupConfig::GetUninstProgramCount() { return static_cast<int>(uninstProgramList_.size()); }
int CSetupConfig::GetFileCount() { return fileCount_; }
