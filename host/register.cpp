#include "host/register.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <vector>

#include "host/browser_ids.h"
#include "host/register_detail.h"
#include "host/result_text.h"

namespace kelo {
namespace {

using namespace register_detail;

const char kRegisterUsage[] =
    "Usage: kelo-ca register [--system] [--dry-run] [--browser NAME]...\n"
    "       kelo-ca unregister [--system] [--dry-run] [--browser NAME]...\n"
    "\n"
    "Writes (or removes) the native-messaging host manifest that lets the\n"
    "browsers start this executable for the Kelo CA extension, and only for it.\n"
    "\n"
    "  --system        for all users (needs root) instead of the current user\n"
    "  --dry-run       print what would be done and change nothing\n"
    "  --browser NAME  only this browser: chromium, chrome, edge or firefox\n"
    "                  (repeatable; default: all four)\n"
    "\n"
    "Per user:   ~/.config/chromium/NativeMessagingHosts/\n"
    "            ~/.config/google-chrome/NativeMessagingHosts/\n"
    "            ~/.config/microsoft-edge/NativeMessagingHosts/\n"
    "            ~/.mozilla/native-messaging-hosts/\n"
    "System:     /etc/chromium/native-messaging-hosts/\n"
    "            /etc/opt/chrome/native-messaging-hosts/\n"
    "            /etc/opt/edge/native-messaging-hosts/\n"
    "            /usr/lib/mozilla/native-messaging-hosts/\n"
    "\n"
    "Running it again rewrites the same content; removing a manifest that is not\n"
    "there is not an error.\n"
    "\n"
    "Run as root, the per-user form is refused unless HOME belongs to root: the\n"
    "browser, running as the user, could not use root's files there. Use\n"
    "--system, or run it as the user. Symbolic links below the home directory\n"
    "(or the system directories' root) are not followed, and the executable's\n"
    "path must be UTF-8 without control characters.\n";

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  // Closes now so that a failing close (delayed write error) is seen.
  int release_close() {
    int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

std::string Errno(int e) { return std::strerror(e); }

// Manifests live below a base directory, the user's home or the system root,
// which is taken as given (it may itself be a link); nothing below it is
// followed through a symbolic link.
std::string ManifestBase(bool system, const RegisterEnv& env) {
  std::string base = system ? env.sysroot : env.home;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base.empty() ? "/" : base;
}

const char* ManifestRelDir(Browser b, bool system) {
  if (system) {
    switch (b) {
      case Browser::kChromium: return "etc/chromium/native-messaging-hosts";
      case Browser::kChrome: return "etc/opt/chrome/native-messaging-hosts";
      case Browser::kEdge: return "etc/opt/edge/native-messaging-hosts";
      case Browser::kFirefox: return "usr/lib/mozilla/native-messaging-hosts";
    }
  }
  switch (b) {
    case Browser::kChromium: return ".config/chromium/NativeMessagingHosts";
    case Browser::kChrome: return ".config/google-chrome/NativeMessagingHosts";
    case Browser::kEdge: return ".config/microsoft-edge/NativeMessagingHosts";
    case Browser::kFirefox: return ".mozilla/native-messaging-hosts";
  }
  return "";
}

std::string ManifestDir(Browser b, bool system, const RegisterEnv& env) {
  std::string base = ManifestBase(system, env);
  return (base == "/" ? "" : base) + "/" + ManifestRelDir(b, system);
}

// The functions below return 0 or the errno of the failure, described in `error`.

// Opens the manifest directory of `b` into `dir`, one component at a time
// below the base with O_NOFOLLOW, so that a link planted anywhere on the way
// cannot send the files elsewhere. With `create`, missing directories are
// made with mode 0755 (whatever the umask).
int OpenManifestDir(Browser b, bool system, const RegisterEnv& env, bool create, Fd& dir, std::string& error) {
  std::string shown = ManifestBase(system, env);
  dir = Fd(::open(shown.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) {
    int e = errno;
    error = "cannot open " + shown + ": " + Errno(e);
    return e;
  }
  if (shown == "/") shown.clear();
  std::string_view rel = ManifestRelDir(b, system);
  while (!rel.empty()) {
    const std::size_t slash = rel.find('/');
    const std::string name(rel.substr(0, slash));
    rel = slash == std::string_view::npos ? std::string_view() : rel.substr(slash + 1);
    shown += "/" + name;
    const bool made = create && ::mkdirat(dir.get(), name.c_str(), 0755) == 0;
    if (create && !made && errno != EEXIST) {
      int e = errno;
      error = "cannot create directory " + shown + ": " + Errno(e);
      return e;
    }
    Fd next(::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0) {
      int e = errno;
      struct stat st {};
      if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) {
          error = shown + " is a symbolic link; not following it";
          return ELOOP;
        }
        if (!S_ISDIR(st.st_mode)) {
          error = "cannot use directory " + shown + ": exists and is not a directory";
          return ENOTDIR;
        }
      }
      error = "cannot open directory " + shown + ": " + Errno(e);
      return e;
    }
    if (made && ::fchmod(next.get(), 0755) != 0) {
      int e = errno;
      error = "cannot set the mode of " + shown + ": " + Errno(e);
      return e;
    }
    dir = std::move(next);
  }
  return 0;
}

// Temporary file in the same directory, then rename: a browser starting at
// the same moment sees either the old manifest or the new one, never half.
// The rename replaces a link at the manifest's name rather than writing
// through it.
int WriteAtomic(int dir, const std::string& path, const std::string& content, std::string& error) {
  const std::string name = path.substr(path.rfind('/') + 1);
  std::random_device rng;
  std::string tmp;
  Fd fd;
  for (int attempt = 0; attempt < 16 && fd.get() < 0; ++attempt) {
    tmp = "." + name + "." + std::to_string(rng() % 1000000000u);
    fd = Fd(::openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0 && errno != EEXIST) break;
  }
  if (fd.get() < 0) {
    int e = errno;
    error = "cannot write " + path + ": " + Errno(e);
    return e;
  }
  auto fail = [&](const char* what, int e) {
    error = std::string("cannot ") + what + " " + path + ": " + Errno(e);
    ::unlinkat(dir, tmp.c_str(), 0);
    return e;
  };
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("write", errno);
    done += static_cast<std::size_t>(n);
  }
  if (::fchmod(fd.get(), 0644) != 0) return fail("set the mode of", errno);
  if (::fsync(fd.get()) != 0) return fail("write", errno);
  if (fd.release_close() != 0) return fail("write", errno);
  if (::renameat(dir, tmp.c_str(), dir, name.c_str()) != 0) return fail("replace", errno);
  return 0;
}

// Files root makes in a user's home belong to root, and the browser, running
// as the user, then cannot update or remove them.
bool CheckRootOwnsHome(const RegisterRun& run) {
  struct stat st {};
  if (::stat(run.env.home.c_str(), &st) != 0) {
    run.err << run.cmd << ": the home directory " << TerminalSafe(run.env.home) << " does not exist\n";
    return false;
  }
  if (st.st_uid != 0) {
    run.err << run.cmd << ": running as root, but the home directory " << TerminalSafe(run.env.home)
            << " does not belong to root; use --system to " << (run.unregister ? "unregister" : "register")
            << " for all users, or run it as that user\n";
    return false;
  }
  return true;
}

// Whether the environment allows the run at all.
bool CheckRegisterEnv(const RegisterRun& run) {
  const RegisterEnv& env = run.env;
  if (!run.opt.system && env.home.empty()) {
    run.err << run.cmd << ": cannot determine the home directory (set HOME, or use --system)\n";
    return false;
  }
  if (!run.unregister && (env.exe.empty() || env.exe.front() != '/')) {
    run.err << run.cmd << ": cannot determine the absolute path of this executable\n";
    return false;
  }
  // A manifest is JSON text the browser reads: the path must be UTF-8, and a
  // control character in it is more likely an attack than a file name.
  if (!run.unregister && !IsPrintableUtf8(env.exe)) {
    run.err << run.cmd << ": the path of this executable, " << TerminalSafe(env.exe)
            << ", is not valid UTF-8 or holds control characters; move it to a plain path\n";
    return false;
  }
  return run.opt.system || env.euid != 0 || CheckRootOwnsHome(run);
}

void DryRun(RegisterRun& run, Browser b) {
  const std::string path = ManifestPath(b, run.opt.system, run.env);
  struct stat st {};
  const bool present = ::lstat(path.c_str(), &st) == 0;
  run.out << (!run.unregister ? "would write " : present ? "would remove " : "not present: ") << TerminalSafe(path)
          << "\n";
}

void WriteManifest(RegisterRun& run, Browser b) {
  const std::string path = ManifestPath(b, run.opt.system, run.env);
  Fd dir;
  std::string error;
  int e = OpenManifestDir(b, run.opt.system, run.env, true, dir, error);
  if (e == 0) e = WriteAtomic(dir.get(), path, HostManifest(b, run.env.exe).dump(2) + "\n", error);
  if (e == 0) {
    run.out << "wrote " << TerminalSafe(path) << "\n";
  } else {
    run.Report(error, e);
  }
}

// A manifest that is not there (nor its directory) is no failure.
void RemoveManifest(RegisterRun& run, Browser b) {
  const std::string path = ManifestPath(b, run.opt.system, run.env);
  const std::string shown = TerminalSafe(path);
  Fd dir;
  std::string error;
  int e = OpenManifestDir(b, run.opt.system, run.env, false, dir, error);
  if (e == ENOENT || e == ENOTDIR) {
    run.out << "not present: " << shown << "\n";
  } else if (e != 0) {
    run.Report(error, e);
  } else if (::unlinkat(dir.get(), (std::string(kNativeHostName) + ".json").c_str(), 0) == 0) {
    run.out << "removed " << shown << "\n";
  } else if (errno == ENOENT) {
    run.out << "not present: " << shown << "\n";
  } else {
    e = errno;
    run.Report("cannot remove " + path + ": " + Errno(e), e);
  }
}

}  // namespace

