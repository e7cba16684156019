#include "tests/com/test_container.h"

#include <oleauto.h>

namespace kelo::comtest {

// ---------------------------------------------------------------- frame

STDMETHODIMP TestFrame::QueryInterface(REFIID riid, void** ppv) {
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleWindow) ||
      IsEqualIID(riid, IID_IOleInPlaceUIWindow) || IsEqualIID(riid, IID_IOleInPlaceFrame))
    return Answer(static_cast<IOleInPlaceFrame*>(this), ppv);
  return Answer(nullptr, ppv);
}

STDMETHODIMP TestFrame::GetWindow(HWND* w) {
  if (!w) return E_POINTER;
  *w = window_;
  return S_OK;
}

STDMETHODIMP TestFrame::SetActiveObject(IOleInPlaceActiveObject* object, LPCOLESTR) {
  if (object) {
    ++activeObjectsSet;
  } else {
    ++activeObjectsCleared;
  }
  return S_OK;
}

STDMETHODIMP TestFrame::EnableModeless(BOOL enable) {
  modeless.push_back(enable);
  return S_OK;
}

// ---------------------------------------------------------------- site

STDMETHODIMP TestSite::QueryInterface(REFIID riid, void** ppv) {
  IUnknown* p = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleClientSite)) {
    p = static_cast<IOleClientSite*>(this);
  } else if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IOleInPlaceSite)) {
    p = static_cast<IOleInPlaceSiteWindowless*>(this);
  } else if ((IsEqualIID(riid, IID_IOleInPlaceSiteEx) || IsEqualIID(riid, IID_IOleInPlaceSiteWindowless)) &&
             options.windowless) {
    p = static_cast<IOleInPlaceSiteWindowless*>(this);
  } else if (IsEqualIID(riid, IID_IOleControlSite)) {
    p = static_cast<IOleControlSite*>(this);
  } else if (IsEqualIID(riid, IID_IDispatch)) {
    p = static_cast<IDispatch*>(this);
  } else if (IsEqualIID(riid, IID_IAdviseSink)) {
    p = static_cast<IAdviseSink*>(this);
  }
  return Answer(p, ppv);
}

STDMETHODIMP TestSite::SaveObject() {
  ++saves;
  return S_OK;
}

STDMETHODIMP TestSite::GetMoniker(DWORD, DWORD, IMoniker** m) {
  if (m) *m = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP TestSite::GetContainer(IOleContainer** c) {
  if (c) *c = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP TestSite::RequestNewObjectLayout() {
  ++layoutRequests;
  return S_OK;
}

STDMETHODIMP TestSite::GetWindow(HWND* w) {
  if (!w) return E_POINTER;
  *w = window_;
  return S_OK;
}

STDMETHODIMP TestSite::OnInPlaceActivate() {
  ++activations;
  activationFlags = 0;
  return S_OK;
}

STDMETHODIMP TestSite::OnInPlaceActivateEx(BOOL* noRedraw, DWORD flags) {
  if (noRedraw) *noRedraw = FALSE;
  ++activations;
  activationFlags = flags;
  return S_OK;
}

STDMETHODIMP TestSite::OnUIActivate() {
  ++uiActivations;
  return S_OK;
}

STDMETHODIMP TestSite::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT posRect,
                                        LPRECT clip, LPOLEINPLACEFRAMEINFO info) {
  if (!frame || !doc || !posRect || !clip || !info) return E_POINTER;
  *frame = &frame_;
  frame_.AddRef();
  *doc = nullptr;  // the document window is the frame
  *posRect = pos;
  *clip = pos;
  info->fMDIApp = FALSE;
  info->hwndFrame = window_;
  info->haccel = nullptr;
  info->cAccelEntries = 0;
  return S_OK;
}

STDMETHODIMP TestSite::OnUIDeactivate(BOOL) {
  ++uiDeactivations;
  return S_OK;
}

STDMETHODIMP TestSite::OnInPlaceDeactivate() {
  ++deactivations;
  return S_OK;
}

STDMETHODIMP TestSite::OnInPlaceDeactivateEx(BOOL) {
  ++deactivations;
  return S_OK;
}

STDMETHODIMP TestSite::OnPosRectChange(LPCRECT r) {
  if (!r) return E_POINTER;
  posRectRequests.push_back(*r);
  return S_OK;
}

STDMETHODIMP TestSite::OnDefWindowMessage(UINT, WPARAM, LPARAM, LRESULT* r) {
  if (r) *r = 0;
  return S_OK;
}

STDMETHODIMP TestSite::GetExtendedControl(IDispatch** d) {
  if (d) *d = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP TestSite::ShowPropertyFrame() {
  ++ownFramesShown;
  return options.showsOwnFrame ? S_OK : E_NOTIMPL;
}

STDMETHODIMP TestSite::GetTypeInfoCount(UINT* n) {
  if (!n) return E_POINTER;
  *n = 0;
  return S_OK;
}

STDMETHODIMP TestSite::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) {
  if (id != DISPID_AMBIENT_USERMODE) return DISP_E_MEMBERNOTFOUND;
  if (!result) return E_POINTER;
  VariantInit(result);
  V_VT(result) = VT_BOOL;
  V_BOOL(result) = options.userMode ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// ---------------------------------------------------------------- bag

TestBag::~TestBag() {
  for (auto& entry : entries_) VariantClear(&entry.second);
}

STDMETHODIMP TestBag::QueryInterface(REFIID riid, void** ppv) {
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyBag))
    return Answer(static_cast<IPropertyBag*>(this), ppv);
  return Answer(nullptr, ppv);
}

