// CP11Token: one PKCS#11 token module loaded into the process and at most one
// open session on one of its slots, with every token operation the control
// offers. Every operation answers a result code; nothing throws.
#ifndef KELO_TOKEN_P11_TOKEN_H
#define KELO_TOKEN_P11_TOKEN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/dynlib.h"
#include "platform/wipe.h"
#include "token/pkcs11.h"

namespace kelo {

class CP11Token {
 public:
  static constexpr std::size_t kLibNameSize = 256;
  static constexpr std::size_t kSerialSize = 16;
  // A module listing more slots than this is not believed: nothing of that
  // size is allocated for it.
  static constexpr std::size_t kMaxSlots = 1024;
  // The slot list may grow between the count and the fetch (a reader
  // plugged in); it is asked again at most this many times.
  static constexpr unsigned kSlotListAttempts = 4;
  static constexpr std::size_t kIdAreaSize = 256;
  static constexpr CK_SLOT_ID kNoSlot = static_cast<CK_SLOT_ID>(0xFFFFFFFFu);

  CP11Token();
  CP11Token(const CP11Token&) = delete;
  CP11Token& operator=(const CP11Token&) = delete;
  virtual ~CP11Token();

  // Module binding and slot discovery. A function list that leaves any
  // function this object calls null is refused at binding, as a failing
  // C_GetFunctionList is (1002): nothing is called through it, not even
  // C_Finalize, so no operation has to check its entry later.
  std::int32_t Load(const char* name);
  void Unload();
  bool IsLoaded() const { return m_pFunctionList != nullptr && m_pAuxFunctionList != nullptr; }
  std::int32_t Connect();
  std::int32_t Disconnect();
  // On 0, out holds exactly the 16 bytes of the token's serialNumber.
  std::int32_t GetSerial(char out[kSerialSize]);
  // On 0, out holds the serials of every slot with a readable token, joined by ",".
  std::int32_t GetAllSerials(std::string& out);

  // Login and PIN management.
  std::int32_t Login(bool securityOfficer, const char* pin, CK_ULONG pinLen);
  std::int32_t Logout();
  std::int32_t ChangeSOPin(const char* oldPin, CK_ULONG oldLen, const char* newPin, CK_ULONG newLen);
  std::int32_t ChangeUserPin(const char* oldPin, CK_ULONG oldLen, const char* newPin, CK_ULONG newLen);
  std::int32_t UnblockUserPin(const char* soPin, CK_ULONG soLen, const char* userPin, CK_ULONG userLen);
  std::int32_t InitToken(const char* soPin, const char* userPin, const char* tokenName);

  // Object enumeration by position in the module's search order.
  std::int32_t EnumCertificate(std::int32_t index, CK_OBJECT_HANDLE& handle);
  std::int32_t EnumPublicKey(std::int32_t index, CK_OBJECT_HANDLE& handle);
  std::int32_t EnumPrivateKey(std::int32_t index, CK_OBJECT_HANDLE& handle);

  // Attributes and certificate lookup. ReadObjectAttribute may answer the
  // module's own CKR_ value; value holds the bytes read (without terminator).
  std::int32_t ReadObjectAttribute(CK_OBJECT_HANDLE handle, std::int32_t selector, std::vector<std::uint8_t>& value);
  std::int32_t FindCertificateIdBySerial(const std::uint8_t* serial, std::size_t n, std::vector<std::uint8_t>& id);
  std::int32_t FindPrivateKeyById(const std::uint8_t* id, std::size_t n, CK_OBJECT_HANDLE& handle);
  std::int32_t FindPublicKeyById(const std::uint8_t* id, std::size_t n, CK_OBJECT_HANDLE& handle);
  std::int32_t FindPrivateKeyBySerial(const std::uint8_t* serial, std::size_t n, CK_OBJECT_HANDLE& handle);
  std::int32_t FindPublicKeyBySerial(const std::uint8_t* serial, std::size_t n, CK_OBJECT_HANDLE& handle);

  // Single-part cryptography. outLen holds the capacity on entry and the
  // number of bytes produced on success.
  std::int32_t DigestData(std::int32_t hashType, const std::uint8_t* data, CK_ULONG len, std::uint8_t* out,
                          CK_ULONG& outLen);
  std::int32_t SignData(CK_OBJECT_HANDLE key, std::int32_t hashType, const std::uint8_t* data, CK_ULONG len,
                        std::uint8_t* out, CK_ULONG& outLen);
  std::int32_t VerifyData(CK_OBJECT_HANDLE key, std::int32_t hashType, const std::uint8_t* data, CK_ULONG len,
                          const std::uint8_t* sig, CK_ULONG sigLen);
  std::int32_t EncryptData(CK_OBJECT_HANDLE key, const std::uint8_t* data, CK_ULONG len, std::uint8_t* out,
                           CK_ULONG& outLen);
  std::int32_t DecryptData(CK_OBJECT_HANDLE key, const std::uint8_t* data, CK_ULONG len, std::uint8_t* out,
                           CK_ULONG& outLen);
  std::int32_t SignDataBySerial(const std::uint8_t* serial, std::size_t n, std::int32_t hashType,
                                const std::uint8_t* data, CK_ULONG len, std::uint8_t* out, CK_ULONG& outLen);
  std::int32_t VerifyDataBySerial(const std::uint8_t* serial, std::size_t n, std::int32_t hashType,
                                  const std::uint8_t* data, CK_ULONG len, const std::uint8_t* sig,
                                  CK_ULONG sigLen);

  // Read-only views for diagnostics and tests.
  const char* LibName() const { return m_szLibName; }
  CK_SESSION_HANDLE SessionHandle() const { return m_hSession; }
  CK_SLOT_ID SlotId() const { return m_slotId; }
  CK_FUNCTION_LIST_PTR FunctionList() const { return m_pFunctionList; }

 private:
  bool Usable() const { return IsLoaded() && m_hSession != 0; }
  // The slots holding a token, in the module's order: count, then fetch.
  // 0, or kErrNoToken (also for more than kMaxSlots slots).
  std::int32_t ListSlots(std::vector<CK_SLOT_ID>& slots);
  std::int32_t FindFirstTokenSlot(CK_SLOT_ID& slot, CK_TOKEN_INFO& info);
  std::int32_t ChangePin(bool securityOfficer, const char* oldPin, CK_ULONG oldLen, const char* newPin,
                         CK_ULONG newLen);
  std::int32_t Enumerate(CK_OBJECT_CLASS cls, std::int32_t index, CK_OBJECT_HANDLE& handle);
  std::int32_t FindKeyById(CK_OBJECT_CLASS cls, const std::uint8_t* id, std::size_t n, CK_OBJECT_HANDLE& handle);

  platform::ModuleHandle m_hModule = nullptr;
  CK_FUNCTION_LIST_PTR m_pFunctionList = nullptr;
  void* m_pAuxFunctionList = nullptr;
  CK_SLOT_ID m_slotId = kNoSlot;
  CK_SESSION_HANDLE m_hSession = 0;
  char m_szLibName[kLibNameSize] = {};
  // Whether this object holds one of the process-wide initialisations of
  // its module; C_Finalize runs only when the last holder unloads.
  bool m_holdsInit = false;
};

}  // namespace kelo

#endif
