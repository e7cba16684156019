// Persistence of the control's state through streams and property bags, and
// its class information.
#include "control/com/control_object.h"

#include <oleauto.h>

#include "control/com/com_ids.h"
#include "control/com/com_util.h"

namespace kelo::com {
namespace {

constexpr int kHimetricPerInch = 2540;
constexpr int kDesignDpi = 96;

void PutLE32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t GetLE32(const std::uint8_t* p) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(p[i]) << (8 * i);
  return v;
}

// Reads n bytes or fails: a stream may hand out fewer than asked.
bool ReadAll(IStream* stream, std::uint8_t* out, ULONG n) {
  while (n > 0) {
    ULONG got = 0;
    HRESULT hr = stream->Read(out, n, &got);
    if (FAILED(hr) || got == 0 || got > n) return false;
    out += got;
    n -= got;
  }
  return true;
}

HRESULT WriteAll(IStream* stream, const std::uint8_t* data, ULONG n) {
  while (n > 0) {
    ULONG put = 0;
    HRESULT hr = stream->Write(data, n, &put);
    if (FAILED(hr)) return hr;
    if (put == 0 || put > n) return STG_E_CANTSAVE;
    data += put;
    n -= put;
  }
  return S_OK;
}

// A bag entry as a long; false when absent or not convertible.
bool ReadLong(IPropertyBag* bag, const wchar_t* name, IErrorLog* log, std::int32_t& out) {
  Variant value;
  V_VT(value.get()) = VT_I4;  // the type we would like; bags may answer with text
  if (FAILED(bag->Read(name, value.get(), log))) return false;
  Variant asLong;
  if (FAILED(VariantChangeType(asLong.get(), value.get(), 0, VT_I4))) return false;
  out = V_I4(asLong.get());
  return true;
}

HRESULT WriteLong(IPropertyBag* bag, const wchar_t* name, std::int32_t v) {
  VARIANT value;
  VariantInit(&value);
  V_VT(&value) = VT_I4;
  V_I4(&value) = v;
  return bag->Write(name, &value);
}

}  // namespace

std::int32_t PixelsToHimetric(int pixels) { return MulDiv(pixels, kHimetricPerInch, kDesignDpi); }

PersistedState PersistedState::Defaults() {
  PersistedState s;
  s.extentX = PixelsToHimetric(kDefaultPixels);
  s.extentY = PixelsToHimetric(kDefaultPixels);
  return s;
}

void PersistedState::Encode(std::uint8_t (&out)[kStreamSize]) const {
  PutLE32(out, kVersion);
  PutLE32(out + 4, static_cast<std::uint32_t>(extentX));
  PutLE32(out + 8, static_cast<std::uint32_t>(extentY));
  PutLE32(out + 12, static_cast<std::uint32_t>(kStockProps));
}

bool PersistedState::Decode(const std::uint8_t (&in)[kStreamSize]) {
  const std::uint32_t version = GetLE32(in);
  if ((version >> 16) > (kVersion >> 16)) return false;
  const auto x = static_cast<std::int32_t>(GetLE32(in + 4));
  const auto y = static_cast<std::int32_t>(GetLE32(in + 8));
  if (x <= 0 || y <= 0) return false;
  // The stock-property mask is not read back: the control uses none.
  extentX = x;
  extentY = y;
  return true;
}

STDMETHODIMP ControlObject::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = kControlClsid;
  return S_OK;
}

STDMETHODIMP ControlObject::IsDirty() { return dirty_ ? S_OK : S_FALSE; }

STDMETHODIMP ControlObject::InitNew() {
  ResetState();
  initialised_ = true;
  return S_OK;
}

STDMETHODIMP ControlObject::Load(IStream* stream) {
  if (!stream) return E_POINTER;
  std::uint8_t bytes[PersistedState::kStreamSize] = {};
  PersistedState loaded;
  const bool ok = ReadAll(stream, bytes, sizeof bytes) && loaded.Decode(bytes);
  // Even a failed load leaves a usable control: the host learns of the
  // failure, the scripts find the control initialised.
  ResetState();
  initialised_ = true;
  if (!ok) return E_FAIL;
  state_ = loaded;
  return S_OK;
}

STDMETHODIMP ControlObject::Save(IStream* stream, BOOL clearDirty) {
  if (!stream) return E_POINTER;
  std::uint8_t bytes[PersistedState::kStreamSize];
  state_.Encode(bytes);
  HRESULT hr = WriteAll(stream, bytes, sizeof bytes);
  if (SUCCEEDED(hr) && clearDirty) dirty_ = false;
  return hr;
}

STDMETHODIMP ControlObject::GetSizeMax(ULARGE_INTEGER* size) {
  if (!size) return E_POINTER;
  size->QuadPart = PersistedState::kStreamSize;
  return S_OK;
}

STDMETHODIMP ControlObject::Load(IPropertyBag* bag, IErrorLog* log) {
  if (!bag) return E_POINTER;
  return Guarded([&] {
    ResetState();
    // Entries that are missing or unusable keep their defaults; the version
    // and the stock-property mask change nothing in this version.
    std::int32_t x = 0, y = 0;
    if (ReadLong(bag, L"_ExtentX", log, x) && x > 0) state_.extentX = x;
    if (ReadLong(bag, L"_ExtentY", log, y) && y > 0) state_.extentY = y;
    initialised_ = true;
    return S_OK;
  });
}

STDMETHODIMP ControlObject::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) {
  if (!bag) return E_POINTER;
  HRESULT hr = WriteLong(bag, L"_Version", static_cast<std::int32_t>(PersistedState::kVersion));
  if (SUCCEEDED(hr)) hr = WriteLong(bag, L"_ExtentX", state_.extentX);
  if (SUCCEEDED(hr)) hr = WriteLong(bag, L"_ExtentY", state_.extentY);
  if (SUCCEEDED(hr)) hr = WriteLong(bag, L"_StockProps", PersistedState::kStockProps);
  if (SUCCEEDED(hr) && clearDirty) dirty_ = false;
  return hr;
}

STDMETHODIMP ControlObject::GetClassInfo(ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  return Guarded([&] { return LoadControlTypeInfo(LOCALE_NEUTRAL, kControlClsid, info); });
}

}  // namespace kelo::com
