// The two text codecs. The Blowfish codec (ECB, zero padding, one Base64 line)
// protects the login token, the OEM configuration values, the hand-over token of
// the temporary copy and the companion-service report; the DES codec (ECB,
// PKCS#5 padding, Base64 in CR LF-closed lines) protects the uploaded uninstall
// answer. Every operation reports failure through its result only: nothing is
// shown or logged here, the caller decides what a failure means.
//
// Keys are byte strings (the W functions take wide keys and use their UTF-8
// bytes). Each caller passes its own key; the three fixed keys are below.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Login token written into the product's "config.set" (EncryptText).
inline constexpr char kLoginTokenKey[] = "0C7F3B92-6E48-4D15-B0A9-2E8D5C61F7A4";
// OEM configuration value names and data under the App Paths "oemconfig" key (DecryptTextW).
inline constexpr wchar_t kOemConfigKey[] = L"5E0B7D2C-94A1-4C8F-A3E6-1D9F2B7C40E8";
// Uninstall answer uploaded as "unint_ask" (EncryptAnswer).
inline constexpr char kAnswerKey[] = "qivantor";

namespace codec {

constexpr size_t kBlockBytes = 8;
// Standard Blowfish mixes the key cyclically into the 18 words of its P-array,
// so only the first 72 key bytes can influence the cipher; later bytes are ignored.
constexpr size_t kBlowfishKeyBytesUsed = 72;
constexpr size_t kDesKeyBytes = 8;
// The answer is encoded into a buffer of this many characters: the unbroken
// Base64 length, 2 per complete 76-character line and 2 more must fit.
constexpr size_t kAnswerBufferChars = 1024;
// ... which limits the UTF-8 answer text to 743 bytes (744 bytes of cipher text).
constexpr size_t kMaxAnswerBytes = 743;

enum class Direction { kEncrypt, kDecrypt };

// Raw ECB over whole 8-byte blocks (big-endian halves, as the ciphers define
// them). nullopt for empty or partial-block data, an empty Blowfish key, a DES
// key that is not exactly 8 bytes, or a library failure. Keys that libgcrypt
// calls weak are used as the cipher defines them rather than refused.
std::optional<std::string> BlowfishEcb(std::string_view blocks, std::string_view key, Direction direction);
std::optional<std::string> DesEcb(std::string_view blocks, std::string_view key, Direction direction);

// Initialises libgcrypt once per process (thread-safe; later calls only return
// the first result). Every use of libgcrypt in the program goes through here.
bool InitCryptoLibrary();

}  // namespace codec

// Blowfish-ECB of `plain` padded with zero bytes to a multiple of 8 (a multiple
// of 8 gets no extra block), as one Base64 line. nullopt for empty input or key.
std::optional<std::string> EncryptText(std::string_view plain, std::string_view key);

// Inverse of EncryptText. The result keeps the zero padding, so read it as
// NUL-terminated text. nullopt for empty input or key, text that is not strict
// one-line Base64, or cipher text that is not a whole number of blocks.
std::optional<std::string> DecryptText(std::string_view base64, std::string_view key);

// EncryptText/DecryptText on the UTF-8 forms of text and key; DecryptTextW ends
// the text at the first NUL. Every failure, including text that is not valid
// UTF-16 or whose decryption is not valid UTF-8, gives an empty string.
std::wstring EncryptTextW(std::wstring_view plain, std::wstring_view key);
std::wstring DecryptTextW(std::wstring_view base64, std::wstring_view key);

// DES-ECB of the UTF-8 text with PKCS#5 padding, key = the 8 bytes of `key`,
// encoded by base64::EncodeLines. nullopt for empty text, a key that is not
// exactly 8 bytes, text that is not valid UTF-16, or UTF-8 text longer than
// codec::kMaxAnswerBytes.
std::optional<std::string> EncryptAnswer(std::wstring_view text, std::string_view key);
