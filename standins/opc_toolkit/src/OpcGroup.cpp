#include "Objects.h"

#include "Da10Stream.h"

#include <cmath>

namespace opc_toolkit {

namespace {
constexpr WORD kOutOfService = OPC_QUALITY_BAD | OPC_QUALITY_OUT_OF_SERVICE;

bool SameValue(const VARIANT& a, const VARIANT& b) {
  if (V_VT(&a) != V_VT(&b)) return false;
  if (V_VT(&a) == VT_EMPTY || V_VT(&a) == VT_NULL) return true;
  return VarCmp(const_cast<VARIANT*>(&a), const_cast<VARIANT*>(&b), 0, 0) ==
         static_cast<HRESULT>(VARCMP_EQ);
}

bool AsDouble(const VARIANT& v, double* out) {
  VARIANT d;
  VariantInit(&d);
  if (V_VT(&v) == VT_BSTR || V_VT(&v) == VT_EMPTY ||
      FAILED(VariantChangeType(&d, const_cast<VARIANT*>(&v), 0, VT_R8)))
    return false;
  *out = V_R8(&d);
  return true;
}

// Whether values of the tag's type can be given to the client as `requested`.
bool Convertible(const ServedTag* t, VARTYPE requested) {
  if (requested == VT_EMPTY || requested == t->DataType() || t->DataType() == VT_EMPTY)
    return true;
  VARIANT sample, out;
  VariantInit(&sample);
  VariantInit(&out);
  if (V_VT(&t->Value()) != VT_EMPTY) {
    CopyVariant(&sample, &t->Value());
  } else {
    V_VT(&sample) = VT_I4;
    V_I4(&sample) = 0;
    VariantChangeType(&sample, &sample, 0, t->DataType());
  }
  HRESULT hr = VariantChangeType(&out, &sample, 0, requested);
  VariantClear(&sample);
  VariantClear(&out);
  // Overflow of one value is a value problem, not a type problem.
  return SUCCEEDED(hr) || hr == DISP_E_OVERFLOW;
}

class EnumItemAttributes : public IEnumOPCItemAttributes, public RefCounted {
 public:
  struct Entry {
    std::wstring accessPath, itemId;
    BOOL active;
    OPCHANDLE hClient, hServer;
    DWORD rights;
    VARTYPE requested, canonical;
    bool analog;
    double low, high;
  };
  explicit EnumItemAttributes(std::vector<Entry> e, size_t pos = 0)
      : entries_(std::move(e)), pos_(pos) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IEnumOPCItemAttributes)
      *ppv = static_cast<IEnumOPCItemAttributes*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  OPC_TOOLKIT_REFCOUNT
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray,
                                 ULONG* pceltFetched) override {
    if (!ppItemArray || !pceltFetched) return E_INVALIDARG;
    *ppItemArray = nullptr;
    *pceltFetched = 0;
    size_t n = std::min<size_t>(celt, entries_.size() - pos_);
    auto* out = CoArray<OPCITEMATTRIBUTES>(n);
    if (!out) return E_OUTOFMEMORY;
    for (size_t i = 0; i < n; ++i) {
      const Entry& e = entries_[pos_ + i];
      OPCITEMATTRIBUTES& a = out[i];
      a.szAccessPath = CoDup(e.accessPath);
      a.szItemID = CoDup(e.itemId);
      a.bActive = e.active;
      a.hClient = e.hClient;
      a.hServer = e.hServer;
      a.dwAccessRights = e.rights;
      a.vtRequestedDataType = e.requested;
      a.vtCanonicalDataType = e.canonical;
      a.dwEUType = e.analog ? OPC_ANALOG : OPC_NOENUM;
      VariantInit(&a.vEUInfo);
      if (e.analog) {
        SAFEARRAY* sa = SafeArrayCreateVector(VT_R8, 0, 2);
        if (sa) {
          LONG i0 = 0, i1 = 1;
          SafeArrayPutElement(sa, &i0, const_cast<double*>(&e.low));
          SafeArrayPutElement(sa, &i1, const_cast<double*>(&e.high));
          V_VT(&a.vEUInfo) = VT_ARRAY | VT_R8;
          V_ARRAY(&a.vEUInfo) = sa;
        }
      }
    }
    pos_ += n;
    *ppItemArray = out;
    *pceltFetched = static_cast<ULONG>(n);
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    size_t left = entries_.size() - pos_;
    pos_ += std::min<size_t>(celt, left);
    return celt <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    pos_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumOPCItemAttributes** pp) override {
    if (!pp) return E_INVALIDARG;
    *pp = new EnumItemAttributes(entries_, pos_);
    return S_OK;
  }

 private:
  std::vector<Entry> entries_;
  size_t pos_;
};

template <class T>
HRESULT AllocErrors(DWORD n, T** out) {
  *out = CoArray<T>(n);
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

CLIPFORMAT FormatData() {
  static CLIPFORMAT f = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(OPCSTMFORMATDATA));
  return f;
}
CLIPFORMAT FormatDataTime() {
  static CLIPFORMAT f = static_cast<CLIPFORMAT>(RegisterClipboardFormatW(OPCSTMFORMATDATATIME));
  return f;
}
CLIPFORMAT FormatWriteComplete() {
  static CLIPFORMAT f =
      static_cast<CLIPFORMAT>(RegisterClipboardFormatW(OPCSTMFORMATWRITECOMPLETE));
  return f;
}

