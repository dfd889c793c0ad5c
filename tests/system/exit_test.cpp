// The ways Tessarel ends, with the real programs: closing the window while OPC clients are
// connected (they are asked to leave and Tessarel ends after the last one), the File menu's
// "Exit" and "Forced Exit", closing the window without clients, and what each leaves behind: a
// spreadsheet Tessarel started is quit without a save prompt (or left running by Forced Exit),
// an attached one keeps running with its user's workbook, and the OPC server of the client
// bridge ends. Tessarel's message boxes are answered through their window handles; the OPC
// clients are opcclient processes that stay connected after the server's request until the test
// lets them go.
#include <gtest/gtest.h>

#include <string>

#include "SimServerProcess.h"  // windows.h and tlhelp32.h, in that order
#include "SystemSupport.h"
#include "resource.h"

using namespace wintest;
using namespace systest;

namespace {

const char* const kMainClass = "TessarelMainWindow";
const char* const kAskText = "There are OPC Clients connected. Request disconnection?";
const char* const kReason = "Server is being shut down by administrator";
const char* const kAsked = "server asks to disconnect: ";
constexpr int kMessageBoxText = 0xFFFF;  // the text's control in a message box

// Properties and methods of automation objects, as the test reads the spreadsheet.
common::Variant Get(IDispatch* obj, const wchar_t* name, std::initializer_list<common::Variant> args = {}) {
  common::Variant v;
  if (obj) common::GetProperty(obj, name, v.Ptr(), args);
  return v;
}
IDispatch* Obj(const common::Variant& v) {
  return V_VT(v.Ptr()) == VT_DISPATCH ? V_DISPATCH(v.Ptr()) : nullptr;
}
constexpr long kUnreadable = -999999;
// A number or Boolean (true is -1) as a long; kUnreadable when it is neither.
long Long(const common::Variant& v) {
  common::Variant c;
  if (V_VT(v.Ptr()) == VT_EMPTY || V_VT(v.Ptr()) == VT_ERROR ||
      FAILED(VariantChangeType(c.Ptr(), const_cast<VARIANT*>(v.Ptr()), 0, VT_I4)))
    return kUnreadable;
  return V_I4(c.Ptr());
}
std::string Str(const common::Variant& v) {
  return V_VT(v.Ptr()) == VT_BSTR ? common::OleToUtf8(V_BSTR(v.Ptr())) : std::string("<none>");
}

// The "Excel.Application" in the running object table (the one Tessarel started or attached
// to), or null when none runs.
common::ComPtr<IDispatch> ActiveSpreadsheet() {
  CLSID clsid;
  common::ComPtr<IUnknown> unk;
  common::ComPtr<IDispatch> app;
  if (SUCCEEDED(CLSIDFromProgID(L"Excel.Application", &clsid)) &&
      SUCCEEDED(GetActiveObject(clsid, nullptr, unk.ReleaseAndGetAddressOf())))
    unk->QueryInterface(IID_IDispatch, app.PutVoid());
  return app;
}

// Workbooks(position).Worksheets(1) of a spreadsheet.
common::Variant FirstSheet(IDispatch* app, int position) {
  common::Variant books = Get(app, L"Workbooks");
  common::Variant book = Get(Obj(books), L"Item", {common::Variant(position)});
  common::Variant sheets = Get(Obj(book), L"Worksheets");
  return Get(Obj(sheets), L"Item", {common::Variant(1)});
}
common::Variant Book(IDispatch* app, int position) {
  common::Variant books = Get(app, L"Workbooks");
  return Get(Obj(books), L"Item", {common::Variant(position)});
}
HRESULT PutCell(IDispatch* app, int book, const wchar_t* cell, const common::Variant& v) {
  common::Variant sheet = FirstSheet(app, book);
  common::Variant range = Get(Obj(sheet), L"Range", {common::Variant(cell)});
  return Obj(range) ? common::PutProperty(Obj(range), L"Value", v) : E_FAIL;
}
std::string CellValue(IDispatch* app, int book, const wchar_t* cell) {
  common::Variant sheet = FirstSheet(app, book);
  common::Variant range = Get(Obj(sheet), L"Range", {common::Variant(cell)});
  return Obj(range) ? Describe(*Get(Obj(range), L"Value").Ptr()) : "<no cell>";
}

bool NoSpreadsheetActive(DWORD ms) {
  return WaitFor([] { return !ActiveSpreadsheet(); }, ms);
}

// A process the test did not start, watched by its ID.
struct Watched {
  HANDLE h = nullptr;
  explicit Watched(DWORD pid) : h(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid)) {}
  ~Watched() {
    if (h) CloseHandle(h);
  }
  bool Ended(DWORD ms) const { return h && WaitForSingleObject(h, ms) == WAIT_OBJECT_0; }
};

