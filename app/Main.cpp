// Tessarel.exe: the desktop program.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "core/frmMain.h"

namespace {
// Until the tag database is wired in, no tags are loaded.
class NoTagDatabase : public ITagDatabasePort {
 public:
  void LoadServerDatabase(const std::string&) override {}
  long TagCount() override { return 0; }
  std::vector<std::string> SheetNames() override { return {}; }
};
}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  OleInitialize(nullptr);

  // Parts not yet wired in are the do-nothing ports.
  NullToolkitPort toolkit;
  NullDdeControlPort dde;
  NullExcelPort excel;
  NullDdeLinkPort ddeLink;
  NullClientBridgePort client;
  NoTagDatabase tags;

  int code = 0;
  {
    frmMain main(instance, &toolkit, &dde, &excel, &tags, &ddeLink, &client);
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
