// SimServer.exe out of process, as OPC clients meet it: opcclient (list, browse, read, write,
// watch, shutdown requests) against both personalities, and direct calls through OpcProxy.dll
// for the asynchronous paths (DA 2.0 IOPCAsyncIO2 with its callbacks, DA 1.0 IOPCAsyncIO with
// its IDataObject streams, and completions that arrive before the call returns).
// The tests that start SimServer themselves come first: a server COM started for an earlier
// test would otherwise still be serving when they begin.
#include <gtest/gtest.h>

#include "../../opc_toolkit/tests/TestSupport.h"
#include "SimServer.h"

#include <tlhelp32.h>

#include <cstdlib>
#include <cstring>
#include <string>

using namespace opc_toolkit_test;
using namespace opc_sim;

namespace {

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

// Runs a program of the build with the arguments; its standard output and error come back.
Outcome RunProgram(const wchar_t* exe, const std::wstring& args) {
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
  std::wstring cmd = L"\"" + BinPath(exe) + L"\" " + args;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                      &pi)) {
    r.out = "cannot start the program: error " + std::to_string(GetLastError());
    CloseHandle(rd);
    CloseHandle(wr);
    return r;
  }
  CloseHandle(wr);
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(rd, buf, sizeof buf, &n, nullptr) && n > 0)
    for (DWORD i = 0; i < n; ++i)
      if (buf[i] != '\r') r.out += buf[i];  // text-mode output ends its lines with CR LF
  CloseHandle(rd);
  WaitForSingleObject(pi.hProcess, 90000);
  GetExitCodeProcess(pi.hProcess, &r.code);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return r;
}

Outcome Client(const std::wstring& args) { return RunProgram(L"opcclient.exe", args); }

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// True once no SimServer.exe runs (one COM started for another test ends after its linger
// time); false if one is still there after ms.
bool NoSimServerRunning(DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    bool found = false;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap != INVALID_HANDLE_VALUE) {
      PROCESSENTRY32W pe{};
      pe.dwSize = sizeof pe;
      for (BOOL ok = Process32FirstW(snap, &pe); ok && !found; ok = Process32NextW(snap, &pe))
        found = _wcsicmp(pe.szExeFile, L"SimServer.exe") == 0;
      CloseHandle(snap);
    }
    if (!found) return true;
    if (GetTickCount() - start > ms) return false;
    Sleep(100);
  }
}

// SimServer started by the test (not by COM), running until it ends by itself.
struct StartedServer {
  PROCESS_INFORMATION pi{};
  HANDLE out = nullptr;
  std::string text;
  bool ready = false;

  explicit StartedServer(const std::wstring& args) {
    // Clients must meet this server, not one that COM started earlier.
    if (!NoSimServerRunning(30000)) {
      text = "another SimServer.exe is still running";
      return;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE wr = nullptr;
    if (!CreatePipe(&out, &wr, &sa, 0)) return;
    SetHandleInformation(out, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = wr;
    si.hStdError = wr;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring cmd = L"\"" + BinPath(L"SimServer.exe") + L"\" " + args;
    BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &si, &pi);
    CloseHandle(wr);
    if (!ok) return;
    // Its first line says that its class objects are registered.
    char c;
    DWORD n = 0;
    while (!ready && ReadFile(out, &c, 1, &n, nullptr) && n == 1) {
      if (c != '\r') text += c;
      ready = text.find("ready\n") != std::string::npos;
    }
  }
  // Exit code, or -1 when it did not end within ms.
  long WaitExit(DWORD ms) {
    if (!pi.hProcess || WaitForSingleObject(pi.hProcess, ms) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return static_cast<long>(code);
  }
  ~StartedServer() {
    if (pi.hProcess) {
      if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 99);
      CloseHandle(pi.hProcess);
      CloseHandle(pi.hThread);
    }
    if (out) CloseHandle(out);
  }
};

struct ComInit {
  ComInit() { CoInitialize(nullptr); }
  ~ComInit() { CoUninitialize(); }
};

template <class T>
struct Ptr {
  T* p = nullptr;
  ~Ptr() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  void** Out() { return reinterpret_cast<void**>(&p); }
};

// A client connection with one group of items, made through COM across processes.
struct Connection {
  Ptr<IOPCServer> server;
  Ptr<IOPCItemMgt> items;
  OPCHANDLE hGroup = 0;
  std::vector<OPCHANDLE> handles;
  HRESULT hr = E_FAIL;

