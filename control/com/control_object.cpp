#include "control/com/control_object.h"

#include "control/com/com_ids.h"
#include "control/com/com_util.h"

namespace kelo::com {

// Every interface the control answers QueryInterface for. IDispatch stands
// for the dispatch interface too; IPersist is the stream persistence.
const ControlObject::InterfaceEntry ControlObject::kInterfaces[] = {
    {&IID_IUnknown, [](ControlObject* o) -> IUnknown* { return static_cast<IDispatch*>(o); }},
    {&IID_IDispatch, [](ControlObject* o) -> IUnknown* { return static_cast<IDispatch*>(o); }},
    {&kDispatchIid, [](ControlObject* o) -> IUnknown* { return static_cast<IDispatch*>(o); }},
    {&IID_IPersist, [](ControlObject* o) -> IUnknown* { return static_cast<IPersistStreamInit*>(o); }},
    {&IID_IPersistStreamInit, [](ControlObject* o) -> IUnknown* { return static_cast<IPersistStreamInit*>(o); }},
    {&IID_IPersistPropertyBag, [](ControlObject* o) -> IUnknown* { return static_cast<IPersistPropertyBag*>(o); }},
    {&IID_IProvideClassInfo, [](ControlObject* o) -> IUnknown* { return static_cast<IProvideClassInfo*>(o); }},
    // Embedding. IOleWindow stands for the in-place object.
    {&IID_IProvideClassInfo2, [](ControlObject* o) -> IUnknown* { return static_cast<IProvideClassInfo2*>(o); }},
    {&IID_IPersistStorage, [](ControlObject* o) -> IUnknown* { return static_cast<IPersistStorage*>(o); }},
    {&IID_IOleObject, [](ControlObject* o) -> IUnknown* { return static_cast<IOleObject*>(o); }},
    {&IID_IOleControl, [](ControlObject* o) -> IUnknown* { return static_cast<IOleControl*>(o); }},
    {&IID_IOleWindow, [](ControlObject* o) -> IUnknown* { return static_cast<IOleInPlaceObjectWindowless*>(o); }},
    {&IID_IOleInPlaceObject, [](ControlObject* o) -> IUnknown* { return static_cast<IOleInPlaceObjectWindowless*>(o); }},
    {&IID_IOleInPlaceObjectWindowless,
     [](ControlObject* o) -> IUnknown* { return static_cast<IOleInPlaceObjectWindowless*>(o); }},
    {&IID_IOleInPlaceActiveObject, [](ControlObject* o) -> IUnknown* { return static_cast<IOleInPlaceActiveObject*>(o); }},
    {&IID_IViewObject, [](ControlObject* o) -> IUnknown* { return static_cast<IViewObjectEx*>(o); }},
    {&IID_IViewObject2, [](ControlObject* o) -> IUnknown* { return static_cast<IViewObjectEx*>(o); }},
    {&IID_IViewObjectEx, [](ControlObject* o) -> IUnknown* { return static_cast<IViewObjectEx*>(o); }},
    {&IID_IConnectionPointContainer,
     [](ControlObject* o) -> IUnknown* { return static_cast<IConnectionPointContainer*>(o); }},
    {&IID_ISpecifyPropertyPages, [](ControlObject* o) -> IUnknown* { return static_cast<ISpecifyPropertyPages*>(o); }},
    {&IID_IQuickActivate, [](ControlObject* o) -> IUnknown* { return static_cast<IQuickActivate*>(o); }},
};

HRESULT ControlObject::Create(REFIID riid, void** ppv) {
  // Building the facade binds the token modules; only memory can fail here.
  auto* object = new ControlObject();
  HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

ControlObject::ControlObject() : events_(*Identity(), kEventsIid) { ResetState(); }

ControlObject::~ControlObject() {
  // A host called while letting go may AddRef and Release the control again:
  // that must not delete it a second time.
  refs_ = 1;
  ReleaseEmbedding();
}

STDMETHODIMP ControlObject::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  for (const InterfaceEntry& e : kInterfaces) {
    if (IsEqualIID(riid, *e.iid)) {
      IUnknown* p = e.get(this);
      p->AddRef();
      *ppv = p;
      return S_OK;
    }
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ControlObject::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) ControlObject::Release() {
  ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

void ControlObject::ResetState() {
  state_ = PersistedState::Defaults();
  dirty_ = false;
}

}  // namespace kelo::com
