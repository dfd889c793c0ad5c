// SimServer.exe: the simulation OPC DA server (both personalities in one process).
//   SimServer /regserver | /unregserver
//   SimServer [-Embedding] [--shutdown-after SECONDS] [--shutdown-reason TEXT]
//             [--early-completion] [--tick-ms MS] [--linger-ms MS] [--idle-exit-ms MS]
//             [--seed N] [--bulk N]
// --shutdown-after asks every client to disconnect (IOPCShutdown) that many seconds after the
// server started serving; new clients then start a fresh server. --early-completion makes the
// DA 1.0 personality send its asynchronous completions before the call that started them
// returns. --bulk N adds Bulk.0001 .. Bulk.N, which all take a new value every second (see
// SimBulk.h). The program prints "ready" once clients may connect, and ends lingerMs after its last
// client has gone (or idleExitMs after its start when no client ever came).
#include <windows.h>
#include <objbase.h>

#include "EarlyCompletion.h"
#include "SimBulk.h"
#include "SimServer.h"

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>

using namespace opc_sim;

namespace {

struct Options {
  bool reg = false, unreg = false, early = false;
  long shutdownAfterS = 0;
  std::wstring shutdownReason = L"The simulation server is shutting down";
  long tickMs = 250, lingerMs = 2000, idleExitMs = 30000;
  unsigned long seed = 0;
  long bulk = 0;
};

int Usage(const std::wstring& why) {
  fwprintf(stderr,
           L"SimServer: %ls\n"
           L"usage: SimServer /regserver | /unregserver\n"
           L"       SimServer [-Embedding] [--shutdown-after SECONDS] [--shutdown-reason TEXT]\n"
           L"                 [--early-completion] [--tick-ms MS] [--linger-ms MS]\n"
           L"                 [--idle-exit-ms MS] [--seed N] [--bulk N]\n",
           why.c_str());
  return 2;
}

bool Number(const wchar_t* s, long low, long high, long& out) {
  if (!s || !*s) return false;
  wchar_t* end = nullptr;
  long v = wcstol(s, &end, 10);
  if (*end || v < low || v > high) return false;
  out = v;
  return true;
}

struct Server {
  Options opt;
  SimPersonality da20;
  SimPersonality da10;
  std::unique_ptr<BulkItems> bulk20, bulk10;
  IClassFactory* earlyFactory = nullptr;
  DWORD earlyCookie = 0;
  DWORD startTick = 0;
  bool everConnected = false, stopped = false;
  bool retired = false;  // --shutdown-after passed: never serves new clients again
  UINT_PTR lingerTimer = 0;
  std::wstring pendingReason;

  Server(const Options& o)
      : opt(o), da20(false, o.seed ? o.seed : GetTickCount()),
        da10(true, (o.seed ? o.seed : GetTickCount()) + 1) {}

  long Clients() { return da20.Toolkit().ClientCount() + da10.Toolkit().ClientCount(); }

  HRESULT Start() {
    HRESULT hr = da20.Populate();
    if (SUCCEEDED(hr)) hr = da10.Populate();
    if (SUCCEEDED(hr) && opt.bulk > 0) {
      bulk20 = std::make_unique<BulkItems>(da20.Toolkit().ServedTags(), opt.bulk);
      bulk10 = std::make_unique<BulkItems>(da10.Toolkit().ServedTags(), opt.bulk);
      hr = bulk20->Populate();
      if (SUCCEEDED(hr)) hr = bulk10->Populate();
    }
    if (FAILED(hr)) return hr;
    hr = Serve();
    startTick = GetTickCount();
    return hr;
  }

  // The class objects registered (again, after Stop).
  HRESULT Serve() {
    HRESULT hr = da20.Toolkit().StartServing();
    if (FAILED(hr)) return hr;
    if (opt.early) {
      if (!earlyFactory) earlyFactory = CreateEarlyCompletionFactory(da10.Toolkit());
      if (!earlyFactory) return E_OUTOFMEMORY;
      hr = CoRegisterClassObject(CLSID_SimServerDA10, earlyFactory, CLSCTX_LOCAL_SERVER,
                                 REGCLS_MULTIPLEUSE, &earlyCookie);
    } else {
      hr = da10.Toolkit().StartServing();
    }
    return hr;
  }

  void Stop() {
    if (stopped) return;
    stopped = true;
    da20.Toolkit().StopServing();
    if (earlyCookie) CoRevokeClassObject(earlyCookie);
    earlyCookie = 0;
    if (!opt.early) da10.Toolkit().StopServing();
  }

