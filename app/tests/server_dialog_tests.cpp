// The server selection dialog of Tessarel.exe, started for real under Wine in a temporary program
// folder and driven through window messages as a user's clicks and keys arrive: the "..." button
// of the main window, the list, the text box, OK and Cancel, the message boxes it raises (found
// by their window handles and answered), and staying in front of the program's other windows.
// SimServer, started by the test, is the server chosen from the list.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <oaidl.h>

#include <OPCAutomation.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../res/resource.h"
#include "FakeParts.h"
#include "SimServerProcess.h"
#include "StayInFront.h"
#include "WinTestSupport.h"
#include "common/ComPtr.h"
#include "frmMain.h"
#include "common/Strings.h"
#include "common/Variant.h"

using namespace wintest;

namespace {

const char* const kMainClass = "TessarelMainWindow";
const char* const kSim = "Sim.OPCDA.2";
const char* const kUnregistered = "Tessarel.NoSuchServer.1";

std::string TessarelExe() { return EnvPath("TESSAREL_BIN_DIR") + "\\Tessarel.exe"; }

bool Gone(HWND w) { return WaitFor([&] { return !IsWindow(w); }, 10000); }

std::vector<std::string> ListEntries(HWND list) {
  std::vector<std::string> out;
  LRESULT n = SendMessageA(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < n; ++i) {
    // Wide: Wine hands an ANSI caller of another process the entry's UTF-16 bytes.
    wchar_t buf[512] = {};
    LRESULT len = SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(buf));
    out.push_back(common::WideToAnsi(std::wstring(buf, len > 0 ? static_cast<std::size_t>(len) : 0)));
  }
  return out;
}

// A list entry clicked: the selection moves and the list tells its parent.
void ClickEntry(HWND dialog, int index) {
  HWND list = GetDlgItem(dialog, IDC_OPCSERVERLIST);
  SendMessageA(list, LB_SETCURSEL, index, 0);
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_OPCSERVERLIST, LBN_SELCHANGE),
               reinterpret_cast<LPARAM>(list));
}

// A key pressed in whichever control of the process has the keyboard focus.
void PressKey(HWND dialog, WPARAM key) {
  GUITHREADINFO gi{};
  gi.cbSize = sizeof gi;
  HWND target = dialog;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gi) && gi.hwndFocus)
    target = gi.hwndFocus;
  PostMessageA(target, WM_KEYDOWN, key, 1);
  PostMessageA(target, WM_KEYUP, key, 0xC0000001);
}

// The dialog's tooltip window while it shows a tip.
HWND VisibleTooltip(DWORD pid, HWND dialog) {
  std::vector<HWND> tips = OwnedWindows(pid, dialog, TOOLTIPS_CLASSA);
  return tips.empty() ? nullptr : tips.front();
}

