// Corvex against our DDEML called straight, in the same run and against the same DdeTestServer:
// synchronous Request round trips, and advise deliveries of a hot link with ACKs (DDEAdvise
// through the connection point versus XTYP_ADVDATA in a bare callback). Both sides read the
// data as text. Prints the rate of each and the ratio control / straight (1.0 = no overhead).
//
//   corvane_bench.exe [OPERATIONS]   (default 4000 per kind, in 4 blocks; odd blocks run the
//                                     control first, so neither side always follows the other)
#include <windows.h>
#include <ddeml.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "Core.h"

#include "BenchClock.h"

namespace {

using benchclock::Now;

void Pump(const std::function<bool()>& done, DWORD ms) {
  DWORD start = GetTickCount();
  while (!done() && GetTickCount() - start < ms) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
  }
}

// ---- straight on our DDEML -------------------------------------------------------------------
long gRawAdvises = 0;
size_t gRawBytes = 0;
HDDEDATA CALLBACK RawCallback(UINT type, UINT, HCONV, HSZ, HSZ, HDDEDATA data, ULONG_PTR, ULONG_PTR) {
  if (type == XTYP_ADVDATA && data) {
    DWORD n = 0;
    LPBYTE p = OurDdeml().DdeAccessData(data, &n);
    std::string text(reinterpret_cast<char*>(p), n);
    gRawBytes += text.size();
    OurDdeml().DdeUnaccessData(data);
    ++gRawAdvises;
    return reinterpret_cast<HDDEDATA>(DDE_FACK);
  }
  return nullptr;
}

struct Rates {
  double request = 0, advise = 0;  // seconds for the block
  double requestNewHandle = 0;     // straight, with the item handle made and freed per call
};

bool Raw(int ops, Rates& r) {
  const DdemlApi& d = OurDdeml();
  DWORD inst = 0;
  if (d.DdeInitializeA(&inst, RawCallback, APPCMD_CLIENTONLY, 0)) return false;
  HSZ svc = d.DdeCreateStringHandleA(inst, "CorvBench", CP_WINANSI);
  HSZ top = d.DdeCreateStringHandleA(inst, "Sheet1", CP_WINANSI);
  HSZ item = d.DdeCreateStringHandleA(inst, "R1C1", CP_WINANSI);
  HSZ tick = d.DdeCreateStringHandleA(inst, "TICK1", CP_WINANSI);
  HCONV c = d.DdeConnect(inst, svc, top, nullptr);
  bool ok = c != nullptr;
  double t0 = Now();
  for (int i = 0; ok && i < ops; ++i) {
    DWORD res = 0;
    HDDEDATA h = d.DdeClientTransaction(nullptr, 0, c, item, CF_TEXT, XTYP_REQUEST, 1000, &res);
    if (!h) {
      ok = false;
      break;
    }
    DWORD n = 0;
    LPBYTE p = d.DdeAccessData(h, &n);
    std::string text(reinterpret_cast<char*>(p), n);
    d.DdeUnaccessData(h);
    d.DdeFreeDataHandle(h);
  }
  r.request += Now() - t0;
  // The control's wrapper makes and frees the item's string handle on every request; with no
  // other reference to the name, that adds and deletes a global atom each time.
  d.DdeFreeStringHandle(inst, item);
  item = nullptr;
  t0 = Now();
  for (int i = 0; ok && i < ops; ++i) {
    DWORD res = 0;
    HSZ each = d.DdeCreateStringHandleA(inst, "R1C1", CP_WINANSI);
    HDDEDATA h = d.DdeClientTransaction(nullptr, 0, c, each, CF_TEXT, XTYP_REQUEST, 1000, &res);
    d.DdeFreeStringHandle(inst, each);
    if (!h) {
      ok = false;
      break;
    }
    DWORD n = 0;
    LPBYTE p = d.DdeAccessData(h, &n);
    std::string text(reinterpret_cast<char*>(p), n);
    d.DdeUnaccessData(h);
    d.DdeFreeDataHandle(h);
  }
  r.requestNewHandle += Now() - t0;
  gRawAdvises = 0;
  DWORD res = 0;
  t0 = Now();
  ok = ok && d.DdeClientTransaction(nullptr, 0, c, tick, CF_TEXT, XTYP_ADVSTART | XTYPF_ACKREQ, 1000, &res);
  Pump([&] { return gRawAdvises >= ops; }, 60000);
  r.advise += Now() - t0;
  ok = ok && gRawAdvises >= ops;
  d.DdeClientTransaction(nullptr, 0, c, tick, CF_TEXT, XTYP_ADVSTOP, 1000, &res);
  d.DdeDisconnect(c);
  for (HSZ h : {svc, top, tick}) d.DdeFreeStringHandle(inst, h);
  d.DdeUninitialize(inst);
  return ok;
}

