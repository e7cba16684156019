// `kelo-ca shell`: what a typed line means. Pure: no terminal, no control.
#ifndef KELO_HOST_SHELL_PARSE_H
#define KELO_HOST_SHELL_PARSE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "control/method_table.h"
#include "control/value.h"

namespace kelo {

// What $sid and $_ stand for.
struct ShellVars {
  bool haveSid = false;
  std::int32_t sid = 0;  // what the last ConnectToken returned
  bool haveLast = false;

  // The last result; its text may be a plaintext (a Value wipes it).
  void SetLast(Value v);
  const Value& Last() const { return last_; }

 private:
  Value last_;
};

// One input line, parsed.
struct ShellLine {
  enum class Kind { Empty, Call, Help, Quit };
  Kind kind = Kind::Empty;
  const MethodInfo* method = nullptr;  // Call; Help about one method (null: all)
  std::vector<Value> args;             // Call: declaration order when named (each wipes itself)
};

// `Method arg ...`, `help [Method]`, `quit`, `exit`, `# comment` or blank.
// False with a message when the line cannot be run.
bool ParseShellLine(std::string_view line, const ShellVars& vars, ShellLine& out, std::string& error);

}  // namespace kelo

#endif