  Connection(const CLSID& clsid, const std::vector<std::wstring>& ids, DWORD rate = 1000) {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.Out());
    if (FAILED(hr)) return;
    DWORD revised = 0;
    hr = server->AddGroup(L"oop", TRUE, rate, 77, nullptr, nullptr, 0x409, &hGroup, &revised,
                          IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&items.p));
    if (FAILED(hr) || ids.empty()) return;
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      defs[i] = {};
      defs[i].szAccessPath = const_cast<LPWSTR>(L"");
      defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
    }
    OPCITEMRESULT* r = nullptr;
    HRESULT* e = nullptr;
    hr = items->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &r, &e);
    if (FAILED(hr)) return;
    for (size_t i = 0; i < ids.size(); ++i) {
      handles.push_back(r[i].hServer);
      if (FAILED(e[i])) hr = e[i];
      CoTaskMemFree(r[i].pBlob);
    }
    CoTaskMemFree(r);
    CoTaskMemFree(e);
  }
};

DWORD StreamTransaction(const Sink::Call& c, bool write) {
  size_t at = write ? 8 : 12;
  if (c.stream.size() < at + 4) return 0;
  DWORD t;
  memcpy(&t, c.stream.data() + at, 4);
  return t;
}

// ---------------------------------------------------------------- servers the test starts

TEST(StartedSimServer, AsksItsClientsToShutDownAfterTheGivenSecondsAndThenEnds) {
  StartedServer server(L"--shutdown-after 3 --shutdown-reason \"maintenance now\" --linger-ms 200");
  ASSERT_TRUE(server.ready) << server.text;
  Outcome w = Client(L"Sim.OPCDA.2 watch Ramp.I4 --seconds 60 --rate 100");
  EXPECT_EQ(0u, w.code) << w.out;
  EXPECT_NE(std::string::npos, w.out.find("server asks to disconnect: maintenance now")) << w.out;
  EXPECT_EQ(0, server.WaitExit(20000)) << "the server ends once its clients have gone";
}

TEST(StartedSimServer, RefusesBadArguments) {
  Outcome r = RunProgram(L"SimServer.exe", L"--shutdown-after 0");
  EXPECT_EQ(2u, r.code);
  EXPECT_NE(std::string::npos, r.out.find("--shutdown-after needs")) << r.out;
  r = RunProgram(L"SimServer.exe", L"--frobnicate");
  EXPECT_EQ(2u, r.code);
  EXPECT_NE(std::string::npos, r.out.find("unknown argument '--frobnicate'")) << r.out;
}

