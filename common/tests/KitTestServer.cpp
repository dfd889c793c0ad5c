// Local server of the test coclass KitCalcLocal.
#include "KitCalc.h"

namespace {

const GUID kAppId = {0xf60587c1, 0xc1fd, 0x4daa, {0xa8, 0xcc, 0x47, 0xf5, 0xb3, 0x19, 0x50, 0x7f}};

const common::ClassEntry kClasses[] = {{
    .clsid = &CLSID_KitCalcLocal,
    .getFactory = &common::ClassFactory<kittest::KitCalc>::GetFactory,
    .description = L"Tessarel kit test calculator (local server)",
    .progId = L"Tessarel.KitCalcLocal.1",
    .versionIndependentProgId = L"Tessarel.KitCalcLocal",
    .typeLib = &LIBID_KitTestLib,
    .typeLibVersion = L"1.0",
    .appId = &kAppId,
}};

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
  common::Module::SetHandle(instance);
  return common::LocalServerMain(kClasses, commandLine);
}
