// The NSS store backend against real NSS databases made by make-nssdb.sh,
// checked against OpenSSL: byte order, DigestInfo, padding, key usage,
// missing, corrupt and password-protected databases. The cases every store
// backend shares are in tests/cert_store_suite.h.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>
#include <unistd.h>

#include "csp/cert_store.h"
#include "csp/dialogs.h"
#include "csp/digest_info.h"
#include "csp/nss/nss_context.h"
#include "common/result_codes.h"
#include "tests/cert_store_suite.h"
#include "tests/support/env_file.h"
#include "tests/support/nss_fixture.h"

namespace fs = std::filesystem;
using kelo::csp::Bytes;
using kelo::csp::CertStore;
using kelo::csp::Certificate;
using kelo::csp::PersonalStore;
using kelo::csp::PrivateKey;
using kelo::csp::PublicKey;

// The password question, answered by the test instead of a dialog.
namespace {
struct PromptDouble {
  std::vector<std::string> answers;  // one per question; none left = cancel
  int calls = 0;
  std::string lastStore;
};
PromptDouble g_prompt;
}  // namespace

namespace kelo::csp {
bool AskStorePassword(const std::string& storeName, std::string& password) {
  const auto index = static_cast<std::size_t>(g_prompt.calls++);
  g_prompt.lastStore = storeName;
  if (index >= g_prompt.answers.size()) return false;
  password = g_prompt.answers[index];
  return true;
}
}  // namespace kelo::csp

namespace {

// --- small helpers -------------------------------------------------------

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using kelo::test::store_suite::Hex;

Bytes Reversed(Bytes b) {
  std::reverse(b.begin(), b.end());
  return b;
}

Bytes AsBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// MD2 (RFC 1319), since the OpenSSL here has none: an independent check of
// the digest NSS signs.
Bytes Md2(const Bytes& message) {
  static constexpr std::uint8_t kS[256] = {
      41,  46,  67,  201, 162, 216, 124, 1,   61,  54,  84,  161, 236, 240, 6,   19,  98,  167, 5,   243, 192, 199,
      115, 140, 152, 147, 43,  217, 188, 76,  130, 202, 30,  155, 87,  60,  253, 212, 224, 22,  103, 66,  111, 24,
      138, 23,  229, 18,  190, 78,  196, 214, 218, 158, 222, 73,  160, 251, 245, 142, 187, 47,  238, 122, 169, 104,
      121, 145, 21,  178, 7,   63,  148, 194, 16,  137, 11,  34,  95,  33,  128, 127, 93,  154, 90,  144, 50,  39,
      53,  62,  204, 231, 191, 247, 151, 3,   255, 25,  48,  179, 72,  165, 181, 209, 215, 94,  146, 42,  172, 86,
      170, 198, 79,  184, 56,  210, 150, 164, 125, 182, 118, 252, 107, 226, 156, 116, 4,   241, 69,  157, 112, 89,
      100, 113, 135, 32,  134, 91,  207, 101, 230, 45,  168, 2,   27,  96,  37,  173, 174, 176, 185, 246, 28,  70,
      97,  105, 52,  64,  126, 15,  85,  71,  163, 35,  221, 81,  175, 58,  195, 92,  249, 206, 186, 197, 234, 38,
      44,  83,  13,  110, 133, 40,  132, 9,   211, 223, 205, 244, 65,  129, 77,  82,  106, 220, 55,  200, 108, 193,
      171, 250, 36,  225, 123, 8,   12,  189, 177, 74,  120, 136, 149, 139, 227, 99,  232, 109, 233, 203, 213, 254,
      59,  0,   29,  57,  242, 239, 183, 14,  102, 88,  208, 228, 166, 119, 114, 248, 235, 117, 75,  10,  49,  68,
      80,  180, 143, 237, 31,  26,  219, 153, 141, 51,  159, 17,  131, 20};
  Bytes m = message;
  const std::size_t pad = 16 - m.size() % 16;
  m.insert(m.end(), pad, static_cast<std::uint8_t>(pad));
  std::array<std::uint8_t, 16> checksum{};
  std::uint8_t last = 0;
  for (std::size_t block = 0; block < m.size(); block += 16) {
    for (std::size_t j = 0; j < 16; ++j) last = checksum[j] ^= kS[m[block + j] ^ last];
  }
  m.insert(m.end(), checksum.begin(), checksum.end());
  std::array<std::uint8_t, 48> x{};
  for (std::size_t block = 0; block < m.size(); block += 16) {
    for (std::size_t j = 0; j < 16; ++j) {
      x[16 + j] = m[block + j];
      x[32 + j] = static_cast<std::uint8_t>(x[16 + j] ^ x[j]);
    }
    std::uint8_t t = 0;
    for (int round = 0; round < 18; ++round) {
      for (auto& byte : x) t = byte ^= kS[t];
      t = static_cast<std::uint8_t>(t + round);
    }
  }
  return Bytes(x.begin(), x.begin() + 16);
}

// --- OpenSSL side ----------------------------------------------------------

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

Pkey LoadPrivateKey(const fs::path& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "r"), std::fclose);
  return Pkey(f ? PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr) : nullptr);
}

