// The OPCServer coclass: the one object automation clients create.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace veltrane {

// Makes a new OPCServer object and asks it for riid (the class factory's creator).
// E_OUTOFMEMORY when it cannot be made; when the interface is refused the object is destroyed
// and that failure returned.
HRESULT CreateServerObject(REFIID riid, void** ppv);

}  // namespace veltrane
