#include "host/shell.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control/kelo_ctrl.h"
#include "host/result_text.h"
#include "host/serve.h"
#include "host/shell_parse.h"
#include "host/shell_prompt.h"
#include "host/shell_text.h"
#include "platform/secret.h"
#include "platform/wipe.h"

namespace kelo {
namespace {

const char kShellUsage[] =
    "Usage: kelo-ca shell [SCRIPT]\n"
    "\n"
    "Calls the control's methods one line at a time on one control, at a prompt\n"
    "(history, Tab completes method and parameter names) or from SCRIPT or a\n"
    "non-terminal stdin, where each command is echoed before its result.\n"
    "\n"
    "  Method arg ...      e.g.  Login $sid 1234   Sign $sid $_ 0 \"616263\"\n"
    "  name=value          an argument by parameter name: strUserPin=1234\n"
    "  \"text\"              a string; \\\" \\\\ \\n \\r \\t inside\n"
    "  $sid  $_            what the last ConnectToken returned; the last result\n"
    "  help [Method]       the methods and their parameters\n"
    "  quit, exit          end (so does end of input)\n"
    "  # ...               a comment\n"
    "\n"
    "Results are shown as the control returns them, with the meaning of a\n"
    "result code: 1002  (wrong session identifier, or no token connected).\n"
    "Echoed lines show PINs as ****. For a method that takes a PIN or a\n"
    "plaintext only its name is kept in the history (~/.kelo_ca_history). A\n"
    "script stops with exit status 1 at the first line that cannot be parsed or\n"
    "names an unknown method.\n";

}  // namespace

ShellReadStatus ReadShellLine(std::FILE* f, platform::SecretString& line) {
  line.clear();
  int c;
  bool any = false;
  while ((c = std::getc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line.size() >= kMaxRequestLine) {
      while ((c = std::getc(f)) != EOF && c != '\n') {
      }
      return ShellReadStatus::TooLong;
    }
    const char ch = static_cast<char>(c);
    line.append(std::string_view(&ch, 1));
  }
  if (!line.empty() && line.str().back() == '\r') line.mutable_str().pop_back();
  return any ? ShellReadStatus::Line : ShellReadStatus::End;
}

void PrintHelp(const MethodInfo* m) {
  if (m) {
    std::printf("%s%s\n", Signature(*m).c_str(), TakesSecret(*m) ? "   (only the name is kept in the history)" : "");
    return;
  }
  std::printf("Methods (names in any letter case; Tab completes them and name= forms):\n");
  for (const MethodInfo& x : kMethods) std::printf("  %s\n", Signature(x).c_str());
  std::printf("Commands: help [Method], quit, exit. kelo-ca shell --help explains the syntax.\n");
}

// Runs a parsed call and prints its result.
void RunCall(CKeloCAActiveXCtrl& ctl, ShellVars& vars, ShellLine& line) {
  CallResult r = ctl.Invoke(*line.method, line.args);
  {
    const platform::SecretString shown = FormatShellResult(*line.method, r);  // may show a plaintext
    std::printf("%s\n", shown.c_str());
  }
  if (r.hr == kS_OK) {
    if (line.method->kind == ResultKind::SessionId && r.value.kind == Value::Kind::Int) {
      vars.haveSid = true;
      vars.sid = static_cast<std::int32_t>(r.value.i);
    }
    vars.SetLast(std::move(r.value));
  }
  std::fflush(stdout);
}

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

int RunScript(CKeloCAActiveXCtrl& ctl, std::FILE* in, const char* where) {
  ShellVars vars;
  platform::SecretString line;
  for (int lineNo = 1;; ++lineNo) {
    const ShellReadStatus st = ReadShellLine(in, line);
    if (st == ShellReadStatus::End) return 0;
    if (st == ShellReadStatus::TooLong) {
      std::fprintf(stderr, "kelo-ca shell: %s:%d: line longer than %zu bytes\n", where, lineNo, kMaxRequestLine);
      return 1;
    }
    ShellLine parsed;
    std::string error;
    const bool ok = ParseShellLine(line.str(), vars, parsed, error);
    if (ok && parsed.kind == ShellLine::Kind::Empty) continue;
    const std::size_t first = line.str().find_first_not_of(" \t");
    std::printf("> %s\n", TerminalSafe(MaskedLine(std::string_view(line.str()).substr(first))).c_str());
    std::fflush(stdout);
    if (!ok) {
      std::fprintf(stderr, "kelo-ca shell: %s:%d: %s\n", where, lineNo, error.c_str());
      return 1;
    }
    switch (parsed.kind) {
      case ShellLine::Kind::Quit: return 0;
      case ShellLine::Kind::Help: PrintHelp(parsed.method); break;
      case ShellLine::Kind::Call: RunCall(ctl, vars, parsed); break;
      case ShellLine::Kind::Empty: break;
    }
    std::fflush(stdout);
  }
}

}  // namespace

int RunShell(int argc, char** argv) {
  const char* script = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kShellUsage, stdout);
      return 0;
    }
    if (argv[i][0] == '-' || script) {
      std::fprintf(stderr, "kelo-ca shell: unexpected argument '%s' (see kelo-ca shell --help)\n", argv[i]);
      return 2;
    }
    script = argv[i];
  }
  std::unique_ptr<std::FILE, FileCloser> file;
  if (script) {
    file.reset(std::fopen(script, "r"));
    if (!file) {
      std::fprintf(stderr, "kelo-ca shell: cannot open '%s': %s\n", script, std::strerror(errno));
      return 1;
    }
  }
  CKeloCAActiveXCtrl ctl;
  if (file) return RunScript(ctl, file.get(), script);
  if (isatty(STDIN_FILENO)) return RunInteractive(ctl);
  return RunScript(ctl, stdin, "stdin");
}

}  // namespace kelo
