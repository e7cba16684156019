// A container of the tests' own that plays a page host's part towards the
// control: client site, in-place site (windowless or not), frame, ambient
// properties, advise sinks, a property bag, event sinks and a property-page
// site. Every object counts its references but is owned by the test, so a
// test can see what the control still holds (refs() back to 1 means the
// control let go) without the control being able to free it.
#ifndef KELO_TESTS_COM_TEST_CONTAINER_H
#define KELO_TESTS_COM_TEST_CONTAINER_H

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <oleidl.h>

#include <map>
#include <string>
#include <vector>

#include "control/com/com_ids.h"

namespace kelo::comtest {

// Reference counting without ownership.
class Counted {
 public:
  ULONG refs() const { return refs_; }

 protected:
  ULONG Add() { return ++refs_; }
  ULONG Drop() { return --refs_; }
  // Answers riid with p (AddRef'd) or E_NOINTERFACE.
  HRESULT Answer(IUnknown* p, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = p;
    if (!p) return E_NOINTERFACE;
    p->AddRef();
    return S_OK;
  }

 private:
  ULONG refs_ = 1;  // the test's own
};

// The container's frame window object; records what the control asks of it.
class TestFrame final : public IOleInPlaceFrame, public Counted {
 public:
  explicit TestFrame(HWND window) : window_(window) {}

  int activeObjectsSet = 0;    // SetActiveObject with an object
  int activeObjectsCleared = 0;
  std::vector<BOOL> modeless;  // EnableModeless arguments in order

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return Add(); }
  STDMETHODIMP_(ULONG) Release() override { return Drop(); }
  STDMETHODIMP GetWindow(HWND* w) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
  STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
  STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* object, LPCOLESTR) override;
  STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
  STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
  STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
  STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
  STDMETHODIMP EnableModeless(BOOL enable) override;
  STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

 private:
  HWND window_;
};

// What a site offers and answers.
struct SiteOptions {
  bool windowless = true;        // IOleInPlaceSiteWindowless (and Ex)
  bool userMode = true;          // ambient UserMode
  bool showsOwnFrame = false;    // IOleControlSite::ShowPropertyFrame succeeds
};

