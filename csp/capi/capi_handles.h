// Owners of CryptoAPI handles: one deleter per release function, so every
// path out of a store operation gives back what it acquired, in reverse
// order of acquisition when members and locals are declared in that order.
#ifndef KELO_CSP_CAPI_CAPI_HANDLES_H
#define KELO_CSP_CAPI_CAPI_HANDLES_H

#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <utility>

namespace kelo::csp::capi {

struct CloseStore {
  void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
struct FreeCertificate {
  void operator()(PCCERT_CONTEXT cert) const { CertFreeCertificateContext(cert); }
};
struct ReleaseProvider {
  void operator()(HCRYPTPROV prov) const { CryptReleaseContext(prov, 0); }
};
struct DestroyKey {
  void operator()(HCRYPTKEY key) const { CryptDestroyKey(key); }
};
struct DestroyHash {
  void operator()(HCRYPTHASH hash) const { CryptDestroyHash(hash); }
};

// The store and certificate handles are pointers.
using StoreHandle = std::unique_ptr<void, CloseStore>;
using CertHandle = std::unique_ptr<const CERT_CONTEXT, FreeCertificate>;

// Provider, key and hash handles are integers (0 = none), which
// std::unique_ptr cannot hold.
template <typename Handle, typename Release>
class Owned {
 public:
  Owned() = default;
  explicit Owned(Handle handle) : handle_(handle) {}
  Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, Handle{})) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, Handle{});
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != Handle{}; }
  void reset(Handle handle = Handle{}) {
    if (handle_ != Handle{}) Release{}(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_{};
};

using ProviderHandle = Owned<HCRYPTPROV, ReleaseProvider>;
using KeyHandle = Owned<HCRYPTKEY, DestroyKey>;
using HashHandle = Owned<HCRYPTHASH, DestroyHash>;

}  // namespace kelo::csp::capi

#endif
