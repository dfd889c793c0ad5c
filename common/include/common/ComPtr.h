// ComPtr<T>: the one owner of an interface reference. Copying AddRefs, destruction Releases;
// nothing else in the code base calls Release by hand.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <cstddef>
#include <utility>

namespace common {

template <class T>
class ComPtr {
 public:
  using Interface = T;

  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes a new reference (AddRef). Use Attach() to adopt one already owned.
  ComPtr(T* p) noexcept : p_(p) { AddRefIf(); }
  ComPtr(const ComPtr& o) noexcept : p_(o.p_) { AddRefIf(); }
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  // From a pointer to a derived interface/class (implicit upcast, AddRef).
  template <class U>
  ComPtr(const ComPtr<U>& o) noexcept : p_(o.Get()) { AddRefIf(); }
  ~ComPtr() { Reset(); }

  ComPtr& operator=(const ComPtr& o) noexcept {
    ComPtr(o).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& o) noexcept {
    ComPtr(std::move(o)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(T* p) noexcept {
    ComPtr(p).Swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }

  T* Get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // For out-parameters: the slot must be empty (it is not released first).
  T** GetAddressOf() noexcept { return &p_; }
  // For out-parameters into a pointer that may already hold something.
  T** ReleaseAndGetAddressOf() noexcept {
    Reset();
    return &p_;
  }
  // void** view for QueryInterface-style calls: releases what is held first.
  void** PutVoid() noexcept { return reinterpret_cast<void**>(ReleaseAndGetAddressOf()); }

  void Reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Adopts a reference the caller already owns (no AddRef).
  void Attach(T* p) noexcept {
    Reset();
    p_ = p;
  }
  // Gives up ownership without Release.
  [[nodiscard]] T* Detach() noexcept { return std::exchange(p_, nullptr); }
  void Swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

  // Hands out a new reference through an out-parameter (S_OK, or E_POINTER for a null slot).
  HRESULT CopyTo(T** out) const noexcept {
    if (!out) return E_POINTER;
    *out = p_;
    if (p_) p_->AddRef();
    return S_OK;
  }
  // QueryInterface for an interface of this object into `out` (E_POINTER if nothing is held).
  template <class U>
  HRESULT As(ComPtr<U>* out) const noexcept {
    if (!out) return E_POINTER;
    if (!p_) {
      out->Reset();
      return E_POINTER;
    }
    return p_->QueryInterface(__uuidof(U), out->PutVoid());
  }
  HRESULT AsIid(REFIID iid, void** out) const noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!p_) return E_POINTER;
    return p_->QueryInterface(iid, out);
  }
  // Convenience: the queried interface, empty when the object does not have it.
  template <class U>
  ComPtr<U> Query() const noexcept {
    ComPtr<U> r;
    As(&r);
    return r;
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept { return a.p_ == b.p_; }
  friend bool operator==(const ComPtr& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

 private:
  void AddRefIf() noexcept {
    if (p_) p_->AddRef();
  }
  T* p_ = nullptr;
};

// Adopts a reference the caller already owns: ComPtr<IFoo> f = Adopt(rawFromApi).
template <class T>
ComPtr<T> Adopt(T* p) noexcept {
  ComPtr<T> r;
  r.Attach(p);
  return r;
}

// COM identity: true when both pointers reach the same object (their IUnknowns are equal).
inline bool SameObject(IUnknown* a, IUnknown* b) noexcept {
  if (a == b) return true;
  if (!a || !b) return false;
  IUnknown* ua = nullptr;
  IUnknown* ub = nullptr;
  bool same = SUCCEEDED(a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ua))) &&
              SUCCEEDED(b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ub))) && ua == ub;
  if (ua) ua->Release();
  if (ub) ub->Release();
  return same;
}

// CoCreateInstance into a ComPtr.
template <class T>
HRESULT CreateInstance(REFCLSID clsid, ComPtr<T>* out, DWORD context = CLSCTX_ALL,
                       IUnknown* outer = nullptr) noexcept {
  if (!out) return E_POINTER;
  return CoCreateInstance(clsid, outer, context, __uuidof(T), out->PutVoid());
}

}  // namespace common
