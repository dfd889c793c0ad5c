// The shared state behind every server and group object of one toolkit: configuration, host
// events, the tag space, a hidden window for update-rate timers and asynchronous completions,
// the live server objects (one per connected client) and the registered class object.
#pragma once

#include "TagSpace.h"

#include <opc_toolkit/ServerToolkit.h>

#include <map>
#include <set>
#include <vector>

namespace opc_toolkit {

class OpcServer;
class OpcGroup;

class Engine {
 public:
  Engine(const ToolkitConfig& config, IServerToolkitEvents* events);

  void AddRef() { ++refs_; }
  void Release() {
    if (--refs_ == 0) delete this;
  }

  const ToolkitConfig& Config() const { return config_; }
  TagSpace& Tags() { return tags_; }
  // Cleared when the toolkit goes: objects that clients still hold then answer on their own.
  IServerToolkitEvents* Events() const { return events_; }
  void DetachHost();

  // Client counting: a server object counts from its creation to its last release.
  void ServerCreated(OpcServer* s);
  void ServerDestroyed(OpcServer* s);
  long ClientCount() const { return static_cast<long>(servers_.size()); }
  const std::set<OpcServer*>& Servers() const { return servers_; }

  // Groups with a running update timer, and groups with queued asynchronous work.
  void StartTimer(OpcGroup* g, DWORD rateMs);
  void StopTimer(OpcGroup* g);
  void GroupCreated(OpcGroup* g) { groups_.insert(g); }
  void GroupDestroyed(OpcGroup* g);
  void PostAsyncWork();
  // Runs every group's queued asynchronous work now (the hidden window's message does this).
  void RunAsyncWork();

  // Writes from clients go to the host; errors[i] (HRESULTs) come back per item.
  void WriteToHost(const std::vector<std::wstring>& names, const std::vector<VARIANT>& values,
                   std::vector<HRESULT>& errors);
  // Lets the host refuse items a client adds or validates.
  void ValidateWithHost(const std::vector<std::wstring>& names, std::vector<HRESULT>& errors);

  // A call into a client failed because its process is gone: its objects are disconnected
  // from COM (which drops the references the dead client held) from the message loop.
  void ClientDied(OpcServer* server, OpcGroup* group);

  // A client made through the class object is watched by process: the processes connected to
  // this one over pipes now (its creation call came through one) that were not when the last
  // client was made (all of them when none is new) are opened, and once all of them have ended
  // the client is taken as dead (ClientDied). A client that dies before giving the server a
  // callback fails no call, and COM under Wine never releases its objects.
  void WatchClientProcesses(OpcServer* s);
  void CheckClientProcesses();

  FILETIME StartTime() const { return start_; }
  FILETIME LastUpdate() const { return lastUpdate_; }
  void NoteUpdateSent() { GetSystemTimeAsFileTime(&lastUpdate_); }

  DWORD classCookie = 0;
  bool serving = false;

 private:
  ~Engine();
  bool EnsureWindow();
  static LRESULT CALLBACK WndProc(HWND, UINT, WPARAM, LPARAM);

  int refs_ = 1;
  ToolkitConfig config_;
  IServerToolkitEvents* events_;
  TagSpace tags_;
  HWND hwnd_ = nullptr;
  bool workPosted_ = false;
  std::set<OpcServer*> deadServers_;  // each AddRef'ed
  std::set<OpcGroup*> deadGroups_;    // each AddRef'ed
  void DisconnectDead();
  void ForgetClientProcesses(OpcServer* s);
  std::map<OpcServer*, std::vector<HANDLE>> clientProcesses_;  // process handles, each open
  std::set<DWORD> knownClients_;  // the pipe clients' processes when the last client was made
  std::set<OpcServer*> servers_;
  std::set<OpcGroup*> groups_;
  std::map<UINT_PTR, OpcGroup*> timers_;
  std::map<OpcGroup*, UINT_PTR> timerOf_;
  UINT_PTR nextTimer_ = 1;
  FILETIME start_{}, lastUpdate_{};
};

// Error texts of the OPC codes and, for others, the system's.
std::wstring ErrorText(HRESULT hr);

HRESULT CreateServerObject(Engine* engine, REFIID riid, void** ppv, OpcServer** made = nullptr);
// The server ends of connected named pipes among this process's handles whose client is another
// process (COM's local connections under Wine are such pipes).
struct PipeClient {
  ULONG_PTR handle;
  DWORD pid;
};
std::vector<PipeClient> PipeClients();
IClassFactory* CreateClassFactory(Engine* engine);

HRESULT RegisterToolkitServer(const ToolkitConfig& config);
HRESULT UnregisterToolkitServer(const ToolkitConfig& config);

}  // namespace opc_toolkit
