// End to end: `kelo-ca serve` driving a SoftHSM2 token through the shim
// module, with every cryptographic result checked against OpenSSL.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "codec/codec.h"
#include "tests/serve_client.h"
#include "tests/support/env_file.h"

namespace kelo::test {
namespace {

using json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct CtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// A private SoftHSM2 token with two key pairs, made by the fixture script.
struct Token {
  std::string dir;
  std::map<std::string, std::string> vars;  // from token.env

  static Token Make(const std::string& label, const std::string& options = "") {
    Token t;
    char tmpl[] = "/tmp/kelo-e2e-XXXXXX";
    t.dir = mkdtemp(tmpl);
    std::string cmd = std::string("bash ") + KELO_BIN + "/make-token.sh " + t.dir + " --label " + label +
                      " --keys 2 " + options + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("make-token.sh failed: " + cmd);
    t.vars = ReadEnvFile(t.dir + "/token.env");
    return t;
  }
  void Remove() const { std::system(("rm -rf " + dir).c_str()); }
  std::map<std::string, std::string> Env() const {
    return {{"LD_LIBRARY_PATH", std::string(KELO_BIN) + "/softhsm"}, {"SOFTHSM2_CONF", vars.at("SOFTHSM2_CONF")}};
  }
  Pkey PublicKey(int k) const { return CertKey("cert" + std::to_string(k) + ".pem"); }
  // The public key of a certificate file of the token directory.
  Pkey CertKey(const std::string& file) const {
    std::string pem = ReadText(dir + "/" + file);
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    Pkey key(cert ? X509_get_pubkey(cert) : nullptr);
    X509_free(cert);
    return key;
  }
  Pkey PrivateKey(int k) const { return KeyFile("key" + std::to_string(k) + ".pem"); }
  Pkey KeyFile(const std::string& file) const {
    std::string pem = ReadText(dir + "/" + file);
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    Pkey key(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    return key;
  }
};

Bytes Unhex(const std::string& s) { return codec::HexToBytes(s); }
std::string Hex(const Bytes& b) { return codec::BytesToHex(b.data(), b.size()); }
std::string Hex(const std::string& s) {
  return codec::BytesToHex(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

bool OpenSslVerify(EVP_PKEY* key, const EVP_MD* md, const std::string& data, const Bytes& sig) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) != 1) return false;
  return EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), reinterpret_cast<const unsigned char*>(data.data()),
                          data.size()) == 1;
}

Bytes OpenSslSign(EVP_PKEY* key, const EVP_MD* md, const std::string& data) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  std::size_t len = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  if (EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &len, p, data.size()) != 1)
    return {};
  Bytes sig(len);
  if (EVP_DigestSign(ctx.get(), sig.data(), &len, p, data.size()) != 1) return {};
  sig.resize(len);
  return sig;
}

// ECDSA signatures: the token's r||s (each half the curve's size) and
// OpenSSL's DER SEQUENCE of two INTEGERs.
struct EcdsaSigFree {
  void operator()(ECDSA_SIG* s) const { ECDSA_SIG_free(s); }
};
Bytes RsToDer(const Bytes& rs) {
  std::unique_ptr<ECDSA_SIG, EcdsaSigFree> sig(ECDSA_SIG_new());
  const int half = static_cast<int>(rs.size() / 2);
  ECDSA_SIG_set0(sig.get(), BN_bin2bn(rs.data(), half, nullptr), BN_bin2bn(rs.data() + half, half, nullptr));
  unsigned char* der = nullptr;
  const int len = i2d_ECDSA_SIG(sig.get(), &der);
  Bytes out(der, der + (len > 0 ? len : 0));
  OPENSSL_free(der);
  return out;
}
Bytes DerToRs(const Bytes& der, std::size_t half) {
  const unsigned char* p = der.data();
  std::unique_ptr<ECDSA_SIG, EcdsaSigFree> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
  if (!sig) return {};
  Bytes out(2 * half);
  BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out.data(), static_cast<int>(half));
  BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out.data() + half, static_cast<int>(half));
  return out;
}

