// Questions the store layer may put to the user. The Linux build answers
// them with GTK 3 dialogs; without a display every question is declined.
#ifndef KELO_CSP_DIALOGS_H
#define KELO_CSP_DIALOGS_H

#include <string>

namespace kelo::csp {

// Asks for the password of the store (or of the token holding the keys)
// named storeName. False when the user cancels or nothing can be shown.
bool AskStorePassword(const std::string& storeName, std::string& password);

}  // namespace kelo::csp

#endif
