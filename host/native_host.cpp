#include "host/native_host.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "control/kelo_ctrl.h"
#include "csp/dialog_requester.h"
#include "host/fd_io.h"
#include "platform/wipe.h"

namespace kelo {
namespace {

using json = nlohmann::ordered_json;

class FdSource final : public ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  std::ptrdiff_t Read(void* buf, std::size_t n) override { return ReadSome(fd_, buf, n); }

 private:
  int fd_;
};

class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  bool Write(const void* data, std::size_t n) override { return WriteAll(fd_, data, n); }

 private:
  int fd_;
};

enum class ReadStatus { kOk, kEnd, kError };

// Reads exactly n bytes. kEnd when input ends first, even part way.
ReadStatus ReadExact(ByteSource& in, void* buf, std::size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    std::ptrdiff_t r = in.Read(p, n);
    if (r < 0) return ReadStatus::kError;
    if (r == 0) return ReadStatus::kEnd;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return ReadStatus::kOk;
}

// Answers may carry decrypted data or signatures: wipe them once sent.
bool SendFrame(ByteSink& out, std::string& body) {
  std::string frame = Frame(body);
  bool ok = out.Write(frame.data(), frame.size());
  platform::SecureWipe(frame);
  platform::SecureWipe(body);
  return ok;
}

}  // namespace

std::string Frame(std::string_view body) {
  // Callers keep bodies within kMaxNativeResponse, far below 4 GiB.
  auto len = static_cast<std::uint32_t>(body.size());
  std::string frame(sizeof len + body.size(), '\0');
  std::memcpy(frame.data(), &len, sizeof len);
  std::memcpy(frame.data() + sizeof len, body.data(), body.size());
  return frame;
}

std::string LimitResponse(std::string response, std::size_t maxResponse) {
  if (response.size() <= maxResponse) return response;
  json id = nullptr;
  try {
    json r = json::parse(response);
    if (r.is_object()) {
      auto it = r.find("id");
      if (it != r.end()) id = *it;
    }
    if (r.is_object() && r.contains("result") && r["result"].is_string()) {
      platform::SecureWipe(r["result"].get_ref<std::string&>());
    }
  } catch (const json::exception&) {
    // Our own output always parses; a null id is the safe answer anyway.
  }
  platform::SecureWipe(response);
  auto error = [&](const json& which) {
    json e = {{"jsonrpc", "2.0"},
              {"id", which},
              {"error",
               {{"code", kInternalError},
                {"message", "result larger than " + std::to_string(maxResponse) + " bytes, the message limit"}}}};
    return e.dump(-1, ' ', false, json::error_handler_t::replace);
  };
  std::string answer = error(id);
  // An id near the request limit could push even the error past the limit.
  if (answer.size() > maxResponse) answer = error(nullptr);
  return answer;
}

int RunNativeHost(JsonRpcEndpoint& endpoint, ByteSource& in, ByteSink& out, std::size_t maxRequest,
                  std::size_t maxResponse) {
  for (;;) {
    std::uint32_t len = 0;
    switch (ReadExact(in, &len, sizeof len)) {
      case ReadStatus::kOk: break;
      case ReadStatus::kEnd: return 0;  // port closed (or cut inside the length)
      case ReadStatus::kError: return 1;
    }
    if (len > maxRequest) {
      // Refused from the length alone; the body is never read, so the
      // stream cannot be resynchronised: answer and end.
      std::string answer = LimitResponse(JsonRpcEndpoint::TooLarge(maxRequest), maxResponse);
      return SendFrame(out, answer) ? 0 : 1;
    }
    std::string response;
    {
      platform::SecureBytes body(len);
      switch (ReadExact(in, body.data(), len)) {
        case ReadStatus::kOk: break;
        case ReadStatus::kEnd: return 0;  // cut inside the body: nothing to answer
        case ReadStatus::kError: return 1;
      }
      response = endpoint.Handle(std::string_view(reinterpret_cast<const char*>(body.data()), len));
    }  // the request (it may hold a PIN) is wiped here
    if (response.empty()) continue;  // notification
    response = LimitResponse(std::move(response), maxResponse);
    if (!SendFrame(out, response)) return 1;
  }
}

int RunNativeHost(JsonRpcEndpoint& endpoint, int inFd, int outFd, std::size_t maxRequest) {
  FdSource in(inFd);
  FdSink out(outFd);
  return RunNativeHost(endpoint, in, out, maxRequest, kMaxNativeResponse);
}

int RunNativeHost(int inFd, int outFd, std::size_t maxRequest) {
  // Before the control loads any module (and outlives it).
  ProtocolOutput protocol(outFd);
  // One control per process: destroying it at the end finalises the modules.
  CKeloCAActiveXCtrl control;
  // Pages pass certificates as data; a path would let them probe this
  // machine's files.
  control.RefuseCertificateFiles();
  // The extension's hello names the page's origin; the selection dialog shows it.
  JsonRpcEndpoint endpoint(control, csp::SetDialogRequester);
  return RunNativeHost(endpoint, inFd, protocol.fd(), maxRequest);
}

}  // namespace kelo
