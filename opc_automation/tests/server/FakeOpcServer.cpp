#include "FakeOpcServer.h"

#include <cstring>

namespace fake {

LPWSTR TaskString(const wchar_t* s) {
  size_t bytes = (wcslen(s) + 1) * sizeof(wchar_t);
  auto p = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (p) memcpy(p, s, bytes);
  return p;
}

namespace {

FILETIME Utc(WORD h, WORD m, WORD s, WORD ms) {
  SYSTEMTIME st{2024, 3, 5, 1, h, m, s, ms};
  FILETIME ft{};
  SystemTimeToFileTime(&st, &ft);
  return ft;
}

}  // namespace

const FILETIME kStartTime = Utc(12, 0, 0, 250);
const FILETIME kCurrentTime = Utc(12, 30, 0, 0);
const FILETIME kUpdateTime = Utc(12, 29, 59, 999);

// ---- ShutdownPoint ---------------------------------------------------------------------------

STDMETHODIMP ShutdownPoint::Advise(IUnknown* sink, DWORD* cookie) {
  ++advises;
  if (!sink || !cookie) return E_POINTER;
  if (FAILED(adviseResult)) return adviseResult;
  common::ComPtr<IOPCShutdown> s;
  if (FAILED(sink->QueryInterface(IID_IOPCShutdown, s.PutVoid()))) return CONNECT_E_CANNOTCONNECT;
  *cookie = next_++;
  sinks[*cookie] = s;
  return S_OK;
}

STDMETHODIMP ShutdownPoint::Unadvise(DWORD cookie) {
  unadvised.push_back(cookie);
  return sinks.erase(cookie) ? S_OK : CONNECT_E_NOCONNECTION;
}

void ShutdownPoint::RequestShutdown(const wchar_t* reason) {
  auto copy = sinks;
  for (auto& [cookie, sink] : copy) sink->ShutdownRequest(reason);
}

// ---- Group -----------------------------------------------------------------------------------

STDMETHODIMP Group::GetState(DWORD* rate, BOOL* active, LPWSTR* outName, LONG* bias,
                             FLOAT* deadband, DWORD* lcid, OPCHANDLE* client, OPCHANDLE* server) {
  *rate = 1000;
  *active = TRUE;
  *outName = TaskString(name.c_str());
  *bias = 0;
  *deadband = 0.0f;
  *lcid = 0x409;
  *client = clientHandle;
  *server = serverHandle;
  return S_OK;
}

// ---- Server ----------------------------------------------------------------------------------

Server::Server() : shutdownPoint(common::Make<ShutdownPoint>()) {}

STDMETHODIMP Server::QueryInterface(REFIID riid, void** ppv) {
  bool refused = (!hasCommon && IsEqualIID(riid, IID_IOPCCommon)) ||
                 (!hasItemProperties && IsEqualIID(riid, IID_IOPCItemProperties)) ||
                 (!hasBrowse && IsEqualIID(riid, IID_IOPCBrowseServerAddressSpace));
  if (refused) {
    if (ppv) *ppv = nullptr;
    return E_NOINTERFACE;
  }
  return ComObject::QueryInterface(riid, ppv);
}

STDMETHODIMP Server::AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE clientGroup,
                              LONG* bias, FLOAT* deadband, DWORD lcid, OPCHANDLE* serverGroup,
                              DWORD* revised, REFIID riid, LPUNKNOWN* unk) {
  AddGroupCall call{name ? name : L"(null)", active, rate, clientGroup, std::nullopt, std::nullopt, lcid, riid};
  if (bias) call.timeBias = *bias;
  if (deadband) call.deadband = *deadband;
  addGroupCalls.push_back(call);
  *unk = nullptr;
  if (FAILED(addGroupResult)) return addGroupResult;
  auto group = common::Make<Group>();
  group->hasSyncIo = groupsHaveSyncIo;
  // A server names a group the client left unnamed.
  group->name = (name && *name) ? name : L"_Group" + std::to_wstring(nextServerGroup_);
  group->serverHandle = nextServerGroup_++;
  group->clientHandle = clientGroup;
  groups.push_back(group);
  *serverGroup = group->serverHandle;
  *revised = rate;
  return group->QueryInterface(riid, reinterpret_cast<void**>(unk));
}

