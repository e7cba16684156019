// Module binding, slot discovery, session and serial numbers.
#include "token/p11_token.h"

#include <cstring>
#include <map>
#include <mutex>

#include "common/result_codes.h"

namespace kelo {
namespace {

// PKCS#11 keeps one initialisation per module per process. Several token
// objects may hold the same module (another control's registry, a reload);
// only the last of them to unload may call C_Finalize, or it would pull the
// module out from under the others.
class InitCounts {
 public:
  static InitCounts& Get() {
    static InitCounts counts;
    return counts;
  }
  void Acquire(platform::ModuleHandle m) {
    std::lock_guard<std::mutex> lock(mu_);
    ++counts_[m];
  }
  // Returns true when the caller was the last holder.
  bool Release(platform::ModuleHandle m) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = counts_.find(m);
    if (it == counts_.end()) return true;
    if (--it->second > 0) return false;
    counts_.erase(it);
    return true;
  }
  bool Held(platform::ModuleHandle m) {
    std::lock_guard<std::mutex> lock(mu_);
    return counts_.count(m) != 0;
  }

 private:
  std::mutex mu_;
  std::map<platform::ModuleHandle, int> counts_;
};

// The vendor extension's getter, as modules export it.
using GetListFn = CK_RV (*)(void**);

template <typename... Fn>
bool AllSet(Fn... fn) {
  return ((fn != nullptr) && ...);
}

// Every entry of the function list this object calls.
bool Complete(const CK_FUNCTION_LIST& f) {
  return AllSet(f.C_Initialize, f.C_Finalize, f.C_GetSlotList, f.C_GetTokenInfo, f.C_OpenSession, f.C_CloseSession,
                f.C_CloseAllSessions, f.C_InitToken, f.C_InitPIN, f.C_SetPIN, f.C_Login, f.C_Logout,
                f.C_FindObjectsInit, f.C_FindObjects, f.C_FindObjectsFinal, f.C_GetAttributeValue, f.C_DigestInit,
                f.C_Digest, f.C_SignInit, f.C_Sign, f.C_VerifyInit, f.C_Verify, f.C_EncryptInit, f.C_Encrypt,
                f.C_DecryptInit, f.C_Decrypt);
}

}  // namespace

void CP11Token::Session::Replace(CK_FUNCTION_LIST_PTR functions, CK_SESSION_HANDLE fresh) {
  if (handle_ != 0 && handle_ != fresh) functions_->C_CloseSession(handle_);
  functions_ = functions;
  handle_ = fresh;
}

CK_SESSION_HANDLE CP11Token::Session::Release() {
  CK_SESSION_HANDLE h = handle_;
  handle_ = 0;
  return h;
}

void CP11Token::Session::Close() {
  if (handle_ != 0) functions_->C_CloseSession(Release());
}

CP11Token::CP11Token() = default;

CP11Token::~CP11Token() { Unload(); }

ResultCode CP11Token::Load(const char* name, AuxList aux) {
  if (!m_module) {
    m_aux = aux;
    // A name that does not fit is refused rather than cut: a cut name could
    // load a different module.
    if (name == nullptr || std::strlen(name) >= kLibNameSize) return kErrLoadModule;
    if (name != m_szLibName) {
      std::memset(m_szLibName, 0, sizeof m_szLibName);
      std::memcpy(m_szLibName, name, std::strlen(name));
    }
    m_module.reset(platform::LoadModule(m_szLibName));
    if (!m_module) return kErrLoadModule;
  }
  if (m_pFunctionList == nullptr) {
    // Called through its own type: a call through any other is undefined.
    auto fn = reinterpret_cast<CK_C_GetFunctionList>(platform::GetSymbol(m_module.get(), "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (fn == nullptr || fn(&list) != CKR_OK || list == nullptr || !Complete(*list)) {
      Unload();
      return kErrSession;
    }
    m_pFunctionList = list;
  }
  if (m_pAuxFunctionList == nullptr) {
    auto fn = reinterpret_cast<GetListFn>(platform::GetSymbol(m_module.get(), "E_GetAuxFunctionList"));
    void* list = nullptr;
    if (m_aux == AuxList::kOptional) {
      // Nothing we call needs it: a stand-in marks the binding complete.
      list = this;
    } else if (fn == nullptr || fn(&list) != CKR_OK) {
      Unload();
      return kErrSession;
    }
    // The auxiliary list is only required to exist; a module that reports
    // success without filling it in still counts as bound.
    if (list == nullptr) list = reinterpret_cast<void*>(fn);
    m_pAuxFunctionList = list;
  }
  CK_RV rv = m_pFunctionList->C_Initialize(nullptr);
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    Unload();
    return kErrSession;
  }
  if (!m_holdsInit) {
    InitCounts::Get().Acquire(m_module.get());
    m_holdsInit = true;
  }
  return kOk;
}

