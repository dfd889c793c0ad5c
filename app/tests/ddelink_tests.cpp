// The DDE link: conversations per sheet, the advise queue, cell text conversions and writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "CellText.h"
#include "ClientValues.h"
#include "CommsBuffer.h"
#include "ClientTagFile.h"
#include "DdeLink.h"
#ifdef _WIN32
#include "PlatformLocale.h"
#endif

namespace {

class NullServed : public IServedTagsPort {
 public:
  std::optional<std::string> Add(const std::string&, long, const TagValue&, short,
                                 OleDate) override {
    return std::nullopt;
  }
};

struct Update {
  std::string tag;
  std::optional<TagValue> value;
  short quality;
};

class FakeUpdates : public IServedTagUpdatePort {
 public:
  std::vector<Update> updates;
  void UpdateValue(const std::string& tag, const std::optional<TagValue>& v, short q) override {
    updates.push_back({tag, v, q});
  }
  const Update* Last(const std::string& tag) const {
    for (auto it = updates.rbegin(); it != updates.rend(); ++it)
      if (it->tag == tag) return &*it;
    return nullptr;
  }
};

class FakeDde : public IDdeConversationPort {
 public:
  std::map<std::string, std::string> topics;            // topic -> conversation key
  std::map<std::string, RequestOutcome> cells;          // item -> outcome
  std::map<std::string, bool> pokeOk;                   // item -> result (default true)
  std::vector<std::string> calls;
  std::string Connect(const std::string& s, const std::string& t) override {
    calls.push_back("Connect " + s + "," + t);
    auto it = topics.find(t);
    return it == topics.end() ? DdeLink::kFailed : it->second;
  }
  RequestOutcome Request(const std::string& c, const std::string& item, long ms, int f) override {
    calls.push_back("Request " + c + " " + item + " " + std::to_string(ms) + " " +
                    std::to_string(f));
    auto it = cells.find(item);
    return it == cells.end() ? RequestOutcome{false, "", true, "0\r\n"} : it->second;
  }
  std::string StartAdviseLoop(const std::string& c, const std::string& item, long, int,
                              bool ack) override {
    calls.push_back("Advise " + c + " " + item + (ack ? " ack" : ""));
    return "I-" + item;
  }
  bool PokeString(const std::string& c, const std::string& item, const std::string& text,
                  long ms) override {
    calls.push_back("Poke " + c + " " + item + " '" + text + "' " + std::to_string(ms));
    auto it = pokeOk.find(item);
    return it == pokeOk.end() || it->second;
  }
};

std::string TagFile(const std::string& content) {
  auto p = std::filesystem::temp_directory_path() / "tessarel_ddelink_tags.csv";
  std::ofstream(p, std::ios::binary) << content;
  return p.string();
}

struct LinkFixture : ::testing::Test {
  NullServed served;
  long errors = 0;
  std::vector<std::string> log;
  ServerTagDatabase db{TagDatabaseContext{
      [this](const std::string& m) { log.push_back(m); }, [this] { ++errors; },
      [] { return std::string(","); }, [] { return OleDate{46000}; },
      [this]() -> IServedTagsPort* { return &served; }, [] { return std::optional<long>(-4105); }}};
  FakeDde dde;
  FakeUpdates updates;
  std::vector<std::string> timers;
  long calculation = -4105;
  bool spreadsheetBusy = false;  // setting the calculation fails while true
  long hold = 0;
  bool localUpdate = false;
  bool clients = false;
  bool ackLinks = false;
  std::vector<std::string> shutdowns;
  std::vector<std::string> clientWrites;
  std::unique_ptr<DdeLink> link;