// The mouse moved onto a point of the screen, as the user moves it.
void MoveMouse(int x, int y) {
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dx = MulDiv(x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
  in.mi.dy = MulDiv(y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
  in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  SendInput(1, &in, sizeof in);
}

// True when `upper` lies above `lower` in the z-order of top-level windows.
bool IsAbove(HWND upper, HWND lower) {
  for (HWND h = GetWindow(upper, GW_HWNDNEXT); h; h = GetWindow(h, GW_HWNDNEXT))
    if (h == lower) return true;
  return false;
}

bool InFront(HWND w, HWND other) {
  return WaitFor([&] { return GetForegroundWindow() == w && IsAbove(w, other); }, 10000);
}

bool SimServerRunning() { return !simserver::NoSimServerRunning(0); }

std::string IniValue(const std::string& file, const char* section, const char* key) {
  char buf[256] = {};
  GetPrivateProfileStringA(section, key, "<none>", buf, sizeof buf, file.c_str());
  return buf;
}

// The servers the automation wrapper lists on this machine, as Tessarel asks for them.
std::vector<std::string> RegisteredOpcServers() {
  std::vector<std::string> out;
  common::ComPtr<IOPCAutoServer> server;
  if (FAILED(CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCAutoServer,
                              server.PutVoid())))
    return out;
  common::Variant list;
  if (FAILED(server->GetOPCServers(common::Variant::Missing(), list.Ptr())) ||
      !(V_VT(list.Ptr()) & VT_ARRAY))
    return out;
  SAFEARRAY* sa = V_ARRAY(list.Ptr());
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(sa, 1, &lo);
  SafeArrayGetUBound(sa, 1, &hi);
  for (LONG i = lo; i <= hi; ++i) {
    common::Variant e;
    if (V_VT(list.Ptr()) == (VT_ARRAY | VT_BSTR)) {
      BSTR b = nullptr;
      SafeArrayGetElement(sa, &i, &b);
      V_VT(e.Ptr()) = VT_BSTR;
      V_BSTR(e.Ptr()) = b;
    } else {
      SafeArrayGetElement(sa, &i, e.Ptr());
    }
    if (V_VT(e.Ptr()) == VT_BSTR) out.push_back(common::OleToUtf8(V_BSTR(e.Ptr())));
  }
  return out;
}

// Tessarel in a program folder of its own, with the given [OPC Client] section; the workbook and
// served tags make an ordinary run.
struct Tessarel {
  TempFolder dir{"tessarel_serverdlg"};
  Process p;
  HWND main = nullptr;
  DWORD pid = 0;

  explicit Tessarel(const std::string& clientSection) {
    EXPECT_TRUE(CopyFileA(TessarelExe().c_str(), dir.File("Tessarel.exe").c_str(), FALSE));
    dir.Write("Tessarel.ini",
              "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=plant.csv\r\nVisible=false\r\n"
              "[OPC Client]\r\n" + clientSection);
    dir.Write("plant.csv", "Name,Value\r\nSpeed,1\r\n");
    dir.Write("tags.csv", "Tag,Type,Sheet,Cell,Write\r\nSpeed,R8,plant,R2C2\r\n");
  }
  // A run the test left early is closed as a user would, so that the spreadsheet it started
  // and a server it holds end by themselves.
  ~Tessarel() {
    if (main && p.WaitExit(0) == -1) {
      PostMessageA(main, WM_CLOSE, 0, 0);
      p.WaitExit(30000);
    }
  }
  std::string Ini() const { return dir.File("Tessarel.ini"); }
  std::string IniText() const { return ReadFile(Ini()); }
  std::string Log() const { return ReadFile(dir.File("Tessarel.log")); }

  ::testing::AssertionResult Start() {
    if (!wintest::Start(p, dir.File("Tessarel.exe"), "", dir.Path()))
      return ::testing::AssertionFailure() << "Tessarel did not start";
    pid = p.pi.dwProcessId;
    main = FindProcessWindow(pid, kMainClass, 20000);
    if (!main) return ::testing::AssertionFailure() << "no main window";
    // The start-up tick has run once the served tag is counted.
    if (WaitText(main, IDC_TXTNUMOPCTAGS, [](const std::string& t) { return t == "1"; }, 30000) !=
        "1")
      return ::testing::AssertionFailure() << "start-up did not finish:\n" << Log();
    return ::testing::AssertionSuccess();
  }
  // "..." clicked; the dialog it opens.
  HWND Browse() {
    Click(main, IDC_BTNBROWSE);
    return WaitOwnedDialog(pid, main);
  }
  std::string Server() const { return ItemText(main, IDC_TXTSERVER); }
  bool TagEditorEnabled() const { return IsWindowEnabled(GetDlgItem(main, IDC_BTNOPCCLIENT)); }
  long Close() {
    PostMessageA(main, WM_CLOSE, 0, 0);
    return p.WaitExit(30000);
  }
};

struct ComScope {
  ComScope() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComScope() { CoUninitialize(); }
};

}  // namespace

