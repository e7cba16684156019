// The dialogs of Linux builds, reached through a module loaded on first use
// (kelo-gtk-dialogs.so, see DialogsModulePath). Without the module, or
// without a display, every question is declined.
#include <unistd.h>

#include <climits>
#include <mutex>
#include <string>

#include "csp/cert_store.h"
#include "csp/dialog_requester.h"
#include "csp/dialogs.h"
#include "csp/linux/dialogs_loader.h"
#include "platform/display.h"
#include "platform/dynlib.h"

namespace kelo::csp {
namespace {

using ChooseFn = int (*)(const std::vector<const Certificate*>*, const std::string*);
using PasswordFn = bool (*)(const std::string*, const std::string*, std::string*);

struct DialogsModule {
  platform::ScopedModule module;
  ChooseFn choose = nullptr;
  PasswordFn password = nullptr;
};

DialogsModule& Module() {
  static DialogsModule m;
  static std::once_flag once;
  std::call_once(once, [] {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path = DialogsModulePath(n > 0 ? std::string(exe, static_cast<std::size_t>(n)) : std::string());
    // Kept loaded for the life of the process: GTK cannot be unloaded.
    m.module.reset(platform::LoadModule(path.c_str()));
    m.choose = reinterpret_cast<ChooseFn>(platform::GetSymbol(m.module.get(), "kelo_dialogs_choose"));
    m.password = reinterpret_cast<PasswordFn>(platform::GetSymbol(m.module.get(), "kelo_dialogs_ask_password"));
    (void)m.module.release();
  });
  return m;
}

class LoadedChooser final : public CertificateChooser {
 public:
  int Choose(const std::vector<const Certificate*>& certificates) override {
    if (!platform::HasDisplay()) return -1;  // nothing to show it on: do not even load GTK
    DialogsModule& m = Module();
    if (!m.choose) return -1;
    const std::string who = DialogRequester();
    return m.choose(&certificates, &who);
  }
};

}  // namespace

std::unique_ptr<CertificateChooser> MakePlatformChooser() { return std::make_unique<LoadedChooser>(); }

bool AskStorePassword(const std::string& storeName, std::string& password) {
  if (!platform::HasDisplay()) return false;
  DialogsModule& m = Module();
  if (!m.password) return false;
  const std::string who = DialogRequester();
  return m.password(&storeName, &who, &password);
}

std::string DialogsModulePath(const std::string& exePath) {
  static const char kName[] = "kelo-gtk-dialogs.so";
  const std::string dir = exePath.substr(0, exePath.rfind('/') + 1);
  if (dir.empty()) return kName;
  for (const std::string& candidate : {dir + kName, dir + "../lib/kelo-ca/" + kName}) {
    if (access(candidate.c_str(), R_OK) == 0) return candidate;
  }
  return dir + kName;
}

}  // namespace kelo::csp
