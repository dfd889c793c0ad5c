// SafeArray: the one owner of a one-dimensional SAFEARRAY, and SafeArrayAccess<T>, a scoped
// SafeArrayLock with bounds-checked element access (also reachable as common::SafeArrayLock<T>,
// which clashes with the API function under `using namespace common`). The automation boundary of this system uses
// lower bound 1 (that is the default here).
//
//   SafeArray a;
//   ThrowIfFailed(a.Create(VT_I4, 3));            // indices 1..3
//   { SafeArrayAccess<LONG> d(a); d.at(1) = 10; }   // at() takes the array's own index
//   *out = a.Detach();
#pragma once

#include "common/Errors.h"
#include "common/Variant.h"

#include <cstddef>
#include <stdexcept>
#include <utility>

namespace common {

class SafeArray {
 public:
  SafeArray() noexcept = default;
  SafeArray(const SafeArray&) = delete;
  SafeArray& operator=(const SafeArray&) = delete;
  SafeArray(SafeArray&& o) noexcept : a_(std::exchange(o.a_, nullptr)) {}
  SafeArray& operator=(SafeArray&& o) noexcept {
    if (this != &o) Attach(std::exchange(o.a_, nullptr));
    return *this;
  }
  ~SafeArray() { Reset(); }

  // A new vector of `count` elements of type vt, indices lowerBound .. lowerBound+count-1.
  // E_OUTOFMEMORY / E_INVALIDARG on failure (what was held is released first).
  HRESULT Create(VARTYPE vt, ULONG count, LONG lowerBound = 1) noexcept {
    Reset();
    SAFEARRAYBOUND b;
    b.cElements = count;
    b.lLbound = lowerBound;
    a_ = SafeArrayCreate(vt, 1, &b);
    return a_ ? S_OK : E_OUTOFMEMORY;
  }
  // A deep copy of an existing array (any dimension count).
  HRESULT CopyFrom(const SAFEARRAY* src) noexcept {
    Reset();
    if (!src) return S_OK;
    return SafeArrayCopy(const_cast<SAFEARRAY*>(src), &a_);
  }

  SAFEARRAY* Get() const noexcept { return a_; }
  explicit operator bool() const noexcept { return a_ != nullptr; }
  void Reset() noexcept {
    if (SAFEARRAY* a = std::exchange(a_, nullptr)) SafeArrayDestroy(a);
  }
  void Attach(SAFEARRAY* a) noexcept {
    Reset();
    a_ = a;
  }
  [[nodiscard]] SAFEARRAY* Detach() noexcept { return std::exchange(a_, nullptr); }
  SAFEARRAY** ReleaseAndGetAddressOf() noexcept {
    Reset();
    return &a_;
  }

  // Shape of the first dimension. An empty or null array has Count() 0.
  UINT Dimensions() const noexcept { return a_ ? SafeArrayGetDim(a_) : 0; }
  LONG LowerBound() const noexcept { return Bound(false, 0); }
  LONG UpperBound() const noexcept { return Bound(true, -1); }
  ULONG Count() const noexcept { return a_ && Dimensions() >= 1 ? a_->rgsabound[0].cElements : 0; }
  VARTYPE ElementType() const noexcept {
    VARTYPE vt = VT_EMPTY;
    if (a_) SafeArrayGetVartype(a_, &vt);
    return vt;
  }

