// The caller named in the certificate selection dialog (and the password
// prompt where there is one), for example the web origin that asked; empty
// names nobody. Set from the host's thread, read when a dialog opens; kept
// apart from the dialogs so that naming the requester loads none of them.
#ifndef KELO_CSP_DIALOG_REQUESTER_H
#define KELO_CSP_DIALOG_REQUESTER_H

#include <string>

namespace kelo::csp {

void SetDialogRequester(const std::string& who);
std::string DialogRequester();

}  // namespace kelo::csp

#endif
