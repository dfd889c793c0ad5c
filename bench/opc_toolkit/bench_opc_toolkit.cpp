// Data changes delivered out of process by the toolkit: 10,000 items changing every second in
// one group at a 1000 ms update rate, counted at the client's IOPCDataCallback. The baseline,
// measured in the same run, is one cross-process call with the same payload: a synchronous
// cache Read of the same 10,000 items. Prints both and their ratio.
//   bench_opc_toolkit [--items N] [--seconds S]
// Needs OpcProxy.dll and the toolkit host registered (scripts/register); run it with
// scripts/wine from the build's bin folder.
#include <windows.h>
#include <objbase.h>

#include <OpcDataAccess.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "BenchClock.h"

namespace {

const CLSID kHostClsid = {0xef703fde, 0x8fee, 0x48b3, {0xb8, 0xf2, 0xb5, 0x91, 0x9d, 0x9c, 0x02, 0xfe}};

using benchclock::Now;

class Counter : public IOPCDataCallback {
 public:
  long callbacks = 0;
  long long items = 0;
  double first = 0, last = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IOPCDataCallback) return E_NOINTERFACE;
    *ppv = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD n, OPCHANDLE*,
                                         VARIANT*, WORD*, FILETIME*, HRESULT*) override {
    double t = Now();
    if (callbacks++ == 0) first = t;
    else items += n;  // the first report is the initial values, not changes
    last = t;
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
};

void Pump(double seconds) {
  double end = Now() + seconds;
  while (Now() < end) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
}

int Fail(const char* what, HRESULT hr) {
  fprintf(stderr, "bench_opc_toolkit: %s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  long count = 10000, seconds = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (wcscmp(argv[i], L"--items") == 0) count = _wtol(argv[i + 1]);
    else if (wcscmp(argv[i], L"--seconds") == 0) seconds = _wtol(argv[i + 1]);
  }
  if (count < 1 || seconds < 2) {
    fprintf(stderr, "usage: bench_opc_toolkit [--items N>0] [--seconds S>1]\n");
    return 2;
  }
  // The host is started here, with the bulk tags, and connected to once it serves.
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir(self);
  dir.resize(dir.find_last_of(L"\\/") + 1);
  std::wstring cmd = L"\"" + dir + L"opc_toolkit_host.exe\" --tags " + std::to_wstring(count) +
                     L" --change-ms 1000 --linger-ms 500";
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE rd, wr;
  CreatePipe(&rd, &wr, &sa, 0);
  SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = wr;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    fprintf(stderr, "bench_opc_toolkit: cannot start opc_toolkit_host.exe\n");
    return 1;
  }
  CloseHandle(wr);
  char line[16] = {};
  DWORD got = 0;
  ReadFile(rd, line, 6, &got, nullptr);
  if (strncmp(line, "ready", 5) != 0) {
    fprintf(stderr, "bench_opc_toolkit: the host did not start\n");
    return 1;
  }

  CoInitialize(nullptr);
  IOPCServer* server = nullptr;
  HRESULT hr = CoCreateInstance(kHostClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                reinterpret_cast<void**>(&server));
  if (FAILED(hr)) return Fail("connecting", hr);
  OPCHANDLE hGroup;
  DWORD rate;
  IOPCItemMgt* group = nullptr;
  hr = server->AddGroup(L"bench", TRUE, 1000, 1, nullptr, nullptr, 0, &hGroup, &rate,
                        IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&group));
  if (FAILED(hr)) return Fail("AddGroup", hr);
  std::vector<std::wstring> names(count);
  std::vector<OPCITEMDEF> defs(count);
  for (long i = 0; i < count; ++i) {
    names[i] = L"Bulk.T" + std::to_wstring(i);
    defs[i] = {};
    defs[i].szItemID = names[i].data();
    defs[i].szAccessPath = const_cast<LPWSTR>(L"");
    defs[i].bActive = TRUE;
    defs[i].hClient = i;
  }
  OPCITEMRESULT* res = nullptr;
  HRESULT* errs = nullptr;
  hr = group->AddItems(count, defs.data(), &res, &errs);
  if (hr != S_OK) return Fail("AddItems", hr);
  std::vector<OPCHANDLE> handles(count);
  for (long i = 0; i < count; ++i) handles[i] = res[i].hServer;
  CoTaskMemFree(res);
  CoTaskMemFree(errs);

  // Baseline: one cross-process call carrying the same 10,000 values.
  IOPCSyncIO* io = nullptr;
  group->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&io));
  const int reads = 10;
  double t0 = Now();
  for (int r = 0; r < reads; ++r) {
    OPCITEMSTATE* st = nullptr;
    hr = io->Read(OPC_DS_CACHE, count, handles.data(), &st, &errs);
    if (FAILED(hr)) return Fail("Read", hr);
    for (long i = 0; i < count; ++i) VariantClear(&st[i].vDataValue);
    CoTaskMemFree(st);
    CoTaskMemFree(errs);
  }
  double readSeconds = (Now() - t0) / reads;
  double readItemsPerSecond = count / readSeconds;

  Counter counter;
  IConnectionPointContainer* cpc = nullptr;
  group->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
  IConnectionPoint* cp = nullptr;
  cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp);
  DWORD cookie = 0;
  hr = cp->Advise(&counter, &cookie);
  if (FAILED(hr)) return Fail("Advise", hr);
  Pump(static_cast<double>(seconds));
  cp->Unadvise(cookie);
  cp->Release();
  cpc->Release();
  io->Release();
  group->Release();
  server->Release();

  double span = counter.last - counter.first;
  double changesPerSecond = span > 0 ? counter.items / span : 0;
  printf("items %ld, update rate 1000 ms, every item changes every second, %ld s\n", count,
         seconds);
  printf("baseline: one cross-process Read of %ld items: %.1f ms = %.0f items/s\n", count,
         readSeconds * 1000, readItemsPerSecond);
  printf("data changes delivered: %lld in %ld callbacks over %.2f s = %.0f changes/s "
         "(%.1f%% of the %ld changes/s produced)\n",
         counter.items, counter.callbacks - 1, span, changesPerSecond,
         100.0 * changesPerSecond / count, count);
  printf("ratio: delivered changes/s to one-call throughput = %.3f\n",
         changesPerSecond / readItemsPerSecond);
  CoUninitialize();
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return 0;
}
