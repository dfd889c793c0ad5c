#include "NodeServices.h"

#include "portable/NodeName.h"
#include "common/Registration.h"
#include "common/Strings.h"

#include <atomic>

namespace veltrane {

namespace {

bool HasNode(const char* node) noexcept { return node && *node; }

class PlatformServices final : public NodeServices {
 public:
  HRESULT CreateInstance(REFCLSID clsid, const char* node, DWORD clsctx, REFIID iid,
                         IUnknown** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    common::WString wideNode;
    COSERVERINFO info = {};
    COSERVERINFO* server = nullptr;
    if (HasNode(node)) {
      try {
        wideNode = common::AnsiToWide(node);
      } catch (...) {
        return E_OUTOFMEMORY;
      }
      info.pwszName = common::Ole(wideNode);
      server = &info;
    }
    MULTI_QI qi = {&iid, nullptr, S_OK};
    HRESULT hr = CoCreateInstanceEx(clsid, nullptr, clsctx, server, 1, &qi);
    if (FAILED(hr)) return hr;
    if (FAILED(qi.hr)) {
      if (qi.pItf) qi.pItf->Release();
      return qi.hr;
    }
    *out = qi.pItf;
    return S_OK;
  }

  LONG OpenClassesRoot(const char* node, HKEY* out) override {
    if (!out) return ERROR_INVALID_PARAMETER;
    *out = nullptr;
    // A name of this computer ("\\LOCALHOST", its own name) is read here: through the network
    // registry it would need the remote registry service, which is often stopped, and Wine has
    // none (ERROR_BAD_NETPATH).
    if (!HasNode(node) || IsLocalNodeName(node, ComputerName())) {
      *out = HKEY_CLASSES_ROOT;
      return ERROR_SUCCESS;
    }
    HKEY machine = nullptr;
    LONG status = RegConnectRegistryA(node, HKEY_LOCAL_MACHINE, &machine);
    if (status != ERROR_SUCCESS) return status;
    HKEY classes = nullptr;
    status = RegOpenKeyExA(machine, "SOFTWARE\\CLASSES", 0, KEY_READ, &classes);
    RegCloseKey(machine);
    if (status == ERROR_SUCCESS) *out = classes;
    return status;
  }

  void CloseClassesRoot(HKEY root) override {
    if (root && root != HKEY_CLASSES_ROOT) RegCloseKey(root);
  }

  std::string ComputerName() override {
    char name[MAX_COMPUTERNAME_LENGTH + 2] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return std::string();
    return std::string(name, size);
  }
};

std::atomic<NodeServices*> gServices{nullptr};

}  // namespace

NodeServices& PlatformNodeServices() {
  static PlatformServices platform;
  return platform;
}

NodeServices& CurrentNodeServices() {
  NodeServices* s = gServices.load();
  return s ? *s : PlatformNodeServices();
}

void SetNodeServices(NodeServices* services) { gServices.store(services); }

bool IsLocalNode(const char* node, const std::string& computerName) {
  return !node || IsLocalNodeName(node, computerName);
}

DWORD ClassContextFor(const char* node, const std::string& computerName) {
  return IsLocalNode(node, computerName) ? kLocalClassContext : kRemoteClassContext;
}

DWORD ClassContextFor(const char* node) {
  if (!HasNode(node)) return kLocalClassContext;
  return ClassContextFor(node, CurrentNodeServices().ComputerName());
}

namespace {

// A failure of a local activation that says the server was leaving as it was reached
// (REGDB_E_CLASSNOTREG aside, which needs the registry's word: HasLocalServer).
bool ServerWasLeaving(HRESULT hr) {
  return hr == CO_E_SERVER_STOPPING || hr == RPC_E_DISCONNECTED || hr == RPC_E_SERVER_DIED ||
         hr == RPC_E_SERVER_DIED_DNE || hr == CO_E_OBJNOTCONNECTED ||
         hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
         hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED);
}

// The class is registered on the node with a local server (LocalServer32 under its CLSID key).
bool HasLocalServer(NodeServices& services, REFCLSID clsid, const char* node) {
  HKEY root = nullptr;
  if (services.OpenClassesRoot(node, &root) != ERROR_SUCCESS || !root) return false;
  const common::WString key = common::ClsidKeyPath(clsid) + common::FromOle(L"\\LocalServer32");
  HKEY k = nullptr;
  const bool found = RegOpenKeyExW(root, common::Ole(key), 0, KEY_READ, &k) == ERROR_SUCCESS;
  if (found) RegCloseKey(k);
  services.CloseClassesRoot(root);
  return found;
}

}  // namespace

HRESULT CreateOnNode(REFCLSID clsid, const char* node, REFIID iid, IUnknown** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    NodeServices& services = CurrentNodeServices();
    const DWORD clsctx = ClassContextFor(node);
    const char* name = HasNode(node) ? node : nullptr;
    for (int attempt = 1;; ++attempt) {
      HRESULT hr = services.CreateInstance(clsid, name, clsctx, iid, out);
      if (SUCCEEDED(hr) || attempt == kActivationTries || !(clsctx & CLSCTX_LOCAL_SERVER))
        return hr;
      if (!ServerWasLeaving(hr) &&
          !(hr == REGDB_E_CLASSNOTREG && HasLocalServer(services, clsid, name)))
        return hr;
      services.Pause(kActivationPausesMs[attempt - 1]);
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace veltrane
