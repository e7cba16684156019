// In-place activation of the control. A host that offers windowless
// activation gets a windowless control; any other in-place host gets a
// child window of its own, which shows only in design mode because the
// control is invisible at run time.
#include <string>

#include "control/com/com_util.h"
#include "control/com/control_object.h"
#include "control/com/resource.h"

namespace kelo::com {
namespace {

constexpr wchar_t kWindowClass[] = L"KeloCAActiveXControlWindow";

// The class belongs to this module: registered when a window is made, and
// unregistered again once no window of it is left, so a module that is
// unloaded leaves no class with a dangling window procedure behind.
bool RegisterWindowClass(WNDPROC proc) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = ModuleInstance();
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.lpszClassName = kWindowClass;
  return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

void DestroyControlWindow(OwnedWindow& window) {
  if (!window.get()) return;
  window.reset();
  UnregisterClassW(kWindowClass, ModuleInstance());  // fails while other controls keep windows: fine
}

}  // namespace

HRESULT ControlObject::ActivateInPlace(bool uiActivate, IOleClientSite* activeSite, HWND parent, LPCRECT posRect) {
  IOleClientSite* site = activeSite ? activeSite : embedding_.clientSite.get();
  if (!site) return E_UNEXPECTED;
  ComPtr<IUnknown> self;
  self.retain(Identity());

  if (!embedding_.inPlaceActive) {
    ComPtr<IOleInPlaceSite> inPlace;
    if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, inPlace.put_void()))) return E_NOINTERFACE;
    if (inPlace->CanInPlaceActivate() != S_OK) return E_FAIL;

    ComPtr<IOleInPlaceSiteWindowless> windowless;
    ComPtr<IOleInPlaceSiteEx> extended;
    bool noWindow = false;
    BOOL noRedraw = FALSE;
    HRESULT hr;
    if (SUCCEEDED(inPlace->QueryInterface(IID_IOleInPlaceSiteWindowless, windowless.put_void())) &&
        windowless->CanWindowlessActivate() == S_OK) {
      noWindow = true;
      hr = windowless->OnInPlaceActivateEx(&noRedraw, ACTIVATE_WINDOWLESS);
      embedding_.usedSiteEx = true;
    } else if (SUCCEEDED(inPlace->QueryInterface(IID_IOleInPlaceSiteEx, extended.put_void()))) {
      hr = extended->OnInPlaceActivateEx(&noRedraw, 0);
      embedding_.usedSiteEx = true;
    } else {
      hr = inPlace->OnInPlaceActivate();
      embedding_.usedSiteEx = false;
    }
    if (FAILED(hr)) return hr;

    // From here on the site counts the control active: a failure must
    // deactivate it again.
    embedding_.inPlaceActive = true;
    embedding_.inPlaceSite = std::move(inPlace);
    if (noWindow) embedding_.windowlessSite = std::move(windowless);

    RECT pos{}, clip{};
    OLEINPLACEFRAMEINFO frameInfo{};
    frameInfo.cb = sizeof frameInfo;
    hr = embedding_.inPlaceSite->GetWindowContext(embedding_.frame.put(), embedding_.document.put(), &pos, &clip,
                                                  &frameInfo);
    if (FAILED(hr)) {
      InPlaceDeactivate();
      return hr;
    }
    embedding_.posRect = posRect ? *posRect : pos;
    HWND siteWindow = nullptr;
    if (FAILED(embedding_.inPlaceSite->GetWindow(&siteWindow))) siteWindow = nullptr;
    embedding_.containerWindow = siteWindow ? siteWindow : parent;

    if (!noWindow) {
      const RECT& r = embedding_.posRect;
      HWND window = nullptr;
      if (embedding_.containerWindow && RegisterWindowClass(&ControlObject::WindowProc)) {
        window = CreateWindowExW(0, kWindowClass, L"", WS_CHILD | WS_CLIPSIBLINGS, r.left, r.top, r.right - r.left,
                                 r.bottom - r.top, embedding_.containerWindow, nullptr, ModuleInstance(), this);
      }
      if (!window) {
        InPlaceDeactivate();
        return E_FAIL;
      }
      embedding_.window.reset(window);
      UpdateWindowVisibility();
    }
  }

  if (uiActivate && !embedding_.uiActive) {
    HRESULT hr = embedding_.inPlaceSite->OnUIActivate();
    if (FAILED(hr)) return hr;
    embedding_.uiActive = true;
    const std::wstring name = ResourceString(IDS_KELOCAACTIVEX);
    auto* active = static_cast<IOleInPlaceActiveObject*>(this);
    if (embedding_.frame) embedding_.frame->SetActiveObject(active, name.c_str());
    if (embedding_.document) embedding_.document->SetActiveObject(active, name.c_str());
  }
  return S_OK;
}

