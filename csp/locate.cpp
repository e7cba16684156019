// Locating the certificate of a store operation and acquiring its keys.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "csp/token_csp.h"
#include "platform/small_file.h"

#ifndef PATH_MAX
#define PATH_MAX 260
#endif

namespace kelo {
namespace {

// Reads a whole certificate file: kOk, or kErrReadFile when it cannot be
// opened, is not a regular file, is larger than a certificate can sensibly
// be, or cannot be read fully.
ResultCode ReadCertificateFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
  if (path.size() >= PATH_MAX) return kErrReadFile;
  return platform::ReadSmallFile(path, CTokenCSP::kMaxCertData, bytes) ? kOk : kErrReadFile;
}

}  // namespace

void ReverseBytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = src[n - 1 - i];
}

int CompareBytes(const std::uint8_t* a, std::size_t aLen, const std::uint8_t* b, std::size_t bLen) {
  if (aLen != bLen) return 1;
  for (std::size_t i = 0; i < aLen; ++i) {
    if (a[i] != b[i]) return 1;
  }
  return 0;
}

ResultCode CTokenCSP::LocateCertificate(std::int32_t certDataType, const std::uint8_t* certData,
                                        std::int32_t certDataLength, std::unique_ptr<csp::Certificate>& cert) {
  std::size_t len = certDataLength > 0 ? static_cast<std::size_t>(certDataLength) : 0;
  switch (certDataType) {
    case kCertBySelection:
    case kCertBySerial:
      return FromStore(certDataType, certData, len, cert);
    case kCertFromBase64:
    case kCertFromDer:
    case kCertFromFile:
      return FromBytes(certDataType, certData, len, cert);
    default:
      return kErrBadArgument;
  }
}

ResultCode CTokenCSP::FromStore(std::int32_t certDataType, const std::uint8_t* certData, std::size_t certDataLength,
                                std::unique_ptr<csp::Certificate>& cert) {
  std::unique_ptr<csp::PersonalStore> store;
  if (Store().OpenPersonal(store) != kOk || !store) return kErrOpenStore;
  if (certDataType == kCertBySelection) {
    cert = store->Choose(m_chooser.get());
    return cert ? kOk : kErrOpenStore;
  }
  if (certData == nullptr) return kErrBadArgument;
  // A stored serial longer than kMaxSerial never matches, so neither does
  // such a search.
  if (certDataLength > kMaxSerial) return kErrNotFound;
  cert = store->FindBySerial(certData, certDataLength);
  return cert ? kOk : kErrNotFound;
}

ResultCode CTokenCSP::FromBytes(std::int32_t certDataType, const std::uint8_t* certData, std::size_t certDataLength,
                                std::unique_ptr<csp::Certificate>& cert) {
  if (certData == nullptr) return kErrBadArgument;
  std::vector<std::uint8_t> der;
  if (certDataType == kCertFromBase64) {
    if (certDataLength > kMaxCertData) return kErrBadArgument;
    if (codec::PemDecode(reinterpret_cast<const char*>(certData), certDataLength, der) != 0) return kErrBadArgument;
  } else if (certDataType == kCertFromDer) {
    if (certDataLength > kMaxCertData) return kErrBadArgument;
    der.assign(certData, certData + certDataLength);
  } else {
    if (m_filesRefused) return kErrReadFile;
    // The path arrives with its terminator; a narrow string ends at its first zero.
    std::string path(reinterpret_cast<const char*>(certData), certDataLength);
    path.resize(std::strlen(path.c_str()));
    std::vector<std::uint8_t> file;
    ResultCode rc = ReadCertificateFile(path, file);
    if (rc != kOk) return rc;
    static constexpr std::string_view kHeader = codec::kCertHeader;
    if (file.size() >= kHeader.size() && std::memcmp(file.data(), kHeader.data(), kHeader.size()) == 0) {
      // PEM: the text ends with the last dash of the footer.
      std::size_t n = file.size();
      while (n > 1 && file[n - 1] != '-') --n;
      if (codec::PemDecode(reinterpret_cast<const char*>(file.data()), n, der) != 0) return kErrBadArgument;
    } else {
      der = std::move(file);
    }
  }
  cert = Store().Parse(der.data(), der.size());
  return cert ? kOk : kErrBuildCert;
}

ResultCode CTokenCSP::AcquirePublicKey(const csp::Certificate& cert, std::unique_ptr<csp::PublicKey>& key) {
  ResultCode rc = Store().AcquirePublicKey(cert, key);
  if (rc != kOk || !key) return rc != kOk ? rc : kErrGetKey;
  return kOk;
}

ResultCode CTokenCSP::AcquirePrivateKey(const csp::Certificate& cert, std::unique_ptr<csp::PrivateKey>& key) {
  if (Store().AcquirePrivateKey(cert, key) != kOk || !key) return kErrGetKey;
  return kOk;
}

}  // namespace kelo
