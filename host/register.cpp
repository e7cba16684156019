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
#include <sstream>
#include <vector>

#include "host/browser_ids.h"

namespace kelo {
namespace {

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
    "there is not an error.\n";

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
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

std::string ManifestDir(Browser b, bool system, const RegisterEnv& env) {
  if (system) {
    std::string root = env.sysroot;
    while (!root.empty() && root.back() == '/') root.pop_back();
    switch (b) {
      case Browser::kChromium: return root + "/etc/chromium/native-messaging-hosts";
      case Browser::kChrome: return root + "/etc/opt/chrome/native-messaging-hosts";
      case Browser::kEdge: return root + "/etc/opt/edge/native-messaging-hosts";
      case Browser::kFirefox: return root + "/usr/lib/mozilla/native-messaging-hosts";
    }
  }
  switch (b) {
    case Browser::kChromium: return env.home + "/.config/chromium/NativeMessagingHosts";
    case Browser::kChrome: return env.home + "/.config/google-chrome/NativeMessagingHosts";
    case Browser::kEdge: return env.home + "/.config/microsoft-edge/NativeMessagingHosts";
    case Browser::kFirefox: return env.home + "/.mozilla/native-messaging-hosts";
  }
  return {};
}

// Both return 0 or the errno of the failure, described in `error`.

// Creates every missing directory of `dir` with mode 0755 (whatever the umask).
int MakeDirs(const std::string& dir, std::string& error) {
  std::string prefix;
  std::size_t pos = 0;
  while (pos <= dir.size()) {
    std::size_t next = dir.find('/', pos);
    if (next == std::string::npos) next = dir.size();
    prefix = dir.substr(0, next);
    pos = next + 1;
    if (prefix.empty()) continue;  // the root
    if (::mkdir(prefix.c_str(), 0755) == 0) {
      if (::chmod(prefix.c_str(), 0755) != 0) {
        int e = errno;
        error = "cannot set the mode of " + prefix + ": " + Errno(e);
        return e;
      }
      continue;
    }
    int e = errno;
    struct stat st {};
    if (e == EEXIST && ::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    error = "cannot create directory " + prefix + ": " + (e == EEXIST ? "exists and is not a directory" : Errno(e));
    return e;
  }
  return 0;
}

// Temporary file in the same directory, then rename: a browser starting at
// the same moment sees either the old manifest or the new one, never half.
int WriteAtomic(const std::string& path, const std::string& content, std::string& error) {
  std::size_t slash = path.rfind('/');
  std::string tmpl = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  Fd fd(::mkstemp(name.data()));
  if (fd.get() < 0) {
    int e = errno;
    error = "cannot write " + path + ": " + Errno(e);
    return e;
  }
  std::string tmp(name.data());
  auto fail = [&](const char* what, int e) {
    error = std::string("cannot ") + what + " " + path + ": " + Errno(e);
    ::unlink(tmp.c_str());
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
  if (::rename(tmp.c_str(), path.c_str()) != 0) return fail("replace", errno);
  return 0;
}

std::string AllowedKey(Browser b) { return b == Browser::kFirefox ? "allowed_extensions" : "allowed_origins"; }

bool ParseBrowser(const std::string& name, Browser& b) {
  for (Browser c : kAllBrowsers) {
    if (name == BrowserName(c)) {
      b = c;
      return true;
    }
  }
  return false;
}

}  // namespace

const char* BrowserName(Browser b) {
  switch (b) {
    case Browser::kChromium: return "chromium";
    case Browser::kChrome: return "chrome";
    case Browser::kEdge: return "edge";
    case Browser::kFirefox: return "firefox";
  }
  return "?";
}

std::string ManifestPath(Browser b, bool system, const RegisterEnv& env) {
  return ManifestDir(b, system, env) + "/" + kNativeHostName + ".json";
}

nlohmann::json HostManifest(Browser b, const std::string& exe) {
  nlohmann::json m = {
      {"name", kNativeHostName},
      {"description", "Kelo CA security token host"},
      {"path", exe},
      {"type", "stdio"},
  };
  if (b == Browser::kFirefox) {
    m[AllowedKey(b)] = nlohmann::json::array({kFirefoxExtensionId});
  } else {
    m[AllowedKey(b)] = nlohmann::json::array({std::string("chrome-extension://") + kChromiumExtensionId + "/"});
  }
  return m;
}

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
  const char* cmd = unregister ? "kelo-ca unregister" : "kelo-ca register";
  bool system = false;
  bool dryRun = false;
  bool chosen[kAllBrowsers.size()] = {};
  bool anyChosen = false;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      out << kRegisterUsage;
      return 0;
    }
    if (a == "--system") {
      system = true;
    } else if (a == "--dry-run") {
      dryRun = true;
    } else if (a == "--browser" || a.rfind("--browser=", 0) == 0) {
      std::string name;
      if (a == "--browser") {
        if (i + 1 >= argc) {
          err << cmd << ": --browser needs a name (chromium, chrome, edge or firefox)\n";
          return 2;
        }
        name = argv[++i];
      } else {
        name = a.substr(std::strlen("--browser="));
      }
      Browser b;
      if (!ParseBrowser(name, b)) {
        err << cmd << ": unknown browser '" << name << "' (chromium, chrome, edge or firefox)\n";
        return 2;
      }
      chosen[static_cast<std::size_t>(b)] = true;
      anyChosen = true;
    } else {
      err << cmd << ": unexpected argument '" << a << "' (see " << cmd << " --help)\n";
      return 2;
    }
  }
  if (!system && env.home.empty()) {
    err << cmd << ": cannot determine the home directory (set HOME, or use --system)\n";
    return 1;
  }
  if (!unregister && (env.exe.empty() || env.exe.front() != '/')) {
    err << cmd << ": cannot determine the absolute path of this executable\n";
    return 1;
  }

