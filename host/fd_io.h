// Reading and writing whole buffers on a file descriptor, and the protocol
// stream of the stdio hosts. The OS-specific parts are in fd_io_posix.cpp
// and fd_io_win32.cpp.
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
    // Bounded so that the count fits every platform's write().
    const std::size_t chunk = n < (1u << 30) ? n : (1u << 30);
    auto w = ::write(fd, p, static_cast<unsigned>(chunk));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Up to n bytes from fd, retrying after signals: the count, 0 at end of
// input, -1 on error.
std::ptrdiff_t ReadSome(int fd, void* buf, std::size_t n);

// Called first thing by the command line: the standard streams carry
// length-prefixed binary frames (no newline translation, no end-of-file
// byte), and a peer that goes away makes a write fail rather than end the
// process.
void PrepareStdio();

// The protocol stream of a stdio host. Token modules may print to stdout;
// when the stream is descriptor 1 it moves to a private descriptor before
// any module is loaded, and descriptor 1 then points at stderr, where such
// output, and anything stdio's stdout buffer still holds, ends up instead
// of inside a frame.
class ProtocolOutput {
 public:
  explicit ProtocolOutput(int fd);
  ProtocolOutput(const ProtocolOutput&) = delete;
  ProtocolOutput& operator=(const ProtocolOutput&) = delete;
  ~ProtocolOutput();
  int fd() const { return fd_; }

 private:
  int fd_;
  bool owned_ = false;
};

}  // namespace kelo

#endif
