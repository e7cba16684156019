// End to end: the five store methods through `kelo-ca serve`, over a
// fixture NSS database in a private HOME, cross-checked with OpenSSL.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "codec/codec.h"
#include "tests/serve_client.h"
#include "tests/support/env_file.h"
#include "tests/support/nss_fixture.h"

namespace kelo::test {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string Hex(const Bytes& b) { return codec::BytesToHex(b.data(), b.size()); }
std::string Hex(const std::string& s) {
  return codec::BytesToHex(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
Bytes Reversed(Bytes b) {
  std::reverse(b.begin(), b.end());
  return b;
}

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct CtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

Pkey LoadKey(const std::string& pem, bool isPrivate) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  Pkey key;
  if (isPrivate) {
    key.reset(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr));
  } else {
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    if (cert) key.reset(X509_get_pubkey(cert));
    X509_free(cert);
  }
  BIO_free(bio);
  return key;
}

// RSA PKCS #1 v1.5 with OpenSSL: sign-verify over a digest, encrypt, decrypt.
bool OpenSslVerify(EVP_PKEY* key, const EVP_MD* md, const std::string& data, const Bytes& sig) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key) == 1 &&
            EVP_DigestVerify(ctx, sig.data(), sig.size(), reinterpret_cast<const unsigned char*>(data.data()),
                             data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

Bytes OpenSslSign(EVP_PKEY* key, const EVP_MD* md, const std::string& data) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::size_t len = 512;
  Bytes sig(len);
  const bool ok =
      EVP_DigestSignInit(ctx, nullptr, md, nullptr, key) == 1 &&
      EVP_DigestSign(ctx, sig.data(), &len, reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  sig.resize(ok ? len : 0);
  return sig;
}

Bytes OpenSslCrypt(EVP_PKEY* key, const Bytes& in, bool encrypt) {
  std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) != 1 : EVP_PKEY_decrypt_init(ctx.get()) != 1) return {};
  EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
  std::size_t len = 512;
  Bytes out(len);
  int rc = encrypt ? EVP_PKEY_encrypt(ctx.get(), out.data(), &len, in.data(), in.size())
                   : EVP_PKEY_decrypt(ctx.get(), out.data(), &len, in.data(), in.size());
  if (rc != 1) return {};
  out.resize(len);
  return out;
}

