// The cases every certificate-store backend must pass, written once against
// the CertStore interface and instantiated per backend (nss_store_test.cpp,
// capi/capi_store_test.cpp). The fixture scripts of both platforms make the
// same certificates: a (serial 0x80A1B2), b, c (no private key), dup1/dup2
// (one serial) and sigonly (a signature key), each an RSA-2048 key.
//
// A Backend type gives:
//   static void SetUpTestSuite(), TearDownTestSuite(), SetUp(), TearDown()
//   static Bytes Der(name), static Bytes PemFile(name), static std::string Env(key)
//   static std::vector<std::string> Names()       every certificate of the store
//   static std::vector<KeyUsageCase> KeyUsage()   what each private key may do
//   static constexpr bool kParsedCopyFindsKey     a parsed copy reaches the store's key
//   static constexpr bool kRefusesForeignCiphertext  another key's ciphertext fails
//                                                    (not an implicit-rejection plaintext)
#ifndef KELO_TESTS_CERT_STORE_SUITE_H
#define KELO_TESTS_CERT_STORE_SUITE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/result_codes.h"
#include "common/vocabulary.h"
#include "csp/cert_store.h"

namespace kelo::test {

using csp::Bytes;

struct KeyUsageCase {
  const char* name;
  bool canDecrypt;
  ResultCode signResult;
};

namespace store_suite {

constexpr std::size_t kModulus = 256;
constexpr HashType kNamedHashes[] = {HashType::kSha1,   HashType::kMd2,    HashType::kMd5,
                                     HashType::kSha256, HashType::kSha384, HashType::kSha512};

inline const Bytes& Data() {
  static const std::string text = "The quick brown fox jumps over the lazy dog";
  static const Bytes data(text.begin(), text.end());
  return data;
}

inline std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (std::uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

inline std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

inline Bytes FromHex(const std::string& hex) {
  Bytes b;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    b.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return b;
}

inline Bytes Reversed(Bytes b) {
  std::reverse(b.begin(), b.end());
  return b;
}

inline std::vector<std::unique_ptr<csp::Certificate>> List(csp::CertStore& store) {
  std::unique_ptr<csp::PersonalStore> personal;
  EXPECT_EQ(store.OpenPersonal(personal), kOk);
  return personal ? personal->Certificates() : std::vector<std::unique_ptr<csp::Certificate>>{};
}

}  // namespace store_suite

template <typename Backend>
class CertStoreSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Backend::SetUpTestSuite(); }
  static void TearDownTestSuite() { Backend::TearDownTestSuite(); }
  void SetUp() override { Backend::SetUp(); }
  void TearDown() override { Backend::TearDown(); }

  // The store's own certificate with the fixture's name.
  static std::unique_ptr<csp::Certificate> StoreCert(csp::CertStore& store, const std::string& name) {
    const Bytes der = Backend::Der(name);
    for (auto& cert : store_suite::List(store)) {
      if (cert->Encoded() == der) return std::move(cert);
    }
    return nullptr;
  }
  static std::unique_ptr<csp::PrivateKey> PrivateKeyOf(csp::CertStore& store, const std::string& name) {
    auto cert = StoreCert(store, name);
    std::unique_ptr<csp::PrivateKey> key;
    if (cert == nullptr || store.AcquirePrivateKey(*cert, key) != kOk) return nullptr;
    return key;
  }
  // The public key of a parsed copy of the fixture's certificate.
  static std::unique_ptr<csp::PublicKey> PublicKeyOf(csp::CertStore& store, const std::string& name) {
    const Bytes der = Backend::Der(name);
    auto cert = store.Parse(der.data(), der.size());
    std::unique_ptr<csp::PublicKey> key;
    if (cert == nullptr || store.AcquirePublicKey(*cert, key) != kOk) return nullptr;
    return key;
  }
};

TYPED_TEST_SUITE_P(CertStoreSuite);

TYPED_TEST_P(CertStoreSuite, ListsEveryCertificateWithItsDetails) {
  using store_suite::Hex;
  using store_suite::Upper;
  auto store = csp::MakePlatformStore();
  const auto certs = store_suite::List(*store);
  const auto names = TypeParam::Names();
  ASSERT_EQ(certs.size(), names.size());
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const Bytes der = TypeParam::Der(name);
    const auto same = [&](const auto& c) { return c->Encoded() == der; };
    ASSERT_EQ(std::count_if(certs.begin(), certs.end(), same), 1);
    const auto& cert = *std::find_if(certs.begin(), certs.end(), same);
    EXPECT_EQ(Hex(cert->SerialNumber()), TypeParam::Env("SERIAL_" + Upper(name)));
    const std::string cn = "CN=" + TypeParam::Env("CN_" + Upper(name));
    EXPECT_NE(cert->Subject().find(cn), std::string::npos) << cert->Subject();
    EXPECT_NE(cert->Issuer().find(cn), std::string::npos) << cert->Issuer();  // self-signed
    EXPECT_EQ(cert->NotAfter(), TypeParam::Env("NOTAFTER_" + Upper(name)));
  }
  // The DER INTEGER's content keeps its leading zero; one serial on two
  // certificates lists both.
  EXPECT_EQ(this->StoreCert(*store, "a")->SerialNumber(), (Bytes{0x00, 0x80, 0xA1, 0xB2}));
  EXPECT_EQ(this->StoreCert(*store, "dup1")->SerialNumber(), this->StoreCert(*store, "dup2")->SerialNumber());
}

