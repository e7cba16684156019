#include <windows.h>

#include <bcrypt.h>

#include "platform/random.h"

namespace platform {

bool RandomBytes(void* out, std::size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    ULONG chunk = n > 0x10000000 ? 0x10000000 : static_cast<ULONG>(n);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
    p += chunk;
    n -= chunk;
  }
  return true;
}

}  // namespace platform
