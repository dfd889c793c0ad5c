#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "WorkbookSet.h"

using namespace wbs;
namespace fs = std::filesystem;

namespace {

fs::path Scratch(const std::string& name) {
  fs::path dir = fs::temp_directory_path() / ("wbs_engine_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir / name;
}

void Write(const fs::path& p, const std::string& text) {
  std::ofstream o(p, std::ios::binary);
  o << text;
}

CellPos A(const char* a1) { return *ParseA1(a1); }

// Records what each change notification reported, as a DDE hot link would see it.
struct Recorder : WorkbookObserver {
  Workbook* wb = nullptr;
  std::map<std::string, std::string> seen;  // first sheet's A1 -> text at the last report
  int reports = 0;
  std::vector<std::string> closing;
  void CellsChanged(Workbook& w, const std::vector<CellChange>& cells) override {
    ++reports;
    for (const auto& c : cells)
      if (c.sheet == 0) seen[ToA1(c.pos)] = w.Text(c.sheet, c.pos);
  }
  void WorkbookClosing(Workbook& w) override { closing.push_back(w.Name()); }
};

std::string Must(bool ok, const std::string& err) { return ok ? "" : err; }

}  // namespace

TEST(Workbook, FormulasRecalculateAndReportEveryCellThatChanged) {
  WorkbookSet set;
  Recorder rec;
  set.AddObserver(&rec);
  Workbook* wb = set.Adopt(Workbook::Create("Book1", {"Sheet1", "Sheet2"}));
  std::string err;
  ASSERT_EQ(Must(wb->SetEntry(0, A("A1"), "2", err), err), "");
  ASSERT_EQ(Must(wb->SetEntry(0, A("B1"), "=A1*21", err), err), "");
  ASSERT_EQ(Must(wb->SetEntry(1, A("A1"), "=Sheet1!B1+1", err), err), "");
  EXPECT_EQ(wb->Text(0, A("B1")), "42");
  EXPECT_EQ(wb->Text(1, A("A1")), "43");
  EXPECT_EQ(wb->Formula(0, A("B1")), "=A1*21");

  rec.seen.clear();
  ASSERT_TRUE(wb->SetEntry(0, A("A1"), "3", err));
  EXPECT_EQ(rec.seen["A1"], "3");
  EXPECT_EQ(rec.seen["B1"], "63");  // the dependent formula on Sheet1
  EXPECT_EQ(wb->Text(1, A("A1")), "64");  // and the one on Sheet2, two steps away
  EXPECT_TRUE(wb->Dirty());

  // Texts of the other kinds of value.
  ASSERT_TRUE(wb->SetEntry(0, A("C1"), "=1/0", err));
  EXPECT_EQ(wb->Text(0, A("C1")), "#DIV/0!");
  ASSERT_TRUE(wb->SetEntry(0, A("C2"), "true", err));
  EXPECT_EQ(wb->Text(0, A("C2")), "TRUE");
  ASSERT_TRUE(wb->SetEntry(0, A("C3"), "=\"ab\"&\"cd\"", err));
  EXPECT_EQ(wb->Text(0, A("C3")), "abcd");
  ASSERT_TRUE(wb->SetValue(0, A("C4"), CellValue::DateOf(45000.25), err));
  EXPECT_EQ(wb->Text(0, A("C4")), "3/15/2023 6:00");
  EXPECT_EQ(wb->Value(0, A("C4")).kind, CellValue::Kind::Date);
  ASSERT_TRUE(wb->SetEntry(0, A("C5"), "=SUM(A1:B1)", err));
  EXPECT_EQ(wb->Text(0, A("C5")), "66");

  // Replacing a formula with a constant ends its dependency: A1 no longer moves B1.
  ASSERT_TRUE(wb->SetEntry(0, A("B1"), "7", err));
  ASSERT_TRUE(wb->SetEntry(0, A("A1"), "100", err));
  EXPECT_EQ(wb->Text(0, A("B1")), "7");
  EXPECT_EQ(wb->Text(1, A("A1")), "8");
  // Clearing a cell empties it and its dependents see zero.
  ASSERT_TRUE(wb->SetEntry(0, A("B1"), "", err));
  EXPECT_EQ(wb->Text(0, A("B1")), "");
  EXPECT_EQ(wb->Text(1, A("A1")), "1");
}

TEST(Workbook, BadInputIsRefusedWithAReasonAndChangesNothing) {
  auto wb = Workbook::Create("Book1", {"Sheet1"});
  std::string err;
  ASSERT_TRUE(wb->SetEntry(0, A("A1"), "5", err));
  EXPECT_FALSE(wb->SetEntry(0, A("A1"), "=1+", err));
  EXPECT_FALSE(err.empty());
  EXPECT_EQ(wb->Text(0, A("A1")), "5");
  for (const char* bad : {"=SUM((1,2", "=(1", "=1)", "=1 2", "=+", "=SUM(1,)", "=A1+*2"})
    EXPECT_FALSE(wb->SetEntry(0, A("A1"), bad, err)) << bad;
  EXPECT_EQ(wb->Text(0, A("A1")), "5");
  // Well-formed formulas the engine cannot calculate show an error value, like an unknown name.
  ASSERT_TRUE(wb->SetEntry(0, A("A3"), "=-(-2)^2+SUM(1,2)", err)) << err;
  EXPECT_EQ(wb->Text(0, A("A3")), "7");
  ASSERT_TRUE(wb->SetEntry(0, A("A4"), "=NOSUCHFUNCTION(1)", err));
  EXPECT_EQ(wb->Text(0, A("A4")), "#NAME?");
  ASSERT_TRUE(wb->SetEntry(0, A("A5"), "=SQRT(A1)", err));
  EXPECT_EQ(wb->Text(0, A("A5"))[0], '#');
  // ... and do not stop the cells that follow them in the same recalculation.
  ASSERT_TRUE(wb->SetEntry(0, A("A6"), "=A1*2", err));
  ASSERT_TRUE(wb->SetEntry(0, A("A1"), "6", err));
  EXPECT_EQ(wb->Text(0, A("A6")), "12");
  EXPECT_FALSE(wb->SetEntry(3, A("A1"), "1", err));
  EXPECT_FALSE(wb->SetEntry(0, CellPos{kMaxRows, 0}, "1", err));
  EXPECT_FALSE(wb->SetValue(0, A("A2"), CellValue::Num(1.0 / 0.0), err));
  EXPECT_EQ(wb->Text(7, A("A1")), "");
  // A circular reference neither hangs nor crashes.
  ASSERT_TRUE(wb->SetEntry(0, A("B1"), "=B2+1", err));
  ASSERT_TRUE(wb->SetEntry(0, A("B2"), "=B1+1", err));
  EXPECT_EQ(wb->Text(0, A("B1"))[0], '#');
}

TEST(Workbook, ManualModeHoldsDependentsUntilCalculate) {
  WorkbookSet set;
  Recorder rec;
  set.AddObserver(&rec);
  Workbook* wb = set.Adopt(Workbook::Create("Book1", {"Sheet1"}));
  std::string err;
  ASSERT_TRUE(wb->SetEntry(0, A("A1"), "1", err));
  ASSERT_TRUE(wb->SetEntry(0, A("B1"), "=A1+10", err));
  set.SetCalculation(Calculation::Manual);
  EXPECT_EQ(wb->GetCalculation(), Calculation::Manual);
  rec.seen.clear();
  ASSERT_TRUE(wb->SetEntry(0, A("A1"), "2", err));
  ASSERT_TRUE(wb->SetEntry(0, A("A1"), "3", err));
  EXPECT_EQ(wb->Text(0, A("B1")), "11");
  EXPECT_EQ(rec.seen.count("B1"), 0u);
  EXPECT_EQ(rec.seen["A1"], "3");  // the typed cell itself shows its new value at once
  // A formula entered in manual mode is calculated itself, its dependents are not.
  ASSERT_TRUE(wb->SetEntry(0, A("C1"), "=A1*2", err));
  ASSERT_TRUE(wb->SetEntry(0, A("D1"), "=C1+B1", err));
  EXPECT_EQ(wb->Text(0, A("C1")), "6");
  set.Calculate();
  EXPECT_EQ(wb->Text(0, A("B1")), "13");
  EXPECT_EQ(rec.seen["B1"], "13");
  EXPECT_EQ(wb->Text(0, A("D1")), "19");
  // Back to automatic: what was pending is calculated on the switch.
  ASSERT_TRUE(wb->SetEntry(0, A("A1"), "4", err));
  set.SetCalculation(Calculation::Semiautomatic);
  EXPECT_EQ(wb->Text(0, A("B1")), "14");
  ASSERT_TRUE(wb->SetEntry(0, A("A1"), "5", err));  // semiautomatic recalculates as automatic
  EXPECT_EQ(wb->Text(0, A("B1")), "15");
  // A workbook opened while the application is manual is manual too.
  set.SetCalculation(Calculation::Manual);
  Workbook* wb2 = set.Adopt(Workbook::Create("Book2", {"Data"}));
  EXPECT_EQ(wb2->GetCalculation(), Calculation::Manual);
}

TEST(Workbook, SavedXlsxReadsBackWithValuesFormulasAndSheets) {
  const fs::path p = Scratch("roundtrip.xlsx");
  std::string err;
  {
    auto wb = Workbook::Create(p.string(), {"Plant", "Second Sheet"});
    ASSERT_TRUE(wb->SetEntry(0, A("A1"), "1.5", err));
    ASSERT_TRUE(wb->SetEntry(0, A("A2"), "=A1*4", err));
    ASSERT_TRUE(wb->SetEntry(0, A("B1"), "pump \"7\", north", err));
    ASSERT_TRUE(wb->SetEntry(0, A("B2"), "FALSE", err));
    ASSERT_TRUE(wb->SetEntry(0, A("C3"), "=B1&\"!\"", err));
    ASSERT_TRUE(wb->SetEntry(1, A("AA100"), "='Plant'!A2+1", err));
    ASSERT_TRUE(wb->SetValue(0, A("D1"), CellValue::DateOf(45000.5), err));
    ASSERT_TRUE(wb->SaveAs(p.string(), err)) << err;
    EXPECT_FALSE(wb->Dirty());
  }
  auto back = Workbook::Open(p.string(), false, err);
  ASSERT_TRUE(back) << err;
  ASSERT_EQ(back->SheetCount(), 2);
  EXPECT_EQ(back->SheetName(1), "Second Sheet");
  EXPECT_EQ(back->FindSheet("plant"), 0);
  EXPECT_EQ(back->Text(0, A("A2")), "6");
  EXPECT_EQ(back->Formula(0, A("A2")), "=A1*4");
  EXPECT_EQ(back->Text(0, A("B1")), "pump \"7\", north");
  EXPECT_EQ(back->Text(0, A("B2")), "FALSE");
  EXPECT_EQ(back->Text(0, A("C3")), "pump \"7\", north!");
  EXPECT_EQ(back->Text(1, A("AA100")), "7");
  EXPECT_DOUBLE_EQ(back->Value(0, A("D1")).number, 45000.5);
  // Formulas read from a file still recalculate.
  ASSERT_TRUE(back->SetEntry(0, A("A1"), "10", err));
  EXPECT_EQ(back->Text(1, A("AA100")), "41");
  EXPECT_FALSE(back->Dirty() == false);
}

TEST(Workbook, ReadOnlyRefusesSaveAndLeavesTheFileAlone) {
  const fs::path p = Scratch("ro.xlsx");
  std::string err;
  {
    auto wb = Workbook::Create(p.string(), {"Sheet1"});
    ASSERT_TRUE(wb->SetEntry(0, A("A1"), "1", err));
    ASSERT_TRUE(wb->SaveAs(p.string(), err));
  }
  auto ro = Workbook::Open(p.string(), true, err);
  ASSERT_TRUE(ro);
  EXPECT_TRUE(ro->ReadOnly());
  ASSERT_TRUE(ro->SetEntry(0, A("A1"), "2", err));
  EXPECT_FALSE(ro->Save(err));
  EXPECT_NE(err.find("read-only"), std::string::npos);
  auto again = Workbook::Open(p.string(), false, err);
  EXPECT_EQ(again->Text(0, A("A1")), "1");
  EXPECT_FALSE(fs::exists(p.string() + ".saving"));
}

TEST(Workbook, OpensCsvAndOdsAndRefusesWhatItCannotRead) {
  const fs::path csv = Scratch("Levels.csv");
  Write(csv, "Tank,Level\r\nT1,12.5\r\nT2,\"7,25\"\n");  // Windows and Unix line ends
  std::string err;
  auto wb = Workbook::Open(csv.string(), false, err);
  ASSERT_TRUE(wb) << err;
  EXPECT_EQ(wb->SheetName(0), "Levels");
  EXPECT_EQ(wb->Text(0, A("B2")), "12.5");
  EXPECT_EQ(wb->Text(0, A("B3")), "7,25");
  EXPECT_EQ(wb->Text(0, A("B1")), "Level");
  ASSERT_TRUE(wb->SetEntry(0, A("C2"), "=B2*2", err));
  ASSERT_TRUE(wb->Save(err)) << err;
  std::ifstream in(csv);
  std::string line;
  std::getline(in, line);
  std::getline(in, line);
  EXPECT_EQ(line, "T1,12.5,25\r");

  const char* src = std::getenv("TESSAREL_SOURCE_DIR");
  ASSERT_NE(src, nullptr);
  auto ods = Workbook::Open(std::string(src) + "/examples/workbooks/Plant.ods", true, err);
  ASSERT_TRUE(ods) << err;
  ASSERT_GE(ods->SheetCount(), 1);
  EXPECT_EQ(ods->SheetName(0), "Plant");
  EXPECT_EQ(ods->Text(0, A("A1")), "10");
  EXPECT_EQ(ods->Text(0, A("B1")), "30");  // =A1*3 in the file
  ASSERT_TRUE(ods->SetEntry(0, A("A1"), "2", err));
  EXPECT_EQ(ods->Text(0, A("B1")), "6");
  EXPECT_FALSE(ods->Save(err));  // read-only

  EXPECT_FALSE(Workbook::Open(Scratch("missing.xlsx").string(), false, err));
  EXPECT_NE(err.find("could not be found"), std::string::npos);
  const fs::path junk = Scratch("junk.xlsx");
  Write(junk, "this is not a zip file");
  EXPECT_FALSE(Workbook::Open(junk.string(), false, err));
  const fs::path other = Scratch("x.doc");
  Write(other, "x");
  EXPECT_FALSE(Workbook::Open(other.string(), false, err));
}

TEST(Workbook, MacrosRunAssignmentsInOrderAndUnknownNamesFail) {
  const fs::path p = Scratch("Counter.xlsx");
  std::string err;
  {
    auto wb = Workbook::Create(p.string(), {"Sheet1", "Totals"});
    ASSERT_TRUE(wb->SetEntry(0, A("B2"), "1", err));
    ASSERT_TRUE(wb->SetEntry(0, A("C2"), "=B2*10", err));
    ASSERT_TRUE(wb->SaveAs(p.string(), err));
  }
  Write(Workbook::MacroPathFor(p.string()),
        "[Increment]\n"
        "Sheet1!B2 = Sheet1!B2 + 1\n"
        "Totals!A1 = Sheet1!C2 + B9\n"  // C2 already reflects the new B2; B9 is Totals!B9 (empty)
        "[Broken]\n"
        "A1 = 1+\n"
        "[Label]\n"
        "A5 = \"run \" & B2\n");
  WorkbookSet set;
  Workbook* wb = set.Open(p.string(), "C:\\data\\Counter.xlsx", false, err);
  ASSERT_TRUE(wb) << err;
  EXPECT_EQ(wb->Name(), "Counter.xlsx");
  EXPECT_EQ(wb->Macros().size(), 3u);
  ASSERT_TRUE(set.RunMacro("Increment", err)) << err;
  ASSERT_TRUE(set.RunMacro("'Counter.xlsx'!increment", err)) << err;
  EXPECT_EQ(wb->Text(0, A("B2")), "3");
  EXPECT_EQ(wb->Text(1, A("A1")), "30");
  EXPECT_FALSE(wb->IsFormula(0, A("B2")));  // values, not formulas, are stored
  ASSERT_TRUE(set.RunMacro("Label", err)) << err;
  EXPECT_EQ(wb->Text(0, A("A5")), "run 3");
  // The scratch cell used for evaluation is left empty.
  EXPECT_EQ(wb->UsedCells(0).size(), 3u);
  EXPECT_FALSE(set.RunMacro("Broken", err));
  EXPECT_NE(err.find("line 5"), std::string::npos);
  EXPECT_FALSE(set.RunMacro("NoSuchMacro", err));
  EXPECT_NE(err.find("cannot be found"), std::string::npos);
  EXPECT_FALSE(set.RunMacro("Other.xlsx!Increment", err));
}

TEST(WorkbookSet, TopicsWorkbooksAndClosing) {
  WorkbookSet set;
  Recorder rec;
  set.AddObserver(&rec);
  Workbook* a = set.Adopt(Workbook::Create("/x/A.xlsx", {"Sheet1", "Data"}));
  Workbook* b = set.Adopt(Workbook::Create("/x/B.xlsx", {"Sheet1", "Other"}));
  EXPECT_EQ(set.Count(), 2);
  EXPECT_EQ(set.Active(), b);
  Workbook* wb = nullptr;
  int sheet = -1;
  ASSERT_TRUE(set.FindTopic("SHEET1", wb, sheet));
  EXPECT_EQ(wb, a);  // the first open workbook with that sheet
  ASSERT_TRUE(set.FindTopic("[b.xlsx]sheet1", wb, sheet));
  EXPECT_EQ(wb, b);
  ASSERT_TRUE(set.FindTopic("other", wb, sheet));
  EXPECT_EQ(sheet, 1);
  EXPECT_FALSE(set.FindTopic("nope", wb, sheet));
  EXPECT_FALSE(set.FindTopic("[B.xlsx", wb, sheet));
  EXPECT_EQ(set.Find("A.XLSX"), a);
  EXPECT_EQ(set.Find("/x/B.xlsx"), b);
  set.Close(a);
  EXPECT_EQ(rec.closing, std::vector<std::string>{"A.xlsx"});
  EXPECT_EQ(set.IndexOf(b), 0);
  ASSERT_TRUE(set.FindTopic("Sheet1", wb, sheet));
  EXPECT_EQ(wb, b);
  set.CloseAll();
  EXPECT_EQ(set.Count(), 0);
  EXPECT_EQ(set.Active(), nullptr);
}

// A workbook saved by us, read by a reader that shares no code with us (Debian's xlsx2csv).
TEST(Workbook, SavedXlsxIsReadByAnIndependentReader) {
  if (std::system("xlsx2csv --help >/dev/null 2>&1") != 0) GTEST_SKIP() << "xlsx2csv is not installed (scripts/setup)";
  const fs::path p = Scratch("independent.xlsx");
  std::string err;
  auto wb = Workbook::Create(p.string(), {"Plant", "Other"});
  ASSERT_TRUE(wb->SetEntry(0, A("A1"), "Tank", err));
  ASSERT_TRUE(wb->SetEntry(0, A("B1"), "Level", err));
  ASSERT_TRUE(wb->SetEntry(0, A("A2"), "T1", err));
  ASSERT_TRUE(wb->SetEntry(0, A("B2"), "12.5", err));
  ASSERT_TRUE(wb->SetEntry(0, A("C2"), "=B2*2", err));
  ASSERT_TRUE(wb->SetEntry(0, A("D2"), "TRUE", err));
  ASSERT_TRUE(wb->SetEntry(0, A("E2"), "=A2&\"-x\"", err));
  ASSERT_TRUE(wb->SetEntry(1, A("A1"), "=Plant!C2+1", err));
  ASSERT_TRUE(wb->SaveAs(p.string(), err)) << err;
  const fs::path csv = Scratch("independent.csv");
  const fs::path csv2 = Scratch("independent2.csv");
  ASSERT_EQ(std::system(("xlsx2csv -s 1 '" + p.string() + "' '" + csv.string() + "'").c_str()), 0);
  ASSERT_EQ(std::system(("xlsx2csv -s 2 '" + p.string() + "' '" + csv2.string() + "'").c_str()), 0);
  std::ifstream in(csv);
  std::string l1, l2, o1;
  std::getline(in, l1);
  std::getline(in, l2);
  std::ifstream in2(csv2);
  std::getline(in2, o1);
  auto strip = [](std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
    return s;
  };
  EXPECT_EQ(strip(l1), "Tank,Level,,,");  // the reader pads rows to the used width
  // Formula results travel as the cached values the file carries.
  EXPECT_EQ(strip(l2), "T1,12.5,25,TRUE,T1-x");
  EXPECT_EQ(strip(o1), "26");
}
