#include "Engine.h"

#include "Objects.h"

#include <algorithm>
#include <exception>

namespace opc_toolkit {

namespace {
constexpr UINT kAsyncWorkMessage = WM_APP + 1;
// The timer that looks at the processes of remote clients (group timers count up from 1).
constexpr UINT_PTR kClientWatchTimer = 0x7FFF0000;
constexpr UINT kClientWatchMs = 1000;
const wchar_t kWindowClass[] = L"OpcToolkitEngineWindow";
}  // namespace

Engine::Engine(const ToolkitConfig& config, IServerToolkitEvents* events)
    : config_(config), events_(events) {
  GetSystemTimeAsFileTime(&start_);
  lastUpdate_ = start_;
}

Engine::~Engine() {
  for (auto& [s, processes] : clientProcesses_)
    for (HANDLE h : processes) CloseHandle(h);
  if (hwnd_) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
}

void Engine::DetachHost() { events_ = nullptr; }

bool Engine::EnsureWindow() {
  if (hwnd_) return true;
  HINSTANCE inst = GetModuleHandleW(nullptr);
  WNDCLASSW wc{};
  wc.lpfnWndProc = WndProc;
  wc.hInstance = inst;
  wc.lpszClassName = kWindowClass;
  RegisterClassW(&wc);  // fails harmlessly when already registered
  hwnd_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, inst,
                          nullptr);
  if (hwnd_) SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  return hwnd_ != nullptr;
}

LRESULT CALLBACK Engine::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<Engine*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
  try {
    if (msg == WM_TIMER && wp == kClientWatchTimer) {
      self->CheckClientProcesses();
      return 0;
    }
    if (msg == WM_TIMER) {
      auto it = self->timers_.find(wp);
      if (it != self->timers_.end()) {
        OpcGroup* g = it->second;
        g->AddRef();
        g->OnTimer();
        g->Release();
      }
      return 0;
    }
    if (msg == kAsyncWorkMessage) {
      self->workPosted_ = false;
      self->RunAsyncWork();
      return 0;
    }
  } catch (const std::exception&) {
    // A failed delivery is dropped; the next tick tries again.
  } catch (...) {
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void Engine::ServerCreated(OpcServer* s) {
  servers_.insert(s);
  if (events_) events_->ServerClientConnected(ClientCount());
}

void Engine::ServerDestroyed(OpcServer* s) {
  ForgetClientProcesses(s);
  if (!servers_.erase(s)) return;
  if (events_) events_->ServerClientDisconnected(ClientCount());
}

std::vector<PipeClient> PipeClients() {
  // Handle values are multiples of 4 and handed out from the bottom; a long run of unused
  // values is past the last one in use.
  std::vector<PipeClient> found;
  DWORD self = GetCurrentProcessId();
  int unused = 0;
  for (ULONG_PTR v = 4; unused < 4096; v += 4) {
    HANDLE h = reinterpret_cast<HANDLE>(v);
    DWORD flags = 0;
    if (!GetHandleInformation(h, &flags)) {
      ++unused;
      continue;
    }
    unused = 0;
    if (GetFileType(h) != FILE_TYPE_PIPE) continue;
    // A pipe still listening has no client (and no client process id worth reading).
    DWORD avail = 0;
    ULONG pid = 0;
    if (PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr) &&
        GetNamedPipeClientProcessId(h, &pid) && pid && pid != self)
      found.push_back({v, pid});
  }
  return found;
}

void Engine::WatchClientProcesses(OpcServer* s) {
  if (!s || !servers_.count(s) || clientProcesses_.count(s)) return;
  // The new client's process is among those connected now that were not connected when the
  // last client was made (its creation call came through a connection); when there is none
  // (a process that was connected already), it is one of all those connected.
  std::set<DWORD> now;
  for (const PipeClient& c : PipeClients()) now.insert(c.pid);
  std::vector<DWORD> fresh, all(now.begin(), now.end());
  for (DWORD pid : now)
    if (!knownClients_.count(pid)) fresh.push_back(pid);
  knownClients_ = std::move(now);
  std::vector<HANDLE> processes;
  for (DWORD pid : fresh.empty() ? all : fresh)
    if (HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid)) processes.push_back(h);
  if (processes.empty()) return;  // nothing to go by: the client counts until its release
  clientProcesses_[s] = std::move(processes);
  if (EnsureWindow()) SetTimer(hwnd_, kClientWatchTimer, kClientWatchMs, nullptr);
}

void Engine::ForgetClientProcesses(OpcServer* s) {
  auto it = clientProcesses_.find(s);
  if (it == clientProcesses_.end()) return;
  for (HANDLE h : it->second) CloseHandle(h);
  clientProcesses_.erase(it);
  if (clientProcesses_.empty() && hwnd_) KillTimer(hwnd_, kClientWatchTimer);
}

