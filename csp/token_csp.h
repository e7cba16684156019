// CTokenCSP: RSA signing, verification, encryption and decryption with the
// keys of one certificate, taken from the user's personal store (by the
// selection dialog or by serial number) or built from caller data (base64
// or PEM text, DER bytes, a file). Every call stands alone: the store, the
// certificate and the keys are acquired and released within it. Only the
// platform's store may remember across calls where serial numbers are, and
// it checks that memory against the store before trusting it.
#ifndef KELO_CSP_TOKEN_CSP_H
#define KELO_CSP_TOKEN_CSP_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/result_codes.h"
#include "common/vocabulary.h"
#include "csp/cert_store.h"

namespace kelo {

// Certificate data types.
enum CertDataType : std::int32_t {
  kCertBySelection = 0,
  kCertBySerial = 1,
  kCertFromBase64 = 2,
  kCertFromDer = 3,
  kCertFromFile = 4,
};

// dst[i] = src[n - 1 - i].
void ReverseBytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t n);
// 0 when both byte strings are equal, else 1.
int CompareBytes(const std::uint8_t* a, std::size_t aLen, const std::uint8_t* b, std::size_t bLen);

class CTokenCSP {
 public:
  // Certificate data (text, DER, file) is accepted up to this size.
  static constexpr std::size_t kMaxCertData = 64 * 1024;
  // Serial numbers longer than this never match.
  static constexpr std::size_t kMaxSerial = 100;

  CTokenCSP();  // the platform's store and dialog
  CTokenCSP(std::unique_ptr<csp::CertStore> store, std::unique_ptr<csp::CertificateChooser> chooser);
  CTokenCSP(const CTokenCSP&) = delete;
  CTokenCSP& operator=(const CTokenCSP&) = delete;
  virtual ~CTokenCSP();

  // From now on kCertFromFile answers kErrReadFile without
  // touching the file system: a host that serves web pages must not let
  // them probe local paths.
  void RefuseCertificateFiles() { m_filesRefused = true; }

  // certData may be null (absent); its length counts a text's terminator.
  ResultCode LocateCertificate(std::int32_t certDataType, const std::uint8_t* certData, std::int32_t certDataLength,
                               std::unique_ptr<csp::Certificate>& cert);
  ResultCode AcquirePublicKey(const csp::Certificate& cert, std::unique_ptr<csp::PublicKey>& key);
  ResultCode AcquirePrivateKey(const csp::Certificate& cert, std::unique_ptr<csp::PrivateKey>& key);

  // outLength: the capacity of out on entry, the bytes written on success.
  // An output longer than the capacity fails (kErrEncrypt, kErrDecrypt,
  // kErrHash) with nothing written.
  ResultCode Encrypt(std::int32_t certDataType, const std::uint8_t* certData, std::int32_t certDataLength,
                     const std::uint8_t* data, std::int32_t dataLength, std::uint8_t* out, std::uint32_t* outLength);
  ResultCode Decrypt(std::int32_t certDataType, const std::uint8_t* certData, std::int32_t certDataLength,
                     const std::uint8_t* data, std::int32_t dataLength, std::uint8_t* out, std::uint32_t* outLength);
  ResultCode Sign(std::int32_t certDataType, const std::uint8_t* certData, std::int32_t certDataLength,
                  HashType hashType, const std::uint8_t* data, std::int32_t dataLength, std::uint8_t* out,
                  std::uint32_t* outLength);
  ResultCode Verify(std::int32_t certDataType, const std::uint8_t* certData, std::int32_t certDataLength,
                    HashType hashType, const std::uint8_t* data, std::int32_t dataLength, const std::uint8_t* signature,
                    std::int32_t signatureLength);

 private:
  ResultCode FromStore(std::int32_t certDataType, const std::uint8_t* certData, std::size_t certDataLength,
                       std::unique_ptr<csp::Certificate>& cert);
  ResultCode FromBytes(std::int32_t certDataType, const std::uint8_t* certData, std::size_t certDataLength,
                       std::unique_ptr<csp::Certificate>& cert);

  // The platform's store starts on first use: starting it costs more than
  // creating the whole control, and many callers never touch the store.
  csp::CertStore& Store();

  std::unique_ptr<csp::CertStore> m_store;
  std::unique_ptr<csp::CertificateChooser> m_chooser;
  bool m_filesRefused = false;
};

}  // namespace kelo

#endif
