// A PKCS#11 module opened by path and a session on it, for measuring the
// module without the control in between.
#ifndef KELO_BENCH_P11_DIRECT_H
#define KELO_BENCH_P11_DIRECT_H

#include <cstdint>
#include <string>
#include <vector>

#include "token/pkcs11.h"

namespace kelo::bench {

// dlopen + C_GetFunctionList + C_Initialize. When the module was already
// initialised in this process (the control loaded it first), the holder that
// initialised it also finalises it, so this object then leaves C_Finalize alone.
class P11Module {
 public:
  explicit P11Module(const std::string& path);
  P11Module(const P11Module&) = delete;
  P11Module& operator=(const P11Module&) = delete;
  ~P11Module();

  CK_FUNCTION_LIST* operator->() const { return fl_; }
  CK_FUNCTION_LIST* List() const { return fl_; }
  // The slot whose token reports this serial (blank padding ignored).
  CK_SLOT_ID SlotBySerial(const std::string& serial) const;

 private:
  void* handle_ = nullptr;
  CK_FUNCTION_LIST* fl_ = nullptr;
  bool ownsInit_ = false;
};

class P11Session {
 public:
  P11Session(const P11Module& module, CK_SLOT_ID slot);
  P11Session(const P11Session&) = delete;
  P11Session& operator=(const P11Session&) = delete;
  ~P11Session();

  CK_SESSION_HANDLE Handle() const { return session_; }
  // A user already logged in on another session of this process counts as done.
  void Login(const std::string& pin);
  // Every object of the class on the token, in the order the module delivers them.
  std::vector<CK_OBJECT_HANDLE> FindAll(CK_OBJECT_CLASS cls) const;
  std::vector<std::uint8_t> Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const;
  // The first object matching the template, or 0: one C_FindObjects call.
  CK_OBJECT_HANDLE FindFirst(CK_ATTRIBUTE* tmpl, CK_ULONG count) const;

 private:
  CK_FUNCTION_LIST* fl_;
  CK_SESSION_HANDLE session_ = 0;
};

// Throws Failure naming the call unless rv is CKR_OK.
void CheckRv(CK_RV rv, const char* call);

}  // namespace kelo::bench

#endif
