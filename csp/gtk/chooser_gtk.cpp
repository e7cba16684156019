// The certificate selection dialog of the Linux build, and what the GTK
// dialogs of this directory share.
#include "csp/gtk/chooser_gtk.h"

#include <gtk/gtk.h>

#include <memory>
#include <vector>

#include "csp/cert_store.h"
#include "platform/display.h"

namespace kelo::csp {

namespace gtk_detail {
namespace {

// GTK is initialised once per process. The control lives inside other
// programs, so GTK must not switch the process locale (number formatting
// and parsing elsewhere depend on the "C" locale).
bool GtkReady() {
  static const bool ready = [] {
    gtk_disable_setlocale();
    return gtk_init_check(nullptr, nullptr) != FALSE;
  }();
  return ready;
}

std::recursive_mutex& UiMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

}  // namespace

// Without a display variable GTK is not even tried: initialising it then
// would only fail, and a later call with a display must still be able to.
UiSession::UiSession() : lock_(UiMutex()), ok_(platform::HasDisplay() && GtkReady()) {}

ScopedDialog::ScopedDialog(GtkWidget* dialog) : dialog_(GTK_WIDGET(g_object_ref(dialog))) {}

ScopedDialog::~ScopedDialog() {
  gtk_widget_destroy(dialog_);
  g_object_unref(dialog_);
  if (GdkDisplay* display = gdk_display_get_default()) gdk_display_sync(display);
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

std::string ValidUtf8(const std::string& s) {
  // With the length given, GLib counts an embedded NUL as invalid too, so a
  // name such as "CN=a\0.b" is shown whole instead of cut short at the NUL.
  const auto size = static_cast<gssize>(s.size());
  if (g_utf8_validate(s.data(), size, nullptr)) return s;
  std::unique_ptr<gchar, decltype(&g_free)> fixed(g_utf8_make_valid(s.data(), size), &g_free);
  return std::string(fixed.get());
}

GtkWidget* NewQuestionDialog(const std::string& title) {
  GtkWidget* dialog = gtk_dialog_new_with_buttons(title.c_str(), nullptr, GTK_DIALOG_MODAL, "_Cancel",
                                                  GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_OK, nullptr);
  GtkWindow* window = GTK_WINDOW(dialog);
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(window, TRUE);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  return dialog;
}

GtkBox* ContentOf(GtkWidget* dialog) {
  GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  gtk_container_set_border_width(GTK_CONTAINER(content), 8);
  gtk_box_set_spacing(GTK_BOX(content), 8);
  return GTK_BOX(content);
}

void AddText(GtkBox* box, const std::string& text, bool wrap) {
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_line_wrap(GTK_LABEL(label), wrap ? TRUE : FALSE);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_box_pack_start(box, label, FALSE, FALSE, 0);
}

}  // namespace gtk_detail

namespace {

std::string SerialHex(const Bytes& serial) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(serial.size() * 2);
  for (std::uint8_t b : serial) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return hex;
}

enum Column : gint { kSubject, kIssuer, kSerial, kExpires, kIndex, kColumnCount };

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};

// How long OK stays disabled after the dialog appears or regains focus, so
// that a key or click meant for another window cannot pick a certificate.
constexpr guint kArmDelayMs = 1000;

// OK is enabled only once a row is selected and the delay has passed; a
// double click or Return on a row obeys the same rule.
struct OkGate {
  GtkDialog* dialog = nullptr;
  GtkTreeSelection* selection = nullptr;
  guint timer = 0;
  bool armed = false;

  bool Allows() const { return armed && gtk_tree_selection_get_selected(selection, nullptr, nullptr) != FALSE; }
  void Update() const { gtk_dialog_set_response_sensitive(dialog, GTK_RESPONSE_OK, Allows()); }
  void StopTimer() {
    if (timer != 0) g_source_remove(timer);
    timer = 0;
  }
  void Disarm() {
    StopTimer();
    armed = false;
    Update();
  }
  void Rearm() {
    Disarm();
    timer = g_timeout_add(kArmDelayMs, &OkGate::OnTimer, this);
  }
  static gboolean OnTimer(gpointer data) {
    auto* gate = static_cast<OkGate*>(data);
    gate->timer = 0;
    gate->armed = true;
    gate->Update();
    return G_SOURCE_REMOVE;
  }
};

// Disconnects the gate from the widgets and stops its timer before the
// dialog goes, so nothing reaches the gate while the dialog is torn down.
class GateConnection {
 public:
  GateConnection(OkGate& gate, GtkWidget* view) : gate_(gate), view_(view) {}
  GateConnection(const GateConnection&) = delete;
  GateConnection& operator=(const GateConnection&) = delete;
  ~GateConnection() {
    g_signal_handlers_disconnect_by_data(gate_.selection, &gate_);
    g_signal_handlers_disconnect_by_data(view_, &gate_);
    g_signal_handlers_disconnect_by_data(gate_.dialog, &gate_);
    gate_.StopTimer();
  }

