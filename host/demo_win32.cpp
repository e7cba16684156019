#include <cstdio>

#include "host/demo.h"

namespace kelo {

// The demo's hidden PIN prompt and its fixture certificates are Linux
// tooling; on Windows the shell covers the same steps.
int RunDemo(int /*argc*/, char** /*argv*/) {
  std::fputs(
      "kelo-ca demo: not available on Windows; run the same steps with kelo-ca shell\n"
      "(ConnectToken, Login $sid PIN, ...), see kelo-ca shell --help\n",
      stderr);
  return 2;
}

}  // namespace kelo
