// The one seam between Veltrane and the machine it reaches: object activation and registry
// access, local or on another node. The objects never call CoCreateInstanceEx or
// RegConnectRegistryA themselves, so tests can check which class context, which COSERVERINFO
// name and which registry root a node leads to (remote DCOM cannot run here), and so a remote
// node that cannot be reached fails with the platform's error instead of hanging the caller.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

namespace veltrane {

class NodeServices {
 public:
  virtual ~NodeServices() = default;

  // CoCreateInstanceEx asking one interface. `node` is the ANSI node name or null; a null node
  // means no COSERVERINFO at all. On success *out holds the interface (AddRef'ed); the result is
  // CoCreateInstanceEx's failure or the failure in its MULTI_QI entry.
  virtual HRESULT CreateInstance(REFCLSID clsid, const char* node, DWORD clsctx, REFIID iid,
                                 IUnknown** out) = 0;

  // The registry root where a node's classes live: HKEY_CLASSES_ROOT for a null or empty node,
  // else the node's HKEY_LOCAL_MACHINE (RegConnectRegistryA, closed at once) \SOFTWARE\CLASSES
  // opened for reading. Returns a Win32 error code; on success *out must be closed with
  // CloseClassesRoot.
  virtual LONG OpenClassesRoot(const char* node, HKEY* out) = 0;
  virtual void CloseClassesRoot(HKEY root) = 0;

  // This computer's name (GetComputerNameA), for the locality test.
  virtual std::string ComputerName() = 0;

  // The wait between two tries of a local activation (CreateOnNode).
  virtual void Pause(DWORD ms) { Sleep(ms); }
};

// The platform's services (the real COM and registry calls).
NodeServices& PlatformNodeServices();

// The services the objects use: the platform's unless a test put its own in place. The pointer
// is not owned; passing null restores the platform's.
NodeServices& CurrentNodeServices();
void SetNodeServices(NodeServices* services);

// Class contexts of the node rule: a local node may be served in process, by a local server or
// through DCOM; a remote one only remotely.
inline constexpr DWORD kLocalClassContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;  // 0x17
inline constexpr DWORD kRemoteClassContext = CLSCTX_REMOTE_SERVER;                            // 0x10

// True when `node` means this computer: null, or (after skipping leading '\' and '/') empty or
// equal ignoring case to `computerName`, "127.0.0.1" or "localhost".
bool IsLocalNode(const char* node, const std::string& computerName);

// kLocalClassContext (0x17) for a local node, kRemoteClassContext (0x10) otherwise. The
// one-argument form asks CurrentNodeServices() for the computer name (only when a node is given).
DWORD ClassContextFor(const char* node, const std::string& computerName);
DWORD ClassContextFor(const char* node);

// Connecting to a class on a node (the node rule of Connect and ConnectViaCLSID): the class
// context by ClassContextFor, then CurrentNodeServices().CreateInstance with the node as the
// COSERVERINFO name (none for a null or empty node), asking one interface. Returns its result.
//
// On this computer the activation is tried again (kActivationTries in all, kActivationPausesMs
// apart) when it failed because the server was leaving as it was reached: a local server that
// had just withdrawn its class objects, or died, between handing out its class factory and the
// creation. Windows' activation starts a fresh server for such a request itself; Wine's does
// not, and reports the failure as REGDB_E_CLASSNOTREG (what its last, remote, step says), so
// that code counts as leaving too, though only for a class registered with a local server. The
// last try's result is returned.
HRESULT CreateOnNode(REFCLSID clsid, const char* node, REFIID iid, IUnknown** out);
inline constexpr int kActivationTries = 3;
inline constexpr DWORD kActivationPausesMs[kActivationTries - 1] = {100, 400};

}  // namespace veltrane
