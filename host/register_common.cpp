#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/browser_ids.h"
#include "host/register_detail.h"

namespace kelo {
namespace register_detail {
namespace {

bool ParseBrowser(const std::string& name, Browser& b) {
  for (Browser c : kAllBrowsers) {
    if (name == BrowserName(c)) {
      b = c;
      return true;
    }
  }
  return false;
}

std::string Errno(int e) { return std::strerror(e); }

// --browser NAME or --browser=NAME, at argv[i]; i moves past a separate name.
// An exit status, or -1 when the name was taken.
int ParseBrowserOption(int argc, char** argv, int& i, RegisterRun& run) {
  const std::string a = argv[i];
  std::string name;
  if (a == "--browser") {
    if (i + 1 >= argc) {
      run.err << run.cmd << ": --browser needs a name (chromium, chrome, edge or firefox)\n";
      return 2;
    }
    name = argv[++i];
  } else {
    name = a.substr(std::strlen("--browser="));
  }
  Browser b;
  if (!ParseBrowser(name, b)) {
    run.err << run.cmd << ": unknown browser '" << TerminalSafe(name) << "' (chromium, chrome, edge or firefox)\n";
    return 2;
  }
  run.opt.chosen[static_cast<std::size_t>(b)] = true;
  run.opt.anyChosen = true;
  return -1;
}

// How the manifest at s.path compares with the one this executable would write.
void CompareManifest(const nlohmann::json& m, const RegisterEnv& env, ManifestStatus& s) {
  s.hostPath = m["path"].get<std::string>();
  // Windows browsers take a relative path from the manifest's folder (the
  // installer writes "kelo-ca.exe" beside it).
  std::filesystem::path host(s.hostPath);
  if (host.is_relative()) host = std::filesystem::path(s.path).parent_path() / host;
  std::error_code ec;
  const bool here = !env.exe.empty() && (s.hostPath == env.exe || std::filesystem::equivalent(host, env.exe, ec));
  const std::string allowed = AllowedKey(s.browser);
  const nlohmann::json want = HostManifest(s.browser, env.exe);
  if (!here) {
    s.state = ManifestStatus::State::kStale;
    s.detail = "points to " + s.hostPath + ", not to " + env.exe;
  } else if (!m.contains("name") || m["name"] != kNativeHostName) {
    s.state = ManifestStatus::State::kStale;
    s.detail = "names another host";
  } else if (!m.contains(allowed) || m[allowed] != want[allowed]) {
    s.state = ManifestStatus::State::kStale;
    s.detail = "does not allow exactly the Kelo CA extension";
  } else {
    s.state = ManifestStatus::State::kCurrent;
  }
}

}  // namespace

std::string AllowedKey(Browser b) { return b == Browser::kFirefox ? "allowed_extensions" : "allowed_origins"; }

int ParseRegisterArgs(int argc, char** argv, RegisterRun& run, const char* usage) {
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      run.out << usage;
      return 0;
    }
    if (a == "--system") {
      run.opt.system = true;
    } else if (a == "--dry-run") {
      run.opt.dryRun = true;
    } else if (a == "--browser" || a.rfind("--browser=", 0) == 0) {
      if (int status = ParseBrowserOption(argc, argv, i, run); status >= 0) return status;
    } else {
      run.err << run.cmd << ": unexpected argument '" << TerminalSafe(a) << "' (see " << run.cmd << " --help)\n";
      return 2;
    }
  }
  return -1;
}

void ReadManifestStatus(const RegisterEnv& env, ManifestStatus& s) {
  std::ifstream f(s.path, std::ios::binary);
  if (!f) {
    const int e = errno;
    if (e != ENOENT && e != ENOTDIR) {
      s.state = ManifestStatus::State::kInvalid;
      s.detail = "cannot read: " + Errno(e);
    }
    return;
  }
  std::ostringstream text;
  text << f.rdbuf();
  const nlohmann::json m = nlohmann::json::parse(text.str(), nullptr, false);
  if (m.is_discarded() || !m.is_object() || !m.contains("path") || !m["path"].is_string()) {
    s.state = ManifestStatus::State::kInvalid;
    s.detail = "not a host manifest (no \"path\")";
    return;
  }
  CompareManifest(m, env, s);
}

}  // namespace register_detail

const char* BrowserName(Browser b) {
  switch (b) {
    case Browser::kChromium: return "chromium";
    case Browser::kChrome: return "chrome";
    case Browser::kEdge: return "edge";
    case Browser::kFirefox: return "firefox";
  }
  return "?";
}

nlohmann::json HostManifest(Browser b, const std::string& exe) {
  nlohmann::json m = {
      {"name", kNativeHostName},
      {"description", "Kelo CA security token host"},
      {"path", exe},
      {"type", "stdio"},
  };
  if (b == Browser::kFirefox) {
    m[register_detail::AllowedKey(b)] = nlohmann::json::array({kFirefoxExtensionId});
  } else {
    m[register_detail::AllowedKey(b)] = nlohmann::json::array({std::string("chrome-extension://") + kChromiumExtensionId + "/"});
  }
  return m;
}

}  // namespace kelo
