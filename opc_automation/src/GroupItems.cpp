// OPCItems: the group's item collection is the group object itself, seen through another
// interface; its items live in the group's map, ordered by item handle.
#include "GroupObject.h"

#include "Arguments.h"
#include "Conversion.h"
#include "EnumVariant.h"

#include <iterator>

namespace veltrane {

ItemObject* GroupObject::FindItem(DWORD itemHandle) const noexcept {
  auto it = items_.find(itemHandle);
  return it == items_.end() ? nullptr : it->second.Get();
}

HRESULT GroupObject::MapItems(SAFEARRAY* serverHandles, LONG numItems,
                              std::vector<OPCHANDLE>* handles,
                              std::vector<ItemObject*>* items) const noexcept {
  if (!handles) return E_POINTER;
  handles->clear();
  if (items) items->clear();
  std::vector<LONG> given;
  HRESULT hr = ReadLongArray(serverHandles, numItems, &given);
  if (FAILED(hr)) return hr;
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<OPCHANDLE> mapped;
    std::vector<ItemObject*> found;
    mapped.reserve(given.size());
    found.reserve(given.size());
    for (LONG h : given) {
      ItemObject* item = FindItem(static_cast<DWORD>(h));
      if (!item) return E_INVALIDARG;
      mapped.push_back(item->ServerItemHandle());
      found.push_back(item);
    }
    *handles = std::move(mapped);
    if (items) *items = std::move(found);
    return S_OK;
  });
}

HRESULT GroupObject::MapItemHandles(SAFEARRAY* serverHandles, LONG numItems,
                                    std::vector<OPCHANDLE>* out) const noexcept {
  return MapItems(serverHandles, numItems, out, nullptr);
}

void GroupObject::DetachItems() noexcept {
  std::vector<OPCHANDLE> handles;
  handles.reserve(items_.size());  // may throw only before anything changed
  for (auto& [handle, item] : items_) {
    handles.push_back(item->ServerItemHandle());
    item->Detach();
  }
  items_.clear();
  if (itemMgt_ && !handles.empty()) {
    HRESULT* errors = nullptr;
    if (SUCCEEDED(itemMgt_->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), &errors)))
      CoTaskMemFree(errors);
  }
}

// ---- OPCItems --------------------------------------------------------------------------------

STDMETHODIMP GroupObject::get_Parent(IOPCGroup** parent) {
  if (!parent) return E_INVALIDARG;
  *parent = nullptr;
  return QueryInterface(IID_IOPCGroup, reinterpret_cast<void**>(parent));
}

// The item defaults apply to items added later; no server call, allowed while detached.
STDMETHODIMP GroupObject::get_DefaultRequestedDataType(SHORT* type) {
  if (!type) return E_INVALIDARG;
  *type = defaultRequestedDataType_;
  return S_OK;
}
STDMETHODIMP GroupObject::put_DefaultRequestedDataType(SHORT type) {
  defaultRequestedDataType_ = type;
  return S_OK;
}
STDMETHODIMP GroupObject::get_DefaultAccessPath(BSTR* path) {
  if (!path) return E_INVALIDARG;
  *path = nullptr;
  return defaultAccessPath_.CopyTo(path);
}
STDMETHODIMP GroupObject::put_DefaultAccessPath(BSTR path) {
  return common::GuardHResult([&] { defaultAccessPath_ = common::Bstr(NonNull(path)); });
}
STDMETHODIMP GroupObject::get_DefaultIsActive(VARIANT_BOOL* active) {
  if (!active) return E_INVALIDARG;
  *active = defaultIsActive_;
  return S_OK;
}
STDMETHODIMP GroupObject::put_DefaultIsActive(VARIANT_BOOL active) {
  defaultIsActive_ = active;
  return S_OK;
}

STDMETHODIMP GroupObject::get_Count(LONG* count) {
  if (!count) return E_INVALIDARG;
  *count = static_cast<LONG>(items_.size());
  return S_OK;
}

STDMETHODIMP GroupObject::get__NewEnum(IUnknown** enumerator) {
  if (!enumerator) return E_INVALIDARG;
  *enumerator = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<common::Variant> snapshot;
    snapshot.reserve(items_.size());
    for (auto& [handle, item] : items_)
      snapshot.emplace_back(static_cast<IDispatch*>(static_cast<OPCItem*>(item.Get())));
    return CreateEnumVariant(std::move(snapshot), enumerator);
  });
}