// The ID of the running SimServer.exe, 0 when none runs.
DWORD SimServerPid() {
  std::vector<DWORD> pids = ProcessesNamed(L"SimServer.exe");
  return pids.empty() ? 0 : pids.front();
}

// A message box of the process ("#32770"), with its caption and text.
struct Box {
  HWND h = nullptr;
  std::string caption, text;
  bool Found() const { return h != nullptr; }
};
Box WaitBox(DWORD pid, DWORD ms) {
  Box b;
  b.h = FindProcessWindow(pid, "#32770", ms);
  if (b.h) {
    b.caption = Text(b.h);
    b.text = ItemText(b.h, kMessageBoxText);
  }
  return b;
}
// Presses a button of the box (IDOK, IDCANCEL, IDNO) and waits until the box has gone.
bool Answer(const Box& b, int button) {
  PostMessageA(b.h, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(b.h, button)));
  return WaitFor([&] { return !IsWindow(b.h); }, 10000);
}

// Waits until the spreadsheet process has ended; a save prompt it shows meanwhile is answered
// "No" (so nothing is saved and the process can go) and reported in `prompt`.
bool SpreadsheetEnds(const Watched& xl, DWORD pid, std::string& prompt, DWORD ms = 30000) {
  DWORD start = GetTickCount();
  while (!xl.Ended(100)) {
    Box b = WaitBox(pid, 50);  // one look at its windows
    if (b.Found()) {
      prompt = b.caption + ": " + b.text;
      Answer(b, IDNO);
    }
    if (GetTickCount() - start > ms) return false;
  }
  return true;
}

// Waits for Tessarel's end while it closes the spreadsheet's workbooks: a save prompt of the
// spreadsheet would hold Tessarel in that call, so it is answered "No" and reported in
// `prompt`. Tessarel's exit code, or -1 when it did not end.
long TessarelEnds(Process& tessarel, DWORD xlPid, std::string& prompt, DWORD ms = 30000) {
  WaitFor(
      [&] {
        Box b = WaitBox(xlPid, 50);
        if (b.Found()) {
          prompt = b.caption + ": " + b.text;
          Answer(b, IDNO);
        }
        return tessarel.WaitExit(0) != -1;
      },
      ms);
  return tessarel.WaitExit(0);
}

// Ends a Tessarel that a failed test left running by closing its window (which ends it when no
// client is connected) before its Process kills it: killed while its class object is
// registered, it would leave Wine's COM with a stale registration of the server.
struct ClosesTessarel {
  Process& p;
  ~ClosesTessarel() {
    if (p.WaitExit(0) != -1) return;
    if (HWND w = FindProcessWindow(p.pi.dwProcessId, kMainClass, 5000)) PostMessageA(w, WM_CLOSE, 0, 0);
    p.WaitExit(30000);
  }
};

