// Where Tessarel's DDE start-up spends its time per tag, in this one process against DdeTestServer
// (any item answers a request and takes an advise): the bare DDEML round trips, the same requests
// and advise starts through the Corvex control called by member names (GetIDsOfNames + Invoke,
// the collection and the conversation looked up on every call) and through Tessarel's
// CorvexControl, one log line as the event log writes it and its parts, DdeLink's own work over
// a DDE side that answers at once, and the whole of DdeLink's set-up of a sheet as Tessarel runs
// it (control, log file, served tags). Needs the build registered (Corvane.ocx).
//
//   ddelink_steps.exe [--tags N] [--rounds R]      (defaults 2000 and 5)
//
// Each round runs every part once, in an order that turns round by round, so no part always
// follows the same one. Prints microseconds per tag (medians of the rounds) and each part's
// ratio to the bare round trips.
#include <windows.h>
#include <ddeml.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <Corvane.h>

#include "BenchClock.h"
#include "common/Dispatch.h"
#include "common/Strings.h"
#include "common/Variant.h"
#include "core/EventLog.h"
#include "core/ServerTagDatabase.h"
#include "core/Win32Platform.h"
#include "ddeml_ours/DdemlApi.h"
#include "excel/CorvexControl.h"
#include "excel/DdeLink.h"
#include "excel/PlatformLocale.h"
#include "excel/ToolkitHost.h"