// The list shows this machine's OPC servers in the wrapper's order; OK with nothing chosen only
// warns. A server taken from the list is connected at once, before the INI question; the INI
// changes only when the user agrees, and the question comes even for the server already shown.
// A typed ProgID that is not registered drops the old connection and leaves the client's own
// "Error connecting to" line in the log.
TEST(ServerSelection, ChoosesAndConnectsAtOnceAndStoresTheChoiceOnlyWhenAsked) {
  ComScope com;
  // SimServer is started by COM when Tessarel connects and ends by itself two seconds after its
  // last client has gone: its process shows whether Tessarel holds a connection.
  ASSERT_TRUE(simserver::NoSimServerRunning(30000)) << "a SimServer from an earlier test runs";
  const std::vector<std::string> servers = RegisteredOpcServers();
  ASSERT_FALSE(servers.empty()) << "the wrapper lists no OPC server";

  Tessarel t("Node=\r\n");
  ASSERT_TRUE(t.Start());
  EXPECT_EQ(t.Server(), "");
  EXPECT_FALSE(t.TagEditorEnabled());
  const std::string iniBefore = t.IniText();

  HWND dlg = t.Browse();
  ASSERT_NE(dlg, nullptr) << "no dialog after \"...\"";
  EXPECT_EQ(Text(dlg), "Select OPC Server");
  const std::vector<std::string> shown = ListEntries(GetDlgItem(dlg, IDC_OPCSERVERLIST));
  EXPECT_EQ(shown, servers);
  int sim2 = -1;
  for (std::size_t i = 0; i < shown.size(); ++i)
    if (shown[i] == kSim) sim2 = static_cast<int>(i);
  ASSERT_GE(sim2, 0) << kSim << " is not listed";
  EXPECT_EQ(ItemText(dlg, IDC_TXTSELECTEDOPCSERVER), "No Server Selected");
  EXPECT_EQ(ItemText(dlg, IDC_CONNECTTOOPCSERVER), "OK");
  EXPECT_EQ(ItemText(dlg, IDC_ABORTCONNECTION), "Cancel");

  // OK with nothing chosen: an OK-only box with the system's default title; the dialog stays.
  Click(dlg, IDC_CONNECTTOOPCSERVER);
  HWND box = WaitOwnedDialog(t.pid, dlg);
  ASSERT_NE(box, nullptr) << "no message box";
  EXPECT_EQ(Text(box), "Error");
  EXPECT_EQ(BoxText(box), "Please select an OPC Server from the list or enter a Prog ID.");
  EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
  EXPECT_EQ(GetDlgItem(box, IDCANCEL), nullptr);
  // The dialog's own message box keeps the front.
  Sleep(500);
  EXPECT_EQ(GetForegroundWindow(), box);
  ASSERT_TRUE(Answer(box, IDOK));
  EXPECT_TRUE(IsWindowVisible(dlg));
  EXPECT_EQ(t.Server(), "");

  // A list entry clicked fills the text box; OK connects before asking about the INI file.
  ClickEntry(dlg, sim2);
  EXPECT_EQ(WaitText(dlg, IDC_TXTSELECTEDOPCSERVER, [](const std::string& s) { return s == kSim; },
                     5000),
            kSim);
  Click(dlg, IDC_CONNECTTOOPCSERVER);
  box = WaitOwnedDialog(t.pid, dlg, 30000);
  ASSERT_NE(box, nullptr) << "no INI question\n" << t.Log();
  EXPECT_EQ(Text(box), "OPC Client Configuration");
  EXPECT_EQ(BoxText(box), "Update INI file?");
  EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
  EXPECT_NE(GetDlgItem(box, IDCANCEL), nullptr);
  EXPECT_EQ(t.Server(), kSim);
  EXPECT_TRUE(t.TagEditorEnabled());
  EXPECT_TRUE(SimServerRunning()) << "not connected before the question\n" << t.Log();
  ASSERT_TRUE(Answer(box, IDCANCEL));
  EXPECT_TRUE(Gone(dlg)) << "the dialog closes after the question";
  EXPECT_EQ(t.IniText(), iniBefore) << "Cancel leaves the INI file as it was";
  EXPECT_EQ(t.Server(), kSim) << "the new server stays for this run";

  // The server already shown, chosen again: the question still comes, and OK stores it.
  dlg = t.Browse();
  ASSERT_NE(dlg, nullptr);
  EXPECT_EQ(ItemText(dlg, IDC_TXTSELECTEDOPCSERVER), "No Server Selected") << "a fresh dialog";
  ClickEntry(dlg, sim2);
  WaitText(dlg, IDC_TXTSELECTEDOPCSERVER, [](const std::string& s) { return s == kSim; }, 5000);
  Click(dlg, IDC_CONNECTTOOPCSERVER);
  box = WaitOwnedDialog(t.pid, dlg, 30000);
  ASSERT_NE(box, nullptr) << "no INI question for the server already shown";
  EXPECT_EQ(BoxText(box), "Update INI file?");
  ASSERT_TRUE(Answer(box, IDOK));
  EXPECT_TRUE(Gone(dlg));
  EXPECT_EQ(IniValue(t.Ini(), "OPC Client", "Server"), kSim);
  EXPECT_EQ(IniValue(t.Ini(), "Tessarel", "Database"), "tags.csv") << "the rest stays";
  EXPECT_TRUE(SimServerRunning()) << "Tessarel let go of SimServer";

  // A typed ProgID that no server has: the client's connection error is logged, the old
  // connection has gone (SimServer ends once its last client left) and nothing else reconnects.
  const std::string iniStored = t.IniText();
  dlg = t.Browse();
  ASSERT_NE(dlg, nullptr);
  SendMessageA(GetDlgItem(dlg, IDC_TXTSELECTEDOPCSERVER), WM_SETTEXT, 0,
               reinterpret_cast<LPARAM>(kUnregistered));
  Click(dlg, IDC_CONNECTTOOPCSERVER);
  box = WaitOwnedDialog(t.pid, dlg, 30000);
  ASSERT_NE(box, nullptr) << "a failed connection still asks about the INI file";
  EXPECT_EQ(BoxText(box), "Update INI file?");
  ASSERT_TRUE(Answer(box, IDCANCEL));
  EXPECT_TRUE(Gone(dlg));
  EXPECT_EQ(t.Server(), kUnregistered);
  EXPECT_NE(t.Log().find(std::string(") - Error connecting to ") + kUnregistered + "\r\n"),
            std::string::npos)
      << t.Log();
  EXPECT_TRUE(simserver::NoSimServerRunning(15000)) << "Tessarel still holds SimServer";
  EXPECT_EQ(t.IniText(), iniStored);

  EXPECT_EQ(t.Close(), 0);
  const std::string log = t.Log();
  EXPECT_EQ(log.find("Error connecting to Sim.OPCDA.2"), std::string::npos) << log;
  EXPECT_EQ(log.find("could not be obtained"), std::string::npos) << log;
}

