// Tessarel.exe started for real under Wine in a temporary program folder; its main window is
// read through window messages, as a user would see it.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "../res/resource.h"
#include "WinTestSupport.h"

using namespace wintest;

namespace {

const char* kMainClass = "TessarelMainWindow";

std::string TessarelExe() { return EnvPath("TESSAREL_BIN_DIR") + "\\Tessarel.exe"; }

// A program folder with its own copy of Tessarel.exe, so the INI and log are looked for there.
struct ProgramFolder {
  TempFolder dir{"tessarel_gui"};
  ProgramFolder() {
    EXPECT_TRUE(CopyFileA(TessarelExe().c_str(), dir.File("Tessarel.exe").c_str(), FALSE))
        << TessarelExe();
  }
  std::string Exe() const { return dir.File("Tessarel.exe"); }
};


}  // namespace

TEST(MainWindow, ShowsTheConfiguredStateAndFollowsTheResizeRule) {
  ProgramFolder pf;
  pf.dir.Write("Tessarel.ini",
               "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=plant.xlsx\r\n"
               "[OPC Client]\r\nDatabase=client.csv\r\n");
  pf.dir.Write("plant.xlsx", "not really a workbook, but readable");
  pf.dir.Write("tags.csv", "Tag,Type,Sheet,Cell,Write\r\nLine.Speed,R8,Plant,R2C2\r\n"
                           "Line.Setpoint,R8,Plant,R3C2,yes\r\n");
  Process p;
  ASSERT_TRUE(Start(p, pf.Exe(), "", pf.dir.Path()));
  HWND w = FindProcessWindow(p.pi.dwProcessId, kMainClass, 20000);
  ASSERT_NE(w, nullptr) << "no main window";
  EXPECT_EQ(Text(w), "Tessarel");
  EXPECT_EQ(ItemText(w, IDC_TXTSPREADSHEET), pf.dir.File("plant.xlsx"));
  EXPECT_EQ(ItemText(w, IDC_TXTCLIENTTAGDEFINITIONFILE), pf.dir.File("client.csv"));
  EXPECT_EQ(ItemText(w, IDC_TXTNUMOPCCLIENTS), "0");
  // The start-up tick has run once the tag count is shown; no errors were counted.
  EXPECT_EQ(WaitText(
                w, IDC_TXTNUMOPCTAGS, [](const std::string& t) { return t != "0"; }, 10000),
            "2");
  EXPECT_EQ(ItemText(w, IDC_TXTSTATUS), "Running");
  EXPECT_FALSE(IsWindowVisible(GetDlgItem(w, IDC_BTNVIEWERRORLOG)));
  // No client server: the tag editor's button is there but disabled.
  HWND tagEditor = GetDlgItem(w, IDC_BTNOPCCLIENT);
  ASSERT_NE(tagEditor, nullptr);
  EXPECT_EQ(Text(tagEditor), "OPC Tag Configuration");
  EXPECT_FALSE(IsWindowEnabled(tagEditor));
  EXPECT_EQ(ItemText(w, IDC_TXTSERVER), "");

  // Resize: the spreadsheet label spans the server frame less twice its offset in it; the
  // separator lines end at the window's width.
  SetWindowPos(w, nullptr, 0, 0, 900, 400, SWP_NOMOVE | SWP_NOZORDER);
  Sleep(300);
  RECT client;
  GetClientRect(w, &client);
  RECT frame = ClientRectOf(w, IDC_FRASERVER), label = ClientRectOf(w, IDC_TXTSPREADSHEET);
  EXPECT_EQ(label.right - label.left,
            (frame.right - frame.left) - 2 * (label.left - frame.left));
  EXPECT_EQ(ClientRectOf(w, IDC_LINE1).right, client.right);
  EXPECT_EQ(ClientRectOf(w, IDC_LINE2).right, client.right);
  EXPECT_TRUE(SaveArtifact(w, "tessarel_main_running.bmp"));

  // "DDE Status": the control's state with the number of conversations in the status bar (the
  // workbook here is not one the spreadsheet can open, so no conversation was made).
  PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDM_DDESTATUS, 0), 0);
  HWND status = FindProcessWindow(p.pi.dwProcessId, "TessarelShowText", 10000);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(Text(status), "DDE Status");
  EXPECT_EQ(ItemText(status, IDC_STATUSBAR), "There are 0 conversations");
  EXPECT_TRUE(SaveArtifact(status, "tessarel_dde_status.bmp"));
  PostMessageA(status, WM_COMMAND, MAKEWPARAM(IDC_CBCLOSE, BN_CLICKED), 0);
  for (int i = 0; i < 100 && IsWindow(status); ++i) Sleep(50);
  EXPECT_FALSE(IsWindow(status));

  PostMessageA(w, WM_CLOSE, 0, 0);
  EXPECT_EQ(p.WaitExit(15000), 0);
  std::string log = ReadFile(pf.dir.File("Tessarel.log"));
  EXPECT_NE(log.find("  Startup directory: " + pf.dir.Path() + "\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("  DDE Initialization OK\r\n"), std::string::npos) << log;
}

TEST(MainWindow, WithoutAnyIniShowsTheErrorStateAndTheErrorLog) {
  ProgramFolder pf;
  Process p;
  ASSERT_TRUE(Start(p, pf.Exe(), "", pf.dir.Path()));
  HWND w = FindProcessWindow(p.pi.dwProcessId, kMainClass, 20000);
  ASSERT_NE(w, nullptr);
  std::string status = WaitText(
      w, IDC_TXTSTATUS, [](const std::string& t) { return t != "Running"; }, 10000);
  EXPECT_EQ(status, "    Errors - See Tessarel.log");
  HWND view = GetDlgItem(w, IDC_BTNVIEWERRORLOG);
  EXPECT_TRUE(IsWindowVisible(view));
  EXPECT_TRUE(SaveArtifact(w, "tessarel_main_errors.bmp"));

  // "View" opens the error log with the whole log file in it.
  PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDC_BTNVIEWERRORLOG, BN_CLICKED),
               reinterpret_cast<LPARAM>(view));
  HWND errorLog = FindProcessWindow(p.pi.dwProcessId, "TessarelErrorLog", 10000);
  ASSERT_NE(errorLog, nullptr);
  EXPECT_EQ(Text(errorLog), "  Error Log");
  std::string shown = ItemText(errorLog, IDC_RTBERRORLOG);
  EXPECT_NE(shown.find("No Database CSV file specified in " + pf.dir.File("Tessarel.ini")),
            std::string::npos)
      << shown;
  EXPECT_TRUE(SaveArtifact(errorLog, "tessarel_error_log.bmp"));

  // "Event Log" shows this run's messages without time stamps.
  PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDM_EVENTLOG, 0), 0);
  HWND events = FindProcessWindow(p.pi.dwProcessId, "TessarelEventLog", 10000);
  ASSERT_NE(events, nullptr);
  EXPECT_EQ(Text(events), "Event Log");
  std::string text = ItemText(events, IDC_TXTERRORS);
  EXPECT_EQ(text.rfind("No Database CSV file specified in ", 0), 0u) << text;
  EXPECT_NE(text.find("\r\nFile " + pf.dir.Path() + "\\ does not exist\r\n"), std::string::npos)
      << text;

  PostMessageA(w, WM_CLOSE, 0, 0);
  EXPECT_EQ(p.WaitExit(15000), 0);
}