Bytes OpenSslEncrypt(EVP_PKEY* key, const Bytes& plain) {
  std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new(key, nullptr));
  EVP_PKEY_encrypt_init(ctx.get());
  EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
  std::size_t len = 0;
  EVP_PKEY_encrypt(ctx.get(), nullptr, &len, plain.data(), plain.size());
  Bytes out(len);
  if (EVP_PKEY_encrypt(ctx.get(), out.data(), &len, plain.data(), plain.size()) != 1) return {};
  out.resize(len);
  return out;
}

Bytes OpenSslDecrypt(EVP_PKEY* key, const Bytes& cipher) {
  std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new(key, nullptr));
  EVP_PKEY_decrypt_init(ctx.get());
  EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
  std::size_t len = 0;
  EVP_PKEY_decrypt(ctx.get(), nullptr, &len, cipher.data(), cipher.size());
  Bytes out(len);
  if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, cipher.data(), cipher.size()) != 1) return {};
  out.resize(len);
  return out;
}

// Handles of one key pair's objects, found through their shared CKA_ID.
struct Objects {
  json cert, pub, priv;
};

class SoftHsmServe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { token_ = new Token(Token::Make("kelo-e2e", "--ec --shared-serial")); }
  static void TearDownTestSuite() {
    token_->Remove();
    delete token_;
  }
  void SetUp() override {
    serve_ = std::make_unique<ServeClient>(token_->Env());
    sid_ = serve_->Result("ConnectToken");
    ASSERT_TRUE(sid_.is_number_integer());
  }
  json R(const std::string& m, const json& p) { return serve_->Result(m, p); }
  json Find(const char* method, const std::string& idHex) {
    for (int i = 0; i < 10; ++i) {
      json h = R(method, {sid_, i});
      if (R("GetAttribute", {sid_, h, 2}) == idHex) return h;
    }
    return nullptr;
  }
  Objects Pair(int k) {
    std::string id = std::to_string(k);
    id.insert(0, 1, '0');  // CKA_ID 01, 02: one byte
    return Pair(id);
  }
  Objects Pair(const std::string& id) {
    return {Find("EnumCertificate", id), Find("EnumPublicKey", id), Find("EnumPrivateKey", id)};
  }

  static Token* token_;
  std::unique_ptr<ServeClient> serve_;
  json sid_;
};
Token* SoftHsmServe::token_ = nullptr;

TEST_F(SoftHsmServe, SerialsSessionCheckAndDisconnect) {
  std::string serial = R("RetrieveSerial", {sid_});
  ASSERT_EQ(serial.size(), 16u);
  EXPECT_EQ(serial.substr(0, token_->vars["KELO_TOKEN_SERIAL"].size()), token_->vars["KELO_TOKEN_SERIAL"]);
  // SoftHSM2 adds an uninitialised slot whose serial is blank.
  EXPECT_EQ(R("RetrieveAllTokenSerial", {sid_}), serial + "," + std::string(16, ' '));
  json wrong = sid_.get<long long>() ^ 1;
  EXPECT_EQ(R("RetrieveSerial", {wrong}), "1002");
  EXPECT_EQ(R("Login", {wrong, "1234"}), 1002);
  EXPECT_EQ(R("DisconnectToken", {sid_}), 0);
  EXPECT_EQ(R("Login", {sid_, "1234"}), 1002);
  EXPECT_EQ(R("ConnectToken", json::array()), sid_);
}

