// Tessarel as an OPC client of another server (SimServer), with the spreadsheet between: values
// of read tags arrive in cells of the client sheet, with their types, and formulas on them are
// served again; write cells reach the server's registers, converted by the item's type; start-up
// failures and refused items show in Tessarel.log; the server shutting down changes nothing.
// The spreadsheet is driven through automation from here, SimServer's registers are written and
// read with opcclient in other processes.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "SimServerProcess.h"
#include "SystemSupport.h"

using namespace wintest;
using namespace systest;

namespace {

const char* const kSim = "Sim.OPCDA.2";

// The start of a line of `opcclient read`: "Register.R8 = 2.5  [R8, Good".
std::string ReadLine(const std::string& item, const std::string& value, const std::string& type) {
  return item + " = " + value + "  [" + type + ", Good";
}

// A folder with Tessarel, a CSV workbook "Plant" already open in a spreadsheet the test drives,
// served tags on it and a client tag file; SimServer is the client's server.
struct Bridge {
  TessarelFolder f;
  Spreadsheet xl;
  Process tessarel;
  explicit Bridge(const char* tag) : f(tag) {}

  // Writes the files: the workbook, the served tags, the client tags (lines after the header)
  // and the INI with the given [OPC Client] section.
  void Files(const std::string& workbook, const std::string& servedTags,
             const std::string& clientLines, const std::string& clientSection) {
    f.dir.Write("Plant.csv", workbook);
    f.dir.Write("tags.csv", "Tag,Type,Sheet,Cell,Write\r\n" + servedTags);
    f.dir.Write("client.csv", "OPC Tag,Type,Item,Write\r\n" + clientLines);
    f.dir.Write("Tessarel.ini",
                "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=Plant.csv\r\nFileOpenMode=write\r\n"
                "Visible=false\r\nNewExcelInstance=false\r\n"
                "[Excel]\r\nTrue=Yes\r\nFalse=No\r\n"
                "[OPC Client]\r\n" + clientSection);
  }
  static std::string ClientSection(const std::string& server = kSim,
                                   const std::string& sheet = "Plant",
                                   const std::string& database = "client.csv") {
    return "Server=" + server + "\r\nSheet=" + sheet + "\r\nDatabase=" + database + "\r\n";
  }
  // The spreadsheet with the workbook open, then Tessarel attached to it with its hot links on.
  ::testing::AssertionResult Start() {
    if (HRESULT hr = xl.Start(); FAILED(hr))
      return ::testing::AssertionFailure() << "spreadsheet: " << common::HResultHex(hr);
    if (!xl.IsTheActiveOne())
      return ::testing::AssertionFailure() << "another spreadsheet is running";
    if (HRESULT hr = xl.Open(f.dir.File("Plant.csv")); FAILED(hr))
      return ::testing::AssertionFailure() << "workbook: " << common::HResultHex(hr);
    return StartTessarel();
  }
  ::testing::AssertionResult StartTessarel() {
    if (!f.StartAndWait(tessarel))
      return ::testing::AssertionFailure() << "Tessarel did not link the sheet:\n" << f.Log();
    return ::testing::AssertionSuccess();
  }
  // Tessarel ends when its last OPC client leaves: one comes and goes, while the test holds no
  // other.
  long End() {
    OpcSession last;
    std::string why = last.Connect({L"Excel.CalculationMode"});
    last.Close();
    if (!why.empty()) ADD_FAILURE() << "connecting to Tessarel: " << why;
    return tessarel.WaitExit(30000);
  }

  // SimServer's items through opcclient.
  std::string SimRead(const std::string& item) {
    std::string out;
    RunCapture(f.Opc(), std::string(kSim) + " read " + item, out);
    return out;
  }
  bool SimWrite(const std::string& item, const std::string& value) {
    std::string out;
    long rc = RunCapture(f.Opc(), std::string(kSim) + " write " + item + " " + value, out);
    if (rc != 0) ADD_FAILURE() << "opcclient write " << item << " " << value << ": " << out;
    return rc == 0;
  }
  // Waits until `opcclient read` shows the item with that value and type, good; the last output
  // in `seen`.
  bool SimShows(const std::string& item, const std::string& value, const std::string& type,
                std::string& seen, DWORD ms = 15000) {
    return WaitFor(
        [&] {
          seen = SimRead(item);
          return Has(seen, ReadLine(item, value, type));
        },
        ms);
  }

