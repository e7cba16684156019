// Handlers of the token methods: session check, argument decoding, one token
// operation, result encoding.
#include "control/kelo_ctrl.h"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "codec/codec.h"
#include "platform/random.h"
#include "common/result_codes.h"
#include "common/vocabulary.h"
#include "platform/wipe.h"

namespace kelo {
namespace {

// Module-output capacities of the token methods.
constexpr CK_ULONG kEncryptCapacity = 512;
constexpr CK_ULONG kHashCapacity = 128;
constexpr CK_ULONG kSignCapacity = 1024;

std::string CodeText(std::int32_t code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d", static_cast<int>(code));
  return buf;
}

std::vector<std::uint8_t> Hex(const std::string& text) { return codec::HexToBytes(text); }

std::string ToHex(const std::uint8_t* data, std::size_t n) { return codec::BytesToHex(data, n); }

CK_ULONG Len(std::size_t n) { return static_cast<CK_ULONG>(n); }

// Every 32-bit value is a hash type: one without a name keeps its own
// meaning further down.
HashType AsHashType(std::int32_t hashType) { return static_cast<HashType>(hashType); }

// Session identifiers. The n-th control of the process gets
// Mix(add + n) ^ mask, with add and mask drawn once per process: Mix is a
// bijection of 32-bit words, so no two controls share an identifier, and a
// page that sees one learns nothing about memory or about the others.
std::uint32_t Mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x85EBCA6Bu;
  x ^= x >> 13;
  x *= 0xC2B2AE35u;
  x ^= x >> 16;
  return x;
}

struct SessionKeys {
  std::uint32_t add = 0;
  std::uint32_t mask = 0;
};

const SessionKeys& ProcessSessionKeys() {
  static const SessionKeys keys = [] {
    std::uint32_t words[2] = {};
    if (!platform::RandomBytes(words, sizeof words)) {
      // No system source: the clocks still vary per process, and no address
      // is involved.
      auto t = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
               static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
      words[0] = static_cast<std::uint32_t>(t);
      words[1] = Mix(static_cast<std::uint32_t>(t >> 32));
    }
    return SessionKeys{words[0], words[1]};
  }();
  return keys;
}

std::atomic<std::uint32_t> g_controlsMade{0};

std::int32_t NewSessionIdentifier() {
  const SessionKeys& keys = ProcessSessionKeys();
  for (;;) {
    std::uint32_t id = Mix(keys.add + g_controlsMade.fetch_add(1, std::memory_order_relaxed)) ^ keys.mask;
    // Every result code lies in 0..65535; keeping the upper half-word away
    // from 0x0000 and 0xFFFF keeps the identifier outside -65535..65535.
    std::uint32_t high = id >> 16;
    if (high != 0 && high != 0xFFFFu) return static_cast<std::int32_t>(id);
  }
}

}  // namespace

CKeloCAActiveXCtrl::CKeloCAActiveXCtrl() : CKeloCAActiveXCtrl(MakeTokenRegistry()) {}

CKeloCAActiveXCtrl::CKeloCAActiveXCtrl(std::unique_ptr<ITokenRegistry> registry, std::unique_ptr<CTokenCSP> csp)
    : m_registry(std::move(registry)),
      m_csp(csp ? std::move(csp) : std::make_unique<CTokenCSP>()),
      m_sessionId(NewSessionIdentifier()) {}

CKeloCAActiveXCtrl::~CKeloCAActiveXCtrl() {
  m_csp.reset();
  m_registry.reset();
}

CP11Token* CKeloCAActiveXCtrl::Token(std::int32_t sessionId) {
  if (sessionId != SessionIdentifier()) return nullptr;
  return m_registry->GetCurrentToken();
}

std::int32_t CKeloCAActiveXCtrl::ConnectToken() {
  std::int32_t rc = m_registry->Connect();
  return rc != kOk ? rc : SessionIdentifier();
}

