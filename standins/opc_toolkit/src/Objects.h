// The OPC server object (one per client connection) and its groups.
#pragma once

#include "ComKit.h"
#include "Engine.h"

#include <OpcCommon.h>
#include <OpcDataAccess.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

namespace opc_toolkit {

// Groups asking for a faster update rate (milliseconds) get this one.
constexpr DWORD kFastestUpdateRate = 50;

class OpcServer : public IOPCServer,
                  public IOPCCommon,
                  public IOPCItemProperties,
                  public IOPCBrowseServerAddressSpace,
                  public IConnectionPointContainer,
                  public RefCounted {
 public:
  explicit OpcServer(Engine* engine);
  ~OpcServer() override;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  OPC_TOOLKIT_REFCOUNT

  // IOPCServer
  HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                     OPCHANDLE hClientGroup, LONG* pTimeBias,
                                     FLOAT* pPercentDeadband, DWORD dwLCID,
                                     OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                     REFIID riid, LPUNKNOWN* ppUnk) override;
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale,
                                           LPWSTR* ppString) override;
  HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid,
                                           LPUNKNOWN* ppUnk) override;
  HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
  HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
  HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                                  LPUNKNOWN* ppUnk) override;
  // IOPCCommon
  HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) override;
  HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) override;
  HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
  HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) override;
  // IOPCItemProperties
  HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                                     DWORD** ppPropertyIDs,
                                                     LPWSTR** ppDescriptions,
                                                     VARTYPE** ppvtDataTypes) override;
  HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR szItemID, DWORD dwCount,
                                              DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                              HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                          LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override;
  // IOPCBrowseServerAddressSpace
  HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
  HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                                 LPCWSTR szString) override;
  HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType,
                                             LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                                             DWORD dwAccessRightsFilter,
                                             LPENUMSTRING* ppIEnumString) override;
  HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
  HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR szItemID,
                                              LPENUMSTRING* ppIEnumString) override;
  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  // Asks every IOPCShutdown sink of this connection to disconnect.
  void RequestShutdown(const wchar_t* reason);
  Engine* GetEngine() const { return engine_; }
  // A group's new name must be unique within its server.
  bool NameTaken(const std::wstring& name, const OpcGroup* except) const;
  // Drops every reference a (dead) client holds on this connection and its groups.
  void DisconnectClient();

 private:
  friend class OpcGroup;
  OpcGroup* FindGroup(OPCHANDLE h) const;

  Engine* engine_;
  ConnectionPoint* shutdown_ = nullptr;
  std::map<OPCHANDLE, OpcGroup*> groups_;  // each holds one reference of ours
  OPCHANDLE nextGroup_ = 1;
  LCID lcid_ = 0x0409;
  std::wstring clientName_;
  std::wstring browsePos_;  // "" = root, else a branch path
};

struct GroupItem {
  OPCHANDLE hServer = 0;
  OPCHANDLE hClient = 0;
  ServedTag* tag = nullptr;  // tags live as long as the engine
  std::wstring itemId, accessPath;
  bool active = true;
  VARTYPE requested = VT_EMPTY;
  // What the last data change told the client.
  bool sent = false;
  unsigned long long sentVersion = 0;
  WORD sentQuality = 0;
  VARIANT sentValue;  // as the tag held it
};

