#include <string.h>

#include "platform/wipe.h"

namespace platform {

void SecureWipe(void* data, std::size_t n) {
  if (data && n) explicit_bzero(data, n);
}

}  // namespace platform
