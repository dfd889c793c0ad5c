// Class factories and the class table a server is made of.
//
//   const common::ClassEntry kClasses[] = {{
//       .clsid = &CLSID_Widget,
//       .getFactory = &common::ClassFactory<Widget>::GetFactory,
//       .description = L"Widget Class",
//       .progId = L"Vendor.Widget.1",
//       .versionIndependentProgId = L"Vendor.Widget",
//       .threadingModel = L"Apartment",
//       .typeLib = &LIBID_WidgetLib,
//       .typeLibVersion = L"1.0",
//   }};
#pragma once

#include "common/ComObject.h"
#include "common/Strings.h"

#include <span>

namespace common {

// IClassFactory for T. Instances come from T::CreateInstance(riid, ppv) when T declares that
// static member (singletons, objects needing arguments), else from CreateObject<T>. Aggregation
// is refused (CLASS_E_NOAGGREGATION). The factory itself does not keep the module alive; a
// client that holds it uses LockServer, as COM says.
template <class T>
class ClassFactory final : public ComObject<ClassFactory<T>, IClassFactory> {
  using Base = ComObject<ClassFactory<T>, IClassFactory>;

 public:
  ClassFactory() noexcept : Base(NoModuleCount{}) {}

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if constexpr (requires(REFIID r, void** p) { T::CreateInstance(r, p); })
      return GuardHResult([&]() -> HRESULT { return T::CreateInstance(riid, ppv); });
    else
      return CreateObject<T>(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) Module::Lock();
    else Module::Unlock();
    return S_OK;
  }

  // For ClassEntry::getFactory.
  static HRESULT GetFactory(REFIID riid, void** ppv) noexcept {
    return CreateObject<ClassFactory>(riid, ppv);
  }
};

struct ClassEntry;
// Extra registry work for one class: called after the standard keys are written (install true)
// and before they are removed (install false). `clsidKey` is L"CLSID\\{...}" under HKCR.
using RegisterExtraFn = HRESULT (*)(const ClassEntry& entry, const WString& clsidKey,
                                    const WString& modulePath, bool install);

// One coclass of a server: how to make its factory and how to register it. Only clsid and
// getFactory are required; every null field is simply not written.
struct ClassEntry {
  const CLSID* clsid = nullptr;
  HRESULT (*getFactory)(REFIID riid, void** ppv) = nullptr;
  const OLECHAR* description = nullptr;               // default value of CLSID\{...}
  const OLECHAR* progId = nullptr;                    // "Vendor.Thing.1"
  const OLECHAR* versionIndependentProgId = nullptr;  // "Vendor.Thing" (CurVer -> progId)
  const OLECHAR* threadingModel = nullptr;            // in-process: "Apartment", "Both", "Free"
  const GUID* typeLib = nullptr;                      // CLSID\{...}\TypeLib
  const OLECHAR* typeLibVersion = nullptr;            // CLSID\{...}\Version, e.g. "1.0"
  const GUID* appId = nullptr;                        // CLSID\{...} AppID value (local servers)
  RegisterExtraFn registerExtra = nullptr;            // e.g. a control's Control/MiscStatus keys
};

// The factory of `clsid` from the table (CLASS_E_CLASSNOTAVAILABLE when it is not there).
inline HRESULT GetClassObjectFrom(std::span<const ClassEntry> classes, REFCLSID clsid, REFIID riid,
                                  void** ppv) noexcept {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (const ClassEntry& c : classes)
    if (c.clsid && c.getFactory && IsEqualCLSID(*c.clsid, clsid)) return c.getFactory(riid, ppv);
  return CLASS_E_CLASSNOTAVAILABLE;
}

// ---- in-process servers ------------------------------------------------------------------
//
//   extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID c, REFIID i, void** p) {
//     return common::DllGetClassObjectFrom(kClasses, c, i, p); }
//   extern "C" HRESULT WINAPI DllCanUnloadNow() { return common::DllCanUnloadNowFromModule(); }
//   extern "C" HRESULT WINAPI DllRegisterServer() { return common::DllRegisterClasses(kClasses); }
//   extern "C" HRESULT WINAPI DllUnregisterServer() {
//     return common::DllUnregisterClasses(kClasses); }
// and a .def file exporting the four (PRIVATE).

inline HRESULT DllGetClassObjectFrom(std::span<const ClassEntry> classes, REFCLSID clsid,
                                     REFIID riid, void** ppv) noexcept {
  return GetClassObjectFrom(classes, clsid, riid, ppv);
}
// S_OK when no object of this module is alive and no LockServer is held.
inline HRESULT DllCanUnloadNowFromModule() noexcept {
  return Module::Count() == 0 ? S_OK : S_FALSE;
}
// Writes every class with InprocServer32 = this DLL and, when registerTypeLib, registers the
// DLL's embedded type library. On failure what was written is removed again.
HRESULT DllRegisterClasses(std::span<const ClassEntry> classes, bool registerTypeLib = true) noexcept;
// Removes what DllRegisterClasses wrote (keys already gone are no error).
HRESULT DllUnregisterClasses(std::span<const ClassEntry> classes, bool unregisterTypeLib = true) noexcept;

}  // namespace common
