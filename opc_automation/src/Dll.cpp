// Veltrane.dll's entry point and its four exports.
#include "Module.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      veltrane::Module::Attach(instance);
      // No object of the library cares about threads coming and going.
      DisableThreadLibraryCalls(instance);
      break;
    case DLL_PROCESS_DETACH:
      veltrane::Module::Detach();
      break;
    default:
      break;
  }
  return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
  return veltrane::Module::GetClassObject(clsid, riid, ppv);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return veltrane::Module::CanUnloadNow(); }

extern "C" HRESULT WINAPI DllRegisterServer() { return veltrane::Module::RegisterServer(); }

extern "C" HRESULT WINAPI DllUnregisterServer() { return veltrane::Module::UnregisterServer(); }
