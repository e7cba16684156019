// IDispatch of the control: the methods of the table (control/method_table)
// by name and dispatch identifier, with the platform's argument coercion.
#include "control/com/control_object.h"

#include <string>
#include <vector>

#include "control/com/com_ids.h"
#include "control/com/com_util.h"
#include "control/com/dispatch_args.h"

namespace kelo::com {
namespace {

// Member and parameter names are ASCII; any other name matches nothing.
std::string AsciiName(const wchar_t* name) {
  std::string out;
  if (!name) return out;
  for (; *name; ++name) {
    if (*name > 0x7F) return {};
    out.push_back(static_cast<char>(*name));
  }
  return out;
}

}  // namespace

STDMETHODIMP ControlObject::GetTypeInfoCount(UINT* count) {
  if (!initialised_) return E_UNEXPECTED;
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

STDMETHODIMP ControlObject::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
  if (!initialised_) return E_UNEXPECTED;
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  return Guarded([&] { return LoadControlTypeInfo(lcid, kDispatchIid, info); });
}

STDMETHODIMP ControlObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!initialised_) return E_UNEXPECTED;
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (count == 0) return S_OK;
  if (!names || !ids) return E_POINTER;
  return Guarded([&] {
    // The first name is the method's, the others its parameters', whose
    // identifiers are their positions.
    const MethodInfo* method = FindMethod(std::string_view(AsciiName(names[0])));
    ids[0] = method ? method->dispid : DISPID_UNKNOWN;
    bool allKnown = method != nullptr;
    for (UINT i = 1; i < count; ++i) {
      const int position = method ? FindParam(*method, AsciiName(names[i])) : -1;
      ids[i] = position >= 0 ? position : DISPID_UNKNOWN;
      allKnown = allKnown && position >= 0;
    }
    return allKnown ? S_OK : DISP_E_UNKNOWNNAME;
  });
}

STDMETHODIMP ControlObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT* argErr) {
  if (!initialised_) return E_UNEXPECTED;
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  const MethodInfo* method = FindMethod(static_cast<std::int32_t>(id));
  // Methods only: the control has no properties to get or put.
  if (!method || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
  if (!params) return E_INVALIDARG;
  return Guarded([&] {
    std::vector<Value> args;  // its strings (PINs among them) are wiped with it
    HRESULT hr = GatherArguments(*method, *params, args, argErr);
    if (FAILED(hr)) return hr;
    CallResult call = facade_.Invoke(*method, args);
    if (call.hr != kS_OK) return static_cast<HRESULT>(call.hr);  // E_OUTOFMEMORY
    return StoreResult(*method, call.value, result);
  });
}

}  // namespace kelo::com
