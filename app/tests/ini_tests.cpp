// The INI access and platform checks the start-up relies on, against real files.
#include <gtest/gtest.h>

#include "IniReadWriter.h"
#include "Win32Platform.h"
#include "WinTestSupport.h"

using namespace wintest;

TEST(IniFiles, ValuesAreCutAt127CharactersAndMissingKeysGiveTheDefault) {
  TempFolder dir("tessarel_ini");
  std::string ini = dir.File("PLANT.ini");
  std::string longValue(200, 'v');
  dir.Write("PLANT.ini", "[Tessarel]\r\nWorkbook=" + longValue + "\r\nDelimiter=\" \"\r\n");
  EXPECT_EQ(IniReadWriter::GetProfile("Tessarel", "Workbook", "", ini), longValue.substr(0, 127));
  EXPECT_EQ(IniReadWriter::GetProfile("Tessarel", "Missing", "dflt", ini), "dflt");
  EXPECT_EQ(IniReadWriter::GetProfile("Nowhere", "Workbook", "", ini), "");
  EXPECT_EQ(IniReadWriter::GetProfile("Tessarel", "Workbook", "x", dir.File("none.ini")), "x");

  EXPECT_TRUE(IniReadWriter::WriteProfile("OPC Client", "Server", "Sim.OPCDA.2", ini));
  EXPECT_EQ(IniReadWriter::GetProfile("OPC Client", "Server", "", ini), "Sim.OPCDA.2");
  EXPECT_EQ(IniReadWriter::GetProfile("Tessarel", "Workbook", "", ini), longValue.substr(0, 127));
}

TEST(IniFiles, PlatformChecksFilesNotFoldersAndTrimsTheComputerName) {
  TempFolder dir("tessarel_plat");
  dir.Write("a.txt", "x");
  Win32Platform p;
  EXPECT_TRUE(p.FileReadable(dir.File("a.txt")));
  EXPECT_FALSE(p.FileReadable(dir.File("b.txt")));
  EXPECT_FALSE(p.FileReadable(dir.Path()));
  EXPECT_FALSE(p.FileReadable(dir.Path() + "\\"));
  std::string raw = p.ComputerName();
  EXPECT_EQ(raw.size(), 64u);
  EXPECT_FALSE(Win32Platform::MonthAbbreviation(12).empty());
}
