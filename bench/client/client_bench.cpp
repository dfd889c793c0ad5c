// The OPC client bridge measured: values of another OPC server's items on their way into cells of
// the workbook, and on to OPC clients of cells that are formulas of them.
//
//   client_bench cells [--cells N] [--rounds R]
//       In this process, no Tessarel: N values (default 1,000) written into A1:A<N> of a new
//       workbook of the spreadsheet stand-in through the bridge's own sheet writer
//       (ExcelClientSheet), cell by cell and as one notification of neighbouring cells; every
//       write is read back and checked. Baseline: the one-notification write of the same cells.
//   client_bench latency [--samples N] [--tick MS] [--rate MS]
//       SimServer, the spreadsheet and Tessarel as a client of SimServer's Register.R8 (into C2)
//       and as the server of a tag on D2 (=C2*2). Register.R8 is written from here; the time
//       until C2 changes and until the served tag's new value reaches this program's group on
//       Tessarel is measured. Baseline in the same run: the same write seen by this program's
//       own group on SimServer at the bridge's rate (1000 ms), and its synchronous read-back.
//   client_bench soak [--items N] [--seconds S] [--poll MS]
//       SimServer --bulk N (default 1,000 items, each a new value every second) into A1:A<N> for
//       S seconds (default 600): values seen in the cells against changes made (and against this
//       program's own group on SimServer), every cell against the server's last value once the
//       values are held still, Tessarel's and the spreadsheet's memory every 30 s, Tessarel's CPU.
//
// Needs the build registered (scripts/register): the spreadsheet stand-in, SimServer, Veltrane,
// Tessarel, OpcProxy. Run from the build's bin folder: scripts/wine build/bin/client_bench.exe cells
#include <cctype>
#include <cmath>
#include <map>
#include <random>

#include "BenchRig.h"
#include "CellRuns.h"
#include "ExcelClientSheet.h"

using namespace bench;
using common::ComPtr;
using common::Variant;

namespace {

std::string gBin;  // the folder of this program, Tessarel.exe and SimServer.exe beside it
const wchar_t* kTessarel = L"Marrowby.Tessarel.1";
const wchar_t* kSim = L"Sim.OPCDA.2";

std::string Arg(int argc, char** argv, const char* name, const char* def) {
  for (int i = 2; i + 1 < argc; ++i)
    if (std::string(argv[i]) == name) return argv[i + 1];
  return def;
}

// SimServer's bulk item number i (SimServer --bulk): Bulk.0001 ...
std::wstring BulkId(long i) {
  wchar_t id[32];
  swprintf(id, 32, L"Bulk.%04ld", i);
  return id;
}

// ---- the spreadsheet ---------------------------------------------------------------------------

// A new spreadsheet process; its workbook either new (Workbooks.Add) or opened from a CSV file.
class Book {
 public:
  Book() {
    app_ = wbs_test::NewExcel();
    wbs_test::Put(app_.Get(), "DisplayAlerts", Variant(false));
    wbs_test::Put(app_.Get(), "Visible", Variant(false));
    pid_ = wbs_test::Long(wbs_test::Get(app_.Get(), "ProcessId"));
    process_ = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE, FALSE,
                           static_cast<DWORD>(pid_));
  }
  ~Book() {
    sheet_ = nullptr;
    book_ = nullptr;
    try {
      wbs_test::Call(app_.Get(), "Quit");
    } catch (...) {
    }
    app_ = nullptr;
    wbs_test::WaitProcessGone(static_cast<DWORD>(pid_), 10000);
    if (process_) CloseHandle(process_);
  }
  void Add() {
    auto books = wbs_test::Obj(wbs_test::Get(app_.Get(), "Workbooks"));
    book_ = wbs_test::Obj(wbs_test::Call(books.Get(), "Add"));
    TakeFirstSheet();
  }
  void Open(const std::string& path) {
    auto books = wbs_test::Obj(wbs_test::Get(app_.Get(), "Workbooks"));
    book_ = wbs_test::Obj(wbs_test::Call(books.Get(), "Open", {Variant(wbs_test::W(path))}));
    TakeFirstSheet();
  }
  IDispatch* App() { return app_.Get(); }
  IDispatch* Sheet() { return sheet_.Get(); }
  const std::string& SheetName() const { return sheetName_; }
  long WorkbookPosition() { return wbs_test::Long(wbs_test::Get(wbs_test::Obj(wbs_test::Get(app_.Get(), "Workbooks")).Get(), "Count")); }

  ComPtr<IDispatch> Range(const std::string& ref) {
    return wbs_test::Obj(wbs_test::Get(sheet_.Get(), "Range", {Variant(wbs_test::W(ref))}));
  }
  Variant Value(const std::string& ref) { return wbs_test::Get(Range(ref).Get(), "Value"); }
  void Formula(const std::string& ref, const std::string& formula) {
    wbs_test::Put(Range(ref).Get(), "Formula", Variant(wbs_test::W(formula)));
  }
  // The values of a column range (rows x 1, as the spreadsheet returns it) as doubles; a cell
  // that holds no number reads as NaN. False when the call fails.
  bool Column(const std::string& ref, long rows, std::vector<double>& out) {
    Variant v;
    try {
      v = Value(ref);
    } catch (...) {
      return false;
    }
    out.assign(static_cast<size_t>(rows), std::nan(""));
    if (V_VT(&v) != (VT_ARRAY | VT_VARIANT) || SafeArrayGetDim(V_ARRAY(&v)) != 2) return false;
    SAFEARRAY* sa = V_ARRAY(&v);
    LONG lo0 = 0, hi0 = 0, lo1 = 0;
    SafeArrayGetLBound(sa, 1, &lo0);
    SafeArrayGetUBound(sa, 1, &hi0);
    SafeArrayGetLBound(sa, 2, &lo1);
    for (LONG r = lo0; r <= hi0 && r - lo0 < rows; ++r) {
      Variant e;
      LONG at[2] = {r, lo1};
      if (FAILED(SafeArrayGetElement(sa, at, &e))) continue;
      Variant d;
      if (V_VT(&e) != VT_EMPTY && SUCCEEDED(VariantChangeType(&d, &e, 0, VT_R8)))
        out[static_cast<size_t>(r - lo0)] = V_R8(&d);
    }
    return true;
  }
  // Private bytes (page-file usage where Wine reports none) and working set, MB.
  std::pair<double, double> MemoryMB() const {
    PROCESS_MEMORY_COUNTERS_EX pmc{};
    pmc.cb = sizeof pmc;
    if (!process_ || !GetProcessMemoryInfo(process_, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc))
      return {-1, -1};
    SIZE_T priv = pmc.PrivateUsage ? pmc.PrivateUsage : pmc.PagefileUsage;
    return {priv / 1048576.0, pmc.WorkingSetSize / 1048576.0};
  }

