#include <gtest/gtest.h>

#include <cwchar>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>

#include "support/TestSupport.h"
#include "sysinfo/SystemChecks.h"
#include "sysinfo/SystemChecksDetail.h"
#include "sysinfo/TrustedPublishers.h"

using system_checks::SignatureReport;

namespace {

// Subjects of the build's test certificates (tools/make-test-certs.sh).
const wchar_t kTrustedSigner[] = L"Lumora Studio Co., Ltd.";
const wchar_t kExpiredSigner[] = L"深圳市凯尔壁纸软件有限公司";
const wchar_t kWrongSigner[] = L"Northwind Utility Software Ltd.";
const wchar_t kStranger[] = L"Someone Else Ltd.";

// The test programs made at build time (cmake/Signing.cmake).
std::wstring TestProgram(const wchar_t* name) {
    return testing_support::BuildDir() + L"\\testdata\\signing\\" + name;
}

bool AcceptedForSigner(LONG result) {
    return result == 0 || result == static_cast<LONG>(CERT_E_EXPIRED);
}

// A reader that must never be asked.
SignatureReport UnexpectedRead(const wchar_t* path) {
    ADD_FAILURE() << "signature read for " << testing::PrintToString(std::wstring(path));
    return SignatureReport();
}

struct SignedFileCase {
    const wchar_t* file;
    bool trusted;
    const wchar_t* signer;  // name on the signing certificate; null when none can be read
};

class SignedFiles : public ::testing::TestWithParam<SignedFileCase> {};
void PrintTo(const SignedFileCase& c, std::ostream* os) { *os << testing::PrintToString(c.file); }

}  // namespace

// Through the real WinVerifyTrust. Whether the test root makes a chain
// "untrusted" is the platform's affair, so IsSignedBy for the file's own signer
// is held to the verdict the platform gave; the verdicts themselves are
// covered by the table further down.
TEST_P(SignedFiles, BothChecksFollowTheSignature) {
    const SignedFileCase& c = GetParam();
    std::wstring path = TestProgram(c.file);
    SCOPED_TRACE(testing::PrintToString(path));

    EXPECT_EQ(IsTrustedFile(path.c_str()), c.trusted);
    SignatureReport report = system_checks::ReadFileSignature(path.c_str());
    EXPECT_EQ(report.hasSigner, c.signer != nullptr) << std::hex << report.trustResult;
    EXPECT_FALSE(IsSignedBy(path.c_str(), kStranger));
    if (c.signer != nullptr) {
        EXPECT_EQ(report.signerName, c.signer);
        EXPECT_EQ(IsSignedBy(path.c_str(), c.signer), AcceptedForSigner(report.trustResult));
    } else {
        EXPECT_FALSE(IsSignedBy(path.c_str(), kTrustedSigner));
    }
}

INSTANTIATE_TEST_SUITE_P(
    TestPrograms, SignedFiles,
    ::testing::Values(SignedFileCase{L"signed.exe", true, kTrustedSigner},
                      SignedFileCase{L"expired.exe", true, kExpiredSigner},
                      SignedFileCase{L"wrong-signer.exe", false, kWrongSigner},
                      SignedFileCase{L"tampered.exe", false, nullptr},
                      SignedFileCase{L"unsigned.exe", false, nullptr},
                      SignedFileCase{L"missing.exe", false, nullptr}));

TEST(SignedFiles, DamageAndAbsenceOfASignatureAreReportedAsSuch) {
    EXPECT_EQ(system_checks::ReadFileSignature(TestProgram(L"tampered.exe").c_str()).trustResult,
              static_cast<LONG>(TRUST_E_BAD_DIGEST));
    EXPECT_EQ(system_checks::ReadFileSignature(TestProgram(L"unsigned.exe").c_str()).trustResult,
              static_cast<LONG>(TRUST_E_NOSIGNATURE));
}

TEST(SignedFiles, TheBuiltUninstallerIsTestSigned) {
    std::wstring uninstaller = testing_support::BuildDir() + L"\\Uninstall.exe";
    EXPECT_TRUE(IsTrustedFile(uninstaller.c_str()));
}

