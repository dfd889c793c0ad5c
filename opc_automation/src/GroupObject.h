// The OPCGroup object: one group on the connected OPC server. The same COM object is also the
// group's OPCItems collection. It is made by OPCGroups.Add, which keeps one reference on it in
// the server object's map; the group refers back to that server object without counting, and
// Detach (removal, RemoveAll, Disconnect, the server's final release) cuts the link, after
// which every member answers CONNECT_E_NOCONNECTION.
//
// What works today is what the groups collection needs: initialisation from the interface
// AddGroup returned (its state read back with GetState), Name, ClientHandle, ServerHandle,
// Parent, OPCItems and Detach. The remaining members answer E_NOTIMPL until the data path
// (state properties, I/O, callbacks and items) is built.
#pragma once

#include "Dispatch.h"
#include "ItemObject.h"  // the item map holds its objects
#include "OPCAutomation.h"
#include "OpcDataAccess.h"
#include "common/Kit.h"

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <vector>

namespace veltrane {

class ServerObject;

class GroupObject final
    : public common::ComObject<GroupObject, veltrane::Dispatch<IOPCGroup>,
                               veltrane::Dispatch<OPCItems>, common::ConnectionPointContainer,
                               IOPCDataCallback, IAdviseSink> {
 public:
  GroupObject();

  // Takes the interface AddGroup returned: asks it for the state, sync I/O and item manager
  // stubs and, by whether the stub has connection points, the DA 2.0 (IOPCAsyncIO2) or DA 1.0
  // (IOPCAsyncIO and IDataObject) path; reads the state back. On failure nothing is kept.
  HRESULT Initialise(ServerObject* server, IUnknown* groupFromAddGroup) noexcept;
  // Releases the custom interfaces and forgets the server object; from then on every member
  // answers CONNECT_E_NOCONNECTION. Does nothing when not attached.
  void Detach() noexcept;

  bool Attached() const noexcept { return attached_; }
  // The group handle: ServerHandle, the key in the server object's map, and hClientGroup.
  DWORD Handle() const noexcept { return handle_; }
  // The server's handle of the group (from GetState), for RemoveGroup.
  OPCHANDLE ServerGroupHandle() const noexcept { return serverGroup_; }
  // The name last read from or given to the server ("" before initialisation).
  const common::Bstr& CachedName() const noexcept { return name_; }
  bool UsesDa20() const noexcept { return da20_; }

  // ---- IOPCGroup ----
  STDMETHODIMP get_Parent(IOPCAutoServer** parent) override;
  STDMETHODIMP get_Name(BSTR* name) override;
  STDMETHODIMP put_Name(BSTR name) override;
  STDMETHODIMP get_IsPublic(VARIANT_BOOL* isPublic) override;
  STDMETHODIMP get_IsActive(VARIANT_BOOL* isActive) override;
  STDMETHODIMP put_IsActive(VARIANT_BOOL isActive) override;
  STDMETHODIMP get_IsSubscribed(VARIANT_BOOL* isSubscribed) override;
  STDMETHODIMP put_IsSubscribed(VARIANT_BOOL isSubscribed) override;
  STDMETHODIMP get_ClientHandle(LONG* clientHandle) override;
  STDMETHODIMP put_ClientHandle(LONG clientHandle) override;
  STDMETHODIMP get_ServerHandle(LONG* serverHandle) override;
  STDMETHODIMP get_LocaleID(LONG* localeId) override;
  STDMETHODIMP put_LocaleID(LONG localeId) override;
  STDMETHODIMP get_TimeBias(LONG* timeBias) override;
  STDMETHODIMP put_TimeBias(LONG timeBias) override;
  STDMETHODIMP get_DeadBand(FLOAT* deadBand) override;
  STDMETHODIMP put_DeadBand(FLOAT deadBand) override;
  STDMETHODIMP get_UpdateRate(LONG* updateRate) override;
  STDMETHODIMP put_UpdateRate(LONG updateRate) override;
  STDMETHODIMP get_OPCItems(OPCItems** items) override;
  STDMETHODIMP SyncRead(SHORT source, LONG numItems, SAFEARRAY** serverHandles,
                        SAFEARRAY** values, SAFEARRAY** errors, VARIANT* qualities,
                        VARIANT* timeStamps) override;
  STDMETHODIMP SyncWrite(LONG numItems, SAFEARRAY** serverHandles, SAFEARRAY** values,
                         SAFEARRAY** errors) override;
  STDMETHODIMP AsyncRead(LONG numItems, SAFEARRAY** serverHandles, SAFEARRAY** errors,
                         LONG transactionId, LONG* cancelId) override;
  STDMETHODIMP AsyncWrite(LONG numItems, SAFEARRAY** serverHandles, SAFEARRAY** values,
                          SAFEARRAY** errors, LONG transactionId, LONG* cancelId) override;
  STDMETHODIMP AsyncRefresh(SHORT source, LONG transactionId, LONG* cancelId) override;
  STDMETHODIMP AsyncCancel(LONG cancelId) override;

  // ---- IOPCDataCallback (GroupData.cpp): the DA 2.0 server's callbacks; always S_OK ----
  STDMETHODIMP OnDataChange(DWORD transid, OPCHANDLE group, HRESULT masterQuality,
                            HRESULT masterError, DWORD count, OPCHANDLE* clientItems,
                            VARIANT* values, WORD* qualities, FILETIME* timeStamps,
                            HRESULT* errors) override;
  STDMETHODIMP OnReadComplete(DWORD transid, OPCHANDLE group, HRESULT masterQuality,
                              HRESULT masterError, DWORD count, OPCHANDLE* clientItems,
                              VARIANT* values, WORD* qualities, FILETIME* timeStamps,
                              HRESULT* errors) override;
  STDMETHODIMP OnWriteComplete(DWORD transid, OPCHANDLE group, HRESULT masterError, DWORD count,
                               OPCHANDLE* clientItems, HRESULT* errors) override;
  STDMETHODIMP OnCancelComplete(DWORD transid, OPCHANDLE group) override;

  // ---- IAdviseSink (GroupDa10.cpp): the DA 1.0 server's streams ----
  // The stream is copied and handled from the group's message queue: on Windows this call is
  // asynchronous and may make no outgoing call itself (events are outgoing calls).
  STDMETHODIMP_(void) OnDataChange(FORMATETC* format, STGMEDIUM* medium) override;
  STDMETHODIMP_(void) OnViewChange(DWORD, LONG) override {}
  STDMETHODIMP_(void) OnRename(IMoniker*) override {}
  STDMETHODIMP_(void) OnSave() override {}
  STDMETHODIMP_(void) OnClose() override {}

  // ---- OPCItems ----
  STDMETHODIMP get_Parent(IOPCGroup** parent) override;
  STDMETHODIMP get_DefaultRequestedDataType(SHORT* type) override;
  STDMETHODIMP put_DefaultRequestedDataType(SHORT type) override;
  STDMETHODIMP get_DefaultAccessPath(BSTR* path) override;
  STDMETHODIMP put_DefaultAccessPath(BSTR path) override;
  STDMETHODIMP get_DefaultIsActive(VARIANT_BOOL* active) override;
  STDMETHODIMP put_DefaultIsActive(VARIANT_BOOL active) override;
  STDMETHODIMP get_Count(LONG* count) override;
  STDMETHODIMP get__NewEnum(IUnknown** enumerator) override;
  STDMETHODIMP Item(VARIANT itemSpecifier, OPCItem** item) override;
  STDMETHODIMP GetOPCItem(LONG serverHandle, OPCItem** item) override;
  STDMETHODIMP AddItem(BSTR itemId, LONG clientHandle, OPCItem** item) override;
  STDMETHODIMP AddItems(LONG numItems, SAFEARRAY** itemIds, SAFEARRAY** clientHandles,
                        SAFEARRAY** serverHandles, SAFEARRAY** errors,
                        VARIANT requestedDataTypes, VARIANT accessPaths) override;
  STDMETHODIMP Remove(LONG numItems, SAFEARRAY** serverHandles, SAFEARRAY** errors) override;
  STDMETHODIMP Validate(LONG numItems, SAFEARRAY** itemIds, SAFEARRAY** errors,
                        VARIANT requestedDataTypes, VARIANT accessPaths) override;
  STDMETHODIMP SetActive(LONG numItems, SAFEARRAY** serverHandles, VARIANT_BOOL activeState,
                         SAFEARRAY** errors) override;
  STDMETHODIMP SetClientHandles(LONG numItems, SAFEARRAY** serverHandles,
                                SAFEARRAY** clientHandles, SAFEARRAY** errors) override;
  STDMETHODIMP SetDataTypes(LONG numItems, SAFEARRAY** serverHandles,
                            SAFEARRAY** requestedDataTypes, SAFEARRAY** errors) override;

  ~GroupObject() override;

  // ---- items (GroupItems.cpp) ----
  // The item with this item handle (OPCItem.ServerHandle), or null. Not AddRef'ed: the item map
  // holds it. For the data callbacks, which name items by the handle given as hClient.
  ItemObject* FindItem(DWORD itemHandle) const noexcept;
  // The ServerHandles array of an automation call (already dereferenced) mapped to the server's
  // item handles, in order, into *out: the input-array rule for numItems (E_INVALIDARG), the
  // elements read as 32-bit integers (a failing read returned), and the first handle that names
  // no item of this group ends it with E_INVALIDARG. Calls nothing on the server.
  HRESULT MapItemHandles(SAFEARRAY* serverHandles, LONG numItems, std::vector<OPCHANDLE>* out) const noexcept;
  // The group's custom interfaces the items use (null while detached).
  IOPCSyncIO* SyncIo() const noexcept { return syncIo_.Get(); }
  IOPCItemMgt* ItemMgt() const noexcept { return itemMgt_.Get(); }

 private:
  using ItemMap = std::map<DWORD, common::ComPtr<ItemObject>>;
  // The item part of Detach: each item's server handle collected, each item detached and
  // released, the map emptied, then one RemoveItems for them (its errors discarded).
  void DetachItems() noexcept;
  // MapItemHandles, also giving the items found (same order).
  HRESULT MapItems(SAFEARRAY* serverHandles, LONG numItems, std::vector<OPCHANDLE>* handles,
                   std::vector<ItemObject*>* items) const noexcept;
  // The item members that talk to the server need an attached group with an item manager.
  bool CanReachItems() const noexcept { return attached_ && itemMgt_; }

  ItemMap items_;  // one reference each, ordered by item handle (the order items were added)
  SHORT defaultRequestedDataType_ = VT_EMPTY;
  common::Bstr defaultAccessPath_{L""};
  VARIANT_BOOL defaultIsActive_ = VARIANT_TRUE;
  // ---- end of items ----

 private:
  void ReleaseInterfaces() noexcept;
  // GetState into the state cache (name included).
  HRESULT ReadState() noexcept;

  // ---- data path (GroupData.cpp; the DA 1.0 forms in GroupDa10.cpp) ----
  struct EventData;
  // Advises (or unadvises) the server's callbacks; the flag follows the rules of IsSubscribed.
  HRESULT Subscribe() noexcept;
  HRESULT Unsubscribe() noexcept;
  // Raises DataChange and GlobalDataChange (id 1) or AsyncReadComplete (id 2) from `data`.
  void RaiseData(DISPID id, DWORD transid, EventData& data, bool withErrors);
  HRESULT Subscribe10() noexcept;
  HRESULT Unsubscribe10() noexcept;
  HRESULT AsyncRead10(std::vector<OPCHANDLE>& handles, SAFEARRAY** errors, LONG transactionId,
                      LONG* cancelId);
  HRESULT AsyncWrite10(std::vector<OPCHANDLE>& handles, std::vector<common::Variant>& values,
                       SAFEARRAY** errors, LONG transactionId, LONG* cancelId);
  HRESULT AsyncRefresh10(SHORT source, LONG transactionId, LONG* cancelId) noexcept;
  HRESULT AsyncCancel10(LONG cancelId) noexcept;
  // DA 1.0 streams: a copy waiting to be handled, or one that came before its transaction id.
  struct PendingStream {
    UINT format = 0;
    std::vector<uint8_t> bytes;
  };
  void HandleQueuedStreams() noexcept;
  void HandleStream(const PendingStream& stream) noexcept;
  void HandleEarlyStream(DWORD serverTransaction) noexcept;
  static LRESULT CALLBACK StreamWindowProc(HWND window, UINT message, WPARAM wp, LPARAM lp);

  const DWORD handle_;
  LONG clientHandle_;
  bool attached_ = false;
  bool da20_ = false;
  ServerObject* server_ = nullptr;  // not counted: the server object's map holds us

  common::ComPtr<IOPCGroupStateMgt> state_;
  // DA 2.0: the group's connection points (IOPCDataCallback), kept rather than asked again
  // across processes for each subscription.
  common::ComPtr<IConnectionPointContainer> points_;
  common::ComPtr<IOPCSyncIO> syncIo_;
  common::ComPtr<IOPCItemMgt> itemMgt_;
  common::ComPtr<IOPCAsyncIO2> asyncIo2_;
  common::ComPtr<IOPCAsyncIO> asyncIo1_;
  common::ComPtr<IDataObject> dataObject_;

  // State cache, refreshed from GetState.
  common::Bstr name_;
  DWORD updateRate_ = 0;
  BOOL active_ = FALSE;
  LONG timeBias_ = 0;
  FLOAT deadband_ = 0.0f;
  DWORD localeId_ = 0;
  OPCHANDLE serverGroup_ = 0;

  // Server callbacks advised (DA 2.0: the IOPCDataCallback cookie).
  bool subscribed_ = false;
  DWORD callbackCookie_ = 0;
  // DA 1.0: the write-complete advise, the server transaction id -> the client's TransactionID,
  // reads whose data is still due, streams that came before their id, streams to handle, and
  // the message-only window whose queue they are handled from.
  DWORD writeConnection_ = 0;
  std::map<DWORD, LONG> transactions_;
  std::set<DWORD> awaitedReads_;
  std::map<DWORD, PendingStream> earlyStreams_;
  std::deque<PendingStream> queuedStreams_;
  HWND streamWindow_ = nullptr;

  common::ConnectionPoint* events_ = nullptr;  // DIOPCGroupEvent
};

}  // namespace veltrane
