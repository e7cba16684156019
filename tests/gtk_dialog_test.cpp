// The GTK dialogs of the store layer, driven from outside the process as a
// user would drive them: xdotool finds the window and types into it while
// the test's main thread sits in the dialog. Needs the X server that
// run_with_xvfb.sh starts; without it only the no-display cases run.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "csp/cert_store.h"
#include "csp/gtk/chooser_gtk.h"
#include "tests/support/scoped_env.h"

namespace {

using kelo::csp::Bytes;
using kelo::csp::Certificate;
using namespace std::chrono_literals;

class FakeCert final : public Certificate {
 public:
  FakeCert(std::string subject, std::string issuer, Bytes serial, std::string notAfter)
      : subject_(std::move(subject)), issuer_(std::move(issuer)), serial_(std::move(serial)),
        notAfter_(std::move(notAfter)) {}
  Bytes SerialNumber() const override { return serial_; }
  Bytes Encoded() const override { return {0x30, 0x00}; }
  std::string Subject() const override { return subject_; }
  std::string Issuer() const override { return issuer_; }
  std::string NotAfter() const override { return notAfter_; }

 private:
  std::string subject_, issuer_;
  Bytes serial_;
  std::string notAfter_;
};

const FakeCert kAlice("CN=Alice,O=Example", "CN=Example CA", {0x00, 0xA1, 0x0F}, "2031-01-02");
const FakeCert kBob("CN=Bob,O=Example", "CN=Other CA", {0x7E}, "2029-12-31");
const FakeCert kCarol("CN=Carol \xFF,O=Example", "CN=Example CA", {0x01, 0x02, 0x03, 0x04}, "2030-06-30");
const FakeCert kDave(std::string("CN=Dave\0.elsewhere", 18), "CN=Example CA", {0xFF}, "2030-01-01");

struct RunResult {
  int status = -1;
  std::string out;
};

RunResult Shell(const std::string& cmd) {
  RunResult r;
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) return r;
  char buf[256];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
  const int raw = pclose(pipe);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

bool WindowVisible(const std::string& name) {
  return Shell("xdotool search --onlyvisible --name '^" + name + "$' >/dev/null 2>&1").status == 0;
}

// What a dialog showed, read on the GTK thread while it was up.
struct Seen {
  bool read = false;
  std::string title;
  std::vector<std::string> labels;
  std::vector<std::string> columns;
  std::vector<std::map<std::string, std::string>> rows;  // column title -> shown text
  std::optional<bool> okSensitive;
  std::optional<bool> entryHidden;
  int row1X = -1, row1Y = -1;  // centre of the second row on the screen
};

void ReadTree(GtkTreeView* view, Seen& seen) {
  GtkTreeModel* model = gtk_tree_view_get_model(view);
  GList* columns = gtk_tree_view_get_columns(view);
  for (GList* c = columns; c != nullptr; c = c->next) {
    seen.columns.emplace_back(gtk_tree_view_column_get_title(GTK_TREE_VIEW_COLUMN(c->data)));
  }
  GtkTreeIter iter;
  for (gboolean more = gtk_tree_model_get_iter_first(model, &iter); more; more = gtk_tree_model_iter_next(model, &iter)) {
    auto& row = seen.rows.emplace_back();
    for (GList* c = columns; c != nullptr; c = c->next) {
      auto* column = GTK_TREE_VIEW_COLUMN(c->data);
      gtk_tree_view_column_cell_set_cell_data(column, model, &iter, FALSE, FALSE);
      GList* cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(column));
      gchar* text = nullptr;
      if (cells != nullptr) g_object_get(cells->data, "text", &text, nullptr);
      row[gtk_tree_view_column_get_title(column)] = text != nullptr ? text : "";
      g_free(text);
      g_list_free(cells);
    }
  }
  if (seen.rows.size() > 1 && columns != nullptr) {
    GtkTreePath* path = gtk_tree_path_new_from_indices(1, -1);
    GdkRectangle area;
    gtk_tree_view_get_background_area(view, path, GTK_TREE_VIEW_COLUMN(columns->data), &area);
    gtk_tree_path_free(path);
    gint ox = 0, oy = 0;
    gdk_window_get_origin(gtk_tree_view_get_bin_window(view), &ox, &oy);
    seen.row1X = ox + area.x + area.width / 2;
    seen.row1Y = oy + area.y + area.height / 2;
  }
  g_list_free(columns);
}

