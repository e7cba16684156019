// Small RAII types over the COM, automation and registry C APIs, and the
// guard that keeps C++ exceptions from crossing a COM boundary.
#ifndef KELO_CONTROL_COM_COM_UTIL_H
#define KELO_CONTROL_COM_COM_UTIL_H

#include <windows.h>
#include <oleauto.h>

#include <new>
#include <utility>

namespace kelo::com {

// Runs f and turns anything it throws into an HRESULT: nothing may unwind
// through a COM method or a module export.
template <typename F>
HRESULT Guarded(F&& f) noexcept {
  try {
    return std::forward<F>(f)();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// An owned interface pointer.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& o) noexcept {
    reset();
    p_ = std::exchange(o.p_, nullptr);
    return *this;
  }
  ~ComPtr() { reset(); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out-parameters: releases the current pointer first.
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  T* detach() { return std::exchange(p_, nullptr); }
  // Shares p: takes a reference of its own.
  void retain(T* p) {
    if (p) p->AddRef();
    reset();
    p_ = p;
  }
  void reset() {
    if (p_) std::exchange(p_, nullptr)->Release();
  }

 private:
  T* p_ = nullptr;
};

// An owned automation string.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(BSTR b) : b_(b) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(b_); }
  BSTR get() const { return b_; }
  BSTR* put() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  BSTR detach() { return std::exchange(b_, nullptr); }

 private:
  BSTR b_ = nullptr;
};

// A VARIANT that is cleared when it goes away.
class Variant {
 public:
  Variant() { VariantInit(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&v_); }
  VARIANT* get() { return &v_; }
  const VARIANT& operator*() const { return v_; }

 private:
  VARIANT v_;
};

// An open registry key.
class RegKey {
 public:
  RegKey() = default;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey() {
    if (h_) RegCloseKey(h_);
  }
  HKEY get() const { return h_; }
  HKEY* put() {
    if (h_) RegCloseKey(h_);
    h_ = nullptr;
    return &h_;
  }

 private:
  HKEY h_ = nullptr;
};

}  // namespace kelo::com

#endif