// An opcclient that watches a tag of Tessarel's and stays connected after a shutdown request
// until the test sets its event.
struct StayingClient {
  std::string event, out;
  HANDLE leave = nullptr;
  Process p;
  StayingClient(const TessarelFolder& f, const std::string& name) {
    event = "tessarel_exit_" + name + "_" + std::to_string(GetCurrentProcessId());
    out = f.dir.File(name + ".txt");
    leave = CreateEventA(nullptr, TRUE, FALSE, event.c_str());
    StartToFile(p, f.Opc(),
                "Marrowby.Tessarel.1 watch Speed --seconds 300 --stay-until " + event, out);
  }
  ~StayingClient() {
    if (leave) {
      SetEvent(leave);  // lets it leave by itself rather than be killed
      p.WaitExit(10000);
      CloseHandle(leave);
    }
  }
  bool Subscribed(DWORD ms = 30000) const {
    return WaitInFile(out, "watching until " + event + " is set", ms) != std::string::npos;
  }
  std::string Output() const { return ReadFile(out); }
  long Leave() {
    SetEvent(leave);
    return p.WaitExit(15000);
  }
};

std::string Ini(const std::string& workbook, bool newInstance, bool visible,
                const std::string& more = "") {
  return "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=" + workbook +
         "\r\nFileOpenMode=write\r\nVisible=" + (visible ? "true" : "false") +
         "\r\nNewExcelInstance=" + (newInstance ? "true" : "false") + "\r\n" + more;
}

const char* const kPlant = "Name,Value\r\nSpeed,1\r\nCount,2\r\n";
const char* const kPlantTags = "Tag,Type,Sheet,Cell,Write\r\nSpeed,R8,Plant,R2C2,yes\r\n";

::testing::AssertionResult Ready() {
  std::string why;
  if (!Prerequisites(why)) return ::testing::AssertionFailure() << why;
  return ::testing::AssertionSuccess();
}

}  // namespace