namespace {

using benchclock::Now;
using common::ComPtr;
using common::Variant;

const char* kService = "StepBench";
const char* kTopic = "Sheet1";
const CLSID kClsidCorvex = {0x060A26E6, 0x75AB, 0x4B55, {0xA6, 0x6B, 0xE2, 0x73, 0xAA, 0xD0, 0x56, 0x9B}};

std::string Cell(long i) { return "R" + std::to_string(i) + "C2"; }

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Every cell a number, as the start-up benchmark's workbook has them ("<i>.25").
bool FillCells(long n) {
  const DdemlApi& d = OurDdeml();
  DWORD inst = 0;
  if (d.DdeInitializeA(&inst, [](UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) -> HDDEDATA {
        return nullptr;
      }, APPCMD_CLIENTONLY, 0))
    return false;
  HSZ s = d.DdeCreateStringHandleA(inst, kService, CP_WINANSI);
  HSZ t = d.DdeCreateStringHandleA(inst, kTopic, CP_WINANSI);
  HCONV c = d.DdeConnect(inst, s, t, nullptr);
  bool ok = c != nullptr;
  for (long i = 1; ok && i <= n; ++i) {
    std::string v = std::to_string(i) + ".25";
    HSZ h = d.DdeCreateStringHandleA(inst, Cell(i).c_str(), CP_WINANSI);
    ok = d.DdeClientTransaction(reinterpret_cast<LPBYTE>(v.data()), static_cast<DWORD>(v.size() + 1), c, h,
                                CF_TEXT, XTYP_POKE, 1000, nullptr) != nullptr;
    d.DdeFreeStringHandle(inst, h);
  }
  if (c) d.DdeDisconnect(c);
  d.DdeFreeStringHandle(inst, s);
  d.DdeFreeStringHandle(inst, t);
  d.DdeUninitialize(inst);
  return ok;
}

// ---- bare ------------------------------------------------------------------------------------

// Every request, then every advise start, straight on our DDEML (the item's handle made and
// freed per call, as the control does); the advises are stopped after the clock stops.
double Bare(long n, long& failures) {
  const DdemlApi& d = OurDdeml();
  DWORD inst = 0;
  if (d.DdeInitializeA(&inst, [](UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) -> HDDEDATA {
        return nullptr;
      }, APPCMD_CLIENTONLY, 0)) {
    failures += n;
    return 0;
  }
  HSZ s = d.DdeCreateStringHandleA(inst, kService, CP_WINANSI);
  HSZ t = d.DdeCreateStringHandleA(inst, kTopic, CP_WINANSI);
  HCONV c = d.DdeConnect(inst, s, t, nullptr);
  auto transact = [&](long i, UINT type) {
    HSZ h = d.DdeCreateStringHandleA(inst, Cell(i).c_str(), CP_WINANSI);
    HDDEDATA r = d.DdeClientTransaction(nullptr, 0, c, h, CF_TEXT, type, 1000, nullptr);
    d.DdeFreeStringHandle(inst, h);
    return r;
  };
  const double t0 = Now();
  for (long i = 1; c && i <= n; ++i) {
    HDDEDATA r = transact(i, XTYP_REQUEST);
    if (!r) {
      ++failures;
      continue;
    }
    DWORD size = 0;
    LPBYTE p = d.DdeAccessData(r, &size);
    std::string text = p ? std::string(reinterpret_cast<const char*>(p), size) : std::string();
    if (p) d.DdeUnaccessData(r);
    d.DdeFreeDataHandle(r);
  }
  for (long i = 1; c && i <= n; ++i)
    if (!transact(i, XTYP_ADVSTART)) ++failures;
  const double took = Now() - t0;
  for (long i = 1; c && i <= n; ++i) transact(i, XTYP_ADVSTOP);
  if (!c) failures += n;
  if (c) d.DdeDisconnect(c);
  d.DdeFreeStringHandle(inst, s);
  d.DdeFreeStringHandle(inst, t);
  d.DdeUninitialize(inst);
  return took;
}

// ---- the control by member names ---------------------------------------------------------------

std::string TextOf(const VARIANT& v) {
  return V_VT(&v) == VT_BSTR ? common::WideToAnsi(common::FromOle(V_BSTR(&v))) : std::string();
}
Variant Str(const std::string& s) { return Variant(common::AnsiToWide(s)); }

ComPtr<IDispatch> ByName(IDispatch* ctl, const std::string& key) {
  Variant convs, conv;
  if (FAILED(common::GetProperty(ctl, L"Conversations", convs.Ptr())) || V_VT(convs.Ptr()) != VT_DISPATCH)
    return nullptr;
  if (FAILED(common::GetProperty(V_DISPATCH(convs.Ptr()), L"Conversation", conv.Ptr(), {Str(key)})) ||
      V_VT(conv.Ptr()) != VT_DISPATCH)
    return nullptr;
  return ComPtr<IDispatch>(V_DISPATCH(conv.Ptr()));
}

// The requests and advise starts as Tessarel made them before its calls were bound to the
// control's interfaces: every member found by name, the conversation looked up per call.
double LateBound(long n, long& failures) {
  ComPtr<IDispatch> ctl;
  if (FAILED(CoCreateInstance(kClsidCorvex, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, ctl.PutVoid()))) {
    failures += n;
    return 0;
  }
  Variant ok, key;
  common::CallMethod(ctl.Get(), L"Initialise", {}, ok.Ptr());
  common::CallMethod(ctl.Get(), L"Connect", {Str(kService), Str(kTopic)}, key.Ptr());
  const std::string k = TextOf(*key.Ptr());
  const double t0 = Now();
  for (long i = 1; i <= n; ++i) {
    ComPtr<IDispatch> conv = ByName(ctl.Get(), k);
    Variant data, text;
    if (!conv || FAILED(common::CallMethod(conv.Get(), L"Request",
                                           {Str(Cell(i)), Variant(1000), Variant(1)}, data.Ptr())) ||
        V_VT(data.Ptr()) != VT_DISPATCH ||
        FAILED(common::GetProperty(V_DISPATCH(data.Ptr()), L"DataString", text.Ptr())))
      ++failures;
  }
  for (long i = 1; i <= n; ++i) {
    ComPtr<IDispatch> conv = ByName(ctl.Get(), k);
    Variant loop;
    if (!conv || FAILED(common::CallMethod(conv.Get(), L"StartAdviseLoop",
                                           {Str(Cell(i)), Variant(1000), Variant(1), Variant(false)},
                                           loop.Ptr())))
      ++failures;
  }
  const double took = Now() - t0;
  common::CallMethod(ctl.Get(), L"Uninitialise", {}, ok.Ptr());
  return took;
}

// The same through Tessarel's CorvexControl.
double Tessarels(long n, long& failures) {
  CorvexControl ctl;
  if (!ctl.Create() || !ctl.Initialise()) {
    failures += n;
    return 0;
  }
  const std::string k = ctl.Connect(kService, kTopic);
  const double t0 = Now();
  for (long i = 1; i <= n; ++i)
    if (ctl.Request(k, Cell(i), 1000, 1).failed) ++failures;
  for (long i = 1; i <= n; ++i)
    if (ctl.StartAdviseLoop(k, Cell(i), 1000, 1, false) == DdeLink::kFailed) ++failures;
  const double took = Now() - t0;
  ctl.Uninitialise();
  return took;
}

// The calls a tag costs besides DDE itself, on a live conversation and one data object: the
// conversation found twice (request, advise start), the data's text read, and two calls of a
// member (a property that does no DDE stands in for Request and StartAdviseLoop). By member
// names, then through the interfaces with the conversation looked up each time.
struct CallCosts {
  double byName = 0, byVtable = 0;
};
bool CallsWithoutDde(long n, CallCosts& out) {
  ComPtr<IDispatch> ctl;
  if (FAILED(CoCreateInstance(kClsidCorvex, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, ctl.PutVoid())))
    return false;
  Variant ok, key;
  common::CallMethod(ctl.Get(), L"Initialise", {}, ok.Ptr());
  common::CallMethod(ctl.Get(), L"Connect", {Str(kService), Str(kTopic)}, key.Ptr());
  const std::string k = TextOf(*key.Ptr());
  ComPtr<IDispatch> conv0 = ByName(ctl.Get(), k);
  Variant data;
  if (!conv0 || FAILED(common::CallMethod(conv0.Get(), L"Request", {Str(Cell(1)), Variant(1000), Variant(1)},
                                          data.Ptr())) ||
      V_VT(data.Ptr()) != VT_DISPATCH)
    return false;
  double t0 = Now();
  for (long i = 1; i <= n; ++i) {
    for (int twice = 0; twice < 2; ++twice) {
      ComPtr<IDispatch> conv = ByName(ctl.Get(), k);
      Variant h;
      common::GetProperty(conv.Get(), L"hConv", h.Ptr());
    }
    Variant text;
    common::GetProperty(V_DISPATCH(data.Ptr()), L"DataString", text.Ptr());
  }
  out.byName += Now() - t0;
  ComPtr<ICorvex> c;
  ComPtr<IDDEData> d;
  ctl->QueryInterface(__uuidof(ICorvex), c.PutVoid());
  V_DISPATCH(data.Ptr())->QueryInterface(__uuidof(IDDEData), d.PutVoid());
  if (!c || !d) return false;
  Variant vkey(common::AnsiToWide(k));
  t0 = Now();
  for (long i = 1; i <= n; ++i) {
    for (int twice = 0; twice < 2; ++twice) {
      ComPtr<IConversations> all;
      ComPtr<IConversation> conv;
      c->get_Conversations(all.GetAddressOf());
      all->get_Conversation(vkey, conv.GetAddressOf());
      LONG h = 0;
      conv->get_hConv(&h);
    }
    BSTR text = nullptr;
    d->get_DataString(&text);
    SysFreeString(text);
  }
  out.byVtable += Now() - t0;
  common::CallMethod(ctl.Get(), L"Uninitialise", {}, ok.Ptr());
  return true;
}

// ---- the log line ------------------------------------------------------------------------------

std::string RequestLine(long i) {
  return "DDE Request: C-65540, " + Cell(i) + " (T" + std::to_string(i) + ")";
}

// n lines through the event log as Tessarel sets it up (its clock, the locale's month name).
double LogLines(long n, const std::string& file) {
  EventLog log(&Win32Platform::Now, &Win32Platform::MonthAbbreviation);
  log.SetLogFile(file);
  const double t0 = Now();
  for (long i = 1; i <= n; ++i) log.LogMessage(RequestLine(i));
  return Now() - t0;
}

// Only the file's part: opened, appended and closed per line, line by line in turn through the
// C library (fopen "ab", fwrite, fclose) and through the system's calls (CreateFile for
// appending only, WriteFile, CloseHandle), each side's time summed.
struct FileCosts {
  double library = 0, system = 0;
};
FileCosts FileOnly(long n, const std::string& file) {
  FileCosts c;
  for (long i = 1; i <= n; ++i) {
    std::string line = "09-Dec-2026 04:00:00  " + RequestLine(i) + "\r\n";
    for (int side = 0; side < 2; ++side) {
      const bool library = (side == 0) == (i % 2 == 0);
      const double t0 = Now();
      if (library) {
        if (std::FILE* f = std::fopen(file.c_str(), "ab")) {
          std::fwrite(line.data(), 1, line.size(), f);
          std::fclose(f);
        }
        c.library += Now() - t0;
      } else {
        HANDLE f = CreateFileA(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
          DWORD w = 0;
          WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &w, nullptr);
          CloseHandle(f);
        }
        c.system += Now() - t0;
      }
    }
  }
  return c;
}

