// IOPCGroups: the groups collection is the server object itself, seen through another
// interface; its groups live in the server object's map, ordered by group handle.
#include "ServerObject.h"

#include "Arguments.h"
#include "EnumVariant.h"
#include "GroupObject.h"

#include <vector>

namespace veltrane {

namespace {

// A VARIANT argument as a value: script hosts pass their variables by reference
// (VT_BYREF|VT_VARIANT, VT_BYREF|VT_BSTR ...), compiled callers by value.
HRESULT Dereference(const VARIANT& in, common::Variant* out) noexcept {
  return VariantCopyInd(out->ReleaseAndGetAddressOf(), const_cast<VARIANT*>(&in));
}

}  // namespace

STDMETHODIMP ServerObject::get_Parent(IOPCAutoServer** parent) {
  if (!server_) return CONNECT_E_NOCONNECTION;
  if (!parent) return E_INVALIDARG;
  *parent = nullptr;
  return QueryInterface(IID_IOPCAutoServer, reinterpret_cast<void**>(parent));
}

// The defaults apply to groups made later; they are kept while not connected.
STDMETHODIMP ServerObject::get_DefaultGroupIsActive(VARIANT_BOOL* value) {
  if (!value) return E_INVALIDARG;
  *value = defaultGroupIsActive_;
  return S_OK;
}
STDMETHODIMP ServerObject::put_DefaultGroupIsActive(VARIANT_BOOL value) {
  defaultGroupIsActive_ = value;
  return S_OK;
}
STDMETHODIMP ServerObject::get_DefaultGroupUpdateRate(LONG* value) {
  if (!value) return E_INVALIDARG;
  *value = defaultGroupUpdateRate_;
  return S_OK;
}
STDMETHODIMP ServerObject::put_DefaultGroupUpdateRate(LONG value) {
  defaultGroupUpdateRate_ = value;
  return S_OK;
}
STDMETHODIMP ServerObject::get_DefaultGroupDeadband(float* value) {
  if (!value) return E_INVALIDARG;
  *value = defaultGroupDeadband_;
  return S_OK;
}
STDMETHODIMP ServerObject::put_DefaultGroupDeadband(float value) {
  defaultGroupDeadband_ = value;
  return S_OK;
}
STDMETHODIMP ServerObject::get_DefaultGroupLocaleID(LONG* value) {
  if (!value) return E_INVALIDARG;
  *value = defaultGroupLocaleId_;
  return S_OK;
}
STDMETHODIMP ServerObject::put_DefaultGroupLocaleID(LONG value) {
  defaultGroupLocaleId_ = value;
  return S_OK;
}
STDMETHODIMP ServerObject::get_DefaultGroupTimeBias(LONG* value) {
  if (!value) return E_INVALIDARG;
  *value = defaultGroupTimeBias_;
  return S_OK;
}
STDMETHODIMP ServerObject::put_DefaultGroupTimeBias(LONG value) {
  defaultGroupTimeBias_ = value;
  return S_OK;
}

STDMETHODIMP ServerObject::get_Count(LONG* count) {
  if (!count) return E_INVALIDARG;
  *count = static_cast<LONG>(groups_.size());
  return S_OK;
}

STDMETHODIMP ServerObject::get__NewEnum(IUnknown** enumerator) {
  if (!enumerator) return E_INVALIDARG;
  *enumerator = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<common::Variant> snapshot;
    snapshot.reserve(groups_.size());
    for (auto& [handle, group] : groups_) {
      common::ComPtr<IOPCGroup> itf;
      HRESULT hr = group->QueryInterface(IID_IOPCGroup, itf.PutVoid());
      if (FAILED(hr)) return hr;
      snapshot.emplace_back(static_cast<IDispatch*>(itf.Get()));
    }
    return CreateEnumVariant(std::move(snapshot), enumerator);
  });
}

// By name when the specifier is a string (the first group in handle order with exactly that
// name, case included; a null string is the empty name); otherwise a number: a 1-based position
// or a group handle.
HRESULT ServerObject::FindGroup(const VARIANT& specifier, Lookup how, GroupMap::iterator* found) noexcept {
  common::Variant value;
  if (FAILED(Dereference(specifier, &value))) return E_INVALIDARG;
  if (V_VT(&value) == VT_BSTR) {
    BSTR wanted = V_BSTR(&value);
    common::WStringView name(common::AsWChar(wanted ? wanted : L""), SysStringLen(wanted));
    for (auto it = groups_.begin(); it != groups_.end(); ++it) {
      if (it->second->CachedName().View() == name) {
        *found = it;
        return S_OK;
      }
    }
    return E_INVALIDARG;
  }
  if (FAILED(value.ChangeType(VT_I4))) return E_INVALIDARG;
  LONG number = V_I4(&value);
  if (how == Lookup::kByHandle) {
    auto it = groups_.find(static_cast<DWORD>(number));
    if (it == groups_.end()) return E_INVALIDARG;
    *found = it;
    return S_OK;
  }
  if (number < 1 || static_cast<size_t>(number) > groups_.size()) return E_INVALIDARG;
  auto it = groups_.begin();
  std::advance(it, number - 1);
  *found = it;
  return S_OK;
}

