// opc_toolkit_host: a small program that hosts the toolkit the way Tessarel does, with a fixed
// set of demonstration tags, for out-of-process tests and the benchmark. Registered as
// "Marrowby.ToolkitHost.1" (DA 2.0) and, started with --da10, as "Marrowby.ToolkitHost10.1"
// (the DA 1.0 personality); COM starts it with -Embedding, and it ends some seconds after its
// last client has gone.
//   opc_toolkit_host /regserver | /unregserver          (both identities)
//   opc_toolkit_host [-Embedding] [--da10] [--tags N] [--change-ms MS] [--linger-ms MS]
//                    [--idle-exit-ms MS]
// Tags: Control.Clients (I4, the connected client count), Demo.Counter (I4, +1 every change period), Demo.Setpoint (R8, writable), Demo.Text (BSTR,
// writable), Demo.Flag (BOOL, writable), Demo.ReadOnly (I4), Control.Shutdown (BSTR, writable:
// a write asks every client to disconnect with the written text), and with --tags N the tags
// Bulk.T0 .. Bulk.T<N-1> (R8), all changing every change period.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <opc_toolkit/ServerToolkit.h>

#include <cwchar>
#include <string>
#include <vector>

using namespace opc_toolkit;

namespace {

const CLSID kHostClsid = {0xef703fde, 0x8fee, 0x48b3, {0xb8, 0xf2, 0xb5, 0x91, 0x9d, 0x9c, 0x02, 0xfe}};
const GUID kHostAppId = {0x4f7aad2a, 0x8ee2, 0x4e6d, {0x8e, 0x9e, 0x28, 0xf6, 0x9a, 0x3e, 0xaa, 0xf9}};
const CLSID kHost10Clsid = {0x7008aa4c, 0xac12, 0x4126, {0xa6, 0x09, 0xb2, 0xb1, 0x72, 0x26, 0x56, 0xce}};
const GUID kHost10AppId = {0x9c77dc0f, 0xa62b, 0x47a4, {0x9f, 0xdf, 0x2e, 0xb3, 0x11, 0x86, 0x20, 0xf1}};

ToolkitConfig HostConfig(bool da10) {
  ToolkitConfig cfg;
  cfg.progId = da10 ? L"Marrowby.ToolkitHost10.1" : L"Marrowby.ToolkitHost.1";
  cfg.clsid = da10 ? kHost10Clsid : kHostClsid;
  cfg.appId = da10 ? kHost10AppId : kHostAppId;
  cfg.description = da10 ? L"Marrowby Toolkit Host (DA 1.0)" : L"Marrowby Toolkit Host";
  cfg.da10 = da10;
  if (da10) cfg.serverArguments = L"--da10";
  return cfg;
}

enum : UINT_PTR { kTimerChange = 1, kTimerLinger = 2, kTimerIdle = 3 };

class Host : public IServerToolkitEvents {
 public:
  std::unique_ptr<IServerToolkit> toolkit;
  std::vector<IServedTag*> bulk;
  IServedTag* counter = nullptr;
  long count = 0;
  DWORD lingerMs = 3000;
  bool everConnected = false;

