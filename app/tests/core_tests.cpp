// The application core's portable logic: the text buffer, the log line, the INI value rules and
// the order of window load and start-up, driven through fakes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ConfigRules.h"
#include "EventLog.h"
#include "FakeParts.h"
#include "TessarelApp.h"
#include "cStringBuilder.h"

using namespace config;

TEST(StringBuilder, GrowsByWholeChunksAndKeepsEveryCharacter) {
  cStringBuilder sb;
  EXPECT_EQ(sb.ToString(), "");
  EXPECT_EQ(sb.ChunkSize(), 8192u);
  sb.SetChunkSize(10);
  sb.Append("abc");
  EXPECT_EQ(sb.Capacity(), 10u);
  std::string longText(25, 'x');  // longer than a chunk: grows by several chunks at once
  sb.Append(longText);
  EXPECT_EQ(sb.Length(), 28u);
  EXPECT_EQ(sb.Capacity(), 30u);
  EXPECT_EQ(sb.ToString(), "abc" + longText);
  sb.Clear();
  EXPECT_EQ(sb.Length(), 0u);
  EXPECT_EQ(sb.Capacity(), 0u);
  EXPECT_EQ(sb.ToString(), "");
}

TEST(StringBuilder, InsertRemoveFindStayInsideTheText) {
  cStringBuilder sb;
  sb.SetChunkSize(4);
  sb.Append("hello world");
  EXPECT_TRUE(sb.Insert(5, ","));
  EXPECT_EQ(sb.ToString(), "hello, world");
  EXPECT_FALSE(sb.Insert(99, "x"));
  EXPECT_TRUE(sb.Remove(0, 7));
  EXPECT_EQ(sb.ToString(), "world");
  EXPECT_FALSE(sb.Remove(3, 5));  // past the end: refused, text unchanged
  EXPECT_EQ(sb.ToString(), "world");
  EXPECT_EQ(sb.Find("rl"), 2u);
  EXPECT_EQ(sb.Find("hello"), std::string::npos);  // removed text is not found in the spare part
  sb.Shrink();
  EXPECT_EQ(sb.Capacity(), 8u);
  EXPECT_EQ(sb.ToString(), "world");
}

TEST(EventLogTest, LineStampHasDayMonthYearTimeAndTwoSpaces) {
  EXPECT_EQ(FormatLogStamp(LocalTime{2026, 12, 7, 15, 5, 0}, "Dec"), "07-Dec-2026 15:05:00  ");
  EXPECT_EQ(FormatLogStamp(LocalTime{2027, 1, 31, 0, 0, 9}, "Jan"), "31-Jan-2027 00:00:09  ");
  EXPECT_EQ(EnglishMonthAbbreviation(12), "Dec");
  EXPECT_EQ(EnglishMonthAbbreviation(13), "???");
}

TEST(EventLogTest, BufferStopsAtItsCapWhileTheFileKeepsEveryLine) {
  auto dir = std::filesystem::temp_directory_path() / "tessarel_eventlog_test";
  std::filesystem::create_directories(dir);
  auto file = dir / "Tessarel.log";
  std::filesystem::remove(file);
  EventLog log(FixedTime, EnglishMonthAbbreviation);
  log.SetLogFile(file.string());
  const std::string msg(98, 'm');  // 100 characters with the line end
  for (int i = 0; i < 250; ++i) log.LogMessage(msg);
  // Added while below 20000: the 200th message takes it to exactly 20000, then it stops.
  EXPECT_EQ(log.Buffer().Length(), 20000u);
  std::string all;
  {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    all = ss.str();
  }
  std::string line = "07-Dec-2026 15:05:00  " + msg + "\r\n";
  EXPECT_EQ(all.size(), 250 * line.size());
  EXPECT_EQ(all.substr(0, line.size()), line);

  // A message longer than a chunk, when the buffer is just below the cap, is taken whole.
  EventLog log2(FixedTime, EnglishMonthAbbreviation);
  log2.SetLogFile(file.string());
  log2.LogMessage(std::string(19990, 'a'));
  log2.LogMessage(std::string(9000, 'b'));
  EXPECT_EQ(log2.Buffer().Length(), 19992u + 9002u);
  log2.LogMessage("late");
  EXPECT_EQ(log2.Buffer().Length(), 19992u + 9002u);
  std::filesystem::remove_all(dir);
}

