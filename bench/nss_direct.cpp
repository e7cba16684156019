#include "bench/nss_direct.h"

#include <cert.h>
#include <keyhi.h>
#include <pk11pub.h>
#include <secoid.h>

#include <array>
#include <string>

#include "bench/harness.h"
#include "csp/nss/nss_handles.h"

namespace kelo::bench {
namespace {

using csp::nss::CertHandle;
using csp::nss::CertListHandle;
using csp::nss::PrivateKeyHandle;
using csp::nss::SlotHandle;

// DigestInfo of a SHA-1 digest up to the digest octets (PKCS #1 v1.5).
constexpr std::array<std::uint8_t, 15> kSha1DigestInfoPrefix = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                                                0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
constexpr std::size_t kSha1Length = 20;

Bytes ItemBytes(const SECItem& item) { return item.data != nullptr ? Bytes(item.data, item.data + item.len) : Bytes{}; }

SECItem MakeItem(const Bytes& bytes) {
  return SECItem{siBuffer, const_cast<unsigned char*>(bytes.data()), static_cast<unsigned int>(bytes.size())};
}

CertListHandle ListSlot() {
  const SlotHandle slot(PK11_GetInternalKeySlot());
  if (!slot) throw Failure("NSS has no internal key slot");
  CertListHandle list(PK11_ListCertsInSlot(slot.get()));
  if (!list) throw Failure("PK11_ListCertsInSlot failed");
  return list;
}

Bytes Sign(SECKEYPrivateKey* key, const Bytes& data) {
  Bytes info(kSha1DigestInfoPrefix.begin(), kSha1DigestInfoPrefix.end());
  info.resize(info.size() + kSha1Length);
  static const std::uint8_t kNothing = 0;
  if (PK11_HashBuf(SEC_OID_SHA1, info.data() + kSha1DigestInfoPrefix.size(), data.empty() ? &kNothing : data.data(),
                   static_cast<PRInt32>(data.size())) != SECSuccess)
    throw Failure("PK11_HashBuf failed");
  const int length = PK11_SignatureLen(key);
  if (length <= 0) throw Failure("PK11_SignatureLen failed");
  Bytes sig(static_cast<std::size_t>(length));
  SECItem out = MakeItem(sig);
  const SECItem in = MakeItem(info);
  if (PK11_SignWithMechanism(key, CKM_RSA_PKCS, nullptr, &out, &in) != SECSuccess)
    throw Failure("PK11_SignWithMechanism failed");
  sig.resize(out.len);
  return sig;
}

PrivateKeyHandle KeyOf(CERTCertificate* cert) {
  PrivateKeyHandle key(PK11_FindKeyByAnyCert(cert, nullptr));
  if (!key) throw Failure("PK11_FindKeyByAnyCert found no private key");
  if (key->keyType != rsaKey) throw Failure("the private key is not RSA");
  return key;
}

}  // namespace

NssDatabase::NssDatabase() : nss_(csp::nss::NssRef::Acquire()) {
  if (nss_.State() != csp::nss::NssState::kDatabase) throw Failure("NSS did not open the database under $HOME");
}

std::vector<Bytes> NssDatabase::WalkSerials() const {
  std::vector<Bytes> serials;
  const CertListHandle list = ListSlot();
  for (CERTCertListNode* node = CERT_LIST_HEAD(list.get()); !CERT_LIST_END(node, list.get());
       node = CERT_LIST_NEXT(node)) {
    serials.push_back(ItemBytes(node->cert->serialNumber));
  }
  return serials;
}

struct DirectSigner::Held {
  Bytes issuer;  // DER, and the serial: the bytes issuerAndSerial points into
  Bytes serial;
  CERTIssuerAndSN issuerAndSerial{};
  PrivateKeyHandle key;
};

DirectSigner::DirectSigner(const NssDatabase&, std::size_t position) : held_(std::make_unique<Held>()) {
  {
    const CertListHandle list = ListSlot();
    std::size_t i = 0;
    for (CERTCertListNode* node = CERT_LIST_HEAD(list.get()); !CERT_LIST_END(node, list.get());
         node = CERT_LIST_NEXT(node)) {
      if (++i != position) continue;
      held_->issuer = ItemBytes(node->cert->derIssuer);
      held_->serial = ItemBytes(node->cert->serialNumber);
      held_->key = KeyOf(node->cert);
      break;
    }
    if (i != position) throw Failure(Format("the database lists no certificate %zu", position));
  }
  held_->issuerAndSerial.derIssuer = MakeItem(held_->issuer);
  held_->issuerAndSerial.serialNumber = MakeItem(held_->serial);
}

DirectSigner::~DirectSigner() = default;

Bytes DirectSigner::ByIssuerAndSerial(const Bytes& data) const {
  const CertHandle cert(CERT_FindCertByIssuerAndSN(CERT_GetDefaultCertDB(), &held_->issuerAndSerial));
  if (!cert) throw Failure("CERT_FindCertByIssuerAndSN found nothing");
  return Sign(KeyOf(cert.get()).get(), data);
}

Bytes DirectSigner::ByListing(const Bytes& data) const {
  const CertListHandle list = ListSlot();
  for (CERTCertListNode* node = CERT_LIST_HEAD(list.get()); !CERT_LIST_END(node, list.get());
       node = CERT_LIST_NEXT(node)) {
    if (SECITEM_ItemsAreEqual(&node->cert->serialNumber, &held_->issuerAndSerial.serialNumber))
      return Sign(KeyOf(node->cert).get(), data);
  }
  throw Failure("the listing did not find the serial");
}

Bytes DirectSigner::WithHeldKey(const Bytes& data) const { return Sign(held_->key.get(), data); }

}  // namespace kelo::bench
