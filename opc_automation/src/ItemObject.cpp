#include "ItemObject.h"

#include "Arguments.h"
#include "Conversion.h"
#include "GroupObject.h"
#include "HandleCounter.h"

namespace veltrane {
namespace {

HandleCounter& ItemHandles() {
  static HandleCounter counter;
  return counter;
}

// The one per-item result of a single-item call (the error array, freed here, is read only
// after the call returned it); a failing call wins over it.
HRESULT OneResult(HRESULT call, HRESULT* errors) noexcept {
  HRESULT item = (SUCCEEDED(call) && errors) ? errors[0] : S_OK;
  CoTaskMemFree(errors);
  if (FAILED(call)) return call;
  return FAILED(item) ? item : call;
}

// An optional [out] VARIANT the caller supplied: not null and not the missing marker.
bool Supplied(const VARIANT* v) noexcept { return v && !IsMissing(*v); }

}  // namespace

ItemObject::ItemObject() : handle_(ItemHandles().Allocate()) {}

ItemObject::~ItemObject() {
  Detach();
  ItemHandles().Free(handle_);
}

HRESULT ItemObject::Initialise(GroupObject* group, const OPCITEMDEF& added,
                               const OPCITEMRESULT& result, LONG clientHandle) noexcept {
  if (!group) return E_INVALIDARG;
  if (attached_) return E_UNEXPECTED;
  if (!group->ItemMgt() || !group->SyncIo()) return E_NOINTERFACE;
  HRESULT hr = common::GuardHResult([&] {
    itemId_ = common::Bstr(added.szItemID ? added.szItemID : L"");
    accessPath_ = common::Bstr(added.szAccessPath ? added.szAccessPath : L"");
  });
  if (FAILED(hr)) return hr;
  itemMgt_ = group->ItemMgt();
  syncIo_ = group->SyncIo();
  group_ = group;
  active_ = added.bActive;
  requestedType_ = added.vtRequestedDataType;
  clientHandle_ = clientHandle;
  serverItem_ = result.hServer;
  accessRights_ = result.dwAccessRights;
  canonicalType_ = result.vtCanonicalDataType;
  attached_ = true;
  return S_OK;
}

void ItemObject::Detach() noexcept {
  attached_ = false;
  itemMgt_.Reset();
  syncIo_.Reset();
  group_ = nullptr;
}

void ItemObject::StoreData(const VARIANT& adjustedValue, WORD quality, const FILETIME& timeStamp) noexcept {
  if (FAILED(VariantCopy(value_.ReleaseAndGetAddressOf(), const_cast<VARIANT*>(&adjustedValue))))
    VariantInit(&value_);
  quality_ = quality;
  timeStamp_ = timeStamp;
}

// ---- OPCItem ---------------------------------------------------------------------------------

#define ITEM_OUTPUT(out)                          \
  if (!attached_) return CONNECT_E_NOCONNECTION;  \
  if (!(out)) return E_INVALIDARG

STDMETHODIMP ItemObject::get_Parent(IOPCGroup** parent) {
  ITEM_OUTPUT(parent);
  *parent = nullptr;
  return group_->QueryInterface(IID_IOPCGroup, reinterpret_cast<void**>(parent));
}

STDMETHODIMP ItemObject::get_ClientHandle(LONG* clientHandle) {
  ITEM_OUTPUT(clientHandle);
  *clientHandle = clientHandle_;
  return S_OK;
}

STDMETHODIMP ItemObject::put_ClientHandle(LONG clientHandle) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  clientHandle_ = clientHandle;
  return S_OK;
}

STDMETHODIMP ItemObject::get_ServerHandle(LONG* serverHandle) {
  ITEM_OUTPUT(serverHandle);
  *serverHandle = static_cast<LONG>(handle_);
  return S_OK;
}

STDMETHODIMP ItemObject::get_AccessPath(BSTR* accessPath) {
  ITEM_OUTPUT(accessPath);
  *accessPath = nullptr;
  return accessPath_.CopyTo(accessPath);
}

STDMETHODIMP ItemObject::get_AccessRights(LONG* accessRights) {
  ITEM_OUTPUT(accessRights);
  *accessRights = static_cast<LONG>(accessRights_);
  return S_OK;
}

STDMETHODIMP ItemObject::get_ItemID(BSTR* itemId) {
  ITEM_OUTPUT(itemId);
  *itemId = nullptr;
  return itemId_.CopyTo(itemId);
}

STDMETHODIMP ItemObject::get_IsActive(VARIANT_BOOL* isActive) {
  ITEM_OUTPUT(isActive);
  *isActive = active_ ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP ItemObject::put_IsActive(VARIANT_BOOL isActive) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  OPCHANDLE h = serverItem_;
  BOOL active = isActive ? TRUE : FALSE;
  HRESULT* errors = nullptr;
  const common::ComPtr<IOPCItemMgt> mgt = itemMgt_;  // kept should the item detach meanwhile
  HRESULT hr = mgt->SetActiveState(1, &h, active, &errors);
  hr = OneResult(hr, errors);
  if (SUCCEEDED(hr)) active_ = active;
  return hr;
}