TEST(StartedSimServer, Da10CompletionsArriveBeforeTheAsyncCallReturns) {
  StartedServer server(L"--early-completion --linger-ms 200");
  ASSERT_TRUE(server.ready) << server.text;
  {
    ComInit com;
    Connection c(CLSID_SimServerDA10, {L"Register.I4", L"Static.BSTR"});
    ASSERT_EQ(S_OK, c.hr);
    Ptr<IDataObject> data;
    Ptr<IOPCAsyncIO> async;
    ASSERT_EQ(S_OK, c.items->QueryInterface(IID_IDataObject, data.Out()));
    ASSERT_EQ(S_OK, c.items->QueryInterface(IID_IOPCAsyncIO, async.Out()));
    Sink sink;
    FORMATETC fd = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")),
                    nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    FORMATETC fw = {
        static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE")), nullptr,
        DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD cd = 0, cw = 0;
    ASSERT_EQ(S_OK, data->DAdvise(&fd, ADVF_PRIMEFIRST, static_cast<IAdviseSink*>(&sink), &cd));
    ASSERT_EQ(S_OK, data->DAdvise(&fw, ADVF_PRIMEFIRST, static_cast<IAdviseSink*>(&sink), &cw));
    sink.calls.clear();

    DWORD trans = 0;
    HRESULT* e = nullptr;
    ASSERT_EQ(S_OK, async->Read(cd, OPC_DS_DEVICE, 2, c.handles.data(), &trans, &e));
    CoTaskMemFree(e);
    // Nothing pumped since the call: what is here came in while it ran.
    ASSERT_EQ(1u, sink.Count("stream"));
    EXPECT_EQ(fd.cfFormat, sink.calls[0].format);
    EXPECT_EQ(trans, StreamTransaction(sink.calls[0], false));

    VARIANT v = Var(9L);
    ASSERT_EQ(S_OK, async->Write(cw, 1, c.handles.data(), &v, &trans, &e));
    CoTaskMemFree(e);
    ASSERT_EQ(2u, sink.Count("stream"));
    EXPECT_EQ(fw.cfFormat, sink.calls[1].format);
    EXPECT_EQ(trans, StreamTransaction(sink.calls[1], true));

    ASSERT_EQ(S_OK, async->Refresh(cd, OPC_DS_CACHE, &trans));
    ASSERT_EQ(3u, sink.Count("stream"));
    EXPECT_EQ(trans, StreamTransaction(sink.calls[2], false));
    // Already complete: nothing left to cancel.
    EXPECT_EQ(E_FAIL, async->Cancel(trans));

    data->DUnadvise(cd);
    data->DUnadvise(cw);
  }
  EXPECT_EQ(0, server.WaitExit(20000));
}

// ---------------------------------------------------------------- servers COM starts

TEST(SimServerByCom, ListedOnceEachAndBrowsable) {
  Outcome r = Client(L"list");
  ASSERT_EQ(0u, r.code) << r.out;
  EXPECT_EQ(1u, Occurrences(r.out, "Sim.OPCDA.2  {B689282A-2E15-43BB-A6B2-7BED22FE6FF7}  [DA 2.0]"))
      << r.out;
  EXPECT_EQ(1u, Occurrences(r.out, "Sim.OPCDA.1  {B0D4B233-4FBE-41D5-98EE-A81375959D16}  [DA 1.0]"))
      << r.out;
  EXPECT_EQ(0u, Occurrences(r.out, "Sim.OPCDA ")) << r.out;

  for (const wchar_t* prog : {L"Sim.OPCDA.2", L"Sim.OPCDA.1"}) {
    Outcome b = Client(std::wstring(prog) + L" browse");
    ASSERT_EQ(0u, b.code) << b.out;
    for (const char* id : {"Static.Array.UINT\n", "Register.I1\n", "Ramp.R4\n", "Sine.R8\n",
                           "Random.BOOL\n", "Quality.Uncertain\n", "Access.WriteOnly\n",
                           "Deep.L01.L02.L03.Depth\n", "Time.Now\n"})
      EXPECT_EQ(1u, Occurrences(b.out, id)) << id;
  }
}

TEST(SimServerByCom, ReadAndWriteBothPersonalities) {
  ComInit com;
  // Holding a connection keeps the same server between the opcclient runs.
  Connection keep20(CLSID_SimServerDA20, {});
  Connection keep10(CLSID_SimServerDA10, {});
  ASSERT_EQ(S_OK, keep20.hr);
  ASSERT_EQ(S_OK, keep10.hr);
  for (const wchar_t* prog : {L"Sim.OPCDA.2", L"Sim.OPCDA.1"}) {
    std::wstring p = prog;
    Outcome w = Client(p + L" write Register.R8 12.75");
    EXPECT_EQ(0u, w.code) << w.out;
    w = Client(p + L" write Register.BSTR \"hello there\"");
    EXPECT_EQ(0u, w.code) << w.out;
    Outcome r = Client(p + L" read Register.R8 Register.BSTR Static.UI2 Quality.BadNotConnected "
                           L"Quality.Uncertain Access.ReadOnly");
    EXPECT_EQ(0u, r.code) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Register.R8 = 12.75  [R8, Good 0xC0")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Register.BSTR = hello there  [BSTR, Good")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Static.UI2 = 7  [UI2, Good")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Quality.BadNotConnected = 12.5  [R8, Bad 0x08")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Quality.Uncertain = 12.5  [R8, Uncertain 0x40")) << r.out;
    // Read-only items refuse, and unknown items are reported, with the server's texts.
    w = Client(p + L" write Access.ReadOnly 5");
    EXPECT_EQ(1u, w.code);
    EXPECT_NE(std::string::npos, w.out.find("write failed: 0xC0040006")) << w.out;
    r = Client(p + L" read No.Such.Item");
    EXPECT_EQ(1u, r.code);
    EXPECT_NE(std::string::npos, r.out.find("No.Such.Item: error 0xC0040007")) << r.out;
  }
  // The two personalities keep their own registers.
  Outcome r = Client(L"Sim.OPCDA.2 read Register.I4");
  EXPECT_NE(std::string::npos, r.out.find("Register.I4 = 0  [I4")) << r.out;
}

TEST(SimServerByCom, Da20SubscriptionSeesTheRampClimb) {
  Outcome w = Client(L"Sim.OPCDA.2 watch Ramp.I4 Static.I4 --seconds 3 --rate 100");
  ASSERT_EQ(0u, w.code) << w.out;
  // The first report carries every item, later ones only what changed.
  EXPECT_EQ(1u, Occurrences(w.out, "Static.I4 = 7")) << w.out;
  EXPECT_GE(Occurrences(w.out, "Ramp.I4 = "), 3u) << w.out;
}

TEST(SimServerByCom, Da20AsyncReadWriteRefreshCancelAndShutdownRequest) {
  ComInit com;
  Connection c(CLSID_SimServerDA20, {L"Register.UI4", L"Static.Array.I2"}, 100);
  ASSERT_EQ(S_OK, c.hr);
  Sink sink;
  Ptr<IConnectionPointContainer> cpc;
  Ptr<IConnectionPoint> cp, shutCp;
  ASSERT_EQ(S_OK, c.items->QueryInterface(IID_IConnectionPointContainer, cpc.Out()));
  ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp.p));
  DWORD cookie = 0, shutCookie = 0;
  ASSERT_EQ(S_OK, cp->Advise(static_cast<IOPCDataCallback*>(&sink), &cookie));
  Ptr<IConnectionPointContainer> scpc;
  ASSERT_EQ(S_OK, c.server->QueryInterface(IID_IConnectionPointContainer, scpc.Out()));
  ASSERT_EQ(S_OK, scpc->FindConnectionPoint(IID_IOPCShutdown, &shutCp.p));
  ASSERT_EQ(S_OK, shutCp->Advise(static_cast<IOPCShutdown*>(&sink), &shutCookie));
  Ptr<IOPCAsyncIO2> async;
  ASSERT_EQ(S_OK, c.items->QueryInterface(IID_IOPCAsyncIO2, async.Out()));

  DWORD cancelId = 0;
  HRESULT* e = nullptr;
  VARIANT v = Var(4000000000.0);
  ASSERT_EQ(S_OK, async->Write(1, c.handles.data(), &v, 11, &cancelId, &e));
  CoTaskMemFree(e);
  Pump(20000, [&] { return sink.Count("write") == 1; });
  ASSERT_EQ(1u, sink.Count("write"));
  EXPECT_EQ(11u, sink.Last("write")->trans);
  EXPECT_EQ(S_OK, sink.Last("write")->errors.at(0));

  ASSERT_EQ(S_OK, async->Read(2, c.handles.data(), 12, &cancelId, &e));
  CoTaskMemFree(e);
  Pump(20000, [&] { return sink.Count("read") == 1; });
  const Sink::Call* read = sink.Last("read");
  ASSERT_NE(nullptr, read);
  EXPECT_EQ(12u, read->trans);
  ASSERT_EQ(2u, read->values.size());
  EXPECT_EQ(VT_UI4, V_VT(&read->values[0]));
  EXPECT_EQ(4000000000u, V_UI4(&read->values[0]));
  EXPECT_EQ(VT_ARRAY | VT_I2, V_VT(&read->values[1]));

  size_t refreshesBefore = 0;
  for (auto& call : sink.calls) refreshesBefore += call.kind == "data" && call.trans == 13;
  ASSERT_EQ(S_OK, async->Refresh2(OPC_DS_DEVICE, 13, &cancelId));
  Pump(20000, [&] {
    for (auto& call : sink.calls)
      if (call.kind == "data" && call.trans == 13) return true;
    return false;
  });
  size_t refreshes = 0;
  for (auto& call : sink.calls) refreshes += call.kind == "data" && call.trans == 13;
  EXPECT_EQ(refreshesBefore + 1, refreshes);

  // A cancel either catches the read still queued (a cancel completion follows) or comes
  // too late (the read completes): never both, never neither.
  size_t readsBefore = sink.Count("read");
  ASSERT_EQ(S_OK, async->Read(1, c.handles.data(), 14, &cancelId, &e));
  CoTaskMemFree(e);
  HRESULT cancel = async->Cancel2(cancelId);
  Pump(20000, [&] { return sink.Count("cancel") + sink.Count("read") > readsBefore; });
  Pump(300);
  if (cancel == S_OK) {
    EXPECT_EQ(1u, sink.Count("cancel"));
    EXPECT_EQ(readsBefore, sink.Count("read"));
  } else {
    EXPECT_EQ(E_FAIL, cancel);
    EXPECT_EQ(0u, sink.Count("cancel"));
    EXPECT_EQ(readsBefore + 1, sink.Count("read"));
  }

  // A client's write of Control.Shutdown makes the server ask every client to go.
  Outcome w = Client(L"Sim.OPCDA.2 write Control.Shutdown \"please leave\"");
  EXPECT_EQ(0u, w.code) << w.out;
  Pump(20000, [&] { return sink.Count("shutdown") > 0; });
  ASSERT_EQ(1u, sink.Count("shutdown"));
  EXPECT_EQ(L"please leave", sink.Last("shutdown")->reason);
  cp->Unadvise(cookie);
  shutCp->Unadvise(shutCookie);
}

