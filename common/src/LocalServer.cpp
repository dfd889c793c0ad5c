// Local (out-of-process) servers: switches, class objects, lifetime.
#include "common/LocalServer.h"

#include "common/Registration.h"

namespace common {
namespace {

WChar Lower(WChar c) noexcept { return (c >= 'A' && c <= 'Z') ? WChar(c - 'A' + 'a') : c; }

bool SwitchIs(WStringView word, const char* name) noexcept {
  size_t n = 0;
  while (name[n]) ++n;
  if (word.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (Lower(word[i]) != WChar(name[i])) return false;
  return true;
}

// File name part of a path ("C:\x\Server.exe" -> "Server.exe"; "/a/b.exe.so" -> "b.exe.so").
WString FileNameOf(const WString& path) {
  size_t slash = path.find_last_of(FromOle(L"\\/"));
  return slash == WString::npos ? path : path.substr(slash + 1);
}

}  // namespace

WString ServerModulePath() {
  WString path = Module::FileName();
#if !defined(__MINGW32__) && !defined(_MSC_VER)
  WString so = path + FromOle(L".so");
  if (!path.empty() && GetFileAttributesW(Ole(so)) != INVALID_FILE_ATTRIBUTES) return so;
#endif
  return path;
}

ServerCommand ParseServerCommandLine(const OLECHAR* commandLine) noexcept {
  if (!commandLine) return ServerCommand::None;
  bool reg = false, unreg = false, embedding = false;
  WStringView line(AsWChar(commandLine), OleLength(commandLine));
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '"')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '"') ++i;
    WStringView word = line.substr(start, i - start);
    if (word.size() < 2 || (word[0] != '/' && word[0] != '-')) continue;
    word.remove_prefix(1);
    if (SwitchIs(word, "unregserver")) unreg = true;
    else if (SwitchIs(word, "regserver")) reg = true;
    else if (SwitchIs(word, "embedding") || SwitchIs(word, "automation")) embedding = true;
  }
  if (unreg) return ServerCommand::UnregServer;
  if (reg) return ServerCommand::RegServer;
  if (embedding) return ServerCommand::Embedding;
  return ServerCommand::None;
}

HRESULT LocalServer::Register(const WString& exePath, bool typeLib) noexcept {
  return GuardHResult([&]() -> HRESULT {
    const WString path = exePath.empty() ? ServerModulePath() : exePath;
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    const WString exe = FileNameOf(path);
    HRESULT hr = S_OK;
    for (const ClassEntry& c : classes_) {
      if (FAILED(hr = RegisterComClass(c, ServerKind::LocalServer, path))) break;
      if (c.appId && FAILED(hr = RegisterAppId(*c.appId, c.description, Ole(exe)))) break;
    }
    if (SUCCEEDED(hr) && typeLib) hr = RegisterTypeLibOf(Module::FileName());
    if (FAILED(hr)) Unregister(typeLib);
    return hr;
  });
}

HRESULT LocalServer::Unregister(bool typeLib) noexcept {
  return GuardHResult([&]() -> HRESULT {
    const WString exe = FileNameOf(Module::FileName());
    HRESULT first = S_OK;
    auto keep = [&](HRESULT hr) {
      if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    };
    for (const ClassEntry& c : classes_) {
      keep(UnregisterComClass(c));
      if (c.appId) keep(UnregisterAppId(*c.appId, Ole(exe)));
    }
    if (typeLib) keep(UnregisterTypeLibOf(Module::FileName()));
    return first;
  });
}

HRESULT LocalServer::Start() noexcept {
  if (!cookies_.empty()) return S_OK;
  return GuardHResult([&]() -> HRESULT {
    thread_ = GetCurrentThreadId();
    for (const ClassEntry& c : classes_) {
      if (!c.clsid || !c.getFactory) continue;
      ComPtr<IUnknown> factory;
      HRESULT hr = c.getFactory(IID_IUnknown, factory.PutVoid());
      DWORD cookie = 0;
      if (SUCCEEDED(hr))
        hr = CoRegisterClassObject(*c.clsid, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                   &cookie);
      if (FAILED(hr)) {
        Revoke();
        return hr;
      }
      cookies_.push_back(cookie);
    }
    return S_OK;
  });
}

