// The control embedded in a container of the tests' own (test_container.h),
// as a page host embeds it: sited, initialised, activated in place, drawn,
// saved, shown with its property page, closed and released; the token and
// store methods answer through the same object all along.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/com/com_test_util.h"
#include "tests/com/test_container.h"
#include "tests/mock_api.h"

namespace kelo::comtest {
namespace {

constexpr int kPicture = 30;  // the control's picture, in pixels
constexpr COLORREF kBackground = RGB(255, 0, 255);

template <typename T>
ComPtr<T> Query(IUnknown* from, REFIID iid) {
  ComPtr<T> out;
  if (from) from->QueryInterface(iid, out.put_void());
  return out;
}

bool SameObject(IUnknown* a, IUnknown* b) {
  ComPtr<IUnknown> ia = Query<IUnknown>(a, IID_IUnknown);
  ComPtr<IUnknown> ib = Query<IUnknown>(b, IID_IUnknown);
  return ia && ia.get() == ib.get();
}

std::wstring ModuleString(HMODULE module, UINT id) {
  wchar_t text[256] = {};
  LoadStringW(module, id, text, 256);
  return text;
}

// HIMETRIC of a length in pixels at the screen's resolution.
SIZEL ScreenHimetric(int cx, int cy) {
  HDC screen = GetDC(nullptr);
  const int dpiX = GetDeviceCaps(screen, LOGPIXELSX);
  const int dpiY = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return SIZEL{MulDiv(cx, 2540, dpiX), MulDiv(cy, 2540, dpiY)};
}

// The server module that serves an object, pinned while the test looks at it.
class Server {
 public:
  explicit Server(IUnknown* object) {
    HMODULE serving = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(*reinterpret_cast<void**>(object)), &serving);
    wchar_t path[MAX_PATH] = {};
    if (serving && GetModuleFileNameW(serving, path, MAX_PATH)) module_ = LoadLibraryW(path);
    if (module_) {
      canUnload_ = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
          reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
    }
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server() {
    if (module_) FreeLibrary(module_);
  }
  HMODULE module() const { return module_; }
  HRESULT CanUnloadNow() const { return canUnload_ ? canUnload_() : E_FAIL; }

