#include "control/com/dispatch_args.h"

#include <oleauto.h>

#include <array>
#include <climits>

#include "common/build.h"
#include "platform/codepage.h"
#include "platform/wipe.h"

namespace kelo::com {
namespace {

VARTYPE TargetType(VarType t) {
  switch (t) {
    case VarType::Long: return VT_I4;
    case VarType::Short: return VT_I2;
    case VarType::BStr: return VT_BSTR;
  }
  return VT_EMPTY;
}

// String results: the 64-bit build converts with the calling thread's ANSI
// code page, the 32-bit build with the system's.
constexpr platform::AnsiCodePage kResultCodePage =
    kelo::kWideBuild ? platform::AnsiCodePage::Thread : platform::AnsiCodePage::System;

// A coerced argument. String arguments may be PINs: their copy is wiped
// before it is freed.
class CoercedArg {
 public:
  CoercedArg() { VariantInit(&v_); }
  CoercedArg(const CoercedArg&) = delete;
  CoercedArg& operator=(const CoercedArg&) = delete;
  ~CoercedArg() {
    if (V_VT(&v_) == VT_BSTR && V_BSTR(&v_)) platform::SecureWipe(V_BSTR(&v_), SysStringByteLen(V_BSTR(&v_)));
    VariantClear(&v_);
  }
  VARIANT* get() { return &v_; }

 private:
  VARIANT v_;
};

}  // namespace

HRESULT GatherArguments(const MethodInfo& method, const DISPPARAMS& params, std::vector<Value>& args,
                        UINT* argErr) {
  const UINT count = params.cArgs;
  const UINT named = params.cNamedArgs;
  if ((count > 0 && !params.rgvarg) || named > count || (named > 0 && !params.rgdispidNamedArgs))
    return E_INVALIDARG;
  if (count > method.paramCount) return DISP_E_BADPARAMCOUNT;

  // Where each parameter's argument sits in rgvarg, or -1 for none.
  std::array<int, std::tuple_size_v<decltype(method.params)>> source;
  source.fill(-1);
  const UINT positional = count - named;
  for (UINT j = 0; j < positional; ++j) source[j] = static_cast<int>(count - 1 - j);
  for (UINT i = 0; i < named; ++i) {
    const DISPID id = params.rgdispidNamedArgs[i];
    if (id < 0 || id >= method.paramCount || source[static_cast<std::size_t>(id)] != -1) {
      if (argErr) *argErr = i;
      return DISP_E_PARAMNOTFOUND;
    }
    source[static_cast<std::size_t>(id)] = static_cast<int>(i);
  }

  args.clear();
  args.reserve(method.paramCount);
  for (std::size_t p = 0; p < method.paramCount; ++p) {
    if (source[p] < 0) return DISP_E_PARAMNOTOPTIONAL;
    VARIANT* in = &params.rgvarg[source[p]];
    // How a caller leaves an optional argument out; no parameter is optional.
    if (V_VT(in) == VT_ERROR && V_ERROR(in) == DISP_E_PARAMNOTFOUND) return DISP_E_PARAMNOTOPTIONAL;
    CoercedArg arg;
    const VarType type = method.params[p].type;
    HRESULT hr = VariantChangeType(arg.get(), in, 0, TargetType(type));
    if (FAILED(hr)) {
      if (argErr) *argErr = static_cast<UINT>(source[p]);
      return hr;
    }
    switch (type) {
      case VarType::Long: args.push_back(Value::Int(V_I4(arg.get()))); break;
      case VarType::Short: args.push_back(Value::Int(V_I2(arg.get()))); break;
      case VarType::BStr: {
        BSTR s = V_BSTR(arg.get());
        args.push_back(Value::String(platform::WideToAnsi(s, SysStringLen(s))));
        break;
      }
    }
  }
  return S_OK;
}

HRESULT StoreResult(const MethodInfo& method, const Value& value, VARIANT* out) {
  if (!out) return S_OK;  // the caller does not want the result
  VariantInit(out);
  if (method.result != VarType::BStr) {
    V_VT(out) = VT_I4;
    V_I4(out) = static_cast<LONG>(value.i);
    return S_OK;
  }
  const std::size_t units = platform::AnsiToWideLength(value.s, kResultCodePage);
  if (units > UINT_MAX / sizeof(wchar_t)) return E_OUTOFMEMORY;
  BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(units));
  if (!text) return E_OUTOFMEMORY;
  if (platform::AnsiToWide(value.s, kResultCodePage, text, units) != units) {
    // Text the code page cannot convert gives an empty string, as when
    // measuring it failed.
    SysFreeString(text);
    text = SysAllocStringLen(nullptr, 0);
    if (!text) return E_OUTOFMEMORY;
  }
  V_VT(out) = VT_BSTR;
  V_BSTR(out) = text;
  return S_OK;
}

}  // namespace kelo::com
