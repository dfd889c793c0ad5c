// Tessarel as an OPC DA server to clients in other processes: the tags of its database are
// served with their initial values, and the last client leaving (or its process killed) ends
// the program.
#include <gtest/gtest.h>

#include "WinTestSupport.h"
#include "resource.h"

using namespace wintest;

TEST(TessarelServer, ServesTheDatabaseTagsAndEndsWhenTheLastClientLeaves) {
  TempFolder dir("tessarel_sys");
  const std::string bin = EnvPath("TESSAREL_BIN_DIR");
  ASSERT_TRUE(CopyFileA((bin + "\\Tessarel.exe").c_str(), dir.File("Tessarel.exe").c_str(), FALSE));
  dir.Write("Tessarel.ini",
            "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=none.xlsx\r\nNewExcelInstance=true\r\n");
  dir.Write("tags.csv",
            "Tag,Type,Sheet,Cell,Write\r\n"
            "Line.Speed,R8,Plant,R2C2\r\n"
            "Line.Count,I4,Plant,R3C2,yes\r\n"
            "Line.Name,STRING,Plant,R4C2\r\n");
  Process p;
  ASSERT_TRUE(Start(p, dir.File("Tessarel.exe"), "", dir.Path()));
  HWND w = FindProcessWindow(p.pi.dwProcessId, "TessarelMainWindow", 20000);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(WaitText(w, IDC_TXTNUMOPCTAGS, [](const std::string& t) { return t == "3"; }, 15000),
            "3");

  // The running Tessarel's class object answers: COM does not start another copy.
  std::string out;
  long rc = RunCapture(bin + "\\opcclient.exe",
                       "Marrowby.Tessarel.1 read Line.Speed Line.Count Line.Name Excel.CalculationMode",
                       out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("Line.Speed = -1  [R8, Bad 0x00"), std::string::npos) << out;
  EXPECT_NE(out.find("Line.Count = -1  [I4, Bad 0x00"), std::string::npos) << out;
  EXPECT_NE(out.find("Line.Name =   [BSTR, Bad 0x00"), std::string::npos) << out;
  // Automatic calculation (2) from the spreadsheet, or -1 where none is registered; good.
  EXPECT_TRUE(out.find("Excel.CalculationMode = 2  [I4, Good 0xC0") != std::string::npos ||
              out.find("Excel.CalculationMode = -1  [I4, Good 0xC0") != std::string::npos)
      << out;

  // That client was the only one: its leaving ends Tessarel after an orderly clean-up.
  EXPECT_EQ(p.WaitExit(20000), 0);
}

// OPC clients whose processes are killed, one subscribed and one that only connected: Tessarel
// stops counting each, and ends on its own once neither is left.
TEST(TessarelServer, KilledClientsStopCountingAndTheLastOneEndsTessarel) {
  TempFolder dir("tessarel_killed");
  const std::string bin = EnvPath("TESSAREL_BIN_DIR");
  ASSERT_TRUE(CopyFileA((bin + "\\Tessarel.exe").c_str(), dir.File("Tessarel.exe").c_str(), FALSE));
  dir.Write("Tessarel.ini",
            "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=none.xlsx\r\nNewExcelInstance=true\r\n");
  dir.Write("tags.csv", "Tag,Type,Sheet,Cell,Write\r\nLine.Speed,R8,Plant,R2C2\r\n");
  Process p;
  ASSERT_TRUE(Start(p, dir.File("Tessarel.exe"), "", dir.Path()));
  HWND w = FindProcessWindow(p.pi.dwProcessId, "TessarelMainWindow", 20000);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(WaitText(w, IDC_TXTNUMOPCTAGS, [](const std::string& t) { return t == "1"; }, 15000),
            "1");
  auto clients = [&](const char* n) {
    return WaitText(w, IDC_TXTNUMOPCCLIENTS, [n](const std::string& t) { return t == n; }, 20000);
  };
  // Killing a client process is safe for the prefix (unlike killing a registered server).
  Process watching, connected;
  ASSERT_TRUE(StartToFile(watching, bin + "\\opcclient.exe",
                          "Marrowby.Tessarel.1 watch Line.Speed --seconds 120",
                          dir.File("watch.txt")));
  ASSERT_EQ(clients("1"), "1");
  ASSERT_TRUE(StartToFile(connected, bin + "\\opcclient.exe",
                          "Marrowby.Tessarel.1 connect --seconds 120", dir.File("connect.txt")));
  ASSERT_EQ(clients("2"), "2");

  TerminateProcess(watching.pi.hProcess, 9);
  EXPECT_EQ(clients("1"), "1") << "the killed subscriber is still counted";
  EXPECT_TRUE(IsWindow(w));  // one client is left: Tessarel keeps serving
  TerminateProcess(connected.pi.hProcess, 9);
  EXPECT_EQ(p.WaitExit(30000), 0) << "Tessarel did not end after its last client was killed";
}
