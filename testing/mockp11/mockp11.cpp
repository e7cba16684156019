// Mock PKCS#11 module for the token layer's tests.
//
// Every copy of the module file that the loader maps has its own state, so the
// fixed module names can be used independently. All state sits behind one
// mutex. Each PKCS#11 entry point first writes its call-log line, then
// consults the fault table, then (except C_Initialize and the list getters)
// checks that the module is initialised, and only then does its work.
//
// Cryptography is fake but deterministic and self-consistent:
// - A digest is a keyed mixing hash of (mechanism, data), cut to the length of
//   the real algorithm.
// - An RSA key pair is identified by its CKA_MODULUS bytes; both halves of a
//   pair carry the same modulus, and its length is the "key size".
// - A CKM_RSA_PKCS signature is the type-1 padded block 00 01 FF.. 00 data,
//   masked with a stream derived from (modulus, data). Verification recomputes
//   it. Hash-and-sign mechanisms sign DigestInfo(fake digest) the same way.
// - CKM_RSA_PKCS encryption builds 00 02 PS 00 data, where PS is derived from
//   (modulus, data) and never holds a zero, and masks it with a stream derived
//   from the modulus. Decryption unmasks and insists on the exact PS, so
//   random ciphertexts are rejected with CKR_ENCRYPTED_DATA_INVALID.
// - A key whose CKA_KEY_TYPE is CKK_EC signs with the ECDSA mechanisms only:
//   its "r||s" is a stream of the modulus length derived from (modulus,
//   hash), where the hash is the data for CKM_ECDSA and their fake digest for
//   CKM_ECDSA_SHAxxx, so ECDSA over a digest equals ECDSA-with-hash.
#ifdef _WIN32
// Makes the PKCS#11 header declare C_GetFunctionList with dllexport.
#define CRYPTOKI_EXPORTS
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mockp11_control.h"

