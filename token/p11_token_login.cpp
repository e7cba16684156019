// Login, logout, PIN changes and token initialisation.
#include <cstring>

#include "token/p11_token.h"

namespace kelo {
namespace {

constexpr std::size_t kLabelSize = 32;

CK_UTF8CHAR_PTR Pin(const char* pin) {
  return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin));
}

}  // namespace

ResultCode CP11Token::Login(bool securityOfficer, const char* pin, CK_ULONG pinLen) {
  if (!Usable()) return kErrSession;
  CK_RV rv = m_pFunctionList->C_Login(m_session.get(), securityOfficer ? CKU_SO : CKU_USER, Pin(pin), pinLen);
  switch (rv) {
    case CKR_OK:
    case CKR_USER_ALREADY_LOGGED_IN:
      return kOk;
    case CKR_PIN_INCORRECT:
      return kErrPinIncorrect;
    case CKR_USER_ANOTHER_ALREADY_LOGGED_IN:
      return kErrAnotherLoggedIn;
    case CKR_PIN_LOCKED:
      return kErrPinLocked;
    default:
      return kErrLogin;
  }
}

ResultCode CP11Token::Logout() {
  if (!Usable()) return kErrSession;
  CK_RV rv = m_pFunctionList->C_Logout(m_session.get());
  if (rv == CKR_OK) return kOk;
  return rv == CKR_USER_NOT_LOGGED_IN ? kErrNotLoggedIn : kErrLogout;
}

// Logs out whoever is logged in, logs in as the PIN's owner, changes the
// PIN and logs out again.
ResultCode CP11Token::ChangePin(bool securityOfficer, const char* oldPin, CK_ULONG oldLen, const char* newPin,
                                CK_ULONG newLen) {
  if (!Usable()) return kErrSession;
  (void)Logout();  // nobody may have been logged in
  ResultCode rc = Login(securityOfficer, oldPin, oldLen);
  if (rc != kOk) return rc;
  CK_RV rv = m_pFunctionList->C_SetPIN(m_session.get(), Pin(oldPin), oldLen, Pin(newPin), newLen);
  (void)Logout();
  return rv == CKR_OK ? kOk : kErrChangePin;
}

ResultCode CP11Token::ChangeSOPin(const char* oldPin, CK_ULONG oldLen, const char* newPin, CK_ULONG newLen) {
  return ChangePin(true, oldPin, oldLen, newPin, newLen);
}

ResultCode CP11Token::ChangeUserPin(const char* oldPin, CK_ULONG oldLen, const char* newPin, CK_ULONG newLen) {
  return ChangePin(false, oldPin, oldLen, newPin, newLen);
}

ResultCode CP11Token::UnblockUserPin(const char* soPin, CK_ULONG soLen, const char* userPin, CK_ULONG userLen) {
  if (!Usable()) return kErrSession;
  (void)Logout();  // nobody may have been logged in
  ResultCode rc = Login(true, soPin, soLen);
  if (rc != kOk) return rc;
  CK_RV rv = m_pFunctionList->C_InitPIN(m_session.get(), Pin(userPin), userLen);
  (void)Logout();
  return rv == CKR_OK ? kOk : kErrInitPin;
}

ResultCode CP11Token::InitToken(const char* soPin, const char* userPin, const char* tokenName) {
  // The label is 32 blank-padded bytes, not terminated; a longer name is cut
  // to fit, as the field cannot hold more.
  CK_UTF8CHAR label[kLabelSize];
  std::memset(label, ' ', sizeof label);
  if (tokenName != nullptr) {
    std::size_t n = std::strlen(tokenName);
    std::memcpy(label, tokenName, n < kLabelSize ? n : kLabelSize);
  }
  if (!Usable()) return kErrSession;
  const CK_ULONG soLen = static_cast<CK_ULONG>(std::strlen(soPin));
  const CK_ULONG userLen = static_cast<CK_ULONG>(std::strlen(userPin));

  m_pFunctionList->C_CloseAllSessions(m_slotId);
  // That closed our session too; keeping its handle would let a later call
  // reach whatever session the module hands that number to next.
  (void)m_session.Release();
  ForgetSessionState();  // the token's objects are about to go
  if (m_pFunctionList->C_InitToken(m_slotId, Pin(soPin), soLen, label) != CKR_OK) return kErrPinIncorrect;

  CK_SESSION_HANDLE fresh = 0;
  if (m_pFunctionList->C_OpenSession(m_slotId, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &fresh) !=
          CKR_OK ||
      fresh == 0) {
    m_slotId = kNoSlot;
    return kErrInitToken;
  }
  m_session.Replace(m_pFunctionList, fresh);
  ResultCode rc = UnblockUserPin(soPin, soLen, userPin, userLen);
  (void)Disconnect();
  return rc == kOk ? kOk : kErrInitToken;
}

}  // namespace kelo
