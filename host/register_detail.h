// What register.cpp (Linux) and register_win32.cpp share: the command line,
// the manifest's content and how an installed manifest compares with it.
#ifndef KELO_HOST_REGISTER_DETAIL_H
#define KELO_HOST_REGISTER_DETAIL_H

#include <cerrno>
#include <ostream>
#include <string>

#include "host/register.h"
#include "host/result_text.h"

namespace kelo::register_detail {

// "allowed_extensions" for Firefox, "allowed_origins" for the others.
std::string AllowedKey(Browser b);

// What the command line asks for.
struct RegisterOptions {
  bool system = false;
  bool dryRun = false;
  bool chosen[kAllBrowsers.size()] = {};
  bool anyChosen = false;
};

// One run of register or unregister, and how many manifests failed.
struct RegisterRun {
  const char* cmd;
  bool unregister;
  RegisterOptions opt;
  const RegisterEnv& env;
  std::ostream& out;
  std::ostream& err;
  const char* systemHint;  // why --system may have been refused
  int failures = 0;

  void Report(const std::string& error, int e) {
    err << cmd << ": " << TerminalSafe(error);
    if (opt.system && (e == EACCES || e == EPERM || e == EROFS) && env.euid != 0) err << systemHint;
    err << "\n";
    ++failures;
  }
};

// Fills run.opt from argv (the arguments after the command). An exit status
// (0 after --help, printing usage; 2 for a bad argument), or -1 to go on.
int ParseRegisterArgs(int argc, char** argv, RegisterRun& run, const char* usage);

// Fills in s.state (absent until found otherwise), s.hostPath and s.detail
// from the manifest file at s.path.
void ReadManifestStatus(const RegisterEnv& env, ManifestStatus& s);

}  // namespace kelo::register_detail

#endif
