// Routing of a call by its method entry to the typed handler.
#include <new>

#include "control/coerce.h"
#include "control/kelo_ctrl.h"
#include "platform/wipe.h"

namespace kelo {
namespace {

// Wipes the string arguments however the call ends.
class ArgWiper {
 public:
  explicit ArgWiper(std::vector<Value>& args) : args_(args) {}
  ArgWiper(const ArgWiper&) = delete;
  ArgWiper& operator=(const ArgWiper&) = delete;
  ~ArgWiper() {
    for (Value& v : args_) platform::SecureWipe(v.s);
  }

 private:
  std::vector<Value>& args_;
};

}  // namespace

CallResult CKeloCAActiveXCtrl::Invoke(const MethodInfo& method, std::vector<Value>& args) {
  ArgWiper wipeRaw(args);
  CallResult r;
  if (args.size() != method.paramCount) {
    r.hr = kDISP_E_BADPARAMCOUNT;
    r.message = std::string(method.name) + " takes " + std::to_string(method.paramCount) + " parameter" +
                (method.paramCount == 1 ? "" : "s") + ", got " + std::to_string(args.size());
    return r;
  }
  std::vector<Value> a(args.size());
  ArgWiper wipeCoerced(a);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const ParamInfo& p = method.params[i];
    HResult hr = Coerce(args[i], p.type, a[i]);
    if (hr != kS_OK) {
      r.hr = hr;
      r.badParam = static_cast<int>(i);
      r.message = std::string("parameter ") + p.name + " of " + method.name +
                  (hr == kDISP_E_OVERFLOW ? ": value out of range for " : ": type mismatch, expected ") +
                  VarTypeName(p.type);
      return r;
    }
  }
  auto L = [&](std::size_t i) { return static_cast<std::int32_t>(a[i].i); };
  auto S = [&](std::size_t i) -> const std::string& { return a[i].s; };
  try {
    switch (method.dispid) {
      case 1: r.value = Value::Int(ConnectToken()); break;
      case 2: r.value = Value::Int(DisconnectToken(L(0))); break;
      case 3: r.value = Value::Int(Login(L(0), S(1))); break;
      case 4: r.value = Value::Int(Logout(L(0))); break;
      case 5: r.value = Value::String(RetrieveSerial(L(0))); break;
      case 6: r.value = Value::Int(ChangeSOPin(L(0), S(1), S(2))); break;
      case 7: r.value = Value::Int(ChangeUserPin(L(0), S(1), S(2))); break;
      case 8: r.value = Value::Int(UnblockUserPin(L(0), S(1), S(2))); break;
      case 9: r.value = Value::Int(EnumCertificate(L(0), L(1))); break;
      case 10: r.value = Value::Int(EnumPublicKey(L(0), L(1))); break;
      case 11: r.value = Value::Int(EnumPrivateKey(L(0), L(1))); break;
      case 12: r.value = Value::String(GetAttribute(L(0), L(1), L(2))); break;
      case 13: r.value = Value::String(Encrypt(L(0), L(1), L(2), S(3))); break;
      case 14: r.value = Value::String(Decrypt(L(0), L(1), L(2), S(3))); break;
      case 15: r.value = Value::String(Hash(L(0), L(1), S(2))); break;
      case 16: r.value = Value::String(Sign(L(0), L(1), L(2), S(3))); break;
      case 17: r.value = Value::String(SignByCertSerial(L(0), S(1), L(2), S(3))); break;
      case 18: r.value = Value::Int(Verify(L(0), L(1), static_cast<std::int16_t>(a[2].i), S(3), S(4))); break;
      case 19: r.value = Value::Int(VerifyByCertSerial(L(0), S(1), L(2), S(3), S(4))); break;
      case 20: r.value = Value::String(SignByCSP(L(0), L(1), S(2), L(3), S(4))); break;
      case 21: r.value = Value::Int(VerifyByCSP(L(0), L(1), S(2), L(3), S(4), S(5))); break;
      case 22: r.value = Value::String(EncryptByCSP(L(0), L(1), S(2), L(3), S(4))); break;
      case 23: r.value = Value::String(DecryptByCSP(L(0), L(1), S(2), L(3), S(4))); break;
      case 24: r.value = Value::Int(VerifyCertCRL(L(0), L(1), S(2))); break;
      case 25: r.value = Value::Int(TokenInitialize(L(0), S(1), S(2), S(3))); break;
      case 26: r.value = Value::String(RetrieveAllTokenSerial(L(0))); break;
      default:
        r.hr = kDISP_E_MEMBERNOTFOUND;
        r.message = "no such method";
        break;
    }
  } catch (const std::bad_alloc&) {
    // The only failure an automation caller sees besides a bad call.
    r = CallResult{};
    r.hr = kE_OUTOFMEMORY;
    r.message = "out of memory";
  }
  return r;
}

}  // namespace kelo