  // The cell's value and type, as "R8 2.5", "BOOL True", "BSTR text", "EMPTY".
  std::string Cell(const wchar_t* cell) { return Describe(xl.Value(cell)); }
  bool CellShows(const wchar_t* cell, const std::string& described, DWORD ms = 15000) {
    return WaitFor([&] { return Cell(cell) == described; }, ms);
  }
};

// SimServer started by COM for an earlier test lingers a moment after its last client: a test
// that expects registers at their initial values waits until it has gone.
bool NoSimServer() { return simserver::NoSimServerRunning(30000); }

// A SimServer this test holds for its whole length, so Tessarel connects to a running server.
// Just after a SimServer process has ended, Wine's COM can still answer an activation of its
// class with REGDB_E_CLASSNOTREG for a moment (seen once when this test followed
// app_client_tests): the hold retries that start, so Tessarel never meets that window.
struct HeldSimServer {
  common::ComPtr<IUnknown> server;
  HRESULT last = E_FAIL;
  bool Start(DWORD ms = 20000) {
    CLSID clsid;
    if (FAILED(CLSIDFromProgID(L"Sim.OPCDA.2", &clsid))) return false;
    DWORD start = GetTickCount();
    for (;;) {
      last = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, server.PutVoid());
      if (SUCCEEDED(last)) return true;
      if (GetTickCount() - start >= ms) return false;
      Sleep(250);
    }
  }
};

}  // namespace

