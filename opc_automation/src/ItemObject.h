// The OPCItem object: one item of a group on the connected OPC server. It keeps what the server
// said about the item when it was added, the last value, quality and time stamp that arrived for
// it (SyncRead, Read, DataChange, AsyncReadComplete), and reads and writes that one item through
// the group's custom interfaces, which it holds from its initialisation until it is detached.
// The group's item map holds one reference; the item refers back to its group without counting,
// and the group detaches it (Remove, the group's own detach) before that link could dangle.
#pragma once

#include "Dispatch.h"
#include "OPCAutomation.h"
#include "OpcDataAccess.h"
#include "common/Kit.h"

namespace veltrane {

class GroupObject;

class ItemObject final : public common::ComObject<ItemObject, veltrane::Dispatch<OPCItem>> {
 public:
  ItemObject();
  ~ItemObject() override;

  // Stores what was added and what the server answered, takes the group's item manager and
  // sync I/O (either missing: E_NOINTERFACE) and attaches the item.
  HRESULT Initialise(GroupObject* group, const OPCITEMDEF& added, const OPCITEMRESULT& result,
                     LONG clientHandle) noexcept;
  // Releases the custom interfaces and forgets the group: every member then answers
  // CONNECT_E_NOCONNECTION. Safe to call twice.
  void Detach() noexcept;
  bool Attached() const noexcept { return attached_; }

  // For the group's data path (declared for the data callbacks and the group's I/O members):
  // The item handle: a 32-bit number from a counter (never a pointer), unique among live items,
  // increasing with each item made; OPCItem.ServerHandle and the hClient the server was given.
  DWORD Handle() const noexcept { return handle_; }
  // The client's own tag for the item (OPCItem.ClientHandle).
  LONG ClientHandle() const noexcept { return clientHandle_; }
  // The server's handle of the item (hServer of its OPCITEMRESULT), for the custom calls.
  OPCHANDLE ServerItemHandle() const noexcept { return serverItem_; }
  // Keeps a value that arrived for the item; the value must already be adjusted to the client
  // types (AdjustClientType). A value that cannot be copied leaves VT_EMPTY.
  void StoreData(const VARIANT& adjustedValue, WORD quality, const FILETIME& timeStamp) noexcept;
  // The stored value (VT_EMPTY until data arrived).
  const VARIANT& CurrentValue() const noexcept { return value_; }

  // For the bulk members of OPCItems, once the server accepted the change.
  void SetActiveState(BOOL active) noexcept { active_ = active; }
  void SetRequestedType(VARTYPE type) noexcept { requestedType_ = type; }
  void SetClientHandle(LONG clientHandle) noexcept { clientHandle_ = clientHandle; }

  // ---- OPCItem ----
  STDMETHODIMP get_Parent(IOPCGroup** parent) override;
  STDMETHODIMP get_ClientHandle(LONG* clientHandle) override;
  STDMETHODIMP put_ClientHandle(LONG clientHandle) override;
  STDMETHODIMP get_ServerHandle(LONG* serverHandle) override;
  STDMETHODIMP get_AccessPath(BSTR* accessPath) override;
  STDMETHODIMP get_AccessRights(LONG* accessRights) override;
  STDMETHODIMP get_ItemID(BSTR* itemId) override;
  STDMETHODIMP get_IsActive(VARIANT_BOOL* isActive) override;
  STDMETHODIMP put_IsActive(VARIANT_BOOL isActive) override;
  STDMETHODIMP get_RequestedDataType(SHORT* type) override;
  STDMETHODIMP put_RequestedDataType(SHORT type) override;
  STDMETHODIMP get_Value(VARIANT* value) override;
  STDMETHODIMP get_Quality(LONG* quality) override;
  STDMETHODIMP get_TimeStamp(DATE* timeStamp) override;
  STDMETHODIMP get_CanonicalDataType(SHORT* type) override;
  STDMETHODIMP get_EUType(SHORT* euType) override;
  STDMETHODIMP get_EUInfo(VARIANT* euInfo) override;
  STDMETHODIMP Read(SHORT source, VARIANT* value, VARIANT* quality, VARIANT* timeStamp) override;
  STDMETHODIMP Write(VARIANT value) override;

 private:
  const DWORD handle_;
  bool attached_ = false;
  GroupObject* group_ = nullptr;  // not counted: the group's map holds us
  common::ComPtr<IOPCItemMgt> itemMgt_;
  common::ComPtr<IOPCSyncIO> syncIo_;

  common::Bstr itemId_;
  common::Bstr accessPath_;
  BOOL active_ = FALSE;
  VARTYPE requestedType_ = VT_EMPTY;
  DWORD accessRights_ = 0;
  VARTYPE canonicalType_ = VT_EMPTY;
  LONG clientHandle_ = 0;
  OPCHANDLE serverItem_ = 0;

  common::Variant value_;
  WORD quality_ = 0;
  FILETIME timeStamp_{};
};

}  // namespace veltrane
