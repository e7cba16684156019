// Enumeration by position, attribute reads, and certificate and key lookup.
#include <cstring>
#include <new>

#include "token/find_operation.h"
#include "token/p11_token.h"
#include "common/result_codes.h"

namespace kelo {
namespace {

// No token attribute we read comes near this (certificates are a few KiB);
// a larger reported length is a broken module, not something to allocate.
constexpr CK_ULONG kMaxAttributeLen = 1024u * 1024u;

bool Reasonable(CK_ULONG len) { return len != CK_UNAVAILABLE_INFORMATION && len <= kMaxAttributeLen; }

}  // namespace

std::int32_t CP11Token::Enumerate(CK_OBJECT_CLASS cls, std::int32_t index, CK_OBJECT_HANDLE& handle) {
  if (!Usable()) return kErrSession;
  FindOperation find(m_pFunctionList, m_hSession, cls);
  for (std::int32_t i = 0; i <= index; ++i) {
    CK_OBJECT_HANDLE h = 0;
    if (!find.Next(h)) return kErrNotFound;
    if (i == index) {
      handle = h;
      return kOk;
    }
  }
  return kErrNotFound;  // negative position: no search step at all
}

std::int32_t CP11Token::EnumCertificate(std::int32_t index, CK_OBJECT_HANDLE& handle) {
  return Enumerate(CKO_CERTIFICATE, index, handle);
}

std::int32_t CP11Token::EnumPublicKey(std::int32_t index, CK_OBJECT_HANDLE& handle) {
  return Enumerate(CKO_PUBLIC_KEY, index, handle);
}

std::int32_t CP11Token::EnumPrivateKey(std::int32_t index, CK_OBJECT_HANDLE& handle) {
  return Enumerate(CKO_PRIVATE_KEY, index, handle);
}

std::int32_t CP11Token::ReadObjectAttribute(CK_OBJECT_HANDLE handle, std::int32_t selector,
                                            std::vector<std::uint8_t>& value) {
  CK_ATTRIBUTE_TYPE type;
  switch (selector) {
    case 1: type = CKA_VALUE; break;
    case 2: type = CKA_ID; break;
    case 3: type = CKA_SERIAL_NUMBER; break;
    default: return kErrBadArgument;
  }
  if (!Usable()) return kErrSession;

  CK_ATTRIBUTE attr = {type, nullptr, 0};
  CK_RV probe = m_pFunctionList->C_GetAttributeValue(m_hSession, handle, &attr, 1);
  if (attr.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
    // Nothing of that size may be reserved; the probe's answer is the answer.
    value.clear();
    return probe != CKR_OK ? static_cast<std::int32_t>(probe) : static_cast<std::int32_t>(CKR_GENERAL_ERROR);
  }
  if (attr.ulValueLen > kMaxAttributeLen) return static_cast<std::int32_t>(CKR_HOST_MEMORY);
  try {
    value.assign(attr.ulValueLen + 1, 0);
  } catch (const std::bad_alloc&) {
    return static_cast<std::int32_t>(CKR_HOST_MEMORY);
  }
  attr.pValue = value.data();
  CK_RV rv = m_pFunctionList->C_GetAttributeValue(m_hSession, handle, &attr, 1);
  if (rv == CKR_OK && attr.ulValueLen >= value.size()) {
    // Success with a value longer than the area: nothing in it can be trusted.
    value.clear();
    return static_cast<std::int32_t>(CKR_GENERAL_ERROR);
  }
  // The area is one byte longer than the value; hand back the value only.
  value.resize(Reasonable(attr.ulValueLen) && attr.ulValueLen < value.size() ? attr.ulValueLen : value.size() - 1);
  return static_cast<std::int32_t>(rv);
}

std::int32_t CP11Token::FindCertificateIdBySerial(const std::uint8_t* serial, std::size_t n,
                                                  std::vector<std::uint8_t>& id) {
  if (!Usable()) return kErrSession;
  FindOperation find(m_pFunctionList, m_hSession, CKO_CERTIFICATE);
  CK_OBJECT_HANDLE cert = 0;
  while (find.Next(cert)) {
    // A certificate whose attributes cannot be read is skipped, not allowed
    // to end the search: it would hide every certificate after it.
    CK_ATTRIBUTE tmpl[2] = {{CKA_ID, nullptr, 0}, {CKA_SERIAL_NUMBER, nullptr, 0}};
    if (m_pFunctionList->C_GetAttributeValue(m_hSession, cert, tmpl, 2) != CKR_OK) continue;
    // Only a serial value of exactly tag, length and n bytes can match; the
    // lengths are checked before anything is allocated for them.
    if (!Reasonable(tmpl[0].ulValueLen) || tmpl[1].ulValueLen != n + 2) continue;
    std::vector<std::uint8_t> idValue(tmpl[0].ulValueLen, 0), serialValue(tmpl[1].ulValueLen, 0);
    tmpl[0].pValue = idValue.data();
    tmpl[1].pValue = serialValue.data();
    if (m_pFunctionList->C_GetAttributeValue(m_hSession, cert, tmpl, 2) != CKR_OK) continue;
    if (tmpl[1].ulValueLen != serialValue.size() || tmpl[0].ulValueLen > idValue.size()) continue;
    if (n != 0 && std::memcmp(serialValue.data() + 2, serial, n) != 0) continue;
    idValue.resize(tmpl[0].ulValueLen);
    id = std::move(idValue);
    return kOk;
  }
  return kErrNotFound;
}

std::int32_t CP11Token::FindKeyById(CK_OBJECT_CLASS cls, const std::uint8_t* id, std::size_t n,
                                    CK_OBJECT_HANDLE& handle) {
  if (!Usable()) return kErrSession;
  FindOperation find(m_pFunctionList, m_hSession, cls);
  CK_OBJECT_HANDLE key = 0;
  while (find.Next(key)) {
    CK_ATTRIBUTE attr = {CKA_ID, nullptr, 0};
    if (m_pFunctionList->C_GetAttributeValue(m_hSession, key, &attr, 1) != CKR_OK) continue;
    if (attr.ulValueLen != n) continue;  // cannot match; nothing to allocate
    std::vector<std::uint8_t> value(n, 0);
    attr.pValue = value.data();
    if (m_pFunctionList->C_GetAttributeValue(m_hSession, key, &attr, 1) != CKR_OK) continue;
    if (attr.ulValueLen != n) continue;
    if (n != 0 && std::memcmp(value.data(), id, n) != 0) continue;
    handle = key;
    return kOk;
  }
  return kErrNotFound;
}

std::int32_t CP11Token::FindPrivateKeyById(const std::uint8_t* id, std::size_t n, CK_OBJECT_HANDLE& handle) {
  return FindKeyById(CKO_PRIVATE_KEY, id, n, handle);
}

std::int32_t CP11Token::FindPublicKeyById(const std::uint8_t* id, std::size_t n, CK_OBJECT_HANDLE& handle) {
  return FindKeyById(CKO_PUBLIC_KEY, id, n, handle);
}

std::int32_t CP11Token::FindPrivateKeyBySerial(const std::uint8_t* serial, std::size_t n, CK_OBJECT_HANDLE& handle) {
  std::vector<std::uint8_t> id;
  std::int32_t rc = FindCertificateIdBySerial(serial, n, id);
  if (rc != kOk) return rc;
  return FindPrivateKeyById(id.data(), id.size(), handle);
}

std::int32_t CP11Token::FindPublicKeyBySerial(const std::uint8_t* serial, std::size_t n, CK_OBJECT_HANDLE& handle) {
  std::vector<std::uint8_t> id;
  std::int32_t rc = FindCertificateIdBySerial(serial, n, id);
  if (rc != kOk) return rc;
  return FindPublicKeyById(id.data(), id.size(), handle);
}

}  // namespace kelo
