#include "Arguments.h"

#include "common/Strings.h"

#include <cstring>
#include <new>

namespace veltrane {

bool IsMissing(const VARIANT& v) noexcept {
  return V_VT(&v) == VT_ERROR && V_ERROR(&v) == DISP_E_PARAMNOTFOUND;
}

HRESULT CheckSource(SHORT source) noexcept {
  return source == 1 || source == 2 ? S_OK : E_INVALIDARG;
}

HRESULT ReadNode(const VARIANT& node, std::optional<std::string>* ansiNode) noexcept {
  if (!ansiNode) return E_POINTER;
  const VARIANT* v = &node;
  // A script host's variable arrives as a reference to its VARIANT.
  if (V_VT(v) == (VT_VARIANT | VT_BYREF)) {
    v = V_VARIANTREF(v);
    if (!v) return E_INVALIDARG;
  }
  if (IsMissing(*v)) {
    ansiNode->reset();
    return S_OK;
  }
  BSTR s;
  if (V_VT(v) == VT_BSTR) {
    s = V_BSTR(v);
  } else if (V_VT(v) == (VT_BSTR | VT_BYREF)) {
    if (!V_BSTRREF(v)) return E_INVALIDARG;
    s = *V_BSTRREF(v);
  } else {
    return E_INVALIDARG;
  }
  if (!s) {
    ansiNode->reset();
    return S_OK;
  }
  try {
    *ansiNode = common::WideToAnsi(common::WStringView(common::AsWChar(s), SysStringLen(s)));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_INVALIDARG;
  }
  return S_OK;
}

HRESULT CheckInputArray(SAFEARRAY* sa, LONG count) noexcept {
  if (!sa || count < 0) return E_INVALIDARG;
  LONG lower = 0, upper = 0;
  HRESULT hr = SafeArrayGetLBound(sa, 1, &lower);
  if (FAILED(hr)) return hr;
  hr = SafeArrayGetUBound(sa, 1, &upper);
  if (FAILED(hr)) return hr;
  if (lower != 1 || upper < count) return E_INVALIDARG;
  if (SafeArrayGetDim(sa) != 1) return E_INVALIDARG;
  return S_OK;
}

namespace {

// The element type of an array; the feature flags say it when the array carries no VARTYPE.
HRESULT ElementType(SAFEARRAY* sa, VARTYPE* vt) noexcept {
  HRESULT hr = SafeArrayGetVartype(sa, vt);
  if (SUCCEEDED(hr)) return hr;
  if (sa->fFeatures & FADF_VARIANT) *vt = VT_VARIANT;
  else if (sa->fFeatures & FADF_BSTR) *vt = VT_BSTR;
  else if (sa->fFeatures & FADF_DISPATCH) *vt = VT_DISPATCH;
  else if (sa->fFeatures & FADF_UNKNOWN) *vt = VT_UNKNOWN;
  else return hr;
  return S_OK;
}

// Scalar element types whose bytes fit the VARIANT's value field as they are.
size_t ScalarSize(VARTYPE vt) noexcept {
  switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE: return 8;
    default: return 0;
  }
}

// Element `index` of a one-dimensional array of type `vt` as a VARIANT (a copy).
HRESULT ReadAsVariant(SAFEARRAY* sa, VARTYPE vt, LONG index, common::Variant* out) noexcept {
  out->Clear();
  if (vt == VT_VARIANT) return SafeArrayGetElement(sa, &index, static_cast<VARIANT*>(out));
  if (vt == VT_BSTR) {
    BSTR b = nullptr;
    HRESULT hr = SafeArrayGetElement(sa, &index, &b);
    if (FAILED(hr)) return hr;
    V_VT(out) = VT_BSTR;
    V_BSTR(out) = b;
    return S_OK;
  }
  if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
    IUnknown* p = nullptr;
    HRESULT hr = SafeArrayGetElement(sa, &index, &p);  // AddRef'ed
    if (FAILED(hr)) return hr;
    V_VT(out) = vt;
    V_UNKNOWN(out) = p;
    return S_OK;
  }
  size_t size = ScalarSize(vt);
  if (size == 0 || SafeArrayGetElemsize(sa) != size) return DISP_E_TYPEMISMATCH;
  unsigned char bytes[8] = {};
  HRESULT hr = SafeArrayGetElement(sa, &index, bytes);
  if (FAILED(hr)) return hr;
  V_VT(out) = vt;
  std::memcpy(&V_UI1(out), bytes, size);  // the value field starts at the union
  return S_OK;
}

