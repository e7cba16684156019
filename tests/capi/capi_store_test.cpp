// The CryptoAPI store backend under Wine, through CTokenCSP and through the
// facade's store methods, over the certificates and keys that
// make-fixtures-capi.sh put into the user's store "MY". The cases every store
// backend shares are in tests/cert_store_suite.h.
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
#include "tests/cert_store_suite.h"
#include "common/result_codes.h"

namespace kelo::test::capi {
namespace {

const std::string kText = "The quick brown fox jumps over the lazy dog";
const Bytes kData(kText.begin(), kText.end());
const char* const kNames[] = {"a", "b", "c", "dup1", "dup2", "sigonly"};
constexpr std::size_t kModulus = 256;  // the fixtures' keys are RSA-2048
constexpr HashType kSha1 = HashType::kSha1;
constexpr HashType kMd5 = HashType::kMd5;

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

// The CryptoAPI side of the shared store suite.
struct CapiBackend {
  static void SetUpTestSuite() {
    ASSERT_FALSE(capi::Env("SERIAL_A").empty()) << "no fixtures in " << KELO_CAPI_FIXTURES;
  }
  static void TearDownTestSuite() {}
  static void SetUp() {}
  static void TearDown() {}
  static Bytes Der(const std::string& name) { return capi::Der(name); }
  static Bytes PemFile(const std::string& name) { return ReadBytes(FixturePath(name + ".pem")); }
  static std::string Env(const std::string& key) { return capi::Env(key); }
  static std::vector<std::string> Names() { return {std::begin(kNames), std::end(kNames)}; }
  // Signing always uses the exchange key pair: a signature key pair alone
  // cannot sign here.
  static std::vector<KeyUsageCase> KeyUsage() { return {{"a", true, kOk}, {"sigonly", false, kErrHash}}; }
  // A parsed copy has none of the store's properties, so no private key.
  static constexpr bool kParsedCopyFindsKey = false;
  static constexpr bool kRefusesForeignCiphertext = true;
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Capi, CertStoreSuite, CapiBackend);

namespace {

class CapiStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { CapiBackend::SetUpTestSuite(); }

  ResultCode Sign(const CertRef& ref, HashType hash, const Bytes& data, Bytes& sig) {
    std::uint8_t out[1000];
    std::uint32_t len = sizeof out;
    const ResultCode rc = csp_.Sign(ref.type, Ptr(ref.data), Len(ref.data), hash, Ptr(data), Len(data), out, &len);
    if (rc == kOk) sig.assign(out, out + len);
    return rc;
  }
  ResultCode SignBySerial(const Bytes& serial, HashType hash, Bytes& sig) {
    return Sign({"serial", kCertBySerial, serial}, hash, kData, sig);
  }
  ResultCode Verify(const CertRef& ref, HashType hash, const Bytes& data, const Bytes& sig) {
    return csp_.Verify(ref.type, Ptr(ref.data), Len(ref.data), hash, Ptr(data), Len(data), Ptr(sig), Len(sig));
  }
  ResultCode Encrypt(const CertRef& ref, const Bytes& data, std::uint32_t capacity, Bytes& cipher) {
    Bytes out(capacity + 1, 0xEE);
    std::uint32_t len = capacity;
    const ResultCode rc =
        csp_.Encrypt(ref.type, Ptr(ref.data), Len(ref.data), Ptr(data), Len(data), out.data(), &len);
    if (rc == kOk) cipher.assign(out.begin(), out.begin() + len);
    return rc;
  }
  ResultCode Decrypt(const CertRef& ref, const Bytes& cipher, Bytes& plain) {
    std::uint8_t out[1000];
    std::uint32_t len = sizeof out;
    const ResultCode rc = csp_.Decrypt(ref.type, Ptr(ref.data), Len(ref.data), Ptr(cipher), Len(cipher), out, &len);
    if (rc == kOk) plain.assign(out, out + len);
    return rc;
  }

  CTokenCSP csp_;  // the platform's store and dialog
};

// --- the store as the backend sees it ---------------------------------------

TEST_F(CapiStoreTest, ListsTheStoreInItsOwnOrder) {
  auto store = csp::MakePlatformStore();
  std::unique_ptr<csp::PersonalStore> personal;
  ASSERT_EQ(store->OpenPersonal(personal), kOk);
  std::vector<Bytes> listed;
  for (const auto& cert : personal->Certificates()) listed.push_back(cert->Encoded());
  EXPECT_EQ(listed, StoreOrder());
}

// --- signing and verifying ---------------------------------------------------

TEST_F(CapiStoreTest, SignaturesVerifyHoweverTheCertificateIsNamed) {
  for (HashType hash : store_suite::kNamedHashes) {
    SCOPED_TRACE("hash type " + std::to_string(static_cast<int>(hash)));
    Bytes sig;
    ASSERT_EQ(SignBySerial(Serial("a"), hash, sig), kOk);
    for (const CertRef& ref : EveryWayToName("a")) EXPECT_EQ(Verify(ref, hash, kData, sig), kOk) << ref.what;
  }
}

TEST_F(CapiStoreTest, SerialSearchTakesEveryByteAndTheFirstMatch) {
  // The leading 00 of the DER INTEGER is part of the serial.
  const Bytes withZero = Serial("a");
  ASSERT_EQ(withZero.front(), 0);
  Bytes sig;
  ASSERT_EQ(SignBySerial(withZero, kSha1, sig), kOk);
  EXPECT_EQ(Verify(ByDer("a"), kSha1, kData, sig), kOk);
  EXPECT_EQ(SignBySerial(Bytes(withZero.begin() + 1, withZero.end()), kSha1, sig), kErrNotFound);
  EXPECT_EQ(SignBySerial({}, kSha1, sig), kErrNotFound);
  EXPECT_EQ(SignBySerial(Reversed(Serial("b")), kSha1, sig), kErrNotFound);

  // Two certificates with one serial: the first in the store's order signs.
  const std::vector<Bytes> order = StoreOrder();
  const auto one = std::find(order.begin(), order.end(), Der("dup1"));
  const auto two = std::find(order.begin(), order.end(), Der("dup2"));
  ASSERT_TRUE(one != order.end() && two != order.end());
  const std::string first = one < two ? "dup1" : "dup2";
  const std::string second = one < two ? "dup2" : "dup1";
  ASSERT_EQ(Serial("dup1"), Serial("dup2"));
  ASSERT_EQ(SignBySerial(Serial("dup1"), kSha1, sig), kOk);
  EXPECT_EQ(Verify(ByDer(first), kSha1, kData, sig), kOk) << first << " comes first";
  EXPECT_EQ(Verify(ByDer(second), kSha1, kData, sig), kErrVerify);
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
  ASSERT_EQ(csp.Sign(kCertBySelection, nullptr, 0, kMd5, kData.data(), Len(kData), sig, &len), kOk);
  const Bytes der = Der("dup2");
  EXPECT_EQ(csp.Verify(kCertFromDer, der.data(), Len(der), kMd5, kData.data(), Len(kData), sig,
                       static_cast<std::int32_t>(len)),
            kOk);
  wanted.clear();  // nothing chosen
  EXPECT_EQ(csp.Sign(kCertBySelection, nullptr, 0, kMd5, kData.data(), Len(kData), sig, &len), kErrOpenStore);
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
  EXPECT_EQ(csp.Sign(kCertBySelection, nullptr, 0, kSha1, kData.data(), Len(kData), out, &len), kErrOpenStore);
}

}  // namespace
}  // namespace kelo::test::capi
