// kelo-capi-fixture: puts test certificates and their keys into the current
// user's CryptoAPI store, lists the store and takes them out again. It uses
// CryptoAPI directly (not the store backend under test), so the tests start
// from an independent picture of the store.
//
//   kelo-capi-fixture import CONTAINER exchange|signature KEY.msblob CERT.der
//       imports the RSA key (openssl rsa -outform MSBLOB) into the named key
//       container as that key pair, then adds the certificate to MY with its
//       key provider information pointing at the container
//   kelo-capi-fixture add CERT.der
//       adds the certificate to MY without a key
//   kelo-capi-fixture remove CERT.der
//       deletes the certificate from MY and the key container it names
//   kelo-capi-fixture list
//       one line per certificate of MY in the store's order:
//       SERIAL (hex, most significant byte first) TAB CONTAINER or "-" TAB SUBJECT
//
// PFX import is not used: under Wine it puts every key into one container.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "csp/capi/capi_handles.h"

namespace {

using kelo::csp::capi::CertHandle;
using kelo::csp::capi::KeyHandle;
using kelo::csp::capi::ProviderHandle;
using kelo::csp::capi::StoreHandle;
using Bytes = std::vector<BYTE>;

constexpr DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

int Fail(const char* what) {
  std::fprintf(stderr, "kelo-capi-fixture: %s failed (error 0x%08lX)\n", what, GetLastError());
  return 1;
}

bool ReadFile(const char* path, Bytes& bytes) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  bytes.clear();
  BYTE chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok && !bytes.empty();
}

std::wstring Wide(const char* s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
  std::wstring w(n > 0 ? static_cast<std::size_t>(n) : 1, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s, -1, w.data(), n);
  w.resize(std::wcslen(w.c_str()));
  return w;
}

std::string Narrow(const wchar_t* w) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string s(n > 0 ? static_cast<std::size_t>(n) : 1, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
  s.resize(std::strlen(s.c_str()));
  return s;
}

StoreHandle OpenMy() {
  return StoreHandle(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, static_cast<const void*>(L"MY")));
}

// The certificate's key provider information, or empty when it has none.
Bytes ProvInfo(PCCERT_CONTEXT cert) {
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) || size == 0) return {};
  Bytes info(size);
  if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, info.data(), &size)) return {};
  return info;
}

// Deletes a key container; a missing one is fine.
void DeleteContainer(const wchar_t* name, const wchar_t* provider, DWORD type) {
  HCRYPTPROV ignored = 0;
  CryptAcquireContextW(&ignored, name, provider, type, CRYPT_DELETEKEYSET);
}

int Import(const char* container, const char* pair, const char* keyPath, const char* certPath) {
  DWORD keyPair = 0;
  if (std::strcmp(pair, "exchange") == 0) {
    keyPair = AT_KEYEXCHANGE;
  } else if (std::strcmp(pair, "signature") == 0) {
    keyPair = AT_SIGNATURE;
  } else {
    std::fprintf(stderr, "kelo-capi-fixture: key pair must be exchange or signature, not %s\n", pair);
    return 2;
  }
  Bytes blob, der;
  if (!ReadFile(keyPath, blob) || blob.size() < sizeof(BLOBHEADER)) return Fail("reading the key blob");
  if (!ReadFile(certPath, der)) return Fail("reading the certificate");
  auto* header = reinterpret_cast<BLOBHEADER*>(blob.data());
  if (header->bType != PRIVATEKEYBLOB) {
    std::fprintf(stderr, "kelo-capi-fixture: %s is not a private key blob\n", keyPath);
    return 2;
  }
  // The provider files a key under the pair its algorithm names.
  header->aiKeyAlg = keyPair == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;

  DeleteContainer(Wide(container).c_str(), nullptr, PROV_RSA_FULL);
  HCRYPTPROV acquired = 0;
  if (!CryptAcquireContextA(&acquired, container, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET))
    return Fail("creating the key container");
  ProviderHandle prov(acquired);
  HCRYPTKEY imported = 0;
  if (!CryptImportKey(prov.get(), blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &imported))
    return Fail("importing the key");
  KeyHandle key(imported);
  // Make sure the key sits in the pair asked for and only there.
  for (DWORD which : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
    HCRYPTKEY probe = 0;
    const bool present = CryptGetUserKey(prov.get(), which, &probe) != FALSE;
    KeyHandle held(probe);
    if (present != (which == keyPair)) {
      std::fprintf(stderr, "kelo-capi-fixture: key pair %lu is %s after the import\n", which,
                   present ? "present" : "missing");
      return 1;
    }
  }

  StoreHandle store = OpenMy();
  if (!store) return Fail("opening MY");
  PCCERT_CONTEXT added = nullptr;
  if (!CertAddEncodedCertificateToStore(store.get(), kCertEncoding, der.data(), static_cast<DWORD>(der.size()),
                                        CERT_STORE_ADD_REPLACE_EXISTING, &added))
    return Fail("adding the certificate");
  CertHandle cert(added);
  std::wstring wideContainer = Wide(container);
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = wideContainer.data();
  info.pwszProvName = nullptr;  // the type's default provider
  info.dwProvType = PROV_RSA_FULL;
  info.dwKeySpec = keyPair;
  if (!CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
    return Fail("linking the certificate to its key");
  if (!CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr)) return Fail("committing MY");
  return 0;
}

