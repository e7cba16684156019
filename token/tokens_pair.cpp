#include "token/tokens_pair.h"

namespace kelo {

CTokensPair::CTokensPair() {
  // A module not loadable now is loaded by its token object's Connect later.
  (void)m_token0.Load(LibraryName(kLibraryZIr4));
  (void)m_token1.Load(LibraryName(kLibraryCAv5));
}

CTokensPair::~CTokensPair() {
  m_token0.Unload();
  m_token1.Unload();
}

ResultCode CTokensPair::Connect() {
  ResultCode rc0 = m_token0.Connect();
  if (rc0 == kOk) {
    m_nLibType = kLibraryZIr4;
    return kOk;
  }
  ResultCode rc1 = m_token1.Connect();
  if (rc1 == kOk) {
    m_nLibType = kLibraryCAv5;
    return kOk;
  }
  return rc0 == kErrNoToken || rc1 == kErrNoToken ? kErrNoToken : rc1;
}

ResultCode CTokensPair::Disconnect() {
  CP11Token* token = GetCurrentToken();
  if (token == nullptr) return kErrNoCurrentToken;
  m_nLibType = kNoLibrary;
  return token->Disconnect();
}

CP11Token* CTokensPair::GetCurrentToken() {
  if (m_nLibType == kLibraryZIr4) return &m_token0;
  if (m_nLibType == kLibraryCAv5) return &m_token1;
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