// The shared reader: `direct` is the element type read without conversion; otherwise each
// element becomes a VARIANT converted to `target` (VT_EMPTY: kept as it is) and handed to `take`.
template <class T, class Direct, class Take>
HRESULT ReadArray(SAFEARRAY* sa, LONG count, std::vector<T>* out, VARTYPE direct, VARTYPE target,
                  Direct readDirect, Take take) noexcept {
  if (!out) return E_POINTER;
  out->clear();
  HRESULT hr = CheckInputArray(sa, count);
  if (FAILED(hr)) return hr;
  VARTYPE vt = VT_EMPTY;
  hr = ElementType(sa, &vt);
  if (FAILED(hr)) return hr;
  try {
    out->reserve(static_cast<size_t>(count));
    for (LONG i = 1; i <= count; ++i) {
      if (vt == direct) {
        hr = readDirect(i);
      } else {
        common::Variant v;
        hr = ReadAsVariant(sa, vt, i, &v);
        if (SUCCEEDED(hr) && target != VT_EMPTY)
          hr = VariantChangeType(&v, &v, 0, target);  // follows VT_BYREF
        if (SUCCEEDED(hr)) hr = take(v);
      }
      if (FAILED(hr)) {
        out->clear();
        return hr;
      }
    }
  } catch (const std::bad_alloc&) {
    out->clear();
    return E_OUTOFMEMORY;
  } catch (...) {
    out->clear();
    return E_FAIL;
  }
  return S_OK;
}

}  // namespace

HRESULT ReadLongArray(SAFEARRAY* sa, LONG count, std::vector<LONG>* out) noexcept {
  return ReadArray(sa, count, out, VT_I4, VT_I4,
      [&](LONG i) {
        LONG x = 0;
        HRESULT hr = SafeArrayGetElement(sa, &i, &x);
        if (SUCCEEDED(hr)) out->push_back(x);
        return hr;
      },
      [&](common::Variant& v) { out->push_back(V_I4(&v)); return S_OK; });
}

HRESULT ReadShortArray(SAFEARRAY* sa, LONG count, std::vector<SHORT>* out) noexcept {
  return ReadArray(sa, count, out, VT_I2, VT_I2,
      [&](LONG i) {
        SHORT x = 0;
        HRESULT hr = SafeArrayGetElement(sa, &i, &x);
        if (SUCCEEDED(hr)) out->push_back(x);
        return hr;
      },
      [&](common::Variant& v) { out->push_back(V_I2(&v)); return S_OK; });
}