std::int32_t CKeloCAActiveXCtrl::DisconnectToken(std::int32_t sessionId) {
  if (sessionId != SessionIdentifier()) return kErrSession;
  return m_registry->Disconnect();
}

std::int32_t CKeloCAActiveXCtrl::Login(std::int32_t sessionId, const std::string& userPin) {
  CP11Token* token = Token(sessionId);
  if (!token) return kErrSession;
  return token->Login(false, userPin.c_str(), Len(userPin.size()));
}

std::int32_t CKeloCAActiveXCtrl::Logout(std::int32_t sessionId) {
  CP11Token* token = Token(sessionId);
  return token ? token->Logout() : kErrSession;
}

ResultCode CKeloCAActiveXCtrl::TokenFlags(std::int32_t sessionId, std::uint64_t& flags) {
  CP11Token* token = Token(sessionId);
  if (!token) return kErrSession;
  CK_FLAGS f = 0;
  ResultCode rc = token->GetTokenFlags(f);
  if (rc == kOk) flags = f;
  return rc;
}

std::string CKeloCAActiveXCtrl::RetrieveSerial(std::int32_t sessionId) {
  CP11Token* token = Token(sessionId);
  if (!token) return CodeText(kErrSession);
  char serial[CP11Token::kSerialSize + 4] = {};
  std::int32_t rc = token->GetSerial(serial);
  if (rc != kOk) return CodeText(rc);
  return std::string(serial);  // a zero byte inside the field ends the text
}

std::int32_t CKeloCAActiveXCtrl::ChangeSOPin(std::int32_t sessionId, const std::string& currentSoPin,
                                             const std::string& newSoPin) {
  CP11Token* token = Token(sessionId);
  if (!token) return kErrSession;
  return token->ChangeSOPin(currentSoPin.c_str(), Len(currentSoPin.size()), newSoPin.c_str(), Len(newSoPin.size()));
}

std::int32_t CKeloCAActiveXCtrl::ChangeUserPin(std::int32_t sessionId, const std::string& currentUserPin,
                                               const std::string& newUserPin) {
  CP11Token* token = Token(sessionId);
  if (!token) return kErrSession;
  return token->ChangeUserPin(currentUserPin.c_str(), Len(currentUserPin.size()), newUserPin.c_str(),
                              Len(newUserPin.size()));
}

std::int32_t CKeloCAActiveXCtrl::UnblockUserPin(std::int32_t sessionId, const std::string& soPin,
                                                const std::string& userPin) {
  CP11Token* token = Token(sessionId);
  if (!token) return kErrSession;
  return token->UnblockUserPin(soPin.c_str(), Len(soPin.size()), userPin.c_str(), Len(userPin.size()));
}

std::int32_t CKeloCAActiveXCtrl::Enum(std::int32_t sessionId, std::int32_t index,
                                      ResultCode (CP11Token::*op)(std::int32_t, CK_OBJECT_HANDLE&)) {
  CP11Token* token = Token(sessionId);
  if (!token) return kErrSession;
  CK_OBJECT_HANDLE handle = 0;
  ResultCode rc = (token->*op)(index, handle);
  if (rc != kOk) return rc;
  // Handles cross the interface as 32-bit integers.
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(handle));
}

std::int32_t CKeloCAActiveXCtrl::EnumCertificate(std::int32_t sessionId, std::int32_t index) {
  return Enum(sessionId, index, &CP11Token::EnumCertificate);
}

std::int32_t CKeloCAActiveXCtrl::EnumPublicKey(std::int32_t sessionId, std::int32_t index) {
  return Enum(sessionId, index, &CP11Token::EnumPublicKey);
}

std::int32_t CKeloCAActiveXCtrl::EnumPrivateKey(std::int32_t sessionId, std::int32_t index) {
  return Enum(sessionId, index, &CP11Token::EnumPrivateKey);
}