// Read tags: the server's values land in their cells with their own types (a double, a Boolean,
// a text), and formulas on those cells are served again. A reading whose quality turns bad
// leaves its cell at the last good value; uncertain counts as good; good again brings the value.
TEST(ClientBridge, ReadTagsFillTheirCellsWithTypedValuesAndKeepTheLastGoodOneWhileBad) {
  ComScope com;
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  if (!Registered(kSim)) GTEST_SKIP() << "SimServer is not registered";
  ASSERT_TRUE(NoSimServer()) << "a SimServer from an earlier test is still running";
  HeldSimServer sim;
  ASSERT_TRUE(sim.Start()) << common::HResultHex(sim.last);
  Bridge b("tessarel_client_read");
  b.Files("Name,Value,,Item,Reading\r\n"
          "Twice,,,Register.R8,\r\n"
          "State,,,Register.BOOL,\r\n"
          "Label,,,Register.BSTR,\r\n"
          "Held,,,Quality.Settable,\r\n",
          "Twice,R8,Plant,R2C2\r\n"
          "State,STRING,Plant,R3C2\r\n",
          "Register.R8,R4,R2C5,\r\n"
          "Register.BOOL,R4,R3C5,\r\n"
          "Register.BSTR,R4,E4,\r\n"  // A1 form
          "Quality.Settable,R4,R5C5,\r\n",
          Bridge::ClientSection());
  ASSERT_TRUE(b.Start());
  // Formulas on the client's cells, typed in by the spreadsheet's user.
  ASSERT_HRESULT_SUCCEEDED(b.xl.Put(L"B2", L"Formula", common::Variant(L"=E2*2")));
  ASSERT_HRESULT_SUCCEEDED(
      b.xl.Put(L"B3", L"Formula", common::Variant(L"=IF(E3,\"on\",\"off\")")));

  // The server's initial values arrive without any change on its side.
  EXPECT_TRUE(b.CellShows(L"E4", "BSTR Text 0")) << b.Cell(L"E4") << "\n" << b.f.Log();
  EXPECT_TRUE(b.CellShows(L"E2", "R8 0", 5000)) << b.Cell(L"E2");
  EXPECT_TRUE(b.CellShows(L"E3", "BOOL False", 5000)) << b.Cell(L"E3");
  EXPECT_TRUE(b.CellShows(L"E5", "R8 0", 5000)) << b.Cell(L"E5");

  // Changes on the server, made by another client.
  b.SimWrite("Register.R8", "2.5");
  b.SimWrite("Register.BOOL", "true");
  b.SimWrite("Register.BSTR", "pumps");
  EXPECT_TRUE(b.CellShows(L"E2", "R8 2.5")) << b.Cell(L"E2");
  EXPECT_TRUE(b.CellShows(L"E3", "BOOL True")) << b.Cell(L"E3");
  EXPECT_TRUE(b.CellShows(L"E4", "BSTR pumps")) << b.Cell(L"E4");

  // The formulas' results reach Tessarel's own OPC clients as served tags.
  OpcSession served;
  ASSERT_EQ(served.Connect({L"Twice", L"State"}), "");
  EXPECT_TRUE(WaitFor([&] { return served.Read(0) == "5"; }, 15000)) << served.Read(0);
  EXPECT_TRUE(WaitFor([&] { return served.Read(1) == "on"; }, 15000)) << served.Read(1);

  // A good reading, then its quality turns bad and its value changes: the cell keeps the last
  // good value. Register.R8 changes after both, so once its cell shows the change the bad
  // reading has been delivered too (the server reports both in the same update or in order).
  b.SimWrite("Quality.Settable", "3.5");
  EXPECT_TRUE(b.CellShows(L"E5", "R8 3.5")) << b.Cell(L"E5");
  b.SimWrite("Quality.SettableQuality", "0");
  b.SimWrite("Quality.Settable", "4.5");
  std::string seen;
  EXPECT_TRUE(WaitFor(
      [&] {
        seen = b.SimRead("Quality.Settable");
        return Has(seen, "Quality.Settable = 4.5  [R8, Bad 0x00");
      },
      10000))
      << seen;
  b.SimWrite("Register.R8", "9");
  EXPECT_TRUE(b.CellShows(L"E2", "R8 9")) << b.Cell(L"E2");
  Sleep(1500);  // one more update period for anything late
  EXPECT_EQ(b.Cell(L"E5"), "R8 3.5");
  EXPECT_TRUE(WaitFor([&] { return served.Read(0) == "18"; }, 15000)) << served.Read(0);

  // Uncertain (0x40) counts as good: the value it carries reaches the cell.
  b.SimWrite("Quality.SettableQuality", "64");
  b.SimWrite("Quality.Settable", "5.5");
  EXPECT_TRUE(b.CellShows(L"E5", "R8 5.5")) << b.Cell(L"E5");

  // Bad again, then good again: the value the server has when it turns good arrives.
  b.SimWrite("Quality.SettableQuality", "0");
  b.SimWrite("Quality.Settable", "6.5");
  b.SimWrite("Register.R8", "10");
  EXPECT_TRUE(b.CellShows(L"E2", "R8 10")) << b.Cell(L"E2");
  Sleep(1500);
  EXPECT_EQ(b.Cell(L"E5"), "R8 5.5");
  b.SimWrite("Quality.SettableQuality", "192");
  EXPECT_TRUE(b.CellShows(L"E5", "R8 6.5")) << b.Cell(L"E5");

  // The last client of Tessarel leaving ends it.
  served.Close();
  EXPECT_EQ(b.tessarel.WaitExit(30000), 0);
  const std::string log = b.f.Log();
  EXPECT_FALSE(Has(log, "OPC Client")) << log;
  EXPECT_FALSE(Has(log, "Client not connected")) << log;
}

