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

  std::int32_t Connect() override;
  std::int32_t Disconnect() override;
  CP11Token* GetCurrentToken() override;
  void GetAllSerials(std::string& out) override;
  std::int32_t CurrentType() const override { return m_nLibType; }

  // Number of entries in the process-wide map (for diagnostics and tests).
  static std::size_t EntryCount();

 private:
  std::int32_t m_nLibType = -1;
  std::vector<std::int32_t> m_held;  // library types this registry holds
};

}  // namespace kelo

#endif
