// The Linux build's dialogs of the certificate-store layer, made with GTK 3.
// MakePlatformChooser() (csp/cert_store.h) and AskStorePassword()
// (csp/dialogs.h) are defined in this directory; this header adds what only
// the GTK dialogs offer. It names no GTK type, so callers need no GTK headers.
#ifndef KELO_CSP_GTK_CHOOSER_GTK_H
#define KELO_CSP_GTK_CHOOSER_GTK_H

#include <mutex>
#include <string>

// GTK's own declaration of the widget type, repeated so that this header
// does not pull in the GTK headers.
typedef struct _GtkWidget GtkWidget;

namespace kelo::csp {

// Names who asks (e.g. "https://example.org") in the text of every later
// selection dialog and password prompt of this process; empty removes the
// name.
void SetGtkDialogsRequester(const std::string& who);

namespace gtk_detail {

// Shared by the dialogs of csp/gtk only.
//
// Held for as long as a dialog is up: dialogs of this process run one at a
// time, and GTK is initialised on first use by the thread that gets here
// first. ok() is false when there is no display to show a dialog on; nothing
// is shown then and the caller declines at once.
class UiSession {
 public:
  UiSession();
  UiSession(const UiSession&) = delete;
  UiSession& operator=(const UiSession&) = delete;
  bool ok() const { return ok_; }

 private:
  std::unique_lock<std::recursive_mutex> lock_;
  bool ok_ = false;
};

// Owns a top-level dialog: destroys it and lets the X server and GTK finish
// with it, so the window is really gone from the screen when the call that
// showed it returns.
class ScopedDialog {
 public:
  // Takes a reference of its own, so the widget outlives a destruction by
  // anyone else while the dialog runs.
  explicit ScopedDialog(GtkWidget* dialog);
  ScopedDialog(const ScopedDialog&) = delete;
  ScopedDialog& operator=(const ScopedDialog&) = delete;
  ~ScopedDialog();
  GtkWidget* get() const { return dialog_; }

 private:
  GtkWidget* dialog_;
};

// The name last given to SetGtkDialogsRequester.
std::string Requester();

// Text GTK can show: invalid UTF-8 and NUL bytes replaced, not rejected.
std::string ValidUtf8(const std::string& s);

}  // namespace gtk_detail
}  // namespace kelo::csp

#endif
