// The cheapest native-messaging host there can be: it answers every request
// with {"jsonrpc":"2.0","id":ID,"result":1} and does nothing else. The browser
// benchmark puts it behind the same extension as kelo-ca, so the difference
// between the two rates is what our host costs on top of the browser's path.
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "host/fd_io.h"

namespace {

constexpr std::uint32_t kMaxRequest = 1024 * 1024;

bool ReadExact(int fd, void* buf, std::size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t r = ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool Send(const std::string& body) {
  auto len = static_cast<std::uint32_t>(body.size());
  std::string frame(sizeof len, '\0');
  std::memcpy(frame.data(), &len, sizeof len);
  frame += body;
  return kelo::WriteAll(STDOUT_FILENO, frame.data(), frame.size());
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  std::string body;
  for (;;) {
    std::uint32_t len = 0;
    if (!ReadExact(STDIN_FILENO, &len, sizeof len)) return 0;  // the browser closed the port
    if (len > kMaxRequest) return 1;
    body.resize(len);
    if (!ReadExact(STDIN_FILENO, body.data(), len)) return 0;
    // The id is echoed as sent (number or string); it is parsed properly so
    // that the baseline is a correct host, not one that only fits our ids.
    nlohmann::json id = nullptr;
    nlohmann::json request = nlohmann::json::parse(body, nullptr, false);
    if (request.is_object() && request.contains("id")) id = request["id"];
    nlohmann::json answer = {{"jsonrpc", "2.0"}, {"id", id}, {"result", 1}};
    if (!Send(answer.dump())) return 1;
  }
}