// One PKCS #1 v1.5 operation; empty output on failure.
Bytes OpenSslRun(EVP_PKEY* key, int (*init)(EVP_PKEY_CTX*),
                 int (*op)(EVP_PKEY_CTX*, unsigned char*, size_t*, const unsigned char*, size_t), const Bytes& in,
                 const EVP_MD* md = nullptr) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx || init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) return {};
  if (md != nullptr && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0) return {};
  size_t n = 0;
  if (op(ctx.get(), nullptr, &n, in.data(), in.size()) <= 0) return {};
  Bytes out(n);
  if (op(ctx.get(), out.data(), &n, in.data(), in.size()) <= 0) return {};
  out.resize(n);
  return out;
}

bool OpenSslVerify(EVP_PKEY* key, const EVP_MD* md, const Bytes& data, const Bytes& bigEndianSig) {
  Bytes digest(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &len, md, nullptr) != 1) return false;
  digest.resize(len);
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  return ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0 &&
         EVP_PKEY_CTX_set_signature_md(ctx.get(), md) > 0 &&
         EVP_PKEY_verify(ctx.get(), bigEndianSig.data(), bigEndianSig.size(), digest.data(), digest.size()) == 1;
}

// --- fixture ----------------------------------------------------------------

using kelo::kErrDecrypt;
using kelo::kErrEncrypt;
using kelo::kErrGetKey;
using kelo::kErrHash;
using kelo::kErrOpenStore;
using kelo::kErrVerify;

const char* const kNames[] = {"a", "b", "c", "dup1", "dup2", "sigonly", "enconly"};
constexpr const char* kPassword = kelo::test::kNssFixturePassword;

// The NSS side of the shared store suite, and the fixture of the cases only
// NSS has.
struct NssBackend {
  static void SetUpTestSuite() {
    const char* home = std::getenv("HOME");
    savedHome_ = home != nullptr ? home : "";
    main_ = kelo::test::CachedNssFixture();
    locked_ = kelo::test::CachedNssFixture(true);
    ASSERT_FALSE(main_.empty()) << "make-nssdb.sh failed";
    ASSERT_FALSE(locked_.empty()) << "make-nssdb.sh --password failed";
    env_ = kelo::test::ReadEnvFile((main_ / "fixture" / "fixture.env").string());

    std::string scratch = (fs::temp_directory_path() / "nss_store_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(scratch.data()), nullptr);
    scratch_ = scratch;
    fs::create_directories(scratch_ / "nodb");
    fs::create_directories(scratch_ / "corrupt" / ".pki" / "nssdb");
    for (const char* file : {"cert9.db", "key4.db"}) {
      std::ofstream(scratch_ / "corrupt" / ".pki" / "nssdb" / file) << "this is not an SQLite database\n";
    }
  }

  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(scratch_, ec);
    if (savedHome_.empty()) {
      ::unsetenv("HOME");
    } else {
      ::setenv("HOME", savedHome_.c_str(), 1);
    }
  }

  static void SetUp() {
    UseHome(main_);
    g_prompt = PromptDouble{};
  }

  // Every object of a test is gone by now: NSS must have shut down with
  // nothing of ours still referenced.
  static void TearDown() { EXPECT_TRUE(kelo::csp::nss::LastShutdownClean()); }

  static void UseHome(const fs::path& home) { ::setenv("HOME", home.c_str(), 1); }

  static fs::path File(const std::string& name, const char* ext) { return main_ / "fixture" / (name + ext); }
  static Bytes Der(const std::string& name) { return ReadFile(File(name, ".der")); }
  static Bytes PemFile(const std::string& name) { return ReadFile(File(name, ".pem")); }
  static std::vector<std::string> Names() { return {std::begin(kNames), std::end(kNames)}; }
  static std::vector<kelo::test::KeyUsageCase> KeyUsage() {
    return {{"a", true, kelo::kOk}, {"sigonly", false, kelo::kOk}, {"enconly", true, kErrHash}};
  }
  // NSS finds a key by the certificate's contents wherever it came from.
  static constexpr bool kParsedCopyFindsKey = true;
  // NSS answers bad padding with a made-up plaintext (implicit rejection).
  static constexpr bool kRefusesForeignCiphertext = false;
  static std::string Env(const std::string& key) { return env_.at(key); }
  static std::vector<std::unique_ptr<Certificate>> List(CertStore& store) {
    std::unique_ptr<PersonalStore> personal;
    EXPECT_EQ(store.OpenPersonal(personal), 0);
    return personal ? personal->Certificates() : std::vector<std::unique_ptr<Certificate>>{};
  }