std::int32_t CKeloCAActiveXCtrl::TokenInitialize(std::int32_t sessionId, const std::string& soPin,
                                                 const std::string& newUserPin, const std::string& newTokenName) {
  CP11Token* token = Token(sessionId);
  if (!token) return kErrSession;
  return token->InitToken(soPin.c_str(), newUserPin.c_str(), newTokenName.c_str());
}

std::string CKeloCAActiveXCtrl::RetrieveAllTokenSerial(std::int32_t sessionId) {
  if (sessionId != SessionIdentifier()) return CodeText(kErrSession);
  std::string serials;
  m_registry->GetAllSerials(serials);
  return serials.empty() ? CodeText(kErrSession) : serials;
}

std::string CKeloCAActiveXCtrl::GetAttribute(std::int32_t sessionId, std::int32_t object, std::int32_t attribute) {
  CP11Token* token = Token(sessionId);
  if (!token) return {};
  // A selector without a name is refused there, before the module is asked.
  const auto selector = static_cast<AttributeSelector>(attribute);
  std::vector<std::uint8_t> value;
  auto handle = static_cast<CK_OBJECT_HANDLE>(static_cast<std::uint32_t>(object));
  if (token->ReadObjectAttribute(handle, selector, value) != kOk) return {};
  switch (selector) {
    case AttributeSelector::kValue: {
      // The whole certificate, however large: a cut PEM text is useless.
      std::string pem;
      if (codec::PemEncode(value.data(), value.size(), codec::kCertHeader, codec::kCertFooter, pem) != 0) return {};
      return pem;
    }
    case AttributeSelector::kId: return ToHex(value.data(), value.size());
    default:
      // The serial number's content: without the INTEGER's tag and length.
      return value.size() <= 2 ? std::string() : ToHex(value.data() + 2, value.size() - 2);
  }
}

std::string CKeloCAActiveXCtrl::Encrypt(std::int32_t sessionId, std::int32_t keyHandle, std::int32_t /*reserved*/,
                                        const std::string& plaintextHex) {
  CP11Token* token = Token(sessionId);
  if (!token || plaintextHex.empty()) return {};
  platform::SecureBytes data(plaintextHex.size() / 2);
  codec::HexToBytes(plaintextHex.data(), plaintextHex.size(), data.data());
  std::vector<std::uint8_t> out(kEncryptCapacity, 0);
  CK_ULONG outLen = kEncryptCapacity;
  auto key = static_cast<CK_OBJECT_HANDLE>(static_cast<std::uint32_t>(keyHandle));
  if (token->EncryptData(key, data.data(), Len(data.size()), out.data(), outLen) != kOk) return {};
  return ToHex(out.data(), outLen);
}

std::string CKeloCAActiveXCtrl::Decrypt(std::int32_t sessionId, std::int32_t keyHandle, std::int32_t /*reserved*/,
                                        const std::string& ciphertextHex) {
  CP11Token* token = Token(sessionId);
  if (!token) return {};
  std::vector<std::uint8_t> data = Hex(ciphertextHex);
  platform::SecureBytes out(data.size());
  CK_ULONG outLen = Len(out.size());
  auto key = static_cast<CK_OBJECT_HANDLE>(static_cast<std::uint32_t>(keyHandle));
  if (token->DecryptData(key, data.data(), Len(data.size()), out.data(), outLen) != kOk) return {};
  return ToHex(out.data(), outLen);
}

std::string CKeloCAActiveXCtrl::Hash(std::int32_t sessionId, std::int32_t hashType, const std::string& plaintextHex) {
  CP11Token* token = Token(sessionId);
  if (!token || plaintextHex.empty()) return {};
  std::vector<std::uint8_t> data = Hex(plaintextHex);
  std::uint8_t digest[kHashCapacity] = {};
  CK_ULONG outLen = kHashCapacity;
  if (token->DigestData(AsHashType(hashType), data.data(), Len(data.size()), digest, outLen) != kOk) return {};
  return ToHex(digest, outLen);
}

