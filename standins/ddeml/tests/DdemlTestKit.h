// Shared pieces of the DDEML tests: the DDEML under test, the test server process, a recording
// callback, message pumping and resource counting.
//
// The suite is built twice: against our DDEML (ddeml_tests) and against user32's
// (ddeml_platform_tests, DDEML_SUITE_PLATFORM). Faults of Wine's DDEML that the platform run is
// known to show are named per case (WineFault); under Wine the platform run asserts that the
// fault is still there, so a Wine that fixes it is noticed, and on Windows it asserts the right
// behaviour.
#pragma once

#include <windows.h>
#include <ddeml.h>

#include <functional>
#include <string>
#include <vector>

#include "ddeml_ours/DdemlApi.h"

namespace ddetest {

const DdemlApi& Api();
bool IsPlatformRun();
bool UnderWine();

// Faults of Wine's DDEML seen by this suite (DESIGN.md §2 lists them).
enum class WineFault {
  SyncWhileAdvising,  // a synchronous reply is taken from advise traffic: wrong answers
  AsyncCompletion,    // asynchronous transactions are not each completed exactly once
  RefusedPoke,        // a poke the server refuses is reported as success
  NoDisconnect,       // XTYP_DISCONNECT is never delivered
  NoReconnect,        // DdeReconnect fails
  ConnectListStub,    // DdeConnectList establishes nothing
  StringHandleCounts, // repeated creates of one name are not counted: the first free ends it
  BusyNotReported,    // a busy answer is reported as DMLERR_NOTPROCESSED, not DMLERR_BUSY
  AbandonIgnored,     // an abandoned transaction still completes; unknown ids "abandon" fine
  NoReentrancyCheck,  // a synchronous transaction inside another's wait is not refused
  ConvInfoIgnoresId,  // DdeQueryConvInfo ignores the transaction identifier
  NoConnectAfterTerminate,
  StrayMessagesShiftReplies,  // an ACK or answer nobody waits for is taken as the next reply  // after a server ended a conversation, that topic cannot be reached again
};
// True when this run is the platform's DDEML under Wine and the case is known to fail there.
bool Expected(WineFault f);
const char* Name(WineFault f);

// Collects the checks of a case. Normally each one is an expectation. For a case Wine's DDEML is
// known to fail, the case must show at least one failed check, or the fault is gone.
class Verdict {
 public:
  explicit Verdict(WineFault f);
  ~Verdict();
  bool Check(bool ok, const char* what);
  bool faultExpected() const { return expected_; }

 private:
  WineFault fault_;
  bool expected_;
  int failed_ = 0;
};

std::string UniqueName(const std::string& tag);

class TestServer {
 public:
  TestServer(const std::string& service, const std::string& topics, int lifetimeSeconds = 120);
  ~TestServer();
  bool ok() const { return ok_; }
  void Kill();           // ends the process without any DDE goodbye
  bool WaitExit(DWORD ms);
  const std::string& service() const { return service_; }

 private:
  std::string service_;
  PROCESS_INFORMATION pi_{};
  bool ok_ = false;
};

struct Event {
  UINT type = 0;
  UINT fmt = 0;
  HCONV conv = nullptr;
  std::string s1, s2;
  bool hasData = false;
  std::string data;  // text up to the first NUL
  ULONG_PTR d1 = 0, d2 = 0;
  bool duringSync = false;
};

using Hook = std::function<HDDEDATA(const Event&, HSZ hsz1, HSZ hsz2, HDDEDATA hData)>;

struct Recorder {
  DWORD inst = 0;
  std::vector<Event> events;
  Hook hook;
  int inSync = 0;
  bool keepEvents = true;
  long advData = 0;
  long advDuringSync = 0;
  size_t Count(UINT type) const;
};
extern Recorder gRec;

HDDEDATA CALLBACK RecordingCallback(UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA hData,
                                    ULONG_PTR d1, ULONG_PTR d2);

// Dispatches messages until pred() holds or ms pass; returns pred().
bool PumpUntil(const std::function<bool()>& pred, DWORD ms);
void Pump(DWORD ms);

std::string Text(HDDEDATA h);
std::string HszText(DWORD inst, HSZ h);

// Windows of this thread, top-level and message-only.
long ThreadWindowCount();

}  // namespace ddetest