TEST(SimServerByCom, Da10StreamsForSubscriptionsAndAsyncCalls) {
  ComInit com;
  Connection c(CLSID_SimServerDA10, {L"Ramp.I2", L"Register.R4"}, 100);
  ASSERT_EQ(S_OK, c.hr);
  Ptr<IUnknown> none;
  EXPECT_EQ(E_NOINTERFACE, c.server->QueryInterface(IID_IOPCCommon, none.Out()));
  EXPECT_EQ(E_NOINTERFACE, c.items->QueryInterface(IID_IConnectionPointContainer, none.Out()));
  Ptr<IDataObject> data;
  Ptr<IOPCAsyncIO> async;
  ASSERT_EQ(S_OK, c.items->QueryInterface(IID_IDataObject, data.Out()));
  ASSERT_EQ(S_OK, c.items->QueryInterface(IID_IOPCAsyncIO, async.Out()));
  Sink sink;
  CLIPFORMAT fData = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATA"));
  CLIPFORMAT fWrite =
      static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE"));
  FORMATETC fd = {fData, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  FORMATETC fw = {fWrite, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  DWORD cd = 0, cw = 0;
  ASSERT_EQ(S_OK, data->DAdvise(&fd, ADVF_PRIMEFIRST, static_cast<IAdviseSink*>(&sink), &cd));
  ASSERT_EQ(S_OK, data->DAdvise(&fw, ADVF_PRIMEFIRST, static_cast<IAdviseSink*>(&sink), &cw));
  // The ramp keeps the subscription busy.
  Pump(20000, [&] { return sink.Count("stream") >= 3; });
  ASSERT_GE(sink.Count("stream"), 3u);
  for (auto& call : sink.calls) EXPECT_EQ(fData, call.format);

  DWORD trans = 0;
  HRESULT* e = nullptr;
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_R4;
  V_R4(&v) = 2.5f;
  ASSERT_EQ(S_OK, async->Write(cw, 1, &c.handles[1], &v, &trans, &e));
  CoTaskMemFree(e);
  auto completed = [&](CLIPFORMAT f, DWORD t, bool write) {
    for (auto& call : sink.calls)
      if (call.format == f && StreamTransaction(call, write) == t) return true;
    return false;
  };
  Pump(20000, [&] { return completed(fWrite, trans, true); });
  EXPECT_TRUE(completed(fWrite, trans, true));
  ASSERT_EQ(S_OK, async->Read(cd, OPC_DS_DEVICE, 2, c.handles.data(), &trans, &e));
  CoTaskMemFree(e);
  Pump(20000, [&] { return completed(fData, trans, false); });
  EXPECT_TRUE(completed(fData, trans, false));
  ASSERT_EQ(S_OK, async->Refresh(cd, OPC_DS_CACHE, &trans));
  Pump(20000, [&] { return completed(fData, trans, false); });
  EXPECT_TRUE(completed(fData, trans, false));
  // An unknown transaction cannot be cancelled.
  EXPECT_EQ(E_FAIL, async->Cancel(trans + 1000));

  OPCITEMSTATE* st = nullptr;
  Ptr<IOPCSyncIO> sync;
  ASSERT_EQ(S_OK, c.items->QueryInterface(IID_IOPCSyncIO, sync.Out()));
  ASSERT_EQ(S_OK, sync->Read(OPC_DS_DEVICE, 1, &c.handles[1], &st, &e));
  EXPECT_EQ(2.5f, V_R4(&st[0].vDataValue));
  CoTaskMemFree(st);
  CoTaskMemFree(e);
  data->DUnadvise(cd);
  data->DUnadvise(cw);
}

}  // namespace
