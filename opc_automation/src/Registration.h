// What the library writes into and removes from HKEY_CLASSES_ROOT, through the ANSI registry
// calls: the OPCServer class with its two ProgIDs, and the type library.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace veltrane {

inline constexpr char kServerProgId[] = "Kestrov.OPCAutomation.1";
inline constexpr char kServerVersionIndependentProgId[] = "Kestrov.OPCAutomation";

// The OPCServer class (the class table's registration routine). install: both ProgID keys
// (default = the description of string resource 100, subkey CLSID = the CLSID) and
// CLSID\{CLSID} (default = the description; ProgID, VersionIndependentProgID, InprocServer32 =
// this library's full path with ThreadingModel "Apartment"). A failure on a ProgID key or on
// CLSID / {CLSID} itself ends registration with its HRESULT (FACILITY_WIN32); failures on the
// subkeys of {CLSID} are not reported. !install: removes both ProgID keys and {CLSID} with every
// subkey; missing keys are no error; always S_OK.
HRESULT UpdateServerRegistry(bool install) noexcept;

// Registers the type library: from this library's own TYPELIB resource, else from the .tlb
// beside it (TypeLibPathBeside), with the folder of the file it came from as help directory.
HRESULT RegisterServerTypeLib() noexcept;

// Deletes parent\name with all its subkeys, depth first. ERROR_SUCCESS, or the failure of the
// first key that could not be opened or deleted (ERROR_FILE_NOT_FOUND when it is missing).
LONG DeleteKeyTree(HKEY parent, const char* name) noexcept;

}  // namespace veltrane
