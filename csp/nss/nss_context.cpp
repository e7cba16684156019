#include "csp/nss/nss_context.h"

#include <nss.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <utility>

#include "csp/nss/nss_password.h"

namespace kelo::csp::nss {
namespace {

struct Shared {
  std::mutex mutex;
  long references = 0;
  NssState state = NssState::kStopped;
  std::string directory;  // of the open database
  bool lastShutdownClean = true;
};

Shared& Global() {
  static Shared shared;
  return shared;
}

// The user's database directory when it holds a database (cert9.db), else
// empty: a missing database is opened as none, and nothing is created.
std::string DatabaseDirectory() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return {};
  std::string dir = std::string(home) + "/.pki/nssdb";
  struct stat info {};
  if (::stat((dir + "/cert9.db").c_str(), &info) != 0) return {};
  return dir;
}

NssState Start(std::string& opened) {
  NssState state = NssState::kNoDatabase;
  bool started = false;
  const std::string dir = DatabaseDirectory();
  if (!dir.empty()) {
    // Read-only: looking at the store must never change it; no root
    // certificates module, the store is the database's own slot.
    const std::string config = "sql:" + dir;
    started = NSS_Initialize(config.c_str(), "", "", SECMOD_DB, NSS_INIT_READONLY | NSS_INIT_NOROOTINIT) == SECSuccess;
    state = started ? NssState::kDatabase : NssState::kDatabaseUnusable;
    if (started) opened = dir;
  }
  // Without a usable database NSS still parses certificates and does the
  // public-key operations.
  if (!started && NSS_NoDB_Init(nullptr) != SECSuccess) return NssState::kFailed;
  InstallPasswordCallback();
  return state;
}

}  // namespace

NssRef NssRef::Acquire() {
  Shared& shared = Global();
  std::lock_guard lock(shared.mutex);
  if (shared.references == 0) {
    shared.directory.clear();
    shared.state = Start(shared.directory);
    if (shared.state == NssState::kFailed) {
      shared.state = NssState::kStopped;
      return NssRef(false, NssState::kFailed);
    }
  }
  ++shared.references;
  return NssRef(true, shared.state);
}

NssRef::NssRef(const NssRef& other) : held_(other.held_), state_(other.state_) {
  if (held_) {
    Shared& shared = Global();
    std::lock_guard lock(shared.mutex);
    ++shared.references;
  }
}

NssRef::NssRef(NssRef&& other) noexcept
    : held_(std::exchange(other.held_, false)), state_(std::exchange(other.state_, NssState::kFailed)) {}

NssRef& NssRef::operator=(NssRef other) noexcept {
  std::swap(held_, other.held_);
  std::swap(state_, other.state_);
  return *this;
}

NssRef::~NssRef() { Release(); }

void NssRef::Release() {
  if (!held_) return;
  held_ = false;
  Shared& shared = Global();
  std::lock_guard lock(shared.mutex);
  if (--shared.references == 0) {
    shared.lastShutdownClean = NSS_Shutdown() == SECSuccess;
    shared.state = NssState::kStopped;
  }
}

std::string OpenDatabaseDirectory() {
  Shared& shared = Global();
  std::lock_guard lock(shared.mutex);
  return shared.state == NssState::kDatabase ? shared.directory : std::string();
}

bool LastShutdownClean() {
  Shared& shared = Global();
  std::lock_guard lock(shared.mutex);
  return shared.lastShutdownClean;
}

}  // namespace kelo::csp::nss
