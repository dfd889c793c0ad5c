// The DDE service "Excel" of WorkbookServer, spoken to in bare DDE messages from another
// process, as a DDE client (and Tessarel through its DDEML) speaks to a spreadsheet.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "ServerClient.h"

using namespace wbs_test;

namespace {

class Dde : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    dir_ = ScratchFolder("wbs-dde");
    app_ = NewExcel().Detach();
    pid_ = Long(Get(app_, "ProcessId"));
    Put(app_, "DisplayAlerts", Variant(false));
  }
  static void TearDownTestSuite() {
    if (app_) {
      FailureOf([&] { Call(app_, "Quit"); });
      app_->Release();
      app_ = nullptr;
      EXPECT_TRUE(WaitProcessGone(static_cast<DWORD>(pid_), 10000));
    }
    CoUninitialize();
  }
  // A fresh workbook whose one sheet is called `sheet` (a text file's sheet bears its name).
  ComPtr<IDispatch> OpenSheet(const std::string& sheet) {
    const std::string path = dir_ + sheet + ".csv";
    std::ofstream(path, std::ios::binary) << "\r\n";
    return Obj(Call(Obj(Get(app_, "Workbooks")).Get(), "Open", {Variant(W(path))}));
  }
  void SetCalculation(long mode) { Put(app_, "Calculation", Variant(static_cast<int>(mode))); }

  static inline std::string dir_;
  static inline IDispatch* app_ = nullptr;
  static inline long pid_ = 0;
};

TEST_F(Dde, RequestPokeAndHotLinksFollowFormulas) {
  ComPtr<IDispatch> wb = OpenSheet("Plant");
  DdeClient c;
  ASSERT_TRUE(c.Connect("excel", "PLANT")) << "service and topic compare without case";
  EXPECT_EQ(c.Request("R1C1").value_or("<none>"), "");
  EXPECT_EQ(c.lastRaw_, "\r\n");
  ASSERT_TRUE(c.Poke("R1C1", "5"));
  EXPECT_EQ(c.Request("r1c1").value_or("<none>"), "5");
  EXPECT_EQ(c.lastRaw_, "5\r\n") << "a cell's text travels with CR LF";
  ASSERT_TRUE(c.Poke("R1C2", "=A1*2\r\n"));
  EXPECT_EQ(c.Request("R1C2").value_or("<none>"), "10");

  ASSERT_TRUE(c.Advise("R1C2"));
  ASSERT_TRUE(c.Poke("R1C1", "6"));
  auto a = c.NextAdvise();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->first, "R1C2");
  EXPECT_EQ(a->second, "12");
  // Text that does not change sends nothing: a round trip proves nothing was queued before it.
  ASSERT_TRUE(c.Poke("R1C1", "6"));
  EXPECT_EQ(c.Request("R1C1").value_or("<none>"), "6");
  EXPECT_EQ(c.PendingAdvises(), 0u);

  ASSERT_TRUE(c.Advise("R1C1"));
  ASSERT_TRUE(c.Poke("R1C1", "8"));
  std::map<std::string, std::string> got;
  for (int i = 0; i < 2; ++i)
    if (auto x = c.NextAdvise()) got[x->first] = x->second;
  EXPECT_EQ(got["R1C1"], "8");
  EXPECT_EQ(got["R1C2"], "16");
  // Texts of other kinds of result reach the link as the cell shows them.
  ASSERT_TRUE(c.Poke("R1C1", "0"));
  c.NextAdvise();
  c.NextAdvise();
  ASSERT_TRUE(c.Poke("R1C2", "=1/A1"));
  a = c.NextAdvise();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->second, "#DIV/0!");

  ASSERT_TRUE(c.Unadvise("R1C2"));
  EXPECT_FALSE(c.Unadvise("R1C2")) << "no such link any more";
  ASSERT_TRUE(c.Poke("R1C1", "4"));
  a = c.NextAdvise();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->first, "R1C1");
  EXPECT_EQ(c.Request("R1C2").value_or("<none>"), "0.25");
  EXPECT_EQ(c.PendingAdvises(), 0u);

  // Refused with a negative acknowledgement, the conversation going on.
  EXPECT_FALSE(c.Request("A1"));
  EXPECT_FALSE(c.Request("R0C1"));
  EXPECT_FALSE(c.Request("R1C1", CF_BITMAP));
  EXPECT_FALSE(c.Poke("R1C1", "=1+"));
  EXPECT_FALSE(c.Poke("R1048577C1", "1"));
  EXPECT_FALSE(c.Advise("R1C1", false, false, CF_BITMAP));
  EXPECT_FALSE(c.Advise("nonsense"));
  EXPECT_FALSE(c.Execute("[NO.SUCH.COMMAND()]"));
  EXPECT_EQ(c.Request("R1C1").value_or("<none>"), "4");
  c.Terminate();
  Call(wb.Get(), "Close", {Variant(false)});
}