STDMETHODIMP Server::GetErrorString(HRESULT error, LCID lcid, LPWSTR* text) {
  errorStringLocales.push_back(lcid);
  std::wstring s = L"fake text " + std::to_wstring(static_cast<unsigned long>(error));
  *text = TaskString(s.c_str());
  return S_OK;
}

STDMETHODIMP Server::GetStatus(OPCSERVERSTATUS** status) {
  ++statusCalls;
  *status = nullptr;
  if (FAILED(getStatusResult)) return getStatusResult;
  auto s = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
  memset(s, 0, sizeof *s);
  s->ftStartTime = kStartTime;
  s->ftCurrentTime = kCurrentTime;
  s->ftLastUpdateTime = kUpdateTime;
  s->dwServerState = OPC_STATUS_SUSPENDED;
  s->dwBandWidth = 0xFFFFFFFF;
  s->wMajorVersion = 2;
  s->wMinorVersion = 5;
  s->wBuildNumber = 40000;  // above the range of a short: passed on as its bits
  s->szVendorInfo = TaskString(L"Fake Vendor");
  *status = s;
  return S_OK;
}

STDMETHODIMP Server::RemoveGroup(OPCHANDLE serverGroup, BOOL force) {
  removedGroups.push_back(serverGroup);
  removeForce.push_back(force);
  auto it = removeGroupResults.find(serverGroup);
  return it == removeGroupResults.end() ? S_OK : it->second;
}

STDMETHODIMP Server::SetLocaleID(LCID lcid) {
  if (lcid == 0xDEAD) return E_INVALIDARG;
  locale = lcid;
  return S_OK;
}
STDMETHODIMP Server::GetLocaleID(LCID* lcid) {
  *lcid = locale;
  return S_OK;
}
STDMETHODIMP Server::QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) {
  *count = 3;
  *lcids = static_cast<LCID*>(CoTaskMemAlloc(3 * sizeof(LCID)));
  (*lcids)[0] = 0x409;
  (*lcids)[1] = 0x407;
  (*lcids)[2] = 0x800;
  return S_OK;
}
STDMETHODIMP Server::GetErrorString(HRESULT, LPWSTR* text) {
  *text = nullptr;
  return E_NOTIMPL;
}
STDMETHODIMP Server::SetClientName(LPCWSTR name) {
  clientName = name ? name : L"(null)";
  return S_OK;
}

STDMETHODIMP Server::QueryAvailableProperties(LPWSTR item, DWORD* count, DWORD** ids,
                                              LPWSTR** descriptions, VARTYPE** types) {
  ++propertyCalls;
  *count = 0;
  *ids = nullptr;
  *descriptions = nullptr;
  *types = nullptr;
  if (!item || std::wstring(item) != L"Ramp.I4") return OPC_E_UNKNOWNITEMID;
  *count = 3;
  *ids = static_cast<DWORD*>(CoTaskMemAlloc(3 * sizeof(DWORD)));
  *descriptions = static_cast<LPWSTR*>(CoTaskMemAlloc(3 * sizeof(LPWSTR)));
  *types = static_cast<VARTYPE*>(CoTaskMemAlloc(3 * sizeof(VARTYPE)));
  const DWORD i[] = {1, 2, 102};
  const wchar_t* d[] = {L"Item Canonical DataType", L"Item Value", L"High EU"};
  const VARTYPE t[] = {VT_I2, VT_VARIANT, VT_R8};
  for (int k = 0; k < 3; ++k) {
    (*ids)[k] = i[k];
    (*descriptions)[k] = TaskString(d[k]);
    (*types)[k] = t[k];
  }
  return S_OK;
}

