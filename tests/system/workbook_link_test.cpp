// The link between the spreadsheet and OPC clients, seen from both ends: a spreadsheet the test
// drives through automation (WorkbookServer, with the workbook already open, so Tessarel attaches
// to it), Tessarel serving its cells, and OPC clients in other processes and in this one.
// Formula results reaching subscribers, boolean texts, the calculation-mode tag, the hold of
// automatic calculation around writes, and the workbook closing under connected clients.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "SystemSupport.h"

using namespace wintest;
using namespace systest;

// Formula cells follow their precedents to a subscribed client, whether an OPC client or the
// spreadsheet's user changed them; booleans are written as the configured texts; closing the
// workbook asks every connected client to disconnect, and the tags keep their last values.
// The hot links here ask for acknowledgements (AckHotLinks): each cell's later changes arrive
// only if Tessarel's side acknowledges the earlier ones.
TEST(WorkbookLink, FormulasAndBooleanTextsReachClientsAndClosingTheWorkbookAsksThemToLeave) {
  ComScope com;
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  TessarelFolder f("tessarel_link");
  f.dir.Write("Plant.csv", "Name,Value\r\nSpeed,12.5\r\nFactor,3\r\nPower,0\r\nRunning,No\r\n"
                           "State,\r\n");
  f.dir.Write("Tessarel.ini",
              "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=Plant.csv\r\nFileOpenMode=write\r\n"
              "Visible=false\r\nNewExcelInstance=false\r\nAckHotLinks=yes\r\n"
              "[Excel]\r\nTrue=Yes\r\nFalse=No\r\n");
  f.dir.Write("tags.csv",
              "Tag,Type,Sheet,Cell,Write\r\n"
              "Speed,R8,Plant,R2C2,yes\r\n"
              "Factor,R8,Plant,R3C2,yes\r\n"
              "Power,R8,Plant,R4C2\r\n"
              "Running,BOOL,Plant,R5C2,yes\r\n"
              "State,STRING,Plant,R6C2\r\n");

  // The user's spreadsheet with the workbook open and two formulas typed in.
  Spreadsheet xl;
  ASSERT_HRESULT_SUCCEEDED(xl.Start());
  ASSERT_TRUE(xl.IsTheActiveOne()) << "another spreadsheet is running; Tessarel would attach to it";
  ASSERT_HRESULT_SUCCEEDED(xl.Open(f.dir.File("Plant.csv")));
  ASSERT_HRESULT_SUCCEEDED(xl.Put(L"B4", L"Formula", common::Variant(L"=B2*B3")));
  ASSERT_HRESULT_SUCCEEDED(
      xl.Put(L"B6", L"Formula", common::Variant(L"=IF(B5=\"Yes\",\"running\",\"stopped\")")));
  ASSERT_EQ(xl.Text(L"B4"), "37.5");
  ASSERT_EQ(xl.Text(L"B6"), "stopped");

  Process tessarel;
  ASSERT_TRUE(f.StartAndWait(tessarel)) << f.Log();

  // A client subscribed to the formula cells and the boolean from here on.
  Process watch;
  ASSERT_TRUE(StartToFile(watch, f.Opc(),
                          "Marrowby.Tessarel.1 watch Power State Running --seconds 180 --rate 200",
                          f.dir.File("watch.txt")));
  const std::string watched = f.dir.File("watch.txt");
  ASSERT_NE(WaitInFile(watched, "Power = 37.5  [Good", 30000), std::string::npos)
      << ReadFile(watched);
  EXPECT_NE(WaitInFile(watched, "State = stopped  [Good", 5000), std::string::npos)
      << ReadFile(watched);
  EXPECT_NE(WaitInFile(watched, "Running = False  [Good", 5000), std::string::npos)
      << ReadFile(watched);

  // Another OPC client writes the precedent: the formula's new result reaches the subscriber.
  std::string out;
  EXPECT_EQ(RunCapture(f.Opc(), "Marrowby.Tessarel.1 write Speed 20", out), 0) << out;
  EXPECT_NE(WaitInFile(watched, "Power = 60  [Good", 15000), std::string::npos)
      << ReadFile(watched);
  EXPECT_EQ(xl.Text(L"B2"), "20");

  // The spreadsheet's user changes the other precedent: the same road from the other end.
  ASSERT_HRESULT_SUCCEEDED(xl.Put(L"B3", L"Value", common::Variant(4.0)));
  EXPECT_NE(WaitInFile(watched, "Power = 80  [Good", 15000), std::string::npos)
      << ReadFile(watched);

  // A boolean is written as the configured texts, which the formula on it then sees.
  EXPECT_EQ(RunCapture(f.Opc(), "Marrowby.Tessarel.1 write Running true", out), 0) << out;
  EXPECT_TRUE(WaitFor([&] { return xl.Text(L"B5") == "Yes"; }, 5000)) << xl.Text(L"B5");
  std::size_t on = WaitInFile(watched, "State = running  [Good", 15000);
  EXPECT_NE(on, std::string::npos) << ReadFile(watched);
  EXPECT_NE(WaitInFile(watched, "Running = True  [Good", 15000), std::string::npos)
      << ReadFile(watched);
  EXPECT_EQ(RunCapture(f.Opc(), "Marrowby.Tessarel.1 write Running false", out), 0) << out;
  EXPECT_TRUE(WaitFor([&] { return xl.Text(L"B5") == "No"; }, 5000)) << xl.Text(L"B5");
  if (on != std::string::npos) {
    EXPECT_NE(WaitInFile(watched, "State = stopped  [Good", 15000, on), std::string::npos)
        << ReadFile(watched);
  }

  // A second watching client, and one here that only reads.
  Process watch2;
  ASSERT_TRUE(StartToFile(watch2, f.Opc(), "Marrowby.Tessarel.1 watch Speed --seconds 180",
                          f.dir.File("watch2.txt")));
  EXPECT_NE(WaitInFile(f.dir.File("watch2.txt"), "Speed = 20  [Good", 30000), std::string::npos)
      << ReadFile(f.dir.File("watch2.txt"));
  OpcSession reader;
  ASSERT_EQ(reader.Connect({L"Power", L"Running"}), "");

  // The user closes the workbook: its conversation ends, and every client with a shutdown
  // callback is asked to leave, with the reason.
  DWORD closed = GetTickCount();
  ASSERT_HRESULT_SUCCEEDED(xl.CloseBook());
  EXPECT_EQ(watch.WaitExit(30000), 0);
  EXPECT_EQ(watch2.WaitExit(30000), 0);
  DWORD left = GetTickCount() - closed;
  const std::string reason = "server asks to disconnect: Excel is being shut down";
  EXPECT_TRUE(Has(ReadFile(watched), reason)) << ReadFile(watched);
  EXPECT_TRUE(Has(ReadFile(f.dir.File("watch2.txt")), reason)) << ReadFile(f.dir.File("watch2.txt"));
  EXPECT_LT(left, 10000u) << "the watching clients left " << left << " ms after the close";

  // Nothing reconnects; the tags keep their last values and qualities.
  WORD quality = 0;
  EXPECT_EQ(reader.Read(0, quality), "80");
  EXPECT_EQ(quality, 0xC0);
  EXPECT_EQ(reader.Read(1, quality), "False");
  EXPECT_EQ(quality, 0xC0);

  // The last client leaving ends Tessarel; the spreadsheet it attached to stays.
  reader.Close();
  EXPECT_EQ(tessarel.WaitExit(30000), 0);
  EXPECT_EQ(xl.BookCount(), 0);
}

