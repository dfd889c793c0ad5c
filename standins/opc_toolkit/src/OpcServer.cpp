#include "Objects.h"

#include <algorithm>

namespace opc_toolkit {

namespace {
struct PropertyInfo {
  DWORD id;
  const wchar_t* description;
  VARTYPE type;
};
const PropertyInfo kProperties[] = {
    {OPC_PROP_CDT, L"Item Canonical DataType", VT_I2},
    {OPC_PROP_VALUE, L"Item Value", VT_VARIANT},
    {OPC_PROP_QUALITY, L"Item Quality", VT_I2},
    {OPC_PROP_TIME, L"Item Timestamp", VT_DATE},
    {OPC_PROP_RIGHTS, L"Item Access Rights", VT_I4},
    {OPC_PROP_SCANRATE, L"Server Scan Rate", VT_R4},
    {OPC_PROP_HIEU, L"High EU", VT_R8},
    {OPC_PROP_LOEU, L"Low EU", VT_R8},
};
bool HasProperty(const ServedTag* t, DWORD id) {
  if (id == OPC_PROP_HIEU || id == OPC_PROP_LOEU) return t->IsAnalog();
  return id >= OPC_PROP_CDT && id <= OPC_PROP_SCANRATE;
}
}  // namespace

HRESULT CreateServerObject(Engine* engine, REFIID riid, void** ppv, OpcServer** made) {
  auto* s = new OpcServer(engine);
  HRESULT hr = s->QueryInterface(riid, ppv);
  if (made) *made = SUCCEEDED(hr) ? s : nullptr;
  s->Release();
  return hr;
}

OpcServer::OpcServer(Engine* engine) : engine_(engine) {
  engine_->AddRef();
  if (!engine_->Config().da10)
    shutdown_ = new ConnectionPoint(this, IID_IOPCShutdown, 16);
  engine_->ServerCreated(this);
}

OpcServer::~OpcServer() {
  auto groups = std::move(groups_);
  groups_.clear();
  for (auto& [h, g] : groups) {
    g->DetachServer();
    g->Release();
  }
  if (shutdown_) {
    shutdown_->Detach();
    shutdown_->Release();
  }
  Engine* e = engine_;
  e->ServerDestroyed(this);
  e->Release();
}

HRESULT OpcServer::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  bool da20 = !engine_->Config().da10;
  if (riid == IID_IUnknown || riid == IID_IOPCServer) *ppv = static_cast<IOPCServer*>(this);
  else if (riid == IID_IOPCBrowseServerAddressSpace)
    *ppv = static_cast<IOPCBrowseServerAddressSpace*>(this);
  else if (da20 && riid == IID_IOPCCommon) *ppv = static_cast<IOPCCommon*>(this);
  else if (da20 && riid == IID_IOPCItemProperties) *ppv = static_cast<IOPCItemProperties*>(this);
  else if (da20 && riid == IID_IConnectionPointContainer)
    *ppv = static_cast<IConnectionPointContainer*>(this);
  else return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

OpcGroup* OpcServer::FindGroup(OPCHANDLE h) const {
  auto it = groups_.find(h);
  return it == groups_.end() ? nullptr : it->second;
}

bool OpcServer::NameTaken(const std::wstring& name, const OpcGroup* except) const {
  std::wstring key = Lower(name);
  for (auto& [h, g] : groups_)
    if (g != except && Lower(g->Name()) == key) return true;
  return false;
}

HRESULT OpcServer::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                            OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                            DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                            REFIID riid, LPUNKNOWN* ppUnk) {
  try {
    if (ppUnk) *ppUnk = nullptr;
    if (!ppUnk || !phServerGroup || !pRevisedUpdateRate) return E_INVALIDARG;
    float deadband = pPercentDeadband ? *pPercentDeadband : 0.0f;
    if (!(deadband >= 0.0f && deadband <= 100.0f)) return E_INVALIDARG;
    std::wstring name = szName ? szName : L"";
    if (name.empty()) {
      for (OPCHANDLE n = nextGroup_;; ++n) {
        name = L"Group" + std::to_wstring(n);
        if (!NameTaken(name, nullptr)) break;
      }
    } else if (NameTaken(name, nullptr)) {
      return OPC_E_DUPLICATENAME;
    }
    LONG bias = 0;
    if (pTimeBias) {
      bias = *pTimeBias;
    } else {
      TIME_ZONE_INFORMATION tz;
      if (GetTimeZoneInformation(&tz) != TIME_ZONE_ID_INVALID) bias = tz.Bias;
    }
    OPCHANDLE h = nextGroup_++;
    auto* g = new OpcGroup(this, engine_, h, name, bActive != FALSE, dwRequestedUpdateRate,
                           hClientGroup, bias, deadband, dwLCID ? dwLCID : lcid_);
    HRESULT hr = g->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    if (FAILED(hr)) {
      g->Release();
      return hr;
    }
    groups_[h] = g;  // keeps the creation reference
    *phServerGroup = h;
    *pRevisedUpdateRate = g->UpdateRate();
    return g->UpdateRate() != dwRequestedUpdateRate ? OPC_S_UNSUPPORTEDRATE : S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcServer::GetErrorString(HRESULT dwError, LCID, LPWSTR* ppString) {
  return GetErrorString(dwError, ppString);
}

HRESULT OpcServer::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
  try {
    if (!ppUnk) return E_INVALIDARG;
    *ppUnk = nullptr;
    if (!szName) return E_INVALIDARG;
    std::wstring key = Lower(szName);
    for (auto& [h, g] : groups_)
      if (Lower(g->Name()) == key) return g->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    return E_INVALIDARG;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcServer::GetStatus(OPCSERVERSTATUS** pp) {
  if (!pp) return E_INVALIDARG;
  *pp = nullptr;
  auto* s = CoArray<OPCSERVERSTATUS>(1);
  if (!s) return E_OUTOFMEMORY;
  s->ftStartTime = engine_->StartTime();
  s->ftCurrentTime = NowFileTime();
  s->ftLastUpdateTime = engine_->LastUpdate();
  s->dwServerState = OPC_STATUS_RUNNING;
  s->dwGroupCount = static_cast<DWORD>(groups_.size());
  s->dwBandWidth = 0xFFFFFFFF;
  s->wMajorVersion = engine_->Config().da10 ? 1 : 2;
  s->wMinorVersion = 0;
  s->wBuildNumber = 1;
  s->szVendorInfo = CoDup(engine_->Config().vendor);
  *pp = s;
  return S_OK;
}

HRESULT OpcServer::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
  auto it = groups_.find(hServerGroup);
  if (it == groups_.end()) return E_INVALIDARG;
  OpcGroup* g = it->second;
  groups_.erase(it);
  g->DetachServer();
  // Still referenced by the client: it lives on until released, but is no longer ours.
  bool inUse = g->RefCount() > 1;
  g->Release();
  return inUse && !bForce ? OPC_S_INUSE : S_OK;
}

HRESULT OpcServer::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) {
  if (!ppUnk) return E_INVALIDARG;
  *ppUnk = nullptr;
  if (dwScope < OPC_ENUM_PRIVATE_CONNECTIONS || dwScope > OPC_ENUM_ALL) return E_INVALIDARG;
  bool withPrivate = dwScope != OPC_ENUM_PUBLIC_CONNECTIONS && dwScope != OPC_ENUM_PUBLIC;
  try {
    if (riid == IID_IEnumString) {
      std::vector<std::wstring> names;
      if (withPrivate)
        for (auto& [h, g] : groups_) names.push_back(g->Name());
      bool empty = names.empty();
      *ppUnk = new EnumStrings(std::move(names));
      return empty ? S_FALSE : S_OK;
    }
    if (riid == IID_IEnumUnknown) {
      std::vector<IUnknown*> list;
      if (withPrivate)
        for (auto& [h, g] : groups_) list.push_back(static_cast<IOPCItemMgt*>(g));
      *ppUnk = new EnumUnknowns(list);
      return list.empty() ? S_FALSE : S_OK;
    }
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return E_NOINTERFACE;
}

HRESULT OpcServer::SetLocaleID(LCID dwLcid) {
  if (dwLcid != 0x0409 && dwLcid != LOCALE_SYSTEM_DEFAULT && dwLcid != LOCALE_USER_DEFAULT &&
      dwLcid != LOCALE_NEUTRAL)
    return E_INVALIDARG;
  lcid_ = dwLcid;
  return S_OK;
}

HRESULT OpcServer::GetLocaleID(LCID* p) {
  if (!p) return E_INVALIDARG;
  *p = lcid_;
  return S_OK;
}

HRESULT OpcServer::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
  if (!pdwCount || !pdwLcid) return E_INVALIDARG;
  *pdwLcid = CoArray<LCID>(4);
  if (!*pdwLcid) return E_OUTOFMEMORY;
  LCID ids[] = {0x0409, LOCALE_SYSTEM_DEFAULT, LOCALE_USER_DEFAULT, LOCALE_NEUTRAL};
  std::copy(ids, ids + 4, *pdwLcid);
  *pdwCount = 4;
  return S_OK;
}

HRESULT OpcServer::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
  try {
    if (!ppString) return E_INVALIDARG;
    *ppString = nullptr;
    std::wstring text = ErrorText(dwError);
    if (text.empty()) return E_INVALIDARG;
    *ppString = CoDup(text);
    return *ppString ? S_OK : E_OUTOFMEMORY;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcServer::SetClientName(LPCWSTR szName) {
  clientName_ = szName ? szName : L"";
  return S_OK;
}

HRESULT OpcServer::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                            DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                            VARTYPE** ppvtDataTypes) {
  try {
    if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes) return E_INVALIDARG;
    *pdwCount = 0;
    *ppPropertyIDs = nullptr;
    *ppDescriptions = nullptr;
    *ppvtDataTypes = nullptr;
    ServedTag* t = engine_->Tags().Find(szItemID);
    if (!t) return szItemID && ValidItemName(szItemID) ? OPC_E_UNKNOWNITEMID : OPC_E_INVALIDITEMID;
    std::vector<const PropertyInfo*> list;
    for (auto& p : kProperties)
      if (HasProperty(t, p.id)) list.push_back(&p);
    *ppPropertyIDs = CoArray<DWORD>(list.size());
    *ppDescriptions = CoArray<LPWSTR>(list.size());
    *ppvtDataTypes = CoArray<VARTYPE>(list.size());
    if (!*ppPropertyIDs || !*ppDescriptions || !*ppvtDataTypes) return E_OUTOFMEMORY;
    for (size_t i = 0; i < list.size(); ++i) {
      (*ppPropertyIDs)[i] = list[i]->id;
      (*ppDescriptions)[i] = CoDup(list[i]->description);
      (*ppvtDataTypes)[i] = list[i]->id == OPC_PROP_VALUE ? t->DataType() : list[i]->type;
    }
    *pdwCount = static_cast<DWORD>(list.size());
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcServer::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                     VARIANT** ppvData, HRESULT** ppErrors) {
  if (!ppvData || !ppErrors) return E_INVALIDARG;
  *ppvData = nullptr;
  *ppErrors = nullptr;
  if (dwCount == 0 || !pdwPropertyIDs) return E_INVALIDARG;
  ServedTag* t = engine_->Tags().Find(szItemID);
  if (!t) return szItemID && ValidItemName(szItemID) ? OPC_E_UNKNOWNITEMID : OPC_E_INVALIDITEMID;
  *ppvData = CoArray<VARIANT>(dwCount);
  *ppErrors = CoArray<HRESULT>(dwCount);
  if (!*ppvData || !*ppErrors) return E_OUTOFMEMORY;
  HRESULT overall = S_OK;
  for (DWORD i = 0; i < dwCount; ++i) {
    VARIANT* v = &(*ppvData)[i];
    VariantInit(v);
    HRESULT e = S_OK;
    switch (HasProperty(t, pdwPropertyIDs[i]) ? pdwPropertyIDs[i] : 0) {
      case OPC_PROP_CDT: V_VT(v) = VT_I2; V_I2(v) = static_cast<SHORT>(t->DataType()); break;
      case OPC_PROP_VALUE: e = CopyVariant(v, &t->Value()); break;
      case OPC_PROP_QUALITY: V_VT(v) = VT_I2; V_I2(v) = static_cast<SHORT>(t->Quality()); break;
      case OPC_PROP_TIME: t->Read(nullptr, nullptr, &V_DATE(v)); V_VT(v) = VT_DATE; break;
      case OPC_PROP_RIGHTS: V_VT(v) = VT_I4; V_I4(v) = t->AccessRights(); break;
      // The host pushes values as they change; the fastest a group can pass them on is its
      // smallest update rate.
      case OPC_PROP_SCANRATE:
        V_VT(v) = VT_R4;
        V_R4(v) = static_cast<float>(kFastestUpdateRate);
        break;
      case OPC_PROP_HIEU: V_VT(v) = VT_R8; V_R8(v) = t->EUHigh(); break;
      case OPC_PROP_LOEU: V_VT(v) = VT_R8; V_R8(v) = t->EULow(); break;
      default: e = OPC_E_INVALID_PID; break;
    }
    (*ppErrors)[i] = e;
    if (FAILED(e)) overall = S_FALSE;
  }
  return overall;
}

HRESULT OpcServer::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                 LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) {
  if (!ppszNewItemIDs || !ppErrors) return E_INVALIDARG;
  *ppszNewItemIDs = nullptr;
  *ppErrors = nullptr;
  if (dwCount == 0 || !pdwPropertyIDs) return E_INVALIDARG;
  ServedTag* t = engine_->Tags().Find(szItemID);
  if (!t) return szItemID && ValidItemName(szItemID) ? OPC_E_UNKNOWNITEMID : OPC_E_INVALIDITEMID;
  *ppszNewItemIDs = CoArray<LPWSTR>(dwCount);
  *ppErrors = CoArray<HRESULT>(dwCount);
  if (!*ppszNewItemIDs || !*ppErrors) return E_OUTOFMEMORY;
  // No property of ours lives at an item ID of its own.
  for (DWORD i = 0; i < dwCount; ++i)
    (*ppErrors)[i] = HasProperty(t, pdwPropertyIDs[i]) ? E_FAIL : OPC_E_INVALID_PID;
  return S_FALSE;
}

