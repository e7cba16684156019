#include <windows.h>

#include "platform/wipe.h"

namespace platform {

void SecureWipe(void* data, std::size_t n) {
  if (data && n) SecureZeroMemory(data, n);
}

}  // namespace platform
