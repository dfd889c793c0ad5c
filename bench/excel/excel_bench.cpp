// WorkbookServer's DDE service against a bare DDE message round trip, measured in the same run:
//   - request round trips per second (REQUEST -> DATA of one cell);
//   - hot-link updates per second: 10,000 cells linked, all depending on one cell that is poked;
//   - the baseline: REQUEST -> DATA with a bare echo window in another process (this program
//     started again with --echo), which does no work at all.
// Prints each rate and its ratio to the baseline (cost of one operation in bare round trips).
//
//   excel_bench.exe [LINKED_CELLS] [REQUESTS]
#include <windows.h>
#include <dde.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "ServerClient.h"

using namespace wbs_test;

#include "BenchClock.h"

namespace {

using benchclock::Now;

// ---- the bare echo server ------------------------------------------------------------------

HWND gEchoConv = nullptr;
HWND gEchoClient = nullptr;

LRESULT CALLBACK EchoProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_DDE_INITIATE: {
      char app[64] = {0};
      GlobalGetAtomNameA(LOWORD(lp), app, sizeof app);
      if (_stricmp(app, "WbsBenchEcho") != 0) return 0;
      gEchoClient = reinterpret_cast<HWND>(wp);
      SendMessageA(gEchoClient, WM_DDE_ACK, reinterpret_cast<WPARAM>(w),
                   MAKELPARAM(GlobalAddAtomA("WbsBenchEcho"), GlobalAddAtomA("echo")));
      return 0;
    }
    case WM_DDE_REQUEST: {
      UINT_PTR cf, item;
      UnpackDDElParam(msg, lp, &cf, &item);
      FreeDDElParam(msg, lp);
      HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, sizeof(DDEDATA) + 4);
      auto* d = static_cast<DDEDATA*>(GlobalLock(h));
      std::memset(d, 0, sizeof *d);
      d->fResponse = 1;
      d->fRelease = 1;
      d->cfFormat = CF_TEXT;
      std::memcpy(d->Value, "x\r\n", 4);
      GlobalUnlock(h);
      if (PostMessageA(reinterpret_cast<HWND>(wp), WM_DDE_DATA, reinterpret_cast<WPARAM>(w),
                       PackDDElParam(WM_DDE_DATA, reinterpret_cast<UINT_PTR>(h), item))) {
        if (OnWine()) GlobalFree(h);
      } else {
        GlobalFree(h);
      }
      return 0;
    }
    case WM_DDE_TERMINATE:
      PostMessageA(reinterpret_cast<HWND>(wp), WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(w), 0);
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(w, msg, wp, lp);
}

int RunEcho() {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = EchoProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "WbsBenchEcho";
  RegisterClassA(&wc);
  HWND w = CreateWindowExA(0, "WbsBenchEcho", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
  if (!w) return 1;
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, "WbsBenchEchoReady");
  if (ready) {
    SetEvent(ready);
    CloseHandle(ready);
  }
  SetTimer(w, 1, 120000, nullptr);  // never outlives a lost client by long
  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0) > 0) {
    if (m.message == WM_TIMER) break;
    DispatchMessageA(&m);
  }
  return 0;
}

double RoundTrips(DdeClient& c, const std::string& item, int n, int& failures) {
  const double t0 = Now();
  for (int i = 0; i < n; ++i)
    if (!c.Request(item)) ++failures;
  return n / (Now() - t0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--echo") return RunEcho();
  const int cells = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
  const int requests = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2000;
  int failures = 0;

  // Baseline: a bare echo window in a process of its own.
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "WbsBenchEchoReady");
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string cmd = std::string("\"") + self + "\" --echo";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    std::fprintf(stderr, "excel_bench: cannot start the echo server\n");
    return 1;
  }
  WaitForSingleObject(ready, 20000);
  double bare = 0;
  {
    DdeClient echo;
    if (!echo.Connect("WbsBenchEcho", "echo")) {
      std::fprintf(stderr, "excel_bench: the echo server does not answer\n");
      return 1;
    }
    RoundTrips(echo, "R1C1", 200, failures);  // warm-up
    bare = RoundTrips(echo, "R1C1", requests, failures);
    echo.Terminate();
  }
  WaitForSingleObject(pi.hProcess, 5000);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);

  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  double requestRate = 0, updateRate = 0;
  try {
    ComPtr<IDispatch> app = NewExcel();
    Put(app.Get(), "DisplayAlerts", Variant(false));
    const std::string dir = ScratchFolder("wbs-bench");
    std::ofstream(dir + "Bench.csv", std::ios::binary) << "1\r\n";
    ComPtr<IDispatch> wb = Obj(Call(Obj(Get(app.Get(), "Workbooks")).Get(), "Open", {Variant(W(dir + "Bench.csv"))}));
    ComPtr<IDispatch> ws = Obj(Get(Obj(Get(wb.Get(), "Worksheets")).Get(), "Item", {Variant(1)}));
    const std::wstring range = L"B1:B" + std::to_wstring(cells);
    std::printf("excel_bench: filling %d formula cells...\n", cells);
    std::fflush(stdout);
    Put(Obj(Get(ws.Get(), "Range", {Variant(reinterpret_cast<const OLECHAR*>(range.c_str()))})).Get(), "Formula",
        Variant(L"=$A$1"));

    DdeClient c;
    if (!c.Connect("Excel", "Bench")) throw std::runtime_error("no DDE conversation with Excel|Bench");
    RoundTrips(c, "R1C2", 200, failures);
    requestRate = RoundTrips(c, "R1C2", requests, failures);

    std::printf("excel_bench: linking %d cells...\n", cells);
    std::fflush(stdout);
    for (int r = 1; r <= cells; ++r)
      if (!c.Advise("R" + std::to_string(r) + "C2")) ++failures;
    double best = 0;
    for (int round = 0; round < 3; ++round) {
      const double t0 = Now();
      if (!c.Poke("R1C1", std::to_string(100 + round))) ++failures;
      int got = 0;
      while (got < cells) {
        auto a = c.NextAdvise(10000);
        if (!a) {
          ++failures;
          break;
        }
        if (a->second == std::to_string(100 + round)) ++got;
      }
      const double rate = got / (Now() - t0);
      std::printf("excel_bench: round %d: %d hot-link updates at %.0f/s\n", round + 1, got, rate);
      best = std::max(best, rate);
    }
    updateRate = best;
    c.Terminate();
    Call(app.Get(), "Quit");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "excel_bench: %s\n", e.what());
    CoUninitialize();
    return 1;
  }
  CoUninitialize();

  std::printf("bare DDE round trip (REQUEST->DATA, echo process): %.0f/s (%.3f ms)\n", bare, 1000.0 / bare);
  std::printf("WorkbookServer request round trip:                 %.0f/s (%.3f ms)  ratio %.2f bare round trips\n",
              requestRate, 1000.0 / requestRate, bare / requestRate);
  std::printf("WorkbookServer hot-link update (%d cells):       %.0f/s (%.3f ms)  ratio %.2f bare round trips\n",
              cells, updateRate, 1000.0 / updateRate, bare / updateRate);
  if (failures) std::printf("failures: %d\n", failures);
  return failures ? 2 : 0;
}
