#include "FakeGroup.h"

#include <cstring>

namespace fakegroup {
namespace {

template <class T>
T* TaskArray(DWORD count) {
  auto* p = static_cast<T*>(CoTaskMemAlloc(sizeof(T) * (count ? count : 1)));
  std::memset(p, 0, sizeof(T) * (count ? count : 1));
  return p;
}

}  // namespace

FILETIME MakeFileTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
  SYSTEMTIME st{year, month, 0, day, hour, minute, second, ms};
  FILETIME ft{};
  SystemTimeToFileTime(&st, &ft);
  return ft;
}

STDMETHODIMP CallbackPoint::Advise(IUnknown* sink, DWORD* cookie) {
  ++advises;
  if (FAILED(adviseResult)) return adviseResult;
  common::ComPtr<IOPCDataCallback> cb;
  if (FAILED(sink->QueryInterface(IID_IOPCDataCallback, cb.PutVoid()))) return CONNECT_E_CANNOTCONNECT;
  *cookie = next_++;
  sinks[*cookie] = cb;
  return S_OK;
}

STDMETHODIMP CallbackPoint::Unadvise(DWORD cookie) {
  unadvised.push_back(cookie);
  return sinks.erase(cookie) ? S_OK : CONNECT_E_NOCONNECTION;
}

Group::Group() : point(common::Make<CallbackPoint>()) {}

STDMETHODIMP Group::GetState(DWORD* outRate, BOOL* outActive, LPWSTR* outName, LONG* outBias,
                             FLOAT* outDeadband, DWORD* outLcid, OPCHANDLE* client, OPCHANDLE* server) {
  ++getStateCalls;
  if (FAILED(getStateResult)) return getStateResult;
  *outRate = rate;
  *outActive = active;
  *outName = static_cast<LPWSTR>(CoTaskMemAlloc((name.size() + 1) * sizeof(wchar_t)));
  std::memcpy(*outName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
  *outBias = bias;
  *outDeadband = deadband;
  *outLcid = lcid;
  *client = 0;
  *server = serverHandle;
  return S_OK;
}

STDMETHODIMP Group::SetState(DWORD* requested, DWORD* revised, BOOL* newActive, LONG* newBias,
                             FLOAT* newDeadband, DWORD* newLcid, OPCHANDLE* client) {
  setStateCalls.push_back({requested != nullptr, revised != nullptr, newActive != nullptr,
                           newBias != nullptr, newDeadband != nullptr, newLcid != nullptr,
                           client != nullptr});
  if (FAILED(setStateResult)) return setStateResult;
  HRESULT hr = S_OK;
  if (requested) {
    rate = *requested;
    if (rateStep && rate % rateStep) {
      rate = (rate / rateStep + 1) * rateStep;
      hr = OPC_S_UNSUPPORTEDRATE;
    }
  }
  if (revised) *revised = rate;
  if (newActive) active = *newActive;
  if (newBias) bias = *newBias;
  if (newDeadband) deadband = *newDeadband;
  if (newLcid) lcid = *newLcid;
  return hr;
}

STDMETHODIMP Group::Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles,
                         OPCITEMSTATE** states, HRESULT** errors) {
  readSources.push_back(source);
  readHandles.emplace_back(handles, handles + count);
  if (FAILED(syncReadResult)) return syncReadResult;
  *states = TaskArray<OPCITEMSTATE>(count);
  *errors = TaskArray<HRESULT>(count);
  HRESULT hr = S_OK;
  for (DWORD i = 0; i < count; ++i) {
    auto it = items.find(handles[i]);
    if (it == items.end()) {
      (*errors)[i] = OPC_E_INVALIDHANDLE;
      hr = S_FALSE;
      continue;
    }
    OPCITEMSTATE& s = (*states)[i];
    s.hClient = it->second.client;
    s.ftTimeStamp = it->second.time;
    s.wQuality = it->second.quality;
    (*errors)[i] = it->second.readError;
    if (FAILED(it->second.readError)) {
      hr = S_FALSE;
      continue;
    }
    VariantCopy(&s.vDataValue, &it->second.value);
  }
  return hr;
}

