// The DDEML suite: a client instance against DdeTestServer processes, through the seam table.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "DdemlTestKit.h"

using namespace ddetest;

namespace {

class Ddeml : public ::testing::Test {
 protected:
  const DdemlApi& api = Api();
  DWORD inst = 0;
  std::vector<HSZ> owned;

  void SetUp() override {
    gRec = Recorder{};
    ASSERT_EQ(api.DdeInitializeA(&inst, RecordingCallback, APPCMD_CLIENTONLY, 0), (UINT)DMLERR_NO_ERROR);
    ASSERT_NE(inst, 0u);
    gRec.inst = inst;
  }
  void TearDown() override {
    for (HSZ h : owned) api.DdeFreeStringHandle(inst, h);
    if (inst) EXPECT_TRUE(api.DdeUninitialize(inst));
    gRec = Recorder{};
  }

  HSZ Hsz(const std::string& s) {
    HSZ h = api.DdeCreateStringHandleA(inst, s.c_str(), CP_WINANSI);
    if (h) owned.push_back(h);
    return h;
  }
  HCONV Connect(const std::string& service, const std::string& topic, PCONVCONTEXT cc = nullptr) {
    return api.DdeConnect(inst, Hsz(service), Hsz(topic), cc);
  }
  HDDEDATA Xact(HCONV c, const std::string& item, UINT type, const std::string* data, DWORD timeout,
                DWORD* result = nullptr, UINT fmt = CF_TEXT) {
    DWORD r = 0;
    gRec.inSync += timeout != TIMEOUT_ASYNC;
    HDDEDATA h = api.DdeClientTransaction(data ? (LPBYTE)data->c_str() : nullptr,
                                          data ? (DWORD)data->size() + 1 : 0, c,
                                          item.empty() ? nullptr : Hsz(item), fmt, type, timeout, &r);
    gRec.inSync -= timeout != TIMEOUT_ASYNC;
    if (result) *result = r;
    return h;
  }
  // A request's text, "<none>" on failure (the error then in *err).
  std::string Request(HCONV c, const std::string& item, DWORD timeout = 2000, UINT* err = nullptr) {
    HDDEDATA h = Xact(c, item, XTYP_REQUEST, nullptr, timeout);
    UINT e = api.DdeGetLastError(inst);
    if (err) *err = h ? 0 : e;
    std::string s = Text(h);
    if (h) api.DdeFreeDataHandle(h);
    return s;
  }
  bool Poke(HCONV c, const std::string& item, const std::string& value, DWORD timeout = 2000, UINT* err = nullptr) {
    HDDEDATA h = Xact(c, item, XTYP_POKE, &value, timeout);
    UINT e = api.DdeGetLastError(inst);
    if (err) *err = h ? 0 : e;
    return h != nullptr;
  }
  bool Execute(HCONV c, const std::string& cmd, DWORD timeout = 2000, UINT* err = nullptr) {
    HDDEDATA h = Xact(c, "", XTYP_EXECUTE, &cmd, timeout, nullptr, 0);
    UINT e = api.DdeGetLastError(inst);
    if (err) *err = h ? 0 : e;
    return h != nullptr;
  }
  // Resources that must come back to where they were.
  struct Snapshot {
    long windows;
    DWORD kernelHandles;
    ourddeml::InstanceCounts counts{};
    size_t testHandles;  // string handles the test itself holds
  };
  Snapshot Take() {
    Snapshot s{ThreadWindowCount(), 0, {}, owned.size()};
    GetProcessHandleCount(GetCurrentProcess(), &s.kernelHandles);
    if (!IsPlatformRun()) ourddeml::QueryInstanceCounts(inst, &s.counts);
    return s;
  }
};

// ---- handles without a server --------------------------------------------------------------

TEST_F(Ddeml, StringHandlesAreCountedAtomsPerInstance) {
  std::string name = UniqueName("Str");
  HSZ a = api.DdeCreateStringHandleA(inst, name.c_str(), CP_WINANSI);
  ASSERT_NE(a, nullptr);
  HSZ b = api.DdeCreateStringHandleA(inst, name.c_str(), CP_WINANSI);
  EXPECT_EQ(api.DdeCmpStringHandles(a, b), 0);
  std::string upper = name;
  for (auto& c : upper) c = (char)toupper((unsigned char)c);
  HSZ u = api.DdeCreateStringHandleA(inst, upper.c_str(), CP_WINANSI);
  EXPECT_EQ(api.DdeCmpStringHandles(a, u), 0) << "string handles compare without regard to case";
  HSZ z = api.DdeCreateStringHandleA(inst, (name + "z").c_str(), CP_WINANSI);
  EXPECT_EQ(api.DdeCmpStringHandles(a, z), -1);
  EXPECT_EQ(api.DdeCmpStringHandles(z, a), 1);

  char buf[8];
  EXPECT_EQ(api.DdeQueryStringA(inst, a, nullptr, 0, CP_WINANSI), name.size());
  EXPECT_EQ(api.DdeQueryStringA(inst, a, buf, sizeof buf, CP_WINANSI), 7u) << "cut to the buffer";
  EXPECT_EQ(std::string(buf), name.substr(0, 7));

  // Three creates and a keep: the name lives until the fourth free.
  EXPECT_TRUE(api.DdeKeepStringHandle(inst, a));
  for (HSZ h : {a, b, u}) api.DdeFreeStringHandle(inst, h);
  {
    Verdict v(WineFault::StringHandleCounts);
    v.Check(GlobalFindAtomA(name.c_str()) != 0, "alive after three of four frees");
    v.Check(HszText(inst, a) == name, "still names the string");
    v.Check(api.DdeFreeStringHandle(inst, a), "the fourth free");
  }
  // Freed for the application: a fifth free is refused. Our DDEML keeps the freed name's atom
  // for its next create until the instance ends (or the cache is flushed).
  if (!IsPlatformRun()) {
    EXPECT_FALSE(api.DdeFreeStringHandle(inst, a)) << "a handle freed as often as it was held";
    EXPECT_TRUE(ourddeml::FlushStringCache(inst));
  }
  EXPECT_EQ(GlobalFindAtomA(name.c_str()), 0) << "every reference released";
  EXPECT_TRUE(api.DdeFreeStringHandle(inst, z));
  if (Expected(WineFault::StringHandleCounts)) return;  // the rest relies on the counts

  // A second instance keeps its own references: uninitializing it releases only those.
  DWORD other = 0;
  ASSERT_EQ(api.DdeInitializeA(&other, RecordingCallback, APPCMD_CLIENTONLY, 0), 0u);
  EXPECT_NE(other, inst);
  HSZ mine = api.DdeCreateStringHandleA(inst, name.c_str(), CP_WINANSI);
  HSZ theirs = api.DdeCreateStringHandleA(other, name.c_str(), CP_WINANSI);
  HSZ theirs2 = api.DdeCreateStringHandleA(other, name.c_str(), CP_WINANSI);
  EXPECT_NE(theirs, nullptr);
  EXPECT_NE(theirs2, nullptr);
  EXPECT_TRUE(api.DdeUninitialize(other));
  EXPECT_EQ(HszText(inst, mine), name);
  EXPECT_TRUE(api.DdeFreeStringHandle(inst, mine));
  if (!IsPlatformRun()) EXPECT_TRUE(ourddeml::FlushStringCache(inst));
  EXPECT_EQ(GlobalFindAtomA(name.c_str()), 0) << "the other instance's references went with it";
}

// Our DDEML keeps a freed name's atom for the next create of that name: a create and free per
// call, as a client that names its item afresh each time does, costs no atom call after the
// first, and the handle stays the same. To the application nothing changes: counts, keep,
// compare and query as before; the atoms go back when the instance ends, and the cache is
// bounded (the oldest freed names go first).
TEST_F(Ddeml, FreedNamesAreKeptForTheNextCreateUntilTheInstanceEnds) {
  if (IsPlatformRun()) GTEST_SKIP() << "the cache is our DDEML's";
  DWORD own = 0;
  ASSERT_EQ(api.DdeInitializeA(&own, RecordingCallback, APPCMD_CLIENTONLY, 0), 0u);
  const std::string name = UniqueName("Cached");
  HSZ first = api.DdeCreateStringHandleA(own, name.c_str(), CP_WINANSI);
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(api.DdeFreeStringHandle(own, first));
  ourddeml::InstanceCounts n{};
  ASSERT_TRUE(ourddeml::QueryInstanceCounts(own, &n));
  EXPECT_EQ(n.stringHandles, 0);
  EXPECT_EQ(n.cachedNames, 1);
  const ATOM atom = GlobalFindAtomA(name.c_str());
  EXPECT_EQ(atom, (ATOM)(ULONG_PTR)first) << "the atom is kept";
  EXPECT_FALSE(api.DdeFreeStringHandle(own, first)) << "but the handle is freed";

  // Created again under another spelling: the same handle, counted once more.
  std::string lower = name;
  for (auto& c : lower) c = (char)tolower((unsigned char)c);
  HSZ again = api.DdeCreateStringHandleA(own, lower.c_str(), CP_WINANSI);
  EXPECT_EQ(again, first);
  ASSERT_TRUE(ourddeml::QueryInstanceCounts(own, &n));
  EXPECT_EQ(n.stringHandles, 1);
  EXPECT_EQ(n.cachedNames, 0);
  EXPECT_EQ(HszText(own, again), name) << "the name as first made";
  EXPECT_EQ(api.DdeCmpStringHandles(again, first), 0);
  // Kept, freed twice: held, then cached again; a keep of the cached handle holds it once more.
  EXPECT_TRUE(api.DdeKeepStringHandle(own, again));
  EXPECT_TRUE(api.DdeFreeStringHandle(own, again));
  EXPECT_TRUE(api.DdeFreeStringHandle(own, again));
  EXPECT_TRUE(api.DdeKeepStringHandle(own, again));
  ASSERT_TRUE(ourddeml::QueryInstanceCounts(own, &n));
  EXPECT_EQ(n.stringHandles, 1);
  EXPECT_TRUE(api.DdeFreeStringHandle(own, again));

  // Bounded: of many freed names the oldest give their atoms back first.
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) {
    names.push_back(name + "_" + std::to_string(i));
    HSZ h = api.DdeCreateStringHandleA(own, names.back().c_str(), CP_WINANSI);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(api.DdeFreeStringHandle(own, h));
  }
  ASSERT_TRUE(ourddeml::QueryInstanceCounts(own, &n));
  EXPECT_EQ(n.cachedNames, 256);
  EXPECT_EQ(GlobalFindAtomA(name.c_str()), 0) << "the oldest freed name went first";
  EXPECT_EQ(GlobalFindAtomA(names[0].c_str()), 0);
  EXPECT_NE(GlobalFindAtomA(names[299].c_str()), 0);

