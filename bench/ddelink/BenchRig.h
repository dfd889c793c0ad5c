// The parts the DDE link benchmarks put together around one Tessarel: the spreadsheet stand-in
// driven through its automation object, a DDE client of our own on the spreadsheet (to change
// cells and to measure bare DDE round trips), Tessarel started in a program folder of its own
// and watched through its log file, and an OPC client of Tessarel's tags in this process.
// Everything runs on this one thread: DDE and COM both arrive as window messages, so every wait
// here pumps messages.
#pragma once
#include <windows.h>
#include <ddeml.h>
#include <psapi.h>

#include <OpcDataAccess.h>

#include <algorithm>
#include <cstdarg>
#include <fstream>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "ServerClient.h"
#include "WinTestSupport.h"
#include "ddeml_ours/DdemlApi.h"

namespace bench {

using benchclock::Now;

// Runs the message loop until `until` (a Now() time) or until done() holds.
inline void PumpUntil(double until, const std::function<bool()>& done = {}) {
  for (;;) {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
    if (done && done()) return;
    double left = until - Now();
    if (left <= 0) return;
    DWORD ms = static_cast<DWORD>(std::min(left * 1000.0, 5.0));
    MsgWaitForMultipleObjects(0, nullptr, FALSE, ms ? ms : 1, QS_ALLINPUT);
  }
}

inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

inline void Say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
inline void Say(const char* fmt, ...) {
  va_list a;
  va_start(a, fmt);
  std::vfprintf(stdout, fmt, a);
  va_end(a);
  std::fflush(stdout);
}

// ---- the spreadsheet -------------------------------------------------------------------------

// A new spreadsheet process with one workbook opened from a CSV file written here.
class Spreadsheet {
 public:
  // `rows` lines of `makeRow(i)` (i from 1) become <folder>\<sheet>.csv.
  Spreadsheet(const std::string& folder, const std::string& sheet, long rows,
              const std::function<std::string(long)>& makeRow)
      : path_(folder + "\\" + sheet + ".csv") {
    std::string text;
    for (long i = 1; i <= rows; ++i) text += makeRow(i) + "\r\n";
    std::ofstream(path_, std::ios::binary) << text;
    app_ = wbs_test::NewExcel();
    wbs_test::Put(app_.Get(), "DisplayAlerts", common::Variant(false));
    wbs_test::Put(app_.Get(), "Visible", common::Variant(false));
    auto books = wbs_test::Obj(wbs_test::Get(app_.Get(), "Workbooks"));
    book_ = wbs_test::Obj(wbs_test::Call(books.Get(), "Open", {common::Variant(wbs_test::W(path_))}));
    sheet_ = wbs_test::Obj(
        wbs_test::Get(wbs_test::Obj(wbs_test::Get(book_.Get(), "Worksheets")).Get(), "Item",
                      {common::Variant(1)}));
    pid_ = wbs_test::Long(wbs_test::Get(app_.Get(), "ProcessId"));
  }
  ~Spreadsheet() {
    try {
      wbs_test::Call(app_.Get(), "Quit");
    } catch (...) {
    }
    sheet_ = nullptr;
    book_ = nullptr;
    app_ = nullptr;
    wbs_test::WaitProcessGone(static_cast<DWORD>(pid_), 10000);
  }
  const std::string& Path() const { return path_; }
  IDispatch* Sheet() { return sheet_.Get(); }
  // One formula per row of a column, in one cross-process call.
  void FillColumn(const std::string& column, long rows,
                  const std::function<std::wstring(long)>& formula) {
    SAFEARRAYBOUND b[2] = {{static_cast<ULONG>(rows), 1}, {1, 1}};
    SAFEARRAY* sa = SafeArrayCreate(VT_VARIANT, 2, b);
    for (long i = 1; i <= rows; ++i) {
      common::Variant v(reinterpret_cast<const OLECHAR*>(formula(i).c_str()));
      LONG idx[2] = {i, 1};
      SafeArrayPutElement(sa, idx, &v);
    }
    common::Variant arr;
    V_VT(&arr) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(&arr) = sa;
    std::wstring range = wbs_test::W(column + "1:" + column + std::to_string(rows));
    wbs_test::Put(wbs_test::Obj(wbs_test::Get(sheet_.Get(), "Range",
                                              {common::Variant(reinterpret_cast<const OLECHAR*>(range.c_str()))}))
                      .Get(),
                  "Formula", arr);
  }