// Only the time stamp: the clock, the month's name from the locale, the formatting.
double StampOnly(long n, size_t& sink) {
  const double t0 = Now();
  for (long i = 1; i <= n; ++i) {
    LocalTime now = Win32Platform::Now();
    sink += FormatLogStamp(now, Win32Platform::MonthAbbreviation(now.month)).size();
  }
  return Now() - t0;
}

double MonthOnly(long n, size_t& sink) {
  const double t0 = Now();
  for (long i = 1; i <= n; ++i) sink += Win32Platform::MonthAbbreviation(12).size();
  return Now() - t0;
}

// ---- DdeLink ---------------------------------------------------------------------------------

// A DDE side that answers every call at once.
class InstantDde : public IDdeConversationPort {
 public:
  std::string Connect(const std::string&, const std::string&) override { return "C-65540"; }
  RequestOutcome Request(const std::string&, const std::string&, long, int) override {
    return RequestOutcome{false, "", true, "1.25\r\n"};
  }
  std::string StartAdviseLoop(const std::string&, const std::string& item, long, int, bool) override {
    return "I-" + item;
  }
  bool PokeString(const std::string&, const std::string&, const std::string&, long) override { return true; }
};

struct Tags {
  explicit Tags(long n, const std::string& folder) : file(folder + "\\steps_tags.csv") {
    std::string text = "Tag,Type,Sheet,Cell,Write\r\n";
    for (long i = 1; i <= n; ++i) text += "T" + std::to_string(i) + ",R8," + kTopic + "," + Cell(i) + ",n\r\n";
    std::ofstream(file, std::ios::binary) << text;
  }
  std::string file;
};