OpcGroup::OpcGroup(OpcServer* server, Engine* engine, OPCHANDLE hServer, const std::wstring& name,
                   bool active, DWORD rate, OPCHANDLE hClient, LONG timeBias, FLOAT deadband,
                   LCID lcid)
    : server_(server), engine_(engine), hServer_(hServer), name_(name), active_(active),
      hClient_(hClient), timeBias_(timeBias), deadband_(deadband), lcid_(lcid),
      da10_(engine->Config().da10) {
  engine_->AddRef();
  engine_->GroupCreated(this);
  if (!da10_) {
    callback_ = new ConnectionPoint(this, IID_IOPCDataCallback, 1);
    // A new subscriber hears every active item at the next tick.
    callback_->onAdvise = [this] {
      for (auto& [h, item] : items_) item.sent = false;
    };
  }
  SetRate(rate, nullptr, nullptr);
  UpdateTimer();
}

OpcGroup::~OpcGroup() {
  engine_->GroupDestroyed(this);
  if (callback_) {
    callback_->Detach();
    callback_->Release();
  }
  for (auto& [c, a] : da10Advises_) a.sink->Release();
  for (auto& [h, item] : items_) VariantClear(&item.sentValue);
  for (auto& p : queue_)
    for (auto& v : p.values) VariantClear(&v);
  engine_->Release();
}

HRESULT OpcGroup::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IOPCItemMgt) *ppv = static_cast<IOPCItemMgt*>(this);
  else if (riid == IID_IOPCGroupStateMgt) *ppv = static_cast<IOPCGroupStateMgt*>(this);
  else if (riid == IID_IOPCSyncIO) *ppv = static_cast<IOPCSyncIO*>(this);
  else if (!da10_ && riid == IID_IOPCAsyncIO2) *ppv = static_cast<IOPCAsyncIO2*>(this);
  else if (!da10_ && riid == IID_IConnectionPointContainer)
    *ppv = static_cast<IConnectionPointContainer*>(this);
  else if (da10_ && riid == IID_IOPCAsyncIO) *ppv = static_cast<IOPCAsyncIO*>(this);
  else if (da10_ && riid == IID_IDataObject) *ppv = static_cast<IDataObject*>(this);
  else return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

void OpcGroup::SetRate(DWORD requested, DWORD* revised, HRESULT* hr) {
  rate_ = requested < kFastestUpdateRate ? kFastestUpdateRate : requested;
  if (revised) *revised = rate_;
  if (hr && rate_ != requested) *hr = OPC_S_UNSUPPORTEDRATE;
}

void OpcGroup::UpdateTimer() {
  if (active_) engine_->StartTimer(this, rate_);
  else engine_->StopTimer(this);
}

GroupItem* OpcGroup::FindItem(OPCHANDLE h) {
  auto it = items_.find(h);
  return it == items_.end() ? nullptr : &it->second;
}

// --------------------------------------------------------------------- IOPCGroupStateMgt

HRESULT OpcGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                           FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                           OPCHANDLE* phServerGroup) {
  if (ppName) *ppName = nullptr;
  if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID ||
      !phClientGroup || !phServerGroup)
    return E_INVALIDARG;
  *pUpdateRate = rate_;
  *pActive = active_;
  *ppName = CoDup(name_);
  *pTimeBias = timeBias_;
  *pPercentDeadband = deadband_;
  *pLCID = lcid_;
  *phClientGroup = hClient_;
  *phServerGroup = hServer_;
  return *ppName ? S_OK : E_OUTOFMEMORY;
}

HRESULT OpcGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                           BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
                           DWORD* pLCID, OPCHANDLE* phClientGroup) {
  if (pPercentDeadband && !(*pPercentDeadband >= 0.0f && *pPercentDeadband <= 100.0f))
    return E_INVALIDARG;
  HRESULT hr = S_OK;
  bool restart = false;
  if (pRequestedUpdateRate) {
    DWORD old = rate_;
    SetRate(*pRequestedUpdateRate, nullptr, &hr);
    restart = old != rate_;
  }
  if (pRevisedUpdateRate) *pRevisedUpdateRate = rate_;
  if (pActive) {
    bool now = *pActive != FALSE;
    if (now && !active_)
      for (auto& [h, item] : items_) item.sent = false;  // activation reports every item
    restart = restart || now != active_;
    active_ = now;
  }
  if (pTimeBias) timeBias_ = *pTimeBias;
  if (pPercentDeadband) deadband_ = *pPercentDeadband;
  if (pLCID) lcid_ = *pLCID;
  if (phClientGroup) hClient_ = *phClientGroup;
  if (restart) UpdateTimer();
  return hr;
}

