// Entry points of the dialogs module. The control loads this module only
// when a dialog is needed, so that a process that never shows one does not
// pay for loading GTK and its many libraries at start.
#include <memory>
#include <string>

#include "csp/gtk/chooser_gtk.h"

#define KELO_DIALOGS_API extern "C" __attribute__((visibility("default")))

KELO_DIALOGS_API int kelo_dialogs_choose(const std::vector<const kelo::csp::Certificate*>* certificates,
                                         const std::string* requester) {
  return kelo::csp::GtkChooseCertificate(*certificates, *requester);
}

KELO_DIALOGS_API bool kelo_dialogs_ask_password(const std::string* storeName, const std::string* requester,
                                                std::string* password) {
  return kelo::csp::GtkAskPassword(*storeName, *requester, *password);
}