  void SetUp() override {
    db.LoadServerDatabase(TagFile(
        "Tag,Type,Sheet,Cell,Write\r\n"
        "Speed,R8,Plant,R2C2,y\r\n"
        "Count,I2,Plant,R3C2,y\r\n"
        "Name,STRING,Plant,R4C2,y\r\n"
        "Run,BOOL,Plant,R5C2,y\r\n"
        "Total,R4,Totals,R1C1,y\r\n"));
    DdeLinkContext ctx;
    ctx.log = [this](const std::string& m) { log.push_back(m); };
    ctx.trueText = [] { return std::string("TRUE"); };
    ctx.falseText = [] { return std::string("FALSE"); };
    ctx.localUpdateOnWrite = [this] { return localUpdate; };
    ctx.autoCalcHoldMs = [this] { return hold; };
    ctx.startTimer = [this](AppTimer t) { timers.push_back("start " + std::to_string(int(t))); };
    ctx.stopTimer = [this](AppTimer t) { timers.push_back("stop " + std::to_string(int(t))); };
    ctx.getCalculation = [this] { return std::optional<long>(calculation); };
    ctx.setCalculation = [this](long m) {
      timers.push_back("calc " + std::to_string(m));
      if (spreadsheetBusy) return false;
      calculation = m;
      return true;
    };
    ctx.clientsConnected = [this] { return clients; };
    ctx.ackHotLinks = [this] { return ackLinks; };
    ctx.requestClientShutdown = [this](const std::string& r) { shutdowns.push_back(r); };
    ctx.writeClientTag = [this](const OpcIndex& e, const std::string& tag, const std::string& text) {
      clientWrites.push_back(tag + "=" + text + (e.IsClientTag() ? "" : " (served!)"));
    };
    link = std::make_unique<DdeLink>(db, dde, updates, ctx);
    link->CreateAdviseQueue(0);
    log.clear();
  }
};

}  // namespace

TEST(CommsBufferTest, KeepsEachCellsLatestValueAndNeverDropsOne) {
  CommsBuffer q;
  q.SetBufferSize(0);  // ignored
  EXPECT_EQ(q.BufferSize(), 1000);
  q.SetBufferSize(2);
  q.Queue("C-1", "I-1", "a");
  q.Queue("C-1", "I-2", "b");
  q.Queue("C-1", "I-1", "a2");  // same cell: replaces its waiting text, keeps its place
  int full = 0;
  q.QueueFull = [&] { ++full; };
  q.Queue("C-2", "I-1", "c");  // a third cell in a ring of two: it grows, nothing is lost
  EXPECT_EQ(full, 1);
  EXPECT_EQ(q.Count(), 3);
  std::string c, i, d;
  std::vector<std::string> got;
  while (q.DeQueue(c, i, d)) got.push_back(c + "/" + i + "=" + d);
  EXPECT_EQ(got, (std::vector<std::string>{"C-1/I-1=a2", "C-1/I-2=b", "C-2/I-1=c"}));
  EXPECT_FALSE(q.DeQueue(c, i, d));
  EXPECT_EQ(c + i + d, "");
  // After a cell was taken, its next change queues anew behind the others.
  q.Queue("C-1", "I-2", "x");
  q.Queue("C-1", "I-1", "y");
  q.Queue("C-1", "I-2", "z");
  ASSERT_TRUE(q.DeQueue(c, i, d));
  EXPECT_EQ(i + "=" + d, "I-2=z");
  for (int k = 0; k < 5000; ++k) q.Queue("C-9", "I-" + std::to_string(k % 700), std::to_string(k));
  EXPECT_EQ(q.Count(), 701);
}

