// Faults a plant meets, with the real programs: the spreadsheet's process killed while Tessarel
// serves its cells, Tessarel's process killed under subscribed clients, and the log file made
// unwritable in the middle of a run. Each time the programs left standing go on, and nothing
// they hold is lost.
//
// Killing a registered local server (the spreadsheet, Tessarel) leaves Wine 8's class table
// with the dead process's class object: later activations of that class fail (0x800706BA) until
// the prefix's session is restarted. Windows drops the registration with the process. So each
// killing test runs alone, and run_fault_tests.sh restarts the session after it.
#include <gtest/gtest.h>

#include <string>

#include "SystemSupport.h"
#include "WinTestSupport.h"
#include "resource.h"

using namespace wintest;
using namespace systest;

namespace {

const char* const kMainClass = "TessarelMainWindow";

bool Kill(DWORD pid) {
  HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  if (!h) return false;
  bool ok = TerminateProcess(h, 9) && WaitForSingleObject(h, 10000) == WAIT_OBJECT_0;
  CloseHandle(h);
  return ok;
}

// The window answers messages (it is not hung in a call to a process that has gone).
bool Responsive(HWND w) {
  DWORD_PTR r = 0;
  return SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &r) != 0;
}

// A workbook with two cells that Tessarel serves, writable, in a spreadsheet the test started.
struct PlantFolder : TessarelFolder {
  explicit PlantFolder(const char* tag) : TessarelFolder(tag) {
    dir.Write("Plant.csv", "Name,Value\r\nSpeed,12.5\r\nCount,3\r\n");
    dir.Write("Tessarel.ini",
              "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=Plant.csv\r\nFileOpenMode=write\r\n"
              "Visible=false\r\nNewExcelInstance=false\r\n");
    dir.Write("tags.csv",
              "Tag,Type,Sheet,Cell,Write\r\nSpeed,R8,Plant,R2C2,yes\r\nCount,I4,Plant,R3C2,yes\r\n");
  }
};

}  // namespace

// The spreadsheet's process killed: its conversation's window is gone, which Tessarel's DDE
// library notices by itself; every connected client with a shutdown callback is asked to leave
// with the reason, the tags keep their last values and qualities, Tessarel keeps answering, and
// it ends in order when the last client leaves (its clean-up meets a spreadsheet that has gone).
TEST(Faults, TheSpreadsheetKilledAsksClientsToLeaveAndTheTagsKeepTheirValues) {
  ComScope com;
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  PlantFolder f("tessarel_xlkill");
  Spreadsheet xl;
  ASSERT_HRESULT_SUCCEEDED(xl.Start());
  ASSERT_TRUE(xl.IsTheActiveOne()) << "another spreadsheet is running; Tessarel would attach to it";
  ASSERT_HRESULT_SUCCEEDED(xl.Open(f.dir.File("Plant.csv")));
  const DWORD xlPid = xl.ProcessId();
  ASSERT_NE(xlPid, 0u);

  Process tessarel;
  ASSERT_TRUE(f.StartAndWait(tessarel)) << f.Log();
  HWND w = FindProcessWindow(tessarel.pi.dwProcessId, kMainClass, 10000);
  ASSERT_NE(w, nullptr);
  Process watch;
  const std::string watched = f.dir.File("watch.txt");
  ASSERT_TRUE(StartToFile(watch, f.Opc(), "Marrowby.Tessarel.1 watch Speed Count --seconds 180 --rate 200",
                          watched));
  ASSERT_NE(WaitInFile(watched, "Speed = 12.5  [Good", 30000), std::string::npos) << ReadFile(watched);
  OpcSession reader;
  ASSERT_EQ(reader.Connect({L"Speed", L"Count"}), "");
  // A write through Tessarel reaches the cell and comes back to the subscriber.
  ASSERT_HRESULT_SUCCEEDED(reader.Write1(0, common::Variant(20.0)));
  ASSERT_NE(WaitInFile(watched, "Speed = 20  [Good", 15000), std::string::npos) << ReadFile(watched);

  ASSERT_TRUE(Kill(xlPid));
  xl.Abandon();
  EXPECT_EQ(watch.WaitExit(30000), 0) << ReadFile(watched);
  EXPECT_TRUE(Has(ReadFile(watched), "server asks to disconnect: Excel is being shut down"))
      << ReadFile(watched);

  // Nothing reconnects; the tags keep their last values and qualities, and Tessarel answers.
  WORD quality = 0;
  EXPECT_EQ(reader.Read(0, quality), "20");
  EXPECT_EQ(quality, 0xC0);
  EXPECT_EQ(reader.Read(1, quality), "3");
  EXPECT_EQ(quality, 0xC0);
  EXPECT_TRUE(Responsive(w));
  EXPECT_EQ(WaitText(w, IDC_TXTNUMOPCCLIENTS, [](const std::string& t) { return t == "1"; }, 10000),
            "1");

  // A write now has no cell to go to: the client is told, the tag keeps its value, and
  // Tessarel is not held up by it.
  HRESULT lost = reader.Write1(0, common::Variant(30.0));
  EXPECT_TRUE(FAILED(lost)) << common::HResultHex(lost);
  EXPECT_EQ(reader.Read(0, quality), "20");
  EXPECT_TRUE(Responsive(w));

  reader.Close();
  EXPECT_EQ(tessarel.WaitExit(30000), 0) << f.Log();
}

