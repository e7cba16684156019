// IOleObject and IOleControl of the control: the client site, verbs, the
// extent, advise sinks, the property frame, and letting go of the host.
#include <olectl.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "control/com/com_ids.h"
#include "control/com/com_util.h"
#include "control/com/control_object.h"
#include "control/com/enumerator.h"
#include "control/com/resource.h"

namespace kelo::com {
namespace {

// The one verb the control lists: its property pages. No string of the
// module names it, so the text is ours.
constexpr wchar_t kPropertiesVerbName[] = L"&Properties...";

LPOLESTR CoTaskCopy(const std::wstring& text) {
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
  if (copy) std::memcpy(copy, text.c_str(), bytes);
  return copy;
}

struct VerbTraits {
  using Interface = IEnumOLEVERB;
  using Item = OLEVERB;
  static const IID& Iid() { return IID_IEnumOLEVERB; }
  static HRESULT CopyOut(const OLEVERB& from, OLEVERB& to) {
    to = from;
    to.lpszVerbName = nullptr;
    if (from.lpszVerbName) {
      to.lpszVerbName = CoTaskCopy(from.lpszVerbName);
      if (!to.lpszVerbName) return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  static void Free(OLEVERB& item) {
    CoTaskMemFree(item.lpszVerbName);
    item.lpszVerbName = nullptr;
  }
};

// Takes a counted copy of an interface pointer before calling out: the
// callee may make the control drop its own.
template <typename T>
ComPtr<T> Hold(const ComPtr<T>& p) {
  ComPtr<T> copy;
  copy.retain(p.get());
  return copy;
}

}  // namespace

STDMETHODIMP ControlObject::SetClientSite(IOleClientSite* site) {
  embedding_.clientSite.retain(site);
  UpdateWindowVisibility();
  return S_OK;
}

STDMETHODIMP ControlObject::GetClientSite(IOleClientSite** site) {
  if (!site) return E_POINTER;
  *site = embedding_.clientSite.get();
  if (*site) (*site)->AddRef();
  return S_OK;
}

STDMETHODIMP ControlObject::SetHostNames(LPCOLESTR, LPCOLESTR) { return S_OK; }

STDMETHODIMP ControlObject::Close(DWORD saveOption) {
  if (saveOption != OLECLOSE_SAVEIFDIRTY && saveOption != OLECLOSE_NOSAVE && saveOption != OLECLOSE_PROMPTSAVE)
    return E_INVALIDARG;
  // The host's last reference may go while it hears of the close.
  ComPtr<IUnknown> self;
  self.retain(Identity());
  InPlaceDeactivate();
  // There is nobody to prompt: a prompted save is a save.
  if (saveOption != OLECLOSE_NOSAVE && dirty_ && embedding_.clientSite) Hold(embedding_.clientSite)->SaveObject();
  if (embedding_.adviseHolder) Hold(embedding_.adviseHolder)->SendOnClose();
  ReleaseEmbedding();
  return S_OK;
}

void ControlObject::ReleaseEmbedding() {
  if (embedding_.inPlaceActive) InPlaceDeactivate();
  // Each pointer leaves the state before it is released: a host's Release
  // may call back into the control.
  events_.DisconnectAll();
  ComPtr<IAdviseSink> viewSink = std::move(embedding_.viewSink);
  embedding_.viewAspects = embedding_.viewFlags = 0;
  ComPtr<IOleAdviseHolder> holder = std::move(embedding_.adviseHolder);
  ComPtr<IOleClientSite> site = std::move(embedding_.clientSite);
  embedding_.eventsFrozen = 0;
}

STDMETHODIMP ControlObject::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }

STDMETHODIMP ControlObject::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
  if (!moniker) return E_POINTER;
  *moniker = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ControlObject::InitFromData(IDataObject*, BOOL, DWORD) { return E_NOTIMPL; }

STDMETHODIMP ControlObject::GetClipboardData(DWORD, IDataObject** data) {
  if (!data) return E_POINTER;
  *data = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ControlObject::DoVerb(LONG verb, LPMSG, IOleClientSite* activeSite, LONG, HWND parent,
                                   LPCRECT posRect) {
  switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_UIACTIVATE:
      return ActivateInPlace(true, activeSite, parent, posRect);
    case OLEIVERB_SHOW:
    case OLEIVERB_INPLACEACTIVATE:
      return ActivateInPlace(false, activeSite, parent, posRect);
    case OLEIVERB_HIDE:
      return InPlaceDeactivate();
    case OLEIVERB_PROPERTIES:
      return ShowPropertyFrame(parent);
    default:
      break;
  }
  if (verb < 0) return E_NOTIMPL;  // open, discard-undo-state and the like
  // An unknown verb of the object's own range does the primary verb.
  HRESULT hr = ActivateInPlace(true, activeSite, parent, posRect);
  return FAILED(hr) ? hr : OLEOBJ_S_INVALIDVERB;
}

HRESULT ControlObject::ShowPropertyFrame(HWND parent) {
  ComPtr<IUnknown> self;
  self.retain(Identity());
  // A container that shows property frames of its own gets to do so.
  if (embedding_.clientSite) {
    ComPtr<IOleControlSite> controlSite;
    if (SUCCEEDED(embedding_.clientSite->QueryInterface(IID_IOleControlSite, controlSite.put_void())) &&
        controlSite->ShowPropertyFrame() == S_OK)
      return S_OK;
  }
  return Guarded([&] {
    HWND owner = parent;
    if (!owner && embedding_.inPlaceSite) embedding_.inPlaceSite->GetWindow(&owner);
    const std::wstring caption = ResourceString(IDS_KELOCAACTIVEX);
    IUnknown* objects[] = {Identity()};
    CLSID pages[] = {kPageClsid};
    // The frame is modal: the container's own modeless windows wait.
    ComPtr<IOleInPlaceFrame> frame = Hold(embedding_.frame);
    if (frame) frame->EnableModeless(FALSE);
    HRESULT hr = OleCreatePropertyFrame(owner, 0, 0, caption.c_str(), 1, objects, 1, pages, LOCALE_USER_DEFAULT, 0,
                                        nullptr);
    if (frame) frame->EnableModeless(TRUE);
    return hr;
  });
}

STDMETHODIMP ControlObject::EnumVerbs(IEnumOLEVERB** verbs) {
  if (!verbs) return E_POINTER;
  *verbs = nullptr;
  return Guarded([&] {
    using Enum = Enumerator<VerbTraits>;
    auto snapshot = std::make_shared<Enum::Snapshot>();
    snapshot->strings.emplace_back(kPropertiesVerbName);
    OLEVERB properties{};
    properties.lVerb = OLEIVERB_PROPERTIES;
    properties.lpszVerbName = snapshot->strings.back().data();
    properties.fuFlags = MF_STRING | MF_ENABLED;
    properties.grfAttribs = OLEVERBATTRIB_ONCONTAINERMENU | OLEVERBATTRIB_NEVERDIRTIES;
    snapshot->items.push_back(properties);
    return Enum::Create(std::move(snapshot), verbs);
  });
}

STDMETHODIMP ControlObject::Update() { return S_OK; }

STDMETHODIMP ControlObject::IsUpToDate() { return S_OK; }

STDMETHODIMP ControlObject::GetUserClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = kControlClsid;
  return S_OK;
}

STDMETHODIMP ControlObject::GetUserType(DWORD form, LPOLESTR* name) {
  if (!name) return E_POINTER;
  *name = nullptr;
  if (form != USERCLASSTYPE_FULL && form != USERCLASSTYPE_SHORT && form != USERCLASSTYPE_APPNAME)
    return E_INVALIDARG;
  return Guarded([&] {
    const std::wstring text = ResourceString(IDS_KELOCAACTIVEX);
    if (text.empty()) return OleRegGetUserType(kControlClsid, form, name);
    *name = CoTaskCopy(text);
    return *name ? S_OK : E_OUTOFMEMORY;
  });
}

STDMETHODIMP ControlObject::SetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!size) return E_POINTER;
  if (size->cx <= 0 || size->cy <= 0) return E_INVALIDARG;
  if (size->cx != state_.extentX || size->cy != state_.extentY) {
    state_.extentX = size->cx;
    state_.extentY = size->cy;
    dirty_ = true;
  }
  return S_OK;
}

