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
    case HashType::kSha256: return CKM_SHA256_RSA_PKCS;
    case HashType::kSha384: return CKM_SHA384_RSA_PKCS;
    case HashType::kSha512: return CKM_SHA512_RSA_PKCS;
    default: return CKM_RSA_PKCS;
  }
}

// The digest of a named hash type; false for any other value.
bool DigestMechanism(HashType hashType, CK_MECHANISM_TYPE& type) {
  switch (hashType) {
    case HashType::kSha1: type = CKM_SHA_1; return true;
    case HashType::kMd2: type = CKM_MD2; return true;
    case HashType::kMd5: type = CKM_MD5; return true;
    case HashType::kSha256: type = CKM_SHA256; return true;
    case HashType::kSha384: type = CKM_SHA384; return true;
    case HashType::kSha512: type = CKM_SHA512; return true;
    default: return false;
  }
}

// ECDSA with the hash done by the module in one mechanism; there is none
// for MD2 and MD5.
bool EcdsaWithHash(HashType hashType, CK_MECHANISM_TYPE& type) {
  switch (hashType) {
    case HashType::kSha1: type = CKM_ECDSA_SHA1; return true;
    case HashType::kSha256: type = CKM_ECDSA_SHA256; return true;
    case HashType::kSha384: type = CKM_ECDSA_SHA384; return true;
    case HashType::kSha512: type = CKM_ECDSA_SHA512; return true;
    default: return false;
  }
}

// Room for the longest digest we ask for (SHA-512).
constexpr CK_ULONG kMaxDigestLen = 64;

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
  if (!DigestMechanism(hashType, type)) return kErrBadArgument;
  CK_MECHANISM mech = Mechanism(type);
  if (m_pFunctionList->C_DigestInit(m_session.get(), &mech) != CKR_OK) return kErrHash;
  return Process(m_pFunctionList->C_Digest, m_session.get(), data, len, out, outLen) == CKR_OK ? kOk : kErrHash;
}

// The key's type is asked before the mechanism is chosen: some modules
// accept an RSA mechanism with an EC key at initialisation and only fail the
// signature. A remembered type can be stale (a handle that names another
// object now), so a failure with one is tried again with the type read anew.
ResultCode CP11Token::SignData(CK_OBJECT_HANDLE key, HashType hashType, const std::uint8_t* data, CK_ULONG len,
                               std::uint8_t* out, CK_ULONG& outLen) {
  if (!Usable()) return kErrSession;
  auto sign = [&](bool ec) {
    if (ec) return SignEc(key, hashType, data, len, out, outLen);
    CK_MECHANISM mech = Mechanism(SignatureMechanism(hashType));
    if (m_pFunctionList->C_SignInit(m_session.get(), &mech, key) != CKR_OK) return kErrSign;
    return Process(m_pFunctionList->C_Sign, m_session.get(), data, len, out, outLen) == CKR_OK ? kOk : kErrSign;
  };
  const bool remembered = m_keyIsEc.count(key) != 0;
  const bool ec = IsEcKey(key);
  ResultCode rc = sign(ec);
  if (rc != kOk && remembered) {
    m_keyIsEc.erase(key);
    if (IsEcKey(key) != ec) rc = sign(!ec);
  }
  return rc;
}

ResultCode CP11Token::VerifyData(CK_OBJECT_HANDLE key, HashType hashType, const std::uint8_t* data, CK_ULONG len,
                                 const std::uint8_t* sig, CK_ULONG sigLen) {
  if (!Usable()) return kErrSession;
  auto verify = [&](bool ec) {
    if (ec) return VerifyEc(key, hashType, data, len, sig, sigLen);
    CK_MECHANISM mech = Mechanism(SignatureMechanism(hashType));
    if (m_pFunctionList->C_VerifyInit(m_session.get(), &mech, key) != CKR_OK) return kErrVerify;
    std::uint8_t dummy = 0;
    CK_RV rv = m_pFunctionList->C_Verify(m_session.get(), const_cast<CK_BYTE_PTR>(data ? data : &dummy), len,
                                         const_cast<CK_BYTE_PTR>(sig ? sig : &dummy), sigLen);
    return rv == CKR_OK ? kOk : kErrVerify;
  };
  const bool remembered = m_keyIsEc.count(key) != 0;
  const bool ec = IsEcKey(key);
  ResultCode rc = verify(ec);
  if (rc != kOk && remembered) {
    m_keyIsEc.erase(key);
    if (IsEcKey(key) != ec) rc = verify(!ec);
  }
  return rc;
}

// A key whose type cannot be read is taken for RSA, as every key was before
// EC keys were known, and is asked again next time. Reading the type costs a
// module like SoftHSM2 about as much as a small signature, so what was read
// is remembered while the session lasts.
bool CP11Token::IsEcKey(CK_OBJECT_HANDLE key) {
  if (auto it = m_keyIsEc.find(key); it != m_keyIsEc.end()) return it->second;
  CK_KEY_TYPE type = CKK_RSA;
  CK_ATTRIBUTE attr = {CKA_KEY_TYPE, &type, sizeof type};
  if (m_pFunctionList->C_GetAttributeValue(m_session.get(), key, &attr, 1) != CKR_OK || attr.ulValueLen != sizeof type)
    return false;
  if (m_keyIsEc.size() >= kMaxRememberedKeys) m_keyIsEc.clear();
  return m_keyIsEc[key] = type == CKK_EC;
}