// Tessarel's process killed under a subscribed client in another process and one in this
// process: their calls fail with an error instead of waiting, the subscriber ends by its own
// time and says its server has gone, and the spreadsheet keeps the value a client wrote.
TEST(Faults, TessarelKilledGivesItsClientsErrorsNotHangs) {
  ComScope com;
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  PlantFolder f("tessarel_kill");
  Spreadsheet xl;
  ASSERT_HRESULT_SUCCEEDED(xl.Start());
  ASSERT_TRUE(xl.IsTheActiveOne()) << "another spreadsheet is running; Tessarel would attach to it";
  ASSERT_HRESULT_SUCCEEDED(xl.Open(f.dir.File("Plant.csv")));

  Process tessarel;
  ASSERT_TRUE(f.StartAndWait(tessarel)) << f.Log();
  Process watch;
  const std::string watched = f.dir.File("watch.txt");
  ASSERT_TRUE(StartToFile(watch, f.Opc(), "Marrowby.Tessarel.1 watch Speed --seconds 25 --rate 200",
                          watched));
  ASSERT_NE(WaitInFile(watched, "Speed = 12.5  [Good", 20000), std::string::npos) << ReadFile(watched);
  OpcSession client;
  ASSERT_EQ(client.Connect({L"Speed", L"Count"}), "");
  ASSERT_HRESULT_SUCCEEDED(client.Write1(1, common::Variant(7)));
  ASSERT_TRUE(WaitFor([&] { return xl.Text(L"B3") == "7"; }, 10000)) << xl.Text(L"B3");

  ASSERT_TRUE(TerminateProcess(tessarel.pi.hProcess, 9));
  ASSERT_EQ(tessarel.WaitExit(10000), 9);

  // Each call returns an error; the time it took shows it did not wait for a server that has
  // gone (a hang would hold the call until the test's own time-out).
  DWORD start = GetTickCount();
  EXPECT_EQ(client.Read(0), "<read failed>");
  EXPECT_TRUE(FAILED(client.LastReadResult()));
  HRESULT written = client.Write1(0, common::Variant(1.0));
  EXPECT_TRUE(FAILED(written)) << common::HResultHex(written);
  DWORD took = GetTickCount() - start;
  EXPECT_LT(took, 20000u) << "the calls to the killed server took " << took << " ms";
  std::printf("read and write on the killed server: %s, %s after %lu ms\n",
              common::HResultHex(client.LastReadResult()).c_str(),
              common::HResultHex(written).c_str(), took);

  EXPECT_EQ(watch.WaitExit(60000), 1) << ReadFile(watched);
  EXPECT_TRUE(Has(ReadFile(watched), "unadvise failed: ")) << ReadFile(watched);

  // The spreadsheet lives on with what was written through Tessarel.
  EXPECT_EQ(xl.Text(L"B3"), "7");
  EXPECT_EQ(xl.Text(L"B2"), "12.5");
  client.Close();
}