void ReadWidget(GtkWidget* w, Seen& seen) {
  if (GTK_IS_LABEL(w)) seen.labels.emplace_back(gtk_label_get_text(GTK_LABEL(w)));
  if (GTK_IS_ENTRY(w)) seen.entryHidden = !gtk_entry_get_visibility(GTK_ENTRY(w));
  if (GTK_IS_TREE_VIEW(w)) ReadTree(GTK_TREE_VIEW(w), seen);
  if (GTK_IS_CONTAINER(w)) {
    gtk_container_forall(GTK_CONTAINER(w), [](GtkWidget* child, gpointer s) { ReadWidget(child, *static_cast<Seen*>(s)); },
                         &seen);
  }
}

// Runs fn on the GTK thread (inside the dialog's main loop) and waits for it.
bool OnGtkThread(std::function<void()> fn) {
  struct Call {
    std::function<void()> fn;
    std::promise<void> done;
  };
  auto call = std::make_shared<Call>();
  call->fn = std::move(fn);
  auto done = call->done.get_future();
  g_idle_add(
      [](gpointer p) -> gboolean {
        auto* held = static_cast<std::shared_ptr<Call>*>(p);
        (*held)->fn();
        (*held)->done.set_value();
        delete held;
        return G_SOURCE_REMOVE;
      },
      new std::shared_ptr<Call>(call));
  return done.wait_for(10s) == std::future_status::ready;
}

// Answers whatever dialog is up with Cancel, so a failed step ends the test
// instead of hanging it.
void CancelOpenDialogs() {
  g_idle_add(
      [](gpointer) -> gboolean {
        GList* windows = gtk_window_list_toplevels();
        for (GList* w = windows; w != nullptr; w = w->next) {
          if (GTK_IS_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data))) {
            gtk_dialog_response(GTK_DIALOG(w->data), GTK_RESPONSE_CANCEL);
          }
        }
        g_list_free(windows);
        return G_SOURCE_REMOVE;
      },
      nullptr);
}

// Waits for the named window, reads it, then plays xdotool steps at it. In
// a step, ROW1 stands for the screen position of the dialog's second row.
class Driver {
 public:
  Driver(std::string windowName, std::vector<std::string> steps, std::string screenshot = {})
      : name_(std::move(windowName)), steps_(std::move(steps)), screenshot_(std::move(screenshot)),
        thread_([this] { Drive(); }) {}
  ~Driver() { Finish(); }

  // Called on the GTK thread once the dialog call has returned. Work the
  // driver still posts to the GTK thread runs here, while it is alive.
  void Finish() {
    if (!thread_.joinable()) return;
    returned_ = true;
    while (!done_) {
      while (g_main_context_iteration(nullptr, FALSE)) {
      }
      std::this_thread::sleep_for(10ms);
    }
    thread_.join();
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  }
  const Seen& seen() const { return seen_; }
  const std::string& error() const { return error_; }

 private:
  void Fail(std::string what) {
    error_ = std::move(what);
    CancelOpenDialogs();
  }

  void Drive() {
    Steps();
    done_ = true;
  }

