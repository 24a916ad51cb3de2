// The digest behind the "mid" machine identifier: MD5 whose finalisation runs a
// second time on the finished state, as the maker's other programs compute it.
// It is therefore not the RFC 1321 digest ("abc" gives ab32b7d6...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace machine_id {

// Identity texts are hashed up to this many bytes; the rest is ignored.
constexpr size_t kMidHashInputLimit = 259;

// The 16-byte digest of the text (cut to kMidHashInputLimit bytes).
void MidDigest(const std::string& text, uint8_t digest[16]);
// The digest as 32 lower-case hex digits.
std::string MidHash(const std::string& text);

// Plain RFC 1321 MD5, exposed so the shared rounds can be checked on their own.
void Md5Digest(const void* data, size_t size, uint8_t digest[16]);

}  // namespace machine_id