HRESULT OpcServer::QueryOrganization(OPCNAMESPACETYPE* p) {
  if (!p) return E_INVALIDARG;
  *p = OPC_NS_HIERARCHIAL;
  return S_OK;
}

HRESULT OpcServer::ChangeBrowsePosition(OPCBROWSEDIRECTION dir, LPCWSTR szString) {
  try {
    TagSpace& tags = engine_->Tags();
    switch (dir) {
      case OPC_BROWSE_UP: {
        if (browsePos_.empty()) return E_FAIL;
        size_t dot = browsePos_.rfind(L'.');
        browsePos_ = dot == std::wstring::npos ? std::wstring() : browsePos_.substr(0, dot);
        return S_OK;
      }
      case OPC_BROWSE_DOWN: {
        if (!szString || !*szString) return E_INVALIDARG;
        std::wstring to = browsePos_.empty() ? szString : browsePos_ + L"." + szString;
        if (!tags.IsBranch(to)) return E_INVALIDARG;
        browsePos_ = to;
        return S_OK;
      }
      case OPC_BROWSE_TO: {
        std::wstring to = szString ? szString : L"";
        if (!tags.IsBranch(to)) return E_INVALIDARG;
        browsePos_ = to;
        return S_OK;
      }
      default:
        return E_INVALIDARG;
    }
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcServer::BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE vtFilter,
                                    DWORD rightsFilter, LPENUMSTRING* ppIEnumString) {
  if (!ppIEnumString) return E_INVALIDARG;
  *ppIEnumString = nullptr;
  if (type < OPC_BRANCH || type > OPC_FLAT) return E_INVALIDARG;
  if (rightsFilter & ~static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE)) return E_INVALIDARG;
  TagSpace& tags = engine_->Tags();
  if (!tags.IsBranch(browsePos_)) browsePos_.clear();  // cannot happen: tags are never removed
  std::vector<std::wstring> out;
  auto fits = [&](const ServedTag* t) {
    if (vtFilter != VT_EMPTY && t->DataType() != vtFilter) return false;
    // An item shows when it has any of the rights asked for; no rights asked: no filtering.
    return rightsFilter == 0 || (static_cast<DWORD>(t->AccessRights()) & rightsFilter) != 0;
  };
  try {
    if (type == OPC_BRANCH) {
      for (auto& b : tags.Branches(browsePos_))
        if (WildcardMatch(filter, b.c_str())) out.push_back(b);
    } else if (type == OPC_LEAF) {
      size_t skip = browsePos_.empty() ? 0 : browsePos_.size() + 1;
      for (auto* t : tags.Leaves(browsePos_)) {
        std::wstring leaf = t->Name().substr(skip);
        if (fits(t) && WildcardMatch(filter, leaf.c_str())) out.push_back(leaf);
      }
    } else {
      for (auto* t : tags.Below(browsePos_))
        if (fits(t) && WildcardMatch(filter, t->Name().c_str())) out.push_back(t->Name());
    }
    bool empty = out.empty();
    *ppIEnumString = new EnumStrings(std::move(out));
    return empty ? S_FALSE : S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcServer::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
  try {
    if (!szItemID) return E_INVALIDARG;
    *szItemID = nullptr;
    std::wstring leaf = szItemDataID ? szItemDataID : L"";
    std::wstring full = leaf.empty() ? browsePos_
                        : browsePos_.empty() ? leaf
                                             : browsePos_ + L"." + leaf;
    TagSpace& tags = engine_->Tags();
    if (ServedTag* t = tags.Find(full.c_str())) full = t->Name();
    else if (full.empty() || !tags.IsBranch(full)) return E_INVALIDARG;
    *szItemID = CoDup(full);
    return *szItemID ? S_OK : E_OUTOFMEMORY;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcServer::BrowseAccessPaths(LPCWSTR, LPENUMSTRING* pp) {
  if (pp) *pp = nullptr;
  return E_NOTIMPL;
}

HRESULT OpcServer::EnumConnectionPoints(IEnumConnectionPoints** pp) {
  if (pp) *pp = nullptr;
  return E_NOTIMPL;
}

HRESULT OpcServer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  if (!ppCP) return E_POINTER;
  *ppCP = nullptr;
  if (!shutdown_ || riid != IID_IOPCShutdown) return CONNECT_E_NOCONNECTION;
  shutdown_->AddRef();
  *ppCP = shutdown_;
  return S_OK;
}

void OpcServer::RequestShutdown(const wchar_t* reason) {
  if (!shutdown_) return;
  for (IUnknown* sink : shutdown_->Sinks()) {
    // A client that refuses is skipped; one that died is disconnected; the others are asked.
    HRESULT hr = static_cast<IOPCShutdown*>(sink)->ShutdownRequest(reason);
    sink->Release();
    if (IsDeadClientError(hr)) engine_->ClientDied(this, nullptr);
  }
}

void OpcServer::DisconnectClient() {
  AddRef();
  if (shutdown_) shutdown_->Clear();
  std::vector<OpcGroup*> groups;
  for (auto& [h, g] : groups_) {
    g->AddRef();
    groups.push_back(g);
  }
  for (OpcGroup* g : groups) {
    g->DisconnectClient();
    g->Release();
  }
  CoDisconnectObject(static_cast<IOPCServer*>(this), 0);
  Release();
}

}  // namespace opc_toolkit