// Write tags: what a write cell holds when the sheet's conversation opens reaches the server,
// and so does every later change made in the spreadsheet, converted by the item's type: numbers
// exactly as the cell has them, the configured true and false texts for a Boolean, -9999 for
// text in a numeric item. The server's own changes never come back into a write cell.
TEST(ClientBridge, WriteCellsReachTheServerConvertedByTheItemsType) {
  ComScope com;
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  if (!Registered(kSim)) GTEST_SKIP() << "SimServer is not registered";
  ASSERT_TRUE(NoSimServer()) << "a SimServer from an earlier test is still running";
  HeldSimServer sim;
  ASSERT_TRUE(sim.Start()) << common::HResultHex(sim.last);
  Bridge b("tessarel_client_write");
  b.Files("Name,Value,,Item,Cell\r\n"
          "Speed,1,,Register.R8,5\r\n"
          ",,,Register.BOOL,Yes\r\n"
          ",,,Register.I4,1\r\n"
          ",,,Register.UI2,\r\n",
          "Speed,R8,Plant,R2C2,yes\r\n",
          "Register.R8,R4,R2C5,yes\r\n"
          "Register.BOOL,R4,R3C5,yes\r\n"
          "Register.I4,R4,E4,yes\r\n"
          "Register.UI2,R4,R5C5,\r\n",  // a read tag
          Bridge::ClientSection());
  ASSERT_TRUE(b.Start());
  std::string seen;

  // The cells' contents when the conversation opened, before any change.
  EXPECT_TRUE(b.SimShows("Register.R8", "5", "R8", seen)) << seen << "\n" << b.f.Log();
  EXPECT_TRUE(b.SimShows("Register.BOOL", "True", "BOOL", seen)) << seen;
  EXPECT_TRUE(b.SimShows("Register.I4", "1", "I4", seen)) << seen;

  // Changes made in the spreadsheet.
  ASSERT_HRESULT_SUCCEEDED(b.xl.PutValue(L"E2", common::Variant(7.25)));
  EXPECT_TRUE(b.SimShows("Register.R8", "7.25", "R8", seen)) << seen;
  ASSERT_HRESULT_SUCCEEDED(b.xl.PutValue(L"E3", common::Variant(L"No")));
  EXPECT_TRUE(b.SimShows("Register.BOOL", "False", "BOOL", seen)) << seen;
  ASSERT_HRESULT_SUCCEEDED(b.xl.PutValue(L"E3", common::Variant(L"Yes")));
  EXPECT_TRUE(b.SimShows("Register.BOOL", "True", "BOOL", seen)) << seen;

  // Text in a numeric item's cell writes -9999.
  ASSERT_HRESULT_SUCCEEDED(b.xl.PutValue(L"E2", common::Variant(L"abc")));
  EXPECT_TRUE(b.SimShows("Register.R8", "-9999", "R8", seen)) << seen;

  // Numbers arrive as the cell has them, without a detour through a 32-bit float (which would
  // make 123456792 and 0.100000001490116 of them).
  ASSERT_HRESULT_SUCCEEDED(b.xl.PutValue(L"E4", common::Variant(123456789.0)));
  EXPECT_TRUE(b.SimShows("Register.I4", "123456789", "I4", seen)) << seen;
  ASSERT_HRESULT_SUCCEEDED(b.xl.PutValue(L"E2", common::Variant(0.1)));
  EXPECT_TRUE(b.SimShows("Register.R8", "0.1", "R8", seen)) << seen;

  // The server's own change of a write item does not come back into its cell; the read tag's
  // change, made after it, shows that the server's report has been delivered.
  b.SimWrite("Register.R8", "42");
  b.SimWrite("Register.UI2", "7");
  EXPECT_TRUE(b.CellShows(L"E5", "R8 7")) << b.Cell(L"E5");
  Sleep(1500);
  EXPECT_EQ(b.Cell(L"E2"), "R8 0.1");

  EXPECT_EQ(b.End(), 0);
  const std::string log = b.f.Log();
  EXPECT_FALSE(Has(log, "OPC Client")) << log;
}

