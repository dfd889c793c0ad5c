// Variant: the one owner of a VARIANT (VariantClear on destruction). Same size and layout as
// VARIANT, so a Variant* or an array of them can be passed where VARIANT* is expected.
#pragma once

#include "common/Bstr.h"
#include "common/ComPtr.h"
#include "common/Errors.h"

#include <cstdint>
#include <string_view>
#include <utility>

namespace common {

class Variant : public VARIANT {
 public:
  Variant() noexcept { VariantInit(this); }
  // Deep copies (VariantCopy); ComError when the copy fails (e.g. out of memory).
  Variant(const VARIANT& v) {
    VariantInit(this);
    ThrowIfFailed(VariantCopy(this, const_cast<VARIANT*>(&v)), "VariantCopy");
  }
  Variant(const Variant& v) : Variant(static_cast<const VARIANT&>(v)) {}
  Variant(Variant&& v) noexcept {
    *static_cast<VARIANT*>(this) = v;
    VariantInit(&v);
  }
  ~Variant() { VariantClear(this); }

  Variant& operator=(const Variant& v) {
    if (this != &v) Variant(v).Swap(*this);
    return *this;
  }
  Variant& operator=(Variant&& v) noexcept {
    Variant(std::move(v)).Swap(*this);
    return *this;
  }

  // From common C++ types.
  Variant(bool b) noexcept : Variant() { Set(VT_BOOL); V_BOOL(this) = b ? VARIANT_TRUE : VARIANT_FALSE; }
  Variant(signed char x) noexcept : Variant() { Set(VT_I1); V_I1(this) = static_cast<CHAR>(x); }
  Variant(unsigned char x) noexcept : Variant() { Set(VT_UI1); V_UI1(this) = x; }
  Variant(short x) noexcept : Variant() { Set(VT_I2); V_I2(this) = x; }
  Variant(unsigned short x) noexcept : Variant() { Set(VT_UI2); V_UI2(this) = x; }
  Variant(int x) noexcept : Variant() { Set(VT_I4); V_I4(this) = x; }
  Variant(unsigned int x) noexcept : Variant() { Set(VT_UI4); V_UI4(this) = x; }
  // long is 32 bits on Windows and 64 bits in Winelib programs; it keeps its width here.
  Variant(long x) noexcept : Variant() {
    if constexpr (sizeof(long) == 4) {
      Set(VT_I4);
      V_I4(this) = static_cast<LONG>(x);
    } else {
      Set(VT_I8);
      V_I8(this) = x;
    }
  }
  Variant(unsigned long x) noexcept : Variant() {
    if constexpr (sizeof(long) == 4) {
      Set(VT_UI4);
      V_UI4(this) = static_cast<ULONG>(x);
    } else {
      Set(VT_UI8);
      V_UI8(this) = x;
    }
  }
  Variant(long long x) noexcept : Variant() { Set(VT_I8); V_I8(this) = x; }
  Variant(unsigned long long x) noexcept : Variant() { Set(VT_UI8); V_UI8(this) = x; }
  Variant(float x) noexcept : Variant() { Set(VT_R4); V_R4(this) = x; }
  Variant(double x) noexcept : Variant() { Set(VT_R8); V_R8(this) = x; }
  // Strings become VT_BSTR (std::bad_alloc when out of memory). nullptr gives an empty string.
  Variant(const OLECHAR* s) : Variant() { SetBstr(Bstr(s)); }
  Variant(WStringView s) : Variant() { SetBstr(Bstr(s)); }
  Variant(const WString& s) : Variant(WStringView(s)) {}
  Variant(const Bstr& s) : Variant() { SetBstr(Bstr(s)); }
  Variant(Bstr&& s) noexcept : Variant() { SetBstr(std::move(s)); }
  static Variant FromUtf8(std::string_view utf8) { return Variant(Bstr::FromUtf8(utf8)); }
  // Interfaces (AddRef'd); a null pointer is kept as a null VT_DISPATCH / VT_UNKNOWN.
  Variant(IDispatch* d) noexcept : Variant() {
    Set(VT_DISPATCH); V_DISPATCH(this) = d;
    if (d) d->AddRef();
  }
  Variant(IUnknown* u) noexcept : Variant() {
    Set(VT_UNKNOWN); V_UNKNOWN(this) = u;
    if (u) u->AddRef();
  }
  template <class T>
  Variant(const ComPtr<T>& p) noexcept : Variant(AsUnknownOrDispatch(p.Get())) {}