TEST(SignedFiles, NullArguments) {
    EXPECT_FALSE(IsTrustedFile(nullptr));
    EXPECT_TRUE(IsSignedBy(nullptr, nullptr));
    EXPECT_TRUE(IsSignedBy(TestProgram(L"missing.exe").c_str(), nullptr));
    EXPECT_TRUE(IsSignedBy(TestProgram(L"unsigned.exe").c_str(), nullptr));
    EXPECT_FALSE(IsSignedBy(nullptr, kTrustedSigner));
}

namespace {

struct VerdictCase {
    LONG trustResult;
    bool trusted;
    bool signedBy;
};

class ChainVerdicts : public ::testing::TestWithParam<VerdictCase> {};
void PrintTo(const VerdictCase& c, std::ostream* os) { *os << std::hex << "0x" << c.trustResult; }

}  // namespace

// The signed program as the platform reads it, with the chain verdict that a
// Windows system with or without the test root would give.
TEST_P(ChainVerdicts, DecideBothChecks) {
    const VerdictCase& c = GetParam();
    std::wstring path = TestProgram(L"signed.exe");
    SignatureReport real = system_checks::ReadFileSignature(path.c_str());
    ASSERT_TRUE(real.hasSigner);
    auto read = [&](const wchar_t*) {
        SignatureReport report = real;
        report.trustResult = c.trustResult;
        return report;
    };
    EXPECT_EQ(system_checks::CheckTrustedFile(path.c_str(), 10, read), c.trusted);
    EXPECT_EQ(system_checks::CheckSignedBy(path.c_str(), kTrustedSigner, 10, read), c.signedBy);
    EXPECT_EQ(system_checks::CheckSignedBy(path.c_str(), L"lumora studio co., ltd.", 10, read), c.signedBy);
    EXPECT_FALSE(system_checks::CheckSignedBy(path.c_str(), kWrongSigner, 10, read));
}

INSTANTIATE_TEST_SUITE_P(
    Results, ChainVerdicts,
    ::testing::Values(VerdictCase{0, true, true},
                      VerdictCase{static_cast<LONG>(CERT_E_EXPIRED), true, true},
                      VerdictCase{static_cast<LONG>(CERT_E_UNTRUSTEDROOT), true, false},
                      VerdictCase{static_cast<LONG>(CERT_E_CHAINING), false, false},
                      VerdictCase{static_cast<LONG>(CERT_E_REVOKED), false, false},
                      VerdictCase{static_cast<LONG>(TRUST_E_BAD_DIGEST), false, false}));

TEST(SignatureDecision, OnWindowsXpEveryExistingFileIsTrustedUnread) {
    std::wstring unsigned_ = TestProgram(L"unsigned.exe");
    std::wstring missing = TestProgram(L"missing.exe");
    EXPECT_TRUE(system_checks::CheckTrustedFile(unsigned_.c_str(), 5, UnexpectedRead));
    EXPECT_TRUE(system_checks::CheckSignedBy(unsigned_.c_str(), kWrongSigner, 5, UnexpectedRead));
    EXPECT_FALSE(system_checks::CheckTrustedFile(missing.c_str(), 5, UnexpectedRead));
    EXPECT_FALSE(system_checks::CheckSignedBy(missing.c_str(), kWrongSigner, 5, UnexpectedRead));
    EXPECT_FALSE(system_checks::CheckTrustedFile(unsigned_.c_str(), 6, system_checks::ReadFileSignature));
}

TEST(SignatureDecision, AFailingVerificationMeansNotTrusted) {
    auto throwing = [](const wchar_t*) -> SignatureReport { throw std::runtime_error("damaged file"); };
    auto nameless = [](const wchar_t*) {
        SignatureReport report;
        report.trustResult = 0;
        report.signerName = kTrustedSigner;  // not read from a certificate
        return report;
    };
    std::wstring path = TestProgram(L"signed.exe");
    EXPECT_FALSE(system_checks::CheckTrustedFile(path.c_str(), 10, throwing));
    EXPECT_FALSE(system_checks::CheckSignedBy(path.c_str(), kTrustedSigner, 10, throwing));
    EXPECT_FALSE(system_checks::CheckTrustedFile(path.c_str(), 10, nameless));
    EXPECT_FALSE(system_checks::CheckSignedBy(path.c_str(), kTrustedSigner, 10, nameless));
}

