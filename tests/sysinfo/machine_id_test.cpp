#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwctype>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/base/WinHandle.h"
#include "sysinfo/Crc8.h"
#include "sysinfo/HardwareProbe.h"
#include "sysinfo/MachineId.h"
#include "sysinfo/Md5Variant.h"
#include "sysinfo/Sha1.h"

using namespace machine_id;

namespace {

// ---- Registry fixtures ----------------------------------------------------------

struct RawValue {
    DWORD type = REG_NONE;
    std::string bytes;
};

RawValue Sz(const std::string& ascii, bool terminated = true, DWORD type = REG_SZ) {
    std::wstring wide(ascii.begin(), ascii.end());
    RawValue raw{type, std::string(reinterpret_cast<const char*>(wide.c_str()),
                                   (wide.size() + (terminated ? 1 : 0)) * sizeof(wchar_t))};
    return raw;
}

RawValue Dword(DWORD value) { return {REG_DWORD, std::string(reinterpret_cast<const char*>(&value), 4)}; }

RawValue AnsiSz(const std::string& text) { return {REG_SZ, text}; }  // written through the ANSI API

void SetRaw(HKEY root, const std::wstring& subkey, REGSAM view, const std::wstring& name, const RawValue& raw,
            bool ansi = false) {
    win::UniqueRegKey key;
    ASSERT_EQ(::RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    // The registry completes a string whose next byte happens to be zero; a
    // value meant to lack its terminator must not be followed by one.
    std::string data = raw.bytes + std::string(4, '\xff');
    LONG result = ansi ? ::RegSetValueExA(key.get(), std::string(name.begin(), name.end()).c_str(), 0, raw.type,
                                          reinterpret_cast<const BYTE*>(data.data()),
                                          static_cast<DWORD>(raw.bytes.size()))
                       : ::RegSetValueExW(key.get(), name.c_str(), 0, raw.type,
                                          reinterpret_cast<const BYTE*>(data.data()),
                                          static_cast<DWORD>(raw.bytes.size()));
    ASSERT_EQ(result, ERROR_SUCCESS);
}

std::optional<RawValue> GetRaw(HKEY root, const std::wstring& subkey, REGSAM view, const std::wstring& name) {
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = 0, size = 0;
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    std::string bytes(size, '\0');
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&bytes[0]), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    bytes.resize(size);
    return RawValue{type, bytes};
}

// A REG_SZ value read back as ASCII, without its terminating zero; nullopt when absent.
std::optional<std::string> GetText(HKEY root, const std::wstring& subkey, REGSAM view, const std::wstring& name) {
    std::optional<RawValue> raw = GetRaw(root, subkey, view, name);
    if (!raw || (raw->type != REG_SZ && raw->type != REG_EXPAND_SZ)) return std::nullopt;
    std::wstring wide(reinterpret_cast<const wchar_t*>(raw->bytes.data()), raw->bytes.size() / sizeof(wchar_t));
    if (!wide.empty() && wide.back() == L'\0') wide.pop_back();
    return std::string(wide.begin(), wide.end());
}

// A private key under HKCU for one test, deleted with everything under it.
class ScratchKey {
public:
    ScratchKey() {
        static LONG counter = 0;
        path_ = L"Software\\LumoraTests\\MachineId\\" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(::InterlockedIncrement(&counter));
    }
    ~ScratchKey() {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\LumoraTests\\MachineId");
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\LumoraTests");
    }
    CacheLocation Mid() const { return {HKEY_CURRENT_USER, path_, KEY_WOW64_32KEY, L"mid", L"mid_old"}; }
    CacheLocation Mid2() const { return {HKEY_CURRENT_USER, path_, KEY_WOW64_32KEY, L"m2", L"m2_old"}; }
    void Set(const std::wstring& name, const RawValue& raw, bool ansi = false) const {
        SetRaw(HKEY_CURRENT_USER, path_, KEY_WOW64_32KEY, name, raw, ansi);
    }
    std::optional<RawValue> Raw(const std::wstring& name) const {
        return GetRaw(HKEY_CURRENT_USER, path_, KEY_WOW64_32KEY, name);
    }
    std::optional<std::string> Text(const std::wstring& name) const {
        return GetText(HKEY_CURRENT_USER, path_, KEY_WOW64_32KEY, name);
    }
    bool KeyExists() const {
        win::UniqueRegKey key;
        return ::RegOpenKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    }

private:
    std::wstring path_;
};

// Saves the named values of a shared machine key and puts them back when the
// test ends; keys the test brought into being are removed again.
class SavedValues {
public:
    explicit SavedValues(const CacheLocation& cache) : cache_(cache) {
        // The shallowest missing key on the path is the one a write would create.
        size_t end = 0;
        while (end != std::wstring::npos) {
            end = cache.subkey.find(L'\\', end + 1);
            std::wstring prefix = cache.subkey.substr(0, end);
            win::UniqueRegKey key;
            if (::RegOpenKeyExW(cache.root, prefix.c_str(), 0, KEY_READ | cache.view, key.put()) != ERROR_SUCCESS) {
                createdRoot_ = prefix;
                break;
            }
        }
        value_ = GetRaw(cache.root, cache.subkey, cache.view, cache.value);
        old_ = GetRaw(cache.root, cache.subkey, cache.view, cache.oldValue);
    }
    ~SavedValues() {
        if (!createdRoot_.empty()) {
            size_t slash = createdRoot_.rfind(L'\\');
            std::wstring parentPath = slash == std::wstring::npos ? L"" : createdRoot_.substr(0, slash);
            std::wstring name = slash == std::wstring::npos ? createdRoot_ : createdRoot_.substr(slash + 1);
            win::UniqueRegKey parent;
            if (::RegOpenKeyExW(cache_.root, parentPath.c_str(), 0, KEY_ALL_ACCESS | cache_.view, parent.put()) ==
                ERROR_SUCCESS) {
                ::RegDeleteTreeW(parent.get(), name.c_str());
                ::RegDeleteKeyExW(parent.get(), name.c_str(), cache_.view, 0);
            }
            return;
        }
        Restore(cache_.value, value_);
        Restore(cache_.oldValue, old_);
    }

private:
    void Restore(const std::wstring& name, const std::optional<RawValue>& raw) {
        win::UniqueRegKey key;
        if (::RegOpenKeyExW(cache_.root, cache_.subkey.c_str(), 0, KEY_SET_VALUE | cache_.view, key.put()) !=
            ERROR_SUCCESS)
            return;
        if (raw)
            ::RegSetValueExW(key.get(), name.c_str(), 0, raw->type, reinterpret_cast<const BYTE*>(raw->bytes.data()),
                             static_cast<DWORD>(raw->bytes.size()));
        else
            ::RegDeleteValueW(key.get(), name.c_str());
    }

