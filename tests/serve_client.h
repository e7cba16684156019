// Runs `kelo-ca serve` as a child process and talks JSON-RPC to it.
#ifndef KELO_TESTS_SERVE_CLIENT_H
#define KELO_TESTS_SERVE_CLIENT_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelo::test {

class ServeClient {
 public:
  using json = nlohmann::json;

  // env entries are added to (or replace) the test's own environment.
  explicit ServeClient(const std::map<std::string, std::string>& env, const std::string& exe = KELO_CA_EXE) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
    signal(SIGPIPE, SIG_IGN);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[0]);
      close(in[1]);
      close(out[0]);
      close(out[1]);
      for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      execl(exe.c_str(), exe.c_str(), "serve", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ServeClient(const ServeClient&) = delete;
  ServeClient& operator=(const ServeClient&) = delete;
  ~ServeClient() {
    if (to_ >= 0) close(to_);
    if (from_ >= 0) close(from_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  void Send(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      ssize_t w = write(to_, text.data() + done, text.size() - done);
      if (w <= 0) throw std::runtime_error("write to serve failed");
      done += static_cast<std::size_t>(w);
    }
  }
  // One response line, without its end.
  std::string ReadLine() {
    for (;;) {
      std::size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return line;
      }
      char chunk[65536];
      ssize_t r = read(from_, chunk, sizeof chunk);
      if (r <= 0) throw std::runtime_error("serve closed its output");
      buf_.append(chunk, static_cast<std::size_t>(r));
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
    close(to_);
    to_ = -1;
    // Drain first: a child blocked on a full pipe would never exit.
    char chunk[65536];
    ssize_t r;
    while ((r = read(from_, chunk, sizeof chunk)) > 0) buf_.append(chunk, static_cast<std::size_t>(r));
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Everything written after the last line read, up to end of output.
  // Output left after the last line read (complete once Finish returned).
  std::string ReadRest() {
    std::string rest;
    rest.swap(buf_);
    return rest;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  int id_ = 0;
  std::string buf_;
};

}  // namespace kelo::test

#endif
