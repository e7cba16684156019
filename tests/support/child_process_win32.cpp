// Child processes on Windows: CreateProcess with anonymous pipes, wrapped in
// C runtime descriptors so that callers see the same int interface as on
// POSIX. The process handle is kept in pid_ (a 64-bit integer here).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/support/child_process.h"

namespace kelo::test {
namespace {

std::string LastErrorText(const std::string& what) { return what + ": error " + std::to_string(::GetLastError()); }

HANDLE ProcessOf(pid_t pid) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(pid)); }

// One argument as the C runtime's parser reads it back.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string q = "\"";
  std::size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    // Backslashes double only before a quote, which gets one of its own.
    q.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
    slashes = 0;
    q.push_back(c);
  }
  q.append(slashes * 2, '\\');
  q.push_back('"');
  return q;
}

// A pipe whose end for the child is inheritable and whose end for us is not.
void MakePipe(HANDLE& read, HANDLE& write, bool childReads) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  if (!::CreatePipe(&read, &write, &sa, 1 << 16)) throw ChildError(LastErrorText("CreatePipe"));
  ::SetHandleInformation(childReads ? write : read, HANDLE_FLAG_INHERIT, 0);
}

int ToFd(HANDLE h, int flags) {
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(h);
    throw ChildError("_open_osfhandle failed");
  }
  return fd;
}

}  // namespace

bool MakePipe(int fds[2]) { return ::_pipe(fds, 1 << 16, _O_BINARY | _O_NOINHERIT) == 0; }

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::_close(fd_);
  fd_ = fd;
}

Environment Environment::Inherited() {
  Environment env;
  for (char** e = _environ; e != nullptr && *e != nullptr; ++e) env.entries_.emplace_back(*e);
  return env;
}

Environment Environment::Clean() {
  // Windows needs SystemRoot to start any program at all.
  Environment env;
  if (const char* v = std::getenv("SystemRoot")) env.Set("SystemRoot", v);
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
  // Variable names are not case-sensitive on Windows.
  std::erase_if(entries_, [&](const std::string& e) {
    return e.size() > name.size() && e[name.size()] == '=' && ::_strnicmp(e.c_str(), name.c_str(), name.size()) == 0;
  });
  return *this;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args, const Environment& env,
                           const ChildOptions& options)
    : program_(program) {
  std::string cmd = Quote(program);
  for (const std::string& a : args) cmd.append(1, ' ').append(Quote(a));
  std::string block;
  for (const std::string& e : env.Entries()) block.append(e).push_back('\0');
  block.push_back('\0');

  HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
  MakePipe(inRead, inWrite, true);
  MakePipe(outRead, outWrite, false);
  HANDLE stdinFile = INVALID_HANDLE_VALUE;
  if (!options.stdinPath.empty()) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    stdinFile = ::CreateFileA(options.stdinPath.c_str(), GENERIC_READ, FILE_SHARE_READ, &sa, OPEN_EXISTING, 0, nullptr);
  }
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = stdinFile != INVALID_HANDLE_VALUE ? stdinFile : inRead;
  si.hStdOutput = outWrite;
  si.hStdError = options.mergeStderr ? outWrite : ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  const BOOL started = ::CreateProcessA(program.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, block.data(), nullptr,
                                        &si, &pi);
  const std::string error = started ? std::string() : LastErrorText("cannot execute " + program);
  // Only the child keeps its ends: it then sees end of input when we close ours.
  ::CloseHandle(inRead);
  ::CloseHandle(outWrite);
  if (stdinFile != INVALID_HANDLE_VALUE) ::CloseHandle(stdinFile);
  if (!started) {
    ::CloseHandle(inWrite);
    ::CloseHandle(outRead);
    throw ChildError(error);
  }
  ::CloseHandle(pi.hThread);
  pid_ = static_cast<pid_t>(reinterpret_cast<intptr_t>(pi.hProcess));
  in_.Reset(ToFd(inWrite, _O_WRONLY));
  out_.Reset(ToFd(outRead, _O_RDONLY));
}

ChildProcess::~ChildProcess() {
  in_.Reset();
  out_.Reset();
  if (pid_ != -1) {
    Kill();
    ::WaitForSingleObject(ProcessOf(pid_), INFINITE);
    ::CloseHandle(ProcessOf(pid_));
  }
}

void ChildProcess::Write(std::string_view data) {
  while (!data.empty()) {
    const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(data.size(), 1 << 16));
    const int w = ::_write(in_.Get(), data.data(), chunk);
    if (w < 0) throw ChildError("write to " + program_ + " failed");
    data.remove_prefix(static_cast<std::size_t>(w));
  }
}

bool ChildProcess::ReadSome(std::string& out, std::chrono::steady_clock::time_point deadline, bool* timedOut) {
  if (timedOut != nullptr) *timedOut = false;
  HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(out_.Get()));
  // Anonymous pipes cannot be waited on: look, then nap briefly.
  for (;;) {
    DWORD avail = 0;
    if (!::PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr)) return false;  // the child closed it
    if (avail > 0) {
      char chunk[65536];
      const int r = ::_read(out_.Get(), chunk, std::min<unsigned>(avail, sizeof chunk));
      if (r <= 0) return false;
      out.append(chunk, static_cast<std::size_t>(r));
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      if (timedOut != nullptr) *timedOut = true;
      return false;
    }
    ::Sleep(2);
  }
}

void ChildProcess::Kill() {
  if (pid_ != -1) ::TerminateProcess(ProcessOf(pid_), 137);
}

int ChildProcess::Wait() {
  if (pid_ == -1) throw ChildError("child " + program_ + " was already reaped");
  HANDLE process = ProcessOf(pid_);
  ::WaitForSingleObject(process, INFINITE);
  DWORD code = 255;
  ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  pid_ = -1;
  return static_cast<int>(code);
}

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args, const Environment& env,
                     const std::string& input, std::chrono::milliseconds timeout, const ChildOptions& options) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  ChildProcess child(program, args, env, options);
  if (input.empty() || !options.stdinPath.empty()) child.CloseIn();
  // The input goes in from its own thread, so that a child answering before
  // it has read everything cannot block either side on a full pipe.
  std::thread writer([&] {
    if (child.In() < 0) return;
    try {
      child.Write(input);
    } catch (const ChildError&) {
      // The child stopped reading; what it wrote still counts.
    }
    child.CloseIn();
  });
  ChildResult result;
  while (child.ReadSome(result.out, deadline, &result.timedOut)) {
  }
  if (result.timedOut) child.Kill();
  writer.join();
  result.status = child.Wait();
  return result;
}

}  // namespace kelo::test
