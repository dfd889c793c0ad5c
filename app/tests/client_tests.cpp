// The OPC client bridge's portable parts: what a write cell's text sends to the server, the
// client tag file and its write tags in the DDE link's indexes, runs of neighbouring cells, and
// the DDE link handing write cells to the bridge.
#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>

#include "BrowserTree.h"
#include "CellRuns.h"
#include "ClientTagFile.h"
#include "ClientValues.h"
#include "DdeLink.h"
#include "TagGrid.h"

namespace {

std::optional<TagValue> Write(int type, const std::string& cell) {
  return ClientWriteValue(type, cell + "\r\n", "Yes", "No", NeutralConversions());
}

std::string TempFile(const std::string& name, const std::string& content) {
  auto dir = std::filesystem::temp_directory_path() / "tessarel_client_tests";
  std::filesystem::create_directories(dir);
  auto p = dir / name;
  std::ofstream(p, std::ios::binary) << content;
  return p.string();
}

class NoServed : public IServedTagsPort {
 public:
  std::optional<std::string> Add(const std::string&, long, const TagValue&, short,
                                 OleDate) override {
    return std::nullopt;
  }
};

struct Tags {
  NoServed served;
  std::vector<std::string> log;
  long errors = 0;
  ServerTagDatabase db{TagDatabaseContext{
      [this](const std::string& m) { log.push_back(m); }, [this] { ++errors; },
      [] { return std::string(","); }, [] { return OleDate{46000}; },
      [this]() -> IServedTagsPort* { return &served; }, [] { return std::optional<long>(-4105); }}};
  CellFormatter formatter;
  ClientTagList Load(const std::string& content) {
    return LoadClientDatabase(TempFile("client.csv", content), "Plant", db, formatter);
  }
};

}  // namespace

TEST(ClientWriteValueTest, NumbersKeepTheirTypeAndNonNumericTextSendsMinus9999) {
  // Whole numbers round half to even; one that does not fit writes nothing.
  EXPECT_EQ(Write(kVtInteger, "2.5"), TagValue(int16_t{2}));
  EXPECT_EQ(Write(kVtInteger, "3.5"), TagValue(int16_t{4}));
  EXPECT_EQ(Write(kVtInteger, "-32768"), TagValue(int16_t{-32768}));
  EXPECT_FALSE(Write(kVtInteger, "40000"));
  EXPECT_EQ(Write(kVtInteger, "#DIV/0!"), TagValue(int16_t{-9999}));
  EXPECT_EQ(Write(kVtLong, "123456789"), TagValue(int32_t{123456789}));
  EXPECT_FALSE(Write(kVtLong, "3000000000"));
  EXPECT_EQ(Write(kVtLong, "abc"), TagValue(int32_t{-9999}));
  // Singles are limited to +-1e38; doubles keep every digit.
  EXPECT_EQ(Write(kVtSingle, "1e40"), TagValue(1e38f));
  EXPECT_EQ(Write(kVtSingle, "-1e40"), TagValue(-1e38f));
  EXPECT_EQ(Write(kVtSingle, " 12 "), TagValue(12.0f));
  EXPECT_EQ(Write(kVtSingle, "#N/A"), TagValue(-9999.0f));
  EXPECT_EQ(Write(kVtDouble, "0.1"), TagValue(0.1));
  EXPECT_EQ(Write(kVtDouble, "123456789.123"), TagValue(123456789.123));
  EXPECT_EQ(Write(kVtDouble, ""), TagValue(-9999.0));
  // Other whole-number types travel as doubles and are fitted to the item's type when written.
  EXPECT_EQ(Write(17 /* UI1 */, "200"), TagValue(200.0));
  EXPECT_EQ(Write(19 /* UI4 */, "x"), TagValue(-9999.0));
}

