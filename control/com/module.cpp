#include "control/com/module.h"

#include <oleauto.h>

#include <atomic>

#include "control/com/com_ids.h"
#include "control/com/com_util.h"

namespace kelo::com {
namespace {

HINSTANCE g_instance = nullptr;
std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};
std::atomic<long> g_classObjectRefs{0};

}  // namespace

void SetModuleInstance(HINSTANCE instance) { g_instance = instance; }
HINSTANCE ModuleInstance() { return g_instance; }

ModuleObjectCount::ModuleObjectCount() { ++g_objects; }
ModuleObjectCount::~ModuleObjectCount() { --g_objects; }

void LockModule() { ++g_locks; }
void UnlockModule() { --g_locks; }
void ClassObjectAddRef() { ++g_classObjectRefs; }
void ClassObjectRelease() { --g_classObjectRefs; }

bool ModuleCanUnload() { return g_objects == 0 && g_locks == 0 && g_classObjectRefs == 0; }

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(g_instance, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);  // cut off: try a larger buffer
  }
}

std::wstring ResourceString(UINT id) {
  // With a zero length LoadStringW hands out a pointer into the resource.
  const wchar_t* text = nullptr;
  int n = LoadStringW(g_instance, id, reinterpret_cast<LPWSTR>(&text), 0);
  if (n <= 0 || !text) return {};
  return std::wstring(text, static_cast<std::size_t>(n));
}

HRESULT LoadControlTypeLib(LCID lcid, ITypeLib** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (SUCCEEDED(LoadRegTypeLib(kLibId, kLibVersionMajor, kLibVersionMinor, lcid, out))) return S_OK;
  if (lcid != kLibLocale && SUCCEEDED(LoadRegTypeLib(kLibId, kLibVersionMajor, kLibVersionMinor, kLibLocale, out)))
    return S_OK;
  // Not registered (or registered elsewhere): the module carries its own copy.
  std::wstring path = ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  return LoadTypeLibEx(path.c_str(), REGKIND_NONE, out);
}

HRESULT LoadControlTypeInfo(LCID lcid, REFGUID guid, ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ComPtr<ITypeLib> lib;
  HRESULT hr = LoadControlTypeLib(lcid, lib.put());
  if (FAILED(hr)) return hr;
  return lib->GetTypeInfoOfGuid(guid, out);
}

}  // namespace kelo::com
