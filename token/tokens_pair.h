// CTokensPair: the registry of 32-bit builds. It owns exactly two token
// objects, for kLibraryZIr4 and kLibraryCAv5; kLibraryCAv6 does not exist there.
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

  ResultCode Connect() override;
  ResultCode Disconnect() override;
  CP11Token* GetCurrentToken() override;
  void GetAllSerials(std::string& out) override;
  LibraryType CurrentType() const override { return m_nLibType; }

 private:
  CP11Token m_token0;
  CP11Token m_token1;
  LibraryType m_nLibType = kNoLibrary;
};

}  // namespace kelo

#endif