TEST(ClientWriteValueTest, TextsBooleansDatesAndUnknownTypes) {
  // The cell's line end and the blanks around the text are not sent.
  EXPECT_EQ(Write(kVtString, "  Pump 3 "), TagValue(std::string("Pump 3")));
  EXPECT_EQ(ClientWriteValue(kVtString, "a\r\n\0", "T", "F", NeutralConversions()),
            TagValue(std::string("a")));
  // Booleans by the configured texts' leading characters; anything else writes nothing.
  EXPECT_EQ(Write(kVtBoolean, "Yes"), TagValue(true));
  EXPECT_EQ(Write(kVtBoolean, "Yesterday"), TagValue(true));
  EXPECT_EQ(Write(kVtBoolean, "No"), TagValue(false));
  EXPECT_FALSE(Write(kVtBoolean, "TRUE"));
  EXPECT_FALSE(Write(kVtBoolean, "1"));
  EXPECT_EQ(Write(kVtDate, "2026-12-08 10:30"), TagValue(OleDate{OleDateFromParts(2026, 12, 8, 10, 30, 0)}));
  EXPECT_FALSE(Write(kVtDate, "not a date"));
  EXPECT_FALSE(Write(0, "5"));   // the server gave no type (the item was refused)
  EXPECT_FALSE(Write(13, "5"));  // an object type
  EXPECT_FALSE(Write(kVtDouble | 0x2000, "5"));  // an array
}

TEST(ClientWriteValueTest, ErrorTextShowsTheCodeInHexWithoutLeadingZeros) {
  EXPECT_EQ(ClientErrorText(static_cast<long>(0xC0040007), "Error adding OPC Items"),
            "OPC Client (0xC0040007) - Error adding OPC Items");
  EXPECT_EQ(ClientErrorText(-2147221005, "Error connecting to X on pc2"),
            "OPC Client (0x800401F3) - Error connecting to X on pc2");
  EXPECT_EQ(ClientErrorText(91, "Add Group"), "OPC Client (0x5B) - Add Group");
  EXPECT_EQ(HexCode(0), "0");
}

TEST(ClientTagFileTest, ReadAndWriteLinesAndWhatIsSkipped) {
  Tags t;
  ClientTagList l = t.Load(
      "OPC Tag,Type,Item,Write\r\n"
      "Ramp.R8,R4,R3C2,\r\n"         // read tag, R1C1 cell
      "Register.R8,BOOL,B4,yes\r\n"  // write tag, A1 cell, the type field ignored
      "Only.Two,R4\r\n"              // no cell: skipped
      "Empty.Cell,R4,,yes\r\n"       // no cell even though it writes: skipped
      ",R4,R9C9,\r\n"                // no item ID: skipped
      "Three.Fields,R4,C7\r\n");     // a read tag
  EXPECT_EQ(l.items, (std::vector<std::string>{"Ramp.R8", "Register.R8", "Three.Fields"}));
  EXPECT_EQ(l.cells, (std::vector<std::string>{"B3", "B4", "C7"}));
  EXPECT_EQ(l.writes, (std::vector<bool>{false, true, false}));
  // Only the write tag is watched by the DDE link: indexed by name and by sheet + R1C1 cell,
  // and in the sheet's cell list.
  ASSERT_EQ(t.db.gTagsByName.Count(), 1u);
  auto w = t.db.gTagsByName.Find("register.r8");
  ASSERT_TRUE(w);
  EXPECT_TRUE(w->IsClientTag());
  EXPECT_EQ(w->Item, "R4C2");
  EXPECT_EQ(w->Sheet, "plant");
  EXPECT_EQ(w->Server, "Excel");
  EXPECT_EQ(t.db.gTagsByCell.Find("PLANT+R4C2"), w);
  auto sheet = t.db.gSheets.Find("plant");
  ASSERT_TRUE(sheet);
  ASSERT_EQ(sheet->Entries().size(), 1u);
  EXPECT_EQ(sheet->Entries()[0].OpcTag, "Register.R8");
  EXPECT_EQ(sheet->Entries()[0].ItemName, "R4C2");
}

