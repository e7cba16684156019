#include "control/com/registration.h"

#include <comcat.h>
#include <objbase.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "common/build.h"
#include "control/com/class_factory.h"
#include "control/com/com_ids.h"
#include "control/com/com_util.h"
#include "control/com/control_object.h"
#include "control/com/module.h"
#include "control/com/resource.h"

namespace kelo::com {
namespace {

// The platform's published category identifiers and the descriptions that
// go with them.
constexpr GUID kCatidSafeForInitializing = {
    0x7DD95802, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
constexpr GUID kCatidSafeForScripting = {
    0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}};
constexpr wchar_t kSafeForInitializingText[] = L"Controls safely initializable from persistent data!";
constexpr wchar_t kSafeForScriptingText[] = L"Controls safely scriptable!";
constexpr LCID kCategoryLocale = 0x0409;

// The registry entry of this build's type library beside a 16-bit one.
constexpr const wchar_t* kTypeLibPlatformEntry = kelo::kWideBuild ? L"win64" : L"win32";

// Registration may run on a thread where COM is not started (a setup
// program); the category manager needs it.
class ScopedComInit {
 public:
  ScopedComInit() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ScopedComInit(const ScopedComInit&) = delete;
  ScopedComInit& operator=(const ScopedComInit&) = delete;
  ~ScopedComInit() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }

 private:
  HRESULT hr_;
};

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// The module path written into the class entries: the short form where the
// file system has one.
std::wstring ShortModulePath() {
  std::wstring full = ModulePath();
  if (full.empty()) return full;
  DWORD n = GetShortPathNameW(full.c_str(), nullptr, 0);
  if (n == 0) return full;
  std::wstring shortPath(n, L'\0');
  DWORD written = GetShortPathNameW(full.c_str(), shortPath.data(), n);
  if (written == 0 || written >= n) return full;
  shortPath.resize(written);
  return shortPath;
}

bool IsAbsent(LONG err) { return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND; }

HRESULT FromWin32(LONG err) { return err == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(err)); }

// One string value under HKEY_CLASSES_ROOT; a null name is the default value.
struct Entry {
  std::wstring key;
  const wchar_t* name;
  std::wstring value;
};

HRESULT WriteEntries(const std::vector<Entry>& entries) {
  for (const Entry& e : entries) {
    RegKey key;
    LONG err = RegCreateKeyExW(HKEY_CLASSES_ROOT, e.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                               nullptr, key.put(), nullptr);
    if (err != ERROR_SUCCESS) return FromWin32(err);
    const auto bytes = static_cast<DWORD>((e.value.size() + 1) * sizeof(wchar_t));
    err = RegSetValueExW(key.get(), e.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(e.value.c_str()), bytes);
    if (err != ERROR_SUCCESS) return FromWin32(err);
  }
  return S_OK;
}

bool KeyExists(const std::wstring& path) {
  RegKey key;
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// Removes a key with everything below it; an absent key counts as removed.
LONG DeleteTree(HKEY root, const std::wstring& path) {
  LONG err = RegDeleteTreeW(root, path.c_str());
  return IsAbsent(err) ? ERROR_SUCCESS : err;
}

// A class's own key: all of it, unless a 16-bit server shares it, in which
// case only the 32-bit server entries go.
HRESULT RemoveClassKey(const std::wstring& clsidKey) {
  if (KeyExists(clsidKey + L"\\InprocServer")) {
    LONG err = DeleteTree(HKEY_CLASSES_ROOT, clsidKey + L"\\InprocServer32");
    if (err == ERROR_SUCCESS) err = DeleteTree(HKEY_CLASSES_ROOT, clsidKey + L"\\ToolboxBitmap32");
    return FromWin32(err);
  }
  return FromWin32(DeleteTree(HKEY_CLASSES_ROOT, clsidKey));
}

std::vector<std::wstring> SubkeyNames(HKEY key) {
  std::vector<std::wstring> names;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD len = 256;
    LONG err = RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (err != ERROR_SUCCESS) break;  // ERROR_NO_MORE_ITEMS, or a key we cannot read
    names.emplace_back(name, len);
  }
  return names;
}

// ------------------------------------------------------------ type library

HRESULT RegisterTypeLibrary() {
  std::wstring path = ModulePath();
  if (path.empty()) return SELFREG_E_TYPELIB;
  ComPtr<ITypeLib> lib;
  if (FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.put()))) return SELFREG_E_TYPELIB;
  TLIBATTR* attr = nullptr;
  if (FAILED(lib->GetLibAttr(&attr)) || !attr) return SELFREG_E_TYPELIB;
  const bool ours = IsEqualGUID(attr->guid, kLibId);
  lib->ReleaseTLibAttr(attr);
  if (!ours) return SELFREG_E_TYPELIB;
  if (FAILED(RegisterTypeLib(lib.get(), path.data(), nullptr))) return SELFREG_E_TYPELIB;
  return S_OK;
}

