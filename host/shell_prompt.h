// The shell's pieces shared by shell.cpp and the prompt, which differs by OS:
// readline (history, completion) on Linux, a plain line reader on Windows.
#ifndef KELO_HOST_SHELL_PROMPT_H
#define KELO_HOST_SHELL_PROMPT_H

#include <cstdio>

#include "control/kelo_ctrl.h"
#include "host/shell_parse.h"
#include "platform/secret.h"

namespace kelo {

enum class ShellReadStatus { Line, End, TooLong };

// One line of f without its end (nor a trailing CR); a line past
// kMaxRequestLine is skipped to its end and reported as TooLong.
ShellReadStatus ReadShellLine(std::FILE* f, platform::SecretString& line);

// help [Method]: the methods and their parameters.
void PrintHelp(const MethodInfo* m);

// Runs a parsed call and prints its result; $sid and $_ follow it.
void RunCall(CKeloCAActiveXCtrl& ctl, ShellVars& vars, ShellLine& line);

// The prompt on a terminal, until end of input or quit.
int RunInteractive(CKeloCAActiveXCtrl& ctl);

}  // namespace kelo

#endif
