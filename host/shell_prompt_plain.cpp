#include <cstdio>

#include "host/serve.h"
#include "host/shell_prompt.h"

namespace kelo {

// Without a line-editing library: the console's own line editing, no
// history file (it could only hold names anyway), no completion.
int RunInteractive(CKeloCAActiveXCtrl& ctl) {
  ShellVars vars;
  std::printf("kelo-ca shell: one control for this session. help lists the methods.\n");
  platform::SecretString line;
  for (;;) {
    std::printf("kelo-ca> ");
    std::fflush(stdout);
    const ShellReadStatus st = ReadShellLine(stdin, line);
    if (st == ShellReadStatus::End) {
      std::printf("\n");
      return 0;
    }
    if (st == ShellReadStatus::TooLong) {
      std::printf("error: line longer than %zu bytes\n", kMaxRequestLine);
      continue;
    }
    ShellLine parsed;
    std::string error;
    if (!ParseShellLine(line.str(), vars, parsed, error)) {
      std::printf("error: %s\n", error.c_str());
      continue;
    }
    if (parsed.kind == ShellLine::Kind::Quit) return 0;
    if (parsed.kind == ShellLine::Kind::Help) PrintHelp(parsed.method);
    if (parsed.kind == ShellLine::Kind::Call) RunCall(ctl, vars, parsed);
  }
}

}  // namespace kelo