TEST(EventLogTest, TheErrorLogShowsALongFilesLastPartFromAWholeLine) {
  auto dir = std::filesystem::temp_directory_path() / "tessarel_log_tail";
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "Tessarel.log").string();
  {
    std::ofstream f(path, std::ios::binary);
    for (int i = 0; i < 1000; ++i) f << "line " << i << "\r\n";
  }
  const std::string whole = ReadLogTail(path, 1 << 20);
  EXPECT_EQ(whole.rfind("line 0\r\n", 0), 0u);
  EXPECT_EQ(whole.size(), std::filesystem::file_size(path));
  const std::string tail = ReadLogTail(path, 100);
  const std::string note = "(The log file has " + std::to_string(whole.size()) +
                           " bytes; only its last ";
  ASSERT_EQ(tail.rfind(note, 0), 0u) << tail;
  std::size_t body = tail.find("\r\n\r\n") + 4;
  EXPECT_EQ(tail.substr(body, 5), "line ");  // a whole line, not the end of one
  EXPECT_EQ(tail.substr(tail.size() - 10), "line 999\r\n");
  EXPECT_LE(tail.size() - body, 100u);
  EXPECT_EQ(ReadLogTail((dir / "none.log").string(), 100), "");
  std::filesystem::remove_all(dir);
}

TEST(EventLogTest, AnUnwritableLogFileLosesTheLineButNotTheEventLog) {
  EventLog log(FixedTime, EnglishMonthAbbreviation);
  log.SetLogFile("/no/such/folder/at/all/Tessarel.log");
  log.LogMessage("still here");
  EXPECT_EQ(log.Buffer().ToString(), "still here\r\n");
}

TEST(ConfigRulesTest, PathRule) {
  EXPECT_EQ(ResolvePath("C:\\Prog", "C:\\data\\tags.csv"), "C:\\data\\tags.csv");
  EXPECT_EQ(ResolvePath("C:\\Prog", "d:tags.csv"), "d:tags.csv");
  EXPECT_EQ(ResolvePath("C:\\Prog", "\\\\server\\share\\wb.xlsx"), "\\\\server\\share\\wb.xlsx");
  EXPECT_EQ(ResolvePath("C:\\Prog", "wb.xlsx"), "C:\\Prog\\wb.xlsx");
  EXPECT_EQ(ResolvePath("C:\\Prog", "\\root.xlsx"), "C:\\Prog\\\\root.xlsx");  // one backslash is relative
  EXPECT_EQ(ResolvePath("C:\\Prog", "sub\\wb.xlsx"), "C:\\Prog\\sub\\wb.xlsx");
  EXPECT_EQ(ResolvePath("C:\\Prog", ""), "C:\\Prog\\");
}

TEST(ConfigRulesTest, DelimiterQuotesAndBlanks) {
  EXPECT_EQ(ParseDelimiter(","), ",");
  EXPECT_EQ(ParseDelimiter("  ;  "), ";");
  EXPECT_EQ(ParseDelimiter("\";\""), ";");
  EXPECT_EQ(ParseDelimiter("\" \""), " ");  // the only way to configure a blank
  EXPECT_EQ(ParseDelimiter("\"\""), "\"\"");  // two quotes stay two quotes
  EXPECT_EQ(ParseDelimiter("\"|"), "\"|");
  EXPECT_EQ(ParseDelimiter(""), "");
  // The platform's reader hands quote-space-quote over without its quotes: still a blank.
  EXPECT_EQ(ParseDelimiter(" "), " ");
  EXPECT_EQ(ParseDelimiter("\t "), "\t");
  EXPECT_TRUE(UsableDelimiter(";"));
  EXPECT_TRUE(UsableDelimiter(" "));
  EXPECT_FALSE(UsableDelimiter(""));
  EXPECT_FALSE(UsableDelimiter("\"\""));
  EXPECT_FALSE(UsableDelimiter("\""));
  EXPECT_FALSE(UsableDelimiter(";;"));
}

