// The toolkit served out of process, as OPC clients meet it: opcclient.exe against the toolkit
// host (started by COM through its registration), and direct calls through OpcProxy.dll.
#include <gtest/gtest.h>

#include "TestSupport.h"

#include <cstdlib>
#include <string>

using namespace opc_toolkit_test;

namespace {

const wchar_t kProgId[] = L"Marrowby.ToolkitHost.1";

std::wstring BinPath(const wchar_t* file) {
  const char* bin = std::getenv("TESSAREL_BIN_DIR");
  std::string p = std::string("Z:") + (bin ? bin : ".") + "/";
  for (auto& c : p)
    if (c == '/') c = '\\';
  return std::wstring(p.begin(), p.end()) + file;
}

struct Outcome {
  DWORD code = 999;
  std::string out;
};

// Runs opcclient with the arguments; its standard output and error come back together.
Outcome Client(const std::wstring& args) {
  Outcome r;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE rd = nullptr, wr = nullptr;
  if (!CreatePipe(&rd, &wr, &sa, 0)) return r;
  SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = wr;
  si.hStdError = wr;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::wstring cmd = L"\"" + BinPath(L"opcclient.exe") + L"\" " + args;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                      &pi)) {
    r.out = "cannot start opcclient.exe: error " + std::to_string(GetLastError());
    CloseHandle(rd);
    CloseHandle(wr);
    return r;
  }
  CloseHandle(wr);
  // Reading stops when opcclient has exited, not when the pipe closes: a process Wine starts
  // from it (explorer.exe, when no desktop runs yet) inherits the pipe and keeps it open.
  auto drain = [&] {
    char buf[4096];
    DWORD avail = 0, n = 0;
    while (PeekNamedPipe(rd, nullptr, 0, nullptr, &avail, nullptr) && avail &&
           ReadFile(rd, buf, sizeof buf, &n, nullptr) && n)
      r.out.append(buf, n);
  };
  DWORD start = GetTickCount();
  while (WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT) {
    drain();
    if (GetTickCount() - start > 60000) {
      TerminateProcess(pi.hProcess, 999);
      r.out += "\n(opcclient killed after 60 s)";
      break;
    }
  }
  WaitForSingleObject(pi.hProcess, 5000);
  drain();
  CloseHandle(rd);
  GetExitCodeProcess(pi.hProcess, &r.code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return r;
}

