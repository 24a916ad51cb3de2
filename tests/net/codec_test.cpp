#include <gtest/gtest.h>

#include <gcrypt.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/base/PathUtil.h"
#include "net/Base64.h"
#include "net/TextCodec.h"
#include "support/TestSupport.h"

namespace {

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string ToHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char b : bytes) {
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 15]);
    }
    return hex;
}

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

std::string WithoutLineBreaks(std::string text) {
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }), text.end());
    return text;
}

// Reverses EncryptAnswer, as the receiving service does: Base64 lines, DES, PKCS#5.
std::string DecryptAnswerForTest(const std::string& encoded) {
    std::optional<std::string> cipherText = base64::Decode(WithoutLineBreaks(encoded));
    if (!cipherText) return "<bad base64>";
    std::optional<std::string> padded = codec::DesEcb(*cipherText, kAnswerKey, codec::Direction::kDecrypt);
    if (!padded || padded->empty()) return "<bad cipher>";
    size_t padCount = static_cast<unsigned char>(padded->back());
    if (padCount < 1 || padCount > 8) return "<bad padding>";
    if (padded->find_first_not_of(static_cast<char>(padCount), padded->size() - padCount) != std::string::npos)
        return "<bad padding>";
    return padded->substr(0, padded->size() - padCount);
}

struct BlockVector {
    const char* key;  // hex
    const char* plain;
    const char* cipher;
};

}  // namespace

// ---- Blowfish ----------------------------------------------------------------

class BlowfishKnownAnswers : public ::testing::TestWithParam<BlockVector> {};

// One block of zero-padding-free input goes through EncryptText unchanged in
// size, so the Base64 result carries exactly the cipher block.
TEST_P(BlowfishKnownAnswers, EncryptTextGivesThePublishedBlockAndDecryptTextReversesIt) {
    const BlockVector& v = GetParam();
    std::string key = FromHex(v.key), plain = FromHex(v.plain);
    std::optional<std::string> token = EncryptText(plain, key);
    ASSERT_TRUE(token) << v.key;
    std::optional<std::string> cipherText = base64::Decode(*token);
    ASSERT_TRUE(cipherText);
    EXPECT_EQ(ToHex(*cipherText), v.cipher) << "key " << v.key;
    EXPECT_EQ(DecryptText(*token, key), plain) << "key " << v.key;
}