TEST(CellTextTest, ConversionsSeeTheCellTextWithoutItsLineEnd) {
  auto L = NeutralConversions();
  auto conv = [&](int type, const std::string& data) {
    return ConvertCellText(type, data, "TRUE", "FALSE", L);
  };
  EXPECT_EQ(CellTextFromDde(std::string("12.5\r\n\0", 7)), "12.5");
  EXPECT_EQ(CellTextFromDde("plain"), "plain");
  EXPECT_EQ(conv(kVtInteger, "40000\r\n"), TagValue(int16_t(32767)));
  EXPECT_EQ(conv(kVtInteger, "-40000\r\n"), TagValue(int16_t(-32767)));
  EXPECT_EQ(conv(kVtInteger, "2.5\r\n"), TagValue(int16_t(2)));  // halves to even
  EXPECT_EQ(conv(kVtLong, "3.5"), TagValue(int32_t(4)));
  EXPECT_EQ(conv(kVtLong, "1e12"), TagValue(int32_t(2147483647)));
  EXPECT_EQ(conv(kVtSingle, "1e39"), TagValue(1e38f));
  EXPECT_EQ(conv(kVtDouble, "12.25\r\n"), TagValue(12.25));
  EXPECT_FALSE(conv(kVtDouble, "abc\r\n"));
  EXPECT_FALSE(conv(kVtInteger, "12abc\r\n"));
  EXPECT_FALSE(conv(kVtSingle, "\r\n"));
  EXPECT_EQ(conv(kVtString, "  Widget  \r\n"), TagValue(std::string("Widget")));
  EXPECT_EQ(conv(kVtString, "\r\n"), TagValue(std::string()));  // an empty cell
  EXPECT_EQ(conv(kVtString, "x"), TagValue(std::string("x")));    // no line end: all of it
  EXPECT_FALSE(conv(kVtString, ""));
  EXPECT_EQ(conv(kVtBoolean, " TRUE\r\n"), TagValue(true));
  EXPECT_EQ(conv(kVtBoolean, "FALSEhood\r\n"), TagValue(false));
  EXPECT_FALSE(conv(kVtBoolean, "true\r\n"));  // exact case
  EXPECT_EQ(conv(kVtDate, "2026-12-08 15:05:30\r\n"),
            TagValue(OleDate{OleDateFromParts(2026, 12, 8, 15, 5, 30)}));
  EXPECT_EQ(conv(kVtDate, "12/8/2026 3:05 PM"),
            TagValue(OleDate{OleDateFromParts(2026, 12, 8, 15, 5, 0)}));
  EXPECT_FALSE(conv(kVtDate, "2026-02-30\r\n"));
  EXPECT_FALSE(conv(99, "1\r\n"));
  EXPECT_DOUBLE_EQ(OleDateFromParts(1899, 12, 30, 0, 0, 0), 0.0);
  EXPECT_DOUBLE_EQ(OleDateFromParts(1900, 1, 1, 12, 0, 0), 2.5);
}

// A comma-decimal locale (period for thousands), as a German system reads numbers.
LocaleConversions CommaDecimal() {
  LocaleConversions c = NeutralConversions();
  c.toDouble = [](const std::string& text) -> std::optional<double> {
    std::string t;
    for (char ch : text) {
      if (ch == '.') continue;  // thousands
      t += ch == ',' ? '.' : ch;
    }
    if (!IsNumericText(t)) return std::nullopt;
    return std::strtod(t.c_str(), nullptr);
  };
  return c;
}

#ifdef _WIN32
// The platform's own conversions on a German (comma-decimal) and a US system.
TEST(CellTextTest, ACommaDecimalSystemReadsFractionalCellsAsNumbers) {
  const LocaleConversions de =
      PlatformConversions(MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT));
  const LocaleConversions us =
      PlatformConversions(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT));
  auto conv = [](int type, const std::string& data, const LocaleConversions& l) {
    return ConvertCellText(type, data, "TRUE", "FALSE", l);
  };
  EXPECT_EQ(conv(kVtDouble, "1,5\r\n", de), TagValue(1.5));
  EXPECT_EQ(conv(kVtSingle, "-0,25\r\n", de), TagValue(-0.25f));
  EXPECT_EQ(conv(kVtInteger, "2,5\r\n", de), TagValue(int16_t(2)));
  EXPECT_FALSE(conv(kVtDouble, "1,5 kg\r\n", de));
  EXPECT_EQ(conv(kVtDouble, "1.5\r\n", us), TagValue(1.5));
  EXPECT_EQ(conv(kVtLong, "1,234\r\n", us), TagValue(int32_t(1234)));
  EXPECT_EQ(ClientWriteValue(kVtDouble, "3,75\r\n", "TRUE", "FALSE", de), TagValue(3.75));
}
#endif