std::string ManifestPath(Browser b, bool system, const RegisterEnv& env) {
  return ManifestDir(b, system, env) + "/" + kNativeHostName + ".json";
}

unsigned long CurrentEffectiveUser() { return ::geteuid(); }

RegisterEnv DefaultRegisterEnv() {
  RegisterEnv env;
  if (const char* home = std::getenv("HOME"); home && *home) {
    env.home = home;
  } else if (const struct passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
    env.home = pw->pw_dir;
  }
  env.sysroot = "/";
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) env.exe = self.string();
  return env;
}

int RunRegister(int argc, char** argv, bool unregister, const RegisterEnv& env, std::ostream& out,
                std::ostream& err) {
  RegisterRun run{unregister ? "kelo-ca unregister" : "kelo-ca register", unregister, {}, env, out, err, " (--system needs root)"};
  if (int status = ParseRegisterArgs(argc, argv, run, kRegisterUsage); status >= 0) return status;
  if (!CheckRegisterEnv(run)) return 1;
  if (!unregister)
    out << (run.opt.dryRun ? "Would register " : "Registering ") << kNativeHostName << " -> " << TerminalSafe(env.exe)
        << "\n";
  for (Browser b : kAllBrowsers) {
    if (run.opt.anyChosen && !run.opt.chosen[static_cast<std::size_t>(b)]) continue;
    if (run.opt.dryRun) {
      DryRun(run, b);
    } else if (unregister) {
      RemoveManifest(run, b);
    } else {
      WriteManifest(run, b);
    }
  }
  return run.failures ? 1 : 0;
}

int RunRegister(int argc, char** argv, bool unregister) {
  return RunRegister(argc, argv, unregister, DefaultRegisterEnv(), std::cout, std::cerr);
}

std::vector<ManifestStatus> RegisteredHosts(const RegisterEnv& env) {
  std::vector<ManifestStatus> result;
  for (bool system : {false, true}) {
    if (!system && env.home.empty()) continue;
    for (Browser b : kAllBrowsers) {
      ManifestStatus s{b, system, ManifestPath(b, system, env), ManifestStatus::State::kAbsent, {}, {}};
      ReadManifestStatus(env, s);
      result.push_back(std::move(s));
    }
  }
  return result;
}

}  // namespace kelo