TYPED_TEST_P(CertStoreSuite, ParsesCertificatesAndRejectsOtherBytes) {
  auto store = csp::MakePlatformStore();
  const Bytes der = TypeParam::Der("b");
  auto cert = store->Parse(der.data(), der.size());
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(cert->Encoded(), der);
  EXPECT_EQ(store_suite::Hex(cert->SerialNumber()), TypeParam::Env("SERIAL_B"));
  EXPECT_EQ(cert->Subject(), this->StoreCert(*store, "b")->Subject());

  const std::string garbage = "definitely not a certificate";
  Bytes badTag = der;
  badTag[0] = 0x31;
  const std::pair<const char*, Bytes> bad[] = {
      {"one byte", Bytes{0x30}},
      {"garbage", Bytes(garbage.begin(), garbage.end())},
      {"truncated", Bytes(der.begin(), der.begin() + static_cast<std::ptrdiff_t>(der.size() / 2))},
      {"wrong outer tag", badTag},
      {"PEM text", TypeParam::PemFile("b")},
  };
  for (const auto& [what, bytes] : bad) EXPECT_EQ(store->Parse(bytes.data(), bytes.size()), nullptr) << what;
  EXPECT_EQ(store->Parse(der.data(), 0), nullptr);
  EXPECT_EQ(store->Parse(nullptr, der.size()), nullptr);
}

TYPED_TEST_P(CertStoreSuite, SignVerifiesForEveryHashTypeAndOnlyForItsOwnInputs) {
  using store_suite::Data;
  auto store = csp::MakePlatformStore();
  auto key = this->PrivateKeyOf(*store, "a");
  ASSERT_NE(key, nullptr);
  auto storeCert = this->StoreCert(*store, "a");
  std::unique_ptr<csp::PublicKey> ownKey;
  ASSERT_EQ(store->AcquirePublicKey(*storeCert, ownKey), kOk);
  auto parsedKey = this->PublicKeyOf(*store, "a");
  auto otherKey = this->PublicKeyOf(*store, "b");
  ASSERT_NE(parsedKey, nullptr);
  ASSERT_NE(otherKey, nullptr);

  const Bytes& data = Data();
  for (std::size_t i = 0; i < std::size(store_suite::kNamedHashes); ++i) {
    const HashType hash = store_suite::kNamedHashes[i];
    const HashType otherHash = store_suite::kNamedHashes[(i + 1) % std::size(store_suite::kNamedHashes)];
    SCOPED_TRACE(static_cast<int>(hash));
    Bytes sig;
    ASSERT_EQ(key->Sign(hash, data.data(), data.size(), sig), kOk);
    ASSERT_EQ(sig.size(), store_suite::kModulus);
    EXPECT_EQ(ownKey->Verify(hash, data.data(), data.size(), sig.data(), sig.size()), kOk);
    EXPECT_EQ(parsedKey->Verify(hash, data.data(), data.size(), sig.data(), sig.size()), kOk);

    EXPECT_EQ(parsedKey->Verify(otherHash, data.data(), data.size(), sig.data(), sig.size()), kErrVerify);
    Bytes changed = data;
    changed.back() ^= 1;
    EXPECT_EQ(parsedKey->Verify(hash, changed.data(), changed.size(), sig.data(), sig.size()), kErrVerify);
    const Bytes bigEndian = store_suite::Reversed(sig);
    EXPECT_EQ(parsedKey->Verify(hash, data.data(), data.size(), bigEndian.data(), bigEndian.size()), kErrVerify);
    EXPECT_EQ(parsedKey->Verify(hash, data.data(), data.size(), sig.data(), sig.size() - 1), kErrVerify);
    EXPECT_EQ(parsedKey->Verify(hash, data.data(), data.size(), sig.data(), 0), kErrVerify);
    EXPECT_EQ(otherKey->Verify(hash, data.data(), data.size(), sig.data(), sig.size()), kErrVerify);
  }

  // Empty data is data too.
  Bytes sig;
  ASSERT_EQ(key->Sign(HashType::kSha1, nullptr, 0, sig), kOk);
  EXPECT_EQ(parsedKey->Verify(HashType::kSha1, nullptr, 0, sig.data(), sig.size()), kOk);
}

