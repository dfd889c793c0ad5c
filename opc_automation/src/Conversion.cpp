#include "Conversion.h"

#include "portable/DateMath.h"

namespace veltrane {

namespace {

// The type a client gets instead of `vt`, or VT_EMPTY when `vt` is kept.
VARTYPE AdjustedType(VARTYPE vt) noexcept {
  switch (vt) {
    case VT_I1: return VT_I2;
    case VT_UI2: return VT_I4;
    case VT_UI4: case VT_UINT: case VT_INT: return VT_R8;
    default: return VT_EMPTY;
  }
}

size_t ElementSize(VARTYPE vt) noexcept {
  switch (vt) {
    case VT_I1: return 1;
    case VT_UI2: return 2;
    default: return 4;  // VT_UI4, VT_UINT, VT_INT
  }
}

HRESULT AdjustArray(VARIANT* value, VARTYPE from, VARTYPE to) noexcept {
  SAFEARRAY* old = V_ARRAY(value);
  if (!old || SafeArrayGetDim(old) != 1) return S_OK;
  // The VARIANT's type names the elements; a malformed array is refused rather than read past.
  if (SafeArrayGetElemsize(old) != ElementSize(from)) return DISP_E_BADVARTYPE;
  LONG lower = 0, upper = 0;
  HRESULT hr = SafeArrayGetLBound(old, 1, &lower);
  if (SUCCEEDED(hr)) hr = SafeArrayGetUBound(old, 1, &upper);
  if (FAILED(hr)) return hr;
  SAFEARRAYBOUND bound;
  bound.lLbound = lower;
  bound.cElements = old->rgsabound[0].cElements;
  SAFEARRAY* fresh = SafeArrayCreate(to, 1, &bound);
  if (!fresh) return E_OUTOFMEMORY;
  for (ULONG i = 0; i < bound.cElements && SUCCEEDED(hr); ++i) {
    LONG index = static_cast<LONG>(lower + static_cast<LONGLONG>(i));
    VARIANT e;
    VariantInit(&e);
    V_VT(&e) = from;
    V_UI4(&e) = 0;
    hr = SafeArrayGetElement(old, &index, &V_UI1(&e));  // the value field starts at the union
    if (SUCCEEDED(hr)) hr = VariantChangeType(&e, &e, 0, to);
    if (SUCCEEDED(hr)) hr = SafeArrayPutElement(fresh, &index, &V_UI1(&e));
  }
  if (SUCCEEDED(hr)) hr = SafeArrayDestroy(old);  // a locked array stays with its owner
  if (FAILED(hr)) {
    SafeArrayDestroy(fresh);
    return hr;
  }
  V_VT(value) = static_cast<VARTYPE>(VT_ARRAY | to);
  V_ARRAY(value) = fresh;
  return S_OK;
}

}  // namespace

HRESULT AdjustClientType(VARIANT* value) noexcept {
  if (!value) return E_POINTER;
  VARTYPE vt = V_VT(value);
  if (vt & VT_BYREF) return S_OK;
  if (vt & VT_ARRAY) {
    VARTYPE from = static_cast<VARTYPE>(vt & VT_TYPEMASK);
    VARTYPE to = AdjustedType(from);
    return to == VT_EMPTY ? S_OK : AdjustArray(value, from, to);
  }
  VARTYPE to = AdjustedType(vt);
  if (to == VT_EMPTY) return S_OK;
  return VariantChangeType(value, value, 0, to);
}

HRESULT AdjustedCopy(const VARIANT& in, VARIANT* out) noexcept {
  if (!out) return E_POINTER;
  VariantInit(out);
  HRESULT hr = VariantCopy(out, const_cast<VARIANT*>(&in));
  if (SUCCEEDED(hr)) hr = AdjustClientType(out);
  if (FAILED(hr)) VariantClear(out);
  return hr;
}

HRESULT FileTimeToLocalDate(const FILETIME& utc, DATE* out) noexcept {
  if (!out) return E_POINTER;
  // Beyond the last valid FILETIME; a time-zone shift could wrap it round to 1601.
  if (utc.dwHighDateTime & 0x80000000u) return E_FAIL;
  FILETIME local;
  SYSTEMTIME st;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st)) return E_FAIL;
  // SystemTimeToVariantTime drops (or rounds on) milliseconds: convert whole seconds and add
  // the milliseconds back ourselves.
  WORD ms = st.wMilliseconds;
  st.wMilliseconds = 0;
  DATE date = 0;
  if (!SystemTimeToVariantTime(&st, &date)) return E_FAIL;
  *out = AddMilliseconds(date, ms);
  return S_OK;
}

}  // namespace veltrane
