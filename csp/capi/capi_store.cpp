// The certificate store over CryptoAPI: the current user's system store
// "MY" is the personal store, and the cryptographic service providers do the
// hashing and RSA. CryptoAPI keeps signatures and ciphertexts least
// significant byte first, the interface's own order, so nothing is reversed
// except the serial number, which CERT_INFO keeps in that order too.
#include <windows.h>
#include <wincrypt.h>
#include <cryptuiapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "csp/capi/capi_handles.h"
#include "csp/cert_store.h"
#include "csp/dialog_requester.h"
#include "platform/wipe.h"

namespace kelo::csp {
namespace {

using capi::CertHandle;
using capi::HashHandle;
using capi::KeyHandle;
using capi::ProviderHandle;
using capi::StoreHandle;

// Certificates are parsed as X509_ASN_ENCODING | PKCS_7_NDR_ENCODING and
// public keys imported as X509_ASN_ENCODING | PKCS_7_ASN_ENCODING.
constexpr DWORD kCertificateEncoding = 0x20001;
constexpr DWORD kPublicKeyEncoding = 0x10001;

// No RSA ciphertext comes near this; a larger capacity gets no larger buffer.
constexpr std::size_t kMaxCipherBuffer = 64 * 1024;

// CryptoAPI reads from the pointer even for zero bytes; give it a valid one.
const BYTE kNoBytes[1] = {0};

std::wstring Utf8ToWide(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// The dialog's text (its title stays the system's) names the requester, so
// that a person sees which site wants a certificate; the standard text
// otherwise.
std::wstring ChooserText() {
  const std::string who = DialogRequester();
  if (who.empty()) return {};
  return L"Select a certificate for " + Utf8ToWide(who);
}

const BYTE* NonNull(const std::uint8_t* p) { return p != nullptr ? p : kNoBytes; }

// The length in bytes of an RSA key's modulus, or 0 when the provider does
// not say. The RSA calls read and write whole blocks of this length whatever
// length they are handed, so every area given to them is sized from it.
std::size_t KeyBytes(HCRYPTKEY key) {
  DWORD bits = 0;
  DWORD size = sizeof bits;
  if (!CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0) || size != sizeof bits) return 0;
  return (static_cast<std::size_t>(bits) + 7) / 8;
}

// 0 for a hash type without a name: no provider accepts it, so creating
// the hash fails as for an algorithm the provider lacks.
ALG_ID HashAlgorithm(HashType hashType) {
  switch (hashType) {
    case HashType::kSha1: return CALG_SHA1;
    case HashType::kMd2: return CALG_MD2;
    case HashType::kMd5: return CALG_MD5;
    case HashType::kSha256: return CALG_SHA_256;
    case HashType::kSha384: return CALG_SHA_384;
    case HashType::kSha512: return CALG_SHA_512;
    default:
      return 0;
  }
}

// A hash object of hashType on prov over data; false when the provider
// refuses the algorithm or the data.
bool HashData(HCRYPTPROV prov, HashType hashType, const std::uint8_t* data, std::size_t n, HashHandle& hash) {
  if (n > MAXDWORD || (data == nullptr && n > 0)) return false;
  HCRYPTHASH created = 0;
  if (!CryptCreateHash(prov, HashAlgorithm(hashType), 0, 0, &created)) return false;
  hash.reset(created);
  return CryptHashData(hash.get(), NonNull(data), static_cast<DWORD>(n), 0) != FALSE;
}

// The full RSA provider type has no SHA-2; the RSA and AES type has.
bool NeedsAesProvider(HashType hashType) {
  return hashType == HashType::kSha256 || hashType == HashType::kSha384 || hashType == HashType::kSha512;
}

// The name of the key container prov has open; empty when it does not say.
std::string ContainerName(HCRYPTPROV prov) {
  DWORD size = 0;
  if (!CryptGetProvParam(prov, PP_CONTAINER, nullptr, &size, 0) || size == 0) return {};
  std::string name(size, '\0');
  if (!CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name.data()), &size, 0)) return {};
  name.resize(std::strlen(name.c_str()));
  return name;
}

std::string NameText(const CERT_NAME_BLOB& name) {
  auto* blob = const_cast<CERT_NAME_BLOB*>(&name);
  const DWORD size = CertNameToStrA(X509_ASN_ENCODING, blob, CERT_X500_NAME_STR, nullptr, 0);
  if (size <= 1) return {};
  std::string text(size, '\0');
  CertNameToStrA(X509_ASN_ENCODING, blob, CERT_X500_NAME_STR, text.data(), size);
  text.resize(std::strlen(text.c_str()));
  return text;
}