std::string CKeloCAActiveXCtrl::Sign(std::int32_t sessionId, std::int32_t keyHandle, std::int32_t hashType,
                                     const std::string& plaintextHex) {
  CP11Token* token = Token(sessionId);
  if (!token || plaintextHex.empty()) return {};
  std::vector<std::uint8_t> data = Hex(plaintextHex);
  std::vector<std::uint8_t> sig(kSignCapacity, 0);
  CK_ULONG sigLen = kSignCapacity;
  auto key = static_cast<CK_OBJECT_HANDLE>(static_cast<std::uint32_t>(keyHandle));
  if (token->SignData(key, AsHashType(hashType), data.data(), Len(data.size()), sig.data(), sigLen) != kOk) return {};
  return ToHex(sig.data(), sigLen);
}

std::string CKeloCAActiveXCtrl::SignByCertSerial(std::int32_t sessionId, const std::string& serialHex,
                                                 std::int32_t hashType, const std::string& plaintextHex) {
  CP11Token* token = Token(sessionId);
  if (!token || plaintextHex.size() < 2 || serialHex.size() < 2) return {};
  std::vector<std::uint8_t> data = Hex(plaintextHex);
  std::vector<std::uint8_t> serial = Hex(serialHex);
  // The same capacity as Sign, so keys longer than 2048 bits work here too.
  std::vector<std::uint8_t> sig(kSignCapacity, 0);
  CK_ULONG sigLen = kSignCapacity;
  if (token->SignDataBySerial(serial.data(), serial.size(), AsHashType(hashType), data.data(), Len(data.size()),
                              sig.data(), sigLen) != kOk)
    return {};
  return ToHex(sig.data(), sigLen);
}

std::int32_t CKeloCAActiveXCtrl::Verify(std::int32_t sessionId, std::int32_t keyHandle, std::int16_t hashType,
                                        const std::string& plaintextHex, const std::string& signatureHex) {
  CP11Token* token = Token(sessionId);
  if (!token) return kErrSession;
  std::vector<std::uint8_t> data = Hex(plaintextHex);
  std::vector<std::uint8_t> sig = Hex(signatureHex);
  auto key = static_cast<CK_OBJECT_HANDLE>(static_cast<std::uint32_t>(keyHandle));
  return token->VerifyData(key, AsHashType(hashType), data.data(), Len(data.size()), sig.data(), Len(sig.size()));
}

std::int32_t CKeloCAActiveXCtrl::VerifyByCertSerial(std::int32_t sessionId, const std::string& serialHex,
                                                    std::int32_t hashType, const std::string& plaintextHex,
                                                    const std::string& signatureHex) {
  CP11Token* token = Token(sessionId);
  if (!token) return kErrSession;
  if (plaintextHex.size() < 2 || serialHex.size() < 2) return kErrBadArgument;
  std::vector<std::uint8_t> data = Hex(plaintextHex);
  std::vector<std::uint8_t> serial = Hex(serialHex);
  std::vector<std::uint8_t> sig = Hex(signatureHex);
  return token->VerifyDataBySerial(serial.data(), serial.size(), AsHashType(hashType), data.data(), Len(data.size()),
                                   sig.data(), Len(sig.size()));
}

// The certificate-store methods ignore the session identifier and work
// without a token.
namespace {

constexpr auto kStoreOutput = static_cast<std::uint32_t>(kStoreOutputSize);

// Present even when empty: an empty serial is data that matches nothing.
const std::uint8_t* Bytes(const std::vector<std::uint8_t>& v) {
  static const std::uint8_t kEmpty = 0;
  return v.empty() ? &kEmpty : v.data();
}

std::int32_t Size(const std::vector<std::uint8_t>& v) { return static_cast<std::int32_t>(v.size()); }

// Certificate data as the store layer takes it: none for the dialog, bytes
// from hexadecimal where the caller gives bytes, else the text with its
// terminator.
struct CertData {
  std::vector<std::uint8_t> bytes;
  bool absent = false;
  const std::uint8_t* data() const { return absent ? nullptr : Bytes(bytes); }
  std::int32_t size() const { return Size(bytes); }
};

CertData PrepareCertData(std::int32_t type, const std::string& text, bool hexForAllButSelection) {
  CertData d;
  if (type == kCertBySelection) {
    d.absent = true;
  } else if (hexForAllButSelection || type == kCertBySerial || type == kCertFromDer) {
    d.bytes = Hex(text);
  } else {
    d.bytes.assign(text.begin(), text.end());
    d.bytes.push_back(0);
  }
  return d;
}

}  // namespace