HRESULT OpcGroup::SetName(LPCWSTR szName) {
  try {
    if (!szName || !*szName) return E_INVALIDARG;
    if (server_ && server_->NameTaken(szName, this)) return OPC_E_DUPLICATENAME;
    name_ = szName;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
  if (!ppUnk) return E_INVALIDARG;
  *ppUnk = nullptr;
  if (!server_) return E_FAIL;
  try {
    std::wstring name = szName ? szName : L"";
    if (name.empty()) {
      for (int n = 1;; ++n) {
        name = name_ + L" copy " + std::to_wstring(n);
        if (!server_->NameTaken(name, nullptr)) break;
      }
    } else if (server_->NameTaken(name, nullptr)) {
      return OPC_E_DUPLICATENAME;
    }
    OPCHANDLE h = server_->nextGroup_++;
    // A clone starts inactive, with the same items.
    auto* g = new OpcGroup(server_, engine_, h, name, false, rate_, hClient_, timeBias_,
                           deadband_, lcid_);
    for (auto& [hs, item] : items_) {
      GroupItem copy = item;
      VariantInit(&copy.sentValue);
      copy.sent = false;
      copy.hServer = g->nextItem_++;
      g->items_[copy.hServer] = copy;
    }
    HRESULT hr = g->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    if (FAILED(hr)) {
      g->Release();
      return hr;
    }
    server_->groups_[h] = g;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// --------------------------------------------------------------------------- IOPCItemMgt

HRESULT OpcGroup::CheckItemDef(const OPCITEMDEF& def, ServedTag** tag) const {
  *tag = nullptr;
  if (!ValidItemName(def.szItemID)) return OPC_E_INVALIDITEMID;
  ServedTag* t = engine_->Tags().Find(def.szItemID);
  if (!t) return OPC_E_UNKNOWNITEMID;
  if (!Convertible(t, def.vtRequestedDataType)) return OPC_E_BADTYPE;
  *tag = t;
  return S_OK;
}

HRESULT OpcGroup::ValidateCommon(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results,
                                 HRESULT** errors, bool add) {
  if (results) *results = nullptr;
  if (errors) *errors = nullptr;
  if (count == 0 || !defs || !results || !errors) return E_INVALIDARG;
  try {
    std::vector<ServedTag*> tags(count, nullptr);
    std::vector<HRESULT> errs(count, S_OK);
    std::vector<std::wstring> names;
    std::vector<DWORD> asked;
    for (DWORD i = 0; i < count; ++i) {
      errs[i] = CheckItemDef(defs[i], &tags[i]);
      if (SUCCEEDED(errs[i])) {
        names.push_back(tags[i]->Name());
        asked.push_back(i);
      }
    }
    std::vector<HRESULT> hostErrors;
    engine_->ValidateWithHost(names, hostErrors);
    for (size_t k = 0; k < asked.size(); ++k) errs[asked[k]] = hostErrors[k];

    auto* res = CoArray<OPCITEMRESULT>(count);
    auto* err = CoArray<HRESULT>(count);
    if (!res || !err) {
      CoTaskMemFree(res);
      CoTaskMemFree(err);
      return E_OUTOFMEMORY;
    }
    HRESULT overall = S_OK;
    for (DWORD i = 0; i < count; ++i) {
      err[i] = errs[i];
      if (FAILED(errs[i])) {
        overall = S_FALSE;
        continue;
      }
      ServedTag* t = tags[i];
      res[i].vtCanonicalDataType = t->DataType();
      res[i].dwAccessRights = static_cast<DWORD>(t->AccessRights());
      if (add) {
        GroupItem item;
        item.hServer = nextItem_++;
        item.hClient = defs[i].hClient;
        item.tag = t;
        item.itemId = t->Name();
        item.accessPath = defs[i].szAccessPath ? defs[i].szAccessPath : L"";
        item.active = defs[i].bActive != FALSE;
        item.requested = defs[i].vtRequestedDataType;
        VariantInit(&item.sentValue);
        items_[item.hServer] = item;
        res[i].hServer = item.hServer;
      }
    }
    *results = res;
    *errors = err;
    return overall;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                           HRESULT** ppErrors) {
  return ValidateCommon(dwCount, pItemArray, ppAddResults, ppErrors, true);
}

HRESULT OpcGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL,
                                OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
  return ValidateCommon(dwCount, pItemArray, ppValidationResults, ppErrors, false);
}

HRESULT OpcGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
  if (ppErrors) *ppErrors = nullptr;
  if (dwCount == 0 || !phServer || !ppErrors) return E_INVALIDARG;
  if (FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
  HRESULT overall = S_OK;
  for (DWORD i = 0; i < dwCount; ++i) {
    auto it = items_.find(phServer[i]);
    if (it == items_.end()) {
      (*ppErrors)[i] = OPC_E_INVALIDHANDLE;
      overall = S_FALSE;
      continue;
    }
    VariantClear(&it->second.sentValue);
    items_.erase(it);
  }
  return overall;
}

HRESULT OpcGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                 HRESULT** ppErrors) {
  if (ppErrors) *ppErrors = nullptr;
  if (dwCount == 0 || !phServer || !ppErrors) return E_INVALIDARG;
  if (FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
  HRESULT overall = S_OK;
  for (DWORD i = 0; i < dwCount; ++i) {
    GroupItem* item = FindItem(phServer[i]);
    if (!item) {
      (*ppErrors)[i] = OPC_E_INVALIDHANDLE;
      overall = S_FALSE;
      continue;
    }
    if (bActive && !item->active) item->sent = false;
    item->active = bActive != FALSE;
  }
  return overall;
}

HRESULT OpcGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                   HRESULT** ppErrors) {
  if (ppErrors) *ppErrors = nullptr;
  if (dwCount == 0 || !phServer || !phClient || !ppErrors) return E_INVALIDARG;
  if (FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
  HRESULT overall = S_OK;
  for (DWORD i = 0; i < dwCount; ++i) {
    GroupItem* item = FindItem(phServer[i]);
    if (!item) {
      (*ppErrors)[i] = OPC_E_INVALIDHANDLE;
      overall = S_FALSE;
      continue;
    }
    item->hClient = phClient[i];
  }
  return overall;
}

HRESULT OpcGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                               HRESULT** ppErrors) {
  if (ppErrors) *ppErrors = nullptr;
  if (dwCount == 0 || !phServer || !pRequestedDatatypes || !ppErrors) return E_INVALIDARG;
  if (FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
  HRESULT overall = S_OK;
  for (DWORD i = 0; i < dwCount; ++i) {
    GroupItem* item = FindItem(phServer[i]);
    HRESULT e = !item ? OPC_E_INVALIDHANDLE
                      : !Convertible(item->tag, pRequestedDatatypes[i]) ? OPC_E_BADTYPE : S_OK;
    if (SUCCEEDED(e)) item->requested = pRequestedDatatypes[i];
    (*ppErrors)[i] = e;
    if (FAILED(e)) overall = S_FALSE;
  }
  return overall;
}

HRESULT OpcGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) {
  if (!ppUnk) return E_INVALIDARG;
  *ppUnk = nullptr;
  if (riid != IID_IEnumOPCItemAttributes) return E_NOINTERFACE;
  try {
    std::vector<EnumItemAttributes::Entry> list;
    for (auto& [h, item] : items_)
      list.push_back({item.accessPath, item.itemId, item.active ? TRUE : FALSE, item.hClient,
                      item.hServer, static_cast<DWORD>(item.tag->AccessRights()), item.requested,
                      item.tag->DataType(), item.tag->IsAnalog(), item.tag->EULow(),
                      item.tag->EUHigh()});
    bool empty = list.empty();
    *ppUnk = static_cast<IEnumOPCItemAttributes*>(new EnumItemAttributes(std::move(list)));
    return empty ? S_FALSE : S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// ------------------------------------------------------------------------------ values

HRESULT OpcGroup::ItemValue(GroupItem& item, OPCDATASOURCE source, VARIANT* value,
                            WORD* quality, FILETIME* time) {
  VariantInit(value);
  const ServedTag* t = item.tag;
  *time = t->TimeStamp();
  if (source == OPC_DS_CACHE && (!active_ || !item.active)) {
    *quality = kOutOfService;
    return S_OK;
  }
  *quality = t->Quality();
  HRESULT hr = CopyVariant(value, &t->Value());
  if (FAILED(hr)) return hr;
  if (item.requested != VT_EMPTY && V_VT(value) != VT_EMPTY && V_VT(value) != item.requested) {
    hr = VariantChangeType(value, value, 0, item.requested);
    if (FAILED(hr)) {
      VariantClear(value);
      *quality = OPC_QUALITY_BAD;
      return hr == DISP_E_OVERFLOW ? OPC_E_RANGE : OPC_E_BADTYPE;
    }
  }
  return S_OK;
}

bool OpcGroup::ChangedSinceSent(const GroupItem& item) const {
  const ServedTag* t = item.tag;
  if (!item.sent) return true;
  if (t->Version() == item.sentVersion) return false;
  if (t->Quality() != item.sentQuality) return true;
  double now, before;
  if (deadband_ > 0.0f && t->IsAnalog() && AsDouble(t->Value(), &now) &&
      AsDouble(item.sentValue, &before))
    return std::fabs(now - before) > deadband_ / 100.0 * (t->EUHigh() - t->EULow());
  return !SameValue(t->Value(), item.sentValue);
}

bool OpcGroup::CheckClient(HRESULT hr) {
  if (!IsDeadClientError(hr)) return false;
  engine_->ClientDied(server_, this);
  return true;
}

void OpcGroup::DisconnectClient() {
  AddRef();
  if (callback_) callback_->Clear();
  for (auto& [c, a] : da10Advises_) a.sink->Release();
  da10Advises_.clear();
  CoDisconnectObject(static_cast<IOPCItemMgt*>(this), 0);
  Release();
}

void OpcGroup::MarkSent(GroupItem& item) {
  item.sent = true;
  item.sentVersion = item.tag->Version();
  item.sentQuality = item.tag->Quality();
  VariantClear(&item.sentValue);
  CopyVariant(&item.sentValue, &item.tag->Value());
}

bool OpcGroup::AnyDataSink() const {
  if (!da10_) return callback_ && callback_->HasSinks();
  for (auto& [c, a] : da10Advises_)
    if (a.format == FormatData() || a.format == FormatDataTime()) return true;
  return false;
}

void OpcGroup::OnTimer() {
  if (!active_ || (!da10_ && !enable_) || !AnyDataSink()) return;
  std::vector<GroupItem*> changed;
  for (auto& [h, item] : items_)
    if (item.active && ChangedSinceSent(item)) changed.push_back(&item);
  if (changed.empty()) return;
  for (auto* item : changed) MarkSent(*item);
  SendData(0, false, changed, OPC_DS_CACHE, nullptr, nullptr, 0);
  engine_->NoteUpdateSent();
}

void OpcGroup::SendData(DWORD transId, bool readComplete, std::vector<GroupItem*>& items,
                        OPCDATASOURCE source, const std::vector<HRESULT>* itemErrors,
                        const std::vector<OPCHANDLE>* clientHandles, DWORD da10Connection) {
  size_t n = items.size();
  std::vector<OPCHANDLE> handles(n);
  std::vector<VARIANT> values(n);
  std::vector<WORD> qualities(n);
  std::vector<FILETIME> times(n);
  std::vector<HRESULT> errors(n);
  HRESULT masterQuality = S_OK, masterError = S_OK;
  for (size_t i = 0; i < n; ++i) {
    handles[i] = clientHandles ? (*clientHandles)[i] : items[i]->hClient;
    if (itemErrors && FAILED((*itemErrors)[i])) {
      VariantInit(&values[i]);
      qualities[i] = OPC_QUALITY_BAD;
      times[i] = NowFileTime();
      errors[i] = (*itemErrors)[i];
    } else {
      errors[i] = ItemValue(*items[i], source, &values[i], &qualities[i], &times[i]);
    }
    if (FAILED(errors[i])) masterError = S_FALSE;
    if ((qualities[i] & OPC_QUALITY_MASK) != OPC_QUALITY_GOOD) masterQuality = S_FALSE;
  }
  if (!da10_) {
    for (IUnknown* sink : callback_->Sinks()) {
      auto* cb = static_cast<IOPCDataCallback*>(sink);
      HRESULT hr;
      if (readComplete)
        hr = cb->OnReadComplete(transId, hClient_, masterQuality, masterError, static_cast<DWORD>(n),
                           handles.data(), values.data(), qualities.data(), times.data(),
                           errors.data());
      else
        hr = cb->OnDataChange(transId, hClient_, masterQuality, masterError,
                              static_cast<DWORD>(n), handles.data(), values.data(),
                              qualities.data(), times.data(), errors.data());
      sink->Release();
      CheckClient(hr);
    }
  } else {
    std::vector<StreamItem> stream(n);
    for (size_t i = 0; i < n; ++i) stream[i] = {handles[i], qualities[i], times[i], &values[i]};
    std::vector<std::pair<CLIPFORMAT, IAdviseSink*>> targets;
    for (auto& [c, a] : da10Advises_) {
      if (a.format != FormatData() && a.format != FormatDataTime()) continue;
      if (da10Connection && c != da10Connection) continue;
      a.sink->AddRef();
      targets.push_back({a.format, a.sink});
    }
    for (auto& [format, sink] : targets) {
      HGLOBAL h = StreamToHGlobal(
          BuildDataStream(hClient_, transId, format == FormatDataTime(), stream));
      if (h) {
        FORMATETC fmt = {format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        STGMEDIUM med{};
        med.tymed = TYMED_HGLOBAL;
        med.hGlobal = h;
        sink->OnDataChange(&fmt, &med);
        ReleaseStgMedium(&med);
      }
      sink->Release();
    }
  }
  for (auto& v : values) VariantClear(&v);
}

void OpcGroup::SendWriteComplete(DWORD transId, const std::vector<OPCHANDLE>& clientHandles,
                                 const std::vector<HRESULT>& errors, DWORD da10Connection) {
  HRESULT master = S_OK;
  for (HRESULT e : errors)
    if (FAILED(e)) master = S_FALSE;
  if (!da10_) {
    for (IUnknown* sink : callback_->Sinks()) {
      HRESULT hr = static_cast<IOPCDataCallback*>(sink)->OnWriteComplete(
          transId, hClient_, master, static_cast<DWORD>(errors.size()),
          const_cast<OPCHANDLE*>(clientHandles.data()), const_cast<HRESULT*>(errors.data()));
      sink->Release();
      CheckClient(hr);
    }
    return;
  }
  auto it = da10Advises_.find(da10Connection);
  if (it == da10Advises_.end() || it->second.format != FormatWriteComplete()) return;
  IAdviseSink* sink = it->second.sink;
  sink->AddRef();
  HGLOBAL h = StreamToHGlobal(BuildWriteCompleteStream(hClient_, transId, clientHandles, errors));
  if (h) {
    FORMATETC fmt = {FormatWriteComplete(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM med{};
    med.tymed = TYMED_HGLOBAL;
    med.hGlobal = h;
    sink->OnDataChange(&fmt, &med);
    ReleaseStgMedium(&med);
  }
  sink->Release();
}

void OpcGroup::WriteItems(const std::vector<OPCHANDLE>& handles, const VARIANT* values,
                          std::vector<HRESULT>& errors) {
  errors.assign(handles.size(), S_OK);
  std::vector<std::wstring> names;
  std::vector<VARIANT> converted;
  std::vector<size_t> which;
  for (size_t i = 0; i < handles.size(); ++i) {
    GroupItem* item = FindItem(handles[i]);
    if (!item) {
      errors[i] = OPC_E_INVALIDHANDLE;
      continue;
    }
    if (!(item->tag->AccessRights() & OPC_WRITEABLE)) {
      errors[i] = OPC_E_BADRIGHTS;
      continue;
    }
    VARIANT v;
    VariantInit(&v);
    HRESULT hr = VariantCopy(&v, const_cast<VARIANT*>(&values[i]));
    VARTYPE canonical = item->tag->DataType();
    if (SUCCEEDED(hr) && canonical != VT_EMPTY && V_VT(&v) != canonical)
      hr = VariantChangeType(&v, &v, 0, canonical);
    if (FAILED(hr)) {
      VariantClear(&v);
      errors[i] = hr == DISP_E_OVERFLOW ? OPC_E_RANGE : OPC_E_BADTYPE;
      continue;
    }
    names.push_back(item->tag->Name());
    converted.push_back(v);
    which.push_back(i);
  }
  std::vector<HRESULT> hostErrors;
  engine_->WriteToHost(names, converted, hostErrors);
  for (size_t k = 0; k < which.size(); ++k) errors[which[k]] = hostErrors[k];
  for (auto& v : converted) VariantClear(&v);
}

// ---------------------------------------------------------------------------- IOPCSyncIO

HRESULT OpcGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                       OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
  if (ppItemValues) *ppItemValues = nullptr;
  if (ppErrors) *ppErrors = nullptr;
  if (dwCount == 0 || !phServer || !ppItemValues || !ppErrors) return E_INVALIDARG;
  if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
  auto* states = CoArray<OPCITEMSTATE>(dwCount);
  auto* errors = CoArray<HRESULT>(dwCount);
  if (!states || !errors) {
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    return E_OUTOFMEMORY;
  }
  HRESULT overall = S_OK;
  for (DWORD i = 0; i < dwCount; ++i) {
    OPCITEMSTATE& s = states[i];
    VariantInit(&s.vDataValue);
    GroupItem* item = FindItem(phServer[i]);
    if (!item) {
      errors[i] = OPC_E_INVALIDHANDLE;
      overall = S_FALSE;
      continue;
    }
    s.hClient = item->hClient;
    errors[i] = ItemValue(*item, dwSource, &s.vDataValue, &s.wQuality, &s.ftTimeStamp);
    if (FAILED(errors[i])) overall = S_FALSE;
  }
  *ppItemValues = states;
  *ppErrors = errors;
  return overall;
}

HRESULT OpcGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                        HRESULT** ppErrors) {
  if (ppErrors) *ppErrors = nullptr;
  if (dwCount == 0 || !phServer || !pItemValues || !ppErrors) return E_INVALIDARG;
  try {
    std::vector<OPCHANDLE> handles(phServer, phServer + dwCount);
    std::vector<HRESULT> errs;
    WriteItems(handles, pItemValues, errs);
    if (FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
    HRESULT overall = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      (*ppErrors)[i] = errs[i];
      if (FAILED(errs[i])) overall = S_FALSE;
    }
    return overall;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// ----------------------------------------------------------------------- asynchronous IO

HRESULT OpcGroup::QueueIo(Pending p, DWORD* cancelId) {
  p.cancelId = nextCancel_++;
  if (nextCancel_ == 0) nextCancel_ = 1;
  if (cancelId) *cancelId = p.cancelId;
  queue_.push_back(std::move(p));
  engine_->PostAsyncWork();
  return S_OK;
}

HRESULT OpcGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                       DWORD* pdwCancelID, HRESULT** ppErrors) {
  if (ppErrors) *ppErrors = nullptr;
  if (dwCount == 0 || !phServer || !pdwCancelID || !ppErrors) return E_INVALIDARG;
  *pdwCancelID = 0;
  if (!AnyDataSink()) return CONNECT_E_NOCONNECTION;
  try {
    Pending p{Kind::Read, 0, dwTransactionID};
    p.source = OPC_DS_DEVICE;
    if (FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
    HRESULT overall = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      if (!FindItem(phServer[i])) {
        (*ppErrors)[i] = OPC_E_INVALIDHANDLE;
        overall = S_FALSE;
      } else {
        p.handles.push_back(phServer[i]);
      }
    }
    if (p.handles.empty()) return S_FALSE;  // nothing to read: no callback
    QueueIo(std::move(p), pdwCancelID);
    return overall;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                        DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) {
  if (ppErrors) *ppErrors = nullptr;
  if (dwCount == 0 || !phServer || !pItemValues || !pdwCancelID || !ppErrors)
    return E_INVALIDARG;
  *pdwCancelID = 0;
  if (!AnyDataSink()) return CONNECT_E_NOCONNECTION;
  try {
    Pending p{Kind::Write, 0, dwTransactionID};
    if (FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
    HRESULT overall = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      GroupItem* item = FindItem(phServer[i]);
      HRESULT e = !item ? OPC_E_INVALIDHANDLE
                  : !(item->tag->AccessRights() & OPC_WRITEABLE) ? OPC_E_BADRIGHTS : S_OK;
      (*ppErrors)[i] = e;
      if (FAILED(e)) {
        overall = S_FALSE;
        continue;
      }
      VARIANT v;
      VariantInit(&v);
      if (FAILED(VariantCopy(&v, &pItemValues[i]))) {
        (*ppErrors)[i] = E_OUTOFMEMORY;
        overall = S_FALSE;
        continue;
      }
      p.handles.push_back(phServer[i]);
      p.values.push_back(v);
    }
    if (p.handles.empty()) return S_FALSE;
    QueueIo(std::move(p), pdwCancelID);
    return overall;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) {
  if (!pdwCancelID) return E_INVALIDARG;
  *pdwCancelID = 0;
  if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
  if (!AnyDataSink()) return CONNECT_E_NOCONNECTION;
  bool anyActive = false;
  for (auto& [h, item] : items_) anyActive = anyActive || item.active;
  if (!active_ || !anyActive) return E_FAIL;
  try {
    Pending p{Kind::Refresh, 0, dwTransactionID};
    p.source = dwSource;
    return QueueIo(std::move(p), pdwCancelID);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcGroup::Cancel2(DWORD dwCancelID) {
  for (auto& p : queue_)
    if (p.cancelId == dwCancelID && p.kind != Kind::Cancelled && !p.da10) {
      p.kind = Kind::Cancelled;
      for (auto& v : p.values) VariantClear(&v);
      p.values.clear();
      return S_OK;
    }
  return E_FAIL;  // unknown, or already completed
}

HRESULT OpcGroup::SetEnable(BOOL bEnable) {
  if (!AnyDataSink()) return CONNECT_E_NOCONNECTION;
  enable_ = bEnable != FALSE;
  return S_OK;
}

HRESULT OpcGroup::GetEnable(BOOL* pbEnable) {
  if (!pbEnable) return E_INVALIDARG;
  if (!AnyDataSink()) return CONNECT_E_NOCONNECTION;
  *pbEnable = enable_;
  return S_OK;
}

void OpcGroup::RunQueued() {
  std::deque<Pending> work;
  work.swap(queue_);
  while (!work.empty()) {
    Pending p = std::move(work.front());
    work.pop_front();
    switch (p.kind) {
      case Kind::Cancelled:
        if (!da10_)
          for (IUnknown* sink : callback_->Sinks()) {
            HRESULT hr = static_cast<IOPCDataCallback*>(sink)->OnCancelComplete(p.transId, hClient_);
            sink->Release();
            CheckClient(hr);
          }
        break;
      case Kind::Read: {
        std::vector<GroupItem*> items;
        std::vector<HRESULT> errs;
        std::vector<OPCHANDLE> clientHandles;
        static GroupItem gone;  // an item removed while its read waited
        for (OPCHANDLE h : p.handles) {
          GroupItem* item = FindItem(h);
          items.push_back(item ? item : &gone);
          errs.push_back(item ? S_OK : OPC_E_INVALIDHANDLE);
          clientHandles.push_back(item ? item->hClient : 0);
        }
        if (!items.empty())
          SendData(p.transId, true, items, p.source, &errs, &clientHandles, p.connection);
        break;
      }
      case Kind::Refresh: {
        std::vector<GroupItem*> items;
        for (auto& [h, item] : items_)
          if (item.active) items.push_back(&item);
        for (auto* item : items) MarkSent(*item);
        if (!items.empty() || da10_)
          SendData(p.transId, false, items, p.source, nullptr, nullptr, p.connection);
        break;
      }
      case Kind::Write: {
        std::vector<HRESULT> errs;
        std::vector<OPCHANDLE> clientHandles;
        for (OPCHANDLE h : p.handles) {
          GroupItem* item = FindItem(h);
          clientHandles.push_back(item ? item->hClient : 0);
        }
        WriteItems(p.handles, p.values.data(), errs);
        for (auto& v : p.values) VariantClear(&v);
        SendWriteComplete(p.transId, clientHandles, errs, p.connection);
        break;
      }
    }
  }
}

// -------------------------------------------------------------- IOPCAsyncIO (DA 1.0)

HRESULT OpcGroup::Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount,
                       OPCHANDLE* phServer, DWORD* pTransactionID, HRESULT** ppErrors) {
  if (ppErrors) *ppErrors = nullptr;
  if (dwCount == 0 || !phServer || !pTransactionID || !ppErrors) return E_INVALIDARG;
  if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
  auto it = da10Advises_.find(dwConnection);
  if (it == da10Advises_.end() ||
      (it->second.format != FormatData() && it->second.format != FormatDataTime()))
    return CONNECT_E_NOCONNECTION;
  try {
    Pending p{Kind::Read, 0, nextDa10Trans_++};
    p.da10 = true;
    p.connection = dwConnection;
    p.source = dwSource;
    if (FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
    HRESULT overall = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      if (!FindItem(phServer[i])) {
        (*ppErrors)[i] = OPC_E_INVALIDHANDLE;
        overall = S_FALSE;
      } else {
        p.handles.push_back(phServer[i]);
      }
    }
    if (p.handles.empty()) return S_FALSE;
    *pTransactionID = p.transId;
    QueueIo(std::move(p), nullptr);
    return overall;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcGroup::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer,
                        VARIANT* pItemValues, DWORD* pTransactionID, HRESULT** ppErrors) {
  if (ppErrors) *ppErrors = nullptr;
  if (dwCount == 0 || !phServer || !pItemValues || !pTransactionID || !ppErrors)
    return E_INVALIDARG;
  auto it = da10Advises_.find(dwConnection);
  if (it == da10Advises_.end() || it->second.format != FormatWriteComplete())
    return CONNECT_E_NOCONNECTION;
  try {
    Pending p{Kind::Write, 0, nextDa10Trans_++};
    p.da10 = true;
    p.connection = dwConnection;
    if (FAILED(AllocErrors(dwCount, ppErrors))) return E_OUTOFMEMORY;
    HRESULT overall = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      GroupItem* item = FindItem(phServer[i]);
      HRESULT e = !item ? OPC_E_INVALIDHANDLE
                  : !(item->tag->AccessRights() & OPC_WRITEABLE) ? OPC_E_BADRIGHTS : S_OK;
      (*ppErrors)[i] = e;
      if (FAILED(e)) {
        overall = S_FALSE;
        continue;
      }
      VARIANT v;
      VariantInit(&v);
      VariantCopy(&v, &pItemValues[i]);
      p.handles.push_back(phServer[i]);
      p.values.push_back(v);
    }
    if (p.handles.empty()) return S_FALSE;
    *pTransactionID = p.transId;
    QueueIo(std::move(p), nullptr);
    return overall;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcGroup::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) {
  if (!pTransactionID) return E_INVALIDARG;
  if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
  auto it = da10Advises_.find(dwConnection);
  if (it == da10Advises_.end() ||
      (it->second.format != FormatData() && it->second.format != FormatDataTime()))
    return CONNECT_E_NOCONNECTION;
  bool anyActive = false;
  for (auto& [h, item] : items_) anyActive = anyActive || item.active;
  if (!active_ || !anyActive) return E_FAIL;
  try {
    Pending p{Kind::Refresh, 0, nextDa10Trans_++};
    p.da10 = true;
    p.connection = dwConnection;
    p.source = dwSource;
    *pTransactionID = p.transId;
    return QueueIo(std::move(p), nullptr);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT OpcGroup::Cancel(DWORD dwTransactionID) {
  for (auto it = queue_.begin(); it != queue_.end(); ++it)
    if (it->da10 && it->transId == dwTransactionID) {
      for (auto& v : it->values) VariantClear(&v);
      queue_.erase(it);
      return S_OK;
    }
  return E_FAIL;
}

// ------------------------------------------------------------------ IDataObject (DA 1.0)

HRESULT OpcGroup::GetData(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
HRESULT OpcGroup::GetDataHere(FORMATETC*, STGMEDIUM*) { return E_NOTIMPL; }
HRESULT OpcGroup::QueryGetData(FORMATETC*) { return E_NOTIMPL; }
HRESULT OpcGroup::GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) {
  if (out) out->ptd = nullptr;
  return E_NOTIMPL;
}
HRESULT OpcGroup::SetData(FORMATETC*, STGMEDIUM*, BOOL) { return E_NOTIMPL; }
HRESULT OpcGroup::EnumFormatEtc(DWORD, IEnumFORMATETC** pp) {
  if (pp) *pp = nullptr;
  return E_NOTIMPL;
}

HRESULT OpcGroup::DAdvise(FORMATETC* fmt, DWORD, IAdviseSink* sink, DWORD* conn) {
  if (!fmt || !sink || !conn) return E_INVALIDARG;
  *conn = 0;
  CLIPFORMAT f = fmt->cfFormat;
  if (f != FormatData() && f != FormatDataTime() && f != FormatWriteComplete())
    return DV_E_FORMATETC;
  if (!(fmt->tymed & TYMED_HGLOBAL)) return DV_E_TYMED;
  sink->AddRef();
  *conn = nextAdvise_++;
  da10Advises_[*conn] = {f, sink};
  // A new data advise hears every active item at the next tick.
  if (f != FormatWriteComplete())
    for (auto& [h, item] : items_) item.sent = false;
  return S_OK;
}

HRESULT OpcGroup::DUnadvise(DWORD conn) {
  auto it = da10Advises_.find(conn);
  if (it == da10Advises_.end()) return OLE_E_NOCONNECTION;
  IAdviseSink* sink = it->second.sink;
  da10Advises_.erase(it);
  sink->Release();
  return S_OK;
}

HRESULT OpcGroup::EnumDAdvise(IEnumSTATDATA** pp) {
  if (pp) *pp = nullptr;
  return E_NOTIMPL;
}

// --------------------------------------------------------- IConnectionPointContainer

HRESULT OpcGroup::EnumConnectionPoints(IEnumConnectionPoints** pp) {
  if (pp) *pp = nullptr;
  return E_NOTIMPL;
}

HRESULT OpcGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  if (!ppCP) return E_POINTER;
  *ppCP = nullptr;
  if (!callback_ || riid != IID_IOPCDataCallback) return CONNECT_E_NOCONNECTION;
  callback_->AddRef();
  *ppCP = callback_;
  return S_OK;
}

}  // namespace opc_toolkit