// What goes wrong at the client's start-up or when its items are added is told in Tessarel.log,
// and the rest of the program goes on: a client sheet missing from the workbook, a server that
// is not registered, a client file that is not there, an item the server refuses (the others
// still work) and an item ID given twice (no item is added at all). One Tessarel run each.
TEST(ClientBridge, StartUpFailuresAndRefusedItemsAreLogged) {
  ComScope com;
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  if (!Registered(kSim)) GTEST_SKIP() << "SimServer is not registered";
  const std::string workbook = "Name,Value,,Item,Reading\r\n"
                               "Speed,1,,A,none\r\n"
                               ",,,B,none\r\n"
                               ",,,C,none\r\n";
  const std::string served = "Speed,R8,Plant,R2C2,yes\r\n";
  const std::string twoReads = "Register.R8,R4,R2C5,\r\nRegister.I4,R4,R3C5,\r\n";

  {
    SCOPED_TRACE("client sheet missing from the workbook");
    Bridge b("tessarel_client_nosheet");
    b.Files(workbook, served, twoReads, Bridge::ClientSection(kSim, "Elsewhere"));
    ASSERT_TRUE(b.Start());
    std::string log = b.f.Log();
    EXPECT_TRUE(Has(log, "Could not assign sheet to client")) << log;
    EXPECT_TRUE(Has(log, "Client not connected")) << log;
    EXPECT_FALSE(Has(log, "OPC Client")) << log;
    EXPECT_EQ(b.End(), 0);
  }
  {
    SCOPED_TRACE("server not registered");
    Bridge b("tessarel_client_noserver");
    b.Files(workbook, served, twoReads, Bridge::ClientSection("No.Such.Server.1"));
    ASSERT_TRUE(b.Start());
    std::string log = b.f.Log();
    EXPECT_TRUE(std::regex_search(
        log, std::regex(R"(OPC Client \(0x[0-9A-F]+\) - Error connecting to No\.Such\.Server\.1)")))
        << log;
    EXPECT_TRUE(Has(log, "Client not connected")) << log;
    EXPECT_FALSE(Has(log, "Could not assign sheet")) << log;
    EXPECT_EQ(b.End(), 0);
  }
  {
    SCOPED_TRACE("client file missing");
    Bridge b("tessarel_client_nofile");
    b.Files(workbook, served, twoReads, Bridge::ClientSection(kSim, "Plant", "missing.csv"));
    ASSERT_TRUE(b.Start());
    std::string log = b.f.Log();
    EXPECT_TRUE(Has(log, "File " + b.f.dir.File("missing.csv") + " does not exist")) << log;
    EXPECT_FALSE(Has(log, "Client not connected")) << log;  // it did connect
    EXPECT_EQ(b.End(), 0);
  }
  {
    SCOPED_TRACE("an item the server refuses");
    ASSERT_TRUE(NoSimServer());
    Bridge b("tessarel_client_refused");
    b.Files(workbook, served,
            "Register.R8,R4,R2C5,\r\nNo.Such.Item,R4,R3C5,\r\nRegister.I4,R4,R4C5,\r\n",
            Bridge::ClientSection());
    ASSERT_TRUE(b.Start());
    EXPECT_NE(WaitInFile(b.f.dir.File("Tessarel.log"),
                         "OPC Client: Error C0040007 adding tag No.Such.Item", 10000),
              std::string::npos)
        << b.f.Log();
    b.SimWrite("Register.R8", "2.5");
    b.SimWrite("Register.I4", "17");
    EXPECT_TRUE(b.CellShows(L"E2", "R8 2.5")) << b.Cell(L"E2");
    EXPECT_TRUE(b.CellShows(L"E4", "R8 17")) << b.Cell(L"E4");
    EXPECT_EQ(b.Cell(L"E3"), "BSTR none");
    std::string log = b.f.Log();
    EXPECT_EQ(Count(log, "adding tag"), 1) << log;
    EXPECT_FALSE(Has(log, "Error adding OPC Items")) << log;
    EXPECT_EQ(b.End(), 0);
  }
  {
    SCOPED_TRACE("an item ID given twice");
    ASSERT_TRUE(NoSimServer());
    Bridge b("tessarel_client_twice");
    b.Files(workbook, served,
            "Register.R8,R4,R2C5,\r\nRegister.I4,R4,R3C5,\r\nRegister.R8,R4,R4C5,\r\n",
            Bridge::ClientSection());
    ASSERT_TRUE(b.Start());
    EXPECT_TRUE(std::regex_search(
        b.f.Log(), std::regex(R"(OPC Client \(0x[0-9A-F]+\) - Error adding OPC Items)")))
        << b.f.Log();
    // None of the items was added: the server's changes reach no cell.
    b.SimWrite("Register.R8", "2.5");
    b.SimWrite("Register.I4", "17");
    Sleep(3000);
    EXPECT_EQ(b.Cell(L"E2"), "BSTR none");
    EXPECT_EQ(b.Cell(L"E3"), "BSTR none");
    EXPECT_EQ(b.Cell(L"E4"), "BSTR none");
    EXPECT_FALSE(Has(b.f.Log(), "Client not connected")) << b.f.Log();
    EXPECT_EQ(b.End(), 0);
  }
}

