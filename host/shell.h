// `kelo-ca shell`: method calls typed at a prompt or read from a script,
// one per line, on one control for the whole session. This is the terminal
// side (prompt, history file, script reading); what a line means is in
// shell_parse.h, what is shown of it in shell_text.h.
#ifndef KELO_HOST_SHELL_H
#define KELO_HOST_SHELL_H

namespace kelo {

// `kelo-ca shell [SCRIPT]`; argv holds the arguments after "shell".
int RunShell(int argc, char** argv);

}  // namespace kelo

#endif