  IServedTag* clients = nullptr;
  void ShowClients(long n) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = n;
    if (clients) clients->UpdateValue(&v, kQualityGood, 0);
  }
  void ServerClientConnected(long n) override {
    ShowClients(n);
    everConnected = true;
    KillTimer(nullptr, lingerTimer_);
    lingerTimer_ = 0;
    KillTimer(nullptr, idleTimer_);
    idleTimer_ = 0;
  }
  void ServerClientDisconnected(long remaining) override {
    ShowClients(remaining);
    if (remaining < 1) lingerTimer_ = SetTimer(nullptr, 0, lingerMs, &Host::OnLinger);
  }
  void ValidateItems(long count, const wchar_t* const*, long* errors, long& result) override {
    for (long i = 0; i < count; ++i) errors[i] = 0;
    result = 0;
  }
  void WriteItems(long n, const wchar_t* const* names, const VARIANT* values, long* errors,
                  long& result) override {
    long ok = 0;
    for (long i = 0; i < n; ++i) {
      errors[i] = static_cast<long>(E_FAIL);
      IServedTag* t = toolkit->ServedTags().Item(names[i]);
      if (!t) continue;
      if (_wcsicmp(names[i], L"Control.Shutdown") == 0) {
        VARIANT text;
        VariantInit(&text);
        if (SUCCEEDED(VariantChangeType(&text, const_cast<VARIANT*>(&values[i]), 0, VT_BSTR))) {
          pendingShutdown_ = V_BSTR(&text) ? V_BSTR(&text) : L"";
          VariantClear(&text);
          // Asked from the timer, not inside the client's own write call.
          SetTimer(nullptr, 0, 10, &Host::OnShutdownTimer);
          errors[i] = 0;
          ++ok;
        }
        continue;
      }
      if (SUCCEEDED(t->UpdateValue(&values[i], kQualityGood, 0))) {
        errors[i] = 0;
        ++ok;
      }
    }
    result = ok == n ? 0 : ok > 0 ? 1 : static_cast<long>(E_FAIL);
  }
  void WriteItemsEx(long n, const wchar_t* const* names, const VARIANT* values, const short*,
                    const DATE*, long* errors, long& result) override {
    WriteItems(n, names, values, errors, result);
  }

  void Change() {
    ++count;
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = count;
    counter->UpdateValue(&v, kQualityGood, 0);
    V_VT(&v) = VT_R8;
    for (size_t i = 0; i < bulk.size(); ++i) {
      V_R8(&v) = count + i * 0.001;
      bulk[i]->UpdateValue(&v, kQualityGood, 0);
    }
  }
  void StartIdleTimer(DWORD ms) { idleTimer_ = SetTimer(nullptr, 0, ms, &Host::OnIdle); }

 private:
  static constexpr DWORD kLeaveGraceMs = 1000;
  static void CALLBACK OnLinger(HWND, UINT, UINT_PTR id, DWORD);
  static void CALLBACK OnLeave(HWND, UINT, UINT_PTR id, DWORD);
  static void CALLBACK OnIdle(HWND, UINT, UINT_PTR id, DWORD);
  static void CALLBACK OnShutdownTimer(HWND, UINT, UINT_PTR id, DWORD);
  UINT_PTR lingerTimer_ = 0, idleTimer_ = 0;
  std::wstring pendingShutdown_;
};

Host* g_host = nullptr;

void CALLBACK Host::OnLinger(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  if (g_host->toolkit->ClientsConnected()) return;
  // Withdrawn first, then a moment for an activation already under way (a client that got the
  // class object just before) before leaving: quitting at once failed such a client with
  // 0x80010108. A client that arrives meanwhile keeps the host serving.
  g_host->toolkit->StopServing();
  SetTimer(nullptr, 0, kLeaveGraceMs, &Host::OnLeave);
}

void CALLBACK Host::OnLeave(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  if (g_host->toolkit->ClientsConnected()) {
    g_host->toolkit->StartServing();
    return;
  }
  PostQuitMessage(0);
}

void CALLBACK Host::OnIdle(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  if (!g_host->everConnected) {
    g_host->toolkit->StopServing();
    PostQuitMessage(2);
  }
}

void CALLBACK Host::OnShutdownTimer(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  g_host->toolkit->RequestClientShutdown(g_host->pendingShutdown_.c_str());
}

void AddTag(IServedTags& tags, const wchar_t* name, long rights, VARIANT v) {
  tags.Add(name, rights, v, kQualityGood, 0);
  VariantClear(&v);
}

