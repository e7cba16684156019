// Linux builds: the caller named in the certificate selection dialog (for
// example the web origin that asked). Empty names nobody.
#ifndef KELO_CSP_DIALOGS_LOADER_H
#define KELO_CSP_DIALOGS_LOADER_H

#include <string>

namespace kelo::csp {

void SetDialogRequester(const std::string& who);

}  // namespace kelo::csp

#endif
