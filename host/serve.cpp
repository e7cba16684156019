#include "host/serve.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "control/kelo_ctrl.h"
#include "csp/dialogs_loader.h"
#include "host/fd_io.h"
#include "host/jsonrpc.h"
#include "platform/wipe.h"

namespace kelo {
namespace {

bool Blank(std::string_view s) {
  for (char c : s) {
    if (c != ' ' && c != '\t' && c != '\r') return false;
  }
  return true;
}

// Appends; when the buffer must grow, the old one is wiped rather than
// left behind with requests (PINs) or answers (plaintexts) in it.
void AppendWiping(std::string& buf, std::string_view add) {
  if (buf.size() + add.size() > buf.capacity()) {
    std::string bigger;
    bigger.reserve(std::max(2 * buf.capacity(), buf.size() + add.size()));
    bigger.assign(buf);
    platform::SecureWipe(buf);
    buf.swap(bigger);
  }
  buf.append(add);
}

}  // namespace

int RunServe(int inFd, int outFd, std::size_t maxLine) {
  // Before the control loads any module (and outlives it).
  ProtocolOutput protocol(outFd);
  outFd = protocol.fd();
  CKeloCAActiveXCtrl control;
  JsonRpcEndpoint endpoint(control, csp::SetDialogRequester);

  std::string in;       // bytes read but not yet handled
  std::string out;      // responses not yet written (they may hold plaintexts)
  bool skipping = false;  // inside an oversized line, dropping up to its end
  char chunk[64 * 1024];

  for (;;) {
    std::size_t start = 0;
    for (;;) {
      std::size_t nl = in.find('\n', start);
      if (nl == std::string::npos) break;
      std::string_view line(in.data() + start, nl - start);
      if (skipping) {
        skipping = false;
      } else if (!Blank(line)) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string response =
            line.size() > maxLine ? JsonRpcEndpoint::TooLarge(maxLine) : endpoint.Handle(line);
        if (!response.empty()) {
          AppendWiping(out, response);
          AppendWiping(out, "\n");
          platform::SecureWipe(response);
        }
      }
      start = nl + 1;
    }
    // Requests may carry PINs: wipe what has been handled.
    platform::SecureWipe(in.data(), start);
    in.erase(0, start);
    if (!skipping && in.size() > maxLine) {
      AppendWiping(out, JsonRpcEndpoint::TooLarge(maxLine) + '\n');
      skipping = true;
    }
    if (skipping) {
      platform::SecureWipe(in.data(), in.size());
      in.clear();
    }
    // Flush before waiting for more input: a client that waits for each
    // answer gets it at once, a pipelining one gets them in batches.
    if (!out.empty()) {
      bool written = WriteAll(outFd, out.data(), out.size());
      platform::SecureWipe(out);
      if (!written) return 1;
    }
    ssize_t r = ::read(inFd, chunk, sizeof chunk);
    if (r < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (r == 0) break;
    AppendWiping(in, std::string_view(chunk, static_cast<std::size_t>(r)));
    platform::SecureWipe(chunk, static_cast<std::size_t>(r));
  }
  // A last request without a line end still gets its answer.
  if (!skipping && !Blank(in)) {
    std::string response = in.size() > maxLine ? JsonRpcEndpoint::TooLarge(maxLine) : endpoint.Handle(in);
    if (!response.empty()) {
      AppendWiping(response, "\n");
      bool written = WriteAll(outFd, response.data(), response.size());
      platform::SecureWipe(response);
      if (!written) return 1;
    }
  }
  platform::SecureWipe(in);  // its whole capacity: erase leaves moved bytes behind
  return 0;
}

}  // namespace kelo