 private:
  HMODULE module_ = nullptr;
  HRESULT(STDAPICALLTYPE* canUnload_)() = nullptr;
};

// A 32-bit top-down DIB selected into a memory device context.
class Canvas {
 public:
  Canvas(int width, int height, COLORREF fill) : width_(width), height_(height) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    dc_ = CreateCompatibleDC(nullptr);
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(dc_, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bits_ = static_cast<const DWORD*>(bits);
    previous_ = SelectObject(dc_, bitmap_);
    HBRUSH brush = CreateSolidBrush(fill);
    RECT all{0, 0, width, height};
    FillRect(dc_, &all, brush);
    DeleteObject(brush);
    GdiFlush();
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;
  ~Canvas() {
    SelectObject(dc_, previous_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  bool ok() const { return dc_ && bitmap_ && bits_; }
  HDC dc() const { return dc_; }
  int width() const { return width_; }
  int height() const { return height_; }
  COLORREF At(int x, int y) const {
    GdiFlush();
    const DWORD p = bits_[y * width_ + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
  }
  // A bottom-up 24-bit file, which every viewer reads.
  bool WriteBmp(const wchar_t* path) const {
    const int rowBytes = (width_ * 3 + 3) & ~3;
    const DWORD pixelBytes = static_cast<DWORD>(rowBytes * height_);
    BITMAPFILEHEADER fh{};
    BITMAPINFOHEADER ih{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof ih;
    fh.bfSize = fh.bfOffBits + pixelBytes;
    ih.biSize = sizeof ih;
    ih.biWidth = width_;
    ih.biHeight = height_;
    ih.biPlanes = 1;
    ih.biBitCount = 24;
    ih.biSizeImage = pixelBytes;
    std::vector<BYTE> data(pixelBytes);
    for (int y = 0; y < height_; ++y) {
      BYTE* row = &data[static_cast<std::size_t>((height_ - 1 - y) * rowBytes)];
      for (int x = 0; x < width_; ++x) {
        const COLORREF c = At(x, y);
        row[x * 3] = GetBValue(c);
        row[x * 3 + 1] = GetGValue(c);
        row[x * 3 + 2] = GetRValue(c);
      }
    }
    FILE* f = _wfopen(path, L"wb");
    if (!f) return false;
    bool ok = fwrite(&fh, sizeof fh, 1, f) == 1 && fwrite(&ih, sizeof ih, 1, f) == 1 &&
              fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
  }

 private:
  int width_, height_;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ previous_ = nullptr;
  const DWORD* bits_ = nullptr;
};

// ---------------------------------------------------------------- fixture

// The test's windows live on a desktop of their own. Under Wine the desktop
// process of the default desktop may have been started by an earlier test
// program without a display and would refuse every window; a new desktop
// gets a desktop process that uses this program's display.
class PrivateDesktop : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::wstring name = L"kelo-embedding-" + std::to_wstring(GetCurrentProcessId());
    desktop_ = CreateDesktopW(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (desktop_ && !SetThreadDesktop(desktop_)) {
      CloseDesktop(desktop_);
      desktop_ = nullptr;
    }
  }

 private:
  HDESK desktop_ = nullptr;  // stays open until the process ends: its windows use it
};
const auto* const g_desktop = ::testing::AddGlobalTestEnvironment(new PrivateDesktop);

class Embedding : public test::MockTest {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(apartment_.Status());
    test::MockTest::SetUp();
    window_ = CreateWindowExW(0, L"STATIC", L"test container", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr,
                              nullptr, nullptr);
    if (!window_) GTEST_SKIP() << "no display here: the container needs windows (run under Xvfb)";
    frame_ = std::make_unique<TestFrame>(window_);
  }
  void TearDown() override {
    if (window_) DestroyWindow(window_);
    test::MockTest::TearDown();
  }

  std::unique_ptr<TestSite> MakeSite(SiteOptions options = {}) {
    return std::make_unique<TestSite>(window_, *frame_, options);
  }

  // Created by class identifier, sited first (the control asks for it) and
  // initialised fresh.
  static ComPtr<IOleObject> NewControl(TestSite* site) {
    ComPtr<IOleObject> ctl;
    EXPECT_HRESULT_SUCCEEDED(
        CoCreateInstance(com::kControlClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, ctl.put_void()));
    if (!ctl) return ctl;
    if (site) {
      EXPECT_HRESULT_SUCCEEDED(ctl->SetClientSite(site));
    }
    auto bag = Query<IPersistPropertyBag>(ctl.get(), IID_IPersistPropertyBag);
    EXPECT_TRUE(bag && SUCCEEDED(bag->InitNew()));
    return ctl;
  }

  HRESULT Activate(IOleObject* ctl, TestSite& site, LONG verb = OLEIVERB_INPLACEACTIVATE) {
    return ctl->DoVerb(verb, nullptr, &site, -1, window_, &site.pos);
  }

  // VerifyCertCRL, a store method that needs no token: 1 once initialised.
  static LONG StoreCall(IUnknown* ctl) {
    auto disp = Query<IDispatch>(ctl, IID_IDispatch);
    Args args;
    args.I4(0).I4(0).Str(L"");
    Reply r;
    if (disp) Call(disp.get(), 24, args, r);
    EXPECT_HRESULT_SUCCEEDED(r.hr);
    return V_VT(r.result.get()) == VT_I4 ? V_I4(r.result.get()) : -1;
  }

  Apartment apartment_;
  HWND window_ = nullptr;
  std::unique_ptr<TestFrame> frame_;
};

// ---------------------------------------------------------------- lifecycle

TEST_F(Embedding, APageHostSitesActivatesUsesSavesAndClosesTheControl) {
  m0.add_slot("EMBED-TOKEN-0001", 1);
  auto site = MakeSite();
  TestEventSink sink(true);

  ComPtr<IOleObject> ctl;
  ASSERT_HRESULT_SUCCEEDED(
      CoCreateInstance(com::kControlClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, ctl.put_void()));
  Server server(ctl.get());
  DWORD status = 0;
  ASSERT_HRESULT_SUCCEEDED(ctl->GetMiscStatus(DVASPECT_CONTENT, &status));
  ASSERT_TRUE(status & OLEMISC_SETCLIENTSITEFIRST);
  ASSERT_HRESULT_SUCCEEDED(ctl->SetClientSite(site.get()));
  ASSERT_HRESULT_SUCCEEDED(Query<IPersistPropertyBag>(ctl.get(), IID_IPersistPropertyBag)->InitNew());
  DWORD adviseCookie = 0, eventCookie = 0;
  ASSERT_HRESULT_SUCCEEDED(ctl->Advise(site.get(), &adviseCookie));
  ComPtr<IConnectionPoint> events;
  ASSERT_HRESULT_SUCCEEDED(Query<IConnectionPointContainer>(ctl.get(), IID_IConnectionPointContainer)
                               ->FindConnectionPoint(com::kEventsIid, events.put()));
  ASSERT_HRESULT_SUCCEEDED(events->Advise(&sink, &eventCookie));

  // Windowless in place: no window of its own.
  ASSERT_EQ(Activate(ctl.get(), *site), S_OK);
  EXPECT_EQ(site->activations, 1);
  EXPECT_EQ(site->activationFlags, static_cast<DWORD>(ACTIVATE_WINDOWLESS));
  EXPECT_EQ(site->uiActivations, 0);
  HWND own = reinterpret_cast<HWND>(1);
  EXPECT_EQ(Query<IOleInPlaceObject>(ctl.get(), IID_IOleInPlaceObject)->GetWindow(&own), E_FAIL);
  EXPECT_EQ(own, nullptr);
  ASSERT_EQ(Activate(ctl.get(), *site, OLEIVERB_UIACTIVATE), S_OK);
  EXPECT_EQ(site->activations, 1) << "already active: no second activation";
  EXPECT_EQ(site->uiActivations, 1);
  EXPECT_EQ(frame_->activeObjectsSet, 1);

  // The methods answer through the embedded object.
  auto disp = Query<IDispatch>(ctl.get(), IID_IDispatch);
  std::vector<DISPID> ids;
  ASSERT_EQ(Ids(disp.get(), {L"ConnectToken"}, ids), S_OK);
  Args none;
  Reply connected;
  Call(disp.get(), ids[0], none, connected);
  ASSERT_EQ(connected.hr, S_OK);
  Args session;
  session.I4(V_I4(connected.result.get()));
  Reply serial;
  Call(disp.get(), 5, session, serial);
  ASSERT_EQ(V_VT(serial.result.get()), VT_BSTR);
  EXPECT_EQ(BstrText(V_BSTR(serial.result.get())), L"EMBED-TOKEN-0001");
  EXPECT_EQ(StoreCall(ctl.get()), 1);

  // Saved as a page's <param>s: exactly the four entries, the extent as the
  // control reports it.
  TestBag bag;
  ASSERT_HRESULT_SUCCEEDED(Query<IPersistPropertyBag>(ctl.get(), IID_IPersistPropertyBag)->Save(&bag, TRUE, TRUE));
  SIZEL extent{};
  ASSERT_HRESULT_SUCCEEDED(ctl->GetExtent(DVASPECT_CONTENT, &extent));
  const std::map<std::wstring, LONG> expected = {
      {L"_Version", 65536}, {L"_ExtentX", extent.cx}, {L"_ExtentY", extent.cy}, {L"_StockProps", 0}};
  EXPECT_EQ(bag.Longs(), expected);

  // Hidden, then closed with its unsaved extent.
  ASSERT_EQ(ctl->DoVerb(OLEIVERB_HIDE, nullptr, site.get(), -1, window_, nullptr), S_OK);
  EXPECT_EQ(site->uiDeactivations, 1);
  EXPECT_EQ(site->deactivations, 1);
  EXPECT_EQ(frame_->activeObjectsCleared, 1);
  SIZEL wider{extent.cx * 2, extent.cy};
  ASSERT_HRESULT_SUCCEEDED(ctl->SetExtent(DVASPECT_CONTENT, &wider));
  ASSERT_HRESULT_SUCCEEDED(ctl->Close(OLECLOSE_SAVEIFDIRTY));
  EXPECT_EQ(site->saves, 1);
  EXPECT_EQ(site->closes, 1);
  ComPtr<IOleClientSite> after;
  EXPECT_HRESULT_SUCCEEDED(ctl->GetClientSite(after.put()));
  EXPECT_FALSE(after);
  EXPECT_EQ(events->Unadvise(eventCookie), CONNECT_E_NOCONNECTION) << "Close drops the event sinks";
  EXPECT_EQ(StoreCall(ctl.get()), 1) << "a closed control still answers its methods";

  events.reset();
  disp.reset();
  EXPECT_EQ(server.CanUnloadNow(), S_FALSE);
  ctl.reset();
  EXPECT_EQ(server.CanUnloadNow(), S_OK);
}

TEST_F(Embedding, LetsGoOfEverySiteAndSinkOnCloseAndWhenReleased) {
  for (bool closeFirst : {true, false}) {
    SCOPED_TRACE(closeFirst ? "closed, then released" : "released without Close");
    auto site = MakeSite();
    TestEventSink sink(true);
    ComPtr<IOleObject> ctl = NewControl(site.get());
    ASSERT_TRUE(ctl);
    Server server(ctl.get());
    DWORD cookie = 0;
    ASSERT_HRESULT_SUCCEEDED(ctl->Advise(site.get(), &cookie));
    ASSERT_HRESULT_SUCCEEDED(
        Query<IViewObject>(ctl.get(), IID_IViewObject)->SetAdvise(DVASPECT_CONTENT, 0, site.get()));
    ComPtr<IConnectionPoint> events;
    ASSERT_HRESULT_SUCCEEDED(Query<IConnectionPointContainer>(ctl.get(), IID_IConnectionPointContainer)
                                 ->FindConnectionPoint(com::kEventsIid, events.put()));
    ASSERT_HRESULT_SUCCEEDED(events->Advise(&sink, &cookie));
    events.reset();
    ASSERT_EQ(Activate(ctl.get(), *site, OLEIVERB_UIACTIVATE), S_OK);
    EXPECT_GT(site->refs(), 1u);
    EXPECT_GT(frame_->refs(), 1u);

    if (closeFirst) {
      ASSERT_HRESULT_SUCCEEDED(ctl->Close(OLECLOSE_NOSAVE));
      EXPECT_EQ(site->saves, 0);
      EXPECT_EQ(site->refs(), 1u);
      EXPECT_EQ(sink.refs(), 1u);
      EXPECT_EQ(frame_->refs(), 1u);
    }
    ctl.reset();
    EXPECT_EQ(site->deactivations, 1) << "the site hears of the deactivation either way";
    EXPECT_EQ(site->uiDeactivations, 1);
    EXPECT_EQ(site->refs(), 1u);
    EXPECT_EQ(sink.refs(), 1u);
    EXPECT_EQ(frame_->refs(), 1u);
    EXPECT_EQ(server.CanUnloadNow(), S_OK);
  }
}

// ---------------------------------------------------------------- persistence

TEST_F(Embedding, StateSavedByTheContainerInitialisesAnotherControl) {
  const SIZEL saved{1234, 567};
  enum class Medium { Bag, Storage, EmptyStorage };
  const struct {
    const char* what;
    Medium medium;
    HRESULT load;
    bool keepsExtent;
  } cases[] = {
      {"property bag", Medium::Bag, S_OK, true},
      {"storage", Medium::Storage, S_OK, true},
      {"storage without the control's stream", Medium::EmptyStorage, STG_E_FILENOTFOUND, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto site = MakeSite();
    TestBag bag;
    ComPtr<ILockBytes> bytes;
    ComPtr<IStorage> storage;
    ASSERT_HRESULT_SUCCEEDED(CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.put()));
    ASSERT_HRESULT_SUCCEEDED(StgCreateDocfileOnILockBytes(
        bytes.get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, storage.put()));
    {
      ComPtr<IOleObject> first = NewControl(site.get());
      ASSERT_TRUE(first);
      ASSERT_HRESULT_SUCCEEDED(first->SetExtent(DVASPECT_CONTENT, const_cast<SIZEL*>(&saved)));
      if (c.medium == Medium::Bag) {
        ASSERT_HRESULT_SUCCEEDED(
            Query<IPersistPropertyBag>(first.get(), IID_IPersistPropertyBag)->Save(&bag, TRUE, TRUE));
        const std::map<std::wstring, LONG> four = {
            {L"_Version", 65536}, {L"_ExtentX", saved.cx}, {L"_ExtentY", saved.cy}, {L"_StockProps", 0}};
        EXPECT_EQ(bag.Longs(), four);
      } else if (c.medium == Medium::Storage) {
        auto persist = Query<IPersistStorage>(first.get(), IID_IPersistStorage);
        ASSERT_TRUE(persist);
        ASSERT_HRESULT_SUCCEEDED(persist->Save(storage.get(), TRUE));
        ASSERT_HRESULT_SUCCEEDED(persist->SaveCompleted(nullptr));
        EXPECT_EQ(persist->IsDirty(), S_FALSE);
      }
      first->Close(OLECLOSE_NOSAVE);
    }

    ComPtr<IOleObject> second;
    ASSERT_HRESULT_SUCCEEDED(
        CoCreateInstance(com::kControlClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, second.put_void()));
    ASSERT_HRESULT_SUCCEEDED(second->SetClientSite(site.get()));
    HRESULT hr = c.medium == Medium::Bag
                     ? Query<IPersistPropertyBag>(second.get(), IID_IPersistPropertyBag)->Load(&bag, nullptr)
                     : Query<IPersistStorage>(second.get(), IID_IPersistStorage)->Load(storage.get());
    EXPECT_EQ(hr, c.load);
    SIZEL extent{};
    ASSERT_HRESULT_SUCCEEDED(second->GetExtent(DVASPECT_CONTENT, &extent));
    if (c.keepsExtent) {
      EXPECT_EQ(extent.cx, saved.cx);
      EXPECT_EQ(extent.cy, saved.cy);
    } else {
      EXPECT_NE(extent.cx, saved.cx);
    }
    EXPECT_EQ(Query<IPersistStorage>(second.get(), IID_IPersistStorage)->IsDirty(), S_FALSE);
    EXPECT_EQ(StoreCall(second.get()), 1) << "initialised, loaded or not";
    second->Close(OLECLOSE_NOSAVE);
  }
}

// ---------------------------------------------------------------- drawing

TEST_F(Embedding, DrawsBitmap202At30x30PixelsAtTheOriginAndAsksForThatSize) {
  const SIZEL picture = ScreenHimetric(kPicture, kPicture);
  const SIZEL other{2000, 1000};
  const struct {
    const char* what;
    RECTL bounds;
    bool passBounds;
    bool inPlace;
    bool asks;
  } cases[] = {
      {"100 x 40 at (10,10), in place", {10, 10, 110, 50}, true, true, true},
      {"30 x 30 at the origin", {0, 0, 30, 30}, true, true, false},
      {"30 x 30 at (5,5)", {5, 5, 35, 35}, true, true, false},
      {"wider than high", {0, 0, 40, 30}, true, true, true},
      {"higher than wide", {0, 0, 30, 40}, true, true, true},
      {"no bounds: its own 100 x 40 place", {}, false, true, true},
      {"100 x 40, sited but not active", {10, 10, 110, 50}, true, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto site = MakeSite();
    ComPtr<IOleObject> ctl = NewControl(site.get());
    ASSERT_TRUE(ctl);
    Server server(ctl.get());
    if (c.inPlace) {
      ASSERT_EQ(Activate(ctl.get(), *site), S_OK);
    }
    ASSERT_HRESULT_SUCCEEDED(ctl->SetExtent(DVASPECT_CONTENT, const_cast<SIZEL*>(&other)));

    // What the picture should look like: bitmap 202 stretched the same way
    // onto a canvas of its own.
    Canvas expected(kPicture, kPicture, kBackground);
    HBITMAP bitmap = LoadBitmapW(server.module(), MAKEINTRESOURCEW(202));
    ASSERT_NE(bitmap, nullptr);
    HDC memory = CreateCompatibleDC(expected.dc());
    HGDIOBJ old = SelectObject(memory, bitmap);
    BITMAP info{};
    GetObjectW(bitmap, sizeof info, &info);
    StretchBlt(expected.dc(), 0, 0, kPicture, kPicture, memory, 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(bitmap);
    std::set<COLORREF> colours;
    for (int y = 0; y < kPicture; ++y)
      for (int x = 0; x < kPicture; ++x) colours.insert(expected.At(x, y));
    ASSERT_GE(colours.size(), 3u) << "the picture must be more than a plain square for the comparison to tell";

    Canvas canvas(130, 70, kBackground);
    ASSERT_TRUE(canvas.ok());
    auto view = Query<IViewObject2>(ctl.get(), IID_IViewObject2);
    ASSERT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, canvas.dc(),
                         c.passBounds ? &c.bounds : nullptr, nullptr, nullptr, 0),
              S_OK);
    int wrong = 0;
    for (int y = 0; y < canvas.height(); ++y) {
      for (int x = 0; x < canvas.width(); ++x) {
        const bool inPicture = x < kPicture && y < kPicture;
        const COLORREF want = inPicture ? expected.At(x, y) : kBackground;
        if (canvas.At(x, y) != want && ++wrong <= 5)
          ADD_FAILURE() << "pixel (" << x << "," << y << ") is " << std::hex << canvas.At(x, y) << ", expected "
                        << want << (inPicture ? " (picture)" : " (background)");
      }
    }
    EXPECT_EQ(wrong, 0);
    if (c.bounds.left == 10 && c.inPlace) {
      // For a person to look at: build directory, tests/com.
      EXPECT_TRUE(canvas.WriteBmp(L"embedding_draw.bmp"));
    }

    // The size request: the picture's 30 x 30 pixels, at the place the
    // control has, through the in-place site when active.
    if (c.asks && c.inPlace) {
      ASSERT_EQ(site->posRectRequests.size(), 1u);
      const RECT& r = site->posRectRequests[0];
      EXPECT_EQ(r.left, site->pos.left);
      EXPECT_EQ(r.top, site->pos.top);
      EXPECT_EQ(r.right - r.left, kPicture);
      EXPECT_EQ(r.bottom - r.top, kPicture);
    } else {
      EXPECT_TRUE(site->posRectRequests.empty());
    }
    EXPECT_EQ(site->layoutRequests, c.asks && !c.inPlace ? 1 : 0);
    SIZEL extent{};
    ASSERT_HRESULT_SUCCEEDED(ctl->GetExtent(DVASPECT_CONTENT, &extent));
    const SIZEL& want = c.asks ? picture : other;
    EXPECT_EQ(extent.cx, want.cx);
    EXPECT_EQ(extent.cy, want.cy);
    ctl->Close(OLECLOSE_NOSAVE);
  }
}

TEST_F(Embedding, DrawingWhatCannotBeDrawn) {
  auto site = MakeSite();
  ComPtr<IOleObject> ctl = NewControl(site.get());
  ASSERT_TRUE(ctl);
  auto view = Query<IViewObject>(ctl.get(), IID_IViewObject);
  Canvas canvas(40, 40, kBackground);
  const RECTL wide{0, 0, 100, 40};
  const struct {
    const char* what;
    DWORD aspect;
    HDC dc;
    const RECTL* bounds;
    HRESULT hr;
  } cases[] = {
      {"an icon", DVASPECT_ICON, canvas.dc(), &wide, DV_E_DVASPECT},
      {"no device context", DVASPECT_CONTENT, nullptr, &wide, E_INVALIDARG},
      {"no bounds, not active", DVASPECT_CONTENT, canvas.dc(), nullptr, E_INVALIDARG},
      // No memory context can be made for it: nothing drawn, nothing said.
      {"a device context that is none", DVASPECT_CONTENT, reinterpret_cast<HDC>(0x4321), &wide, S_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(view->Draw(c.aspect, -1, nullptr, nullptr, nullptr, c.dc, c.bounds, nullptr, nullptr, 0), c.hr);
  }
  EXPECT_EQ(site->layoutRequests, 0) << "no size request without drawing";
  EXPECT_EQ(canvas.At(0, 0), kBackground);
  ctl->Close(OLECLOSE_NOSAVE);
}

// ---------------------------------------------------------------- windowed hosts

TEST_F(Embedding, HostsWithoutWindowlessActivationGetAChildWindowShownOnlyInDesignMode) {
  for (bool userMode : {true, false}) {
    SCOPED_TRACE(userMode ? "run mode" : "design mode");
    SiteOptions options;
    options.windowless = false;
    options.userMode = userMode;
    auto site = MakeSite(options);
    ComPtr<IOleObject> ctl = NewControl(site.get());
    ASSERT_TRUE(ctl);
    ASSERT_EQ(Activate(ctl.get(), *site), S_OK);
    EXPECT_EQ(site->activations, 1);
    EXPECT_EQ(site->activationFlags, 0u);

    auto inPlace = Query<IOleInPlaceObject>(ctl.get(), IID_IOleInPlaceObject);
    HWND child = nullptr;
    ASSERT_EQ(inPlace->GetWindow(&child), S_OK);
    ASSERT_TRUE(IsWindow(child));
    EXPECT_EQ(GetParent(child), window_);
    auto shown = [&] { return (GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE) != 0; };
    EXPECT_EQ(shown(), !userMode);

    // The host switches modes.
    site->options.userMode = !userMode;
    ASSERT_HRESULT_SUCCEEDED(Query<IOleControl>(ctl.get(), IID_IOleControl)
                                 ->OnAmbientPropertyChange(DISPID_AMBIENT_USERMODE));
    EXPECT_EQ(shown(), userMode);

    const RECT moved{20, 30, 50, 60};
    ASSERT_HRESULT_SUCCEEDED(inPlace->SetObjectRects(&moved, &moved));
    RECT at{};
    GetWindowRect(child, &at);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&at), 2);
    EXPECT_EQ(at.left, moved.left);
    EXPECT_EQ(at.top, moved.top);
    EXPECT_EQ(at.right, moved.right);
    EXPECT_EQ(at.bottom, moved.bottom);

    ASSERT_HRESULT_SUCCEEDED(inPlace->InPlaceDeactivate());
    EXPECT_FALSE(IsWindow(child));
    EXPECT_EQ(site->deactivations, 1);
    EXPECT_EQ(inPlace->GetWindow(&child), E_FAIL);
    ctl->Close(OLECLOSE_NOSAVE);
  }
}

// ---------------------------------------------------------------- verbs

TEST_F(Embedding, VerbsStatusAndNamesAgreeWithTheRegistryAndResources) {
  auto site = MakeSite();
  ComPtr<IOleObject> ctl = NewControl(site.get());
  ASSERT_TRUE(ctl);
  Server server(ctl.get());

  // The status the registry publishes for hosts that have not created the
  // control yet: MiscStatus\1 for the content, MiscStatus for the rest.
  DWORD content = 0, icon = 1, registered = 0;
  ASSERT_HRESULT_SUCCEEDED(ctl->GetMiscStatus(DVASPECT_CONTENT, &content));
  ASSERT_HRESULT_SUCCEEDED(ctl->GetMiscStatus(DVASPECT_ICON, &icon));
  ASSERT_HRESULT_SUCCEEDED(OleRegGetMiscStatus(com::kControlClsid, DVASPECT_CONTENT, &registered));
  EXPECT_EQ(content, registered);
  ASSERT_HRESULT_SUCCEEDED(OleRegGetMiscStatus(com::kControlClsid, DVASPECT_ICON, &registered));
  EXPECT_EQ(icon, registered);

  CLSID byProgId{}, user{};
  ASSERT_HRESULT_SUCCEEDED(CLSIDFromProgID(com::kControlProgId, &byProgId));
  ASSERT_HRESULT_SUCCEEDED(ctl->GetUserClassID(&user));
  EXPECT_TRUE(IsEqualCLSID(user, byProgId));
  for (DWORD form : {USERCLASSTYPE_FULL, USERCLASSTYPE_SHORT, USERCLASSTYPE_APPNAME}) {
    LPOLESTR name = nullptr;
    ASSERT_HRESULT_SUCCEEDED(ctl->GetUserType(form, &name));
    EXPECT_EQ(std::wstring(name), ModuleString(server.module(), 1));
    CoTaskMemFree(name);
  }

  // One verb on the host's menu: the property pages.
  ComPtr<IEnumOLEVERB> verbs;
  ASSERT_HRESULT_SUCCEEDED(ctl->EnumVerbs(verbs.put()));
  OLEVERB got[2] = {};
  ULONG fetched = 9;
  EXPECT_EQ(verbs->Next(2, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(got[0].lVerb, OLEIVERB_PROPERTIES);
  EXPECT_TRUE(got[0].grfAttribs & OLEVERBATTRIB_ONCONTAINERMENU);
  ASSERT_NE(got[0].lpszVerbName, nullptr);
  EXPECT_NE(std::wstring(got[0].lpszVerbName), L"");
  CoTaskMemFree(got[0].lpszVerbName);
  ComPtr<IEnumOLEVERB> again;
  ASSERT_HRESULT_SUCCEEDED(verbs->Clone(again.put()));
  EXPECT_EQ(again->Next(1, got, nullptr), S_FALSE) << "a clone continues where its original stands";
  ASSERT_HRESULT_SUCCEEDED(again->Reset());
  EXPECT_EQ(again->Next(1, got, nullptr), S_OK);
  CoTaskMemFree(got[0].lpszVerbName);

  const struct {
    const char* what;
    LONG verb;
    HRESULT hr;
    bool uiActive;
  } cases[] = {
      {"open", OLEIVERB_OPEN, E_NOTIMPL, false},
      {"discard undo state", OLEIVERB_DISCARDUNDOSTATE, E_NOTIMPL, false},
      {"show", OLEIVERB_SHOW, S_OK, false},
      {"primary", OLEIVERB_PRIMARY, S_OK, true},
      {"a verb of its own it does not have", 7, OLEOBJ_S_INVALIDVERB, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto fresh = MakeSite();
    ASSERT_HRESULT_SUCCEEDED(ctl->SetClientSite(fresh.get()));
    EXPECT_EQ(Activate(ctl.get(), *fresh, c.verb), c.hr);
    EXPECT_EQ(fresh->activations, SUCCEEDED(c.hr) ? 1 : 0);
    EXPECT_EQ(fresh->uiActivations, c.uiActive ? 1 : 0);
    ctl->Close(OLECLOSE_NOSAVE);
    EXPECT_EQ(fresh->refs(), 1u);
  }
  EXPECT_EQ(ctl->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, -1, window_, nullptr), E_UNEXPECTED)
      << "no site to activate in";
}

// ---------------------------------------------------------------- events

TEST_F(Embedding, EventConnectionsQuickActivationAndClassInformation) {
  auto site = MakeSite();
  ComPtr<IOleObject> ctl = NewControl(site.get());
  ASSERT_TRUE(ctl);

  // The default source interface, as the type library names it.
  auto info = Query<IProvideClassInfo2>(ctl.get(), IID_IProvideClassInfo2);
  ASSERT_TRUE(info);
  GUID source{};
  ASSERT_HRESULT_SUCCEEDED(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source));
  EXPECT_EQ(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID + 1, &source), E_INVALIDARG);
  ASSERT_HRESULT_SUCCEEDED(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source));
  ComPtr<ITypeInfo> coclass;
  ASSERT_HRESULT_SUCCEEDED(info->GetClassInfo(coclass.put()));
  TYPEATTR* attr = nullptr;
  ASSERT_HRESULT_SUCCEEDED(coclass->GetTypeAttr(&attr));
  const WORD impls = attr->cImplTypes;
  coclass->ReleaseTypeAttr(attr);
  GUID described = GUID_NULL;
  for (UINT i = 0; i < impls; ++i) {
    INT flags = 0;
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> impl;
    coclass->GetImplTypeFlags(i, &flags);
    if (flags != (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) continue;
    ASSERT_HRESULT_SUCCEEDED(coclass->GetRefTypeOfImplType(i, &ref));
    ASSERT_HRESULT_SUCCEEDED(coclass->GetRefTypeInfo(ref, impl.put()));
    ASSERT_HRESULT_SUCCEEDED(impl->GetTypeAttr(&attr));
    described = attr->guid;
    impl->ReleaseTypeAttr(attr);
  }
  EXPECT_TRUE(IsEqualGUID(source, described));

  // Its one connection point.
  auto container = Query<IConnectionPointContainer>(ctl.get(), IID_IConnectionPointContainer);
  ComPtr<IConnectionPoint> point, none;
  ASSERT_HRESULT_SUCCEEDED(container->FindConnectionPoint(source, point.put()));
  EXPECT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink, none.put()), CONNECT_E_NOCONNECTION);
  IID iid{};
  ASSERT_HRESULT_SUCCEEDED(point->GetConnectionInterface(&iid));
  EXPECT_TRUE(IsEqualIID(iid, source));
  ComPtr<IConnectionPointContainer> back;
  ASSERT_HRESULT_SUCCEEDED(point->GetConnectionPointContainer(back.put()));
  EXPECT_TRUE(SameObject(back.get(), ctl.get()));
  ComPtr<IEnumConnectionPoints> points;
  ASSERT_HRESULT_SUCCEEDED(container->EnumConnectionPoints(points.put()));
  IConnectionPoint* listed[2] = {};
  ULONG n = 0;
  EXPECT_EQ(points->Next(2, listed, &n), S_FALSE);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(listed[0], point.get());
  listed[0]->Release();

