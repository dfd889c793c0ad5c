// Tessarel.exe: the desktop program.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <oleauto.h>

#include "common/Strings.h"
#include "core/ServerTagDatabase.h"
#include "core/MessageLoop.h"
#include "core/frmMain.h"
#include "excel/CorvexControl.h"
#include "excel/DdeLink.h"
#include "excel/ExcelAutomation.h"
#include "excel/ExcelLink.h"
#include "excel/PlatformLocale.h"
#include "excel/ToolkitHost.h"
#include "client/ClientBridge.h"
#include "client/ExcelClientSheet.h"
#include "client/frmAddItem.h"
#include "core/StayInFront.h"

#include <stdexcept>

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
    CorvexControl dde;
    dde.Create();  // not registered: Initialise fails and start-up counts the error

    TessarelApp* app = nullptr;
    frmMain* window = nullptr;
    DdeLink* linkPtr = nullptr;
    ServerTagDatabase tags(TagDatabaseContext{
        [&app](const std::string& m) { app->Log(m); },
        [&app] { ++app->gErrorCount; },
        [&app] { return app->gDelimiter; },
        &LocalNow,
        [&toolkit]() -> IServedTagsPort* { return &toolkit; },
        [&excel] { return excel.Calculation(); }});

    ClientBridgeContext cc;
    cc.log = [&app](const std::string& m) { app->Log(m); };
    cc.countError = [&app] { ++app->gErrorCount; };
    cc.programFolder = [&app] { return app->ProgramFolder; };
    cc.createServer = [](IOPCAutoServer** server) {
      return CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCAutoServer,
                              reinterpret_cast<void**>(server));
    };
    cc.findSheet = [&excel](const std::string& name) -> std::shared_ptr<IClientSheet> {
      auto* xl = dynamic_cast<DispatchExcelApplication*>(excel.gExcel.get());
      if (!xl) return nullptr;
      common::ComPtr<IDispatch> sheet = FindWorksheet(xl->Dispatch(), excel.WorkbookIndex, name);
      if (!sheet) return nullptr;
      return std::make_shared<ExcelClientSheet>(sheet);
    };
    cc.fileExists = [](const std::string& path) {
      return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    cc.loadTags = [&tags, &linkPtr](const std::string& path, const std::string& sheet) {
      CellFormatter own;
      CellFormatter* f = linkPtr && linkPtr->Formatter() ? linkPtr->Formatter() : &own;
      return LoadClientDatabase(path, sheet, tags, *f);
    };
    cc.showServer = [&window](const std::string& s, bool on) { window->ShowClientServer(s, on); };
    cc.showSheet = [&window](const std::string& s) { window->ShowClientSheet(s); };
    cc.showDatabase = [&window](const std::string& s) { window->ShowClientDatabase(s); };
    cc.trueText = [&app] { return app->ExcelTrueText; };
    cc.falseText = [&app] { return app->ExcelFalseText; };
    cc.locale = PlatformConversions();
    ClientBridge client(std::move(cc));

    DdeLinkContext ctx;
    ctx.log = [&app](const std::string& m) { app->Log(m); };
    ctx.trueText = [&app] { return app->ExcelTrueText; };
    ctx.falseText = [&app] { return app->ExcelFalseText; };
    ctx.localUpdateOnWrite = [&app] { return app->LocalUpdateOnWrite; };
    ctx.autoCalcHoldMs = [&app] { return app->AutoCalcHoldMs; };
    ctx.ackHotLinks = [&app] { return app->AckHotLinks; };
    ctx.startTimer = [&window](AppTimer t) { window->StartTimer(t); };
    ctx.stopTimer = [&window](AppTimer t) { window->StopTimer(t); };
    ctx.getCalculation = [&excel] { return excel.Calculation(); };
    ctx.setCalculation = [&excel](long m) { return excel.SetCalculation(m); };
    ctx.clientsConnected = [&toolkit] { return toolkit.ClientsConnected(); };
    ctx.requestClientShutdown = [&toolkit](const std::string& r) { toolkit.RequestClientShutdown(r); };
    ctx.ddeStatus = [&dde] { return dde.Status(); };
    ctx.locale = PlatformConversions();
    ctx.writeClientTag = [&client](const OpcIndex& e, const std::string& t, const std::string& s) {
      client.WriteClientTag(e, t, s);
    };
    DdeLink link(tags, dde, toolkit, ctx);
    linkPtr = &link;

    frmMain main(instance, &toolkit, &dde, &excel, &tags, &link, &client);
    app = &main.App();
    window = &main;
    toolkit.SetCallbacks({[&main](long n) { main.ShowClientCount(n); },
                          [&main] { main.LastClientGone(); },
                          [&link](const std::vector<std::string>& n, const std::vector<TagValue>& v,
                                  std::vector<long>& e) { return link.WriteItems(n, v, e); }});
    dde.SetEvents({[&link](const std::string& c, const std::string& i, const std::string& d) {
                     link.OnDDEAdvise(c, i, d);
                   },
                   [&link](const std::string& c) { link.OnDDEDisconnect(c); }});
    HWND tagEditor = nullptr;  // at most one open
    main.SetTagEditorOpener([&] {
      if (tagEditor && IsWindow(tagEditor)) {
        ComeBackInFront(tagEditor);
        return;
      }
      TagEditorContext t = client.TagEditorParts();
      t.sheetNames = [&excel] {
        auto* xl = dynamic_cast<DispatchExcelApplication*>(excel.gExcel.get());
        if (!xl) throw std::runtime_error("no spreadsheet");
        return ActiveWorkbookSheetNames(xl->Dispatch());
      };
      t.programFolder = app->ProgramFolder;
      t.iniFile = app->IniFile;
      t.closed = [&tagEditor] { tagEditor = nullptr; };
      tagEditor = frmAddItem::Open(instance, main.Hwnd(), std::move(t));
    });
    if (!main.Create(show)) return 1;
    code = RunMessageLoop();
  }
  OleUninitialize();
  return code;
}