// Enter is OK and Escape is Cancel; Cancel changes nothing even with a ProgID typed. One dialog at
// a time: "..." again brings the open one forward. While open it takes the front back from the
// program's other windows (the event log, the main window), and its tooltips show on hover.
TEST(ServerSelection, KeysCancelOneDialogAndStayingInFront) {
  Tessarel t("");
  ASSERT_TRUE(t.Start());
  const std::string iniBefore = t.IniText();

  HWND dlg = t.Browse();
  ASSERT_NE(dlg, nullptr);
  EXPECT_EQ(GetWindow(dlg, GW_OWNER), t.main) << "owned by the main window";
  EXPECT_TRUE(IsWindowEnabled(t.main)) << "not modal";
  EXPECT_TRUE(SaveArtifact(dlg, "tessarel_server_dialog.bmp"));

  // "..." again: still one dialog, the same one, in front.
  Click(t.main, IDC_BTNBROWSE);
  Sleep(500);
  std::vector<HWND> dialogs = OwnedDialogs(t.pid, t.main);
  EXPECT_EQ(dialogs, std::vector<HWND>{dlg});
  EXPECT_TRUE(WaitFor([&] { return GetForegroundWindow() == dlg; }, 5000));

  // Another window of the program opens and takes the activation: the dialog comes back on top.
  PostMessageA(t.main, WM_COMMAND, MAKEWPARAM(IDM_EVENTLOG, 0), 0);
  HWND events = FindProcessWindow(t.pid, "TessarelEventLog", 10000);
  ASSERT_NE(events, nullptr);
  EXPECT_TRUE(InFront(dlg, events)) << "foreground " << GetForegroundWindow() << " dialog " << dlg
                                    << " event log " << events;
  EXPECT_TRUE(IsWindowVisible(events));
  // The main window activated.
  SetForegroundWindow(t.main);
  EXPECT_TRUE(InFront(dlg, t.main)) << "foreground " << GetForegroundWindow();

  // Tooltips: the mouse resting on a control shows that control's tip.
  struct Tip {
    int id;
    const char* text;
  };
  for (Tip tip : {Tip{IDC_OPCSERVERLIST, "Click on one of the available OPC servers listed here"},
                  Tip{IDC_TXTSELECTEDOPCSERVER,
                      "Select an OPC server from the list above or enter a Prog ID here"},
                  Tip{IDC_CONNECTTOOPCSERVER,
                      "Click here to attempt a connection to the selected OPC server"},
                  Tip{IDC_ABORTCONNECTION, "Click here to abort making a selection at this time"}}) {
    RECT r, d;
    GetWindowRect(GetDlgItem(dlg, tip.id), &r);
    GetWindowRect(dlg, &d);
    // From the caption (no tool) onto the control, then resting there; moved by a pixel now and
    // then, in case a tip that had popped up and gone needs a new movement.
    MoveMouse((d.left + d.right) / 2, d.top + 8);
    Sleep(300);
    std::string seen;
    bool shown = false;
    for (int attempt = 0; attempt < 4 && !shown; ++attempt) {
      MoveMouse((r.left + r.right) / 2, (r.top + r.bottom) / 2 + attempt % 2);
      shown = WaitFor(
          [&] {
            HWND tw = VisibleTooltip(t.pid, dlg);
            seen = tw ? Text(tw) : std::string();
            return seen == tip.text;
          },
          2500);
    }
    EXPECT_TRUE(shown) << tip.id << ": " << seen;
  }
  MoveMouse(0, 0);

  // Enter with nothing chosen is OK: the warning comes.
  PressKey(dlg, VK_RETURN);
  HWND box = WaitOwnedDialog(t.pid, dlg, 10000);
  ASSERT_NE(box, nullptr) << "Enter did not press OK";
  EXPECT_EQ(BoxText(box), "Please select an OPC Server from the list or enter a Prog ID.");
  ASSERT_TRUE(Answer(box, IDOK));

  // Escape is Cancel.
  WaitFor([&] { return GetForegroundWindow() == dlg; }, 5000);
  PressKey(dlg, VK_ESCAPE);
  EXPECT_TRUE(Gone(dlg)) << "Escape did not close the dialog";

  // Cancel with a ProgID typed: closed, no question, nothing connected or stored.
  dlg = t.Browse();
  ASSERT_NE(dlg, nullptr);
  SendMessageA(GetDlgItem(dlg, IDC_TXTSELECTEDOPCSERVER), WM_SETTEXT, 0,
               reinterpret_cast<LPARAM>(kUnregistered));
  Click(dlg, IDC_ABORTCONNECTION);
  EXPECT_TRUE(Gone(dlg));
  EXPECT_TRUE(OwnedDialogs(t.pid, t.main).empty());
  EXPECT_EQ(t.Server(), "");
  EXPECT_FALSE(t.TagEditorEnabled());
  EXPECT_EQ(t.IniText(), iniBefore);

  EXPECT_EQ(t.Close(), 0);
  EXPECT_EQ(t.Log().find("Error connecting"), std::string::npos) << t.Log();
}

