#include "BrowserObject.h"

#include "Arguments.h"
#include "EnumVariant.h"

#include <algorithm>
#include <array>
#include <utility>

namespace veltrane {

namespace {

// The VARIANT a script host's by-reference argument stands for: VT_VARIANT|VT_BYREF followed (a
// chain of them too), null when a reference points nowhere. Other VT_BYREF values are left for
// VariantCopyInd to read.
const VARIANT* Referenced(const VARIANT& v) noexcept {
  const VARIANT* p = &v;
  for (int depth = 0; depth < 8 && V_VT(p) == (VT_VARIANT | VT_BYREF); ++depth) {
    p = V_VARIANTREF(p);
    if (!p) return nullptr;
  }
  if (V_VT(p) == (VT_VARIANT | VT_BYREF)) return nullptr;
  if ((V_VT(p) & VT_BYREF) && !V_BYREF(p)) return nullptr;
  return p;
}

// OPC_BROWSE_UP and the one-string calls take LPWSTR; an empty one that stays ours.
wchar_t gEmpty[1] = {0};

}  // namespace

BrowserObject::BrowserObject() : filter_(L"") {}

HRESULT BrowserObject::Initialise(IOPCServer* server) noexcept {
  if (!server) return E_INVALIDARG;
  if (FAILED(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse_.PutVoid())) || !browse_) {
    browse_.Reset();
    return E_NOINTERFACE;
  }
  return S_OK;
}

// ---- filters and organisation ----------------------------------------------------------------

STDMETHODIMP BrowserObject::get_Organization(LONG* organization) {
  if (!organization) return E_INVALIDARG;
  if (!browse_) return E_FAIL;
  OPCNAMESPACETYPE type{};
  HRESULT hr = browse_->QueryOrganization(&type);
  if (FAILED(hr)) return hr;
  switch (type) {
    case OPC_NS_HIERARCHIAL: *organization = OPCHierarchical; return S_OK;
    case OPC_NS_FLAT: *organization = OPCFlat; return S_OK;
    default: return E_FAIL;
  }
}

STDMETHODIMP BrowserObject::get_Filter(BSTR* filter) {
  if (!filter) return E_INVALIDARG;
  return filter_.CopyTo(filter);
}

STDMETHODIMP BrowserObject::put_Filter(BSTR filter) {
  return common::GuardHResult([&] { filter_ = common::Bstr::Copy(filter); });
}

STDMETHODIMP BrowserObject::get_DataType(SHORT* dataType) {
  if (!dataType) return E_INVALIDARG;
  *dataType = static_cast<SHORT>(dataType_);
  return S_OK;
}

STDMETHODIMP BrowserObject::put_DataType(SHORT dataType) {
  dataType_ = static_cast<VARTYPE>(dataType);
  return S_OK;
}

STDMETHODIMP BrowserObject::get_AccessRights(LONG* accessRights) {
  if (!accessRights) return E_INVALIDARG;
  *accessRights = accessRights_;
  return S_OK;
}

STDMETHODIMP BrowserObject::put_AccessRights(LONG accessRights) {
  accessRights_ = accessRights;
  return S_OK;
}

STDMETHODIMP BrowserObject::get_CurrentPosition(BSTR* position) {
  if (!position) return E_INVALIDARG;
  *position = nullptr;
  if (!browse_) return E_FAIL;
  LPWSTR id = nullptr;
  HRESULT hr = browse_->GetItemID(gEmpty, &id);
  if (FAILED(hr)) return hr;  // a failing call hands nothing back to free
  return TakeServerString(id, position);
}

// ---- the name list ---------------------------------------------------------------------------

STDMETHODIMP BrowserObject::get_Count(LONG* count) {
  if (!count) return E_INVALIDARG;
  *count = static_cast<LONG>(names_.size());
  return S_OK;
}

