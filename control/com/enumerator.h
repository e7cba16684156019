// An IEnumXxx object over a snapshot of items: the verbs, the connection
// points and the connections each hand one out. Every enumerator counts as a
// live object of the module, so DllCanUnloadNow waits for it.
#ifndef KELO_CONTROL_COM_ENUMERATOR_H
#define KELO_CONTROL_COM_ENUMERATOR_H

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "control/com/com_util.h"
#include "control/com/module.h"

namespace kelo::com {

// Traits: the interface and its IID, the item type, and how an item is
// copied out to a caller (taking whatever references or allocations the
// caller then owns) and freed when a copy-out fails part way.
//   using Interface = IEnumXxx; using Item = XXX; static const IID& Iid();
//   static HRESULT CopyOut(const Item& from, Item& to); static void Free(Item&);
// The snapshot itself is shared by clones and owns its items through Owner.
template <typename Traits>
class Enumerator final : public Traits::Interface {
 public:
  using Item = typename Traits::Item;
  // Holds the items and whatever keeps them valid (references, strings).
  struct Snapshot {
    std::vector<Item> items;
    std::vector<ComPtr<IUnknown>> keepAlive;
    std::vector<std::wstring> strings;
  };

  static HRESULT Create(std::shared_ptr<const Snapshot> snapshot, typename Traits::Interface** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guarded([&] {
      *out = new Enumerator(std::move(snapshot), 0);
      return S_OK;
    });
  }

  Enumerator(const Enumerator&) = delete;
  Enumerator& operator=(const Enumerator&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, Traits::Iid())) {
      *ppv = static_cast<typename Traits::Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

  STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
    if (fetched) *fetched = 0;
    if (count == 0) return S_OK;
    if (!out) return E_POINTER;
    // Only a request for one item may leave the fetched count out.
    if (count > 1 && !fetched) return E_INVALIDARG;
    const auto& items = snapshot_->items;
    ULONG n = 0;
    while (n < count && next_ < items.size()) {
      HRESULT hr = Traits::CopyOut(items[next_], out[n]);
      if (FAILED(hr)) {
        for (ULONG i = 0; i < n; ++i) Traits::Free(out[i]);
        return hr;
      }
      ++n;
      ++next_;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    const std::size_t left = snapshot_->items.size() - next_;
    if (count > left) {
      next_ = snapshot_->items.size();
      return S_FALSE;
    }
    next_ += count;
    return S_OK;
  }
  STDMETHODIMP Reset() override {
    next_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(typename Traits::Interface** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Guarded([&] {
      *out = new Enumerator(snapshot_, next_);
      return S_OK;
    });
  }

 private:
  Enumerator(std::shared_ptr<const Snapshot> snapshot, std::size_t next)
      : snapshot_(std::move(snapshot)), next_(next) {}
  ~Enumerator() = default;

  ModuleObjectCount counted_;
  std::atomic<ULONG> refs_{1};
  std::shared_ptr<const Snapshot> snapshot_;
  std::size_t next_;
};

}  // namespace kelo::com

#endif
