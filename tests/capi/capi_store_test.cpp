// The CryptoAPI store backend under Wine, through CTokenCSP and through the
// facade's store methods, over the certificates and keys that
// make-fixtures-capi.sh put into the user's store "MY".
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "control/kelo_ctrl.h"
#include "csp/cert_store.h"
#include "csp/token_csp.h"
#include "tests/capi/capi_test_support.h"
#include "common/result_codes.h"

namespace kelo::test::capi {
namespace {

const std::string kText = "The quick brown fox jumps over the lazy dog";
const Bytes kData(kText.begin(), kText.end());
const char* const kNames[] = {"a", "b", "c", "dup1", "dup2", "sigonly"};
constexpr std::size_t kModulus = 256;  // the fixtures' keys are RSA-2048

// Present but empty data still needs a pointer.
const std::uint8_t kNone = 0;
const std::uint8_t* Ptr(const Bytes& b) { return b.empty() ? &kNone : b.data(); }
std::int32_t Len(const Bytes& b) { return static_cast<std::int32_t>(b.size()); }

Bytes Text(const std::string& s) {  // a narrow string counted with its terminator
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}

std::string BareBase64(const std::string& pem) {
  std::string body;
  std::size_t start = 0;
  while (start < pem.size()) {
    std::size_t end = pem.find('\n', start);
    if (end == std::string::npos) end = pem.size();
    const std::string line = pem.substr(start, end - start);
    if (line.rfind("-----", 0) != 0) body += line;
    start = end + 1;
  }
  return body;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// One way of naming a certificate to a store operation.
struct CertRef {
  std::string what;
  std::int32_t type;
  Bytes data;
};

CertRef ByDer(const std::string& name) { return {"DER of " + name, kCertFromDer, Der(name)}; }

// Every way the public-key operations accept.
std::vector<CertRef> EveryWayToName(const std::string& name) {
  const std::string pem = ReadText(FixturePath(name + ".pem"));
  return {
      {"serial", kCertBySerial, Serial(name)},
      {"PEM text", kCertFromBase64, Text(pem)},
      {"bare base64", kCertFromBase64, Text(BareBase64(pem))},
      {"DER", kCertFromDer, Der(name)},
      {"PEM file", kCertFromFile, Text(FixturePath(name + ".pem"))},
      {"DER file", kCertFromFile, Text(FixturePath(name + ".der"))},
  };
}

class CapiStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_FALSE(Env("SERIAL_A").empty()) << "no fixtures in " << KELO_CAPI_FIXTURES;
  }

  std::int32_t Sign(const CertRef& ref, std::int32_t hash, const Bytes& data, Bytes& sig) {
    std::uint8_t out[1000];
    std::uint32_t len = sizeof out;
    const std::int32_t rc = csp_.Sign(ref.type, Ptr(ref.data), Len(ref.data), hash, Ptr(data), Len(data), out, &len);
    if (rc == kOk) sig.assign(out, out + len);
    return rc;
  }
  std::int32_t SignBySerial(const Bytes& serial, std::int32_t hash, Bytes& sig) {
    return Sign({"serial", kCertBySerial, serial}, hash, kData, sig);
  }
  std::int32_t Verify(const CertRef& ref, std::int32_t hash, const Bytes& data, const Bytes& sig) {
    return csp_.Verify(ref.type, Ptr(ref.data), Len(ref.data), hash, Ptr(data), Len(data), Ptr(sig), Len(sig));
  }
  std::int32_t Encrypt(const CertRef& ref, const Bytes& data, std::uint32_t capacity, Bytes& cipher) {
    Bytes out(capacity + 1, 0xEE);
    std::uint32_t len = capacity;
    const std::int32_t rc =
        csp_.Encrypt(ref.type, Ptr(ref.data), Len(ref.data), Ptr(data), Len(data), out.data(), &len);
    if (rc == kOk) cipher.assign(out.begin(), out.begin() + len);
    return rc;
  }
  std::int32_t Decrypt(const CertRef& ref, const Bytes& cipher, Bytes& plain) {
    std::uint8_t out[1000];
    std::uint32_t len = sizeof out;
    const std::int32_t rc = csp_.Decrypt(ref.type, Ptr(ref.data), Len(ref.data), Ptr(cipher), Len(cipher), out, &len);
    if (rc == kOk) plain.assign(out, out + len);
    return rc;
  }