  TestEventSink first(true), second(true), stranger(false);
  DWORD c1 = 0, c2 = 0, c3 = 7;
  ASSERT_HRESULT_SUCCEEDED(point->Advise(&first, &c1));
  ASSERT_HRESULT_SUCCEEDED(point->Advise(&second, &c2));
  EXPECT_EQ(point->Advise(&stranger, &c3), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(c3, 0u);
  EXPECT_NE(c1, c2);
  auto connections = [&] {
    std::map<DWORD, IUnknown*> out;
    ComPtr<IEnumConnections> e;
    if (FAILED(point->EnumConnections(e.put()))) return out;
    CONNECTDATA cd{};
    while (e->Next(1, &cd, nullptr) == S_OK) {
      out[cd.dwCookie] = cd.pUnk;
      if (cd.pUnk) cd.pUnk->Release();
    }
    return out;
  };
  auto listedNow = connections();
  ASSERT_EQ(listedNow.size(), 2u);
  EXPECT_TRUE(SameObject(listedNow[c1], &first));
  EXPECT_TRUE(SameObject(listedNow[c2], &second));
  EXPECT_EQ(point->Unadvise(c1), S_OK);
  EXPECT_EQ(point->Unadvise(c1), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(connections().size(), 1u);
  EXPECT_EQ(first.refs(), 1u);
  EXPECT_EQ(stranger.refs(), 1u);
  ctl->Close(OLECLOSE_NOSAVE);
  EXPECT_EQ(second.refs(), 1u);

  // Quick activation: site, event sink and status in one call.
  ComPtr<IQuickActivate> quick;
  ASSERT_HRESULT_SUCCEEDED(
      CoCreateInstance(com::kControlClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IQuickActivate, quick.put_void()));
  QACONTAINER qc{};
  QACONTROL qctl{};
  qc.cbSize = sizeof qc;
  qc.pClientSite = site.get();
  qc.pUnkEventSink = &first;
  qctl.cbSize = sizeof qctl;
  ASSERT_HRESULT_SUCCEEDED(quick->QuickActivate(&qc, &qctl));
  auto quickObject = Query<IOleObject>(quick.get(), IID_IOleObject);
  DWORD status = 0;
  ASSERT_HRESULT_SUCCEEDED(quickObject->GetMiscStatus(DVASPECT_CONTENT, &status));
  EXPECT_EQ(qctl.dwMiscStatus, status);
  EXPECT_NE(qctl.dwEventCookie, 0u);
  ComPtr<IOleClientSite> sited;
  ASSERT_HRESULT_SUCCEEDED(quickObject->GetClientSite(sited.put()));
  EXPECT_EQ(sited.get(), static_cast<IOleClientSite*>(site.get()));
  sited.reset();
  ASSERT_HRESULT_SUCCEEDED(Query<IConnectionPointContainer>(quick.get(), IID_IConnectionPointContainer)
                               ->FindConnectionPoint(source, point.put()));
  EXPECT_EQ(point->Unadvise(qctl.dwEventCookie), S_OK) << "the cookie names the sink's connection";
  point.reset();
  qc.cbSize = offsetof(QACONTAINER, pUnkEventSink);
  EXPECT_EQ(quick->QuickActivate(&qc, &qctl), E_INVALIDARG) << "a structure too short for the fields read";
  quickObject->Close(OLECLOSE_NOSAVE);
  EXPECT_EQ(first.refs(), 1u);
  EXPECT_EQ(site->refs(), 1u);
}

// ---------------------------------------------------------------- pages

TEST_F(Embedding, TheControlsPagePlaysItsPartInAFrame) {
  auto site = MakeSite();
  ComPtr<IOleObject> ctl = NewControl(site.get());
  ASSERT_TRUE(ctl);
  Server server(ctl.get());
  CAUUID pages{};
  ASSERT_HRESULT_SUCCEEDED(Query<ISpecifyPropertyPages>(ctl.get(), IID_ISpecifyPropertyPages)->GetPages(&pages));
  ASSERT_EQ(pages.cElems, 1u);
  const CLSID pageClsid = pages.pElems[0];
  CoTaskMemFree(pages.pElems);
  EXPECT_TRUE(IsEqualCLSID(pageClsid, com::kPageClsid));

  TestPageSite pageSite;
  ComPtr<IPropertyPage> page;
  ASSERT_HRESULT_SUCCEEDED(
      CoCreateInstance(pageClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage, page.put_void()));
  ASSERT_HRESULT_SUCCEEDED(page->SetPageSite(&pageSite));
  IUnknown* objects[] = {ctl.get()};
  ASSERT_HRESULT_SUCCEEDED(page->SetObjects(1, objects));

  PROPPAGEINFO info{};
  ASSERT_HRESULT_SUCCEEDED(page->GetPageInfo(&info));
  ASSERT_NE(info.pszTitle, nullptr);
  EXPECT_EQ(std::wstring(info.pszTitle), L"General");
  EXPECT_EQ(std::wstring(info.pszTitle), ModuleString(server.module(), 200));
  CoTaskMemFree(info.pszTitle);

  EXPECT_EQ(page->Activate(nullptr, nullptr, TRUE), E_INVALIDARG);
  // The size the page announced is the size the dialog manager gives it
  // (its template's units in its own font), before a frame places it.
  ASSERT_HRESULT_SUCCEEDED(page->Activate(window_, nullptr, TRUE));
  HWND dialog = GetWindow(window_, GW_CHILD);
  ASSERT_NE(dialog, nullptr);
  RECT at{};
  GetWindowRect(dialog, &at);
  EXPECT_EQ(at.right - at.left, info.size.cx);
  EXPECT_EQ(at.bottom - at.top, info.size.cy);
  ASSERT_HRESULT_SUCCEEDED(page->Deactivate());

  const RECT area{5, 5, 5 + info.size.cx, 5 + info.size.cy};
  ASSERT_HRESULT_SUCCEEDED(page->Activate(window_, &area, TRUE));
  EXPECT_EQ(page->Activate(window_, &area, TRUE), E_UNEXPECTED) << "already active";
  dialog = GetWindow(window_, GW_CHILD);
  ASSERT_NE(dialog, nullptr);
  GetWindowRect(dialog, &at);
  MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&at), 2);
  EXPECT_EQ(at.left, area.left);
  EXPECT_EQ(at.top, area.top);
  const RECT moved{12, 14, 12 + info.size.cx, 14 + info.size.cy};
  ASSERT_HRESULT_SUCCEEDED(page->Move(&moved));
  GetWindowRect(dialog, &at);
  MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&at), 2);
  EXPECT_EQ(at.left, moved.left);
  EXPECT_EQ(at.top, moved.top);
  ASSERT_HRESULT_SUCCEEDED(page->Show(SW_SHOW));
  EXPECT_TRUE(GetWindowLongW(dialog, GWL_STYLE) & WS_VISIBLE);
  ASSERT_HRESULT_SUCCEEDED(page->Show(SW_HIDE));
  EXPECT_FALSE(GetWindowLongW(dialog, GWL_STYLE) & WS_VISIBLE);
  EXPECT_EQ(page->IsPageDirty(), S_FALSE);
  EXPECT_EQ(page->Apply(), S_OK);
  ASSERT_HRESULT_SUCCEEDED(page->Deactivate());
  EXPECT_FALSE(IsWindow(dialog));

