// The names directly below the installation directory that belong to the
// product, from the "RootDirFiles" list of the setup archive. Membership is
// case-insensitive: keys are the names upper-cased under the runtime locale.
#pragma once

#include <windows.h>

#include <map>
#include <string>

// One entry as copied out by GetItem (fixed size, zero-filled).
struct RootDirItem {
    wchar_t name[MAX_PATH];  // cut to 259 characters
    DWORD isDirectory;       // 1 for "Dir" items, 0 for "File" items
    DWORD optional;
};

class IUninstallRootDirList {
public:
    // Writes the resource (a plain XML list) to a temporary file, loads it and
    // deletes the file. False when the resource is missing, no temporary name
    // is free or the file cannot be written.
    virtual bool LoadFromResource(HMODULE module, const wchar_t* name, const wchar_t* type) = 0;
    // Replaces the contents with the file's items. False (contents kept) when
    // the path is null or the document cannot be opened.
    virtual bool Load(const wchar_t* path) = 0;
    virtual int GetCount() = 0;
    // The index-th entry in key order. False for a null record or an index not
    // below the count (the record is then left untouched).
    virtual bool GetItem(int index, RootDirItem* item) = 0;
    // Removes the entry with the upper-cased name; true also when there was
    // none, false only for a null name.
    virtual bool Remove(const wchar_t* name) = 0;
    virtual bool Contains(const wchar_t* name) = 0;
    virtual ~IUninstallRootDirList() = default;
};

class CUninstallRootDirList : public IUninstallRootDirList {
public:
    CUninstallRootDirList() = default;
    ~CUninstallRootDirList() override = default;
    CUninstallRootDirList(const CUninstallRootDirList&) = delete;
    CUninstallRootDirList& operator=(const CUninstallRootDirList&) = delete;

    bool LoadFromResource(HMODULE module, const wchar_t* name, const wchar_t* type) override;
    bool Load(const wchar_t* path) override;
    int GetCount() override;
    bool GetItem(int index, RootDirItem* item) override;
    bool Remove(const wchar_t* name) override;
    bool Contains(const wchar_t* name) override;

    // Counts by kind, for the load report.
    int DirectoryCount() const;
    int FileCount() const;

    // The key of a name: upper-cased under the runtime locale.
    static std::wstring KeyOf(const std::wstring& name);

private:
    struct Entry {
        std::wstring name;
        DWORD isDirectory = 0;
        DWORD optional = 0;
    };
    // Ordered by UTF-16 code unit of the key.
    std::map<std::wstring, Entry> entries_;
};