  CTokenCSP csp_;  // the platform's store and dialog
};

// --- the store as the backend sees it ---------------------------------------

TEST_F(CapiStoreTest, ListsTheStoreInItsOwnOrderWithDetails) {
  auto store = csp::MakePlatformStore();
  std::unique_ptr<csp::PersonalStore> personal;
  ASSERT_EQ(store->OpenPersonal(personal), kOk);
  const auto certs = personal->Certificates();
  std::vector<Bytes> listed;
  for (const auto& cert : certs) listed.push_back(cert->Encoded());
  EXPECT_EQ(listed, StoreOrder());

  for (const std::string name : kNames) {
    SCOPED_TRACE(name);
    const Bytes der = Der(name);
    ASSERT_EQ(std::count(listed.begin(), listed.end(), der), 1);
    const auto& cert = certs[static_cast<std::size_t>(std::find(listed.begin(), listed.end(), der) - listed.begin())];
    EXPECT_EQ(Hex(cert->SerialNumber()), Env("SERIAL_" + Upper(name)));
    const std::string cn = "CN=" + Env("CN_" + Upper(name));
    EXPECT_NE(cert->Subject().find(cn), std::string::npos) << cert->Subject();
    EXPECT_NE(cert->Issuer().find(cn), std::string::npos) << cert->Issuer();  // self-signed
    EXPECT_EQ(cert->NotAfter(), Env("NOTAFTER_" + Upper(name)));
  }
}

TEST_F(CapiStoreTest, ParsesCertificatesOnly) {
  auto store = csp::MakePlatformStore();
  const Bytes der = Der("b");
  auto cert = store->Parse(der.data(), der.size());
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(cert->Encoded(), der);
  EXPECT_EQ(Hex(cert->SerialNumber()), Env("SERIAL_B"));

  Bytes badTag = der;
  badTag[0] = 0x31;
  const std::pair<const char*, Bytes> bad[] = {
      {"one byte", Bytes{0x30}},
      {"garbage", Text("definitely not a certificate")},
      {"truncated", Bytes(der.begin(), der.begin() + static_cast<std::ptrdiff_t>(der.size() / 2))},
      {"wrong outer tag", badTag},
      {"PEM text", ReadBytes(FixturePath("b.pem"))},
  };
  for (const auto& [what, bytes] : bad) EXPECT_EQ(store->Parse(bytes.data(), bytes.size()), nullptr) << what;
  EXPECT_EQ(store->Parse(der.data(), 0), nullptr);
  EXPECT_EQ(store->Parse(nullptr, der.size()), nullptr);
}

// --- signing and verifying ---------------------------------------------------

TEST_F(CapiStoreTest, SignaturesVerifyHoweverTheCertificateIsNamed) {
  const CertRef ownDer = ByDer("a");
  for (std::int32_t hash : {csp::kSha1, csp::kMd2, csp::kMd5}) {
    SCOPED_TRACE("hash type " + std::to_string(hash));
    Bytes sig;
    ASSERT_EQ(SignBySerial(Serial("a"), hash, sig), kOk);
    ASSERT_EQ(sig.size(), kModulus);
    for (const CertRef& ref : EveryWayToName("a")) EXPECT_EQ(Verify(ref, hash, kData, sig), kOk) << ref.what;

    Bytes changed = kData;
    changed.back() ^= 1;
    const Bytes truncated(sig.begin(), sig.end() - 1);
    EXPECT_EQ(Verify(ownDer, (hash + 1) % 3, kData, sig), kErrVerify) << "another hash type";
    EXPECT_EQ(Verify(ownDer, hash, changed, sig), kErrVerify) << "other data";
    EXPECT_EQ(Verify(ownDer, hash, kData, Reversed(sig)), kErrVerify) << "most significant byte first";
    EXPECT_EQ(Verify(ownDer, hash, kData, truncated), kErrVerify) << "truncated";
    EXPECT_EQ(Verify(ownDer, hash, kData, {}), kErrVerify) << "empty";
    EXPECT_EQ(Verify(ByDer("b"), hash, kData, sig), kErrVerify) << "another key";
  }
  // Empty data is data too.
  Bytes sig;
  ASSERT_EQ(Sign({"serial", kCertBySerial, Serial("a")}, csp::kSha1, {}, sig), kOk);
  EXPECT_EQ(Verify(ownDer, csp::kSha1, {}, sig), kOk);
}

TEST_F(CapiStoreTest, HashTypesOutsideTheTableFailOnceTheKeyIsInHand) {
  Bytes good;
  ASSERT_EQ(SignBySerial(Serial("b"), csp::kSha1, good), kOk);
  for (std::int32_t hash : {3, -1, 0x8004}) {
    SCOPED_TRACE(hash);
    Bytes sig;
    EXPECT_EQ(SignBySerial(Serial("b"), hash, sig), kErrHash);
    EXPECT_EQ(Verify(ByDer("b"), hash, kData, good), kErrHash);
  }
}

TEST_F(CapiStoreTest, SerialSearchTakesEveryByteAndTheFirstMatch) {
  // The leading 00 of the DER INTEGER is part of the serial.
  const Bytes withZero = Serial("a");
  ASSERT_EQ(withZero.front(), 0);
  Bytes sig;
  ASSERT_EQ(SignBySerial(withZero, csp::kSha1, sig), kOk);
  EXPECT_EQ(Verify(ByDer("a"), csp::kSha1, kData, sig), kOk);
  EXPECT_EQ(SignBySerial(Bytes(withZero.begin() + 1, withZero.end()), csp::kSha1, sig), kErrNotFound);
  EXPECT_EQ(SignBySerial({}, csp::kSha1, sig), kErrNotFound);
  EXPECT_EQ(SignBySerial(Reversed(Serial("b")), csp::kSha1, sig), kErrNotFound);

  // Two certificates with one serial: the first in the store's order signs.
  const std::vector<Bytes> order = StoreOrder();
  const auto one = std::find(order.begin(), order.end(), Der("dup1"));
  const auto two = std::find(order.begin(), order.end(), Der("dup2"));
  ASSERT_TRUE(one != order.end() && two != order.end());
  const std::string first = one < two ? "dup1" : "dup2";
  const std::string second = one < two ? "dup2" : "dup1";
  ASSERT_EQ(Serial("dup1"), Serial("dup2"));
  ASSERT_EQ(SignBySerial(Serial("dup1"), csp::kSha1, sig), kOk);
  EXPECT_EQ(Verify(ByDer(first), csp::kSha1, kData, sig), kOk) << first << " comes first";
  EXPECT_EQ(Verify(ByDer(second), csp::kSha1, kData, sig), kErrVerify);
}

// --- encrypting and decrypting -----------------------------------------------

TEST_F(CapiStoreTest, EncryptionRoundTripsHoweverTheCertificateIsNamed) {
  const CertRef own = {"serial", kCertBySerial, Serial("b")};
  for (const CertRef& ref : EveryWayToName("b")) {
    SCOPED_TRACE(ref.what);
    Bytes cipher, plain;
    ASSERT_EQ(Encrypt(ref, kData, 1000, cipher), kOk);
    EXPECT_EQ(cipher.size(), kModulus);
    ASSERT_EQ(Decrypt(own, cipher, plain), kOk);
    EXPECT_EQ(plain, kData);
  }
}

TEST_F(CapiStoreTest, EncryptionLimits) {
  const CertRef ref = ByDer("b");
  const CertRef own = {"serial", kCertBySerial, Serial("b")};
  struct Case {
    std::size_t length;
    std::uint32_t capacity;
    std::int32_t result;
  } const cases[] = {
      {0, 1000, kOk},
      {kModulus - 11, kModulus, kOk},
      {kModulus - 10, 1000, kErrEncrypt},  // longer than PKCS #1 v1.5 allows
      {10, kModulus - 1, kErrEncrypt},     // the ciphertext does not fit
      {10, 0, kErrEncrypt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + " bytes into " + std::to_string(c.capacity));
    const Bytes data(c.length, 0x5A);
    Bytes cipher = {7};
    ASSERT_EQ(Encrypt(ref, data, c.capacity, cipher), c.result);
    if (c.result != kOk) {
      EXPECT_EQ(cipher, Bytes{7});
      continue;
    }
    Bytes plain;
    ASSERT_EQ(Decrypt(own, cipher, plain), kOk);
    EXPECT_EQ(plain, data);
  }
}

TEST_F(CapiStoreTest, DecryptionNeedsTheRightExchangeKey) {
  Bytes forB, forA;
  ASSERT_EQ(Encrypt(ByDer("b"), kData, 1000, forB), kOk);
  ASSERT_EQ(Encrypt(ByDer("a"), kData, 1000, forA), kOk);
  const CertRef a = {"serial a", kCertBySerial, Serial("a")};
  Bytes plain;
  EXPECT_EQ(Decrypt(a, forB, plain), kErrDecrypt) << "another key's ciphertext";
  EXPECT_EQ(Decrypt(a, {}, plain), kErrDecrypt) << "empty";
  ASSERT_EQ(Decrypt(a, forA, plain), kOk);
  EXPECT_EQ(plain, kData);

  // A certificate without a private key, and one whose key is only a
  // signature key pair: their public keys still encrypt and verify.
  Bytes forC, forSigOnly, sig;
  ASSERT_EQ(Encrypt({"serial c", kCertBySerial, Serial("c")}, kData, 1000, forC), kOk);
  ASSERT_EQ(Encrypt({"serial sigonly", kCertBySerial, Serial("sigonly")}, kData, 1000, forSigOnly), kOk);
  EXPECT_EQ(Decrypt({"serial c", kCertBySerial, Serial("c")}, forC, plain), kErrGetKey);
  EXPECT_EQ(SignBySerial(Serial("c"), csp::kSha1, sig), kErrGetKey);
  EXPECT_EQ(Decrypt({"serial sigonly", kCertBySerial, Serial("sigonly")}, forSigOnly, plain), kErrGetKey);
  EXPECT_EQ(SignBySerial(Serial("sigonly"), csp::kSha1, sig), kErrHash);
}

TEST_F(CapiStoreTest, PrivateKeyOperationsTakeOnlyStoreCertificates) {
  for (const CertRef& ref : EveryWayToName("b")) {
    if (ref.type == kCertBySerial) continue;
    SCOPED_TRACE(ref.what);
    Bytes out;
    EXPECT_EQ(Sign(ref, csp::kSha1, kData, out), kErrBadArgument);
    EXPECT_EQ(Decrypt(ref, Bytes(kModulus, 1), out), kErrBadArgument);
  }
}

// The public-key operations need the user's default key container of the
// full RSA provider and make it when it is missing.
TEST_F(CapiStoreTest, TheDefaultKeyContainerIsMadeWhenMissing) {
  HCRYPTPROV prov = 0;
  CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
  ASSERT_FALSE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, 0)) << "the container is still there";
  Bytes cipher;
  EXPECT_EQ(Encrypt(ByDer("b"), kData, 1000, cipher), kOk);
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, 0));
  CryptReleaseContext(prov, 0);
}

