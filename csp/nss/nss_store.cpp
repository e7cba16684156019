// The certificate store over NSS: the user's database is the personal
// store, and NSS does the hashing and RSA. NSS speaks big-endian; the
// interface is least significant byte first, so signatures and ciphertexts
// are reversed on the way in and out.
#include <cert.h>
#include <keyhi.h>
#include <pk11pub.h>
#include <prtime.h>
#include <secoid.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "csp/cert_store.h"
#include "csp/digest_info.h"
#include "csp/nss/nss_context.h"
#include "csp/nss/nss_handles.h"
#include "csp/nss/nss_password.h"
#include "csp/nss/serial_index.h"
#include "platform/wipe.h"

namespace kelo::csp {
namespace {

using nss::CertHandle;
using nss::NssRef;
using nss::NssState;

// Sign reports every failure as a hashing failure, as the interface says.
constexpr ResultCode kSignFailed = kErrHash;
constexpr unsigned kPkcs1Overhead = 11;

// NSS reads from the pointer even for zero bytes; give it a valid one.
const std::uint8_t kNoBytes[1] = {0};
const std::uint8_t* NonNull(const std::uint8_t* p) { return p != nullptr ? p : kNoBytes; }

Bytes ItemBytes(const SECItem& item) {
  return item.data != nullptr ? Bytes(item.data, item.data + item.len) : Bytes{};
}

SECItem MakeItem(const std::uint8_t* data, std::size_t n) {
  return SECItem{siBuffer, const_cast<unsigned char*>(data), static_cast<unsigned int>(n)};
}

SECOidTag HashTag(HashType hashType) {
  switch (hashType) {
    case HashType::kSha1: return SEC_OID_SHA1;
    case HashType::kMd2: return SEC_OID_MD2;
    case HashType::kMd5: return SEC_OID_MD5;
    case HashType::kSha256: return SEC_OID_SHA256;
    case HashType::kSha384: return SEC_OID_SHA384;
    case HashType::kSha512: return SEC_OID_SHA512;
    default: return SEC_OID_UNKNOWN;
  }
}

// The DigestInfo of data under hashType, the block PKCS #1 v1.5 signs.
bool BuildDigestInfo(HashType hashType, const std::uint8_t* data, std::size_t n, Bytes& info) {
  const DigestAlgorithm* algorithm = FindDigestAlgorithm(hashType);
  if (algorithm == nullptr || n > static_cast<std::size_t>(INT32_MAX)) return false;
  const std::size_t prefix = algorithm->prefix.size();
  info.assign(algorithm->prefix.begin(), algorithm->prefix.end());
  info.resize(prefix + algorithm->digestLength);
  return PK11_HashBuf(HashTag(hashType), info.data() + prefix, NonNull(data), static_cast<PRInt32>(n)) == SECSuccess;
}

// Without a key usage extension a key may do anything.
bool UsageAllows(const CERTCertificate* cert, unsigned int bits) {
  return cert->keyUsagePresent == PR_FALSE || (cert->rawKeyUsage & bits) != 0;
}

bool KeyAttributeSet(SECKEYPrivateKey* key, CK_ATTRIBUTE_TYPE type) {
  return PK11_HasAttributeSet(key->pkcs11Slot, key->pkcs11ID, type, PR_FALSE) == CK_TRUE;
}

class NssCertificate final : public Certificate {
 public:
  NssCertificate(NssRef nss, CertHandle cert) : nss_(std::move(nss)), cert_(std::move(cert)) {}

  Bytes SerialNumber() const override { return ItemBytes(cert_->serialNumber); }
  Bytes Encoded() const override { return ItemBytes(cert_->derCert); }
  std::string Subject() const override { return cert_->subjectName != nullptr ? cert_->subjectName : ""; }
  std::string Issuer() const override { return cert_->issuerName != nullptr ? cert_->issuerName : ""; }
  std::string NotAfter() const override {
    PRTime notBefore = 0;
    PRTime notAfter = 0;
    if (CERT_GetCertTimes(cert_.get(), &notBefore, &notAfter) != SECSuccess) return {};
    PRExplodedTime t{};
    PR_ExplodeTime(notAfter, PR_GMTParameters, &t);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", static_cast<int>(t.tm_year) % 10000, t.tm_month + 1, t.tm_mday);
    return text;
  }

  CERTCertificate* get() const { return cert_.get(); }

 private:
  NssRef nss_;  // first member, so NSS outlives the certificate
  CertHandle cert_;
};

class NssPublicKey final : public PublicKey {
 public:
  NssPublicKey(NssRef nss, nss::PublicKeyHandle key) : nss_(std::move(nss)), key_(std::move(key)) {}

