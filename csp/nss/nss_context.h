// The process's one NSS instance, shared by every store, certificate and key
// of this backend. NSS starts with the first reference and shuts down when
// the last one goes, so objects handed out keep it alive for as long as they
// hold NSS objects. Each start reads HOME afresh.
#ifndef KELO_CSP_NSS_NSS_CONTEXT_H
#define KELO_CSP_NSS_NSS_CONTEXT_H

#include <cstdint>
#include <string>

namespace kelo::csp::nss {

enum class NssState {
  kStopped,
  kDatabase,          // the user's database is open
  kNoDatabase,        // there is none: NSS runs without one, the store is empty
  kDatabaseUnusable,  // it exists but would not open: NSS runs without it
  kFailed,            // NSS could not start at all
};

class NssRef {
 public:
  // A reference to a running NSS, starting it if needed; an empty reference
  // (Started() false) when NSS cannot start.
  static NssRef Acquire();

  NssRef() = default;
  NssRef(const NssRef& other);
  NssRef(NssRef&& other) noexcept;
  NssRef& operator=(NssRef other) noexcept;
  ~NssRef();

  bool Started() const { return held_; }
  // How NSS was started for this reference (kFailed for an empty one).
  NssState State() const { return state_; }

 private:
  NssRef(bool held, NssState state) : held_(held), state_(state) {}
  void Release();

  bool held_ = false;
  NssState state_ = NssState::kFailed;
};

// The directory of the database NSS has open; empty when it has none.
std::string OpenDatabaseDirectory();

// How many times the store has walked the database to look serial numbers
// up (csp/nss/serial_index.h). For tests of the backend's own bookkeeping.
std::uint64_t SerialIndexWalks();

// Whether the most recent shutdown found nothing still referenced
// (NSS_Shutdown succeeded). For tests of the backend's own bookkeeping.
bool LastShutdownClean();

}  // namespace kelo::csp::nss

#endif