// --- the facade's store methods --------------------------------------------------

TEST(CapiFacade, StoreMethodsOverTheUsersStore) {
  CKeloCAActiveXCtrl ctrl;
  const std::string data = Hex(kData);
  const std::string serial = Lower(Env("SERIAL_B"));  // either case finds it
  const std::string pem = ReadText(FixturePath("b.pem"));
  const std::string sig = ctrl.SignByCSP(-7, 1, serial, 0, data);
  ASSERT_EQ(sig.size(), 2 * kModulus);
  EXPECT_EQ(sig, Upper(sig));

  const std::pair<std::int32_t, std::string> names[] = {
      {1, serial}, {2, pem}, {2, BareBase64(pem)}, {3, Hex(Der("b"))}, {4, FixturePath("b.der")}};
  for (const auto& [type, certData] : names) {
    SCOPED_TRACE(type);
    EXPECT_EQ(ctrl.VerifyByCSP(0, type, certData, 0, data, sig), kOk);
    const std::string cipher = ctrl.EncryptByCSP(0, type, certData, 0, Lower(data));
    ASSERT_EQ(cipher.size(), 2 * kModulus);
    EXPECT_EQ(ctrl.DecryptByCSP(0, 1, serial, 0, cipher), data);
  }
  EXPECT_EQ(ctrl.VerifyByCSP(0, 3, Hex(Der("b")), 2, data, sig), kErrVerify);
  EXPECT_EQ(ctrl.VerifyByCSP(0, 3, Hex(Der("b")), 5, data, sig), kErrHash);
  EXPECT_EQ(ctrl.VerifyByCSP(0, 7, Hex(Der("b")), 0, data, sig), kErrBadArgument);

  // Failures of the string methods give the empty string.
  const std::string cipher = ctrl.EncryptByCSP(0, 1, serial, 0, data);
  for (std::int32_t type : {2, 3, 4}) {
    EXPECT_EQ(ctrl.SignByCSP(0, type, Hex(Der("b")), 0, data), "") << type;
    EXPECT_EQ(ctrl.DecryptByCSP(0, type, Hex(Der("b")), 0, cipher), "") << type;
  }
  EXPECT_EQ(ctrl.DecryptByCSP(0, 1, Env("SERIAL_A"), 0, cipher), "");
  EXPECT_EQ(ctrl.SignByCSP(0, 1, Env("SERIAL_SIGONLY"), 0, data), "");
  EXPECT_EQ(ctrl.DecryptByCSP(0, 1, Env("SERIAL_C"), 0, ctrl.EncryptByCSP(0, 1, Env("SERIAL_C"), 0, data)), "");
}

