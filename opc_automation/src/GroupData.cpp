// The group's data path: synchronous and asynchronous I/O through the outside server's group,
// subscriptions, and the IOPCDataCallback sink that turns the server's callbacks into the
// automation events DataChange, AsyncReadComplete, AsyncWriteComplete, AsyncCancelComplete on
// the group and GlobalDataChange on the server object.
//
// Callbacks arrive on the group's apartment thread, also while one of its own outgoing calls
// waits for its reply, and an event handler may remove items or the group itself. So nothing
// found before an outgoing call or an event is trusted after it: items are looked up by handle
// again, and the group checks that it is still attached before raising the next event.
#include "GroupObject.h"

#include "Arguments.h"
#include "Conversion.h"
#include "ItemObject.h"
#include "ServerObject.h"

#include <span>
#include <utility>
#include <vector>

namespace veltrane {
namespace {

// Memory an outside server hands back from a call, freed on every path.
struct ServerErrors {
  HRESULT* p = nullptr;
  ~ServerErrors() { CoTaskMemFree(p); }
};

struct ServerStates {
  OPCITEMSTATE* p = nullptr;
  DWORD count = 0;
  ~ServerStates() {
    if (!p) return;
    for (DWORD i = 0; i < count; ++i) VariantClear(&p[i].vDataValue);
    CoTaskMemFree(p);
  }
};

// The per-item results as a 1-based VT_I4 array (null errors with a count of 0: an empty one).
HRESULT MakeErrorArray(const HRESULT* errors, LONG count, SAFEARRAY** out) noexcept {
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<LONG> values(static_cast<size_t>(count));
    for (LONG i = 0; i < count; ++i) values[i] = static_cast<LONG>(errors[i]);
    return MakeLongArray(values, out);
  });
}

// A copy of a server value with the client type adjustment; one that cannot be adjusted is
// passed on as the server gave it.
common::Variant ClientValue(const VARIANT& server) {
  common::Variant v;
  if (FAILED(AdjustedCopy(server, &v))) common::ThrowIfFailed(VariantCopy(&v, const_cast<VARIANT*>(&server)));
  return v;
}

DATE LocalDate(const FILETIME& utc) noexcept {
  DATE d = 0;
  if (FAILED(FileTimeToLocalDate(utc, &d))) d = 0;
  return d;
}

// An array made by one of the Make* rules, held in an owning VARIANT of VT_ARRAY | vt.
template <class Values>
void Wrap(HRESULT (*make)(Values, SAFEARRAY**) noexcept, Values values, VARTYPE vt,
          common::Variant* out) {
  SAFEARRAY* sa = nullptr;
  common::ThrowIfFailed(make(values, &sa));
  ArrayToVariant(sa, vt, out);
}

}  // namespace

// What one data event carries, before it becomes SAFEARRAYs.
struct GroupObject::EventData {
  std::vector<LONG> clients;
  std::vector<common::Variant> values;
  std::vector<LONG> qualities;
  std::vector<DATE> times;
  std::vector<LONG> errors;

  void Reserve(size_t n) {
    clients.reserve(n);
    values.reserve(n);
    qualities.reserve(n);
    times.reserve(n);
    errors.reserve(n);
  }
};

// ---- synchronous I/O -------------------------------------------------------------------------