// Closing the window with two OPC clients connected: the question comes up and Cancel leaves
// everything as it was (nothing is sent to the clients); so does Cancel to the File menu's
// "Exit". OK sends both clients the request with its reason while the window stays; Tessarel
// goes on serving the client that stays and ends only when the second one has left. The
// spreadsheet Tessarel started (shown, with a change not saved) is then quit without a save
// prompt, and the workbook file is left as it was.
TEST(Exit, ClosingWithClientsAsksThemToLeaveAndEndsAfterTheLastQuittingTheSpreadsheet) {
  ComScope com;
  if (!Ready()) GTEST_SKIP() << "not registered";
  ASSERT_TRUE(NoSpreadsheetActive(20000)) << "a spreadsheet from an earlier test is running";
  TessarelFolder f("tessarel_exit_close");
  f.dir.Write("Plant.csv", kPlant);
  f.dir.Write("tags.csv", kPlantTags);
  f.dir.Write("Tessarel.ini", Ini("Plant.csv", true, true));
  Process tessarel;
  ClosesTessarel closes{tessarel};
  ASSERT_TRUE(f.StartAndWait(tessarel)) << f.Log();
  HWND w = FindProcessWindow(tessarel.pi.dwProcessId, kMainClass, 20000);
  ASSERT_NE(w, nullptr);
  const DWORD tpid = tessarel.pi.dwProcessId;

  // The spreadsheet Tessarel started: shown (so it could ask about saving) and changed.
  DWORD xlPid = 0;
  {
    common::ComPtr<IDispatch> xl = ActiveSpreadsheet();
    ASSERT_TRUE(xl) << "no spreadsheet in the running object table";
    xlPid = static_cast<DWORD>(Long(Get(xl.Get(), L"ProcessId")));
    EXPECT_EQ(Long(Get(xl.Get(), L"Visible")), -1);
    ASSERT_HRESULT_SUCCEEDED(PutCell(xl.Get(), 1, L"B3", common::Variant(42.0)));
    EXPECT_EQ(Long(Get(Obj(Book(xl.Get(), 1)), L"Saved")), 0);
  }
  Watched xlProcess(xlPid);
  ASSERT_NE(xlProcess.h, nullptr) << "spreadsheet process " << xlPid;

  StayingClient one(f, "one"), two(f, "two");
  ASSERT_TRUE(one.Subscribed()) << one.Output();
  ASSERT_TRUE(two.Subscribed()) << two.Output();
  ASSERT_EQ(WaitText(w, IDC_TXTNUMOPCCLIENTS, [](const std::string& t) { return t == "2"; }, 15000),
            "2");

  {
    SCOPED_TRACE("closing the window, Cancel");
    PostMessageA(w, WM_CLOSE, 0, 0);
    Box b = WaitBox(tpid, 15000);
    ASSERT_TRUE(b.Found());
    EXPECT_EQ(b.caption, "Tessarel");
    EXPECT_EQ(b.text, kAskText);
    ASSERT_TRUE(Answer(b, IDCANCEL));
  }
  {
    SCOPED_TRACE("File Exit, Cancel");
    PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0);
    Box b = WaitBox(tpid, 15000);
    ASSERT_TRUE(b.Found());
    EXPECT_EQ(b.caption, "Tessarel");
    EXPECT_EQ(b.text, kAskText);
    ASSERT_TRUE(Answer(b, IDCANCEL));
  }
  Sleep(2000);  // time for a request that should not have been sent
  EXPECT_FALSE(Has(one.Output(), kAsked)) << one.Output();
  EXPECT_FALSE(Has(two.Output(), kAsked)) << two.Output();
  EXPECT_EQ(tessarel.WaitExit(0), -1);
  EXPECT_TRUE(IsWindowVisible(w));
  EXPECT_EQ(one.p.WaitExit(0), -1);
  EXPECT_EQ(two.p.WaitExit(0), -1);

  {
    SCOPED_TRACE("closing the window, OK");
    PostMessageA(w, WM_CLOSE, 0, 0);
    Box b = WaitBox(tpid, 15000);
    ASSERT_TRUE(b.Found());
    EXPECT_EQ(b.text, kAskText);
    ASSERT_TRUE(Answer(b, IDOK));
  }
  const std::string asked = std::string(kAsked) + kReason;
  EXPECT_NE(WaitInFile(one.out, asked, 15000), std::string::npos) << one.Output();
  EXPECT_NE(WaitInFile(two.out, asked, 15000), std::string::npos) << two.Output();
  EXPECT_EQ(Count(one.Output(), kAsked), 1) << one.Output();
  EXPECT_EQ(Count(two.Output(), kAsked), 1) << two.Output();
  // The window stays, and Tessarel keeps serving while clients remain.
  EXPECT_TRUE(IsWindow(w) && IsWindowVisible(w));
  EXPECT_EQ(tessarel.WaitExit(0), -1);

  EXPECT_EQ(one.Leave(), 0) << one.Output();
  EXPECT_EQ(WaitText(w, IDC_TXTNUMOPCCLIENTS, [](const std::string& t) { return t == "1"; }, 15000),
            "1");
  EXPECT_EQ(tessarel.WaitExit(3000), -1) << "Tessarel ended with a client still connected";
  std::string read;
  EXPECT_EQ(RunCapture(f.Opc(), "Marrowby.Tessarel.1 read Speed", read), 0) << read;
  EXPECT_TRUE(Has(read, "Speed = 1  [R8, Good")) << read;
  EXPECT_EQ(tessarel.WaitExit(0), -1) << "a client coming and going while another stays ended it";

  EXPECT_EQ(two.Leave(), 0) << two.Output();
  std::string prompt;
  EXPECT_EQ(TessarelEnds(tessarel, xlPid, prompt), 0);
  EXPECT_TRUE(SpreadsheetEnds(xlProcess, xlPid, prompt)) << "the spreadsheet is still running";
  EXPECT_EQ(prompt, "") << "the spreadsheet asked about saving";
  EXPECT_EQ(ReadFile(f.dir.File("Plant.csv")), kPlant);
  EXPECT_TRUE(NoSpreadsheetActive(5000));
}