DdeLinkContext Context(const std::function<void(const std::string&)>& log) {
  DdeLinkContext ctx;
  ctx.log = log;
  ctx.trueText = [] { return std::string("TRUE"); };
  ctx.falseText = [] { return std::string("FALSE"); };
  ctx.localUpdateOnWrite = [] { return false; };
  ctx.autoCalcHoldMs = [] { return 0L; };
  ctx.startTimer = [](AppTimer) {};
  ctx.stopTimer = [](AppTimer) {};
  ctx.getCalculation = [] { return std::optional<long>(-4105); };
  ctx.setCalculation = [](long) { return true; };
  ctx.clientsConnected = [] { return false; };
  ctx.requestClientShutdown = [](const std::string&) {};
  ctx.locale = PlatformConversions();
  return ctx;
}

// DdeLink's set-up of the sheet: with `dde` null its own work only (a DDE side that answers at
// once, log lines dropped), otherwise with Tessarel's control and the log file `logFile`.
double LinkSetup(const Tags& tags, IDdeConversationPort* dde, const std::string& logFile, long& failures) {
  ToolkitHost toolkit;
  ServerTagDatabase db(TagDatabaseContext{
      [](const std::string&) {}, [&failures] { ++failures; }, [] { return std::string(","); },
      [] { return OleDate{46000}; }, [&toolkit]() -> IServedTagsPort* { return &toolkit; },
      [] { return std::optional<long>(-4105); }});
  db.LoadServerDatabase(tags.file);
  EventLog log(&Win32Platform::Now, &Win32Platform::MonthAbbreviation);
  log.SetLogFile(logFile);
  InstantDde instant;
  DdeLink link(db, dde ? *dde : static_cast<IDdeConversationPort&>(instant), toolkit,
               Context(dde ? std::function<void(const std::string&)>(
                                 [&log](const std::string& m) { log.LogMessage(m); })
                           : std::function<void(const std::string&)>([](const std::string&) {})));
  link.CreateAdviseQueue(0);
  const double t0 = Now();
  link.ConnectToDdeServer(kService, kTopic);
  return Now() - t0;
}

double LinkOwn(const Tags& tags, long& failures) { return LinkSetup(tags, nullptr, "", failures); }

