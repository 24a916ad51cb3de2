// Base64 (standard alphabet, "=" padding) in the two forms the codecs use:
// one unbroken line, and 76-character lines each closed by CR LF.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace base64 {

constexpr size_t kLineChars = 76;

// Characters of the unbroken encoding of byteCount bytes: 4 per started group of 3.
constexpr size_t EncodedLength(size_t byteCount) { return (byteCount + 2) / 3 * 4; }

// One unbroken line.
std::string Encode(std::string_view bytes);

// Lines of kLineChars characters; CR LF follows every complete line, the last
// one included, while a shorter final line has none.
std::string EncodeLines(std::string_view bytes);

// Strict inverse of Encode: the length must be a multiple of 4 and every
// character must be in the alphabet, except for at most two "=" at the very
// end. Anything else (line breaks, blanks, stray "=") gives nullopt. An empty
// text decodes to no bytes.
std::optional<std::string> Decode(std::string_view text);

}  // namespace base64