STDMETHODIMP Group::Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) {
  writeHandles.emplace_back(handles, handles + count);
  writeValues.emplace_back();
  for (DWORD i = 0; i < count; ++i) writeValues.back().emplace_back(values[i]);
  if (FAILED(syncWriteResult)) return syncWriteResult;
  *errors = TaskArray<HRESULT>(count);
  HRESULT hr = S_OK;
  for (DWORD i = 0; i < count; ++i) {
    auto e = writeErrors.find(handles[i]);
    (*errors)[i] = items.count(handles[i]) == 0 ? OPC_E_INVALIDHANDLE
                   : e != writeErrors.end()    ? e->second
                                               : S_OK;
    if ((*errors)[i] != S_OK) hr = S_FALSE;
  }
  return hr;
}

STDMETHODIMP Group::AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results, HRESULT** errors) {
  *results = TaskArray<OPCITEMRESULT>(count);
  *errors = TaskArray<HRESULT>(count);
  HRESULT hr = S_OK;
  for (DWORD i = 0; i < count; ++i) {
    std::wstring id = defs[i].szItemID ? defs[i].szItemID : L"";
    if (id.rfind(L"Bad", 0) == 0) {
      (*errors)[i] = OPC_E_UNKNOWNITEMID;
      hr = S_FALSE;
      continue;
    }
    OPCHANDLE h = nextItem_++;
    ServedItem item;
    item.client = defs[i].hClient;
    item.canonical = id.find(L"UI2") != std::wstring::npos ? VT_UI2 : VT_R8;
    items[h] = std::move(item);
    (*results)[i].hServer = h;
    (*results)[i].vtCanonicalDataType = items[h].canonical;
    (*results)[i].dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
  }
  return hr;
}

STDMETHODIMP Group::RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) {
  *errors = TaskArray<HRESULT>(count);
  for (DWORD i = 0; i < count; ++i) {
    removedItems.push_back(handles[i]);
    (*errors)[i] = items.erase(handles[i]) ? S_OK : OPC_E_INVALIDHANDLE;
  }
  return S_OK;
}

STDMETHODIMP Group::Read(DWORD count, OPCHANDLE* handles, DWORD transaction, DWORD* cancelId,
                         HRESULT** errors) {
  readHandles.emplace_back(handles, handles + count);
  transactions.push_back(transaction);
  if (FAILED(asyncResult)) return asyncResult;
  *cancelId = nextCancelId++;
  *errors = TaskArray<HRESULT>(count);
  HRESULT hr = S_OK;
  for (DWORD i = 0; i < count; ++i)
    if (!items.count(handles[i])) {
      (*errors)[i] = OPC_E_INVALIDHANDLE;
      hr = S_FALSE;
    }
  return hr;
}

STDMETHODIMP Group::Write(DWORD count, OPCHANDLE* handles, VARIANT* values, DWORD transaction,
                          DWORD* cancelId, HRESULT** errors) {
  writeHandles.emplace_back(handles, handles + count);
  writeValues.emplace_back();
  for (DWORD i = 0; i < count; ++i) writeValues.back().emplace_back(values[i]);
  transactions.push_back(transaction);
  if (FAILED(asyncResult)) return asyncResult;
  *cancelId = nextCancelId++;
  *errors = TaskArray<HRESULT>(count);
  for (DWORD i = 0; i < count; ++i)
    (*errors)[i] = items.count(handles[i]) ? S_OK : OPC_E_INVALIDHANDLE;
  return S_OK;
}

STDMETHODIMP Group::Refresh2(OPCDATASOURCE source, DWORD transaction, DWORD* cancelId) {
  readSources.push_back(source);
  transactions.push_back(transaction);
  if (FAILED(asyncResult)) return asyncResult;
  *cancelId = nextCancelId++;
  return S_OK;
}

STDMETHODIMP Group::Cancel2(DWORD cancelId) {
  cancelled.push_back(cancelId);
  return asyncResult;
}

STDMETHODIMP Group::FindConnectionPoint(REFIID riid, IConnectionPoint** out) {
  *out = nullptr;
  if (!IsEqualIID(riid, IID_IOPCDataCallback)) return CONNECT_E_NOCONNECTION;
  *out = point.Get();
  point->AddRef();
  return S_OK;
}

}  // namespace fakegroup
