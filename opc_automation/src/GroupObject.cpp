#include "GroupObject.h"

#include "HandleCounter.h"
#include "ServerObject.h"

namespace veltrane {
namespace {

HandleCounter& GroupHandles() {
  static HandleCounter counter;
  return counter;
}

// A group in another process answers each QueryInterface with a round trip (about a
// millisecond under Wine). Its proxy takes the whole list in one (IMultiQI) and keeps what it
// got, so while these references are held the single QueryInterface calls that follow are
// answered locally. An object in this process has no IMultiQI and is simply asked one by one.
class Prefetched {
 public:
  explicit Prefetched(IUnknown* group) noexcept {
    common::ComPtr<IMultiQI> multi;
    if (FAILED(group->QueryInterface(IID_IMultiQI, multi.PutVoid())) || !multi) return;
    const IID* iids[] = {&IID_IOPCSyncIO, &IID_IOPCItemMgt, &IID_IConnectionPointContainer,
                         &IID_IOPCAsyncIO2, &IID_IOPCAsyncIO, &IID_IDataObject};
    for (size_t i = 0; i < kCount; ++i) asked_[i] = {iids[i], nullptr, S_OK};
    if (FAILED(multi->QueryMultipleInterfaces(kCount, asked_))) {
      // The results of a failed call are not to be trusted; nothing is kept.
      for (auto& a : asked_) a.pItf = nullptr;
    }
  }
  ~Prefetched() {
    for (auto& a : asked_)
      if (a.pItf) a.pItf->Release();
  }
  Prefetched(const Prefetched&) = delete;
  Prefetched& operator=(const Prefetched&) = delete;

 private:
  static constexpr ULONG kCount = 6;
  MULTI_QI asked_[kCount] = {};
};

}  // namespace

GroupObject::GroupObject() : handle_(GroupHandles().Allocate()), clientHandle_(static_cast<LONG>(handle_)) {
  events_ = &AddConnectionPoint(DIID_DIOPCGroupEvent);
}

GroupObject::~GroupObject() {
  Detach();
  if (streamWindow_) {
    // Also when this runs on another thread (DestroyWindow then fails): a message still queued
    // for the window finds no group.
    SetWindowLongPtrW(streamWindow_, GWLP_USERDATA, 0);
    DestroyWindow(streamWindow_);
  }
  GroupHandles().Free(handle_);
}

HRESULT GroupObject::Initialise(ServerObject* server, IUnknown* group) noexcept {
  if (!server || !group) return E_INVALIDARG;
  if (attached_) return E_UNEXPECTED;
  HRESULT hr = [&]() -> HRESULT {
    server_ = server;
    Prefetched batch(group);
    if (FAILED(group->QueryInterface(IID_IOPCGroupStateMgt, state_.PutVoid())) || !state_ ||
        FAILED(group->QueryInterface(IID_IOPCSyncIO, syncIo_.PutVoid())) || !syncIo_ ||
        FAILED(group->QueryInterface(IID_IOPCItemMgt, itemMgt_.PutVoid())) || !itemMgt_)
      return E_NOINTERFACE;

    LPWSTR name = nullptr;
    OPCHANDLE clientGroup = 0;
    HRESULT hr = state_->GetState(&updateRate_, &active_, &name, &timeBias_, &deadband_,
                                  &localeId_, &clientGroup, &serverGroup_);
    if (FAILED(hr)) return hr;
    hr = common::GuardHResult([&] { name_ = common::Bstr(name ? name : L""); });
    CoTaskMemFree(name);
    if (FAILED(hr)) return hr;

    // A group stub with connection points speaks DA 2.0 (IOPCDataCallback); one without is a
    // DA 1.0 group (IDataObject streams). Each path needs its own I/O interface.
    da20_ = SUCCEEDED(state_->QueryInterface(IID_IConnectionPointContainer, points_.PutVoid())) && points_;
    if (!da20_) points_.Reset();
    if (da20_) {
      if (FAILED(state_->QueryInterface(IID_IOPCAsyncIO2, asyncIo2_.PutVoid())) || !asyncIo2_)
        return E_NOINTERFACE;
    } else {
      if (FAILED(state_->QueryInterface(IID_IOPCAsyncIO, asyncIo1_.PutVoid())) || !asyncIo1_ ||
          FAILED(state_->QueryInterface(IID_IDataObject, dataObject_.PutVoid())) || !dataObject_)
        return E_NOINTERFACE;
    }
    return S_OK;
  }();
  if (FAILED(hr)) {
    ReleaseInterfaces();
    server_ = nullptr;
    return hr;
  }
  attached_ = true;
  return S_OK;
}

void GroupObject::ReleaseInterfaces() noexcept {
  state_.Reset();
  points_.Reset();
  syncIo_.Reset();
  itemMgt_.Reset();
  asyncIo2_.Reset();
  asyncIo1_.Reset();
  dataObject_.Reset();
}

void GroupObject::Detach() noexcept {
  if (!attached_) return;
  attached_ = false;
  // The server's callbacks stop first (they are ignored from here on anyway).
  if (subscribed_) Unsubscribe();
  // DA 1.0 streams still waiting belong to calls that can no longer complete.
  queuedStreams_.clear();
  earlyStreams_.clear();
  transactions_.clear();
  awaitedReads_.clear();
  DetachItems();
  ReleaseInterfaces();
  server_ = nullptr;
}

// ---- IOPCGroup -------------------------------------------------------------------------------

STDMETHODIMP GroupObject::get_Parent(IOPCAutoServer** parent) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  if (!parent) return E_INVALIDARG;
  *parent = nullptr;
  return server_->Unknown()->QueryInterface(IID_IOPCAutoServer, reinterpret_cast<void**>(parent));
}