// A client server and sheet show in the "OPC Client" frame and enable the tag editor's button;
// a sheet the workbook does not have is a start-up error, in the log's words.
TEST(MainWindow, TheClientFrameShowsTheServerAndSheetAndASheetNotInTheWorkbookIsAnError) {
  ProgramFolder pf;
  pf.dir.Write("Tessarel.ini",
               "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=plant.csv\r\nVisible=false\r\n"
               "[OPC Client]\r\nServer=Sim.OPCDA.2\r\nSheet=NoSuchSheet\r\nDatabase=client.csv\r\n");
  pf.dir.Write("plant.csv", "Name,Value\r\nSpeed,1\r\n");
  pf.dir.Write("tags.csv", "Tag,Type,Sheet,Cell,Write\r\nSpeed,R8,plant,R2C2\r\n");
  Process p;
  ASSERT_TRUE(Start(p, pf.Exe(), "", pf.dir.Path()));
  HWND w = FindProcessWindow(p.pi.dwProcessId, kMainClass, 20000);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(ItemText(w, IDC_TXTSERVER), "Sim.OPCDA.2");
  EXPECT_EQ(ItemText(w, IDC_TXTCLIENTSHEET), "NoSuchSheet");
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(w, IDC_BTNOPCCLIENT)));
  EXPECT_EQ(WaitText(w, IDC_TXTSTATUS, [](const std::string& t) { return t != "Running"; }, 30000),
            "    Errors - See Tessarel.log");
  EXPECT_TRUE(SaveArtifact(w, "tessarel_main_client.bmp"));
  PostMessageA(w, WM_CLOSE, 0, 0);
  EXPECT_EQ(p.WaitExit(30000), 0);
  std::string log = ReadFile(pf.dir.File("Tessarel.log"));
  std::size_t sheet = log.find("  Could not assign sheet to client\r\n");
  std::size_t client = log.find("  Client not connected\r\n");
  std::size_t dde = log.find("ConnectToDdeServer:");
  EXPECT_NE(sheet, std::string::npos) << log;
  EXPECT_LT(sheet, client) << log;
  EXPECT_LT(client, dde) << "the client starts before the DDE conversations\n" << log;
}

