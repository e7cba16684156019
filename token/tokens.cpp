#include "token/tokens.h"

#include <map>
#include <mutex>


namespace kelo {
namespace {

struct Entry {
  std::unique_ptr<CP11Token> token;
  int holders = 0;
};

// Keyed by library type, so iteration runs in library-type order.
struct SharedTokens {
  std::mutex mu;  // guards the map's shape when controls live on several threads
  std::map<LibraryType, Entry> entries;
};

SharedTokens& Shared() {
  static SharedTokens shared;
  return shared;
}

}  // namespace

CTokens::CTokens() {
  for (std::int32_t n = 0; n < kLibraryTypeCount; ++n) {
    const auto type = static_cast<LibraryType>(n);
    auto token = std::make_unique<CP11Token>();
    if (token->Load(LibraryName(type)) != kOk) continue;
    SharedTokens& s = Shared();
    std::lock_guard<std::mutex> lock(s.mu);
    Entry& e = s.entries[type];
    if (!e.token) e.token = std::move(token);
    // Otherwise the fresh object only drops its own hold on the module; the
    // entry keeps it loaded and initialised.
    ++e.holders;
    m_held.push_back(type);
  }
}

CTokens::~CTokens() {
  SharedTokens& s = Shared();
  std::unique_ptr<CP11Token> doomed[kLibraryTypeCount];
  {
    std::lock_guard<std::mutex> lock(s.mu);
    for (LibraryType type : m_held) {
      auto it = s.entries.find(type);
      if (it == s.entries.end() || --it->second.holders > 0) continue;
      doomed[type] = std::move(it->second.token);
      s.entries.erase(it);
    }
  }
  // Finalise outside the lock, in library-type order.
  for (auto& token : doomed) token.reset();
}

ResultCode CTokens::Connect() {
  SharedTokens& s = Shared();
  if (s.entries.empty()) return kErrLoadModule;
  ResultCode rc = kErrNoToken;
  for (auto& [type, entry] : s.entries) {
    rc = entry.token->Connect();
    if (rc == kErrNoToken) continue;
    m_nLibType = type;
    return rc;
  }
  return rc;
}

CP11Token* CTokens::GetCurrentToken() {
  if (LibraryName(m_nLibType) == nullptr) return nullptr;
  SharedTokens& s = Shared();
  auto it = s.entries.find(m_nLibType);
  return it == s.entries.end() ? nullptr : it->second.token.get();
}

ResultCode CTokens::Disconnect() {
  CP11Token* token = GetCurrentToken();
  if (token == nullptr) return kOk;
  m_nLibType = kNoLibrary;
  (void)token->Disconnect();  // the registry's answer does not depend on the module's
  return kOk;
}

void CTokens::GetAllSerials(std::string& out) {
  for (auto& [type, entry] : Shared().entries) {
    std::string area;
    if (entry.token->GetAllSerials(area) != kOk) continue;
    if (!out.empty()) out += ',';
    out += area;
  }
}

std::size_t CTokens::EntryCount() {
  SharedTokens& s = Shared();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.entries.size();
}

}  // namespace kelo