 private:
  std::string path_;
  common::ComPtr<IDispatch> app_, book_, sheet_;
  long pid_ = 0;
};

// ---- a DDE client on our DDEML -----------------------------------------------------------------

class DdeSide {
 public:
  std::function<void(const std::string& item, const std::string& text, double at)> onAdvise;

  DdeSide() {
    self_ = this;
    ourddeml::DdeInitializeA(&inst_, Callback, APPCMD_CLIENTONLY, 0);
  }
  ~DdeSide() {
    if (conv_) ourddeml::DdeDisconnect(conv_);
    if (inst_) ourddeml::DdeUninitialize(inst_);
    self_ = nullptr;
  }
  bool Connect(const std::string& service, const std::string& topic) {
    HSZ s = Hsz(service), t = Hsz(topic);
    conv_ = ourddeml::DdeConnect(inst_, s, t, nullptr);
    ourddeml::DdeFreeStringHandle(inst_, s);
    ourddeml::DdeFreeStringHandle(inst_, t);
    return conv_ != nullptr;
  }
  std::optional<std::string> Request(const std::string& item) {
    HDDEDATA d = Transact(item, XTYP_REQUEST);
    if (!d) return std::nullopt;
    std::string text = Text(d);
    ourddeml::DdeFreeDataHandle(d);
    return text;
  }
  bool Poke(const std::string& item, const std::string& text) {
    return Transact(item, XTYP_POKE, &text) != nullptr;
  }
  bool Advise(const std::string& item) { return Transact(item, XTYP_ADVSTART) != nullptr; }
  bool Unadvise(const std::string& item) { return Transact(item, XTYP_ADVSTOP) != nullptr; }
  // A cell's text as Excel sends it, without its line end and terminator.
  static std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\0' || s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
  }

 private:
  HSZ Hsz(const std::string& s) { return ourddeml::DdeCreateStringHandleA(inst_, s.c_str(), CP_WINANSI); }
  // One synchronous transaction on the item (text sent for a poke), 1000 ms as Tessarel waits;
  // the item's handle is made and freed per call, as the control does.
  HDDEDATA Transact(const std::string& item, UINT type, const std::string* text = nullptr) {
    HSZ h = Hsz(item);
    std::string z = text ? *text : std::string();
    HDDEDATA r = ourddeml::DdeClientTransaction(text ? reinterpret_cast<LPBYTE>(z.data()) : nullptr,
                                                text ? static_cast<DWORD>(z.size() + 1) : 0, conv_,
                                                h, CF_TEXT, type, 1000, nullptr);
    ourddeml::DdeFreeStringHandle(inst_, h);
    return r;
  }
  static std::string Text(HDDEDATA d) {
    DWORD n = 0;
    LPBYTE p = ourddeml::DdeAccessData(d, &n);
    std::string s = p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
    if (p) ourddeml::DdeUnaccessData(d);
    return Trimmed(s);
  }
  static HDDEDATA CALLBACK Callback(UINT type, UINT, HCONV, HSZ, HSZ item, HDDEDATA data,
                                    ULONG_PTR, ULONG_PTR) {
    if (type != XTYP_ADVDATA || !self_) return nullptr;
    double at = Now();
    if (self_->onAdvise) {
      char name[64] = {};
      ourddeml::DdeQueryStringA(self_->inst_, item, name, sizeof name, CP_WINANSI);
      self_->onAdvise(name, data ? Text(data) : std::string(), at);
    }
    return reinterpret_cast<HDDEDATA>(DDE_FACK);
  }