  // The instance's end gives every kept atom back.
  EXPECT_TRUE(api.DdeUninitialize(own));
  int left = 0;
  for (const auto& each : names) left += GlobalFindAtomA(each.c_str()) != 0;
  EXPECT_EQ(left, 0) << "atoms left after DdeUninitialize";
}

TEST_F(Ddeml, DataHandlesCopyAndBoundTheirBytes) {
  BYTE src[] = {'h', 'e', 'l', 'l', 'o', 0};
  HDDEDATA h = api.DdeCreateDataHandle(inst, src, 6, 0, nullptr, CF_TEXT, 0);
  ASSERT_NE(h, nullptr);
  src[0] = 'J';  // the handle holds a copy
  DWORD size = 0;
  LPBYTE p = api.DdeAccessData(h, &size);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::string((char*)p), "hello");
  EXPECT_TRUE(api.DdeUnaccessData(h));
  EXPECT_EQ(api.DdeGetData(h, nullptr, 0, 0), 6u);
  BYTE out[16] = {0};
  EXPECT_EQ(api.DdeGetData(h, out, 3, 1), 3u) << "no more than cbMax";
  EXPECT_EQ(std::string((char*)out), "ell");
  EXPECT_EQ(api.DdeGetData(h, out, sizeof out, 4), 2u) << "no more than what follows the offset";
  EXPECT_TRUE(api.DdeFreeDataHandle(h));

  if (!IsPlatformRun()) {
    // cbOff is an offset into the source, as documented. (Wine's DDEML takes it as an offset
    // into the new object, which then is cb + cbOff bytes long.)
    BYTE more[] = {'x', 'y', 'o', 'k', 0};
    HDDEDATA o = api.DdeCreateDataHandle(inst, more, 3, 2, nullptr, CF_TEXT, 0);
    EXPECT_EQ(Text(o), "ok");
    EXPECT_EQ(api.DdeGetData(o, nullptr, 0, 0), 3u);
    api.DdeFreeDataHandle(o);
  }

  HDDEDATA empty = api.DdeCreateDataHandle(inst, nullptr, 0, 0, nullptr, CF_TEXT, 0);
  ASSERT_NE(empty, nullptr);
  size = 99;
  api.DdeAccessData(empty, &size);
  EXPECT_EQ(size, 0u);
  api.DdeUnaccessData(empty);
  EXPECT_TRUE(api.DdeFreeDataHandle(empty));
}

TEST_F(Ddeml, ConnectingToNobodyFailsWithNoConversation) {
  EXPECT_EQ(Connect(UniqueName("Nobody"), "T"), nullptr);
  EXPECT_EQ(api.DdeGetLastError(inst), (UINT)DMLERR_NO_CONV_ESTABLISHED);
  EXPECT_EQ(api.DdeGetLastError(inst), (UINT)DMLERR_NO_ERROR) << "reading the error clears it";
}

// ---- transactions ----------------------------------------------------------------------------

