// CTokensPair: the registry of 32-bit builds. It owns exactly two token
// objects, for library types 0 and 1; type 2 does not exist there.
#ifndef KELO_TOKEN_TOKENS_PAIR_H
#define KELO_TOKEN_TOKENS_PAIR_H

#include "token/token_registry.h"

namespace kelo {

class CTokensPair final : public ITokenRegistry {
 public:
  CTokensPair();
  CTokensPair(const CTokensPair&) = delete;
  CTokensPair& operator=(const CTokensPair&) = delete;
  ~CTokensPair() override;

  std::int32_t Connect() override;
  std::int32_t Disconnect() override;
  CP11Token* GetCurrentToken() override;
  void GetAllSerials(std::string& out) override;
  std::int32_t CurrentType() const override { return m_nLibType; }

 private:
  CP11Token m_token0;
  CP11Token m_token1;
  std::int32_t m_nLibType = -1;
};

}  // namespace kelo

#endif
