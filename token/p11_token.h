// CP11Token: one PKCS#11 token module loaded into the process and at most one
// open session on one of its slots, with every token operation the control
// offers. Every operation answers a result code; nothing throws.
#ifndef KELO_TOKEN_P11_TOKEN_H
#define KELO_TOKEN_P11_TOKEN_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/result_codes.h"
#include "common/vocabulary.h"
#include "platform/dynlib.h"
#include "platform/wipe.h"
#include "token/pkcs11.h"

namespace kelo {

class CP11Token {
 public:
  // Room for a configured module's full path, not only the fixed names.
  static constexpr std::size_t kLibNameSize = 4096;
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
  // C_GetFunctionList is (kErrSession): nothing is called through it, not even
  // C_Finalize, so no operation has to check its entry later.
  // The fixed module names must also export E_GetAuxFunctionList; a module
  // a person configured needs only C_GetFunctionList.
  enum class AuxList { kRequired, kOptional };
  ResultCode Load(const char* name, AuxList aux = AuxList::kRequired);
  void Unload();
  bool IsLoaded() const { return m_pFunctionList != nullptr && m_pAuxFunctionList != nullptr; }
  ResultCode Connect();
  ResultCode Disconnect();
  // On kOk, out holds exactly the 16 bytes of the token's serialNumber.
  ResultCode GetSerial(char out[kSerialSize]);
  // On kOk, flags holds the token's CK_TOKEN_INFO flags (PIN counters and
  // locks among them), read from the same slot as GetSerial.
  ResultCode GetTokenFlags(CK_FLAGS& flags);
  // On kOk, out holds the serials of every slot with a readable token, joined by ",".
  ResultCode GetAllSerials(std::string& out);

  // Login and PIN management.
  ResultCode Login(bool securityOfficer, const char* pin, CK_ULONG pinLen);
  ResultCode Logout();
  ResultCode ChangeSOPin(const char* oldPin, CK_ULONG oldLen, const char* newPin, CK_ULONG newLen);
  ResultCode ChangeUserPin(const char* oldPin, CK_ULONG oldLen, const char* newPin, CK_ULONG newLen);
  ResultCode UnblockUserPin(const char* soPin, CK_ULONG soLen, const char* userPin, CK_ULONG userLen);
  ResultCode InitToken(const char* soPin, const char* userPin, const char* tokenName);

  // Object enumeration by position in the module's search order.
  ResultCode EnumCertificate(std::int32_t index, CK_OBJECT_HANDLE& handle);
  ResultCode EnumPublicKey(std::int32_t index, CK_OBJECT_HANDLE& handle);
  ResultCode EnumPrivateKey(std::int32_t index, CK_OBJECT_HANDLE& handle);

  // Attributes and certificate lookup. ReadObjectAttribute answers kOk with
  // the bytes read (without terminator), kErrBadArgument for a selector
  // without a name, or kErrNotFound with value empty when the module has no
  // readable value to give.
  ResultCode ReadObjectAttribute(CK_OBJECT_HANDLE handle, AttributeSelector selector, std::vector<std::uint8_t>& value);
  ResultCode FindCertificateIdBySerial(const std::uint8_t* serial, std::size_t n, std::vector<std::uint8_t>& id);
  ResultCode FindPrivateKeyById(const std::uint8_t* id, std::size_t n, CK_OBJECT_HANDLE& handle);
  ResultCode FindPublicKeyById(const std::uint8_t* id, std::size_t n, CK_OBJECT_HANDLE& handle);
  ResultCode FindPrivateKeyBySerial(const std::uint8_t* serial, std::size_t n, CK_OBJECT_HANDLE& handle);
  ResultCode FindPublicKeyBySerial(const std::uint8_t* serial, std::size_t n, CK_OBJECT_HANDLE& handle);

  // Single-part cryptography. outLen holds the capacity on entry and the
  // number of bytes produced on success. Sign and verify follow the key's
  // type: RSA keys as they always did; EC keys sign with ECDSA (the module's
  // ECDSA-with-hash mechanism where the slot offers it, else the module's
  // digest then plain ECDSA; a hash type without a name signs the given
  // bytes) and the signature is the module's r||s.
  ResultCode DigestData(HashType hashType, const std::uint8_t* data, CK_ULONG len, std::uint8_t* out, CK_ULONG& outLen);
  ResultCode SignData(CK_OBJECT_HANDLE key, HashType hashType, const std::uint8_t* data, CK_ULONG len,
                      std::uint8_t* out, CK_ULONG& outLen);
  ResultCode VerifyData(CK_OBJECT_HANDLE key, HashType hashType, const std::uint8_t* data, CK_ULONG len,
                        const std::uint8_t* sig, CK_ULONG sigLen);
  ResultCode EncryptData(CK_OBJECT_HANDLE key, const std::uint8_t* data, CK_ULONG len, std::uint8_t* out,
                         CK_ULONG& outLen);
  ResultCode DecryptData(CK_OBJECT_HANDLE key, const std::uint8_t* data, CK_ULONG len, std::uint8_t* out,
                         CK_ULONG& outLen);
  ResultCode SignDataBySerial(const std::uint8_t* serial, std::size_t n, HashType hashType, const std::uint8_t* data,
                              CK_ULONG len, std::uint8_t* out, CK_ULONG& outLen);
  ResultCode VerifyDataBySerial(const std::uint8_t* serial, std::size_t n, HashType hashType, const std::uint8_t* data,
                                CK_ULONG len, const std::uint8_t* sig, CK_ULONG sigLen);