STDMETHODIMP Server::GetItemProperties(LPWSTR item, DWORD count, DWORD* ids, VARIANT** values,
                                       HRESULT** errors) {
  ++propertyCalls;
  lastPropertyIds.assign(ids, ids + count);
  *values = nullptr;
  *errors = nullptr;
  if (!item || std::wstring(item) != L"Ramp.I4") return OPC_E_UNKNOWNITEMID;
  *values = static_cast<VARIANT*>(CoTaskMemAlloc(count * sizeof(VARIANT)));
  *errors = static_cast<HRESULT*>(CoTaskMemAlloc(count * sizeof(HRESULT)));
  for (DWORD k = 0; k < count; ++k) {
    VariantInit(&(*values)[k]);
    if (ids[k] == 1) {
      V_VT(&(*values)[k]) = VT_I2;
      V_I2(&(*values)[k]) = VT_I4;
      (*errors)[k] = S_OK;
    } else if (ids[k] == 5) {
      V_VT(&(*values)[k]) = VT_BSTR;
      V_BSTR(&(*values)[k]) = SysAllocString(L"read/write");
      (*errors)[k] = S_OK;
    } else {
      (*errors)[k] = OPC_E_INVALID_PID;
    }
  }
  return S_OK;
}

STDMETHODIMP Server::LookupItemIDs(LPWSTR item, DWORD count, DWORD* ids, LPWSTR** names,
                                   HRESULT** errors) {
  ++propertyCalls;
  lastPropertyIds.assign(ids, ids + count);
  *names = static_cast<LPWSTR*>(CoTaskMemAlloc(count * sizeof(LPWSTR)));
  *errors = static_cast<HRESULT*>(CoTaskMemAlloc(count * sizeof(HRESULT)));
  for (DWORD k = 0; k < count; ++k) {
    if (ids[k] == 102) {
      std::wstring n = std::wstring(item) + L".HighEU";
      (*names)[k] = TaskString(n.c_str());
      (*errors)[k] = S_OK;
    } else {
      (*names)[k] = nullptr;
      (*errors)[k] = OPC_E_INVALID_PID;
    }
  }
  return S_OK;
}

STDMETHODIMP Server::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
  *point = nullptr;
  if (!hasShutdownPoint || !IsEqualIID(riid, IID_IOPCShutdown)) return CONNECT_E_NOCONNECTION;
  return shutdownPoint->QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(point));
}

// ---- NodeServices ----------------------------------------------------------------------------

HRESULT NodeServices::CreateInstance(REFCLSID clsid, const char* node, DWORD clsctx, REFIID iid,
                                     IUnknown** out) {
  *out = nullptr;
  if (IsEqualCLSID(clsid, CLSID_OPCServerList)) return REGDB_E_CLASSNOTREG;
  activations.push_back({clsid, node ? std::optional<std::string>(node) : std::nullopt, clsctx, iid});
  if (!createResults.empty()) {
    const HRESULT next = createResults.front();
    createResults.pop_front();
    if (FAILED(next)) return next;
  } else if (FAILED(createResult)) {
    return createResult;
  }
  if (!server) return REGDB_E_CLASSNOTREG;
  return server->QueryInterface(iid, reinterpret_cast<void**>(out));
}

LONG NodeServices::OpenClassesRoot(const char*, HKEY* out) {
  *out = nullptr;
  if (!classesRoot) return ERROR_FILE_NOT_FOUND;
  HKEY copy = nullptr;
  LONG r = RegOpenKeyExA(classesRoot, nullptr, 0, KEY_READ, &copy);
  if (r == ERROR_SUCCESS) *out = copy;
  return r;
}

void NodeServices::CloseClassesRoot(HKEY root) { RegCloseKey(root); }

}  // namespace fake