// The server announcing its shutdown changes nothing: no message, no reconnection, the client
// stays connected (so the server, which leaves once its clients have gone, keeps running) and
// the values keep coming while it does.
TEST(ClientBridge, TheServerShuttingDownChangesNothingAndLogsNothing) {
  ComScope com;
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  if (!Registered(kSim)) GTEST_SKIP() << "SimServer is not registered";
  Bridge b("tessarel_client_shutdown");
  b.Files("Name,Value,,Item,Reading\r\nSpeed,1,,Ramp.I4,\r\n", "Speed,R8,Plant,R2C2,yes\r\n",
          "Ramp.I4,R4,R2C5,\r\n", Bridge::ClientSection());
  ASSERT_HRESULT_SUCCEEDED(b.xl.Start());
  ASSERT_TRUE(b.xl.IsTheActiveOne());
  ASSERT_HRESULT_SUCCEEDED(b.xl.Open(b.f.dir.File("Plant.csv")));

  // Long enough for Tessarel to connect first (it links about 3 s after the server is ready here).
  const int shutdownAfterS = 10;
  simserver::StartedServer sim(L"--shutdown-after " + std::to_wstring(shutdownAfterS));
  ASSERT_TRUE(sim.ready) << sim.text;
  DWORD ready = GetTickCount();
  ASSERT_TRUE(b.StartTessarel());
  DWORD linked = GetTickCount() - ready;
  std::printf("Tessarel linked %lu ms after SimServer was ready\n",
              static_cast<unsigned long>(linked));
  std::string first;
  ASSERT_TRUE(WaitFor(
      [&] {
        first = b.Cell(L"E2");
        return first.rfind("R8 ", 0) == 0;
      },
      15000))
      << first;

  // Past the shutdown request, with time to answer it.
  DWORD until = ready + shutdownAfterS * 1000 + 3000;
  if (GetTickCount() < until) Sleep(until - GetTickCount());
  const std::string logAfterShutdown = b.f.Log();
  EXPECT_EQ(sim.WaitExit(0), -1) << "the server left: its client let it go";
  EXPECT_EQ(b.tessarel.WaitExit(0), -1) << "Tessarel ended";

  // The ramp still arrives from the same server, and the log stays as it was.
  std::string now = b.Cell(L"E2"), later;
  EXPECT_TRUE(WaitFor(
      [&] {
        later = b.Cell(L"E2");
        return later.rfind("R8 ", 0) == 0 && later != now;
      },
      10000))
      << now << " / " << later;
  Sleep(2000);
  EXPECT_EQ(b.f.Log(), logAfterShutdown);
  EXPECT_FALSE(Has(logAfterShutdown, "OPC Client")) << logAfterShutdown;

  // Tessarel leaving lets the server end.
  EXPECT_EQ(b.End(), 0);
  EXPECT_EQ(sim.WaitExit(15000), 0) << sim.text;
}