  static inline DdeSide* self_ = nullptr;
  DWORD inst_ = 0;
  HCONV conv_ = nullptr;
};

// ---- Tessarel ------------------------------------------------------------------------------------

// Tessarel in a program folder of its own, started with the given INI and tag database, watched
// through its log file.
class TessarelRun {
 public:
  TessarelRun(const std::string& binDir, const std::string& folder) : folder_(folder) {
    CopyFileA((binDir + "\\Tessarel.exe").c_str(), (folder + "\\Tessarel.exe").c_str(), FALSE);
    DeleteFileA(LogPath().c_str());
  }
  std::string LogPath() const { return folder_ + "\\Tessarel.log"; }
  bool Start() {
    started_ = Now();
    return wintest::Start(proc_, folder_ + "\\Tessarel.exe", "", folder_);
  }
  double Started() const { return started_; }
  HANDLE Process() const { return proc_.pi.hProcess; }
  bool Running() const { return proc_.ok && WaitForSingleObject(proc_.pi.hProcess, 0) == WAIT_TIMEOUT; }
  long WaitExit(DWORD ms) { return proc_.WaitExit(ms); }

  // Reads what the log gained since the last call; true when it now holds `text`. The time of
  // the first sighting of each watched text is kept.
  bool LogHas(const std::string& text) {
    HANDLE f = CreateFileA(LogPath().c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
      LARGE_INTEGER size{};
      GetFileSizeEx(f, &size);
      if (size.QuadPart > static_cast<LONGLONG>(read_)) {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(read_);
        SetFilePointerEx(f, at, nullptr, FILE_BEGIN);
        std::string chunk(static_cast<size_t>(size.QuadPart) - read_, '\0');
        DWORD got = 0;
        ReadFile(f, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr);
        chunk.resize(got);
        // Only whole lines count; a line still being written is read again next time.
        size_t end = chunk.rfind('\n');
        if (end != std::string::npos) {
          tail_ += chunk.substr(0, end + 1);
          read_ += end + 1;
        }
      }
      CloseHandle(f);
    }
    // Only the lines new since the last look at this text are searched (a search of all of a
    // long log every few milliseconds would load the machine while Tessarel runs).
    // tail_ holds whole lines only, so a text within one line is never split across looks.
    size_t& from = searched_[text];
    const bool found = tail_.find(text, from) != std::string::npos;
    if (!found) from = tail_.size();
    return found;
  }
  // Waits (pumping) until the log holds `text`; the time it was first seen, or nothing.
  std::optional<double> WaitLog(const std::string& text, double timeoutSeconds, double pollSeconds = 0.005) {
    double until = Now() + timeoutSeconds;
    while (Now() < until) {
      if (LogHas(text)) return Now();
      if (!Running()) return LogHas(text) ? std::optional<double>(Now()) : std::nullopt;
      PumpUntil(Now() + pollSeconds);
    }
    return std::nullopt;
  }
  const std::string& LogText() const { return tail_; }

  // Private bytes and working set of the process, in MB. (Wine reports no private bytes for
  // another process; its page-file usage then stands in.)
  std::pair<double, double> MemoryMB() const {
    PROCESS_MEMORY_COUNTERS_EX pmc{};
    pmc.cb = sizeof pmc;
    if (!GetProcessMemoryInfo(proc_.pi.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc),
                              sizeof pmc))
      return {-1, -1};
    SIZE_T priv = pmc.PrivateUsage ? pmc.PrivateUsage : pmc.PagefileUsage;
    return {priv / 1048576.0, pmc.WorkingSetSize / 1048576.0};
  }

 private:
  std::string folder_;
  wintest::Process proc_;
  double started_ = 0;
  std::string tail_;
  size_t read_ = 0;
  std::map<std::string, size_t> searched_;  // per text sought: where its next search starts
};