TEST_F(SoftHsmServe, ObjectsAndAttributesMatchTheFixtureFiles) {
  // Private keys stay hidden until the user logs in.
  EXPECT_EQ(R("EnumPrivateKey", {sid_, 0}), 1011);
  EXPECT_EQ(R("Login", {sid_, "9999"}), 4001);
  ASSERT_EQ(R("Login", {sid_, "1234"}), 0);
  EXPECT_EQ(R("Login", {sid_, "1234"}), 0);  // already logged in is fine
  EXPECT_EQ(R("EnumCertificate", {sid_, 7}), 1011);  // 2 RSA, 3 EC and 2 sharing a serial
  EXPECT_EQ(R("EnumCertificate", {sid_, -1}), 1011);
  for (int k = 1; k <= 2; ++k) {
    SCOPED_TRACE(k);
    Objects o = Pair(k);
    ASSERT_FALSE(o.cert.is_null());
    ASSERT_FALSE(o.priv.is_null());
    std::string pem = R("GetAttribute", {sid_, o.cert, 1});
    EXPECT_EQ(pem.rfind("-----BEGIN CERTIFICATE-----\r\n", 0), 0u);
    Bytes der;
    ASSERT_EQ(codec::PemDecode(pem.data(), pem.size(), der), 0);
    std::string fileDer = ReadText(token_->dir + "/cert" + std::to_string(k) + ".der");
    EXPECT_EQ(std::string(der.begin(), der.end()), fileDer);
    EXPECT_EQ(R("GetAttribute", {sid_, o.cert, 3}), token_->vars["KELO_CERT" + std::to_string(k) + "_SERIAL_HEX"]);
    EXPECT_EQ(R("GetAttribute", {sid_, o.cert, 4}), "");
  }
  EXPECT_EQ(R("GetAttribute", {sid_, 987654, 1}), "");
  EXPECT_EQ(R("Logout", {sid_}), 0);
  EXPECT_EQ(R("EnumPrivateKey", {sid_, 0}), 1011);  // hidden again
}

TEST_F(SoftHsmServe, SignaturesVerifyWithOpenSsl) {
  ASSERT_EQ(R("Login", {sid_, "1234"}), 0);
  Objects o = Pair(1);
  Pkey pub = token_->PublicKey(1);
  const std::string data = "data to sign, with some length to it";
  struct Alg {
    int type;
    const EVP_MD* md;
  } algs[] = {{0, EVP_sha1()}, {2, EVP_md5()}, {256, EVP_sha256()}, {384, EVP_sha384()}, {512, EVP_sha512()}};
  Pkey priv = token_->PrivateKey(1);
  for (const Alg& a : algs) {
    SCOPED_TRACE(a.type);
    std::string sig = R("Sign", {sid_, o.priv, a.type, Hex(data)});
    ASSERT_EQ(sig.size(), 512u);
    EXPECT_TRUE(OpenSslVerify(pub.get(), a.md, data, Unhex(sig)));
    EXPECT_EQ(R("Verify", {sid_, o.pub, a.type, Hex(data), sig}), 0);
    EXPECT_EQ(R("Verify", {sid_, o.pub, a.type, Hex(data), Hex(OpenSslSign(priv.get(), a.md, data))}), 0);
    std::string tampered = sig;
    tampered[10] = tampered[10] == '0' ? '1' : '0';
    EXPECT_EQ(R("Verify", {sid_, o.pub, a.type, Hex(data), tampered}), 1007);
    EXPECT_EQ(R("Verify", {sid_, o.pub, a.type, Hex(data + "!"), sig}), 1007);
  }
  // SoftHSM2 has no MD2.
  EXPECT_EQ(R("Sign", {sid_, o.priv, 1, Hex(data)}), "");

  // A raw PKCS#1 signature over a SHA-1 DigestInfo equals the SHA-1 signature.
  std::string digest = R("Hash", {sid_, 0, Hex(data)});
  std::string digestInfo = "3021300906052B0E03021A05000414" + digest;
  EXPECT_EQ(R("Sign", {sid_, o.priv, 7, digestInfo}), R("Sign", {sid_, o.priv, 0, Hex(data)}));
  EXPECT_EQ(R("Verify", {sid_, o.pub, -1, digestInfo, R("Sign", {sid_, o.priv, 0, Hex(data)})}), 0);

  // By serial number: the leading 00 of the DER content is part of it.
  std::string serial = token_->vars["KELO_CERT1_SERIAL_HEX"];
  ASSERT_EQ(serial.substr(0, 2), "00");
  std::string bySerial = R("SignByCertSerial", {sid_, serial, 0, Hex(data)});
  EXPECT_EQ(bySerial, R("Sign", {sid_, o.priv, 0, Hex(data)}));
  EXPECT_EQ(R("VerifyByCertSerial", {sid_, serial, 0, Hex(data), bySerial}), 0);
  EXPECT_EQ(R("SignByCertSerial", {sid_, serial.substr(2), 0, Hex(data)}), "");
  EXPECT_EQ(R("VerifyByCertSerial", {sid_, serial.substr(2), 0, Hex(data), bySerial}), 1011);
  EXPECT_EQ(R("VerifyByCertSerial", {sid_, "", 0, Hex(data), bySerial}), 1004);
}