TYPED_TEST_P(CertStoreSuite, HashTypesWithoutANameAreRefused) {
  const Bytes& data = store_suite::Data();
  auto store = csp::MakePlatformStore();
  auto key = this->PrivateKeyOf(*store, "a");
  auto publicKey = this->PublicKeyOf(*store, "a");
  ASSERT_NE(key, nullptr);
  ASSERT_NE(publicKey, nullptr);
  Bytes good;
  ASSERT_EQ(key->Sign(HashType::kSha1, data.data(), data.size(), good), kOk);
  // 0x8004 and 0x800C are the platform's own SHA-1 and SHA-256 identifiers.
  for (std::int32_t value : {-1, 3, 5, 255, 257, 0x8004, 0x800C}) {
    SCOPED_TRACE(value);
    const auto hash = static_cast<HashType>(value);
    Bytes sig = {1, 2, 3};
    EXPECT_EQ(key->Sign(hash, data.data(), data.size(), sig), kErrHash);
    EXPECT_EQ(sig, (Bytes{1, 2, 3}));
    EXPECT_EQ(publicKey->Verify(hash, data.data(), data.size(), good.data(), good.size()), kErrHash);
  }
}

TYPED_TEST_P(CertStoreSuite, EncryptLimitsAndRoundTrips) {
  constexpr std::size_t kModulus = store_suite::kModulus;
  auto store = csp::MakePlatformStore();
  auto publicKey = this->PublicKeyOf(*store, "b");
  auto privateKey = this->PrivateKeyOf(*store, "b");
  ASSERT_NE(publicKey, nullptr);
  ASSERT_NE(privateKey, nullptr);
  struct Case {
    std::size_t length;
    std::size_t capacity;
    ResultCode result;
  } const cases[] = {
      {0, kStoreOutputSize, kOk},
      {kModulus - 11, kModulus, kOk},
      {kModulus - 10, kStoreOutputSize, kErrEncrypt},  // longer than PKCS #1 v1.5 allows
      {10, kModulus - 1, kErrEncrypt},                 // the ciphertext does not fit
      {10, 0, kErrEncrypt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + " bytes into " + std::to_string(c.capacity));
    const Bytes data(c.length, 0x5A);
    Bytes cipher = {7};
    ASSERT_EQ(publicKey->Encrypt(data.data(), data.size(), c.capacity, cipher), c.result);
    if (c.result != kOk) {
      EXPECT_EQ(cipher, Bytes{7});
      continue;
    }
    EXPECT_EQ(cipher.size(), kModulus);
    Bytes plain;
    ASSERT_EQ(privateKey->Decrypt(cipher.data(), cipher.size(), plain), kOk);
    EXPECT_EQ(plain, data);
  }
}

TYPED_TEST_P(CertStoreSuite, DecryptRefusesWhatIsNotItsCiphertext) {
  const Bytes& data = store_suite::Data();
  auto store = csp::MakePlatformStore();
  auto keyA = this->PrivateKeyOf(*store, "a");
  auto publicB = this->PublicKeyOf(*store, "b");
  ASSERT_NE(keyA, nullptr);
  ASSERT_NE(publicB, nullptr);
  Bytes forB;
  ASSERT_EQ(publicB->Encrypt(data.data(), data.size(), kStoreOutputSize, forB), kOk);
  Bytes longCipher = forB;
  longCipher.insert(longCipher.end(), {0, 1});
  const std::pair<const char*, Bytes> cases[] = {
      {"one byte short", Bytes(forB.begin(), forB.end() - 1)}, {"too long", longCipher}, {"empty", {}}};
  for (const auto& [what, cipher] : cases) {
    Bytes plain = {9};
    EXPECT_EQ(keyA->Decrypt(cipher.data(), cipher.size(), plain), kErrDecrypt) << what;
    EXPECT_EQ(plain, Bytes{9}) << what;
  }
  // Another key's ciphertext never gives the data back; a backend with
  // implicit rejection answers it with a made-up plaintext instead of an error.
  Bytes plain;
  const ResultCode result = keyA->Decrypt(forB.data(), forB.size(), plain);
  EXPECT_TRUE(result == kErrDecrypt || plain != data);
  if constexpr (TypeParam::kRefusesForeignCiphertext) {
    EXPECT_EQ(result, kErrDecrypt);
  }
}

