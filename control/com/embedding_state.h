// What the control keeps of its host while it is embedded: the sites and
// sinks it was given, and its in-place activation.
#ifndef KELO_CONTROL_COM_EMBEDDING_STATE_H
#define KELO_CONTROL_COM_EMBEDDING_STATE_H

#include <windows.h>
#include <ocidl.h>
#include <oleidl.h>

#include <utility>

#include "control/com/com_util.h"

namespace kelo::com {

// A window the control owns.
class OwnedWindow {
 public:
  OwnedWindow() = default;
  OwnedWindow(const OwnedWindow&) = delete;
  OwnedWindow& operator=(const OwnedWindow&) = delete;
  ~OwnedWindow() { reset(); }
  HWND get() const { return h_; }
  void reset(HWND h = nullptr) {
    if (h_) DestroyWindow(std::exchange(h_, nullptr));
    h_ = h;
  }

 private:
  HWND h_ = nullptr;
};

struct EmbeddingState {
  ComPtr<IOleClientSite> clientSite;
  ComPtr<IOleAdviseHolder> adviseHolder;  // IOleObject::Advise sinks
  ComPtr<IAdviseSink> viewSink;           // IViewObject::SetAdvise
  DWORD viewAspects = 0;
  DWORD viewFlags = 0;

  // In-place activation. windowlessSite is set only when the control is
  // active without a window of its own.
  ComPtr<IOleInPlaceSite> inPlaceSite;
  ComPtr<IOleInPlaceSiteWindowless> windowlessSite;
  ComPtr<IOleInPlaceFrame> frame;
  ComPtr<IOleInPlaceUIWindow> document;
  bool inPlaceActive = false;
  bool uiActive = false;
  bool usedSiteEx = false;  // activated through IOleInPlaceSiteEx: deactivate the same way
  RECT posRect{};
  OwnedWindow window;  // the windowed form's child window
  HWND containerWindow = nullptr;

  ULONG eventsFrozen = 0;  // IOleControl::FreezeEvents nesting
};

}  // namespace kelo::com

#endif