bool Has(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

TEST(OpcClientTool, ListsBrowsesAndReads) {
  Outcome list = Client(L"list");
  EXPECT_EQ(list.code, 0u) << list.out;
  EXPECT_TRUE(Has(list.out, "Marrowby.ToolkitHost.1")) << list.out;

  Outcome browse = Client(std::wstring(kProgId) + L" browse");
  EXPECT_EQ(browse.code, 0u) << browse.out;
  EXPECT_TRUE(Has(browse.out, "Demo.Setpoint\r\n") || Has(browse.out, "Demo.Setpoint\n"))
      << browse.out;
  EXPECT_TRUE(Has(browse.out, "Control.Shutdown")) << browse.out;
  EXPECT_TRUE(Has(browse.out, "7 item(s)")) << browse.out;

  Outcome read = Client(std::wstring(kProgId) + L" read Demo.Text Demo.ReadOnly");
  EXPECT_EQ(read.code, 0u) << read.out;
  EXPECT_TRUE(Has(read.out, "Demo.Text = hello  [BSTR, Good 0xC0")) << read.out;
  EXPECT_TRUE(Has(read.out, "Demo.ReadOnly = 42  [I4, Good 0xC0")) << read.out;

  // One unknown item fails the run but the others are still read.
  Outcome bad = Client(std::wstring(kProgId) + L" read Missing.Item Demo.ReadOnly");
  EXPECT_EQ(bad.code, 1u) << bad.out;
  EXPECT_TRUE(Has(bad.out, "Missing.Item: error 0xC0040007")) << bad.out;
  EXPECT_TRUE(Has(bad.out, "Demo.ReadOnly = 42")) << bad.out;
}

TEST(OpcClientTool, WritesAndRefusesWhatCannotBeWritten) {
  Outcome w = Client(std::wstring(kProgId) + L" write Demo.Flag true");
  EXPECT_EQ(w.code, 0u) << w.out;
  EXPECT_TRUE(Has(w.out, "Demo.Flag written")) << w.out;
  Outcome ro = Client(std::wstring(kProgId) + L" write Demo.ReadOnly 1");
  EXPECT_EQ(ro.code, 1u) << ro.out;
  EXPECT_TRUE(Has(ro.out, "0xC0040006")) << ro.out;
  Outcome text = Client(std::wstring(kProgId) + L" write Demo.Setpoint abc");
  EXPECT_EQ(text.code, 1u) << text.out;
  EXPECT_TRUE(Has(text.out, "is not a value of type R8")) << text.out;
}

TEST(OpcClientTool, WatchPrintsEachChange) {
  Outcome w = Client(std::wstring(kProgId) + L" watch Demo.Counter --seconds 3 --rate 200");
  EXPECT_EQ(w.code, 0u) << w.out;
  size_t lines = 0;
  for (size_t at = w.out.find("Demo.Counter = "); at != std::string::npos;
       at = w.out.find("Demo.Counter = ", at + 1))
    ++lines;
  EXPECT_GE(lines, 2u) << w.out;  // the counter moves every second
}

TEST(OpcClientTool, ClearFailuresForBadServersAndUsage) {
  Outcome none = Client(L"No.Such.Server read X");
  EXPECT_EQ(none.code, 1u);
  EXPECT_TRUE(Has(none.out, "no server is registered as 'No.Such.Server'")) << none.out;
  EXPECT_EQ(Client(L"").code, 2u);
  EXPECT_EQ(Client(std::wstring(kProgId) + L" write OnlyOneArgument").code, 2u);
  EXPECT_EQ(Client(std::wstring(kProgId) + L" watch X --seconds -4").code, 2u);
}

class CrossProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(kProgId, &clsid), S_OK);
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                               reinterpret_cast<void**>(&server_)),
              S_OK);
  }
  void TearDown() override {
    for (auto* u : held_) u->Release();
    if (server_) server_->Release();
    CoUninitialize();
  }
  template <class I>
  I* As(IUnknown* u, REFIID iid) {
    I* p = nullptr;
    EXPECT_EQ(u->QueryInterface(iid, reinterpret_cast<void**>(&p)), S_OK);
    if (p) held_.push_back(p);
    return p;
  }
  // The host's client count (its Control.Clients tag), read through a group of our own; -1 when
  // it cannot be read.
  long Clients() {
    if (!clientsIo_) {
      OPCHANDLE hGroup;
      DWORD rate;
      IOPCItemMgt* g = nullptr;
      if (server_->AddGroup(L"clients", TRUE, 1000, 1, nullptr, nullptr, 0, &hGroup, &rate,
                            IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&g)) != S_OK)
        return -1;
      held_.push_back(g);
      OPCITEMDEF def = {};
      def.szItemID = const_cast<LPWSTR>(L"Control.Clients");
      def.szAccessPath = const_cast<LPWSTR>(L"");
      def.bActive = TRUE;
      OPCITEMRESULT* res = nullptr;
      HRESULT* e = nullptr;
      if (g->AddItems(1, &def, &res, &e) != S_OK) return -1;
      clientsItem_ = res[0].hServer;
      CoTaskMemFree(res);
      CoTaskMemFree(e);
      clientsIo_ = As<IOPCSyncIO>(g, IID_IOPCSyncIO);
    }
    OPCITEMSTATE* st = nullptr;
    HRESULT* err = nullptr;
    long n = -1;
    if (SUCCEEDED(clientsIo_->Read(OPC_DS_DEVICE, 1, &clientsItem_, &st, &err))) {
      n = V_I4(&st[0].vDataValue);
      VariantClear(&st[0].vDataValue);
      CoTaskMemFree(st);
      CoTaskMemFree(err);
    }
    return n;
  }
  long WaitForClients(long want, DWORD ms) {
    DWORD start = GetTickCount();
    long n = Clients();
    while (n != want && GetTickCount() - start < ms) {
      Pump(200);
      n = Clients();
    }
    return n;
  }

  IOPCServer* server_ = nullptr;
  std::vector<IUnknown*> held_;
  IOPCSyncIO* clientsIo_ = nullptr;
  OPCHANDLE clientsItem_ = 0;
  Sink sink_;  // outlives the proxies released in TearDown
};