STDMETHODIMP ServerObject::Item(VARIANT itemSpecifier, IOPCGroup** group) {
  if (!group) return E_INVALIDARG;
  *group = nullptr;
  GroupMap::iterator it;
  HRESULT hr = FindGroup(itemSpecifier, Lookup::kByIndex, &it);
  if (FAILED(hr)) return hr;
  return it->second->QueryInterface(IID_IOPCGroup, reinterpret_cast<void**>(group));
}

STDMETHODIMP ServerObject::GetOPCGroup(VARIANT itemSpecifier, IOPCGroup** group) {
  if (!group) return E_INVALIDARG;
  *group = nullptr;
  GroupMap::iterator it;
  HRESULT hr = FindGroup(itemSpecifier, Lookup::kByHandle, &it);
  if (FAILED(hr)) return hr;
  return it->second->QueryInterface(IID_IOPCGroup, reinterpret_cast<void**>(group));
}

STDMETHODIMP ServerObject::Add(VARIANT name, IOPCGroup** out) {
  if (!server_) return E_FAIL;
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    auto group = common::Make<GroupObject>();

    // A name that is not a string counts as no name: the server names the group.
    common::Bstr groupName;
    common::Variant given;
    if (!IsMissing(name) && SUCCEEDED(Dereference(name, &given)) && V_VT(&given) == VT_BSTR)
      groupName = common::Bstr::Copy(V_BSTR(&given));

    OPCHANDLE serverGroup = 0;
    DWORD revisedRate = 0;
    common::ComPtr<IUnknown> added;  // released in every case when this scope ends
    HRESULT hr = server_->AddGroup(groupName.c_str(), defaultGroupIsActive_ ? TRUE : FALSE,
                                   static_cast<DWORD>(defaultGroupUpdateRate_), group->Handle(),
                                   &defaultGroupTimeBias_, &defaultGroupDeadband_,
                                   static_cast<DWORD>(defaultGroupLocaleId_), &serverGroup,
                                   &revisedRate, IID_IOPCGroupStateMgt, added.GetAddressOf());
    if (FAILED(hr)) return hr;
    hr = added ? group->Initialise(this, added.Get()) : E_NOINTERFACE;
    if (FAILED(hr)) {
      // The server made the group: take it away again rather than leave it running unowned.
      server_->RemoveGroup(serverGroup, FALSE);
      return hr;
    }
    groups_.emplace(group->Handle(), group);
    return group->QueryInterface(IID_IOPCGroup, reinterpret_cast<void**>(out));
  });
}

HRESULT ServerObject::RemoveOne(GroupObject& group) noexcept {
  if (!server_) return E_FAIL;
  OPCHANDLE serverGroup = group.ServerGroupHandle();
  group.Detach();
  return server_->RemoveGroup(serverGroup, FALSE);
}

STDMETHODIMP ServerObject::Remove(VARIANT itemSpecifier) {
  if (!server_) return E_FAIL;
  GroupMap::iterator it;
  HRESULT hr = FindGroup(itemSpecifier, Lookup::kByHandle, &it);
  if (FAILED(hr)) return hr;
  common::ComPtr<GroupObject> group = std::move(it->second);
  groups_.erase(it);
  return RemoveOne(*group);
}

STDMETHODIMP ServerObject::RemoveAll() {
  // Taken out of the map first, so nothing that runs meanwhile sees a half-removed group.
  GroupMap removed;
  removed.swap(groups_);
  HRESULT first = S_OK;
  for (auto& [handle, group] : removed) {
    HRESULT hr = RemoveOne(*group);
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  }
  return first;
}

STDMETHODIMP ServerObject::ConnectPublicGroup(BSTR, IOPCGroup**) { return E_NOTIMPL; }
STDMETHODIMP ServerObject::RemovePublicGroup(VARIANT) { return E_NOTIMPL; }

}  // namespace veltrane
