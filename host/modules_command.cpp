#include "host/modules_command.h"

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "host/result_text.h"
#include "token/module_config.h"

namespace kelo {
namespace {

void PrintUsage(std::ostream& out) {
  const std::string user = ModuleConfigLocation(ModuleScope::kUser);
  out << "Usage: kelo-ca modules list\n"
         "       kelo-ca modules add PATH [--system]\n"
         "       kelo-ca modules remove PATH [--system]\n"
         "\n"
         "Token modules configured by path are tried after the fixed module names,\n"
         "in the order listed: the per-user list first, then the system-wide one.\n"
         "A configured module needs only the export C_GetFunctionList.\n"
         "  per-user:    "
      << TerminalSafe(user.empty() ? "(none: set HOME or XDG_CONFIG_HOME)" : user) << "\n"
      << "  system-wide: " << TerminalSafe(ModuleConfigLocation(ModuleScope::kSystem)) << "\n"
      << "\n"
         "  list          show both lists, where each entry comes from and whether\n"
         "                the control tries it\n"
         "  add PATH      add a module by its absolute path; the file must exist,\n"
         "                and a path listed already is not added again\n"
         "  remove PATH   remove the entries that are exactly PATH\n"
         "  --system      change the system-wide list instead (administrators)\n"
         "\n"
         "kelo-ca doctor shows whether each configured module loads and sees a token.\n"
         "Exit status: 0 done (also when add finds PATH listed already), 1 refused\n"
         "or failed (a relative or missing path, remove of a path not listed, a\n"
         "list that cannot be written), 2 bad arguments.\n";
}

int List() {
  const ModuleConfig config = ReadModuleConfig();
  int status = 0;
  for (const ModuleSource& src : config.sources) {
    std::cout << ScopeName(src.scope) << ": " << TerminalSafe(src.location.empty() ? "(none)" : src.location);
    if (src.state == ModuleSource::State::kAbsent) std::cout << " (absent)";
    if (src.state == ModuleSource::State::kUnreadable) {
      std::cout << " (cannot be read: " << TerminalSafe(src.error) << ")";
      status = 1;
    }
    std::cout << "\n";
    for (const ModuleEntry& e : config.entries) {
      if (e.scope != src.scope) continue;
      std::cout << "  " << TerminalSafe(e.path);
      if (e.state != ModuleEntry::State::kTried)
        std::cout << "  (" << TerminalSafe(e.where) << ", not tried: " << TerminalSafe(e.note) << ")";
      std::cout << "\n";
    }
  }
  return status;
}

}  // namespace

int RunModules(int argc, char** argv) {
  std::vector<std::string> words;
  ModuleScope scope = ModuleScope::kUser;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintUsage(std::cout);
      return 0;
    }
    if (std::strcmp(argv[i], "--system") == 0) {
      scope = ModuleScope::kSystem;
    } else if (std::strcmp(argv[i], "--") == 0) {
      for (++i; i < argc; ++i) words.emplace_back(argv[i]);
    } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
      std::cerr << "kelo-ca modules: unknown option '" << TerminalSafe(argv[i]) << "' (see kelo-ca modules --help)\n";
      return 2;
    } else {
      words.emplace_back(argv[i]);
    }
  }
  const std::string verb = words.empty() ? "" : words[0];
  if (verb == "list" && words.size() == 1) return List();
  if ((verb == "add" || verb == "remove") && words.size() == 2) {
    std::string message;
    const ModuleEdit result = verb == "add" ? AddConfiguredModule(scope, words[1], message)
                                            : RemoveConfiguredModule(scope, words[1], message);
    const bool done = result == ModuleEdit::kChanged || (verb == "add" && result == ModuleEdit::kUnchanged);
    (done ? std::cout : std::cerr) << (done ? "" : "kelo-ca modules: ") << TerminalSafe(message) << "\n";
    return done ? 0 : 1;
  }
  if (words.empty()) {
    PrintUsage(std::cerr);
  } else {
    std::cerr << "kelo-ca modules: expected list, add PATH or remove PATH (see kelo-ca modules --help)\n";
  }
  return 2;
}

}  // namespace kelo