STDMETHODIMP ControlObject::GetExtent(DWORD aspect, SIZEL* size) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!size) return E_POINTER;
  size->cx = state_.extentX;
  size->cy = state_.extentY;
  return S_OK;
}

STDMETHODIMP ControlObject::Advise(IAdviseSink* sink, DWORD* connection) {
  if (!connection) return E_POINTER;
  *connection = 0;
  if (!sink) return E_INVALIDARG;
  if (!embedding_.adviseHolder) {
    HRESULT hr = CreateOleAdviseHolder(embedding_.adviseHolder.put());
    if (FAILED(hr)) return hr;
  }
  return embedding_.adviseHolder->Advise(sink, connection);
}

STDMETHODIMP ControlObject::Unadvise(DWORD connection) {
  if (!embedding_.adviseHolder) return OLE_E_NOCONNECTION;
  return Hold(embedding_.adviseHolder)->Unadvise(connection);
}

STDMETHODIMP ControlObject::EnumAdvise(IEnumSTATDATA** advise) {
  if (!advise) return E_POINTER;
  *advise = nullptr;
  if (!embedding_.adviseHolder) {
    HRESULT hr = CreateOleAdviseHolder(embedding_.adviseHolder.put());
    if (FAILED(hr)) return hr;
  }
  return embedding_.adviseHolder->EnumAdvise(advise);
}