  ResultCode Encrypt(const std::uint8_t* data, std::size_t n, std::size_t capacity, Bytes& out) override {
    const unsigned modulus = SECKEY_PublicKeyStrength(key_.get());
    if (modulus <= kPkcs1Overhead || n > modulus - kPkcs1Overhead || modulus > capacity) return kErrEncrypt;
    Bytes cipher(modulus);
    if (PK11_PubEncryptPKCS1(key_.get(), cipher.data(), NonNull(data), static_cast<unsigned>(n), nullptr) !=
        SECSuccess) {
      return kErrEncrypt;
    }
    std::reverse(cipher.begin(), cipher.end());
    out = std::move(cipher);
    return kOk;
  }

  ResultCode Verify(HashType hashType, const std::uint8_t* data, std::size_t n, const std::uint8_t* sig,
                    std::size_t sigLen) override {
    Bytes info;
    if (!BuildDigestInfo(hashType, data, n, info)) return kSignFailed;
    if (sig == nullptr || sigLen == 0 || sigLen != SECKEY_PublicKeyStrength(key_.get())) return kErrVerify;
    Bytes bigEndian(sig, sig + sigLen);
    std::reverse(bigEndian.begin(), bigEndian.end());
    const SECItem signature = MakeItem(bigEndian.data(), bigEndian.size());
    const SECItem digestInfo = MakeItem(info.data(), info.size());
    return PK11_VerifyWithMechanism(key_.get(), CKM_RSA_PKCS, nullptr, &signature, &digestInfo, nullptr) ==
                   SECSuccess
               ? kOk
               : kErrVerify;
  }

 private:
  NssRef nss_;
  nss::PublicKeyHandle key_;
};

class NssPrivateKey final : public PrivateKey {
 public:
  // The prompt is the key's password context: NSS keeps a pointer to it in
  // the key and uses it if it has to log in again.
  NssPrivateKey(NssRef nss, std::unique_ptr<nss::PasswordPrompt> prompt, nss::PrivateKeyHandle key,
                const CERTCertificate* cert)
      : nss_(std::move(nss)),
        prompt_(std::move(prompt)),
        key_(std::move(key)),
        signUsage_(UsageAllows(cert, KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION)),
        decryptUsage_(UsageAllows(cert, KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT)) {}

  // The key's own attributes are asked for only by the operation that needs
  // them: each question is a database read.
  bool CanDecrypt() const override { return decryptUsage_ && KeyAttributeSet(key_.get(), CKA_DECRYPT); }

  ResultCode Sign(HashType hashType, const std::uint8_t* data, std::size_t n, Bytes& sig) override {
    Bytes info;
    if (!signUsage_ || !KeyAttributeSet(key_.get(), CKA_SIGN) || !BuildDigestInfo(hashType, data, n, info))
      return kSignFailed;
    const int length = PK11_SignatureLen(key_.get());
    if (length <= 0 || static_cast<std::size_t>(length) > kStoreOutputSize) return kSignFailed;
    Bytes signature(static_cast<std::size_t>(length));
    SECItem out = MakeItem(signature.data(), signature.size());
    const SECItem digestInfo = MakeItem(info.data(), info.size());
    // CKM_RSA_PKCS over our own DigestInfo: NSS's hash-and-sign paths refuse
    // MD2 and MD5 by policy.
    if (PK11_SignWithMechanism(key_.get(), CKM_RSA_PKCS, nullptr, &out, &digestInfo) != SECSuccess) return kSignFailed;
    signature.resize(out.len);
    std::reverse(signature.begin(), signature.end());
    sig = std::move(signature);
    return kOk;
  }

  ResultCode Decrypt(const std::uint8_t* data, std::size_t n, Bytes& plain) override {
    const int modulus = PK11_SignatureLen(key_.get());
    if (data == nullptr || n == 0 || modulus <= 0 || n > static_cast<std::size_t>(modulus)) return kErrDecrypt;
    Bytes bigEndian(data, data + n);
    std::reverse(bigEndian.begin(), bigEndian.end());
    platform::SecureBytes out(static_cast<std::size_t>(modulus));
    unsigned outLen = 0;
    if (PK11_PrivDecryptPKCS1(key_.get(), out.data(), &outLen, static_cast<unsigned>(modulus), bigEndian.data(),
                              static_cast<unsigned>(n)) != SECSuccess) {
      return kErrDecrypt;
    }
    plain.assign(out.data(), out.data() + std::min<std::size_t>(outLen, out.size()));
    return kOk;
  }

 private:
  NssRef nss_;
  std::unique_ptr<nss::PasswordPrompt> prompt_;
  nss::PrivateKeyHandle key_;
  bool signUsage_;  // what the certificate's key usage allows
  bool decryptUsage_;
};

class NssPersonalStore final : public PersonalStore {
 public:
  NssPersonalStore(NssRef nss, std::shared_ptr<nss::SerialIndex> index)
      : nss_(std::move(nss)), index_(std::move(index)) {}