TEST(TrustedPublishers, SeventeenDistinctNamesMatchedIgnoringCase) {
    ASSERT_EQ(kTrustedPublisherCount, 17u);
    std::set<std::wstring> names;
    size_t english = 0;
    for (size_t i = 0; i < kTrustedPublisherCount; ++i) {
        std::wstring name = kTrustedPublisherNames[i];
        names.insert(name);
        bool ascii = true;
        for (wchar_t ch : name) ascii = ascii && ch < 0x80;
        english += ascii ? 1 : 0;
        EXPECT_TRUE(IsTrustedPublisherName(name.c_str()));
    }
    EXPECT_EQ(names.size(), 17u);
    EXPECT_EQ(english, 3u);
    EXPECT_TRUE(IsTrustedPublisherName(L"lumora studio CO., LTD."));
    EXPECT_TRUE(IsTrustedPublisherName(L"深圳市鹿魔拉科技有限公司"));
    EXPECT_FALSE(IsTrustedPublisherName(L"Lumora Studio Co., Ltd"));
    EXPECT_FALSE(IsTrustedPublisherName(L""));
    EXPECT_FALSE(IsTrustedPublisherName(nullptr));
}

namespace {

struct MachineCase {
    const char* label;
    system_checks::MachineFacts facts;
    bool is64Bit;
};

class Machines : public ::testing::TestWithParam<MachineCase> {};
void PrintTo(const MachineCase& c, std::ostream* os) { *os << c.label; }

}  // namespace

TEST_P(Machines, Is64BitMachine) {
    EXPECT_EQ(system_checks::Is64BitMachine(GetParam().facts), GetParam().is64Bit);
}

INSTANTIATE_TEST_SUITE_P(
    Architectures, Machines,
    ::testing::Values(MachineCase{"x64", {true, 9, true, 0x8664}, true},
                      MachineCase{"itanium", {true, 6, false, 0}, true},
                      MachineCase{"arm64 native", {true, 12, false, 0}, true},
                      MachineCase{"x86 process on arm64", {true, 0, true, 0xAA64}, true},
                      MachineCase{"x86", {true, 0, true, 0x014C}, false},
                      MachineCase{"x86 without IsWow64Process2", {true, 0, false, 0}, false},
                      MachineCase{"no GetNativeSystemInfo", {false, 9, true, 0xAA64}, false}));

TEST(SystemFacts, TheWow64PrefixIsA64BitSystem) {
    EXPECT_TRUE(Is64BitSystem());
    EXPECT_TRUE(Is64BitSystem());  // cached
}

TEST(SystemFacts, Windows10VersionNumbers) {
    EXPECT_TRUE(system_checks::IsWindows10Version(10, 0));
    EXPECT_TRUE(system_checks::IsWindows10Version(11, 0));
    EXPECT_TRUE(system_checks::IsWindows10Version(6, 4));
    EXPECT_FALSE(system_checks::IsWindows10Version(6, 3));
    EXPECT_FALSE(system_checks::IsWindows10Version(6, 1));
    EXPECT_FALSE(system_checks::IsWindows10Version(5, 1));
    EXPECT_EQ(IsWindows10OrLater(), IsWindows10OrLater());
}

namespace {

struct VersionTextCase {
    const wchar_t* file;
    bool preferString;  // 32-bit Windows 10
    bool found;
    const wchar_t* text;
};

class VersionTexts : public ::testing::TestWithParam<VersionTextCase> {};
void PrintTo(const VersionTextCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.file) << (c.preferString ? " string" : " fixed");
}

}  // namespace