TEST_F(CrossProcess, GroupsReadWriteAndCallbacksAcrossProcesses) {
  ASSERT_NE(server_, nullptr);
  OPCHANDLE hGroup = 0;
  DWORD rate = 0;
  IOPCItemMgt* g = nullptr;
  ASSERT_EQ(server_->AddGroup(L"cross", TRUE, 200, 77, nullptr, nullptr, 0x409, &hGroup, &rate,
                              IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&g)),
            S_OK);
  held_.push_back(g);
  OPCITEMDEF defs[3] = {};
  const wchar_t* ids[] = {L"Demo.Setpoint", L"Demo.Counter", L"Nope"};
  for (int i = 0; i < 3; ++i) {
    defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
    defs[i].szAccessPath = const_cast<LPWSTR>(L"");
    defs[i].bActive = TRUE;
    defs[i].hClient = 10 + i;
  }
  OPCITEMRESULT* res = nullptr;
  HRESULT* e = nullptr;
  ASSERT_EQ(g->AddItems(3, defs, &res, &e), S_FALSE);
  EXPECT_EQ(e[2], OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(res[0].vtCanonicalDataType, VT_R8);
  OPCHANDLE h[2] = {res[0].hServer, res[1].hServer};
  CoTaskMemFree(res);
  CoTaskMemFree(e);

  auto* io = As<IOPCSyncIO>(g, IID_IOPCSyncIO);
  VARIANT v = Var(7.25);
  ASSERT_EQ(io->Write(1, h, &v, &e), S_OK);
  CoTaskMemFree(e);
  OPCITEMSTATE* st = nullptr;
  ASSERT_EQ(io->Read(OPC_DS_DEVICE, 2, h, &st, &e), S_OK);
  EXPECT_DOUBLE_EQ(V_R8(&st[0].vDataValue), 7.25);
  EXPECT_EQ(st[1].hClient, 11u);
  VariantClear(&st[0].vDataValue);
  VariantClear(&st[1].vDataValue);
  CoTaskMemFree(st);
  CoTaskMemFree(e);

  // Data changes and an asynchronous read come back through the proxies.
  auto* cpc = As<IConnectionPointContainer>(g, IID_IConnectionPointContainer);
  IConnectionPoint* cp = nullptr;
  ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp), S_OK);
  held_.push_back(cp);
  DWORD cookie = 0;
  ASSERT_EQ(cp->Advise(static_cast<IOPCDataCallback*>(&sink_), &cookie), S_OK);
  Pump(5000, [&] { return sink_.Count("data") >= 2; });
  ASSERT_GE(sink_.Count("data"), 2u);  // the first report, then the counter's next step
  EXPECT_EQ(sink_.Last("data")->group, 77u);
  auto* async = As<IOPCAsyncIO2>(g, IID_IOPCAsyncIO2);
  DWORD cancel = 0;
  ASSERT_EQ(async->Read(2, h, 4711, &cancel, &e), S_OK);
  CoTaskMemFree(e);
  Pump(5000, [&] { return sink_.Count("read") >= 1; });
  ASSERT_EQ(sink_.Count("read"), 1u);
  EXPECT_EQ(sink_.Last("read")->trans, 4711u);
  EXPECT_DOUBLE_EQ(V_R8(&sink_.Last("read")->values[0]), 7.25);
  EXPECT_EQ(cp->Unadvise(cookie), S_OK);
}

TEST_F(CrossProcess, ShutdownRequestReachesTheClient) {
  ASSERT_NE(server_, nullptr);
  auto* cpc = As<IConnectionPointContainer>(server_, IID_IConnectionPointContainer);
  IConnectionPoint* cp = nullptr;
  ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, &cp), S_OK);
  held_.push_back(cp);
  DWORD cookie = 0;
  ASSERT_EQ(cp->Advise(static_cast<IOPCShutdown*>(&sink_), &cookie), S_OK);
  // The host asks its clients to go when its Control.Shutdown tag is written.
  OPCHANDLE hGroup;
  DWORD rate;
  IOPCItemMgt* g = nullptr;
  ASSERT_EQ(server_->AddGroup(L"", TRUE, 1000, 1, nullptr, nullptr, 0, &hGroup, &rate,
                              IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&g)),
            S_OK);
  held_.push_back(g);
  OPCITEMDEF def = {};
  def.szItemID = const_cast<LPWSTR>(L"Control.Shutdown");
  def.szAccessPath = const_cast<LPWSTR>(L"");
  def.bActive = TRUE;
  OPCITEMRESULT* res = nullptr;
  HRESULT* e = nullptr;
  ASSERT_EQ(g->AddItems(1, &def, &res, &e), S_OK);
  OPCHANDLE h = res[0].hServer;
  CoTaskMemFree(res);
  CoTaskMemFree(e);
  auto* io = As<IOPCSyncIO>(g, IID_IOPCSyncIO);
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(L"Server is being shut down by administrator");
  ASSERT_EQ(io->Write(1, &h, &v, &e), S_OK);
  CoTaskMemFree(e);
  VariantClear(&v);
  Pump(5000, [&] { return sink_.Count("shutdown") >= 1; });
  ASSERT_EQ(sink_.Count("shutdown"), 1u);
  EXPECT_EQ(sink_.Last("shutdown")->reason, L"Server is being shut down by administrator");
  EXPECT_EQ(cp->Unadvise(cookie), S_OK);

  LPWSTR text = nullptr;
  auto* common = As<IOPCCommon>(server_, IID_IOPCCommon);
  ASSERT_EQ(common->GetErrorString(OPC_E_BADRIGHTS, &text), S_OK);
  EXPECT_STREQ(text, L"The item's access rights do not allow the operation.");
  CoTaskMemFree(text);
}