STDMETHODIMP GroupObject::SyncRead(SHORT source, LONG numItems, SAFEARRAY** serverHandles,
                                   SAFEARRAY** values, SAFEARRAY** errors, VARIANT* qualities,
                                   VARIANT* timeStamps) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  if (!serverHandles || !values || !errors || FAILED(CheckSource(source))) return E_INVALIDARG;
  *values = nullptr;
  *errors = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<OPCHANDLE> handles;
    HRESULT hr = MapItemHandles(*serverHandles, numItems, &handles);
    if (FAILED(hr)) return hr;
    std::vector<LONG> itemHandles;
    hr = ReadLongArray(*serverHandles, numItems, &itemHandles);
    if (FAILED(hr)) return hr;
    const bool wantQualities = qualities && !IsMissing(*qualities);
    const bool wantTimes = timeStamps && !IsMissing(*timeStamps);

    ServerStates states;
    ServerErrors results;
    hr = syncIo_->Read(static_cast<OPCDATASOURCE>(source), static_cast<DWORD>(numItems),
                       handles.data(), &states.p, &results.p);
    states.count = states.p ? static_cast<DWORD>(numItems) : 0;
    if (FAILED(hr)) return hr;
    if (numItems > 0 && (!states.p || !results.p)) return E_FAIL;

    // The caller's arrays: the values exactly as the server gave them.
    std::vector<VARIANT> raw(static_cast<size_t>(numItems));
    std::vector<SHORT> qualityList(raw.size());
    std::vector<DATE> timeList(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
      raw[i] = states.p[i].vDataValue;  // shallow: copied by MakeVariantArray
      qualityList[i] = static_cast<SHORT>(states.p[i].wQuality);
      timeList[i] = LocalDate(states.p[i].ftTimeStamp);
    }
    common::SafeArray valueArray, errorArray, qualityArray, timeArray;
    common::ThrowIfFailed(MakeVariantArray(raw, valueArray.ReleaseAndGetAddressOf()));
    common::ThrowIfFailed(MakeErrorArray(results.p, numItems, errorArray.ReleaseAndGetAddressOf()));
    if (wantQualities)
      common::ThrowIfFailed(MakeShortArray(qualityList, qualityArray.ReleaseAndGetAddressOf()));
    if (wantTimes) common::ThrowIfFailed(MakeDateArray(timeList, timeArray.ReleaseAndGetAddressOf()));

    // The items keep what they read, in the types an automation client can hold. Looked up
    // again here: a callback during Read may have removed some.
    for (size_t i = 0; i < raw.size(); ++i) {
      if (FAILED(results.p[i])) continue;
      if (ItemObject* item = FindItem(static_cast<DWORD>(itemHandles[i])))
        item->StoreData(ClientValue(states.p[i].vDataValue), states.p[i].wQuality,
                        states.p[i].ftTimeStamp);
    }

    *values = valueArray.Detach();
    *errors = errorArray.Detach();
    if (wantQualities) {
      VariantClear(qualities);
      ArrayToVariant(qualityArray.Detach(), VT_I2, qualities);
    }
    if (wantTimes) {
      VariantClear(timeStamps);
      ArrayToVariant(timeArray.Detach(), VT_DATE, timeStamps);
    }
    return S_OK;
  });
}

STDMETHODIMP GroupObject::SyncWrite(LONG numItems, SAFEARRAY** serverHandles, SAFEARRAY** values,
                                    SAFEARRAY** errors) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  if (!serverHandles || !values || !errors) return E_INVALIDARG;
  *errors = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<OPCHANDLE> handles;
    HRESULT hr = MapItemHandles(*serverHandles, numItems, &handles);
    if (FAILED(hr)) return hr;
    std::vector<common::Variant> items;
    hr = ReadVariantArray(*values, numItems, &items);
    if (FAILED(hr)) return FAILED(CheckInputArray(*values, numItems)) ? E_INVALIDARG : hr;
    ServerErrors results;
    hr = syncIo_->Write(static_cast<DWORD>(numItems), handles.data(),
                        static_cast<VARIANT*>(items.data()), &results.p);
    if (FAILED(hr)) return hr;
    if (numItems > 0 && !results.p) return E_FAIL;
    return MakeErrorArray(results.p, numItems, errors);
  });
}

// ---- asynchronous I/O ------------------------------------------------------------------------

STDMETHODIMP GroupObject::AsyncRead(LONG numItems, SAFEARRAY** serverHandles, SAFEARRAY** errors,
                                    LONG transactionId, LONG* cancelId) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  if (!serverHandles || !*serverHandles || !errors || !cancelId) return E_INVALIDARG;
  *errors = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<OPCHANDLE> handles;
    HRESULT hr = MapItemHandles(*serverHandles, numItems, &handles);
    if (FAILED(hr)) return hr;
    if (!da20_) return AsyncRead10(handles, errors, transactionId, cancelId);
    ServerErrors results;
    DWORD cancel = 0;
    hr = asyncIo2_->Read(static_cast<DWORD>(numItems), handles.data(),
                         static_cast<DWORD>(transactionId), &cancel, &results.p);
    if (FAILED(hr)) return hr;
    if (numItems > 0 && !results.p) return E_FAIL;
    *cancelId = static_cast<LONG>(cancel);
    hr = MakeErrorArray(results.p, numItems, errors);
    return FAILED(hr) ? hr : S_OK;
  });
}