// The provider decrypts a whole key length in place: a shorter ciphertext
// once overran the heap and a longer one was decrypted from its first block.
TEST(CapiFacade, DecryptByCSPTakesOnlyCiphertextsOfTheKeysLength) {
  CKeloCAActiveXCtrl ctrl;
  const std::string serial = Env("SERIAL_B");
  const std::string data = Hex(kData);
  const std::string cipher = ctrl.EncryptByCSP(0, 1, serial, 0, data);
  ASSERT_EQ(cipher.size(), 2 * kModulus);
  // Least significant byte first: the extra byte leaves the number as it was.
  const std::pair<std::string, std::string> cases[] = {
      {"0000", ""},
      {cipher.substr(2), ""},
      {cipher + "00", ""},
      {cipher, data},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(ctrl.DecryptByCSP(0, 1, serial, 0, input), expected) << input.size() / 2 << " bytes";
  }
  EXPECT_EQ(ctrl.VerifyByCSP(0, 1, serial, 0, data, ctrl.SignByCSP(0, 1, serial, 0, data)), kOk);
}

// --- choosing a certificate (data type 0) --------------------------------------

// A caller's chooser works over the store's certificates.
class PickByEncoding final : public csp::CertificateChooser {
 public:
  explicit PickByEncoding(Bytes& wanted) : wanted_(wanted) {}
  int Choose(const std::vector<const csp::Certificate*>& certificates) override {
    for (std::size_t i = 0; i < certificates.size(); ++i) {
      if (certificates[i]->Encoded() == wanted_) return static_cast<int>(i);
    }
    return -1;
  }

