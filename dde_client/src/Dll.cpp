// Corvane.ocx: the class table, registration (with the keys an ActiveX control needs) and the
// four DLL entry points.
#include "Core.h"

namespace {

HRESULT RegisterControlKeys(const common::ClassEntry&, const common::WString& clsidKey,
                            const common::WString& modulePath, bool install) {
  if (!install) return S_OK;  // the whole CLSID key goes with the standard unregistration
  using common::WriteClassesKey;
  HRESULT hr = WriteClassesKey(clsidKey + L"\\Control", nullptr);
  if (SUCCEEDED(hr)) hr = WriteClassesKey(clsidKey + L"\\Programmable", nullptr);
  if (SUCCEEDED(hr)) {
    wchar_t misc[16];
    swprintf(misc, 16, L"%lu", static_cast<unsigned long>(OLEMISC_INVISIBLEATRUNTIME |
                                                           OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INSIDEOUT |
                                                           OLEMISC_CANTLINKINSIDE |
                                                           OLEMISC_RECOMPOSEONRESIZE));
    hr = WriteClassesKey(clsidKey + L"\\MiscStatus", L"0");
    if (SUCCEEDED(hr)) hr = WriteClassesKey(clsidKey + L"\\MiscStatus\\1", misc);
  }
  if (SUCCEEDED(hr)) hr = WriteClassesKey(clsidKey + L"\\ToolboxBitmap32", (modulePath + L", 1").c_str());
  if (SUCCEEDED(hr))
    hr = WriteClassesKey(clsidKey + L"\\Implemented Categories\\{40FC6ED4-2438-11CF-A3DB-080036F12502}",
                         nullptr);
  if (SUCCEEDED(hr)) hr = WriteClassesKey(clsidKey + L"\\Verb\\0", L"&Properties...,0,2");
  return hr;
}

const common::ClassEntry kClasses[] = {{
    .clsid = &CLSID_Corvex,
    .getFactory = &common::ClassFactory<corvane::CorvexControl>::GetFactory,
    .description = L"Corvex DDE client control",
    .progId = L"Corvane.Corvex.1",
    .versionIndependentProgId = L"Corvane.Corvex",
    .threadingModel = L"Apartment",
    .typeLib = &LIBID_CorvaneLib,
    .typeLibVersion = L"1.0",
    .registerExtra = &RegisterControlKeys,
}};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE h, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    common::Module::SetHandle(h);
    DisableThreadLibraryCalls(h);
  }
  return TRUE;
}
extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID c, REFIID i, void** p) {
  return common::DllGetClassObjectFrom(kClasses, c, i, p);
}
extern "C" HRESULT WINAPI DllCanUnloadNow() {
  // A live DDEML instance still calls back into this module (a host that never uninitialised).
  if (corvane::State().idInst) return S_FALSE;
  return common::DllCanUnloadNowFromModule();
}
extern "C" HRESULT WINAPI DllRegisterServer() { return common::DllRegisterClasses(kClasses); }
extern "C" HRESULT WINAPI DllUnregisterServer() { return common::DllUnregisterClasses(kClasses); }
