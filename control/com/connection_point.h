// The control's one connection point, for its event dispinterface. The
// control fires no events, but hosts connect their event sinks all the same
// and expect Advise, Unadvise and EnumConnections to work.
//
// The connection point lives inside the control object and shares its
// reference count: holding the connection point keeps the control (and so
// the module) alive.
#ifndef KELO_CONTROL_COM_CONNECTION_POINT_H
#define KELO_CONTROL_COM_CONNECTION_POINT_H

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <vector>

#include "control/com/com_util.h"

namespace kelo::com {

class EventConnectionPoint final : public IConnectionPoint {
 public:
  // owner: the control's identity; iid: the event interface.
  EventConnectionPoint(IUnknown& owner, const IID& iid) : owner_(owner), iid_(iid) {}
  EventConnectionPoint(const EventConnectionPoint&) = delete;
  EventConnectionPoint& operator=(const EventConnectionPoint&) = delete;

  // Drops every connection (Close, destruction).
  void DisconnectAll();
  std::size_t ConnectionCount() const { return sinks_.size(); }

  // IUnknown: the owner's count.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return owner_.AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return owner_.Release(); }

  // IConnectionPoint
  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** out) override;

 private:
  struct Connection {
    DWORD cookie;
    ComPtr<IUnknown> sink;
  };

  IUnknown& owner_;
  const IID& iid_;
  std::vector<Connection> sinks_;
  DWORD nextCookie_ = 1;
};

// Enumerators over a control's connection points and over one point's
// connections.
HRESULT CreateConnectionPointEnum(IConnectionPoint* const* points, std::size_t count, IEnumConnectionPoints** out);

}  // namespace kelo::com

#endif
