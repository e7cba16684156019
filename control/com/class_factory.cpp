#include "control/com/class_factory.h"

#include <array>

#include "control/com/com_ids.h"
#include "control/com/com_util.h"
#include "control/com/control_object.h"
#include "control/com/module.h"
#include "control/com/prop_page.h"
#include "control/com/registration.h"

namespace kelo::com {
namespace {

ClassFactory g_controlFactory(kControlClsid, kControlProgId, &ControlObject::Create, &UpdateControlRegistry);
ClassFactory g_pageFactory(kPageClsid, kPageProgId, &PropertyPage::Create, &UpdatePageRegistry);
const std::array<ClassFactory*, 2> g_factories = {&g_controlFactory, &g_pageFactory};

}  // namespace

std::span<ClassFactory* const> ClassFactories() { return g_factories; }

STDMETHODIMP ClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef() {
  ClassObjectAddRef();
  return 2;  // static object: the number means nothing to callers
}

STDMETHODIMP_(ULONG) ClassFactory::Release() {
  ClassObjectRelease();
  return 1;
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return Guarded([&] { return create_(riid, ppv); });
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
  if (lock) {
    LockModule();
  } else {
    UnlockModule();
  }
  return S_OK;
}

}  // namespace kelo::com