// The File menu's "Exit" without clients does nothing. "Forced Exit" asks "Are you sure?":
// Cancel leaves Tessarel running, OK ends it at once, leaving the spreadsheet it started
// running with the workbook open (the test then quits it through its automation object).
TEST(Exit, ExitWithoutClientsDoesNothingAndForcedExitLeavesTheSpreadsheetRunning) {
  ComScope com;
  if (!Ready()) GTEST_SKIP() << "not registered";
  ASSERT_TRUE(NoSpreadsheetActive(20000)) << "a spreadsheet from an earlier test is running";
  TessarelFolder f("tessarel_exit_forced");
  f.dir.Write("Plant.csv", kPlant);
  f.dir.Write("tags.csv", kPlantTags);
  f.dir.Write("Tessarel.ini", Ini("Plant.csv", true, false));
  Process tessarel;
  ClosesTessarel closes{tessarel};
  ASSERT_TRUE(f.StartAndWait(tessarel)) << f.Log();
  HWND w = FindProcessWindow(tessarel.pi.dwProcessId, kMainClass, 20000);
  ASSERT_NE(w, nullptr);
  const DWORD tpid = tessarel.pi.dwProcessId;
  DWORD xlPid = 0;
  {
    common::ComPtr<IDispatch> xl = ActiveSpreadsheet();
    ASSERT_TRUE(xl) << "no spreadsheet in the running object table";
    xlPid = static_cast<DWORD>(Long(Get(xl.Get(), L"ProcessId")));
  }
  Watched xlProcess(xlPid);
  ASSERT_NE(xlProcess.h, nullptr) << "spreadsheet process " << xlPid;

  PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0);
  Box none = WaitBox(tpid, 3000);
  EXPECT_FALSE(none.Found()) << none.caption << ": " << none.text;
  if (none.Found()) Answer(none, IDCANCEL);
  EXPECT_EQ(tessarel.WaitExit(0), -1);
  EXPECT_TRUE(IsWindowVisible(w));

  PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDM_FORCEDEXIT, 0), 0);
  Box cancel = WaitBox(tpid, 15000);
  ASSERT_TRUE(cancel.Found());
  EXPECT_EQ(cancel.caption, "Forced Exit");
  EXPECT_EQ(cancel.text, "Are you sure?");
  ASSERT_TRUE(Answer(cancel, IDCANCEL));
  EXPECT_EQ(tessarel.WaitExit(2000), -1);

  PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDM_FORCEDEXIT, 0), 0);
  Box ok = WaitBox(tpid, 15000);
  ASSERT_TRUE(ok.Found());
  EXPECT_EQ(ok.text, "Are you sure?");
  PostMessageA(ok.h, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(ok.h, IDOK)));
  EXPECT_EQ(tessarel.WaitExit(10000), 0);

  // The spreadsheet stays, its workbook still open: nobody quit it.
  EXPECT_FALSE(xlProcess.Ended(3000)) << "the spreadsheet ended with Tessarel";
  common::ComPtr<IDispatch> xl = ActiveSpreadsheet();
  ASSERT_TRUE(xl) << "the spreadsheet left the running object table";
  EXPECT_EQ(static_cast<DWORD>(Long(Get(xl.Get(), L"ProcessId"))), xlPid);
  EXPECT_EQ(Long(Get(Obj(Get(xl.Get(), L"Workbooks")), L"Count")), 1);
  EXPECT_EQ(Str(Get(Obj(Book(xl.Get(), 1)), L"Name")), "Plant.csv");
  common::PutProperty(xl.Get(), L"DisplayAlerts", common::Variant(false));
  EXPECT_HRESULT_SUCCEEDED(common::CallMethod(xl.Get(), L"Quit"));
  xl.Reset();
  EXPECT_TRUE(xlProcess.Ended(30000)) << "the spreadsheet did not quit";
}

