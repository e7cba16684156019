// kelo-p11fixture: makes and inspects test tokens by talking PKCS#11 to the
// module named on the command line. Used by make-token.sh; handy by hand when
// a token-based test misbehaves.

#include <dlfcn.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace {

using Bytes = std::vector<unsigned char>;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- helpers

std::string toHex(const unsigned char* data, size_t len) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(len * 2);
  for (size_t i = 0; i < len; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 0x0F];
  }
  return out;
}
std::string toHex(const Bytes& b) { return toHex(b.data(), b.size()); }

Bytes fromHex(std::string_view hex) {
  auto nibble = [&](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw UsageError("--id: '" + std::string(hex) + "' is not hexadecimal");
  };
  if (hex.empty() || hex.size() % 2 != 0)
    throw UsageError("--id: '" + std::string(hex) + "' needs an even, non-zero number of hex digits");
  Bytes out;
  for (size_t i = 0; i < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  return out;
}

// The id treated as a big-endian counter; running past its width is refused
// rather than silently wrapping onto ids already in use.
Bytes addToId(Bytes id, unsigned long n) {
  for (size_t i = id.size(); i-- > 0 && n != 0;) {
    unsigned long sum = id[i] + (n & 0xFF);
    id[i] = static_cast<unsigned char>(sum & 0xFF);
    n = (n >> 8) + (sum >> 8);
  }
  if (n != 0) throw UsageError("--id is too short to count that far; give more hex digits");
  return id;
}

// PKCS#11 text fields are fixed-width and blank-padded.
std::string fromPadded(const unsigned char* field, size_t width) {
  std::string s(reinterpret_cast<const char*>(field), width);
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

std::string rvName(CK_RV rv) {
  static const std::map<CK_RV, const char*> names = {
      {CKR_OK, "CKR_OK"},
      {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
      {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
      {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
      {CKR_ATTRIBUTE_VALUE_INVALID, "CKR_ATTRIBUTE_VALUE_INVALID"},
      {CKR_ATTRIBUTE_TYPE_INVALID, "CKR_ATTRIBUTE_TYPE_INVALID"},
      {CKR_ATTRIBUTE_SENSITIVE, "CKR_ATTRIBUTE_SENSITIVE"},
      {CKR_TEMPLATE_INCOMPLETE, "CKR_TEMPLATE_INCOMPLETE"},
      {CKR_TEMPLATE_INCONSISTENT, "CKR_TEMPLATE_INCONSISTENT"},
      {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
      {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE"},
      {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
      {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID"},
      {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
      {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
      {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN"},
      {CKR_USER_ALREADY_LOGGED_IN, "CKR_USER_ALREADY_LOGGED_IN"},
      {CKR_SESSION_READ_ONLY, "CKR_SESSION_READ_ONLY"},
      {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED"},
      {CKR_CRYPTOKI_ALREADY_INITIALIZED, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
  };
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(rv));
  auto it = names.find(rv);
  return it == names.end() ? std::string(buf) : std::string(it->second) + " (" + buf + ")";
}

void check(CK_RV rv, const char* what) {
  if (rv != CKR_OK) throw std::runtime_error(std::string(what) + " failed: " + rvName(rv));
}

// ---------------------------------------------------------------- OpenSSL

template <auto Fn>
struct Deleter {
  template <typename T>
  void operator()(T* p) const { Fn(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using Bignum = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using Name = std::unique_ptr<X509_NAME, Deleter<X509_NAME_free>>;

// SoftHSM2 shares this process's libcrypto and leaves errors of its own in
// the queue, so each step starts from a clean queue and reports only its own.
[[noreturn]] void throwOpenssl(const std::string& what) {
  std::string msg = what;
  char buf[256];
  while (unsigned long e = ERR_get_error()) {
    ERR_error_string_n(e, buf, sizeof buf);
    msg += "\n  ";
    msg += buf;
  }
  throw std::runtime_error(msg);
}

Bio openFile(const std::string& path) {
  ERR_clear_error();
  Bio bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) throwOpenssl("cannot open " + path);
  return bio;
}

PKey readKey(const std::string& path) {
  Bio bio = openFile(path);
  PKey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key) throwOpenssl("no PEM private key in " + path);
  const int type = EVP_PKEY_get_base_id(key.get());
  if (type != EVP_PKEY_RSA && type != EVP_PKEY_EC) throw std::runtime_error(path + ": neither an RSA nor an EC key");
  return key;
}

Cert readCert(const std::string& path) {
  Bio bio = openFile(path);
  Cert cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert) throwOpenssl("no PEM certificate in " + path);
  return cert;
}

Bytes bnParam(const EVP_PKEY* key, const char* name) {
  ERR_clear_error();
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) throwOpenssl(std::string("key lacks ") + name);
  Bignum bn(raw);
  Bytes out(static_cast<size_t>(BN_num_bytes(bn.get())));
  BN_bn2bin(bn.get(), out.data());
  return out;
}

// DER OCTET STRING around content, as CKA_EC_POINT holds the point.
Bytes octetString(const Bytes& content) {
  Bytes out{0x04};
  const size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else if (n <= 0xFF) {
    out.push_back(0x81);
    out.push_back(static_cast<unsigned char>(n));
  } else {
    throw std::runtime_error("EC point too long");
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

template <typename T, int (*I2d)(const T*, unsigned char**)>
Bytes der(const T* obj, const char* what) {
  ERR_clear_error();
  int len = I2d(obj, nullptr);
  if (len <= 0) throwOpenssl(std::string("cannot encode ") + what);
  Bytes out(static_cast<size_t>(len));
  unsigned char* p = out.data();
  I2d(obj, &p);
  return out;
}

struct CertParts {
  Bytes value, subject, issuer, serial;
};

CertParts certParts(const X509* cert) {
  return {
      der<X509, i2d_X509>(cert, "certificate"),
      der<X509_NAME, i2d_X509_NAME>(X509_get_subject_name(cert), "subject"),
      der<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(cert), "issuer"),
      // The whole DER INTEGER, tag and length included, as SoftHSM2 stores
      // the serial of certificates it imports itself.
      der<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(cert), "serial number"),
  };
}

Cert makeSelfSigned(EVP_PKEY* key, long serial, const std::string& cn) {
  ERR_clear_error();
  Cert cert(X509_new());
  if (!cert) throwOpenssl("X509_new");
  Name name(X509_NAME_new());
  if (!name ||
      X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0) != 1)
    throwOpenssl("cannot build subject " + cn);
  const long tenYears = 10L * 365 * 24 * 3600;
  if (X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
      ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) != 1 ||
      X509_set_subject_name(cert.get(), name.get()) != 1 ||
      X509_set_issuer_name(cert.get(), name.get()) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), tenYears) == nullptr ||
      X509_set_pubkey(cert.get(), key) != 1 ||
      X509_sign(cert.get(), key, EVP_sha256()) <= 0)
    throwOpenssl("cannot make certificate " + cn);
  return cert;
}

// ---------------------------------------------------------------- PKCS#11

class Module {
 public:
  explicit Module(const std::string& path) {
    // The name is passed on unchanged: a bare name goes through the loader's
    // search path exactly as the control's own loading does.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      const char* err = dlerror();
      throw std::runtime_error("cannot load module " + path + ": " + (err ? err : "unknown error"));
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    try {
      if (getList == nullptr) throw std::runtime_error(path + " exports no C_GetFunctionList");
      check(getList(&fn_), "C_GetFunctionList");
      if (fn_ == nullptr) throw std::runtime_error("C_GetFunctionList returned no function list");
      check(fn_->C_Initialize(nullptr), "C_Initialize");
    } catch (...) {
      dlclose(handle_);
      throw;
    }
  }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;
  ~Module() {
    fn_->C_Finalize(nullptr);
    dlclose(handle_);
  }

  CK_FUNCTION_LIST* operator->() const { return fn_; }

  std::vector<CK_SLOT_ID> slots(bool withToken) const {
    CK_ULONG count = 0;
    check(fn_->C_GetSlotList(withToken ? CK_TRUE : CK_FALSE, nullptr, &count), "C_GetSlotList");
    std::vector<CK_SLOT_ID> ids(count);
    check(fn_->C_GetSlotList(withToken ? CK_TRUE : CK_FALSE, ids.data(), &count), "C_GetSlotList");
    ids.resize(count);
    return ids;
  }

  CK_TOKEN_INFO tokenInfo(CK_SLOT_ID slot) const {
    CK_TOKEN_INFO info{};
    check(fn_->C_GetTokenInfo(slot, &info), "C_GetTokenInfo");
    return info;
  }

  // Only initialised tokens are considered: the spare slot SoftHSM2 always
  // offers reports a token too, with a blank label and serial.
  CK_SLOT_ID slotByLabel(const std::string& label) const {
    std::optional<CK_SLOT_ID> found;
    for (CK_SLOT_ID slot : slots(true)) {
      CK_TOKEN_INFO info = tokenInfo(slot);
      if (!(info.flags & CKF_TOKEN_INITIALIZED)) continue;
      if (fromPadded(info.label, sizeof info.label) != label) continue;
      if (found) throw std::runtime_error("more than one token is labelled '" + label + "'");
      found = slot;
    }
    if (!found) throw std::runtime_error("no token labelled '" + label + "'");
    return *found;
  }

 private:
  void* handle_ = nullptr;
  CK_FUNCTION_LIST* fn_ = nullptr;
};

class Session {
 public:
  Session(const Module& module, CK_SLOT_ID slot, bool readWrite) : module_(module) {
    CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
    check(module_->C_OpenSession(slot, flags, nullptr, nullptr, &handle_), "C_OpenSession");
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() { module_->C_CloseSession(handle_); }

  void login(CK_USER_TYPE who, const std::string& pin) {
    std::string copy = pin;  // the API takes a non-const pointer
    check(module_->C_Login(handle_, who, reinterpret_cast<CK_UTF8CHAR*>(copy.data()), copy.size()),
          who == CKU_SO ? "C_Login (security officer)" : "C_Login (user)");
  }

  CK_OBJECT_HANDLE create(std::vector<CK_ATTRIBUTE>& tmpl, const char* what) {
    CK_OBJECT_HANDLE obj = 0;
    CK_RV rv = module_->C_CreateObject(handle_, tmpl.data(), tmpl.size(), &obj);
    check(rv, (std::string("C_CreateObject (") + what + ")").c_str());
    return obj;
  }

  std::vector<CK_OBJECT_HANDLE> findAll() {
    check(module_->C_FindObjectsInit(handle_, nullptr, 0), "C_FindObjectsInit");
    std::vector<CK_OBJECT_HANDLE> all;
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG got = 0;
    CK_RV rv;
    while ((rv = module_->C_FindObjects(handle_, batch, 64, &got)) == CKR_OK && got > 0)
      all.insert(all.end(), batch, batch + got);
    module_->C_FindObjectsFinal(handle_);
    check(rv, "C_FindObjects");
    return all;
  }

  // The attribute's value, or nothing when the object lacks it or hides it.
  std::optional<Bytes> attribute(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    CK_RV rv = module_->C_GetAttributeValue(handle_, obj, &a, 1);
    if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE ||
        a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
      return std::nullopt;
    check(rv, "C_GetAttributeValue");
    Bytes value(a.ulValueLen);
    a.pValue = value.data();
    check(module_->C_GetAttributeValue(handle_, obj, &a, 1), "C_GetAttributeValue");
    value.resize(a.ulValueLen);
    return value;
  }

  CK_SESSION_HANDLE handle() const { return handle_; }

 private:
  const Module& module_;
  CK_SESSION_HANDLE handle_ = 0;
};

// Attribute templates point into storage that must outlive the call; this
// keeps both together.
class Template {
 public:
  Template& add(CK_ATTRIBUTE_TYPE type, Bytes value) {
    store_.push_back(std::make_unique<Bytes>(std::move(value)));
    attrs_.push_back({type, store_.back()->data(), store_.back()->size()});
    return *this;
  }
  Template& add(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
    Bytes b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return add(type, std::move(b));
  }
  Template& add(CK_ATTRIBUTE_TYPE type, bool value) {
    return add(type, Bytes{static_cast<unsigned char>(value ? CK_TRUE : CK_FALSE)});
  }
  Template& add(CK_ATTRIBUTE_TYPE type, const std::string& text) {
    return add(type, Bytes(text.begin(), text.end()));
  }
  std::vector<CK_ATTRIBUTE>& attrs() { return attrs_; }

 private:
  std::vector<std::unique_ptr<Bytes>> store_;
  std::vector<CK_ATTRIBUTE> attrs_;
};

// ---------------------------------------------------------------- commands

struct Options {
  std::string module, command, label, pin, soPin, keyPath, certPath, id;
  std::optional<unsigned long> count;
  bool pinGiven = false;
};

// The key halves of an EC key: CKA_EC_PARAMS (the curve's OID), the private
// value and CKA_EC_POINT (the uncompressed point in an OCTET STRING).
void importEcKeys(Session& s, const EVP_PKEY* key, const CertParts& parts, const Bytes& id,
                  const std::string& label) {
  ERR_clear_error();
  char group[80] = {};
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, nullptr) != 1)
    throwOpenssl("EC key without a named curve");
  int nid = OBJ_txt2nid(group);
  if (nid == NID_undef) nid = EC_curve_nist2nid(group);
  if (nid == NID_undef) throw std::runtime_error(std::string("unknown curve ") + group);
  Bytes params = der<ASN1_OBJECT, i2d_ASN1_OBJECT>(OBJ_nid2obj(nid), "curve");
  size_t pointLen = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &pointLen) != 1)
    throwOpenssl("EC key without a public point");
  Bytes point(pointLen);
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &pointLen) != 1)
    throwOpenssl("EC key without a public point");
  point.resize(pointLen);

  Template priv;
  priv.add(CKA_CLASS, CK_ULONG{CKO_PRIVATE_KEY})
      .add(CKA_KEY_TYPE, CK_ULONG{CKK_EC})
      .add(CKA_TOKEN, true)
      .add(CKA_PRIVATE, true)
      .add(CKA_SENSITIVE, true)
      .add(CKA_SIGN, true)
      .add(CKA_ID, id)
      .add(CKA_LABEL, label)
      .add(CKA_SUBJECT, parts.subject)
      .add(CKA_EC_PARAMS, params)
      .add(CKA_VALUE, bnParam(key, OSSL_PKEY_PARAM_PRIV_KEY));
  s.create(priv.attrs(), "EC private key");

  Template pub;
  pub.add(CKA_CLASS, CK_ULONG{CKO_PUBLIC_KEY})
      .add(CKA_KEY_TYPE, CK_ULONG{CKK_EC})
      .add(CKA_TOKEN, true)
      .add(CKA_PRIVATE, false)
      .add(CKA_VERIFY, true)
      .add(CKA_ID, id)
      .add(CKA_LABEL, label)
      .add(CKA_SUBJECT, parts.subject)
      .add(CKA_EC_PARAMS, params)
      .add(CKA_EC_POINT, octetString(point));
  s.create(pub.attrs(), "EC public key");
}

void importRsaKeys(Session& s, const EVP_PKEY* key, const CertParts& parts, const Bytes& id,
                   const std::string& label) {
  Bytes n = bnParam(key, OSSL_PKEY_PARAM_RSA_N);
  Bytes e = bnParam(key, OSSL_PKEY_PARAM_RSA_E);

  Template priv;
  priv.add(CKA_CLASS, CK_ULONG{CKO_PRIVATE_KEY})
      .add(CKA_KEY_TYPE, CK_ULONG{CKK_RSA})
      .add(CKA_TOKEN, true)
      .add(CKA_PRIVATE, true)
      .add(CKA_SENSITIVE, true)
      .add(CKA_SIGN, true)
      .add(CKA_DECRYPT, true)
      .add(CKA_ID, id)
      .add(CKA_LABEL, label)
      .add(CKA_SUBJECT, parts.subject)
      .add(CKA_MODULUS, n)
      .add(CKA_PUBLIC_EXPONENT, e)
      .add(CKA_PRIVATE_EXPONENT, bnParam(key, OSSL_PKEY_PARAM_RSA_D))
      .add(CKA_PRIME_1, bnParam(key, OSSL_PKEY_PARAM_RSA_FACTOR1))
      .add(CKA_PRIME_2, bnParam(key, OSSL_PKEY_PARAM_RSA_FACTOR2))
      .add(CKA_EXPONENT_1, bnParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT1))
      .add(CKA_EXPONENT_2, bnParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT2))
      .add(CKA_COEFFICIENT, bnParam(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1));
  s.create(priv.attrs(), "private key");

  Template pub;
  pub.add(CKA_CLASS, CK_ULONG{CKO_PUBLIC_KEY})
      .add(CKA_KEY_TYPE, CK_ULONG{CKK_RSA})
      .add(CKA_TOKEN, true)
      .add(CKA_PRIVATE, false)
      .add(CKA_VERIFY, true)
      .add(CKA_ENCRYPT, true)
      .add(CKA_ID, id)
      .add(CKA_LABEL, label)
      .add(CKA_SUBJECT, parts.subject)
      .add(CKA_MODULUS, n)
      .add(CKA_PUBLIC_EXPONENT, e);
  s.create(pub.attrs(), "public key");
}

void importOne(Session& s, const EVP_PKEY* key, const X509* cert, const Bytes& id,
               const std::string& label) {
  CertParts parts = certParts(cert);
  if (EVP_PKEY_get_base_id(key) == EVP_PKEY_EC)
    importEcKeys(s, key, parts, id, label);
  else
    importRsaKeys(s, key, parts, id, label);

  Template crt;
  crt.add(CKA_CLASS, CK_ULONG{CKO_CERTIFICATE})
      .add(CKA_CERTIFICATE_TYPE, CK_ULONG{CKC_X_509})
      .add(CKA_TOKEN, true)
      .add(CKA_PRIVATE, false)
      .add(CKA_ID, id)
      .add(CKA_LABEL, label)
      .add(CKA_VALUE, parts.value)
      .add(CKA_SUBJECT, parts.subject)
      .add(CKA_ISSUER, parts.issuer)
      .add(CKA_SERIAL_NUMBER, parts.serial);
  s.create(crt.attrs(), "certificate");
}

int cmdInit(const Module& m, const Options& o) {
  // The first token that is not initialised; on SoftHSM2 this is the spare
  // slot it always keeps free.
  std::optional<CK_SLOT_ID> slot;
  for (CK_SLOT_ID id : m.slots(true)) {
    CK_TOKEN_INFO info = m.tokenInfo(id);
    if (fromPadded(info.label, sizeof info.label) == o.label && (info.flags & CKF_TOKEN_INITIALIZED))
      throw std::runtime_error("a token labelled '" + o.label + "' already exists");
    if (!slot && !(info.flags & CKF_TOKEN_INITIALIZED)) slot = id;
  }
  if (!slot) throw std::runtime_error("no slot with an uninitialised token");

  unsigned char label[32];
  std::memset(label, ' ', sizeof label);
  std::memcpy(label, o.label.data(), o.label.size());
  std::string soPin = o.soPin;
  check(m->C_InitToken(*slot, reinterpret_cast<CK_UTF8CHAR*>(soPin.data()), soPin.size(), label),
        "C_InitToken");
  {
    Session s(m, *slot, true);
    s.login(CKU_SO, o.soPin);
    std::string pin = o.pin;
    check(m->C_InitPIN(s.handle(), reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size()),
          "C_InitPIN");
    m->C_Logout(s.handle());
  }
  CK_TOKEN_INFO info = m.tokenInfo(*slot);
  std::string serial = fromPadded(info.serialNumber, sizeof info.serialNumber);
  if (serial.empty()) throw std::runtime_error("the new token reports a blank serial number");
  std::cout << serial << '\n';
  return 0;
}

int cmdImport(const Module& m, const Options& o) {
  Bytes id = fromHex(o.id);
  PKey key = readKey(o.keyPath);
  Session s(m, m.slotByLabel(o.label), true);
  s.login(CKU_USER, o.pin);

  if (!o.count) {
    Cert cert = readCert(o.certPath);
    ERR_clear_error();
    if (X509_check_private_key(cert.get(), key.get()) != 1)
      throwOpenssl(o.certPath + " does not belong to the key in " + o.keyPath);
    importOne(s, key.get(), cert.get(), id, "kelo-" + toHex(id));
    return 0;
  }

  const unsigned long n = *o.count;
  addToId(id, n - 1);  // refuse before importing anything
  std::time_t lastReport = std::time(nullptr);
  for (unsigned long i = 0; i < n; ++i) {
    std::string name = "bench-" + std::to_string(i);
    Cert cert = makeSelfSigned(key.get(), static_cast<long>(i + 1), name);
    importOne(s, key.get(), cert.get(), addToId(id, i), name);
    std::time_t now = std::time(nullptr);
    if (now - lastReport >= 2 || i + 1 == n) {
      std::cerr << "kelo-p11fixture: imported " << (i + 1) << " of " << n << '\n';
      lastReport = now;
    }
  }
  return 0;
}

const char* className(CK_ULONG cls) {
  switch (cls) {
    case CKO_CERTIFICATE: return "certificate";
    case CKO_PUBLIC_KEY: return "public-key";
    case CKO_PRIVATE_KEY: return "private-key";
    case CKO_SECRET_KEY: return "secret-key";
    case CKO_DATA: return "data";
    default: return "other";
  }
}

int cmdList(const Module& m, const Options& o) {
  CK_SLOT_ID slot = m.slotByLabel(o.label);
  CK_TOKEN_INFO info = m.tokenInfo(slot);
  std::cout << "token label=" << fromPadded(info.label, sizeof info.label)
            << " serial=" << fromPadded(info.serialNumber, sizeof info.serialNumber) << '\n';
  Session s(m, slot, false);
  if (o.pinGiven) s.login(CKU_USER, o.pin);
  for (CK_OBJECT_HANDLE obj : s.findAll()) {
    std::optional<Bytes> cls = s.attribute(obj, CKA_CLASS);
    CK_ULONG clsValue = ~CK_ULONG{0};
    if (cls && cls->size() == sizeof clsValue) std::memcpy(&clsValue, cls->data(), sizeof clsValue);
    std::optional<Bytes> id = s.attribute(obj, CKA_ID);
    std::optional<Bytes> label = s.attribute(obj, CKA_LABEL);
    std::cout << className(clsValue) << " id=" << (id ? toHex(*id) : "-");
    if (clsValue == CKO_CERTIFICATE) {
      std::optional<Bytes> serial = s.attribute(obj, CKA_SERIAL_NUMBER);
      std::cout << " serial=" << (serial ? toHex(*serial) : "-");
    } else if (clsValue == CKO_PUBLIC_KEY || clsValue == CKO_PRIVATE_KEY) {
      // Lets a reader pair keys with certificates without trusting CKA_ID.
      std::optional<Bytes> modulus = s.attribute(obj, CKA_MODULUS);
      std::cout << " modulus=" << (modulus ? toHex(*modulus) : "-");
    }
    std::cout << " label=" << (label ? std::string(label->begin(), label->end()) : "") << '\n';
  }
  return 0;
}

const char* const kUsage =
    "usage: kelo-p11fixture --module MODULE COMMAND [OPTIONS]\n"
    "  init   --label L --so-pin S --pin P\n"
    "         initialise the first uninitialised token; prints its serial\n"
    "  import --label L --pin P --key KEY.pem --id HEX (--cert CERT.pem | --count N)\n"
    "         import an RSA or EC key pair and its certificate; with --count, N pairs of\n"
    "         the key with fresh self-signed certificates (serials 1..N, ids HEX+i)\n"
    "  list   --label L [--pin P]\n"
    "         print the token and one line per visible object (class, id,\n"
    "         certificate serial as stored, key modulus, label)\n";

Options parse(int argc, char** argv) {
  Options o;
  std::map<std::string, std::string*> valued = {
      {"--module", &o.module}, {"--label", &o.label},     {"--pin", &o.pin},
      {"--so-pin", &o.soPin},  {"--key", &o.keyPath},     {"--cert", &o.certPath},
      {"--id", &o.id},
  };
  std::map<std::string, bool> seen;
  std::string countText;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") throw UsageError("");
    bool isCount = arg == "--count";
    auto it = valued.find(arg);
    if (it != valued.end() || isCount) {
      if (i + 1 >= argc) throw UsageError(arg + " needs a value");
      if (seen[arg]) throw UsageError(arg + " given twice");
      seen[arg] = true;
      (isCount ? countText : *it->second) = argv[++i];
    } else if (arg.rfind("--", 0) == 0) {
      throw UsageError("unknown option " + arg);
    } else if (o.command.empty()) {
      o.command = arg;
    } else {
      throw UsageError("unexpected argument " + arg);
    }
  }
  auto need = [&](const char* opt) {
    if (!seen[opt]) throw UsageError(o.command + " needs " + opt);
  };
  if (o.command.empty()) throw UsageError("no command given");
  need("--module");
  o.pinGiven = seen["--pin"];
  if (o.command == "init") {
    need("--label");
    need("--so-pin");
    need("--pin");
  } else if (o.command == "import") {
    need("--label");
    need("--pin");
    need("--key");
    need("--id");
    if (seen["--count"] == seen["--cert"]) throw UsageError("import needs exactly one of --cert and --count");
    if (seen["--count"]) {
      size_t used = 0;
      unsigned long n = 0;
      try {
        n = std::stoul(countText, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used == 0 || used != countText.size() || n == 0 || countText[0] == '-')
        throw UsageError("--count needs a positive integer, not '" + countText + "'");
      o.count = n;
    }
  } else if (o.command == "list") {
    need("--label");
  } else {
    throw UsageError("unknown command " + o.command);
  }
  if (seen["--label"] && (o.label.empty() || o.label.size() > 32))
    throw UsageError("--label must have 1 to 32 bytes");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  try {
    o = parse(argc, argv);
  } catch (const UsageError& e) {
    if (*e.what() != '\0') std::cerr << "kelo-p11fixture: " << e.what() << '\n';
    std::cerr << kUsage;
    return 2;
  }
  try {
    if (o.command == "import") fromHex(o.id);  // bad ids are a usage error, caught early
  } catch (const UsageError& e) {
    std::cerr << "kelo-p11fixture: " << e.what() << '\n';
    return 2;
  }
  try {
    Module module(o.module);
    if (o.command == "init") return cmdInit(module, o);
    if (o.command == "import") return cmdImport(module, o);
    return cmdList(module, o);
  } catch (const std::exception& e) {
    std::cerr << "kelo-p11fixture: " << o.command << ": " << e.what() << '\n';
    return 1;
  }
}