std::string CKeloCAActiveXCtrl::SignByCSP(std::int32_t /*sessionId*/, std::int32_t certDataType,
                                          const std::string& certData, std::int32_t hashType,
                                          const std::string& plaintextHex) {
  CertData cert = PrepareCertData(certDataType, certData, true);
  std::vector<std::uint8_t> data = Hex(plaintextHex);
  std::vector<std::uint8_t> out(kStoreOutput, 0);
  std::uint32_t outLen = kStoreOutput;
  if (m_csp->Sign(certDataType, cert.data(), cert.size(), AsHashType(hashType), Bytes(data), Size(data), out.data(),
                  &outLen) != kOk)
    return {};
  return ToHex(out.data(), outLen);
}

std::int32_t CKeloCAActiveXCtrl::VerifyByCSP(std::int32_t /*sessionId*/, std::int32_t certDataType,
                                             const std::string& certData, std::int32_t hashType,
                                             const std::string& plaintextHex, const std::string& signatureHex) {
  CertData cert = PrepareCertData(certDataType, certData, false);
  std::vector<std::uint8_t> data = Hex(plaintextHex);
  std::vector<std::uint8_t> sig = Hex(signatureHex);
  return m_csp->Verify(certDataType, cert.data(), cert.size(), AsHashType(hashType), Bytes(data), Size(data),
                       Bytes(sig), Size(sig));
}

std::string CKeloCAActiveXCtrl::EncryptByCSP(std::int32_t /*sessionId*/, std::int32_t certDataType,
                                             const std::string& certData, std::int32_t /*reserved*/,
                                             const std::string& plaintextHex) {
  CertData cert = PrepareCertData(certDataType, certData, false);
  platform::SecureBytes data(plaintextHex.size() / 2);
  codec::HexToBytes(plaintextHex.data(), plaintextHex.size(), data.data());
  static const std::uint8_t kEmpty = 0;  // zero bytes of data are still data
  std::vector<std::uint8_t> out(kStoreOutput, 0);
  std::uint32_t outLen = kStoreOutput;
  if (m_csp->Encrypt(certDataType, cert.data(), cert.size(), data.size() ? data.data() : &kEmpty,
                     static_cast<std::int32_t>(data.size()), out.data(), &outLen) != kOk)
    return {};
  return ToHex(out.data(), outLen);
}

std::string CKeloCAActiveXCtrl::DecryptByCSP(std::int32_t /*sessionId*/, std::int32_t certDataType,
                                             const std::string& certData, std::int32_t /*reserved*/,
                                             const std::string& ciphertextHex) {
  CertData cert = PrepareCertData(certDataType, certData, false);
  std::vector<std::uint8_t> data = Hex(ciphertextHex);
  platform::SecureBytes out(kStoreOutput);
  std::uint32_t outLen = kStoreOutput;
  if (m_csp->Decrypt(certDataType, cert.data(), cert.size(), Bytes(data), Size(data), out.data(), &outLen) != kOk)
    return {};
  return ToHex(out.data(), outLen);
}

std::int32_t CKeloCAActiveXCtrl::VerifyCertCRL(std::int32_t, std::int32_t, const std::string&) {
  return kVerifyCertCrlAnswer;  // checks nothing, by design
}

}  // namespace kelo