TEST(ClientTagFileTest, TakenNamesAndCellsAreAddedButNotWatchedAndLongFilesLoadWhole) {
  Tags t;
  t.db.LoadServerDatabase(TempFile("served.csv", "Tag,Type,Sheet,Cell,Write\r\nSpeed,R8,Plant,R2C2,y\r\n"));
  std::string file = "OPC Tag,Type,Item,Write\r\n"
                     "Speed,R4,R9C9,w\r\n"      // the name of a served tag
                     "Reg.A,R4,B2,w\r\n"        // the cell of a served tag
                     "Reg.B,R4,R5C5,w\r\n"
                     "Reg.C,R4,E5,w\r\n";       // the same cell as the line before
  for (int i = 0; i < 250; ++i) file += "Bulk." + std::to_string(i) + ",R4,R" + std::to_string(10 + i) + "C1,\r\n";
  ClientTagList l = t.Load(file);
  ASSERT_EQ(l.items.size(), 254u);
  EXPECT_EQ(l.items[253], "Bulk.249");
  EXPECT_EQ(l.cells[253], "A259");
  EXPECT_TRUE(t.db.gTagsByName.Find("Speed")->IsServerTag());
  EXPECT_TRUE(t.db.gTagsByName.Find("Reg.B")->IsClientTag());
  EXPECT_EQ(t.db.gTagsByName.Find("Reg.C"), nullptr);  // its cell is Reg.B's
  EXPECT_EQ(t.db.gSheets.Find("plant")->Entries().size(), 2u);  // Speed and Reg.B
  // A file with only its header, and one that does not exist, give nothing.
  EXPECT_TRUE(t.Load("OPC Tag,Type,Item,Write\r\n").items.empty());
  EXPECT_TRUE(LoadClientDatabase("/no/such/dir/client.csv", "Plant", t.db, t.formatter).items.empty());
}

TEST(CellRunsTest, NeighboursDownAColumnOrAlongARowMakeOneRange) {
  auto runs = FindCellRuns({"B2", "B3", "B4", "C4", "D4", "A1", "A3", "bad", "Z9"});
  ASSERT_EQ(runs.size(), 6u);
  EXPECT_EQ(runs[0].range, "B2:B4");
  EXPECT_TRUE(runs[0].down);
  EXPECT_EQ(runs[1].range, "C4:D4");  // B4 already belongs to the column before
  EXPECT_FALSE(runs[1].down);
  EXPECT_EQ(runs[1].first, 3u);
  EXPECT_EQ(runs[2].range, "A1");
  EXPECT_EQ(runs[3].range, "A3");     // a gap breaks the run
  EXPECT_EQ(runs[4].range, "bad");
  EXPECT_EQ(runs[5].range, "Z9");
  EXPECT_EQ(runs[5].count, 1u);
  EXPECT_TRUE(FindCellRuns({}).empty());
  // Going back up a column is not a run (the values would land in the wrong order).
  EXPECT_EQ(FindCellRuns({"B3", "B2"}).size(), 2u);
}