STDMETHODIMP GroupObject::Item(VARIANT itemSpecifier, OPCItem** item) {
  if (!item) return E_INVALIDARG;
  *item = nullptr;
  common::Variant index;
  if (FAILED(VariantCopyInd(index.ReleaseAndGetAddressOf(), &itemSpecifier)) ||
      FAILED(VariantChangeType(&index, &index, 0, VT_I4)))
    return E_INVALIDARG;
  LONG i = V_I4(&index);
  if (i < 1 || static_cast<size_t>(i) > items_.size()) return E_INVALIDARG;
  auto it = std::next(items_.begin(), i - 1);
  return it->second->QueryInterface(IID_OPCItem, reinterpret_cast<void**>(item));
}

STDMETHODIMP GroupObject::GetOPCItem(LONG serverHandle, OPCItem** item) {
  if (!item) return E_INVALIDARG;
  *item = nullptr;
  ItemObject* found = FindItem(static_cast<DWORD>(serverHandle));
  if (!found) return E_INVALIDARG;
  return found->QueryInterface(IID_OPCItem, reinterpret_cast<void**>(item));
}

namespace {

// The OPCITEMRESULT array a server returned, with the blobs in it.
void FreeResults(OPCITEMRESULT* results, DWORD count) noexcept {
  if (!results) return;
  for (DWORD i = 0; i < count; ++i) CoTaskMemFree(results[i].pBlob);
  CoTaskMemFree(results);
}

// An optional typed array argument (RequestedDataTypes, AccessPaths): missing gives null with
// S_OK; present, it must be VT_ARRAY | elementType (also by reference, as VB passes variables)
// holding an array, else E_INVALIDARG.
HRESULT OptionalArray(const VARIANT& arg, VARTYPE elementType, SAFEARRAY** out) noexcept {
  *out = nullptr;
  const VARIANT* v = &arg;
  if (V_VT(v) == (VT_BYREF | VT_VARIANT)) {
    if (!V_VARIANTREF(v)) return E_INVALIDARG;
    v = V_VARIANTREF(v);
  }
  if (IsMissing(*v)) return S_OK;
  if (V_VT(v) == (VT_ARRAY | elementType)) {
    *out = V_ARRAY(v);
  } else if (V_VT(v) == (VT_BYREF | VT_ARRAY | elementType)) {
    *out = V_ARRAYREF(v) ? *V_ARRAYREF(v) : nullptr;
  } else {
    return E_INVALIDARG;
  }
  return *out ? S_OK : E_INVALIDARG;
}

// The item definitions of AddItems and Validate. The strings live here as long as the
// definitions that point at them.
struct Definitions {
  std::vector<common::Bstr> ids;
  std::vector<common::Bstr> paths;
  std::vector<VARTYPE> types;
  std::vector<OPCITEMDEF> defs;
};

// Access paths and requested types come from the optional arrays when given; otherwise "" and
// the collection's default type (the default access path is AddItem's alone).
HRESULT BuildDefinitions(LONG count, SAFEARRAY* itemIds, const VARIANT& requestedDataTypes,
                         const VARIANT& accessPaths, VARTYPE defaultType, Definitions* d) noexcept {
  SAFEARRAY* typeArray = nullptr;
  SAFEARRAY* pathArray = nullptr;
  HRESULT hr = OptionalArray(requestedDataTypes, VT_I2, &typeArray);
  if (FAILED(hr)) return hr;
  hr = OptionalArray(accessPaths, VT_BSTR, &pathArray);
  if (FAILED(hr)) return hr;
  if (typeArray && FAILED(hr = ReadVarTypeArray(typeArray, count, &d->types))) return hr;
  if (pathArray && FAILED(hr = ReadBstrArray(pathArray, count, &d->paths))) return hr;
  if (FAILED(hr = ReadBstrArray(itemIds, count, &d->ids))) return hr;
  return common::GuardHResult([&] {
    d->defs.assign(static_cast<size_t>(count), OPCITEMDEF{});
    for (size_t i = 0; i < d->defs.size(); ++i) {
      OPCITEMDEF& def = d->defs[i];
      def.szAccessPath = const_cast<LPWSTR>(pathArray ? NonNull(d->paths[i].Get()) : L"");
      def.szItemID = const_cast<LPWSTR>(NonNull(d->ids[i].Get()));
      def.bActive = FALSE;
      def.hClient = static_cast<OPCHANDLE>(i);
      def.dwBlobSize = 0;
      def.pBlob = nullptr;
      def.vtRequestedDataType = typeArray ? d->types[i] : defaultType;
    }
  });
}

// Element `index` of a 1-based array as a 32-bit integer, whatever numeric or VARIANT elements
// the caller built it from.
HRESULT ReadLongAt(SAFEARRAY* sa, LONG index, LONG* out) noexcept {
  VARTYPE vt = VT_EMPTY;
  HRESULT hr = SafeArrayGetVartype(sa, &vt);
  if (FAILED(hr)) return hr;
  common::Variant v;
  if (vt == VT_VARIANT) {
    hr = SafeArrayGetElement(sa, &index, v.ReleaseAndGetAddressOf());
  } else if (vt == VT_I1 || vt == VT_UI1 || vt == VT_I2 || vt == VT_UI2 || vt == VT_I4 ||
             vt == VT_UI4 || vt == VT_INT || vt == VT_UINT || vt == VT_R4 || vt == VT_R8 ||
             vt == VT_BOOL || vt == VT_CY || vt == VT_DATE || vt == VT_DECIMAL || vt == VT_BSTR ||
             vt == VT_I8 || vt == VT_UI8) {
    if (vt == VT_DECIMAL) {
      hr = SafeArrayGetElement(sa, &index, &V_DECIMAL(&v));
      if (SUCCEEDED(hr)) V_VT(&v) = VT_DECIMAL;
    } else {
      hr = SafeArrayGetElement(sa, &index, &V_I8(&v));
      if (SUCCEEDED(hr)) V_VT(&v) = vt;
    }
  } else {
    return DISP_E_TYPEMISMATCH;
  }
  if (FAILED(hr)) return hr;
  common::Variant value;
  if (FAILED(hr = VariantCopyInd(value.ReleaseAndGetAddressOf(), &v))) return hr;
  if (FAILED(hr = VariantChangeType(&value, &value, 0, VT_I4))) return hr;
  *out = V_I4(&value);
  return S_OK;
}

// The per-item errors of a bulk call as the caller's Errors array; frees the server's array.
HRESULT TakeErrors(HRESULT* errors, size_t count, SAFEARRAY** out) noexcept {
  HRESULT hr = common::GuardHResult([&]() -> HRESULT {
    std::vector<LONG> values(count, S_OK);
    if (errors)
      for (size_t i = 0; i < count; ++i) values[i] = errors[i];
    return MakeLongArray(values, out);
  });
  CoTaskMemFree(errors);
  return hr;
}

}  // namespace