// SoftHSM2 has no ECDSA-with-hash mechanism: the control digests, then signs
// with CKM_ECDSA. Signatures are r||s both ways.
TEST_F(SoftHsmServe, EcdsaOnEveryCurveInteroperatesWithOpenSsl) {
  ASSERT_EQ(R("Login", {sid_, "1234"}), 0);
  const std::string data = "data to sign with an EC key";
  const struct {
    const char* id;
    int bits;
    std::size_t half;
  } curves[] = {{"EC01", 256, 32}, {"EC02", 384, 48}, {"EC03", 521, 66}};
  const struct {
    int type;
    const EVP_MD* md;
  } algs[] = {{0, EVP_sha1()}, {256, EVP_sha256()}, {384, EVP_sha384()}, {512, EVP_sha512()}};
  for (const auto& c : curves) {
    SCOPED_TRACE(c.bits);
    const Objects o = Pair(c.id);
    ASSERT_FALSE(o.priv.is_null());
    const std::string base = "ec" + std::to_string(c.bits);
    Pkey pub = token_->CertKey(base + "-cert.pem"), priv = token_->KeyFile(base + "-key.pem");
    const std::string serial = token_->vars["KELO_EC" + std::to_string(c.bits) + "_SERIAL_HEX"];
    for (const auto& a : algs) {
      SCOPED_TRACE(a.type);
      const std::string sig = R("Sign", {sid_, o.priv, a.type, Hex(data)});
      ASSERT_EQ(sig.size(), 4 * c.half);
      EXPECT_TRUE(OpenSslVerify(pub.get(), a.md, data, RsToDer(Unhex(sig))));
      EXPECT_EQ(R("Verify", {sid_, o.pub, a.type, Hex(data), sig}), 0);
      const Bytes theirs = DerToRs(OpenSslSign(priv.get(), a.md, data), c.half);
      EXPECT_EQ(R("Verify", {sid_, o.pub, a.type, Hex(data), Hex(theirs)}), 0);
      EXPECT_EQ(R("Verify", {sid_, o.pub, a.type, Hex(data + "!"), Hex(theirs)}), 1007);
      const std::string bySerial = R("SignByCertSerial", {sid_, serial, a.type, Hex(data)});
      EXPECT_TRUE(OpenSslVerify(pub.get(), a.md, data, RsToDer(Unhex(bySerial))));
      EXPECT_EQ(R("VerifyByCertSerial", {sid_, serial, a.type, Hex(data), Hex(theirs)}), 0);
    }
    // A hash type without a name signs the given bytes: here a SHA-256 digest.
    const std::string digest = R("Hash", {sid_, 256, Hex(data)});
    EXPECT_TRUE(OpenSslVerify(pub.get(), EVP_sha256(), data, RsToDer(Unhex(R("Sign", {sid_, o.priv, 7, digest})))));
    // MD5 is digested by the module, then signed; there is no MD2.
    EXPECT_EQ(R("Verify", {sid_, o.pub, 2, Hex(data), R("Sign", {sid_, o.priv, 2, Hex(data)})}), 0);
    EXPECT_EQ(R("Sign", {sid_, o.priv, 1, Hex(data)}), "");
    // RSA only: a clean failure, and the session goes on.
    EXPECT_EQ(R("Encrypt", {sid_, o.pub, 0, "00112233"}), "");
    EXPECT_EQ(R("Decrypt", {sid_, o.priv, 0, std::string(4 * c.half, 'A')}), "");
    EXPECT_EQ(R("Verify", {sid_, o.pub, 0, Hex(data), R("Sign", {sid_, o.priv, 0, Hex(data)})}), 0);
  }
}