// With the client connected, "OPC Tag Configuration" opens the tag editor on the client server's
// address space and the workbook's sheets; a second click does not open a second editor.
TEST(MainWindow, TheTagEditorOpensOnTheConnectedServerOnce) {
  CLSID sim, xl;
  if (FAILED(CLSIDFromProgID(L"Sim.OPCDA.2", &sim)) ||
      FAILED(CLSIDFromProgID(L"Excel.Application", &xl)))
    GTEST_SKIP() << "SimServer or the spreadsheet is not registered";
  ProgramFolder pf;
  pf.dir.Write("Tessarel.ini",
               "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=plant.csv\r\nVisible=false\r\n"
               "[OPC Client]\r\nServer=Sim.OPCDA.2\r\nSheet=plant\r\n");
  pf.dir.Write("plant.csv", "Name,Value\r\nSpeed,1\r\n");
  pf.dir.Write("tags.csv", "Tag,Type,Sheet,Cell,Write\r\nSpeed,R8,plant,R2C2\r\n");
  Process p;
  ASSERT_TRUE(Start(p, pf.Exe(), "", pf.dir.Path()));
  HWND w = FindProcessWindow(p.pi.dwProcessId, kMainClass, 20000);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(WaitText(w, IDC_TXTNUMOPCTAGS, [](const std::string& t) { return t != "0"; }, 30000),
            "1");
  EXPECT_EQ(ItemText(w, IDC_TXTSTATUS), "Running");  // the client connected
  EXPECT_TRUE(SaveArtifact(w, "tessarel_main_client_connected.bmp"));
  for (int click = 0; click < 2; ++click)
    PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDC_BTNOPCCLIENT, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(w, IDC_BTNOPCCLIENT)));
  HWND editor = FindProcessWindow(p.pi.dwProcessId, "TessarelAddItem", 15000);
  ASSERT_NE(editor, nullptr);
  Sleep(500);
  EXPECT_EQ(Text(editor), "Add Item");
  EXPECT_EQ(GetWindow(editor, GW_OWNER), w);
  // The server's root with its placeholder child, not yet expanded.
  EXPECT_EQ(SendDlgItemMessageA(editor, IDC_TVBRANCHVIEW, TVM_GETCOUNT, 0, 0), 2);
  EXPECT_EQ(ItemText(editor, IDC_CMBSHEET), "plant");
  EXPECT_EQ(ItemText(editor, IDC_GRIDDATA), "Item\tOPC Tag\tCell\tRow\tColumn\r\n");
  int editors = 0;
  EnumWindows(
      [](HWND h, LPARAM n) -> BOOL {
        char c[64];
        if (GetClassNameA(h, c, sizeof c) && lstrcmpA(c, "TessarelAddItem") == 0)
          ++*reinterpret_cast<int*>(n);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&editors));
  EXPECT_EQ(editors, 1);
  EXPECT_TRUE(SaveArtifact(editor, "tessarel_tag_editor_opened.bmp"));
  PostMessageA(editor, WM_COMMAND, MAKEWPARAM(IDC_BTNCANCEL, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(editor, IDC_BTNCANCEL)));
  for (int i = 0; i < 100 && IsWindow(editor); ++i) Sleep(50);
  EXPECT_FALSE(IsWindow(editor));
  PostMessageA(w, WM_CLOSE, 0, 0);
  EXPECT_EQ(p.WaitExit(30000), 0);
}

namespace {
// LocalServer32 of the served OPC server's class, or "" when it is not registered.
std::string RegisteredServer() {
  char buf[1024] = {};
  LONG n = sizeof buf;
  if (RegQueryValueA(HKEY_CLASSES_ROOT,
                     "CLSID\\{8D605FC4-72C9-44A0-A38E-9A6FF1AB5E88}\\LocalServer32", buf,
                     &n) != ERROR_SUCCESS)
    return std::string();
  return buf;
}
}  // namespace

TEST(MainWindow, RegistrationSwitchesRegisterOrUnregisterAndEndWithoutShowingTheWindow) {
  const std::string before = RegisteredServer();
  ProgramFolder pf;
  struct Case {
    const char* args;
    bool registered;
  };
  for (Case c : {Case{"/RegServer", true}, Case{"-unregserver -regserver", false}}) {
    Process p;
    ASSERT_TRUE(Start(p, pf.Exe(), c.args, pf.dir.Path()));
    EXPECT_EQ(p.WaitExit(15000), 0) << c.args;
    EXPECT_EQ(FindProcessWindow(p.pi.dwProcessId, kMainClass, 0), nullptr);
    std::string server = RegisteredServer();
    if (c.registered)
      EXPECT_NE(server.find(pf.Exe()), std::string::npos) << server;
    else
      EXPECT_EQ(server, "") << c.args;
  }
  // Nothing past the switches ran: no INI was read, DDE never initialised.
  std::string log = ReadFile(pf.dir.File("Tessarel.log"));
  EXPECT_EQ(log.find("DDE Initialization"), std::string::npos) << log;

  // If a Tessarel was registered before, leave the build's own registered.
  if (!before.empty()) {
    Process p;
    ASSERT_TRUE(Start(p, TessarelExe(), "/regserver", ""));
    EXPECT_EQ(p.WaitExit(15000), 0);
    EXPECT_NE(RegisteredServer().find(TessarelExe()), std::string::npos);
  }
}
