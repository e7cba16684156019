#include "bench/p11_direct.h"

#include <dlfcn.h>

#include "bench/harness.h"

namespace kelo::bench {

void CheckRv(CK_RV rv, const char* call) {
  if (rv != CKR_OK) throw Failure(Format("%s failed: CKR 0x%08lX", call, static_cast<unsigned long>(rv)));
}

P11Module::P11Module(const std::string& path) {
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* err = ::dlerror();
    throw Failure("cannot load " + path + ": " + (err != nullptr ? err : "unknown error"));
  }
  try {
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle_, "C_GetFunctionList"));
    if (getList == nullptr) throw Failure(path + " exports no C_GetFunctionList");
    CheckRv(getList(&fl_), "C_GetFunctionList");
    if (fl_ == nullptr) throw Failure("C_GetFunctionList gave no list");
    const CK_RV rv = fl_->C_Initialize(nullptr);
    if (rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) CheckRv(rv, "C_Initialize");
    ownsInit_ = rv == CKR_OK;
  } catch (...) {
    ::dlclose(handle_);
    throw;
  }
}

P11Module::~P11Module() {
  if (ownsInit_) fl_->C_Finalize(nullptr);
  ::dlclose(handle_);
}

CK_SLOT_ID P11Module::SlotBySerial(const std::string& serial) const {
  CK_ULONG count = 0;
  CheckRv(fl_->C_GetSlotList(CK_TRUE, nullptr, &count), "C_GetSlotList");
  std::vector<CK_SLOT_ID> slots(count);
  CheckRv(fl_->C_GetSlotList(CK_TRUE, slots.data(), &count), "C_GetSlotList");
  slots.resize(count);
  for (CK_SLOT_ID slot : slots) {
    CK_TOKEN_INFO info{};
    if (fl_->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
    std::string s(reinterpret_cast<const char*>(info.serialNumber), sizeof info.serialNumber);
    s.erase(s.find_last_not_of(' ') + 1);
    if (s == serial) return slot;
  }
  throw Failure("no slot holds a token with serial " + serial);
}

P11Session::P11Session(const P11Module& module, CK_SLOT_ID slot) : fl_(module.List()) {
  CheckRv(fl_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session_), "C_OpenSession");
}

P11Session::~P11Session() { fl_->C_CloseSession(session_); }

void P11Session::Login(const std::string& pin) {
  std::string copy = pin;
  const CK_RV rv = fl_->C_Login(session_, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(copy.data()), copy.size());
  if (rv != CKR_USER_ALREADY_LOGGED_IN) CheckRv(rv, "C_Login");
}

std::vector<CK_OBJECT_HANDLE> P11Session::FindAll(CK_OBJECT_CLASS cls) const {
  // The template the control's own searches use.
  CK_BBOOL onToken = CK_TRUE;
  CK_ATTRIBUTE tmpl[2] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_TOKEN, &onToken, sizeof onToken}};
  CheckRv(fl_->C_FindObjectsInit(session_, tmpl, 2), "C_FindObjectsInit");
  std::vector<CK_OBJECT_HANDLE> all;
  CK_RV rv = CKR_OK;
  for (;;) {
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG n = 0;
    rv = fl_->C_FindObjects(session_, batch, 64, &n);
    if (rv != CKR_OK || n == 0) break;
    all.insert(all.end(), batch, batch + n);
  }
  fl_->C_FindObjectsFinal(session_);
  CheckRv(rv, "C_FindObjects");
  return all;
}

CK_OBJECT_HANDLE P11Session::FindFirst(CK_ATTRIBUTE* tmpl, CK_ULONG count) const {
  CheckRv(fl_->C_FindObjectsInit(session_, tmpl, count), "C_FindObjectsInit");
  CK_OBJECT_HANDLE h = 0;
  CK_ULONG n = 0;
  const CK_RV rv = fl_->C_FindObjects(session_, &h, 1, &n);
  fl_->C_FindObjectsFinal(session_);
  CheckRv(rv, "C_FindObjects");
  return n == 1 ? h : 0;
}

std::vector<std::uint8_t> P11Session::Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const {
  CK_ATTRIBUTE attr = {type, nullptr, 0};
  CheckRv(fl_->C_GetAttributeValue(session_, object, &attr, 1), "C_GetAttributeValue");
  std::vector<std::uint8_t> value(attr.ulValueLen);
  attr.pValue = value.data();
  CheckRv(fl_->C_GetAttributeValue(session_, object, &attr, 1), "C_GetAttributeValue");
  value.resize(attr.ulValueLen);
  return value;
}

}  // namespace kelo::bench