class StoreServe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    home_ = new std::string((fs::temp_directory_path() / "kelo-store-e2e-XXXXXX").string());
    ASSERT_NE(mkdtemp(home_->data()), nullptr);
    ASSERT_TRUE(CopyNssFixture(*home_)) << "make-nssdb.sh failed";
    vars_ = new std::map<std::string, std::string>(ReadEnvFile(*home_ + "/fixture/fixture.env"));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(*home_, ec);
    delete home_;
    delete vars_;
  }
  void SetUp() override {
    // No display: a selection dialog answers as cancelled.
    serve_ = std::make_unique<ServeClient>(
        std::map<std::string, std::string>{{"HOME", *home_}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
  }
  json R(const std::string& m, const json& p) { return serve_->Result(m, p); }
  std::string File(const std::string& name) const { return *home_ + "/fixture/" + name; }
  std::string Serial(const std::string& name) const { return vars_->at("SERIAL_" + name); }

  static std::string* home_;
  static std::map<std::string, std::string>* vars_;
  std::unique_ptr<ServeClient> serve_;
};
std::string* StoreServe::home_ = nullptr;
std::map<std::string, std::string>* StoreServe::vars_ = nullptr;

TEST_F(StoreServe, SignaturesLeaveLeastSignificantByteFirst) {
  const std::string data = "store signing, end to end";
  Pkey pub = LoadKey(ReadText(File("a.pem")), false);
  const std::string serial = Serial("A");
  ASSERT_EQ(serial.substr(0, 2), "00");
  const Pkey priv = LoadKey(ReadText(File("a.key")), true);
  for (auto [type, md] : {std::pair{0, EVP_sha1()}, std::pair{2, EVP_md5()}, std::pair{256, EVP_sha256()},
                          std::pair{384, EVP_sha384()}, std::pair{512, EVP_sha512()}}) {
    SCOPED_TRACE(type);
    std::string sig = R("SignByCSP", {0, 1, serial, type, Hex(data)});
    ASSERT_EQ(sig.size(), 512u);
    Bytes raw = codec::HexToBytes(sig);
    EXPECT_TRUE(OpenSslVerify(pub.get(), md, data, Reversed(raw)));
    EXPECT_FALSE(OpenSslVerify(pub.get(), md, data, raw));
    // Unchanged back into VerifyByCSP, with the certificate in every form.
    EXPECT_EQ(R("VerifyByCSP", {12345, 1, serial, type, Hex(data), sig}), 0);
    EXPECT_EQ(R("VerifyByCSP", {0, 2, ReadText(File("a.pem")), type, Hex(data), sig}), 0);
    EXPECT_EQ(R("VerifyByCSP", {0, 3, Hex(ReadText(File("a.der"))), type, Hex(data), sig}), 0);
    EXPECT_EQ(R("VerifyByCSP", {0, 4, File("a.der"), type, Hex(data), sig}), 0);
    EXPECT_EQ(R("VerifyByCSP", {0, 1, serial, type == 2 ? 0 : 2, Hex(data), sig}), 1007);
    EXPECT_EQ(R("VerifyByCSP", {0, 1, serial, type, Hex(data), Hex(Reversed(OpenSslSign(priv.get(), md, data)))}), 0);
    EXPECT_EQ(R("VerifyByCSP", {0, 1, serial, type, Hex(data), Hex(Reversed(raw))}), 1007);
  }
  // MD2 signs and verifies through the store too (OpenSSL here has no MD2).
  std::string md2 = R("SignByCSP", {0, 1, serial, 1, Hex(data)});
  EXPECT_EQ(R("VerifyByCSP", {0, 1, serial, 1, Hex(data), md2}), 0);
  EXPECT_EQ(R("SignByCSP", {0, 1, serial, 5, Hex(data)}), "");
  EXPECT_EQ(R("VerifyByCSP", {0, 1, serial, 5, Hex(data), md2}), 1005);
  // The serial needs its leading 00; lower-case digits are fine.
  EXPECT_EQ(R("VerifyByCSP", {0, 1, serial.substr(2), 0, Hex(data), md2}), 1011);
  std::string lower = serial;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(R("SignByCSP", {0, 1, lower, 0, Hex(data)}), R("SignByCSP", {0, 1, serial, 0, Hex(data)}));
}

TEST_F(StoreServe, EncryptionInteroperatesWithOpenSsl) {
  const Bytes plain = {'p', 'i', 'n', 0x00, 0xFF, 0x10};
  const std::string serial = Serial("B");
  std::string cipher = R("EncryptByCSP", {0, 1, serial, 0, Hex(plain)});
  ASSERT_EQ(cipher.size(), 512u);
  Pkey priv = LoadKey(ReadText(File("b.key")), true);
  EXPECT_EQ(OpenSslCrypt(priv.get(), Reversed(codec::HexToBytes(cipher)), false), plain);
  EXPECT_EQ(R("DecryptByCSP", {0, 1, serial, 0, cipher}), Hex(plain));

  Bytes fromOpenSsl = OpenSslCrypt(LoadKey(ReadText(File("b.pem")), false).get(), plain, true);
  EXPECT_EQ(R("DecryptByCSP", {0, 1, serial, 0, Hex(Reversed(fromOpenSsl))}), Hex(plain));
  // A certificate from caller data encrypts for the same key.
  std::string viaFile = R("EncryptByCSP", {0, 4, File("b.pem"), 0, Hex(plain)});
  EXPECT_EQ(R("DecryptByCSP", {0, 1, serial, 0, viaFile}), Hex(plain));
  EXPECT_EQ(R("DecryptByCSP", {0, 2, ReadText(File("b.pem")), 0, viaFile}), "");
  EXPECT_EQ(R("EncryptByCSP", {0, 1, serial, 0, std::string(2 * 246, '1')}), "");  // longer than 245 bytes
}

TEST_F(StoreServe, StoreCasesAndTheirCodes) {
  const std::string data = Hex(std::string("x"));
  EXPECT_EQ(R("VerifyByCSP", {0, 1, Serial("C"), 0, data, "00"}), 1007);  // found, public key only needed
  EXPECT_EQ(R("SignByCSP", {0, 1, Serial("C"), 0, data}), "");             // no private key
  EXPECT_EQ(R("SignByCSP", {0, 0, "", 0, data}), "");                      // dialog cannot show: nothing chosen
  EXPECT_EQ(R("VerifyByCSP", {0, 0, "", 0, data, "00"}), 1301);
  EXPECT_EQ(R("VerifyByCSP", {0, 7, "", 0, data, "00"}), 1004);
  EXPECT_EQ(R("VerifyByCSP", {0, 4, File("missing.pem"), 0, data, "00"}), 1304);
  EXPECT_EQ(R("VerifyByCSP", {0, 3, "", 0, data, "00"}), 1302);
  EXPECT_EQ(R("VerifyByCSP", {0, 2, "-----BEGIN CERTIFICATE-----\nAAAA", 0, data, "00"}), 1004);
  // A signature-only key does not decrypt.
  std::string cipher = R("EncryptByCSP", {0, 1, Serial("SIGONLY"), 0, data});
  EXPECT_EQ(R("DecryptByCSP", {0, 1, Serial("SIGONLY"), 0, cipher}), "");
  EXPECT_EQ(R("VerifyCertCRL", {0, 4, File("missing.pem")}), 1);
}

}  // namespace
}  // namespace kelo::test