TEST_F(Ddeml, RequestPokeExecuteAndTheirRefusals) {
  TestServer srv(UniqueName("Srv"), "T1,T2");
  ASSERT_TRUE(srv.ok());
  HCONV c = Connect(srv.service(), "T1");
  ASSERT_NE(c, nullptr);
  HCONV c2 = Connect(srv.service(), "t2");
  ASSERT_NE(c2, nullptr);

  EXPECT_TRUE(Poke(c, "R1C1", "alpha"));
  EXPECT_TRUE(Poke(c2, "R1C1", "beta"));
  EXPECT_EQ(Request(c, "R1C1"), "alpha") << "values are per topic";
  EXPECT_EQ(Request(c2, "r1c1"), "beta");
  EXPECT_EQ(Request(c, "NEVERPOKED"), "");
  EXPECT_TRUE(Execute(c, "[open(\"book.xls\")]"));
  EXPECT_EQ(Request(c, "LASTEXEC"), "[open(\"book.xls\")]");

  UINT err = 0;
  bool refused = !Poke(c, "ROCELL", "x", 2000, &err);
  if (Expected(WineFault::RefusedPoke)) {
    EXPECT_FALSE(refused) << "Wine's DDEML no longer shows: " << Name(WineFault::RefusedPoke);
  } else {
    EXPECT_TRUE(refused);
    EXPECT_EQ(err, (UINT)DMLERR_NOTPROCESSED);
  }
  EXPECT_EQ(Request(c, "NOSUCHITEM", 2000, &err), "<none>");
  EXPECT_EQ(err, (UINT)DMLERR_NOTPROCESSED);
  EXPECT_FALSE(Execute(c, "[fail]", 2000, &err));
  EXPECT_EQ(err, (UINT)DMLERR_NOTPROCESSED);
  EXPECT_EQ(Request(c, "BUSY", 2000, &err), "<none>");
  {
    Verdict v(WineFault::BusyNotReported);
    v.Check(err == DMLERR_BUSY, "busy answer gives DMLERR_BUSY");
  }
  // The conversation is still in order after the refusals.
  EXPECT_EQ(Request(c, "R1C1"), "alpha");

  // Bad arguments never reach the server.
  EXPECT_EQ(api.DdeClientTransaction(nullptr, 0, c, nullptr, CF_TEXT, XTYP_REQUEST, 1000, nullptr), nullptr);
  EXPECT_EQ(api.DdeGetLastError(inst), (UINT)DMLERR_INVALIDPARAMETER);
  EXPECT_EQ(api.DdeClientTransaction(nullptr, 0, c, Hsz("R1C1"), CF_TEXT, XTYP_CONNECT, 1000, nullptr), nullptr);
  EXPECT_EQ(api.DdeGetLastError(inst), (UINT)DMLERR_INVALIDPARAMETER);

  EXPECT_TRUE(api.DdeDisconnect(c));
  EXPECT_TRUE(api.DdeDisconnect(c2));
  EXPECT_FALSE(Poke(c, "R1C1", "late", 500)) << "a disconnected handle is dead";
}

TEST_F(Ddeml, MessagesNobodyAskedForAreDroppedAndRepliesStayInStep) {
  TestServer srv(UniqueName("Garbage"), "T");
  ASSERT_TRUE(srv.ok());
  HCONV c = Connect(srv.service(), "T");
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(Poke(c, "A", "a"));
  ASSERT_TRUE(Execute(c, "[garbage]"));
  Verdict v(WineFault::StrayMessagesShiftReplies);
  v.Check(Request(c, "A") == "a", "the request after the stray messages gets its own answer");
  v.Check(Poke(c, "B", "b"), "a poke after them");
  v.Check(Request(c, "B") == "b", "and its request");
  size_t nolink = 0, unasked = 0;
  for (auto& e : gRec.events) {
    nolink += e.type == XTYP_ADVDATA && e.s2 == "NOLINK";
    unasked += e.s2 == "UNASKED";
  }
  v.Check(nolink == 1, "advise data is passed on as XTYP_ADVDATA even without a loop");
  v.Check(unasked == 0, "an answer nobody asked for is dropped");
  EXPECT_TRUE(api.DdeDisconnect(c));
}

// Bad arguments get an error code, never a crash. Handles that were never issued are tried on
// our DDEML only: user32's may take them for pointers.
TEST_F(Ddeml, BadArgumentsAreRefusedWithErrors) {
  EXPECT_EQ(api.DdeCreateStringHandleA(inst, std::string(300, 'x').c_str(), CP_WINANSI), nullptr)
      << "longer than an atom can be";
  EXPECT_FALSE(api.DdeFreeStringHandle(inst, nullptr));
  EXPECT_EQ(api.DdeConnect(inst + 999, Hsz("X"), Hsz("Y"), nullptr), nullptr) << "unknown instance";
  EXPECT_FALSE(api.DdeUninitialize(inst + 999));
  if (IsPlatformRun()) return;
  // Ours names the errors too (Wine's DDEML sets none for the long name, answers 1 for the
  // null handle's length, and crashes on a null instance pointer).
  EXPECT_EQ(api.DdeCreateStringHandleA(inst, std::string(300, 'x').c_str(), CP_WINANSI), nullptr);
  EXPECT_EQ(api.DdeGetLastError(inst), (UINT)DMLERR_INVALIDPARAMETER);
  EXPECT_EQ(api.DdeQueryStringA(inst, nullptr, nullptr, 0, CP_WINANSI), 0u);
  EXPECT_EQ(api.DdeGetLastError(inst + 999), (UINT)DMLERR_DLL_NOT_INITIALIZED);
  EXPECT_EQ(api.DdeInitializeA(nullptr, RecordingCallback, APPCMD_CLIENTONLY, 0), (UINT)DMLERR_INVALIDPARAMETER);
  HCONV bogus = (HCONV)(ULONG_PTR)0x7654320;
  EXPECT_EQ(api.DdeClientTransaction(nullptr, 0, bogus, Hsz("X"), CF_TEXT, XTYP_REQUEST, 100, nullptr), nullptr);
  EXPECT_FALSE(api.DdeDisconnect(bogus));
  EXPECT_EQ(api.DdeReconnect(bogus), nullptr);
  CONVINFO ci{};
  ci.cb = sizeof ci;
  EXPECT_EQ(api.DdeQueryConvInfo(bogus, QID_SYNC, &ci), 0u);
  HDDEDATA d = api.DdeCreateDataHandle(inst, (LPBYTE) "x", 2, 0, nullptr, CF_TEXT, 0);
  EXPECT_TRUE(api.DdeFreeDataHandle(d));
  EXPECT_FALSE(api.DdeFreeDataHandle(d)) << "freed twice";
  EXPECT_EQ(api.DdeAccessData(d, nullptr), nullptr);
  EXPECT_EQ(api.DdeGetData(d, nullptr, 0, 0), 0u);
  EXPECT_EQ(api.DdeQueryNextServer((HCONVLIST)bogus, nullptr), nullptr);
  EXPECT_FALSE(api.DdeDisconnectList((HCONVLIST)bogus));
  EXPECT_EQ(api.DdeQueryStringA(inst, (HSZ)(ULONG_PTR)0x1234, nullptr, 0, CP_WINANSI), 0u);
  EXPECT_EQ(api.DdeCreateStringHandleA(inst, "X", 1200), nullptr) << "Unicode code page on the ANSI call";
  EXPECT_EQ(api.DdeGetLastError(inst), (UINT)DMLERR_INVALIDPARAMETER);
}