// A client process that dies without releasing anything stops counting as connected (Tessarel
// ends when its last client goes).
TEST_F(CrossProcess, AClientThatDiesStopsCounting) {
  ASSERT_NE(server_, nullptr);
  ASSERT_EQ(Clients(), 1);

  // The client dies once it has subscribed: the next callback into it fails.
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &sa, 0));
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = writeEnd;
  PROCESS_INFORMATION pi{};
  std::wstring cmd = L"\"" + BinPath(L"opcclient.exe") + L"\" " + kProgId +
                     L" watch Demo.Counter --seconds 60 --rate 100";
  ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &si, &pi));
  CloseHandle(writeEnd);
  EXPECT_EQ(WaitForClients(2, 15000), 2);
  std::string seen;
  for (DWORD start = GetTickCount();
       seen.find("Demo.Counter = ") == std::string::npos && GetTickCount() - start < 15000;) {
    char buf[512];
    DWORD avail = 0, got = 0;
    if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &avail, nullptr)) break;
    if (avail && ReadFile(readEnd, buf, sizeof buf, &got, nullptr)) seen.append(buf, got);
    else Pump(50);
  }
  EXPECT_NE(seen.find("Demo.Counter = "), std::string::npos)
      << "the client never reported data: " << seen;
  TerminateProcess(pi.hProcess, 9);
  CloseHandle(readEnd);
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  DWORD killed = GetTickCount();
  EXPECT_EQ(WaitForClients(1, 20000), 1);
  printf("dead client no longer counted after %lu ms\n",
         static_cast<unsigned long>(GetTickCount() - killed));
}

// A client process that dies between connecting and subscribing gave the server no callback
// to fail; it is found by watching the processes connected to the host, and stops counting.
TEST_F(CrossProcess, AClientThatDiesBeforeSubscribingStopsCounting) {
  ASSERT_NE(server_, nullptr);
  ASSERT_EQ(Clients(), 1);
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &sa, 0));
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = writeEnd;
  PROCESS_INFORMATION pi{};
  std::wstring cmd = L"\"" + BinPath(L"opcclient.exe") + L"\" " + kProgId +
                     L" connect --seconds 600";
  ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &si, &pi));
  CloseHandle(writeEnd);
  std::string seen;
  for (DWORD start = GetTickCount();
       seen.find("connected") == std::string::npos && GetTickCount() - start < 15000;) {
    char buf[512];
    DWORD avail = 0, got = 0;
    if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &avail, nullptr)) break;
    if (avail && ReadFile(readEnd, buf, sizeof buf, &got, nullptr)) seen.append(buf, got);
    else Pump(50);
  }
  EXPECT_NE(seen.find("connected"), std::string::npos) << "the client never connected: " << seen;
  EXPECT_EQ(WaitForClients(2, 5000), 2);
  TerminateProcess(pi.hProcess, 9);
  CloseHandle(readEnd);
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  DWORD killed = GetTickCount();
  const char* waitText = std::getenv("OPC_TOOLKIT_DEAD_CLIENT_WAIT_S");
  DWORD waitMs = (waitText ? static_cast<DWORD>(std::atol(waitText)) : 30) * 1000;
  long left = WaitForClients(1, waitMs);
  printf("client killed before subscribing: %ld client(s) counted after %lu ms\n", left,
         static_cast<unsigned long>(GetTickCount() - killed));
  EXPECT_EQ(left, 1);
  // The host's own connection is still served.
  EXPECT_EQ(Clients(), 1);
}

uint32_t U32(const std::vector<unsigned char>& s, size_t at) {
  return s[at] | s[at + 1] << 8 | s[at + 2] << 16 | static_cast<uint32_t>(s[at + 3]) << 24;
}

