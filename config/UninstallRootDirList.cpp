#include "config/UninstallRootDirList.h"

#include <cstring>
#include <cwchar>
#include <iterator>
#include <vector>

#include "app/SmartLogger.h"
#include "config/ResourceUnpack.h"
#include "config/TempName.h"
#include "config/XMLArchive.h"

std::wstring CUninstallRootDirList::KeyOf(const std::wstring& name) {
    std::vector<wchar_t> buffer(name.begin(), name.end());
    buffer.push_back(L'\0');
    _wcsupr_s(buffer.data(), buffer.size());
    return std::wstring(buffer.data(), name.size());
}

bool CUninstallRootDirList::LoadFromResource(HMODULE module, const wchar_t* name, const wchar_t* type) {
    CResourceUnpack resource;
    if (!resource.Init(module, name, type)) return false;
    std::wstring file = CreateTempName();
    if (file.empty()) return false;
    if (!resource.SaveTo(file)) return false;
    bool loaded = Load(file.c_str());
    ::DeleteFileW(file.c_str());
    return loaded;
}

bool CUninstallRootDirList::Load(const wchar_t* path) {
    if (!path) return false;
    CXMLArchive archive;
    if (FAILED(archive.Open(path, false, CXMLArchive::kDefaultDeclaration))) {
        WriteLog(L"root dir list [%s] cannot be opened", path);
        return false;
    }
    entries_.clear();
    struct Group {
        const wchar_t* path;
        DWORD isDirectory;
    };
    for (const Group& group : {Group{L"RootDirFiles/Dir", 1}, Group{L"RootDirFiles/File", 0}}) {
        CXMLArchiveItem parent = archive.SelectSingleNode(group.path);
        if (parent.IsEmpty()) continue;
        CXMLArchiveItemList items = parent.ChildNodes(L"Item");
        for (long i = 0; i < items.Count(); ++i) {
            CXMLArchiveItem item = items.Item(i);
            if (item.IsEmpty()) break;
            std::wstring name;
            int optional = 0;
            item.GetAttrText(L"Name", name, L"");
            item.GetAttrInt(L"optional", optional, 0);
            // A later item with the same key wins, also across "Dir" and "File".
            Entry& entry = entries_[KeyOf(name)];
            entry.name = name;
            entry.isDirectory = group.isDirectory;
            entry.optional = static_cast<DWORD>(optional);
        }
    }
    return true;
}

int CUninstallRootDirList::GetCount() { return static_cast<int>(entries_.size()); }

bool CUninstallRootDirList::GetItem(int index, RootDirItem* item) {
    if (!item || index < 0 || index >= GetCount()) return false;
    auto entry = entries_.begin();
    std::advance(entry, index);
    std::memset(item, 0, sizeof(*item));
    size_t length = entry->second.name.size();
    if (length > MAX_PATH - 1) length = MAX_PATH - 1;
    std::wmemcpy(item->name, entry->second.name.data(), length);
    item->isDirectory = entry->second.isDirectory;
    item->optional = entry->second.optional;
    return true;
}

bool CUninstallRootDirList::Remove(const wchar_t* name) {
    if (!name) return false;
    entries_.erase(KeyOf(name));
    return true;
}

bool CUninstallRootDirList::Contains(const wchar_t* name) {
    if (!name) return false;
    return entries_.count(KeyOf(name)) != 0;
}

int CUninstallRootDirList::DirectoryCount() const {
    int count = 0;
    for (const auto& entry : entries_) count += entry.second.isDirectory ? 1 : 0;
    return count;
}

int CUninstallRootDirList::FileCount() const { return static_cast<int>(entries_.size()) - DirectoryCount(); }
