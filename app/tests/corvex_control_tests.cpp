// Tessarel's CorvexControl on the registered Corvane.ocx against DdeTestServer: each key reaches
// its own conversation, advise data arrives as text, and a key whose conversation has ended
// (ended by the server, or by uninitialising the control) is no longer served by it.
#include <gtest/gtest.h>

#include <windows.h>
#include <ddeml.h>
#include <objbase.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "CorvexControl.h"
#include "ddeml_ours/DdemlApi.h"

namespace {

// DdeTestServer (any item takes a poke and answers a request) for the length of a test.
class Server {
 public:
  explicit Server(const std::string& service) {
    const char* bin = std::getenv("TESSAREL_BIN_DIR");
    std::string exe = std::string("Z:") + (bin ? bin : "") + "/DdeTestServer.exe";
    for (auto& c : exe)
      if (c == '/') c = '\\';
    std::string cmd = "\"" + exe + "\" " + service + " Sheet1,Sheet2 120";
    ready_ = CreateEventA(nullptr, TRUE, FALSE, ("DdeTestServerReady." + service).c_str());
    STARTUPINFOA si = {sizeof si};
    started_ = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_);
    if (started_) started_ = WaitForSingleObject(ready_, 20000) == WAIT_OBJECT_0;
  }
  ~Server() {
    if (pi_.hProcess) {
      TerminateProcess(pi_.hProcess, 0);
      WaitForSingleObject(pi_.hProcess, 5000);
      CloseHandle(pi_.hProcess);
      CloseHandle(pi_.hThread);
    }
    CloseHandle(ready_);
  }
  bool Started() const { return started_; }

 private:
  HANDLE ready_ = nullptr;
  PROCESS_INFORMATION pi_ = {};
  bool started_ = false;
};

void Pump(DWORD ms, const std::function<bool()>& done) {
  DWORD start = GetTickCount();
  while (!done() && GetTickCount() - start < ms) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
  }
}

// A cell's text without the terminator and line end a DDE server may send with it.
std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\0' || s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// Asks the server, from a DDE client of its own, to end every conversation it has.
bool EndAllConversations(const std::string& service) {
  const DdemlApi& d = OurDdeml();
  DWORD inst = 0;
  if (d.DdeInitializeA(&inst, [](UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) -> HDDEDATA {
        return nullptr;
      }, APPCMD_CLIENTONLY, 0))
    return false;
  HSZ s = d.DdeCreateStringHandleA(inst, service.c_str(), CP_WINANSI);
  HSZ t = d.DdeCreateStringHandleA(inst, "Sheet1", CP_WINANSI);
  HCONV c = d.DdeConnect(inst, s, t, nullptr);
  std::string cmd = "[terminateall]";
  bool ok = c && d.DdeClientTransaction(reinterpret_cast<LPBYTE>(cmd.data()),
                                        static_cast<DWORD>(cmd.size() + 1), c, nullptr, CF_TEXT,
                                        XTYP_EXECUTE, 1000, nullptr) != nullptr;
  if (c) d.DdeDisconnect(c);
  d.DdeFreeStringHandle(inst, s);
  d.DdeFreeStringHandle(inst, t);
  d.DdeUninitialize(inst);
  return ok;
}

struct Advise {
  std::string conv, item, data;
};

// COM for the test's thread, from before the control is made until after it is gone.
struct ComScope {
  ComScope() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComScope() { CoUninitialize(); }
};

struct ControlFixture : ::testing::Test {
  ComScope com;
  std::string service = "CorvexCtl" + std::to_string(GetCurrentProcessId());
  Server server{service};
  CorvexControl ctl;
  std::vector<Advise> advises;
  std::vector<std::string> disconnects;

  void SetUp() override {
    ASSERT_TRUE(server.Started()) << "DdeTestServer did not start";
    ASSERT_TRUE(ctl.Create()) << "Corvane.ocx is not registered (scripts/register)";
    ctl.SetEvents({[this](const std::string& c, const std::string& i, const std::string& d) {
                     advises.push_back({c, i, d});
                   },
                   [this](const std::string& c) { disconnects.push_back(c); }});
    ASSERT_TRUE(ctl.Initialise());
  }
  void TearDown() override { ctl.Uninitialise(); }

  std::string Read(const std::string& key, const std::string& item) {
    RequestOutcome r = ctl.Request(key, item, 1000, 1);
    if (r.failed) return "failed: " + r.error;
    if (!r.hasData) return "no data";
    return Trimmed(r.data);
  }
};

}  // namespace

