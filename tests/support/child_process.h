// Child processes for the tests and benchmarks that drive a program from
// outside: its environment, its stdin and stdout as pipes, a deadline.
//
// Everything the child needs is prepared before fork, so the child itself
// only makes async-signal-safe calls (the tests run threads).
#ifndef KELO_TESTS_SUPPORT_CHILD_PROCESS_H
#define KELO_TESTS_SUPPORT_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kelo::test {

// Setup faults (no pipe, no fork, nothing to execute) and a dead child.
class ChildError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes what it held (each OS's close), then holds fd.
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A pipe in binary mode, both ends kept from children: fds[0] to read,
// fds[1] to write. False when none can be made.
bool MakePipe(int fds[2]);

// The variables a child starts with.
class Environment {
 public:
  // This process's environment.
  static Environment Inherited();
  // Nothing but the sanitizer options, which reach the child as they reach
  // the test (a sanitizer build's child would otherwise report differently).
  static Environment Clean();

  Environment& Set(const std::string& name, const std::string& value);
  Environment& Set(const std::map<std::string, std::string>& vars);
  Environment& Unset(const std::string& name);
  const std::vector<std::string>& Entries() const { return entries_; }

 private:
  std::vector<std::string> entries_;
};

struct ChildOptions {
  bool mergeStderr = false;  // stderr into the stdout pipe; else the test's own
  std::string stdinPath;     // stdin from this file instead of a pipe
};

// A started child; one still running when the object goes away is killed
// and reaped.
class ChildProcess {
 public:
  // Throws ChildError when the program cannot be started.
  ChildProcess(const std::string& program, const std::vector<std::string>& args, const Environment& env,
               const ChildOptions& options = {});
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  int In() const { return in_.Get(); }
  int Out() const { return out_.Get(); }
  void CloseIn() { in_.Reset(); }
  // Writes everything to the child's stdin; throws ChildError when it is gone.
  void Write(std::string_view data);
  // Appends what arrives within the deadline to out. False at end of output
  // or when the deadline passed first (then timedOut is set).
  bool ReadSome(std::string& out, std::chrono::steady_clock::time_point deadline, bool* timedOut = nullptr);
  void Kill();
  // Exit status, or 128 + the signal's number when a signal ended it.
  int Wait();

 private:
  std::string program_;
  pid_t pid_ = -1;
  UniqueFd in_;
  UniqueFd out_;
};

struct ChildResult {
  int status = -1;  // as ChildProcess::Wait
  std::string out;
  bool timedOut = false;  // killed at the deadline; out holds what came before
};

// Runs program to its end: writes input (then ends it), collects stdout
// until the child closes it, kills the child when the timeout passes first.
ChildResult RunChild(const std::string& program, const std::vector<std::string>& args, const Environment& env,
                     const std::string& input = "", std::chrono::milliseconds timeout = std::chrono::seconds(60),
                     const ChildOptions& options = {});

}  // namespace kelo::test

#endif
