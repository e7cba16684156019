// A call by its method entry: arguments checked and coerced, then the
// entry's handler.
#include <new>

#include "control/coerce.h"
#include "control/kelo_ctrl.h"

namespace kelo {

CallResult CKeloCAActiveXCtrl::Invoke(const MethodInfo& method, std::vector<Value>& args) {
  // Taken from the caller, so that the strings (PINs among them) are wiped
  // with this vector however the call ends.
  const std::vector<Value> raw = std::move(args);
  CallResult r;
  if (raw.size() != method.paramCount) {
    r.hr = kDISP_E_BADPARAMCOUNT;
    r.message = std::string(method.name) + " takes " + std::to_string(method.paramCount) + " parameter" +
                (method.paramCount == 1 ? "" : "s") + ", got " + std::to_string(raw.size());
    return r;
  }
  if (!method.handler) {
    r.hr = kDISP_E_MEMBERNOTFOUND;
    r.message = "no such method";
    return r;
  }
  std::vector<Value> coerced(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const ParamInfo& p = method.params[i];
    HResult hr = Coerce(raw[i], p.type, coerced[i]);
    if (hr != kS_OK) {
      r.hr = hr;
      r.badParam = static_cast<int>(i);
      r.message = std::string("parameter ") + p.name + " of " + method.name +
                  (hr == kDISP_E_OVERFLOW ? ": value out of range for " : ": type mismatch, expected ") +
                  VarTypeName(p.type);
      return r;
    }
  }
  try {
    r.value = method.handler(*this, coerced);
  } catch (const std::bad_alloc&) {
    // The only failure an automation caller sees besides a bad call.
    r = CallResult{};
    r.hr = kE_OUTOFMEMORY;
    r.message = "out of memory";
  }
  return r;
}

}  // namespace kelo