class OpcGroup : public IOPCGroupStateMgt,
                 public IOPCItemMgt,
                 public IOPCSyncIO,
                 public IOPCAsyncIO2,
                 public IOPCAsyncIO,
                 public IDataObject,
                 public IConnectionPointContainer,
                 public RefCounted {
 public:
  OpcGroup(OpcServer* server, Engine* engine, OPCHANDLE hServer, const std::wstring& name,
           bool active, DWORD rate, OPCHANDLE hClient, LONG timeBias, FLOAT deadband, LCID lcid);
  ~OpcGroup() override;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  OPC_TOOLKIT_REFCOUNT

  // IOPCGroupStateMgt
  HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName,
                                     LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                     OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) override;
  HRESULT STDMETHODCALLTYPE SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                                     BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                     DWORD* pLCID, OPCHANDLE* phClientGroup) override;
  HRESULT STDMETHODCALLTYPE SetName(LPCWSTR szName) override;
  HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
  // IOPCItemMgt
  HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                     OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                          BOOL bBlobUpdate, OPCITEMRESULT** ppValidationResults,
                                          HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE* phServer,
                                        HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                           HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE* phServer,
                                             OPCHANDLE* phClient, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                                         VARTYPE* pRequestedDatatypes,
                                         HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;
  // IOPCSyncIO
  HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                                 OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                  HRESULT** ppErrors) override;
  // IOPCAsyncIO2
  HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                                 DWORD* pdwCancelID, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                  DWORD dwTransactionID, DWORD* pdwCancelID,
                                  HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                                     DWORD* pdwCancelID) override;
  HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) override;
  HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) override;
  HRESULT STDMETHODCALLTYPE GetEnable(BOOL* pbEnable) override;
  // IOPCAsyncIO (DA 1.0)
  HRESULT STDMETHODCALLTYPE Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount,
                                 OPCHANDLE* phServer, DWORD* pTransactionID,
                                 HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer,
                                  VARIANT* pItemValues, DWORD* pTransactionID,
                                  HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE Refresh(DWORD dwConnection, OPCDATASOURCE dwSource,
                                    DWORD* pTransactionID) override;
  HRESULT STDMETHODCALLTYPE Cancel(DWORD dwTransactionID) override;
  // IDataObject (DA 1.0)
  HRESULT STDMETHODCALLTYPE GetData(FORMATETC* fmt, STGMEDIUM* med) override;
  HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC* fmt, STGMEDIUM* med) override;
  HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* fmt) override;
  HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override;
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC* fmt, STGMEDIUM* med, BOOL release) override;
  HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD dir, IEnumFORMATETC** ppenum) override;
  HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* fmt, DWORD advf, IAdviseSink* sink,
                                    DWORD* conn) override;
  HRESULT STDMETHODCALLTYPE DUnadvise(DWORD conn) override;
  HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** ppenum) override;
  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  // Update-rate tick: sends the items that changed since the last data change.
  void OnTimer();
  // Runs queued asynchronous reads, writes, refreshes and cancel completions.
  void RunQueued();
  bool HasQueued() const { return !queue_.empty(); }

  OPCHANDLE ServerHandle() const { return hServer_; }
  const std::wstring& Name() const { return name_; }
  void DetachServer() { server_ = nullptr; }
  void DisconnectClient();
  DWORD UpdateRate() const { return rate_; }
  size_t ItemCount() const { return items_.size(); }

 private:
  enum class Kind { Read, Write, Refresh, Cancelled };
  struct Pending {
    Kind kind;
    DWORD cancelId;
    DWORD transId;
    bool da10 = false;
    DWORD connection = 0;  // DA 1.0 advise connection
    OPCDATASOURCE source = OPC_DS_CACHE;
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;
  };
  struct Da10Advise {
    CLIPFORMAT format;
    IAdviseSink* sink;
  };
  // One value as the client asked for it (requested type; cache reads of inactive objects are
  // out of service).
  HRESULT ItemValue(GroupItem& item, OPCDATASOURCE source, VARIANT* value, WORD* quality,
                    FILETIME* time);
  HRESULT CheckItemDef(const OPCITEMDEF& def, ServedTag** tag) const;
  GroupItem* FindItem(OPCHANDLE h);
  void SetRate(DWORD requested, DWORD* revised, HRESULT* hr);
  void UpdateTimer();
  bool AnyDataSink() const;
  // Data delivery through IOPCDataCallback (DA 2.0) or the IDataObject advises (DA 1.0).
  void SendData(DWORD transId, bool readComplete, std::vector<GroupItem*>& items,
                OPCDATASOURCE source, const std::vector<HRESULT>* itemErrors,
                const std::vector<OPCHANDLE>* clientHandles, DWORD da10Connection);
  void SendWriteComplete(DWORD transId, const std::vector<OPCHANDLE>& clientHandles,
                         const std::vector<HRESULT>& errors, DWORD da10Connection);
  HRESULT ValidateCommon(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results,
                         HRESULT** errors, bool add);
  HRESULT QueueIo(Pending p, DWORD* cancelId);
  void WriteItems(const std::vector<OPCHANDLE>& handles, const VARIANT* values,
                  std::vector<HRESULT>& errors);
  bool ChangedSinceSent(const GroupItem& item) const;
  // Notes a failed call into the client; true when the client is gone.
  bool CheckClient(HRESULT hr);
  void MarkSent(GroupItem& item);

  OpcServer* server_;
  Engine* engine_;
  OPCHANDLE hServer_;
  std::wstring name_;
  bool active_;
  DWORD rate_ = 1000;
  OPCHANDLE hClient_;
  LONG timeBias_;
  FLOAT deadband_;
  LCID lcid_;
  bool enable_ = true;
  bool da10_;
  std::map<OPCHANDLE, GroupItem> items_;
  OPCHANDLE nextItem_ = 1;
  ConnectionPoint* callback_ = nullptr;
  std::map<DWORD, Da10Advise> da10Advises_;
  DWORD nextAdvise_ = 1;
  std::deque<Pending> queue_;
  DWORD nextCancel_ = 1;
  DWORD nextDa10Trans_ = 1;
};

// Clipboard formats of the DA 1.0 streams (registered once per process).
CLIPFORMAT FormatData();
CLIPFORMAT FormatDataTime();
CLIPFORMAT FormatWriteComplete();

}  // namespace opc_toolkit