TEST(ConfigRulesTest, BooleansNumbersAndClamps) {
  for (const char* t : {"true", "TRUE", "Yes", "1"}) EXPECT_TRUE(IsTrueYesOne(t)) << t;
  for (const char* f : {"false", "0", "", "y", "on", " true"}) EXPECT_FALSE(IsTrueYesOne(f)) << f;

  EXPECT_EQ(NumericValue(" 42 "), 42);
  EXPECT_EQ(NumericValue("-7"), -7);
  EXPECT_EQ(NumericValue("2.5"), 2);  // halves round to even
  EXPECT_EQ(NumericValue("3.5"), 4);
  EXPECT_EQ(NumericValue("1e3"), 1000);
  for (const char* bad : {"", "abc", "12abc", "1e", ".", "+", "99999999999"})
    EXPECT_FALSE(NumericValue(bad).has_value()) << bad;

  EXPECT_EQ(ParseAutoCalcHoldMs("20000"), 10000);
  EXPECT_EQ(ParseAutoCalcHoldMs("-5"), 0);
  EXPECT_EQ(ParseAutoCalcHoldMs("750"), 750);
  EXPECT_EQ(ParseAutoCalcHoldMs("soon"), 0);
  EXPECT_EQ(ParseUpdateIntervalMs("250"), 250);
  EXPECT_EQ(ParseUpdateIntervalMs("10"), 50);  // a tick every few ms would starve the window
  EXPECT_EQ(ParseUpdateIntervalMs("99999"), 10000);
  for (const char* p : {"", "fast", "-"}) EXPECT_EQ(ParseUpdateIntervalMs(p), 1000) << p;
  for (const char* p : {"0", "-3", "abc", ""}) EXPECT_EQ(ParseMacroPeriod(p), 1) << p;
  EXPECT_EQ(ParseMacroPeriod("5"), 5);
  EXPECT_EQ(ParseMacroCount("3"), 3);
  EXPECT_EQ(ParseMacroCount("-2"), 0);
  EXPECT_EQ(ParseMacroCount("many"), 0);
  EXPECT_EQ(CleanComputerName(std::string("  PLANT7 \0\0\0", 12)), "PLANT7");
}

namespace {

struct AppFixture : ::testing::Test {
  Journal j;
  FakePlatform platform;
  FakeView view{j};
  FakeToolkit toolkit{j};
  FakeDde dde{j};
  FakeExcel excel{j};
  FakeTags tags{j};
  FakeDdeLink link{j};
  FakeClient client{j};
  const std::string folder = "C:\\Prog";
  const std::string ownIni = "C:\\Prog\\PLANT7.ini";
  const std::string commonIni = "C:\\Prog\\Tessarel.ini";

  std::unique_ptr<TessarelApp> Make(const std::string& commandLine = "") {
    AppParts p;
    p.platform = &platform;
    p.view = &view;
    p.toolkit = &toolkit;
    p.dde = &dde;
    p.excel = &excel;
    p.tags = &tags;
    p.ddeLink = &link;
    p.client = &client;
    return std::make_unique<TessarelApp>(p, folder, commandLine, FixedTime,
                                         EnglishMonthAbbreviation);
  }
  void GoodIni(const std::string& file) {
    platform.Set(file, "Tessarel", "Database", "tags.csv");
    platform.Set(file, "Tessarel", "Workbook", "plant.xlsx");
    platform.readable.insert(folder + "\\plant.xlsx");
  }
};

}  // namespace

TEST_F(AppFixture, UnregserverWinsOverRegserverAndNothingElseStarts) {
  auto app = Make("/RegServer -UNREGSERVER");
  EXPECT_EQ(app->Load(), TessarelApp::LoadResult::SwitchHandled);
  EXPECT_EQ(j.calls, (std::vector<std::string>{"toolkit.unregister", "view.unload"}));

  j.calls.clear();
  auto app2 = Make("regserver");
  EXPECT_EQ(app2->Load(), TessarelApp::LoadResult::SwitchHandled);
  EXPECT_EQ(j.calls, (std::vector<std::string>{"toolkit.register", "view.unload"}));
  EXPECT_TRUE(app2->IniFile.empty());  // the INI was never looked for
}

TEST_F(AppFixture, ComputerSpecificIniWinsOverTessarelIni) {
  GoodIni(commonIni);
  platform.Set(commonIni, "Excel", "True", "common");
  platform.Set(ownIni, "Excel", "True", "own");
  platform.computerName = " PLANT7 ";
  auto app = Make();
  app->Load();
  EXPECT_EQ(app->IniFile, ownIni);
  EXPECT_EQ(app->ExcelTrueText, "own");

  platform.readable.erase(ownIni);
  auto app2 = Make();
  app2->Load();
  EXPECT_EQ(app2->IniFile, commonIni);
  EXPECT_EQ(app2->ExcelTrueText, "common");
}

