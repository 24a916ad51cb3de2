#include "net/Base64.h"

#include <cstdint>

namespace base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kNotInAlphabet = -1;

int SextetOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return kNotInAlphabet;
}

// Appends the unbroken encoding; `afterChar` runs after each character so the
// line form can insert its breaks without a second buffer.
template <typename AfterChar>
void EncodeInto(std::string_view bytes, std::string& out, AfterChar afterChar) {
    auto put = [&](char c) {
        out.push_back(c);
        afterChar();
    };
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t group = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1]) << 8 |
                         static_cast<uint8_t>(bytes[i + 2]);
        put(kAlphabet[group >> 18 & 0x3F]);
        put(kAlphabet[group >> 12 & 0x3F]);
        put(kAlphabet[group >> 6 & 0x3F]);
        put(kAlphabet[group & 0x3F]);
    }
    size_t rest = bytes.size() - i;
    if (rest == 0) return;
    uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
    if (rest == 2) group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    put(kAlphabet[group >> 18 & 0x3F]);
    put(kAlphabet[group >> 12 & 0x3F]);
    put(rest == 2 ? kAlphabet[group >> 6 & 0x3F] : '=');
    put('=');
}

}  // namespace

std::string Encode(std::string_view bytes) {
    std::string out;
    out.reserve(EncodedLength(bytes.size()));
    EncodeInto(bytes, out, [] {});
    return out;
}

std::string EncodeLines(std::string_view bytes) {
    size_t chars = EncodedLength(bytes.size());
    std::string out;
    out.reserve(chars + chars / kLineChars * 2);
    size_t lineChars = 0;
    EncodeInto(bytes, out, [&] {
        if (++lineChars == kLineChars) {
            out += "\r\n";
            lineChars = 0;
        }
    });
    return out;
}

std::optional<std::string> Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    size_t padding = 0;
    if (!text.empty() && text.back() == '=') ++padding;
    if (padding == 1 && text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
    size_t dataChars = text.size() - padding;

    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    uint32_t accumulator = 0;
    int bits = 0;
    for (size_t i = 0; i < dataChars; ++i) {
        int sextet = SextetOf(text[i]);
        if (sextet == kNotInAlphabet) return std::nullopt;  // also a "=" before the end
        accumulator = (accumulator << 6 | static_cast<uint32_t>(sextet)) & 0xFFFFFF;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<char>(accumulator >> bits & 0xFF));
        }
    }
    return bytes;
}

}  // namespace base64
