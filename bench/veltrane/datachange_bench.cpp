// DataChange delivery through Veltrane against a bare custom-interface client, both fed by the
// same server process in the same run: 10,000 items changing every update, at 1000 ms and at
// 100 ms update rate, on DA 2.0 and on DA 1.0.
//   - bare DA 2.0: an IOPCDataCallback advised on the server's group connection point;
//   - bare DA 1.0: an IAdviseSink advised with IDataObject::DAdvise ("OPCSTMFORMATDATATIME",
//     the format Veltrane asks for), reading only the group header's item count;
//   - Veltrane: OPCServer.Connect, OPCGroups.Add, OPCItems.AddItems, a C++ IDispatch sink
//     advised on the group's DIOPCGroupEvent connection point, IsSubscribed = True.
// The server is opc_toolkit_host (started here with --tags N --change-ms RATE, and --da10 for
// the DA 1.0 personality "Marrowby.ToolkitHost10.1"): every Bulk.T* tag changes every change
// period, which SimServer's fixed item tree cannot give for 10,000 items.
// Both groups live in the one host for the whole pass, active; only one of them is subscribed
// at a time, in alternating windows (bare first in even rounds, Veltrane first in odd ones) so
// a slow patch of the machine hits both alike. In a window the first report (initial values)
// is ignored; items/s = items of the later reports / time from the second report to the last.
// Beside the delivery rate (which shows Veltrane's cost only once it cannot keep up), each
// window's CPU time of this process per item delivered shows what each path costs the client.
// Everything runs on this STA thread, which pumps messages while it waits (the callbacks, and
// Veltrane's own queued stream handling, arrive as messages).
//   veltrane_datachange_bench [--items N] [--rounds N] [--seconds S]
// --seconds is one window at 1000 ms (default 5; 100 ms windows are half as long); --rounds the
// windows per variant (default 3). The default run takes under three minutes.
// Needs Veltrane.dll, OpcProxy.dll and opc_toolkit_host registered (scripts/register); run it
// with scripts/wine from the build's bin folder.
#include <windows.h>
#include <objbase.h>

#include <OPCAutomation.h>
#include <OpcCommon.h>
#include <OpcDataAccess.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "BenchClock.h"

namespace {

const CLSID kHostClsid = {0xef703fde, 0x8fee, 0x48b3, {0xb8, 0xf2, 0xb5, 0x91, 0x9d, 0x9c, 0x02, 0xfe}};
const CLSID kHost10Clsid = {0x7008aa4c, 0xac12, 0x4126, {0xa6, 0x09, 0xb2, 0xb1, 0x72, 0x26, 0x56, 0xce}};

using benchclock::Now;

[[noreturn]] void Fail(const char* what, HRESULT hr) {
  fprintf(stderr, "veltrane_datachange_bench: %s failed: 0x%08lX\n", what,
          static_cast<unsigned long>(hr));
  exit(1);
}

template <class T>
struct Ptr {
  T* p = nullptr;
  Ptr() = default;
  Ptr(const Ptr&) = delete;
  Ptr& operator=(const Ptr&) = delete;
  ~Ptr() { Reset(); }
  void Reset() {
    if (p) p->Release();
    p = nullptr;
  }
  T* operator->() const { return p; }
  T** Out() { return &p; }
  void** Void() { return reinterpret_cast<void**>(&p); }
};

// What one window saw at one sink.
struct Tally {
  bool armed = false;
  long reports = 0;
  long long items = 0, all = 0;  // all: every report's items, the initial values too
  double first = 0, last = 0;
  void Arm() { *this = Tally{}, armed = true; }
  void Report(long n) {
    if (!armed) return;
    double t = Now();
    ++reports;
    all += n;
    if (reports == 2) first = t;  // report 1 is the initial values
    if (reports > 2) {
      items += n;
      last = t;
    }
  }
};

// The baseline sinks: they only count, as a client that hands the data on would at least.
class BareCallback : public IOPCDataCallback, public IAdviseSink {
 public:
  Tally tally;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCDataCallback) *ppv = static_cast<IOPCDataCallback*>(this);
    else if (riid == IID_IAdviseSink) *ppv = static_cast<IAdviseSink*>(this);
    else return E_NOINTERFACE;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD n, OPCHANDLE*,
                                         VARIANT*, WORD*, FILETIME*, HRESULT*) override {
    tally.Report(static_cast<long>(n));
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
  // DA 1.0: the group header (dwSize, dwItemCount, ...) starts the stream.
  void STDMETHODCALLTYPE OnDataChange(FORMATETC*, STGMEDIUM* medium) override {
    if (!medium || medium->tymed != TYMED_HGLOBAL || !medium->hGlobal) return;
    if (GlobalSize(medium->hGlobal) < 20) return;
    const DWORD* header = static_cast<const DWORD*>(GlobalLock(medium->hGlobal));
    if (!header) return;
    long n = static_cast<long>(header[1]);
    GlobalUnlock(medium->hGlobal);
    tally.Report(n);
  }
  void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
  void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
  void STDMETHODCALLTYPE OnSave() override {}
  void STDMETHODCALLTYPE OnClose() override {}
};