TYPED_TEST_P(CertStoreSuite, WhatEachKeyMayDo) {
  const Bytes& data = store_suite::Data();
  auto store = csp::MakePlatformStore();
  for (const KeyUsageCase& c : TypeParam::KeyUsage()) {
    SCOPED_TRACE(c.name);
    auto key = this->PrivateKeyOf(*store, c.name);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->CanDecrypt(), c.canDecrypt);
    Bytes sig;
    EXPECT_EQ(key->Sign(HashType::kSha1, data.data(), data.size(), sig), c.signResult);
    // The public key encrypts whatever its private key may do.
    auto publicKey = this->PublicKeyOf(*store, c.name);
    ASSERT_NE(publicKey, nullptr);
    Bytes cipher;
    EXPECT_EQ(publicKey->Encrypt(data.data(), data.size(), kStoreOutputSize, cipher), kOk);
  }

  // A certificate without a private key still has its public key.
  auto cert = this->StoreCert(*store, "c");
  ASSERT_NE(cert, nullptr);
  std::unique_ptr<csp::PrivateKey> privateKey;
  EXPECT_EQ(store->AcquirePrivateKey(*cert, privateKey), kErrGetKey);
  EXPECT_EQ(privateKey, nullptr);
  std::unique_ptr<csp::PublicKey> publicKey;
  ASSERT_EQ(store->AcquirePublicKey(*cert, publicKey), kOk);
  Bytes cipher;
  EXPECT_EQ(publicKey->Encrypt(data.data(), data.size(), kStoreOutputSize, cipher), kOk);

  const Bytes der = TypeParam::Der("dup2");
  auto parsed = store->Parse(der.data(), der.size());
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(store->AcquirePrivateKey(*parsed, privateKey), TypeParam::kParsedCopyFindsKey ? kOk : kErrGetKey);
}

// Each certificate's serial finds the first certificate with that serial in
// the store's order (dup1 and dup2 share one), also when asked again; other
// byte strings find nothing.
TYPED_TEST_P(CertStoreSuite, FindsBySerialTheFirstInTheStoresOrder) {
  auto store = csp::MakePlatformStore();
  std::unique_ptr<csp::PersonalStore> personal;
  ASSERT_EQ(store->OpenPersonal(personal), kOk);
  std::vector<std::pair<Bytes, Bytes>> firstOf;  // serial, the encoding of its first certificate
  for (const auto& cert : personal->Certificates()) {
    const Bytes serial = cert->SerialNumber();
    const auto same = [&](const auto& entry) { return entry.first == serial; };
    if (std::none_of(firstOf.begin(), firstOf.end(), same)) firstOf.emplace_back(serial, cert->Encoded());
  }
  ASSERT_EQ(firstOf.size() + 1, TypeParam::Names().size());
  for (int round = 0; round < 2; ++round) {
    for (const auto& [serial, der] : firstOf) {
      const auto found = personal->FindBySerial(serial.data(), serial.size());
      ASSERT_NE(found, nullptr) << store_suite::Hex(serial);
      EXPECT_EQ(found->Encoded(), der) << store_suite::Hex(serial);
    }
  }
  const Bytes a = this->StoreCert(*store, "a")->SerialNumber();
  const Bytes notSerials[] = {
      Bytes(a.begin() + 1, a.end()), Bytes(a.begin(), a.end() - 1), store_suite::Reversed(a), {}};
  for (const Bytes& bytes : notSerials) {
    EXPECT_EQ(personal->FindBySerial(bytes.data(), bytes.size()), nullptr) << store_suite::Hex(bytes);
  }
}

// Certificates and keys stay usable after the store object is gone.
TYPED_TEST_P(CertStoreSuite, HandedOutObjectsOutliveTheStore) {
  const Bytes& data = store_suite::Data();
  std::unique_ptr<csp::Certificate> cert;
  std::unique_ptr<csp::PrivateKey> key;
  std::unique_ptr<csp::PublicKey> publicKey;
  {
    auto store = csp::MakePlatformStore();
    cert = this->StoreCert(*store, "b");
    ASSERT_NE(cert, nullptr);
    ASSERT_EQ(store->AcquirePrivateKey(*cert, key), kOk);
    ASSERT_EQ(store->AcquirePublicKey(*cert, publicKey), kOk);
  }
  Bytes sig;
  ASSERT_EQ(key->Sign(HashType::kMd5, data.data(), data.size(), sig), kOk);
  EXPECT_EQ(publicKey->Verify(HashType::kMd5, data.data(), data.size(), sig.data(), sig.size()), kOk);
  EXPECT_EQ(store_suite::Hex(cert->SerialNumber()), TypeParam::Env("SERIAL_B"));
}

REGISTER_TYPED_TEST_SUITE_P(CertStoreSuite, ListsEveryCertificateWithItsDetails, ParsesCertificatesAndRejectsOtherBytes,
                            SignVerifiesForEveryHashTypeAndOnlyForItsOwnInputs, HashTypesWithoutANameAreRefused,
                            EncryptLimitsAndRoundTrips, DecryptRefusesWhatIsNotItsCiphertext, WhatEachKeyMayDo,
                            FindsBySerialTheFirstInTheStoresOrder, HandedOutObjectsOutliveTheStore);

}  // namespace kelo::test

#endif