// Without a list of servers (the wrapper cannot give one) the dialog still opens, empty, so that a
// ProgID can be typed, and the event log says why. The main window runs in this process over
// fakes of the program's parts, whose client gives no list.
TEST(ServerSelection, WithoutAServerListTheDialogOpensEmptyForATypedProgId) {
  Journal j;
  FakeToolkit toolkit(j);
  FakeDde dde(j);
  FakeExcel excel(j);
  FakeTags tags(j);
  FakeDdeLink link(j);
  FakeClient client(j);
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  auto pump = [](DWORD ms, const std::function<bool()>& done) { simserver::Pump(ms, done); };
  std::string logFile;
  {
    frmMain main(GetModuleHandleA(nullptr), &toolkit, &dde, &excel, &tags, &link, &client);
    ASSERT_TRUE(main.Create(SW_SHOWNOACTIVATE));
    logFile = main.App().Logger().LogFile();
    const DWORD pid = GetCurrentProcessId();
    PostMessageA(main.Hwnd(), WM_COMMAND, MAKEWPARAM(IDC_BTNBROWSE, BN_CLICKED), 0);
    HWND dlg = nullptr;
    pump(5000, [&] {
      std::vector<HWND> d = OwnedDialogs(pid, main.Hwnd());
      dlg = d.empty() ? nullptr : d.front();
      return dlg != nullptr;
    });
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(SendMessageA(GetDlgItem(dlg, IDC_OPCSERVERLIST), LB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(ItemText(dlg, IDC_TXTSELECTEDOPCSERVER), "No Server Selected");
    const std::string events = main.App().Logger().Buffer().ToString();
    EXPECT_NE(events.find("The list of OPC servers could not be obtained"), std::string::npos)
        << events;

    // A typed ProgID goes to the client; the INI question (answered Cancel from another thread,
    // as this one runs the box) still comes.
    SetDlgItemTextA(dlg, IDC_TXTSELECTEDOPCSERVER, "Typed.Server.1");
    std::string question;
    std::thread answer([&] {
      HWND box = WaitOwnedDialog(pid, dlg, 10000);
      if (!box) return;
      question = BoxText(box);
      Answer(box, IDCANCEL);
    });
    PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDC_CONNECTTOOPCSERVER, BN_CLICKED), 0);
    pump(15000, [&] { return !IsWindow(dlg); });
    answer.join();
    EXPECT_FALSE(IsWindow(dlg));
    EXPECT_EQ(question, "Update INI file?");
    int selects = 0;
    for (const std::string& c : j.calls) selects += c.rfind("client.select", 0) == 0;
    EXPECT_EQ(selects, 1);
    EXPECT_NE(std::find(j.calls.begin(), j.calls.end(), "client.select Typed.Server.1"),
              j.calls.end());

    DestroyWindow(main.Hwnd());
    pump(1000, [] { return false; });  // takes the quit the window posted
  }
  DeleteFileA(logFile.c_str());  // beside this test program
}