TEST_F(Ddeml, TimedOutRequestDoesNotStealTheNextReply) {
  TestServer srv(UniqueName("Slow"), "T");
  ASSERT_TRUE(srv.ok());
  HCONV c = Connect(srv.service(), "T");
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(Poke(c, "A", "value-a"));
  UINT err = 0;
  EXPECT_EQ(Request(c, "SILENT", 150, &err), "<none>");
  EXPECT_EQ(err, (UINT)DMLERR_DATAACKTIMEOUT);
  EXPECT_EQ(Request(c, "SLOW", 100, &err), "<none>") << "answered 300 ms late";
  EXPECT_EQ(err, (UINT)DMLERR_DATAACKTIMEOUT);
  // The late answer to SLOW arrives while this one waits: each reply to its own transaction.
  EXPECT_EQ(Request(c, "A", 2000), "value-a");
  Pump(400);
  EXPECT_EQ(Request(c, "A", 2000), "value-a");
  EXPECT_TRUE(api.DdeDisconnect(c));
}

// 10,000 requests, pokes and executes while two advise loops deliver as fast as the server can.
TEST_F(Ddeml, MixedTransactionsWhileAdviseLoopsDeliver) {
  TestServer srv(UniqueName("Mix"), "T");
  ASSERT_TRUE(srv.ok());
  HCONV c = Connect(srv.service(), "T");
  ASSERT_NE(c, nullptr);
  gRec.keepEvents = false;
  std::map<std::string, long> lastTick;
  long ticksOutOfOrder = 0;
  gRec.hook = [&](const Event& e, HSZ, HSZ, HDDEDATA) -> HDDEDATA {
    if (e.type != XTYP_ADVDATA) return nullptr;
    long v = atol(e.data.c_str());
    long& last = lastTick[e.s2];
    if (v != last + 1) ticksOutOfOrder++;
    last = v;
    return (HDDEDATA)DDE_FACK;
  };
  const bool platformFault = Expected(WineFault::SyncWhileAdvising);
  int wrong = 0;
  ASSERT_NE(Xact(c, "TICKA", XTYP_ADVSTART | XTYPF_ACKREQ, nullptr, 2000), nullptr);
  if (platformFault) wrong += !Xact(c, "TICKB", XTYP_ADVSTART | XTYPF_ACKREQ, nullptr, 2000);
  else ASSERT_NE(Xact(c, "TICKB", XTYP_ADVSTART | XTYPF_ACKREQ, nullptr, 2000), nullptr);

  const int n = platformFault ? 300 : 10000;  // Wine's misses each cost a time-out
  const DWORD timeout = platformFault ? 100 : 2000;
  // The first few wrong results, with the transaction, what came back and DDEML's last error.
  std::string firstWrong;
  UINT err = 0;
  auto check = [&](bool ok, int i, const char* what, const std::string& got) {
    if (ok) return;
    if (++wrong <= 5)
      firstWrong += "  #" + std::to_string(i) + " " + what + ": got '" + got + "', DDEML error " +
                    std::to_string(err) + "\n";
  };
  for (int i = 0; i < n; i++) {
    std::string item = "ITEM" + std::to_string(i % 50);
    std::string value = "v" + std::to_string(i);
    std::string got;
    switch (i % 3) {
      case 0:
        check(Poke(c, item, value, timeout, &err), i, "poke", "");
        got = Request(c, item, timeout, &err);
        check(got == value, i, "request after poke", got);
        break;
      case 1:
        got = Request(c, "ITEM" + std::to_string((i - 1) % 50), timeout, &err);
        check(got == "v" + std::to_string(i - 1), i, "request", got);
        break;
      case 2:
        check(Execute(c, "[cmd " + value + "]", timeout, &err), i, "execute", "");
        if (i % 30 == 2) {
          got = Request(c, "LASTEXEC", timeout, &err);
          check(got == "[cmd " + value + "]", i, "request of the last execute", got);
        }
        break;
    }
  }
  wrong += !Xact(c, "TICKA", XTYP_ADVSTOP, nullptr, 2000);
  wrong += !Xact(c, "TICKB", XTYP_ADVSTOP, nullptr, 2000);
  long delivered = gRec.advData;
  Pump(100);
  printf("mixed: %d transactions, %d wrong, %ld advise deliveries (%ld inside a synchronous wait)\n", n,
         wrong, delivered, gRec.advDuringSync);
  if (platformFault) {
    EXPECT_GT(wrong, 0) << "Wine's DDEML no longer shows: " << Name(WineFault::SyncWhileAdvising);
  } else {
    EXPECT_EQ(wrong, 0) << "first wrong results:\n" << firstWrong;
    EXPECT_EQ(ticksOutOfOrder, 0) << "advise data lost, repeated or reordered";
    EXPECT_GT(delivered, n / 2) << "the advise loops kept delivering";
    EXPECT_GT(gRec.advDuringSync, 0) << "advise data is delivered re-entrantly inside the waits";
    EXPECT_EQ(gRec.advData, delivered) << "nothing after the loops stopped";
  }
  EXPECT_TRUE(api.DdeDisconnect(c));
}

TEST_F(Ddeml, TwoHundredAsynchronousTransactionsEachCompleteOnce) {
  TestServer srv(UniqueName("Async"), "T");
  ASSERT_TRUE(srv.ok());
  HCONV c = Connect(srv.service(), "T");
  ASSERT_NE(c, nullptr);
  std::map<DWORD, std::string> expect;  // id -> the answer it must get
  for (int i = 0; i < 100; i++) {
    DWORD id = 0;
    std::string v = "async" + std::to_string(i);
    ASSERT_NE(Xact(c, "A" + std::to_string(i), XTYP_POKE, &v, TIMEOUT_ASYNC, &id), nullptr);
    expect[id] = "(poke)";
  }
  for (int i = 0; i < 100; i++) {
    DWORD id = 0;
    ASSERT_NE(Xact(c, "A" + std::to_string(i), XTYP_REQUEST, nullptr, TIMEOUT_ASYNC, &id), nullptr);
    expect[id] = "async" + std::to_string(i);
  }
  EXPECT_EQ(expect.size(), 200u) << "transaction identifiers are distinct";
  auto completions = [] { return gRec.Count(XTYP_XACT_COMPLETE); };
  PumpUntil([&] { return completions() >= 200; }, Expected(WineFault::AsyncCompletion) ? 3000 : 10000);
  Pump(200);  // anything extra would show up now
  std::map<DWORD, int> seen;
  int wrong = 0;
  for (auto& e : gRec.events) {
    if (e.type != XTYP_XACT_COMPLETE) continue;
    seen[(DWORD)e.d1]++;
    auto it = expect.find((DWORD)e.d1);
    if (it == expect.end()) {
      wrong++;
      continue;
    }
    bool isPoke = it->second == "(poke)";
    if (isPoke ? e.hasData : (e.data != it->second || e.conv != c)) wrong++;
  }
  long once = std::count_if(seen.begin(), seen.end(), [](auto& p) { return p.second == 1; });
  printf("async: %zu completions, %ld ids completed once, %d wrong\n", completions(), once, wrong);
  if (Expected(WineFault::AsyncCompletion)) {
    EXPECT_LT(once, 200) << "Wine's DDEML no longer shows: " << Name(WineFault::AsyncCompletion);
  } else {
    EXPECT_EQ(completions(), 200u);
    EXPECT_EQ(once, 200);
    EXPECT_EQ(wrong, 0);
  }
  EXPECT_TRUE(api.DdeDisconnect(c));
}