namespace {

using Bytes = std::vector<unsigned char>;

// ---------------------------------------------------------------- fake crypto

std::uint64_t Rotl(std::uint64_t v, int n) { return (v << n) | (v >> (64 - n)); }

std::uint64_t SplitMix(std::uint64_t& s) {
  std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Two-lane mixing hash. Not cryptographic; only stable and well spread.
class Mix {
 public:
  explicit Mix(std::uint64_t domain) : a_(0xcbf29ce484222325ULL ^ domain), b_(0x6a09e667f3bcc909ULL + domain) {}

  Mix& Add(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) Byte(p[i]);
    // The length closes each field so that ("ab","c") and ("a","bc") differ.
    for (int i = 0; i < 8; ++i) Byte(static_cast<unsigned char>(static_cast<std::uint64_t>(n) >> (8 * i)));
    return *this;
  }
  Mix& Add(const Bytes& b) { return Add(b.data(), b.size()); }
  Mix& Add(std::uint64_t v) {
    unsigned char le[8];
    for (int i = 0; i < 8; ++i) le[i] = static_cast<unsigned char>(v >> (8 * i));
    return Add(le, sizeof le);
  }

  Bytes Stream(std::size_t n) const {
    Bytes out(n);
    std::uint64_t s = a_;
    std::uint64_t t = Rotl(b_, 31);
    for (std::size_t i = 0; i < n; i += 8) {
      std::uint64_t word = SplitMix(s) ^ Rotl(SplitMix(t), 13);
      for (std::size_t j = 0; j < 8 && i + j < n; ++j) out[i + j] = static_cast<unsigned char>(word >> (8 * j));
    }
    return out;
  }

 private:
  void Byte(unsigned char c) {
    a_ = (a_ ^ c) * 0x100000001b3ULL;
    b_ = Rotl(b_ ^ a_, 23) * 0xff51afd7ed558ccdULL;
  }

  std::uint64_t a_;
  std::uint64_t b_;
};

enum Domain : std::uint64_t {
  kDomainDigest = 0x100000000ULL,
  kDomainSignature = 2,
  kDomainCipherMask = 3,
  kDomainPadding = 4,
  kDomainModulus = 5,
  kDomainPrivateExponent = 6,
  kDomainEcdsa = 7,
};

// PKCS#1 type 1 and 2 padding needs at least 11 bytes around the data.
constexpr std::size_t kPkcs1Overhead = 11;

std::size_t DigestLength(CK_MECHANISM_TYPE m) {
  switch (m) {
    case CKM_SHA_1: return 20;
    case CKM_SHA256: return 32;
    case CKM_SHA384: return 48;
    case CKM_SHA512: return 64;
    case CKM_MD5:
    case CKM_MD2: return 16;
    default: return 0;
  }
}

Bytes FakeDigest(CK_MECHANISM_TYPE m, const unsigned char* data, std::size_t n) {
  return Mix(kDomainDigest ^ m).Add(data, n).Stream(DigestLength(m));
}

struct HashSign {
  CK_MECHANISM_TYPE digest;
  const unsigned char* prefix;  // DER DigestInfo up to the hash value
  std::size_t prefix_len;
};

const HashSign* HashSignFor(CK_MECHANISM_TYPE m) {
  static const unsigned char kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                              0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
  static const unsigned char kMd5Prefix[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                             0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
  static const unsigned char kMd2Prefix[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                             0x86, 0xf7, 0x0d, 0x02, 0x02, 0x05, 0x00, 0x04, 0x10};
  static const unsigned char kSha256Prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                                0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  static const unsigned char kSha384Prefix[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                                0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
  static const unsigned char kSha512Prefix[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                                0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
  static const HashSign kSha256 = {CKM_SHA256, kSha256Prefix, sizeof kSha256Prefix};
  static const HashSign kSha384 = {CKM_SHA384, kSha384Prefix, sizeof kSha384Prefix};
  static const HashSign kSha512 = {CKM_SHA512, kSha512Prefix, sizeof kSha512Prefix};
  static const HashSign kSha1 = {CKM_SHA_1, kSha1Prefix, sizeof kSha1Prefix};
  static const HashSign kMd5 = {CKM_MD5, kMd5Prefix, sizeof kMd5Prefix};
  static const HashSign kMd2 = {CKM_MD2, kMd2Prefix, sizeof kMd2Prefix};
  switch (m) {
    case CKM_SHA1_RSA_PKCS: return &kSha1;
    case CKM_MD5_RSA_PKCS: return &kMd5;
    case CKM_MD2_RSA_PKCS: return &kMd2;
    case CKM_SHA256_RSA_PKCS: return &kSha256;
    case CKM_SHA384_RSA_PKCS: return &kSha384;
    case CKM_SHA512_RSA_PKCS: return &kSha512;
    default: return nullptr;
  }
}

// The block that CKM_RSA_PKCS signs for mechanism m over data: the data
// itself, or the DigestInfo of its fake digest.
Bytes SignatureBlock(CK_MECHANISM_TYPE m, const unsigned char* data, std::size_t n) {
  const HashSign* hs = HashSignFor(m);
  if (hs == nullptr) return Bytes(data, data + n);
  Bytes block(hs->prefix, hs->prefix + hs->prefix_len);
  Bytes digest = FakeDigest(hs->digest, data, n);
  block.insert(block.end(), digest.begin(), digest.end());
  return block;
}

std::size_t SignatureBlockLength(CK_MECHANISM_TYPE m) {
  const HashSign* hs = HashSignFor(m);
  return hs == nullptr ? 0 : hs->prefix_len + DigestLength(hs->digest);
}

// The digest an ECDSA mechanism takes first, 0 for plain CKM_ECDSA; false
// for a mechanism that is no ECDSA.
bool EcdsaDigest(CK_MECHANISM_TYPE m, CK_MECHANISM_TYPE& digest) {
  switch (m) {
    case CKM_ECDSA: digest = 0; return true;
    case CKM_ECDSA_SHA1: digest = CKM_SHA_1; return true;
    case CKM_ECDSA_SHA256: digest = CKM_SHA256; return true;
    case CKM_ECDSA_SHA384: digest = CKM_SHA384; return true;
    case CKM_ECDSA_SHA512: digest = CKM_SHA512; return true;
    default: return false;
  }
}

Bytes FakeEcdsaSign(const Bytes& modulus, CK_MECHANISM_TYPE m, const unsigned char* data, std::size_t n) {
  CK_MECHANISM_TYPE digest = 0;
  EcdsaDigest(m, digest);
  const Bytes hash = digest == 0 ? Bytes(data, data + n) : FakeDigest(digest, data, n);
  return Mix(kDomainEcdsa).Add(modulus).Add(hash).Stream(modulus.size());
}

void XorInto(Bytes& dst, const Bytes& mask) {
  for (std::size_t i = 0; i < dst.size(); ++i) dst[i] = static_cast<unsigned char>(dst[i] ^ mask[i]);
}

// Precondition: block.size() + 11 <= modulus.size().
Bytes FakeRsaSign(const Bytes& modulus, const Bytes& block) {
  const std::size_t k = modulus.size();
  Bytes em(k, 0xff);
  em[0] = 0x00;
  em[1] = 0x01;
  em[k - block.size() - 1] = 0x00;
  std::copy(block.begin(), block.end(), em.end() - static_cast<std::ptrdiff_t>(block.size()));
  XorInto(em, Mix(kDomainSignature).Add(modulus).Add(block).Stream(k));
  return em;
}

Bytes EncryptionPadding(const Bytes& modulus, const unsigned char* data, std::size_t n) {
  Bytes ps = Mix(kDomainPadding).Add(modulus).Add(data, n).Stream(modulus.size() - 3 - n);
  for (auto& b : ps)
    if (b == 0) b = 0x5a;
  return ps;
}

// Precondition: n + 11 <= modulus.size().
Bytes FakeRsaEncrypt(const Bytes& modulus, const unsigned char* data, std::size_t n) {
  Bytes em{0x00, 0x02};
  Bytes ps = EncryptionPadding(modulus, data, n);
  em.insert(em.end(), ps.begin(), ps.end());
  em.push_back(0x00);
  em.insert(em.end(), data, data + n);
  XorInto(em, Mix(kDomainCipherMask).Add(modulus).Stream(em.size()));
  return em;
}

// Precondition: n == modulus.size().
std::optional<Bytes> FakeRsaDecrypt(const Bytes& modulus, const unsigned char* cipher, std::size_t n) {
  Bytes em(cipher, cipher + n);
  XorInto(em, Mix(kDomainCipherMask).Add(modulus).Stream(n));
  if (n < kPkcs1Overhead || em[0] != 0x00 || em[1] != 0x02) return std::nullopt;
  auto sep = std::find(em.begin() + 2, em.end(), static_cast<unsigned char>(0));
  if (sep == em.end() || sep - em.begin() < 10) return std::nullopt;
  Bytes data(sep + 1, em.end());
  Bytes ps = EncryptionPadding(modulus, data.data(), data.size());
  if (!std::equal(ps.begin(), ps.end(), em.begin() + 2)) return std::nullopt;
  return data;
}

// ---------------------------------------------------------------- state

Bytes UlongBytes(CK_ULONG v) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

Bytes BoolBytes(bool v) { return Bytes{static_cast<unsigned char>(v ? CK_TRUE : CK_FALSE)}; }

// DER tag-length-value with a definite length.
Bytes Der(unsigned char tag, const Bytes& content) {
  Bytes out{tag};
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else {
    Bytes len;
    for (std::size_t v = n; v != 0; v >>= 8) len.insert(len.begin(), static_cast<unsigned char>(v & 0xff));
    out.push_back(static_cast<unsigned char>(0x80 | len.size()));
    out.insert(out.end(), len.begin(), len.end());
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

constexpr std::size_t kSerialLen = 16;
constexpr std::size_t kLabelLen = 32;
constexpr CK_ULONG kMinPin = 4;
constexpr CK_ULONG kMaxPin = 255;
constexpr unsigned long kMaxModulusBytes = 4096;
constexpr int kNobody = -1;

std::string Padded(std::string_view s, std::size_t n) {
  std::string out(s.substr(0, n));
  out.resize(n, ' ');
  return out;
}

struct Token {
  std::string serial;  // kSerialLen characters, blank padded
  bool present = true;
  std::string label = Padded("mock", kLabelLen);
  std::string user_pin = "1234";
  std::string so_pin = "12345678";
  bool user_pin_initialized = true;
  bool user_locked = false;
  bool so_locked = false;
  int login = kNobody;  // CKU_SO, CKU_USER or kNobody
};

struct Object {
  CK_SLOT_ID slot = 0;
  std::map<CK_ATTRIBUTE_TYPE, Bytes> attrs;

  const Bytes* Find(CK_ATTRIBUTE_TYPE t) const {
    auto it = attrs.find(t);
    return it == attrs.end() ? nullptr : &it->second;
  }
  // A missing or malformed boolean reads as dflt.
  bool Flag(CK_ATTRIBUTE_TYPE t, bool dflt) const {
    const Bytes* v = Find(t);
    return v != nullptr && v->size() == 1 ? (*v)[0] != CK_FALSE : dflt;
  }
  std::optional<CK_ULONG> Ulong(CK_ATTRIBUTE_TYPE t) const {
    const Bytes* v = Find(t);
    if (v == nullptr || v->size() != sizeof(CK_ULONG)) return std::nullopt;
    CK_ULONG u;
    std::memcpy(&u, v->data(), sizeof u);
    return u;
  }
};

enum class Op { kNone, kDigest, kSign, kVerify, kEncrypt, kDecrypt };

struct Session {
  CK_SLOT_ID slot = 0;
  bool rw = false;
  bool finding = false;
  std::vector<CK_OBJECT_HANDLE> found;
  std::size_t next_found = 0;
  Op op = Op::kNone;
  CK_MECHANISM_TYPE mechanism = 0;
  CK_OBJECT_HANDLE key = 0;
};

struct Fault {
  std::string fn;
  unsigned long nth = 0;
  unsigned long rv = 0;
  unsigned long seen = 0;
};

struct State {
  std::mutex mu;
  bool initialized = false;
  CK_RV initialize_rv = CKR_OK;
  std::vector<Token> slots;  // slot id = index + 1
  std::map<CK_OBJECT_HANDLE, Object> objects;
  CK_OBJECT_HANDLE next_object = 1;
  std::map<CK_SESSION_HANDLE, Session> sessions;
  CK_SESSION_HANDLE next_session = 1;
  std::vector<Fault> faults;
  std::string log;
  std::string log_snapshot;
  std::map<std::string, unsigned long, std::less<>> counts;
  std::uint64_t pairs_made = 0;
  // Misbehaviour while answering CKR_OK (mockp11_set_reported_length and friends).
  std::map<std::string, CK_ULONG, std::less<>> reported_length;
  bool endless_find = false;
  int narrowed_find = 0;  // MOCKP11_NARROWED_*
  bool zero_session = false;
  std::vector<std::size_t> null_entries;  // offsets into CK_FUNCTION_LIST
  std::string stdout_text;
  // The list handed out while entries are nulled. It lives as long as the
  // state, so a caller's pointer to it never dangles.
  CK_FUNCTION_LIST gapped_list{};
  std::string default_label = Padded("mock", kLabelLen);

  void Reset() {
    initialized = false;
    initialize_rv = CKR_OK;
    slots.clear();
    objects.clear();
    next_object = 1;
    sessions.clear();
    next_session = 1;
    faults.clear();
    log.clear();
    counts.clear();
    pairs_made = 0;
    reported_length.clear();
    endless_find = false;
    narrowed_find = 0;
    zero_session = false;
    null_entries.clear();
    stdout_text.clear();
    default_label = Padded("mock", kLabelLen);
  }

  std::optional<CK_ULONG> ReportedLength(std::string_view fn) const {
    auto it = reported_length.find(fn);
    return it == reported_length.end() ? std::nullopt : std::optional<CK_ULONG>(it->second);
  }

  // What a module that prints to stdout would do; the protocol stream of a
  // host must not be hurt by it.
  void Chatter() const {
    if (stdout_text.empty()) return;
    std::printf("%s\n", stdout_text.c_str());
    std::fflush(stdout);
  }

  Token* Slot(CK_SLOT_ID id) { return id >= 1 && id <= slots.size() ? &slots[id - 1] : nullptr; }

  Session* FindSession(CK_SESSION_HANDLE h) {
    auto it = sessions.find(h);
    return it == sessions.end() ? nullptr : &it->second;
  }

  Object* FindObject(CK_OBJECT_HANDLE h) {
    auto it = objects.find(h);
    return it == objects.end() ? nullptr : &it->second;
  }

  // An object reachable from a session: it must live on the session's token.
  Object* ObjectFor(const Session& s, CK_OBJECT_HANDLE h) {
    Object* o = FindObject(h);
    return o != nullptr && o->slot == s.slot ? o : nullptr;
  }

  std::size_t SessionsOn(CK_SLOT_ID slot, bool read_only_only = false) const {
    std::size_t n = 0;
    for (const auto& [h, s] : sessions)
      if (s.slot == slot && (!read_only_only || !s.rw)) ++n;
    return n;
  }

  // PKCS#11 ties the login state to the token's sessions: it ends with the last one.
  void CloseSessions(CK_SLOT_ID slot) {
    std::erase_if(sessions, [slot](const auto& e) { return e.second.slot == slot; });
    if (Token* t = Slot(slot)) t->login = kNobody;
  }

  std::optional<CK_RV> TakeFault(std::string_view fn) {
    std::optional<CK_RV> hit;
    for (auto& f : faults) {
      if (f.fn != fn) continue;
      ++f.seen;
      if (f.nth == 0 || f.seen == f.nth) {
        if (!hit) hit = static_cast<CK_RV>(f.rv);
      }
    }
    std::erase_if(faults, [fn](const Fault& f) { return f.fn == fn && f.nth != 0 && f.seen >= f.nth; });
    return hit;
  }
};

// Allocated on first use and freed only when the module is unloaded, so a
// host that finalises the module from its own static destructors still finds
// the state alive.
State* g_state = nullptr;

State& S() {
  if (g_state == nullptr) g_state = new State;
  return *g_state;
}

// One PKCS#11 call: holds the lock, builds the log line, and at Enter() logs
// it and answers an injected fault or a missing C_Initialize.
class Call {
 public:
  explicit Call(const char* name) : lock_(S().mu), name_(name), line_(name) {}

  Call& Num(CK_ULONG v) {
    line_ += ' ';
    line_ += std::to_string(v);
    return *this;
  }
  Call& Word(std::string_view w) {
    line_ += ' ';
    line_ += w;
    return *this;
  }
  // A PIN or other byte string, as text.
  Call& Text(const unsigned char* p, CK_ULONG n) {
    return p == nullptr ? Word("null") : Word(std::string_view(reinterpret_cast<const char*>(p), n));
  }
  // Capacity of an output area.
  Call& Capacity(const void* out, const CK_ULONG* len) {
    return out == nullptr || len == nullptr ? Word("null") : Num(*len);
  }
  Call& Mechanism(const CK_MECHANISM* m) { return m == nullptr ? Word("null") : Num(m->mechanism); }

  const char* Name() const { return name_; }

  std::optional<CK_RV> Enter(bool needs_init = true) {
    State& s = S();
    s.log += line_;
    s.log += '\n';
    ++s.counts[name_];
    if (auto rv = s.TakeFault(name_)) return rv;
    if (needs_init && !s.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return std::nullopt;
  }

 private:
  std::unique_lock<std::mutex> lock_;
  const char* name_;
  std::string line_;
};

void CopyPadded(unsigned char* dst, std::string_view src, std::size_t n) {
  std::string p = Padded(src, n);
  std::memcpy(dst, p.data(), n);
}

// ---------------------------------------------------------------- general

CK_RV M_Initialize(void* args) {
  Call c("C_Initialize");
  S().Chatter();
  if (auto rv = c.Enter(false)) return *rv;
  State& s = S();
  if (args != nullptr) {
    const auto* a = static_cast<const CK_C_INITIALIZE_ARGS*>(args);
    if (a->pReserved != nullptr) return CKR_ARGUMENTS_BAD;
    const int set = (a->CreateMutex != nullptr) + (a->DestroyMutex != nullptr) + (a->LockMutex != nullptr) +
                    (a->UnlockMutex != nullptr);
    if (set != 0 && set != 4) return CKR_ARGUMENTS_BAD;
  }
  if (s.initialize_rv != CKR_OK) {
    // "Already initialised" stands for another user in the process having
    // initialised the module, which leaves it usable.
    if (s.initialize_rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) s.initialized = true;
    return s.initialize_rv;
  }
  if (s.initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  s.initialized = true;
  return CKR_OK;
}

CK_RV M_Finalize(void* reserved) {
  Call c("C_Finalize");
  if (auto rv = c.Enter()) return *rv;
  if (reserved != nullptr) return CKR_ARGUMENTS_BAD;
  State& s = S();
  for (CK_SLOT_ID id = 1; id <= s.slots.size(); ++id) s.CloseSessions(id);
  s.sessions.clear();
  s.initialized = false;
  return CKR_OK;
}

CK_RV M_GetSlotList(CK_BBOOL token_present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  Call c("C_GetSlotList");
  S().Chatter();
  c.Num(token_present).Capacity(list, count);
  if (auto rv = c.Enter()) return *rv;
  if (count == nullptr) return CKR_ARGUMENTS_BAD;
  State& s = S();
  std::vector<CK_SLOT_ID> ids;
  for (CK_SLOT_ID id = 1; id <= s.slots.size(); ++id)
    if (token_present == CK_FALSE || s.slots[id - 1].present) ids.push_back(id);
  const auto n = static_cast<CK_ULONG>(ids.size());
  if (auto lie = s.ReportedLength("C_GetSlotList")) {
    if (list != nullptr && *count >= n) std::copy(ids.begin(), ids.end(), list);
    *count = *lie;
    return CKR_OK;
  }
  if (list == nullptr) {
    *count = n;
    return CKR_OK;
  }
  if (*count < n) {
    *count = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  std::copy(ids.begin(), ids.end(), list);
  *count = n;
  return CKR_OK;
}

CK_RV M_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  Call c("C_GetTokenInfo");
  c.Num(slot);
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  Token* t = s.Slot(slot);
  if (t == nullptr) return CKR_SLOT_ID_INVALID;
  if (!t->present) return CKR_TOKEN_NOT_PRESENT;
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  std::memset(info, 0, sizeof *info);
  CopyPadded(info->label, t->label, sizeof info->label);
  CopyPadded(info->manufacturerID, "mockp11", sizeof info->manufacturerID);
  CopyPadded(info->model, "mock token", sizeof info->model);
  CopyPadded(info->serialNumber, t->serial, sizeof info->serialNumber);
  CK_FLAGS flags = CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED;
  if (t->user_pin_initialized) flags |= CKF_USER_PIN_INITIALIZED;
  if (t->user_locked) flags |= CKF_USER_PIN_LOCKED;
  if (t->so_locked) flags |= CKF_SO_PIN_LOCKED;
  info->flags = flags;
  info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulSessionCount = static_cast<CK_ULONG>(s.SessionsOn(slot));
  info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulRwSessionCount = static_cast<CK_ULONG>(s.SessionsOn(slot) - s.SessionsOn(slot, true));
  info->ulMaxPinLen = kMaxPin;
  info->ulMinPinLen = kMinPin;
  info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->hardwareVersion.major = 1;
  info->firmwareVersion.major = 1;
  CopyPadded(info->utcTime, "", sizeof info->utcTime);
  return CKR_OK;
}

// ---------------------------------------------------------------- sessions

CK_RV M_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE_PTR out) {
  Call c("C_OpenSession");
  c.Num(slot).Num(flags);
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  Token* t = s.Slot(slot);
  if (t == nullptr) return CKR_SLOT_ID_INVALID;
  if (!t->present) return CKR_TOKEN_NOT_PRESENT;
  if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  if (out == nullptr) return CKR_ARGUMENTS_BAD;
  const bool rw = (flags & CKF_RW_SESSION) != 0;
  if (!rw && t->login == static_cast<int>(CKU_SO)) return CKR_SESSION_READ_WRITE_SO_EXISTS;
  if (s.zero_session) {
    *out = 0;  // success, but no session behind it
    return CKR_OK;
  }
  Session session;
  session.slot = slot;
  session.rw = rw;
  const CK_SESSION_HANDLE h = s.next_session++;
  s.sessions.emplace(h, std::move(session));
  *out = h;
  return CKR_OK;
}

CK_RV M_CloseSession(CK_SESSION_HANDLE h) {
  Call c("C_CloseSession");
  c.Num(h);
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  Session* session = s.FindSession(h);
  if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
  const CK_SLOT_ID slot = session->slot;
  s.sessions.erase(h);
  if (s.SessionsOn(slot) == 0) s.CloseSessions(slot);
  return CKR_OK;
}

CK_RV M_CloseAllSessions(CK_SLOT_ID slot) {
  Call c("C_CloseAllSessions");
  c.Num(slot);
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  Token* t = s.Slot(slot);
  if (t == nullptr) return CKR_SLOT_ID_INVALID;
  if (!t->present) return CKR_TOKEN_NOT_PRESENT;
  s.CloseSessions(slot);
  return CKR_OK;
}

// ---------------------------------------------------------------- login, PINs

bool PinEquals(const std::string& pin, const unsigned char* p, CK_ULONG n) {
  return pin.size() == n && std::memcmp(pin.data(), p, n) == 0;
}

CK_RV M_Login(CK_SESSION_HANDLE h, CK_USER_TYPE type, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
  Call c("C_Login");
  c.Num(h).Num(type).Num(len).Text(pin, len);
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  Session* session = s.FindSession(h);
  if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (type != CKU_SO && type != CKU_USER) return CKR_USER_TYPE_INVALID;
  Token& t = *s.Slot(session->slot);
  if (t.login == static_cast<int>(type)) return CKR_USER_ALREADY_LOGGED_IN;
  if (t.login != kNobody) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
  if (type == CKU_SO && s.SessionsOn(session->slot, true) != 0) return CKR_SESSION_READ_ONLY_EXISTS;
  if (type == CKU_USER && !t.user_pin_initialized) return CKR_USER_PIN_NOT_INITIALIZED;
  if (type == CKU_USER ? t.user_locked : t.so_locked) return CKR_PIN_LOCKED;
  if (pin == nullptr) return CKR_ARGUMENTS_BAD;
  if (!PinEquals(type == CKU_USER ? t.user_pin : t.so_pin, pin, len)) return CKR_PIN_INCORRECT;
  t.login = static_cast<int>(type);
  return CKR_OK;
}

CK_RV M_Logout(CK_SESSION_HANDLE h) {
  Call c("C_Logout");
  c.Num(h);
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  Session* session = s.FindSession(h);
  if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
  Token& t = *s.Slot(session->slot);
  if (t.login == kNobody) return CKR_USER_NOT_LOGGED_IN;
  t.login = kNobody;
  return CKR_OK;
}

CK_RV M_SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR old_pin, CK_ULONG old_len, CK_UTF8CHAR_PTR new_pin,
               CK_ULONG new_len) {
  Call c("C_SetPIN");
  c.Num(h).Num(old_len).Text(old_pin, old_len).Num(new_len).Text(new_pin, new_len);
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  Session* session = s.FindSession(h);
  if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
  Token& t = *s.Slot(session->slot);
  if (t.login == kNobody) return CKR_USER_NOT_LOGGED_IN;
  if (!session->rw) return CKR_SESSION_READ_ONLY;
  const bool so = t.login == static_cast<int>(CKU_SO);
  if (so ? t.so_locked : t.user_locked) return CKR_PIN_LOCKED;
  if (old_pin == nullptr || new_pin == nullptr) return CKR_ARGUMENTS_BAD;
  std::string& pin = so ? t.so_pin : t.user_pin;
  if (!PinEquals(pin, old_pin, old_len)) return CKR_PIN_INCORRECT;
  if (new_len < kMinPin || new_len > kMaxPin) return CKR_PIN_LEN_RANGE;
  pin.assign(reinterpret_cast<const char*>(new_pin), new_len);
  return CKR_OK;
}

CK_RV M_InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
  Call c("C_InitPIN");
  c.Num(h).Num(len).Text(pin, len);
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  Session* session = s.FindSession(h);
  if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
  Token& t = *s.Slot(session->slot);
  if (t.login != static_cast<int>(CKU_SO)) return CKR_USER_NOT_LOGGED_IN;
  if (!session->rw) return CKR_SESSION_READ_ONLY;
  if (pin == nullptr) return CKR_ARGUMENTS_BAD;
  if (len < kMinPin || len > kMaxPin) return CKR_PIN_LEN_RANGE;
  t.user_pin.assign(reinterpret_cast<const char*>(pin), len);
  t.user_pin_initialized = true;
  t.user_locked = false;
  return CKR_OK;
}

CK_RV M_InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG len, CK_UTF8CHAR_PTR label) {
  Call c("C_InitToken");
  c.Num(slot).Num(len).Text(pin, len);
  if (label == nullptr)
    c.Word("null");
  else
    c.Word("\"" + std::string(reinterpret_cast<const char*>(label), kLabelLen) + "\"");
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  Token* t = s.Slot(slot);
  if (t == nullptr) return CKR_SLOT_ID_INVALID;
  if (!t->present) return CKR_TOKEN_NOT_PRESENT;
  if (s.SessionsOn(slot) != 0) return CKR_SESSION_EXISTS;
  if (t->so_locked) return CKR_PIN_LOCKED;
  if (pin == nullptr || label == nullptr) return CKR_ARGUMENTS_BAD;
  if (!PinEquals(t->so_pin, pin, len)) return CKR_PIN_INCORRECT;
  t->label.assign(reinterpret_cast<const char*>(label), kLabelLen);
  std::erase_if(s.objects, [slot](const auto& e) { return e.second.slot == slot; });
  t->user_pin.clear();
  t->user_pin_initialized = false;
  t->user_locked = false;
  return CKR_OK;
}

// ---------------------------------------------------------------- objects

// Private objects exist for the session only while the normal user is logged in.
bool Visible(State& s, const Session& session, const Object& o) {
  return o.slot == session.slot &&
         (!o.Flag(CKA_PRIVATE, false) || s.Slot(session.slot)->login == static_cast<int>(CKU_USER));
}

bool Matches(const Object& o, const CK_ATTRIBUTE* tmpl, CK_ULONG n) {
  for (CK_ULONG i = 0; i < n; ++i) {
    const Bytes* v = o.Find(tmpl[i].type);
    const CK_ULONG len = tmpl[i].ulValueLen;
    if (v == nullptr || v->size() != len) return false;
    if (len != 0 && std::memcmp(v->data(), tmpl[i].pValue, len) != 0) return false;
  }
  return true;
}

// A template entry for the log: "type:HEX", or "type:null".
std::string AttributeText(const CK_ATTRIBUTE& a) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out = std::to_string(a.type) + ":";
  if (a.pValue == nullptr) return out + "null";
  const auto* p = static_cast<const unsigned char*>(a.pValue);
  for (CK_ULONG i = 0; i < a.ulValueLen; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 0x0F];
  }
  return out;
}

// Value of an attribute in a template for the log, or -1.
std::string TemplateValue(const CK_ATTRIBUTE* tmpl, CK_ULONG n, CK_ATTRIBUTE_TYPE type) {
  if (tmpl == nullptr) return "-1";
  for (CK_ULONG i = 0; i < n; ++i) {
    if (tmpl[i].type != type || tmpl[i].pValue == nullptr) continue;
    if (tmpl[i].ulValueLen == sizeof(CK_ULONG)) {
      CK_ULONG v;
      std::memcpy(&v, tmpl[i].pValue, sizeof v);
      return std::to_string(v);
    }
    if (tmpl[i].ulValueLen == 1) return std::to_string(static_cast<const unsigned char*>(tmpl[i].pValue)[0]);
  }
  return "-1";
}

CK_RV M_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG n) {
  Call c("C_FindObjectsInit");
  c.Num(h).Word(TemplateValue(tmpl, n, CKA_CLASS)).Word(TemplateValue(tmpl, n, CKA_TOKEN));
  for (CK_ULONG i = 0; tmpl != nullptr && i < n; ++i)
    if (tmpl[i].type != CKA_CLASS && tmpl[i].type != CKA_TOKEN) c.Word(AttributeText(tmpl[i]));
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  Session* session = s.FindSession(h);
  if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (session->finding) return CKR_OPERATION_ACTIVE;
  if (tmpl == nullptr && n != 0) return CKR_ARGUMENTS_BAD;
  for (CK_ULONG i = 0; i < n; ++i)
    if (tmpl[i].pValue == nullptr && tmpl[i].ulValueLen != 0) return CKR_ARGUMENTS_BAD;
  session->found.clear();
  session->next_found = 0;
  std::vector<CK_ATTRIBUTE> kept(tmpl, tmpl + n);
  const bool narrowed = std::any_of(kept.begin(), kept.end(),
                                    [](const CK_ATTRIBUTE& a) { return a.type != CKA_CLASS && a.type != CKA_TOKEN; });
  if (narrowed && s.narrowed_find == MOCKP11_NARROWED_IGNORED)
    std::erase_if(kept, [](const CK_ATTRIBUTE& a) { return a.type != CKA_CLASS && a.type != CKA_TOKEN; });
  for (const auto& [handle, o] : s.objects)  // handle order is creation order
    if (Visible(s, *session, o) && Matches(o, kept.data(), static_cast<CK_ULONG>(kept.size())))
      session->found.push_back(handle);
  if (narrowed && s.narrowed_find == MOCKP11_NARROWED_REVERSED)
    std::reverse(session->found.begin(), session->found.end());
  session->finding = true;
  return CKR_OK;
}

CK_RV M_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR out, CK_ULONG max, CK_ULONG_PTR count) {
  Call c("C_FindObjects");
  c.Num(h).Num(max);
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  Session* session = s.FindSession(h);
  if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!session->finding) return CKR_OPERATION_NOT_INITIALIZED;
  if (out == nullptr || count == nullptr) return CKR_ARGUMENTS_BAD;
  if (s.endless_find && max != 0) {
    // Never runs dry: the matches over and over, or an object that does not exist.
    constexpr CK_OBJECT_HANDLE kNoObject = 0x7fffffff;
    out[0] = session->found.empty() ? kNoObject : session->found[session->next_found++ % session->found.size()];
    *count = 1;
    return CKR_OK;
  }
  CK_ULONG got = 0;
  while (got < max && session->next_found < session->found.size()) out[got++] = session->found[session->next_found++];
  *count = got;
  return CKR_OK;
}

