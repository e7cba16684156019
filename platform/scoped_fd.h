// A POSIX file descriptor closed when its owner goes (one deleter: close).
#ifndef KELO_PLATFORM_SCOPED_FD_H
#define KELO_PLATFORM_SCOPED_FD_H

#include <unistd.h>

namespace platform {

class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() { Close(); }
  int get() const { return fd_; }
  // Closes now; false when close() itself failed (a write may be lost).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

}  // namespace platform

#endif
