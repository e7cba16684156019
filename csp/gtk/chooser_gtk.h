// The Linux build's dialogs of the certificate-store layer, made with GTK 3.
// They live in the dialogs module (dialogs_module.cpp), which the control
// loads only to show one (csp/linux/dialogs_loader.cpp). This header names
// no GTK type, so callers need no GTK headers.
#ifndef KELO_CSP_GTK_CHOOSER_GTK_H
#define KELO_CSP_GTK_CHOOSER_GTK_H

#include <mutex>
#include <string>
#include <vector>

// GTK's own declarations of the widget types, repeated so that this header
// does not pull in the GTK headers.
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkBox GtkBox;

namespace kelo::csp {

class Certificate;

// requester names who asks (e.g. "https://example.org") in the dialog's
// text; empty names nobody. Both decline at once without a display.

// The selection dialog: the index of the chosen certificate, or -1.
int GtkChooseCertificate(const std::vector<const Certificate*>& certificates, const std::string& requester);
// The store password prompt: false when cancelled.
bool GtkAskPassword(const std::string& storeName, const std::string& requester, std::string& password);

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

// Text GTK can show: invalid UTF-8 and NUL bytes replaced, not rejected.
std::string ValidUtf8(const std::string& s);

// A modal Cancel/OK dialog, centred and kept above other windows (it has no
// parent to stay over); OK is the default response.
GtkWidget* NewQuestionDialog(const std::string& title);
// The dialog's content box, with the spacing both dialogs use.
GtkBox* ContentOf(GtkWidget* dialog);
// A left-aligned line of plain text: names are never taken as markup.
void AddText(GtkBox* box, const std::string& text, bool wrap);

}  // namespace gtk_detail
}  // namespace kelo::csp

#endif
