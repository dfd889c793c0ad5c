// The whole capability: a workbook open in the spreadsheet stand-in, Tessarel serving its cells,
// and OPC clients in other processes reading, subscribing and writing them.
#include <gtest/gtest.h>

#include "SystemSupport.h"
#include "WinTestSupport.h"
#include "resource.h"

using namespace wintest;
using systest::Registered;
using systest::WaitFor;
using systest::WaitInFile;


TEST(CellsOnOpc, CellsReadSubscribeAndWriteThroughTessarel) {
  if (!Registered("Excel.Application") ||
      !Registered("CLSID\\{060A26E6-75AB-4B55-A66B-E273AAD0569B}"))
    GTEST_SKIP() << "the spreadsheet stand-in or the DDE control is not registered";
  TempFolder dir("tessarel_cells");
  const std::string bin = EnvPath("TESSAREL_BIN_DIR");
  ASSERT_TRUE(CopyFileA((bin + "\\Tessarel.exe").c_str(), dir.File("Tessarel.exe").c_str(), FALSE));
  dir.Write("Plant.csv", "Name,Value\r\nSpeed,12.5\r\nSetpoint,15\r\nRunning,TRUE\r\nCount,42\r\n"
                         "Product,Widget\r\n");
  dir.Write("Tessarel.ini",
            "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=Plant.csv\r\nFileOpenMode=write\r\n"
            "Visible=false\r\nNewExcelInstance=true\r\n");
  dir.Write("tags.csv",
            "Tag,Type,Sheet,Cell,Write\r\n"
            "Speed,R8,Plant,R2C2\r\n"
            "Setpoint,R8,Plant,R3C2,yes\r\n"
            "Running,BOOL,Plant,R4C2,yes\r\n"
            "Count,I4,Plant,R5C2\r\n"
            "Product,STRING,Plant,R6C2,yes\r\n"
            "Missing,R8,NoSuchSheet,R1C1\r\n");
  Process tessarel;
  ASSERT_TRUE(Start(tessarel, dir.File("Tessarel.exe"), "", dir.Path()));
  HWND w = FindProcessWindow(tessarel.pi.dwProcessId, "TessarelMainWindow", 30000);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(WaitText(w, IDC_TXTNUMOPCTAGS, [](const std::string& t) { return t == "6"; }, 30000),
            "6");
  // The conversations are set up in the start-up tick, which logs each.
  ASSERT_NE(WaitInFile(dir.File("Tessarel.log"), "ConnectToDdeServer: Failed for Excel,nosuchsheet",
                       30000),
            std::string::npos)
      << ReadFile(dir.File("Tessarel.log"));

  // One client stays connected throughout, watching a cell; the others come and go.
  Process watch;
  ASSERT_TRUE(StartToFile(watch, bin + "\\opcclient.exe",
                          "Marrowby.Tessarel.1 watch Setpoint --seconds 12", dir.File("watch.txt")));
  // Subscribed once its first value has come.
  ASSERT_NE(WaitInFile(dir.File("watch.txt"), "Setpoint = 15", 15000), std::string::npos)
      << ReadFile(dir.File("watch.txt"));

  std::string out;
  EXPECT_EQ(RunCapture(bin + "\\opcclient.exe",
                       "Marrowby.Tessarel.1 read Speed Running Count Product Missing", out), 0)
      << out;
  EXPECT_NE(out.find("Speed = 12.5  [R8, Good 0xC0"), std::string::npos) << out;
  EXPECT_NE(out.find("Running = True  [BOOL, Good 0xC0"), std::string::npos) << out;
  EXPECT_NE(out.find("Count = 42  [I4, Good 0xC0"), std::string::npos) << out;
  EXPECT_NE(out.find("Product = Widget  [BSTR, Good 0xC0"), std::string::npos) << out;
  EXPECT_NE(out.find("Missing = -1  [R8, Bad 0x00"), std::string::npos) << out;

  EXPECT_EQ(RunCapture(bin + "\\opcclient.exe", "Marrowby.Tessarel.1 write Setpoint 20.25", out), 0)
      << out;
  EXPECT_NE(RunCapture(bin + "\\opcclient.exe", "Marrowby.Tessarel.1 write Speed 1", out), 0)
      << "a read-only tag must refuse the write: " << out;
  // The hot link brings the cell's new text on the next update tick.
  EXPECT_TRUE(WaitFor(
      [&] {
        return RunCapture(bin + "\\opcclient.exe", "Marrowby.Tessarel.1 read Setpoint", out) == 0 &&
               out.find("Setpoint = 20.25  [R8, Good 0xC0") != std::string::npos;
      },
      15000))
      << out;

  // The watching client saw the written value arrive.
  EXPECT_EQ(watch.WaitExit(30000), 0);
  std::string seen = ReadFile(dir.File("watch.txt"));
  EXPECT_NE(seen.find("Setpoint = 20.25"), std::string::npos) << seen;
  // It was the last client: Tessarel ends and quits the spreadsheet it started.
  EXPECT_EQ(tessarel.WaitExit(30000), 0);
  std::string log = ReadFile(dir.File("Tessarel.log"));
  EXPECT_NE(log.find("ConnectToDdeServer: OK for Excel,plant"), std::string::npos) << log;
  EXPECT_NE(log.find("ConnectToDdeServer: Failed for Excel,nosuchsheet"), std::string::npos) << log;
}
