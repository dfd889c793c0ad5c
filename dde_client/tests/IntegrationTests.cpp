// Corvex on our DDEML against DdeTestServer (a DDE server speaking the bare message protocol):
// in this process through a counting seam, and as the registered Corvane.ocx through COM.
#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "TestHost.h"

using namespace testhost;

namespace {

struct ComInit {
  ComInit() { CoInitialize(nullptr); }
  ~ComInit() { CoUninitialize(); }
} gCom;

// The seam with a count of the handles the control owns: string handles created or kept minus
// those freed, and data handles returned by synchronous requests minus those freed.
std::atomic<long> gStrings{0}, gData{0};
const DdemlApi& Real() { return OurDdeml(); }
HSZ WINAPI CountCreate(DWORD i, LPCSTR s, int cp) {
  HSZ h = Real().DdeCreateStringHandleA(i, s, cp);
  if (h) ++gStrings;
  return h;
}
WINBOOL WINAPI CountFree(DWORD i, HSZ h) {
  WINBOOL ok = Real().DdeFreeStringHandle(i, h);
  if (ok) --gStrings;
  return ok;
}
WINBOOL WINAPI CountKeep(DWORD i, HSZ h) {
  WINBOOL ok = Real().DdeKeepStringHandle(i, h);
  if (ok) ++gStrings;
  return ok;
}
HDDEDATA WINAPI CountTransaction(LPBYTE p, DWORD cb, HCONV c, HSZ item, UINT fmt, UINT type, DWORD to,
                                 LPDWORD r) {
  HDDEDATA d = Real().DdeClientTransaction(p, cb, c, item, fmt, type, to, r);
  if (d && to != TIMEOUT_ASYNC && type == XTYP_REQUEST) ++gData;
  return d;
}
WINBOOL WINAPI CountFreeData(HDDEDATA d) {
  WINBOOL ok = Real().DdeFreeDataHandle(d);
  if (ok) --gData;
  return ok;
}
const DdemlApi& Counting() {
  static DdemlApi api = [] {
    DdemlApi a = OurDdeml();
    a.name = "counting";
    a.DdeCreateStringHandleA = CountCreate;
    a.DdeFreeStringHandle = CountFree;
    a.DdeKeepStringHandle = CountKeep;
    a.DdeClientTransaction = CountTransaction;
    a.DdeFreeDataHandle = CountFreeData;
    return a;
  }();
  return api;
}

// DdeTestServer for the length of a test.
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
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
  }
}

}  // namespace