void Engine::CheckClientProcesses() {
  std::vector<OpcServer*> dead;
  for (auto& [s, processes] : clientProcesses_) {
    bool anyAlive = false;
    for (HANDLE h : processes)
      if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT) anyAlive = true;
    if (!anyAlive) dead.push_back(s);
  }
  for (OpcServer* s : dead) {
    ForgetClientProcesses(s);
    ClientDied(s, nullptr);
  }
}

void Engine::StartTimer(OpcGroup* g, DWORD rateMs) {
  StopTimer(g);
  if (!EnsureWindow()) return;
  UINT_PTR id = nextTimer_++;
  if (SetTimer(hwnd_, id, rateMs, nullptr)) {
    timers_[id] = g;
    timerOf_[g] = id;
  }
}

void Engine::StopTimer(OpcGroup* g) {
  auto it = timerOf_.find(g);
  if (it == timerOf_.end()) return;
  if (hwnd_) KillTimer(hwnd_, it->second);
  timers_.erase(it->second);
  timerOf_.erase(it);
}

void Engine::GroupDestroyed(OpcGroup* g) {
  StopTimer(g);
  groups_.erase(g);
}

void Engine::PostAsyncWork() {
  if (workPosted_ || !EnsureWindow()) return;
  workPosted_ = PostMessageW(hwnd_, kAsyncWorkMessage, 0, 0) != FALSE;
}

void Engine::ClientDied(OpcServer* server, OpcGroup* group) {
  if (server && deadServers_.insert(server).second) server->AddRef();
  if (group && deadGroups_.insert(group).second) group->AddRef();
  PostAsyncWork();
}

void Engine::DisconnectDead() {
  auto servers = std::move(deadServers_);
  auto groups = std::move(deadGroups_);
  deadServers_.clear();
  deadGroups_.clear();
  for (OpcServer* s : servers) s->DisconnectClient();
  for (OpcGroup* g : groups) g->DisconnectClient();
  for (OpcGroup* g : groups) g->Release();
  for (OpcServer* s : servers) s->Release();
}

void Engine::RunAsyncWork() {
  DisconnectDead();
  // A completion may release groups or queue more work: take a referenced snapshot.
  std::vector<OpcGroup*> busy;
  for (OpcGroup* g : groups_)
    if (g->HasQueued()) {
      g->AddRef();
      busy.push_back(g);
    }
  for (OpcGroup* g : busy) {
    g->RunQueued();
    g->Release();
  }
}

void Engine::WriteToHost(const std::vector<std::wstring>& names,
                         const std::vector<VARIANT>& values, std::vector<HRESULT>& errors) {
  long n = static_cast<long>(names.size());
  errors.assign(names.size(), E_FAIL);
  if (!events_ || n == 0) return;
  std::vector<const wchar_t*> ptrs;
  for (auto& s : names) ptrs.push_back(s.c_str());
  std::vector<long> errs(names.size(), static_cast<long>(E_FAIL));
  long result = static_cast<long>(E_FAIL);
  try {
    if (config_.writeItemsEx) {
      std::vector<short> qualities(names.size(), kQualityGood);
      std::vector<DATE> times(names.size(), 0.0);
      events_->WriteItemsEx(n, ptrs.data(), values.data(), qualities.data(), times.data(),
                            errs.data(), result);
    } else {
      events_->WriteItems(n, ptrs.data(), values.data(), errs.data(), result);
    }
  } catch (...) {
    return;  // the host failed: every item stays failed
  }
  for (size_t i = 0; i < errors.size(); ++i) errors[i] = static_cast<HRESULT>(errs[i]);
}

void Engine::ValidateWithHost(const std::vector<std::wstring>& names,
                              std::vector<HRESULT>& errors) {
  errors.assign(names.size(), S_OK);
  if (!events_ || names.empty()) return;
  std::vector<const wchar_t*> ptrs;
  for (auto& s : names) ptrs.push_back(s.c_str());
  std::vector<long> errs(names.size(), 0);
  long result = 0;
  try {
    events_->ValidateItems(static_cast<long>(names.size()), ptrs.data(), errs.data(), result);
  } catch (...) {
    result = static_cast<long>(E_FAIL);
  }
  for (size_t i = 0; i < errors.size(); ++i) {
    HRESULT e = static_cast<HRESULT>(errs[i]);
    if (FAILED(static_cast<HRESULT>(result)) && e == 0) e = static_cast<HRESULT>(result);
    // A positive "error" would read as success to the client: refuse it as a failure.
    errors[i] = e == 0 ? S_OK : (FAILED(e) ? e : E_FAIL);
  }
}

