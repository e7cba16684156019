#include "tests/support/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace kelo::test {
namespace {

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// A child that has gone away must show up as a failed write, not kill the test.
void IgnoreSigpipe() {
  static const bool done = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
}

}  // namespace

bool MakePipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC) == 0; }

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Environment Environment::Inherited() {
  Environment env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) env.entries_.emplace_back(*e);
  return env;
}

Environment Environment::Clean() {
  Environment env;
  for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* v = std::getenv(keep)) env.Set(keep, v);
  }
  return env;
}

Environment& Environment::Set(const std::string& name, const std::string& value) {
  Unset(name);
  entries_.push_back(name + "=" + value);
  return *this;
}

Environment& Environment::Set(const std::map<std::string, std::string>& vars) {
  for (const auto& [name, value] : vars) Set(name, value);
  return *this;
}

Environment& Environment::Unset(const std::string& name) {
  const std::string prefix = name + "=";
  std::erase_if(entries_, [&](const std::string& e) { return e.compare(0, prefix.size(), prefix) == 0; });
  return *this;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args, const Environment& env,
                           const ChildOptions& options)
    : program_(program) {
  IgnoreSigpipe();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env.Entries()) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  // Close-on-exec everywhere, so that no child inherits the write end of its
  // own stdin (it would never see end of input) or another child's pipes.
  int inPipe[2], outPipe[2], errPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) != 0) throw ChildError(ErrnoText("pipe"));
  UniqueFd inRead(inPipe[0]), inWrite(inPipe[1]);
  if (::pipe2(outPipe, O_CLOEXEC) != 0) throw ChildError(ErrnoText("pipe"));
  UniqueFd outRead(outPipe[0]), outWrite(outPipe[1]);
  if (::pipe2(errPipe, O_CLOEXEC) != 0) throw ChildError(ErrnoText("pipe"));
  UniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);
  UniqueFd stdinFile;
  if (!options.stdinPath.empty()) {
    stdinFile.Reset(::open(options.stdinPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!stdinFile) throw ChildError(ErrnoText("open " + options.stdinPath));
  }
  const int childStdin = stdinFile ? stdinFile.Get() : inRead.Get();

  pid_ = ::fork();
  if (pid_ < 0) throw ChildError(ErrnoText("fork"));
  if (pid_ == 0) {
    if (::dup2(childStdin, STDIN_FILENO) >= 0 && ::dup2(outWrite.Get(), STDOUT_FILENO) >= 0 &&
        (!options.mergeStderr || ::dup2(outWrite.Get(), STDERR_FILENO) >= 0)) {
      ::execve(program.c_str(), argv.data(), envp.data());
    }
    const int err = errno;
    ssize_t ignored = ::write(errWrite.Get(), &err, sizeof err);
    (void)ignored;
    ::_exit(127);
  }
  errWrite.Reset();
  // Blocks only until the exec (or its failure): the pipe closes on exec.
  int childErrno = 0;
  ssize_t n;
  do {
    n = ::read(errRead.Get(), &childErrno, sizeof childErrno);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    Wait();
    throw ChildError("cannot execute " + program + ": " + std::strerror(childErrno));
  }
  in_ = std::move(inWrite);
  out_ = std::move(outRead);
}

ChildProcess::~ChildProcess() {
  in_.Reset();
  out_.Reset();
  if (pid_ > 0) {
    Kill();
    // Not Wait(): a destructor must not throw.
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

void ChildProcess::Write(std::string_view data) {
  while (!data.empty()) {
    const ssize_t w = ::write(in_.Get(), data.data(), data.size());
    if (w < 0) {
      if (errno == EINTR) continue;
      throw ChildError(ErrnoText("write to " + program_));
    }
    data.remove_prefix(static_cast<std::size_t>(w));
  }
}

bool ChildProcess::ReadSome(std::string& out, std::chrono::steady_clock::time_point deadline, bool* timedOut) {
  if (timedOut != nullptr) *timedOut = false;
  for (;;) {
    pollfd p{out_.Get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) throw ChildError(ErrnoText("poll"));
    if (ready == 0) {
      if (timedOut != nullptr) *timedOut = true;
      return false;
    }
    char chunk[65536];
    const ssize_t r = ::read(out_.Get(), chunk, sizeof chunk);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    out.append(chunk, static_cast<std::size_t>(r));
    return true;
  }
}

void ChildProcess::Kill() {
  if (pid_ > 0) ::kill(pid_, SIGKILL);
}

int ChildProcess::Wait() {
  if (pid_ <= 0) throw ChildError("child " + program_ + " was already reaped");
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) throw ChildError(ErrnoText("waitpid"));
  }
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 255;
}

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args, const Environment& env,
                     const std::string& input, std::chrono::milliseconds timeout, const ChildOptions& options) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  ChildProcess child(program, args, env, options);
  // Input and output take turns, so a child that answers before reading all
  // of its input cannot block us (nor we it) on a full pipe.
  std::string_view pending = input;
  if (pending.empty() || !options.stdinPath.empty()) child.CloseIn();
  if (child.In() >= 0) ::fcntl(child.In(), F_SETFL, ::fcntl(child.In(), F_GETFL) | O_NONBLOCK);
  ChildResult result;
  for (;;) {
    pollfd fds[2] = {{child.Out(), POLLIN, 0}, {child.In(), POLLOUT, 0}};
    const int ready = ::poll(fds, child.In() >= 0 ? 2 : 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      result.timedOut = ready == 0;
      child.Kill();
      break;
    }
    if (child.In() >= 0 && fds[1].revents != 0) {
      const ssize_t w = ::write(child.In(), pending.data(), pending.size());
      if (w > 0) pending.remove_prefix(static_cast<std::size_t>(w));
      if (pending.empty() || (w < 0 && errno != EAGAIN && errno != EINTR)) child.CloseIn();
    }
    if (fds[0].revents != 0) {
      char chunk[65536];
      const ssize_t r = ::read(child.Out(), chunk, sizeof chunk);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      result.out.append(chunk, static_cast<std::size_t>(r));
    }
  }
  child.CloseIn();
  result.status = child.Wait();
  return result;
}

}  // namespace kelo::test
