// A fake of one group on an outside OPC DA 1.0 server (no connection points: IOPCAsyncIO and
// IDataObject advises), for the group object's in-process tests of the stream path: which
// formats were advised and unadvised, failures to inject, and the advised IAdviseSink so a test
// can hand it streams as the server would, also from inside the server's own calls.
#pragma once

#include "OpcDataAccess.h"
#include "common/Kit.h"

#include <functional>
#include <map>
#include <vector>

namespace fakegroup {

class Group10 final : public common::ComObject<Group10, IOPCGroupStateMgt, IOPCSyncIO, IOPCItemMgt,
                                               IOPCAsyncIO, IDataObject> {
 public:
  // Advises.
  std::map<DWORD, std::pair<CLIPFORMAT, common::ComPtr<IAdviseSink>>> advises;
  std::vector<CLIPFORMAT> advisedFormats;
  std::vector<DWORD> advfs;
  std::vector<DWORD> unadvised;
  HRESULT writeAdviseResult = S_OK;  // the second DAdvise (write completions)
  // Async calls: the connection each was given, and what runs inside the call before it returns.
  std::vector<DWORD> connections;
  std::vector<DWORD> cancelled;
  DWORD nextTransaction = 9001;
  HRESULT cancelResult = S_OK;
  std::function<void(DWORD transaction)> insideCall;
  OPCHANDLE nextItem = 2001;

  IAdviseSink* Sink(CLIPFORMAT format) const {
    for (auto& [cookie, a] : advises)
      if (a.first == format) return a.second.Get();
    return nullptr;
  }

  // IOPCGroupStateMgt
  STDMETHODIMP GetState(DWORD* rate, BOOL* active, LPWSTR* name, LONG* bias, FLOAT* deadband,
                        DWORD* lcid, OPCHANDLE* client, OPCHANDLE* server) override;
  STDMETHODIMP SetState(DWORD*, DWORD*, BOOL*, LONG*, FLOAT*, DWORD*, OPCHANDLE*) override { return E_NOTIMPL; }
  STDMETHODIMP SetName(LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP CloneGroup(LPCWSTR, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
  // IOPCSyncIO
  STDMETHODIMP Read(OPCDATASOURCE, DWORD, OPCHANDLE*, OPCITEMSTATE**, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP Write(DWORD, OPCHANDLE*, VARIANT*, HRESULT**) override { return E_NOTIMPL; }
  // IOPCItemMgt
  STDMETHODIMP AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results, HRESULT** errors) override;
  STDMETHODIMP ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT**, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveItems(DWORD count, OPCHANDLE*, HRESULT** errors) override;
  STDMETHODIMP SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP CreateEnumerator(REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
  // IOPCAsyncIO
  STDMETHODIMP Read(DWORD connection, OPCDATASOURCE, DWORD count, OPCHANDLE*, DWORD* transaction,
                    HRESULT** errors) override;
  STDMETHODIMP Write(DWORD connection, DWORD count, OPCHANDLE*, VARIANT*, DWORD* transaction,
                     HRESULT** errors) override;
  STDMETHODIMP Refresh(DWORD connection, OPCDATASOURCE, DWORD* transaction) override;
  STDMETHODIMP Cancel(DWORD transaction) override;
  // IDataObject
  STDMETHODIMP GetData(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  STDMETHODIMP QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
  STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  STDMETHODIMP DAdvise(FORMATETC* format, DWORD advf, IAdviseSink* sink, DWORD* connection) override;
  STDMETHODIMP DUnadvise(DWORD connection) override;
  STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

 private:
  DWORD nextConnection_ = 1;
};

}  // namespace fakegroup
