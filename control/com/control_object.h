// The control as a COM object: the automation facade behind IDispatch, and
// its persisted state.
//
// The class is split by concern across sibling files: control_object.cpp
// (identity, lifetime, the interface table), control_dispatch.cpp (IDispatch),
// control_persist.cpp (persistence and class information). The embedding
// interfaces (IOleObject, IOleControl, in-place activation, drawing,
// connection points, property pages, quick activation) join the same way: a
// base class here, an entry in the interface table, and their methods in
// their own .cpp files; nothing else changes.
#ifndef KELO_CONTROL_COM_CONTROL_OBJECT_H
#define KELO_CONTROL_COM_CONTROL_OBJECT_H

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <cstdint>

#include "control/com/connection_point.h"
#include "control/com/embedding_state.h"
#include "control/com/module.h"
#include "control/kelo_ctrl.h"

namespace kelo::com {

// Miscellaneous status of the control, registered in decimal under
// MiscStatus\1 and reported by IOleObject::GetMiscStatus.
inline constexpr DWORD kControlMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INVISIBLEATRUNTIME |
                                            OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT |
                                            OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
static_assert(kControlMiscStatus == 0x20591);

// The persisted state. What persistence writes is the entries "_Version"
// (kVersion), "_ExtentX", "_ExtentY" and "_StockProps" (0: no stock property
// is in use), nothing else; only the extent varies.
struct PersistedState {
  static constexpr std::uint32_t kVersion = 0x00010000;  // 1.0
  static constexpr std::int32_t kStockProps = 0;
  // The control shows itself as a 30 x 30 pixel picture.
  static constexpr int kDefaultPixels = 30;

  std::int32_t extentX = 0;  // HIMETRIC
  std::int32_t extentY = 0;

  static PersistedState Defaults();

  // The stream form: version, extent x, extent y, stock-property mask, each
  // a little-endian 32-bit value.
  static constexpr std::size_t kStreamSize = 16;
  void Encode(std::uint8_t (&out)[kStreamSize]) const;
  // False when the bytes hold no state this version can take: a layout of a
  // newer major version, or an extent that is not positive. State saved by
  // an older version of the same layout loads.
  bool Decode(const std::uint8_t (&in)[kStreamSize]);
};

// HIMETRIC units of a length in pixels at 96 dots per inch.
std::int32_t PixelsToHimetric(int pixels);

class ControlObject final : public IDispatch,
                            public IPersistStreamInit,
                            public IPersistPropertyBag,
                            public IProvideClassInfo2,
                            public IOleObject,
                            public IOleControl,
                            public IOleInPlaceObjectWindowless,
                            public IOleInPlaceActiveObject,
                            public IViewObjectEx,
                            public IConnectionPointContainer,
                            public ISpecifyPropertyPages,
                            public IQuickActivate,
                            public IPersistStorage {
 public:
  // The class factory's creator.
  static HRESULT Create(REFIID riid, void** ppv);

  ControlObject(const ControlObject&) = delete;
  ControlObject& operator=(const ControlObject&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IDispatch (control_dispatch.cpp): refused with E_UNEXPECTED until the
  // host has initialised the state (InitNew or Load).
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr) override;

  // IPersist, IPersistStreamInit, IPersistPropertyBag (control_persist.cpp)
  STDMETHODIMP GetClassID(CLSID* clsid) override;
  STDMETHODIMP IsDirty() override;
  STDMETHODIMP Load(IStream* stream) override;
  STDMETHODIMP Save(IStream* stream, BOOL clearDirty) override;
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
  STDMETHODIMP InitNew() override;
  STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
  STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

  // IProvideClassInfo (control_persist.cpp)
  STDMETHODIMP GetClassInfo(ITypeInfo** info) override;

  // IPersistStorage (control_storage.cpp): the stream form in a "Contents"
  // stream. IsDirty and GetClassID are shared with the stream persistence.
  STDMETHODIMP InitNew(IStorage* storage) override;
  STDMETHODIMP Load(IStorage* storage) override;
  STDMETHODIMP Save(IStorage* storage, BOOL sameAsLoad) override;
  STDMETHODIMP SaveCompleted(IStorage* storage) override;
  STDMETHODIMP HandsOffStorage() override;

  // IOleObject, IOleControl (control_ole_object.cpp)
  STDMETHODIMP SetClientSite(IOleClientSite* site) override;
  STDMETHODIMP GetClientSite(IOleClientSite** site) override;
  STDMETHODIMP SetHostNames(LPCOLESTR app, LPCOLESTR object) override;
  STDMETHODIMP Close(DWORD saveOption) override;
  STDMETHODIMP SetMoniker(DWORD which, IMoniker* moniker) override;
  STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
  STDMETHODIMP InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
  STDMETHODIMP GetClipboardData(DWORD reserved, IDataObject** data) override;
  STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* activeSite, LONG index, HWND parent,
                      LPCRECT posRect) override;
  STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
  STDMETHODIMP Update() override;
  STDMETHODIMP IsUpToDate() override;
  STDMETHODIMP GetUserClassID(CLSID* clsid) override;
  STDMETHODIMP GetUserType(DWORD form, LPOLESTR* name) override;
  STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
  STDMETHODIMP Advise(IAdviseSink* sink, DWORD* connection) override;
  STDMETHODIMP Unadvise(DWORD connection) override;
  STDMETHODIMP EnumAdvise(IEnumSTATDATA** advise) override;
  STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
  STDMETHODIMP SetColorScheme(LOGPALETTE* palette) override;
  STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
  STDMETHODIMP OnMnemonic(MSG* msg) override;
  STDMETHODIMP OnAmbientPropertyChange(DISPID id) override;
  STDMETHODIMP FreezeEvents(BOOL freeze) override;