STDMETHODIMP GroupObject::AsyncWrite(LONG numItems, SAFEARRAY** serverHandles, SAFEARRAY** values,
                                     SAFEARRAY** errors, LONG transactionId, LONG* cancelId) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  if (!serverHandles || !values || !errors || !cancelId) return E_INVALIDARG;
  *errors = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<OPCHANDLE> handles;
    HRESULT hr = MapItemHandles(*serverHandles, numItems, &handles);
    if (FAILED(hr)) return hr;
    std::vector<common::Variant> items;
    hr = ReadVariantArray(*values, numItems, &items);
    if (FAILED(hr)) return FAILED(CheckInputArray(*values, numItems)) ? E_INVALIDARG : hr;
    if (!da20_) return AsyncWrite10(handles, items, errors, transactionId, cancelId);
    ServerErrors results;
    DWORD cancel = 0;
    hr = asyncIo2_->Write(static_cast<DWORD>(numItems), handles.data(),
                          static_cast<VARIANT*>(items.data()), static_cast<DWORD>(transactionId),
                          &cancel, &results.p);
    if (FAILED(hr)) return hr;
    if (numItems > 0 && !results.p) return E_FAIL;
    *cancelId = static_cast<LONG>(cancel);
    hr = MakeErrorArray(results.p, numItems, errors);
    return FAILED(hr) ? hr : S_OK;
  });
}

STDMETHODIMP GroupObject::AsyncRefresh(SHORT source, LONG transactionId, LONG* cancelId) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  if (!cancelId || FAILED(CheckSource(source))) return E_INVALIDARG;
  if (!da20_) return AsyncRefresh10(source, transactionId, cancelId);
  DWORD cancel = 0;
  HRESULT hr = asyncIo2_->Refresh2(static_cast<OPCDATASOURCE>(source),
                                   static_cast<DWORD>(transactionId), &cancel);
  if (SUCCEEDED(hr)) *cancelId = static_cast<LONG>(cancel);
  return hr;
}

STDMETHODIMP GroupObject::AsyncCancel(LONG cancelId) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  if (!da20_) return AsyncCancel10(cancelId);
  return asyncIo2_->Cancel2(static_cast<DWORD>(cancelId));
}

// ---- subscriptions ---------------------------------------------------------------------------

STDMETHODIMP GroupObject::put_IsSubscribed(VARIANT_BOOL isSubscribed) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  const bool wanted = isSubscribed != 0;
  if (wanted == subscribed_) return S_OK;
  return wanted ? Subscribe() : Unsubscribe();
}

HRESULT GroupObject::Subscribe() noexcept {
  if (!da20_) return Subscribe10();
  common::ComPtr<IConnectionPoint> point;
  HRESULT hr = points_->FindConnectionPoint(IID_IOPCDataCallback, point.GetAddressOf());
  if (FAILED(hr)) return hr;
  if (!point) return E_FAIL;
  DWORD cookie = 0;
  hr = point->Advise(Unknown(), &cookie);
  if (FAILED(hr)) return hr;
  callbackCookie_ = cookie;
  subscribed_ = true;
  return S_OK;
}

// The flag and cookie are cleared before the outgoing call, so a callback or a handler that
// runs while Unadvise waits sees an unsubscribed group and does not unadvise twice.
HRESULT GroupObject::Unsubscribe() noexcept {
  if (!da20_) return Unsubscribe10();
  const DWORD cookie = std::exchange(callbackCookie_, 0);
  subscribed_ = false;
  if (!points_) return E_UNEXPECTED;
  common::ComPtr<IConnectionPoint> point;
  HRESULT hr = points_->FindConnectionPoint(IID_IOPCDataCallback, point.GetAddressOf());
  if (FAILED(hr)) return hr;
  if (!point) return E_FAIL;
  return point->Unadvise(cookie);
}

// ---- IOPCDataCallback ------------------------------------------------------------------------

STDMETHODIMP GroupObject::OnDataChange(DWORD transid, OPCHANDLE, HRESULT, HRESULT, DWORD count,
                                       OPCHANDLE* clientItems, VARIANT* values, WORD* qualities,
                                       FILETIME* times, HRESULT* errors) {
  if (!attached_ || !clientItems || !values || !qualities || !times || !errors) return S_OK;
  common::GuardNoThrow([&] {
    // Only entries naming items of this group count; an item removed while its data was under
    // way is left out, and when none is left nothing is raised.
    EventData data;
    data.Reserve(count);
    for (DWORD i = 0; i < count; ++i) {
      ItemObject* item = FindItem(static_cast<DWORD>(clientItems[i]));
      if (!item) continue;
      common::Variant value = ClientValue(values[i]);
      if (SUCCEEDED(errors[i])) item->StoreData(value, qualities[i], times[i]);
      data.clients.push_back(static_cast<LONG>(item->ClientHandle()));
      data.values.push_back(std::move(value));
      data.qualities.push_back(static_cast<LONG>(qualities[i]));
      data.times.push_back(LocalDate(times[i]));
    }
    if (data.clients.empty()) return;
    RaiseData(1, transid, data, false);
  });
  return S_OK;
}