// Client tag files and cell texts come from users and the spreadsheet: random ones (commas,
// quotes, line ends, cell-like texts) must load without reading out of bounds (the native tree
// runs this under the address sanitizer) and keep the lists and indexes consistent.
TEST(ClientTagFileTest, RandomFilesAndCellTextsKeepTheListsConsistent) {
  std::mt19937 rng(20261208);
  const std::string alphabet = "AbRC019,,,\"\r\n \t.-+eE#x";
  auto randomText = [&](std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int round = 0; round < 300; ++round) {
    Tags t;
    ClientTagList l = t.Load("OPC Tag,Type,Item,Write\r\n" + randomText(rng() % 400));
    ASSERT_EQ(l.items.size(), l.cells.size());
    ASSERT_EQ(l.items.size(), l.writes.size());
    for (std::size_t i = 0; i < l.items.size(); ++i) ASSERT_FALSE(l.items[i].empty());
    // Every watched tag is a write tag of the list, and each is in both indexes.
    for (const auto& e : t.db.gTagsByName.Items()) {
      auto at = std::find(l.items.begin(), l.items.end(), e->TagName);
      ASSERT_NE(at, l.items.end());
      ASSERT_TRUE(l.writes[static_cast<std::size_t>(at - l.items.begin())]);
      ASSERT_EQ(t.db.gTagsByCell.Find("Plant+" + e->Item), e);
    }
    const std::string text = randomText(rng() % 40);
    for (int type : std::initializer_list<int>{kVtInteger, kVtLong, kVtSingle, kVtDouble, kVtDate, kVtString, kVtBoolean, 17, 19}) {
      std::optional<TagValue> v = ClientWriteValue(type, text, "Yes", "No", NeutralConversions());
      if (const float* f = v ? std::get_if<float>(&*v) : nullptr) ASSERT_LE(std::fabs(*f), 1e38f);
    }
  }
}

TEST(TagGridTest, CellTextsParseInA1FormAndEditsKeepTheRowConsistent) {
  struct Case { const char* text; long row, column; };
  for (Case c : {Case{"AA7", 7, 27}, Case{"b5", 5, 2}, Case{"Z1", 1, 26}, Case{"7A", -1, -1},
                 Case{"A", -1, -1}, Case{"AB", -1, -1}, Case{"A0", -1, -1}, Case{"B5x", -1, -1},
                 Case{"XFD1048576", 1048576, 16384}, Case{"XFE1", -1, -1},
                 Case{"A1048577", -1, -1}, Case{"ZZZZZZZZZZZZ1", -1, -1}, Case{"", -1, -1}}) {
    A1Cell a = ParseA1Cell(c.text);
    EXPECT_EQ(a.row, c.row) << c.text;
    EXPECT_EQ(a.column, c.column) << c.text;
  }
  EXPECT_EQ(ColumnLetters(27), "AA");
  EXPECT_EQ(ColumnLetters(702), "ZZ");
  EXPECT_EQ(ColumnLetters(703), "AAA");

  TagGrid g;
  ASSERT_EQ(g.AddItem("Ramp.R8", TagGrid::AutoIncrement::Off), 1);
  auto row = [&g](int r) {
    return g.Text(r, 2) + "|" + g.Text(r, 3) + "|" + g.Text(r, 4);
  };
  EXPECT_EQ(row(1), "||");  // no auto-increment: no cell
  EXPECT_TRUE(g.StoreEdit(1, TagGrid::kCell, "AA7"));
  EXPECT_EQ(row(1), "AA7|7|27");
  EXPECT_TRUE(g.StoreEdit(1, TagGrid::kCell, "7A"));
  EXPECT_EQ(row(1), "7A|-1|-1");
  // A typed column is kept within A..Z and the cell rewritten; the row keeps its number.
  EXPECT_TRUE(g.StoreEdit(1, TagGrid::kRow, "12"));
  EXPECT_EQ(row(1), "A12|12|1");  // the column's -1 counts as 1
  EXPECT_TRUE(g.StoreEdit(1, TagGrid::kColumn, "40"));
  EXPECT_EQ(row(1), "Z12|12|26");
  EXPECT_TRUE(g.StoreEdit(1, TagGrid::kColumn, "x"));
  EXPECT_EQ(row(1), "A12|12|1");
  EXPECT_TRUE(g.StoreEdit(1, TagGrid::kRow, "0"));
  EXPECT_EQ(row(1), "A1|1|1");
  EXPECT_TRUE(g.StoreEdit(1, TagGrid::kRow, "2.5"));  // not a row number
  EXPECT_EQ(row(1), "A1|1|1");
  // Fixed columns, the header and rows that do not exist are not edited.
  EXPECT_FALSE(g.StoreEdit(1, TagGrid::kTag, "Other"));
  EXPECT_FALSE(g.StoreEdit(0, TagGrid::kCell, "B2"));
  EXPECT_FALSE(g.StoreEdit(2, TagGrid::kCell, "B2"));
  EXPECT_EQ(g.Text(1, 1), "Ramp.R8");
  EXPECT_EQ(g.Text(0, 4), "Column");
}