// Closing the window with no OPC client connected, over fakes of the program's parts that record
// each call: the client bridge's group is disabled and the client disconnected first; the
// clean-up then disconnects it before the DDE control is uninitialised and Excel let go, and
// releases it last.
TEST(MainWindowExit, TheClientLeavesBeforeTheDdeControlAndExcelAndGoesLast) {
  Journal j;
  FakeToolkit toolkit(j);
  FakeDde dde(j);
  FakeExcel excel(j);
  FakeTags tags(j);
  FakeDdeLink link(j);
  FakeClient client(j);
  std::string logFile;
  {
    frmMain main(GetModuleHandleA(nullptr), &toolkit, &dde, &excel, &tags, &link, &client);
    ASSERT_TRUE(main.Create(SW_SHOWNOACTIVATE));
    logFile = main.App().Logger().LogFile();
    j.calls.clear();
    SendMessageA(main.Hwnd(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(main.Hwnd()));
    simserver::Pump(500, [] { return false; });  // takes the quit the window posted
  }
  std::vector<std::string> exit;
  for (const std::string& c : j.calls)
    if (c.rfind("client.", 0) == 0 || c == "dde.uninit" || c == "excel.shutdown") exit.push_back(c);
  EXPECT_EQ(exit, (std::vector<std::string>{"client.disable+disconnect", "client.disconnect",
                                            "dde.uninit", "excel.shutdown", "client.release"}));
  DeleteFileA(logFile.c_str());
}

// The rule behind staying in front, on windows of this process.
TEST(StayInFront, ComesBackOnlyForOtherUnmarkedWindowsOfTheProgramNotOwnedByIt) {
  auto make = [](HWND owner) {
    return CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, owner, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
  };
  HWND self = make(nullptr), other = make(nullptr), mine = make(self), minesBox = make(mine),
       otherTool = make(nullptr), ownedByOther = make(other);
  ASSERT_TRUE(self && other && mine && minesBox && otherTool && ownedByOther);
  MarkStaysInFront(self);
  MarkStaysInFront(otherTool);
  EXPECT_TRUE(ShouldComeBack(self, other));
  EXPECT_TRUE(ShouldComeBack(self, ownedByOther));
  EXPECT_FALSE(ShouldComeBack(self, self));
  EXPECT_FALSE(ShouldComeBack(self, nullptr));
  EXPECT_FALSE(ShouldComeBack(self, mine)) << "owned by it";
  EXPECT_FALSE(ShouldComeBack(self, minesBox)) << "owned through an owner";
  EXPECT_FALSE(ShouldComeBack(self, otherTool)) << "two such windows must not fight";
  UnmarkStaysInFront(otherTool);
  EXPECT_TRUE(ShouldComeBack(self, otherTool));
  // A window of another process (the desktop's) never calls it back.
  DWORD pid = 0;
  GetWindowThreadProcessId(GetDesktopWindow(), &pid);
  if (pid != GetCurrentProcessId()) {
    EXPECT_FALSE(ShouldComeBack(self, GetDesktopWindow()));
  }
  for (HWND h : {minesBox, mine, ownedByOther, self, other, otherTool}) DestroyWindow(h);
}
