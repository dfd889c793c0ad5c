// Value conversions between the OPC custom interfaces and automation clients: the client type
// adjustment (types automation clients cannot hold become ones they can) and server timestamps
// (UTC FILETIME) to local-time DATEs with their milliseconds.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace veltrane {

// The client type adjustment, in place:
//   VT_I1 -> VT_I2 (sign kept); VT_UI2 -> VT_I4; VT_UI4, VT_UINT -> VT_R8 (unsigned);
//   VT_INT -> VT_R8 (signed);
//   VT_ARRAY of VT_I1, VT_UI2, VT_UI4, VT_INT or VT_UINT -> a new one-dimensional array of
//   VT_I2 / VT_I4 / VT_R8 with the same lower bound and element count, converted element by
//   element; the old array is freed only once every element converted.
//   Anything else (VT_UI1, VT_BOOL, VT_BSTR, VT_DATE, arrays of other types, VT_BYREF values,
//   VT_EMPTY ...) is left as it is, with S_OK.
// On failure the value is left as it was and the failure returned (value null: E_POINTER;
// an array of several dimensions: its element count cannot be kept in one dimension, so it is
// left unchanged with S_OK).
HRESULT AdjustClientType(VARIANT* value) noexcept;

// A copy of `in` with the adjustment applied, into *out (VariantInit'ed first; on failure *out
// stays VT_EMPTY). For callers that must leave the source alone.
HRESULT AdjustedCopy(const VARIANT& in, VARIANT* out) noexcept;

// UTC FILETIME -> local time DATE: FileTimeToLocalFileTime, FileTimeToSystemTime, the
// milliseconds put aside, SystemTimeToVariantTime of the fields with 0 ms, then the milliseconds
// added back (1 ms = 1/86,400,000 day), so they survive exactly. E_FAIL when any step fails
// (out null: E_POINTER).
HRESULT FileTimeToLocalDate(const FILETIME& utc, DATE* out) noexcept;

}  // namespace veltrane