  void Steps() {
    const RunResult found = Shell("timeout 20 xdotool search --sync --onlyvisible --name '^" + name_ + "$' 2>/dev/null");
    if (found.status != 0) return Fail("window '" + name_ + "' did not appear");
    const std::string id = found.out.substr(0, found.out.find('\n'));
    if (!OnGtkThread([this] {
          GList* windows = gtk_window_list_toplevels();
          for (GList* w = windows; w != nullptr; w = w->next) {
            GtkWindow* window = GTK_WINDOW(w->data);
            const gchar* title = gtk_window_get_title(window);
            if (!gtk_widget_get_visible(GTK_WIDGET(window)) || title == nullptr || name_ != title) continue;
            seen_.read = true;
            seen_.title = title;
            if (GTK_IS_DIALOG(window)) {
              GtkWidget* ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(window), GTK_RESPONSE_OK);
              if (ok != nullptr) seen_.okSensitive = gtk_widget_get_sensitive(ok) != FALSE;
            }
            ReadWidget(GTK_WIDGET(window), seen_);
          }
          g_list_free(windows);
        })) {
      return Fail("the dialog's main loop did not run");
    }
    if (Shell("xdotool windowfocus --sync " + id).status != 0) return Fail("could not focus the window");
    if (!screenshot_.empty()) {
      std::this_thread::sleep_for(300ms);  // let the first frame be drawn
      OnGtkThread([this] {
        GdkWindow* root = gdk_get_default_root_window();
        GdkPixbuf* shot =
            gdk_pixbuf_get_from_window(root, 0, 0, gdk_window_get_width(root), gdk_window_get_height(root));
        if (shot != nullptr) {
          gdk_pixbuf_save(shot, screenshot_.c_str(), "png", nullptr, nullptr);
          g_object_unref(shot);
        }
      });
    }
    for (std::string step : steps_) {
      if (auto at = step.find("ROW1"); at != std::string::npos) {
        if (seen_.row1X < 0) return Fail("no second row to point at");
        step.replace(at, 4, std::to_string(seen_.row1X) + " " + std::to_string(seen_.row1Y));
      }
      if (Shell("xdotool " + step).status != 0) return Fail("xdotool " + step + " failed");
    }
    for (int i = 0; i < 150 && !returned_; ++i) std::this_thread::sleep_for(100ms);
    if (!returned_) Fail("the dialog did not close after: " + testing::PrintToString(steps_));
  }

  std::string name_;
  std::vector<std::string> steps_;
  std::string screenshot_;
  Seen seen_;
  std::string error_;
  std::atomic<bool> returned_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;  // last: starts once the members above exist
};

TEST(GtkDialogNoDisplay, DeclinesAtOnce) {
  kelo::test::ScopedEnv display("DISPLAY", nullptr), wayland("WAYLAND_DISPLAY", nullptr);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kelo::csp::GtkChooseCertificate({&kAlice, &kBob}, ""), -1);
  EXPECT_EQ(kelo::csp::GtkChooseCertificate({}, ""), -1);
  std::string password = "untouched";
  EXPECT_FALSE(kelo::csp::GtkAskPassword("Test store", "", password));
  EXPECT_EQ(password, "untouched");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

class GtkDialogXvfb : public testing::Test {
 protected:
  void SetUp() override {
    const char* xvfb = std::getenv("KELO_TEST_XVFB");
    if (xvfb == nullptr || std::getenv("DISPLAY") == nullptr) {
      GTEST_SKIP() << "no Xvfb display (run through tests/run_with_xvfb.sh, which needs Xvfb)";
    }
    if (Shell("command -v xdotool >/dev/null 2>&1").status != 0) GTEST_SKIP() << "xdotool is not installed";
    setenv("NO_AT_BRIDGE", "1", 0);  // no accessibility bus on a bare X server
  }
};

struct ChooseCase {
  const char* name;
  std::vector<const Certificate*> certs;
  std::string requester;
  std::vector<std::string> steps;
  int expected;
};

// OK and row activation wait about a second after the dialog appears, and
// no row is selected until the user picks one.
const std::string kWait = "sleep 1.3";

