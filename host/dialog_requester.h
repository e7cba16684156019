// The caller named in the certificate selection dialog (and the password
// prompt where there is one), for example the web origin that asked; empty
// names nobody. Each platform's store backend defines it: the GTK dialogs'
// loader on Linux, the CryptoAPI store on Windows.
#ifndef KELO_HOST_DIALOG_REQUESTER_H
#define KELO_HOST_DIALOG_REQUESTER_H

#include <string>

namespace kelo::csp {

void SetDialogRequester(const std::string& who);

}  // namespace kelo::csp

#endif