  // The store's own certificate with the fixture's name.
  static std::unique_ptr<Certificate> StoreCert(CertStore& store, const std::string& name) {
    const Bytes der = Der(name);
    for (auto& cert : List(store)) {
      if (cert->Encoded() == der) return std::move(cert);
    }
    return nullptr;
  }

  static std::unique_ptr<PrivateKey> PrivateKeyOf(CertStore& store, const std::string& name) {
    auto cert = StoreCert(store, name);
    std::unique_ptr<PrivateKey> key;
    if (cert == nullptr || store.AcquirePrivateKey(*cert, key) != 0) return nullptr;
    return key;
  }

  static std::unique_ptr<PublicKey> PublicKeyOf(CertStore& store, const Bytes& der) {
    auto cert = store.Parse(der.data(), der.size());
    std::unique_ptr<PublicKey> key;
    if (cert == nullptr || store.AcquirePublicKey(*cert, key) != 0) return nullptr;
    return key;
  }

  static inline std::string savedHome_;
  static inline fs::path main_;
  static inline fs::path locked_;
  static inline fs::path scratch_;
  static inline std::map<std::string, std::string> env_;
};

class NssStoreTest : public ::testing::Test, protected NssBackend {
 protected:
  static void SetUpTestSuite() { NssBackend::SetUpTestSuite(); }
  static void TearDownTestSuite() { NssBackend::TearDownTestSuite(); }
  void SetUp() override { NssBackend::SetUp(); }
  void TearDown() override { NssBackend::TearDown(); }
};

const Bytes kData = AsBytes("The quick brown fox jumps over the lazy dog");

}  // namespace

namespace kelo::test {
INSTANTIATE_TYPED_TEST_SUITE_P(Nss, CertStoreSuite, NssBackend);
}  // namespace kelo::test

namespace {

// --- what only NSS shows ------------------------------------------------------

// Reversed, our signatures are standard PKCS #1 v1.5 signatures.
TEST_F(NssStoreTest, SignaturesCheckOutWithOpenSsl) {
  auto store = kelo::csp::MakePlatformStore();
  auto key = PrivateKeyOf(*store, "b");
  ASSERT_NE(key, nullptr);
  Pkey openSslKey = LoadPrivateKey(File("b", ".key"));
  ASSERT_NE(openSslKey, nullptr);

  const std::pair<kelo::HashType, const EVP_MD*> hashes[] = {{kelo::HashType::kSha1, EVP_sha1()},
                                                             {kelo::HashType::kMd5, EVP_md5()},
                                                             {kelo::HashType::kSha256, EVP_sha256()},
                                                             {kelo::HashType::kSha384, EVP_sha384()},
                                                             {kelo::HashType::kSha512, EVP_sha512()}};
  for (const auto& [hash, md] : hashes) {
    SCOPED_TRACE(static_cast<int>(hash));
    Bytes sig;
    ASSERT_EQ(key->Sign(hash, kData.data(), kData.size(), sig), 0);
    EXPECT_TRUE(OpenSslVerify(openSslKey.get(), md, kData, Reversed(sig)));
    EXPECT_FALSE(OpenSslVerify(openSslKey.get(), md, kData, sig));
  }

  // MD2: recover the signed block and compare it with our own DigestInfo.
  Bytes sig;
  ASSERT_EQ(key->Sign(kelo::HashType::kMd2, kData.data(), kData.size(), sig), 0);
  const Bytes recovered = OpenSslRun(openSslKey.get(), EVP_PKEY_verify_recover_init, EVP_PKEY_verify_recover,
                                     Reversed(sig));
  const auto* md2 = kelo::csp::FindDigestAlgorithm(kelo::HashType::kMd2);
  Bytes expected(md2->prefix.begin(), md2->prefix.end());
  const Bytes digest = Md2(kData);
  expected.insert(expected.end(), digest.begin(), digest.end());
  EXPECT_EQ(Hex(recovered), Hex(expected));
}

// Lookups by serial walk the database once and then answer from what the
// walk learnt until the database changes, however little: then the next
// lookup walks again. Certificates added or removed show at once.
TEST_F(NssStoreTest, SerialLookupsWalkOnlyAfterTheDatabaseChanged) {
  const fs::path home = scratch_ / "changing";
  fs::create_directories(home);
  ASSERT_TRUE(kelo::test::CopyNssFixture(home));
  UseHome(home);
  const std::string db = "sql:" + (home / ".pki" / "nssdb").string();
  const fs::path added = scratch_ / "added.der";
  auto run = [](const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; };
  ASSERT_TRUE(
      run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout /dev/null "
          "-subj /CN=Kelo-Added -set_serial 0x0ADDED -days 2 -outform DER -out " +
          added.string()));