STDMETHODIMP ControlObject::GetMiscStatus(DWORD aspect, DWORD* status) {
  if (!status) return E_POINTER;
  // As registered: MiscStatus\1 for the content, "0" for every other aspect.
  *status = aspect == DVASPECT_CONTENT ? kControlMiscStatus : 0;
  return S_OK;
}

STDMETHODIMP ControlObject::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

STDMETHODIMP ControlObject::GetControlInfo(CONTROLINFO* info) {
  if (!info) return E_POINTER;
  // No mnemonics, no accelerators.
  info->hAccel = nullptr;
  info->cAccel = 0;
  info->dwFlags = 0;
  return S_OK;
}

STDMETHODIMP ControlObject::OnMnemonic(MSG*) { return S_OK; }

STDMETHODIMP ControlObject::OnAmbientPropertyChange(DISPID id) {
  if (id == DISPID_AMBIENT_USERMODE || id == DISPID_UNKNOWN) UpdateWindowVisibility();
  return S_OK;
}

STDMETHODIMP ControlObject::FreezeEvents(BOOL freeze) {
  // The control fires no events; the count is kept for the protocol's sake.
  if (freeze) {
    ++embedding_.eventsFrozen;
  } else if (embedding_.eventsFrozen > 0) {
    --embedding_.eventsFrozen;
  }
  return S_OK;
}

bool ControlObject::HostInUserMode() {
  if (!embedding_.clientSite) return true;
  ComPtr<IDispatch> ambient;
  if (FAILED(embedding_.clientSite->QueryInterface(IID_IDispatch, ambient.put_void()))) return true;
  DISPPARAMS none{};
  Variant value;
  if (FAILED(ambient->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                             value.get(), nullptr, nullptr)))
    return true;
  Variant asBool;
  if (FAILED(VariantChangeType(asBool.get(), value.get(), 0, VT_BOOL))) return true;
  return V_BOOL(asBool.get()) != VARIANT_FALSE;
}

}  // namespace kelo::com
