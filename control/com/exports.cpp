// The module's entry point and its four exports (named in kelo_ca.def).
#include <windows.h>
#include <objbase.h>
#include <olectl.h>

#include "control/com/class_factory.h"
#include "control/com/com_util.h"
#include "control/com/module.h"
#include "control/com/registration.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    kelo::com::SetModuleInstance(instance);
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (kelo::com::ClassFactory* factory : kelo::com::ClassFactories()) {
    if (IsEqualCLSID(clsid, factory->Clsid())) return factory->QueryInterface(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return kelo::com::ModuleCanUnload() ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return kelo::com::Guarded([] { return kelo::com::RegisterServer(); }); }

STDAPI DllUnregisterServer() { return kelo::com::Guarded([] { return kelo::com::UnregisterServer(); }); }