STDMETHODIMP GroupObject::AddItem(BSTR itemId, LONG clientHandle, OPCItem** item) {
  if (!CanReachItems()) return CONNECT_E_NOCONNECTION;
  const common::ComPtr<IOPCItemMgt> mgt = itemMgt_;  // kept should the group detach meanwhile
  if (!itemId || !item) return E_INVALIDARG;
  *item = nullptr;
  common::ComPtr<ItemObject> made;
  HRESULT hr = common::GuardHResult([&] { made = common::Make<ItemObject>(); });
  if (FAILED(hr)) return hr;

  OPCITEMDEF def{};
  def.szAccessPath = const_cast<LPWSTR>(NonNull(defaultAccessPath_.Get()));
  def.szItemID = itemId;
  def.bActive = FALSE;
  def.hClient = made->Handle();
  def.vtRequestedDataType = static_cast<VARTYPE>(defaultRequestedDataType_);
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  hr = mgt->AddItems(1, &def, &results, &errors);
  if (SUCCEEDED(hr) && (!results || !errors)) hr = E_FAIL;  // a server that broke its contract
  if (SUCCEEDED(hr) && FAILED(errors[0])) hr = errors[0];
  if (SUCCEEDED(hr)) {
    // A client's handler may have detached the group while the call was out.
    hr = attached_ ? made->Initialise(this, def, results[0], clientHandle) : CONNECT_E_NOCONNECTION;
    if (SUCCEEDED(hr)) hr = common::GuardHResult([&] { items_.emplace(made->Handle(), made); });
    if (FAILED(hr)) {
      // Accepted by the server but not kept here: take it off the server again.
      OPCHANDLE orphan = results[0].hServer;
      HRESULT* removeErrors = nullptr;
      if (SUCCEEDED(mgt->RemoveItems(1, &orphan, &removeErrors))) CoTaskMemFree(removeErrors);
    }
  }
  FreeResults(results, 1);
  CoTaskMemFree(errors);
  if (FAILED(hr)) return hr;

  // Added inactive, then activated on its own, so the add never depends on activation.
  if (defaultIsActive_) made->put_IsActive(VARIANT_TRUE);
  return made->QueryInterface(IID_OPCItem, reinterpret_cast<void**>(item));
}