// A spreadsheet the user started, Tessarel attached to it. With Tessarel's workbook already
// open there, Tessarel's end leaves it open and the spreadsheet running. With a workbook
// Tessarel opened itself, its end closes that workbook (without asking about its unsaved change,
// though the spreadsheet is shown and its alerts are on, and with the alerts setting restored)
// and leaves the user's workbook open in the running spreadsheet.
TEST(Exit, AnAttachedSpreadsheetKeepsRunningAndLosesOnlyTheWorkbookTessarelOpened) {
  ComScope com;
  if (!Ready()) GTEST_SKIP() << "not registered";
  ASSERT_TRUE(NoSpreadsheetActive(20000)) << "a spreadsheet from an earlier test is running";
  TessarelFolder a("tessarel_exit_attached");
  a.dir.Write("Plant.csv", kPlant);
  a.dir.Write("tags.csv", kPlantTags);
  a.dir.Write("Tessarel.ini", Ini("Plant.csv", false, false));
  Spreadsheet user;
  ASSERT_HRESULT_SUCCEEDED(user.Start());
  ASSERT_TRUE(user.IsTheActiveOne());
  ASSERT_HRESULT_SUCCEEDED(user.Open(a.dir.File("Plant.csv")));
  common::ComPtr<IDispatch> app = ActiveSpreadsheet();
  ASSERT_TRUE(app);
  const DWORD xlPid = static_cast<DWORD>(Long(Get(app.Get(), L"ProcessId")));
  Watched xlProcess(xlPid);

  {
    SCOPED_TRACE("the workbook was already open; the last client leaving ends Tessarel");
    Process tessarel;
    ClosesTessarel closes{tessarel};
    ASSERT_TRUE(a.StartAndWait(tessarel)) << a.Log();
    EXPECT_EQ(user.BookCount(), 1);  // not opened a second time
    OpcSession last;
    ASSERT_EQ(last.Connect({L"Speed"}), "");
    EXPECT_EQ(last.Read(0), "1");
    last.Close();
    EXPECT_EQ(tessarel.WaitExit(30000), 0);
    EXPECT_FALSE(xlProcess.Ended(2000)) << "the spreadsheet ended with Tessarel";
    EXPECT_EQ(user.BookCount(), 1);
    EXPECT_EQ(user.Text(L"A2"), "Speed");
  }
  {
    SCOPED_TRACE("a workbook Tessarel opened; the window closed without clients");
    TessarelFolder b("tessarel_exit_attached2");
    const char* const line = "Name,Value\r\nRate,5\r\n";
    b.dir.Write("Line.csv", line);
    b.dir.Write("tags.csv", "Tag,Type,Sheet,Cell,Write\r\nRate,R8,Line,R2C2,yes\r\n");
    b.dir.Write("Tessarel.ini", Ini("Line.csv", false, false));
    // The user looks at the spreadsheet with its alerts on: a closed, changed workbook would ask.
    ASSERT_HRESULT_SUCCEEDED(common::PutProperty(app.Get(), L"Visible", common::Variant(true)));
    ASSERT_HRESULT_SUCCEEDED(common::PutProperty(app.Get(), L"DisplayAlerts", common::Variant(true)));
    Process tessarel;
    ClosesTessarel closes{tessarel};
    ASSERT_TRUE(b.StartAndWait(tessarel, 1, "line")) << b.Log();
    ASSERT_EQ(user.BookCount(), 2);
    EXPECT_EQ(Str(Get(Obj(Book(app.Get(), 2)), L"Name")), "Line.csv");
    ASSERT_HRESULT_SUCCEEDED(PutCell(app.Get(), 2, L"B3", common::Variant(7.0)));
    EXPECT_EQ(Long(Get(Obj(Book(app.Get(), 2)), L"Saved")), 0);

    HWND w = FindProcessWindow(tessarel.pi.dwProcessId, kMainClass, 20000);
    ASSERT_NE(w, nullptr);
    PostMessageA(w, WM_CLOSE, 0, 0);
    std::string prompt;
    EXPECT_EQ(TessarelEnds(tessarel, xlPid, prompt), 0);
    EXPECT_EQ(prompt, "") << "the spreadsheet asked about saving";
    EXPECT_FALSE(xlProcess.Ended(2000)) << "the spreadsheet ended with Tessarel";
    EXPECT_EQ(user.BookCount(), 1);
    EXPECT_EQ(Str(Get(Obj(Book(app.Get(), 1)), L"Name")), "Plant.csv");
    EXPECT_EQ(Long(Get(app.Get(), L"DisplayAlerts")), -1);  // restored
    EXPECT_EQ(ReadFile(b.dir.File("Line.csv")), line);
  }
  app.Reset();
}