TEST_F(ControlFixture, EachKeyReachesItsOwnConversationAndAdviseDataArrivesAsText) {
  const std::string k1 = ctl.Connect(service, "Sheet1");
  const std::string k2 = ctl.Connect(service, "Sheet2");
  ASSERT_NE(k1, DdeLink::kFailed);
  ASSERT_NE(k2, DdeLink::kFailed);
  ASSERT_NE(k1, k2);
  ASSERT_TRUE(ctl.PokeString(k1, "R1C1", "one", 1000));
  ASSERT_TRUE(ctl.PokeString(k2, "R1C1", "two", 1000));
  // Alternating keys: each call goes to the sheet of its own key.
  EXPECT_EQ(Read(k1, "R1C1"), "one");
  EXPECT_EQ(Read(k2, "R1C1"), "two");
  EXPECT_EQ(Read(k1, "R1C1"), "one");
  // A refused request returns no data; an unknown key is an error that names the key.
  EXPECT_EQ(Read(k1, "NOSUCH1"), "no data");
  EXPECT_EQ(Read("C-1", "R1C1"), "failed: no conversation C-1");
  EXPECT_EQ(ctl.StartAdviseLoop("C-1", "R1C1", 1000, 1, false), DdeLink::kFailed);
  EXPECT_FALSE(ctl.PokeString("C-1", "R1C1", "x", 1000));

  const std::string loop = ctl.StartAdviseLoop(k2, "R2C1", 1000, 1, false);
  ASSERT_NE(loop, DdeLink::kFailed);
  ASSERT_TRUE(ctl.PokeString(k2, "R2C1", "12.5", 1000));
  Pump(5000, [&] { return !advises.empty(); });
  ASSERT_EQ(advises.size(), 1u);
  EXPECT_EQ(advises[0].conv, k2);
  EXPECT_EQ(advises[0].item, loop);
  EXPECT_EQ(Trimmed(advises[0].data), "12.5");

  DdeStatus st = ctl.Status();
  EXPECT_TRUE(st.countKnown);
  EXPECT_EQ(st.conversations, 2);
}

TEST_F(ControlFixture, AKeyWhoseConversationTheServerEndedIsNotServedByItAgain) {
  const std::string k1 = ctl.Connect(service, "Sheet1");
  ASSERT_NE(k1, DdeLink::kFailed);
  ASSERT_TRUE(ctl.PokeString(k1, "R1C1", "before", 1000));
  ASSERT_EQ(Read(k1, "R1C1"), "before");
  ASSERT_TRUE(EndAllConversations(service));
  Pump(5000, [&] { return !disconnects.empty(); });
  ASSERT_EQ(disconnects, std::vector<std::string>{k1});
  // The control took the conversation out of its collection: the key names none now.
  EXPECT_EQ(Read(k1, "R1C1"), "failed: no conversation " + k1);
  EXPECT_EQ(ctl.StartAdviseLoop(k1, "R1C1", 1000, 1, false), DdeLink::kFailed);
  EXPECT_FALSE(ctl.PokeString(k1, "R1C1", "x", 1000));
  EXPECT_EQ(ctl.Status().conversations, 0);

  // Connected again: the new conversation's key serves requests and advises.
  const std::string k2 = ctl.Connect(service, "Sheet1");
  ASSERT_NE(k2, DdeLink::kFailed);
  EXPECT_EQ(Read(k2, "R1C1"), "before");
  const std::string loop = ctl.StartAdviseLoop(k2, "R1C1", 1000, 1, false);
  EXPECT_NE(loop, DdeLink::kFailed);
  ASSERT_TRUE(ctl.PokeString(k2, "R1C1", "after", 1000));
  Pump(5000, [&] { return !advises.empty(); });
  ASSERT_EQ(advises.size(), 1u);
  EXPECT_EQ(advises[0].conv, k2);
  EXPECT_EQ(Trimmed(advises[0].data), "after");
  if (k2 != k1) {
    EXPECT_EQ(Read(k1, "R1C1"), "failed: no conversation " + k1);
  }
}

TEST_F(ControlFixture, UninitialisingEndsTheConversationsTheKeysNamed) {
  const std::string k1 = ctl.Connect(service, "Sheet1");
  ASSERT_NE(k1, DdeLink::kFailed);
  ASSERT_TRUE(ctl.PokeString(k1, "R1C1", "kept", 1000));
  ASSERT_EQ(Read(k1, "R1C1"), "kept");
  ctl.Uninitialise();
  ASSERT_TRUE(ctl.Initialise());
  EXPECT_EQ(Read(k1, "R1C1"), "failed: no conversation " + k1);
  EXPECT_EQ(ctl.Status().conversations, 0);
  const std::string k2 = ctl.Connect(service, "Sheet1");
  ASSERT_NE(k2, DdeLink::kFailed);
  EXPECT_EQ(Read(k2, "R1C1"), "kept");
  EXPECT_EQ(ctl.Status().conversations, 1);
}
