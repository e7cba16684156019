// What the CryptoAPI store tests share: the fixture files that
// make-fixtures-capi.sh made (and imported into the user's store), and a
// view of the store taken with CryptoAPI directly, not through the backend.
#ifndef KELO_TESTS_CAPI_CAPI_TEST_SUPPORT_H
#define KELO_TESTS_CAPI_CAPI_TEST_SUPPORT_H

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "csp/capi/capi_handles.h"
#include "tests/support/env_file.h"

namespace kelo::test::capi {

using Bytes = std::vector<std::uint8_t>;

// The fixture directory as the Windows side sees it (Z:/...).
inline std::string FixturePath(const std::string& file) { return std::string(KELO_CAPI_FIXTURES) + "/" + file; }

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadText(const std::string& path) {
  const Bytes b = ReadBytes(path);
  return std::string(b.begin(), b.end());
}

// fixture.env: KEY=VALUE lines, values possibly in double quotes.
inline const std::map<std::string, std::string>& FixtureEnv() {
  static const std::map<std::string, std::string> env = kelo::test::ReadEnvFile(FixturePath("fixture.env"));
  return env;
}

inline std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

inline std::string Env(const std::string& key) {
  const auto& env = FixtureEnv();
  const auto it = env.find(key);
  return it == env.end() ? std::string() : it->second;
}

inline std::string Hex(const Bytes& b) { return codec::BytesToHex(b.data(), b.size()); }

inline Bytes FromHex(const std::string& hex) {
  Bytes b(hex.size() / 2);
  codec::HexToBytes(hex.data(), hex.size(), b.data());
  return b;
}

inline Bytes Der(const std::string& name) { return ReadBytes(FixturePath(name + ".der")); }
inline Bytes Serial(const std::string& name) { return FromHex(Env("SERIAL_" + Upper(name))); }

inline Bytes Reversed(Bytes b) {
  std::reverse(b.begin(), b.end());
  return b;
}

// The encodings of the certificates of the user's store "MY", in the order
// in which CryptoAPI enumerates them.
inline std::vector<Bytes> StoreOrder() {
  std::vector<Bytes> order;
  csp::capi::StoreHandle store(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, static_cast<const void*>(L"MY")));
  if (!store) return order;
  csp::capi::CertHandle current;
  while (PCCERT_CONTEXT next = CertEnumCertificatesInStore(store.get(), current.release())) {
    current.reset(next);
    order.emplace_back(next->pbCertEncoded, next->pbCertEncoded + next->cbCertEncoded);
  }
  return order;
}

}  // namespace kelo::test::capi

#endif
