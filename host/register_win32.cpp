#include <windows.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "host/browser_ids.h"
#include "host/register.h"
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
    "browsers start this executable for the Kelo CA extension, and only for it,\n"
    "and the registry key through which each browser finds it.\n"
    "\n"
    "  --system        for all users (needs administrator rights): the manifests\n"
    "                  go beside kelo-ca.exe and the keys under HKEY_LOCAL_MACHINE\n"
    "  --dry-run       print what would be done and change nothing\n"
    "  --browser NAME  only this browser: chromium, chrome, edge or firefox\n"
    "                  (repeatable; default: all four)\n"
    "\n"
    "Per user:   %LOCALAPPDATA%\\Kelo CA\\org.kelo.ca_token.json (Chromium, Chrome,\n"
    "            Edge) and org.kelo.ca_token.firefox.json, keys under\n"
    "            HKEY_CURRENT_USER:\n"
    "            Software\\Chromium\\NativeMessagingHosts\\org.kelo.ca_token\n"
    "            Software\\Google\\Chrome\\NativeMessagingHosts\\org.kelo.ca_token\n"
    "            Software\\Microsoft\\Edge\\NativeMessagingHosts\\org.kelo.ca_token\n"
    "            Software\\Mozilla\\NativeMessagingHosts\\org.kelo.ca_token\n"
    "\n"
    "Running it again rewrites the same content; removing what is not there is\n"
    "not an error. A manifest shared by the Chromium browsers is removed with\n"
    "the last key that names it.\n";

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string WinError(DWORD e) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, e, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring w = n && text ? std::wstring(text, n) : std::wstring();
  if (text) ::LocalFree(text);
  while (!w.empty() && (w.back() == L'\n' || w.back() == L'\r' || w.back() == L'.')) w.pop_back();
  return w.empty() ? "error " + std::to_string(e) : Utf8(w);
}

