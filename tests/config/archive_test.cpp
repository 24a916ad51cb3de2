#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/base/PathUtil.h"
#include "app/base/SystemLibrary.h"
#include "config/ArchiveCallbacks.h"
#include "config/Extract7z.h"
#include "config/FileStreams.h"
#include "config/ResourceUnpack.h"
#include "config/SevenZipLibrary.h"
#include "config/TempName.h"
#include "config/config_test_support.h"
#include "config/fixture_resources.h"
#include "support/TestSupport.h"

using config_test::ConfigTest;
using config_test::FixturePath;
using testing_support::ReadFileBytes;
using testing_support::ScopedTempDir;
using testing_support::WriteFileBytes;

namespace {

bool IsTmpName(const std::wstring& name) { return name.size() > 4 && name.compare(name.size() - 4, 4, L".tmp") == 0; }

std::vector<std::wstring> TmpEntries(const config_test::ScopedTempRedirect& temp) {
    std::vector<std::wstring> names;
    for (const std::wstring& name : temp.Entries())
        if (IsTmpName(name)) names.push_back(name);
    return names;
}

// --- temporary names --------------------------------------------------------

TEST(TempName, FormatsTheGuidWithALowerCaseThirdGroup) {
    GUID guid = {0x0A1B2C3D, 0xE4F5, 0xABCD, {0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD}};
    EXPECT_EQ(L"{0A1B2C3D-E4F5-abcd-EF01-23456789ABCD}.tmp", FormatTempGuidName(guid));
}

TEST(TempName, TakesTheFirstGuidNameThatDoesNotExist) {
    ScopedTempDir dir;
    std::vector<GUID> guids = {{1, 0, 0, {}}, {2, 0, 0, {}}};
    ASSERT_TRUE(::CreateDirectoryW(dir.Join(FormatTempGuidName(guids[0])).c_str(), nullptr));
    size_t next = 0;
    std::wstring name = CreateTempNameIn(dir.path(), [&](GUID& guid) {
        guid = guids[next++ % guids.size()];
        return true;
    });
    EXPECT_EQ(dir.Join(FormatTempGuidName(guids[1])), name);
    EXPECT_EQ(2u, next);
}

TEST(TempName, GivesUpAfterTenTakenNames) {
    ScopedTempDir dir;
    GUID taken = {7, 7, 7, {7}};
    ASSERT_TRUE(WriteFileBytes(dir.Join(FormatTempGuidName(taken)), "x"));
    int calls = 0;
    EXPECT_EQ(L"", CreateTempNameIn(dir.path(), [&](GUID& guid) {
                  ++calls;
                  guid = taken;
                  return true;
              }));
    EXPECT_EQ(10, calls);
}

TEST(TempName, FreshNamesLieInTheTemporaryDirectory) {
    config_test::ScopedTempRedirect temp;
    std::wstring first = CreateTempName();
    std::wstring second = CreateTempName();
    EXPECT_EQ(path::Join(temp.path(), path::FileName(first)), first);
    EXPECT_NE(first, second);
    EXPECT_EQ(42u, path::FileName(first).size());  // "{" + 36 + "}" + ".tmp"
}

// --- resource bytes and unpacking -------------------------------------------

class ResourceUnpackTest : public ConfigTest {
protected:
    HMODULE self_ = ::GetModuleHandleW(nullptr);
};

TEST_F(ResourceUnpackTest, InitFindsTheResourceOrKeepsNothing) {
    CResourceUnpack resource;
    ASSERT_TRUE(resource.Init(self_, MAKEINTRESOURCEW(FIXTURE_TWO_BLOCKS), L"BLOCKS"));
    EXPECT_EQ(8192u, resource.Size());
    EXPECT_NE(nullptr, resource.Data());
    EXPECT_FALSE(resource.Init(self_, MAKEINTRESOURCEW(998), L"BLOCKS"));
    EXPECT_EQ(0u, resource.Size());
    EXPECT_EQ(nullptr, resource.Data());
    ASSERT_TRUE(resource.Init(self_, MAKEINTRESOURCEW(FIXTURE_TWO_BLOCKS), L"BLOCKS"));
    resource.Reset();
    EXPECT_EQ(0u, resource.Size());
}

TEST_F(ResourceUnpackTest, SaveToWritesExactlyTheResourceBytes) {
    CResourceUnpack resource;
    ASSERT_TRUE(resource.Init(self_, MAKEINTRESOURCEW(FIXTURE_TWO_BLOCKS), L"BLOCKS"));
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"blocks.bin");
    ASSERT_TRUE(WriteFileBytes(file, std::string(20000, 'z')));  // replaced, not overwritten in place
    ASSERT_TRUE(resource.SaveTo(file));
    std::string saved = ReadFileBytes(file);
    EXPECT_EQ(8192u, saved.size());
    EXPECT_EQ(ReadFileBytes(FixturePath(L"two-blocks.bin")), saved);
}

