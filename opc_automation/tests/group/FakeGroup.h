// A fake of one group on an outside OPC DA 2.0 server, for the group object's in-process tests:
// its state (with a rate the server revises), items it adds and serves to the sync and async
// I/O calls, and the IOPCDataCallback connection point, so a test can call the group's sink
// as the server would. Every call is recorded; results can be forced.
#pragma once

#include "OPCAutomation.h"
#include "OpcDataAccess.h"
#include "common/Kit.h"

#include <map>
#include <string>
#include <vector>

namespace fakegroup {

// The IOPCDataCallback point: at most what a test advises, by cookie.
class CallbackPoint final : public common::ComObject<CallbackPoint, IConnectionPoint> {
 public:
  HRESULT adviseResult = S_OK;
  std::map<DWORD, common::ComPtr<IOPCDataCallback>> sinks;
  int advises = 0;
  std::vector<DWORD> unadvised;

  STDMETHODIMP GetConnectionInterface(IID* iid) override {
    *iid = IID_IOPCDataCallback;
    return S_OK;
  }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer**) override { return E_NOTIMPL; }
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  // The one advised sink (null when none).
  IOPCDataCallback* Sink() const { return sinks.empty() ? nullptr : sinks.begin()->second.Get(); }

 private:
  DWORD next_ = 71;
};

struct SetStateCall {
  bool requestedRate, revisedRate, active, timeBias, deadband, lcid, clientGroup;
};

struct ServedItem {
  OPCHANDLE client = 0;  // what AddItems was given: the library's item handle
  VARTYPE canonical = VT_R8;
  common::Variant value;
  WORD quality = OPC_QUALITY_GOOD;
  FILETIME time{};
  HRESULT readError = S_OK;
};

class Group final : public common::ComObject<Group, IOPCGroupStateMgt, IOPCSyncIO, IOPCItemMgt,
                                             IOPCAsyncIO2, IConnectionPointContainer> {
 public:
  Group();

  // State.
  DWORD rate = 1000;
  BOOL active = TRUE;
  std::wstring name = L"fake";
  LONG bias = 0;
  FLOAT deadband = 0.0f;
  DWORD lcid = 0x409;
  OPCHANDLE serverHandle = 900;
  DWORD rateStep = 0;  // when not 0, requested rates are rounded up to a multiple of it
  HRESULT getStateResult = S_OK;
  HRESULT setStateResult = S_OK;  // a failure is returned before anything changes
  int getStateCalls = 0;
  std::vector<SetStateCall> setStateCalls;

  // Items, by server handle.
  std::map<OPCHANDLE, ServedItem> items;
  HRESULT syncReadResult = S_OK;
  HRESULT syncWriteResult = S_OK;
  HRESULT asyncResult = S_OK;
  std::vector<OPCDATASOURCE> readSources;
  std::vector<std::vector<OPCHANDLE>> readHandles;      // sync and async reads
  std::vector<std::vector<OPCHANDLE>> writeHandles;     // sync and async writes
  std::vector<std::vector<common::Variant>> writeValues;
  std::vector<OPCHANDLE> removedItems;
  std::vector<DWORD> transactions;                      // TransactionIDs of async calls, in order
  std::vector<DWORD> cancelled;
  DWORD nextCancelId = 301;
  std::map<OPCHANDLE, HRESULT> writeErrors;             // per item; S_OK otherwise

  common::ComPtr<CallbackPoint> point;

  // IOPCGroupStateMgt
  STDMETHODIMP GetState(DWORD* rate, BOOL* active, LPWSTR* name, LONG* bias, FLOAT* deadband,
                        DWORD* lcid, OPCHANDLE* client, OPCHANDLE* server) override;
  STDMETHODIMP SetState(DWORD* requested, DWORD* revised, BOOL* active, LONG* bias,
                        FLOAT* deadband, DWORD* lcid, OPCHANDLE* client) override;
  STDMETHODIMP SetName(LPCWSTR newName) override {
    name = newName;
    return S_OK;
  }
  STDMETHODIMP CloneGroup(LPCWSTR, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
  // IOPCSyncIO
  STDMETHODIMP Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states,
                    HRESULT** errors) override;
  STDMETHODIMP Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) override;
  // IOPCItemMgt
  STDMETHODIMP AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results, HRESULT** errors) override;
  STDMETHODIMP ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT**, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override;
  STDMETHODIMP SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP CreateEnumerator(REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
  // IOPCAsyncIO2
  STDMETHODIMP Read(DWORD count, OPCHANDLE* handles, DWORD transaction, DWORD* cancelId,
                    HRESULT** errors) override;
  STDMETHODIMP Write(DWORD count, OPCHANDLE* handles, VARIANT* values, DWORD transaction,
                     DWORD* cancelId, HRESULT** errors) override;
  STDMETHODIMP Refresh2(OPCDATASOURCE source, DWORD transaction, DWORD* cancelId) override;
  STDMETHODIMP Cancel2(DWORD cancelId) override;
  STDMETHODIMP SetEnable(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetEnable(BOOL*) override { return E_NOTIMPL; }
  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) override;

 private:
  OPCHANDLE nextItem_ = 1001;
};

FILETIME MakeFileTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms);

}  // namespace fakegroup