TEST_F(AppFixture, NoIniAtAllGivesDefaultsAndCountsTheMissingFiles) {
  auto app = Make();
  app->Load();
  EXPECT_EQ(app->IniFile, commonIni);
  EXPECT_EQ(app->gErrorCount, 2);
  EXPECT_EQ(app->Logger().Buffer().ToString(),
            "No Database CSV file specified in C:\\Prog\\Tessarel.ini\r\n"
            "Startup directory: C:\\Prog\r\n"
            "File C:\\Prog\\ does not exist\r\n"
            "DDE Initialization OK\r\n");
  EXPECT_EQ(app->gDelimiter, ",");
  EXPECT_FALSE(app->FileOpenWritable);
  EXPECT_TRUE(app->Visible);
  EXPECT_FALSE(app->LocalUpdateOnWrite);
  EXPECT_TRUE(app->NewExcelInstance);
  EXPECT_EQ(app->ExcelTrueText, "TRUE");
  EXPECT_EQ(app->ExcelFalseText, "FALSE");
  EXPECT_EQ(app->AutoCalcHoldMs, 0);
  EXPECT_FALSE(app->AckHotLinks);
  EXPECT_TRUE(app->gMacros.empty());
  EXPECT_EQ(view.spreadsheet, "C:\\Prog\\");
  EXPECT_EQ(view.clientDatabase, "C:\\Prog\\");
  // The empty database setting still becomes "<folder>\" and loading is attempted.
  app->StartupTick();
  EXPECT_NE(std::find(j.calls.begin(), j.calls.end(), "tags.load C:\\Prog\\"), j.calls.end());
  EXPECT_TRUE(view.errorState);
}

TEST_F(AppFixture, WindowLoadAndStartupTickRunInTheirOrder) {
  GoodIni(ownIni);
  platform.Set(ownIni, "Tessarel", "FileOpenMode", "ReadWrite");
  platform.Set(ownIni, "Tessarel", "NewExcelInstance", "no");
  platform.Set(ownIni, "Tessarel", "Visible", "0");
  platform.Set(ownIni, "Excel", "DisableAutoCalcOnWriteTime", "20000");
  platform.Set(ownIni, "Tessarel", "UpdateInterval", "250");
  platform.Set(ownIni, "Tessarel", "AckHotLinks", "Yes");
  platform.Set(ownIni, "OPC Client", "Server", "Sim.OPCDA.2");
  platform.Set(ownIni, "OPC Client", "Database", "\\\\srv\\client.csv");
  tags.count = 1001;
  tags.sheets = {"sheet1", "Totals"};
  auto app = Make();
  app->Load();
  EXPECT_EQ(app->gErrorCount, 0);
  std::vector<std::string> load = {
      "view.spreadsheet",
      "dde.failed <Test failed return string>",
      "dde.init",
      "excel.obtain new=0 visible=0",
      "timer.stop tmrReEnableExcelAutoMode",
      "timer.interval tmrReEnableExcelAutoMode 10000",
      "timer.interval tmrOpcUpdate 250",
      "client.configure",
      "view.clientdb",
      "timer.start tmrStartup"};
  EXPECT_EQ(j.calls, load);
  EXPECT_TRUE(app->AckHotLinks);
  EXPECT_EQ(client.settings.Server, "Sim.OPCDA.2");
  EXPECT_EQ(client.settings.Database, "\\\\srv\\client.csv");

  j.calls.clear();
  app->StartupTick();
  std::vector<std::string> tick = {
      "timer.stop tmrStartup",
      "excel.open C:\\Prog\\plant.xlsx rw",
      "tags.load C:\\Prog\\tags.csv",
      "view.tags 1001",
      "link.queue 1201",  // more than 1000 tags: room for all of them and 200 more
      "link.formatter",
      "toolkit.serve",
      "client.start",
      "link.connect Excel,sheet1",
      "link.connect Excel,Totals",
      "timer.start tmrMacro"};
  EXPECT_EQ(j.calls, tick);
  EXPECT_FALSE(view.errorState);

  j.calls.clear();
  app->StartupTick();  // a stray second tick starts nothing twice
  EXPECT_EQ(j.calls, (std::vector<std::string>{"timer.stop tmrStartup"}));
}