// Closing the window without clients ends Tessarel after its clean-up: the spreadsheet it
// started is quit, the OPC server its client bridge connected to (a SimServer that COM started
// for it) ends once its client has gone, and nothing Tessarel started is left running. (A
// SimServer also ends when its client's process dies, so its end does not tell that the bridge
// disconnected; Tessarel.log would tell a disconnection that failed.)
TEST(Exit, ClosingWithoutClientsLetsGoOfTheClientServerAndTheSpreadsheet) {
  ComScope com;
  if (!Ready()) GTEST_SKIP() << "not registered";
  if (!Registered("Sim.OPCDA.2")) GTEST_SKIP() << "SimServer is not registered";
  ASSERT_TRUE(NoSpreadsheetActive(20000)) << "a spreadsheet from an earlier test is running";
  ASSERT_TRUE(simserver::NoSimServerRunning(30000)) << "a SimServer from an earlier test is running";
  TessarelFolder f("tessarel_exit_bridge");
  f.dir.Write("Plant.csv", "Name,Value,,Item,Reading\r\nSpeed,1,,Static.R8,none\r\n");
  f.dir.Write("tags.csv", kPlantTags);
  f.dir.Write("client.csv", "OPC Tag,Type,Item,Write\r\nStatic.R8,R4,R2C5,\r\n");
  f.dir.Write("Tessarel.ini", Ini("Plant.csv", true, false,
                                  "[OPC Client]\r\nServer=Sim.OPCDA.2\r\nSheet=Plant\r\n"
                                  "Database=client.csv\r\n"));
  Process tessarel;
  ClosesTessarel closes{tessarel};
  ASSERT_TRUE(f.StartAndWait(tessarel)) << f.Log();
  HWND w = FindProcessWindow(tessarel.pi.dwProcessId, kMainClass, 20000);
  ASSERT_NE(w, nullptr);

  DWORD xlPid = 0;
  {
    common::ComPtr<IDispatch> xl = ActiveSpreadsheet();
    ASSERT_TRUE(xl) << "no spreadsheet in the running object table";
    xlPid = static_cast<DWORD>(Long(Get(xl.Get(), L"ProcessId")));
    // The bridge is connected: the server's value is in its cell.
    std::string cell;
    EXPECT_TRUE(WaitFor(
        [&] {
          cell = CellValue(xl.Get(), 1, L"E2");
          return cell.rfind("R8 ", 0) == 0;
        },
        20000))
        << cell << "\n" << f.Log();
  }
  Watched xlProcess(xlPid);
  const DWORD simPid = SimServerPid();
  ASSERT_NE(simPid, 0u) << "no SimServer was started for Tessarel";
  Watched sim(simPid);

  PostMessageA(w, WM_CLOSE, 0, 0);
  EXPECT_EQ(tessarel.WaitExit(30000), 0);
  std::string prompt;
  EXPECT_TRUE(SpreadsheetEnds(xlProcess, xlPid, prompt)) << "the spreadsheet is still running";
  EXPECT_EQ(prompt, "");
  // SimServer ends a moment after its last client has gone.
  EXPECT_TRUE(sim.Ended(20000)) << "the client bridge's OPC server is still running";
  EXPECT_TRUE(simserver::NoSimServerRunning(5000));
  EXPECT_TRUE(NoSpreadsheetActive(5000));
  const std::string log = f.Log();
  EXPECT_FALSE(Has(log, "OPC Client")) << log;  // no failure connecting or disconnecting
}
