// The module's class objects: one per creatable class, each knowing how to
// make an instance and how to write or remove its registry entries.
#ifndef KELO_CONTROL_COM_CLASS_FACTORY_H
#define KELO_CONTROL_COM_CLASS_FACTORY_H

#include <windows.h>
#include <unknwn.h>

#include <span>

namespace kelo::com {

class ClassFactory final : public IClassFactory {
 public:
  // Makes a new object and hands out riid on it (the object's own count
  // then belongs to the caller).
  using Creator = HRESULT (*)(REFIID riid, void** ppv);
  // Writes (true) or removes (false) the class's registry entries; S_OK or
  // the first failure.
  using Registrar = HRESULT (*)(bool install);

  ClassFactory(const CLSID& clsid, const wchar_t* progId, Creator create, Registrar registrar)
      : clsid_(clsid), progId_(progId), create_(create), registrar_(registrar) {}

  const CLSID& Clsid() const { return clsid_; }
  const wchar_t* ProgId() const { return progId_; }
  HRESULT UpdateRegistry(bool install) const { return registrar_(install); }

  // IUnknown: the class objects are static; their references count toward
  // DllCanUnloadNow.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IClassFactory
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  STDMETHODIMP LockServer(BOOL lock) override;

 private:
  const CLSID& clsid_;
  const wchar_t* progId_;
  Creator create_;
  Registrar registrar_;
};

// Every class object of the module: the control's, then the property page's.
std::span<ClassFactory* const> ClassFactories();

}  // namespace kelo::com

#endif