TEST(CellTextTest, NumbersFollowTheLocaleForTheTestAndTheValueAlike) {
  auto L = CommaDecimal();
  auto conv = [&](int type, const std::string& data) {
    return ConvertCellText(type, data, "TRUE", "FALSE", L);
  };
  EXPECT_EQ(conv(kVtDouble, "1,5\r\n"), TagValue(1.5));
  EXPECT_EQ(conv(kVtSingle, "0,25\r\n"), TagValue(0.25f));
  EXPECT_EQ(conv(kVtInteger, "2,5\r\n"), TagValue(int16_t(2)));
  EXPECT_EQ(conv(kVtLong, "1.234.567\r\n"), TagValue(int32_t(1234567)));
  EXPECT_FALSE(conv(kVtDouble, "1,5x\r\n"));
  // The client bridge's writes read the cell the same way.
  EXPECT_EQ(ClientWriteValue(kVtSingle, "1,5\r\n", "TRUE", "FALSE", L), TagValue(1.5f));
  EXPECT_EQ(ClientWriteValue(kVtDouble, "2,25\r\n", "TRUE", "FALSE", L), TagValue(2.25));
  EXPECT_EQ(ClientWriteValue(kVtLong, "x\r\n", "TRUE", "FALSE", L), TagValue(int32_t(-9999)));
}

TEST_F(LinkFixture, EachSheetIsReadInOrderThenHotLinkedAndAFailedSheetStaysBad) {
  dde.topics["plant"] = "C-7";
  dde.cells["R2C2"] = {false, "", true, "12.5\r\n"};
  dde.cells["R3C2"] = {false, "", false, ""};       // Excel returns nothing
  dde.cells["R4C2"] = {true, "Time-out", false, ""};  // the call fails
  link->ConnectToDdeServer("Excel", "plant");
  link->ConnectToDdeServer("Excel", "totals");
  EXPECT_EQ(dde.calls, (std::vector<std::string>{
                           "Connect Excel,plant", "Request C-7 R2C2 1000 1",
                           "Request C-7 R3C2 1000 1", "Request C-7 R4C2 1000 1",
                           "Request C-7 R5C2 1000 1", "Advise C-7 R2C2", "Advise C-7 R3C2",
                           "Advise C-7 R4C2", "Advise C-7 R5C2", "Connect Excel,totals"}));
  EXPECT_EQ(log, (std::vector<std::string>{
                     "DDE Request: C-7, R2C2 (Speed)", "DDE Request: C-7, R3C2 (Count)",
                     "DDE Request Error: C-7, Count - No Data Returned",
                     "DDE Request: C-7, R4C2 (Name)", "DDE Request Error: C-7, Name, Time-out",
                     "DDE Request: C-7, R5C2 (Run)", "ConnectToDdeServer: OK for Excel,plant",
                     "ConnectToDdeServer: Failed for Excel,totals"}));
  EXPECT_EQ(timers, (std::vector<std::string>{"start 2", "start 2"}));
  EXPECT_EQ(updates.Last("Speed")->value, TagValue(12.5));
  EXPECT_EQ(updates.Last("Speed")->quality, 192);
  EXPECT_EQ(updates.Last("Count")->quality, 0);
  EXPECT_FALSE(updates.Last("Count")->value);
  EXPECT_EQ(updates.Last("Total"), nullptr);
  EXPECT_EQ(db.gTagsByName.Find("Speed")->ConvKey, "C-7");
  EXPECT_EQ(db.gTagsByName.Find("Total")->ConvKey, "");
  EXPECT_NE(db.gTagsByAdvise.Find("C-7+I-R3C2"), nullptr);  // linked despite no first value
}

// With AckHotLinks every hot link asks for acknowledgements; the requests are unchanged.
TEST_F(LinkFixture, AcknowledgedHotLinksAreAskedForOnlyWhenSet) {
  dde.topics["totals"] = "C-9";
  ackLinks = true;
  link->ConnectToDdeServer("Excel", "totals");
  EXPECT_EQ(dde.calls, (std::vector<std::string>{"Connect Excel,totals", "Request C-9 R1C1 1000 1",
                                                 "Advise C-9 R1C1 ack"}));
  dde.calls.clear();
  ackLinks = false;
  link->ConnectToDdeServer("Excel", "totals");
  EXPECT_EQ(dde.calls.back(), "Advise C-9 R1C1");
}