void LocalServer::Revoke() noexcept {
  for (DWORD c : cookies_) CoRevokeClassObject(c);
  cookies_.clear();
}

// Posted to the serving thread when the module count falls to zero.
constexpr UINT kZeroMessage = WM_APP + 0x4C;

void LocalServer::OnZero(void* self) noexcept {
  auto* server = static_cast<LocalServer*>(self);
  if (server->thread_) PostThreadMessageW(server->thread_, kZeroMessage, 0, 0);
}

void LocalServer::Quit() noexcept {
  if (thread_) PostThreadMessageW(thread_, WM_QUIT, 0, 0);
}

bool LocalServer::LeaveIfStillIdle(int& code) noexcept {
  if (Module::Count() != 0) return false;
  // Withdrawn first, so that a new activation starts another server instead of reaching this
  // one on its way out. A client that got the class object just before still has its call
  // served: the thread keeps serving for a moment, and stays if an object was made meanwhile.
  Revoke();
  const DWORD start = GetTickCount();
  MSG msg;
  for (;;) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        code = static_cast<int>(msg.wParam);
        return true;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    const DWORD spent = GetTickCount() - start;
    if (spent >= kLeaveGraceMs) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, kLeaveGraceMs - spent, QS_ALLINPUT);
  }
  if (Module::Count() == 0) return true;
  return FAILED(Start());  // serving again; a server that cannot be reached leaves
}

int LocalServer::RunUntilIdle(DWORD idleTimeoutMs) noexcept {
  thread_ = GetCurrentThreadId();
  Module::SetOnZero(&LocalServer::OnZero, this);
  // Make sure this thread has a message queue before anyone posts to it.
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  UINT_PTR timer = idleTimeoutMs ? SetTimer(nullptr, 0, idleTimeoutMs, nullptr) : 0;
  UINT_PTR linger = 0;
  int code = 0;
  for (;;) {
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      code = static_cast<int>(msg.wParam);
      break;
    }
    if (got == -1) break;
    if (msg.hwnd == nullptr && msg.message == kZeroMessage) {
      // Stays a moment after each time the count fell to zero: a client that comes back at
      // once finds this server, and activations in a row never meet it on its way out.
      if (linger) KillTimer(nullptr, linger);
      linger = SetTimer(nullptr, 0, kLingerMs, nullptr);
      continue;
    }
    if (msg.hwnd == nullptr && msg.message == WM_TIMER && (msg.wParam == timer || msg.wParam == linger)) {
      if (msg.wParam == linger) {
        KillTimer(nullptr, linger);
        linger = 0;
      }
      if (LeaveIfStillIdle(code)) break;
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (timer) KillTimer(nullptr, timer);
  if (linger) KillTimer(nullptr, linger);
  Module::SetOnZero(nullptr, nullptr);
  Revoke();
  return code;
}

int LocalServerMain(std::span<const ClassEntry> classes, const OLECHAR* commandLine,
                    const std::function<int()>& run) noexcept {
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int code = 0;
  {
    LocalServer server(classes);
    switch (ParseServerCommandLine(commandLine)) {
      case ServerCommand::RegServer:
        code = FAILED(server.Register()) ? 1 : 0;
        break;
      case ServerCommand::UnregServer:
        code = FAILED(server.Unregister()) ? 1 : 0;
        break;
      case ServerCommand::None:
        if (run) {
          GuardNoThrow([&] { code = run(); });
          break;
        }
        [[fallthrough]];
      case ServerCommand::Embedding:
        if (FAILED(server.Start())) {
          code = 1;
          break;
        }
        code = server.RunUntilIdle();
        break;
    }
  }
  if (SUCCEEDED(init)) CoUninitialize();
  return code;
}

}  // namespace common