STDMETHODIMP GroupObject::AddItems(LONG numItems, SAFEARRAY** itemIds, SAFEARRAY** clientHandles,
                                   SAFEARRAY** serverHandles, SAFEARRAY** errors,
                                   VARIANT requestedDataTypes, VARIANT accessPaths) {
  if (!CanReachItems()) return CONNECT_E_NOCONNECTION;
  const common::ComPtr<IOPCItemMgt> mgt = itemMgt_;  // kept should the group detach meanwhile
  if (!itemIds || !*itemIds || !clientHandles || !*clientHandles || !serverHandles || !errors)
    return E_INVALIDARG;
  *serverHandles = nullptr;
  *errors = nullptr;
  Definitions d;
  HRESULT hr = BuildDefinitions(numItems, *itemIds, requestedDataTypes, accessPaths,
                                static_cast<VARTYPE>(defaultRequestedDataType_), &d);
  if (FAILED(hr)) return hr;
  std::vector<LONG> clients;
  if (FAILED(hr = ReadLongArray(*clientHandles, numItems, &clients))) return hr;

  const size_t n = d.defs.size();
  std::vector<common::ComPtr<ItemObject>> made;
  hr = common::GuardHResult([&] {
    made.reserve(n);
    for (size_t i = 0; i < n; ++i) made.push_back(common::Make<ItemObject>());
  });
  if (FAILED(hr)) return hr;
  for (size_t i = 0; i < n; ++i) d.defs[i].hClient = made[i]->Handle();

  OPCITEMRESULT* results = nullptr;
  HRESULT* itemErrors = nullptr;
  hr = mgt->AddItems(static_cast<DWORD>(n), d.defs.data(), &results, &itemErrors);
  if (FAILED(hr)) return hr;
  if (n > 0 && (!results || !itemErrors)) {
    FreeResults(results, static_cast<DWORD>(n));
    CoTaskMemFree(itemErrors);
    return E_FAIL;  // a server that broke its contract
  }

  std::vector<LONG> handlesOut(n, 0);
  std::vector<LONG> errorsOut(n, S_OK);
  std::vector<OPCHANDLE> orphans;
  std::vector<ItemObject*> accepted;
  std::vector<OPCHANDLE> acceptedHandles;
  hr = common::GuardHResult([&] {
    accepted.reserve(n);
    acceptedHandles.reserve(n);
    orphans.reserve(n);
  });
  for (size_t i = 0; SUCCEEDED(hr) && i < n; ++i) {
    errorsOut[i] = itemErrors[i];
    if (FAILED(itemErrors[i])) continue;  // refused: no object, handle 0
    HRESULT kept = attached_ ? made[i]->Initialise(this, d.defs[i], results[i], clients[i])
                             : CONNECT_E_NOCONNECTION;
    if (SUCCEEDED(kept))
      kept = common::GuardHResult([&] { items_.emplace(made[i]->Handle(), made[i]); });
    if (FAILED(kept)) {
      // Accepted by the server but not kept here: reported as that item's error, and taken
      // off the server again below.
      made[i]->Detach();
      errorsOut[i] = kept;
      orphans.push_back(results[i].hServer);
      continue;
    }
    handlesOut[i] = static_cast<LONG>(made[i]->Handle());
    accepted.push_back(made[i].Get());
    acceptedHandles.push_back(results[i].hServer);
  }
  FreeResults(results, static_cast<DWORD>(n));
  CoTaskMemFree(itemErrors);
  if (FAILED(hr)) return hr;

  if (!orphans.empty()) {
    HRESULT* removeErrors = nullptr;
    if (SUCCEEDED(mgt->RemoveItems(static_cast<DWORD>(orphans.size()), orphans.data(), &removeErrors)))
      CoTaskMemFree(removeErrors);
  }
  if (!attached_) return CONNECT_E_NOCONNECTION;
  // One activation for all accepted items; an item the server would not activate keeps
  // reporting itself inactive.
  if (defaultIsActive_ && !accepted.empty()) {
    HRESULT* activeErrors = nullptr;
    if (SUCCEEDED(mgt->SetActiveState(static_cast<DWORD>(acceptedHandles.size()),
                                      acceptedHandles.data(), TRUE, &activeErrors))) {
      for (size_t j = 0; j < accepted.size(); ++j)
        if (!activeErrors || SUCCEEDED(activeErrors[j])) accepted[j]->SetActiveState(TRUE);
      CoTaskMemFree(activeErrors);
    }
  }

  if (FAILED(hr = MakeLongArray(handlesOut, serverHandles))) return hr;
  if (FAILED(hr = MakeLongArray(errorsOut, errors))) {
    SafeArrayDestroy(*serverHandles);
    *serverHandles = nullptr;
    return hr;
  }
  return S_OK;
}