TEST_F(Ddeml, AbandonedTransactionsAreNeverCompleted) {
  TestServer srv(UniqueName("Abandon"), "T");
  ASSERT_TRUE(srv.ok());
  HCONV c = Connect(srv.service(), "T");
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(Poke(c, "A", "a"));
  DWORD slow = 0, ok = 0;
  ASSERT_NE(Xact(c, "SLOW", XTYP_REQUEST, nullptr, TIMEOUT_ASYNC, &slow), nullptr);
  ASSERT_NE(Xact(c, "A", XTYP_REQUEST, nullptr, TIMEOUT_ASYNC, &ok), nullptr);
  Verdict v(WineFault::AbandonIgnored);
  v.Check(api.DdeAbandonTransaction(inst, c, slow), "abandon");
  v.Check(!api.DdeAbandonTransaction(inst, c, slow + 1000), "an unknown id is refused");
  v.Check(api.DdeGetLastError(inst) == DMLERR_UNFOUND_QUEUE_ID, "DMLERR_UNFOUND_QUEUE_ID");
  PumpUntil([&] { return gRec.Count(XTYP_XACT_COMPLETE) >= 1; }, 3000);
  Pump(500);  // past the slow answer
  v.Check(gRec.Count(XTYP_XACT_COMPLETE) == 1, "only the transaction not abandoned completes");
  for (auto& e : gRec.events)
    if (e.type == XTYP_XACT_COMPLETE) {
      v.Check(e.d1 == ok, "completion of the right transaction");
      v.Check(e.data == "a", "with its own answer");
    }
  // The slow answer was swallowed by its abandoned transaction, not by this one.
  v.Check(Request(c, "A") == "a", "the conversation is still in step");
  EXPECT_TRUE(api.DdeDisconnect(c));
}

TEST_F(Ddeml, HotWarmAndStoppedAdviseLoops) {
  TestServer srv(UniqueName("Adv"), "T");
  ASSERT_TRUE(srv.ok());
  HCONV c = Connect(srv.service(), "T");
  ASSERT_NE(c, nullptr);
  ASSERT_NE(Xact(c, "HOT", XTYP_ADVSTART, nullptr, 2000), nullptr);
  ASSERT_NE(Xact(c, "WARM", XTYP_ADVSTART | XTYPF_NODATA, nullptr, 2000), nullptr);
  EXPECT_EQ(Xact(c, "NOADVISE", XTYP_ADVSTART, nullptr, 2000), nullptr);
  EXPECT_EQ(api.DdeGetLastError(inst), (UINT)DMLERR_NOTPROCESSED);
  CONVINFO ci{};
  ci.cb = sizeof ci;
  ASSERT_NE(api.DdeQueryConvInfo(c, QID_SYNC, &ci), 0u);
  EXPECT_TRUE(ci.wStatus & ST_ADVISE);

  // Advise data arrives while the next poke waits for its answer.
  Verdict v(WineFault::SyncWhileAdvising);
  v.Check(Poke(c, "HOT", "h1"), "poke HOT");
  v.Check(Poke(c, "WARM", "w1"), "poke WARM while HOT's advise data comes in");
  auto adv = [&](const std::string& item) {
    std::vector<Event> out;
    for (auto& e : gRec.events)
      if (e.type == XTYP_ADVDATA && _stricmp(e.s2.c_str(), item.c_str()) == 0) out.push_back(e);
    return out;
  };
  PumpUntil([&] { return adv("HOT").size() >= 1 && adv("WARM").size() >= 1; }, 3000);
  if (v.Check(adv("HOT").size() == 1, "one HOT delivery")) {
    v.Check(adv("HOT")[0].hasData && adv("HOT")[0].data == "h1", "HOT data");
    v.Check(adv("HOT")[0].fmt == CF_TEXT && adv("HOT")[0].s1 == "T", "HOT format and topic");
  }
  if (v.Check(adv("WARM").size() == 1, "one WARM notification")) {
    v.Check(!adv("WARM")[0].hasData, "a warm link only notifies");
    v.Check(adv("WARM")[0].fmt == CF_TEXT, "WARM format");
  }
  v.Check(Xact(c, "HOT", XTYP_ADVSTOP, nullptr, 2000) != nullptr, "stop HOT");
  v.Check(Xact(c, "HOT", XTYP_ADVSTOP, nullptr, 2000) == nullptr, "no loop left to stop");
  v.Check(Poke(c, "HOT", "h2"), "poke HOT after the stop");
  Pump(200);
  v.Check(adv("HOT").size() == 1, "nothing after the stop");
  EXPECT_TRUE(api.DdeDisconnect(c));
}

// ---- re-entrancy -----------------------------------------------------------------------------