 private:
  Bytes& wanted_;
};

TEST(CapiSelection, AChooserOfTheCallerPicksFromTheStore) {
  Bytes wanted = Der("dup2");
  CTokenCSP csp(csp::MakePlatformStore(), std::make_unique<PickByEncoding>(wanted));
  std::uint8_t sig[1000];
  std::uint32_t len = sizeof sig;
  ASSERT_EQ(csp.Sign(kCertBySelection, nullptr, 0, csp::kMd5, kData.data(), Len(kData), sig, &len), kOk);
  const Bytes der = Der("dup2");
  EXPECT_EQ(csp.Verify(kCertFromDer, der.data(), Len(der), csp::kMd5, kData.data(), Len(kData), sig,
                       static_cast<std::int32_t>(len)),
            kOk);
  wanted.clear();  // nothing chosen
  EXPECT_EQ(csp.Sign(kCertBySelection, nullptr, 0, csp::kMd5, kData.data(), Len(kData), sig, &len), kErrOpenStore);
}

// The platform's dialog, answered by capi_dialog.sh in turn: the row of the
// certificate named in KELO_CAPI_PICK with Return, twice, then Escape twice.
TEST(CapiDialog, ThePickedCertificateIsUsedAndCancellingGivesNothing) {
  const char* pick = std::getenv("KELO_CAPI_PICK");
  if (pick == nullptr) GTEST_SKIP() << "needs capi_dialog.sh to answer the dialogs";
  CKeloCAActiveXCtrl ctrl;
  const std::string data = Hex(kData);
  const std::string sig = ctrl.SignByCSP(0, 0, "", 0, data);
  ASSERT_EQ(sig.size(), 2 * kModulus);
  for (const std::string name : kNames) {
    EXPECT_EQ(ctrl.VerifyByCSP(0, 3, Hex(Der(name)), 0, data, sig) == kOk, name == pick) << name;
  }
  EXPECT_EQ(ctrl.VerifyByCSP(0, 0, "", 0, data, sig), kOk);
  EXPECT_EQ(ctrl.SignByCSP(0, 0, "", 0, data), "");
  std::uint8_t out[1000];
  std::uint32_t len = sizeof out;
  CTokenCSP csp;
  EXPECT_EQ(csp.Sign(kCertBySelection, nullptr, 0, csp::kSha1, kData.data(), Len(kData), out, &len), kErrOpenStore);
}

}  // namespace
}  // namespace kelo::test::capi