    CacheLocation cache_;
    std::wstring createdRoot_;
    std::optional<RawValue> value_, old_;
};

// ---- A probe that answers with chosen components -------------------------------

class FakeProbe final : public IHardwareProbe {
public:
    // "mid"
    std::string midProcessor, midDisk, midMac;
    int midQueries = 0;
    // "mid2": what the machine answers before and after the pause
    Mid2Components before, after;
    bool elevated = true;
    bool guidWorks = true;
    int pauses = 0;
    std::vector<std::string> asked;

    std::string MidProcessorText() override { return ++midQueries, midProcessor; }
    std::string MidDiskSerial() override { return ++midQueries, midDisk; }
    std::string MidMacAddress() override { return ++midQueries, midMac; }

    std::string Mid2ProcessorText() override { return Answer("processor", &Mid2Components::processor); }
    std::string Mid2AdapterText() override { return Answer("adapter", &Mid2Components::adapter); }
    std::string Mid2DiskText() override { return Answer("disk", &Mid2Components::disk); }
    bool IsElevated() override { return elevated; }
    bool NewGuid(GUID& guid) override {
        guid = {0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}};
        return guidWorks;
    }
    void Pause(DWORD) override { ++pauses; }

private:
    std::string Answer(const char* name, std::string Mid2Components::*slot) {
        asked.push_back(std::string(pauses ? "after:" : "") + name);
        return (pauses ? after : before).*slot;
    }
};

// Components and their identifiers (SHA-1 and CRC-8 worked out independently).
const char kAdapter[] = "001122AABBCC";
const char kDisk[] = "WD-WCC4E1234567WDC WD10EZEX-08WN4A0";
const char kProcessor[] = "GenuineIntel,906ea,Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz";
const Mid2Components kFullSet{kAdapter, kDisk, kProcessor};
const Mid2Components kAdapterSet{kAdapter, "", kProcessor};
const Mid2Components kDiskSet{"", kDisk, kProcessor};
const Mid2Components kProcessorSet{"", "", kProcessor};
const Mid2Components kNothing{"", "", ""};

const char kFullId[] = "91540e8193d3f6f7a78938ae5afa4bbbc0b29f552b57";
const char kFullNotElevatedId[] = "eeeeeeee93d3f6f7a78938ae5afa4bbbc0b29f552ba7";
const char kAdapterProcessorId[] = "a17c9c9b88b52a192274a694b2fe5bd5574cf2e42997";
const char kDiskProcessorId[] = "cdb28a710017a9bd28d6431febfb42418822428a2a38";
const char kDiskOnlyId[] = "00a5179dbe11493b4d002ff5ea980cbca1e64b1c22d2";
const char kNewRandomId[] = "ffffffff33221100554477668899aabbccddeeff101a";
const char kZerosId[] = "000000000000000000000000000000000000000010a1";
const char kCachedRandomId[] = "ffffffff0123456789abcdef0123456789abcdef1061";
const char kCachedRandomUpperId[] = "FFFFFFFF0123456789ABCDEF0123456789ABCDEF1070";
const char kBadCheckId[] = "91540e8193d3f6f7a78938ae5afa4bbbc0b29f552b58";

bool Mid2WellFormed(const std::string& id) {
    if (!std::regex_match(id, std::regex("[0-9a-f]{44}"))) return false;
    return std::stoul(id.substr(42), nullptr, 16) == Crc8Maxim(id.data(), 42);
}

}  // namespace

// ---- Digests --------------------------------------------------------------------

TEST(MidHash, MatchesTheMakersDigestVectors) {
    struct Case {
        std::string text;
        const char* digest;
    } cases[] = {
        {"abc", "ab32b7d610b8276088dc6cdcfe9adbf3"},
        {"", "5d2735c78b4ad61d0f6b5933aef45e4f"},
        {"a", "a8740d3f66c9cb35724648b256b85083"},
        {"message digest", "36f8389570cb7ccdaafdb7c95941de27"},
        {std::string(55, 'a'), "d1de83ec7560036ac2806b328e416569"},  // padding fits the block
        {std::string(56, 'a'), "68659628a1ec2b4918c0a7536b4f4749"},  // padding needs a new block
        {std::string(63, 'a'), "0e97996066e460b0600b57bff67265a6"},
        {std::string(64, 'a'), "82f84856aee7de736c15364291f85670"},
        {std::string(259, 'x'), "cea38ec154f7bd2dbf6e08688fbc014c"},
        {std::string(300, 'x'), "cea38ec154f7bd2dbf6e08688fbc014c"},  // cut to 259 bytes
        {"0123456789abcdef0123456789abcdef", "4866bcb2b6e499cdf543abf556eea2d1"},
    };
    for (const Case& c : cases) EXPECT_EQ(MidHash(c.text), c.digest) << "length " << c.text.size();
}

