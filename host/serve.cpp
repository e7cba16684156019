#include "host/serve.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>
#include <string>

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

}  // namespace

int RunServe(int inFd, int outFd, std::size_t maxLine) {
  CKeloCAActiveXCtrl control;
  JsonRpcEndpoint endpoint(control, csp::SetDialogRequester);

  std::string in;       // bytes read but not yet handled
  std::string out;      // responses not yet written
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
          out += response;
          out += '\n';
        }
      }
      start = nl + 1;
    }
    // Requests may carry PINs: wipe what has been handled.
    platform::SecureWipe(in.data(), start);
    in.erase(0, start);
    if (!skipping && in.size() > maxLine) {
      out += JsonRpcEndpoint::TooLarge(maxLine);
      out += '\n';
      skipping = true;
    }
    if (skipping) {
      platform::SecureWipe(in.data(), in.size());
      in.clear();
    }
    // Flush before waiting for more input: a client that waits for each
    // answer gets it at once, a pipelining one gets them in batches.
    if (!out.empty()) {
      if (!WriteAll(outFd, out.data(), out.size())) return 1;
      out.clear();
    }
    ssize_t r = ::read(inFd, chunk, sizeof chunk);
    if (r < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (r == 0) break;
    in.append(chunk, static_cast<std::size_t>(r));
    platform::SecureWipe(chunk, static_cast<std::size_t>(r));
  }
  // A last request without a line end still gets its answer.
  if (!skipping && !Blank(in)) {
    std::string response = in.size() > maxLine ? JsonRpcEndpoint::TooLarge(maxLine) : endpoint.Handle(in);
    if (!response.empty()) {
      response += '\n';
      if (!WriteAll(outFd, response.data(), response.size())) return 1;
    }
  }
  platform::SecureWipe(in.data(), in.size());
  return 0;
}

}  // namespace kelo