  ~Server() {
    Stop();
    if (earlyFactory) earlyFactory->Release();
  }
};

Server* g_server = nullptr;

void CALLBACK OnTick(HWND, UINT, UINT_PTR, DWORD) {
  // No exception may leave a timer callback: a step that fails is skipped.
  try {
    double elapsed = (GetTickCount() - g_server->startTick) / 1000.0;
    g_server->da20.Items().Tick(elapsed);
    g_server->da10.Items().Tick(elapsed);
  } catch (...) {
  }
}

void CALLBACK OnBulkStep(HWND, UINT, UINT_PTR, DWORD) {
  try {
    if (g_server->bulk20) g_server->bulk20->Step();
    if (g_server->bulk10) g_server->bulk10->Step();
  } catch (...) {
  }
}

// A moment between withdrawing the class objects and leaving, for an activation already under
// way (a client that got a class object just before): quitting while still registered failed
// such a client. A client that arrives meanwhile keeps the server serving.
constexpr DWORD kLeaveGraceMs = 1000;

void CALLBACK OnLeave(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  if (g_server->Clients() == 0) {
    PostQuitMessage(0);
    return;
  }
  if (g_server->retired) return;  // the clients it has were asked to leave
  g_server->stopped = false;
  if (FAILED(g_server->Serve())) PostQuitMessage(1);
}

void CALLBACK OnLinger(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  g_server->lingerTimer = 0;
  if (g_server->Clients() != 0) return;
  g_server->Stop();
  SetTimer(nullptr, 0, kLeaveGraceMs, &OnLeave);
}

void CALLBACK OnIdle(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  if (!g_server->everConnected && g_server->Clients() == 0) PostQuitMessage(0);
}

void AskClientsToLeave(const std::wstring& reason) noexcept {
  g_server->da20.Toolkit().RequestClientShutdown(reason.c_str());
  g_server->da10.Toolkit().RequestClientShutdown(reason.c_str());
}

void CALLBACK OnShutdownAfter(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  // From now on a new client starts a fresh server; the ones we have are asked to go.
  g_server->retired = true;
  g_server->Stop();
  AskClientsToLeave(g_server->opt.shutdownReason);
  if (g_server->Clients() == 0) PostQuitMessage(0);
}

void CALLBACK OnShutdownWritten(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  try {
    std::wstring reason = g_server->pendingReason;
    AskClientsToLeave(reason);
  } catch (...) {
  }
}

void ClientsChanged(long) {
  if (g_server->Clients() > 0) {
    g_server->everConnected = true;
    return;
  }
  if (!g_server->lingerTimer)
    g_server->lingerTimer =
        SetTimer(nullptr, 0, static_cast<UINT>(g_server->opt.lingerMs), &OnLinger);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::wstring a = argv[i];
    const wchar_t* next = i + 1 < argc ? argv[i + 1] : nullptr;
    long n = 0;
    if (_wcsicmp(a.c_str(), L"/regserver") == 0 || _wcsicmp(a.c_str(), L"-regserver") == 0) {
      opt.reg = true;
    } else if (_wcsicmp(a.c_str(), L"/unregserver") == 0 ||
               _wcsicmp(a.c_str(), L"-unregserver") == 0) {
      opt.unreg = true;
    } else if (_wcsicmp(a.c_str(), L"-Embedding") == 0 || _wcsicmp(a.c_str(), L"/Embedding") == 0) {
      // COM's launch: nothing more to do than serve.
    } else if (a == L"--early-completion") {
      opt.early = true;
    } else if (a == L"--shutdown-after") {
      if (!Number(next, 1, 86400, n)) return Usage(L"--shutdown-after needs 1..86400 seconds");
      opt.shutdownAfterS = n;
      ++i;
    } else if (a == L"--shutdown-reason") {
      if (!next) return Usage(L"--shutdown-reason needs a text");
      opt.shutdownReason = next;
      ++i;
    } else if (a == L"--tick-ms") {
      if (!Number(next, 10, 60000, n)) return Usage(L"--tick-ms needs 10..60000");
      opt.tickMs = n;
      ++i;
    } else if (a == L"--linger-ms") {
      if (!Number(next, 0, 600000, n)) return Usage(L"--linger-ms needs 0..600000");
      opt.lingerMs = n;
      ++i;
    } else if (a == L"--idle-exit-ms") {
      if (!Number(next, 100, 3600000, n)) return Usage(L"--idle-exit-ms needs 100..3600000");
      opt.idleExitMs = n;
      ++i;
    } else if (a == L"--seed") {
      if (!Number(next, 1, 0x7FFFFFFF, n)) return Usage(L"--seed needs a positive number");
      opt.seed = static_cast<unsigned long>(n);
      ++i;
    } else if (a == L"--bulk") {
      if (!Number(next, 1, 100000, n)) return Usage(L"--bulk needs 1..100000 items");
      opt.bulk = n;
      ++i;
    } else {
      return Usage(L"unknown argument '" + a + L"'");
    }
  }
  if (FAILED(CoInitialize(nullptr))) {
    fwprintf(stderr, L"SimServer: COM is not available\n");
    return 1;
  }
  int code = 0;
  if (opt.reg || opt.unreg) {
    HRESULT hr = RegisterSimServer(opt.reg);
    if (FAILED(hr)) {
      fwprintf(stderr, L"SimServer: %ls failed: 0x%08lX\n",
               opt.reg ? L"registration" : L"unregistration", static_cast<unsigned long>(hr));
      code = 1;
    }
    CoUninitialize();
    return code;
  }
  {
    Server server(opt);
    g_server = &server;
    server.da20.onClientsChanged = ClientsChanged;
    server.da10.onClientsChanged = ClientsChanged;
    auto onShutdownWrite = [](const std::wstring& reason) {
      g_server->pendingReason = reason;
      // Asked from the loop, not inside the client's own write call.
      SetTimer(nullptr, 0, 10, &OnShutdownWritten);
    };
    server.da20.onShutdownWrite = onShutdownWrite;
    server.da10.onShutdownWrite = onShutdownWrite;
    HRESULT hr = server.Start();
    if (FAILED(hr)) {
      fwprintf(stderr, L"SimServer: cannot serve: 0x%08lX\n", static_cast<unsigned long>(hr));
      code = 1;
    } else {
      fputs("ready\n", stdout);
      fflush(stdout);
      SetTimer(nullptr, 0, static_cast<UINT>(opt.tickMs), &OnTick);
      if (opt.bulk > 0) SetTimer(nullptr, 0, 1000, &OnBulkStep);
      SetTimer(nullptr, 0, static_cast<UINT>(opt.idleExitMs), &OnIdle);
      if (opt.shutdownAfterS > 0)
        SetTimer(nullptr, 0, static_cast<UINT>(opt.shutdownAfterS * 1000), &OnShutdownAfter);
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      code = static_cast<int>(msg.wParam);
    }
    server.Stop();
    g_server = nullptr;
  }
  CoUninitialize();
  return code;
}