// The automation event sink, as a C++ client of Veltrane writes one.
class EventSink : public IDispatch {
 public:
  Tally tally;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IDispatch && riid != DIID_DIOPCGroupEvent)
      return E_NOINTERFACE;
    *ppv = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    // DataChange(TransactionID, NumItems, ClientHandles, ItemValues, Qualities, TimeStamps):
    // arguments arrive last first, so NumItems is rgvarg[4].
    if (id != 1 || !params || params->cArgs != 6) return S_OK;
    const VARIANT& num = params->rgvarg[4];
    long n = V_VT(&num) == VT_I4 ? V_I4(&num)
             : V_VT(&num) == (VT_I4 | VT_BYREF) && V_I4REF(&num) ? *V_I4REF(&num) : 0;
    tally.Report(n);
    return S_OK;
  }
};

void Pump(double seconds) {
  double end = Now() + seconds;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    double left = end - Now();
    if (left <= 0) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left * 1000) + 1,
                              QS_ALLINPUT);
  }
}

SAFEARRAY* OneBased(VARTYPE vt, long n) {
  SAFEARRAYBOUND b{static_cast<ULONG>(n), 1};
  SAFEARRAY* sa = SafeArrayCreate(vt, 1, &b);
  if (!sa) Fail("SafeArrayCreate", E_OUTOFMEMORY);
  return sa;
}