int Add(const char* certPath) {
  Bytes der;
  if (!ReadFile(certPath, der)) return Fail("reading the certificate");
  StoreHandle store = OpenMy();
  if (!store) return Fail("opening MY");
  if (!CertAddEncodedCertificateToStore(store.get(), kCertEncoding, der.data(), static_cast<DWORD>(der.size()),
                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
    return Fail("adding the certificate");
  if (!CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr)) return Fail("committing MY");
  return 0;
}

int Remove(const char* certPath) {
  Bytes der;
  if (!ReadFile(certPath, der)) return Fail("reading the certificate");
  CertHandle wanted(CertCreateCertificateContext(kCertEncoding, der.data(), static_cast<DWORD>(der.size())));
  if (!wanted) return Fail("parsing the certificate");
  StoreHandle store = OpenMy();
  if (!store) return Fail("opening MY");
  int removed = 0;
  while (PCCERT_CONTEXT found =
             CertFindCertificateInStore(store.get(), kCertEncoding, 0, CERT_FIND_EXISTING, wanted.get(), nullptr)) {
    const Bytes info = ProvInfo(found);
    if (!info.empty()) {
      const auto* prov = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.data());
      DeleteContainer(prov->pwszContainerName, prov->pwszProvName, prov->dwProvType);
    }
    if (!CertDeleteCertificateFromStore(found)) return Fail("deleting the certificate");  // frees found
    ++removed;
  }
  if (!CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr)) return Fail("committing MY");
  std::printf("removed %d\n", removed);
  return 0;
}

int List() {
  StoreHandle store = OpenMy();
  if (!store) return Fail("opening MY");
  CertHandle current;
  while (PCCERT_CONTEXT next = CertEnumCertificatesInStore(store.get(), current.release())) {
    current.reset(next);
    const CRYPT_INTEGER_BLOB& serial = next->pCertInfo->SerialNumber;
    std::string hex;
    for (DWORD i = serial.cbData; i > 0; --i) {
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02X", serial.pbData[i - 1]);
      hex += digits;
    }
    const Bytes info = ProvInfo(next);
    const std::string container =
        info.empty() ? "-" : Narrow(reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.data())->pwszContainerName);
    char subject[512] = "";
    CertNameToStrA(X509_ASN_ENCODING, &next->pCertInfo->Subject, CERT_X500_NAME_STR, subject, sizeof subject);
    std::printf("%s\t%s\t%s\n", hex.c_str(), container.c_str(), subject);
  }
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: kelo-capi-fixture import CONTAINER exchange|signature KEY.msblob CERT.der\n"
               "       kelo-capi-fixture add CERT.der\n"
               "       kelo-capi-fixture remove CERT.der\n"
               "       kelo-capi-fixture list\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "import" && argc == 6) return Import(argv[2], argv[3], argv[4], argv[5]);
  if (command == "add" && argc == 3) return Add(argv[2]);
  if (command == "remove" && argc == 3) return Remove(argv[2]);
  if (command == "list" && argc == 2) return List();
  return Usage();
}