 private:
  OkGate& gate_;
  GtkWidget* view_;
};

void OnRowActivated(GtkTreeView*, GtkTreePath*, GtkTreeViewColumn*, gpointer data) {
  auto* gate = static_cast<OkGate*>(data);
  if (gate->Allows()) gtk_dialog_response(gate->dialog, GTK_RESPONSE_OK);
}

void OnSelectionChanged(GtkTreeSelection*, gpointer data) { static_cast<OkGate*>(data)->Update(); }

gboolean OnShownOrFocused(GtkWidget*, GdkEvent*, gpointer data) {
  static_cast<OkGate*>(data)->Rearm();
  return FALSE;
}

gboolean OnFocusLost(GtkWidget*, GdkEvent*, gpointer data) {
  static_cast<OkGate*>(data)->Disarm();
  return FALSE;
}

void AddTextColumn(GtkTreeView* view, const char* title, Column column, bool expand) {
  GtkCellRenderer* renderer = gtk_cell_renderer_text_new();
  if (expand) g_object_set(renderer, "ellipsize", PANGO_ELLIPSIZE_END, nullptr);
  GtkTreeViewColumn* col = gtk_tree_view_column_new_with_attributes(title, renderer, "text", column, nullptr);
  gtk_tree_view_column_set_resizable(col, TRUE);
  gtk_tree_view_column_set_expand(col, expand ? TRUE : FALSE);
  gtk_tree_view_append_column(view, col);
}

// Rows keep the caller's index, so a certificate that is missing (a null
// entry) is left out without shifting the answer for the others.
std::unique_ptr<GtkListStore, ObjectUnref> BuildModel(const std::vector<const Certificate*>& certificates) {
  std::unique_ptr<GtkListStore, ObjectUnref> model(gtk_list_store_new(
      kColumnCount, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_INT));
  for (std::size_t i = 0; i < certificates.size(); ++i) {
    const Certificate* cert = certificates[i];
    if (cert == nullptr) continue;
    const std::string subject = gtk_detail::ValidUtf8(cert->Subject());
    const std::string issuer = gtk_detail::ValidUtf8(cert->Issuer());
    const std::string serial = SerialHex(cert->SerialNumber());
    const std::string expires = gtk_detail::ValidUtf8(cert->NotAfter());
    GtkTreeIter iter;
    gtk_list_store_append(model.get(), &iter);
    gtk_list_store_set(model.get(), &iter, kSubject, subject.c_str(), kIssuer, issuer.c_str(), kSerial, serial.c_str(),
                       kExpires, expires.c_str(), kIndex, static_cast<gint>(i), -1);
  }
  return model;
}

// The list of certificates in a scrolled frame; no row is selected at
// first: the user picks one.
GtkTreeView* AddCertificateList(GtkBox* content, GtkListStore* model) {
  GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scrolled), GTK_SHADOW_IN);
  gtk_box_pack_start(content, scrolled, TRUE, TRUE, 0);

  GtkWidget* viewWidget = gtk_tree_view_new_with_model(GTK_TREE_MODEL(model));
  GtkTreeView* view = GTK_TREE_VIEW(viewWidget);
  AddTextColumn(view, "Subject", kSubject, true);
  AddTextColumn(view, "Issuer", kIssuer, true);
  AddTextColumn(view, "Serial", kSerial, false);
  AddTextColumn(view, "Expires", kExpires, false);
  gtk_tree_view_set_tooltip_column(view, kSubject);
  gtk_container_add(GTK_CONTAINER(scrolled), viewWidget);
  gtk_tree_selection_set_mode(gtk_tree_view_get_selection(view), GTK_SELECTION_SINGLE);
  return view;
}

void ConnectGate(OkGate& gate, GtkTreeView* view) {
  g_signal_connect(gate.selection, "changed", G_CALLBACK(OnSelectionChanged), &gate);
  g_signal_connect(view, "row-activated", G_CALLBACK(OnRowActivated), &gate);
  g_signal_connect(gate.dialog, "map-event", G_CALLBACK(OnShownOrFocused), &gate);
  g_signal_connect(gate.dialog, "focus-in-event", G_CALLBACK(OnShownOrFocused), &gate);
  g_signal_connect(gate.dialog, "focus-out-event", G_CALLBACK(OnFocusLost), &gate);
  gate.Update();
}

// The caller's index of the selected row, or -1.
int ChosenIndex(GtkTreeSelection* selection) {
  GtkTreeModel* model = nullptr;
  GtkTreeIter chosen;
  if (!gtk_tree_selection_get_selected(selection, &model, &chosen)) return -1;
  gint index = -1;
  gtk_tree_model_get(model, &chosen, kIndex, &index, -1);
  return index;
}

}  // namespace

int GtkChooseCertificate(const std::vector<const Certificate*>& certificates, const std::string& requester) {
  // An index must fit the answer; a longer list cannot be answered.
  if (certificates.size() > static_cast<std::size_t>(G_MAXINT)) return -1;
  gtk_detail::UiSession ui;
  if (!ui.ok()) return -1;

  auto model = BuildModel(certificates);
  gtk_detail::ScopedDialog dialog(gtk_detail::NewQuestionDialog("Select a certificate"));
  gtk_window_set_default_size(GTK_WINDOW(dialog.get()), 680, 320);
  GtkBox* content = gtk_detail::ContentOf(dialog.get());
  const std::string who = gtk_detail::ValidUtf8(requester);
  gtk_detail::AddText(content,
                      who.empty() ? std::string("Choose the certificate to use.")
                                  : who + " asks for a certificate. Choose the one to use.",
                      true);
  GtkTreeView* view = AddCertificateList(content, model.get());

  OkGate gate;
  gate.dialog = GTK_DIALOG(dialog.get());
  gate.selection = gtk_tree_view_get_selection(view);
  GateConnection connection(gate, GTK_WIDGET(view));
  ConnectGate(gate, view);
  gtk_widget_grab_focus(GTK_WIDGET(view));

  gtk_widget_show_all(dialog.get());
  if (gtk_dialog_run(GTK_DIALOG(dialog.get())) != GTK_RESPONSE_OK) return -1;
  return ChosenIndex(gate.selection);
}

}  // namespace kelo::csp
