// The store password question of the Linux build.
#include <gtk/gtk.h>

#include "csp/gtk/chooser_gtk.h"

namespace kelo::csp {

bool GtkAskPassword(const std::string& storeName, const std::string& requester, std::string& password) {
  gtk_detail::UiSession ui;
  if (!ui.ok()) return false;

  const std::string name = gtk_detail::ValidUtf8(storeName);
  const std::string title = "Password for " + name;
  gtk_detail::ScopedDialog dialog(gtk_dialog_new_with_buttons(
      title.c_str(), nullptr, GTK_DIALOG_MODAL, "_Cancel", GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_OK, nullptr));
  GtkWindow* window = GTK_WINDOW(dialog.get());
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(window, TRUE);
  gtk_window_set_resizable(window, FALSE);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog.get()), GTK_RESPONSE_OK);

  GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dialog.get()));
  gtk_container_set_border_width(GTK_CONTAINER(content), 8);
  gtk_box_set_spacing(GTK_BOX(content), 8);

  // Who asks is named, so a prompt nobody expected can be recognised.
  const std::string who = gtk_detail::ValidUtf8(requester);
  const std::string text =
      who.empty() ? "Enter the password for " + name + ":" : who + " asks for the password for " + name + ":";
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_box_pack_start(GTK_BOX(content), label, FALSE, FALSE, 0);

  GtkWidget* entryWidget = gtk_entry_new();
  GtkEntry* entry = GTK_ENTRY(entryWidget);
  gtk_entry_set_visibility(entry, FALSE);
  gtk_entry_set_input_purpose(entry, GTK_INPUT_PURPOSE_PASSWORD);
  gtk_entry_set_activates_default(entry, TRUE);
  gtk_box_pack_start(GTK_BOX(content), entryWidget, FALSE, FALSE, 0);
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
