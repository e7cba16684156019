#include "token/tokens_pair.h"

#include "common/result_codes.h"

namespace kelo {

CTokensPair::CTokensPair() {
  // A module not loadable now is loaded by its token object's Connect later.
  m_token0.Load(LibraryName(0));
  m_token1.Load(LibraryName(1));
  m_nLibType = -1;
}

CTokensPair::~CTokensPair() {
  m_token0.Unload();
  m_token1.Unload();
}

std::int32_t CTokensPair::Connect() {
  std::int32_t rc0 = m_token0.Connect();
  if (rc0 == kOk) {
    m_nLibType = 0;
    return kOk;
  }
  std::int32_t rc1 = m_token1.Connect();
  if (rc1 == kOk) {
    m_nLibType = 1;
    return kOk;
  }
  return rc0 == kErrNoToken || rc1 == kErrNoToken ? kErrNoToken : rc1;
}

std::int32_t CTokensPair::Disconnect() {
  CP11Token* token = GetCurrentToken();
  if (token == nullptr) return kErrNoCurrentToken;
  m_nLibType = -1;
  return token->Disconnect();
}

CP11Token* CTokensPair::GetCurrentToken() {
  if (m_nLibType == 0) return &m_token0;
  if (m_nLibType == 1) return &m_token1;
  return nullptr;
}

void CTokensPair::GetAllSerials(std::string& out) {
  std::string first, second;
  if (m_token0.GetAllSerials(first) != kOk) first.clear();
  if (m_token1.GetAllSerials(second) != kOk) second.clear();
  if (!first.empty() && !second.empty()) first += ',';
  out += first;
  out += second;
}

}  // namespace kelo
