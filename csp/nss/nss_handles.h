// Owning handles for the NSS objects the backend holds: one deleter per
// NSS destroy function, so no path can leak or double-free.
#ifndef KELO_CSP_NSS_NSS_HANDLES_H
#define KELO_CSP_NSS_NSS_HANDLES_H

#include <cert.h>
#include <keyhi.h>
#include <pk11pub.h>
#include <secport.h>

#include <memory>

namespace kelo::csp::nss {

template <typename T, void (*Destroy)(T*)>
struct NssDeleter {
  void operator()(T* p) const {
    if (p != nullptr) Destroy(p);
  }
};

template <typename T, void (*Destroy)(T*)>
using NssHandle = std::unique_ptr<T, NssDeleter<T, Destroy>>;

using CertHandle = NssHandle<CERTCertificate, CERT_DestroyCertificate>;
using CertListHandle = NssHandle<CERTCertList, CERT_DestroyCertList>;
using PublicKeyHandle = NssHandle<SECKEYPublicKey, SECKEY_DestroyPublicKey>;
using PrivateKeyHandle = NssHandle<SECKEYPrivateKey, SECKEY_DestroyPrivateKey>;
using SlotHandle = NssHandle<PK11SlotInfo, PK11_FreeSlot>;
using SlotListHandle = NssHandle<PK11SlotList, PK11_FreeSlotList>;

}  // namespace kelo::csp::nss

#endif