TEST_F(LinkFixture, AdvisesWaitForTheTickAndAnUnknownAdviseEndsIt) {
  dde.topics["plant"] = "C-7";
  link->ConnectToDdeServer("Excel", "plant");
  updates.updates.clear();
  link->OnDDEAdvise("C-7", "I-R2C2", "1\r\n");
  link->OnDDEAdvise("C-7", "I-R2C2", "2\r\n");  // superseded before the tick
  link->OnDDEAdvise("C-9", "I-R1C1", "x\r\n");  // nobody asked for this one
  link->OnDDEAdvise("C-7", "I-R5C2", "TRUE\r\n");
  EXPECT_TRUE(updates.updates.empty());  // nothing happens inside the event
  link->OnUpdateTick();
  ASSERT_EQ(updates.updates.size(), 1u);
  EXPECT_EQ(updates.Last("Speed")->value, TagValue(2.0));
  link->OnUpdateTick();  // the entry after the unknown one, a tick later
  EXPECT_EQ(updates.Last("Run")->value, TagValue(true));

  link->OnDDEDisconnect("C-7");
  EXPECT_TRUE(shutdowns.empty());
  clients = true;
  link->OnDDEDisconnect("C-7");
  EXPECT_EQ(shutdowns, (std::vector<std::string>{"Excel is being shut down"}));
}

TEST_F(LinkFixture, WritesPokeTextAndReportPerItemAndOverall) {
  dde.topics["plant"] = "C-7";
  link->ConnectToDdeServer("Excel", "plant");
  dde.calls.clear();
  updates.updates.clear();
  dde.pokeOk["R3C2"] = false;  // times out
  std::vector<long> errors;
  long r = link->WriteItems({"Speed", "Count", "Run", "Total", "Nope"},
                            {TagValue(12.5), TagValue(int16_t(4)), TagValue(true),
                             TagValue(1.0f), TagValue(1.0)},
                            errors);
  EXPECT_EQ(r, 1);
  EXPECT_EQ(errors, (std::vector<long>{0, DdeLink::kEFail, 0, DdeLink::kEFail, DdeLink::kEFail}));
  EXPECT_EQ(dde.calls, (std::vector<std::string>{"Poke C-7 R2C2 '12.5' 1000",
                                                 "Poke C-7 R3C2 '4' 1000",
                                                 "Poke C-7 R5C2 'TRUE' 1000"}));
  EXPECT_TRUE(updates.updates.empty());  // the hot link brings the new values later
  EXPECT_EQ(timers, (std::vector<std::string>{"start 2", "stop 3"}));

  EXPECT_EQ(link->WriteItems({}, {}, errors), DdeLink::kEFail);
  dde.pokeOk["R2C2"] = false;
  EXPECT_EQ(link->WriteItems({"Speed"}, {TagValue(1.0)}, errors), DdeLink::kEFail);

  localUpdate = true;
  dde.pokeOk["R2C2"] = true;
  EXPECT_EQ(link->WriteItems({"Speed"}, {TagValue(7.0)}, errors), 0);
  EXPECT_EQ(updates.Last("Speed")->value, TagValue(7.0));
}

