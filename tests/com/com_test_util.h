// Helpers of the COM tests: the apartment, creating the registered control,
// building DISPPARAMS, and string conversions at the test's side.
#ifndef KELO_TESTS_COM_COM_TEST_UTIL_H
#define KELO_TESTS_COM_COM_TEST_UTIL_H

#include <windows.h>
#include <ocidl.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/com/com_ids.h"
#include "control/com/com_util.h"

namespace kelo::comtest {

using com::Bstr;
using com::ComPtr;
using com::Variant;

// A single-threaded apartment for the test's thread: the control is an
// apartment-threaded in-process server and is then called directly.
class Apartment {
 public:
  Apartment() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
  ~Apartment() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  HRESULT Status() const { return hr_; }

 private:
  HRESULT hr_;
};

// The server module built beside the test program.
inline std::wstring ServerPath() {
  wchar_t exe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path(exe);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"KeloCaActiveX.dll";
}

// Creates the control the way a host does: by its ProgID through the registry.
inline HRESULT CreateControl(ComPtr<IDispatch>& out) {
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(com::kControlProgId, &clsid);
  if (FAILED(hr)) return hr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, out.put_void());
}

inline HRESULT InitNew(IDispatch* control) {
  ComPtr<IPersistStreamInit> persist;
  HRESULT hr = control->QueryInterface(IID_IPersistStreamInit, persist.put_void());
  return FAILED(hr) ? hr : persist->InitNew();
}

// Narrow text in a code page to UTF-16, over its whole length.
inline std::wstring Widen(const std::string& s, UINT cp = CP_ACP) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// UTF-16 text to narrow text in a code page, over its whole length.
inline std::string Narrow(const std::wstring& w, UINT cp = CP_ACP) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

inline std::wstring BstrText(BSTR b) { return b ? std::wstring(b, SysStringLen(b)) : std::wstring(); }

// Arguments in declaration order; Params() lays them out last-first as
// DISPPARAMS wants them.
class Args {
 public:
  Args() = default;
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  ~Args() {
    for (VARIANT& v : values_) VariantClear(&v);
  }

  Args& I4(LONG x) { return Add(VT_I4, [&](VARIANT& v) { V_I4(&v) = x; }); }
  Args& I2(SHORT x) { return Add(VT_I2, [&](VARIANT& v) { V_I2(&v) = x; }); }
  Args& R8(double x) { return Add(VT_R8, [&](VARIANT& v) { V_R8(&v) = x; }); }
  Args& Bool(bool x) { return Add(VT_BOOL, [&](VARIANT& v) { V_BOOL(&v) = x ? VARIANT_TRUE : VARIANT_FALSE; }); }
  Args& Null() { return Add(VT_NULL, [](VARIANT&) {}); }
  // How a caller leaves an optional argument out.
  Args& Missing() {
    return Add(VT_ERROR, [](VARIANT& v) { V_ERROR(&v) = DISP_E_PARAMNOTFOUND; });
  }
  Args& Str(const std::wstring& s) {
    return Add(VT_BSTR, [&](VARIANT& v) {
      V_BSTR(&v) = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    });
  }
  Args& RefI4(LONG* target) { return Add(VT_I4 | VT_BYREF, [&](VARIANT& v) { V_I4REF(&v) = target; }); }

  UINT Count() const { return static_cast<UINT>(values_.size()); }
  DISPPARAMS Params(std::vector<DISPID>* named = nullptr) {
    reversed_.assign(values_.rbegin(), values_.rend());
    DISPPARAMS p{};
    p.cArgs = Count();
    p.rgvarg = reversed_.empty() ? nullptr : reversed_.data();
    if (named && !named->empty()) {
      p.cNamedArgs = static_cast<UINT>(named->size());
      p.rgdispidNamedArgs = named->data();
    }
    return p;
  }

 private:
  template <typename F>
  Args& Add(VARTYPE vt, F&& set) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = vt;
    set(v);
    values_.push_back(v);
    return *this;
  }
  std::vector<VARIANT> values_;
  std::vector<VARIANT> reversed_;  // shallow copies, owned by values_
};

// One call of a method by dispatch identifier.
struct Reply {
  HRESULT hr = E_FAIL;
  Variant result;
  UINT argErr = static_cast<UINT>(-1);
};

inline void Call(IDispatch* control, DISPID id, Args& args, Reply& reply, std::vector<DISPID>* named = nullptr,
                 WORD flags = DISPATCH_METHOD) {
  DISPPARAMS p = args.Params(named);
  reply.hr = control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &p, reply.result.get(), nullptr,
                             &reply.argErr);
}

// The dispatch identifier of a method name (and of parameter names after it).
inline HRESULT Ids(IDispatch* control, std::vector<std::wstring> names, std::vector<DISPID>& ids) {
  std::vector<LPOLESTR> raw;
  for (std::wstring& n : names) raw.push_back(n.data());
  ids.assign(names.size(), 0);
  return control->GetIDsOfNames(IID_NULL, raw.data(), static_cast<UINT>(raw.size()), LOCALE_USER_DEFAULT,
                                ids.data());
}

}  // namespace kelo::comtest

#endif
