// Single-part digest, sign, verify, encrypt and decrypt on the token.
#include <vector>

#include "platform/wipe.h"
#include "token/p11_token.h"

namespace kelo {
namespace {

// Beyond this a reported output length is not believed.
constexpr CK_ULONG kMaxFinishLen = 64u * 1024u;

CK_MECHANISM Mechanism(CK_MECHANISM_TYPE type) {
  CK_MECHANISM m;
  m.mechanism = type;
  m.pParameter = nullptr;
  m.ulParameterLen = 0;
  return m;
}

// A hash type without a name signs the data as it is.
CK_MECHANISM_TYPE SignatureMechanism(HashType hashType) {
  switch (hashType) {
    case HashType::kSha1: return CKM_SHA1_RSA_PKCS;
    case HashType::kMd2: return CKM_MD2_RSA_PKCS;
    case HashType::kMd5: return CKM_MD5_RSA_PKCS;
    default: return CKM_RSA_PKCS;
  }
}

using ProcessFn = decltype(CK_FUNCTION_LIST::C_Sign);

// Runs one processing call. When the output area is too small the module
// keeps the operation active and would refuse the next one on the session,
// so finish it into an area of the reported size and throw the output away.
// The caller still sees the failure. A reported size beyond kMaxFinishLen is
// not allocated: such a module keeps its operation, and its next one on the
// session fails until the next ConnectToken opens a fresh session.
CK_RV Process(ProcessFn fn, CK_SESSION_HANDLE session, const std::uint8_t* in, CK_ULONG inLen, std::uint8_t* out,
              CK_ULONG& outLen) {
  // Never hand the module a null area: a null output would turn the call
  // into a length query and leave the operation active.
  std::uint8_t dummyIn = 0, dummyOut = 0;
  if (in == nullptr) in = &dummyIn;
  if (out == nullptr) out = &dummyOut;
  CK_ULONG len = outLen;
  CK_RV rv = fn(session, const_cast<CK_BYTE_PTR>(in), inLen, out, &len);
  if (rv == CKR_OK) {
    if (len > outLen) return CKR_GENERAL_ERROR;  // claims more than the area holds
    outLen = len;
    return rv;
  }
  if (rv == CKR_BUFFER_TOO_SMALL && len > outLen && len <= kMaxFinishLen) {
    platform::SecureBytes scratch(len);
    CK_ULONG scratchLen = len;
    fn(session, const_cast<CK_BYTE_PTR>(in), inLen, scratch.data(), &scratchLen);
  }
  return rv;
}

}  // namespace

ResultCode CP11Token::DigestData(HashType hashType, const std::uint8_t* data, CK_ULONG len, std::uint8_t* out,
                                 CK_ULONG& outLen) {
  if (!Usable()) return kErrSession;
  CK_MECHANISM_TYPE type;
  switch (hashType) {
    case HashType::kSha1: type = CKM_SHA_1; break;
    case HashType::kMd2: type = CKM_MD2; break;
    case HashType::kMd5: type = CKM_MD5; break;
    default: return kErrBadArgument;
  }
  CK_MECHANISM mech = Mechanism(type);
  if (m_pFunctionList->C_DigestInit(m_session.get(), &mech) != CKR_OK) return kErrHash;
  return Process(m_pFunctionList->C_Digest, m_session.get(), data, len, out, outLen) == CKR_OK ? kOk : kErrHash;
}

ResultCode CP11Token::SignData(CK_OBJECT_HANDLE key, HashType hashType, const std::uint8_t* data, CK_ULONG len,
                               std::uint8_t* out, CK_ULONG& outLen) {
  if (!Usable()) return kErrSession;
  CK_MECHANISM mech = Mechanism(SignatureMechanism(hashType));
  if (m_pFunctionList->C_SignInit(m_session.get(), &mech, key) != CKR_OK) return kErrSign;
  return Process(m_pFunctionList->C_Sign, m_session.get(), data, len, out, outLen) == CKR_OK ? kOk : kErrSign;
}

ResultCode CP11Token::VerifyData(CK_OBJECT_HANDLE key, HashType hashType, const std::uint8_t* data, CK_ULONG len,
                                 const std::uint8_t* sig, CK_ULONG sigLen) {
  if (!Usable()) return kErrSession;
  CK_MECHANISM mech = Mechanism(SignatureMechanism(hashType));
  if (m_pFunctionList->C_VerifyInit(m_session.get(), &mech, key) != CKR_OK) return kErrVerify;
  std::uint8_t dummy = 0;
  CK_RV rv = m_pFunctionList->C_Verify(m_session.get(), const_cast<CK_BYTE_PTR>(data ? data : &dummy), len,
                                       const_cast<CK_BYTE_PTR>(sig ? sig : &dummy), sigLen);
  return rv == CKR_OK ? kOk : kErrVerify;
}

ResultCode CP11Token::EncryptData(CK_OBJECT_HANDLE key, const std::uint8_t* data, CK_ULONG len, std::uint8_t* out,
                                  CK_ULONG& outLen) {
  if (!Usable()) return kErrSession;
  CK_MECHANISM mech = Mechanism(CKM_RSA_PKCS);
  if (m_pFunctionList->C_EncryptInit(m_session.get(), &mech, key) != CKR_OK) return kErrEncrypt;
  return Process(m_pFunctionList->C_Encrypt, m_session.get(), data, len, out, outLen) == CKR_OK ? kOk : kErrEncrypt;
}

ResultCode CP11Token::DecryptData(CK_OBJECT_HANDLE key, const std::uint8_t* data, CK_ULONG len, std::uint8_t* out,
                                  CK_ULONG& outLen) {
  if (!Usable()) return kErrSession;
  CK_MECHANISM mech = Mechanism(CKM_RSA_PKCS);
  if (m_pFunctionList->C_DecryptInit(m_session.get(), &mech, key) != CKR_OK) return kErrDecrypt;
  return Process(m_pFunctionList->C_Decrypt, m_session.get(), data, len, out, outLen) == CKR_OK ? kOk : kErrDecrypt;
}

ResultCode CP11Token::SignDataBySerial(const std::uint8_t* serial, std::size_t n, HashType hashType,
                                       const std::uint8_t* data, CK_ULONG len, std::uint8_t* out, CK_ULONG& outLen) {
  CK_OBJECT_HANDLE key = 0;
  ResultCode rc = FindPrivateKeyBySerial(serial, n, key);
  if (rc != kOk) return rc;
  return SignData(key, hashType, data, len, out, outLen);
}

ResultCode CP11Token::VerifyDataBySerial(const std::uint8_t* serial, std::size_t n, HashType hashType,
                                         const std::uint8_t* data, CK_ULONG len, const std::uint8_t* sig,
                                         CK_ULONG sigLen) {
  CK_OBJECT_HANDLE key = 0;
  ResultCode rc = FindPublicKeyBySerial(serial, n, key);
  if (rc != kOk) return rc;
  return VerifyData(key, hashType, data, len, sig, sigLen);
}

}  // namespace kelo