bool CP11Token::Offers(CK_MECHANISM_TYPE type, CK_FLAGS use) {
  auto it = m_mechanismFlags.find(type);
  if (it == m_mechanismFlags.end()) {
    CK_MECHANISM_INFO info = {};
    // A module without the function offers nothing we would have to ask for.
    const bool known = m_pFunctionList->C_GetMechanismInfo != nullptr &&
                       m_pFunctionList->C_GetMechanismInfo(m_slotId, type, &info) == CKR_OK;
    it = m_mechanismFlags.emplace(type, known ? info.flags : 0).first;
  }
  return (it->second & use) != 0;
}

namespace {

struct EcdsaInput {
  std::uint8_t digest[kMaxDigestLen] = {};
  const std::uint8_t* data = nullptr;
  CK_ULONG len = 0;
};

// The bytes ECDSA signs for a hash type without a one-step mechanism: the
// module's digest of the data, or the data themselves for a hash type
// without a name. false when the module cannot make the digest.
bool PrepareEcdsaInput(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, HashType hashType, const std::uint8_t* data,
                       CK_ULONG len, EcdsaInput& in) {
  CK_MECHANISM_TYPE digest;
  if (!DigestMechanism(hashType, digest)) {
    in.data = data;
    in.len = len;
    return true;
  }
  CK_MECHANISM mech = Mechanism(digest);
  in.len = kMaxDigestLen;
  if (fl->C_DigestInit(session, &mech) != CKR_OK ||
      Process(fl->C_Digest, session, data, len, in.digest, in.len) != CKR_OK)
    return false;
  in.data = in.digest;
  return true;
}

}  // namespace

ResultCode CP11Token::SignEc(CK_OBJECT_HANDLE key, HashType hashType, const std::uint8_t* data, CK_ULONG len,
                             std::uint8_t* out, CK_ULONG& outLen) {
  CK_MECHANISM_TYPE oneStep;
  if (EcdsaWithHash(hashType, oneStep) && Offers(oneStep, CKF_SIGN)) {
    CK_MECHANISM mech = Mechanism(oneStep);
    if (m_pFunctionList->C_SignInit(m_session.get(), &mech, key) != CKR_OK) return kErrSign;
    return Process(m_pFunctionList->C_Sign, m_session.get(), data, len, out, outLen) == CKR_OK ? kOk : kErrSign;
  }
  EcdsaInput in;
  if (!PrepareEcdsaInput(m_pFunctionList, m_session.get(), hashType, data, len, in)) return kErrSign;
  CK_MECHANISM mech = Mechanism(CKM_ECDSA);
  ResultCode rc = kErrSign;
  if (m_pFunctionList->C_SignInit(m_session.get(), &mech, key) == CKR_OK &&
      Process(m_pFunctionList->C_Sign, m_session.get(), in.data, in.len, out, outLen) == CKR_OK)
    rc = kOk;
  platform::SecureWipe(in.digest, sizeof in.digest);
  return rc;
}

ResultCode CP11Token::VerifyEc(CK_OBJECT_HANDLE key, HashType hashType, const std::uint8_t* data, CK_ULONG len,
                               const std::uint8_t* sig, CK_ULONG sigLen) {
  std::uint8_t dummy = 0;
  CK_BYTE_PTR sigPtr = const_cast<CK_BYTE_PTR>(sig ? sig : &dummy);
  CK_MECHANISM_TYPE oneStep;
  if (EcdsaWithHash(hashType, oneStep) && Offers(oneStep, CKF_VERIFY)) {
    CK_MECHANISM mech = Mechanism(oneStep);
    if (m_pFunctionList->C_VerifyInit(m_session.get(), &mech, key) != CKR_OK) return kErrVerify;
    return m_pFunctionList->C_Verify(m_session.get(), const_cast<CK_BYTE_PTR>(data ? data : &dummy), len, sigPtr,
                                     sigLen) == CKR_OK
               ? kOk
               : kErrVerify;
  }
  EcdsaInput in;
  if (!PrepareEcdsaInput(m_pFunctionList, m_session.get(), hashType, data, len, in)) return kErrVerify;
  CK_MECHANISM mech = Mechanism(CKM_ECDSA);
  if (m_pFunctionList->C_VerifyInit(m_session.get(), &mech, key) != CKR_OK) return kErrVerify;
  return m_pFunctionList->C_Verify(m_session.get(), const_cast<CK_BYTE_PTR>(in.data ? in.data : &dummy), in.len, sigPtr,
                                   sigLen) == CKR_OK
             ? kOk
             : kErrVerify;
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
