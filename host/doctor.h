// `kelo-ca doctor`: what a person needs when "the token is not found". The
// facts are gathered into a DoctorReport first and then shown as text or JSON.
#ifndef KELO_HOST_DOCTOR_H
#define KELO_HOST_DOCTOR_H

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/register.h"
#include "token/module_config.h"

namespace kelo {

struct DoctorToken {
  std::string label, serial, model;  // trailing blanks removed
  unsigned long flags = 0;           // CK_TOKEN_INFO flags
  std::vector<std::string> flagNames;  // the PIN and initialisation flags that are set
};

struct DoctorSlot {
  unsigned long id = 0;
  std::string slotInfoRv;   // C_GetSlotInfo's answer ("CKR_OK", ...)
  std::string description;  // from C_GetSlotInfo, when it answered CKR_OK
  std::string tokenInfoRv;  // C_GetTokenInfo's answer
  std::optional<DoctorToken> token;
};

struct DoctorModule {
  std::string file;       // the name the loader is asked for
  bool found = false;     // dlopen succeeded
  std::string path;       // where the loader found it
  std::string loadError;  // the loader's text when it was not found
  bool hasGetFunctionList = false;
  bool hasAuxFunctionList = false;
  std::string getFunctionListRv;  // empty when not called
  std::string initializeRv;       // empty when not called
  std::string slotListRv;         // empty when not called
  std::vector<DoctorSlot> slots;
};

// A module configured by path: the entry, and what probing it found when it
// is one the control tries.
struct DoctorConfiguredModule {
  ModuleEntry entry;
  std::optional<DoctorModule> module;
  // "usable", "no token", "not found", "not loadable", "no C_GetFunctionList",
  // "C_GetFunctionList failed", "C_Initialize failed", or why it is not tried:
  // "not absolute", "duplicate", "too long", "too many", "unusable".
  std::string status;
  std::string detail;  // the loader's message, the module's answer, or the entry's note
};

struct DoctorNss {
  std::string path;          // $HOME/.pki/nssdb, empty without HOME
  bool exists = false;       // the directory exists
  bool hasDatabase = false;  // it holds cert9.db
  bool opened = false;       // the store opened (an absent database opens empty)
  int certificates = 0;
  int withPrivateKey = 0;  // certificates whose private key was found without a password
};

struct DoctorDisplay {
  std::string x11, wayland;  // DISPLAY, WAYLAND_DISPLAY
  bool available = false;
  std::string dialogsModule;  // where the dialogs module is looked for
  bool dialogsModulePresent = false;
};

struct DoctorReport {
  std::vector<DoctorModule> modules;
  std::vector<ModuleSource> moduleSources;  // where configured modules were looked for
  std::vector<DoctorConfiguredModule> configured;
  DoctorNss nss;
  DoctorDisplay display;
  std::vector<ManifestStatus> manifests;
  // What is broken, one sentence each; empty when nothing is.
  std::vector<std::string> problems;
};

// Looks at the token modules, the NSS database (without asking for any
// password), the display and the browsers' manifests under `env`.
DoctorReport GatherDoctorReport(const RegisterEnv& env);

// Symbolic name of a PKCS#11 return value ("CKR_OK"), or "0x..." for others.
std::string CkrName(unsigned long rv);

nlohmann::json DoctorReportJson(const DoctorReport& report);
void PrintDoctorReport(const DoctorReport& report, std::ostream& out);

// argv holds the arguments after "doctor": [--json] [--help]. Returns 0 when
// nothing is broken, 1 when something is, 2 for bad arguments.
int RunDoctor(int argc, char** argv);

}  // namespace kelo

#endif