  std::vector<std::unique_ptr<Certificate>> Certificates() override {
    std::vector<std::unique_ptr<Certificate>> result;
    if (nss_.State() != NssState::kDatabase) return result;  // no database: an empty store
    nss::SlotHandle slot(PK11_GetInternalKeySlot());
    if (!slot) return result;
    nss::CertListHandle list(PK11_ListCertsInSlot(slot.get()));
    if (!list) return result;
    for (CERTCertListNode* node = CERT_LIST_HEAD(list.get()); !CERT_LIST_END(node, list.get());
         node = CERT_LIST_NEXT(node)) {
      CertHandle cert(CERT_DupCertificate(node->cert));
      if (cert) result.push_back(std::make_unique<NssCertificate>(nss_, std::move(cert)));
    }
    return result;
  }

  std::unique_ptr<Certificate> FindBySerial(const std::uint8_t* serial, std::size_t n) override {
    if (nss_.State() != NssState::kDatabase || (serial == nullptr && n > 0)) return nullptr;
    const std::string directory = nss::OpenDatabaseDirectory();
    if (directory.empty()) return nullptr;
    CertHandle cert = index_->Find(directory, NonNull(serial), n);
    if (!cert) return nullptr;
    return std::make_unique<NssCertificate>(nss_, std::move(cert));
  }

 private:
  NssRef nss_;
  std::shared_ptr<nss::SerialIndex> index_;
};

class NssCertStore final : public CertStore {
 public:
  NssCertStore() : nss_(NssRef::Acquire()) {}

  ResultCode OpenPersonal(std::unique_ptr<PersonalStore>& store) override {
    if (!EnsureStarted()) return kErrOpenStore;
    if (nss_.State() != NssState::kDatabase && nss_.State() != NssState::kNoDatabase) return kErrOpenStore;
    store = std::make_unique<NssPersonalStore>(nss_, index_);
    return kOk;
  }

  std::unique_ptr<Certificate> Parse(const std::uint8_t* der, std::size_t n) override {
    if (der == nullptr || n == 0 || n > UINT_MAX || !EnsureStarted()) return nullptr;
    CertHandle cert = Decode(der, n);
    if (!cert) return nullptr;
    return std::make_unique<NssCertificate>(nss_, std::move(cert));
  }

  ResultCode AcquirePublicKey(const Certificate& cert, std::unique_ptr<PublicKey>& key) override {
    if (!EnsureStarted()) return kErrProvider;
    CertHandle parsed;
    CERTCertificate* nssCert = NssCertificateOf(cert, parsed);
    if (nssCert == nullptr) return kErrGetKey;
    nss::PublicKeyHandle publicKey(CERT_ExtractPublicKey(nssCert));
    if (!publicKey || publicKey->keyType != rsaKey) return kErrGetKey;
    key = std::make_unique<NssPublicKey>(nss_, std::move(publicKey));
    return kOk;
  }

  ResultCode AcquirePrivateKey(const Certificate& cert, std::unique_ptr<PrivateKey>& key) override {
    if (!EnsureStarted()) return kErrGetKey;
    CertHandle parsed;
    CERTCertificate* nssCert = NssCertificateOf(cert, parsed);
    if (nssCert == nullptr) return kErrGetKey;
    auto prompt = std::make_unique<nss::PasswordPrompt>();
    nss::PrivateKeyHandle privateKey(PK11_FindKeyByAnyCert(nssCert, prompt.get()));
    if (!privateKey || privateKey->keyType != rsaKey) return kErrGetKey;
    key = std::make_unique<NssPrivateKey>(nss_, std::move(prompt), std::move(privateKey), nssCert);
    return kOk;
  }

 private:
  // A store made while NSS could not start tries again at each use.
  bool EnsureStarted() {
    if (!nss_.Started()) nss_ = NssRef::Acquire();
    return nss_.Started();
  }

  static CertHandle Decode(const std::uint8_t* der, std::size_t n) {
    SECItem item = MakeItem(der, n);
    item.type = siDERCertBuffer;
    return CertHandle(CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE, PR_TRUE));
  }

  // Our own certificates carry their NSS object; any other implementation
  // is decoded from its encoding into parsed.
  static CERTCertificate* NssCertificateOf(const Certificate& cert, CertHandle& parsed) {
    if (const auto* own = dynamic_cast<const NssCertificate*>(&cert)) return own->get();
    const Bytes der = cert.Encoded();
    if (der.empty() || der.size() > UINT_MAX) return nullptr;
    parsed = Decode(der.data(), der.size());
    return parsed.get();
  }

  NssRef nss_;
  // Kept for the store's life, so lookups by serial after the first one
  // need no walk of the database. It holds bytes only, no NSS objects.
  std::shared_ptr<nss::SerialIndex> index_ = std::make_shared<nss::SerialIndex>();
};

}  // namespace

std::unique_ptr<CertStore> MakePlatformStore() { return std::make_unique<NssCertStore>(); }

}  // namespace kelo::csp
