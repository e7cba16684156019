// A certificate store without a platform behind it, for tests of the store
// layer's own logic and of the facade's store handlers.
#ifndef KELO_TESTS_FAKE_STORE_H
#define KELO_TESTS_FAKE_STORE_H

#include <cstring>
#include <string>
#include <vector>

#include "csp/cert_store.h"
#include "common/result_codes.h"

namespace kelo::test {

using csp::Bytes;

inline int g_live = 0;  // fake objects alive: every path must release them all

inline bool Named(HashType h) { return h == HashType::kSha1 || h == HashType::kMd2 || h == HashType::kMd5; }

struct Live {
  Live() { ++g_live; }
  Live(const Live&) { ++g_live; }
  ~Live() { --g_live; }
};

// A "certificate" is the text FAKECERT followed by its serial bytes.
class FakeCert final : public csp::Certificate {
 public:
  explicit FakeCert(Bytes serial, bool hasKey = true) : serial_(std::move(serial)), hasKey_(hasKey) {}
  Bytes SerialNumber() const override { return serial_; }
  Bytes Encoded() const override {
    Bytes b(8 + serial_.size());
    std::memcpy(b.data(), "FAKECERT", 8);
    if (!serial_.empty()) std::memcpy(b.data() + 8, serial_.data(), serial_.size());
    return b;
  }
  std::string Subject() const override { return "CN=fake"; }
  std::string Issuer() const override { return "CN=fake"; }
  std::string NotAfter() const override { return "2030-01-01"; }
  bool hasKey() const { return hasKey_; }

 private:
  Live live_;
  Bytes serial_;
  bool hasKey_;
};

// Signatures and ciphertexts are the input reversed, tagged with the hash type.
class FakePublicKey final : public csp::PublicKey {
 public:
  ResultCode Encrypt(const std::uint8_t* d, std::size_t n, std::size_t capacity, Bytes& out) override {
    if (n > 8) return kErrEncrypt;  // "longer than the key can take"
    out.assign(d, d + n);
    out.push_back(0xEE);
    return out.size() > capacity ? kErrEncrypt : kOk;
  }
  ResultCode Verify(HashType hashType, const std::uint8_t* d, std::size_t n, const std::uint8_t* sig,
                    std::size_t sigLen) override {
    if (!Named(hashType)) return kErrHash;
    Bytes expect(d, d + n);
    expect.push_back(static_cast<std::uint8_t>(hashType));
    return Bytes(sig, sig + sigLen) == expect ? kOk : kErrVerify;
  }

 private:
  Live live_;
};

class FakePrivateKey final : public csp::PrivateKey {
 public:
  explicit FakePrivateKey(bool canDecrypt) : canDecrypt_(canDecrypt) {}
  bool CanDecrypt() const override { return canDecrypt_; }
  ResultCode Sign(HashType hashType, const std::uint8_t* d, std::size_t n, Bytes& sig) override {
    if (!Named(hashType)) return kErrHash;
    sig.assign(d, d + n);
    sig.push_back(static_cast<std::uint8_t>(hashType));
    return kOk;
  }
  ResultCode Decrypt(const std::uint8_t* d, std::size_t n, Bytes& plain) override {
    if (n == 0 || d[n - 1] != 0xEE) return kErrDecrypt;
    plain.assign(d, d + n - 1);
    return kOk;
  }

 private:
  Live live_;
  bool canDecrypt_;
};

class FakePersonal final : public csp::PersonalStore {
 public:
  explicit FakePersonal(const std::vector<Bytes>& serials) : serials_(serials) {}
  std::vector<std::unique_ptr<csp::Certificate>> Certificates() override {
    std::vector<std::unique_ptr<csp::Certificate>> out;
    for (const Bytes& s : serials_) out.push_back(std::make_unique<FakeCert>(s, s != Bytes{0xC0}));
    return out;
  }

 private:
  Live live_;
  std::vector<Bytes> serials_;
};

struct FakeState {
  std::vector<Bytes> serials;  // the personal store; serial C0 has no private key
  bool openFails = false;
  int opens = 0;
  int chosen = -1;
  int chooserCalls = 0;
  bool decryptAllowed = true;
  ResultCode providerRc = kOk;
};

class FakeStore final : public csp::CertStore {
 public:
  explicit FakeStore(FakeState& s) : s_(s) {}
  ResultCode OpenPersonal(std::unique_ptr<csp::PersonalStore>& store) override {
    ++s_.opens;
    if (s_.openFails) return kErrOpenStore;
    store = std::make_unique<FakePersonal>(s_.serials);
    return kOk;
  }
  std::unique_ptr<csp::Certificate> Parse(const std::uint8_t* der, std::size_t n) override {
    static const std::string kMagic = "FAKECERT";
    if (n < kMagic.size() || std::string(der, der + kMagic.size()) != kMagic) return nullptr;
    return std::make_unique<FakeCert>(Bytes(der + kMagic.size(), der + n), false);
  }
  ResultCode AcquirePublicKey(const csp::Certificate&, std::unique_ptr<csp::PublicKey>& key) override {
    if (s_.providerRc != kOk) return s_.providerRc;
    key = std::make_unique<FakePublicKey>();
    return kOk;
  }
  ResultCode AcquirePrivateKey(const csp::Certificate& cert, std::unique_ptr<csp::PrivateKey>& key) override {
    if (!static_cast<const FakeCert&>(cert).hasKey()) return kErrGetKey;
    key = std::make_unique<FakePrivateKey>(s_.decryptAllowed);
    return kOk;
  }

 private:
  FakeState& s_;
};

class FakeChooser final : public csp::CertificateChooser {
 public:
  explicit FakeChooser(FakeState& s) : s_(s) {}
  int Choose(const std::vector<const csp::Certificate*>&) override {
    ++s_.chooserCalls;
    return s_.chosen;
  }

 private:
  FakeState& s_;
};

}  // namespace kelo::test

#endif
