// CTokens: the registry of 64-bit builds. Token objects live in one map per
// process, shared by every registry; each registry counts as a holder of the
// entries it bound, and the last holder to go finalises and unloads them.
// After the fixed module names come the modules configured by path
// (token/module_config.h), read when the registry is built.
#ifndef KELO_TOKEN_TOKENS_H
#define KELO_TOKEN_TOKENS_H

#include <string>
#include <vector>

#include "token/token_registry.h"

namespace kelo {

class CTokens final : public ITokenRegistry {
 public:
  CTokens();
  CTokens(const CTokens&) = delete;
  CTokens& operator=(const CTokens&) = delete;
  ~CTokens() override;

  ResultCode Connect() override;
  ResultCode Disconnect() override;
  CP11Token* GetCurrentToken() override;
  void GetAllSerials(std::string& out) override;
  // A configured module's type is kLibraryTypeCount plus its place among
  // the configured modules this registry bound.
  LibraryType CurrentType() const override { return m_nLibType; }

  // Number of entries in the process-wide map (for diagnostics and tests).
  static std::size_t EntryCount();

 private:
  LibraryType m_nLibType = kNoLibrary;
  std::vector<LibraryType> m_held;        // fixed library types this registry holds
  std::vector<std::string> m_configured;  // paths of the configured modules it holds, in order
};

}  // namespace kelo

#endif