TEST(TagGridTest, AutoIncrementFollowsTheRowAboveAndDuplicatesOnlySelectTheirRow) {
  using AI = TagGrid::AutoIncrement;
  TagGrid g;
  EXPECT_EQ(g.AddItem("A", AI::ByRow), 1);
  EXPECT_EQ(g.Text(1, 2), "A1");  // the first row starts at A1
  ASSERT_TRUE(g.StoreEdit(1, TagGrid::kCell, "B2"));
  EXPECT_EQ(g.AddItem("B", AI::ByRow), 2);
  EXPECT_EQ(g.AddItem("C", AI::ByRow), 3);
  EXPECT_EQ(g.AddItem("D", AI::ByRow), 4);
  EXPECT_EQ(g.Text(2, 2) + g.Text(3, 2) + g.Text(4, 2), "B3B4B5");
  EXPECT_EQ(g.Text(4, 3) + "," + g.Text(4, 4), "5,2");
  // A repeated item ID adds nothing and gives its row.
  EXPECT_EQ(g.AddItem("C", AI::ByRow), 3);
  EXPECT_EQ(g.DataRows(), 4);
  // Along the row; past Z the letters go on as the spreadsheet's do.
  ASSERT_TRUE(g.StoreEdit(4, TagGrid::kCell, "Y9"));
  EXPECT_EQ(g.AddItem("E", AI::ByColumn), 5);
  EXPECT_EQ(g.AddItem("F", AI::ByColumn), 6);
  EXPECT_EQ(g.AddItem("G", AI::ByColumn), 7);
  EXPECT_EQ(g.Text(5, 2) + g.Text(6, 2) + g.Text(7, 2), "Z9AA9AB9");
  // A row above without a valid row number: "Row" moves along the column instead.
  ASSERT_TRUE(g.StoreEdit(7, TagGrid::kCell, "bad"));
  EXPECT_EQ(g.AddItem("H", AI::ByRow), 8);
  EXPECT_EQ(g.Text(8, 2), "A1");  // -1 and -1 count as 1, neither valid
  ASSERT_TRUE(g.StoreEdit(8, TagGrid::kRow, "4"));
  ASSERT_TRUE(g.StoreEdit(8, TagGrid::kColumn, ""));
  EXPECT_EQ(g.AddItem("I", AI::Off), 9);
  EXPECT_EQ(g.Text(9, 2), "");
  // Item IDs the tag file could not hold are refused.
  EXPECT_EQ(g.AddItem("", AI::ByRow), -1);
  EXPECT_EQ(g.AddItem("Say \"hi\"", AI::ByRow), -1);
  EXPECT_EQ(g.DataRows(), 9);
}

TEST(TagGridTest, TheSavedFileLoadsBackAsTheGridsReadTags) {
  TagGrid g;
  g.AddItem("Ramp.R8", TagGrid::AutoIncrement::ByRow);
  g.StoreEdit(1, TagGrid::kCell, "C3");
  g.AddItem("Plant,Line 1.Speed", TagGrid::AutoIncrement::ByRow);  // a comma in the item ID
  g.AddItem(" Padded ", TagGrid::AutoIncrement::ByRow);
  g.AddItem("No.Cell", TagGrid::AutoIncrement::Off);
  const std::string text = g.FileText();
  EXPECT_EQ(text,
            "OPC Tag,Type,Item,Write\r\n"
            "Ramp.R8,R4,R3C3,\r\n"
            "\"Plant,Line 1.Speed\",R4,R4C3,\r\n"
            "\" Padded \",R4,R5C3,\r\n"
            "No.Cell,R4,RC,\r\n");
  Tags t;
  ClientTagList l = t.Load(text);
  // A row without a cell reads as no valid reference: its item is subscribed with no cell.
  EXPECT_EQ(l.items,
            (std::vector<std::string>{"Ramp.R8", "Plant,Line 1.Speed", " Padded ", "No.Cell"}));
  EXPECT_EQ(l.cells, (std::vector<std::string>{"C3", "C4", "C5", ""}));
  EXPECT_EQ(l.writes, (std::vector<bool>{false, false, false, false}));
  EXPECT_EQ(t.db.gTagsByName.Count(), 0u);  // read tags are not watched
}