CK_RV M_FindObjectsFinal(CK_SESSION_HANDLE h) {
  Call c("C_FindObjectsFinal");
  c.Num(h);
  std::optional<CK_RV> fault = c.Enter();
  State& s = S();
  Session* session = s.FindSession(h);
  // Even a failing final call ends the search: there is nothing a caller
  // could do to end it otherwise.
  if (fault) {
    if (session) {
      session->finding = false;
      session->found.clear();
      session->next_found = 0;
    }
    return *fault;
  }
  if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (!session->finding) return CKR_OPERATION_NOT_INITIALIZED;
  session->finding = false;
  session->found.clear();
  session->next_found = 0;
  return CKR_OK;
}

// Secret parts of a key, never readable while the key is sensitive.
bool SensitiveAttribute(const Object& o, CK_ATTRIBUTE_TYPE type) {
  const auto cls = o.Ulong(CKA_CLASS);
  if (!cls || (*cls != CKO_PRIVATE_KEY && *cls != CKO_SECRET_KEY)) return false;
  if (!o.Flag(CKA_SENSITIVE, true) && o.Flag(CKA_EXTRACTABLE, true)) return false;
  switch (type) {
    case CKA_VALUE:
    case CKA_PRIVATE_EXPONENT:
    case CKA_PRIME_1:
    case CKA_PRIME_2:
    case CKA_EXPONENT_1:
    case CKA_EXPONENT_2:
    case CKA_COEFFICIENT: return true;
    default: return false;
  }
}