HRESULT ReadVarTypeArray(SAFEARRAY* sa, LONG count, std::vector<VARTYPE>* out) noexcept {
  std::vector<SHORT> shorts;
  if (!out) return E_POINTER;
  out->clear();
  HRESULT hr = ReadShortArray(sa, count, &shorts);
  if (FAILED(hr)) return hr;
  try {
    out->assign(shorts.begin(), shorts.end());
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT ReadBstrArray(SAFEARRAY* sa, LONG count, std::vector<common::Bstr>* out) noexcept {
  return ReadArray(sa, count, out, VT_BSTR, VT_BSTR,
      [&](LONG i) {
        BSTR b = nullptr;
        HRESULT hr = SafeArrayGetElement(sa, &i, &b);
        if (SUCCEEDED(hr)) {
          common::Bstr owned;
          owned.Attach(b);
          out->push_back(std::move(owned));
        }
        return hr;
      },
      [&](common::Variant& v) {
        common::Bstr owned;
        owned.Attach(V_BSTR(&v));
        V_VT(&v) = VT_EMPTY;
        out->push_back(std::move(owned));
        return S_OK;
      });
}

HRESULT ReadVariantArray(SAFEARRAY* sa, LONG count, std::vector<common::Variant>* out) noexcept {
  return ReadArray(sa, count, out, VT_VARIANT, VT_EMPTY,
      [&](LONG i) {
        common::Variant v;
        HRESULT hr = SafeArrayGetElement(sa, &i, static_cast<VARIANT*>(&v));
        if (SUCCEEDED(hr)) out->push_back(std::move(v));
        return hr;
      },
      [&](common::Variant& v) { out->push_back(std::move(v)); return S_OK; });
}

namespace {

// One dimension, lower bound 1; `put(array, index, i)` stores values[i] at `index`.
template <class Put>
HRESULT MakeArray(VARTYPE vt, size_t count, SAFEARRAY** out, Put put) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (count > 0x7FFFFFFF) return E_OUTOFMEMORY;
  SAFEARRAYBOUND bound;
  bound.cElements = static_cast<ULONG>(count);
  bound.lLbound = 1;
  SAFEARRAY* sa = SafeArrayCreate(vt, 1, &bound);
  if (!sa) return E_OUTOFMEMORY;
  for (size_t i = 0; i < count; ++i) {
    LONG index = static_cast<LONG>(i + 1);
    if (FAILED(put(sa, index, i))) {
      SafeArrayDestroy(sa);
      return E_FAIL;
    }
  }
  *out = sa;
  return S_OK;
}

template <class T>
HRESULT MakeScalarArray(VARTYPE vt, std::span<const T> values, SAFEARRAY** out) noexcept {
  return MakeArray(vt, values.size(), out, [&](SAFEARRAY* sa, LONG index, size_t i) {
    T x = values[i];
    return SafeArrayPutElement(sa, &index, &x);
  });
}

}  // namespace

HRESULT MakeLongArray(std::span<const LONG> values, SAFEARRAY** out) noexcept {
  return MakeScalarArray(VT_I4, values, out);
}
HRESULT MakeShortArray(std::span<const SHORT> values, SAFEARRAY** out) noexcept {
  return MakeScalarArray(VT_I2, values, out);
}
HRESULT MakeDateArray(std::span<const DATE> values, SAFEARRAY** out) noexcept {
  return MakeScalarArray(VT_DATE, values, out);
}

HRESULT MakeBstrArray(std::span<const BSTR> values, SAFEARRAY** out) noexcept {
  // SafeArrayPutElement copies a BSTR with its length, embedded NULs included. A null one would
  // become "" there (Wine): the element is left null instead, as it started.
  return MakeArray(VT_BSTR, values.size(), out, [&](SAFEARRAY* sa, LONG index, size_t i) {
    if (!values[i]) return S_OK;
    return SafeArrayPutElement(sa, &index, values[i]);
  });
}

HRESULT MakeStringArray(std::span<const LPCWSTR> values, SAFEARRAY** out) noexcept {
  return MakeArray(VT_BSTR, values.size(), out, [&](SAFEARRAY* sa, LONG index, size_t i) {
    if (!values[i]) return S_OK;  // the element starts as a null BSTR
    BSTR b = SysAllocString(values[i]);
    if (!b) return E_OUTOFMEMORY;
    HRESULT hr = SafeArrayPutElement(sa, &index, b);  // stores a copy
    SysFreeString(b);
    return hr;
  });
}

HRESULT MakeVariantArray(std::span<const VARIANT> values, SAFEARRAY** out) noexcept {
  return MakeArray(VT_VARIANT, values.size(), out, [&](SAFEARRAY* sa, LONG index, size_t i) {
    return SafeArrayPutElement(sa, &index, const_cast<VARIANT*>(&values[i]));
  });
}

HRESULT MakeVariantArray(std::span<const common::Variant> values, SAFEARRAY** out) noexcept {
  // Variant has VARIANT's layout: the same memory, seen as VARIANTs.
  return MakeVariantArray(
      std::span<const VARIANT>(static_cast<const VARIANT*>(values.data()), values.size()), out);
}

void ArrayToVariant(SAFEARRAY* sa, VARTYPE vt, VARIANT* out) noexcept {
  if (!out) {
    if (sa) SafeArrayDestroy(sa);
    return;
  }
  VariantInit(out);
  if (!sa) return;
  V_VT(out) = static_cast<VARTYPE>(VT_ARRAY | vt);
  V_ARRAY(out) = sa;
}

HRESULT TakeServerString(LPWSTR s, BSTR* out) noexcept {
  if (!out) {
    CoTaskMemFree(s);
    return E_POINTER;
  }
  *out = nullptr;
  if (!s) return S_OK;
  *out = SysAllocString(s);
  CoTaskMemFree(s);
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace veltrane