STDMETHODIMP GroupObject::Remove(LONG numItems, SAFEARRAY** serverHandles, SAFEARRAY** errors) {
  if (!CanReachItems()) return CONNECT_E_NOCONNECTION;
  const common::ComPtr<IOPCItemMgt> mgt = itemMgt_;  // kept should the group detach meanwhile
  if (!serverHandles || !*serverHandles || !errors) return E_INVALIDARG;
  *errors = nullptr;
  // Every handle is checked before anything changes: an unknown one leaves the collection and
  // the server as they were.
  std::vector<OPCHANDLE> handles;
  std::vector<ItemObject*> found;
  HRESULT hr = MapItems(*serverHandles, numItems, &handles, &found);
  if (FAILED(hr)) return hr;
  std::vector<DWORD> itemHandles;
  if (FAILED(hr = common::GuardHResult([&] {
        itemHandles.reserve(found.size());
        for (ItemObject* item : found) itemHandles.push_back(item->Handle());
      })))
    return hr;
  for (DWORD h : itemHandles) {
    auto it = items_.find(h);
    if (it == items_.end()) continue;  // named twice
    it->second->Detach();
    items_.erase(it);
  }
  HRESULT* itemErrors = nullptr;
  hr = mgt->RemoveItems(static_cast<DWORD>(handles.size()), handles.data(), &itemErrors);
  if (FAILED(hr)) return hr;
  return TakeErrors(itemErrors, handles.size(), errors);
}

STDMETHODIMP GroupObject::Validate(LONG numItems, SAFEARRAY** itemIds, SAFEARRAY** errors,
                                   VARIANT requestedDataTypes, VARIANT accessPaths) {
  if (!CanReachItems()) return CONNECT_E_NOCONNECTION;
  const common::ComPtr<IOPCItemMgt> mgt = itemMgt_;  // kept should the group detach meanwhile
  if (!itemIds || !*itemIds || !errors) return E_INVALIDARG;
  *errors = nullptr;
  Definitions d;
  HRESULT hr = BuildDefinitions(numItems, *itemIds, requestedDataTypes, accessPaths,
                                static_cast<VARTYPE>(defaultRequestedDataType_), &d);
  if (FAILED(hr)) return hr;
  OPCITEMRESULT* results = nullptr;
  HRESULT* itemErrors = nullptr;
  hr = mgt->ValidateItems(static_cast<DWORD>(d.defs.size()), d.defs.data(), FALSE, &results,
                               &itemErrors);
  if (FAILED(hr)) return hr;
  FreeResults(results, static_cast<DWORD>(d.defs.size()));
  hr = TakeErrors(itemErrors, d.defs.size(), errors);
  return FAILED(hr) ? hr : S_OK;
}

