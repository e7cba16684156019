// The store password question of the Linux build.
#include <gtk/gtk.h>

#include "csp/gtk/chooser_gtk.h"

namespace kelo::csp {

bool GtkAskPassword(const std::string& storeName, const std::string& requester, std::string& password) {
  gtk_detail::UiSession ui;
  if (!ui.ok()) return false;

  const std::string name = gtk_detail::ValidUtf8(storeName);
  gtk_detail::ScopedDialog dialog(gtk_detail::NewQuestionDialog("Password for " + name));
  gtk_window_set_resizable(GTK_WINDOW(dialog.get()), FALSE);
  GtkBox* content = gtk_detail::ContentOf(dialog.get());

  // Who asks is named, so a prompt nobody expected can be recognised.
  const std::string who = gtk_detail::ValidUtf8(requester);
  gtk_detail::AddText(content,
                      who.empty() ? "Enter the password for " + name + ":"
                                  : who + " asks for the password for " + name + ":",
                      false);

  GtkWidget* entryWidget = gtk_entry_new();
  GtkEntry* entry = GTK_ENTRY(entryWidget);
  gtk_entry_set_visibility(entry, FALSE);
  gtk_entry_set_input_purpose(entry, GTK_INPUT_PURPOSE_PASSWORD);
  gtk_entry_set_activates_default(entry, TRUE);
  gtk_box_pack_start(content, entryWidget, FALSE, FALSE, 0);
  gtk_widget_grab_focus(entryWidget);

  gtk_widget_show_all(dialog.get());
  const bool ok = gtk_dialog_run(GTK_DIALOG(dialog.get())) == GTK_RESPONSE_OK;
  if (ok) password.assign(gtk_entry_get_text(entry));
  // The entry's buffer clears the memory of text it drops; the copy above
  // is the caller's to wipe.
  gtk_entry_set_text(entry, "");
  return ok;
}

}  // namespace kelo::csp