double LinkWhole(const Tags& tags, const std::string& logFile, long& failures) {
  CorvexControl ctl;
  if (!ctl.Create() || !ctl.Initialise()) {
    ++failures;
    return 0;
  }
  double took = LinkSetup(tags, &ctl, logFile, failures);
  ctl.Uninitialise();
  return took;
}

const char* Arg(int argc, char** argv, const char* name, const char* def) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == name) return argv[i + 1];
  return def;
}

}  // namespace

int main(int argc, char** argv) {
  const long n = std::max(10L, std::atol(Arg(argc, argv, "--tags", "2000")));
  const int rounds = std::max(1, std::atoi(Arg(argc, argv, "--rounds", "5")));
  CoInitialize(nullptr);
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string dir(self);
  dir = dir.substr(0, dir.find_last_of("\\/"));
  std::string cmd = "\"" + dir + "\\DdeTestServer.exe\" " + kService + " " + kTopic + " 1800";
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, (std::string("DdeTestServerReady.") + kService).c_str());
  STARTUPINFOA si = {sizeof si};
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) ||
      WaitForSingleObject(ready, 20000) != WAIT_OBJECT_0) {
    std::printf("ddelink_steps: DdeTestServer did not start (%s)\n", cmd.c_str());
    return 1;
  }
  if (!FillCells(n)) {
    std::printf("ddelink_steps: the cells could not be filled\n");
    TerminateProcess(pi.hProcess, 0);
    return 1;
  }
  char tmp[MAX_PATH];
  GetTempPathA(MAX_PATH, tmp);
  const std::string folder = std::string(tmp) + "ddelink_steps_" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string logFile = folder + "\\steps.log";
  Tags tags(n, folder);

  long failures = 0;
  size_t sink = 0;
  struct Part {
    const char* name;
    std::function<double()> run;
    std::vector<double> seconds;
  };
  std::vector<Part> parts = {
      {"bare DDEML: requests + advise starts", [&] { return Bare(n, failures); }, {}},
      {"control by member names: the same", [&] { return LateBound(n, failures); }, {}},
      {"Tessarel's CorvexControl: the same", [&] { return Tessarels(n, failures); }, {}},
      {"DdeLink set-up, as Tessarel runs it", [&] { return LinkWhole(tags, logFile, failures); }, {}},
      {"DdeLink's own work (DDE answering at once)", [&] { return LinkOwn(tags, failures); }, {}},
      {"calls besides DDE, by member names", [&] {
         CallCosts c;
         if (!CallsWithoutDde(n, c)) ++failures;
         return c.byName;
       }, {}},
      {"  the same through the interfaces", [&] {
         CallCosts c;
         if (!CallsWithoutDde(n, c)) ++failures;
         return c.byVtable;
       }, {}},
      {"event log: one line per tag", [&] { return LogLines(n, logFile); }, {}},
      {"  file opened, appended, closed: C library", [&] { return FileOnly(n, logFile).library; }, {}},
      {"  the same by the system's calls", [&] { return FileOnly(n, logFile).system; }, {}},
      {"  of it: time stamp", [&] { return StampOnly(n, sink); }, {}},
      {"  of the stamp: the month's name", [&] { return MonthOnly(n, sink); }, {}},
  };
  for (int r = 0; r < rounds; ++r) {
    for (size_t k = 0; k < parts.size(); ++k) {
      Part& p = parts[(k + static_cast<size_t>(r)) % parts.size()];
      p.seconds.push_back(p.run());
      DeleteFileA(logFile.c_str());
    }
    std::printf("ddelink_steps: round %d of %d done\n", r + 1, rounds);
    std::fflush(stdout);
  }
  TerminateProcess(pi.hProcess, 0);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  DeleteFileA(tags.file.c_str());
  RemoveDirectoryA(folder.c_str());

  const double bare = Median(parts[0].seconds);
  std::printf("\n%ld tags, medians of %d rounds                     us per tag   ratio to bare\n", n, rounds);
  for (auto& p : parts) {
    const double m = Median(p.seconds);
    std::printf("  %-44s %9.1f   %7.3f   (rounds:", p.name, m * 1e6 / static_cast<double>(n), bare > 0 ? m / bare : 0);
    for (double s : p.seconds) std::printf(" %.1f", s * 1e6 / static_cast<double>(n));
    std::printf(")\n");
  }
  if (failures) std::printf("failures: %ld\n", failures);
  CoUninitialize();
  return failures ? 2 : 0;
}
