// Our DDEML against the bare DDE message protocol, measured in the same run against the same
// DdeTestServer: synchronous request round trips and advise deliveries (hot link with ACKs).
// Prints the time per operation of each and the ratio ours / bare (1.0 = no overhead).
//
//   ddeml_bench.exe [OPERATIONS]   (default 5000, in 25 alternating blocks)
#include <windows.h>
#include <dde.h>
#include <ddeml.h>

#include <algorithm>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ddeml_ours/DdemlApi.h"

#include "BenchClock.h"

namespace {

using benchclock::Now;

bool Copies(HWND partner) {
  DWORD pid = 0;
  GetWindowThreadProcessId(partner, &pid);
  return ourddeml::PostedDdeDataIsCopied() && pid != GetCurrentProcessId();
}

// ---- the bare protocol -------------------------------------------------------------------------

struct Bare {
  HWND window = nullptr;
  HWND server = nullptr;
  int got = 0;       // replies seen
  long advises = 0;  // advise deliveries seen
  bool failed = false;
};
Bare gBare;

LRESULT CALLBACK BareProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_DDE_ACK:
      if (!gBare.server) {  // answer to the initiate
        gBare.server = (HWND)wp;
        GlobalDeleteAtom(LOWORD(lp));
        GlobalDeleteAtom(HIWORD(lp));
        return 0;
      } else {
        UINT_PTR st, a;
        UnpackDDElParam(WM_DDE_ACK, lp, &st, &a);
        FreeDDElParam(WM_DDE_ACK, lp);
        if (a) GlobalDeleteAtom((ATOM)a);
        if (!(st & DDE_FACK)) gBare.failed = true;
        gBare.got++;
        return 0;
      }
    case WM_DDE_DATA: {
      UINT_PTR hd, a;
      UnpackDDElParam(WM_DDE_DATA, lp, &hd, &a);
      FreeDDElParam(WM_DDE_DATA, lp);
      bool response = false, release = false, ack = false;
      if (auto* d = hd ? (DDEDATA*)GlobalLock((HGLOBAL)hd) : nullptr) {
        response = d->fResponse;
        release = d->fRelease;
        ack = d->fAckReq;
        GlobalUnlock((HGLOBAL)hd);
      }
      if (ack) {
        LPARAM out = PackDDElParam(WM_DDE_ACK, DDE_FACK, a);
        if (!PostMessageA((HWND)wp, WM_DDE_ACK, (WPARAM)w, out)) FreeDDElParam(WM_DDE_ACK, out), GlobalDeleteAtom((ATOM)a);
      } else if (a) {
        GlobalDeleteAtom((ATOM)a);
      }
      if (hd && (release || Copies((HWND)wp))) GlobalFree((HGLOBAL)hd);
      if (response) gBare.got++;
      else gBare.advises++;
      return 0;
    }
    case WM_DDE_TERMINATE: return 0;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

void PumpBare(const std::function<bool()>& done) {
  MSG m;
  while (!done() && GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
}

bool BareConnect(const std::string& service) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = BareProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "DdemlBenchBare";
  RegisterClassA(&wc);
  gBare.window = CreateWindowA("DdemlBenchBare", "", WS_POPUP, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  ATOM a = GlobalAddAtomA(service.c_str()), t = GlobalAddAtomA("T");
  SendMessageA(HWND_BROADCAST, WM_DDE_INITIATE, (WPARAM)gBare.window, MAKELPARAM(a, t));
  GlobalDeleteAtom(a);
  GlobalDeleteAtom(t);
  return gBare.server != nullptr;
}

// Seconds per request round trip.
double BareRequests(int n) {
  double t0 = Now();
  for (int i = 0; i < n; i++) {
    int want = gBare.got + 1;
    LPARAM lp = PackDDElParam(WM_DDE_REQUEST, CF_TEXT, GlobalAddAtomA("BENCH"));
    PostMessageA(gBare.server, WM_DDE_REQUEST, (WPARAM)gBare.window, lp);
    PumpBare([&] { return gBare.got >= want; });
  }
  return (Now() - t0) / n;
}

void BareAdvise(const char* item, bool start) {
  int want = gBare.got + 1;
  LPARAM lp;
  UINT msg;
  HGLOBAL h = nullptr;
  if (start) {
    h = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, sizeof(DDEADVISE));
    auto* o = (DDEADVISE*)GlobalLock(h);
    o->fAckReq = 1;
    o->fDeferUpd = 0;
    o->cfFormat = CF_TEXT;
    GlobalUnlock(h);
    msg = WM_DDE_ADVISE;
    lp = PackDDElParam(msg, (UINT_PTR)h, GlobalAddAtomA(item));
  } else {
    msg = WM_DDE_UNADVISE;
    lp = PackDDElParam(msg, CF_TEXT, GlobalAddAtomA(item));
  }
  PostMessageA(gBare.server, msg, (WPARAM)gBare.window, lp);
  if (h && Copies(gBare.server)) GlobalFree(h);
  PumpBare([&] { return gBare.got >= want; });
}

// Seconds per advise delivery.
double BareAdvises(int n) {
  long start = gBare.advises;
  BareAdvise("TICKBENCH", true);
  double t0 = Now();
  PumpBare([&] { return gBare.advises - start >= n; });
  double per = (Now() - t0) / n;
  BareAdvise("TICKBENCH", false);
  return per;
}

// ---- through a DDEML -------------------------------------------------------------------------

long gAdvises = 0, gCompletions = 0;
HDDEDATA CALLBACK Callback(UINT type, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
  if (type == XTYP_XACT_COMPLETE) gCompletions++;
  if (type == XTYP_ADVDATA) {
    gAdvises++;
    return (HDDEDATA)DDE_FACK;
  }
  return nullptr;
}

struct Client {
  const DdemlApi& api;
  DWORD inst = 0;
  HCONV conv = nullptr;
  HSZ item = nullptr, tick = nullptr;
  bool Open(const std::string& service) {
    if (api.DdeInitializeA(&inst, Callback, APPCMD_CLIENTONLY, 0)) return false;
    HSZ s = api.DdeCreateStringHandleA(inst, service.c_str(), CP_WINANSI);
    HSZ t = api.DdeCreateStringHandleA(inst, "T", CP_WINANSI);
    item = api.DdeCreateStringHandleA(inst, "BENCH", CP_WINANSI);
    tick = api.DdeCreateStringHandleA(inst, "TICKBENCH", CP_WINANSI);
    conv = api.DdeConnect(inst, s, t, nullptr);
    api.DdeFreeStringHandle(inst, s);
    api.DdeFreeStringHandle(inst, t);
    return conv != nullptr;
  }
  void Close() {
    if (conv) api.DdeDisconnect(conv);
    if (inst) api.DdeUninitialize(inst);
  }
  // Seconds per request; negative when a request failed.
  double Requests(int n) {
    double t0 = Now();
    for (int i = 0; i < n; i++) {
      HDDEDATA h = api.DdeClientTransaction(nullptr, 0, conv, item, CF_TEXT, XTYP_REQUEST, 2000, nullptr);
      if (!h) return -1;
      api.DdeFreeDataHandle(h);
    }
    return (Now() - t0) / n;
  }
  // Seconds per request with `batch` asynchronous requests outstanding at a time.
  double AsyncRequests(int n, int batch) {
    double t0 = Now();
    for (int done = 0; done < n; done += batch) {
      long want = gCompletions + batch;
      for (int i = 0; i < batch; i++) {
        DWORD id;
        if (!api.DdeClientTransaction(nullptr, 0, conv, item, CF_TEXT, XTYP_REQUEST, TIMEOUT_ASYNC, &id)) return -1;
      }
      MSG m;
      double limit = Now() + 10;
      while (gCompletions < want && Now() < limit) {
        if (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
        else MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      }
      if (gCompletions < want) return -1;
    }
    return (Now() - t0) / n;
  }
  double Advises(int n) {
    if (!api.DdeClientTransaction(nullptr, 0, conv, tick, CF_TEXT, XTYP_ADVSTART | XTYPF_ACKREQ, 2000, nullptr))
      return -1;
    long start = gAdvises;
    double t0 = Now();
    // The same loop as the bare side's: the deliveries keep coming, so GetMessage never starves.
    PumpBare([&] { return gAdvises - start >= n; });
    double per = (Now() - t0) / n;
    api.DdeClientTransaction(nullptr, 0, conv, tick, CF_TEXT, XTYP_ADVSTOP, 2000, nullptr);
    return per;
  }
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int n = argc > 1 ? std::max(1250, std::atoi(argv[1])) : 5000;
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path);
  dir.resize(dir.find_last_of("\\/") + 1);
  std::string service = "DdemlBench" + std::to_string(GetCurrentProcessId());
  std::string cmd = "\"" + dir + "DdeTestServer.exe\" " + service + " T 600";
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ("DdeTestServerReady." + service).c_str());
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    std::printf("ddeml_bench: cannot start %s\n", cmd.c_str());
    return 1;
  }
  DWORD t = GetTickCount();
  while (WaitForSingleObject(ready, 10) != WAIT_OBJECT_0 && GetTickCount() - t < 15000) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
  }
  int rc = 0;
  Client ours{OurDdeml()};
  if (!BareConnect(service) || !ours.Open(service)) {
    std::printf("ddeml_bench: no conversation with the test server\n");
    rc = 1;
  } else {
    // Short blocks alternate between the two sides so that the machine's drift (others share
    // its cores) hits both alike; the figure is the median of the per-block ratios.
    const int blocks = 25, k = std::max(50, n / blocks);
    std::vector<double> reqRatio, advRatio, asyncRatio;
    double bareReqSum = 0, ourReqSum = 0, bareAdvSum = 0, ourAdvSum = 0;
    BareRequests(k);
    ours.Requests(k);
    for (int b = 0; b < blocks; b++) {
      double br = BareRequests(k), orq = ours.Requests(k);
      double ba = BareAdvises(k), oa = ours.Advises(k);
      double oas = ours.AsyncRequests(k, 50);
      if (orq < 0 || oa < 0 || oas < 0) {
        rc = 1;
        break;
      }
      reqRatio.push_back(orq / br);
      advRatio.push_back(oa / ba);
      asyncRatio.push_back(oas / br);
      bareReqSum += br, ourReqSum += orq, bareAdvSum += ba, ourAdvSum += oa;
    }
    if (!rc) {
      std::printf("ddeml_bench: %d blocks of %d operations, alternating bare / ours\n", blocks, k);
      std::printf("  request round trip: bare %.1f us, ours %.1f us; ratio ours/bare %.2f (median of blocks)\n",
                  bareReqSum / blocks * 1e6, ourReqSum / blocks * 1e6, Median(reqRatio));
      std::printf("  advise delivery:    bare %.1f us, ours %.1f us; ratio ours/bare %.2f (median of blocks)\n",
                  bareAdvSum / blocks * 1e6, ourAdvSum / blocks * 1e6, Median(advRatio));
      std::printf("  asynchronous requests, 50 outstanding, per request: ratio to the bare round trip %.2f\n",
                  Median(asyncRatio));
      std::printf("  ours: %.0f requests per second, %.0f advise deliveries per second\n",
                  blocks / ourReqSum, blocks / ourAdvSum);
    } else {
      std::printf("ddeml_bench: a transaction through our DDEML failed\n");
    }
    Client platform{PlatformDdeml()};
    if (platform.Open(service)) {
      double pr = platform.Requests(std::min(n, 500));
      double br = BareRequests(std::min(n, 500));
      if (pr > 0) std::printf("  platform DDEML request round trip %.1f us, ratio to bare %.2f\n", pr * 1e6, pr / br);
      else std::printf("  platform DDEML: a request failed\n");
    }
    platform.Close();
  }
  ours.Close();
  TerminateProcess(pi.hProcess, 0);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return rc;
}