TEST(MidHash, SharesItsRoundsWithStandardMd5) {
    uint8_t digest[16];
    Md5Digest("abc", 3, digest);
    EXPECT_EQ(std::memcmp(digest, "\x90\x01\x50\x98\x3c\xd2\x4f\xb0\xd6\x96\x3f\x7d\x28\xe1\x7f\x72", 16), 0);
    Md5Digest("", 0, digest);
    EXPECT_EQ(std::memcmp(digest, "\xd4\x1d\x8c\xd9\x8f\x00\xb2\x04\xe9\x80\x09\x98\xec\xf8\x42\x7e", 16), 0);
}

TEST(Crc8Maxim, MatchesCheckValues) {
    EXPECT_EQ(Crc8Maxim("123456789", 9), 0xA1);
    EXPECT_EQ(Crc8Maxim("", 0), 0x00);
    EXPECT_EQ(Crc8Maxim("Lumora", 6), 0x5C);
}

TEST(Sha1, MatchesFips180Vectors) {
    struct Case {
        const char* text;
        const char* digest;
    } cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    };
    for (const Case& c : cases) {
        std::string hex;
        ASSERT_TRUE(Sha1Hex(c.text, hex));
        EXPECT_EQ(hex, c.digest) << c.text;
    }
}

// ---- Composition -----------------------------------------------------------------

TEST(ComposeMid2, BuildsHashFlagsAndCheckValue) {
    struct Case {
        const char* name;
        Mid2Components components;
        bool elevated;
        bool guidWorks;
        const char* id;
        bool real;
    } cases[] = {
        {"adapter, disk and processor", kFullSet, true, true, kFullId, true},
        {"not elevated", kFullSet, false, true, kFullNotElevatedId, true},
        {"adapter and processor", kAdapterSet, true, true, kAdapterProcessorId, true},
        {"disk alone", {"", kDisk, ""}, true, true, kDiskOnlyId, true},
        {"processor alone is random", kProcessorSet, true, true, kNewRandomId, false},
        {"random keeps its prefix when not elevated", kNothing, false, true, kNewRandomId, false},
        {"no GUID: forty zeros", kNothing, true, false, kZerosId, false},
        {"no GUID, not elevated: zeros unchanged", kNothing, false, false, kZerosId, false},
    };
    for (const Case& c : cases) {
        FakeProbe probe;
        probe.guidWorks = c.guidWorks;
        std::string id;
        EXPECT_EQ(ComposeMid2(c.components, c.elevated, probe, id), c.real) << c.name;
        EXPECT_EQ(id, c.id) << c.name;
        EXPECT_TRUE(Mid2WellFormed(id)) << c.name;
    }
}

// ---- "mid2" cache values ---------------------------------------------------------

TEST(Mid2Cache, AcceptsOnlyCheckedStringsOf44Characters) {
    struct Case {
        const char* name;
        RawValue raw;
        bool valid;
        bool random;
    } cases[] = {
        {"hash identifier", Sz(kFullId), true, false},
        {"expandable string", Sz(kFullId, true, REG_EXPAND_SZ), true, false},
        {"random identifier", Sz(kCachedRandomId), true, true},
        {"random identifier in capitals", Sz(kCachedRandomUpperId), true, true},
        {"not-elevated identifier", Sz(kFullNotElevatedId), true, false},
        {"wrong check value", Sz(kBadCheckId), false, false},
        {"no terminating zero", Sz(kFullId, false), false, false},
        {"43 characters", Sz(std::string(kFullId).substr(1)), false, false},
        {"45 characters", Sz(std::string(kFullId) + "0"), false, false},
        {"two terminating zeros", {REG_SZ, Sz(kFullId).bytes + std::string(2, '\0')}, false, false},
        {"string bytes as binary", {REG_BINARY, Sz(kFullId).bytes}, false, false},
        {"number", Dword(44), false, false},
        {"empty", Sz(""), false, false},
        {"long text", Sz(std::string(3000, 'f')), false, false},
        {"not hex, check value matching", Sz("zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzze2"), false, false},
    };
    for (const Case& c : cases) {
        ScratchKey scratch;
        scratch.Set(L"m2", c.raw);
        Mid2CacheState state = ReadMid2Cache(scratch.Mid2());
        EXPECT_EQ(state.valid, c.valid) << c.name;
        EXPECT_EQ(state.random, c.random) << c.name;
    }
}

TEST(Mid2Cache, WriteCreatesKeyAndKeepsDifferentPreviousValue) {
    ScratchKey scratch;
    ASSERT_FALSE(scratch.KeyExists());
    ASSERT_TRUE(WriteMid2Cache(scratch.Mid2(), kFullId));
    EXPECT_EQ(scratch.Text(L"m2"), std::string(kFullId));
    EXPECT_EQ(scratch.Raw(L"m2")->bytes.size(), 45 * sizeof(wchar_t));  // with its terminating zero
    EXPECT_FALSE(scratch.Text(L"m2_old"));

    ASSERT_TRUE(WriteMid2Cache(scratch.Mid2(), kAdapterProcessorId));
    EXPECT_EQ(scratch.Text(L"m2"), std::string(kAdapterProcessorId));
    EXPECT_EQ(scratch.Text(L"m2_old"), std::string(kFullId));

    // The same value in other letter case is no "previous value".
    std::string upper = kAdapterProcessorId;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    ASSERT_TRUE(WriteMid2Cache(scratch.Mid2(), upper));
    EXPECT_EQ(scratch.Text(L"m2_old"), std::string(kFullId));
}

