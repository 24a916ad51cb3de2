// SHA-1 (libgcrypt) for the second machine identifier.
#pragma once

#include <string>

namespace machine_id {

// The SHA-1 digest of the bytes as 40 lower-case hex digits; false (text
// unchanged) when the library is unavailable.
bool Sha1Hex(const std::string& bytes, std::string& hex);

}  // namespace machine_id