  // The frame lets go: the page drops the objects and the site.
  ASSERT_HRESULT_SUCCEEDED(page->SetObjects(0, nullptr));
  ASSERT_HRESULT_SUCCEEDED(page->SetPageSite(nullptr));
  EXPECT_EQ(pageSite.refs(), 1u);
  ctl->Close(OLECLOSE_NOSAVE);
  ctl.reset();
  EXPECT_EQ(server.CanUnloadNow(), S_FALSE) << "the page is alive";
  page.reset();
  EXPECT_EQ(server.CanUnloadNow(), S_OK);
}

// Watches this thread's windows while the modal property frame runs, notes
// what it shows and closes it.
struct FrameWatch {
  HMODULE server = nullptr;
  HWND container = nullptr;
  bool found = false;
  bool pageVisible = false;
  bool pageHasText = false;
  std::vector<std::wstring> tabs;
  std::wstring title;
  int ticks = 0;
};
FrameWatch* g_watch = nullptr;

// The page: a window made from the server module's resources.
struct PageSearch {
  HMODULE server;
  HWND page;
};

BOOL CALLBACK MatchPage(HWND w, LPARAM p) {
  auto* s = reinterpret_cast<PageSearch*>(p);
  if (reinterpret_cast<HMODULE>(GetWindowLongPtrW(w, GWLP_HINSTANCE)) != s->server) return TRUE;
  s->page = w;
  return FALSE;
}

