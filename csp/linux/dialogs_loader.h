// Linux builds: the dialogs come from a module loaded on first use. Here is
// what the hosts set up for them: the caller named in the certificate
// selection dialog and the password prompt (for example the web origin that
// asked; empty names nobody), and where the module is looked for.
#ifndef KELO_CSP_LINUX_DIALOGS_LOADER_H
#define KELO_CSP_LINUX_DIALOGS_LOADER_H

#include <string>

namespace kelo::csp {

void SetDialogRequester(const std::string& who);

// Where the dialogs module is looked for, given the executable's path: next
// to it (a build tree), then in ../lib/kelo-ca/ (an installed package). The
// first that exists, or the first candidate when none does.
std::string DialogsModulePath(const std::string& exePath);

}  // namespace kelo::csp

#endif