  // IOleWindow, IOleInPlaceObject(Windowless), IOleInPlaceActiveObject
  // (control_inplace.cpp)
  STDMETHODIMP GetWindow(HWND* window) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL enter) override;
  STDMETHODIMP InPlaceDeactivate() override;
  STDMETHODIMP UIDeactivate() override;
  STDMETHODIMP SetObjectRects(LPCRECT pos, LPCRECT clip) override;
  STDMETHODIMP ReactivateAndUndo() override;
  STDMETHODIMP OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
  STDMETHODIMP GetDropTarget(IDropTarget** target) override;
  STDMETHODIMP TranslateAccelerator(LPMSG msg) override;
  STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
  STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
  STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window, BOOL frameWindow) override;
  STDMETHODIMP EnableModeless(BOOL enable) override;

  // IViewObject, IViewObject2, IViewObjectEx (control_view.cpp)
  STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device, HDC targetDc, HDC dc,
                    LPCRECTL bounds, LPCRECTL metafileBounds, BOOL(STDMETHODCALLTYPE* carryOn)(ULONG_PTR),
                    ULONG_PTR carryOnArg) override;
  STDMETHODIMP GetColorSet(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device, HDC targetDc,
                           LOGPALETTE** colors) override;
  STDMETHODIMP Freeze(DWORD aspect, LONG index, void* aspectInfo, DWORD* freeze) override;
  STDMETHODIMP Unfreeze(DWORD freeze) override;
  STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
  STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
  STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, LPSIZEL size) override;
  STDMETHODIMP GetRect(DWORD aspect, LPRECTL rect) override;
  STDMETHODIMP GetViewStatus(DWORD* status) override;
  STDMETHODIMP QueryHitPoint(DWORD aspect, LPCRECT bounds, POINT location, LONG closeHint, DWORD* hit) override;
  STDMETHODIMP QueryHitRect(DWORD aspect, LPCRECT bounds, LPCRECT location, LONG closeHint, DWORD* hit) override;
  STDMETHODIMP GetNaturalExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, HDC targetDc,
                                DVEXTENTINFO* info, LPSIZEL size) override;

  // IProvideClassInfo2, IConnectionPointContainer, ISpecifyPropertyPages,
  // IQuickActivate (control_connect.cpp)
  STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;
  STDMETHODIMP GetPages(CAUUID* pages) override;
  STDMETHODIMP QuickActivate(QACONTAINER* container, QACONTROL* control) override;
  STDMETHODIMP SetContentExtent(LPSIZEL size) override;
  STDMETHODIMP GetContentExtent(LPSIZEL size) override;

  const PersistedState& State() const { return state_; }

 private:
  ControlObject();
  ~ControlObject();

  struct InterfaceEntry {
    const IID* iid;
    IUnknown* (*get)(ControlObject*);
  };
  static const InterfaceEntry kInterfaces[];

  // Back to the defaults, as a fresh initialisation or a failed load leaves it.
  void ResetState();

  // Embedding helpers (control_ole_object.cpp, control_inplace.cpp,
  // control_view.cpp).
  IUnknown* Identity() { return static_cast<IDispatch*>(this); }
  // Drops every site, sink and connection: Close and the destructor.
  void ReleaseEmbedding();
  HRESULT ActivateInPlace(bool uiActivate, IOleClientSite* activeSite, HWND parent, LPCRECT posRect);
  HRESULT ShowPropertyFrame(HWND parent);
  // The host's ambient UserMode; run mode when the site does not say.
  bool HostInUserMode();
  // Shows the child window in design mode only: at run time the control is
  // invisible.
  void UpdateWindowVisibility();
  static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);
  // The picture at the device context's origin; asks for the picture's size
  // when bounds are not 30 x 30 pixels.
  void DrawPicture(HDC dc, const RECT& bounds);
  void RequestPictureSize();

  ModuleObjectCount counted_;  // first: counts even if the facade throws
  std::atomic<ULONG> refs_{1};
  // The facade builds the token registry, then the store layer, and tears
  // them down in reverse.
  CKeloCAActiveXCtrl facade_;
  bool initialised_ = false;
  bool dirty_ = false;
  PersistedState state_;
  EmbeddingState embedding_;
  EventConnectionPoint events_;  // last: its sinks go first
};

}  // namespace kelo::com

#endif