  static Variant Error(SCODE code) noexcept {
    Variant v;
    v.Set(VT_ERROR); V_ERROR(&v) = code;
    return v;
  }
  // An omitted optional argument, as automation callers pass it.
  static Variant Missing() noexcept { return Error(DISP_E_PARAMNOTFOUND); }
  static Variant Null() noexcept {
    Variant v;
    v.Set(VT_NULL);
    return v;
  }
  static Variant Date(DATE d) noexcept {
    Variant v;
    v.Set(VT_DATE); V_DATE(&v) = d;
    return v;
  }
  static Variant Currency(CY c) noexcept {
    Variant v;
    v.Set(VT_CY); V_CY(&v) = c;
    return v;
  }
  // Adopts the contents of `v` (no copy); `v` is left VT_EMPTY.
  static Variant Take(VARIANT& v) noexcept {
    Variant r;
    r.Attach(v);
    return r;
  }

  VARTYPE Type() const noexcept { return V_VT(this); }
  bool IsEmpty() const noexcept { return V_VT(this) == VT_EMPTY; }
  bool IsMissing() const noexcept {
    return V_VT(this) == VT_ERROR && V_ERROR(this) == DISP_E_PARAMNOTFOUND;
  }
  VARIANT* Ptr() noexcept { return this; }
  const VARIANT* Ptr() const noexcept { return this; }

  void Clear() noexcept { VariantClear(this); }
  // Releases what is held and returns the emptied VARIANT, for [out] VARIANT* parameters.
  VARIANT* ReleaseAndGetAddressOf() noexcept {
    Clear();
    return this;
  }
  // Takes over `v` (which is left VT_EMPTY) after clearing what was held.
  void Attach(VARIANT& v) noexcept {
    Clear();
    *static_cast<VARIANT*>(this) = v;
    VariantInit(&v);
  }
  // Moves the contents out into `out` (which must not own anything); this becomes VT_EMPTY.
  void Detach(VARIANT* out) noexcept {
    *out = *static_cast<VARIANT*>(this);
    VariantInit(this);
  }
  // Deep copy into an [out] VARIANT* (initialised here).
  HRESULT CopyTo(VARIANT* out) const noexcept {
    if (!out) return E_POINTER;
    VariantInit(out);
    return VariantCopy(out, const_cast<Variant*>(this));
  }
  void Swap(Variant& o) noexcept { std::swap(*static_cast<VARIANT*>(this), *static_cast<VARIANT*>(&o)); }

  // Converts in place (VariantChangeType); on failure the value is unchanged.
  HRESULT ChangeType(VARTYPE vt, USHORT flags = 0) noexcept {
    return VariantChangeType(this, this, flags, vt);
  }
  // The value converted to `vt` into `out`; this one is untouched.
  HRESULT ConvertTo(VARTYPE vt, Variant* out, USHORT flags = 0) const noexcept {
    if (!out) return E_POINTER;
    out->Clear();
    return VariantChangeType(out, const_cast<Variant*>(this), flags, vt);
  }
  // Typed reads through VariantChangeType (VT_BYREF values are followed). The error is the
  // conversion's (DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW, ...); *out is untouched on failure.
  HRESULT ToInt32(LONG* out) const noexcept {
    Variant t;
    HRESULT hr = ConvertTo(VT_I4, &t);
    if (SUCCEEDED(hr)) *out = V_I4(&t);
    return hr;
  }
  HRESULT ToDouble(double* out) const noexcept {
    Variant t;
    HRESULT hr = ConvertTo(VT_R8, &t);
    if (SUCCEEDED(hr)) *out = V_R8(&t);
    return hr;
  }
  HRESULT ToBool(bool* out) const noexcept {
    Variant t;
    HRESULT hr = ConvertTo(VT_BOOL, &t);
    if (SUCCEEDED(hr)) *out = V_BOOL(&t) != VARIANT_FALSE;
    return hr;
  }
  HRESULT ToBstr(Bstr* out) const noexcept {
    Variant t;
    HRESULT hr = ConvertTo(VT_BSTR, &t);
    if (SUCCEEDED(hr)) {
      out->Attach(V_BSTR(&t));
      V_VT(&t) = VT_EMPTY;
    }
    return hr;
  }
  HRESULT ToString(WString* out) const {
    Bstr b;
    HRESULT hr = ToBstr(&b);
    if (SUCCEEDED(hr)) *out = b.ToWide();
    return hr;
  }

 private:
  // Clears and sets the type; returns the VARIANT to fill in.
  VARIANT& Set(VARTYPE vt) noexcept {
    VariantClear(this);
    V_VT(this) = vt;
    return *this;
  }
  void SetBstr(Bstr&& b) noexcept {
    // A null BSTR is a valid empty string for every automation client.
    Set(VT_BSTR); V_BSTR(this) = b.Detach();
  }
  template <class T>
  static auto AsUnknownOrDispatch(T* p) noexcept {
    if constexpr (std::is_base_of_v<IDispatch, T>) return static_cast<IDispatch*>(p);
    else return static_cast<IUnknown*>(p);
  }
};

static_assert(sizeof(Variant) == sizeof(VARIANT), "Variant arrays stand in for VARIANT arrays");

}  // namespace common