// ---- through the control ---------------------------------------------------------------------
bool Control(int ops, Rates& r) {
  using common::Bstr;
  using common::ComPtr;
  using common::Variant;
  auto obj = common::Make<corvane::CorvexControl>();
  ComPtr<ICorvex> ctl;
  obj->QueryInterface(IID_ICorvex, ctl.PutVoid());
  long advises = 0;
  size_t bytes = 0;
  auto sink = common::Make<common::DispatchSink>(
      DIID_DCorvexEvents, [&](DISPID id, WORD, std::span<VARIANT* const> args, VARIANT*) {
        if (id != 1 || args.size() < 5 || V_VT(args[4]) != VT_DISPATCH) return S_OK;
        ComPtr<IDDEData> data;
        V_DISPATCH(args[4])->QueryInterface(IID_IDDEData, data.PutVoid());
        Bstr s;
        if (data) data->get_DataString(s.ReleaseAndGetAddressOf());
        bytes += s.Length();
        ++advises;
        return S_OK;
      });
  ComPtr<IConnectionPointContainer> cpc;
  ctl->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid());
  ComPtr<IConnectionPoint> cp;
  cpc->FindConnectionPoint(DIID_DCorvexEvents, cp.GetAddressOf());
  DWORD cookie = 0;
  cp->Advise(sink.Get(), &cookie);
  VARIANT_BOOL ok = VARIANT_FALSE;
  ctl->Initialise(&ok);
  Bstr key;
  ctl->Connect(Bstr(L"CorvBench").Get(), Bstr(L"Sheet1").Get(), Variant(), key.ReleaseAndGetAddressOf());
  ComPtr<IConversations> all;
  ctl->get_Conversations(all.GetAddressOf());
  ComPtr<IConversation> conv;
  if (all) all->get_Conversation(Variant(key.Get()), conv.GetAddressOf());
  bool good = conv != nullptr;
  Bstr item(L"R1C1");
  double t0 = Now();
  for (int i = 0; good && i < ops; ++i) {
    ComPtr<IDDEData> d;
    conv->Request(item.Get(), 1000, 1, d.GetAddressOf());
    if (!d) {
      good = false;
      break;
    }
    Bstr s;
    d->get_DataString(s.ReleaseAndGetAddressOf());
  }
  r.request += Now() - t0;
  Bstr loop;
  t0 = Now();
  if (good) conv->StartAdviseLoop(Bstr(L"TICK1").Get(), 1000, 1, VARIANT_TRUE, loop.ReleaseAndGetAddressOf());
  Pump([&] { return advises >= ops; }, 60000);
  r.advise += Now() - t0;
  good = good && advises >= ops;
  if (good) conv->StopAdviseLoop(Variant(loop.Get()), 1000, &ok);
  conv.Reset();
  all.Reset();
  ctl->Uninitialise(&ok);
  cp->Unadvise(cookie);
  return good;
}

}  // namespace

int main(int argc, char** argv) {
  int ops = argc > 1 ? std::atoi(argv[1]) : 4000;
  if (ops < 100) ops = 100;
  CoInitialize(nullptr);
  corvane::SetDdeml(&OurDdeml());
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string dir(self);
  dir = dir.substr(0, dir.find_last_of("\\/"));
  std::string cmd = "\"" + dir + "\\DdeTestServer.exe\" CorvBench Sheet1 600";
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "DdeTestServerReady.CorvBench");
  STARTUPINFOA si = {sizeof si};
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) ||
      WaitForSingleObject(ready, 20000) != WAIT_OBJECT_0) {
    std::printf("corvane_bench: DdeTestServer did not start (%s)\n", cmd.c_str());
    return 1;
  }
  const int blocks = 4;
  int per = ops / blocks;
  Rates raw, ctl;
  bool ok = true;
  for (int b = 0; b < blocks && ok; ++b) {
    ok = (b % 2) ? (Control(per, ctl) && Raw(per, raw)) : (Raw(per, raw) && Control(per, ctl));
    std::printf("corvane_bench: block %d of %d done\n", b + 1, blocks);
    std::fflush(stdout);
  }
  TerminateProcess(pi.hProcess, 0);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  if (!ok) {
    std::printf("corvane_bench: a block failed\n");
    return 1;
  }
  int n = per * blocks;
  std::printf("Request   straight %8.0f/s  control %8.0f/s  time ratio control/straight %.3f\n",
              n / raw.request, n / ctl.request, ctl.request / raw.request);
  std::printf("Request   straight, item name's only handle made and freed per call %8.0f/s  time ratio control/that %.3f\n",
              n / raw.requestNewHandle, ctl.request / raw.requestNewHandle);
  std::printf("DDEAdvise straight %8.0f/s  control %8.0f/s  time ratio control/straight %.3f\n",
              n / raw.advise, n / ctl.advise, ctl.advise / raw.advise);
  CoUninitialize();
  return 0;
}
