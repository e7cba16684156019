// The four store operations, each checking its arguments in a fixed order
// and releasing everything it acquired on every path (RAII).
#include "csp/token_csp.h"

#include <cstring>

#include "platform/wipe.h"

namespace kelo {

CTokenCSP::CTokenCSP() : CTokenCSP(nullptr, csp::MakePlatformChooser()) {}

CTokenCSP::CTokenCSP(std::unique_ptr<csp::CertStore> store, std::unique_ptr<csp::CertificateChooser> chooser)
    : m_store(std::move(store)), m_chooser(std::move(chooser)) {}

CTokenCSP::~CTokenCSP() = default;

csp::CertStore& CTokenCSP::Store() {
  if (!m_store) m_store = csp::MakePlatformStore();
  return *m_store;
}

namespace {

std::size_t Size(std::int32_t n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }

}  // namespace

ResultCode CTokenCSP::Encrypt(std::int32_t certDataType, const std::uint8_t* certData, std::int32_t certDataLength,
                              const std::uint8_t* data, std::int32_t dataLength, std::uint8_t* out,
                              std::uint32_t* outLength) {
  if (certDataType < kCertBySelection || certDataType > kCertFromFile || data == nullptr || outLength == nullptr)
    return kErrBadArgument;
  std::unique_ptr<csp::Certificate> cert;
  ResultCode rc = LocateCertificate(certDataType, certData, certDataLength, cert);
  if (rc != kOk) return rc;
  std::unique_ptr<csp::PublicKey> key;
  rc = AcquirePublicKey(*cert, key);
  if (rc != kOk) return rc;
  csp::Bytes cipher;
  if (key->Encrypt(data, Size(dataLength), *outLength, cipher) != kOk || cipher.size() > *outLength) return kErrEncrypt;
  if (out == nullptr) return kErrEncrypt;
  if (!cipher.empty()) std::memcpy(out, cipher.data(), cipher.size());
  *outLength = static_cast<std::uint32_t>(cipher.size());
  return kOk;
}

ResultCode CTokenCSP::Decrypt(std::int32_t certDataType, const std::uint8_t* certData, std::int32_t certDataLength,
                              const std::uint8_t* data, std::int32_t dataLength, std::uint8_t* out,
                              std::uint32_t* outLength) {
  if ((certDataType != kCertBySelection && certDataType != kCertBySerial) || data == nullptr || out == nullptr ||
      outLength == nullptr)
    return kErrBadArgument;
  std::unique_ptr<csp::Certificate> cert;
  ResultCode rc = LocateCertificate(certDataType, certData, certDataLength, cert);
  if (rc != kOk) return rc;
  std::unique_ptr<csp::PrivateKey> key;
  rc = AcquirePrivateKey(*cert, key);
  if (rc != kOk) return rc;
  if (!key->CanDecrypt()) return kErrGetKey;  // a signature key pair only
  csp::Bytes plain;
  rc = key->Decrypt(data, Size(dataLength), plain);
  // A plaintext that does not fit the caller's area is a failed decryption,
  // not an overrun.
  if (rc == kOk && plain.size() > *outLength) rc = kErrDecrypt;
  if (rc == kOk) {
    if (!plain.empty()) std::memcpy(out, plain.data(), plain.size());
    *outLength = static_cast<std::uint32_t>(plain.size());
  }
  platform::SecureWipe(plain.data(), plain.size());
  return rc == kOk ? kOk : kErrDecrypt;
}

ResultCode CTokenCSP::Sign(std::int32_t certDataType, const std::uint8_t* certData, std::int32_t certDataLength,
                           HashType hashType, const std::uint8_t* data, std::int32_t dataLength, std::uint8_t* out,
                           std::uint32_t* outLength) {
  if (certDataType != kCertBySelection && certDataType != kCertBySerial) return kErrBadArgument;
  std::unique_ptr<csp::Certificate> cert;
  ResultCode rc = LocateCertificate(certDataType, certData, certDataLength, cert);
  if (rc != kOk) return rc;
  std::unique_ptr<csp::PrivateKey> key;
  rc = AcquirePrivateKey(*cert, key);
  if (rc != kOk) return rc;
  if (data == nullptr || out == nullptr || outLength == nullptr) return kErrBadArgument;
  csp::Bytes sig;
  if (key->Sign(hashType, data, Size(dataLength), sig) != kOk || sig.size() > *outLength) return kErrHash;
  if (!sig.empty()) std::memcpy(out, sig.data(), sig.size());
  *outLength = static_cast<std::uint32_t>(sig.size());
  return kOk;
}

ResultCode CTokenCSP::Verify(std::int32_t certDataType, const std::uint8_t* certData, std::int32_t certDataLength,
                             HashType hashType, const std::uint8_t* data, std::int32_t dataLength,
                             const std::uint8_t* signature, std::int32_t signatureLength) {
  std::unique_ptr<csp::Certificate> cert;
  ResultCode rc = LocateCertificate(certDataType, certData, certDataLength, cert);
  if (rc != kOk) return rc;
  std::unique_ptr<csp::PublicKey> key;
  rc = AcquirePublicKey(*cert, key);
  if (rc != kOk) return rc;
  static const std::uint8_t kNothing = 0;
  rc = key->Verify(hashType, data ? data : &kNothing, Size(dataLength), signature ? signature : &kNothing,
                   Size(signatureLength));
  return rc == kOk ? kOk : rc == kErrHash ? kErrHash : kErrVerify;
}

}  // namespace kelo
