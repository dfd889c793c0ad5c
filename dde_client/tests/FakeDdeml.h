// A recording DDEML for the control's unit tests: it answers through the same seam table as the
// real ones, records every call with its arguments, keeps string and data handles with
// reference counts (so leaks show), and lets a test deliver the callbacks DDEML would make.
#pragma once

#include <windows.h>
#include <ddeml.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ddeml_ours/DdemlApi.h"

namespace fake {

struct Call {
  std::string fn;          // "DdeClientTransaction", "DdeConnect", ...
  UINT type = 0;           // transaction type
  UINT fmt = 0;
  std::string item;        // name of the item (or service) handle
  std::string topic;       // DdeConnect's topic name
  std::vector<BYTE> data;  // bytes sent
  DWORD timeout = 0;
  HCONV conv = nullptr;
  bool withContext = false;
  CONVCONTEXT context{};
};

struct Script {
  bool initializeFails = false;
  bool uninitializeFails = false;
  bool connectFails = false;
  bool transactionFails = false;     // every DdeClientTransaction returns 0
  UINT failingType = 0;              // ... or only those of this base type (XTYP_POKE ...)
  bool disconnectFails = false;
  bool abandonFails = false;
  HCONV reconnectResult = nullptr;   // DdeReconnect's answer
  UINT errorAfterFailure = DMLERR_NO_CONV_ESTABLISHED;  // what DdeGetLastError reports next
  std::vector<BYTE> requestReply = {'4', '2', '\r', '\n', 0};
  // Servers answering DdeConnectList: service and topic names.
  std::vector<std::pair<std::string, std::string>> servers;
  // Run inside a synchronous transaction, before it returns (to deliver re-entrant callbacks).
  std::function<void(const Call&)> duringTransaction;
};

struct State {
  PFNCALLBACK callback = nullptr;
  DWORD idInst = 0;
  std::vector<Call> calls;
  Script script;
  UINT lastError = 0;
  std::map<int, std::pair<std::string, int>> strings;  // handle -> name, references
  int nextString = 0x100;
  long liveData = 0;
  int nextConv = 0x1000;
  DWORD nextTransaction = 0x500;
  std::vector<HCONV> listConvs;
  int nextListConv = 0x9000;  // every enumeration gets conversations of its own, as DDEML's do
  int syncDepth = 0;          // synchronous transactions waiting (a nested one is refused)
};

State& S();
const DdemlApi& Api();
// Fresh state (and a fresh script); the seam keeps pointing at the fake.
void Reset();

// Test-side helpers (not recorded as calls).
HSZ StringOf(const std::string& name);  // the handle of a name the control created, or 0
std::string NameOf(HSZ h);
int References(HSZ h);
long LiveStrings();  // sum of references held
HSZ AddString(const std::string& name);  // a handle DDEML itself would hold (one reference)
HDDEDATA MakeData(const std::vector<BYTE>& bytes);
HDDEDATA MakeText(const std::string& text);  // text + NUL
void FreeData(HDDEDATA h);
// Delivers one callback the way DDEML would; returns what the control answered.
HDDEDATA Deliver(UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data,
                 ULONG_PTR data1 = 0, ULONG_PTR data2 = 0);
// The calls of one function (or of DdeClientTransaction with one type).
std::vector<Call> CallsOf(const std::string& fn);
std::vector<Call> Transactions(UINT type);

}  // namespace fake