// The interface identifiers (dispatch and plain) of a library.
std::vector<IID> InterfacesOf(ITypeLib* lib) {
  std::vector<IID> iids;
  const UINT count = lib->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    TYPEKIND kind{};
    if (FAILED(lib->GetTypeInfoType(i, &kind)) || (kind != TKIND_DISPATCH && kind != TKIND_INTERFACE)) continue;
    ComPtr<ITypeInfo> info;
    if (FAILED(lib->GetTypeInfo(i, info.put()))) continue;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr)) || !attr) continue;
    iids.push_back(attr->guid);
    info->ReleaseTypeAttr(attr);
  }
  return iids;
}

// Removes the LIBID's whole key, every version with it, except where a
// version and locale also hold a 16-bit entry: there only this platform's
// entry goes.
LONG RemoveTypeLibKeys() {
  const std::wstring libKey = L"TypeLib\\" + GuidText(kLibId);
  RegKey lib;
  LONG err = RegOpenKeyExW(HKEY_CLASSES_ROOT, libKey.c_str(), 0, KEY_READ, lib.put());
  if (IsAbsent(err)) return ERROR_SUCCESS;
  if (err != ERROR_SUCCESS) return err;
  bool keptAny = false;
  for (const std::wstring& version : SubkeyNames(lib.get())) {
    const std::wstring versionKey = libKey + L"\\" + version;
    RegKey ver;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, versionKey.c_str(), 0, KEY_READ, ver.put()) != ERROR_SUCCESS) continue;
    bool keepVersion = false;
    for (const std::wstring& locale : SubkeyNames(ver.get())) {
      const std::wstring localeKey = versionKey + L"\\" + locale;
      if (!KeyExists(localeKey + L"\\win16")) continue;
      keepVersion = true;
      err = DeleteTree(HKEY_CLASSES_ROOT, localeKey + L"\\" + kTypeLibPlatformEntry);
      if (err != ERROR_SUCCESS) return err;
    }
    if (keepVersion) {
      keptAny = true;
    } else {
      err = DeleteTree(HKEY_CLASSES_ROOT, versionKey);
      if (err != ERROR_SUCCESS) return err;
    }
  }
  return keptAny ? ERROR_SUCCESS : DeleteTree(HKEY_CLASSES_ROOT, libKey);
}

HRESULT UnregisterTypeLibrary() {
  // The interfaces' keys outlive the library's only if some other version
  // can still be loaded; learn them while the library is still there.
  std::vector<IID> interfaces;
  bool wasRegistered = false;
  {
    ComPtr<ITypeLib> lib;
    if (SUCCEEDED(LoadRegTypeLib(kLibId, kLibVersionMajor, kLibVersionMinor, kLibLocale, lib.put()))) {
      wasRegistered = true;
      interfaces = InterfacesOf(lib.get());
    }
  }
  if (RemoveTypeLibKeys() != ERROR_SUCCESS) return SELFREG_E_TYPELIB;
  if (wasRegistered) {
    ComPtr<ITypeLib> still;
    if (FAILED(LoadRegTypeLib(kLibId, kLibVersionMajor, kLibVersionMinor, kLibLocale, still.put()))) {
      for (const IID& iid : interfaces) {
        if (DeleteTree(HKEY_CLASSES_ROOT, L"Interface\\" + GuidText(iid)) != ERROR_SUCCESS) return SELFREG_E_TYPELIB;
      }
    }
  }
  return S_OK;
}

// ------------------------------------------------------------ categories

// Each step makes its own category manager, as a setup program may run them
// one at a time.
template <typename F>
HRESULT WithCategoryManager(F&& f) {
  ComPtr<ICatRegister> reg;
  HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                reg.put_void());
  if (FAILED(hr)) return hr;
  return f(reg.get());
}

HRESULT RegisterCategory(const CATID& catid, const wchar_t* description) {
  return WithCategoryManager([&](ICatRegister* reg) {
    CATEGORYINFO info{};
    info.catid = catid;
    info.lcid = kCategoryLocale;
    // The description field holds 127 characters and a terminator.
    const std::size_t max = sizeof info.szDescription / sizeof info.szDescription[0] - 1;
    std::size_t n = 0;
    for (; n < max && description[n]; ++n) info.szDescription[n] = description[n];
    info.szDescription[n] = L'\0';
    return reg->RegisterCategories(1, &info);
  });
}

HRESULT AddClassToCategory(const CLSID& clsid, const CATID& catid) {
  return WithCategoryManager([&](ICatRegister* reg) {
    CATID ids[1] = {catid};
    return reg->RegisterClassImplCategories(clsid, 1, ids);
  });
}

