// `kelo-ca shell`: what is shown, echoed, kept in the history and offered
// by Tab. Pure: no terminal, no control.
#ifndef KELO_HOST_SHELL_TEXT_H
#define KELO_HOST_SHELL_TEXT_H

#include <string>
#include <string_view>
#include <vector>

#include "control/kelo_ctrl.h"
#include "control/method_table.h"

namespace kelo {

// "name: type, ..." and "Method(name: type, ...) -> type".
std::string ParamList(const MethodInfo& method);
std::string Signature(const MethodInfo& method);

// The result as shown: the value (strings quoted) and what a result code means.
std::string FormatShellResult(const MethodInfo& method, const CallResult& r);

// A method with a PIN or a plaintext parameter. Only its name is kept in
// the history file.
bool TakesSecret(const MethodInfo& method);

// The line as echoed: the values of PIN parameters as ****, and for an
// unknown first word (perhaps a mistyped PIN method) only that word. Works on
// lines that do not parse too.
std::string MaskedLine(std::string_view line);

// What the history keeps of a line: the line, only the method name when the
// method takes a secret, or nothing (empty) for an unknown first word.
std::string HistoryEntry(std::string_view line);

// What Tab offers for `typed`, the word under the cursor, after `before`,
// the line up to it: method names and commands as the first word, method
// names after help, parameter names (as name=) and variables after a method.
// Only candidates that start with `typed` (in any letter case).
struct ShellCompletion {
  std::vector<std::string> words;
  bool valueFollows = false;  // name=: the value follows the '=' directly
};
ShellCompletion CompleteShellWord(std::string_view before, std::string_view typed);

}  // namespace kelo

#endif