// ---- "mid2" decision -------------------------------------------------------------

TEST(ResolveMid2, FollowsTheDecisionRules) {
    struct Case {
        const char* name;
        Mid2Components before;
        Mid2Components after;
        bool elevated;
        std::optional<RawValue> cache;
        const char* expected;
        std::optional<std::string> storedAfter;  // nullopt: no "m2" value at all
        std::optional<std::string> oldAfter;
        int pauses;
        bool guidWorks = true;
    } cases[] = {
        {"valid cache, not elevated: taken as is", kFullSet, kFullSet, false, Sz(kAdapterProcessorId),
         kAdapterProcessorId, std::string(kAdapterProcessorId), std::nullopt, 0},
        {"random cache, not elevated: taken as is", kFullSet, kFullSet, false, Sz(kCachedRandomId), kCachedRandomId,
         std::string(kCachedRandomId), std::nullopt, 0},
        {"no cache, not elevated: eeeeeeee prefix", kFullSet, kFullSet, false, std::nullopt, kFullNotElevatedId,
         std::string(kFullNotElevatedId), std::nullopt, 0},
        {"no cache, not elevated, no hardware: random", kNothing, kNothing, false, std::nullopt, kNewRandomId,
         std::string(kNewRandomId), std::nullopt, 1},
        {"elevated run replaces the not-elevated value", kFullSet, kFullSet, true, Sz(kFullNotElevatedId), kFullId,
         std::string(kFullId), std::string(kFullNotElevatedId), 0},
        {"different value, both components: written at once", kFullSet, kFullSet, true, Sz(kAdapterProcessorId),
         kFullId, std::string(kFullId), std::string(kAdapterProcessorId), 0},
        {"adapter only, wait finds nothing: the first value is written", kAdapterSet, kAdapterSet, true, Sz(kFullId),
         kAdapterProcessorId, std::string(kAdapterProcessorId), std::string(kFullId), 1},
        {"adapter only, wait finds the disk: composed again", kAdapterSet, kFullSet, true, Sz(kCachedRandomId),
         kFullId, std::string(kFullId), std::string(kCachedRandomId), 1},
        {"no hardware, random cache: kept without waiting", kProcessorSet, kFullSet, true, Sz(kCachedRandomId),
         kCachedRandomId, std::string(kCachedRandomId), std::nullopt, 0},
        {"no hardware, random cache in capitals: kept", kNothing, kNothing, true, Sz(kCachedRandomUpperId),
         kCachedRandomUpperId, std::string(kCachedRandomUpperId), std::nullopt, 0},
        {"no hardware, no cache: random stored", kProcessorSet, kProcessorSet, true, std::nullopt, kNewRandomId,
         std::string(kNewRandomId), std::nullopt, 1},
        {"no hardware, hash cache: replaced by random", kProcessorSet, kProcessorSet, true, Sz(kFullId), kNewRandomId,
         std::string(kNewRandomId), std::string(kFullId), 1},
        {"no hardware, disk after the wait", kProcessorSet, kDiskSet, true, std::nullopt, kDiskProcessorId,
         std::string(kDiskProcessorId), std::nullopt, 1},
        {"adapter only, no cache, nothing more after the wait", kAdapterSet, kAdapterSet, true, std::nullopt,
         kAdapterProcessorId, std::string(kAdapterProcessorId), std::nullopt, 1},
        {"no GUID, no cache: forty zeros stored", kNothing, kNothing, true, std::nullopt, kZerosId,
         std::string(kZerosId), std::nullopt, 1, false},
        {"no GUID, random cache: kept", kNothing, kNothing, true, Sz(kCachedRandomId), kCachedRandomId,
         std::string(kCachedRandomId), std::nullopt, 0, false},
        {"wrong check value: as without cache", kFullSet, kFullSet, true, Sz(kBadCheckId), kFullId,
         std::string(kFullId), std::string(kBadCheckId), 0},
        {"wrong check value, not elevated", kFullSet, kFullSet, false, Sz(kBadCheckId), kFullNotElevatedId,
         std::string(kFullNotElevatedId), std::string(kBadCheckId), 0},
        {"number instead of text, not elevated", kFullSet, kFullSet, false, Dword(7), kFullNotElevatedId,
         std::string(kFullNotElevatedId), std::nullopt, 0},
        {"43 characters, elevated", kFullSet, kFullSet, true, Sz(std::string(kFullId).substr(1)), kFullId,
         std::string(kFullId), std::string(kFullId).substr(1), 0},
    };
    for (const Case& c : cases) {
        ScratchKey scratch;
        if (c.cache) scratch.Set(L"m2", *c.cache);
        FakeProbe probe;
        probe.before = c.before;
        probe.after = c.after;
        probe.elevated = c.elevated;
        probe.guidWorks = c.guidWorks;

        EXPECT_EQ(ResolveMid2(probe, scratch.Mid2()), c.expected) << c.name;
        EXPECT_EQ(scratch.Text(L"m2"), c.storedAfter) << c.name;
        EXPECT_EQ(scratch.Text(L"m2_old"), c.oldAfter) << c.name;
        EXPECT_EQ(probe.pauses, c.pauses) << c.name;
    }
}

TEST(ResolveMid2, NotElevatedWithValidCacheProbesNothing) {
    ScratchKey scratch;
    scratch.Set(L"m2", Sz(kFullId));
    FakeProbe probe;
    probe.before = kFullSet;
    probe.elevated = false;
    EXPECT_EQ(ResolveMid2(probe, scratch.Mid2()), kFullId);
    EXPECT_TRUE(probe.asked.empty());
}