void ControlObject::UpdateWindowVisibility() {
  HWND window = embedding_.window.get();
  if (window) ShowWindow(window, HostInUserMode() ? SW_HIDE : SW_SHOWNA);
}

LRESULT CALLBACK ControlObject::WindowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<ControlObject*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (msg == WM_NCDESTROY) SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  if (self && msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    if (dc) {
      RECT client{};
      GetClientRect(window, &client);
      self->DrawPicture(dc, client);
    }
    EndPaint(window, &ps);
    return 0;
  }
  return DefWindowProcW(window, msg, wParam, lParam);
}

STDMETHODIMP ControlObject::GetWindow(HWND* window) {
  if (!window) return E_POINTER;
  *window = embedding_.window.get();
  // Windowless or not active: there is no window to give.
  return *window ? S_OK : E_FAIL;
}

STDMETHODIMP ControlObject::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

STDMETHODIMP ControlObject::InPlaceDeactivate() {
  if (!embedding_.inPlaceActive) return S_OK;
  UIDeactivate();
  DestroyControlWindow(embedding_.window);
  embedding_.inPlaceActive = false;
  ComPtr<IOleInPlaceSite> site = std::move(embedding_.inPlaceSite);
  ComPtr<IOleInPlaceSiteWindowless> windowless = std::move(embedding_.windowlessSite);
  ComPtr<IOleInPlaceFrame> frame = std::move(embedding_.frame);
  ComPtr<IOleInPlaceUIWindow> document = std::move(embedding_.document);
  embedding_.containerWindow = nullptr;
  ComPtr<IOleInPlaceSiteEx> extended;
  if (embedding_.usedSiteEx && SUCCEEDED(site->QueryInterface(IID_IOleInPlaceSiteEx, extended.put_void()))) {
    // The host redraws the area: in design mode it shows the inactive picture.
    extended->OnInPlaceDeactivateEx(FALSE);
  } else {
    site->OnInPlaceDeactivate();
  }
  return S_OK;
}

STDMETHODIMP ControlObject::UIDeactivate() {
  if (!embedding_.uiActive) return S_OK;
  embedding_.uiActive = false;
  if (embedding_.frame) embedding_.frame->SetActiveObject(nullptr, nullptr);
  if (embedding_.document) embedding_.document->SetActiveObject(nullptr, nullptr);
  if (embedding_.inPlaceSite) embedding_.inPlaceSite->OnUIDeactivate(FALSE);
  return S_OK;
}

STDMETHODIMP ControlObject::SetObjectRects(LPCRECT pos, LPCRECT) {
  if (!pos) return E_POINTER;
  embedding_.posRect = *pos;
  if (HWND window = embedding_.window.get())
    MoveWindow(window, pos->left, pos->top, pos->right - pos->left, pos->bottom - pos->top, TRUE);
  return S_OK;
}

STDMETHODIMP ControlObject::ReactivateAndUndo() { return INPLACE_E_NOTUNDOABLE; }

STDMETHODIMP ControlObject::OnWindowMessage(UINT, WPARAM, LPARAM, LRESULT* result) {
  // The control takes no input: the host handles every message itself.
  if (result) *result = 0;
  return S_FALSE;
}

STDMETHODIMP ControlObject::GetDropTarget(IDropTarget** target) {
  if (!target) return E_POINTER;
  *target = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP ControlObject::TranslateAccelerator(LPMSG) { return S_FALSE; }

STDMETHODIMP ControlObject::OnFrameWindowActivate(BOOL) { return S_OK; }

STDMETHODIMP ControlObject::OnDocWindowActivate(BOOL) { return S_OK; }

STDMETHODIMP ControlObject::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return S_OK; }

STDMETHODIMP ControlObject::EnableModeless(BOOL) { return S_OK; }

}  // namespace kelo::com