STDMETHODIMP BrowserObject::get__NewEnum(IUnknown** enumerator) {
  if (!enumerator) return E_INVALIDARG;
  *enumerator = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    std::vector<common::Variant> items;
    items.reserve(names_.size());
    for (const auto& name : names_) items.emplace_back(name);  // VT_BSTR (a null name stays null)
    return CreateEnumVariant(std::move(items), enumerator);
  });
}

STDMETHODIMP BrowserObject::Item(VARIANT itemSpecifier, BSTR* item) {
  if (!item) return E_INVALIDARG;
  *item = nullptr;
  const VARIANT* given = Referenced(itemSpecifier);
  if (!given) return E_INVALIDARG;
  common::Variant index;
  HRESULT hr = VariantCopyInd(index.Ptr(), const_cast<VARIANT*>(given));
  if (FAILED(hr)) return hr;
  hr = VariantChangeType(index.Ptr(), index.Ptr(), 0, VT_I4);
  if (FAILED(hr)) return hr;
  LONG i = V_I4(index.Ptr());
  if (i < 1 || static_cast<size_t>(i) > names_.size()) return E_INVALIDARG;
  return names_[static_cast<size_t>(i) - 1].CopyTo(item);
}

STDMETHODIMP BrowserObject::ShowBranches() { return Browse(OPC_BRANCH); }

STDMETHODIMP BrowserObject::ShowLeafs(VARIANT flat) {
  // Only a Boolean True browses flat; any other value (an integer 1 too) browses this branch.
  // A script variable arrives by reference: read what it refers to.
  const VARIANT* given = Referenced(flat);
  bool isFlat = false;
  if (given && V_VT(given) == VT_BOOL) isFlat = V_BOOL(given) != VARIANT_FALSE;
  else if (given && V_VT(given) == (VT_BOOL | VT_BYREF)) isFlat = *V_BOOLREF(given) != VARIANT_FALSE;
  return Browse(isFlat ? OPC_FLAT : OPC_LEAF);
}

HRESULT BrowserObject::Browse(OPCBROWSETYPE type) {
  names_.clear();
  if (!browse_) return E_FAIL;
  IEnumString* names = nullptr;
  HRESULT hr = browse_->BrowseOPCItemIDs(type, filter_.IsNull() ? gEmpty : filter_.Get(), dataType_,
                                         static_cast<DWORD>(accessRights_), &names);
  if (FAILED(hr)) {
    if (names) names->Release();
    return hr;
  }
  if (!names) return E_INVALIDARG;  // success without anything to walk
  return Collect(names);
}

HRESULT BrowserObject::Collect(IEnumString* names) {
  common::ComPtr<IEnumString> walk = common::Adopt(names);
  std::array<LPOLESTR, kNamesPerNext> batch{};
  for (;;) {
    batch.fill(nullptr);
    ULONG fetched = 0;
    HRESULT hr = walk->Next(kNamesPerNext, batch.data(), &fetched);
    // A failing Next hands nothing over (COM's rule for failed [out] arrays); what was collected
    // before it stays in the list.
    if (FAILED(hr)) return hr;
    // Never trust a count beyond the room we gave.
    ULONG got = std::min(fetched, kNamesPerNext);
    HRESULT copied = common::GuardHResult([&] {
      for (ULONG k = 0; k < got; ++k)
        names_.push_back(batch[k] ? common::Bstr(batch[k]) : common::Bstr());
    });
    for (ULONG k = 0; k < got; ++k) CoTaskMemFree(batch[k]);
    if (FAILED(copied)) return copied;
    // S_FALSE is the end; a server that says S_OK but gives nothing would never end either.
    if (hr != S_OK || got == 0) return S_OK;
  }
}

// ---- moves -----------------------------------------------------------------------------------

STDMETHODIMP BrowserObject::MoveUp() {
  names_.clear();
  if (!browse_) return E_FAIL;
  return browse_->ChangeBrowsePosition(OPC_BROWSE_UP, gEmpty);
}