std::wstring ErrorText(HRESULT hr) {
  switch (hr) {
    case OPC_E_INVALIDHANDLE: return L"The value of the handle is invalid.";
    case OPC_E_BADTYPE: return L"The server cannot convert the data between the requested data type and the canonical data type.";
    case OPC_E_PUBLIC: return L"The requested operation cannot be done on a public group.";
    case OPC_E_BADRIGHTS: return L"The item's access rights do not allow the operation.";
    case OPC_E_UNKNOWNITEMID: return L"The item is no longer available in the server address space.";
    case OPC_E_INVALIDITEMID: return L"The item definition does not conform to the server's syntax.";
    case OPC_E_INVALIDFILTER: return L"The filter string was not valid.";
    case OPC_E_UNKNOWNPATH: return L"The item's access path is not known to the server.";
    case OPC_E_RANGE: return L"The value was out of range.";
    case OPC_E_DUPLICATENAME: return L"Duplicate name not allowed.";
    case OPC_S_UNSUPPORTEDRATE: return L"The server does not support the requested data rate but will use the closest available rate.";
    case OPC_S_CLAMP: return L"A value passed to write was accepted but the output was clamped.";
    case OPC_S_INUSE: return L"The operation cannot be completed because the object still has references that exist.";
    case OPC_E_INVALIDCONFIGFILE: return L"The server's configuration file is an invalid format.";
    case OPC_E_NOTFOUND: return L"The server could not locate the requested object.";
    case OPC_E_INVALID_PID: return L"The server does not recognise the passed property ID.";
    default: break;
  }
  wchar_t* buf = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&buf), 0,
                           nullptr);
  std::wstring text;
  if (n && buf) {
    text.assign(buf, n);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
      text.pop_back();
  }
  if (buf) LocalFree(buf);
  return text;
}

// ---------------------------------------------------------------------------- the toolkit

namespace {

class ClassFactory : public IClassFactory, public RefCounted {
 public:
  explicit ClassFactory(Engine* e) : engine_(e) { engine_->AddRef(); }
  ~ClassFactory() override { engine_->Release(); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) *ppv = static_cast<IClassFactory*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  OPC_TOOLKIT_REFCOUNT
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    try {
      OpcServer* made = nullptr;
      HRESULT hr = CreateServerObject(engine_, riid, ppv, &made);
      if (SUCCEEDED(hr)) engine_->WatchClientProcesses(made);
      return hr;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  // The host decides when its process ends (its last client's disconnect); a lock only
  // counts. CoReleaseServerProcess here would suspend the class object for every later client.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    locks_ += lock ? 1 : (locks_ > 0 ? -1 : 0);
    return S_OK;
  }

 private:
  Engine* engine_;
  long locks_ = 0;
};

class Toolkit : public IServerToolkit {
 public:
  Toolkit(const ToolkitConfig& config, IServerToolkitEvents* events)
      : engine_(new Engine(config, events)) {}
  ~Toolkit() override {
    StopServing();
    engine_->DetachHost();
    engine_->Release();
  }
  HRESULT RegisterServer() override { return RegisterToolkitServer(engine_->Config()); }
  HRESULT UnregisterServer() override { return UnregisterToolkitServer(engine_->Config()); }
  IServedTags& ServedTags() override { return engine_->Tags(); }
  HRESULT StartServing() override {
    if (engine_->serving) return S_FALSE;
    IClassFactory* cf = CreateClassFactory(engine_);
    HRESULT hr = CoRegisterClassObject(engine_->Config().clsid, cf, CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE, &engine_->classCookie);
    cf->Release();
    if (SUCCEEDED(hr)) engine_->serving = true;
    return hr;
  }
  void StopServing() override {
    if (!engine_->serving) return;
    CoRevokeClassObject(engine_->classCookie);
    engine_->classCookie = 0;
    engine_->serving = false;
  }
  Engine* GetEngine() const { return engine_; }
  bool ClientsConnected() const override { return engine_->ClientCount() > 0; }
  long ClientCount() const override { return engine_->ClientCount(); }
  HRESULT RequestClientShutdown(const wchar_t* reason) override {
    std::vector<OpcServer*> servers(engine_->Servers().begin(), engine_->Servers().end());
    for (auto* s : servers) s->AddRef();
    for (auto* s : servers) {
      s->RequestShutdown(reason ? reason : L"");  // a dead client is disconnected
      s->Release();
    }
    return S_OK;
  }

 private:
  Engine* engine_;
};

}  // namespace

IClassFactory* CreateClassFactory(Engine* engine) { return new ClassFactory(engine); }

std::unique_ptr<IServerToolkit> CreateServerToolkit(const ToolkitConfig& config,
                                                    IServerToolkitEvents* events) {
  return std::make_unique<Toolkit>(config, events);
}

HRESULT ConnectInProcess(IServerToolkit& toolkit, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  auto* t = dynamic_cast<Toolkit*>(&toolkit);
  if (!t) return E_INVALIDARG;
  try {
    return CreateServerObject(t->GetEngine(), riid, ppv);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace opc_toolkit
