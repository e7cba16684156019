// Writing whole buffers to a file descriptor, for the stdio hosts.
#ifndef KELO_HOST_FD_IO_H
#define KELO_HOST_FD_IO_H

#include <errno.h>
#include <unistd.h>

#include <cstddef>

namespace kelo {

// Writes all n bytes, retrying after signals; false on any other error.
inline bool WriteAll(int fd, const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace kelo

#endif