VARIANT I4(long n) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = n;
  return v;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  long bulkCount = 0;
  DWORD changeMs = 1000, lingerMs = 3000, idleMs = 30000;
  bool reg = false, unreg = false, da10 = false;
  for (int i = 1; i < argc; ++i) {
    std::wstring a = argv[i];
    auto next = [&]() -> long { return i + 1 < argc ? _wtol(argv[++i]) : 0; };
    if (_wcsicmp(a.c_str(), L"/regserver") == 0 || _wcsicmp(a.c_str(), L"-regserver") == 0)
      reg = true;
    else if (_wcsicmp(a.c_str(), L"/unregserver") == 0 || _wcsicmp(a.c_str(), L"-unregserver") == 0)
      unreg = true;
    else if (a == L"--da10") da10 = true;
    else if (a == L"--tags") bulkCount = next();
    else if (a == L"--change-ms") changeMs = static_cast<DWORD>(next());
    else if (a == L"--linger-ms") lingerMs = static_cast<DWORD>(next());
    else if (a == L"--idle-exit-ms") idleMs = static_cast<DWORD>(next());
  }
  if (bulkCount < 0 || bulkCount > 1000000 || changeMs < 10) {
    fwprintf(stderr, L"opc_toolkit_host: bad arguments\n");
    return 1;
  }
  if (FAILED(CoInitialize(nullptr))) return 1;
  if (reg || unreg) {
    HRESULT hr = S_OK;
    for (bool personality : {false, true}) {
      auto t = CreateServerToolkit(HostConfig(personality), nullptr);
      HRESULT one = reg ? t->RegisterServer() : t->UnregisterServer();
      if (FAILED(one)) hr = one;
    }
    if (FAILED(hr)) fwprintf(stderr, L"opc_toolkit_host: registration failed: 0x%08lX\n", hr);
    CoUninitialize();
    return FAILED(hr) ? 1 : 0;
  }
  Host host;
  g_host = &host;
  host.lingerMs = lingerMs;
  host.toolkit = CreateServerToolkit(HostConfig(da10), &host);

  IServedTags& tags = host.toolkit->ServedTags();
  AddTag(tags, L"Demo.Counter", kAccessRead, I4(0));
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_R8;
  V_R8(&v) = 1.5;
  AddTag(tags, L"Demo.Setpoint", kAccessReadWrite, v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(L"hello");
  AddTag(tags, L"Demo.Text", kAccessReadWrite, v);
  V_VT(&v) = VT_BOOL;
  V_BOOL(&v) = VARIANT_FALSE;
  AddTag(tags, L"Demo.Flag", kAccessReadWrite, v);
  AddTag(tags, L"Demo.ReadOnly", kAccessRead, I4(42));
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocString(L"");
  AddTag(tags, L"Control.Shutdown", kAccessReadWrite, v);
  AddTag(tags, L"Control.Clients", kAccessRead, I4(0));
  host.clients = tags.Item(L"Control.Clients");
  host.counter = tags.Item(L"Demo.Counter");
  for (long i = 0; i < bulkCount; ++i) {
    V_VT(&v) = VT_R8;
    V_R8(&v) = 0;
    std::wstring name = L"Bulk.T" + std::to_wstring(i);
    tags.Add(name.c_str(), kAccessRead, v, kQualityGood, 0);
    host.bulk.push_back(tags.Item(name.c_str()));
  }

  HRESULT hr = host.toolkit->StartServing();
  if (FAILED(hr)) {
    fwprintf(stderr, L"opc_toolkit_host: cannot serve: 0x%08lX\n", hr);
    return 1;
  }
  // Whoever started us (the benchmark) waits for this line before connecting.
  fputs("ready\n", stdout);
  fflush(stdout);
  SetTimer(nullptr, kTimerChange, changeMs, nullptr);
  host.StartIdleTimer(idleMs);
  MSG msg;
  int code = 0;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER && msg.hwnd == nullptr && msg.lParam == 0) {
      host.Change();
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  code = static_cast<int>(msg.wParam);
  host.toolkit.reset();
  CoUninitialize();
  return code;
}