  auto store = kelo::csp::MakePlatformStore();
  std::unique_ptr<PersonalStore> personal;
  ASSERT_EQ(store->OpenPersonal(personal), 0);
  auto find = [&](const Bytes& serial) {
    auto cert = personal->FindBySerial(serial.data(), serial.size());
    return cert ? cert->Encoded() : Bytes{};
  };
  auto serialOf = [](const std::string& name) { return kelo::test::store_suite::FromHex(Env("SERIAL_" + name)); };
  const Bytes a = serialOf("A"), b = serialOf("B"), fresh = {0x0A, 0xDD, 0xED};
  auto walksSince = [start = kelo::csp::nss::SerialIndexWalks()] { return kelo::csp::nss::SerialIndexWalks() - start; };

  EXPECT_EQ(find(b), Der("b"));
  EXPECT_EQ(find(a), Der("a"));
  EXPECT_EQ(find(b), Der("b"));
  EXPECT_EQ(walksSince(), 1u);
  EXPECT_EQ(find(fresh), Bytes{});
  EXPECT_EQ(walksSince(), 2u) << "a serial not seen is looked for again before the answer";

  ASSERT_TRUE(run("certutil -A -d " + db + " -n kelo-added -t ,, -i " + added.string()));
  EXPECT_EQ(find(fresh), ReadFile(added));
  EXPECT_EQ(find(a), Der("a"));
  EXPECT_EQ(walksSince(), 3u);
  // A change that leaves every serial where it was still renews the index.
  ASSERT_TRUE(run("certutil -M -d " + db + " -n kelo-c -t P,,"));
  EXPECT_EQ(find(a), Der("a"));
  EXPECT_EQ(walksSince(), 4u);
  ASSERT_TRUE(run("certutil -D -d " + db + " -n kelo-b"));
  EXPECT_EQ(find(b), Bytes{});
  EXPECT_EQ(find(a), Der("a"));
  EXPECT_EQ(walksSince(), 5u);
}

TEST(Md2Reference, MatchesTheKnownAnswers) {
  EXPECT_EQ(Hex(Md2(AsBytes(""))), "8350E5A3E24C153DF2275C9F80692773");
  EXPECT_EQ(Hex(Md2(AsBytes("abc"))), "DA853B0D3F88D99B30283A69E6DED6BB");
  EXPECT_EQ(Hex(Md2(AsBytes("message digest"))), "AB4F496BFB2A530B219FF33031FE06B0");
}

// --- encrypting and decrypting ---------------------------------------------

TEST_F(NssStoreTest, EncryptAndDecryptInteroperateWithOpenSsl) {
  auto store = kelo::csp::MakePlatformStore();
  auto publicKey = PublicKeyOf(*store, Der("a"));
  auto privateKey = PrivateKeyOf(*store, "a");
  ASSERT_NE(publicKey, nullptr);
  ASSERT_NE(privateKey, nullptr);
  Pkey openSslKey = LoadPrivateKey(File("a", ".key"));
  ASSERT_NE(openSslKey, nullptr);

  // Ours to OpenSSL, least significant byte first.
  Bytes cipher;
  ASSERT_EQ(publicKey->Encrypt(kData.data(), kData.size(), 1000, cipher), 0);
  ASSERT_EQ(cipher.size(), 256u);
  EXPECT_EQ(OpenSslRun(openSslKey.get(), EVP_PKEY_decrypt_init, EVP_PKEY_decrypt, Reversed(cipher)), kData);

  // OpenSSL's to ours, and ours to ours.
  const Bytes theirs = OpenSslRun(openSslKey.get(), EVP_PKEY_encrypt_init, EVP_PKEY_encrypt, kData);
  ASSERT_EQ(theirs.size(), 256u);
  Bytes plain;
  ASSERT_EQ(privateKey->Decrypt(Reversed(theirs).data(), theirs.size(), plain), 0);
  EXPECT_EQ(plain, kData);
  plain.clear();
  ASSERT_EQ(privateKey->Decrypt(cipher.data(), cipher.size(), plain), 0);
  EXPECT_EQ(plain, kData);
}

