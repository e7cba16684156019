// `kelo-ca register` / `kelo-ca unregister`: the native-messaging host
// manifests that let Chromium, Chrome, Edge and Firefox start this executable
// for our extension, and a report of which are in place (for `doctor`).
#ifndef KELO_HOST_REGISTER_H
#define KELO_HOST_REGISTER_H

#include <array>
#include <iosfwd>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kelo {

enum class Browser { kChromium, kChrome, kEdge, kFirefox };
inline constexpr std::array<Browser, 4> kAllBrowsers = {Browser::kChromium, Browser::kChrome, Browser::kEdge,
                                                        Browser::kFirefox};

// The effective user id on Linux (0 is root); 1 on Windows, where nothing
// depends on it.
unsigned long CurrentEffectiveUser();

// Where manifests go and what they point to. Tests pass a temporary home and
// system root; the command line uses DefaultRegisterEnv().
struct RegisterEnv {
  // Linux: the user's home directory. Windows: the per-user data directory
  // (%LOCALAPPDATA%), below which "Kelo CA" holds the per-user manifests.
  std::string home;
  // Linux: prefix for the system-wide directories ("" or "/" for the real
  // ones). Windows: unused; system-wide manifests go beside the executable.
  std::string sysroot;
  std::string exe;  // absolute path written into the manifests
  unsigned long euid = CurrentEffectiveUser();  // who writes: root may not write into another user's home
  // Windows: the key below HKCU or HKLM that holds the browsers' keys
  // (Google\Chrome\NativeMessagingHosts, ...); tests use a scratch key.
  std::string registryBase = "Software";
};

// Linux: $HOME (else the password database), "/", and /proc/self/exe.
// Windows: %LOCALAPPDATA% and the executable's path. An empty field means it
// could not be determined; RunRegister reports that.
RegisterEnv DefaultRegisterEnv();

// "chromium", "chrome", "edge", "firefox".
const char* BrowserName(Browser b);

// Full path of the manifest file for one browser, per user or system-wide.
std::string ManifestPath(Browser b, bool system, const RegisterEnv& env);

// The manifest naming `exe` as the host and only our extension as its caller.
nlohmann::json HostManifest(Browser b, const std::string& exe);

// argv holds the arguments after the command name:
//   [--system] [--dry-run] [--browser chromium|chrome|edge|firefox]... [--help]
// Reports each action on `out`, problems on `err`. Returns 0 on success, 1 when
// a file could not be written or removed or the request is refused (root for a
// home it does not own, a symbolic link below the home or system root, an
// executable path that cannot go into a manifest), 2 for bad arguments.
int RunRegister(int argc, char** argv, bool unregister, const RegisterEnv& env, std::ostream& out,
                std::ostream& err);
// The same with DefaultRegisterEnv() and the standard streams.
int RunRegister(int argc, char** argv, bool unregister);

struct ManifestStatus {
  enum class State {
    kAbsent,   // no manifest file
    kCurrent,  // points to this executable and names our extension
    kStale,    // present but points elsewhere or names other callers
    kInvalid,  // unreadable or not a manifest
  };
  Browser browser;
  bool system;
  std::string path;  // the manifest file
  State state;
  std::string hostPath;  // its "path", when present
  std::string detail;    // why it is stale or invalid
};

// For every browser, per user and system-wide, what is registered.
std::vector<ManifestStatus> RegisteredHosts(const RegisterEnv& env);

}  // namespace kelo

#endif
