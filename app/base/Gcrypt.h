// libgcrypt must be initialised once per process before its first use; every
// user calls EnsureGcryptReady() first.
#pragma once

namespace crypto {

// Initialises libgcrypt once, thread-safely; true when the library is usable.
bool EnsureGcryptReady();

}  // namespace crypto
