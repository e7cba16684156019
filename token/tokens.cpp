#include "token/tokens.h"

#include <map>
#include <mutex>

#include "token/module_config.h"

namespace kelo {
namespace {

struct Entry {
  std::unique_ptr<CP11Token> token;
  int holders = 0;
};

// A fixed module by its library type; a configured one by its path, so that
// it keeps its entry whatever else the configuration lists when the next
// registry reads it.
struct Key {
  std::int32_t type = kLibraryTypeCount;
  std::string path;
  auto operator<=>(const Key&) const = default;
};
Key FixedKey(std::int32_t type) { return Key{type, {}}; }
Key ConfiguredKey(const std::string& path) { return Key{kLibraryTypeCount, path}; }

// Ordered by key, so iteration runs in library-type order, the configured
// modules after the fixed ones.
struct SharedTokens {
  std::mutex mu;  // guards the map's shape when controls live on several threads
  std::map<Key, Entry> entries;
};

SharedTokens& Shared() {
  static SharedTokens shared;
  return shared;
}

// Loads a module and holds its entry; false when it could not be loaded.
bool Bind(const Key& key, const char* name, CP11Token::AuxList aux) {
  auto token = std::make_unique<CP11Token>();
  if (token->Load(name, aux) != kOk) return false;
  SharedTokens& s = Shared();
  std::lock_guard<std::mutex> lock(s.mu);
  Entry& e = s.entries[key];
  if (!e.token) e.token = std::move(token);
  // Otherwise the fresh object only drops its own hold on the module; the
  // entry keeps it loaded and initialised.
  ++e.holders;
  return true;
}

// Drops one hold; the entry's token when this was the last one.
std::unique_ptr<CP11Token> Release(SharedTokens& s, const Key& key) {
  auto it = s.entries.find(key);
  if (it == s.entries.end() || --it->second.holders > 0) return nullptr;
  std::unique_ptr<CP11Token> token = std::move(it->second.token);
  s.entries.erase(it);
  return token;
}

}  // namespace

CTokens::CTokens() {
  for (std::int32_t n = 0; n < kLibraryTypeCount; ++n) {
    const auto type = static_cast<LibraryType>(n);
    if (Bind(FixedKey(type), LibraryName(type), CP11Token::AuxList::kRequired)) m_held.push_back(type);
  }
  // A configured module needs only C_GetFunctionList.
  for (const std::string& path : ReadModuleConfig().Paths()) {
    if (Bind(ConfiguredKey(path), path.c_str(), CP11Token::AuxList::kOptional)) m_configured.push_back(path);
  }
}

CTokens::~CTokens() {
  SharedTokens& s = Shared();
  std::vector<std::unique_ptr<CP11Token>> doomed;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    for (LibraryType type : m_held) doomed.push_back(Release(s, FixedKey(type)));
    for (const std::string& path : m_configured) doomed.push_back(Release(s, ConfiguredKey(path)));
  }
  // Finalise outside the lock, in library-type order, then the configured ones.
  for (auto& token : doomed) token.reset();
}

ResultCode CTokens::Connect() {
  SharedTokens& s = Shared();
  bool any = false;
  ResultCode rc = kErrNoToken;
  auto tryEntry = [&](Entry& entry, std::int32_t type) {
    any = true;
    rc = entry.token->Connect();
    if (rc == kErrNoToken) return false;
    m_nLibType = static_cast<LibraryType>(type);
    return true;
  };
  for (auto& [key, entry] : s.entries) {
    if (key.type >= kLibraryTypeCount) break;  // the configured entries sort last
    if (tryEntry(entry, key.type)) return rc;
  }
  // This registry's own configured modules, in the order it read them.
  for (std::size_t i = 0; i < m_configured.size(); ++i) {
    auto it = s.entries.find(ConfiguredKey(m_configured[i]));
    if (it == s.entries.end()) continue;
    if (tryEntry(it->second, kLibraryTypeCount + static_cast<std::int32_t>(i))) return rc;
  }
  return any ? rc : kErrLoadModule;
}

CP11Token* CTokens::GetCurrentToken() {
  Key key;
  if (LibraryName(m_nLibType) != nullptr) {
    key = FixedKey(m_nLibType);
  } else if (m_nLibType >= kLibraryTypeCount &&
             static_cast<std::size_t>(m_nLibType - kLibraryTypeCount) < m_configured.size()) {
    key = ConfiguredKey(m_configured[static_cast<std::size_t>(m_nLibType - kLibraryTypeCount)]);
  } else {
    return nullptr;
  }
  SharedTokens& s = Shared();
  auto it = s.entries.find(key);
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
  auto append = [&out](CP11Token& token) {
    std::string area;
    if (token.GetAllSerials(area) != kOk) return;
    if (!out.empty()) out += ',';
    out += area;
  };
  SharedTokens& s = Shared();
  for (auto& [key, entry] : s.entries) {
    if (key.type >= kLibraryTypeCount) break;
    append(*entry.token);
  }
  for (const std::string& path : m_configured) {
    auto it = s.entries.find(ConfiguredKey(path));
    if (it != s.entries.end()) append(*it->second.token);
  }
}

std::size_t CTokens::EntryCount() {
  SharedTokens& s = Shared();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.entries.size();
}

}  // namespace kelo