TEST_F(Ddeml, CallsFromInsideCallbacks) {
  TestServer srv(UniqueName("Reent"), "T");
  ASSERT_TRUE(srv.ok());
  HCONV c = Connect(srv.service(), "T");
  ASSERT_NE(c, nullptr);
  ASSERT_NE(Xact(c, "TICK", XTYP_ADVSTART | XTYPF_ACKREQ, nullptr, 2000), nullptr);
  UINT nestedSync = 1234;
  bool asyncOk = false;
  gRec.hook = [&](const Event& e, HSZ, HSZ, HDDEDATA) -> HDDEDATA {
    if (e.type == XTYP_ADVDATA && e.duringSync && nestedSync == 1234) {
      HDDEDATA h = api.DdeClientTransaction(nullptr, 0, c, Hsz("X"), CF_TEXT, XTYP_REQUEST, 1000, nullptr);
      nestedSync = h ? 0 : api.DdeGetLastError(inst);
      DWORD id = 0;
      asyncOk = api.DdeClientTransaction(nullptr, 0, c, Hsz("X"), CF_TEXT, XTYP_REQUEST, TIMEOUT_ASYNC, &id) != nullptr;
    }
    return e.type == XTYP_ADVDATA ? (HDDEDATA)DDE_FACK : nullptr;
  };
  for (int i = 0; i < 200 && nestedSync == 1234; i++) Request(c, "Y");
  ASSERT_NE(nestedSync, 1234u) << "no advise data arrived inside a synchronous wait";
  if (Expected(WineFault::NoReentrancyCheck)) {
    EXPECT_EQ(nestedSync, 0u) << "Wine's DDEML no longer shows: " << Name(WineFault::NoReentrancyCheck);
    gRec.hook = nullptr;
    return;  // Wine's DDEML then spins on the conversation: the rest cannot run on it
  }
  EXPECT_EQ(nestedSync, (UINT)DMLERR_REENTRANCY) << "no synchronous transaction inside another's wait";
  EXPECT_TRUE(asyncOk) << "asynchronous ones are fine";

  // Disconnecting the conversation from inside its own advise callback, mid-wait.
  bool disconnected = false;
  gRec.hook = [&](const Event& e, HSZ, HSZ, HDDEDATA) -> HDDEDATA {
    if (e.type == XTYP_ADVDATA && e.duringSync && !disconnected) disconnected = api.DdeDisconnect(c);
    return e.type == XTYP_ADVDATA ? (HDDEDATA)DDE_FACK : nullptr;
  };
  for (int i = 0; i < 200 && !disconnected; i++) Request(c, "Y", 1000);
  EXPECT_TRUE(disconnected);
  EXPECT_EQ(Request(c, "Y", 500), "<none>");
  gRec.hook = nullptr;
}

// ---- the server going away --------------------------------------------------------------------

TEST_F(Ddeml, ServerTerminatingAndDyingAreReportedAndReconnectWorks) {
  std::string service = UniqueName("Term");
  auto srv = std::make_unique<TestServer>(service, "T");
  ASSERT_TRUE(srv->ok());
  HCONV c = Connect(service, "T");
  ASSERT_NE(c, nullptr);
  ASSERT_NE(Xact(c, "QUIET", XTYP_ADVSTART, nullptr, 2000), nullptr);
  ASSERT_TRUE(Execute(c, "[terminate]"));
  auto disconnects = [&](HCONV h) {
    size_t n = 0;
    for (auto& e : gRec.events) n += e.type == XTYP_DISCONNECT && e.conv == h;
    return n;
  };
  bool told = PumpUntil([&] { return disconnects(c) > 0; }, 2000);
  UINT err = 0;
  EXPECT_EQ(Request(c, "X", 500, &err), "<none>");
  if (Expected(WineFault::NoDisconnect)) {
    EXPECT_FALSE(told) << "Wine's DDEML no longer shows: " << Name(WineFault::NoDisconnect);
  } else {
    EXPECT_TRUE(told);
    EXPECT_EQ(disconnects(c), 1u);
    EXPECT_EQ(err, (UINT)DMLERR_NO_CONV_ESTABLISHED);
    CONVINFO ci{};
    ci.cb = sizeof ci;
    ASSERT_NE(api.DdeQueryConvInfo(c, QID_SYNC, &ci), 0u);
    EXPECT_FALSE(ci.wStatus & ST_CONNECTED);
  }

  // Reconnecting brings the advise loop back on the new conversation.
  HCONV again = api.DdeReconnect(c);
  if (Expected(WineFault::NoReconnect)) {
    EXPECT_EQ(again, nullptr) << "Wine's DDEML no longer shows: " << Name(WineFault::NoReconnect);
    if (again) api.DdeDisconnect(again);
  } else {
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, c);
    EXPECT_EQ(Request(again, "LASTEXEC"), "[terminate]");
    size_t before = gRec.events.size();
    EXPECT_TRUE(Poke(again, "QUIET", "q2"));
    bool delivered = PumpUntil([&] {
      for (size_t i = before; i < gRec.events.size(); i++)
        if (gRec.events[i].type == XTYP_ADVDATA && gRec.events[i].conv == again && gRec.events[i].data == "q2")
          return true;
      return false;
    }, 2000);
    EXPECT_TRUE(delivered) << "advise loop re-established on the new conversation";
    c = again;
  }

  // The server process dies without a word: the window's disappearance is noticed.
  srv->Kill();
  if (!Expected(WineFault::NoDisconnect)) {
    EXPECT_TRUE(PumpUntil([&] { return disconnects(c) > 0; }, 3000));
    UINT e2 = 0;
    EXPECT_EQ(Request(c, "X", 500, &e2), "<none>");
  }
  api.DdeDisconnect(c);

  // A new server under the same name: this instance connects to it again.
  srv = std::make_unique<TestServer>(service, "T");
  ASSERT_TRUE(srv->ok());
  HCONV fresh = Connect(service, "T");
  Verdict v(WineFault::NoConnectAfterTerminate);
  if (v.Check(fresh != nullptr, "connect to the new server")) {
    EXPECT_TRUE(Poke(fresh, "Z", "z"));
    EXPECT_EQ(Request(fresh, "Z"), "z");
    EXPECT_TRUE(api.DdeDisconnect(fresh));
  }
}

TEST_F(Ddeml, ReconnectFromInsideTheDisconnectCallback) {
  std::string service = UniqueName("Recon");
  TestServer srv(service, "T");
  ASSERT_TRUE(srv.ok());
  HCONV c = Connect(service, "T");
  ASSERT_NE(c, nullptr);
  HCONV renewed = nullptr;
  gRec.hook = [&](const Event& e, HSZ, HSZ, HDDEDATA) -> HDDEDATA {
    if (e.type == XTYP_DISCONNECT && e.conv == c) renewed = api.DdeReconnect(c);
    return e.type == XTYP_ADVDATA ? (HDDEDATA)DDE_FACK : nullptr;
  };
  ASSERT_TRUE(Execute(c, "[terminate]"));
  PumpUntil([&] { return renewed != nullptr; }, 2000);
  if (Expected(WineFault::NoDisconnect)) {
    EXPECT_EQ(renewed, nullptr) << "Wine's DDEML no longer shows: " << Name(WineFault::NoDisconnect);
  } else {
    ASSERT_NE(renewed, nullptr);
    EXPECT_TRUE(Poke(renewed, "Q", "q"));
    EXPECT_EQ(Request(renewed, "Q"), "q");
    EXPECT_TRUE(api.DdeDisconnect(renewed));
  }
  gRec.hook = nullptr;
}

// ---- several servers ---------------------------------------------------------------------------

