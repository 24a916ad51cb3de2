#include "config/config_test_support.h"

#include <algorithm>

#include "app/base/PathUtil.h"
#include "config/SevenZipLibrary.h"
#include "support/TestSupport.h"

namespace config_test {

std::wstring FixtureDir() { return path::Join(testing_support::BuildDir(), L"tests\\fixtures\\config"); }

std::wstring FixturePath(const std::wstring& name) { return path::Join(FixtureDir(), name); }

std::wstring ShippedSourcePath(const std::wstring& name) { return path::Join(FixtureDir(), L"shipped\\" + name); }

bool WriteUtf16File(const std::wstring& path, const std::wstring& text) {
    std::string bytes = "\xFF\xFE";
    bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    return testing_support::WriteFileBytes(path, bytes);
}

bool WriteUtf8File(const std::wstring& path, const std::wstring& text) {
    return testing_support::WriteFileBytes(path, text::ToUtf8(text));
}

std::wstring ProjectXml(const std::wstring& body) {
    return L"<?xml version=\"1.0\" encoding=\"utf-16\"?>\r\n<Setup>\r\n" + body + L"\r\n</Setup>\r\n";
}

std::wstring RootListXml(const std::wstring& dirItems, const std::wstring& fileItems) {
    return L"<?xml version=\"1.0\" encoding=\"utf-16\"?>\r\n<RootDirFiles>\r\n<Dir>" + dirItems + L"</Dir>\r\n<File>" +
           fileItems + L"</File>\r\n</RootDirFiles>\r\n";
}

std::wstring MinimalProjectBody() {
    return L"<Main Version=\"1.0\" />\r\n<UninstallRootDirFileList File=\"UninstallRootDirFileList.xml\" />";
}

namespace {

bool ReadVariable(const wchar_t* name, std::wstring& value) {
    wchar_t buffer[2048];
    DWORD length = ::GetEnvironmentVariableW(name, buffer, 2048);
    if (length == 0 || length >= 2048) return false;
    value.assign(buffer, length);
    return true;
}

}  // namespace

ScopedTempRedirect::ScopedTempRedirect() {
    hadTmp_ = ReadVariable(L"TMP", oldTmp_);
    hadTemp_ = ReadVariable(L"TEMP", oldTemp_);
    ::SetEnvironmentVariableW(L"TMP", dir_.path().c_str());
    ::SetEnvironmentVariableW(L"TEMP", dir_.path().c_str());
}

ScopedTempRedirect::~ScopedTempRedirect() {
    ::SetEnvironmentVariableW(L"TMP", hadTmp_ ? oldTmp_.c_str() : nullptr);
    ::SetEnvironmentVariableW(L"TEMP", hadTemp_ ? oldTemp_.c_str() : nullptr);
}

const std::wstring& ScopedTempRedirect::path() const { return dir_.path(); }

std::vector<std::wstring> ScopedTempRedirect::Entries() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    win::UniqueFind find(::FindFirstFileW(path::Join(dir_.path(), L"*").c_str(), &data));
    if (!find) return names;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(find.get(), &data));
    std::sort(names.begin(), names.end());
    return names;
}

void RequireSevenZip() { ASSERT_EQ(0, LoadSevenZipBesideProgram()) << "7z.dll must sit beside the test program"; }

}  // namespace config_test