STDMETHODIMP TestBag::Read(LPCOLESTR name, VARIANT* out, IErrorLog*) {
  if (!name || !out) return E_POINTER;
  auto it = entries_.find(name);
  if (it == entries_.end()) return E_INVALIDARG;
  // The type the reader asks for, as hosts convert <param> text.
  const VARTYPE wanted = V_VT(out);
  VariantInit(out);
  if (wanted == VT_EMPTY) return VariantCopy(out, &it->second);
  return VariantChangeType(out, &it->second, 0, wanted);
}

STDMETHODIMP TestBag::Write(LPCOLESTR name, VARIANT* value) {
  if (!name || !value) return E_POINTER;
  VARIANT copy;
  VariantInit(&copy);
  HRESULT hr = VariantCopy(&copy, value);
  if (FAILED(hr)) return hr;
  auto [it, added] = entries_.try_emplace(name);
  if (!added) VariantClear(&it->second);
  it->second = copy;
  return S_OK;
}

std::map<std::wstring, LONG> TestBag::Longs() const {
  std::map<std::wstring, LONG> out;
  for (const auto& [name, v] : entries_) out[name] = V_VT(&v) == VT_I4 ? V_I4(&v) : -1;
  return out;
}

// ---------------------------------------------------------------- sinks

STDMETHODIMP TestEventSink::QueryInterface(REFIID riid, void** ppv) {
  if (IsEqualIID(riid, IID_IUnknown)) return Answer(static_cast<IDispatch*>(this), ppv);
  if (accepts_ && (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, com::kEventsIid)))
    return Answer(static_cast<IDispatch*>(this), ppv);
  return Answer(nullptr, ppv);
}

STDMETHODIMP TestEventSink::GetTypeInfoCount(UINT* n) {
  if (!n) return E_POINTER;
  *n = 0;
  return S_OK;
}

STDMETHODIMP TestPageSite::QueryInterface(REFIID riid, void** ppv) {
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyPageSite))
    return Answer(static_cast<IPropertyPageSite*>(this), ppv);
  return Answer(nullptr, ppv);
}

STDMETHODIMP TestPageSite::GetLocaleID(LCID* lcid) {
  if (!lcid) return E_POINTER;
  *lcid = LOCALE_USER_DEFAULT;
  return S_OK;
}

STDMETHODIMP TestPageSite::GetPageContainer(IUnknown** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

}  // namespace kelo::comtest