 private:
  void TakeFirstSheet() {
    sheet_ = wbs_test::Obj(
        wbs_test::Get(wbs_test::Obj(wbs_test::Get(book_.Get(), "Worksheets")).Get(), "Item", {Variant(1)}));
    sheetName_ = wbs_test::Str(wbs_test::Get(sheet_.Get(), "Name"));
  }
  ComPtr<IDispatch> app_, book_, sheet_;
  std::string sheetName_;
  long pid_ = 0;
  HANDLE process_ = nullptr;
};

// ---- an OPC client of SimServer ------------------------------------------------------------------

// A group on SimServer through its custom interfaces: subscribed items (client handle = position
// in the list), synchronous reads and writes.
class SimSide : public IOPCDataCallback {
 public:
  std::function<void(OPCHANDLE, const VARIANT&, WORD, double)> onChange;

  ~SimSide() { Disconnect(); }

  HRESULT Connect(DWORD rateMs, const std::vector<std::wstring>& names, bool subscribe) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(kSim, &clsid);
    if (SUCCEEDED(hr))
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                            reinterpret_cast<void**>(&server_));
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    if (SUCCEEDED(hr))
      hr = server_->AddGroup(L"bench", TRUE, rateMs, 1, nullptr, nullptr, 0, &hGroup, &revised,
                             IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&items_));
    if (FAILED(hr)) return hr;
    std::vector<OPCITEMDEF> defs(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      defs[i] = {};
      defs[i].szItemID = const_cast<LPWSTR>(names[i].c_str());
      defs[i].szAccessPath = const_cast<LPWSTR>(L"");
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* errs = nullptr;
    hr = items_->AddItems(static_cast<DWORD>(names.size()), defs.data(), &res, &errs);
    if (FAILED(hr)) return hr;
    handles.resize(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      handles[i] = res[i].hServer;
      if (res[i].pBlob) CoTaskMemFree(res[i].pBlob);
    }
    CoTaskMemFree(res);
    CoTaskMemFree(errs);
    if (hr != S_OK) return hr;
    hr = items_->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&io_));
    if (FAILED(hr) || !subscribe) return hr;
    IConnectionPointContainer* cpc = nullptr;
    items_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
    if (!cpc) return E_NOINTERFACE;
    hr = cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp_);
    cpc->Release();
    if (FAILED(hr)) return hr;
    return cp_->Advise(this, &cookie_);
  }
  HRESULT Write(size_t index, const VARIANT& value) {
    HRESULT* errs = nullptr;
    HRESULT hr = io_->Write(1, &handles[index], const_cast<VARIANT*>(&value), &errs);
    if (SUCCEEDED(hr) && errs && FAILED(errs[0])) hr = errs[0];
    CoTaskMemFree(errs);
    return hr;
  }
  // Values of the listed items (all when empty) as doubles, from the device (the server's
  // current values) or the group's cache.
  bool Read(OPCDATASOURCE source, std::vector<double>& out, std::vector<WORD>* qualities = nullptr) {
    OPCITEMSTATE* st = nullptr;
    HRESULT* errs = nullptr;
    if (!io_ || FAILED(io_->Read(source, static_cast<DWORD>(handles.size()), handles.data(), &st, &errs)))
      return false;
    out.resize(handles.size());
    if (qualities) qualities->resize(handles.size());
    for (size_t i = 0; i < handles.size(); ++i) {
      out[i] = AsDouble(st[i].vDataValue);
      if (qualities) (*qualities)[i] = st[i].wQuality;
      VariantClear(&st[i].vDataValue);
    }
    CoTaskMemFree(st);
    CoTaskMemFree(errs);
    return true;
  }
  void Disconnect() {
    if (cp_) {
      cp_->Unadvise(cookie_);
      cp_->Release();
      cp_ = nullptr;
    }
    if (io_) io_->Release(), io_ = nullptr;
    if (items_) items_->Release(), items_ = nullptr;
    if (server_) server_->Release(), server_ = nullptr;
  }

  std::vector<OPCHANDLE> handles;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IOPCDataCallback) return E_NOINTERFACE;
    *ppv = static_cast<IOPCDataCallback*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD n, OPCHANDLE* h,
                                         VARIANT* v, WORD* q, FILETIME*, HRESULT*) override {
    double at = Now();
    if (onChange)
      for (DWORD i = 0; i < n; ++i) onChange(h[i], v[i], q[i], at);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*,
                                           VARIANT*, WORD*, FILETIME*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                            HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

 private:
  IOPCServer* server_ = nullptr;
  IOPCItemMgt* items_ = nullptr;
  IOPCSyncIO* io_ = nullptr;
  IConnectionPoint* cp_ = nullptr;
  DWORD cookie_ = 0;
};

