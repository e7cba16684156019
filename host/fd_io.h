// Writing whole buffers to a file descriptor, and the protocol stream of
// the stdio hosts.
#ifndef KELO_HOST_FD_IO_H
#define KELO_HOST_FD_IO_H

#include <errno.h>
#include <fcntl.h>
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

// The protocol stream of a stdio host. Token modules may print to stdout;
// when the stream is descriptor 1 it moves to a private descriptor (closed
// on exec) before any module is loaded, and descriptor 1 then points at
// stderr, where such output, and anything stdio's stdout buffer still holds,
// ends up instead of inside a frame.
class ProtocolOutput {
 public:
  explicit ProtocolOutput(int fd) : fd_(fd) {
    if (fd != STDOUT_FILENO) return;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return;  // stays on descriptor 1: no worse than before
    if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
      ::close(moved);
      return;
    }
    fd_ = moved;
    owned_ = true;
  }
  ProtocolOutput(const ProtocolOutput&) = delete;
  ProtocolOutput& operator=(const ProtocolOutput&) = delete;
  ~ProtocolOutput() {
    if (owned_) ::close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
  bool owned_ = false;
};

}  // namespace kelo

#endif