// Two certificates share a serial: the one the module delivers first in the
// plain walk signs, whether or not the narrowed search finds them.
TEST_F(SoftHsmServe, SharedSerialSignsWithTheFirstCertificateDelivered) {
  const std::string serial = token_->vars["KELO_SHARED_SERIAL_HEX"];
  std::string firstId;
  for (int i = 0; firstId.empty(); ++i) {
    const json cert = R("EnumCertificate", {sid_, i});
    ASSERT_NE(cert, 1011) << "no certificate with serial " << serial;
    if (R("GetAttribute", {sid_, cert, 3}) == serial) firstId = R("GetAttribute", {sid_, cert, 2});
  }
  ASSERT_TRUE(firstId == "5E01" || firstId == "5E02") << firstId;
  const std::string winner = "shared" + firstId.substr(3) + "-cert.pem";
  const std::string loser = firstId == "5E01" ? "shared2-cert.pem" : "shared1-cert.pem";
  const std::string data = "shared serial";
  for (const char* narrowed : {"", "1"}) {
    SCOPED_TRACE(*narrowed ? "narrowed searches find nothing" : "narrowed searches");
    auto env = token_->Env();
    env["KELO_SHIM_NARROWED_FINDS_NOTHING"] = narrowed;
    ServeClient serve(env);
    const json sid = serve.Result("ConnectToken");
    ASSERT_EQ(serve.Result("Login", {sid, "1234"}), 0);
    const std::string sig = serve.Result("SignByCertSerial", {sid, serial, 256, Hex(data)});
    EXPECT_TRUE(OpenSslVerify(token_->CertKey(winner).get(), EVP_sha256(), data, Unhex(sig)));
    EXPECT_FALSE(OpenSslVerify(token_->CertKey(loser).get(), EVP_sha256(), data, Unhex(sig)));
    EXPECT_EQ(serve.Result("VerifyByCertSerial", {sid, serial, 256, Hex(data), sig}), 0);
  }
}

TEST_F(SoftHsmServe, EncryptionInteroperatesWithOpenSsl) {
  ASSERT_EQ(R("Login", {sid_, "1234"}), 0);
  Objects o = Pair(2);
  Bytes plain = {0x00, 0x01, 0x7F, 0x80, 0xFF, 'k', 'e', 'l', 'o'};
  Bytes fromOpenSsl = OpenSslEncrypt(token_->PublicKey(2).get(), plain);
  ASSERT_EQ(fromOpenSsl.size(), 256u);
  EXPECT_EQ(R("Decrypt", {sid_, o.priv, 0, Hex(fromOpenSsl)}), Hex(plain));

  std::string cipher = R("Encrypt", {sid_, o.pub, 0, Hex(plain)});
  ASSERT_EQ(cipher.size(), 512u);
  EXPECT_EQ(OpenSslDecrypt(token_->PrivateKey(2).get(), Unhex(cipher)), plain);
  // Lower-case input digits decode the same; output is upper case.
  std::string lower = cipher;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(R("Decrypt", {sid_, o.priv, 0, lower}), Hex(plain));
  EXPECT_EQ(R("Encrypt", {sid_, o.pub, 0, ""}), "");
  // Too long for PKCS#1 v1.5 with a 2048-bit key.
  EXPECT_EQ(R("Encrypt", {sid_, o.pub, 0, std::string(2 * 246, 'A')}), "");
  // The session still works after that refusal.
  EXPECT_EQ(R("Decrypt", {sid_, o.priv, 0, cipher}), Hex(plain));
}