CK_RV M_GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR tmpl, CK_ULONG n) {
  Call c("C_GetAttributeValue");
  c.Num(h).Num(obj);
  for (CK_ULONG i = 0; tmpl != nullptr && i < n; ++i) {
    std::string entry = std::to_string(tmpl[i].type);
    entry += tmpl[i].pValue == nullptr ? "*" : ":" + std::to_string(tmpl[i].ulValueLen);
    c.Word(entry);
  }
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  Session* session = s.FindSession(h);
  if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
  Object* o = s.ObjectFor(*session, obj);
  if (o == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  if (!Visible(s, *session, *o)) return CKR_USER_NOT_LOGGED_IN;
  if (tmpl == nullptr && n != 0) return CKR_ARGUMENTS_BAD;
  bool invalid = false;
  bool sensitive = false;
  bool too_small = false;
  const auto lie = s.ReportedLength("C_GetAttributeValue");
  for (CK_ULONG i = 0; i < n; ++i) {
    CK_ATTRIBUTE& a = tmpl[i];
    const Bytes* v = o->Find(a.type);
    if (SensitiveAttribute(*o, a.type)) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      sensitive = true;
    } else if (v == nullptr) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      invalid = true;
    } else if (lie) {
      if (a.pValue != nullptr && a.ulValueLen >= v->size() && !v->empty()) std::memcpy(a.pValue, v->data(), v->size());
      a.ulValueLen = *lie;
    } else if (a.pValue == nullptr) {
      a.ulValueLen = static_cast<CK_ULONG>(v->size());
    } else if (a.ulValueLen < v->size()) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      too_small = true;
    } else {
      if (!v->empty()) std::memcpy(a.pValue, v->data(), v->size());
      a.ulValueLen = static_cast<CK_ULONG>(v->size());
    }
  }
  if (invalid) return CKR_ATTRIBUTE_TYPE_INVALID;
  if (sensitive) return CKR_ATTRIBUTE_SENSITIVE;
  if (too_small) return CKR_BUFFER_TOO_SMALL;
  return CKR_OK;
}

// ---------------------------------------------------------------- crypto

