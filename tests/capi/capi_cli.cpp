// kelo-capi-cli: the store operations of CTokenCSP over the user's
// CryptoAPI store, from files to files, for checks against OpenSSL on the
// Linux side. Prints "rc=N" (the result code); bytes stay in CryptoAPI's
// order, least significant first.
//
//   kelo-capi-cli sign SERIAL_HEX HASH_TYPE DATA SIG_OUT
//   kelo-capi-cli verify CERT_FILE HASH_TYPE DATA SIG
//   kelo-capi-cli encrypt CERT_FILE DATA CIPHER_OUT
//   kelo-capi-cli decrypt SERIAL_HEX CIPHER PLAIN_OUT
#include <cstdio>
#include <cstdlib>
#include <string>

#include "csp/token_csp.h"
#include "tests/capi/capi_test_support.h"
#include "common/result_codes.h"

namespace {

using kelo::test::capi::Bytes;
using kelo::test::capi::FromHex;
using kelo::test::capi::ReadBytes;

const std::uint8_t kNone = 0;
const std::uint8_t* Ptr(const Bytes& b) { return b.empty() ? &kNone : b.data(); }
std::int32_t Len(const Bytes& b) { return static_cast<std::int32_t>(b.size()); }

Bytes PathData(const std::string& path) {
  Bytes b(path.begin(), path.end());
  b.push_back(0);
  return b;
}

bool Write(const std::string& path, const std::uint8_t* data, std::size_t n) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, n, f) == n;
  return std::fclose(f) == 0 && ok;
}

int Report(std::int32_t rc) {
  std::printf("rc=%d\n", static_cast<int>(rc));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  kelo::CTokenCSP csp;
  std::uint8_t out[kelo::kStoreOutputSize];
  std::uint32_t outLen = sizeof out;
  if (command == "sign" && argc == 6) {
    const Bytes serial = FromHex(argv[2]);
    const Bytes data = ReadBytes(argv[4]);
    const std::int32_t rc =
        csp.Sign(kelo::kCertBySerial, Ptr(serial), Len(serial), static_cast<kelo::HashType>(std::atoi(argv[3])),
                 Ptr(data), Len(data), out, &outLen);
    if (rc == kelo::kOk && !Write(argv[5], out, outLen)) return 1;
    return Report(rc);
  }
  if (command == "verify" && argc == 6) {
    const Bytes cert = PathData(argv[2]);
    const Bytes data = ReadBytes(argv[4]);
    const Bytes sig = ReadBytes(argv[5]);
    return Report(csp.Verify(kelo::kCertFromFile, cert.data(), Len(cert),
                             static_cast<kelo::HashType>(std::atoi(argv[3])), Ptr(data), Len(data), Ptr(sig),
                             Len(sig)));
  }
  if (command == "encrypt" && argc == 5) {
    const Bytes cert = PathData(argv[2]);
    const Bytes data = ReadBytes(argv[3]);
    const std::int32_t rc =
        csp.Encrypt(kelo::kCertFromFile, cert.data(), Len(cert), Ptr(data), Len(data), out, &outLen);
    if (rc == kelo::kOk && !Write(argv[4], out, outLen)) return 1;
    return Report(rc);
  }
  if (command == "decrypt" && argc == 5) {
    const Bytes serial = FromHex(argv[2]);
    const Bytes cipher = ReadBytes(argv[3]);
    const std::int32_t rc =
        csp.Decrypt(kelo::kCertBySerial, Ptr(serial), Len(serial), Ptr(cipher), Len(cipher), out, &outLen);
    if (rc == kelo::kOk && !Write(argv[4], out, outLen)) return 1;
    return Report(rc);
  }
  std::fprintf(stderr,
               "usage: kelo-capi-cli sign SERIAL_HEX HASH_TYPE DATA SIG_OUT\n"
               "       kelo-capi-cli verify CERT_FILE HASH_TYPE DATA SIG\n"
               "       kelo-capi-cli encrypt CERT_FILE DATA CIPHER_OUT\n"
               "       kelo-capi-cli decrypt SERIAL_HEX CIPHER PLAIN_OUT\n");
  return 2;
}