  int failures = 0;
  auto report = [&](const std::string& error, int e) {
    err << cmd << ": " << error;
    if (system && (e == EACCES || e == EPERM || e == EROFS) && ::geteuid() != 0) err << " (--system needs root)";
    err << "\n";
    ++failures;
  };
  if (!unregister) out << (dryRun ? "Would register " : "Registering ") << kNativeHostName << " -> " << env.exe << "\n";
  for (Browser b : kAllBrowsers) {
    if (anyChosen && !chosen[static_cast<std::size_t>(b)]) continue;
    std::string path = ManifestPath(b, system, env);
    if (unregister) {
      struct stat st {};
      bool present = ::lstat(path.c_str(), &st) == 0;
      if (dryRun) {
        out << (present ? "would remove " : "not present: ") << path << "\n";
      } else if (::unlink(path.c_str()) == 0) {
        out << "removed " << path << "\n";
      } else if (errno == ENOENT || errno == ENOTDIR) {
        out << "not present: " << path << "\n";
      } else {
        int e = errno;
        report("cannot remove " + path + ": " + Errno(e), e);
      }
      continue;
    }
    if (dryRun) {
      out << "would write " << path << "\n";
      continue;
    }
    std::string error;
    int e = MakeDirs(ManifestDir(b, system, env), error);
    if (e == 0) e = WriteAtomic(path, HostManifest(b, env.exe).dump(2) + "\n", error);
    if (e == 0) {
      out << "wrote " << path << "\n";
    } else {
      report(error, e);
    }
  }
  return failures ? 1 : 0;
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
      std::ifstream f(s.path, std::ios::binary);
      if (!f) {
        int e = errno;
        if (e != ENOENT && e != ENOTDIR) {
          s.state = ManifestStatus::State::kInvalid;
          s.detail = "cannot read: " + Errno(e);
        }
        result.push_back(std::move(s));
        continue;
      }
      std::ostringstream text;
      text << f.rdbuf();
      const nlohmann::json m = nlohmann::json::parse(text.str(), nullptr, false);
      if (m.is_discarded() || !m.is_object() || !m.contains("path") || !m["path"].is_string()) {
        s.state = ManifestStatus::State::kInvalid;
        s.detail = "not a host manifest (no \"path\")";
        result.push_back(std::move(s));
        continue;
      }
      s.hostPath = m["path"].get<std::string>();
      std::error_code ec;
      bool here = !env.exe.empty() &&
                  (s.hostPath == env.exe || std::filesystem::equivalent(s.hostPath, env.exe, ec));
      const nlohmann::json want = HostManifest(b, env.exe);
      if (!here) {
        s.state = ManifestStatus::State::kStale;
        s.detail = "points to " + s.hostPath + ", not to " + env.exe;
      } else if (!m.contains("name") || m["name"] != kNativeHostName) {
        s.state = ManifestStatus::State::kStale;
        s.detail = "names another host";
      } else if (!m.contains(AllowedKey(b)) || m[AllowedKey(b)] != want[AllowedKey(b)]) {
        s.state = ManifestStatus::State::kStale;
        s.detail = "does not allow exactly the Kelo CA extension";
      } else {
        s.state = ManifestStatus::State::kCurrent;
      }
      result.push_back(std::move(s));
    }
  }
  return result;
}

}  // namespace kelo