HRESULT RemoveClassFromCategory(const CLSID& clsid, const CATID& catid) {
  return WithCategoryManager([&](ICatRegister* reg) {
    CATID ids[1] = {catid};
    return reg->UnRegisterClassImplCategories(clsid, 1, ids);
  });
}

}  // namespace

HRESULT UpdateControlRegistry(bool install) {
  const std::wstring clsidKey = L"CLSID\\" + GuidText(kControlClsid);
  const std::wstring progId = kControlProgId;
  if (!install) {
    HRESULT hr = RemoveClassKey(clsidKey);
    HRESULT progHr = FromWin32(DeleteTree(HKEY_CLASSES_ROOT, progId));
    return FAILED(hr) ? hr : progHr;
  }
  const std::wstring name = ResourceString(IDS_KELOCAACTIVEX);
  const std::wstring path = ShortModulePath();
  if (name.empty() || path.empty()) return E_FAIL;
  const std::wstring clsid = GuidText(kControlClsid);
  return WriteEntries({
      {progId, nullptr, name},
      {progId + L"\\CLSID", nullptr, clsid},
      {clsidKey, nullptr, name},
      {clsidKey + L"\\ProgID", nullptr, progId},
      {clsidKey + L"\\InprocServer32", nullptr, path},
      {clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {clsidKey + L"\\ToolboxBitmap32", nullptr, path + L", " + std::to_wstring(IDB_KELOCAACTIVEX)},
      {clsidKey + L"\\MiscStatus", nullptr, L"0"},
      // Decimal, as hosts read it.
      {clsidKey + L"\\MiscStatus\\1", nullptr, std::to_wstring(kControlMiscStatus)},
      {clsidKey + L"\\Control", nullptr, L""},
      {clsidKey + L"\\TypeLib", nullptr, GuidText(kLibId)},
      {clsidKey + L"\\Version", nullptr,
       std::to_wstring(kLibVersionMajor) + L"." + std::to_wstring(kLibVersionMinor)},
  });
}

HRESULT UpdatePageRegistry(bool install) {
  const std::wstring clsidKey = L"CLSID\\" + GuidText(kPageClsid);
  if (!install) return RemoveClassKey(clsidKey);
  const std::wstring name = ResourceString(IDS_KELOCAACTIVEX_PPG);
  const std::wstring path = ShortModulePath();
  if (name.empty() || path.empty()) return E_FAIL;
  HRESULT hr = WriteEntries({
      {clsidKey, nullptr, name},
      {clsidKey + L"\\InprocServer32", nullptr, path},
  });
  if (FAILED(hr)) return hr;
  // The page has no threading model; drop one that an earlier registration left.
  RegKey server;
  LONG err = RegOpenKeyExW(HKEY_CLASSES_ROOT, (clsidKey + L"\\InprocServer32").c_str(), 0, KEY_SET_VALUE,
                           server.put());
  if (err == ERROR_SUCCESS) err = RegDeleteValueW(server.get(), L"ThreadingModel");
  return IsAbsent(err) ? S_OK : FromWin32(err);
}

HRESULT RegisterServer() {
  ScopedComInit com;
  if (FAILED(RegisterTypeLibrary())) return SELFREG_E_TYPELIB;
  bool classFailed = false;
  for (ClassFactory* factory : ClassFactories()) {
    if (FAILED(factory->UpdateRegistry(true))) classFailed = true;  // the others are still attempted
  }
  if (classFailed) return SELFREG_E_CLASS;
  HRESULT hr = RegisterCategory(kCatidSafeForInitializing, kSafeForInitializingText);
  if (FAILED(hr)) return hr;
  hr = AddClassToCategory(kControlClsid, kCatidSafeForInitializing);
  if (FAILED(hr)) return hr;
  hr = RegisterCategory(kCatidSafeForScripting, kSafeForScriptingText);
  if (FAILED(hr)) return hr;
  hr = AddClassToCategory(kControlClsid, kCatidSafeForScripting);
  if (FAILED(hr)) return hr;
  return S_OK;
}

HRESULT UnregisterServer() {
  ScopedComInit com;
  // The category descriptions stay: other controls may be members.
  HRESULT hr = RemoveClassFromCategory(kControlClsid, kCatidSafeForInitializing);
  if (FAILED(hr)) return hr;
  hr = RemoveClassFromCategory(kControlClsid, kCatidSafeForScripting);
  if (FAILED(hr)) return hr;
  if (FAILED(UnregisterTypeLibrary())) return SELFREG_E_TYPELIB;
  bool classFailed = false;
  for (ClassFactory* factory : ClassFactories()) {
    if (FAILED(factory->UpdateRegistry(false))) classFailed = true;
  }
  return classFailed ? SELFREG_E_CLASS : S_OK;
}

}  // namespace kelo::com