class Key {
 public:
  Key() = default;
  ~Key() {
    if (h_) ::RegCloseKey(h_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* out() { return &h_; }
  HKEY get() const { return h_; }

 private:
  HKEY h_ = nullptr;
};

HKEY Root(bool system) { return system ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }
const char* RootName(bool system) { return system ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER"; }

const char* VendorKey(Browser b) {
  switch (b) {
    case Browser::kChromium: return "Chromium";
    case Browser::kChrome: return "Google\\Chrome";
    case Browser::kEdge: return "Microsoft\\Edge";
    case Browser::kFirefox: return "Mozilla";
  }
  return "";
}

std::string HostKey(Browser b, const RegisterEnv& env) {
  return env.registryBase + "\\" + VendorKey(b) + "\\NativeMessagingHosts\\" + kNativeHostName;
}

std::string ManifestDirOf(bool system, const RegisterEnv& env) {
  if (system) {
    const std::size_t slash = env.exe.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : env.exe.substr(0, slash);
  }
  return env.home.empty() ? std::string() : env.home + "\\Kelo CA";
}

// The manifest a key names: "" when the key is absent, else its default
// value; false (with error) when the registry cannot be read.
bool ReadKeyTarget(bool system, Browser b, const RegisterEnv& env, std::string& target, DWORD& error) {
  target.clear();
  Key key;
  error = static_cast<DWORD>(::RegOpenKeyExW(Root(system), Wide(HostKey(b, env)).c_str(), 0, KEY_QUERY_VALUE, key.out()));
  if (error == ERROR_FILE_NOT_FOUND) return true;
  if (error != ERROR_SUCCESS) return false;
  wchar_t buf[MAX_PATH * 4] = {};
  DWORD size = sizeof buf - sizeof(wchar_t);
  DWORD type = 0;
  error = static_cast<DWORD>(::RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size));
  if (error == ERROR_FILE_NOT_FOUND) return true;  // a key without a default value names nothing
  if (error != ERROR_SUCCESS) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return true;
  target = Utf8(std::wstring(buf, size / sizeof(wchar_t)));
  while (!target.empty() && target.back() == '\0') target.pop_back();
  return true;
}

// Temporary file beside it, then a replacing move: a browser starting at the
// same moment reads either the old manifest or the new one, never half.
DWORD WriteAtomic(const std::string& path, const std::string& content) {
  const std::wstring target = Wide(path);
  const std::wstring tmp = target + L".tmp" + std::to_wstring(::GetCurrentProcessId());
  HANDLE f = ::CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return ::GetLastError();
  DWORD written = 0;
  const BOOL wrote = ::WriteFile(f, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  DWORD e = wrote && written == content.size() ? ERROR_SUCCESS : ::GetLastError();
  if (e == ERROR_SUCCESS && !::FlushFileBuffers(f)) e = ::GetLastError();
  ::CloseHandle(f);
  if (e == ERROR_SUCCESS && !::MoveFileExW(tmp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    e = ::GetLastError();
  if (e != ERROR_SUCCESS) ::DeleteFileW(tmp.c_str());
  return e;
}

struct WinRun {
  RegisterRun& run;

  bool System() const { return run.opt.system; }

  void Fail(const std::string& what, DWORD e) {
    run.err << run.cmd << ": " << TerminalSafe(what) << ": " << TerminalSafe(WinError(e));
    if (System() && e == ERROR_ACCESS_DENIED) run.err << run.systemHint;
    run.err << "\n";
    ++run.failures;
  }

  std::string KeyShown(Browser b) const { return std::string(RootName(System())) + "\\" + HostKey(b, run.env); }

  void Write(Browser b) {
    const std::string dir = ManifestDirOf(System(), run.env);
    const std::string path = ManifestPath(b, System(), run.env);
    if (!::CreateDirectoryW(Wide(dir).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return Fail("cannot create directory " + dir, ::GetLastError());
    }
    if (DWORD e = WriteAtomic(path, HostManifest(b, run.env.exe).dump(2) + "\n"); e != ERROR_SUCCESS) {
      return Fail("cannot write " + path, e);
    }
    run.out << "wrote " << TerminalSafe(path) << "\n";
    Key key;
    LSTATUS e = ::RegCreateKeyExW(Root(System()), Wide(HostKey(b, run.env)).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, nullptr, key.out(), nullptr);
    const std::wstring value = Wide(path);
    if (e == ERROR_SUCCESS) {
      e = ::RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    if (e != ERROR_SUCCESS) return Fail("cannot set " + KeyShown(b), static_cast<DWORD>(e));
    run.out << "set " << TerminalSafe(KeyShown(b)) << "\n";
  }

  // Whether another browser's key in this scope still names the manifest
  // file that b's manifest shares with it.
  bool StillNamed(Browser b, const std::string& path) {
    for (Browser other : kAllBrowsers) {
      if (other == b || ManifestPath(other, System(), run.env) != path) continue;
      std::string target;
      DWORD e = 0;
      if (!ReadKeyTarget(System(), other, run.env, target, e) || !target.empty()) return true;
    }
    return false;
  }

  void Remove(Browser b) {
    const std::string shown = KeyShown(b);
    LSTATUS e = ::RegDeleteKeyW(Root(System()), Wide(HostKey(b, run.env)).c_str());
    if (e == ERROR_SUCCESS) {
      run.out << "removed " << TerminalSafe(shown) << "\n";
    } else if (e == ERROR_FILE_NOT_FOUND) {
      run.out << "not present: " << TerminalSafe(shown) << "\n";
    } else {
      return Fail("cannot remove " + shown, static_cast<DWORD>(e));
    }
    const std::string path = ManifestPath(b, System(), run.env);
    if (StillNamed(b, path)) return;
    if (::DeleteFileW(Wide(path).c_str())) {
      run.out << "removed " << TerminalSafe(path) << "\n";
    } else if (DWORD d = ::GetLastError(); d == ERROR_FILE_NOT_FOUND || d == ERROR_PATH_NOT_FOUND) {
      run.out << "not present: " << TerminalSafe(path) << "\n";
    } else {
      return Fail("cannot remove " + path, d);
    }
    // The per-user folder is ours alone; left only when something else is in it.
    if (!System()) ::RemoveDirectoryW(Wide(ManifestDirOf(false, run.env)).c_str());
  }

  void DryRun(Browser b) {
    const std::string path = ManifestPath(b, System(), run.env);
    if (!run.unregister) {
      run.out << "would write " << TerminalSafe(path) << "\nwould set " << TerminalSafe(KeyShown(b)) << "\n";
      return;
    }
    std::string target;
    DWORD e = 0;
    const bool present = !ReadKeyTarget(System(), b, run.env, target, e) || !target.empty();
    run.out << (present ? "would remove " : "not present: ") << TerminalSafe(KeyShown(b)) << "\n";
  }
};

}  // namespace

unsigned long CurrentEffectiveUser() { return 1; }

std::string ManifestPath(Browser b, bool system, const RegisterEnv& env) {
  return ManifestDirOf(system, env) + "\\" + kNativeHostName + (b == Browser::kFirefox ? ".firefox.json" : ".json");
}

RegisterEnv DefaultRegisterEnv() {
  RegisterEnv env;
  if (const wchar_t* local = ::_wgetenv(L"LOCALAPPDATA"); local && *local) env.home = Utf8(local);
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (n == 0) break;
    if (n < self.size()) {
      self.resize(n);
      env.exe = Utf8(self);
      break;
    }
    if (self.size() > 32768) break;
    self.resize(self.size() * 2);
  }
  return env;
}

int RunRegister(int argc, char** argv, bool unregister, const RegisterEnv& env, std::ostream& out,
                std::ostream& err) {
  RegisterRun run{unregister ? "kelo-ca unregister" : "kelo-ca register",
                  unregister,
                  {},
                  env,
                  out,
                  err,
                  " (--system needs administrator rights)"};
  if (int status = ParseRegisterArgs(argc, argv, run, kRegisterUsage); status >= 0) return status;
  if (!run.opt.system && env.home.empty()) {
    err << run.cmd << ": cannot determine the per-user data folder (set LOCALAPPDATA, or use --system)\n";
    return 1;
  }
  if (env.exe.empty() || ManifestDirOf(true, env).empty()) {
    err << run.cmd << ": cannot determine the absolute path of this executable\n";
    return 1;
  }
  // A manifest is JSON text the browser reads: a control character in the
  // path is more likely an attack than a file name.
  if (!unregister && !IsPrintableUtf8(env.exe)) {
    err << run.cmd << ": the path of this executable, " << TerminalSafe(env.exe)
        << ", holds control characters; move it to a plain path\n";
    return 1;
  }
  if (!unregister)
    out << (run.opt.dryRun ? "Would register " : "Registering ") << kNativeHostName << " -> " << TerminalSafe(env.exe)
        << "\n";
  WinRun win{run};
  for (Browser b : kAllBrowsers) {
    if (run.opt.anyChosen && !run.opt.chosen[static_cast<std::size_t>(b)]) continue;
    if (run.opt.dryRun) {
      win.DryRun(b);
    } else if (unregister) {
      win.Remove(b);
    } else {
      win.Write(b);
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
    for (Browser b : kAllBrowsers) {
      ManifestStatus s{b, system, ManifestPath(b, system, env), ManifestStatus::State::kAbsent, {}, {}};
      std::string target;
      DWORD e = 0;
      if (!ReadKeyTarget(system, b, env, target, e)) {
        s.state = ManifestStatus::State::kInvalid;
        s.detail = "cannot read the registry key: " + WinError(e);
      } else if (!target.empty()) {
        // The browser reads the file the key names, wherever it is.
        s.path = target;
        ReadManifestStatus(env, s);
        if (s.state == ManifestStatus::State::kAbsent) {
          s.state = ManifestStatus::State::kInvalid;
          s.detail = "the registry key names a file that does not exist";
        }
      }
      result.push_back(std::move(s));
    }
  }
  return result;
}

}  // namespace kelo