BOOL CALLBACK InspectAndClose(HWND top, LPARAM) {
  FrameWatch& watch = *g_watch;
  const bool givingUp = watch.ticks >= 100;  // 5 s: whatever dialog the thread shows goes
  if (top == watch.container || (!givingUp && !IsWindowVisible(top))) return TRUE;
  PageSearch search{watch.server, nullptr};
  EnumChildWindows(top, &MatchPage, reinterpret_cast<LPARAM>(&search));
  if (!search.page && !givingUp) return TRUE;
  if (search.page && !watch.found) {
    watch.found = true;
    watch.pageVisible = IsWindowVisible(search.page) != FALSE;
    HWND text = GetWindow(search.page, GW_CHILD);
    watch.pageHasText = text && GetWindowTextLengthW(text) > 0;
    wchar_t title[256] = {};
    GetWindowTextW(top, title, 256);
    watch.title = title;
    HWND tab = FindWindowExW(top, nullptr, WC_TABCONTROLW, nullptr);
    const LRESULT count = tab ? SendMessageW(tab, TCM_GETITEMCOUNT, 0, 0) : 0;
    for (LRESULT i = 0; i < count; ++i) {
      wchar_t name[128] = {};
      TCITEMW item{};
      item.mask = TCIF_TEXT;
      item.pszText = name;
      item.cchTextMax = 128;
      SendMessageW(tab, TCM_GETITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
      watch.tabs.emplace_back(name);
    }
  }
  if (!givingUp) {
    PostMessageW(top, WM_COMMAND, IDCANCEL, 0);  // as a person cancels it
    return TRUE;
  }
  // A frame that does not close when cancelled ends with its window.
  wchar_t cls[16] = {};
  GetClassNameW(top, cls, 16);
  if (std::wstring(cls) == L"#32770") DestroyWindow(top);
  return TRUE;
}

void CALLBACK WatchFrame(HWND, UINT, UINT_PTR, DWORD) {
  ++g_watch->ticks;
  EnumThreadWindows(GetCurrentThreadId(), &InspectAndClose, 0);
}

TEST_F(Embedding, ThePropertiesVerbOpensAFrameWithTheOnePage) {
  for (bool containerShowsFrame : {false, true}) {
    SCOPED_TRACE(containerShowsFrame ? "the container shows its own frame" : "the control opens the frame");
    SiteOptions options;
    options.showsOwnFrame = containerShowsFrame;
    auto site = MakeSite(options);
    ComPtr<IOleObject> ctl = NewControl(site.get());
    ASSERT_TRUE(ctl);
    Server server(ctl.get());
    ASSERT_EQ(Activate(ctl.get(), *site), S_OK);
    frame_->modeless.clear();

    FrameWatch watch;
    watch.server = server.module();
    watch.container = window_;
    g_watch = &watch;
    const UINT_PTR timer = SetTimer(nullptr, 0, 50, &WatchFrame);
    ASSERT_NE(timer, 0u);
    const HRESULT hr = ctl->DoVerb(OLEIVERB_PROPERTIES, nullptr, site.get(), -1, window_, &site->pos);
    KillTimer(nullptr, timer);
    g_watch = nullptr;

    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(site->ownFramesShown, 1) << "the container is asked first";
    if (containerShowsFrame) {
      EXPECT_FALSE(watch.found);
      EXPECT_TRUE(frame_->modeless.empty());
    } else {
      EXPECT_TRUE(watch.found) << "no frame showed the page";
      EXPECT_TRUE(watch.pageVisible);
      EXPECT_TRUE(watch.pageHasText);
      EXPECT_EQ(watch.tabs, std::vector<std::wstring>{ModuleString(server.module(), 200)});
      EXPECT_EQ(frame_->modeless, (std::vector<BOOL>{FALSE, TRUE})) << "modeless windows wait while it is open";
      std::printf("property frame title: \"%ls\"\n", watch.title.c_str());
    }
    ctl->Close(OLECLOSE_NOSAVE);
    ctl.reset();
    EXPECT_EQ(server.CanUnloadNow(), S_OK) << "the frame released the page and the control";
  }
}

// ---------------------------------------------------------------- module

TEST_F(Embedding, TheModuleStaysWhileAnythingTheControlHandedOutIsHeld) {
  const struct {
    const char* what;
    std::function<ComPtr<IUnknown>(IOleObject*)> take;
  } cases[] = {
      {"verb enumerator",
       [](IOleObject* c) {
         ComPtr<IEnumOLEVERB> e;
         c->EnumVerbs(e.put());
         return Query<IUnknown>(e.get(), IID_IUnknown);
       }},
      {"clone of a verb enumerator",
       [](IOleObject* c) {
         ComPtr<IEnumOLEVERB> e, clone;
         c->EnumVerbs(e.put());
         if (e) e->Clone(clone.put());
         return Query<IUnknown>(clone.get(), IID_IUnknown);
       }},
      {"connection point enumerator",
       [](IOleObject* c) {
         ComPtr<IEnumConnectionPoints> e;
         Query<IConnectionPointContainer>(c, IID_IConnectionPointContainer)->EnumConnectionPoints(e.put());
         return Query<IUnknown>(e.get(), IID_IUnknown);
       }},
      {"connection point",
       [](IOleObject* c) {
         ComPtr<IConnectionPoint> p;
         Query<IConnectionPointContainer>(c, IID_IConnectionPointContainer)
             ->FindConnectionPoint(com::kEventsIid, p.put());
         return Query<IUnknown>(p.get(), IID_IUnknown);
       }},
      {"connection enumerator",
       [](IOleObject* c) {
         ComPtr<IConnectionPoint> p;
         ComPtr<IEnumConnections> e;
         Query<IConnectionPointContainer>(c, IID_IConnectionPointContainer)
             ->FindConnectionPoint(com::kEventsIid, p.put());
         if (p) p->EnumConnections(e.put());
         return Query<IUnknown>(e.get(), IID_IUnknown);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ComPtr<IOleObject> ctl = NewControl(nullptr);
    ASSERT_TRUE(ctl);
    Server server(ctl.get());
    ComPtr<IUnknown> held = c.take(ctl.get());
    ASSERT_TRUE(held);
    ctl.reset();
    EXPECT_EQ(server.CanUnloadNow(), S_FALSE);
    held.reset();
    EXPECT_EQ(server.CanUnloadNow(), S_OK);
  }
}

}  // namespace
}  // namespace kelo::comtest
