#include "host/serve.h"

#include <cstring>
#include <string>
#include <string_view>

#include "control/kelo_ctrl.h"
#include "csp/dialog_requester.h"
#include "host/fd_io.h"
#include "host/jsonrpc.h"
#include "platform/secret.h"
#include "platform/wipe.h"

namespace kelo {
namespace {

bool Blank(std::string_view s) {
  for (char c : s) {
    if (c != ' ' && c != '\t' && c != '\r') return false;
  }
  return true;
}

// Cuts the input into lines and collects their answers. Both buffers may
// hold secrets (PINs in requests, plaintexts in answers), so they wipe
// whatever they release.
class LineServer {
 public:
  LineServer(JsonRpcEndpoint& endpoint, std::size_t maxLine) : endpoint_(endpoint), maxLine_(maxLine) {}

  // Handles every complete line of what has arrived so far.
  void Take(std::string_view bytes) {
    in_.append(bytes);
    HandleLines();
    SkipOversized();
  }

  // Writes the answers collected so far: a client that waits for each answer
  // gets it at once, a pipelining one gets them in batches.
  bool Flush(int fd) {
    if (out_.empty()) return true;
    const bool written = WriteAll(fd, out_.data(), out_.size());
    out_.clear();
    return written;
  }

  // At end of input: a last request without a line end still gets its answer.
  bool Finish(int fd) {
    if (!skipping_ && !Blank(in_.str())) Answer(in_.str());
    in_.clear();
    return Flush(fd);
  }

 private:
  void HandleLines() {
    std::size_t start = 0;
    for (std::size_t nl; (nl = in_.str().find('\n', start)) != std::string::npos; start = nl + 1) {
      std::string_view line(in_.data() + start, nl - start);
      if (skipping_) {
        skipping_ = false;  // the end of an oversized line
      } else if (!Blank(line)) {
        if (line.back() == '\r') line.remove_suffix(1);
        Answer(line);
      }
    }
    // Wipes the handled part; erasing alone would leave it behind the moved bytes.
    platform::SecureWipe(in_.mutable_str().data(), start);
    in_.mutable_str().erase(0, start);
  }

  // A line past the limit is refused at once and dropped up to its end,
  // without holding more of it.
  void SkipOversized() {
    if (!skipping_ && in_.size() > maxLine_) {
      Append(JsonRpcEndpoint::TooLarge(maxLine_));
      skipping_ = true;
    }
    if (skipping_) in_.clear();
  }

  void Answer(std::string_view line) {
    Append(line.size() > maxLine_ ? JsonRpcEndpoint::TooLarge(maxLine_) : endpoint_.Handle(line));
  }

  void Append(platform::SecretString response) {
    if (response.empty()) return;  // a notification
    out_.append(response.str());
    out_.append("\n");
  }

  JsonRpcEndpoint& endpoint_;
  const std::size_t maxLine_;
  platform::SecretString in_;   // bytes read but not yet handled
  platform::SecretString out_;  // answers not yet written
  bool skipping_ = false;       // inside an oversized line, dropping up to its end
};

}  // namespace

int RunServe(int inFd, int outFd, std::size_t maxLine) {
  // Before the control loads any module (and outlives it).
  ProtocolOutput protocol(outFd);
  CKeloCAActiveXCtrl control;
  JsonRpcEndpoint endpoint(control, csp::SetDialogRequester);
  LineServer server(endpoint, maxLine);
  char chunk[64 * 1024];
  for (;;) {
    if (!server.Flush(protocol.fd())) return 1;
    const std::ptrdiff_t r = ReadSome(inFd, chunk, sizeof chunk);
    if (r < 0) return 1;
    if (r == 0) break;
    server.Take(std::string_view(chunk, static_cast<std::size_t>(r)));
    platform::SecureWipe(chunk, static_cast<std::size_t>(r));
  }
  return server.Finish(protocol.fd()) ? 0 : 1;
}

}  // namespace kelo