TEST_F(LinkFixture, TheCalculationModeTagAndTheRecalculationHold) {
  std::vector<long> errors;
  EXPECT_EQ(link->WriteItems({"Excel.CalculationMode"}, {TagValue(int32_t(1))}, errors), 0);
  EXPECT_EQ(calculation, 2);
  EXPECT_EQ(updates.Last("Excel.CalculationMode")->value, TagValue(int32_t(1)));
  EXPECT_EQ(link->WriteItems({"Excel.CalculationMode"}, {TagValue(int32_t(5))}, errors),
            DdeLink::kEFail);
  EXPECT_EQ(calculation, 2);  // unchanged, but the tag was refreshed from Excel
  EXPECT_EQ(updates.updates.size(), 2u);

  hold = 2000;
  timers.clear();
  dde.topics["plant"] = "C-7";
  link->ConnectToDdeServer("Excel", "plant");
  timers.clear();
  EXPECT_EQ(link->WriteItems({"Speed", "Excel.CalculationMode"},
                             {TagValue(1.0), TagValue(int32_t(2))}, errors),
            1);
  EXPECT_EQ(errors[1], DdeLink::kEFail);  // held: the mode tag refuses writes
  EXPECT_EQ(timers, (std::vector<std::string>{"calc -4135", "start 3"}));
  // A busy spreadsheet refuses automatic calculation: the timer stays on until it is back.
  spreadsheetBusy = true;
  link->OnReEnableTick();
  link->OnReEnableTick();
  EXPECT_EQ(calculation, -4135);
  EXPECT_EQ(timers.back(), "calc -4105");
  spreadsheetBusy = false;
  link->OnReEnableTick();
  EXPECT_EQ(calculation, -4105);
  EXPECT_EQ(timers.back(), "stop 3");

  // The mode written as text: numeric text is the number; other text is refused.
  hold = 0;
  EXPECT_EQ(link->WriteItems({"Excel.CalculationMode"}, {TagValue(std::string("0"))}, errors), 0);
  EXPECT_EQ(calculation, -4135);
  EXPECT_EQ(link->WriteItems({"Excel.CalculationMode"}, {TagValue(std::string(" 2 "))}, errors),
            0);
  EXPECT_EQ(calculation, -4105);
  EXPECT_EQ(link->WriteItems({"Excel.CalculationMode"}, {TagValue(std::string("auto"))}, errors),
            DdeLink::kEFail);
  EXPECT_EQ(link->WriteItems({"Excel.CalculationMode"}, {TagValue(std::string("1.5"))}, errors),
            DdeLink::kEFail);
}

// Write cells of the OPC client bridge are watched like served cells, but what they hold goes to
// the bridge: their first text when the conversation opens, then every change at the tick, in
// queue order, while served tags keep their own path.
TEST_F(LinkFixture, WriteCellsOfTheClientBridgeSendTheirFirstTextAndEachChange) {
  CellFormatter f;
  ClientTagList l = LoadClientDatabase(
      TagFile("OPC Tag,Type,Item,Write\r\nReg.A,R4,R7C2,w\r\nReg.B,R4,B8,w\r\nRamp,R4,B9,\r\n"),
      "Plant", db, f);
  ASSERT_EQ(l.items.size(), 3u);
  dde.topics["plant"] = "C-7";
  dde.cells["R7C2"] = {false, "", true, "5\r\n"};
  link->ConnectToDdeServer("Excel", "plant");
  EXPECT_EQ(clientWrites, (std::vector<std::string>{"Reg.A=5\r\n", "Reg.B=0\r\n"}));
  EXPECT_NE(std::find(dde.calls.begin(), dde.calls.end(), "Advise C-7 R8C2"), dde.calls.end());
  EXPECT_EQ(std::find(dde.calls.begin(), dde.calls.end(), "Request C-7 R9C2 1000 1"), dde.calls.end())
      << "a read tag's cell is the server's to write, not watched";
  clientWrites.clear();
  updates.updates.clear();
  link->OnDDEAdvise("C-7", "I-R8C2", "7\r\n");
  link->OnDDEAdvise("C-7", "I-R2C2", "3\r\n");
  link->OnDDEAdvise("C-7", "I-R7C2", "6\r\n");
  link->OnUpdateTick();
  EXPECT_EQ(clientWrites, (std::vector<std::string>{"Reg.B=7\r\n", "Reg.A=6\r\n"}));
  EXPECT_EQ(updates.Last("Speed")->value, TagValue(3.0));
  EXPECT_EQ(updates.Last("Reg.A"), nullptr);
}
