// What the certificate-store layer needs from the platform: the user's
// personal certificate store, certificates parsed from bytes, and RSA keys.
// One backend per platform implements it (csp/nss/ on Linux, csp/capi/ on
// Windows); nothing here names a platform type.
//
// Byte order: signatures and ciphertexts cross this interface least
// significant byte first (the reverse of the PKCS #1 octet strings), the
// order the control hands out and takes in on every platform.
#ifndef KELO_CSP_CERT_STORE_H
#define KELO_CSP_CERT_STORE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/result_codes.h"
#include "common/vocabulary.h"

namespace kelo::csp {

using Bytes = std::vector<std::uint8_t>;

class Certificate {
 public:
  virtual ~Certificate() = default;
  // Serial number as the DER INTEGER's content, most significant byte
  // first, a leading 00 byte included where the encoding has one.
  virtual Bytes SerialNumber() const = 0;
  // The encoded certificate.
  virtual Bytes Encoded() const = 0;
  // For the selection dialog.
  virtual std::string Subject() const = 0;
  virtual std::string Issuer() const = 0;
  virtual std::string NotAfter() const = 0;  // "YYYY-MM-DD"
};

class PublicKey {
 public:
  virtual ~PublicKey() = default;
  // PKCS #1 v1.5 encryption: kOk, or kErrEncrypt (data too long for the key,
  // or a ciphertext longer than capacity).
  virtual ResultCode Encrypt(const std::uint8_t* data, std::size_t n, std::size_t capacity, Bytes& out) = 0;
  // Hashes data and checks the signature over its DigestInfo: kOk, kErrHash
  // (a hash type without a name, or hashing failed), kErrVerify (does not
  // verify).
  virtual ResultCode Verify(HashType hashType, const std::uint8_t* data, std::size_t n, const std::uint8_t* sig,
                            std::size_t sigLen) = 0;
};

class PrivateKey {
 public:
  virtual ~PrivateKey() = default;
  // Whether the key may decrypt (an exchange key); Decrypt is refused with
  // kErrGetKey before any attempt when it may not.
  virtual bool CanDecrypt() const = 0;
  // Hashes data and signs its DigestInfo: kOk or kErrHash (a hash type
  // without a name, hashing failed, key not allowed to sign, signature
  // longer than kStoreOutputSize).
  virtual ResultCode Sign(HashType hashType, const std::uint8_t* data, std::size_t n, Bytes& sig) = 0;
  // PKCS #1 v1.5 decryption: kOk or kErrDecrypt.
  virtual ResultCode Decrypt(const std::uint8_t* data, std::size_t n, Bytes& plain) = 0;
};

// Lets the user pick one certificate; blocks until the choice is made.
class CertificateChooser {
 public:
  virtual ~CertificateChooser() = default;
  // Index of the chosen certificate, or -1 when none was chosen (cancelled,
  // closed, or no display to show the dialog on).
  virtual int Choose(const std::vector<const Certificate*>& certificates) = 0;
};

// The user's personal store, open for one location.
class PersonalStore {
 public:
  virtual ~PersonalStore() = default;
  // Every certificate of the store, in the store's own order.
  virtual std::vector<std::unique_ptr<Certificate>> Certificates() = 0;
  // The first certificate of Certificates() whose serial number has exactly
  // these bytes, or null. Walks the whole store; a backend that can look a
  // serial up faster overrides this with the same answer.
  virtual std::unique_ptr<Certificate> FindBySerial(const std::uint8_t* serial, std::size_t n) {
    for (auto& cert : Certificates()) {
      const Bytes own = cert->SerialNumber();
      if (own.size() == n && (n == 0 || std::equal(own.begin(), own.end(), serial))) return std::move(cert);
    }
    return nullptr;
  }
  // Lets the user pick one of the store's certificates; null when none was
  // chosen. This lists Certificates() in chooser, and a null chooser
  // chooses nothing. A platform whose own selection dialog works on the
  // open store (Windows) shows that dialog when chooser is null.
  virtual std::unique_ptr<Certificate> Choose(CertificateChooser* chooser) {
    if (chooser == nullptr) return nullptr;
    std::vector<std::unique_ptr<Certificate>> all = Certificates();
    std::vector<const Certificate*> shown;
    for (const auto& c : all) shown.push_back(c.get());
    const int chosen = chooser->Choose(shown);
    if (chosen < 0 || static_cast<std::size_t>(chosen) >= all.size()) return nullptr;
    return std::move(all[static_cast<std::size_t>(chosen)]);
  }
};

class CertStore {
 public:
  virtual ~CertStore() = default;
  // kOk with the store, or kErrOpenStore when it cannot be opened. A store
  // that does not exist yet opens empty.
  virtual ResultCode OpenPersonal(std::unique_ptr<PersonalStore>& store) = 0;
  // Parses an encoded certificate; null when the bytes are not one.
  virtual std::unique_ptr<Certificate> Parse(const std::uint8_t* der, std::size_t n) = 0;
  // kOk, kErrProvider (the provider cannot start) or kErrGetKey (key not
  // importable).
  virtual ResultCode AcquirePublicKey(const Certificate& cert, std::unique_ptr<PublicKey>& key) = 0;
  // kOk or kErrGetKey (no private key, or it cannot be had, e.g. a locked
  // store).
  virtual ResultCode AcquirePrivateKey(const Certificate& cert, std::unique_ptr<PrivateKey>& key) = 0;
};

// The platform's store and dialog (defined by the backend the build uses).
// The chooser is null where the store shows its own dialog
// (PersonalStore::Choose).
std::unique_ptr<CertStore> MakePlatformStore();
std::unique_ptr<CertificateChooser> MakePlatformChooser();

}  // namespace kelo::csp

#endif
