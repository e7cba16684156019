#include "host/fd_io.h"

#include <fcntl.h>
#include <signal.h>

namespace kelo {

std::ptrdiff_t ReadSome(int fd, void* buf, std::size_t n) {
  for (;;) {
    const ssize_t r = ::read(fd, buf, n);
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

void PrepareStdio() { ::signal(SIGPIPE, SIG_IGN); }

ProtocolOutput::ProtocolOutput(int fd) : fd_(fd) {
  if (fd != STDOUT_FILENO) return;
  // Closed on exec: a program a module starts must not hold the stream.
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return;  // stays on descriptor 1: no worse than before
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    ::close(moved);
    return;
  }
  fd_ = moved;
  owned_ = true;
}

ProtocolOutput::~ProtocolOutput() {
  if (owned_) ::close(fd_);
}

}  // namespace kelo