TEST(OnOurDdeml, ConnectRequestPokeTenThousandHotLinksAndNothingLeaks) {
  Server server("CorvaneIt");
  ASSERT_TRUE(server.Started());
  corvane::SetDdeml(&Counting());
  gStrings = 0;
  gData = 0;
  auto obj = common::Make<corvane::CorvexControl>();
  ComPtr<ICorvex> ctl;
  obj->QueryInterface(IID_ICorvex, ctl.PutVoid());
  Recorder rec;
  long advises = 0;
  std::wstring lastText;
  rec.onEvent = [&](const Event& e) {
    if (e.id != 1) return;
    ++advises;
    ComPtr<IDDEData> d;
    e.objects[2]->QueryInterface(IID_IDDEData, d.PutVoid());
    Bstr s;
    d->get_DataString(s.ReleaseAndGetAddressOf());
    lastText = s.ToWide();
  };
  ComPtr<IConnectionPointContainer> cpc;
  ctl->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid());
  ComPtr<IConnectionPoint> cp;
  cpc->FindConnectionPoint(DIID_DCorvexEvents, cp.GetAddressOf());
  DWORD cookie;
  auto sinkRef = rec.MakeSink();
  cp->Advise(sinkRef.Get(), &cookie);
  // Keep the sink's events from piling up: only the last one's objects are kept.
  ctl->put_FailedReturnString(Bstr(L"<Test failed return string>").Get());

  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(S_OK, ctl->Initialise(&ok));
  ASSERT_EQ(VARIANT_TRUE, ok);
  Bstr k1, k2;
  ctl->Connect(Bstr(L"CorvaneIt").Get(), Bstr(L"Sheet1").Get(), Variant(), k1.ReleaseAndGetAddressOf());
  ctl->Connect(Bstr(L"CorvaneIt").Get(), Bstr(L"Sheet2").Get(), Variant(), k2.ReleaseAndGetAddressOf());
  ASSERT_EQ(0u, k1.ToWide().rfind(L"C-", 0)) << common::WideToUtf8(k1.ToWide());
  ASSERT_EQ(0u, k2.ToWide().rfind(L"C-", 0));
  ComPtr<IConversations> all;
  ctl->get_Conversations(all.GetAddressOf());
  ComPtr<IConversation> c1, c2;
  all->get_Conversation(Variant(k1.Get()), c1.GetAddressOf());
  all->get_Conversation(Variant(k2.Get()), c2.GetAddressOf());

  // Poke and read back, per sheet.
  ASSERT_EQ(S_OK, c1->PokeString(Bstr(L"R1C1").Get(), Bstr(L"12.5").Get(), 1000, &ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
  c2->PokeString(Bstr(L"R1C1").Get(), Bstr(L"other").Get(), 1000, &ok);
  ComPtr<IDDEData> d;
  ASSERT_EQ(S_OK, c1->Request(Bstr(L"R1C1").Get(), 1000, 1, d.GetAddressOf()));
  ASSERT_TRUE(d);
  Bstr text;
  d->get_DataString(text.ReleaseAndGetAddressOf());
  EXPECT_EQ(std::wstring(L"12.5\0", 5), text.ToWide());
  c1->PokeString(Bstr(L"ROCELL").Get(), Bstr(L"x").Get(), 1000, &ok);
  EXPECT_EQ(VARIANT_FALSE, ok);  // the server refuses: reported as a failure
  ComPtr<IDDEData> none;
  c1->Request(Bstr(L"NOSUCH").Get(), 1000, 1, none.GetAddressOf());
  EXPECT_FALSE(none);

  // 10,000 hot links through DDEAdvise.
  Bstr loop;
  ASSERT_EQ(S_OK, c1->StartAdviseLoop(Bstr(L"TICK1").Get(), 1000, 1, VARIANT_TRUE, loop.ReleaseAndGetAddressOf()));
  ASSERT_EQ(0u, loop.ToWide().rfind(L"I-", 0));
  Pump(60000, [&] { return advises >= 10000; });
  EXPECT_GE(advises, 10000);
  EXPECT_FALSE(lastText.empty());
  rec.events.clear();

  ASSERT_EQ(S_OK, c1->StopAdviseLoop(Variant(loop.Get()), 1000, &ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
  d.Reset();
  ASSERT_EQ(S_OK, ctl->Disconnect(Variant(k1.Get()), &ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
  ASSERT_EQ(S_OK, ctl->Disconnect(Variant(k2.Get()), &ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
  EXPECT_EQ(0, gStrings.load());
  EXPECT_EQ(0, gData.load());
  ourddeml::InstanceCounts counts{};
  LONG id = 0;
  ctl->get_idInst(&id);
  ASSERT_TRUE(ourddeml::QueryInstanceCounts(static_cast<DWORD>(id), &counts));
  EXPECT_EQ(0, counts.dataHandles);
  EXPECT_EQ(0, counts.stringHandles);
  EXPECT_EQ(0, counts.transactions);
  ASSERT_EQ(S_OK, ctl->Uninitialise(&ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
  cp->Unadvise(cookie);
  corvane::SetDdeml(nullptr);
}

// A workbook closing under a running Tessarel: the server goes, the control hears DDEDisconnect
// and our DDEML must be left holding nothing of that conversation.
TEST(OnOurDdeml, AConversationTheServerEndedIsGivenBackToDdeml) {
  auto server = std::make_unique<Server>("CorvaneEnd");
  ASSERT_TRUE(server->Started());
  corvane::SetDdeml(&Counting());
  gStrings = 0;
  auto obj = common::Make<corvane::CorvexControl>();
  ComPtr<ICorvex> ctl;
  obj->QueryInterface(IID_ICorvex, ctl.PutVoid());
  Recorder rec;
  ComPtr<IConnectionPointContainer> cpc;
  ctl->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid());
  ComPtr<IConnectionPoint> cp;
  cpc->FindConnectionPoint(DIID_DCorvexEvents, cp.GetAddressOf());
  DWORD cookie;
  auto sinkRef = rec.MakeSink();
  cp->Advise(sinkRef.Get(), &cookie);
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(S_OK, ctl->Initialise(&ok));
  ASSERT_EQ(VARIANT_TRUE, ok);
  LONG id = 0;
  ctl->get_idInst(&id);
  Bstr key;
  ctl->Connect(Bstr(L"CorvaneEnd").Get(), Bstr(L"Sheet1").Get(), Variant(), key.ReleaseAndGetAddressOf());
  ASSERT_EQ(0u, key.ToWide().rfind(L"C-", 0));
  ComPtr<IConversations> all;
  ctl->get_Conversations(all.GetAddressOf());
  ComPtr<IConversation> conv;
  all->get_Conversation(Variant(key.Get()), conv.GetAddressOf());
  ASSERT_TRUE(conv);
  Bstr loop;
  ASSERT_EQ(S_OK, conv->StartAdviseLoop(Bstr(L"R1C1").Get(), 1000, 1, VARIANT_FALSE, loop.ReleaseAndGetAddressOf()));
  ourddeml::InstanceCounts counts{};
  ASSERT_TRUE(ourddeml::QueryInstanceCounts(static_cast<DWORD>(id), &counts));
  EXPECT_EQ(1, counts.conversations);

  server.reset();  // the server process ends
  bool ended = false;
  rec.onEvent = [&](const Event& e) { ended = ended || e.id == 3; };
  Pump(10000, [&] { return ended; });
  ASSERT_TRUE(ended);
  LONG n = -1;
  all->get_Count(&n);
  EXPECT_EQ(0, n);
  VARIANT_BOOL disc = VARIANT_FALSE;
  conv->get_Disconnected(&disc);
  EXPECT_EQ(VARIANT_TRUE, disc);  // the host's object stays, marked
  EXPECT_EQ(0, gStrings.load());
  ASSERT_TRUE(ourddeml::QueryInstanceCounts(static_cast<DWORD>(id), &counts));
  EXPECT_EQ(0, counts.conversations);
  EXPECT_EQ(0, counts.stringHandles);
  EXPECT_EQ(0, counts.transactions);
  rec.events.clear();
  ASSERT_EQ(S_OK, ctl->Uninitialise(&ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
  cp->Unadvise(cookie);
  corvane::SetDdeml(nullptr);
}

// The registered Corvane.ocx, created the way Tessarel creates it and called late bound.
TEST(RegisteredControl, CreatedThroughComAndDrivenLateBound) {
  Server server("CorvaneCo");
  ASSERT_TRUE(server.Started());
  // What a container looks for before it offers the control.
  CLSID byProgId;
  ASSERT_EQ(S_OK, CLSIDFromProgID(L"Corvane.Corvex", &byProgId));
  EXPECT_TRUE(IsEqualCLSID(byProgId, CLSID_Corvex));
  for (const char* sub : {"\\Control", "\\MiscStatus\\1", "\\InprocServer32", "\\TypeLib"}) {
    HKEY k;
    std::string path = "CLSID\\{060A26E6-75AB-4B55-A66B-E273AAD0569B}" + std::string(sub);
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &k)) << path;
    RegCloseKey(k);
  }
  ComPtr<IDispatch> ctl;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_Corvex, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, ctl.PutVoid()));
  ComPtr<IOleObject> ole;
  EXPECT_EQ(S_OK, ctl->QueryInterface(IID_IOleObject, ole.PutVoid()));
  Variant r;
  ASSERT_EQ(S_OK, common::PutProperty(ctl.Get(), L"FailedReturnString", Variant(L"<Test failed return string>")));
  ASSERT_EQ(S_OK, common::CallMethod(ctl.Get(), L"Initialise", {}, &r));
  EXPECT_EQ(VARIANT_TRUE, V_BOOL(&r));
  Variant key;
  ASSERT_EQ(S_OK, common::CallMethod(ctl.Get(), L"Connect", {Variant(L"CorvaneCo"), Variant(L"Sheet1")}, &key));
  ASSERT_EQ(VT_BSTR, V_VT(&key));
  EXPECT_EQ(0u, std::wstring(V_BSTR(&key)).rfind(L"C-", 0));
  Variant convs, conv;
  common::GetProperty(ctl.Get(), L"Conversations", &convs);
  ASSERT_EQ(S_OK, common::DispatchInvoke(V_DISPATCH(&convs), DISPID_VALUE, DISPATCH_PROPERTYGET, {key}, &conv));
  ASSERT_EQ(S_OK, common::CallMethod(V_DISPATCH(&conv), L"PokeString",
                                     {Variant(L"R2C2"), Variant(L"abc"), Variant(1000)}, &r));
  EXPECT_EQ(VARIANT_TRUE, V_BOOL(&r));
  Variant data;
  ASSERT_EQ(S_OK, common::CallMethod(V_DISPATCH(&conv), L"Request", {Variant(L"R2C2"), Variant(1000)}, &data));
  ASSERT_EQ(VT_DISPATCH, V_VT(&data));
  ASSERT_EQ(S_OK, common::GetProperty(V_DISPATCH(&data), L"DataString", &r));
  EXPECT_EQ(std::wstring(L"abc\0", 4), std::wstring(V_BSTR(&r), SysStringLen(V_BSTR(&r))));
  ASSERT_EQ(S_OK, common::CallMethod(ctl.Get(), L"StateDescription", {}, &r));
  EXPECT_NE(std::wstring::npos, std::wstring(V_BSTR(&r)).find(L"Service/Topic = CorvaneCo|Sheet1"));
  ASSERT_EQ(S_OK, common::GetProperty(ctl.Get(), L"Version", &r));
  EXPECT_EQ(L"1.0.1", std::wstring(V_BSTR(&r)));
  ASSERT_EQ(S_OK, common::CallMethod(ctl.Get(), L"Uninitialise", {}, &r));
  EXPECT_EQ(VARIANT_TRUE, V_BOOL(&r));
  data.Clear();
  conv.Clear();
  convs.Clear();
}

// Against the spreadsheet stand-in's DDE service "Excel", as Tessarel uses it: a conversation on
// the sheet, pokes and requests of cells, a hot link on a formula cell.
TEST(OnWorkbookServer, SheetConversationPokesRequestsAndHotLinks) {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(L"Excel.Application", &clsid)))
    GTEST_SKIP() << "Excel.Application (WorkbookServer) is not registered in this prefix";
  ComPtr<IDispatch> app;
  ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, app.PutVoid()));
  common::PutProperty(app.Get(), L"DisplayAlerts", Variant(false));
  char tmp[MAX_PATH];
  GetTempPathA(MAX_PATH, tmp);
  std::string sheet = "CorvaneSheet" + std::to_string(GetCurrentProcessId());
  std::string path = std::string(tmp) + sheet + ".csv";
  std::ofstream(path, std::ios::binary) << "\r\n";
  Variant books, wb;
  ASSERT_EQ(S_OK, common::GetProperty(app.Get(), L"Workbooks", &books));
  ASSERT_EQ(S_OK, common::CallMethod(V_DISPATCH(&books), L"Open",
                                     {Variant(common::AnsiToWide(path).c_str())}, &wb));

  corvane::SetDdeml(&Counting());
  gStrings = 0;
  gData = 0;
  {
    auto obj = common::Make<corvane::CorvexControl>();
    ComPtr<ICorvex> ctl;
    obj->QueryInterface(IID_ICorvex, ctl.PutVoid());
    Recorder rec;
    long advises = 0;
    std::wstring last;
    rec.onEvent = [&](const Event& e) {
      if (e.id != 1) return;
      ++advises;
      ComPtr<IDDEData> d;
      e.objects[2]->QueryInterface(IID_IDDEData, d.PutVoid());
      Bstr s;
      d->get_DataString(s.ReleaseAndGetAddressOf());
      last = s.ToWide();
      rec.events.clear();
    };
    ComPtr<IConnectionPointContainer> cpc;
    ctl->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid());
    ComPtr<IConnectionPoint> cp;
    cpc->FindConnectionPoint(DIID_DCorvexEvents, cp.GetAddressOf());
    DWORD cookie;
    auto sinkRef = rec.MakeSink();
    cp->Advise(sinkRef.Get(), &cookie);
    VARIANT_BOOL ok = VARIANT_FALSE;
    ctl->Initialise(&ok);
    ASSERT_EQ(VARIANT_TRUE, ok);
    Bstr key;
    ctl->Connect(Bstr(L"Excel").Get(), Bstr(common::AnsiToWide(sheet).c_str()).Get(), Variant(),
                 key.ReleaseAndGetAddressOf());
    ASSERT_EQ(0u, key.ToWide().rfind(L"C-", 0));
    ComPtr<IConversations> all;
    ctl->get_Conversations(all.GetAddressOf());
    ComPtr<IConversation> c;
    all->get_Conversation(Variant(key.Get()), c.GetAddressOf());
    c->PokeString(Bstr(L"R1C1").Get(), Bstr(L"5").Get(), 1000, &ok);
    EXPECT_EQ(VARIANT_TRUE, ok);
    c->PokeString(Bstr(L"R1C2").Get(), Bstr(L"=A1*2").Get(), 1000, &ok);
    ComPtr<IDDEData> d;
    c->Request(Bstr(L"R1C2").Get(), 1000, 1, d.GetAddressOf());
    ASSERT_TRUE(d);
    Bstr text;
    d->get_DataString(text.ReleaseAndGetAddressOf());
    EXPECT_EQ(std::wstring(L"10\r\n\0", 5), text.ToWide());
    d.Reset();
    Bstr loop;
    c->StartAdviseLoop(Bstr(L"R1C2").Get(), 1000, 1, VARIANT_FALSE, loop.ReleaseAndGetAddressOf());
    ASSERT_EQ(0u, loop.ToWide().rfind(L"I-", 0));
    for (int i = 1; i <= 300; ++i)
      c->PokeString(Bstr(L"R1C1").Get(), Bstr(std::to_wstring(i).c_str()).Get(), 1000, &ok);
    Pump(5000, [&] { return last == std::wstring(L"600\r\n\0", 6); });
    EXPECT_EQ(std::wstring(L"600\r\n\0", 6), last);
    EXPECT_GE(advises, 1);
    c->StopAdviseLoop(Variant(loop.Get()), 1000, &ok);
    EXPECT_EQ(VARIANT_TRUE, ok);
    c.Reset();
    all.Reset();
    ctl->Disconnect(Variant(1), &ok);
    EXPECT_EQ(VARIANT_TRUE, ok);
    EXPECT_EQ(0, gStrings.load());
    EXPECT_EQ(0, gData.load());
    ctl->Uninitialise(&ok);
    EXPECT_EQ(VARIANT_TRUE, ok);
    cp->Unadvise(cookie);
  }
  corvane::SetDdeml(nullptr);
  wb.Clear();
  books.Clear();
  common::CallMethod(app.Get(), L"Quit", {}, nullptr);
  app.Reset();
  DeleteFileA(path.c_str());
}