STDMETHODIMP ItemObject::get_RequestedDataType(SHORT* type) {
  ITEM_OUTPUT(type);
  *type = static_cast<SHORT>(requestedType_);
  return S_OK;
}

STDMETHODIMP ItemObject::put_RequestedDataType(SHORT type) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  OPCHANDLE h = serverItem_;
  VARTYPE vt = static_cast<VARTYPE>(type);
  HRESULT* errors = nullptr;
  const common::ComPtr<IOPCItemMgt> mgt = itemMgt_;
  HRESULT hr = mgt->SetDatatypes(1, &h, &vt, &errors);
  hr = OneResult(hr, errors);
  if (SUCCEEDED(hr)) requestedType_ = vt;
  return hr;
}

STDMETHODIMP ItemObject::get_Value(VARIANT* value) {
  ITEM_OUTPUT(value);
  VariantInit(value);
  return VariantCopy(value, &value_);
}

STDMETHODIMP ItemObject::get_Quality(LONG* quality) {
  ITEM_OUTPUT(quality);
  *quality = quality_;
  return S_OK;
}

STDMETHODIMP ItemObject::get_TimeStamp(DATE* timeStamp) {
  ITEM_OUTPUT(timeStamp);
  *timeStamp = 0;
  if (timeStamp_.dwLowDateTime == 0 && timeStamp_.dwHighDateTime == 0) return S_OK;
  return FileTimeToLocalDate(timeStamp_, timeStamp);
}

STDMETHODIMP ItemObject::get_CanonicalDataType(SHORT* type) {
  ITEM_OUTPUT(type);
  *type = static_cast<SHORT>(canonicalType_);
  return S_OK;
}

// Engineering units are the item properties' business (OPCServer.GetItemProperties).
STDMETHODIMP ItemObject::get_EUType(SHORT* euType) {
  ITEM_OUTPUT(euType);
  return E_NOTIMPL;
}

STDMETHODIMP ItemObject::get_EUInfo(VARIANT* euInfo) {
  ITEM_OUTPUT(euInfo);
  return E_NOTIMPL;
}

STDMETHODIMP ItemObject::Read(SHORT source, VARIANT* value, VARIANT* quality, VARIANT* timeStamp) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  if (FAILED(CheckSource(source))) return E_INVALIDARG;
  OPCHANDLE h = serverItem_;
  OPCITEMSTATE* states = nullptr;
  HRESULT* errors = nullptr;
  const common::ComPtr<IOPCSyncIO> io = syncIo_;  // kept should the item detach meanwhile
  const HRESULT call = io->Read(static_cast<OPCDATASOURCE>(source), 1, &h, &states, &errors);
  HRESULT hr = call;
  if (SUCCEEDED(hr) && (!states || !errors)) hr = E_FAIL;  // a server that broke its contract
  if (SUCCEEDED(hr) && FAILED(errors[0])) hr = errors[0];
  if (SUCCEEDED(hr)) {
    VARIANT& v = states[0].vDataValue;
    HRESULT adjusted = AdjustClientType(&v);
    (void)adjusted;  // a value that cannot be adjusted is kept as the server gave it
    StoreData(v, states[0].wQuality, states[0].ftTimeStamp);
  }
  if (states) {
    if (SUCCEEDED(call)) VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
  }
  CoTaskMemFree(errors);
  if (FAILED(hr)) return hr;

  DATE date = 0;
  if (FAILED(FileTimeToLocalDate(timeStamp_, &date))) return E_FAIL;
  if (Supplied(value)) {
    VariantInit(value);
    HRESULT copied = VariantCopy(value, &value_);
    if (FAILED(copied)) return copied;
  }
  if (Supplied(quality)) {
    VariantInit(quality);
    V_VT(quality) = VT_I2;
    V_I2(quality) = static_cast<SHORT>(quality_);
  }
  if (Supplied(timeStamp)) {
    VariantInit(timeStamp);
    V_VT(timeStamp) = VT_R8;
    V_R8(timeStamp) = date;
  }
  return hr;
}

STDMETHODIMP ItemObject::Write(VARIANT value) {
  if (!attached_) return CONNECT_E_NOCONNECTION;
  // Script hosts pass their variables by reference; a pointer into this process must not go
  // to the server, the value it points at does.
  common::Variant copy;
  HRESULT hr = VariantCopyInd(copy.ReleaseAndGetAddressOf(), &value);
  if (FAILED(hr)) return hr;
  OPCHANDLE h = serverItem_;
  HRESULT* errors = nullptr;
  const common::ComPtr<IOPCSyncIO> io = syncIo_;
  hr = io->Write(1, &h, &copy, &errors);
  return OneResult(hr, errors);
}

#undef ITEM_OUTPUT

}  // namespace veltrane
