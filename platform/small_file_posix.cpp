#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "platform/scoped_fd.h"
#include "platform/small_file.h"

namespace platform {

bool ReadSmallFile(const std::string& path, std::size_t maxSize, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  // O_NONBLOCK: opening a FIFO must not wait for a writer. O_NOCTTY: a
  // terminal must not become the process's controlling terminal. The type is
  // then checked on what was opened, not on the path, which could change.
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
      static_cast<std::uintmax_t>(st.st_size) > maxSize)
    return false;
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < buf.size()) {
    ssize_t r = ::read(fd.get(), buf.data() + got, buf.size() - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  bytes = std::move(buf);
  return true;
}

}  // namespace platform