TEST_F(ResourceUnpackTest, SaveToFailsWhenTheOldFileCannotBeDeleted) {
    CResourceUnpack resource;
    ASSERT_TRUE(resource.Init(self_, MAKEINTRESOURCEW(FIXTURE_TWO_BLOCKS), L"BLOCKS"));
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"readonly.bin");
    ASSERT_TRUE(WriteFileBytes(file, "old"));
    ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(resource.SaveTo(file));
    EXPECT_EQ("old", ReadFileBytes(file));
    EXPECT_FALSE(resource.SaveTo(dir.Join(L"no-such-folder\\x.bin")));
}

TEST_F(ResourceUnpackTest, TwoUnpacksUseTwoFoldersAndKeepBoth) {
    CResourceUnpack resource;
    ASSERT_TRUE(resource.Init(self_, MAKEINTRESOURCEW(FIXTURE_GOOD_ARCHIVE), L"SETUPCONFIG"));
    std::wstring first, second;
    ASSERT_TRUE(resource.Unpack(first));
    ASSERT_TRUE(resource.Unpack(second));
    EXPECT_NE(first, second);
    for (const std::wstring& folder : {first, second}) {
        EXPECT_TRUE(path::DirectoryExists(folder));
        EXPECT_FALSE(ReadFileBytes(path::Join(folder, L"tapis.noxprj")).empty());
        EXPECT_EQ(ReadFileBytes(FixturePath(L"rootlist.xml")),
                  ReadFileBytes(path::Join(folder, L"UninstallRootDirFileList.xml")));
    }
    // Only the two folders: both archive files were deleted.
    EXPECT_EQ(2u, TmpEntries(temp_).size());
}

TEST_F(ResourceUnpackTest, FailedUnpackLeavesTheArchiveFileBehind) {
    CResourceUnpack resource;
    ASSERT_TRUE(resource.Init(self_, MAKEINTRESOURCEW(FIXTURE_DAMAGED_ARCHIVE), L"SETUPCONFIG"));
    std::wstring folder = L"untouched";
    EXPECT_FALSE(resource.Unpack(folder));
    EXPECT_EQ(L"untouched", folder);
    std::vector<std::wstring> left = TmpEntries(temp_);
    ASSERT_EQ(2u, left.size());  // the archive file and the output folder
    int archives = 0;
    for (const std::wstring& name : left) {
        std::wstring full = path::Join(temp_.path(), name);
        if (!path::DirectoryExists(full)) {
            ++archives;
            EXPECT_EQ(ReadFileBytes(FixturePath(L"damaged-data.7z")), ReadFileBytes(full));
        }
    }
    EXPECT_EQ(1, archives);
}

// --- extraction -------------------------------------------------------------

struct ExtractCase {
    const char* name;
    const wchar_t* archive;
    int result;
    std::vector<const wchar_t*> files;  // expected below the output folder
};

class ExtractTest : public ConfigTest, public ::testing::WithParamInterface<ExtractCase> {};