// Eric Young's ECB vectors, and his key-length vectors (the prefixes of one key,
// 1 to 24 bytes, on plain text FEDCBA9876543210).
INSTANTIATE_TEST_SUITE_P(
    EricYoung, BlowfishKnownAnswers,
    ::testing::Values(BlockVector{"0000000000000000", "0000000000000000", "4EF997456198DD78"},
                      BlockVector{"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
                      BlockVector{"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
                      BlockVector{"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
                      BlockVector{"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
                      BlockVector{"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
                      BlockVector{"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
                      BlockVector{"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
                      BlockVector{"F0", "FEDCBA9876543210", "F9AD597C49DB005E"},
                      BlockVector{"F0E1", "FEDCBA9876543210", "E91D21C1D961A6D6"},
                      BlockVector{"F0E1D2", "FEDCBA9876543210", "E9C2B70A1BC65CF3"},
                      BlockVector{"F0E1D2C3", "FEDCBA9876543210", "BE1E639408640F05"},
                      BlockVector{"F0E1D2C3B4A59687", "FEDCBA9876543210", "E87A244E2CC85E82"},
                      BlockVector{"F0E1D2C3B4A5968778695A4B3C2D1E0F", "FEDCBA9876543210", "93142887EE3BE15C"},
                      BlockVector{"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "FEDCBA9876543210",
                                  "05044B62FA52D080"}));

TEST(BlowfishCodec, EncryptsTextUnderTheFixedKeysLikeAnyStandardBlowfish) {
    // References computed with an independent Blowfish implementation.
    EXPECT_EQ(EncryptText("hushnow", kLoginTokenKey), "yHjRCQZp3v8=");
    EXPECT_EQ(EncryptText("openid-1234567890abcdef", kLoginTokenKey), "pVkX192aURG2iGDBxNZ+0MybF5SCxhI9");
    EXPECT_EQ(EncryptTextW(L"卸载原因", kOemConfigKey), L"F5ndiTvb5cdUZ7ZgXQlaNg==");
    EXPECT_FALSE(codec::BlowfishEcb("hushnow", "key", codec::Direction::kEncrypt)) << "7 bytes: not a block";
    EXPECT_FALSE(codec::BlowfishEcb(std::string("hushnow\0", 8), "", codec::Direction::kEncrypt)) << "no key";
    const char* key56 = "0C7F3B92-6E48-4D15-B0A9-2E8D5C61F7A40123456789abcdefXYZW";
    std::optional<std::string> block =
        codec::BlowfishEcb(std::string("hushnow\0", 8), key56, codec::Direction::kEncrypt);
    ASSERT_TRUE(block);
    EXPECT_EQ(ToHex(*block), "5768B25EF4B2D740");
}

// The hand-over token is keyed with a machine identifier of up to 259
// characters. Standard Blowfish takes the key bytes cyclically into its 72
// bytes of P-array, so a key and that key repeated give the same cipher, and
// nothing after the 72nd byte counts.
TEST(BlowfishCodec, LongKeysActAsTheStandardCyclicScheduleDoes) {
    const std::string guid = kLoginTokenKey;  // 36 bytes
    std::string repeated;
    while (repeated.size() < 259) repeated += guid;
    repeated.resize(259);
    std::optional<std::string> shortKeyToken = EncryptText("hushnow", guid);
    ASSERT_TRUE(shortKeyToken);
    EXPECT_EQ(EncryptText("hushnow", guid + guid), shortKeyToken);
    EXPECT_EQ(EncryptText("hushnow", repeated), shortKeyToken);
    EXPECT_EQ(DecryptText(*shortKeyToken, repeated), std::string("hushnow\0", 8));

    std::string tailChanged = repeated;
    tailChanged[72] ^= 1;
    tailChanged[258] ^= 1;
    EXPECT_EQ(EncryptText("hushnow", tailChanged), shortKeyToken);
    std::string byte72Changed = repeated;
    byte72Changed[71] ^= 1;
    EXPECT_NE(EncryptText("hushnow", byte72Changed), shortKeyToken);
}

struct PaddingCase {
    size_t plainBytes;
    size_t cipherBytes;
    size_t base64Chars;
    size_t equalsSigns;
};

class BlowfishPadding : public ::testing::TestWithParam<PaddingCase> {};

TEST_P(BlowfishPadding, PadsWithZerosToWholeBlocksAndNoFurther) {
    const PaddingCase& c = GetParam();
    std::string plain(c.plainBytes, 'x');
    std::optional<std::string> token = EncryptText(plain, kLoginTokenKey);
    ASSERT_TRUE(token);
    EXPECT_EQ(token->size(), c.base64Chars);
    EXPECT_EQ(CountOf(*token, "="), c.equalsSigns);
    EXPECT_EQ(base64::Decode(*token)->size(), c.cipherBytes);
    std::string expected = plain + std::string(c.cipherBytes - c.plainBytes, '\0');
    EXPECT_EQ(DecryptText(*token, kLoginTokenKey), expected);
    EXPECT_EQ(EncryptText(expected, kLoginTokenKey), token) << "explicit zeros give the same cipher";
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlowfishPadding,
                         ::testing::Values(PaddingCase{1, 8, 12, 1}, PaddingCase{7, 8, 12, 1},
                                           PaddingCase{8, 8, 12, 1}, PaddingCase{9, 16, 24, 2},
                                           PaddingCase{16, 16, 24, 2}, PaddingCase{17, 24, 32, 0},
                                           PaddingCase{100, 104, 140, 1}));

struct BadToken {
    const char* name;
    std::string text;
};

class DecryptTextRefuses : public ::testing::TestWithParam<BadToken> {};

TEST_P(DecryptTextRefuses, MalformedInput) {
    EXPECT_FALSE(DecryptText(GetParam().text, kLoginTokenKey)) << GetParam().name;
    std::wstring wide(GetParam().text.begin(), GetParam().text.end());
    EXPECT_EQ(DecryptTextW(wide, L"0C7F3B92-6E48-4D15-B0A9-2E8D5C61F7A4"), L"") << GetParam().name;
}

// A valid token of "openid-1234567890abcdef" is pVkX192aURG2iGDBxNZ+0MybF5SCxhI9.
INSTANTIATE_TEST_SUITE_P(
    Inputs, DecryptTextRefuses,
    ::testing::Values(BadToken{"empty", ""}, BadToken{"line break", "pVkX192aURG2iGDB\r\nxNZ+0MybF5SCxhI9"},
                      BadToken{"trailing line break", "pVkX192aURG2iGDBxNZ+0MybF5SCxhI9\r\n"},
                      BadToken{"length not a multiple of 4", "pVkX192aURG2iGDBxNZ+0MybF5SCxhI"},
                      BadToken{"blank", "pVkX192aURG2iGDB xNZ+0MybF5SCxh"},
                      BadToken{"URL-safe alphabet", "pVkX192aURG2iGDBxNZ-0MybF5SCxhI9"},
                      BadToken{"padding inside", "yHjRCQZp3v8=yHjRCQZp3v8="},
                      BadToken{"three padding signs", "yHjRCQZp3==="},
                      BadToken{"not whole blocks", "QUJD"}));

TEST(BlowfishCodec, EmptyInputOrKeyFails) {
    EXPECT_FALSE(EncryptText("", kLoginTokenKey));
    EXPECT_FALSE(EncryptText("hushnow", ""));
    EXPECT_FALSE(DecryptText("yHjRCQZp3v8=", ""));
    EXPECT_EQ(EncryptTextW(L"", L"key"), L"");
    EXPECT_EQ(EncryptTextW(L"hushnow", L""), L"");
    EXPECT_EQ(DecryptTextW(L"", L"key"), L"");
}

// ---- Wide text ----------------------------------------------------------------

class WideRoundTrip : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(WideRoundTrip, DecryptTextWGivesBackTheText) {
    std::wstring text = GetParam();
    for (const wchar_t* key : {kOemConfigKey, L"壁纸卸载密钥", L"5f4dcc3b5aa765d61d8327deb882cf99"}) {
        std::wstring token = EncryptTextW(text, key);
        ASSERT_FALSE(token.empty()) << key;
        // The wide form is the narrow codec on UTF-8 text and key.
        EXPECT_EQ(text::ToUtf8(token), EncryptText(text::ToUtf8(text), text::ToUtf8(key)));
        EXPECT_EQ(DecryptTextW(token, key), text) << key;
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, WideRoundTrip,
                         ::testing::Values(L"hushnow", L"卸", L"渠道", L"卸载原因：广告太多，壁纸不好看",
                                           L"混合 text 与 数字 12345678",
                                           L"😀 emoji outside the BMP"));

TEST(WideCodec, HandOverTokenChecksOnlyUnderTheSameKey) {
    const wchar_t* mid = L"ab32b7d610b8276088dc6cdcfe9adbf3";
    std::wstring token = EncryptTextW(L"hushnow", mid);
    EXPECT_EQ(DecryptTextW(token, mid), L"hushnow");
    EXPECT_NE(DecryptTextW(token, L"ab32b7d610b8276088dc6cdcfe9adbf4"), L"hushnow");
}

TEST(WideCodec, MalformedUnicodeFailsWithAnEmptyString) {
    EXPECT_EQ(EncryptTextW(L"lone \xD800 surrogate", kOemConfigKey), L"");
    EXPECT_EQ(EncryptTextW(L"text", L"key \xDC00"), L"");
    // Decrypted bytes that are not UTF-8 are no text.
    std::optional<std::string> token = EncryptText("\xFF\xFE\x80", "key");
    ASSERT_TRUE(token);
    EXPECT_EQ(DecryptTextW(std::wstring(token->begin(), token->end()), L"key"), L"");
    // Non-ASCII characters are never Base64.
    EXPECT_EQ(DecryptTextW(L"yHjRCQZp3vé", L"key"), L"");
}

TEST(WideCodec, DecryptTextWEndsTheTextAtTheFirstNul) {
    std::optional<std::string> token = EncryptText(std::string("abc\0def", 7), "key");
    ASSERT_TRUE(token);
    EXPECT_EQ(DecryptTextW(std::wstring(token->begin(), token->end()), L"key"), L"abc");
}

// ---- DES answer codec ----------------------------------------------------------

class DesKnownAnswers : public ::testing::TestWithParam<BlockVector> {};

TEST_P(DesKnownAnswers, EncryptsAndDecryptsThePublishedBlock) {
    const BlockVector& v = GetParam();
    std::optional<std::string> cipherText = codec::DesEcb(FromHex(v.plain), FromHex(v.key), codec::Direction::kEncrypt);
    ASSERT_TRUE(cipherText) << "key " << v.key;
    EXPECT_EQ(ToHex(*cipherText), v.cipher) << "key " << v.key;
    EXPECT_EQ(codec::DesEcb(*cipherText, FromHex(v.key), codec::Direction::kDecrypt), FromHex(v.plain));
}

// FIPS 81 / NBS SP 500-20 vectors; 0101010101010101 is one of DES's weak keys,
// which libgcrypt would refuse on its own, and parity bits do not matter.
INSTANTIATE_TEST_SUITE_P(
    Published, DesKnownAnswers,
    ::testing::Values(BlockVector{"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
                      BlockVector{"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
                      BlockVector{"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
                      BlockVector{"0000000000000000", "8000000000000000", "95F8A5E5DD31D900"},
                      BlockVector{"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
                      BlockVector{"0E329232EA6D0D73", "8787878787878787", "0000000000000000"}));

TEST(AnswerCodec, MatchesAnIndependentDesWithPkcs5PaddingAndLineBreaks) {
    EXPECT_EQ(EncryptAnswer(L"hello", kAnswerKey), "+L+eOdi5huo=");
    const wchar_t* answer =
        L"{\"mid\":\"0123456789abcdef0123456789abcdef\",\t\"appver\":\"1.2.3.4\", \t\"modver\":\"5.6.7.8\", "
        L"\t\"check\":\"1,3,6\", \t\"contact\":\"\" \t}";
    EXPECT_EQ(EncryptAnswer(answer, kAnswerKey),
              "P1ZwfLHnY8huiEVzKTmjXIi+MBlNYklcbohFcyk5o1yIvjAZTWJJXADzEJqdIYAemEtIUNVypRdi\r\n"
              "HiSVJBY55/jeXmjojPc/gPKRpha/SzXOxwbeqMij2kvmnthTk/6z5g1v6WDyg+yF1xAA1j5BLxQf\r\n"
              "3lipZgv8");
}

struct AnswerCase {
    const char* name;
    std::wstring text;
    bool fits;
    size_t chars;     // total length including line breaks
    size_t lineBreaks;
    bool endsWithLineBreak;
};

class AnswerSizes : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerSizes, FitsTheAnswerBufferOrFails) {
    const AnswerCase& c = GetParam();
    std::optional<std::string> encoded = EncryptAnswer(c.text, kAnswerKey);
    ASSERT_EQ(encoded.has_value(), c.fits) << c.name;
    if (!c.fits) return;
    EXPECT_EQ(encoded->size(), c.chars) << c.name;
    EXPECT_EQ(CountOf(*encoded, "\r\n"), c.lineBreaks) << c.name;
    EXPECT_EQ(CountOf(*encoded, "\r"), c.lineBreaks) << c.name;
    EXPECT_EQ(CountOf(*encoded, "\n"), c.lineBreaks) << c.name;
    bool endsWithLineBreak = encoded->size() >= 2 && encoded->compare(encoded->size() - 2, 2, "\r\n") == 0;
    EXPECT_EQ(endsWithLineBreak, c.endsWithLineBreak) << c.name;
    for (size_t start = 0, end; (end = encoded->find("\r\n", start)) != std::string::npos; start = end + 2)
        EXPECT_EQ(end - start, base64::kLineChars) << c.name << ": every broken line is complete";
    EXPECT_EQ(DecryptAnswerForTest(*encoded), text::ToUtf8(c.text)) << c.name;
}

std::wstring Repeat(const std::wstring& unit, size_t count) {
    std::wstring text;
    for (size_t i = 0; i < count; ++i) text += unit;
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, AnswerSizes,
    ::testing::Values(
        AnswerCase{"one byte", L"a", true, 12, 0, false},
        AnswerCase{"one block gets a whole pad block", L"abcdefgh", true, 24, 0, false},
        AnswerCase{"455 bytes: 608 characters in 8 complete lines", Repeat(L"x", 455), true, 608 + 16, 8, true},
        AnswerCase{"743 bytes: the largest", Repeat(L"x", 743), true, 1018, 13, false},
        AnswerCase{"744 bytes", Repeat(L"x", 744), false, 0, 0, false},
        AnswerCase{"2000 bytes", Repeat(L"x", 2000), false, 0, 0, false},
        AnswerCase{"247 Chinese characters and 2 letters: 743 bytes", Repeat(L"卸", 247) + L"ok", true, 1018, 13,
                   false},
        AnswerCase{"248 Chinese characters: 744 bytes", Repeat(L"卸", 248), false, 0, 0, false},
        AnswerCase{"a contact of 250 Chinese characters", L"{\"contact\":\"" + Repeat(L"联", 250) + L"\"}", false,
                   0, 0, false}));

TEST(AnswerCodec, RefusesEmptyTextBadKeysAndMalformedText) {
    EXPECT_FALSE(EncryptAnswer(L"", kAnswerKey));
    EXPECT_FALSE(EncryptAnswer(L"answer", "qivanto"));
    EXPECT_FALSE(EncryptAnswer(L"answer", "qivantorx"));
    EXPECT_FALSE(EncryptAnswer(L"answer", ""));
    EXPECT_FALSE(EncryptAnswer(L"broken \xDBFF", kAnswerKey));
    EXPECT_FALSE(codec::DesEcb("1234567", "qivantor", codec::Direction::kEncrypt));
}

// ---- Base64 ------------------------------------------------------------------

struct Base64Case {
    std::string bytes;
    std::string text;
};

class Base64Vectors : public ::testing::TestWithParam<Base64Case> {};

TEST_P(Base64Vectors, EncodesAndDecodes) {
    EXPECT_EQ(base64::Encode(GetParam().bytes), GetParam().text);
    EXPECT_EQ(base64::Decode(GetParam().text), GetParam().bytes);
}

// RFC 4648's vectors and the two characters beyond the letters and digits.
INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Vectors,
                         ::testing::Values(Base64Case{"", ""}, Base64Case{"f", "Zg=="}, Base64Case{"fo", "Zm8="},
                                           Base64Case{"foo", "Zm9v"}, Base64Case{"foob", "Zm9vYg=="},
                                           Base64Case{"fooba", "Zm9vYmE="}, Base64Case{"foobar", "Zm9vYmFy"},
                                           Base64Case{"\xFB\xFF\xBF", "+/+/"},
                                           Base64Case{std::string(3, '\0'), "AAAA"}));

struct LinesCase {
    size_t bytes;
    size_t lineBreaks;
    bool endsWithLineBreak;
};

class Base64Lines : public ::testing::TestWithParam<LinesCase> {};

TEST_P(Base64Lines, BreaksAfterEveryComplete76CharacterLine) {
    std::string bytes;
    for (size_t i = 0; i < GetParam().bytes; ++i) bytes.push_back(static_cast<char>(i * 7));
    std::string lines = base64::EncodeLines(bytes);
    EXPECT_EQ(CountOf(lines, "\r\n"), GetParam().lineBreaks);
    EXPECT_EQ(lines.size() >= 2 && lines.compare(lines.size() - 2, 2, "\r\n") == 0, GetParam().endsWithLineBreak);
    EXPECT_EQ(WithoutLineBreaks(lines), base64::Encode(bytes));
    if (GetParam().lineBreaks > 0) {
        EXPECT_FALSE(base64::Decode(lines)) << "the strict decoder refuses lines";
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Base64Lines,
                         ::testing::Values(LinesCase{0, 0, false}, LinesCase{1, 0, false}, LinesCase{54, 0, false},
                                           LinesCase{57, 1, true}, LinesCase{58, 1, false},
                                           LinesCase{114, 2, true}, LinesCase{456, 8, true},
                                           LinesCase{744, 13, false}));

// ---- Library set-up ---------------------------------------------------------------

namespace {

int CheckBothCodecs() {
    if (EncryptText("hushnow", kLoginTokenKey) != "yHjRCQZp3v8=") return 1;
    if (EncryptAnswer(L"hello", kAnswerKey) != "+L+eOdi5huo=") return 2;
    return 0;
}

// Child role: codec-check [threads]. Exit 0 when both codecs give their
// reference results; with "threads", eight threads make the process's first
// calls at once.
int RunCodecCheck(int argc, wchar_t** argv) {
    if (argc < 1 || std::wstring(argv[0]) != L"threads") return CheckBothCodecs();
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            for (int round = 0; round < 10; ++round)
                if (CheckBothCodecs() != 0) ++failures;
        });
    }
    go = true;
    for (std::thread& thread : threads) thread.join();
    if (failures != 0) return 3;
    return gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P, 0) != 0 ? 0 : 4;
}
testing_support::ChildRoleRegistrar g_codecCheck(L"codec-check", &RunCodecCheck);

}  // namespace

TEST(CryptoLibrary, FirstUseFromManyThreadsAtOnceInitialisesOnce) {
    testing_support::Child child = testing_support::StartChild(path::ModulePath(), L"--role codec-check threads");
    EXPECT_EQ(child.Wait(60000), 0);
}

// libgcrypt would enter FIPS mode, without Blowfish and DES, when the system
// asks for it; an unprivileged user can ask by creating a file, so the
// program declines it.
TEST(CryptoLibrary, CodecsWorkWhenTheSystemAsksForFipsMode) {
    testing_support::Child child = testing_support::StartChild(path::ModulePath(), L"--role codec-check",
                                                               {{L"LIBGCRYPT_FORCE_FIPS_MODE", L"1"}});
    EXPECT_EQ(child.Wait(60000), 0);
}
