// OPCItems: the group's item collection is the group object itself, seen through another
// interface; its items live in the group's map, ordered by item handle.
#include "GroupObject.h"

#include "Arguments.h"
#include "Conversion.h"
#include "EnumVariant.h"

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

// The members below are filled in next.
STDMETHODIMP GroupObject::get_DefaultRequestedDataType(SHORT*) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::put_DefaultRequestedDataType(SHORT) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::get_DefaultAccessPath(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::put_DefaultAccessPath(BSTR) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::get_DefaultIsActive(VARIANT_BOOL*) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::put_DefaultIsActive(VARIANT_BOOL) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::get_Count(LONG*) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::get__NewEnum(IUnknown**) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::Item(VARIANT, OPCItem**) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::GetOPCItem(LONG, OPCItem**) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::AddItem(BSTR, LONG, OPCItem**) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::AddItems(LONG, SAFEARRAY**, SAFEARRAY**, SAFEARRAY**, SAFEARRAY**, VARIANT, VARIANT) {
  return E_NOTIMPL;
}
STDMETHODIMP GroupObject::Remove(LONG, SAFEARRAY**, SAFEARRAY**) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::Validate(LONG, SAFEARRAY**, SAFEARRAY**, VARIANT, VARIANT) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::SetActive(LONG, SAFEARRAY**, VARIANT_BOOL, SAFEARRAY**) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::SetClientHandles(LONG, SAFEARRAY**, SAFEARRAY**, SAFEARRAY**) { return E_NOTIMPL; }
STDMETHODIMP GroupObject::SetDataTypes(LONG, SAFEARRAY**, SAFEARRAY**, SAFEARRAY**) { return E_NOTIMPL; }

}  // namespace veltrane