TEST_F(Ddeml, ConnectListsOverSeveralServersAndTopics) {
  std::string a = UniqueName("ListA"), b = UniqueName("ListB"), only = UniqueName("Topic");
  TestServer sa(a, "T1,T2"), sb(b, "T1," + only);
  ASSERT_TRUE(sa.ok());
  ASSERT_TRUE(sb.ok());
  auto names = [&](HCONVLIST list) {
    std::multiset<std::string> out;
    for (HCONV h = nullptr; (h = api.DdeQueryNextServer(list, h));) {
      CONVINFO ci{};
      ci.cb = sizeof ci;
      if (api.DdeQueryConvInfo(h, QID_SYNC, &ci))
        out.insert(HszText(inst, ci.hszSvcPartner) + "|" + HszText(inst, ci.hszTopic));
    }
    return out;
  };
  HCONVLIST all = api.DdeConnectList(inst, Hsz(a), nullptr, nullptr, nullptr);
  HCONVLIST byTopic = api.DdeConnectList(inst, nullptr, Hsz(only), nullptr, nullptr);
  if (Expected(WineFault::ConnectListStub)) {
    EXPECT_TRUE(names(all).empty() && names(byTopic).empty())
        << "Wine's DDEML no longer shows: " << Name(WineFault::ConnectListStub);
    if (all) api.DdeDisconnectList(all);
    if (byTopic) api.DdeDisconnectList(byTopic);
    return;
  }
  ASSERT_NE(all, nullptr);
  ASSERT_NE(byTopic, nullptr);
  EXPECT_EQ(names(all), (std::multiset<std::string>{a + "|T1", a + "|T2"}));
  EXPECT_EQ(names(byTopic), (std::multiset<std::string>{b + "|" + only}));

  // Every conversation of a list works on its own.
  for (HCONV h = nullptr; (h = api.DdeQueryNextServer(all, h));) {
    CONVINFO ci{};
    ci.cb = sizeof ci;
    api.DdeQueryConvInfo(h, QID_SYNC, &ci);
    EXPECT_TRUE(ci.wStatus & ST_INLIST);
    std::string topic = HszText(inst, ci.hszTopic);
    EXPECT_TRUE(Poke(h, "WHO", topic));
    EXPECT_EQ(Request(h, "WHO"), topic);
  }
  // Asking again with the same list adds no duplicates.
  HCONVLIST same = api.DdeConnectList(inst, Hsz(a), nullptr, all, nullptr);
  EXPECT_EQ(same, all);
  EXPECT_EQ(names(all).size(), 2u);

  HCONV one = Connect(b, "T1");
  ASSERT_NE(one, nullptr);
  EXPECT_TRUE(api.DdeDisconnectList(all));
  EXPECT_TRUE(api.DdeDisconnectList(byTopic));
  EXPECT_EQ(api.DdeQueryNextServer(all, nullptr), nullptr);
  EXPECT_EQ(Request(one, "STATS"), "convs=1 links=0 blocks=0") << "the list's conversations are gone";
  EXPECT_TRUE(api.DdeDisconnect(one));
}

TEST_F(Ddeml, ServiceAnnouncementsBecomeRegisterCallbacks) {
  std::string service = UniqueName("Ann");
  auto srv = std::make_unique<TestServer>(service, "T");
  ASSERT_TRUE(srv->ok());
  auto find = [&](UINT type) -> const Event* {
    for (auto& e : gRec.events)
      if (e.type == type && _stricmp(e.s1.c_str(), service.c_str()) == 0) return &e;
    return nullptr;
  };
  bool registered = PumpUntil([&] { return find(XTYP_REGISTER) != nullptr; }, 2000);
  if (IsPlatformRun()) {
    // user32's DDEML hears only other DDEML instances, not our servers' announcement.
    EXPECT_FALSE(registered);
    return;
  }
  ASSERT_TRUE(registered);
  std::string instanceName = find(XTYP_REGISTER)->s2;
  EXPECT_EQ(instanceName.rfind(service + "(0x", 0), 0u) << instanceName;
  // The instance-specific name reaches that one server.
  HCONV c = Connect(instanceName, "T");
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(Poke(c, "I", "i"));
  EXPECT_EQ(Request(c, "I"), "i");
  ASSERT_TRUE(Execute(c, "[quit]"));
  EXPECT_TRUE(srv->WaitExit(5000));
  EXPECT_TRUE(PumpUntil([&] { return find(XTYP_UNREGISTER) != nullptr; }, 2000));
  api.DdeDisconnect(c);
}

TEST_F(Ddeml, ConversationInfoAndContext) {
  std::string service = UniqueName("Info");
  TestServer srv(service, "Sheet1");
  ASSERT_TRUE(srv.ok());
  CONVCONTEXT cc{};
  cc.cb = sizeof cc;
  cc.iCodePage = CP_WINANSI;
  cc.qos.Length = sizeof cc.qos;
  cc.qos.ImpersonationLevel = SecurityImpersonation;
  cc.qos.EffectiveOnly = TRUE;
  HCONV c = Connect(service, "Sheet1", &cc);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(api.DdeSetUserHandle(c, QID_SYNC, 0x5150));
  CONVINFO ci{};
  ci.cb = sizeof ci;
  ASSERT_EQ(api.DdeQueryConvInfo(c, QID_SYNC, &ci), sizeof ci);
  EXPECT_EQ(HszText(inst, ci.hszSvcPartner), service);
  EXPECT_EQ(HszText(inst, ci.hszTopic), "Sheet1");
  EXPECT_EQ(ci.hUser, 0x5150u);
  EXPECT_TRUE(ci.wStatus & ST_CONNECTED);
  EXPECT_TRUE(ci.wStatus & ST_CLIENT);
  EXPECT_TRUE(IsWindow(ci.hwndPartner));
  EXPECT_EQ(ci.ConvCtxt.iCodePage, CP_WINANSI);
  EXPECT_EQ(ci.ConvCtxt.qos.ImpersonationLevel, SecurityImpersonation);
  DWORD id = 0;
  ASSERT_NE(Xact(c, "SILENT", XTYP_REQUEST, nullptr, TIMEOUT_ASYNC, &id), nullptr);
  CONVINFO ti{};
  ti.cb = sizeof ti;
  {
    Verdict v(WineFault::ConvInfoIgnoresId);
    v.Check(api.DdeQueryConvInfo(c, id, &ti) != 0, "information on the outstanding transaction");
    v.Check(HszText(inst, ti.hszItem) == "SILENT", "its item");
    v.Check(ti.wType == XTYP_REQUEST, "its type");
    v.Check(api.DdeQueryConvInfo(c, id + 77, &ti) == 0, "none for an unknown identifier");
  }
  EXPECT_TRUE(api.DdeAbandonTransaction(inst, c, 0));
  EXPECT_TRUE(api.DdeDisconnect(c));
}

// ---- leaks -----------------------------------------------------------------------------------

