// Registry entries of COM servers, written per machine under HKEY_CLASSES_ROOT as Windows does.
#pragma once

#include "common/ClassFactory.h"
#include "common/Handles.h"
#include "common/Strings.h"

namespace common {

enum class ServerKind { InProcess, LocalServer };

// CLSID\{clsid}: description; InprocServer32 (= modulePath, ThreadingModel) or LocalServer32
// (= modulePath, quoted when it has spaces); ProgID, VersionIndependentProgID, TypeLib, Version,
// AppID; and the ProgID keys (ProgID\CLSID, VersionIndependentProgID\CLSID and \CurVer). Then
// entry.registerExtra. Returns the first failure (as an HRESULT of the Win32 status).
HRESULT RegisterComClass(const ClassEntry& entry, ServerKind kind, const WString& modulePath) noexcept;
// Removes CLSID\{clsid} and the ProgID keys that still point at this CLSID (a ProgID taken
// over by another class is left alone). Keys already gone are no error.
HRESULT UnregisterComClass(const ClassEntry& entry) noexcept;

// AppID\{appId} (default = name) and AppID\<exeName> (AppID = {appId}), as local servers have.
HRESULT RegisterAppId(REFGUID appId, const OLECHAR* name, const OLECHAR* exeName) noexcept;
HRESULT UnregisterAppId(REFGUID appId, const OLECHAR* exeName) noexcept;

// Registers / unregisters the type library embedded in a module (its TYPELIB resource 1), or a
// .tlb file given by path. Registering also writes the Interface keys of its dual interfaces and
// dispinterfaces (marshalled by the standard typelib marshaller).
HRESULT RegisterTypeLibOf(const WString& path) noexcept;
HRESULT UnregisterTypeLibOf(const WString& path) noexcept;

// CLSID\{clsid} as a key path, e.g. for RegisterExtraFn users.
inline WString ClsidKeyPath(REFCLSID clsid) { return FromOle(L"CLSID\\") + GuidToString(clsid); }

// Convenience for registerExtra functions: writes HKCR\path (default value `value`, or none when
// null), creating the key.
HRESULT WriteClassesKey(const WString& path, const OLECHAR* value) noexcept;

}  // namespace common