TEST_F(AppFixture, MacroSectionsAndFailedDdeInitialisation) {
  GoodIni(ownIni);
  platform.Set(ownIni, "Tessarel", "Macros", "4");
  platform.Set(ownIni, "Macro 1", "Name", "Tick");
  platform.Set(ownIni, "Macro 1", "Period", "abc");
  platform.Set(ownIni, "Macro 2", "Period", "5");  // no name: skipped
  platform.Set(ownIni, "Macro 3", "Name", "Slow");
  platform.Set(ownIni, "Macro 3", "Period", "30");
  platform.Set(ownIni, "Macro 4", "Name", "Fast");
  platform.Set(ownIni, "Macro 4", "Period", "-3");
  platform.Set(ownIni, "Macro 5", "Name", "Beyond");  // past the count
  dde.initOk = false;
  tags.count = 1000;
  auto app = Make();
  app->Load();
  ASSERT_EQ(app->gMacros.size(), 3u);
  EXPECT_EQ(app->gMacros[0].MacroName, "Tick");
  EXPECT_EQ(app->gMacros[0].PeriodSec(), 1);
  EXPECT_EQ(app->gMacros[1].MacroName, "Slow");
  EXPECT_EQ(app->gMacros[1].PeriodSec(), 30);
  EXPECT_EQ(app->gMacros[2].PeriodSec(), 1);
  EXPECT_EQ(app->gErrorCount, 1);
  EXPECT_NE(app->Logger().Buffer().ToString().find("DDE Initialization failed\r\n"),
            std::string::npos);
  j.calls.clear();
  app->StartupTick();
  EXPECT_NE(std::find(j.calls.begin(), j.calls.end(), "link.queue 0"), j.calls.end());
  EXPECT_TRUE(view.errorState);
}

// A delimiter the tag database cannot be split with, and a macro count too large to read, are
// said in the log (the first also counts as a start-up error); window load still ends.
TEST_F(AppFixture, AnUnusableDelimiterAndAHugeMacroCountAreLoggedNotSilent) {
  GoodIni(ownIni);
  platform.Set(ownIni, "Tessarel", "Delimiter", " ");  // as read from Delimiter=" "
  platform.Set(ownIni, "Tessarel", "Macros", "2000000000");
  auto app = Make();
  app->Load();
  EXPECT_EQ(app->gDelimiter, " ");
  EXPECT_EQ(app->gErrorCount, 0);
  EXPECT_EQ(app->gMacros.size(), 0u);  // no "Macro n" sections: none read, none hangs
  const std::string text = app->Logger().Buffer().ToString();
  EXPECT_NE(text.find("Macros=2000000000 is more than 1000: only the first 1000 are read"),
            std::string::npos)
      << text;

  platform.Set(ownIni, "Tessarel", "Delimiter", "");  // Delimiter= with nothing
  auto second = Make();
  second->Load();
  EXPECT_EQ(second->gErrorCount, 1);
  EXPECT_NE(second->Logger().Buffer().ToString().find(
                "Delimiter \"\" cannot split the tag database: give one character other than a "
                "double quote"),
            std::string::npos);
}

TEST_F(AppFixture, MacrosRunOnTheirPeriodCountedInTicksAndFailuresDoNotStopTheRest) {
  GoodIni(ownIni);
  platform.Set(ownIni, "Tessarel", "Macros", "4");
  platform.Set(ownIni, "Macro 1", "Name", "Broken");
  platform.Set(ownIni, "Macro 2", "Name", "Every3");
  platform.Set(ownIni, "Macro 2", "Period", "3");
  platform.Set(ownIni, "Macro 3", "Name", "EVERY3");  // same name: only the first runs
  platform.Set(ownIni, "Macro 3", "Period", "1");
  platform.Set(ownIni, "Macro 4", "Name", "Each");
  auto app = Make();
  app->Load();
  ASSERT_EQ(app->gMacros.size(), 3u);
  j.calls.clear();
  std::vector<std::string> expected;
  for (int tick = 1; tick <= 9; ++tick) {
    app->MacroTick();
    expected.push_back("excel.run Broken");  // fails every time, the others still run
    if (tick % 3 == 0) expected.push_back("excel.run Every3");
    expected.push_back("excel.run Each");
  }
  EXPECT_EQ(j.calls, expected);
}

TEST(DdeStatusWindow, MessageBoxAloneOrTheCountAndTheDescription) {
  const std::string failed = TessarelApp::kFailedReturnString;
  DdeStatusView v = MakeDdeStatusView(DdeStatus{failed, true, 3}, failed);
  EXPECT_EQ(v.messageBox,
            "StateDescription returned FailedReturnString. Corvane is probably not initialised");
  v = MakeDdeStatusView(DdeStatus{"C-1 ...", true, 0}, failed);
  EXPECT_EQ(v.messageBox, "");
  EXPECT_EQ(v.statusBar, "There are 0 conversations");
  EXPECT_EQ(v.text, "C-1 ...");
  EXPECT_EQ(MakeDdeStatusView(DdeStatus{"x", true, 1}, failed).statusBar,
            "There is 1 conversation");
  v = MakeDdeStatusView(DdeStatus{"x", false, 0}, failed);
  EXPECT_EQ(v.text,
            "Error getting the number of conversations\r\nThe control is probably not  initialised");
}