// 100,000 transactions (requests, pokes, executes, advise starts and stops), mostly
// asynchronous and pipelined to keep the run short, then every resource counted.
TEST_F(Ddeml, NothingLeaksOverAHundredThousandTransactions) {
  std::string service = UniqueName("Leak");
  TestServer srv(service, "T");
  ASSERT_TRUE(srv.ok());
  std::string item = UniqueName("LeakItem");
  HCONV warm = Connect(service, "T");  // opened and closed once first: windows settle
  ASSERT_NE(warm, nullptr);
  api.DdeDisconnect(warm);
  Pump(50);
  Snapshot before = Take();

  const bool full = !IsPlatformRun();
  const int total = full ? 100000 : 2000;
  const int batch = 200;
  const bool asyncWorks = !Expected(WineFault::AsyncCompletion);
  HCONV c = Connect(service, "T");
  ASSERT_NE(c, nullptr);
  gRec.keepEvents = false;
  long completions = 0, failures = 0;
  gRec.hook = [&](const Event& e, HSZ, HSZ, HDDEDATA h) -> HDDEDATA {
    if (e.type == XTYP_XACT_COMPLETE) {
      completions++;
      failures += h == nullptr;
    }
    return e.type == XTYP_ADVDATA ? (HDDEDATA)DDE_FACK : nullptr;
  };
  HSZ hItem = Hsz(item), hTick = Hsz(item + "TICK");
  int done = 0, syncWrong = 0;
  std::string v = "leak-value";
  while (done < total) {
    long target = completions;
    int sent = 0;
    for (int i = 0; i < batch && done < total; i++, done++) {
      DWORD id;
      UINT type = (i % 4 == 0) ? XTYP_POKE : (i % 4 == 3) ? XTYP_EXECUTE : XTYP_REQUEST;
      HSZ h = type == XTYP_EXECUTE ? nullptr : hItem;
      LPBYTE data = type == XTYP_REQUEST ? nullptr : (LPBYTE)v.c_str();
      DWORD size = type == XTYP_REQUEST ? 0 : (DWORD)v.size() + 1;
      // Where asynchronous transactions are known not to complete, synchronous ones instead.
      if (asyncWorks) {
        if (api.DdeClientTransaction(data, size, c, h, CF_TEXT, type, TIMEOUT_ASYNC, &id)) sent++;
      } else {
        HDDEDATA r = api.DdeClientTransaction(data, size, c, h, CF_TEXT, type, 1000, nullptr);
        syncWrong += r == nullptr;
        if (r && type == XTYP_REQUEST) api.DdeFreeDataHandle(r);
      }
    }
    target += sent;
    PumpUntil([&] { return completions >= target; }, 5000);
    if (completions < target) break;
    // Some synchronous ones, and an advise loop started and stopped, in each round.
    HDDEDATA r = api.DdeClientTransaction(nullptr, 0, c, hItem, CF_TEXT, XTYP_REQUEST, 2000, nullptr);
    syncWrong += Text(r) != v;
    if (r) api.DdeFreeDataHandle(r);
    syncWrong += !api.DdeClientTransaction(nullptr, 0, c, hTick, CF_TEXT, XTYP_ADVSTART | XTYPF_ACKREQ, 2000, nullptr);
    syncWrong += !api.DdeClientTransaction(nullptr, 0, c, hTick, CF_TEXT, XTYP_ADVSTOP, 2000, nullptr);
    done += 3;
  }
  printf("leak run: %d transactions, %ld completions, %ld failed, %d synchronous wrong\n", done, completions,
         failures, syncWrong);
  EXPECT_GE(done, total);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(syncWrong, 0);
  if (full) {
    ourddeml::InstanceCounts mid{};
    ASSERT_TRUE(ourddeml::QueryInstanceCounts(inst, &mid));
    EXPECT_EQ(mid.transactions, 0);
    EXPECT_EQ(mid.globalBlocks, 0) << "every posted block freed or handed over";
    EXPECT_EQ(mid.dataHandles, 0);
  }
  HDDEDATA stats = api.DdeClientTransaction(nullptr, 0, c, Hsz("STATS"), CF_TEXT, XTYP_REQUEST, 2000, nullptr);
  EXPECT_EQ(Text(stats), "convs=1 links=0 blocks=0") << "the server holds nothing of ours";
  if (stats) api.DdeFreeDataHandle(stats);
  EXPECT_TRUE(api.DdeDisconnect(c));
  Pump(100);
  gRec.hook = nullptr;
  api.DdeFreeStringHandle(inst, hItem);
  api.DdeFreeStringHandle(inst, hTick);
  owned.erase(std::remove(owned.begin(), owned.end(), hItem), owned.end());
  owned.erase(std::remove(owned.begin(), owned.end(), hTick), owned.end());

  Snapshot after = Take();
  EXPECT_EQ(after.windows, before.windows) << "windows";
  EXPECT_LE(after.kernelHandles, before.kernelHandles + 4) << "kernel handles";
  if (full) EXPECT_TRUE(ourddeml::FlushStringCache(inst)) << "freed names' atoms given back";
  EXPECT_EQ(GlobalFindAtomA(item.c_str()), 0) << "item atom";
  EXPECT_EQ(GlobalFindAtomA((item + "TICK").c_str()), 0) << "advise item atom";
  if (full) {
    EXPECT_EQ(after.counts.stringHandles - (long)after.testHandles,
              before.counts.stringHandles - (long)before.testHandles);
    EXPECT_EQ(after.counts.conversations, 0);
    EXPECT_EQ(after.counts.globalBlocks, 0);
  }
  // Memory for DDE messages is still there to be had.
  HGLOBAL probe = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, 64);
  EXPECT_NE(probe, nullptr);
  GlobalFree(probe);
}

TEST_F(Ddeml, UninitializeReleasesEverything) {
  std::string service = UniqueName("Uninit");
  TestServer srv(service, "T1,T2");
  ASSERT_TRUE(srv.ok());
  long windowsBefore = ThreadWindowCount();
  std::string item = UniqueName("Held");
  DWORD other = 0;
  ASSERT_EQ(api.DdeInitializeA(&other, RecordingCallback, APPCMD_CLIENTONLY, 0), 0u);
  HSZ s = api.DdeCreateStringHandleA(other, service.c_str(), CP_WINANSI);
  HSZ t = api.DdeCreateStringHandleA(other, "T1", CP_WINANSI);
  HSZ i = api.DdeCreateStringHandleA(other, item.c_str(), CP_WINANSI);
  HCONV c = api.DdeConnect(other, s, t, nullptr);
  ASSERT_NE(c, nullptr);
  HCONVLIST list = api.DdeConnectList(other, s, nullptr, nullptr, nullptr);
  api.DdeClientTransaction(nullptr, 0, c, i, CF_TEXT, XTYP_ADVSTART, 2000, nullptr);
  HDDEDATA kept = api.DdeClientTransaction(nullptr, 0, c, i, CF_TEXT, XTYP_REQUEST, 2000, nullptr);
  EXPECT_NE(kept, nullptr);
  (void)list;
  EXPECT_TRUE(api.DdeUninitialize(other));
  Pump(100);
  EXPECT_EQ(GlobalFindAtomA(item.c_str()), 0);
  EXPECT_EQ(ThreadWindowCount(), windowsBefore);
  HCONV probe = Connect(service, "T2");
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(Request(probe, "STATS"), "convs=1 links=0 blocks=0") << "the server saw every conversation end";
  EXPECT_TRUE(api.DdeDisconnect(probe));
}

}  // namespace