TEST(ResolveMid2, SameValueIsKeptWithoutWriting) {
    ScratchKey scratch;
    // Stored as an expandable string: any write would turn it into REG_SZ.
    scratch.Set(L"m2", Sz(kFullId, true, REG_EXPAND_SZ));
    FakeProbe probe;
    probe.before = kFullSet;
    EXPECT_EQ(ResolveMid2(probe, scratch.Mid2()), kFullId);
    EXPECT_EQ(scratch.Raw(L"m2")->type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_FALSE(scratch.Raw(L"m2_old"));
    EXPECT_EQ(probe.pauses, 0);
}

TEST(ResolveMid2, RetryAsksOnlyForMissingComponents) {
    ScratchKey scratch;
    FakeProbe probe;
    probe.before = kAdapterSet;
    probe.after = kFullSet;
    EXPECT_EQ(ResolveMid2(probe, scratch.Mid2()), kFullId);
    EXPECT_EQ(probe.asked, (std::vector<std::string>{"adapter", "disk", "processor", "after:disk"}));
}

TEST(ResolveMid2, NotElevatedFirstRunThenElevatedRunReplacesIt) {
    ScratchKey scratch;
    FakeProbe first;
    first.before = first.after = kFullSet;
    first.elevated = false;
    EXPECT_EQ(ResolveMid2(first, scratch.Mid2()), kFullNotElevatedId);

    FakeProbe second = first;
    second.elevated = true;
    EXPECT_EQ(ResolveMid2(second, scratch.Mid2()), kFullId);
    EXPECT_EQ(scratch.Text(L"m2"), std::string(kFullId));

    FakeProbe third = second;
    third.elevated = false;
    third.asked.clear();
    EXPECT_EQ(ResolveMid2(third, scratch.Mid2()), kFullId);
    EXPECT_TRUE(third.asked.empty());
}

TEST(ResolveMid2, RandomIdentifierBecomesStableOnceStored) {
    ScratchKey scratch;
    FakeProbe elevated;
    elevated.before = elevated.after = kProcessorSet;
    std::string first = ResolveMid2(elevated, scratch.Mid2());
    EXPECT_EQ(first.substr(0, 8), "ffffffff");
    EXPECT_EQ(first.substr(40, 2), "10");
    for (bool isElevated : {true, false}) {
        FakeProbe later = elevated;
        later.elevated = isElevated;
        later.guidWorks = false;  // a new random value could not be made anyway
        EXPECT_EQ(ResolveMid2(later, scratch.Mid2()), first);
    }
}

// ---- The provider object ------------------------------------------------------------

TEST(NoxMid2, ComputesOnceAndCopiesWithinBounds) {
    ScratchKey scratch;
    FakeProbe probe;
    probe.before = probe.after = kFullSet;
    CNoxMID2 provider(probe, scratch.Mid2());

    std::vector<std::thread> threads;
    std::vector<std::wstring> seen(8);
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] {
            wchar_t buffer[50] = {};
            if (SUCCEEDED(provider.GetMid2(buffer, 50))) seen[i] = buffer;
        });
    for (auto& t : threads) t.join();
    for (const std::wstring& id : seen) EXPECT_EQ(id, L"91540e8193d3f6f7a78938ae5afa4bbbc0b29f552b57");
    EXPECT_EQ(probe.asked.size(), 3u);  // one computation for all callers

    wchar_t small[10];
    EXPECT_EQ(provider.GetMid2(small, 10), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_STREQ(small, L"91540e819");
    EXPECT_EQ(provider.GetMid2(nullptr, 50), E_INVALIDARG);

    INewMID* asNewMid = nullptr;
    ASSERT_EQ(provider.QueryInterface(IID_INewMID, reinterpret_cast<void**>(&asNewMid)), S_OK);
    EXPECT_EQ(asNewMid, static_cast<INewMID*>(&provider));
    void* other = &provider;
    EXPECT_EQ(provider.QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    IExtend& extend = provider;
    EXPECT_EQ(extend.Reserved1(0, 0, 0), E_NOTIMPL);
    EXPECT_EQ(extend.Invoke(1, 2, 3), E_NOTIMPL);
}

TEST(GetMid2, RejectsNullAndBuffersBelow50Characters) {
    wchar_t buffer[49] = {L'x'};
    EXPECT_EQ(GetMid2(buffer, 49), E_INVALIDARG);
    EXPECT_EQ(buffer[0], L'x');
    EXPECT_EQ(GetMid2(nullptr, 50), E_INVALIDARG);
}

// ---- "mid" ------------------------------------------------------------------------

TEST(ResolveMid, CacheAndStoringRules) {
    const std::string fullIdentity = "GenuineIntel:bfebfbffWD-WCC4E1234567001122AABBCC";
    const std::string fullId = "ba92a982e235f64a2e42565124b6ab09";
    const std::string fullStored = fullId + "a8c653024ebd5d5bac292fb9970e23b5";
    const std::string cachedId = "0123456789abcdef0123456789abcdef";
    const std::string cachedStored = cachedId + "4866bcb2b6e499cdf543abf556eea2d1";
    const std::string upperHash = cachedId + "4866BCB2B6E499CDF543ABF556EEA2D1";
    const std::string badHash = cachedId + "4866bcb2b6e499cdf543abf556eea2d2";
    const std::string nonHex = std::string(32, 'z') + "e3725fdba08c7ae93cbd5c949e28d847";

    struct Case {
        const char* name;
        std::optional<RawValue> cache;
        const char* processor;
        const char* disk;
        const char* mac;
        std::string expected;
        std::optional<std::string> storedAfter;
        std::optional<std::string> oldAfter;
        bool probed;
    } cases[] = {
        {"valid cache", AnsiSz(cachedStored), "GenuineIntel:bfebfbff", "WD-WCC4E1234567", "001122AABBCC", cachedId,
         cachedStored, std::nullopt, false},
        {"hash half in capitals", AnsiSz(upperHash), "x", "", "", cachedId, upperHash, std::nullopt, false},
        {"hash half wrong: recomputed, old value kept", AnsiSz(badHash), "GenuineIntel:bfebfbff", "WD-WCC4E1234567",
         "001122AABBCC", fullId, fullStored, badHash, true},
        {"no cache", std::nullopt, "GenuineIntel:bfebfbff", "WD-WCC4E1234567", "001122AABBCC", fullId, fullStored,
         std::nullopt, true},
        {"number instead of text", Dword(1), "GenuineIntel:bfebfbff", "WD-WCC4E1234567", "001122AABBCC", fullId,
         fullStored, std::nullopt, true},
        {"identifier alone", AnsiSz(fullId), "GenuineIntel:bfebfbff", "WD-WCC4E1234567", "001122AABBCC", fullId,
         fullStored, std::nullopt, true},
        {"over-long text", AnsiSz(std::string(2000, 'a')), "GenuineIntel:bfebfbff", "WD-WCC4E1234567",
         "001122AABBCC", fullId, fullStored, std::nullopt, true},
        {"not hex though hashed", AnsiSz(nonHex), "GenuineIntel:bfebfbff", "WD-WCC4E1234567", "001122AABBCC",
         fullId, fullStored, nonHex, true},
        {"processor alone", std::nullopt, "GenuineIntel:bfebfbff", "", "", "4a1ee4f255cc82a3373e7ea1bc88a46c",
         std::string("4a1ee4f255cc82a3373e7ea1bc88a46cf67ed882fa96ed393104ff137baf21d5"), std::nullopt, true},
        {"no hardware data: not stored", std::nullopt, "", "", "", "30908dae359c9665d70190674e7dc5a0", std::nullopt,
         std::nullopt, true},
    };
    ASSERT_EQ(MidHash(fullIdentity), fullId);
    for (const Case& c : cases) {
        ScratchKey scratch;
        if (c.cache) scratch.Set(L"mid", *c.cache, /*ansi=*/c.cache->type == REG_SZ);
        FakeProbe probe;
        probe.midProcessor = c.processor;
        probe.midDisk = c.disk;
        probe.midMac = c.mac;
        EXPECT_EQ(ResolveMid(probe, scratch.Mid()), c.expected) << c.name;
        EXPECT_EQ(scratch.Text(L"mid"), c.storedAfter) << c.name;
        EXPECT_EQ(scratch.Text(L"mid_old"), c.oldAfter) << c.name;
        EXPECT_EQ(probe.midQueries > 0, c.probed) << c.name;
    }
}

TEST(ResolveMid, StoresIdentifierWithHashAndFindsItAgain) {
    ScratchKey scratch;
    FakeProbe probe;
    probe.midProcessor = "AuthenticAMD:178bfbff";
    std::string id = ResolveMid(probe, scratch.Mid());
    std::optional<RawValue> raw = scratch.Raw(L"mid");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(scratch.Text(L"mid"), id + MidHash(id));

    probe.midQueries = 0;
    EXPECT_EQ(ResolveMid(probe, scratch.Mid()), id);
    EXPECT_EQ(probe.midQueries, 0);
    EXPECT_FALSE(scratch.Raw(L"mid_old"));
}

TEST(ResolveMid, IdentityTextIsCutAt4095Bytes) {
    ScratchKey a, b;
    FakeProbe longer, exact;
    longer.midProcessor = std::string(4000, 'p');
    longer.midDisk = std::string(200, 'd');
    longer.midMac = "001122AABBCC";
    exact.midProcessor = std::string(4000, 'p');
    exact.midDisk = std::string(95, 'd');
    // Both are equal within the digest's input anyway; the cut must not crash.
    EXPECT_EQ(ResolveMid(longer, a.Mid()), ResolveMid(exact, b.Mid()));
}

// ---- Probe rules ------------------------------------------------------------------

TEST(ProbeRules, WiredAdapterWinsOverSmallerWirelessOne) {
    using probe_rules::AdapterCandidate;
    struct Case {
        std::vector<AdapterCandidate> candidates;
        const char* expected;
    } cases[] = {
        {{{"0090F5AABBCC", false}, {"001122334455", true}}, "0090F5AABBCC"},
        {{{"001122334455", true}, {"0090F5AABBCC", false}}, "0090F5AABBCC"},
        {{{"0090F5AABBCC", false}, {"00000000000A", false}}, "00000000000A"},
        {{{"B0AAAAAAAAAA", true}, {"A0AAAAAAAAAA", true}}, "A0AAAAAAAAAA"},
        {{}, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(probe_rules::PickAdapterAddress(c.candidates), c.expected);
}

TEST(ProbeRules, PhysicalMediumDecidesAdapterKind) {
    struct Case {
        bool extendedOk;
        ULONG extended;
        bool plainOk;
        ULONG plain;
        bool wirelessBefore;
        bool kept;
        bool wirelessAfter;
    } cases[] = {
        {true, 14, false, 0, true, true, true},    // 802.3: kept as the class key said
        {true, 1, false, 0, false, true, true},    // wireless LAN
        {true, 9, false, 0, false, true, true},    // native 802.11
        {true, 5, true, 0, false, false, false},   // other extended medium: rejected
        {true, 0, true, 0, true, true, false},     // unspecified: plain medium says wired
        {false, 0, true, 9, false, true, true},
        {false, 0, true, 8, false, false, false},  // Bluetooth
        {false, 0, true, 2, false, false, false},  // cable modem
        {false, 0, false, 0, true, true, true},    // nothing known: kept unchanged
    };
    for (const Case& c : cases) {
        bool wireless = c.wirelessBefore;
        EXPECT_EQ(probe_rules::ApplyPhysicalMedium(c.extendedOk, c.extended, c.plainOk, c.plain, wireless), c.kept)
            << c.extended << "/" << c.plain;
        if (c.kept) {
            EXPECT_EQ(wireless, c.wirelessAfter) << c.extended << "/" << c.plain;
        }
    }
}

TEST(ProbeRules, IpHelperAdapterTypes) {
    bool wireless = false;
    EXPECT_TRUE(probe_rules::ClassifyIpAdapter(71, "Any", wireless));
    EXPECT_TRUE(wireless);
    EXPECT_TRUE(probe_rules::ClassifyIpAdapter(6, "Intel(R) Ethernet Connection", wireless));
    EXPECT_FALSE(wireless);
    EXPECT_TRUE(probe_rules::ClassifyIpAdapter(6, "Realtek WiFi Adapter", wireless));
    EXPECT_TRUE(wireless);
    EXPECT_TRUE(probe_rules::ClassifyIpAdapter(6, "Broadcom WIRELESS", wireless));
    EXPECT_TRUE(wireless);
    EXPECT_FALSE(probe_rules::ClassifyIpAdapter(24, "Loopback", wireless));
    EXPECT_FALSE(probe_rules::ClassifyIpAdapter(23, "PPP", wireless));
}

TEST(ProbeRules, DiskSerialTexts) {
    // ATA strings are stored with the two bytes of every word swapped.
    auto swapped = [](std::string text) {
        for (size_t i = 0; i + 1 < text.size(); i += 2) std::swap(text[i], text[i + 1]);
        return text;
    };
    uint8_t identify[512] = {};
    std::memcpy(identify + 20, swapped("    WD-WCC4E1234567 ").data(), 20);
    std::memcpy(identify + 54, swapped("WDC WD10EZEX-08WN4A0" + std::string(20, ' ')).data(), 40);
    EXPECT_EQ(probe_rules::MidIdentifySerial(identify, sizeof identify), "    WD-WCC4E1234567");
    EXPECT_EQ(probe_rules::Mid2IdentifyText(identify, sizeof identify, 20, 40), "WD-WCC4E1234567");
    EXPECT_EQ(probe_rules::Mid2IdentifyText(identify, sizeof identify, 54, 94), "WDC WD10EZEX-08WN4A0");
    EXPECT_EQ(probe_rules::MidIdentifySerial(identify, 39), "");

    struct MidCase {
        const char* raw;
        const char* expected;
    } midCases[] = {
        {"3157442d4343", "W1-DCC"},  // hex pairs "1WD-CC", then swapped
        {"  5731", "W"},             // a blank counts as 0; a zero byte ends the text
        {"WD-WCC4E", "DWW-CCE4"},    // plain text, swapped
        {"0102", "1020"},            // decodes to control bytes: taken as text
        {"ab\x01" "c", ""},          // unprintable text
    };
    for (const MidCase& c : midCases) EXPECT_EQ(probe_rules::MidDescriptorSerial(c.raw), c.expected) << c.raw;

    const std::string hex40 = "2020202020202057442d57434334453132333435";  // "       WD-WCC4E12345"
    struct Mid2Case {
        std::string raw;
        bool swap;
        const char* expected;
    } mid2Cases[] = {
        {"  S3Z9NB0K123456  ", false, "S3Z9NB0K123456"},
        {"3SZ9BNK0", true, "S39ZNB0K"},  // Windows 7 hands the pairs out swapped
        {hex40, false, "WD-WCC4E12345"},
        {hex40.substr(2), false, "20202020202057442d57434334453132333435"},  // 38 digits: text
        {"abc", false, ""},
        {std::string(41, 'A'), false, ""},
    };
    for (const Mid2Case& c : mid2Cases)
        EXPECT_EQ(probe_rules::Mid2DescriptorSerial(c.raw, c.swap), c.expected) << c.raw;
}

TEST(ProbeRules, SystemDiskCandidatesAndDescriptorBounds) {
    EXPECT_TRUE(probe_rules::IsSystemDiskCandidate(false, 3));    // ATA
    EXPECT_TRUE(probe_rules::IsSystemDiskCandidate(false, 17));   // NVMe
    EXPECT_TRUE(probe_rules::IsSystemDiskCandidate(false, 11));   // SATA
    for (int bus : {1, 4, 7, 10, 14, 15}) EXPECT_FALSE(probe_rules::IsSystemDiskCandidate(false, bus)) << bus;
    EXPECT_FALSE(probe_rules::IsSystemDiskCandidate(true, 3));

    uint8_t descriptor[16] = {};
    std::memcpy(descriptor + 10, "ABCDEF", 6);  // no terminating zero before the end
    std::string text;
    EXPECT_TRUE(probe_rules::DescriptorText(descriptor, sizeof descriptor, 10, text));
    EXPECT_EQ(text, "ABCDEF");
    EXPECT_FALSE(probe_rules::DescriptorText(descriptor, sizeof descriptor, 0, text));
    EXPECT_FALSE(probe_rules::DescriptorText(descriptor, sizeof descriptor, 16, text));
    EXPECT_FALSE(probe_rules::DescriptorText(descriptor, sizeof descriptor, 0xFFFFFFF0u, text));
}

TEST(ProbeRules, VendorErratumAndTrimming) {
    uint32_t ebx, edx, ecx;
    std::memcpy(&ebx, "Genu", 4);
    std::memcpy(&edx, "ineI", 4);
    std::memcpy(&ecx, "otel", 4);
    EXPECT_EQ(probe_rules::VendorText(ebx, edx, ecx), "GenuineIntel");
    std::memcpy(&ecx, "ntel", 4);
    EXPECT_EQ(probe_rules::VendorText(ebx, edx, ecx), "GenuineIntel");
    EXPECT_EQ(probe_rules::TrimBlanks("  a b  "), "a b");
    EXPECT_EQ(probe_rules::TrimTrailingBlanks("  a b  "), "  a b");
    const uint8_t mac[6] = {0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xff};
    EXPECT_EQ(probe_rules::MacText(mac), "001A2BC3D4FF");
}

// ---- The real machine (under Wine: whatever it answers) -------------------------

TEST(RealProbe, AnswersWithWellFormedComponents) {
    IHardwareProbe& probe = RealHardwareProbe();
    std::string midProcessor = probe.MidProcessorText();
    EXPECT_TRUE(std::regex_match(midProcessor, std::regex("[ -~]{0,12}:[0-9a-f]{8}"))) << midProcessor;
    std::string mid2Processor = probe.Mid2ProcessorText();
    EXPECT_TRUE(std::regex_match(mid2Processor, std::regex("[^,]*,[0-9a-f]+,.*"))) << mid2Processor;
    EXPECT_EQ(probe.Mid2ProcessorText(), mid2Processor);

    std::string mac = probe.MidMacAddress();
    EXPECT_TRUE(mac.empty() || std::regex_match(mac, std::regex("[0-9A-F]{12}"))) << mac;
    std::string adapter = probe.Mid2AdapterText();
    EXPECT_TRUE(adapter.empty() || std::regex_match(adapter, std::regex("[0-9A-F]{12}"))) << adapter;
    std::string disk = probe.Mid2DiskText();
    std::string serial = probe.MidDiskSerial();
    GUID guid;
    EXPECT_TRUE(probe.NewGuid(guid));
    std::printf("[ probe    ] mid cpu \"%s\", mid2 cpu \"%s\", mac \"%s\", adapter \"%s\", disk \"%s\", serial \"%s\", "
                "elevated %d\n",
                midProcessor.c_str(), mid2Processor.c_str(), mac.c_str(), adapter.c_str(), disk.c_str(),
                serial.c_str(), probe.IsElevated() ? 1 : 0);
}

TEST(RealMachine, GetMidIsStableAndCachedInTheMachineKey) {
    CacheLocation cache = MidCacheLocation();
    SavedValues saved(cache);
    {
        win::UniqueRegKey key;
        if (::RegOpenKeyExW(cache.root, cache.subkey.c_str(), 0, KEY_SET_VALUE | cache.view, key.put()) ==
            ERROR_SUCCESS)
            ::RegDeleteValueW(key.get(), L"mid");
    }
    wchar_t first[64] = {}, second[64] = {};
    GetMid(first, 64);
    GetMid(second, 64);
    EXPECT_TRUE(std::regex_match(std::string(first, first + wcslen(first)), std::regex("[0-9a-f]{32}")));
    EXPECT_STREQ(first, second);

    std::string id(first, first + 32);
    std::optional<std::string> stored = GetText(cache.root, cache.subkey, cache.view, L"mid");
    if (RealHardwareProbe().MidProcessorText().empty() && RealHardwareProbe().MidMacAddress().empty()) {
        EXPECT_EQ(id, MidHash(kMidFailedText));
    } else {
        EXPECT_EQ(stored, id + MidHash(id));
    }

    wchar_t cut[8];
    GetMid(cut, 8);
    EXPECT_EQ(std::wstring(cut), std::wstring(first, 7));
    wchar_t untouched[4] = {L'x', 0, 0, 0};
    GetMid(untouched, 0);
    GetMid(nullptr, 10);
    EXPECT_EQ(untouched[0], L'x');
}

TEST(RealMachine, GetMid2FromConcurrentCallersIsOneWellFormedValue) {
    CacheLocation cache = Mid2CacheLocation();
    SavedValues saved(cache);
    {
        win::UniqueRegKey key;
        if (::RegOpenKeyExW(cache.root, cache.subkey.c_str(), 0, KEY_SET_VALUE | cache.view, key.put()) ==
            ERROR_SUCCESS)
            ::RegDeleteValueW(key.get(), L"m2");
    }
    std::vector<std::thread> threads;
    std::vector<std::wstring> seen(4);
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] {
            wchar_t buffer[64] = {};
            if (SUCCEEDED(GetMid2(buffer, 64))) seen[i] = buffer;
        });
    for (auto& t : threads) t.join();
    std::string id(seen[0].begin(), seen[0].end());
    for (const std::wstring& other : seen) EXPECT_EQ(other, seen[0]);
    ASSERT_TRUE(Mid2WellFormed(id)) << id;
    std::set<std::string> possibleFlags = {"10", "21", "22", "23", "29", "2a", "2b"};
    EXPECT_EQ(possibleFlags.count(id.substr(40, 2)), 1u) << id;
    bool hashed = id.substr(40, 2) != "10";
    if (!hashed) {
        EXPECT_EQ(id.substr(0, 8), "ffffffff");
    }
    if (RealHardwareProbe().IsElevated()) {
        EXPECT_EQ(GetText(cache.root, cache.subkey, cache.view, L"m2"), id);
    } else if (hashed) {
        EXPECT_EQ(id.substr(0, 8), "eeeeeeee");
    }
    std::printf("[ mid2     ] %s\n", id.c_str());
}