STDMETHODIMP GroupObject::get_Name(BSTR* name) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  if (!name) return E_INVALIDARG;
  *name = nullptr;
  DWORD rate = 0;
  BOOL active = FALSE;
  LPWSTR text = nullptr;
  LONG bias = 0;
  FLOAT deadband = 0.0f;
  DWORD lcid = 0;
  OPCHANDLE client = 0, server = 0;
  HRESULT hr = state_->GetState(&rate, &active, &text, &bias, &deadband, &lcid, &client, &server);
  if (FAILED(hr)) return hr;
  hr = common::GuardHResult([&] {
    common::Bstr copy(text ? text : L"");
    common::ThrowIfFailed(copy.CopyTo(name));
    name_ = std::move(copy);
    updateRate_ = rate;
    active_ = active;
    timeBias_ = bias;
    deadband_ = deadband;
    localeId_ = lcid;
  });
  CoTaskMemFree(text);
  return hr;
}

STDMETHODIMP GroupObject::put_Name(BSTR name) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  const OLECHAR* text = name ? name : L"";
  HRESULT hr = state_->SetName(text);
  if (FAILED(hr)) return hr;
  HRESULT copied = common::GuardHResult([&] { name_ = common::Bstr(text); });
  return FAILED(copied) ? copied : hr;
}

STDMETHODIMP GroupObject::get_ClientHandle(LONG* clientHandle) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  if (!clientHandle) return E_INVALIDARG;
  *clientHandle = clientHandle_;
  return S_OK;
}

STDMETHODIMP GroupObject::put_ClientHandle(LONG clientHandle) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  clientHandle_ = clientHandle;
  return S_OK;
}

STDMETHODIMP GroupObject::get_ServerHandle(LONG* serverHandle) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  if (!serverHandle) return E_INVALIDARG;
  *serverHandle = static_cast<LONG>(handle_);
  return S_OK;
}

STDMETHODIMP GroupObject::get_OPCItems(OPCItems** items) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  if (!items) return E_INVALIDARG;
  *items = nullptr;
  return QueryInterface(IID_OPCItems, reinterpret_cast<void**>(items));
}

// Public groups are not offered.
STDMETHODIMP GroupObject::get_IsPublic(VARIANT_BOOL*) { return attached_ ? E_NOTIMPL : CONNECT_E_NOCONNECTION; }

// ---- the state properties ------------------------------------------------------------------

HRESULT GroupObject::ReadState() noexcept {
  DWORD rate = 0;
  BOOL active = FALSE;
  LPWSTR text = nullptr;
  LONG bias = 0;
  FLOAT deadband = 0.0f;
  DWORD lcid = 0;
  OPCHANDLE client = 0, server = 0;
  HRESULT hr = state_->GetState(&rate, &active, &text, &bias, &deadband, &lcid, &client, &server);
  if (FAILED(hr)) return hr;
  hr = common::GuardHResult([&] { name_ = common::Bstr(text ? text : L""); });
  CoTaskMemFree(text);
  if (FAILED(hr)) return hr;
  updateRate_ = rate;
  active_ = active;
  timeBias_ = bias;
  deadband_ = deadband;
  localeId_ = lcid;
  return S_OK;
}

