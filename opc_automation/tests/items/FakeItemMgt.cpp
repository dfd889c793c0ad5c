#include "FakeItemMgt.h"

#include <utility>

namespace fakeitems {
namespace {

template <class T>
T* TaskArray(size_t n) {
  auto* p = static_cast<T*>(CoTaskMemAlloc(sizeof(T) * (n ? n : 1)));
  if (p) ZeroMemory(p, sizeof(T) * (n ? n : 1));
  return p;
}

std::vector<OPCHANDLE> Handles(DWORD count, const OPCHANDLE* handles) {
  return std::vector<OPCHANDLE>(handles, handles + count);
}

}  // namespace

STDMETHODIMP Group::GetState(DWORD* rate, BOOL* active, LPWSTR* name, LONG* bias, FLOAT* deadband,
                             DWORD* lcid, OPCHANDLE* client, OPCHANDLE* server) {
  *rate = 1000;
  *active = TRUE;
  *name = TaskArray<wchar_t>(8);
  wcscpy(*name, L"items");
  *bias = 0;
  *deadband = 0;
  *lcid = 0x409;
  *client = 0;
  *server = 300;
  return S_OK;
}

HRESULT Group::ItemError(OPCHANDLE h) const {
  auto forced = itemErrors.find(h);
  if (forced != itemErrors.end()) return forced->second;
  return items.count(h) ? S_OK : OPC_E_INVALIDHANDLE;
}

HRESULT Group::Results(DWORD count, OPCITEMDEF* defs, bool add, OPCITEMRESULT** results, HRESULT** errors) {
  std::vector<Def> seen;
  for (DWORD i = 0; i < count; ++i)
    seen.push_back({defs[i].szItemID ? defs[i].szItemID : L"(null)",
                    defs[i].szAccessPath ? defs[i].szAccessPath : L"(null)", defs[i].bActive,
                    defs[i].hClient, defs[i].vtRequestedDataType, defs[i].dwBlobSize});
  (add ? addCalls : validateCalls).push_back(seen);
  if (add && whileCalled) std::exchange(whileCalled, nullptr)();
  if (FAILED(addResult)) return addResult;
  *results = TaskArray<OPCITEMRESULT>(count);
  *errors = TaskArray<HRESULT>(count);
  HRESULT hr = S_OK;
  for (DWORD i = 0; i < count; ++i) {
    auto known = catalogue_->find(seen[i].id);
    if (known == catalogue_->end()) {
      (*errors)[i] = OPC_E_UNKNOWNITEMID;
      hr = S_FALSE;
      continue;
    }
    OPCITEMRESULT& r = (*results)[i];
    r.vtCanonicalDataType = known->second.canonical;
    r.dwAccessRights = known->second.rights;
    // A blob the caller must free, as servers may return.
    r.dwBlobSize = 4;
    r.pBlob = TaskArray<BYTE>(4);
    if (add) {
      r.hServer = nextServerHandle_++;
      items[r.hServer] = {seen[i].id, defs[i].hClient, defs[i].bActive, defs[i].vtRequestedDataType};
    }
  }
  return hr;
}

STDMETHODIMP Group::AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results, HRESULT** errors) {
  return Results(count, defs, true, results, errors);
}

STDMETHODIMP Group::ValidateItems(DWORD count, OPCITEMDEF* defs, BOOL, OPCITEMRESULT** results, HRESULT** errors) {
  return Results(count, defs, false, results, errors);
}

STDMETHODIMP Group::RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) {
  removeCalls.push_back({Handles(count, handles)});
  if (FAILED(removeResult)) return removeResult;
  *errors = TaskArray<HRESULT>(count);
  for (DWORD i = 0; i < count; ++i) {
    (*errors)[i] = ItemError(handles[i]);
    items.erase(handles[i]);
  }
  return S_OK;
}

STDMETHODIMP Group::SetActiveState(DWORD count, OPCHANDLE* handles, BOOL active, HRESULT** errors) {
  activeCalls.push_back({Handles(count, handles), active});
  if (FAILED(activeResult)) return activeResult;
  *errors = TaskArray<HRESULT>(count);
  for (DWORD i = 0; i < count; ++i) {
    (*errors)[i] = ItemError(handles[i]);
    if (SUCCEEDED((*errors)[i])) items[handles[i]].active = active;
  }
  return S_OK;
}

STDMETHODIMP Group::SetDatatypes(DWORD count, OPCHANDLE* handles, VARTYPE* types, HRESULT** errors) {
  HandleCall call{Handles(count, handles)};
  call.types.assign(types, types + count);
  typeCalls.push_back(call);
  if (FAILED(typeResult)) return typeResult;
  *errors = TaskArray<HRESULT>(count);
  for (DWORD i = 0; i < count; ++i) {
    (*errors)[i] = ItemError(handles[i]);
    if (SUCCEEDED((*errors)[i])) items[handles[i]].requested = types[i];
  }
  return S_OK;
}

STDMETHODIMP Group::Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states,
                         HRESULT** errors) {
  HandleCall call{Handles(count, handles)};
  call.source = source;
  readCalls.push_back(call);
  if (whileCalled) std::exchange(whileCalled, nullptr)();
  if (FAILED(readResult)) return readResult;
  *states = TaskArray<OPCITEMSTATE>(count);
  *errors = TaskArray<HRESULT>(count);
  for (DWORD i = 0; i < count; ++i) {
    (*errors)[i] = ItemError(handles[i]);
    if (FAILED((*errors)[i])) continue;
    const Served& s = items[handles[i]];
    const Known& k = (*catalogue_)[s.id];
    OPCITEMSTATE& st = (*states)[i];
    st.hClient = s.client;
    st.wQuality = k.quality;
    st.ftTimeStamp = k.time;
    VariantCopy(&st.vDataValue, const_cast<VARIANT*>(static_cast<const VARIANT*>(&k.value)));
  }
  return S_OK;
}

STDMETHODIMP Group::Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) {
  HandleCall call{Handles(count, handles)};
  for (DWORD i = 0; i < count; ++i) call.values.emplace_back(values[i]);
  writeCalls.push_back(call);
  if (FAILED(writeResult)) return writeResult;
  *errors = TaskArray<HRESULT>(count);
  for (DWORD i = 0; i < count; ++i) {
    (*errors)[i] = ItemError(handles[i]);
    if (SUCCEEDED((*errors)[i])) (*catalogue_)[items[handles[i]].id].value = common::Variant(values[i]);
  }
  return S_OK;
}

STDMETHODIMP Server::AddGroup(LPCWSTR, BOOL, DWORD rate, OPCHANDLE, LONG*, FLOAT*, DWORD,
                              OPCHANDLE* serverGroup, DWORD* revised, REFIID riid, LPUNKNOWN* unk) {
  auto g = common::Make<Group>(&catalogue);
  groups.push_back(g);
  *serverGroup = 300;
  *revised = rate;
  return g->QueryInterface(riid, reinterpret_cast<void**>(unk));
}

}  // namespace fakeitems
