#include "app/base/Gcrypt.h"

#include <gcrypt.h>

namespace crypto {

namespace {

bool InitialiseGcrypt() {
    // Another user of libgcrypt in the process may have finished the set-up already.
    if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P, 0) != 0) return true;
    // FIPS mode would switch Blowfish and DES off. libgcrypt enters it when a file
    // "\etc\gcrypt\fips_enabled" exists on the current drive, which any user can
    // create. The library's manual asks for the refusal before initialisation,
    // while libgcrypt 1.10 honours it only between initialisation and its end:
    // it is made at both points.
    gcry_control(GCRYCTL_NO_FIPS_MODE, 0);
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) return false;
    gcry_control(GCRYCTL_NO_FIPS_MODE, 0);
    // Only hashing and ciphers on non-secret buffers are used; no secure memory.
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P) != 0;
}

}  // namespace

bool EnsureGcryptReady() {
    // A function-local static is initialised exactly once, and concurrent first
    // callers wait for it.
    static const bool ready = InitialiseGcrypt();
    return ready;
}

}  // namespace crypto
