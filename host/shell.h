// `kelo-ca shell`: method calls typed at a prompt or read from a script,
// one per line, on one control for the whole session.
#ifndef KELO_HOST_SHELL_H
#define KELO_HOST_SHELL_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "control/kelo_ctrl.h"
#include "control/method_table.h"
#include "control/value.h"

namespace kelo {

// What $sid and $_ stand for.
struct ShellVars {
  bool haveSid = false;
  std::int32_t sid = 0;  // what the last ConnectToken returned
  bool haveLast = false;
  Value last;            // the last result
  ShellVars() = default;
  ShellVars(const ShellVars&) = delete;
  ShellVars& operator=(const ShellVars&) = delete;
  ~ShellVars();
  void SetLast(Value v);
};

// One input line, parsed.
struct ShellLine {
  enum class Kind { Empty, Call, Help, Quit };
  Kind kind = Kind::Empty;
  const MethodInfo* method = nullptr;  // Call; Help about one method (null: all)
  std::vector<Value> args;             // Call: declaration order when named
  ShellLine() = default;
  ShellLine(const ShellLine&) = delete;
  ShellLine& operator=(const ShellLine&) = delete;
  ~ShellLine();  // wipes the arguments: they may hold PINs
};

// `Method arg ...`, `help [Method]`, `quit`, `exit`, `# comment` or blank.
// False with a message when the line cannot be run.
bool ParseShellLine(std::string_view line, const ShellVars& vars, ShellLine& out, std::string& error);

// The result as shown: the value (strings quoted) and what a result code means.
std::string FormatShellResult(const MethodInfo& method, const CallResult& r);

// A method with a PIN parameter (name containing "Pin") or a plaintext one.
// Only its name is kept in the history file.
bool TakesSecret(const MethodInfo& method);

// The line as echoed: the values of PIN parameters as ****, and for an
// unknown first word (perhaps a mistyped PIN method) only that word. Works on
// lines that do not parse too.
std::string MaskedLine(std::string_view line);

// What the history keeps of a line: the line, only the method name when the
// method takes a secret, or nothing (empty) for an unknown first word.
std::string HistoryEntry(std::string_view line);

// `kelo-ca shell [SCRIPT]`; argv holds the arguments after "shell".
int RunShell(int argc, char** argv);

}  // namespace kelo

#endif