class CapiCertificate final : public Certificate {
 public:
  explicit CapiCertificate(CertHandle cert) : cert_(std::move(cert)) {}

  Bytes SerialNumber() const override {
    const CRYPT_INTEGER_BLOB& serial = cert_->pCertInfo->SerialNumber;  // least significant byte first
    Bytes bytes(serial.cbData);
    std::reverse_copy(serial.pbData, serial.pbData + serial.cbData, bytes.begin());
    return bytes;
  }
  Bytes Encoded() const override {
    return Bytes(cert_->pbCertEncoded, cert_->pbCertEncoded + cert_->cbCertEncoded);
  }
  std::string Subject() const override { return NameText(cert_->pCertInfo->Subject); }
  std::string Issuer() const override { return NameText(cert_->pCertInfo->Issuer); }
  std::string NotAfter() const override {
    SYSTEMTIME t{};
    if (!FileTimeToSystemTime(&cert_->pCertInfo->NotAfter, &t)) return {};
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", t.wYear % 10000u, t.wMonth % 100u, t.wDay % 100u);
    return text;
  }

  PCCERT_CONTEXT get() const { return cert_.get(); }

 private:
  CertHandle cert_;
};

class CapiPublicKey final : public PublicKey {
 public:
  // The key lives in prov: it is declared after it, so it goes first.
  CapiPublicKey(ProviderHandle prov, KeyHandle key) : prov_(std::move(prov)), key_(std::move(key)) {}

  ResultCode Encrypt(const std::uint8_t* data, std::size_t n, std::size_t capacity, Bytes& out) override {
    if (n > MAXDWORD || (data == nullptr && n > 0)) return kErrEncrypt;
    // The ciphertext is one key length; refuse a capacity short of it here
    // rather than trust the provider to honour the length it is given.
    const std::size_t keyBytes = KeyBytes(key_.get());
    if (keyBytes == 0 || capacity < keyBytes) return kErrEncrypt;
    const std::size_t bufferLength = std::min(capacity, kMaxCipherBuffer);
    // The data is encrypted in place: the buffer holds the larger of the two.
    platform::SecureBytes buffer(std::max(n, bufferLength));
    if (n > 0) std::memcpy(buffer.data(), data, n);
    DWORD length = static_cast<DWORD>(n);
    if (!CryptEncrypt(key_.get(), 0, TRUE, 0, buffer.data(), &length, static_cast<DWORD>(bufferLength)) ||
        length > bufferLength) {
      return kErrEncrypt;
    }
    out.assign(buffer.data(), buffer.data() + length);
    return kOk;
  }

  ResultCode Verify(HashType hashType, const std::uint8_t* data, std::size_t n, const std::uint8_t* sig,
                    std::size_t sigLen) override {
    // The hash lives in the default provider that holds the imported key;
    // SHA-2 in a provider of the type that has it, with the key copied there.
    HCRYPTPROV prov = prov_.get();
    HCRYPTKEY key = key_.get();
    if (NeedsAesProvider(hashType) && !AesCopy(prov, key)) return kErrHash;
    HashHandle hash;
    if (!HashData(prov, hashType, data, n, hash)) return kErrHash;
    // A signature is exactly one key length; the provider is not asked to
    // read more or less than that.
    if (sig == nullptr || sigLen != KeyBytes(key)) return kErrVerify;
    return CryptVerifySignatureA(hash.get(), NonNull(sig), static_cast<DWORD>(sigLen), key, nullptr, 0) ? kOk
                                                                                                        : kErrVerify;
  }

