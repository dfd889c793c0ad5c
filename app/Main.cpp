// Tessarel.exe: the desktop program.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <oleauto.h>

#include "core/ServerTagDatabase.h"
#include "core/frmMain.h"
#include "excel/ExcelAutomation.h"
#include "excel/ExcelLink.h"
#include "excel/ToolkitHost.h"

namespace {

OleDate LocalNow() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  double d = 0;
  SystemTimeToVariantTime(&st, &d);
  return OleDate{d};
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  OleInitialize(nullptr);

  int code = 0;
  {
    ToolkitHost toolkit;
    ComExcelConnector excelConnector;
    ExcelLink excel(excelConnector);
    // Parts not wired in yet are the do-nothing ports.
    NullDdeControlPort dde;
    NullDdeLinkPort ddeLink;
    NullClientBridgePort client;

    TessarelApp* app = nullptr;
    ServerTagDatabase tags(TagDatabaseContext{
        [&app](const std::string& m) { app->Log(m); },
        [&app] { ++app->gErrorCount; },
        [&app] { return app->gDelimiter; },
        &LocalNow,
        [&toolkit]() -> IServedTagsPort* { return &toolkit; },
        [&excel] { return excel.Calculation(); }});

    frmMain main(instance, &toolkit, &dde, &excel, &tags, &ddeLink, &client);
    app = &main.App();
    toolkit.SetCallbacks({[&main](long n) { main.ShowClientCount(n); },
                          [&main] { main.LastClientGone(); }});
    if (!main.Create(show)) return 1;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    code = static_cast<int>(msg.wParam);
  }
  OleUninitialize();
  return code;
}