// The DA 1.0 personality across processes: IDataObject advises carry the OPC streams in
// global memory, and IOPCAsyncIO completions arrive as streams on their connection.
TEST(CrossProcessDa10, StreamsArriveThroughIDataObject) {
  CoInitialize(nullptr);
  Sink sink;  // declared first: outlives every proxy below
  {
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(L"Marrowby.ToolkitHost10.1", &clsid), S_OK);
    IOPCServer* server = nullptr;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                               reinterpret_cast<void**>(&server)),
              S_OK);
    IUnknown* none = nullptr;
    EXPECT_EQ(server->QueryInterface(IID_IOPCCommon, reinterpret_cast<void**>(&none)),
              E_NOINTERFACE);
    OPCHANDLE hGroup;
    DWORD rate;
    IOPCItemMgt* g = nullptr;
    ASSERT_EQ(server->AddGroup(L"old", TRUE, 200, 55, nullptr, nullptr, 0, &hGroup, &rate,
                               IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&g)),
              S_OK);
    OPCITEMDEF defs[2] = {};
    const wchar_t* ids[] = {L"Demo.Text", L"Demo.Setpoint"};
    for (int i = 0; i < 2; ++i) {
      defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
      defs[i].szAccessPath = const_cast<LPWSTR>(L"");
      defs[i].bActive = TRUE;
      defs[i].hClient = 20 + i;
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* e = nullptr;
    ASSERT_EQ(g->AddItems(2, defs, &res, &e), S_OK);
    OPCHANDLE h[2] = {res[0].hServer, res[1].hServer};
    CoTaskMemFree(res);
    CoTaskMemFree(e);

    IDataObject* data = nullptr;
    ASSERT_EQ(g->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&data)), S_OK);
    IOPCAsyncIO* async = nullptr;
    ASSERT_EQ(g->QueryInterface(IID_IOPCAsyncIO, reinterpret_cast<void**>(&async)), S_OK);
    CLIPFORMAT dataTime = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(OPCSTMFORMATDATATIME));
    CLIPFORMAT writeDone =
        static_cast<CLIPFORMAT>(RegisterClipboardFormatW(OPCSTMFORMATWRITECOMPLETE));
    FORMATETC f1 = {dataTime, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    FORMATETC f2 = {writeDone, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(data->DAdvise(&f1, 0, static_cast<IAdviseSink*>(&sink), &c1), S_OK);
    ASSERT_EQ(data->DAdvise(&f2, 0, static_cast<IAdviseSink*>(&sink), &c2), S_OK);
    Pump(5000, [&] { return sink.Count("stream") >= 1; });
    ASSERT_EQ(sink.Count("stream"), 1u);
    const auto& s = sink.Last("stream")->stream;
    EXPECT_EQ(sink.Last("stream")->format, dataTime);
    ASSERT_GE(s.size(), 20u + 2 * 20);
    EXPECT_EQ(U32(s, 0), s.size());
    EXPECT_EQ(U32(s, 4), 2u);
    EXPECT_EQ(U32(s, 8), 55u);
    EXPECT_EQ(U32(s, 20), 20u);  // first item's client handle
    size_t text = U32(s, 24);
    ASSERT_LE(text + 16 + 4 + 12, s.size());
    EXPECT_EQ(s[text], VT_BSTR);
    EXPECT_EQ(U32(s, text + 16), 10u);  // "hello": 10 bytes
    EXPECT_EQ(s[text + 20], 'h');

    VARIANT v = Var(2.5);
    VARIANT values[2];
    values[0] = Var(1.0);
    values[1] = v;
    DWORD trans = 0;
    ASSERT_EQ(async->Write(c2, 1, &h[1], &values[1], &trans, &e), S_OK);
    CoTaskMemFree(e);
    Pump(5000, [&] { return sink.Count("stream") >= 2; });
    ASSERT_GE(sink.Count("stream"), 2u);
    const auto* w = sink.Last("stream");
    EXPECT_EQ(w->format, writeDone);
    ASSERT_EQ(w->stream.size(), 16u + 8u);
    EXPECT_EQ(U32(w->stream, 0), 1u);
    EXPECT_EQ(U32(w->stream, 8), trans);
    EXPECT_EQ(U32(w->stream, 16), 21u);
    EXPECT_EQ(U32(w->stream, 20), 0u);

    // A write to the wrong kind of connection is refused.
    EXPECT_EQ(async->Write(c1, 1, &h[1], &values[1], &trans, &e), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(data->DUnadvise(c1), S_OK);
    EXPECT_EQ(data->DUnadvise(c2), S_OK);
    async->Release();
    data->Release();
    g->Release();
    server->Release();
  }
  CoUninitialize();
}

}  // namespace