// Client site, in-place site, control site, ambient properties and advise
// sink in one object, as page hosts commonly make them.
class TestSite final : public IOleClientSite,
                       public IOleInPlaceSiteWindowless,
                       public IOleControlSite,
                       public IDispatch,
                       public IAdviseSink,
                       public Counted {
 public:
  TestSite(HWND window, TestFrame& frame, SiteOptions what) : options(what), window_(window), frame_(frame) {}

  SiteOptions options;
  RECT pos{10, 10, 110, 50};

  // What the control did to the site.
  std::vector<RECT> posRectRequests;  // OnPosRectChange
  int layoutRequests = 0;             // RequestNewObjectLayout
  int activations = 0;                // OnInPlaceActivate(Ex)
  DWORD activationFlags = 0;          // of the last OnInPlaceActivateEx
  int deactivations = 0;              // OnInPlaceDeactivate(Ex)
  int uiActivations = 0;
  int uiDeactivations = 0;
  int saves = 0;                      // SaveObject
  int closes = 0;                     // IAdviseSink::OnClose
  int viewChanges = 0;                // IAdviseSink::OnViewChange
  int ownFramesShown = 0;             // IOleControlSite::ShowPropertyFrame

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return Add(); }
  STDMETHODIMP_(ULONG) Release() override { return Drop(); }
  // IOleClientSite
  STDMETHODIMP SaveObject() override;
  STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** m) override;
  STDMETHODIMP GetContainer(IOleContainer** c) override;
  STDMETHODIMP ShowObject() override { return S_OK; }
  STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
  STDMETHODIMP RequestNewObjectLayout() override;
  // IOleWindow
  STDMETHODIMP GetWindow(HWND* w) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  // IOleInPlaceSite
  STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
  STDMETHODIMP OnInPlaceActivate() override;
  STDMETHODIMP OnUIActivate() override;
  STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT posRect, LPRECT clip,
                                LPOLEINPLACEFRAMEINFO info) override;
  STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
  STDMETHODIMP OnUIDeactivate(BOOL) override;
  STDMETHODIMP OnInPlaceDeactivate() override;
  STDMETHODIMP DiscardUndoState() override { return S_OK; }
  STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
  STDMETHODIMP OnPosRectChange(LPCRECT r) override;
  // IOleInPlaceSiteEx
  STDMETHODIMP OnInPlaceActivateEx(BOOL* noRedraw, DWORD flags) override;
  STDMETHODIMP OnInPlaceDeactivateEx(BOOL) override;
  STDMETHODIMP RequestUIActivate() override { return S_OK; }
  // IOleInPlaceSiteWindowless
  STDMETHODIMP CanWindowlessActivate() override { return options.windowless ? S_OK : S_FALSE; }
  STDMETHODIMP GetCapture() override { return S_FALSE; }
  STDMETHODIMP SetCapture(BOOL) override { return S_OK; }
  STDMETHODIMP GetFocus() override { return S_FALSE; }
  STDMETHODIMP SetFocus(BOOL) override { return S_OK; }
  STDMETHODIMP GetDC(LPCRECT, DWORD, HDC*) override { return E_NOTIMPL; }
  STDMETHODIMP ReleaseDC(HDC) override { return E_NOTIMPL; }
  STDMETHODIMP InvalidateRect(LPCRECT, BOOL) override { return S_OK; }
  STDMETHODIMP InvalidateRgn(HRGN, BOOL) override { return S_OK; }
  STDMETHODIMP ScrollRect(INT, INT, LPCRECT, LPCRECT) override { return E_NOTIMPL; }
  STDMETHODIMP AdjustRect(LPRECT) override { return S_OK; }
  STDMETHODIMP OnDefWindowMessage(UINT, WPARAM, LPARAM, LRESULT* r) override;
  // IOleControlSite
  STDMETHODIMP OnControlInfoChanged() override { return S_OK; }
  STDMETHODIMP LockInPlaceActive(BOOL) override { return S_OK; }
  STDMETHODIMP GetExtendedControl(IDispatch** d) override;
  STDMETHODIMP TransformCoords(POINTL*, POINTF*, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP TranslateAccelerator(MSG*, DWORD) override { return S_FALSE; }
  STDMETHODIMP OnFocus(BOOL) override { return S_OK; }
  STDMETHODIMP ShowPropertyFrame() override;
  // IDispatch: the ambient properties
  STDMETHODIMP GetTypeInfoCount(UINT* n) override;
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override;
  // IAdviseSink
  STDMETHODIMP_(void) OnDataChange(FORMATETC*, STGMEDIUM*) override {}
  STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override { ++viewChanges; }
  STDMETHODIMP_(void) OnRename(IMoniker*) override {}
  STDMETHODIMP_(void) OnSave() override {}
  STDMETHODIMP_(void) OnClose() override { ++closes; }

 private:
  HWND window_;
  TestFrame& frame_;
};

// A property bag over a map, as a host keeps one for a page's <param>s.
class TestBag final : public IPropertyBag, public Counted {
 public:
  TestBag() = default;
  TestBag(const TestBag&) = delete;
  TestBag& operator=(const TestBag&) = delete;
  ~TestBag();

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return Add(); }
  STDMETHODIMP_(ULONG) Release() override { return Drop(); }
  STDMETHODIMP Read(LPCOLESTR name, VARIANT* out, IErrorLog*) override;
  STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override;

  // Entries as 32-bit integers (-1 for any entry of another type).
  std::map<std::wstring, LONG> Longs() const;

 private:
  std::map<std::wstring, VARIANT> entries_;
};

// An event sink for the control's event interface. acceptsEvents false makes
// it an object that is no sink at all.
class TestEventSink final : public IDispatch, public Counted {
 public:
  explicit TestEventSink(bool acceptsEvents) : accepts_(acceptsEvents) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return Add(); }
  STDMETHODIMP_(ULONG) Release() override { return Drop(); }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override;
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return S_OK;
  }

 private:
  bool accepts_;
};

// The frame side of a property page.
class TestPageSite final : public IPropertyPageSite, public Counted {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return Add(); }
  STDMETHODIMP_(ULONG) Release() override { return Drop(); }
  STDMETHODIMP OnStatusChange(DWORD) override { return S_OK; }
  STDMETHODIMP GetLocaleID(LCID* lcid) override;
  STDMETHODIMP GetPageContainer(IUnknown** out) override;
  STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }
};

}  // namespace kelo::comtest

#endif
