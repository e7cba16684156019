#include "host/fd_io.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

namespace kelo {

std::ptrdiff_t ReadSome(int fd, void* buf, std::size_t n) {
  const unsigned chunk = n < (1u << 30) ? static_cast<unsigned>(n) : (1u << 30);
  // A pipe whose writer has gone reads as end of input (0), as on POSIX.
  return ::_read(fd, buf, chunk);
}

void PrepareStdio() {
  // Text mode would turn 0x0A into 0x0D 0x0A and stop reading at 0x1A,
  // breaking the length framing. Writes to a closed pipe already fail with
  // EPIPE here rather than raising a signal.
  ::_setmode(_fileno(stdin), _O_BINARY);
  ::_setmode(_fileno(stdout), _O_BINARY);
}

ProtocolOutput::ProtocolOutput(int fd) : fd_(fd) {
  if (fd != 1) return;
  std::fflush(stdout);
  // The protocol keeps its own, non-inheritable copy of the stream.
  HANDLE out = reinterpret_cast<HANDLE>(::_get_osfhandle(1));
  HANDLE self = ::GetCurrentProcess();
  HANDLE copy = nullptr;
  if (out == INVALID_HANDLE_VALUE || !::DuplicateHandle(self, out, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return;  // stays on descriptor 1: no worse than before
  }
  const int moved = ::_open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_BINARY | _O_WRONLY);
  if (moved < 0) {
    ::CloseHandle(copy);
    return;
  }
  // Descriptor 1 and the process's standard output handle, which modules
  // writing through the Win32 API use, both go to stderr from now on.
  if (::_dup2(2, 1) != 0) {
    ::_close(moved);
    return;
  }
  ::SetStdHandle(STD_OUTPUT_HANDLE, ::GetStdHandle(STD_ERROR_HANDLE));
  fd_ = moved;
  owned_ = true;
}

ProtocolOutput::~ProtocolOutput() {
  if (owned_) ::_close(fd_);
}

}  // namespace kelo
