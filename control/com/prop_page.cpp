#include "control/com/prop_page.h"

#include <objbase.h>

#include <cstring>
#include <string>

#include "control/com/resource.h"

namespace kelo::com {
namespace {

// The page has no fields: the dialog handles nothing itself.
INT_PTR CALLBACK PageDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// The size of dialog 200 in pixels, from its template and the system's
// dialog base units: the estimate when no window can be made.
SIZE TemplatePageSize() {
  SIZE size{0, 0};
  HINSTANCE module = ModuleInstance();
  HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(IDD_PROPPAGE_KELOCAACTIVEX), MAKEINTRESOURCEW(5));  // RT_DIALOG
  HGLOBAL data = res ? LoadResource(module, res) : nullptr;
  const auto* tmpl = data ? static_cast<const DLGTEMPLATE*>(LockResource(data)) : nullptr;
  if (!tmpl || SizeofResource(module, res) < sizeof(DLGTEMPLATE)) return size;
  const LONG base = GetDialogBaseUnits();
  size.cx = MulDiv(tmpl->cx, LOWORD(base), 4);
  size.cy = MulDiv(tmpl->cy, HIWORD(base), 8);
  return size;
}

SIZE WindowSize(HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

// The size the dialog manager gives dialog 200, whose units depend on the
// template's own font: measured on a hidden copy when the page is not shown.
SIZE PageSize(HWND shown) {
  if (shown) return WindowSize(shown);
  HINSTANCE module = ModuleInstance();
  HWND host = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, module, nullptr);
  HWND copy = host ? CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_PROPPAGE_KELOCAACTIVEX), host, &PageDialogProc, 0)
                   : nullptr;
  SIZE size = copy ? WindowSize(copy) : TemplatePageSize();
  if (copy) DestroyWindow(copy);
  if (host) DestroyWindow(host);
  return size;
}

}  // namespace

HRESULT PropertyPage::Create(REFIID riid, void** ppv) {
  auto* page = new PropertyPage();
  HRESULT hr = page->QueryInterface(riid, ppv);
  page->Release();
  return hr;
}

PropertyPage::~PropertyPage() {
  if (dialog_) DestroyWindow(dialog_);
}

STDMETHODIMP PropertyPage::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyPage)) {
    *ppv = static_cast<IPropertyPage*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) PropertyPage::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) PropertyPage::Release() {
  ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

STDMETHODIMP PropertyPage::SetPageSite(IPropertyPageSite* site) {
  site_.retain(site);
  return S_OK;
}

STDMETHODIMP PropertyPage::Activate(HWND parent, LPCRECT rect, BOOL) {
  if (dialog_) return E_UNEXPECTED;
  if (!parent) return E_INVALIDARG;  // the page is a child dialog
  dialog_ = CreateDialogParamW(ModuleInstance(), MAKEINTRESOURCEW(IDD_PROPPAGE_KELOCAACTIVEX), parent,
                               &PageDialogProc, 0);
  if (!dialog_) {
    const DWORD err = GetLastError();
    return err ? HRESULT_FROM_WIN32(err) : E_FAIL;
  }
  if (rect) Move(rect);
  return S_OK;
}

STDMETHODIMP PropertyPage::Deactivate() {
  if (dialog_) DestroyWindow(dialog_);
  dialog_ = nullptr;
  return S_OK;
}

STDMETHODIMP PropertyPage::GetPageInfo(PROPPAGEINFO* info) {
  if (!info) return E_POINTER;
  return Guarded([&] {
    const std::wstring title = ResourceString(IDS_KELOCAACTIVEX_PPG_CAPTION);
    const std::size_t bytes = (title.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy, title.c_str(), bytes);
    info->cb = sizeof *info;
    info->pszTitle = copy;
    info->size = PageSize(dialog_);
    info->pszDocString = nullptr;
    info->pszHelpFile = nullptr;
    info->dwHelpContext = 0;
    return S_OK;
  });
}

STDMETHODIMP PropertyPage::SetObjects(ULONG count, IUnknown** objects) {
  if (count > 0 && !objects) return E_POINTER;
  return Guarded([&] {
    objects_.clear();
    objects_.reserve(count);
    for (ULONG i = 0; i < count; ++i) {
      if (!objects[i]) continue;
      objects_.emplace_back().retain(objects[i]);
    }
    return S_OK;
  });
}

STDMETHODIMP PropertyPage::Show(UINT cmd) {
  if (!dialog_) return E_UNEXPECTED;
  ShowWindow(dialog_, static_cast<int>(cmd));
  return S_OK;
}

STDMETHODIMP PropertyPage::Move(LPCRECT rect) {
  if (!rect) return E_POINTER;
  if (!dialog_) return E_UNEXPECTED;
  MoveWindow(dialog_, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
  return S_OK;
}

STDMETHODIMP PropertyPage::IsPageDirty() { return S_FALSE; }  // no fields, never dirty

STDMETHODIMP PropertyPage::Apply() { return S_OK; }

STDMETHODIMP PropertyPage::Help(LPCOLESTR) { return E_NOTIMPL; }  // the page has no help

STDMETHODIMP PropertyPage::TranslateAccelerator(MSG* msg) {
  if (!msg) return E_POINTER;
  // Tab and arrow keys move within the page.
  return dialog_ && IsDialogMessageW(dialog_, msg) ? S_OK : S_FALSE;
}

}  // namespace kelo::com
