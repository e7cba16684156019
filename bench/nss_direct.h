// Signing with NSS directly on the user's database, for measuring the
// control's store path without the control in between. Kept apart from the
// control's headers: NSS brings its own PKCS #11 definitions, which clash
// with the token layer's.
#ifndef KELO_BENCH_NSS_DIRECT_H
#define KELO_BENCH_NSS_DIRECT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "csp/nss/nss_context.h"

namespace kelo::bench {

using Bytes = std::vector<std::uint8_t>;

// A share of the process's one NSS start (the control's store uses the same
// one), opened on the database HOME names now. Throws Failure when NSS does
// not open a database.
class NssDatabase {
 public:
  NssDatabase();
  // The serial numbers (DER INTEGER contents) of the database slot's
  // certificates, in the order the store walks them.
  std::vector<Bytes> WalkSerials() const;

 private:
  csp::nss::NssRef nss_;
};

// SHA-1, DigestInfo and CKM_RSA_PKCS with the private key of one certificate
// of the database. Signatures are big-endian, as NSS gives them. Holds NSS
// objects: destroy it before the last NssDatabase or control goes.
class DirectSigner {
 public:
  // The certificate of the walk at position (1-based); Failure when it has
  // no RSA private key.
  DirectSigner(const NssDatabase& db, std::size_t position);
  DirectSigner(const DirectSigner&) = delete;
  DirectSigner& operator=(const DirectSigner&) = delete;
  ~DirectSigner();

  // Certificate by CERT_FindCertByIssuerAndSN, its key, the signature.
  Bytes ByIssuerAndSerial(const Bytes& data) const;
  // Certificate by walking the slot's list comparing serials, as the store does.
  Bytes ByListing(const Bytes& data) const;
  // The signature alone, with the key found once beforehand.
  Bytes WithHeldKey(const Bytes& data) const;

 private:
  struct Held;
  std::unique_ptr<Held> held_;
};

}  // namespace kelo::bench

#endif