TEST_F(SoftHsmServe, DigestsMatchKnownValues) {
  EXPECT_EQ(R("Hash", {sid_, 0, "616263"}), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(R("Hash", {sid_, 0, "616263F"}), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(R("Hash", {sid_, 2, "616263"}), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(R("Hash", {sid_, 0, "6"}), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");  // empty message
  EXPECT_EQ(R("Hash", {sid_, 256, "616263"}), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
  EXPECT_EQ(R("Hash", {sid_, 384, "616263"}),
            "CB00753F45A35E8BB5A03D699AC65007272C32AB0EDED1631A8B605A43FF5BED8086072BA1E7CC2358BAECA134C825A7");
  EXPECT_EQ(R("Hash", {sid_, 512, "616263"}),
            "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
            "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F");
  EXPECT_EQ(R("Hash", {sid_, 1, "616263"}), "");  // no MD2 in SoftHSM2
  EXPECT_EQ(R("Hash", {sid_, 3, "616263"}), "");
  EXPECT_EQ(R("Hash", {sid_, 0, ""}), "");
}

// PIN management and initialisation change what the token accepts. Each
// test works on a token of its own.
class SoftHsmPins : public ::testing::Test {
 protected:
  void SetUp() override {
    token_ = Token::Make("kelo-pins");
    serve_ = std::make_unique<ServeClient>(token_.Env());
    sid_ = serve_->Result("ConnectToken");
  }
  void TearDown() override {
    serve_.reset();
    token_.Remove();
  }
  json R(const std::string& m, const json& p) { return serve_->Result(m, p); }
  Token token_;
  std::unique_ptr<ServeClient> serve_;
  json sid_;
};

TEST_F(SoftHsmPins, ChangeAndUnblockPins) {
  EXPECT_EQ(R("ChangeUserPin", {sid_, "0000", "5678"}), 4001);
  EXPECT_EQ(R("ChangeUserPin", {sid_, "1234", "5678"}), 0);
  EXPECT_EQ(R("Login", {sid_, "1234"}), 4001);
  EXPECT_EQ(R("Login", {sid_, "5678"}), 0);
  EXPECT_EQ(R("Logout", {sid_}), 0);

  EXPECT_EQ(R("ChangeSOPin", {sid_, "12345678", "87654321"}), 0);
  EXPECT_EQ(R("UnblockUserPin", {sid_, "12345678", "1111"}), 4001);
  EXPECT_EQ(R("UnblockUserPin", {sid_, "87654321", "2468"}), 0);
  EXPECT_EQ(R("Login", {sid_, "5678"}), 4001);
  EXPECT_EQ(R("Login", {sid_, "2468"}), 0);
}

TEST_F(SoftHsmPins, TokenInitializeWipesTheTokenAndSetsTheNewPin) {
  EXPECT_EQ(R("TokenInitialize", {sid_, "wrong-so", "4321", "renamed"}), 4001);
  ASSERT_EQ(R("ConnectToken", json::array()), sid_);
  ASSERT_EQ(R("TokenInitialize", {sid_, "12345678", "4321", "renamed"}), 0);
  EXPECT_EQ(R("Login", {sid_, "4321"}), 1002);  // disconnected by design
  ASSERT_EQ(R("ConnectToken", json::array()), sid_);
  EXPECT_EQ(R("Login", {sid_, "1234"}), 4001);
  EXPECT_EQ(R("Login", {sid_, "4321"}), 0);
  EXPECT_EQ(R("EnumCertificate", {sid_, 0}), 1011);  // objects are gone
}

}  // namespace
}  // namespace kelo::test
