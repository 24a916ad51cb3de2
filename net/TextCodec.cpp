#include "net/TextCodec.h"

#include "app/base/Gcrypt.h"

#include <windows.h>

#include <gcrypt.h>

#include <climits>

#include "app/base/WinHandle.h"
#include "net/Base64.h"

namespace codec {
namespace {

struct CipherHandleTraits {
    using Type = gcry_cipher_hd_t;
    static gcry_cipher_hd_t Invalid() noexcept { return nullptr; }
    static void Close(gcry_cipher_hd_t handle) noexcept { gcry_cipher_close(handle); }
};
using UniqueCipher = win::UniqueResource<CipherHandleTraits>;

std::optional<std::string> RunEcb(int algorithm, std::string_view blocks, std::string_view key,
                                  Direction direction) {
    if (blocks.empty() || blocks.size() % kBlockBytes != 0 || key.empty()) return std::nullopt;
    if (!InitCryptoLibrary()) return std::nullopt;

    UniqueCipher cipher;
    if (gcry_cipher_open(cipher.put(), algorithm, GCRY_CIPHER_MODE_ECB, 0) != 0) return std::nullopt;
    // libgcrypt refuses DES's weak keys and Blowfish keys whose S-boxes repeat a
    // value. The keys are fixed texts or machine identifiers that the peer uses
    // unchanged, so the cipher must run with them exactly as defined.
    if (gcry_cipher_ctl(cipher.get(), GCRYCTL_SET_ALLOW_WEAK_KEY, nullptr, 1) != 0) return std::nullopt;
    gcry_error_t keyResult = gcry_cipher_setkey(cipher.get(), key.data(), key.size());
    if (keyResult != 0 && gcry_err_code(keyResult) != GPG_ERR_WEAK_KEY) return std::nullopt;

    std::string out(blocks);
    gcry_error_t result = direction == Direction::kEncrypt
                              ? gcry_cipher_encrypt(cipher.get(), &out[0], out.size(), nullptr, 0)
                              : gcry_cipher_decrypt(cipher.get(), &out[0], out.size(), nullptr, 0);
    if (result != 0) return std::nullopt;
    return out;
}

}  // namespace

bool InitCryptoLibrary() { return crypto::EnsureGcryptReady(); }

std::optional<std::string> BlowfishEcb(std::string_view blocks, std::string_view key, Direction direction) {
    // libgcrypt refuses keys longer than the schedule can use; cutting them there
    // gives the same cipher as the standard schedule on the whole key.
    return RunEcb(GCRY_CIPHER_BLOWFISH, blocks, key.substr(0, kBlowfishKeyBytesUsed), direction);
}

std::optional<std::string> DesEcb(std::string_view blocks, std::string_view key, Direction direction) {
    if (key.size() != kDesKeyBytes) return std::nullopt;
    return RunEcb(GCRY_CIPHER_DES, blocks, key, direction);
}

namespace {

constexpr size_t AnswerRoomNeeded(size_t cipherBytes) {
    size_t chars = base64::EncodedLength(cipherBytes);
    return chars + chars / base64::kLineChars * 2 + 2;
}
// 743 UTF-8 bytes pad to 744 bytes of cipher text, which fit; one byte more pads to 752, which do not.
static_assert(AnswerRoomNeeded(kMaxAnswerBytes + 1) == 1020, "744 bytes need 1020 characters");
static_assert(AnswerRoomNeeded(kMaxAnswerBytes + 1 + kBlockBytes) == 1032, "752 bytes need 1032 characters");

// Strict conversions: malformed UTF-16 or UTF-8 is a failure, not a replacement character.
std::optional<std::string> ToUtf8(std::wstring_view wide) {
    if (wide.empty()) return std::string();
    if (wide.size() > INT_MAX / 4) return std::nullopt;
    int length = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::nullopt;
    std::string utf8(static_cast<size_t>(length), '\0');
    if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()), &utf8[0],
                              length, nullptr, nullptr) != length)
        return std::nullopt;
    return utf8;
}

std::optional<std::wstring> FromUtf8(std::string_view utf8) {
    if (utf8.empty()) return std::wstring();
    if (utf8.size() > INT_MAX) return std::nullopt;
    int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                       nullptr, 0);
    if (length <= 0) return std::nullopt;
    std::wstring wide(static_cast<size_t>(length), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), &wide[0],
                              length) != length)
        return std::nullopt;
    return wide;
}

}  // namespace
}  // namespace codec

std::optional<std::string> EncryptText(std::string_view plain, std::string_view key) {
    if (plain.empty() || key.empty()) return std::nullopt;
    std::string blocks(plain);
    blocks.append((codec::kBlockBytes - blocks.size() % codec::kBlockBytes) % codec::kBlockBytes, '\0');
    std::optional<std::string> cipherText = codec::BlowfishEcb(blocks, key, codec::Direction::kEncrypt);
    if (!cipherText) return std::nullopt;
    return base64::Encode(*cipherText);
}

std::optional<std::string> DecryptText(std::string_view base64Text, std::string_view key) {
    if (base64Text.empty() || key.empty()) return std::nullopt;
    std::optional<std::string> cipherText = base64::Decode(base64Text);
    if (!cipherText) return std::nullopt;
    return codec::BlowfishEcb(*cipherText, key, codec::Direction::kDecrypt);  // refuses partial blocks
}

std::wstring EncryptTextW(std::wstring_view plain, std::wstring_view key) {
    std::optional<std::string> plainUtf8 = codec::ToUtf8(plain);
    std::optional<std::string> keyUtf8 = codec::ToUtf8(key);
    if (!plainUtf8 || !keyUtf8) return std::wstring();
    std::optional<std::string> base64Text = EncryptText(*plainUtf8, *keyUtf8);
    if (!base64Text) return std::wstring();
    return std::wstring(base64Text->begin(), base64Text->end());  // the Base64 alphabet is ASCII
}

std::wstring DecryptTextW(std::wstring_view base64Text, std::wstring_view key) {
    std::optional<std::string> base64Utf8 = codec::ToUtf8(base64Text);
    std::optional<std::string> keyUtf8 = codec::ToUtf8(key);
    if (!base64Utf8 || !keyUtf8) return std::wstring();
    std::optional<std::string> plain = DecryptText(*base64Utf8, *keyUtf8);
    if (!plain) return std::wstring();
    size_t end = plain->find('\0');
    if (end != std::string::npos) plain->resize(end);
    std::optional<std::wstring> wide = codec::FromUtf8(*plain);
    return wide ? *wide : std::wstring();
}

std::optional<std::string> EncryptAnswer(std::wstring_view text, std::string_view key) {
    if (text.empty() || key.size() != codec::kDesKeyBytes) return std::nullopt;
    std::optional<std::string> blocks = codec::ToUtf8(text);
    if (!blocks) return std::nullopt;
    size_t padCount = codec::kBlockBytes - blocks->size() % codec::kBlockBytes;  // 1 to 8
    if (codec::AnswerRoomNeeded(blocks->size() + padCount) > codec::kAnswerBufferChars) return std::nullopt;
    blocks->append(padCount, static_cast<char>(padCount));
    std::optional<std::string> cipherText = codec::DesEcb(*blocks, key, codec::Direction::kEncrypt);
    if (!cipherText) return std::nullopt;
    return base64::EncodeLines(*cipherText);
}