  // Element copies with the array's own index; DISP_E_BADINDEX outside the bounds.
  // T matches the element type (LONG for VT_I4, BSTR for VT_BSTR, VARIANT for VT_VARIANT ...);
  // Get returns a copy the caller owns (a BSTR to free, a VARIANT to clear).
  template <class T>
  HRESULT Put(LONG index, const T& value) noexcept {
    if (!a_) return E_POINTER;
    if constexpr (std::is_pointer_v<T>)
      return SafeArrayPutElement(a_, &index, const_cast<void*>(static_cast<const void*>(value)));
    else
      return SafeArrayPutElement(a_, &index, const_cast<T*>(&value));
  }
  template <class T>
  HRESULT GetElement(LONG index, T* out) const noexcept {
    if (!a_) return E_POINTER;
    return SafeArrayGetElement(a_, &index, out);
  }
  // VARIANT elements as owned Variants.
  HRESULT PutVariant(LONG index, const VARIANT& v) noexcept {
    if (!a_) return E_POINTER;
    return SafeArrayPutElement(a_, &index, const_cast<VARIANT*>(&v));
  }
  HRESULT GetVariant(LONG index, Variant* out) const noexcept {
    if (!a_) return E_POINTER;
    if (!out) return E_POINTER;
    return SafeArrayGetElement(a_, &index, out->ReleaseAndGetAddressOf());
  }

  // Wraps the array into a VARIANT of VT_ARRAY|ElementType(); the array moves into it.
  Variant ToVariant() noexcept {
    Variant v;
    if (a_) {
      V_VT(&v) = static_cast<VARTYPE>(VT_ARRAY | ElementType());
      V_ARRAY(&v) = Detach();
    }
    return v;
  }

 private:
  LONG Bound(bool upper, LONG none) const noexcept {
    if (!a_ || Dimensions() < 1) return none;
    LONG b = none;
    if (FAILED(upper ? SafeArrayGetUBound(a_, 1, &b) : SafeArrayGetLBound(a_, 1, &b))) return none;
    return b;
  }
  SAFEARRAY* a_ = nullptr;
};

// Scoped SafeArrayLock (the array cannot be resized or destroyed while locked) with direct element
// access. T must have the element size of the array (checked: ComError E_INVALIDARG otherwise).
template <class T>
class SafeArrayAccess {
 public:
  explicit SafeArrayAccess(SAFEARRAY* a) : a_(a) {
    if (!a_) throw ComError(E_POINTER, "SafeArrayLock on a null array");
    if (SafeArrayGetDim(a_) != 1) throw ComError(E_INVALIDARG, "SafeArrayLock needs one dimension");
    if (SafeArrayGetElemsize(a_) != sizeof(T))
      throw ComError(E_INVALIDARG, "SafeArrayLock element size mismatch");
    ThrowIfFailed(::SafeArrayLock(a_), "SafeArrayLock");
    lower_ = a_->rgsabound[0].lLbound;
    count_ = a_->rgsabound[0].cElements;
  }
  explicit SafeArrayAccess(SafeArray& a) : SafeArrayAccess(a.Get()) {}
  SafeArrayAccess(const SafeArrayAccess&) = delete;
  SafeArrayAccess& operator=(const SafeArrayAccess&) = delete;
  ~SafeArrayAccess() { ::SafeArrayUnlock(a_); }

  size_t size() const noexcept { return count_; }
  LONG lower() const noexcept { return lower_; }
  T* data() const noexcept { return static_cast<T*>(a_->pvData); }
  T* begin() const noexcept { return data(); }
  T* end() const noexcept { return data() + count_; }
  // Zero-based position, unchecked.
  T& operator[](size_t i) const noexcept { return data()[i]; }
  // The array's own index (lower bound based); std::out_of_range outside the bounds.
  T& at(LONG index) const {
    LONGLONG pos = static_cast<LONGLONG>(index) - lower_;
    if (pos < 0 || pos >= static_cast<LONGLONG>(count_))
      throw std::out_of_range("safe array index out of bounds");
    return data()[pos];
  }
  bool contains(LONG index) const noexcept {
    LONGLONG pos = static_cast<LONGLONG>(index) - lower_;
    return pos >= 0 && pos < static_cast<LONGLONG>(count_);
  }

 private:
  SAFEARRAY* a_;
  LONG lower_ = 0;
  ULONG count_ = 0;
};

template <class T>
using SafeArrayLock = SafeArrayAccess<T>;

}  // namespace common
