#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ostream>
#include <optional>

#include "csp/linux/dialogs_loader.h"
#include "host/doctor_os.h"
#include "host/result_text.h"
#include "platform/display.h"

namespace kelo {
namespace {

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string EnvOrEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// Removes a variable for the life of the object and puts it back afterwards,
// so that looking at the store can never bring up a password dialog.
class EnvVarHidden {
 public:
  explicit EnvVarHidden(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) saved_ = v;
    ::unsetenv(name);
  }
  EnvVarHidden(const EnvVarHidden&) = delete;
  EnvVarHidden& operator=(const EnvVarHidden&) = delete;
  ~EnvVarHidden() {
    if (saved_) ::setenv(name_, saved_->c_str(), 1);
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

}  // namespace

const char kStoreKind[] = "NSS database";
const char kModuleSearchTitle[] = "found through the loader's search path: LD_LIBRARY_PATH, cache, system";
const char kModuleSearchHint[] = "(is its directory on LD_LIBRARY_PATH?)";
const char kModuleSearchUsage[] =
    "Token modules are loaded by file name through the dynamic loader's search\n"
    "path (LD_LIBRARY_PATH, the loader cache, system directories), in this order:\n"
    "  Kelo-ZIr4.so, Kelo-CAv5.so, Kelo-CAv6.so\n"
    "then the modules configured by absolute path (kelo-ca modules --help):\n"
    "  $XDG_CONFIG_HOME/kelo-ca/modules (default ~/.config/kelo-ca/modules),\n"
    "  then /etc/kelo-ca/modules, one path per line.\n"
    "The first module that sees a token is used.\n";


std::string LoadedModulePath(void* handle) {
  struct link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr && *map->l_name)
    return map->l_name;
  return {};
}

DoctorNss InspectStore() {
  DoctorNss n;
  const std::string home = EnvOrEmpty("HOME");
  if (home.empty()) return n;
  n.path = home + "/.pki/nssdb";
  n.exists = IsDirectory(n.path);
  n.hasDatabase = IsFile(n.path + "/cert9.db");

  // Without a display the dialogs decline every question, so a protected
  // database answers "no key" instead of asking for its password.
  EnvVarHidden x11("DISPLAY");
  EnvVarHidden wayland("WAYLAND_DISPLAY");
  CountStore(n);
  return n;
}

DoctorDisplay InspectDisplay(const RegisterEnv& env) {
  DoctorDisplay d;
  d.x11 = EnvOrEmpty("DISPLAY");
  d.wayland = EnvOrEmpty("WAYLAND_DISPLAY");
  d.available = platform::HasDisplay();
  if (env.exe.find('/') != std::string::npos) {
    d.dialogsModule = csp::DialogsModulePath(env.exe);
    d.dialogsModulePresent = IsFile(d.dialogsModule);
  }
  return d;
}

void PrintStore(const DoctorNss& nss, std::ostream& out) {
  out << "\nNSS database\n";
  if (nss.path.empty()) {
    out << "  HOME is not set\n";
    return;
  }
  out << "  " << TerminalSafe(nss.path) << ": "
      << (nss.hasDatabase ? "database present" : nss.exists ? "directory without cert9.db" : "absent") << "\n";
  if (nss.opened)
    out << "  " << nss.certificates << " certificate(s), " << nss.withPrivateKey
        << " with a private key found without a password\n";
  else
    out << "  could not be opened\n";
}

void PrintDisplay(const DoctorDisplay& d, std::ostream& out) {
  out << "\nDisplay for dialogs\n";
  out << "  DISPLAY=" << TerminalSafe(d.x11) << " WAYLAND_DISPLAY=" << TerminalSafe(d.wayland) << ": "
      << (d.available ? "available" : "none (dialogs are declined)") << "\n";
  out << "  " << (d.dialogsModule.empty() ? "kelo-gtk-dialogs.so" : TerminalSafe(d.dialogsModule)) << ": "
      << (d.dialogsModulePresent ? "present" : "missing") << "\n";
}

}  // namespace kelo
