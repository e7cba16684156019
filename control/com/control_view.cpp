// Drawing and the view: the control shows bitmap 202 as a 30 x 30 pixel
// picture and asks its host for that size whenever it is given another.
#include "control/com/com_util.h"
#include "control/com/control_object.h"
#include "control/com/resource.h"

namespace kelo::com {
namespace {

constexpr int kPicturePixels = PersistedState::kDefaultPixels;
constexpr int kHimetricPerInch = 2540;

class MemoryDc {
 public:
  explicit MemoryDc(HDC compatibleWith) : dc_(CreateCompatibleDC(compatibleWith)) {}
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;
  ~MemoryDc() {
    if (dc_) DeleteDC(dc_);
  }
  HDC get() const { return dc_; }

 private:
  HDC dc_;
};

class GdiBitmap {
 public:
  explicit GdiBitmap(HBITMAP bitmap) : bitmap_(bitmap) {}
  GdiBitmap(const GdiBitmap&) = delete;
  GdiBitmap& operator=(const GdiBitmap&) = delete;
  ~GdiBitmap() {
    if (bitmap_) DeleteObject(bitmap_);
  }
  HBITMAP get() const { return bitmap_; }

 private:
  HBITMAP bitmap_;
};

// Selects an object into a device context and puts the previous one back.
class Selection {
 public:
  Selection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;
  ~Selection() {
    if (previous_ && previous_ != HGDI_ERROR) SelectObject(dc_, previous_);
  }
  bool ok() const { return previous_ && previous_ != HGDI_ERROR; }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// Pixels to HIMETRIC at the screen's resolution.
SIZEL ScreenPixelsToHimetric(int cx, int cy) {
  int dpiX = 0, dpiY = 0;
  if (HDC screen = GetDC(nullptr)) {
    dpiX = GetDeviceCaps(screen, LOGPIXELSX);
    dpiY = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  if (dpiX <= 0) dpiX = 96;
  if (dpiY <= 0) dpiY = 96;
  return SIZEL{MulDiv(cx, kHimetricPerInch, dpiX), MulDiv(cy, kHimetricPerInch, dpiY)};
}

}  // namespace

void ControlObject::DrawPicture(HDC dc, const RECT& bounds) {
  MemoryDc memory(dc);
  if (!memory.get()) return;
  GdiBitmap bitmap(LoadBitmapW(ModuleInstance(), MAKEINTRESOURCEW(IDB_KELOCAACTIVEX)));
  if (!bitmap.get()) return;
  Selection selected(memory.get(), bitmap.get());
  BITMAP info{};
  if (!selected.ok() || GetObjectW(bitmap.get(), sizeof info, &info) == 0) return;

  const LONG width = bounds.right - bounds.left;
  const LONG height = bounds.bottom - bounds.top;
  if (height != kPicturePixels || width != height) RequestPictureSize();

  // At the device context's origin, whatever the bounds' own corner.
  StretchBlt(dc, 0, 0, kPicturePixels, kPicturePixels, memory.get(), 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
}

void ControlObject::RequestPictureSize() {
  // Whether the host grants the size is its own affair: failures are ignored.
  SIZEL size = ScreenPixelsToHimetric(kPicturePixels, kPicturePixels);
  SetExtent(DVASPECT_CONTENT, &size);
  if (embedding_.inPlaceActive && embedding_.inPlaceSite) {
    RECT wanted = embedding_.posRect;
    wanted.right = wanted.left + kPicturePixels;
    wanted.bottom = wanted.top + kPicturePixels;
    ComPtr<IOleInPlaceSite> site;
    site.retain(embedding_.inPlaceSite.get());
    site->OnPosRectChange(&wanted);
  } else if (embedding_.clientSite) {
    ComPtr<IOleClientSite> site;
    site.retain(embedding_.clientSite.get());
    site->RequestNewObjectLayout();
  }
}

STDMETHODIMP ControlObject::Draw(DWORD aspect, LONG index, void*, DVTARGETDEVICE*, HDC, HDC dc, LPCRECTL bounds,
                                 LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (index != -1) return DV_E_LINDEX;
  if (!dc) return E_INVALIDARG;
  RECT r{};
  if (bounds) {
    r = RECT{bounds->left, bounds->top, bounds->right, bounds->bottom};
  } else if (embedding_.inPlaceActive && embedding_.windowlessSite) {
    r = embedding_.posRect;  // a windowless control is drawn at its own place
  } else {
    return E_INVALIDARG;
  }
  ComPtr<IUnknown> self;  // a size request may make the host let go
  self.retain(Identity());
  DrawPicture(dc, r);
  return S_OK;
}

STDMETHODIMP ControlObject::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors) {
  if (!colors) return E_POINTER;
  *colors = nullptr;
  return S_FALSE;  // no palette of its own
}

STDMETHODIMP ControlObject::Freeze(DWORD, LONG, void*, DWORD* freeze) {
  if (!freeze) return E_POINTER;
  *freeze = 0;
  return E_NOTIMPL;
}

STDMETHODIMP ControlObject::Unfreeze(DWORD) { return E_NOTIMPL; }

STDMETHODIMP ControlObject::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
  embedding_.viewSink.retain(sink);
  embedding_.viewAspects = sink ? aspects : 0;
  embedding_.viewFlags = sink ? flags : 0;
  if (sink && (flags & ADVF_PRIMEFIRST) && (aspects & DVASPECT_CONTENT)) sink->OnViewChange(DVASPECT_CONTENT, -1);
  return S_OK;
}

STDMETHODIMP ControlObject::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
  if (aspects) *aspects = embedding_.viewAspects;
  if (flags) *flags = embedding_.viewFlags;
  if (sink) {
    *sink = embedding_.viewSink.get();
    if (*sink) (*sink)->AddRef();
  }
  return S_OK;
}

STDMETHODIMP ControlObject::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
  return GetExtent(aspect, size);
}

STDMETHODIMP ControlObject::GetRect(DWORD aspect, LPRECTL rect) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!rect) return E_POINTER;
  *rect = RECTL{0, 0, state_.extentX, state_.extentY};
  return S_OK;
}

STDMETHODIMP ControlObject::GetViewStatus(DWORD* status) {
  if (!status) return E_POINTER;
  // The picture covers only its square at the origin, not the bounds: the
  // host paints what lies behind.
  *status = 0;
  return S_OK;
}

STDMETHODIMP ControlObject::QueryHitPoint(DWORD aspect, LPCRECT bounds, POINT location, LONG, DWORD* hit) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!bounds || !hit) return E_POINTER;
  *hit = PtInRect(bounds, location) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
  return S_OK;
}

STDMETHODIMP ControlObject::QueryHitRect(DWORD aspect, LPCRECT bounds, LPCRECT location, LONG, DWORD* hit) {
  if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
  if (!bounds || !location || !hit) return E_POINTER;
  RECT common{};
  *hit = IntersectRect(&common, bounds, location) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
  return S_OK;
}

STDMETHODIMP ControlObject::GetNaturalExtent(DWORD, LONG, DVTARGETDEVICE*, HDC, DVEXTENTINFO*, LPSIZEL) {
  return E_NOTIMPL;  // the extent is the host's to set
}

}  // namespace kelo::com