STDMETHODIMP GroupObject::SetActive(LONG numItems, SAFEARRAY** serverHandles,
                                    VARIANT_BOOL activeState, SAFEARRAY** errors) {
  if (!CanReachItems()) return CONNECT_E_NOCONNECTION;
  const common::ComPtr<IOPCItemMgt> mgt = itemMgt_;  // kept should the group detach meanwhile
  if (!serverHandles || !*serverHandles || !errors) return E_INVALIDARG;
  *errors = nullptr;
  std::vector<OPCHANDLE> handles;
  std::vector<ItemObject*> found;
  HRESULT hr = MapItems(*serverHandles, numItems, &handles, &found);
  if (FAILED(hr)) return hr;
  const BOOL active = activeState ? TRUE : FALSE;
  HRESULT* itemErrors = nullptr;
  // The items stay alive even if a handler removes them while the call is out.
  std::vector<common::ComPtr<ItemObject>> keep;
  if (FAILED(hr = common::GuardHResult([&] { keep.assign(found.begin(), found.end()); }))) return hr;
  hr = mgt->SetActiveState(static_cast<DWORD>(handles.size()), handles.data(), active, &itemErrors);
  if (FAILED(hr)) return hr;
  for (size_t i = 0; i < found.size(); ++i)
    if (!itemErrors || SUCCEEDED(itemErrors[i])) found[i]->SetActiveState(active);
  hr = TakeErrors(itemErrors, handles.size(), errors);
  return FAILED(hr) ? hr : S_OK;
}

// The client's own tags: nothing goes to the server, so it works on a detached group too.
STDMETHODIMP GroupObject::SetClientHandles(LONG numItems, SAFEARRAY** serverHandles,
                                           SAFEARRAY** clientHandles, SAFEARRAY** errors) {
  if (!serverHandles || !*serverHandles || !clientHandles || !*clientHandles || !errors)
    return E_INVALIDARG;
  *errors = nullptr;
  HRESULT hr = CheckInputArray(*serverHandles, numItems);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = CheckInputArray(*clientHandles, numItems))) return hr;
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<LONG> results(static_cast<size_t>(numItems), S_OK);
    for (LONG i = 1; i <= numItems; ++i) {
      LONG& result = results[static_cast<size_t>(i - 1)];
      LONG handle = 0;
      if (FAILED(result = ReadLongAt(*serverHandles, i, &handle))) continue;
      ItemObject* item = FindItem(static_cast<DWORD>(handle));
      if (!item) {
        result = E_INVALIDARG;
        continue;
      }
      LONG client = 0;
      if (SUCCEEDED(result = ReadLongAt(*clientHandles, i, &client))) item->SetClientHandle(client);
    }
    return MakeLongArray(results, errors);
  });
}

STDMETHODIMP GroupObject::SetDataTypes(LONG numItems, SAFEARRAY** serverHandles,
                                       SAFEARRAY** requestedDataTypes, SAFEARRAY** errors) {
  if (!CanReachItems()) return CONNECT_E_NOCONNECTION;
  const common::ComPtr<IOPCItemMgt> mgt = itemMgt_;  // kept should the group detach meanwhile
  if (!serverHandles || !*serverHandles || !requestedDataTypes || !*requestedDataTypes || !errors)
    return E_INVALIDARG;
  *errors = nullptr;
  std::vector<LONG> given;
  HRESULT hr = ReadLongArray(*requestedDataTypes, numItems, &given);
  if (FAILED(hr)) return hr;
  std::vector<OPCHANDLE> handles;
  std::vector<ItemObject*> found;
  if (FAILED(hr = MapItems(*serverHandles, numItems, &handles, &found))) return hr;
  std::vector<VARTYPE> types;
  if (FAILED(hr = common::GuardHResult([&] {
        types.reserve(given.size());
        for (LONG t : given) types.push_back(static_cast<VARTYPE>(t & 0xFFFF));
      })))
    return hr;
  HRESULT* itemErrors = nullptr;
  // The items stay alive even if a handler removes them while the call is out.
  std::vector<common::ComPtr<ItemObject>> keep;
  if (FAILED(hr = common::GuardHResult([&] { keep.assign(found.begin(), found.end()); }))) return hr;
  hr = mgt->SetDatatypes(static_cast<DWORD>(handles.size()), handles.data(), types.data(), &itemErrors);
  if (FAILED(hr)) return hr;
  for (size_t i = 0; i < found.size(); ++i)
    if (!itemErrors || SUCCEEDED(itemErrors[i])) found[i]->SetRequestedType(types[i]);
  hr = TakeErrors(itemErrors, handles.size(), errors);
  return FAILED(hr) ? hr : S_OK;
}

}  // namespace veltrane