TEST_F(GtkDialogXvfb, Choose) {
  const std::vector<ChooseCase> cases = {
      {"Down then Return", {&kAlice, &kBob, &kCarol, &kDave}, "https://example.org", {kWait, "key Down Return"}, 1},
      {"stray Returns", {&kAlice, &kBob}, "", {"key Return", kWait, "key Return", "sleep 0.3", "key Escape"}, -1},
      {"a row taken at once is not", {&kAlice, &kBob}, "", {"key Down Return", kWait, "key Escape"}, -1},
      {"Escape cancels", {&kAlice, &kBob}, "", {"key Escape"}, -1},
      {"double click", {&kAlice, &kBob, &kCarol}, "", {kWait, "mousemove ROW1 click --repeat 2 --delay 80 1"}, 1},
      {"null entry keeps indices", {&kAlice, nullptr, &kCarol}, "", {kWait, "key Down Return"}, 2},
      {"empty list: Return does nothing", {}, "", {kWait, "key Return", "sleep 0.3", "key Escape"}, -1},
  };
  const char* title = "Select a certificate";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string shot;
#ifdef KELO_GTK_SCREENSHOT
    if (&c == &cases.front()) shot = KELO_GTK_SCREENSHOT;
#endif
    Driver driver(title, c.steps, shot);
    const int chosen = kelo::csp::GtkChooseCertificate(c.certs, c.requester);
    // Before anything lets GTK's main loop run again.
    EXPECT_FALSE(WindowVisible(title)) << "window still on screen after the call returned";
    driver.Finish();
    ASSERT_EQ(driver.error(), "");
    EXPECT_EQ(chosen, c.expected);

    const Seen& seen = driver.seen();
    ASSERT_TRUE(seen.read);
    EXPECT_EQ(seen.columns, (std::vector<std::string>{"Subject", "Issuer", "Serial", "Expires"}));
    std::vector<const Certificate*> listed;
    for (const Certificate* cert : c.certs) {
      if (cert != nullptr) listed.push_back(cert);
    }
    ASSERT_EQ(seen.rows.size(), listed.size());
    EXPECT_EQ(seen.okSensitive, false);
    for (std::size_t i = 0; i < listed.size(); ++i) {
      const auto* cert = static_cast<const FakeCert*>(listed[i]);
      // A bad byte is shown replaced, never cutting the rest of the name off.
      const std::string subject = cert->Subject(), shown = seen.rows[i].at("Subject");
      EXPECT_EQ(shown.substr(0, 7), subject.substr(0, 7));
      EXPECT_TRUE(shown.ends_with(subject.substr(subject.size() - 6))) << shown;
      EXPECT_TRUE(g_utf8_validate(shown.c_str(), -1, nullptr));
      EXPECT_EQ(seen.rows[i].at("Issuer"), cert->Issuer());
      EXPECT_EQ(seen.rows[i].at("Expires"), cert->NotAfter());
    }
    if (!listed.empty()) {
      const std::map<const Certificate*, std::string> serials = {
          {&kAlice, "00A10F"}, {&kBob, "7E"}, {&kCarol, "01020304"}, {&kDave, "FF"}};
      for (std::size_t i = 0; i < listed.size(); ++i) EXPECT_EQ(seen.rows[i].at("Serial"), serials.at(listed[i]));
    }
    bool named = false;
    for (const auto& label : seen.labels) named = named || label.find("asks for a certificate") != std::string::npos;
    EXPECT_EQ(named, !c.requester.empty());
    if (!c.requester.empty()) {
      bool hasWho = false;
      for (const auto& label : seen.labels) hasWho = hasWho || label.find(c.requester) != std::string::npos;
      EXPECT_TRUE(hasWho);
    }
  }
}

struct PasswordCase {
  const char* name;
  std::string requester;
  std::vector<std::string> steps;
  bool answered;
  std::string password;
};

TEST_F(GtkDialogXvfb, Password) {
  const std::vector<PasswordCase> cases = {
      {"typed and Return", "https://example.org", {"type --delay 30 s3cret", "key Return"}, true, "s3cret"},
      {"empty and Return", "", {"key Return"}, true, ""},
      {"typed then Escape", "", {"type --delay 30 s3cret", "key Escape"}, false, "untouched"},
  };
  const std::string title = "Password for Test store";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string shot;
#ifdef KELO_GTK_SCREENSHOT
    // Saved next to the selection dialog's picture.
    if (&c == &cases.front()) {
      shot = KELO_GTK_SCREENSHOT;
      shot.replace(shot.rfind("gtk_chooser"), 11, "gtk_password");
    }
#endif
    std::string password = "untouched";
    Driver driver(title, c.steps, shot);
    const bool answered = kelo::csp::GtkAskPassword("Test store", c.requester, password);
    EXPECT_FALSE(WindowVisible(title)) << "window still on screen after the call returned";
    driver.Finish();
    ASSERT_EQ(driver.error(), "");
    EXPECT_EQ(answered, c.answered);
    EXPECT_EQ(password, c.password);
    EXPECT_EQ(driver.seen().entryHidden, true);
    const std::string asks = c.requester + " asks for the password for Test store:";
    bool named = false;
    for (const auto& label : driver.seen().labels) named = named || label == asks;
    EXPECT_EQ(named, !c.requester.empty());
  }
}

}  // namespace
