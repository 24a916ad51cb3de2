#include "sysinfo/Sha1.h"

#include <gcrypt.h>

#include <utility>

#include "app/base/Gcrypt.h"

namespace machine_id {

bool Sha1Hex(const std::string& bytes, std::string& hex) {
    if (!crypto::EnsureGcryptReady()) return false;
    unsigned char digest[20];
    gcry_md_hash_buffer(GCRY_MD_SHA1, digest, bytes.data(), bytes.size());
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(40);
    for (unsigned char byte : digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    hex = std::move(text);
    return true;
}

}  // namespace machine_id