  // Read-only views for diagnostics and tests.
  const char* LibName() const { return m_szLibName; }
  CK_SESSION_HANDLE SessionHandle() const { return m_session.get(); }
  CK_SLOT_ID SlotId() const { return m_slotId; }
  CK_FUNCTION_LIST_PTR FunctionList() const { return m_pFunctionList; }

 private:
  // The one open session of this object. A replaced session is closed only
  // after its successor is open (login state lives while any session of the
  // application stays open); a session the module already ended (C_Finalize,
  // C_CloseAllSessions) is released without a call.
  class Session {
   public:
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() { Close(); }

    CK_SESSION_HANDLE get() const { return handle_; }
    // Holds fresh from now on, closing the one held before unless it is the same.
    void Replace(CK_FUNCTION_LIST_PTR functions, CK_SESSION_HANDLE fresh);
    // Gives up the handle without closing it; the caller closes it or the
    // module has already.
    CK_SESSION_HANDLE Release();
    void Close();

   private:
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
    CK_SESSION_HANDLE handle_ = 0;
  };

  bool Usable() const { return IsLoaded() && m_session.get() != 0; }
  // The slots holding a token, in the module's order: count, then fetch.
  // kOk, or kErrNoToken (also for more than kMaxSlots slots).
  ResultCode ListSlots(std::vector<CK_SLOT_ID>& slots);
  ResultCode FindFirstTokenSlot(CK_SLOT_ID& slot, CK_TOKEN_INFO& info);
  ResultCode ChangePin(bool securityOfficer, const char* oldPin, CK_ULONG oldLen, const char* newPin, CK_ULONG newLen);
  ResultCode Enumerate(CK_OBJECT_CLASS cls, std::int32_t index, CK_OBJECT_HANDLE& handle);
  ResultCode FindKeyById(CK_OBJECT_CLASS cls, const std::uint8_t* id, std::size_t n, CK_OBJECT_HANDLE& handle);
  // Whether the key is an EC key (else RSA), remembered by handle until the
  // session changes.
  bool IsEcKey(CK_OBJECT_HANDLE key);
  void ForgetSessionState() {
    m_mechanismFlags.clear();
    m_keyIsEc.clear();
  }
  // Whether the slot offers the mechanism for this use (CKF_SIGN, CKF_VERIFY);
  // asked once per slot and mechanism while the session lasts.
  bool Offers(CK_MECHANISM_TYPE type, CK_FLAGS use);
  // ECDSA with key: failure is kErrSign / kErrVerify as for RSA.
  ResultCode SignEc(CK_OBJECT_HANDLE key, HashType hashType, const std::uint8_t* data, CK_ULONG len, std::uint8_t* out,
                    CK_ULONG& outLen);
  ResultCode VerifyEc(CK_OBJECT_HANDLE key, HashType hashType, const std::uint8_t* data, CK_ULONG len,
                      const std::uint8_t* sig, CK_ULONG sigLen);

  // Declared before the function list and the session, so it is released
  // after them.
  platform::ScopedModule m_module;
  CK_FUNCTION_LIST_PTR m_pFunctionList = nullptr;
  void* m_pAuxFunctionList = nullptr;
  CK_SLOT_ID m_slotId = kNoSlot;
  Session m_session;
  char m_szLibName[kLibNameSize] = {};
  // C_GetMechanismInfo's flags by mechanism for m_slotId (0 when not offered).
  std::map<CK_MECHANISM_TYPE, CK_FLAGS> m_mechanismFlags;
  static constexpr std::size_t kMaxRememberedKeys = 256;
  std::map<CK_OBJECT_HANDLE, bool> m_keyIsEc;
  AuxList m_aux = AuxList::kRequired;
  // Whether this object holds one of the process-wide initialisations of
  // its module; C_Finalize runs only when the last holder unloads.
  bool m_holdsInit = false;
};

}  // namespace kelo

#endif
