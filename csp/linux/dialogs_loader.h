// Linux builds: the dialogs come from a module loaded on first use. Here is
// where the module is looked for (csp/dialog_requester.h names who asks).
#ifndef KELO_CSP_LINUX_DIALOGS_LOADER_H
#define KELO_CSP_LINUX_DIALOGS_LOADER_H

#include <string>

namespace kelo::csp {

// Where the dialogs module is looked for, given the executable's path: next
// to it (a build tree), then in ../lib/kelo-ca/ (an installed package). The
// first that exists, or the first candidate when none does.
std::string DialogsModulePath(const std::string& exePath);

}  // namespace kelo::csp

#endif