// The log file held by another program while Tessarel runs, then let go: the lines in between
// are kept in the event log (File, "Event Log") but not in the file, nothing else changes (the
// clients are served, the status stays), and the file gets the lines again afterwards. The lines
// come from the client bridge, from server names typed into the server selection dialog.
TEST(Faults, AnUnwritableLogFileLosesOnlyItsOwnLines) {
  ComScope com;
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  PlantFolder f("tessarel_log");
  Spreadsheet xl;
  ASSERT_HRESULT_SUCCEEDED(xl.Start());
  ASSERT_HRESULT_SUCCEEDED(xl.Open(f.dir.File("Plant.csv")));
  Process tessarel;
  ASSERT_TRUE(f.StartAndWait(tessarel)) << f.Log();
  const DWORD pid = tessarel.pi.dwProcessId;
  HWND w = FindProcessWindow(pid, kMainClass, 10000);
  ASSERT_NE(w, nullptr);
  OpcSession client;
  ASSERT_EQ(client.Connect({L"Speed"}), "");
  const std::string status = ItemText(w, IDC_TXTSTATUS);

  // A typed server name that no server has: the client bridge logs its connection error.
  auto chooseServer = [&](const char* progId) {
    Click(w, IDC_BTNBROWSE);
    HWND dlg = WaitOwnedDialog(pid, w);
    if (!dlg) return false;
    SendMessageA(GetDlgItem(dlg, IDC_TXTSELECTEDOPCSERVER), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(progId));
    Click(dlg, IDC_CONNECTTOOPCSERVER);
    HWND box = WaitOwnedDialog(pid, dlg, 30000);  // "Update INI file?"
    return box && Answer(box, IDCANCEL);
  };

  // Another program holds the log file open without sharing it (a backup, an editor): nothing
  // can open it until it lets go. (A read-only attribute would not do here: Wine run as root
  // writes read-only files.)
  const std::string logFile = f.dir.File("Tessarel.log");
  const std::string before = ReadFile(logFile);
  HANDLE held = CreateFileA(logFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const bool chosen = chooseServer("Tessarel.Unwritable.1");
  EXPECT_TRUE(WaitFor([&] { return Has(ItemText(w, IDC_TXTSERVER), "Tessarel.Unwritable.1"); }, 10000));
  EXPECT_TRUE(Responsive(w));
  EXPECT_EQ(ItemText(w, IDC_TXTSTATUS), status);
  std::string out;
  EXPECT_EQ(RunCapture(f.Opc(), "Marrowby.Tessarel.1 read Speed", out), 0) << out;
  EXPECT_TRUE(Has(out, "Speed = 12.5  [R8, Good")) << out;
  CloseHandle(held);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(ReadFile(logFile), before) << "a file held without sharing was written";

  ASSERT_TRUE(chooseServer("Tessarel.Writable.1"));
  EXPECT_NE(WaitInFile(logFile, "Error connecting to Tessarel.Writable.1\r\n", 10000), std::string::npos)
      << ReadFile(logFile);
  EXPECT_FALSE(Has(ReadFile(logFile), "Tessarel.Unwritable.1"));

  // The event log has every line of the run, those the file missed too.
  PostMessageA(w, WM_COMMAND, MAKEWPARAM(IDM_EVENTLOG, 0), 0);
  HWND events = FindProcessWindow(pid, "TessarelEventLog", 10000);
  ASSERT_NE(events, nullptr);
  const std::string shown = ItemText(events, IDC_TXTERRORS);
  EXPECT_TRUE(Has(shown, "Error connecting to Tessarel.Unwritable.1\r\n")) << shown;
  EXPECT_TRUE(Has(shown, "Error connecting to Tessarel.Writable.1\r\n")) << shown;
  EXPECT_TRUE(Has(shown, "ConnectToDdeServer: OK for Excel,plant")) << shown;

  client.Close();
  EXPECT_EQ(tessarel.WaitExit(30000), 0) << f.Log();
}