STDMETHODIMP GroupObject::OnReadComplete(DWORD transid, OPCHANDLE, HRESULT, HRESULT, DWORD count,
                                         OPCHANDLE* clientItems, VARIANT* values, WORD* qualities,
                                         FILETIME* times, HRESULT* errors) {
  if (!attached_ || !clientItems || !values || !qualities || !times || !errors) return S_OK;
  common::GuardNoThrow([&] {
    // Every entry is reported, so the client hears about each item it asked for; one removed
    // meanwhile carries client handle 0.
    EventData data;
    data.Reserve(count);
    for (DWORD i = 0; i < count; ++i) {
      ItemObject* item = FindItem(static_cast<DWORD>(clientItems[i]));
      common::Variant value = ClientValue(values[i]);
      if (item && SUCCEEDED(errors[i])) item->StoreData(value, qualities[i], times[i]);
      data.clients.push_back(item ? static_cast<LONG>(item->ClientHandle()) : 0);
      data.values.push_back(std::move(value));
      data.qualities.push_back(static_cast<LONG>(qualities[i]));
      data.times.push_back(LocalDate(times[i]));
      data.errors.push_back(static_cast<LONG>(errors[i]));
    }
    RaiseData(2, transid, data, true);
  });
  return S_OK;
}

STDMETHODIMP GroupObject::OnWriteComplete(DWORD transid, OPCHANDLE, HRESULT, DWORD count,
                                          OPCHANDLE* clientItems, HRESULT* errors) {
  if (!attached_ || !clientItems || !errors) return S_OK;
  common::GuardNoThrow([&] {
    std::vector<LONG> clients(count), results(count);
    for (DWORD i = 0; i < count; ++i) {
      ItemObject* item = FindItem(static_cast<DWORD>(clientItems[i]));
      clients[i] = item ? static_cast<LONG>(item->ClientHandle()) : 0;
      results[i] = static_cast<LONG>(errors[i]);
    }
    common::Variant args[4];
    args[0] = common::Variant(static_cast<LONG>(transid));
    args[1] = common::Variant(static_cast<LONG>(count));
    Wrap<std::span<const LONG>>(MakeLongArray, clients, VT_I4, &args[2]);
    Wrap<std::span<const LONG>>(MakeLongArray, results, VT_I4, &args[3]);
    common::ComPtr<GroupObject> self(this);
    events_->FireDispatch(3, std::span<const VARIANT>(static_cast<const VARIANT*>(args), 4));
  });
  return S_OK;
}

STDMETHODIMP GroupObject::OnCancelComplete(DWORD transid, OPCHANDLE) {
  if (!attached_) return S_OK;
  common::ComPtr<GroupObject> self(this);
  events_->FireDispatch(4, {common::Variant(static_cast<LONG>(transid))});
  return S_OK;
}

// DataChange (1) and GlobalDataChange, or AsyncReadComplete (2) with the errors. The arrays
// are built once, shared by both events, and destroyed when both have returned.
void GroupObject::RaiseData(DISPID id, DWORD transid, EventData& data, bool withErrors) {
  const LONG n = static_cast<LONG>(data.clients.size());
  common::Variant clients, values, qualities, times, errors;
  Wrap<std::span<const LONG>>(MakeLongArray, data.clients, VT_I4, &clients);
  Wrap<std::span<const common::Variant>>(MakeVariantArray, data.values, VT_VARIANT, &values);
  Wrap<std::span<const LONG>>(MakeLongArray, data.qualities, VT_I4, &qualities);
  Wrap<std::span<const DATE>>(MakeDateArray, data.times, VT_DATE, &times);
  if (withErrors) Wrap<std::span<const LONG>>(MakeLongArray, data.errors, VT_I4, &errors);

  // A handler may remove this group (and drop the last reference on it) or release the server.
  common::ComPtr<GroupObject> self(this);
  common::ComPtr<IUnknown> server(server_ ? server_->Unknown() : nullptr);
  ServerObject* serverObject = server_;
  // Shallow views of the owning Variants above, which outlive both events.
  common::Variant head[2] = {common::Variant(static_cast<LONG>(transid)), common::Variant(n)};
  VARIANT args[7] = {head[0], head[1], clients, values, qualities, times, errors};
  events_->FireDispatch(id, std::span<const VARIANT>(args, withErrors ? 7 : 6));
  if (id != 1 || !attached_ || !serverObject) return;
  // A group removed inside its own DataChange delivers no GlobalDataChange.
  common::Variant group(clientHandle_);
  VARIANT global[7] = {head[0], group, head[1], clients, values, qualities, times};
  serverObject->GroupsEvents().FireDispatch(1, std::span<const VARIANT>(global, 7));
}

}  // namespace veltrane
