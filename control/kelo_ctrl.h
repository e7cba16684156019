// CKeloCAActiveXCtrl: the portable automation facade. It owns the token
// registry, checks the session identifier, converts text arguments and
// results, and calls one token operation per method. Every host (COM,
// JSON-RPC, native messaging, command line) goes through Invoke.
#ifndef KELO_CONTROL_KELO_CTRL_H
#define KELO_CONTROL_KELO_CTRL_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "control/hresult.h"
#include "control/method_table.h"
#include "control/value.h"
#include "csp/token_csp.h"
#include "token/token_registry.h"

namespace kelo {

struct CallResult {
  HResult hr = kS_OK;       // kS_OK, or why the call could not be made
  Value value;              // the method's result when hr is kS_OK
  int badParam = -1;        // position of the offending argument, if any
  std::string message;      // human-readable reason when hr fails
};

class CKeloCAActiveXCtrl {
 public:
  CKeloCAActiveXCtrl();
  // A null csp gets the platform's certificate store.
  explicit CKeloCAActiveXCtrl(std::unique_ptr<ITokenRegistry> registry, std::unique_ptr<CTokenCSP> csp = nullptr);
  CKeloCAActiveXCtrl(const CKeloCAActiveXCtrl&) = delete;
  CKeloCAActiveXCtrl& operator=(const CKeloCAActiveXCtrl&) = delete;
  ~CKeloCAActiveXCtrl();

  // Drawn when the control is made from a per-process random value: stable
  // for the control's life, never shared by two controls of the process,
  // never 0 and never a result code (it lies outside -65535..65535).
  std::int32_t SessionIdentifier() const { return m_sessionId; }
  ITokenRegistry& Registry() { return *m_registry; }

  // kCertFromFile answers kErrReadFile from now on, without
  // touching the file system (hosts that serve web pages).
  void RefuseCertificateFiles() { m_csp->RefuseCertificateFiles(); }

  // Calls a method with arguments in declaration order, coercing each to
  // its declared type. Takes the arguments (args is left empty); their
  // strings, PINs among them, are wiped with them.
  CallResult Invoke(const MethodInfo& method, std::vector<Value>& args);

  // Not one of the 26: what the current token reports through its flags
  // (CK_TOKEN_INFO.flags), so that hosts can explain a PIN failure.
  // kOk, kErrSession, or the token's failure code.
  ResultCode TokenFlags(std::int32_t sessionId, std::uint64_t& flags);

  // The 26 methods.
  std::int32_t ConnectToken();
  std::int32_t DisconnectToken(std::int32_t sessionId);
  std::int32_t Login(std::int32_t sessionId, const std::string& userPin);
  std::int32_t Logout(std::int32_t sessionId);
  std::string RetrieveSerial(std::int32_t sessionId);
  std::int32_t ChangeSOPin(std::int32_t sessionId, const std::string& currentSoPin, const std::string& newSoPin);
  std::int32_t ChangeUserPin(std::int32_t sessionId, const std::string& currentUserPin, const std::string& newUserPin);
  std::int32_t UnblockUserPin(std::int32_t sessionId, const std::string& soPin, const std::string& userPin);
  std::int32_t EnumCertificate(std::int32_t sessionId, std::int32_t index);
  std::int32_t EnumPublicKey(std::int32_t sessionId, std::int32_t index);
  std::int32_t EnumPrivateKey(std::int32_t sessionId, std::int32_t index);
  std::string GetAttribute(std::int32_t sessionId, std::int32_t object, std::int32_t attribute);
  std::string Encrypt(std::int32_t sessionId, std::int32_t keyHandle, std::int32_t reserved,
                      const std::string& plaintextHex);
  std::string Decrypt(std::int32_t sessionId, std::int32_t keyHandle, std::int32_t reserved,
                      const std::string& ciphertextHex);
  std::string Hash(std::int32_t sessionId, std::int32_t hashType, const std::string& plaintextHex);
  std::string Sign(std::int32_t sessionId, std::int32_t keyHandle, std::int32_t hashType,
                   const std::string& plaintextHex);
  std::string SignByCertSerial(std::int32_t sessionId, const std::string& serialHex, std::int32_t hashType,
                               const std::string& plaintextHex);
  std::int32_t Verify(std::int32_t sessionId, std::int32_t keyHandle, std::int16_t hashType,
                      const std::string& plaintextHex, const std::string& signatureHex);
  std::int32_t VerifyByCertSerial(std::int32_t sessionId, const std::string& serialHex, std::int32_t hashType,
                                  const std::string& plaintextHex, const std::string& signatureHex);
  std::string SignByCSP(std::int32_t sessionId, std::int32_t certDataType, const std::string& certData,
                        std::int32_t hashType, const std::string& plaintextHex);
  std::int32_t VerifyByCSP(std::int32_t sessionId, std::int32_t certDataType, const std::string& certData,
                           std::int32_t hashType, const std::string& plaintextHex, const std::string& signatureHex);
  std::string EncryptByCSP(std::int32_t sessionId, std::int32_t certDataType, const std::string& certData,
                           std::int32_t reserved, const std::string& plaintextHex);
  std::string DecryptByCSP(std::int32_t sessionId, std::int32_t certDataType, const std::string& certData,
                           std::int32_t reserved, const std::string& ciphertextHex);
  std::int32_t VerifyCertCRL(std::int32_t sessionId, std::int32_t certDataType, const std::string& certData);
  std::int32_t TokenInitialize(std::int32_t sessionId, const std::string& soPin, const std::string& newUserPin,
                               const std::string& newTokenName);
  std::string RetrieveAllTokenSerial(std::int32_t sessionId);

 private:
  // The current token when sessionId matches and one is current; else null.
  CP11Token* Token(std::int32_t sessionId);
  std::int32_t Enum(std::int32_t sessionId, std::int32_t index,
                    ResultCode (CP11Token::*op)(std::int32_t, CK_OBJECT_HANDLE&));

  // Built in this order and torn down in reverse: the store layer goes first.
  std::unique_ptr<ITokenRegistry> m_registry;
  std::unique_ptr<CTokenCSP> m_csp;
  const std::int32_t m_sessionId;
};

}  // namespace kelo

#endif