// A link asking for acknowledgements gets one update at a time; what changed meanwhile arrives
// as the latest text once the client has acknowledged. A deferred link gets bare notices.
TEST_F(Dde, AcknowledgedAndDeferredLinks) {
  ComPtr<IDispatch> wb = OpenSheet("Acked");
  DdeClient c;
  ASSERT_TRUE(c.Connect("Excel", "Acked"));
  ASSERT_TRUE(c.Advise("R1C1", /*ackReq=*/true));
  ASSERT_TRUE(c.Poke("R1C1", "1"));
  ASSERT_TRUE(c.Poke("R1C1", "2"));
  ASSERT_TRUE(c.Poke("R1C1", "3"));
  EXPECT_EQ(c.Request("R1C1").value_or("<none>"), "3");
  EXPECT_EQ(c.PendingAdvises(), 1u) << "only one unacknowledged update may be outstanding";
  auto a = c.NextAdvise();  // acknowledged by the client helper
  ASSERT_TRUE(a);
  EXPECT_EQ(a->second, "1");
  a = c.NextAdvise();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->second, "3") << "the latest text, not every step";
  EXPECT_EQ(c.Request("R1C1").value_or("<none>"), "3");
  EXPECT_EQ(c.PendingAdvises(), 0u);

  ASSERT_TRUE(c.Advise("R2C1", false, /*defer=*/true));
  ASSERT_TRUE(c.Poke("R2C1", "x"));
  a = c.NextAdvise();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->first, "R2C1");
  EXPECT_EQ(a->second, "");  // no data, only the notice
  EXPECT_EQ(c.Request("R2C1").value_or("<none>"), "x");

  // The server keeps the item's atom reference an acknowledgement brings back for the next
  // update; when the conversation ends, every reference it held is given back.
  ASSERT_TRUE(c.Advise("R47C5", /*ackReq=*/true));
  for (const char* v : {"a", "b", "c"}) {
    ASSERT_TRUE(c.Poke("R47C5", v));
    a = c.NextAdvise();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->second, v);
  }
  EXPECT_NE(GlobalFindAtomA("R47C5"), 0) << "the link holds a reference while it lasts";
  c.Terminate();
  EXPECT_EQ(GlobalFindAtomA("R47C5"), 0) << "a reference to the item's atom was left behind";
  Call(wb.Get(), "Close", {Variant(false)});
}

TEST_F(Dde, ManualCalculationHoldsHotLinksUntilCalculate) {
  ComPtr<IDispatch> wb = OpenSheet("Manual");
  DdeClient c;
  ASSERT_TRUE(c.Connect("Excel", "Manual"));
  ASSERT_TRUE(c.Poke("R1C1", "1"));
  ASSERT_TRUE(c.Poke("R2C1", "=A1+100"));
  ASSERT_TRUE(c.Advise("R2C1"));
  SetCalculation(-4135);
  ASSERT_TRUE(c.Poke("R1C1", "2"));
  EXPECT_EQ(c.Request("R2C1").value_or("<none>"), "101");
  EXPECT_EQ(c.PendingAdvises(), 0u) << "manual mode sent a recalculated value";
  ASSERT_TRUE(c.Execute("[CALCULATE.NOW()]"));
  auto a = c.NextAdvise();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->second, "102");
  // The same through automation's Calculate.
  ASSERT_TRUE(c.Poke("R1C1", "3"));
  EXPECT_EQ(c.Request("R1C1").value_or("<none>"), "3");
  EXPECT_EQ(c.PendingAdvises(), 0u);
  Call(app_, "Calculate");
  a = c.NextAdvise();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->second, "103");
  // Back to automatic: what waits is calculated and sent.
  ASSERT_TRUE(c.Poke("R1C1", "4"));
  SetCalculation(-4105);
  a = c.NextAdvise();
  ASSERT_TRUE(a);
  EXPECT_EQ(a->second, "104");
  c.Terminate();
  Call(wb.Get(), "Close", {Variant(false)});
}

