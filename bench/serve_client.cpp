#include "bench/serve_client.h"

#include <charconv>

namespace kelo::bench {
namespace {

constexpr std::string_view kHead = R"({"jsonrpc":"2.0","id":)";
constexpr std::string_view kResult = R"(,"result":)";

void AppendNumber(std::string& out, std::int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

[[noreturn]] void Unexpected(std::string_view line, std::int64_t id, const char* why) {
  constexpr std::size_t kShown = 300;
  std::string shown(line.substr(0, kShown));
  if (line.size() > kShown) shown += "...";
  throw Failure(Format("response to request %lld %s: %s", static_cast<long long>(id), why, shown.c_str()));
}

}  // namespace

void AppendRequest(std::string& out, std::int64_t id, std::string_view method, std::string_view params) {
  out += kHead;
  AppendNumber(out, id);
  out += R"(,"method":")";
  out += method;
  out += R"(","params":)";
  out += params;
  out += "}\n";
}

std::string_view ResultOf(std::string_view line, std::int64_t id) {
  if (line.substr(0, kHead.size()) != kHead) Unexpected(line, id, "has an unexpected layout");
  std::string_view rest = line.substr(kHead.size());
  std::int64_t got = 0;
  const auto r = std::from_chars(rest.data(), rest.data() + rest.size(), got);
  if (r.ec != std::errc() || got != id) Unexpected(line, id, "carries another id");
  rest.remove_prefix(static_cast<std::size_t>(r.ptr - rest.data()));
  if (rest.substr(0, kResult.size()) != kResult || rest.size() < kResult.size() + 2 || rest.back() != '}')
    Unexpected(line, id, "is not a result");
  return rest.substr(kResult.size(), rest.size() - kResult.size() - 1);
}

std::int64_t IntResult(std::string_view line, std::int64_t id) {
  const std::string_view text = ResultOf(line, id);
  std::int64_t v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size()) Unexpected(line, id, "is not an integer");
  return v;
}

std::string_view StringResult(std::string_view line, std::int64_t id) {
  const std::string_view text = ResultOf(line, id);
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') Unexpected(line, id, "is not a string");
  const std::string_view inner = text.substr(1, text.size() - 2);
  if (inner.find_first_of("\\\"") != std::string_view::npos) Unexpected(line, id, "holds escapes");
  return inner;
}

ServeProcess::ServeProcess(const std::string& keloCa, const Environment& env)
    : child_(keloCa, {"serve"}, env), reader_(child_.Out()) {}

Response ServeProcess::Call(std::string_view method, std::string_view params) {
  const std::int64_t id = nextId_++;
  request_.clear();
  AppendRequest(request_, id, method, params);
  WriteAll(child_.In(), request_);
  std::string_view line;
  if (!reader_.Next(line)) throw Failure("kelo-ca serve ended its output before answering " + std::string(method));
  return {line, id};
}

void ServeProcess::Finish() {
  child_.CloseIn();
  std::string_view extra;
  if (reader_.Next(extra)) throw Failure("kelo-ca serve wrote an unrequested line: " + std::string(extra));
  const int status = child_.Wait();
  if (status != 0) throw Failure(Format("kelo-ca serve exited with status %d", status));
}

}  // namespace kelo::bench