// Writes Tessarel's INI: the workbook already open in the spreadsheet this program started
// (attached, so both talk to the same process), the given tag database and update interval.
inline void WriteTessarelIni(const wintest::TempFolder& dir, const std::string& workbook,
                             long updateMs, bool ackHotLinks = false) {
  dir.Write("Tessarel.ini",
            "[Tessarel]\r\nDatabase=tags.csv\r\nWorkbook=" + workbook +
                "\r\nFileOpenMode=write\r\nVisible=false\r\nNewExcelInstance=false\r\n"
                "UpdateInterval=" + std::to_string(updateMs) + "\r\nAckHotLinks=" +
                (ackHotLinks ? "true" : "false") + "\r\n");
}

// ---- an OPC client of Tessarel ---------------------------------------------------------------------

class OpcSide : public IOPCDataCallback {
 public:
  // Client handle (the item's index), value, quality, arrival time.
  std::function<void(OPCHANDLE, const VARIANT&, WORD, double)> onChange;
  long callbacks = 0;

  ~OpcSide() { Disconnect(); }

  HRESULT Connect(const wchar_t* progId, DWORD rateMs, const std::vector<std::wstring>& names) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr)) return hr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                          reinterpret_cast<void**>(&server_));
    if (FAILED(hr)) return hr;
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    hr = server_->AddGroup(L"bench", TRUE, rateMs, 1, nullptr, nullptr, 0, &hGroup, &revised,
                           IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&items_));
    if (FAILED(hr)) return hr;
    revisedRate = revised;
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
    items_->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&io_));
    IConnectionPointContainer* cpc = nullptr;
    items_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
    if (!cpc) return E_NOINTERFACE;
    hr = cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp_);
    cpc->Release();
    if (FAILED(hr)) return hr;
    return cp_->Advise(this, &cookie_);
  }
  // The server's cached values of every item (value as double, quality).
  bool ReadAll(std::vector<std::pair<double, WORD>>& out) {
    if (!io_) return false;
    OPCITEMSTATE* st = nullptr;
    HRESULT* errs = nullptr;
    if (FAILED(io_->Read(OPC_DS_CACHE, static_cast<DWORD>(handles.size()), handles.data(), &st, &errs)))
      return false;
    out.resize(handles.size());
    for (size_t i = 0; i < handles.size(); ++i) {
      common::Variant d;
      out[i] = {SUCCEEDED(VariantChangeType(&d, &st[i].vDataValue, 0, VT_R8)) ? V_R8(&d) : -1e300,
                st[i].wQuality};
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
  DWORD revisedRate = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IOPCDataCallback) return E_NOINTERFACE;
    *ppv = static_cast<IOPCDataCallback*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD n,
                                         OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME*,
                                         HRESULT*) override {
    double at = Now();
    ++callbacks;
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

inline double AsDouble(const VARIANT& v) {
  common::Variant d;
  if (FAILED(VariantChangeType(&d, const_cast<VARIANT*>(&v), 0, VT_R8))) return -1e300;
  return V_R8(&d);
}

// A tag database of `n` double tags T1..Tn on rows 1..n of one column of one sheet.
inline void WriteTags(const wintest::TempFolder& dir, const std::string& sheet, long n, int column) {
  std::string text = "Tag,Type,Sheet,Cell,Write\r\n";
  text.reserve(static_cast<size_t>(n) * 32);
  for (long i = 1; i <= n; ++i)
    text += "T" + std::to_string(i) + ",R8," + sheet + ",R" + std::to_string(i) + "C" +
            std::to_string(column) + "\r\n";
  dir.Write("tags.csv", text);
}

inline std::vector<std::wstring> TagNames(long n) {
  std::vector<std::wstring> names;
  for (long i = 1; i <= n; ++i) names.push_back(L"T" + std::to_wstring(i));
  return names;
}

}  // namespace bench