TEST_F(Dde, SystemTopicAndWildcardInitiate) {
  ComPtr<IDispatch> wb = OpenSheet("Tanks");
  DdeClient sys;
  ASSERT_TRUE(sys.Connect("Excel", "System"));
  const std::string topics = sys.Request("Topics").value_or("");
  EXPECT_NE(topics.find("Tanks"), std::string::npos) << topics;
  EXPECT_NE(topics.find("System"), std::string::npos) << topics;
  EXPECT_NE(sys.Request("SysItems").value_or("").find("Topics"), std::string::npos);
  EXPECT_EQ(sys.Request("Status").value_or(""), "Ready");
  EXPECT_FALSE(sys.Request("R1C1"));
  EXPECT_FALSE(sys.Poke("R1C1", "1"));
  sys.Terminate();

  DdeClient any;
  ASSERT_TRUE(any.Connect("", ""));
  std::vector<std::string> t = any.AnsweredTopics();
  EXPECT_NE(std::find(t.begin(), t.end(), "Tanks"), t.end());
  EXPECT_NE(std::find(t.begin(), t.end(), "System"), t.end());
  any.Terminate();

  DdeClient none;
  EXPECT_FALSE(none.Connect("Excel", "NoSuchSheet"));
  EXPECT_FALSE(none.Connect("Word", "Tanks"));
  Call(wb.Get(), "Close", {Variant(false)});
}

TEST_F(Dde, ClosingTheWorkbookTerminatesItsConversations) {
  ComPtr<IDispatch> wb = OpenSheet("Closing");
  ComPtr<IDispatch> other = OpenSheet("Staying");
  DdeClient c, d, s;
  ASSERT_TRUE(c.Connect("Excel", "Closing"));
  ASSERT_TRUE(d.Connect("Excel", "Closing"));
  ASSERT_TRUE(s.Connect("Excel", "Staying"));
  ASSERT_TRUE(c.Advise("R1C1"));
  Call(wb.Get(), "Close", {Variant(false)});
  EXPECT_TRUE(c.WaitTerminate());
  EXPECT_TRUE(d.WaitTerminate());
  EXPECT_TRUE(s.Request("R1C1").has_value()) << "the other workbook's conversation goes on";
  DdeClient again;
  EXPECT_FALSE(again.Connect("Excel", "Closing"));
  s.Terminate();
  Call(other.Get(), "Close", {Variant(false)});
}

// Thousands of mixed transactions in a row: every answer belongs to its question, and every hot
// link carries the value its formula has after the poke that changed it.
TEST_F(Dde, ThousandsOfMixedTransactionsStayInStep) {
  ComPtr<IDispatch> wb = OpenSheet("Stress");
  DdeClient c;
  ASSERT_TRUE(c.Connect("Excel", "Stress"));
  ASSERT_TRUE(c.Poke("R1C3", "=SUM(A1:A20)"));
  ASSERT_TRUE(c.Advise("R1C3"));
  long values[20] = {0};
  int wrong = 0, failed = 0, advised = 0;
  for (int i = 1; i <= 3000; ++i) {
    const int row = i % 20;
    values[row] = i;
    const std::string item = "R" + std::to_string(row + 1) + "C1";
    if (!c.Poke(item, std::to_string(i))) ++failed;
    long sum = 0;
    for (long v : values) sum += v;
    auto a = c.NextAdvise();
    if (!a || a->second != std::to_string(sum)) ++wrong;
    else ++advised;
    if (i % 3 == 0) {
      auto r = c.Request(item);
      if (!r || *r != std::to_string(i)) ++wrong;
    }
    if (i % 7 == 0) {
      // A link on the poked cell comes and goes in between.
      if (!c.Advise(item) || !c.Unadvise(item)) ++failed;
    }
  }
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(advised, 3000);
  EXPECT_EQ(c.PendingAdvises(), 0u);
  c.Terminate();
  Call(wb.Get(), "Close", {Variant(false)});
}

// Over 100,000 messages and more data handles than Wine's table holds if posted data leaks
// (GlobalAlloc fails after about 65,000): every transaction must still succeed.
TEST_F(Dde, A100000MessagesLeakNoGlobalMemory) {
  ComPtr<IDispatch> wb = OpenSheet("Leak");
  DdeClient c;
  ASSERT_TRUE(c.Connect("Excel", "Leak"));
  ASSERT_TRUE(c.Advise("R1C1"));
  int failed = 0;
  const int cycles = 35000;  // 5 messages and 2 server-side data handles each
  for (int i = 0; i < cycles && failed < 10; ++i) {
    const std::string v = std::to_string(i);
    if (!c.Poke("R1C1", v)) ++failed;
    auto a = c.NextAdvise();
    if (!a || a->second != v) ++failed;
    auto r = c.Request("R1C1");
    if (!r || *r != v) ++failed;
  }
  EXPECT_EQ(failed, 0);
  HGLOBAL probe = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, 64);
  EXPECT_NE(probe, nullptr) << "this process ran out of global memory handles";
  GlobalFree(probe);
  c.Terminate();
  Call(wb.Get(), "Close", {Variant(false)});
}

}  // namespace