// The custom interface has no portable "to the root" (OPC_BROWSE_TO came with DA 2.0), so the
// browser climbs until the server refuses to go higher. A refusal within kMaxClimb calls means
// the root was reached, also when it is the kMaxClimb-th call; kMaxClimb successes mean the
// tree is deeper than we climb.
HRESULT BrowserObject::Climb() {
  for (int up = 0; up < kMaxClimb; ++up)
    if (FAILED(browse_->ChangeBrowsePosition(OPC_BROWSE_UP, gEmpty))) return S_OK;
  return E_FAIL;
}

STDMETHODIMP BrowserObject::MoveToRoot() {
  names_.clear();
  if (!browse_) return E_FAIL;
  return Climb();
}

STDMETHODIMP BrowserObject::MoveDown(BSTR branch) {
  names_.clear();
  if (!browse_) return E_FAIL;
  return browse_->ChangeBrowsePosition(OPC_BROWSE_DOWN, NonNull(branch));
}

STDMETHODIMP BrowserObject::MoveTo(SAFEARRAY** branches) {
  if (!branches || !*branches) return E_INVALIDARG;
  SAFEARRAY* sa = *branches;
  // One dimension of strings: an element of anything else cannot be read as a branch name.
  if (SafeArrayGetDim(sa) != 1) return E_INVALIDARG;
  LONG lower = 0, upper = 0;
  HRESULT hr = SafeArrayGetLBound(sa, 1, &lower);
  if (FAILED(hr)) return hr;
  hr = SafeArrayGetUBound(sa, 1, &upper);
  if (FAILED(hr)) return hr;
  VARTYPE vt = VT_EMPTY;
  if (FAILED(SafeArrayGetVartype(sa, &vt)) || (vt != VT_BSTR && vt != VT_VARIANT))
    return DISP_E_TYPEMISMATCH;

  // The whole path is read before the server is moved: a bad element changes nothing.
  std::vector<common::Bstr> path;
  hr = common::GuardHResult([&]() -> HRESULT {
    for (LONG i = lower; i <= upper; ++i) {
      if (vt == VT_BSTR) {
        BSTR element = nullptr;
        HRESULT got = SafeArrayGetElement(sa, &i, &element);
        if (FAILED(got)) return got;
        path.push_back(common::Bstr::Adopt(element));
      } else {
        common::Variant element;
        HRESULT got = SafeArrayGetElement(sa, &i, element.Ptr());
        if (FAILED(got)) return got;
        const VARIANT* value = Referenced(element);
        if (!value) return E_INVALIDARG;
        common::Variant text;
        got = VariantChangeType(text.Ptr(), const_cast<VARIANT*>(value), 0, VT_BSTR);
        if (FAILED(got)) return got;
        path.push_back(common::Bstr::Adopt(std::exchange(V_BSTR(text.Ptr()), nullptr)));
        V_VT(text.Ptr()) = VT_EMPTY;
      }
      if (i == upper) break;  // upper may be LONG_MAX
    }
    return S_OK;
  });
  if (FAILED(hr)) return hr;

  hr = MoveToRoot();
  if (FAILED(hr)) return hr;
  for (const auto& branch : path) {
    hr = browse_->ChangeBrowsePosition(OPC_BROWSE_DOWN, NonNull(branch.Get()));
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

STDMETHODIMP BrowserObject::GetItemID(BSTR leaf, BSTR* itemId) {
  if (!itemId) return E_INVALIDARG;
  *itemId = nullptr;
  if (!browse_) return E_FAIL;
  LPWSTR id = nullptr;
  HRESULT hr = browse_->GetItemID(leaf ? leaf : gEmpty, &id);
  if (FAILED(hr)) return hr;
  return TakeServerString(id, itemId);
}

STDMETHODIMP BrowserObject::GetAccessPaths(BSTR, VARIANT* accessPaths) {
  if (accessPaths) VariantInit(accessPaths);
  return E_NOTIMPL;
}

}  // namespace veltrane
