// Client side of `kelo-ca serve` for the benchmarks: request lines, strict
// checks of the response lines, and the child process itself.
#ifndef KELO_BENCH_SERVE_CLIENT_H
#define KELO_BENCH_SERVE_CLIENT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "bench/harness.h"

namespace kelo::bench {

// Appends one request line (with its '\n') to out. params is the JSON text
// of the parameter array, e.g. R"([0,0,""])".
void AppendRequest(std::string& out, std::int64_t id, std::string_view method, std::string_view params);

// The result text of a successful response to request id, exactly as the
// host writes it: {"jsonrpc":"2.0","id":<id>,"result":<result>}. Anything
// else (an error, another id, another layout) throws Failure quoting the line.
std::string_view ResultOf(std::string_view line, std::int64_t id);
std::int64_t IntResult(std::string_view line, std::int64_t id);
// A string result; escapes are refused (hex and serials never need them).
std::string_view StringResult(std::string_view line, std::int64_t id);

// A response line (valid until the next call) and the id of its request.
struct Response {
  std::string_view line;
  std::int64_t id;
};
inline std::int64_t IntResult(const Response& r) { return IntResult(r.line, r.id); }
inline std::string_view StringResult(const Response& r) { return StringResult(r.line, r.id); }

// A `kelo-ca serve` child with its own request ids.
class ServeProcess {
 public:
  ServeProcess(const std::string& keloCa, const Environment& env);

  // Sends one request and waits for its response.
  Response Call(std::string_view method, std::string_view params);
  std::int64_t CallInt(std::string_view method, std::string_view params) { return IntResult(Call(method, params)); }
  std::string CallString(std::string_view method, std::string_view params) {
    return std::string(StringResult(Call(method, params)));
  }
  // The id the next request gets.
  std::int64_t NextId() const { return nextId_; }

  // Ends the input and waits for the host to exit; throws unless it exits 0.
  void Finish();

  ChildProcess& Child() { return child_; }
  LineReader& Reader() { return reader_; }

 private:
  ChildProcess child_;
  LineReader reader_;
  std::string request_;
  std::int64_t nextId_ = 1;
};

}  // namespace kelo::bench

#endif