// "Excel.CalculationMode" reads and sets the spreadsheet's calculation while no hold is
// configured; with a hold, every write switches the spreadsheet to manual calculation until the
// hold time has passed, and the calculation-mode tag refuses writes. Two runs of Tessarel on the
// one spreadsheet, one for each setting.
TEST(WorkbookLink, CalculationModeTagAndTheManualHoldAroundWrites) {
  ComScope com;
  std::string why;
  if (!Prerequisites(why)) GTEST_SKIP() << why;
  TessarelFolder f("tessarel_calc");
  f.dir.Write("Plant.csv", "Name,Value\r\nSpeed,12.5\r\nFactor,3\r\nPower,0\r\n");
  f.dir.Write("tags.csv",
              "Tag,Type,Sheet,Cell,Write\r\n"
              "Speed,R8,Plant,R2C2,yes\r\n"
              "Power,R8,Plant,R4C2\r\n");
  auto ini = [&](int holdMs) {
    f.dir.Write("Tessarel.ini",
                "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=Plant.csv\r\nFileOpenMode=write\r\n"
                "Visible=false\r\nNewExcelInstance=false\r\n"
                "[Excel]\r\nDisableAutoCalcOnWriteTime=" + std::to_string(holdMs) + "\r\n");
  };
  Spreadsheet xl;
  ASSERT_HRESULT_SUCCEEDED(xl.Start());
  ASSERT_TRUE(xl.IsTheActiveOne()) << "another spreadsheet is running; Tessarel would attach to it";
  ASSERT_HRESULT_SUCCEEDED(xl.Open(f.dir.File("Plant.csv")));
  ASSERT_HRESULT_SUCCEEDED(xl.Put(L"B4", L"Formula", common::Variant(L"=B2*B3")));
  ASSERT_EQ(xl.Calculation(), -4105);
  enum { kCalc, kSpeed, kPower };
  const std::vector<std::wstring> items = {L"Excel.CalculationMode", L"Speed", L"Power"};

  {
    SCOPED_TRACE("no hold");
    ini(0);
    Process tessarel;
    ASSERT_TRUE(f.StartAndWait(tessarel, 1)) << f.Log();
    OpcSession opc;
    ASSERT_EQ(opc.Connect(items), "");
    EXPECT_EQ(opc.Read(kCalc), "2");  // automatic

    // 1 is semiautomatic, in the spreadsheet and then in the tag.
    EXPECT_EQ(opc.Write1(kCalc, common::Variant(1)), S_OK);
    EXPECT_EQ(xl.Calculation(), 2);
    EXPECT_EQ(opc.Read(kCalc), "1");

    // The user switches to manual; a write of a mode that does not exist fails, changes
    // nothing, and still brings the tag up to what the spreadsheet has.
    ASSERT_HRESULT_SUCCEEDED(xl.SetCalculation(-4135));
    EXPECT_EQ(opc.Write1(kCalc, common::Variant(5)), E_FAIL);
    EXPECT_EQ(xl.Calculation(), -4135);
    EXPECT_EQ(opc.Read(kCalc), "0");

    // Several items in one write: each has its own result.
    std::vector<HRESULT> errors;
    EXPECT_EQ(opc.Write({{kCalc, common::Variant(2)}, {kSpeed, common::Variant(10.0)}}, errors),
              S_OK);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_EQ(xl.Calculation(), -4105);
    EXPECT_EQ(opc.Read(kCalc), "2");
    EXPECT_EQ(xl.Text(L"B2"), "10");
    EXPECT_EQ(opc.Write({{kSpeed, common::Variant(20.0)}, {kCalc, common::Variant(-1)}}, errors),
              S_FALSE);
    EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, E_FAIL}));
    EXPECT_EQ(xl.Text(L"B2"), "20");
    EXPECT_EQ(xl.Calculation(), -4105);
    EXPECT_TRUE(WaitFor([&] { return opc.Read(kPower) == "60"; }, 10000)) << opc.Read(kPower);

    opc.Close();
    EXPECT_EQ(tessarel.WaitExit(30000), 0);
    EXPECT_EQ(xl.BookCount(), 1);  // the attached spreadsheet's workbook stays open
  }
  {
    SCOPED_TRACE("hold of 2000 ms");
    ini(2000);
    Process tessarel;
    ASSERT_TRUE(f.StartAndWait(tessarel, 2)) << f.Log();
    OpcSession opc;
    ASSERT_EQ(opc.Connect(items), "");
    EXPECT_EQ(opc.Read(kCalc), "2");
    ASSERT_EQ(xl.Calculation(), -4105);

    // A write to a cell: manual calculation at once, the precedent changed but its formula
    // waiting, and automatic calculation (with the new result) about two seconds later.
    DWORD t0 = GetTickCount();
    EXPECT_EQ(opc.Write1(kSpeed, common::Variant(30.0)), S_OK);
    EXPECT_TRUE(WaitFor([&] { return xl.Calculation() == -4135; }, 3000));
    DWORD manualAt = GetTickCount() - t0;
    EXPECT_LT(manualAt, 500u);
    EXPECT_EQ(xl.Text(L"B2"), "30");
    EXPECT_EQ(xl.Text(L"B4"), "60");
    EXPECT_TRUE(WaitFor([&] { return xl.Calculation() == -4105; }, 8000));
    DWORD automaticAt = GetTickCount() - t0;
    EXPECT_GE(automaticAt, 1500u);
    EXPECT_LE(automaticAt, 4000u);
    EXPECT_EQ(xl.Text(L"B4"), "90");
    EXPECT_TRUE(WaitFor([&] { return opc.Read(kPower) == "90"; }, 10000)) << opc.Read(kPower);
    std::printf("hold: manual after %lu ms, automatic after %lu ms\n",
                static_cast<unsigned long>(manualAt), static_cast<unsigned long>(automaticAt));

    // The calculation-mode tag refuses writes while a hold is configured: the spreadsheet never
    // goes semiautomatic (the write itself still holds calculation off for its time).
    EXPECT_EQ(opc.Write1(kCalc, common::Variant(1)), E_FAIL);
    std::vector<long> seen;
    DWORD until = GetTickCount() + 3500;
    while (GetTickCount() < until) {
      long c = xl.Calculation();
      if (seen.empty() || seen.back() != c) seen.push_back(c);
      Sleep(50);
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 2L), 0);
    EXPECT_EQ(seen.back(), -4105);
    EXPECT_EQ(opc.Read(kCalc), "2");

    opc.Close();
    EXPECT_EQ(tessarel.WaitExit(30000), 0);
  }
}