bool MechanismAllowed(Op op, CK_MECHANISM_TYPE m) {
  switch (op) {
    case Op::kDigest: return DigestLength(m) != 0;
    case Op::kSign:
    case Op::kVerify: {
      CK_MECHANISM_TYPE digest;
      return m == CKM_RSA_PKCS || HashSignFor(m) != nullptr || EcdsaDigest(m, digest);
    }
    case Op::kEncrypt:
    case Op::kDecrypt: return m == CKM_RSA_PKCS;
    case Op::kNone: break;
  }
  return false;
}

struct KeyUse {
  CK_OBJECT_CLASS cls;
  CK_ATTRIBUTE_TYPE permission;
};

KeyUse KeyUseFor(Op op) {
  switch (op) {
    case Op::kSign: return {CKO_PRIVATE_KEY, CKA_SIGN};
    case Op::kDecrypt: return {CKO_PRIVATE_KEY, CKA_DECRYPT};
    case Op::kVerify: return {CKO_PUBLIC_KEY, CKA_VERIFY};
    default: return {CKO_PUBLIC_KEY, CKA_ENCRYPT};
  }
}

CK_RV CryptoInit(Call& c, Op op, CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key) {
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  Session* session = s.FindSession(h);
  if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (session->op != Op::kNone) return CKR_OPERATION_ACTIVE;
  if (mech == nullptr) return CKR_ARGUMENTS_BAD;
  const CK_MECHANISM_TYPE m = mech->mechanism;
  if (!MechanismAllowed(op, m)) return CKR_MECHANISM_INVALID;
  if (op != Op::kDigest) {
    const Object* o = s.ObjectFor(*session, key);
    if (o == nullptr) return CKR_KEY_HANDLE_INVALID;
    if (!Visible(s, *session, *o)) return CKR_USER_NOT_LOGGED_IN;
    const KeyUse use = KeyUseFor(op);
    if (o->Ulong(CKA_CLASS) != use.cls) return CKR_KEY_TYPE_INCONSISTENT;
    const auto key_type = o->Ulong(CKA_KEY_TYPE);
    const Bytes* modulus = o->Find(CKA_MODULUS);
    CK_MECHANISM_TYPE digest;
    const bool ecdsa = EcdsaDigest(m, digest);
    const CK_KEY_TYPE wanted = ecdsa ? CKK_EC : CKK_RSA;
    if ((key_type ? *key_type != wanted : ecdsa) || modulus == nullptr) return CKR_KEY_TYPE_INCONSISTENT;
    if (!ecdsa && (modulus->size() < SignatureBlockLength(m) + kPkcs1Overhead || modulus->size() < kPkcs1Overhead + 1))
      return CKR_KEY_SIZE_RANGE;
    if (!o->Flag(use.permission, true)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  }
  session->op = op;
  session->mechanism = m;
  session->key = key;
  return CKR_OK;
}

void EndOperation(Session& s) {
  s.op = Op::kNone;
  s.mechanism = 0;
  s.key = 0;
}

// The modulus of the operation's key, or null when the key has gone (the
// token was re-initialised) or lost its modulus meanwhile.
const Bytes* OperationModulus(State& s, const Session& session) {
  const Object* o = s.ObjectFor(session, session.key);
  return o == nullptr ? nullptr : o->Find(CKA_MODULUS);
}

// Single-part digest, sign, encrypt or decrypt with the PKCS#11 output rules:
// a null output or a too small one leaves the operation active.
CK_RV ProcessHonestly(Call& c, Op op, CK_SESSION_HANDLE h, const unsigned char* in, CK_ULONG in_len,
                      unsigned char* out, CK_ULONG_PTR out_len) {
  if (auto rv = c.Enter()) {
    // A failed processing call ends the operation, as PKCS#11 says, except
    // for a too-small output area.
    if (Session* session = S().FindSession(h); session && *rv != CKR_BUFFER_TOO_SMALL) EndOperation(*session);
    return *rv;
  }
  State& s = S();
  Session* session = s.FindSession(h);
  if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (session->op != op) return CKR_OPERATION_NOT_INITIALIZED;
  auto fail = [session](CK_RV rv) {
    EndOperation(*session);
    return rv;
  };
  if (out_len == nullptr || (in == nullptr && in_len != 0)) return fail(CKR_ARGUMENTS_BAD);
  const CK_MECHANISM_TYPE m = session->mechanism;
  const Bytes* modulus = nullptr;
  std::size_t bound;
  if (op == Op::kDigest) {
    bound = DigestLength(m);
  } else {
    modulus = OperationModulus(s, *session);
    if (modulus == nullptr) return fail(CKR_KEY_HANDLE_INVALID);
    // Decryption reports the key size as its bound, whatever the plaintext.
    bound = modulus->size();
  }
  if (out == nullptr) {
    *out_len = static_cast<CK_ULONG>(bound);
    return CKR_OK;
  }
  if (*out_len < bound) {
    *out_len = static_cast<CK_ULONG>(bound);
    return CKR_BUFFER_TOO_SMALL;
  }
  Bytes result;
  const std::size_t n = in_len;
  switch (op) {
    case Op::kDigest: result = FakeDigest(m, in, n); break;
    case Op::kSign: {
      CK_MECHANISM_TYPE digest;
      if (EcdsaDigest(m, digest)) {
        result = FakeEcdsaSign(*modulus, m, in, n);
        break;
      }
      Bytes block = SignatureBlock(m, in, n);
      if (block.size() + kPkcs1Overhead > modulus->size()) return fail(CKR_DATA_LEN_RANGE);
      result = FakeRsaSign(*modulus, block);
      break;
    }
    case Op::kEncrypt:
      if (n + kPkcs1Overhead > modulus->size()) return fail(CKR_DATA_LEN_RANGE);
      result = FakeRsaEncrypt(*modulus, in, n);
      break;
    case Op::kDecrypt: {
      if (n != modulus->size()) return fail(CKR_ENCRYPTED_DATA_LEN_RANGE);
      auto plain = FakeRsaDecrypt(*modulus, in, n);
      if (!plain) return fail(CKR_ENCRYPTED_DATA_INVALID);
      result = std::move(*plain);
      break;
    }
    default: return fail(CKR_GENERAL_ERROR);
  }
  if (!result.empty()) std::memcpy(out, result.data(), result.size());
  *out_len = static_cast<CK_ULONG>(result.size());
  EndOperation(*session);
  return CKR_OK;
}

// The above, unless the function is set to report a length of its own: then
// every length it would report (a query, a too-small area, a result) is that
// length instead, with CKR_OK, and only a length query leaves the operation
// active.
CK_RV Process(Call& c, Op op, CK_SESSION_HANDLE h, const unsigned char* in, CK_ULONG in_len, unsigned char* out,
              CK_ULONG_PTR out_len) {
  const CK_RV rv = ProcessHonestly(c, op, h, in, in_len, out, out_len);
  State& s = S();
  const auto lie = s.ReportedLength(c.Name());
  if (!lie || out_len == nullptr || (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL)) return rv;
  *out_len = *lie;
  if (out != nullptr) {
    if (Session* session = s.FindSession(h)) EndOperation(*session);
  }
  return CKR_OK;
}

CK_RV M_DigestInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech) {
  Call c("C_DigestInit");
  c.Num(h).Mechanism(mech);
  return CryptoInit(c, Op::kDigest, h, mech, 0);
}

CK_RV M_Digest(CK_SESSION_HANDLE h, CK_BYTE_PTR in, CK_ULONG in_len, CK_BYTE_PTR out, CK_ULONG_PTR out_len) {
  Call c("C_Digest");
  c.Num(h).Num(in_len).Capacity(out, out_len);
  return Process(c, Op::kDigest, h, in, in_len, out, out_len);
}

CK_RV M_SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key) {
  Call c("C_SignInit");
  c.Num(h).Mechanism(mech).Num(key);
  return CryptoInit(c, Op::kSign, h, mech, key);
}

CK_RV M_Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR in, CK_ULONG in_len, CK_BYTE_PTR out, CK_ULONG_PTR out_len) {
  Call c("C_Sign");
  S().Chatter();
  c.Num(h).Num(in_len).Capacity(out, out_len);
  return Process(c, Op::kSign, h, in, in_len, out, out_len);
}

CK_RV M_EncryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key) {
  Call c("C_EncryptInit");
  c.Num(h).Mechanism(mech).Num(key);
  return CryptoInit(c, Op::kEncrypt, h, mech, key);
}

CK_RV M_Encrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR in, CK_ULONG in_len, CK_BYTE_PTR out, CK_ULONG_PTR out_len) {
  Call c("C_Encrypt");
  c.Num(h).Num(in_len).Capacity(out, out_len);
  return Process(c, Op::kEncrypt, h, in, in_len, out, out_len);
}

CK_RV M_DecryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key) {
  Call c("C_DecryptInit");
  c.Num(h).Mechanism(mech).Num(key);
  return CryptoInit(c, Op::kDecrypt, h, mech, key);
}

CK_RV M_Decrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR in, CK_ULONG in_len, CK_BYTE_PTR out, CK_ULONG_PTR out_len) {
  Call c("C_Decrypt");
  c.Num(h).Num(in_len).Capacity(out, out_len);
  return Process(c, Op::kDecrypt, h, in, in_len, out, out_len);
}

CK_RV M_VerifyInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key) {
  Call c("C_VerifyInit");
  c.Num(h).Mechanism(mech).Num(key);
  return CryptoInit(c, Op::kVerify, h, mech, key);
}