// The fixture's fixed version is 5.6.7.8, its string version "1, 2, 3, 4".
TEST_P(VersionTexts, ReadFileVersionText) {
    const VersionTextCase& c = GetParam();
    std::wstring text = L"untouched";
    EXPECT_EQ(system_checks::ReadFileVersionText(TestProgram(c.file).c_str(), c.preferString, text), c.found);
    EXPECT_EQ(text, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, VersionTexts,
    ::testing::Values(VersionTextCase{L"unsigned.exe", false, true, L"5.6.7.8"},
                      VersionTextCase{L"unsigned.exe", true, true, L"1.2.3.4"},
                      VersionTextCase{L"signed.exe", true, true, L"1.2.3.4"},
                      VersionTextCase{L"version-blank.exe", true, true, L"5.6.7.8"},
                      VersionTextCase{L"version-large.exe", true, true, L"1.2.3.4"},
                      VersionTextCase{L"missing.exe", true, false, L"untouched"}));

TEST(VersionTexts, GetFileVersionTextOnA64BitSystemUsesTheFixedNumbers) {
    testing_support::ScopedTempDir dir;
    std::wstring notAProgram = dir.Join(L"notes.txt");
    ASSERT_TRUE(testing_support::WriteFileBytes(notAProgram, "no version here"));

    std::wstring text = L"untouched";
    EXPECT_TRUE(GetFileVersionText(TestProgram(L"unsigned.exe").c_str(), text));
    EXPECT_EQ(text, L"5.6.7.8");
    text = L"untouched";
    EXPECT_FALSE(GetFileVersionText(notAProgram.c_str(), text));
    EXPECT_FALSE(GetFileVersionText(nullptr, text));
    EXPECT_EQ(text, L"untouched");
}

namespace {

struct FixedVersionCase {
    const wchar_t* file;  // null: a null path
    size_t capacity;
    bool found;
    const wchar_t* buffer;  // null: left untouched
};

class FixedVersions : public ::testing::TestWithParam<FixedVersionCase> {};
void PrintTo(const FixedVersionCase& c, std::ostream* os) {
    *os << (c.file ? testing::PrintToString(c.file) : "null path") << " capacity " << c.capacity;
}

}  // namespace

TEST_P(FixedVersions, GetFixedFileVersion) {
    const FixedVersionCase& c = GetParam();
    wchar_t buffer[32];
    std::wmemset(buffer, L'#', 32);
    buffer[31] = L'\0';
    std::wstring path = c.file ? TestProgram(c.file) : std::wstring();
    EXPECT_EQ(GetFixedFileVersion(c.file ? path.c_str() : nullptr, buffer, c.capacity), c.found);
    EXPECT_EQ(std::wstring(buffer), c.buffer ? std::wstring(c.buffer) : std::wstring(31, L'#'));
    if (c.found && c.capacity > 0) {
        // The rest of the given capacity is cleared, nothing beyond it is touched.
        for (size_t i = wcslen(c.buffer); i < c.capacity; ++i) EXPECT_EQ(buffer[i], L'\0') << i;
        if (c.capacity < 31) {
            EXPECT_EQ(buffer[c.capacity], L'#');
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FixedVersions,
    ::testing::Values(FixedVersionCase{L"unsigned.exe", 32, true, L"5.6.7.8"},
                      FixedVersionCase{L"version-blank.exe", 8, true, L"5.6.7.8"},
                      FixedVersionCase{L"unsigned.exe", 4, true, L"5.6"},
                      FixedVersionCase{L"unsigned.exe", 1, true, L""},
                      FixedVersionCase{L"unsigned.exe", 0, false, nullptr},
                      FixedVersionCase{L"version-large.exe", 32, false, nullptr},
                      FixedVersionCase{L"missing.exe", 32, false, nullptr},
                      FixedVersionCase{nullptr, 32, false, nullptr}));

TEST(FixedVersions, NullBuffer) {
    EXPECT_FALSE(GetFixedFileVersion(TestProgram(L"unsigned.exe").c_str(), nullptr, 32));
}