// SimServer started here with options (COM would start it with -Embedding only); it prints
// "ready" when clients may connect and ends by itself a moment after its last client left.
class SimProcess {
 public:
  explicit SimProcess(const std::string& folder) : out_(folder + "\\SimServer.out") {}
  // Killed while registered, it would leave Wine's COM a stale class registration that fails
  // every later activation: it is given time to leave by itself once its clients have gone.
  ~SimProcess() {
    if (proc_.ok) proc_.WaitExit(20000);
  }
  bool Start(const std::string& args, double timeoutSeconds) {
    if (!wintest::StartToFile(proc_, gBin + "\\SimServer.exe", args, out_)) return false;
    double until = Now() + timeoutSeconds;
    while (Now() < until) {
      if (wintest::ReadFile(out_).find("ready") != std::string::npos) return true;
      if (WaitForSingleObject(proc_.pi.hProcess, 0) == WAIT_OBJECT_0) return false;
      PumpUntil(Now() + 0.05);
    }
    return false;
  }
  std::string Output() const { return wintest::ReadFile(out_); }
  // Exit code once it has gone by itself, -1 when it is still there after ms.
  long WaitExit(DWORD ms) { return proc_.WaitExit(ms); }

 private:
  std::string out_;
  wintest::Process proc_;
};

// CPU seconds (user + kernel) a process has used, or -1 when the platform does not say.
double CpuSeconds(HANDLE process) {
  FILETIME c, e, k, u;
  if (!GetProcessTimes(process, &c, &e, &k, &u)) return -1;
  auto s = [](const FILETIME& f) {
    return (static_cast<double>(f.dwHighDateTime) * 4294967296.0 + f.dwLowDateTime) / 1e7;
  };
  return s(k) + s(u);
}

void WriteIni(const wintest::TempFolder& dir, const std::string& workbook, const std::string& sheet,
              long tickMs) {
  dir.Write("Tessarel.ini",
            "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=" + workbook +
                "\r\nFileOpenMode=write\r\nVisible=false\r\nNewExcelInstance=false\r\n"
                "UpdateInterval=" + std::to_string(tickMs) + "\r\n"
                "[OPC Client]\r\nServer=Sim.OPCDA.2\r\nSheet=" + sheet + "\r\nDatabase=client.csv\r\n");
}

bool StartTessarel(TessarelRun& t, const std::string& sheet, double timeoutSeconds) {
  if (!t.Start()) {
    Say("  Tessarel.exe could not be started\n");
    return false;
  }
  std::string lower = sheet;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!t.WaitLog("ConnectToDdeServer: OK for Excel," + lower, timeoutSeconds)) {
    Say("  Tessarel did not connect to the spreadsheet within %.0f s; its log:\n%s\n",
        timeoutSeconds, t.LogText().c_str());
    return false;
  }
  if (t.LogHas("Client not connected") || t.LogHas("Could not assign sheet")) {
    Say("  Tessarel's OPC client did not connect; its log:\n%s\n", t.LogText().c_str());
    return false;
  }
  return true;
}

void EndTessarel(TessarelRun& t, OpcSide& opc) {
  opc.Disconnect();
  if (t.WaitExit(60000) < 0) Say("  (Tessarel did not end within 60 s of its last client leaving)\n");
}

// ---- cells -------------------------------------------------------------------------------------

int Cells(int argc, char** argv) {
  const long n = std::max(2L, std::atol(Arg(argc, argv, "--cells", "1000").c_str()));
  const int rounds = std::max(1, std::atoi(Arg(argc, argv, "--rounds", "5").c_str()));
  Say("cells: %ld values into A1:A%ld through the bridge's sheet writer, %d rounds\n", n, n, rounds);
  Book book;
  book.Add();
  ComPtr<IDispatch> ws = FindWorksheet(book.App(), book.WorkbookPosition(), book.SheetName());
  if (!ws) {
    Say("  FindWorksheet did not find %s\n", book.SheetName().c_str());
    return 1;
  }
  ExcelClientSheet sheet(ws);
  const std::string all = "A1:A" + std::to_string(n);

  std::vector<std::string> cells;
  for (long i = 1; i <= n; ++i) cells.push_back("A" + std::to_string(i));
  // Odd rows first, then even ones: no cell follows its neighbour, as when the server reports a
  // sheet's items in an order of its own.
  std::vector<size_t> scattered;
  for (long i = 0; i < n; i += 2) scattered.push_back(static_cast<size_t>(i));
  for (long i = 1; i < n; i += 2) scattered.push_back(static_cast<size_t>(i));
  {
    std::vector<std::string> order;
    for (size_t i : scattered) order.push_back(cells[i]);
    long runs = static_cast<long>(FindCellRuns(order).size());
    long runsInOrder = static_cast<long>(FindCellRuns(cells).size());
    Say("  runs found: %ld in row order, %ld in the scattered order\n", runsInOrder, runs);
  }

  enum Way { kOneByOne, kScattered, kRuns, kWays };
  const char* names[kWays] = {"one SetValues per cell", "one notification, no neighbours",
                              "one notification, neighbours (runs)"};
  std::vector<double> ms[kWays];
  long calls[kWays] = {}, wrong[kWays] = {}, notWritten[kWays] = {};
  for (int r = 1; r <= rounds; ++r) {
    for (int k = 0; k < kWays; ++k) {
      // Each round starts with another way, so none always meets a fresher spreadsheet.
      const int way = (k + r) % kWays;
      const double base = r * 100000.0 + way * 10000.0;
      std::vector<Variant> values;
      for (long i = 1; i <= n; ++i) values.emplace_back(base + i + 0.25);
      const long callsBefore = sheet.Calls();
      size_t written = 0;
      const double t0 = Now();
      if (way == kOneByOne) {
        for (long i = 0; i < n; ++i)
          written += sheet.SetValues({CellWrite{cells[static_cast<size_t>(i)], &values[static_cast<size_t>(i)]}});
      } else {
        std::vector<CellWrite> writes;
        if (way == kRuns)
          for (long i = 0; i < n; ++i) writes.push_back({cells[static_cast<size_t>(i)], &values[static_cast<size_t>(i)]});
        else
          for (size_t i : scattered) writes.push_back({cells[i], &values[i]});
        written = sheet.SetValues(writes);
      }
      const double took = Now() - t0;
      ms[way].push_back(took * 1000.0 * 1000.0 / static_cast<double>(n));
      calls[way] = sheet.Calls() - callsBefore;
      notWritten[way] += n - static_cast<long>(written);
      std::vector<double> back;
      if (!book.Column(all, n, back)) {
        wrong[way] += n;
      } else {
        for (long i = 0; i < n; ++i)
          if (back[static_cast<size_t>(i)] != base + i + 1 + 0.25) ++wrong[way];
      }
    }
    Say("  round %d: %.1f / %.1f / %.1f ms per %ld cells\n", r, ms[kOneByOne].back(),
        ms[kScattered].back(), ms[kRuns].back(), 1000L);
  }
  const double baseline = Percentile(ms[kRuns], 50);
  Say("\nwriting %ld cells (medians of %d rounds)   ms per 1,000 cells | calls to the spreadsheet | ratio to runs | cells wrong on read-back | not written\n",
      n, rounds);
  for (int w = 0; w < kWays; ++w)
    Say("  %-38s %12.1f        | %10ld               | %8.1f      | %ld | %ld\n", names[w],
        Percentile(ms[w], 50), calls[w], baseline > 0 ? Percentile(ms[w], 50) / baseline : 0,
        wrong[w], notWritten[w]);
  long bad = 0;
  for (int w = 0; w < kWays; ++w) bad += wrong[w] + notWritten[w];
  return bad ? 3 : 0;
}

