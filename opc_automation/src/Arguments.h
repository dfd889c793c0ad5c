// Automation argument rules shared by every object of the library: optional arguments, the data
// source, the node argument, 1-based input arrays, and the 1-based arrays handed back to callers.
// Nothing here throws; every function returns an HRESULT (or a plain value where it cannot fail).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "common/Bstr.h"
#include "common/Variant.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace veltrane {

// True exactly when `v` is an omitted optional argument: VT_ERROR holding DISP_E_PARAMNOTFOUND.
// Any other VARIANT (also VT_EMPTY, VT_NULL, or another VT_ERROR code) is present.
bool IsMissing(const VARIANT& v) noexcept;

// A data source argument: S_OK for 1 (OPCCache) or 2 (OPCDevice), else E_INVALIDARG.
HRESULT CheckSource(SHORT source) noexcept;

// The Node argument of Connect, ConnectViaCLSID and GetOPCServers. On success *ansiNode is
// nullopt when no node was named: the argument is missing, or a VT_BSTR holding a null BSTR;
// otherwise the string converted to the ANSI code page (CP_ACP; "" stays "").
// A present argument of any type but VT_BSTR gives E_INVALIDARG. Script hosts pass variables by
// reference, so VT_BSTR|VT_BYREF is read through its pointer (a null pointer: E_INVALIDARG), and
// VT_VARIANT|VT_BYREF is followed once and the rules applied to the VARIANT it points at.
// ansiNode null: E_POINTER. *ansiNode is untouched on failure.
HRESULT ReadNode(const VARIANT& node, std::optional<std::string>* ansiNode) noexcept;

// The input array rule. `sa` is the array a caller passed by reference (already dereferenced)
// for `count` entries: null gives E_INVALIDARG, count < 0 gives E_INVALIDARG, a failure to read
// the first dimension's bounds is returned as is; then the lower bound of dimension 1 must be
// exactly 1 and its upper bound at least `count`, else E_INVALIDARG. Arrays of more than one
// dimension are refused with E_INVALIDARG (an element cannot be addressed by one index).
// Count 0 with a valid 1-based array (also an empty one) passes.
HRESULT CheckInputArray(SAFEARRAY* sa, LONG count) noexcept;

// CheckInputArray, then entries 1..count copied out in order into *out (replaced; cleared on
// failure). An array of the requested element type is read directly; an array of VT_VARIANT
// (what script hosts build) or of another scalar type is converted element by element with
// VariantChangeType (VT_BYREF elements followed); a conversion failure is returned as is
// (e.g. DISP_E_TYPEMISMATCH); element types that cannot be converted give DISP_E_TYPEMISMATCH.
// A failing element read ends the call with that error.
HRESULT ReadLongArray(SAFEARRAY* sa, LONG count, std::vector<LONG>* out) noexcept;
HRESULT ReadShortArray(SAFEARRAY* sa, LONG count, std::vector<SHORT>* out) noexcept;
// VT_I2 entries read as VARTYPEs (requested data types).
HRESULT ReadVarTypeArray(SAFEARRAY* sa, LONG count, std::vector<VARTYPE>* out) noexcept;
// Owned copies of the strings (a null BSTR element stays a null Bstr; pass it on with NonNull).
HRESULT ReadBstrArray(SAFEARRAY* sa, LONG count, std::vector<common::Bstr>* out) noexcept;
// Copies of the values (VariantCopy; a VT_VARIANT array is not converted, other element types
// are wrapped in VARIANTs of that type).
HRESULT ReadVariantArray(SAFEARRAY* sa, LONG count, std::vector<common::Variant>* out) noexcept;

// Output arrays: one dimension, lower bound 1, one element per value, element i+1 = values[i].
// *out is set to null first (out null: E_POINTER). Allocation failure: E_OUTOFMEMORY; a failure
// storing any element destroys the array and gives E_FAIL. On success *out belongs to the caller.
HRESULT MakeLongArray(std::span<const LONG> values, SAFEARRAY** out) noexcept;    // VT_I4
HRESULT MakeShortArray(std::span<const SHORT> values, SAFEARRAY** out) noexcept;  // VT_I2
HRESULT MakeDateArray(std::span<const DATE> values, SAFEARRAY** out) noexcept;    // VT_DATE
// VT_BSTR, each BSTR copied with its length (embedded NULs kept; null stays null).
HRESULT MakeBstrArray(std::span<const BSTR> values, SAFEARRAY** out) noexcept;
// VT_BSTR from zero-terminated wide strings such as an outside server returns (null gives a
// null BSTR). The strings are not freed here.
HRESULT MakeStringArray(std::span<const LPCWSTR> values, SAFEARRAY** out) noexcept;
// VT_VARIANT, each value copied (VariantCopy); the second form takes a std::vector<Variant>.
HRESULT MakeVariantArray(std::span<const VARIANT> values, SAFEARRAY** out) noexcept;
HRESULT MakeVariantArray(std::span<const common::Variant> values, SAFEARRAY** out) noexcept;

// Puts `sa` (which it then owns) into *out as VT_ARRAY | vt. *out is overwritten, not cleared:
// pass an empty or uninitialised [out] VARIANT. A null `sa` leaves *out VT_EMPTY.
void ArrayToVariant(SAFEARRAY* sa, VARTYPE vt, VARIANT* out) noexcept;

// A BSTR as the custom interfaces want it: a null BSTR becomes "".
inline LPCWSTR NonNull(BSTR s) noexcept { return s ? s : L""; }

// Copies a string an outside server returned into a new BSTR (*out; a null string gives a null
// BSTR) and frees `s` with CoTaskMemFree in every case. out null: E_POINTER (s still freed);
// allocation failure: E_OUTOFMEMORY.
HRESULT TakeServerString(LPWSTR s, BSTR* out) noexcept;

}  // namespace veltrane