CK_RV M_Verify(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG data_len, CK_BYTE_PTR sig, CK_ULONG sig_len) {
  Call c("C_Verify");
  c.Num(h).Num(data_len).Num(sig_len);
  if (auto rv = c.Enter()) {
    if (Session* session = S().FindSession(h)) EndOperation(*session);
    return *rv;
  }
  State& s = S();
  Session* session = s.FindSession(h);
  if (session == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (session->op != Op::kVerify) return CKR_OPERATION_NOT_INITIALIZED;
  // Verification is always single-shot: whatever the answer, it ends here.
  const CK_MECHANISM_TYPE m = session->mechanism;
  const Bytes* modulus = OperationModulus(s, *session);
  EndOperation(*session);
  if ((data == nullptr && data_len != 0) || sig == nullptr) return CKR_ARGUMENTS_BAD;
  if (modulus == nullptr) return CKR_KEY_HANDLE_INVALID;
  if (sig_len != modulus->size()) return CKR_SIGNATURE_LEN_RANGE;
  if (CK_MECHANISM_TYPE digest; EcdsaDigest(m, digest)) {
    const Bytes expected = FakeEcdsaSign(*modulus, m, data, data_len);
    return std::equal(expected.begin(), expected.end(), sig) ? CKR_OK : CKR_SIGNATURE_INVALID;
  }
  Bytes block = SignatureBlock(m, data, data_len);
  if (block.size() + kPkcs1Overhead > modulus->size()) return CKR_DATA_LEN_RANGE;
  const Bytes expected = FakeRsaSign(*modulus, block);
  return std::equal(expected.begin(), expected.end(), sig) ? CKR_OK : CKR_SIGNATURE_INVALID;
}

// Every mechanism the crypto above does, with the uses it allows.
CK_RV M_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
  Call c("C_GetMechanismInfo");
  c.Num(slot).Num(type);
  if (auto rv = c.Enter()) return *rv;
  State& s = S();
  if (s.Slot(slot) == nullptr) return CKR_SLOT_ID_INVALID;
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  CK_FLAGS flags = 0;
  if (MechanismAllowed(Op::kDigest, type)) flags |= CKF_DIGEST;
  if (MechanismAllowed(Op::kSign, type)) flags |= CKF_SIGN | CKF_VERIFY;
  if (MechanismAllowed(Op::kEncrypt, type)) flags |= CKF_ENCRYPT | CKF_DECRYPT;
  if (flags == 0) return CKR_MECHANISM_INVALID;
  *info = CK_MECHANISM_INFO{};
  info->ulMinKeySize = 512;
  info->ulMaxKeySize = 32768;
  info->flags = flags | CKF_HW;
  return CKR_OK;
}

// ---------------------------------------------------------------- unsupported

template <std::size_t N>
struct FnName {
  char text[N];
  constexpr FnName(const char (&s)[N]) { std::copy_n(s, N, text); }  // NOLINT: implicit by design
};

template <FnName Name, typename F>
struct Unsupported;

template <FnName Name, typename... Args>
struct Unsupported<Name, CK_RV (*)(Args...)> {
  static CK_RV Fn(Args...) {
    Call c(Name.text);
    if (auto rv = c.Enter(false)) return *rv;
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
};

#define MOCKP11_UNSUPPORTED(fn) l.fn = &Unsupported<#fn, CK_##fn>::Fn

CK_RV GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out);

constexpr CK_FUNCTION_LIST MakeFunctionList() {
  CK_FUNCTION_LIST l{};
  l.version.major = 2;
  l.version.minor = 40;
  l.C_Initialize = &M_Initialize;
  l.C_Finalize = &M_Finalize;
  MOCKP11_UNSUPPORTED(C_GetInfo);
  l.C_GetFunctionList = &GetFunctionList;
  l.C_GetSlotList = &M_GetSlotList;
  MOCKP11_UNSUPPORTED(C_GetSlotInfo);
  l.C_GetTokenInfo = &M_GetTokenInfo;
  MOCKP11_UNSUPPORTED(C_GetMechanismList);
  l.C_GetMechanismInfo = &M_GetMechanismInfo;
  l.C_InitToken = &M_InitToken;
  l.C_InitPIN = &M_InitPIN;
  l.C_SetPIN = &M_SetPIN;
  l.C_OpenSession = &M_OpenSession;
  l.C_CloseSession = &M_CloseSession;
  l.C_CloseAllSessions = &M_CloseAllSessions;
  MOCKP11_UNSUPPORTED(C_GetSessionInfo);
  MOCKP11_UNSUPPORTED(C_GetOperationState);
  MOCKP11_UNSUPPORTED(C_SetOperationState);
  l.C_Login = &M_Login;
  l.C_Logout = &M_Logout;
  MOCKP11_UNSUPPORTED(C_CreateObject);
  MOCKP11_UNSUPPORTED(C_CopyObject);
  MOCKP11_UNSUPPORTED(C_DestroyObject);
  MOCKP11_UNSUPPORTED(C_GetObjectSize);
  l.C_GetAttributeValue = &M_GetAttributeValue;
  MOCKP11_UNSUPPORTED(C_SetAttributeValue);
  l.C_FindObjectsInit = &M_FindObjectsInit;
  l.C_FindObjects = &M_FindObjects;
  l.C_FindObjectsFinal = &M_FindObjectsFinal;
  l.C_EncryptInit = &M_EncryptInit;
  l.C_Encrypt = &M_Encrypt;
  MOCKP11_UNSUPPORTED(C_EncryptUpdate);
  MOCKP11_UNSUPPORTED(C_EncryptFinal);
  l.C_DecryptInit = &M_DecryptInit;
  l.C_Decrypt = &M_Decrypt;
  MOCKP11_UNSUPPORTED(C_DecryptUpdate);
  MOCKP11_UNSUPPORTED(C_DecryptFinal);
  l.C_DigestInit = &M_DigestInit;
  l.C_Digest = &M_Digest;
  MOCKP11_UNSUPPORTED(C_DigestUpdate);
  MOCKP11_UNSUPPORTED(C_DigestKey);
  MOCKP11_UNSUPPORTED(C_DigestFinal);
  l.C_SignInit = &M_SignInit;
  l.C_Sign = &M_Sign;
  MOCKP11_UNSUPPORTED(C_SignUpdate);
  MOCKP11_UNSUPPORTED(C_SignFinal);
  MOCKP11_UNSUPPORTED(C_SignRecoverInit);
  MOCKP11_UNSUPPORTED(C_SignRecover);
  l.C_VerifyInit = &M_VerifyInit;
  l.C_Verify = &M_Verify;
  MOCKP11_UNSUPPORTED(C_VerifyUpdate);
  MOCKP11_UNSUPPORTED(C_VerifyFinal);
  MOCKP11_UNSUPPORTED(C_VerifyRecoverInit);
  MOCKP11_UNSUPPORTED(C_VerifyRecover);
  MOCKP11_UNSUPPORTED(C_DigestEncryptUpdate);
  MOCKP11_UNSUPPORTED(C_DecryptDigestUpdate);
  MOCKP11_UNSUPPORTED(C_SignEncryptUpdate);
  MOCKP11_UNSUPPORTED(C_DecryptVerifyUpdate);
  MOCKP11_UNSUPPORTED(C_GenerateKey);
  MOCKP11_UNSUPPORTED(C_GenerateKeyPair);
  MOCKP11_UNSUPPORTED(C_WrapKey);
  MOCKP11_UNSUPPORTED(C_UnwrapKey);
  MOCKP11_UNSUPPORTED(C_DeriveKey);
  MOCKP11_UNSUPPORTED(C_SeedRandom);
  MOCKP11_UNSUPPORTED(C_GenerateRandom);
  MOCKP11_UNSUPPORTED(C_GetFunctionStatus);
  MOCKP11_UNSUPPORTED(C_CancelFunction);
  MOCKP11_UNSUPPORTED(C_WaitForSlotEvent);
  return l;
}

#undef MOCKP11_UNSUPPORTED

constinit CK_FUNCTION_LIST g_function_list = MakeFunctionList();

CK_RV GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out) {
  Call c("C_GetFunctionList");
  if (auto rv = c.Enter(false)) return *rv;
  if (out == nullptr) return CKR_ARGUMENTS_BAD;
  State& s = S();
  if (s.null_entries.empty()) {
    *out = &g_function_list;
    return CKR_OK;
  }
  s.gapped_list = g_function_list;
  for (std::size_t offset : s.null_entries) {
    void* const none = nullptr;
    std::memcpy(reinterpret_cast<unsigned char*>(&s.gapped_list) + offset, &none, sizeof none);
  }
  *out = &s.gapped_list;
  return CKR_OK;
}