void CP11Token::Unload() {
  if (m_pFunctionList != nullptr) {
    bool last = m_holdsInit ? InitCounts::Get().Release(m_module.get()) : !InitCounts::Get().Held(m_module.get());
    if (last) {
      // C_Finalize ends every session of the module, ours included.
      m_pFunctionList->C_Finalize(nullptr);
      (void)m_session.Release();
    } else {
      // The module stays initialised for its other holders: our session
      // would outlive us there.
      m_session.Close();
    }
  } else if (m_holdsInit) {
    InitCounts::Get().Release(m_module.get());
  }
  m_holdsInit = false;
  // Finalised before it is unloaded. A session handle from before the
  // unload names nothing in a reloaded module (or, worse, someone else's
  // session): it is gone with the module.
  m_module.reset();
  m_pFunctionList = nullptr;
  m_pAuxFunctionList = nullptr;
  (void)m_session.Release();
  ForgetSessionState();
}

ResultCode CP11Token::ListSlots(std::vector<CK_SLOT_ID>& slots) {
  if (!IsLoaded()) {
    ResultCode rc = Load(m_szLibName, m_aux);
    if (rc != kOk) return rc;
  }
  for (unsigned attempt = 0; attempt < kSlotListAttempts; ++attempt) {
    CK_ULONG count = 0;
    if (m_pFunctionList->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count == 0 || count > kMaxSlots)
      return kErrNoToken;
    slots.assign(count, 0);
    CK_ULONG filled = count;
    CK_RV rv = m_pFunctionList->C_GetSlotList(CK_TRUE, slots.data(), &filled);
    if (rv == CKR_BUFFER_TOO_SMALL) continue;  // grew since the count: ask again
    // A module that claims more entries than the list holds may have written
    // past it, so none of them is believed.
    if (rv != CKR_OK || filled == 0 || filled > count) break;
    slots.resize(filled);
    return kOk;
  }
  slots.clear();
  return kErrNoToken;
}

ResultCode CP11Token::FindFirstTokenSlot(CK_SLOT_ID& slot, CK_TOKEN_INFO& info) {
  std::vector<CK_SLOT_ID> slots;
  ResultCode rc = ListSlots(slots);
  if (rc != kOk) return rc;
  for (CK_SLOT_ID candidate : slots) {
    std::memset(&info, 0, sizeof info);
    if (m_pFunctionList->C_GetTokenInfo(candidate, &info) == CKR_OK) {
      slot = candidate;
      return kOk;
    }
  }
  return kErrNoToken;
}

ResultCode CP11Token::Connect() {
  CK_SLOT_ID slot = 0;
  CK_TOKEN_INFO info;
  ResultCode rc = FindFirstTokenSlot(slot, info);
  if (rc != kOk) return rc;
  // Another slot, or a token changed since: ask the module again.
  ForgetSessionState();

  // Open the new session before closing the one it supersedes: login state
  // is kept per application while any session stays open.
  CK_SESSION_HANDLE fresh = 0;
  CK_RV rv = m_pFunctionList->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &fresh);
  m_session.Replace(m_pFunctionList, fresh);
  // Handle 0 is never a session (it marks "none" here): a module that
  // answers success with it has opened nothing usable.
  if (rv != CKR_OK || fresh == 0) {
    (void)m_session.Release();
    m_slotId = kNoSlot;
    return kErrNoToken;
  }
  m_slotId = slot;
  return kOk;
}

ResultCode CP11Token::Disconnect() {
  if (!IsLoaded()) return kErrSession;
  // Closed even when there is none (handle 0): the module decides.
  m_pFunctionList->C_CloseSession(m_session.Release());
  m_slotId = kNoSlot;
  ForgetSessionState();
  return kOk;
}

ResultCode CP11Token::GetSerial(char out[kSerialSize]) {
  CK_SLOT_ID slot = 0;
  CK_TOKEN_INFO info;
  ResultCode rc = FindFirstTokenSlot(slot, info);
  if (rc != kOk) return rc;
  std::memcpy(out, info.serialNumber, kSerialSize);
  return kOk;
}

ResultCode CP11Token::GetTokenFlags(CK_FLAGS& flags) {
  CK_SLOT_ID slot = 0;
  CK_TOKEN_INFO info;
  ResultCode rc = FindFirstTokenSlot(slot, info);
  if (rc != kOk) return rc;
  flags = info.flags;
  return kOk;
}

ResultCode CP11Token::GetAllSerials(std::string& out) {
  std::vector<CK_SLOT_ID> slots;
  ResultCode rc = ListSlots(slots);
  if (rc != kOk) return rc;
  bool any = false;
  for (CK_SLOT_ID slot : slots) {
    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof info);
    if (m_pFunctionList->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
    // The field is blank-padded and not terminated; a zero byte inside it
    // ends the text.
    const char* s = reinterpret_cast<const char*>(info.serialNumber);
    std::size_t len = 0;
    while (len < kSerialSize && s[len] != '\0') ++len;
    if (any) out += ',';
    out.append(s, len);
    any = true;
  }
  return any ? kOk : kErrNoToken;
}

}  // namespace kelo