namespace {

// The getters: attached, a non-null output, then GetState; *out from the refreshed cache.
template <class T, class F>
HRESULT ReadCached(bool attached, T* out, F&& refresh) noexcept {
  if (!attached) return CONNECT_E_NOCONNECTION;
  if (!out) return E_INVALIDARG;
  return refresh();
}

}  // namespace

STDMETHODIMP GroupObject::get_IsActive(VARIANT_BOOL* isActive) {
  return ReadCached(attached_, isActive, [&] {
    HRESULT hr = ReadState();
    if (SUCCEEDED(hr)) *isActive = active_ ? VARIANT_TRUE : VARIANT_FALSE;
    return hr;
  });
}

STDMETHODIMP GroupObject::get_LocaleID(LONG* localeId) {
  return ReadCached(attached_, localeId, [&] {
    HRESULT hr = ReadState();
    if (SUCCEEDED(hr)) *localeId = static_cast<LONG>(localeId_);
    return hr;
  });
}

STDMETHODIMP GroupObject::get_TimeBias(LONG* timeBias) {
  return ReadCached(attached_, timeBias, [&] {
    HRESULT hr = ReadState();
    if (SUCCEEDED(hr)) *timeBias = timeBias_;
    return hr;
  });
}

STDMETHODIMP GroupObject::get_DeadBand(FLOAT* deadBand) {
  return ReadCached(attached_, deadBand, [&] {
    HRESULT hr = ReadState();
    if (SUCCEEDED(hr)) *deadBand = deadband_;
    return hr;
  });
}

STDMETHODIMP GroupObject::get_UpdateRate(LONG* updateRate) {
  return ReadCached(attached_, updateRate, [&] {
    HRESULT hr = ReadState();
    if (SUCCEEDED(hr)) *updateRate = static_cast<LONG>(updateRate_);
    return hr;
  });
}

// Each setter hands SetState only its own input, with the revised-rate output every server
// writes; a server that leaves the output alone keeps the cached rate.
STDMETHODIMP GroupObject::put_IsActive(VARIANT_BOOL isActive) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  BOOL active = isActive ? TRUE : FALSE;
  DWORD revised = updateRate_;
  HRESULT hr = state_->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
  if (SUCCEEDED(hr)) {
    active_ = active;
    updateRate_ = revised;
  }
  return hr;
}

STDMETHODIMP GroupObject::put_LocaleID(LONG localeId) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  DWORD lcid = static_cast<DWORD>(localeId);
  DWORD revised = updateRate_;
  HRESULT hr = state_->SetState(nullptr, &revised, nullptr, nullptr, nullptr, &lcid, nullptr);
  if (SUCCEEDED(hr)) {
    localeId_ = lcid;
    updateRate_ = revised;
  }
  return hr;
}

STDMETHODIMP GroupObject::put_TimeBias(LONG timeBias) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  LONG bias = timeBias;
  DWORD revised = updateRate_;
  HRESULT hr = state_->SetState(nullptr, &revised, nullptr, &bias, nullptr, nullptr, nullptr);
  if (SUCCEEDED(hr)) {
    timeBias_ = bias;
    updateRate_ = revised;
  }
  return hr;
}

STDMETHODIMP GroupObject::put_DeadBand(FLOAT deadBand) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  FLOAT deadband = deadBand;
  DWORD revised = updateRate_;
  HRESULT hr = state_->SetState(nullptr, &revised, nullptr, nullptr, &deadband, nullptr, nullptr);
  if (SUCCEEDED(hr)) {
    deadband_ = deadband;
    updateRate_ = revised;
  }
  return hr;
}

// The server's own result goes back: OPC_S_UNSUPPORTEDRATE is a success that tells the client
// the rate was revised (UpdateRate then reads the revised one).
STDMETHODIMP GroupObject::put_UpdateRate(LONG updateRate) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  DWORD requested = static_cast<DWORD>(updateRate);
  DWORD revised = requested;
  HRESULT hr = state_->SetState(&requested, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (SUCCEEDED(hr)) updateRate_ = revised;
  return hr;
}

STDMETHODIMP GroupObject::get_IsSubscribed(VARIANT_BOOL* isSubscribed) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  if (!isSubscribed) return E_INVALIDARG;
  *isSubscribed = subscribed_ ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

}  // namespace veltrane
