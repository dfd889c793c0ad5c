// In-process server of the test coclass KitCalc.
#include "KitCalc.h"

namespace {

const common::ClassEntry kClasses[] = {{
    .clsid = &CLSID_KitCalc,
    .getFactory = &common::ClassFactory<kittest::KitCalc>::GetFactory,
    .description = L"Tessarel kit test calculator",
    .progId = L"Tessarel.KitCalc.1",
    .versionIndependentProgId = L"Tessarel.KitCalc",
    .threadingModel = L"Apartment",
    .typeLib = &LIBID_KitTestLib,
    .typeLibVersion = L"1.0",
}};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    common::Module::SetHandle(instance);
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return common::DllGetClassObjectFrom(kClasses, clsid, riid, ppv);
}
extern "C" HRESULT WINAPI DllCanUnloadNow() { return common::DllCanUnloadNowFromModule(); }
extern "C" HRESULT WINAPI DllRegisterServer() { return common::DllRegisterClasses(kClasses); }
extern "C" HRESULT WINAPI DllUnregisterServer() { return common::DllUnregisterClasses(kClasses); }
