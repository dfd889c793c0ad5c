// The IEnumVARIANT behind every _NewEnum of the library.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "common/Variant.h"

#include <vector>

namespace veltrane {

// A new enumerator that owns `items` (the snapshot taken now; later changes of the collection
// are not seen), positioned at the first element, in *out (set to null first; out null:
// E_POINTER). The object counts in the module count.
//   Next(celt, rgVar, pCeltFetched): rgVar null, or pCeltFetched null with celt != 1: E_POINTER.
//     Copies up to celt values (VariantCopy) from the position; S_FALSE when fewer than celt
//     remained (the rest of rgVar is left untouched). A failed copy clears the values already
//     copied, sets *pCeltFetched to 0, leaves the position where it was and returns the failure.
//   Skip(n): S_FALSE with the position at the end when that passes the end.
//   Reset(): back to the first element.
//   Clone(out): a second enumerator over the same snapshot at the same position.
HRESULT CreateEnumVariant(std::vector<common::Variant> items, IUnknown** out) noexcept;
HRESULT CreateEnumVariant(std::vector<common::Variant> items, IEnumVARIANT** out) noexcept;

}  // namespace veltrane
