// Fakes of an outside OPC DA server for the in-process tests of the OPCServer object: the
// server (IOPCServer, IOPCCommon, IOPCItemProperties, the IOPCShutdown connection point,
// IOPCBrowseServerAddressSpace), its groups, and a node seam that hands the fake out and records
// which class context and which node name it was asked for. Each interface a case needs to be
// missing can be taken away; each call is counted or recorded.
#pragma once

#include "NodeServices.h"
#include "OPCAutomation.h"
#include "OpcCommon.h"
#include "OpcDataAccess.h"
#include "common/Kit.h"

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fake {

LPWSTR TaskString(const wchar_t* s);

// ---- the IOPCShutdown connection point -------------------------------------------------------

class ShutdownPoint final : public common::ComObject<ShutdownPoint, IConnectionPoint> {
 public:
  HRESULT adviseResult = S_OK;
  std::map<DWORD, common::ComPtr<IOPCShutdown>> sinks;
  std::vector<DWORD> unadvised;
  int advises = 0;

  STDMETHODIMP GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = IID_IOPCShutdown;
    return S_OK;
  }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer**) override { return E_NOTIMPL; }
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  // Calls ShutdownRequest on every advised sink, as a server going down does.
  void RequestShutdown(const wchar_t* reason);

 private:
  DWORD next_ = 41;
};

// ---- a group on the fake server --------------------------------------------------------------

