#include "DdemlTestKit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace ddetest {

Recorder gRec;

const DdemlApi& Api() {
#ifdef DDEML_SUITE_PLATFORM
  return PlatformDdeml();
#else
  return OurDdeml();
#endif
}

bool IsPlatformRun() {
#ifdef DDEML_SUITE_PLATFORM
  return true;
#else
  return false;
#endif
}

bool UnderWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

bool Expected(WineFault) { return IsPlatformRun() && UnderWine(); }

const char* Name(WineFault f) {
  switch (f) {
    case WineFault::SyncWhileAdvising: return "synchronous replies taken from advise traffic";
    case WineFault::AsyncCompletion: return "asynchronous transactions not completed exactly once";
    case WineFault::RefusedPoke: return "refused poke reported as success";
    case WineFault::NoDisconnect: return "XTYP_DISCONNECT never delivered";
    case WineFault::NoReconnect: return "DdeReconnect fails";
    case WineFault::ConnectListStub: return "DdeConnectList establishes nothing";
    case WineFault::StringHandleCounts: return "repeated string handles not reference counted";
    case WineFault::BusyNotReported: return "busy answer not reported as DMLERR_BUSY";
    case WineFault::AbandonIgnored: return "abandoned transactions still complete";
    case WineFault::NoReentrancyCheck: return "nested synchronous transaction not refused";
    case WineFault::StrayMessagesShiftReplies: return "stray messages taken as the next reply";
    case WineFault::NoConnectAfterTerminate: return "no new conversation after a server ended one";
    case WineFault::ConvInfoIgnoresId: return "DdeQueryConvInfo ignores the transaction identifier";
  }
  return "?";
}

Verdict::Verdict(WineFault f) : fault_(f), expected_(Expected(f)) {}

Verdict::~Verdict() {
  if (expected_) EXPECT_GT(failed_, 0) << "Wine's DDEML no longer shows: " << Name(fault_);
}

bool Verdict::Check(bool ok, const char* what) {
  if (!ok) failed_++;
  if (!expected_) EXPECT_TRUE(ok) << what;
  return ok;
}

std::string UniqueName(const std::string& tag) {
  static int n = 0;
  return "DdeT" + std::to_string(GetCurrentProcessId()) + tag + std::to_string(++n);
}

TestServer::TestServer(const std::string& service, const std::string& topics, int lifetimeSeconds)
    : service_(service) {
  // A server that does not start says why on the test's output: the test itself only sees ok().
  auto fail = [&](const std::string& why) {
    std::fprintf(stderr, "DdeTestServer %s did not start: %s\n", service_.c_str(), why.c_str());
  };
  const char* bin = std::getenv("TESSAREL_BIN_DIR");
  if (!bin) {
    fail("TESSAREL_BIN_DIR is not set");
    return;
  }
  std::string exe = std::string("Z:") + bin + "/DdeTestServer.exe";
  for (auto& c : exe)
    if (c == '/') c = '\\';
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, ("DdeTestServerReady." + service).c_str());
  std::string cmd = "\"" + exe + "\" " + service + " " + topics + " " + std::to_string(lifetimeSeconds);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  DWORD start = GetTickCount();
  if (!CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi_)) {
    fail("CreateProcess failed with error " + std::to_string(GetLastError()) + " after " +
         std::to_string(GetTickCount() - start) + " ms");
    if (ready) CloseHandle(ready);
    return;
  }
  // Keep our messages flowing while it starts: its announcement is a sent broadcast.
  while (GetTickCount() - start < 15000) {
    if (WaitForSingleObject(ready, 0) == WAIT_OBJECT_0) {
      ok_ = true;
      break;
    }
    if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_OBJECT_0) break;
    Pump(10);
  }
  if (ready) CloseHandle(ready);
  if (ok_) return;
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(pi_.hProcess, &code);
  char what[96];
  if (code == STILL_ACTIVE)
    std::snprintf(what, sizeof what, "not ready after %lu ms", GetTickCount() - start);
  else
    std::snprintf(what, sizeof what, "it ended with code 0x%08lx after %lu ms", code, GetTickCount() - start);
  fail(what);
}

TestServer::~TestServer() {
  if (pi_.hProcess) {
    TerminateProcess(pi_.hProcess, 0);
    WaitForSingleObject(pi_.hProcess, 5000);
    CloseHandle(pi_.hProcess);
    CloseHandle(pi_.hThread);
  }
}

void TestServer::Kill() {
  if (pi_.hProcess) {
    TerminateProcess(pi_.hProcess, 9);
    WaitForSingleObject(pi_.hProcess, 5000);
  }
}

bool TestServer::WaitExit(DWORD ms) {
  return PumpUntil([&] { return WaitForSingleObject(pi_.hProcess, 0) == WAIT_OBJECT_0; }, ms);
}

size_t Recorder::Count(UINT type) const {
  size_t n = 0;
  for (auto& e : events) n += e.type == type;
  return n;
}

std::string Text(HDDEDATA h) {
  if (!h) return "<none>";
  DWORD n = Api().DdeGetData(h, nullptr, 0, 0);
  std::string s(n, '\0');
  if (n) Api().DdeGetData(h, (LPBYTE)s.data(), n, 0);
  size_t z = s.find('\0');
  if (z != std::string::npos) s.resize(z);
  return s;
}

std::string HszText(DWORD inst, HSZ h) {
  char b[300] = {0};
  if (!h) return "";
  DWORD n = Api().DdeQueryStringA(inst, h, b, sizeof b, CP_WINANSI);
  return std::string(b, n);
}

HDDEDATA CALLBACK RecordingCallback(UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA hData,
                                    ULONG_PTR d1, ULONG_PTR d2) {
  Event e;
  e.type = type;
  e.fmt = fmt;
  e.conv = conv;
  e.s1 = HszText(gRec.inst, hsz1);
  e.s2 = HszText(gRec.inst, hsz2);
  bool realData = hData && hData != (HDDEDATA)TRUE;
  e.hasData = realData;
  if (realData) e.data = Text(hData);
  e.d1 = d1;
  e.d2 = d2;
  e.duringSync = gRec.inSync > 0;
  if (type == XTYP_ADVDATA) {
    gRec.advData++;
    if (e.duringSync) gRec.advDuringSync++;
  }
  if (gRec.keepEvents || type != XTYP_ADVDATA) gRec.events.push_back(e);
  if (gRec.hook) return gRec.hook(e, hsz1, hsz2, hData);
  return type == XTYP_ADVDATA ? (HDDEDATA)DDE_FACK : nullptr;
}

bool PumpUntil(const std::function<bool()>& pred, DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
      if (pred()) return true;
    }
    if (pred()) return true;
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= ms) return pred();
    MsgWaitForMultipleObjectsEx(0, nullptr, std::min<DWORD>(ms - elapsed, 20), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
}

void Pump(DWORD ms) { PumpUntil([] { return false; }, ms); }

static BOOL CALLBACK CountOne(HWND, LPARAM lp) {
  ++*(long*)lp;
  return TRUE;
}

long ThreadWindowCount() {
  long n = 0;
  EnumThreadWindows(GetCurrentThreadId(), CountOne, (LPARAM)&n);
  for (HWND w = nullptr; (w = FindWindowExA(HWND_MESSAGE, w, nullptr, nullptr));)
    if (GetWindowThreadProcessId(w, nullptr) == GetCurrentThreadId()) n++;
  return n;
}

}  // namespace ddetest