// ---- latency -----------------------------------------------------------------------------------

int Latency(int argc, char** argv) {
  const int samples = std::max(3, std::atoi(Arg(argc, argv, "--samples", "20").c_str()));
  const long tick = std::atol(Arg(argc, argv, "--tick", "1000").c_str());
  const long rate = std::atol(Arg(argc, argv, "--rate", "1000").c_str());
  Say("latency: %d writes of Register.R8; Tessarel's update interval %ld ms, this program's group on Tessarel %ld ms\n",
      samples, tick, rate);
  wintest::TempFolder dir("client_latency");
  SimProcess sim(dir.Path());
  if (!sim.Start("--linger-ms 2000 --idle-exit-ms 120000", 30)) {
    Say("  SimServer did not start: %s\n", sim.Output().c_str());
    return 1;
  }
  const std::string csv = dir.File("Lat.csv");
  dir.Write("Lat.csv", "Name,Value,Reading,Twice\r\nRegister,0,0,0\r\n");
  Book book;
  book.Open(csv);
  book.Formula("D2", "=C2*2");
  WriteIni(dir, csv, book.SheetName(), tick);
  dir.Write("tags.csv", "Tag,Type,Sheet,Cell,Write\r\nTwice,R8," + book.SheetName() + ",R2C4\r\n");
  dir.Write("client.csv", "OPC Tag,Type,Item,Write\r\nRegister.R8,R4,R2C3,\r\n");

  // This program's own group on the register, at the bridge's group rate.
  std::map<long, double> direct, served;  // value -> arrival
  SimSide simSide;
  simSide.onChange = [&](OPCHANDLE, const VARIANT& v, WORD q, double at) {
    if (q == OPC_QUALITY_GOOD) direct.emplace(std::lround(AsDouble(v)), at);
  };
  HRESULT hr = simSide.Connect(1000, {L"Register.R8"}, true);
  if (FAILED(hr)) {
    Say("  connection to SimServer failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  {
    Variant zero(0.0);
    simSide.Write(0, zero);
  }

  TessarelRun t(gBin, dir.Path());
  if (!StartTessarel(t, book.SheetName(), 60)) return 1;
  OpcSide opc;
  opc.onChange = [&](OPCHANDLE, const VARIANT& v, WORD q, double at) {
    if (q == OPC_QUALITY_GOOD) served.emplace(std::lround(AsDouble(v) / 2), at);
  };
  hr = opc.Connect(kTessarel, static_cast<DWORD>(rate), {L"Twice"});
  if (FAILED(hr)) {
    Say("  OPC connection to Tessarel failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  PumpUntil(Now() + 3.0);

  std::mt19937 rng(20261208);
  std::uniform_real_distribution<double> phase(0.0, std::max(tick, rate) / 1000.0);
  std::vector<double> toCell, toServed, toDirect, readBack, cellToServed;
  long lostCell = 0, lostServed = 0, lostDirect = 0;
  const double patience = (tick + rate) / 1000.0 + 8.0;
  for (int s = 1; s <= samples; ++s) {
    const long value = 1000 + s;
    PumpUntil(Now() + phase(rng));
    Variant v(static_cast<double>(value));
    const double t0 = Now();
    hr = simSide.Write(0, v);
    if (FAILED(hr)) {
      Say("  write %ld failed: 0x%08lX\n", value, static_cast<unsigned long>(hr));
      continue;
    }
    // The server's own round trip: the write and a read of the value back from the device.
    std::vector<double> now;
    if (simSide.Read(OPC_DS_DEVICE, now) && std::lround(now[0]) == value) readBack.push_back(Now() - t0);
    double cellAt = 0;
    PumpUntil(Now() + patience, [&] {
      if (!cellAt) {
        Variant c;
        try {
          c = book.Value("C2");
        } catch (...) {
        }
        if (V_VT(&c) != VT_EMPTY && std::lround(AsDouble(c)) == value) cellAt = Now();
      }
      return cellAt && served.count(value) && direct.count(value);
    });
    if (cellAt) toCell.push_back(cellAt - t0); else ++lostCell;
    if (served.count(value)) toServed.push_back(served[value] - t0); else ++lostServed;
    if (direct.count(value)) toDirect.push_back(direct[value] - t0); else ++lostDirect;
    if (cellAt && served.count(value)) cellToServed.push_back(served[value] - cellAt);
    if (s % 5 == 0) Say("  %d writes\n", s);
  }
  EndTessarel(t, opc);
  simSide.Disconnect();

  const double base = Percentile(toDirect, 50);
  Say("\nfrom the write of Register.R8 (ms)                 median      p90      max  missing | ratio to direct group\n");
  auto row = [&](const char* what, const std::vector<double>& v, long missing) {
    double mx = v.empty() ? 0 : *std::max_element(v.begin(), v.end());
    Say("  %-46s %8.1f %8.1f %8.1f %5ld    | %.2f\n", what, Percentile(v, 50) * 1000,
        Percentile(v, 90) * 1000, mx * 1000, missing, base > 0 ? Percentile(v, 50) / base : 0);
  };
  row("baseline: this program's group on SimServer", toDirect, lostDirect);
  row("SimServer read back (write + device read)", readBack, samples - static_cast<long>(readBack.size()));
  row("(a) the bridge's cell C2 changed", toCell, lostCell);
  row("(b) the served tag on D2 (=C2*2) at the client", toServed, lostServed);
  row("    of which cell C2 -> served tag", cellToServed, 0);
  Say("(the bridge's group runs at 1000 ms; timers alone give about half a period on average and at most a period)\n");
  sim.WaitExit(10000);
  return lostCell || lostServed ? 3 : 0;
}

// ---- soak --------------------------------------------------------------------------------------

// Per item: the steps seen (value = step x item number) and what was missed on the way.
struct Tracker {
  std::vector<long> last;  // -1: nothing seen yet
  long long delivered = 0, skipped = 0, skipRuns = 0, backwards = 0, wrong = 0;
  long longestRun = 0;
  bool counting = false;
  explicit Tracker(long n) : last(static_cast<size_t>(n), -1) {}
  void See(long i, double value) {  // i from 1
    if (std::isnan(value)) return;
    const double k = value / static_cast<double>(i);
    const long step = std::lround(k);
    if (std::fabs(k - static_cast<double>(step)) > 1e-9) {
      ++wrong;
      return;
    }
    long& l = last[static_cast<size_t>(i - 1)];
    if (!counting || l < 0) {
      l = std::max(l, step);
      return;
    }
    if (step == l) return;
    if (step < l) {
      ++backwards;
      return;
    }
    ++delivered;
    const long gap = step - l - 1;
    if (gap > 0) {
      skipped += gap;
      if (gap > 1) ++skipRuns;
      longestRun = std::max(longestRun, gap);
    }
    l = step;
  }
};

struct MemorySample {
  double t, tPriv, tWs, xPriv, xWs, cpu;
};

int Soak(int argc, char** argv) {
  const long n = std::max(1L, std::atol(Arg(argc, argv, "--items", "1000").c_str()));
  const long seconds = std::max(10L, std::atol(Arg(argc, argv, "--seconds", "600").c_str()));
  const long pollMs = std::max(10L, std::atol(Arg(argc, argv, "--poll", "100").c_str()));
  Say("soak: %ld client items, each a new value every second, into A1:A%ld for %ld s; cells read every %ld ms\n",
      n, n, seconds, pollMs);
  wintest::TempFolder dir("client_soak");
  SimProcess sim(dir.Path());
  if (!sim.Start("--bulk " + std::to_string(n) + " --linger-ms 2000 --idle-exit-ms 300000", 60)) {
    Say("  SimServer did not start: %s\n", sim.Output().c_str());
    return 1;
  }
  const std::string csv = dir.File("Soak.csv");
  {
    std::string text;
    for (long i = 1; i <= n; ++i) text += "0\r\n";
    dir.Write("Soak.csv", text);
  }
  Book book;
  book.Open(csv);
  const std::string column = "A1:A" + std::to_string(n);
  book.Formula("C1", "=SUM(" + column + ")");
  WriteIni(dir, csv, book.SheetName(), 1000);
  dir.Write("tags.csv", "Tag,Type,Sheet,Cell,Write\r\nTotal,R8," + book.SheetName() + ",R1C3\r\n");
  {
    std::string text = "OPC Tag,Type,Item,Write\r\n";
    for (long i = 1; i <= n; ++i)
      text += common::WideToUtf8(BulkId(i)) + ",R4,R" + std::to_string(i) + "C1,\r\n";
    dir.Write("client.csv", text);
  }

  // This program's own group on SimServer, every item at the bridge's rate (the baseline), and
  // the step count and the switch that holds the values still.
  std::vector<std::wstring> ids;
  for (long i = 1; i <= n; ++i) ids.push_back(BulkId(i));
  ids.push_back(L"Bulk.Steps");
  ids.push_back(L"Bulk.Running");
  const size_t kSteps = static_cast<size_t>(n), kRunning = static_cast<size_t>(n) + 1;
  Tracker cellT(n), directT(n);
  long long directCallbacks = 0;
  SimSide simSide;
  simSide.onChange = [&](OPCHANDLE h, const VARIANT& v, WORD q, double) {
    ++directCallbacks;
    if (h < static_cast<OPCHANDLE>(n) && q == OPC_QUALITY_GOOD) directT.See(static_cast<long>(h) + 1, AsDouble(v));
  };
  HRESULT hr = simSide.Connect(1000, ids, true);
  if (FAILED(hr)) {
    Say("  connection to SimServer failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  auto steps = [&]() -> long {
    std::vector<double> v;
    return simSide.Read(OPC_DS_DEVICE, v) ? std::lround(v[kSteps]) : -1;
  };

  TessarelRun t(gBin, dir.Path());
  if (!StartTessarel(t, book.SheetName(), 300)) return 1;
  Say("  Tessarel linked the sheet %.1f s after its start\n", Now() - t.Started());
  OpcSide opc;
  double total = std::nan("");
  opc.onChange = [&](OPCHANDLE, const VARIANT& v, WORD q, double) {
    if (q == OPC_QUALITY_GOOD) total = AsDouble(v);
  };
  hr = opc.Connect(kTessarel, 1000, {L"Total"});
  if (FAILED(hr)) {
    Say("  OPC connection to Tessarel failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }

  // Until every cell holds a value from the server.
  std::vector<double> col;
  const double warmFrom = Now();
  long filled = 0;
  while (Now() - warmFrom < 120) {
    PumpUntil(Now() + 0.2);
    filled = 0;
    if (book.Column(column, n, col))
      for (double x : col) filled += !std::isnan(x) && x > 0;
    if (filled == n) break;
  }
  Say("  %ld of %ld cells hold a server value %.1f s after Tessarel linked the sheet\n", filled, n,
      Now() - warmFrom);
  for (long i = 1; i <= n; ++i) cellT.See(i, col[static_cast<size_t>(i - 1)]);
  std::vector<long> cellStart = cellT.last, directStart = directT.last;
  cellT.counting = directT.counting = true;
  const long stepsStart = steps();

  std::vector<MemorySample> memory;
  auto sample = [&](double at) {
    auto [tp, tw] = t.MemoryMB();
    auto [xp, xw] = book.MemoryMB();
    memory.push_back({at, tp, tw, xp, xw, CpuSeconds(t.Process())});
  };
  const double t0 = Now();
  sample(0);
  double nextPoll = t0, nextSample = 30, lastPoll = t0, maxPollGap = 0;
  std::vector<double> pollCost;
  long pollFailures = 0;
  auto poll = [&] {
    const double before = Now();
    if (!book.Column(column, n, col)) {
      ++pollFailures;
      return;
    }
    const double after = Now();
    pollCost.push_back(after - before);
    maxPollGap = std::max(maxPollGap, after - lastPoll);
    lastPoll = after;
    for (long i = 1; i <= n; ++i) cellT.See(i, col[static_cast<size_t>(i - 1)]);
  };
  while (Now() - t0 < seconds) {
    nextPoll += pollMs / 1000.0;
    PumpUntil(nextPoll);
    poll();
    const double at = Now() - t0;
    if (at >= nextSample) {
      nextSample += 30;
      sample(at);
      const MemorySample& m = memory.back();
      if (static_cast<long>(at + 0.5) % 60 < 30)
        Say("  %4.0f s: %lld values seen in cells (%lld skipped), own group %lld (%lld skipped); Tessarel %.1f/%.1f MB, spreadsheet %.1f/%.1f MB (private/working set), Tessarel CPU %.1f s\n",
            at, cellT.delivered, cellT.skipped, directT.delivered, directT.skipped, m.tPriv, m.tWs,
            m.xPriv, m.xWs, m.cpu);
    }
  }
  const double elapsed = Now() - t0;
  if (elapsed - memory.back().t > 5) sample(elapsed);

  // The values held still, then the last ones travel: one group period, one Tessarel tick, and
  // some.
  {
    Variant off(false);
    hr = simSide.Write(kRunning, off);
    if (FAILED(hr)) Say("  Bulk.Running could not be set false: 0x%08lX\n", static_cast<unsigned long>(hr));
  }
  const double holdFrom = Now();
  while (Now() - holdFrom < 5.0) {
    nextPoll += pollMs / 1000.0;
    PumpUntil(nextPoll);
    poll();
  }
  std::vector<double> server;
  std::vector<WORD> quality;
  const bool serverRead = simSide.Read(OPC_DS_DEVICE, server, &quality);
  const long stepsEnd = serverRead ? std::lround(server[kSteps]) : -1;
  long equal = 0, equalToStep = 0;
  const bool cellsRead = book.Column(column, n, col);
  for (long i = 1; i <= n && serverRead && cellsRead; ++i) {
    const double c = col[static_cast<size_t>(i - 1)], v = server[static_cast<size_t>(i - 1)];
    equal += c == v && quality[static_cast<size_t>(i - 1)] == OPC_QUALITY_GOOD;
    equalToStep += c == static_cast<double>(stepsEnd) * static_cast<double>(i);
  }
  PumpUntil(Now() + 3.0);
  const double expectedTotal = static_cast<double>(stepsEnd) * n * (n + 1) / 2.0;

  long long expectedCells = 0, expectedDirect = 0;
  for (long i = 0; i < n; ++i) {
    expectedCells += stepsEnd - std::max(0L, cellStart[static_cast<size_t>(i)]);
    expectedDirect += stepsEnd - std::max(0L, directStart[static_cast<size_t>(i)]);
  }
  const long long made = static_cast<long long>(stepsEnd - stepsStart) * n;

  Say("\nsoak result: %ld items x %ld steps in %.0f s = %lld changes made (%.0f/s); expected in each cell: every\n"
      "step from its first value seen to the held one\n", n,
      stepsEnd - stepsStart, elapsed, made, static_cast<double>(made) / elapsed);
  Say("  values seen in the cells:          %lld of %lld expected (ratio %.4f); skipped %lld, of them runs of two or more in a row %lld (longest %ld); older after newer %lld; not step x number %lld\n",
      cellT.delivered, expectedCells, expectedCells ? static_cast<double>(cellT.delivered) / expectedCells : 0,
      cellT.skipped, cellT.skipRuns, cellT.longestRun, cellT.backwards, cellT.wrong);
  Say("  baseline, own group on SimServer:  %lld of %lld expected (ratio %.4f); skipped %lld, runs %lld (longest %ld); older after newer %lld\n",
      directT.delivered, expectedDirect, expectedDirect ? static_cast<double>(directT.delivered) / expectedDirect : 0,
      directT.skipped, directT.skipRuns, directT.longestRun, directT.backwards);
  Say("  cells against own group:           ratio %.4f\n",
      directT.delivered ? static_cast<double>(cellT.delivered) / directT.delivered : 0);
  Say("  reading the cells:                 median %.1f ms, max %.1f ms a read; longest time between two reads %.0f ms; failed reads %ld\n",
      Percentile(pollCost, 50) * 1000, pollCost.empty() ? 0 : *std::max_element(pollCost.begin(), pollCost.end()) * 1000,
      maxPollGap * 1000, pollFailures);
  Say("  at the end (values held at step %ld): cells equal to the server's value %ld / %ld = %.4f (equal to step x number: %ld)\n",
      stepsEnd, equal, n, static_cast<double>(equal) / n, equalToStep);
  Say("  served tag Total (=SUM of the cells) at the client: %.0f, expected %.0f (%s)\n", total,
      expectedTotal, total == expectedTotal ? "equal" : "DIFFERENT");
  if (memory.size() >= 2) {
    const MemorySample& a = memory.front();
    const MemorySample& b = memory.back();
    size_t mid = memory.size() / 2;
    double tPeak = 0, xPeak = 0;
    for (auto& m : memory) tPeak = std::max(tPeak, m.tPriv), xPeak = std::max(xPeak, m.xPriv);
    Say("  memory every 30 s, private MB (time s: Tessarel / spreadsheet):");
    for (auto& m : memory) Say(" %.0f: %.1f/%.1f", m.t, m.tPriv, m.xPriv);
    Say("\n  Tessarel private %.1f -> %.1f MB (end / start %.3f, end / middle %.3f, peak %.1f), working set %.1f -> %.1f MB\n",
        a.tPriv, b.tPriv, b.tPriv / a.tPriv, b.tPriv / memory[mid].tPriv, tPeak, a.tWs, b.tWs);
    Say("  spreadsheet private %.1f -> %.1f MB (end / start %.3f, end / middle %.3f, peak %.1f), working set %.1f -> %.1f MB\n",
        a.xPriv, b.xPriv, b.xPriv / a.xPriv, b.xPriv / memory[mid].xPriv, xPeak, a.xWs, b.xWs);
    if (a.cpu >= 0 && b.cpu >= 0)
      Say("  Tessarel CPU: %.1f s in %.0f s = %.3f of one core (%.2f ms per 1,000 cells written)\n",
          b.cpu - a.cpu, b.t - a.t, (b.cpu - a.cpu) / (b.t - a.t),
          cellT.delivered ? (b.cpu - a.cpu) * 1000.0 * 1000.0 / cellT.delivered : 0);
    else
      Say("  Tessarel CPU: not reported by the platform for another process\n");
  }
  EndTessarel(t, opc);
  simSide.Disconnect();
  if (sim.WaitExit(15000) < 0) Say("  (SimServer did not end within 15 s of its last client leaving)\n");
  const bool bad = equal != n || cellT.backwards || cellT.wrong || cellT.skipRuns || total != expectedTotal;
  return bad ? 3 : 0;
}

// ---- the bridge in process ---------------------------------------------------------------------

// Counts what the bridge would write into cells, writes nothing.
class CountingSheet : public IClientSheet {
 public:
  std::size_t SetValues(const std::vector<CellWrite>& writes) override {
    ++calls;
    cells += static_cast<long long>(writes.size());
    return writes.size();
  }
  long long calls = 0, cells = 0;
};

double OwnPrivateMB() {
  PROCESS_MEMORY_COUNTERS_EX pmc{};
  pmc.cb = sizeof pmc;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc))
    return -1;
  SIZE_T priv = pmc.PrivateUsage ? pmc.PrivateUsage : pmc.PagefileUsage;
  return priv / 1048576.0;
}

struct Growth {
  std::string what;
  double startMB = 0, endMB = 0, seconds = 0;
  long long notifications = 0, cells = 0;
};

// Samples this process's memory while the message loop runs for `seconds`, after 15 s for the
// first notifications and the heap to settle.
// `everySecond`, when given, runs once a second all along.
Growth Watch(const std::string& what, long seconds, const std::function<long long()>& notifications,
             const std::function<long long()>& cells, const std::function<void()>& everySecond = {}) {
  Growth g;
  g.what = what;
  auto runUntil = [&](double until) {
    if (!everySecond) return PumpUntil(until);
    while (Now() < until) {
      everySecond();
      PumpUntil(std::min(until, Now() + 1.0));
    }
  };
  runUntil(Now() + 15.0);  // the first notifications, the heap settling
  const long long n0 = notifications(), c0 = cells();
  g.startMB = OwnPrivateMB();
  const double t0 = Now();
  for (long at = 30; at <= seconds; at += 30) {
    runUntil(t0 + at);
    Say("    %s, %ld s: %.2f MB private, %lld notifications\n", what.c_str(), at, OwnPrivateMB(),
        notifications() - n0);
  }
  runUntil(t0 + seconds);
  g.endMB = OwnPrivateMB();
  g.seconds = Now() - t0;
  g.notifications = notifications() - n0;
  g.cells = cells() - c0;
  return g;
}

int InProcess(int argc, char** argv) {
  const long n = std::max(1L, std::atol(Arg(argc, argv, "--items", "1000").c_str()));
  const long seconds = std::max(30L, std::atol(Arg(argc, argv, "--seconds", "120").c_str()));
  Say("inproc: the bridge's client (cOpcClient over Veltrane) in this process on SimServer --bulk %ld,\n"
      "this process's private memory over %ld s: synchronous reads of the items, a bare group\n"
      "(baseline), the client writing into a sheet that only counts, the client writing into the\n"
      "spreadsheet\n", n, seconds);
  wintest::TempFolder dir("client_inproc");
  SimProcess sim(dir.Path());
  if (!sim.Start("--bulk " + std::to_string(n) + " --linger-ms 2000 --idle-exit-ms 300000", 60)) {
    Say("  SimServer did not start: %s\n", sim.Output().c_str());
    return 1;
  }
  std::vector<std::wstring> ids;
  std::vector<std::string> items, cells;
  for (long i = 1; i <= n; ++i) {
    ids.push_back(BulkId(i));
    items.push_back(common::WideToUtf8(BulkId(i)));
    cells.push_back("A" + std::to_string(i));
  }
  // Held for the whole run: SimServer leaves a moment after its last client, and the variants
  // come one after another.
  SimSide keeper;
  if (HRESULT hr = keeper.Connect(1000, {L"Bulk.Steps"}, false); FAILED(hr)) {
    Say("  connection to SimServer failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  std::vector<Growth> rows;
  {
    // The other direction: the same items' values as [out] arrays of a synchronous read, once a
    // second, freed here as the caller.
    SimSide reader;
    if (SUCCEEDED(reader.Connect(1000, ids, false))) {
      long long reads = 0;
      std::vector<double> got;
      rows.push_back(Watch("sync Read, no subscription", seconds, [&] { return reads; },
                           [&] { return reads * n; }, [&] { reads += reader.Read(OPC_DS_DEVICE, got); }));
    }
  }
  {
    long long values = 0;
    SimSide bare;
    bare.onChange = [&](OPCHANDLE, const VARIANT&, WORD, double) { ++values; };
    HRESULT hr = bare.Connect(1000, ids, true);
    if (FAILED(hr)) {
      Say("  connection to SimServer failed: 0x%08lX\n", static_cast<unsigned long>(hr));
      return 1;
    }
    // Every notification brings all N items (each changes every step).
    rows.push_back(Watch("bare group", seconds, [&] { return values / n; }, [&] { return values; }));
  }
  std::string log;
  ClientContext ctx;
  ctx.log = [&](const std::string& line) { log += line + "\n"; };
  ctx.countError = [] {};
  ctx.programFolder = dir.Path();
  ctx.createServer = [](IOPCAutoServer** server) {
    return CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCAutoServer,
                            reinterpret_cast<void**>(server));
  };
  for (int variant = 0; variant < 2; ++variant) {
    std::unique_ptr<Book> book;
    std::shared_ptr<IClientSheet> sheet;
    auto counting = std::make_shared<CountingSheet>();
    if (variant == 0) {
      sheet = counting;
    } else {
      book = std::make_unique<Book>();
      book->Add();
      sheet = std::make_shared<ExcelClientSheet>(FindWorksheet(book->App(), book->WorkbookPosition(), book->SheetName()));
    }
    auto client = std::make_unique<cOpcClient>(ctx);
    client->Server = "Sim.OPCDA.2";
    client->SetSheet(sheet);
    if (!client->Connect()) {
      Say("  the client did not connect: %s\n%s", client->Status().c_str(), log.c_str());
      return 1;
    }
    client->AddOPCItems(items, cells, std::vector<bool>(static_cast<size_t>(n), false));
    // After the items it reads them all once ("OPC Sync Read All OK"); a failure shows as
    // "OPC Client (0x...) - ...".
    if (client->Status().rfind("OPC Client (", 0) == 0 || log.find("adding tag") != std::string::npos) {
      Say("  the items were not added: %s\n%s", client->Status().c_str(), log.c_str());
      return 1;
    }
    if (variant == 0) {
      rows.push_back(Watch("client, counting sheet", seconds, [&] { return counting->calls; },
                           [&] { return counting->cells; }));
    } else {
      auto* xs = static_cast<ExcelClientSheet*>(sheet.get());
      rows.push_back(Watch("client, spreadsheet", seconds, [&] { return static_cast<long long>(xs->Calls()); },
                           [&] { return static_cast<long long>(xs->Calls()) * n; }));
    }
    client->Disconnect();
    client.reset();
  }
  Say("\nthis process's private memory while notifications of %ld items arrive once a second\n", n);
  Say("  %-26s start MB   end MB   growth KB/min   KB per notification   ratio to bare group\n", "");
  // The bare group is the baseline (the second row).
  const double base = rows.size() < 2 ? 0 : (rows[1].endMB - rows[1].startMB) * 1024 / rows[1].seconds * 60;
  for (auto& g : rows) {
    const double kbMin = (g.endMB - g.startMB) * 1024 / g.seconds * 60;
    char ratio[32] = "(bare: < 1 KB/min)";
    if (std::fabs(base) > 1) std::snprintf(ratio, sizeof ratio, "%.3f", kbMin / base);
    Say("  %-26s %8.2f %8.2f %12.1f %16.2f %16s\n", g.what.c_str(), g.startMB, g.endMB, kbMin,
        g.notifications ? (g.endMB - g.startMB) * 1024 / static_cast<double>(g.notifications) : 0,
        ratio);
  }
  keeper.Disconnect();
  if (sim.WaitExit(15000) < 0) Say("  (SimServer did not end within 15 s of its last client leaving)\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  gBin = self;
  gBin.resize(gBin.find_last_of("\\/"));
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode != "cells" && mode != "latency" && mode != "soak" && mode != "inproc") {
    std::fprintf(stderr,
                 "usage: client_bench cells [--cells N] [--rounds R]\n"
                 "       client_bench latency [--samples N] [--tick MS] [--rate MS]\n"
                 "       client_bench soak [--items N] [--seconds S] [--poll MS]\n"
                 "       client_bench inproc [--items N] [--seconds S]\n");
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  int rc = 1;
  try {
    rc = mode == "cells"     ? Cells(argc, argv)
         : mode == "latency" ? Latency(argc, argv)
         : mode == "soak"    ? Soak(argc, argv)
                             : InProcess(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "client_bench: %s\n", e.what());
  }
  CoUninitialize();
  return rc;
}
