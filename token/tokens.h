// CTokens: the registry of 64-bit builds. Token objects live in one map per
// process, shared by every registry; each registry counts as a holder of the
// entries it bound, and the last holder to go finalises and unloads them.
#ifndef KELO_TOKEN_TOKENS_H
#define KELO_TOKEN_TOKENS_H

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
  LibraryType CurrentType() const override { return m_nLibType; }

  // Number of entries in the process-wide map (for diagnostics and tests).
  static std::size_t EntryCount();

 private:
  LibraryType m_nLibType = kNoLibrary;
  std::vector<LibraryType> m_held;  // library types this registry holds
};

}  // namespace kelo

#endif