// --- missing, corrupt and protected databases ---------------------------------

// Types 2 to 4 work on a parsed certificate with any database or none.
void ExpectPublicKeyOperationsWork(CertStore& store, const fs::path& fixture) {
  const Bytes der = ReadFile(fixture / "a.der");
  auto cert = store.Parse(der.data(), der.size());
  ASSERT_NE(cert, nullptr);
  std::unique_ptr<PublicKey> key;
  ASSERT_EQ(store.AcquirePublicKey(*cert, key), 0);
  Pkey openSslKey = LoadPrivateKey(fixture / "a.key");
  Bytes cipher;
  ASSERT_EQ(key->Encrypt(kData.data(), kData.size(), 1000, cipher), 0);
  EXPECT_EQ(OpenSslRun(openSslKey.get(), EVP_PKEY_decrypt_init, EVP_PKEY_decrypt, Reversed(cipher)), kData);
  Bytes digest(20);
  unsigned int len = 0;
  ASSERT_EQ(EVP_Digest(kData.data(), kData.size(), digest.data(), &len, EVP_sha1(), nullptr), 1);
  const Bytes sig = OpenSslRun(openSslKey.get(), EVP_PKEY_sign_init, EVP_PKEY_sign, digest, EVP_sha1());
  ASSERT_EQ(sig.size(), 256u);
  const Bytes ours = Reversed(sig);
  EXPECT_EQ(key->Verify(kelo::HashType::kSha1, kData.data(), kData.size(), ours.data(), ours.size()), 0);
}

TEST_F(NssStoreTest, WithoutADatabaseTheStoreIsEmptyAndNothingIsCreated) {
  UseHome(scratch_ / "nodb");
  {
    auto store = kelo::csp::MakePlatformStore();
    EXPECT_TRUE(List(*store).empty());
    ExpectPublicKeyOperationsWork(*store, main_ / "fixture");
  }
  EXPECT_TRUE(fs::is_empty(scratch_ / "nodb"));

  // The next store reads HOME again.
  UseHome(main_);
  auto store = kelo::csp::MakePlatformStore();
  EXPECT_EQ(List(*store).size(), std::size(kNames));
}

TEST_F(NssStoreTest, ACorruptDatabaseCannotBeOpenedButParsingStillWorks) {
  const fs::path db = scratch_ / "corrupt" / ".pki" / "nssdb";
  const Bytes before = ReadFile(db / "cert9.db");
  {
    auto store = kelo::csp::MakePlatformStore();
    std::unique_ptr<PersonalStore> personal;
    EXPECT_EQ(store->OpenPersonal(personal), 0);  // still the fixture's HOME
    UseHome(scratch_ / "corrupt");
  }
  auto store = kelo::csp::MakePlatformStore();
  std::unique_ptr<PersonalStore> personal;
  EXPECT_EQ(store->OpenPersonal(personal), kErrOpenStore);
  EXPECT_EQ(personal, nullptr);
  ExpectPublicKeyOperationsWork(*store, main_ / "fixture");
  EXPECT_EQ(ReadFile(db / "cert9.db"), before);
}

TEST_F(NssStoreTest, APasswordProtectedDatabaseAsksForItsPassword) {
  UseHome(locked_);
  const Bytes der = ReadFile(locked_ / "fixture" / "a.der");
  struct Case {
    const char* what;
    std::vector<std::string> answers;
    std::int32_t result;
    int questions;
  } const cases[] = {
      {"right password", {kPassword}, 0, 1},
      {"wrong, then right", {"wrong", kPassword}, 0, 2},
      {"cancelled", {}, kErrGetKey, 1},
      {"wrong three times", {"x", "y", "z", kPassword}, kErrGetKey, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    g_prompt = PromptDouble{c.answers, 0, {}};
    auto store = kelo::csp::MakePlatformStore();  // a fresh NSS: logged out
    std::unique_ptr<Certificate> cert;
    for (auto& candidate : List(*store)) {
      if (candidate->Encoded() == der) cert = std::move(candidate);
    }
    ASSERT_NE(cert, nullptr);
    std::unique_ptr<PrivateKey> key;
    EXPECT_EQ(store->AcquirePrivateKey(*cert, key), c.result);
    EXPECT_EQ(g_prompt.calls, c.questions);
    EXPECT_FALSE(g_prompt.lastStore.empty());
    if (c.result == 0) {
      ASSERT_NE(key, nullptr);
      Bytes sig;
      EXPECT_EQ(key->Sign(kelo::HashType::kSha1, kData.data(), kData.size(), sig), 0);
    }
  }
}

}  // namespace