namespace {
// Records the browser calls; branches by path, leaves filtered by their first letters.
class FakeBrowser : public ITagBrowser {
 public:
  std::vector<std::string> calls;
  std::vector<std::string> last;
  std::string failOn;
  void Call(const std::string& c) {
    calls.push_back(c);
    if (!failOn.empty() && c.rfind(failOn, 0) == 0) throw BrowseError{c, -2147467259L};
  }
  long Organization() override { return 1; }
  void SetFilter(const std::string& f) override { Call("Filter=" + f); }
  void SetDataType(long t) override { Call("DataType=" + std::to_string(t)); }
  void SetAccessRights(long r) override { Call("AccessRights=" + std::to_string(r)); }
  void ShowBranches() override { Call("ShowBranches"); last = {"Ramp", "Register"}; }
  void ShowLeafs() override { Call("ShowLeafs"); last = {"R4", "R8"}; }
  void ShowLeafs(bool) override { Call("ShowLeafs(flat)"); }
  std::vector<std::string> Names() override { return last; }
  void MoveToRoot() override { Call("MoveToRoot"); }
  void MoveDown(const std::string& b) override { Call("MoveDown " + b); }
  std::string GetItemID(const std::string& leaf) override { return leaf; }
};
}  // namespace

TEST(BrowserTreeTest, KeysSpellThePathAndMovingToANodeWalksItFromTheRoot) {
  using namespace browsertree;
  const std::string ramp = ChildKey(kRootKey, "Ramp");
  const std::string deep = ChildKey(ChildKey(ramp, "Sub.Level"), "x y");
  EXPECT_EQ(ramp, std::string("Server1\x02Ramp"));
  EXPECT_EQ(PathOf(kRootKey), std::vector<std::string>{});
  EXPECT_EQ(PathOf("Server"), std::vector<std::string>{});
  EXPECT_EQ(PathOf(deep), (std::vector<std::string>{"Ramp", "Sub.Level", "x y"}));
  EXPECT_TRUE(IsPlaceholder("12" + std::string(kPlaceholderMarker)));
  EXPECT_FALSE(IsPlaceholder(deep));

  FakeBrowser b;
  EXPECT_EQ(BranchesOf(b, deep), (std::vector<std::string>{"Ramp", "Register"}));
  EXPECT_EQ(b.calls, (std::vector<std::string>{"MoveToRoot", "MoveDown Ramp", "MoveDown Sub.Level",
                                               "MoveDown x y", "Filter=", "ShowBranches"}));
  b.calls.clear();
  EXPECT_EQ(Leaves(b, "R*", 4, 3), (std::vector<std::string>{"R4", "R8"}));
  EXPECT_EQ(b.calls, (std::vector<std::string>{"Filter=R*", "DataType=4", "AccessRights=3",
                                               "ShowLeafs"}));
  // A refused step stops the walk with the step's name.
  b.failOn = "MoveDown Sub";
  try {
    MoveToNodePath(b, deep);
    ADD_FAILURE() << "no error";
  } catch (const BrowseError& e) {
    EXPECT_EQ(e.step, "MoveDown Sub.Level");
  }
}