 private:
  // The public key imported into a container-less RSA and AES provider,
  // made on first need.
  bool AesCopy(HCRYPTPROV& prov, HCRYPTKEY& key) {
    if (!aesKey_) {
      DWORD size = 0;
      if (!CryptExportKey(key_.get(), 0, PUBLICKEYBLOB, 0, nullptr, &size) || size == 0) return false;
      Bytes blob(size);
      if (!CryptExportKey(key_.get(), 0, PUBLICKEYBLOB, 0, blob.data(), &size)) return false;
      HCRYPTPROV acquired = 0;
      if (!aesProv_ && !CryptAcquireContextA(&acquired, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return false;
      if (acquired != 0) aesProv_.reset(acquired);
      HCRYPTKEY imported = 0;
      if (!CryptImportKey(aesProv_.get(), blob.data(), size, 0, 0, &imported)) return false;
      aesKey_.reset(imported);
    }
    prov = aesProv_.get();
    key = aesKey_.get();
    return true;
  }

  ProviderHandle prov_;
  KeyHandle key_;
  ProviderHandle aesProv_;  // before its key, so the key goes first
  KeyHandle aesKey_;
};

class CapiPrivateKey final : public PrivateKey {
 public:
  // owned: whether the provider is ours to release.
  CapiPrivateKey(HCRYPTPROV prov, bool owned) : owned_(owned ? prov : 0), prov_(prov) {}

  bool CanDecrypt() const override { return ExchangeKey() != 0; }

  // Always with the exchange key pair, whichever pair the certificate
  // names: a signature key pair alone cannot sign here.
  ResultCode Sign(HashType hashType, const std::uint8_t* data, std::size_t n, Bytes& sig) override {
    HashHandle hash;
    if (!HashData(prov_, hashType, data, n, hash)) {
      // A key's provider without SHA-2: the same container through the
      // provider type that has it.
      const HCRYPTPROV aes = NeedsAesProvider(hashType) ? AesProvider() : 0;
      if (aes == 0 || !HashData(aes, hashType, data, n, hash)) return kErrHash;
    }
    // The area is as long as the provider says the signature is, whatever
    // the key's size.
    DWORD needed = 0;
    if (!CryptSignHashA(hash.get(), AT_KEYEXCHANGE, nullptr, 0, nullptr, &needed) || needed == 0 ||
        needed > kStoreOutputSize)
      return kErrHash;
    Bytes area(needed, 0);
    DWORD length = needed;
    if (!CryptSignHashA(hash.get(), AT_KEYEXCHANGE, nullptr, 0, area.data(), &length) || length > needed)
      return kErrHash;
    area.resize(length);
    sig = std::move(area);
    return kOk;
  }

  ResultCode Decrypt(const std::uint8_t* data, std::size_t n, Bytes& plain) override {
    const HCRYPTKEY key = ExchangeKey();
    if (key == 0 || data == nullptr) return kErrDecrypt;
    // The provider decrypts a whole key length in place whatever length it
    // is told: anything shorter would be read and written past its end, and
    // anything longer decrypted from its first block only. Both are refused.
    const std::size_t keyBytes = KeyBytes(key);
    if (keyBytes == 0 || n != keyBytes || n > MAXDWORD) return kErrDecrypt;
    platform::SecureBytes buffer(keyBytes);
    std::memcpy(buffer.data(), data, n);
    DWORD length = static_cast<DWORD>(n);
    if (!CryptDecrypt(key, 0, TRUE, 0, buffer.data(), &length) || length > keyBytes) return kErrDecrypt;
    plain.assign(buffer.data(), buffer.data() + length);
    return kOk;
  }

 private:
  // Fetched on first need: signing never asks for it.
  HCRYPTKEY ExchangeKey() const {
    if (!askedForKey_) {
      askedForKey_ = true;
      HCRYPTKEY key = 0;
      if (CryptGetUserKey(prov_, AT_KEYEXCHANGE, &key)) exchangeKey_.reset(key);
    }
    return exchangeKey_.get();
  }

  HCRYPTPROV AesProvider() {
    if (!askedForAes_) {
      askedForAes_ = true;
      const std::string container = ContainerName(prov_);
      DWORD keyset = 0;
      DWORD size = sizeof keyset;
      const DWORD machine = CryptGetProvParam(prov_, PP_KEYSET_TYPE, reinterpret_cast<BYTE*>(&keyset), &size, 0) &&
                                    (keyset & CRYPT_MACHINE_KEYSET) != 0
                                ? CRYPT_MACHINE_KEYSET
                                : 0;
      HCRYPTPROV acquired = 0;
      if (!container.empty() && CryptAcquireContextA(&acquired, container.c_str(), nullptr, PROV_RSA_AES, machine))
        aes_.reset(acquired);
    }
    return aes_.get();
  }

  ProviderHandle owned_;  // first, so the key goes before the provider
  HCRYPTPROV prov_;
  mutable bool askedForKey_ = false;
  mutable KeyHandle exchangeKey_;
  bool askedForAes_ = false;
  ProviderHandle aes_;  // the key's container under PROV_RSA_AES, for SHA-2
};

class CapiPersonalStore final : public PersonalStore {
 public:
  explicit CapiPersonalStore(StoreHandle store) : store_(std::move(store)) {}

  std::vector<std::unique_ptr<Certificate>> Certificates() override {
    std::vector<std::unique_ptr<Certificate>> result;
    // The walk frees each context as it hands out the next; we keep copies.
    CertHandle current;
    while (PCCERT_CONTEXT next = CertEnumCertificatesInStore(store_.get(), current.release())) {
      current.reset(next);
      result.push_back(std::make_unique<CapiCertificate>(CertHandle(CertDuplicateCertificateContext(next))));
    }
    return result;
  }

  // The platform's dialog over the open store, unless the caller brings a
  // chooser of its own.
  std::unique_ptr<Certificate> Choose(CertificateChooser* chooser) override {
    if (chooser != nullptr) return PersonalStore::Choose(chooser);
    const std::wstring text = ChooserText();
    PCCERT_CONTEXT chosen =
        CryptUIDlgSelectCertificateFromStore(store_.get(), nullptr, nullptr, text.empty() ? nullptr : text.c_str(),
                                             CRYPTUI_SELECT_LOCATION_COLUMN, 0, nullptr);
    if (chosen == nullptr) return nullptr;
    return std::make_unique<CapiCertificate>(CertHandle(chosen));
  }

 private:
  StoreHandle store_;
};

class CapiCertStore final : public CertStore {
 public:
  ResultCode OpenPersonal(std::unique_ptr<PersonalStore>& store) override {
    StoreHandle handle(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, static_cast<const void*>(L"MY")));
    if (!handle) return kErrOpenStore;
    store = std::make_unique<CapiPersonalStore>(std::move(handle));
    return kOk;
  }

  std::unique_ptr<Certificate> Parse(const std::uint8_t* der, std::size_t n) override {
    CertHandle cert = Decode(der, n);
    if (!cert) return nullptr;
    return std::make_unique<CapiCertificate>(std::move(cert));
  }

  ResultCode AcquirePublicKey(const Certificate& cert, std::unique_ptr<PublicKey>& key) override {
    CertHandle parsed;
    PCCERT_CONTEXT context = ContextOf(cert, parsed);
    if (context == nullptr) return kErrGetKey;
    // The user's default container; made on first use. Its own keys are
    // never touched: it only hosts the imported public key and the hash.
    HCRYPTPROV acquired = 0;
    if (!CryptAcquireContextA(&acquired, nullptr, nullptr, PROV_RSA_FULL, 0) &&
        !CryptAcquireContextA(&acquired, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
      return kErrProvider;
    }
    ProviderHandle prov(acquired);
    HCRYPTKEY imported = 0;
    if (!CryptImportPublicKeyInfo(prov.get(), kPublicKeyEncoding, &context->pCertInfo->SubjectPublicKeyInfo,
                                  &imported)) {
      return kErrGetKey;
    }
    key = std::make_unique<CapiPublicKey>(std::move(prov), KeyHandle(imported));
    return kOk;
  }

  ResultCode AcquirePrivateKey(const Certificate& cert, std::unique_ptr<PrivateKey>& key) override {
    CertHandle parsed;
    PCCERT_CONTEXT context = ContextOf(cert, parsed);
    if (context == nullptr) return kErrGetKey;
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
    DWORD keyPair = 0;
    BOOL callerFrees = FALSE;
    if (!CryptAcquireCertificatePrivateKey(context, 0, nullptr, &prov, &keyPair, &callerFrees)) return kErrGetKey;
    key = std::make_unique<CapiPrivateKey>(prov, callerFrees != FALSE);
    return kOk;
  }

 private:
  static CertHandle Decode(const std::uint8_t* der, std::size_t n) {
    if (der == nullptr || n == 0 || n > MAXDWORD) return nullptr;
    return CertHandle(CertCreateCertificateContext(kCertificateEncoding, der, static_cast<DWORD>(n)));
  }

  // Our own certificates carry their context; any other implementation is
  // decoded from its encoding into parsed (without the store's properties,
  // so it has no private key).
  static PCCERT_CONTEXT ContextOf(const Certificate& cert, CertHandle& parsed) {
    if (const auto* own = dynamic_cast<const CapiCertificate*>(&cert)) return own->get();
    const Bytes der = cert.Encoded();
    parsed = Decode(der.data(), der.size());
    return parsed.get();
  }
};

}  // namespace

std::unique_ptr<CertStore> MakePlatformStore() { return std::make_unique<CapiCertStore>(); }

// The store shows the platform's own dialog (CapiPersonalStore::Choose).
std::unique_ptr<CertificateChooser> MakePlatformChooser() { return nullptr; }

}  // namespace kelo::csp
