// The control's property page: dialog 200 with caption string 200 and no
// fields of its own, so there is never anything to apply.
#ifndef KELO_CONTROL_COM_PROP_PAGE_H
#define KELO_CONTROL_COM_PROP_PAGE_H

#include <windows.h>
#include <ocidl.h>

#include <atomic>
#include <vector>

#include "control/com/com_util.h"
#include "control/com/module.h"

namespace kelo::com {

class PropertyPage final : public IPropertyPage {
 public:
  // The class factory's creator.
  static HRESULT Create(REFIID riid, void** ppv);

  PropertyPage(const PropertyPage&) = delete;
  PropertyPage& operator=(const PropertyPage&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IPropertyPage
  STDMETHODIMP SetPageSite(IPropertyPageSite* site) override;
  STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL modal) override;
  STDMETHODIMP Deactivate() override;
  STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override;
  STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override;
  STDMETHODIMP Show(UINT cmd) override;
  STDMETHODIMP Move(LPCRECT rect) override;
  STDMETHODIMP IsPageDirty() override;
  STDMETHODIMP Apply() override;
  STDMETHODIMP Help(LPCOLESTR helpDir) override;
  STDMETHODIMP TranslateAccelerator(MSG* msg) override;

 private:
  PropertyPage() = default;
  ~PropertyPage();

  ModuleObjectCount counted_;
  std::atomic<ULONG> refs_{1};
  ComPtr<IPropertyPageSite> site_;
  std::vector<ComPtr<IUnknown>> objects_;
  HWND dialog_ = nullptr;
};

}  // namespace kelo::com

#endif