class Group final : public common::ComObject<Group, IOPCGroupStateMgt, IOPCSyncIO, IOPCItemMgt,
                                             IOPCAsyncIO2, IConnectionPointContainer> {
 public:
  std::wstring name;
  OPCHANDLE serverHandle = 0;
  OPCHANDLE clientHandle = 0;
  bool hasSyncIo = true;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!hasSyncIo && IsEqualIID(riid, IID_IOPCSyncIO)) {
      if (ppv) *ppv = nullptr;
      return E_NOINTERFACE;
    }
    return ComObject::QueryInterface(riid, ppv);
  }

  // IOPCGroupStateMgt
  STDMETHODIMP GetState(DWORD* rate, BOOL* active, LPWSTR* name, LONG* bias, FLOAT* deadband,
                        DWORD* lcid, OPCHANDLE* client, OPCHANDLE* server) override;
  STDMETHODIMP SetState(DWORD*, DWORD*, BOOL*, LONG*, FLOAT*, DWORD*, OPCHANDLE*) override { return E_NOTIMPL; }
  STDMETHODIMP SetName(LPCWSTR newName) override {
    name = newName;
    return S_OK;
  }
  STDMETHODIMP CloneGroup(LPCWSTR, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
  // IOPCSyncIO
  STDMETHODIMP Read(OPCDATASOURCE, DWORD, OPCHANDLE*, OPCITEMSTATE**, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT**) override { return E_NOTIMPL; }
  // IOPCItemMgt
  STDMETHODIMP AddItems(DWORD, OPCITEMDEF*, OPCITEMRESULT**, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT**, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveItems(DWORD, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP CreateEnumerator(REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
  // IOPCAsyncIO2 (IOPCSyncIO's Read and Write have other signatures)
  STDMETHODIMP Read(DWORD, OPCHANDLE*, DWORD, DWORD*, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP Write(DWORD, OPCHANDLE*, VARIANT*, DWORD, DWORD*, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP Refresh2(OPCDATASOURCE, DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP Cancel2(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP SetEnable(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetEnable(BOOL*) override { return E_NOTIMPL; }
  // IConnectionPointContainer (its presence is what makes a DA 2.0 group)
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID, IConnectionPoint**) override { return CONNECT_E_NOCONNECTION; }
};

// ---- the server ------------------------------------------------------------------------------

struct AddGroupCall {
  std::wstring name;
  BOOL active;
  DWORD rate;
  OPCHANDLE clientGroup;
  std::optional<LONG> timeBias;
  std::optional<FLOAT> deadband;
  DWORD lcid;
  IID riid;
};

class Server final : public common::ComObject<Server, IOPCServer, IOPCCommon, IOPCItemProperties,
                                              IConnectionPointContainer,
                                              IOPCBrowseServerAddressSpace> {
 public:
  Server();

  // What the fake offers.
  bool hasCommon = true;
  bool hasItemProperties = true;
  bool hasShutdownPoint = true;
  bool hasBrowse = true;
  bool groupsHaveSyncIo = true;
  HRESULT addGroupResult = S_OK;
  HRESULT getStatusResult = S_OK;
  std::map<OPCHANDLE, HRESULT> removeGroupResults;  // by server group handle; S_OK otherwise
  common::ComPtr<ShutdownPoint> shutdownPoint;

  // What it was asked.
  std::vector<AddGroupCall> addGroupCalls;
  std::vector<OPCHANDLE> removedGroups;
  std::vector<BOOL> removeForce;
  std::vector<common::ComPtr<Group>> groups;  // every group it made
  std::vector<LCID> errorStringLocales;
  std::wstring clientName = L"(none)";
  LCID locale = 0x409;
  int statusCalls = 0;
  int propertyCalls = 0;
  std::vector<DWORD> lastPropertyIds;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;

  // IOPCServer
  STDMETHODIMP AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE clientGroup, LONG* bias,
                        FLOAT* deadband, DWORD lcid, OPCHANDLE* serverGroup, DWORD* revised,
                        REFIID riid, LPUNKNOWN* unk) override;
  STDMETHODIMP GetErrorString(HRESULT error, LCID lcid, LPWSTR* text) override;
  STDMETHODIMP GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
  STDMETHODIMP GetStatus(OPCSERVERSTATUS** status) override;
  STDMETHODIMP RemoveGroup(OPCHANDLE serverGroup, BOOL force) override;
  STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
  // IOPCCommon (its GetErrorString has the other signature)
  STDMETHODIMP SetLocaleID(LCID lcid) override;
  STDMETHODIMP GetLocaleID(LCID* lcid) override;
  STDMETHODIMP QueryAvailableLocaleIDs(DWORD* count, LCID** lcids) override;
  STDMETHODIMP GetErrorString(HRESULT error, LPWSTR* text) override;
  STDMETHODIMP SetClientName(LPCWSTR name) override;
  // IOPCItemProperties
  STDMETHODIMP QueryAvailableProperties(LPWSTR item, DWORD* count, DWORD** ids,
                                        LPWSTR** descriptions, VARTYPE** types) override;
  STDMETHODIMP GetItemProperties(LPWSTR item, DWORD count, DWORD* ids, VARIANT** values,
                                 HRESULT** errors) override;
  STDMETHODIMP LookupItemIDs(LPWSTR item, DWORD count, DWORD* ids, LPWSTR** names,
                             HRESULT** errors) override;
  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;
  // IOPCBrowseServerAddressSpace
  STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE*) override { return E_NOTIMPL; }
  STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION, LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE, LPCWSTR, VARTYPE, DWORD, LPENUMSTRING*) override { return E_NOTIMPL; }
  STDMETHODIMP GetItemID(LPWSTR, LPWSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP BrowseAccessPaths(LPCWSTR, LPENUMSTRING*) override { return E_NOTIMPL; }

 private:
  OPCHANDLE nextServerGroup_ = 500;
};

// The status the fake reports.
extern const FILETIME kStartTime;    // 2024-03-01 12:00:00.250 UTC
extern const FILETIME kCurrentTime;  // 2024-03-01 12:30:00.000 UTC
extern const FILETIME kUpdateTime;   // 2024-03-01 12:29:59.999 UTC

// ---- the node seam ---------------------------------------------------------------------------

struct Activation {
  CLSID clsid;
  std::optional<std::string> node;
  DWORD clsctx;
  IID iid;
};

class NodeServices final : public veltrane::NodeServices {
 public:
  // What CreateInstance hands out for any class but the server list (which is never there, so
  // ProgIDs resolve through the registry root below).
  common::ComPtr<IUnknown> server;
  HRESULT createResult = S_OK;
  std::deque<HRESULT> createResults;    // results of the next activations, before createResult
  std::vector<Activation> activations;  // every activation but the server list's
  std::vector<DWORD> pauses;            // the waits asked for between activations
  HKEY classesRoot = nullptr;            // what OpenClassesRoot returns (not owned)

  HRESULT CreateInstance(REFCLSID clsid, const char* node, DWORD clsctx, REFIID iid,
                         IUnknown** out) override;
  LONG OpenClassesRoot(const char* node, HKEY* out) override;
  void CloseClassesRoot(HKEY root) override;
  std::string ComputerName() override { return "TESTBOX"; }
  void Pause(DWORD ms) override { pauses.push_back(ms); }
};

}  // namespace fake