// A host started for one pass, with its bulk tags, connected to once it says "ready".
struct HostProcess {
  PROCESS_INFORMATION pi{};
  HostProcess(long items, long rateMs, bool da10) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    std::wstring cmd = L"\"" + dir + L"opc_toolkit_host.exe\" --tags " + std::to_wstring(items) +
                       L" --change-ms " + std::to_wstring(rateMs) + L" --linger-ms 500" +
                       (da10 ? L" --da10" : L"");
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE rd, wr;
    if (!CreatePipe(&rd, &wr, &sa, 0)) Fail("CreatePipe", HRESULT_FROM_WIN32(GetLastError()));
    SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = wr;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &pi))
      Fail("starting opc_toolkit_host.exe", HRESULT_FROM_WIN32(GetLastError()));
    CloseHandle(wr);
    char line[16] = {};
    DWORD got = 0;
    ReadFile(rd, line, 6, &got, nullptr);
    CloseHandle(rd);
    if (strncmp(line, "ready", 5) != 0) Fail("waiting for the host", E_FAIL);
  }
  ~HostProcess() {
    if (WaitForSingleObject(pi.hProcess, 15000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
};

struct Result {
  long rateMs;
  bool da10;
  double bare, veltrane;
  long bareReports, veltraneReports;
  double bareCpuPerItem, veltraneCpuPerItem;  // client CPU seconds per delivered item
};

double PerSecond(long long items, double span) { return span > 0 ? items / span : 0; }

// This process's CPU seconds (all threads: the STA thread and the RPC threads that receive).
double ProcessCpu() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto s = [](FILETIME f) {
    return ((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e7;
  };
  return s(kernel) + s(user);
}

Result Pass(long items, long rateMs, bool da10, int rounds, double window) {
  HostProcess host(items, rateMs, da10);
  Result r{rateMs, da10, 0, 0, 0, 0, 0, 0};
  double bareCpu = 0, veltraneCpu = 0;
  long long bareAll = 0, veltraneAll = 0;
  std::vector<std::wstring> names(items);
  for (long i = 0; i < items; ++i) names[i] = L"Bulk.T" + std::to_wstring(i);
  {
    // Bare client: the custom interfaces straight to the host.
    Ptr<IOPCServer> server;
    HRESULT hr = CoCreateInstance(da10 ? kHost10Clsid : kHostClsid, nullptr, CLSCTX_LOCAL_SERVER,
                                  IID_IOPCServer, server.Void());
    if (FAILED(hr)) Fail("connecting to the host", hr);
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    Ptr<IOPCItemMgt> group;
    hr = server->AddGroup(L"bare", TRUE, static_cast<DWORD>(rateMs), 1, nullptr, nullptr, 0,
                          &hGroup, &revised, IID_IOPCItemMgt,
                          reinterpret_cast<LPUNKNOWN*>(group.Out()));
    if (FAILED(hr)) Fail("IOPCServer::AddGroup", hr);
    std::vector<OPCITEMDEF> defs(items);
    for (long i = 0; i < items; ++i) {
      defs[i] = {};
      defs[i].szItemID = names[i].data();
      defs[i].szAccessPath = const_cast<LPWSTR>(L"");
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* errs = nullptr;
    hr = group->AddItems(static_cast<DWORD>(items), defs.data(), &res, &errs);
    if (hr != S_OK) Fail("IOPCItemMgt::AddItems", FAILED(hr) ? hr : E_FAIL);
    CoTaskMemFree(res);
    CoTaskMemFree(errs);

    // Veltrane, as an automation client would drive it.
    Ptr<IOPCAutoServer> automation;
    hr = CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCAutoServer,
                          automation.Void());
    if (FAILED(hr)) Fail("creating Veltrane's OPCServer (is Veltrane.dll registered?)", hr);
    BSTR progId = SysAllocString(da10 ? L"Marrowby.ToolkitHost10.1" : L"Marrowby.ToolkitHost.1");
    VARIANT noNode;
    V_VT(&noNode) = VT_ERROR;
    V_ERROR(&noNode) = DISP_E_PARAMNOTFOUND;
    hr = automation->Connect(progId, noNode);
    SysFreeString(progId);
    if (FAILED(hr)) Fail("OPCServer.Connect", hr);
    Ptr<IOPCGroups> groups;
    hr = automation->get_OPCGroups(groups.Out());
    if (FAILED(hr)) Fail("OPCServer.OPCGroups", hr);
    VARIANT groupName;
    V_VT(&groupName) = VT_BSTR;
    V_BSTR(&groupName) = SysAllocString(L"veltrane");
    Ptr<IOPCGroup> autoGroup;
    hr = groups->Add(groupName, autoGroup.Out());
    VariantClear(&groupName);
    if (FAILED(hr)) Fail("OPCGroups.Add", hr);
    hr = autoGroup->put_UpdateRate(rateMs);
    if (FAILED(hr)) Fail("OPCGroup.UpdateRate", hr);
    hr = autoGroup->put_IsActive(VARIANT_TRUE);
    if (FAILED(hr)) Fail("OPCGroup.IsActive", hr);
    Ptr<OPCItems> autoItems;
    hr = autoGroup->get_OPCItems(autoItems.Out());
    if (FAILED(hr)) Fail("OPCGroup.OPCItems", hr);
    SAFEARRAY* ids = OneBased(VT_BSTR, items);
    SAFEARRAY* handles = OneBased(VT_I4, items);
    for (long i = 0; i < items; ++i) {
      LONG at = i + 1;
      BSTR id = SysAllocString(names[i].c_str());
      SafeArrayPutElement(ids, &at, id);
      SysFreeString(id);
      LONG ch = i + 1;
      SafeArrayPutElement(handles, &at, &ch);
    }
    SAFEARRAY* serverHandles = nullptr;
    SAFEARRAY* errors = nullptr;
    VARIANT missing;
    V_VT(&missing) = VT_ERROR;
    V_ERROR(&missing) = DISP_E_PARAMNOTFOUND;
    hr = autoItems->AddItems(items, &ids, &handles, &serverHandles, &errors, missing, missing);
    SafeArrayDestroy(ids);
    SafeArrayDestroy(handles);
    if (serverHandles) SafeArrayDestroy(serverHandles);
    if (errors) SafeArrayDestroy(errors);
    if (hr != S_OK) Fail("OPCItems.AddItems", FAILED(hr) ? hr : E_FAIL);
    EventSink events;
    Ptr<IConnectionPointContainer> autoCpc;
    Ptr<IConnectionPoint> autoCp;
    DWORD autoCookie = 0;
    hr = autoGroup->QueryInterface(IID_IConnectionPointContainer, autoCpc.Void());
    if (SUCCEEDED(hr)) hr = autoCpc->FindConnectionPoint(DIID_DIOPCGroupEvent, autoCp.Out());
    if (SUCCEEDED(hr)) hr = autoCp->Advise(&events, &autoCookie);
    if (FAILED(hr)) Fail("advising on DIOPCGroupEvent", hr);

    BareCallback bare;
    Ptr<IConnectionPoint> bareCp;
    Ptr<IDataObject> bareData;
    FORMATETC fmt{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")),
                  nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    if (da10) {
      hr = group->QueryInterface(IID_IDataObject, bareData.Void());
      if (FAILED(hr)) Fail("the DA 1.0 group's IDataObject", hr);
    } else {
      Ptr<IConnectionPointContainer> cpc;
      hr = group->QueryInterface(IID_IConnectionPointContainer, cpc.Void());
      if (SUCCEEDED(hr)) hr = cpc->FindConnectionPoint(IID_IOPCDataCallback, bareCp.Out());
      if (FAILED(hr)) Fail("the DA 2.0 group's IOPCDataCallback connection point", hr);
    }

    auto bareWindow = [&] {
      DWORD cookie = 0;
      bare.tally.Arm();
      double cpu0 = ProcessCpu();
      HRESULT h = da10 ? bareData->DAdvise(&fmt, 0, static_cast<IAdviseSink*>(&bare), &cookie)
                         : bareCp->Advise(static_cast<IOPCDataCallback*>(&bare), &cookie);
      if (FAILED(h)) Fail(da10 ? "IDataObject::DAdvise" : "IConnectionPoint::Advise", h);
      Pump(window);
      bare.tally.armed = false;
      h = da10 ? bareData->DUnadvise(cookie) : bareCp->Unadvise(cookie);
      if (FAILED(h)) Fail("unadvising the bare sink", h);
      bareCpu += ProcessCpu() - cpu0;
      bareAll += bare.tally.all;
      r.bare += bare.tally.items;
      r.bareReports += bare.tally.reports > 2 ? bare.tally.reports - 2 : 0;
      return bare.tally.last - bare.tally.first;
    };
    auto veltraneWindow = [&] {
      events.tally.Arm();
      double cpu0 = ProcessCpu();
      HRESULT h = autoGroup->put_IsSubscribed(VARIANT_TRUE);
      if (FAILED(h)) Fail("OPCGroup.IsSubscribed = True", h);
      Pump(window);
      events.tally.armed = false;
      h = autoGroup->put_IsSubscribed(VARIANT_FALSE);
      if (FAILED(h)) Fail("OPCGroup.IsSubscribed = False", h);
      veltraneCpu += ProcessCpu() - cpu0;
      veltraneAll += events.tally.all;
      r.veltrane += events.tally.items;
      r.veltraneReports += events.tally.reports > 2 ? events.tally.reports - 2 : 0;
      return events.tally.last - events.tally.first;
    };
    double settle = rateMs * 2 / 1000.0 + 0.2;  // what the last window left queued
    double bareSpan = 0, veltraneSpan = 0;
    for (int round = 0; round < rounds; ++round) {
      for (int k = 0; k < 2; ++k) {
        if ((k == 0) == (round % 2 == 0)) bareSpan += bareWindow();
        else veltraneSpan += veltraneWindow();
        Pump(settle);
      }
    }
    r.bare = PerSecond(static_cast<long long>(r.bare), bareSpan);
    r.veltrane = PerSecond(static_cast<long long>(r.veltrane), veltraneSpan);
    r.bareCpuPerItem = bareAll ? bareCpu / bareAll : 0;
    r.veltraneCpuPerItem = veltraneAll ? veltraneCpu / veltraneAll : 0;

    autoCp->Unadvise(autoCookie);
    autoCp.Reset();
    autoCpc.Reset();
    autoItems.Reset();
    autoGroup.Reset();
    groups.Reset();
    automation->Disconnect();
    automation.Reset();
    bareCp.Reset();
    bareData.Reset();
    group.Reset();
    server->RemoveGroup(hGroup, FALSE);
  }
  Pump(0.2);
  return r;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  long items = 10000;
  int rounds = 3;
  double seconds = 5;
  for (int i = 1; i < argc; ++i) {
    if (!wcscmp(argv[i], L"--items") && i + 1 < argc) items = _wtol(argv[++i]);
    else if (!wcscmp(argv[i], L"--rounds") && i + 1 < argc) rounds = _wtoi(argv[++i]);
    else if (!wcscmp(argv[i], L"--seconds") && i + 1 < argc) seconds = _wtof(argv[++i]);
    else rounds = 0;
  }
  if (items < 1 || items > 1000000 || rounds < 1 || seconds < 3) {
    fprintf(stderr,
            "usage: veltrane_datachange_bench [--items N>0] [--rounds N>0] [--seconds S>=3]\n");
    return 2;
  }
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) Fail("CoInitializeEx", hr);
  std::vector<Result> results;
  double t0 = Now();
  for (long rate : {1000L, 100L}) {
    for (bool da10 : {false, true}) {
      results.push_back(Pass(items, rate, da10, rounds, rate >= 1000 ? seconds : seconds / 2));
    }
  }
  printf("DataChange delivery, opc_toolkit_host out of process, %ld items changing every update, "
         "%d alternating windows of each, %.0f s run\n",
         items, rounds, Now() - t0);
  printf("%-8s %-7s %14s %14s %8s %10s %18s %8s\n", "rate", "path", "bare items/s",
         "Veltrane it/s", "ratio", "reports", "CPU us/item b/V", "ratio");
  for (const Result& r : results) {
    double ratio = r.veltrane > 0 ? r.bare / r.veltrane : 0;
    char rate[16], reports[32];
    snprintf(rate, sizeof rate, "%ld ms", r.rateMs);
    snprintf(reports, sizeof reports, "%ld/%ld", r.bareReports, r.veltraneReports);
    char cpu[32];
    snprintf(cpu, sizeof cpu, "%.2f/%.2f", r.bareCpuPerItem * 1e6, r.veltraneCpuPerItem * 1e6);
    double cpuRatio = r.bareCpuPerItem > 0 ? r.veltraneCpuPerItem / r.bareCpuPerItem : 0;
    printf("%-8s %-7s %14.0f %14.0f %8.3f %10s %18s %8.2f\n", rate, r.da10 ? "DA 1.0" : "DA 2.0",
           r.bare, r.veltrane, ratio, reports, cpu, cpuRatio);
  }
  printf("ratio = bare items/s / Veltrane items/s (aim: below 1.2); reports counted bare/Veltrane; "
         "produced: %ld items/s at 1000 ms, %ld at 100 ms\n",
         items, items * 10);
  printf("CPU us/item: this process's CPU time (all threads) in the windows per item delivered, "
         "bare/Veltrane, and Veltrane's over bare\n");
  CoUninitialize();
  return 0;
}