TEST_P(ExtractTest, ExtractsOnlySoundArchives) {
    ScopedTempDir out;
    std::wstring folder = out.Join(L"unpacked");
    EXPECT_EQ(GetParam().result, Extract7z(FixturePath(GetParam().archive), folder));
    EXPECT_TRUE(path::DirectoryExists(folder));
    for (const wchar_t* file : GetParam().files)
        EXPECT_TRUE(path::FileExists(path::Join(folder, file))) << text::ToUtf8(file);
    // Nothing escapes the output folder.
    EXPECT_FALSE(path::FileExists(out.Join(L"escape.txt")));
    EXPECT_FALSE(path::FileExists(L"C:\\escape.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Archives, ExtractTest,
    ::testing::Values(
        ExtractCase{"good", L"good.7z", 0, {L"tapis.noxprj", L"UninstallRootDirFileList.xml"}},
        ExtractCase{"without_project", L"no-project.7z", 0, {L"UninstallRootDirFileList.xml"}},
        ExtractCase{"nested", L"nested.7z", 0, {L"top.txt", L"readonly.txt", L"docs\\readme.txt",
                                                 L"docs\\deep\\inner.txt", L"empty"}},
        ExtractCase{"damaged_data", L"damaged-data.7z", -1, {}},
        ExtractCase{"damaged_header", L"damaged-header.7z", -1, {}},
        ExtractCase{"truncated", L"truncated.7z", -1, {}},
        ExtractCase{"encrypted_data", L"encrypted-data.7z", -1, {}},
        ExtractCase{"encrypted_headers", L"encrypted-headers.7z", -1, {}},
        ExtractCase{"not_an_archive", L"not-an-archive.7z", -1, {}},
        ExtractCase{"missing_file", L"no-such-archive.7z", -1, {}},
        ExtractCase{"parent_path", L"parent-path.7z", -1, {}},
        ExtractCase{"rooted_path", L"rooted-path.7z", -1, {}},
        ExtractCase{"drive_path", L"drive-path.7z", -1, {}}),
    [](const ::testing::TestParamInfo<ExtractCase>& info) { return std::string(info.param.name); });

class ExtractDetailTest : public ConfigTest {
protected:
    ScopedTempDir out_;
};

TEST_F(ExtractDetailTest, ExtractedFilesMatchTheirSources) {
    ASSERT_EQ(0, Extract7z(FixturePath(L"good.7z"), out_.path()));
    std::string project = ReadFileBytes(out_.Join(L"tapis.noxprj"));
    EXPECT_EQ(std::string("\xFF\xFE", 2), project.substr(0, 2));
    EXPECT_FALSE(project.empty());
    EXPECT_EQ(ReadFileBytes(FixturePath(L"rootlist.xml")), ReadFileBytes(out_.Join(L"UninstallRootDirFileList.xml")));
}

TEST_F(ExtractDetailTest, AttributesAndModificationTimesAreApplied) {
    ASSERT_EQ(0, Extract7z(FixturePath(L"nested.7z"), out_.path()));
    DWORD readOnly = ::GetFileAttributesW(out_.Join(L"readonly.txt").c_str());
    EXPECT_TRUE(readOnly != INVALID_FILE_ATTRIBUTES && (readOnly & FILE_ATTRIBUTE_READONLY));
    DWORD writable = ::GetFileAttributesW(out_.Join(L"top.txt").c_str());
    EXPECT_TRUE(writable != INVALID_FILE_ATTRIBUTES && !(writable & FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(path::DirectoryExists(out_.Join(L"empty")));
    EXPECT_EQ("inner\r\n", ReadFileBytes(out_.Join(L"docs\\deep\\inner.txt")));

    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(::GetFileAttributesExW(out_.Join(L"top.txt").c_str(), GetFileExInfoStandard, &data));
    SYSTEMTIME time;
    ASSERT_TRUE(::FileTimeToSystemTime(&data.ftLastWriteTime, &time));
    EXPECT_EQ(2021, time.wYear);
    EXPECT_EQ(3, time.wMonth);
    EXPECT_EQ(4, time.wDay);
    EXPECT_EQ(5, time.wHour);
    EXPECT_EQ(6, time.wMinute);
    EXPECT_EQ(7, time.wSecond);
}

TEST_F(ExtractDetailTest, WritableFileAtAnOutputPathIsReplaced) {
    ASSERT_TRUE(WriteFileBytes(out_.Join(L"tapis.noxprj"), "stale"));
    EXPECT_EQ(0, Extract7z(FixturePath(L"good.7z"), out_.path()));
    EXPECT_NE("stale", ReadFileBytes(out_.Join(L"tapis.noxprj")));
}

TEST_F(ExtractDetailTest, ReadOnlyFileAtAnOutputPathFailsTheExtraction) {
    std::wstring existing = out_.Join(L"tapis.noxprj");
    ASSERT_TRUE(WriteFileBytes(existing, "stale"));
    ASSERT_TRUE(::SetFileAttributesW(existing.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(-1, Extract7z(FixturePath(L"good.7z"), out_.path()));
    EXPECT_EQ("stale", ReadFileBytes(existing));
}

TEST_F(ExtractDetailTest, DirectoryAtAFilesPathFailsTheExtraction) {
    ASSERT_TRUE(::CreateDirectoryW(out_.Join(L"tapis.noxprj").c_str(), nullptr));
    EXPECT_EQ(-1, Extract7z(FixturePath(L"good.7z"), out_.path()));
}

// The standard CRC-32 of the 7z headers.
uint32_t Crc32(const unsigned char* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Removes the stored name of the single item "c.txt" from an archive with an
// uncompressed header, fixing the header sizes and checksums.
std::string WithoutItemNames(std::string archive) {
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&archive[at], &v, 4); };
    uint64_t offset, size;
    std::memcpy(&offset, &archive[12], 8);
    std::memcpy(&size, &archive[20], 8);
    std::string header = archive.substr(32 + offset, size);
    std::wstring name = L"c.txt";
    std::string pattern = std::string("\x11\x0D\x00", 3) +
                          std::string(reinterpret_cast<const char*>(name.c_str()), (name.size() + 1) * 2);
    size_t at = header.find(pattern);
    if (at == std::string::npos) return std::string();
    header.erase(at, pattern.size());
    archive.resize(32 + offset);
    archive += header;
    uint64_t newSize = header.size();
    std::memcpy(&archive[20], &newSize, 8);
    put32(28, Crc32(reinterpret_cast<const unsigned char*>(header.data()), header.size()));
    put32(8, Crc32(reinterpret_cast<const unsigned char*>(&archive[12]), 20));
    return archive;
}

TEST_F(ExtractDetailTest, ItemWithoutStoredPathIsWrittenAsContent) {
    std::string nameless = WithoutItemNames(ReadFileBytes(FixturePath(L"plain-header.7z")));
    ASSERT_FALSE(nameless.empty());
    std::wstring archive = out_.Join(L"nameless.7z");
    ASSERT_TRUE(WriteFileBytes(archive, nameless));
    std::wstring folder = out_.Join(L"out");
    ASSERT_EQ(0, Extract7z(archive, folder));
    EXPECT_EQ("no name\r\n", ReadFileBytes(path::Join(folder, L"[Content]")));
}

struct ItemPathCase {
    const wchar_t* path;
    bool contained;
};

class ItemPathTest : public ::testing::TestWithParam<ItemPathCase> {};

TEST_P(ItemPathTest, OnlyPathsInsideTheFolderPass) {
    EXPECT_EQ(GetParam().contained, IsContainedItemPath(GetParam().path)) << text::ToUtf8(GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ItemPathTest,
    ::testing::Values(ItemPathCase{L"tapis.noxprj", true}, ItemPathCase{L"docs\\deep\\inner.txt", true},
                      ItemPathCase{L"docs/readme.txt", true}, ItemPathCase{L"a..b", true},
                      ItemPathCase{L"..\\x", false}, ItemPathCase{L"docs\\..\\..\\x", false},
                      ItemPathCase{L"../x", false}, ItemPathCase{L"\\x", false}, ItemPathCase{L"/x", false},
                      ItemPathCase{L"C:\\x", false}, ItemPathCase{L"C:x", false}, ItemPathCase{L"file:stream", false},
                      ItemPathCase{L"...\\x", false}, ItemPathCase{L". .\\x", false}, ItemPathCase{L".\\x", false},
                      ItemPathCase{L"a\\\\b", false}, ItemPathCase{L"", false}));

// --- stream and callback objects --------------------------------------------

TEST(FileStreams, InStreamReadsSeeksAndReportsItsSize) {
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"in.bin");
    ASSERT_TRUE(WriteFileBytes(file, "0123456789"));
    auto stream = win::ComPtr<CInFileStream>::Attach(new CInFileStream());
    ASSERT_TRUE(stream->Open(file));
    sevenzip::UInt64 size = 0;
    EXPECT_EQ(S_OK, stream->GetSize(&size));
    EXPECT_EQ(10u, size);
    sevenzip::UInt64 position = 99;
    EXPECT_EQ(S_OK, stream->Seek(-3, sevenzip::kSeekEnd, &position));
    EXPECT_EQ(7u, position);
    char buffer[8] = {};
    sevenzip::UInt32 read = 0;
    EXPECT_EQ(S_OK, stream->Read(buffer, 8, &read));
    EXPECT_EQ(3u, read);
    EXPECT_EQ(std::string("789"), std::string(buffer, read));
    EXPECT_EQ(S_OK, stream->Read(buffer, 8, &read));
    EXPECT_EQ(0u, read);
    EXPECT_EQ(S_OK, stream->Seek(2, sevenzip::kSeekSet, nullptr));
    EXPECT_EQ(S_OK, stream->Seek(1, sevenzip::kSeekCur, &position));
    EXPECT_EQ(3u, position);
    EXPECT_EQ(STG_E_INVALIDFUNCTION, stream->Seek(0, 3, &position));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NEGATIVE_SEEK), stream->Seek(-1, sevenzip::kSeekSet, &position));
    auto missing = win::ComPtr<CInFileStream>::Attach(new CInFileStream());
    EXPECT_FALSE(missing->Open(dir.Join(L"missing.bin")));
    EXPECT_EQ(E_FAIL, missing->Read(buffer, 1, &read));
}

TEST(FileStreams, OutStreamCountsWritesAndSetsTheSize) {
    ScopedTempDir dir;
    std::wstring file = dir.Join(L"out.bin");
    auto stream = win::ComPtr<COutFileStream>::Attach(new COutFileStream());
    ASSERT_TRUE(stream->Create(file));
    sevenzip::UInt32 written = 0;
    EXPECT_EQ(S_OK, stream->Write("abcdef", 6, &written));
    EXPECT_EQ(6u, written);
    EXPECT_EQ(S_OK, stream->Write("gh", 2, nullptr));
    EXPECT_EQ(8u, stream->BytesWritten());
    EXPECT_EQ(S_OK, stream->SetSize(4));
    sevenzip::UInt64 position = 0;
    EXPECT_EQ(S_OK, stream->Seek(0, sevenzip::kSeekEnd, &position));
    EXPECT_EQ(4u, position);
    EXPECT_EQ(STG_E_INVALIDFUNCTION, stream->Seek(0, 7, &position));
    EXPECT_EQ(S_OK, stream->Close());
    EXPECT_EQ("abcd", ReadFileBytes(file));
    EXPECT_EQ(E_FAIL, stream->Write("x", 1, &written));
}

template <typename Object>
void ExpectSameIdentity(Object* object, const GUID& a, const GUID& b) {
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(a, &first));
    ASSERT_EQ(S_OK, object->QueryInterface(b, &second));
    EXPECT_EQ(first, second);
    static_cast<IUnknown*>(first)->Release();
    static_cast<IUnknown*>(second)->Release();
}

TEST(FileStreams, QueryInterfaceAnswersTheStreamInterfacesAndCountsReferences) {
    auto in = win::ComPtr<CInFileStream>::Attach(new CInFileStream());
    ExpectSameIdentity(in.get(), IID_IUnknown, sevenzip::kIidInStream);
    ExpectSameIdentity(in.get(), sevenzip::kIidSequentialInStream, sevenzip::kIidInStream);
    void* object = nullptr;
    ASSERT_EQ(S_OK, in->QueryInterface(sevenzip::kIidStreamGetSize, &object));
    EXPECT_EQ(static_cast<sevenzip::IStreamGetSize*>(in.get()), object);
    static_cast<IUnknown*>(object)->Release();
    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, in->QueryInterface(sevenzip::kIidOutStream, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(E_POINTER, in->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(2u, in->AddRef());
    EXPECT_EQ(1u, in->Release());

    auto out = win::ComPtr<COutFileStream>::Attach(new COutFileStream());
    ExpectSameIdentity(out.get(), sevenzip::kIidSequentialOutStream, sevenzip::kIidOutStream);
    EXPECT_EQ(E_NOINTERFACE, out->QueryInterface(sevenzip::kIidInStream, &object));
}

TEST(ArchiveCallbacks, NoPasswordIsGivenAndProgressIsAccepted) {
    auto open = win::ComPtr<CArchiveOpenCallback>::Attach(new CArchiveOpenCallback());
    ExpectSameIdentity(open.get(), IID_IUnknown, sevenzip::kIidArchiveOpenCallback);
    sevenzip::UInt64 files = 1, bytes = 2;
    EXPECT_EQ(S_OK, open->SetTotal(&files, &bytes));
    EXPECT_EQ(S_OK, open->SetCompleted(nullptr, nullptr));
    win::ComPtr<sevenzip::ICryptoGetTextPassword> password;
    ASSERT_EQ(S_OK, open->QueryInterface(sevenzip::kIidCryptoGetTextPassword, password.put_void()));
    BSTR text = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(E_ABORT, password->CryptoGetTextPassword(&text));
    EXPECT_EQ(nullptr, text);
    EXPECT_TRUE(open->PasswordAsked());

    auto extract = win::ComPtr<CArchiveExtractCallback>::Attach(new CArchiveExtractCallback(nullptr, L"C:\\x\\"));
    ExpectSameIdentity(extract.get(), sevenzip::kIidProgress, sevenzip::kIidArchiveExtractCallback);
    ExpectSameIdentity(extract.get(), IID_IUnknown, sevenzip::kIidArchiveExtractCallback);
    ASSERT_EQ(S_OK, extract->QueryInterface(sevenzip::kIidCryptoGetTextPassword, password.put_void()));
    EXPECT_EQ(E_ABORT, password->CryptoGetTextPassword(&text));
    EXPECT_EQ(S_OK, extract->SetTotal(100));
    EXPECT_EQ(S_OK, extract->SetCompleted(nullptr));
    void* object = nullptr;
    EXPECT_EQ(E_NOINTERFACE, extract->QueryInterface(sevenzip::kIidInArchive, &object));
}

// --- the library holder -----------------------------------------------------

// Runs in a copy of the test program, with the library search narrowed as the
// uninstaller narrows it at its start.
int SevenZipCheckRole(int, wchar_t**) {
    win::HardenDllSearch();
    int code = LoadSevenZipBesideProgram();
    // Without the library nothing can be extracted.
    std::wstring own = path::ModuleDirectory();
    if (code != 0 && Extract7z(path::Join(own, L"none.7z"), path::Join(own, L"none")) != -1) return 50;
    return code;
}
testing_support::ChildRoleRegistrar sevenZipCheck(L"seven-zip-check", SevenZipCheckRole);

struct LibraryCase {
    const char* name;
    int dll;  // 0: none, 1: the real library, 2: a text file named 7z.dll
    int code;
};

class SevenZipLibraryTest : public ::testing::TestWithParam<LibraryCase> {};

TEST_P(SevenZipLibraryTest, LoadedOnlyFromTheProgramsOwnDirectory) {
    ScopedTempDir dir;
    std::wstring program = dir.Join(L"config_tests.exe");
    ASSERT_TRUE(::CopyFileW(path::ModulePath().c_str(), program.c_str(), FALSE));
    std::wstring dll = dir.Join(L"7z.dll");
    if (GetParam().dll == 1) {
        ASSERT_TRUE(::CopyFileW(path::Join(path::ModuleDirectory(), L"7z.dll").c_str(), dll.c_str(), FALSE));
    }
    if (GetParam().dll == 2) {
        ASSERT_TRUE(WriteFileBytes(dll, "not a library"));
    }
    // Started from the test folder, where a 7z.dll lies: the copy must not use it.
    EXPECT_EQ(GetParam().code, testing_support::RunAndWait(program, L"--role seven-zip-check", 60000,
                                                           path::ModuleDirectory()));
}

INSTANTIATE_TEST_SUITE_P(Folders, SevenZipLibraryTest,
                         ::testing::Values(LibraryCase{"missing", 0, kSevenZipLibraryMissing},
                                           LibraryCase{"present", 1, 0},
                                           LibraryCase{"not_a_library", 2, kSevenZipLibraryMissing}),
                         [](const ::testing::TestParamInfo<LibraryCase>& info) { return std::string(info.param.name); });

TEST(SevenZipLibrary, FailedLoadKeepsTheHeldLibrary) {
    config_test::RequireSevenZip();
    CSevenZipLibrary& library = CSevenZipLibrary::Process();
    HMODULE held = library.Module();
    ASSERT_NE(nullptr, held);
    EXPECT_FALSE(library.Load(L"C:\\no\\such\\7z.dll"));
    EXPECT_FALSE(library.Load(L""));
    EXPECT_EQ(held, library.Module());
    EXPECT_TRUE(library.Load(path::Join(path::ModuleDirectory(), L"7z.dll")));
    EXPECT_EQ(held, library.Module());
    EXPECT_EQ(0, LoadSevenZipBesideProgram());
}

}  // namespace