#define MOCKP11_ENTRY(fn) {#fn, offsetof(CK_FUNCTION_LIST, fn)}
struct Entry {
  const char* name;
  std::size_t offset;
};
constexpr Entry kEntries[] = {
    MOCKP11_ENTRY(C_Initialize),        MOCKP11_ENTRY(C_Finalize),          MOCKP11_ENTRY(C_GetInfo),
    MOCKP11_ENTRY(C_GetFunctionList),   MOCKP11_ENTRY(C_GetSlotList),       MOCKP11_ENTRY(C_GetSlotInfo),
    MOCKP11_ENTRY(C_GetTokenInfo),      MOCKP11_ENTRY(C_GetMechanismList),  MOCKP11_ENTRY(C_GetMechanismInfo),
    MOCKP11_ENTRY(C_InitToken),         MOCKP11_ENTRY(C_InitPIN),           MOCKP11_ENTRY(C_SetPIN),
    MOCKP11_ENTRY(C_OpenSession),       MOCKP11_ENTRY(C_CloseSession),      MOCKP11_ENTRY(C_CloseAllSessions),
    MOCKP11_ENTRY(C_GetSessionInfo),    MOCKP11_ENTRY(C_GetOperationState), MOCKP11_ENTRY(C_SetOperationState),
    MOCKP11_ENTRY(C_Login),             MOCKP11_ENTRY(C_Logout),            MOCKP11_ENTRY(C_CreateObject),
    MOCKP11_ENTRY(C_CopyObject),        MOCKP11_ENTRY(C_DestroyObject),     MOCKP11_ENTRY(C_GetObjectSize),
    MOCKP11_ENTRY(C_GetAttributeValue), MOCKP11_ENTRY(C_SetAttributeValue), MOCKP11_ENTRY(C_FindObjectsInit),
    MOCKP11_ENTRY(C_FindObjects),       MOCKP11_ENTRY(C_FindObjectsFinal),  MOCKP11_ENTRY(C_EncryptInit),
    MOCKP11_ENTRY(C_Encrypt),           MOCKP11_ENTRY(C_EncryptUpdate),     MOCKP11_ENTRY(C_EncryptFinal),
    MOCKP11_ENTRY(C_DecryptInit),       MOCKP11_ENTRY(C_Decrypt),           MOCKP11_ENTRY(C_DecryptUpdate),
    MOCKP11_ENTRY(C_DecryptFinal),      MOCKP11_ENTRY(C_DigestInit),        MOCKP11_ENTRY(C_Digest),
    MOCKP11_ENTRY(C_DigestUpdate),      MOCKP11_ENTRY(C_DigestKey),         MOCKP11_ENTRY(C_DigestFinal),
    MOCKP11_ENTRY(C_SignInit),          MOCKP11_ENTRY(C_Sign),              MOCKP11_ENTRY(C_SignUpdate),
    MOCKP11_ENTRY(C_SignFinal),         MOCKP11_ENTRY(C_SignRecoverInit),   MOCKP11_ENTRY(C_SignRecover),
    MOCKP11_ENTRY(C_VerifyInit),        MOCKP11_ENTRY(C_Verify),            MOCKP11_ENTRY(C_VerifyUpdate),
    MOCKP11_ENTRY(C_VerifyFinal),       MOCKP11_ENTRY(C_VerifyRecoverInit), MOCKP11_ENTRY(C_VerifyRecover),
    MOCKP11_ENTRY(C_DigestEncryptUpdate), MOCKP11_ENTRY(C_DecryptDigestUpdate), MOCKP11_ENTRY(C_SignEncryptUpdate),
    MOCKP11_ENTRY(C_DecryptVerifyUpdate), MOCKP11_ENTRY(C_GenerateKey),     MOCKP11_ENTRY(C_GenerateKeyPair),
    MOCKP11_ENTRY(C_WrapKey),           MOCKP11_ENTRY(C_UnwrapKey),         MOCKP11_ENTRY(C_DeriveKey),
    MOCKP11_ENTRY(C_SeedRandom),        MOCKP11_ENTRY(C_GenerateRandom),    MOCKP11_ENTRY(C_GetFunctionStatus),
    MOCKP11_ENTRY(C_CancelFunction),    MOCKP11_ENTRY(C_WaitForSlotEvent),
};
#undef MOCKP11_ENTRY

bool NullEntry(State& s, std::string_view fn) {
  for (const Entry& e : kEntries) {
    if (fn != e.name) continue;
    s.null_entries.push_back(e.offset);
    return true;
  }
  return false;
}

// Functions whose reported lengths mockp11_set_reported_length may change.
bool ReportsLength(std::string_view fn) {
  for (std::string_view f : {"C_GetSlotList", "C_GetAttributeValue", "C_Digest", "C_Sign", "C_Encrypt", "C_Decrypt"})
    if (fn == f) return true;
  return false;
}

// ---------------------------------------------------------------- setup helpers

unsigned long AddSlot(State& s, const char* serial, bool present) {
  Token t;
  t.serial = Padded(serial == nullptr ? "" : serial, kSerialLen);
  t.label = s.default_label;
  t.present = present;
  s.slots.push_back(std::move(t));
  return static_cast<unsigned long>(s.slots.size());
}

CK_OBJECT_HANDLE AddObject(State& s, CK_SLOT_ID slot, CK_OBJECT_CLASS cls, bool on_token, bool private_obj) {
  if (s.Slot(slot) == nullptr) return 0;
  Object o;
  o.slot = slot;
  o.attrs[CKA_CLASS] = UlongBytes(cls);
  o.attrs[CKA_TOKEN] = BoolBytes(on_token);
  o.attrs[CKA_PRIVATE] = BoolBytes(private_obj);
  const CK_OBJECT_HANDLE h = s.next_object++;
  s.objects.emplace(h, std::move(o));
  return h;
}

void AddKeyPair(State& s, CK_SLOT_ID slot, const Bytes& id, const Bytes& serial, unsigned long modulus_bytes,
                unsigned long* out3) {
  if (out3 != nullptr) std::fill_n(out3, 3, 0UL);
  if (s.Slot(slot) == nullptr || modulus_bytes > kMaxModulusBytes) return;
  Bytes modulus = Mix(kDomainModulus).Add(slot).Add(id).Add(serial).Add(s.pairs_made++).Stream(modulus_bytes);
  if (!modulus.empty()) {
    modulus.front() |= 0x80;
    modulus.back() |= 0x01;
  }
  const Bytes exponent{0x01, 0x00, 0x01};
  const Bytes serial_der = Der(0x02, serial);
  const Bytes label{'m', 'o', 'c', 'k', ' ', 'k', 'e', 'y'};

  const CK_OBJECT_HANDLE cert = AddObject(s, slot, CKO_CERTIFICATE, true, false);
  Object& c = s.objects[cert];
  c.attrs[CKA_CERTIFICATE_TYPE] = UlongBytes(CKC_X_509);
  c.attrs[CKA_ID] = id;
  c.attrs[CKA_LABEL] = label;
  c.attrs[CKA_SERIAL_NUMBER] = serial_der;
  const Bytes subject = Der(0x30, Der(0x0c, Bytes{'m', 'o', 'c', 'k'}));
  c.attrs[CKA_SUBJECT] = subject;
  c.attrs[CKA_ISSUER] = subject;
  c.attrs[CKA_VALUE] = Der(0x30, Concat({serial_der, subject, Der(0x04, id), Der(0x02, Concat({Bytes{0}, modulus}))}));

  const CK_OBJECT_HANDLE pub = AddObject(s, slot, CKO_PUBLIC_KEY, true, false);
  Object& p = s.objects[pub];
  p.attrs[CKA_KEY_TYPE] = UlongBytes(CKK_RSA);
  p.attrs[CKA_ID] = id;
  p.attrs[CKA_LABEL] = label;
  p.attrs[CKA_MODULUS] = modulus;
  p.attrs[CKA_MODULUS_BITS] = UlongBytes(static_cast<CK_ULONG>(modulus_bytes * 8));
  p.attrs[CKA_PUBLIC_EXPONENT] = exponent;
  p.attrs[CKA_VERIFY] = BoolBytes(true);
  p.attrs[CKA_ENCRYPT] = BoolBytes(true);

  const CK_OBJECT_HANDLE priv = AddObject(s, slot, CKO_PRIVATE_KEY, true, true);
  Object& k = s.objects[priv];
  k.attrs[CKA_KEY_TYPE] = UlongBytes(CKK_RSA);
  k.attrs[CKA_ID] = id;
  k.attrs[CKA_LABEL] = label;
  k.attrs[CKA_MODULUS] = modulus;
  k.attrs[CKA_PUBLIC_EXPONENT] = exponent;
  k.attrs[CKA_PRIVATE_EXPONENT] = Mix(kDomainPrivateExponent).Add(modulus).Stream(modulus_bytes);
  k.attrs[CKA_SENSITIVE] = BoolBytes(true);
  k.attrs[CKA_EXTRACTABLE] = BoolBytes(false);
  k.attrs[CKA_SIGN] = BoolBytes(true);
  k.attrs[CKA_DECRYPT] = BoolBytes(true);

  if (out3 != nullptr) {
    out3[0] = cert;
    out3[1] = pub;
    out3[2] = priv;
  }
}

// ---------------------------------------------------------------- environment

