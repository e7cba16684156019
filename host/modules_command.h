// `kelo-ca modules`: the list of token modules configured by path, which the
// control tries after the fixed module names.
#ifndef KELO_HOST_MODULES_COMMAND_H
#define KELO_HOST_MODULES_COMMAND_H

namespace kelo {

// argv holds the arguments after "modules": list | add PATH | remove PATH,
// with --system for the system-wide list. Returns 0 when done (an add of a
// path listed already included), 1 when refused or failed, 2 for bad
// arguments.
int RunModules(int argc, char** argv);

}  // namespace kelo

#endif
