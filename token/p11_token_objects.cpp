// Enumeration by position, attribute reads, and certificate and key lookup.
#include <algorithm>
#include <cstring>
#include <functional>
#include <new>

#include "token/find_operation.h"
#include "token/p11_token.h"

namespace kelo {
namespace {

// No token attribute we read comes near this (certificates are a few KiB);
// a larger reported length is a broken module, not something to allocate.
constexpr CK_ULONG kMaxAttributeLen = 1024u * 1024u;

bool Reasonable(CK_ULONG len) { return len != CK_UNAVAILABLE_INFORMATION && len <= kMaxAttributeLen; }

}  // namespace

ResultCode CP11Token::Enumerate(CK_OBJECT_CLASS cls, std::int32_t index, CK_OBJECT_HANDLE& handle) {
  if (!Usable()) return kErrSession;
  FindOperation find(m_pFunctionList, m_session.get(), cls);
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

ResultCode CP11Token::EnumCertificate(std::int32_t index, CK_OBJECT_HANDLE& handle) {
  return Enumerate(CKO_CERTIFICATE, index, handle);
}

ResultCode CP11Token::EnumPublicKey(std::int32_t index, CK_OBJECT_HANDLE& handle) {
  return Enumerate(CKO_PUBLIC_KEY, index, handle);
}

ResultCode CP11Token::EnumPrivateKey(std::int32_t index, CK_OBJECT_HANDLE& handle) {
  return Enumerate(CKO_PRIVATE_KEY, index, handle);
}

ResultCode CP11Token::ReadObjectAttribute(CK_OBJECT_HANDLE handle, AttributeSelector selector,
                                          std::vector<std::uint8_t>& value) {
  CK_ATTRIBUTE_TYPE type;
  switch (selector) {
    case AttributeSelector::kValue: type = CKA_VALUE; break;
    case AttributeSelector::kId: type = CKA_ID; break;
    case AttributeSelector::kSerial: type = CKA_SERIAL_NUMBER; break;
    default: return kErrBadArgument;
  }
  if (!Usable()) return kErrSession;

  // Whatever the module's reason (no such object or attribute, a sensitive
  // value, a broken answer), there is no value to hand out.
  value.clear();
  CK_ATTRIBUTE attr = {type, nullptr, 0};
  // The probe only sizes the area: a length it cannot give (the unavailable
  // marker, or more than any attribute we read) ends the read here, and any
  // other failure repeats in the value call.
  m_pFunctionList->C_GetAttributeValue(m_session.get(), handle, &attr, 1);
  if (!Reasonable(attr.ulValueLen)) return kErrNotFound;
  try {
    value.assign(attr.ulValueLen + 1, 0);
  } catch (const std::bad_alloc&) {
    value.clear();
    return kErrNotFound;
  }
  attr.pValue = value.data();
  CK_RV rv = m_pFunctionList->C_GetAttributeValue(m_session.get(), handle, &attr, 1);
  // Success with a value longer than the area: nothing in it can be trusted.
  if (rv != CKR_OK || !Reasonable(attr.ulValueLen) || attr.ulValueLen >= value.size()) {
    value.clear();
    return kErrNotFound;
  }
  // The area is one byte longer than the value; hand back the value only.
  value.resize(attr.ulValueLen);
  return kOk;
}

namespace {

// Whether an object is the one a lookup wants; on true it may keep what it
// read (the certificate's identifier).
using Matcher = std::function<bool(CK_OBJECT_HANDLE)>;

// The first object of class cls, in the order of the plain class search,
// that matches. The search narrowed by the wanted attribute is tried first
// and every hit is checked by matches as the walk would check it: a module
// that ignores or misapplies the attribute cannot hand us a wrong object.
// Several hits are put in the plain search's order by walking its handles
// (no attribute reads). No hit sends us to the plain walk, which reads
// every candidate: some modules store the attribute in another form.
bool FindFirst(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls, const CK_ATTRIBUTE* narrow,
               const Matcher& matches, CK_OBJECT_HANDLE& found) {
  if (narrow != nullptr) {
    std::vector<CK_OBJECT_HANDLE> hits;
    bool overflow = false;
    {
      FindOperation find(fl, session, cls, narrow);
      CK_OBJECT_HANDLE h = 0;
      unsigned long seen = 0;
      while (find.Next(h)) {
        if (++seen > FindOperation::kMaxNarrowed) {
          overflow = true;
          break;
        }
        if (matches(h)) hits.push_back(h);
      }
    }
    if (!overflow && hits.size() == 1) {
      found = hits.front();
      return true;
    }
    if (!overflow && hits.size() > 1) {
      FindOperation find(fl, session, cls);
      CK_OBJECT_HANDLE h = 0;
      while (find.Next(h)) {
        if (std::find(hits.begin(), hits.end(), h) == hits.end()) continue;
        // Read again, so that the matcher keeps the winner's values.
        if (!matches(h)) break;
        found = h;
        return true;
      }
    }
  }
  FindOperation find(fl, session, cls);
  CK_OBJECT_HANDLE h = 0;
  while (find.Next(h)) {
    if (matches(h)) {
      found = h;
      return true;
    }
  }
  return false;
}

}  // namespace

ResultCode CP11Token::FindCertificateIdBySerial(const std::uint8_t* serial, std::size_t n,
                                                std::vector<std::uint8_t>& id) {
  if (!Usable()) return kErrSession;
  std::vector<std::uint8_t> matchedId;
  const Matcher matches = [&](CK_OBJECT_HANDLE cert) {
    // A certificate whose attributes cannot be read is skipped, not allowed
    // to end the search: it would hide every certificate after it.
    CK_ATTRIBUTE tmpl[2] = {{CKA_ID, nullptr, 0}, {CKA_SERIAL_NUMBER, nullptr, 0}};
    if (m_pFunctionList->C_GetAttributeValue(m_session.get(), cert, tmpl, 2) != CKR_OK) return false;
    // Only a serial value of exactly tag, length and n bytes can match; the
    // lengths are checked before anything is allocated for them.
    if (!Reasonable(tmpl[0].ulValueLen) || tmpl[1].ulValueLen != n + 2) return false;
    std::vector<std::uint8_t> idValue(tmpl[0].ulValueLen, 0), serialValue(tmpl[1].ulValueLen, 0);
    tmpl[0].pValue = idValue.data();
    tmpl[1].pValue = serialValue.data();
    if (m_pFunctionList->C_GetAttributeValue(m_session.get(), cert, tmpl, 2) != CKR_OK) return false;
    if (tmpl[1].ulValueLen != serialValue.size() || tmpl[0].ulValueLen > idValue.size()) return false;
    if (n != 0 && std::memcmp(serialValue.data() + 2, serial, n) != 0) return false;
    idValue.resize(tmpl[0].ulValueLen);
    matchedId = std::move(idValue);
    return true;
  };
  // The serial as DER stores it, to narrow the search; the walk compares the
  // content only, so a serial too long for the short length form skips it.
  std::vector<std::uint8_t> der;
  CK_ATTRIBUTE narrow = {CKA_SERIAL_NUMBER, nullptr, 0};
  if (n <= 0x7F) {
    der.reserve(n + 2);
    der.push_back(0x02);
    der.push_back(static_cast<std::uint8_t>(n));
    der.insert(der.end(), serial, serial + n);
    narrow.pValue = der.data();
    narrow.ulValueLen = static_cast<CK_ULONG>(der.size());
  }
  CK_OBJECT_HANDLE cert = 0;
  if (!FindFirst(m_pFunctionList, m_session.get(), CKO_CERTIFICATE, n <= 0x7F ? &narrow : nullptr, matches, cert))
    return kErrNotFound;
  id = std::move(matchedId);
  return kOk;
}

ResultCode CP11Token::FindKeyById(CK_OBJECT_CLASS cls, const std::uint8_t* id, std::size_t n,
                                  CK_OBJECT_HANDLE& handle) {
  if (!Usable()) return kErrSession;
  const Matcher matches = [&](CK_OBJECT_HANDLE key) {
    CK_ATTRIBUTE attr = {CKA_ID, nullptr, 0};
    if (m_pFunctionList->C_GetAttributeValue(m_session.get(), key, &attr, 1) != CKR_OK) return false;
    if (attr.ulValueLen != n) return false;  // cannot match; nothing to allocate
    std::vector<std::uint8_t> value(n, 0);
    attr.pValue = value.data();
    if (m_pFunctionList->C_GetAttributeValue(m_session.get(), key, &attr, 1) != CKR_OK) return false;
    if (attr.ulValueLen != n) return false;
    return n == 0 || std::memcmp(value.data(), id, n) == 0;
  };
  std::uint8_t none = 0;
  CK_ATTRIBUTE narrow = {CKA_ID, const_cast<std::uint8_t*>(n != 0 ? id : &none), static_cast<CK_ULONG>(n)};
  return FindFirst(m_pFunctionList, m_session.get(), cls, &narrow, matches, handle) ? kOk : kErrNotFound;
}

ResultCode CP11Token::FindPrivateKeyById(const std::uint8_t* id, std::size_t n, CK_OBJECT_HANDLE& handle) {
  return FindKeyById(CKO_PRIVATE_KEY, id, n, handle);
}

ResultCode CP11Token::FindPublicKeyById(const std::uint8_t* id, std::size_t n, CK_OBJECT_HANDLE& handle) {
  return FindKeyById(CKO_PUBLIC_KEY, id, n, handle);
}

ResultCode CP11Token::FindPrivateKeyBySerial(const std::uint8_t* serial, std::size_t n, CK_OBJECT_HANDLE& handle) {
  std::vector<std::uint8_t> id;
  ResultCode rc = FindCertificateIdBySerial(serial, n, id);
  if (rc != kOk) return rc;
  return FindPrivateKeyById(id.data(), id.size(), handle);
}

ResultCode CP11Token::FindPublicKeyBySerial(const std::uint8_t* serial, std::size_t n, CK_OBJECT_HANDLE& handle) {
  std::vector<std::uint8_t> id;
  ResultCode rc = FindCertificateIdBySerial(serial, n, id);
  if (rc != kOk) return rc;
  return FindPublicKeyById(id.data(), id.size(), handle);
}

}  // namespace kelo
