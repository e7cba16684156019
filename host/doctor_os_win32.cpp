#include <windows.h>

#include <ostream>

#include "host/doctor_os.h"
#include "host/result_text.h"
#include "platform/display.h"

namespace kelo {

const char kStoreKind[] = "certificate store";
const char kModuleSearchTitle[] = "found through the DLL search order: kelo-ca.exe's folder, system, PATH";
const char kModuleSearchHint[] = "(is it beside kelo-ca.exe or in a directory on PATH?)";
const char kModuleSearchUsage[] =
    "Token modules are loaded by file name through the Windows DLL search order\n"
    "(the folder of kelo-ca.exe, the system folders, PATH), in this order:\n"
    "  Kelo-ZIr4.dll, Kelo-CAv5.dll, Kelo-CAv6.dll\n"
    "then the modules configured by absolute path (kelo-ca modules --help), kept\n"
    "in the registry under HKEY_CURRENT_USER, then HKEY_LOCAL_MACHINE.\n"
    "The first module that sees a token is used.\n";

std::string LoadedModulePath(void* handle) {
  wchar_t path[MAX_PATH * 2] = {};
  const DWORD n = ::GetModuleFileNameW(static_cast<HMODULE>(handle), path, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return {};
  const int len = ::WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(len > 0 ? len : 0), '\0');
  if (len > 0) ::WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(n), out.data(), len, nullptr, nullptr);
  return out;
}

DoctorNss InspectStore() {
  // The user's "MY" store always exists; whether it opens is the question.
  DoctorNss n;
  n.path = "CurrentUser\\MY";
  n.exists = true;
  n.hasDatabase = true;
  CountStore(n);
  return n;
}

DoctorDisplay InspectDisplay(const RegisterEnv& /*env*/) {
  // The selection dialog is the system's own: no module to find.
  DoctorDisplay d;
  d.available = platform::HasDisplay();
  d.dialogsModule = "cryptui.dll";
  wchar_t found[MAX_PATH] = {};
  d.dialogsModulePresent = ::SearchPathW(nullptr, L"cryptui.dll", nullptr, MAX_PATH, found, nullptr) != 0;
  return d;
}

void PrintStore(const DoctorNss& store, std::ostream& out) {
  out << "\nCertificate store\n  " << TerminalSafe(store.path) << ": ";
  if (store.opened)
    out << store.certificates << " certificate(s), " << store.withPrivateKey << " with a private key found\n";
  else
    out << "could not be opened\n";
}

void PrintDisplay(const DoctorDisplay& d, std::ostream& out) {
  out << "\nDialogs\n  " << (d.available ? "a desktop is available" : "no desktop (dialogs are declined)") << "\n  "
      << d.dialogsModule << ": " << (d.dialogsModulePresent ? "present" : "missing") << "\n";
}

}  // namespace kelo
