// `kelo-ca serve`: JSON-RPC, one request per line on stdin, one response per
// line on stdout.
#ifndef KELO_HOST_SERVE_H
#define KELO_HOST_SERVE_H

#include <cstddef>

namespace kelo {

inline constexpr std::size_t kMaxRequestLine = 1024 * 1024;

// Serves until end of input. Returns the process exit code. When outFd is
// descriptor 1 the answers go out on a private copy of it and descriptor 1
// is pointed at stderr, so module output cannot corrupt them.
int RunServe(int inFd, int outFd, std::size_t maxLine = kMaxRequestLine);

}  // namespace kelo

#endif
