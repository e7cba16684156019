// Runs `kelo-ca serve` as a child process and talks JSON-RPC to it.
#ifndef KELO_TESTS_SERVE_CLIENT_H
#define KELO_TESTS_SERVE_CLIENT_H

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace kelo::test {

class ServeClient {
 public:
  using json = nlohmann::json;
  // A host that has not answered by then is taken as hung.
  static constexpr std::chrono::seconds kAnswerTimeout{60};

  // env entries are added to (or replace) the test's own environment.
  explicit ServeClient(const std::map<std::string, std::string>& env, const std::string& exe = KELO_CA_EXE)
      : child_(exe, {"serve"}, Environment::Inherited().Set(env)) {}

  void Send(const std::string& text) { child_.Write(text); }
  // One response line, without its end.
  std::string ReadLine() {
    const auto deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
    for (;;) {
      std::size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return line;
      }
      bool timedOut = false;
      if (!child_.ReadSome(buf_, deadline, &timedOut))
        throw std::runtime_error(timedOut ? "serve did not answer in time" : "serve closed its output");
    }
  }
  json Request(const std::string& line) {
    Send(line + "\n");
    return json::parse(ReadLine());
  }
  // Calls a method with positional parameters; returns the whole response.
  // A single plain value stands for a one-element array: json's brace
  // initialisation collapses {x} to x.
  json Call(const std::string& method, json params = json::array()) {
    if (!params.is_array() && !params.is_object()) params = json::array({params});
    json req = {{"jsonrpc", "2.0"}, {"id", ++id_}, {"method", method}, {"params", params}};
    json resp = Request(req.dump());
    if (resp.value("id", json()) != json(id_)) throw std::runtime_error("response id mismatch: " + resp.dump());
    return resp;
  }
  // The result of a call that must succeed at the protocol level.
  json Result(const std::string& method, const json& params = json::array()) {
    json resp = Call(method, params);
    if (!resp.contains("result")) throw std::runtime_error(method + " failed: " + resp.dump());
    return resp["result"];
  }
  // Closes stdin and returns the exit status.
  int Finish() {
    child_.CloseIn();
    // Drain first: a child blocked on a full pipe would never exit.
    const auto deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
    while (child_.ReadSome(buf_, deadline)) {
    }
    return child_.Wait();
  }
  // Output left after the last line read (complete once Finish returned).
  std::string ReadRest() {
    std::string rest;
    rest.swap(buf_);
    return rest;
  }

 private:
  ChildProcess child_;
  int id_ = 0;
  std::string buf_;
};

}  // namespace kelo::test

#endif