std::vector<std::string> Split(std::string_view s, char sep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = s.find(sep, start);
    out.emplace_back(s.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

std::optional<unsigned long> ParseNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* begin = text.c_str() + (hex ? 2 : 0);
  if (!std::isxdigit(static_cast<unsigned char>(*begin))) return std::nullopt;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(begin, &end, hex ? 16 : 10);
  if (*end != '\0' || v > static_cast<unsigned long long>(static_cast<unsigned long>(-1))) return std::nullopt;
  return static_cast<unsigned long>(v);
}

// The file name of this copy of the module, e.g. "Kelo-ZIr4.so".
std::string OwnFileName() {
  static const char anchor = 0;
  std::string path;
#ifdef _WIN32
  HMODULE self = nullptr;
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         &anchor, &self)) {
    char buf[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(self, buf, MAX_PATH);
    path.assign(buf, n);
  }
#else
  Dl_info info{};
  if (dladdr(&anchor, &info) != 0 && info.dli_fname != nullptr) path = info.dli_fname;
#endif
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "Kelo-ZIr4.so" -> "KELO_ZIR4".
std::string EnvSuffix(std::string file) {
  const std::size_t dot = file.rfind('.');
  if (dot != std::string::npos) file.resize(dot);
  for (char& ch : file) {
    const auto u = static_cast<unsigned char>(ch);
    ch = std::isalnum(u) ? static_cast<char>(std::toupper(u)) : '_';
  }
  return file;
}

// The per-file variable wins over the common one, even when empty.
std::string EnvValue(const std::string& base, const std::string& suffix) {
  if (!suffix.empty()) {
    if (const char* v = std::getenv((base + "_" + suffix).c_str())) return v;
  }
  const char* v = std::getenv(base.c_str());
  return v == nullptr ? "" : v;
}

void ConfigureFromEnvironment() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  const std::string suffix = EnvSuffix(OwnFileName());
  const std::string label = EnvValue("MOCKP11_LABEL", suffix);
  if (!label.empty()) s.default_label = Padded(label, kLabelLen);
  s.stdout_text = EnvValue("MOCKP11_STDOUT", suffix);
  const std::string tokens = EnvValue("MOCKP11_TOKENS", suffix);
  if (!tokens.empty()) {
    for (const std::string& serial : Split(tokens, ',')) {
      const unsigned long slot = AddSlot(s, serial.c_str(), true);
      const auto n = static_cast<unsigned char>(slot);
      AddKeyPair(s, slot, Bytes{n}, Bytes{0x01, n}, 256, nullptr);
    }
  }
  const std::string faults = EnvValue("MOCKP11_FAIL", suffix);
  if (!faults.empty()) {
    for (const std::string& entry : Split(faults, ',')) {
      const std::vector<std::string> parts = Split(entry, ':');
      const auto nth = parts.size() == 3 ? ParseNumber(parts[1]) : std::nullopt;
      const auto rv = parts.size() == 3 ? ParseNumber(parts[2]) : std::nullopt;
      if (parts.size() != 3 || parts[0].empty() || !nth || !rv) {
        std::fprintf(stderr, "mockp11: ignoring malformed MOCKP11_FAIL entry \"%s\" (want fn:nth:rv)\n",
                     entry.c_str());
        continue;
      }
      s.faults.push_back(Fault{parts[0], *nth, *rv, 0});
    }
  }
  const std::string misbehave = EnvValue("MOCKP11_MISBEHAVE", suffix);
  if (!misbehave.empty()) {
    for (const std::string& entry : Split(misbehave, ',')) {
      const std::vector<std::string> parts = Split(entry, ':');
      bool ok = false;
      if (parts.size() == 1 && parts[0] == "endless-find") {
        ok = s.endless_find = true;
      } else if (parts.size() == 1 && parts[0] == "session-zero") {
        ok = s.zero_session = true;
      } else if (parts.size() == 2 && parts[0] == "null") {
        ok = NullEntry(s, parts[1]);
      } else if (parts.size() == 3 && parts[0] == "length" && ReportsLength(parts[1])) {
        if (const auto len = ParseNumber(parts[2])) {
          s.reported_length[parts[1]] = *len;
          ok = true;
        }
      }
      if (!ok) std::fprintf(stderr, "mockp11: ignoring malformed MOCKP11_MISBEHAVE entry \"%s\"\n", entry.c_str());
    }
  }
}

__attribute__((constructor)) void OnLoad() { ConfigureFromEnvironment(); }

__attribute__((destructor)) void OnUnload() {
  delete g_state;
  g_state = nullptr;
}

int CopyOut(const std::string& value, char* out, size_t cap) {
  if (out != nullptr && cap != 0) {
    const std::size_t n = std::min(value.size(), cap - 1);
    std::memcpy(out, value.data(), n);
    out[n] = '\0';
  }
  return static_cast<int>(value.size());
}

}  // namespace

// ---------------------------------------------------------------- exports

extern "C" {

MOCKP11_API CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out) { return GetFunctionList(out); }

#ifndef MOCKP11_NO_AUX
// Vendor extension table the control probes for; nothing is ever called
// through it, so it only needs to be a stable non-null address.
MOCKP11_API CK_RV E_GetAuxFunctionList(void** out) {
  static const void* const kAuxTable[1] = {nullptr};
  Call c("E_GetAuxFunctionList");
  if (auto rv = c.Enter(false)) return *rv;
  if (out == nullptr) return CKR_ARGUMENTS_BAD;
  *out = const_cast<void**>(kAuxTable);
  return CKR_OK;
}
#endif

MOCKP11_API void mockp11_reset(void) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.Reset();
}

MOCKP11_API unsigned long mockp11_add_slot(const char* serial, int token_present) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  return AddSlot(s, serial, token_present != 0);
}

MOCKP11_API void mockp11_set_token_present(unsigned long slot, int present) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Token* t = s.Slot(slot);
  if (t == nullptr) return;
  t->present = present != 0;
  if (!t->present) s.CloseSessions(slot);
}

MOCKP11_API void mockp11_set_pins(unsigned long slot, const char* user_pin, const char* so_pin) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Token* t = s.Slot(slot);
  if (t == nullptr) return;
  if (user_pin != nullptr) {
    t->user_pin = user_pin;
    t->user_pin_initialized = true;
  }
  if (so_pin != nullptr) t->so_pin = so_pin;
}

MOCKP11_API void mockp11_get_label(unsigned long slot, char* out32) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Token* t = s.Slot(slot);
  if (t != nullptr && out32 != nullptr) std::memcpy(out32, t->label.data(), kLabelLen);
}

MOCKP11_API int mockp11_get_user_pin(unsigned long slot, char* out, size_t cap) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Token* t = s.Slot(slot);
  if (t == nullptr || !t->user_pin_initialized) return -1;
  return CopyOut(t->user_pin, out, cap);
}

MOCKP11_API int mockp11_get_so_pin(unsigned long slot, char* out, size_t cap) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Token* t = s.Slot(slot);
  if (t == nullptr) return -1;
  return CopyOut(t->so_pin, out, cap);
}

MOCKP11_API void mockp11_lock_pin(unsigned long slot, int user_type, int locked) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Token* t = s.Slot(slot);
  if (t == nullptr) return;
  if (user_type == static_cast<int>(CKU_SO)) t->so_locked = locked != 0;
  if (user_type == static_cast<int>(CKU_USER)) t->user_locked = locked != 0;
}

MOCKP11_API unsigned long mockp11_add_object(unsigned long slot, unsigned long cls, int on_token, int private_obj) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  return AddObject(s, slot, cls, on_token != 0, private_obj != 0);
}

MOCKP11_API void mockp11_set_attribute(unsigned long handle, unsigned long type, const void* value,
                                       unsigned long len) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  Object* o = s.FindObject(handle);
  if (o == nullptr || (value == nullptr && len != 0)) return;
  const auto* p = static_cast<const unsigned char*>(value);
  o->attrs[type] = len == 0 ? Bytes{} : Bytes(p, p + len);
}

MOCKP11_API void mockp11_remove_attribute(unsigned long handle, unsigned long type) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  if (Object* o = s.FindObject(handle)) o->attrs.erase(type);
}

MOCKP11_API void mockp11_add_key_pair(unsigned long slot, const unsigned char* id, unsigned long id_len,
                                      const unsigned char* serial, unsigned long serial_len,
                                      unsigned long modulus_bytes, unsigned long* out3) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  const Bytes id_bytes = id == nullptr ? Bytes{} : Bytes(id, id + id_len);
  const Bytes serial_bytes = serial == nullptr ? Bytes{} : Bytes(serial, serial + serial_len);
  AddKeyPair(s, slot, id_bytes, serial_bytes, modulus_bytes, out3);
}

MOCKP11_API void mockp11_fail(const char* fn, unsigned long nth, unsigned long rv) {
  if (fn == nullptr) return;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.faults.push_back(Fault{fn, nth, rv, 0});
}

MOCKP11_API void mockp11_clear_faults(void) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.faults.clear();
}

MOCKP11_API int mockp11_set_reported_length(const char* fn, unsigned long len) {
  if (fn == nullptr || !ReportsLength(fn)) return 0;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  if (len == 0)
    s.reported_length.erase(std::string(fn));
  else
    s.reported_length[fn] = len;
  return 1;
}

MOCKP11_API void mockp11_set_endless_find(int on) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.endless_find = on != 0;
}

MOCKP11_API void mockp11_set_narrowed_find(int mode) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.narrowed_find = mode;
}

MOCKP11_API void mockp11_set_zero_session(int on) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.zero_session = on != 0;
}

MOCKP11_API int mockp11_null_function(const char* fn) {
  if (fn == nullptr) return 0;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  return NullEntry(s, fn) ? 1 : 0;
}

MOCKP11_API void mockp11_set_stdout(const char* text) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.stdout_text = text == nullptr ? "" : text;
}

MOCKP11_API void mockp11_set_initialize_rv(unsigned long rv) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.initialize_rv = rv;
}

MOCKP11_API const char* mockp11_log(void) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.log_snapshot = s.log;
  return s.log_snapshot.c_str();
}

MOCKP11_API void mockp11_clear_log(void) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  s.log.clear();
  s.counts.clear();
}

MOCKP11_API unsigned long mockp11_count(const char* fn) {
  if (fn == nullptr) return 0;
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  auto it = s.counts.find(std::string_view(fn));
  return it == s.counts.end() ? 0 : it->second;
}

MOCKP11_API unsigned long mockp11_open_sessions(void) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  return static_cast<unsigned long>(s.sessions.size());
}

MOCKP11_API int mockp11_is_initialized(void) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.initialized ? 1 : 0;
}

MOCKP11_API int mockp11_find_active(unsigned long session) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  const Session* p = s.FindSession(session);
  return p != nullptr && p->finding ? 1 : 0;
}

MOCKP11_API int mockp11_operation_active(unsigned long session) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  const Session* p = s.FindSession(session);
  return p != nullptr && p->op != Op::kNone ? 1 : 0;
}

MOCKP11_API int mockp11_login_state(unsigned long slot) {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.mu);
  const Token* t = s.Slot(slot);
  return t == nullptr ? kNobody : t->login;
}

}  // extern "C"
