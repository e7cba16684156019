#include "control/com/connection_point.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "control/com/enumerator.h"

namespace kelo::com {
namespace {

struct ConnectionsTraits {
  using Interface = IEnumConnections;
  using Item = CONNECTDATA;
  static const IID& Iid() { return IID_IEnumConnections; }
  static HRESULT CopyOut(const CONNECTDATA& from, CONNECTDATA& to) {
    to = from;
    if (to.pUnk) to.pUnk->AddRef();
    return S_OK;
  }
  static void Free(CONNECTDATA& item) {
    if (item.pUnk) item.pUnk->Release();
    item.pUnk = nullptr;
  }
};

struct PointsTraits {
  using Interface = IEnumConnectionPoints;
  using Item = IConnectionPoint*;
  static const IID& Iid() { return IID_IEnumConnectionPoints; }
  static HRESULT CopyOut(IConnectionPoint* const& from, IConnectionPoint*& to) {
    to = from;
    to->AddRef();
    return S_OK;
  }
  static void Free(IConnectionPoint*& item) {
    item->Release();
    item = nullptr;
  }
};

}  // namespace

void EventConnectionPoint::DisconnectAll() {
  // Moved out first: a sink's Release may call back into the control.
  std::vector<Connection> gone = std::move(sinks_);
  sinks_.clear();
}

STDMETHODIMP EventConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP EventConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = iid_;
  return S_OK;
}

STDMETHODIMP EventConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  return owner_.QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(out));
}

STDMETHODIMP EventConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!sink) return E_POINTER;
  // A sink for a dispinterface may answer only for IDispatch.
  ComPtr<IUnknown> held;
  if (FAILED(sink->QueryInterface(iid_, held.put_void())) &&
      FAILED(sink->QueryInterface(IID_IDispatch, held.put_void())))
    return CONNECT_E_CANNOTCONNECT;
  return Guarded([&] {
    if (nextCookie_ == 0) ++nextCookie_;  // 0 is never a valid cookie
    sinks_.push_back({nextCookie_, std::move(held)});
    *cookie = nextCookie_++;
    return S_OK;
  });
}

STDMETHODIMP EventConnectionPoint::Unadvise(DWORD cookie) {
  auto it = std::find_if(sinks_.begin(), sinks_.end(), [&](const Connection& c) { return c.cookie == cookie; });
  if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
  ComPtr<IUnknown> gone = std::move(it->sink);
  sinks_.erase(it);
  return S_OK;
}

STDMETHODIMP EventConnectionPoint::EnumConnections(IEnumConnections** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guarded([&] {
    using Enum = Enumerator<ConnectionsTraits>;
    auto snapshot = std::make_shared<Enum::Snapshot>();
    for (const Connection& c : sinks_) {
      snapshot->keepAlive.emplace_back().retain(c.sink.get());
      snapshot->items.push_back({c.sink.get(), c.cookie});
    }
    return Enum::Create(std::move(snapshot), out);
  });
}

HRESULT CreateConnectionPointEnum(IConnectionPoint* const* points, std::size_t count, IEnumConnectionPoints** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guarded([&] {
    using Enum = Enumerator<PointsTraits>;
    auto snapshot = std::make_shared<Enum::Snapshot>();
    for (std::size_t i = 0; i < count; ++i) {
      ComPtr<IUnknown> keep;
      keep.retain(points[i]);
      snapshot->keepAlive.push_back(std::move(keep));
      snapshot->items.push_back(points[i]);
    }
    return Enum::Create(std::move(snapshot), out);
  });
}

}  // namespace kelo::com
