// A fake outside server whose groups manage items, for the in-process tests of OPCItems and
// OPCItem: a server with IOPCServer only (so the connection needs no shutdown advice) making
// groups that add, validate, remove, activate and retype items from a small catalogue and read
// and write them synchronously. Every item call is recorded with its arguments; per-call and
// per-item results can be forced.
#pragma once

#include "OPCAutomation.h"
#include "OpcDataAccess.h"
#include "common/Kit.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace fakeitems {

// An item the fake server knows, by item ID.
struct Known {
  VARTYPE canonical = VT_R8;
  DWORD rights = OPC_READABLE | OPC_WRITEABLE;
  common::Variant value;
  WORD quality = OPC_QUALITY_GOOD;
  FILETIME time{};
};

// A definition as it reached AddItems or ValidateItems.
struct Def {
  std::wstring id, path;
  BOOL active;
  OPCHANDLE client;
  VARTYPE type;
  DWORD blobSize;
};

struct Served {
  std::wstring id;
  OPCHANDLE client;
  BOOL active;
  VARTYPE requested;
};

struct HandleCall {
  std::vector<OPCHANDLE> handles;
  BOOL active = FALSE;             // SetActiveState
  std::vector<VARTYPE> types;      // SetDatatypes
  std::vector<common::Variant> values;  // Write
  OPCDATASOURCE source{};          // Read
};

class Group final : public common::ComObject<Group, IOPCGroupStateMgt, IOPCSyncIO, IOPCItemMgt,
                                             IOPCAsyncIO2, IConnectionPointContainer> {
 public:
  explicit Group(std::map<std::wstring, Known>* catalogue) : catalogue_(catalogue) {}

  std::map<OPCHANDLE, Served> items;  // by server handle
  std::vector<std::vector<Def>> addCalls, validateCalls;
  std::vector<HandleCall> removeCalls, activeCalls, typeCalls, readCalls, writeCalls;
  HRESULT addResult = S_OK, removeResult = S_OK, activeResult = S_OK, typeResult = S_OK,
          readResult = S_OK, writeResult = S_OK;
  std::map<OPCHANDLE, HRESULT> itemErrors;  // per-item result of every handle call, by server handle
  // Runs inside AddItems and Read before they answer, as a client's event handler may run
  // while a call is out (a server's callback delivered during the wait).
  std::function<void()> whileCalled;

  // IOPCGroupStateMgt
  STDMETHODIMP GetState(DWORD* rate, BOOL* active, LPWSTR* name, LONG* bias, FLOAT* deadband,
                        DWORD* lcid, OPCHANDLE* client, OPCHANDLE* server) override;
  STDMETHODIMP SetState(DWORD*, DWORD*, BOOL*, LONG*, FLOAT*, DWORD*, OPCHANDLE*) override { return E_NOTIMPL; }
  STDMETHODIMP SetName(LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP CloneGroup(LPCWSTR, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
  // IOPCSyncIO
  STDMETHODIMP Read(OPCDATASOURCE source, DWORD count, OPCHANDLE* handles, OPCITEMSTATE** states,
                    HRESULT** errors) override;
  STDMETHODIMP Write(DWORD count, OPCHANDLE* handles, VARIANT* values, HRESULT** errors) override;
  // IOPCItemMgt
  STDMETHODIMP AddItems(DWORD count, OPCITEMDEF* defs, OPCITEMRESULT** results, HRESULT** errors) override;
  STDMETHODIMP ValidateItems(DWORD count, OPCITEMDEF* defs, BOOL blobUpdate, OPCITEMRESULT** results,
                             HRESULT** errors) override;
  STDMETHODIMP RemoveItems(DWORD count, OPCHANDLE* handles, HRESULT** errors) override;
  STDMETHODIMP SetActiveState(DWORD count, OPCHANDLE* handles, BOOL active, HRESULT** errors) override;
  STDMETHODIMP SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP SetDatatypes(DWORD count, OPCHANDLE* handles, VARTYPE* types, HRESULT** errors) override;
  STDMETHODIMP CreateEnumerator(REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
  // IOPCAsyncIO2 (not used by items)
  STDMETHODIMP Read(DWORD, OPCHANDLE*, DWORD, DWORD*, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP Write(DWORD, OPCHANDLE*, VARIANT*, DWORD, DWORD*, HRESULT**) override { return E_NOTIMPL; }
  STDMETHODIMP Refresh2(OPCDATASOURCE, DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP Cancel2(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP SetEnable(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetEnable(BOOL*) override { return E_NOTIMPL; }
  // IConnectionPointContainer: makes the group a DA 2.0 one
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID, IConnectionPoint**) override { return CONNECT_E_NOCONNECTION; }

 private:
  HRESULT Results(DWORD count, OPCITEMDEF* defs, bool add, OPCITEMRESULT** results, HRESULT** errors);
  HRESULT ItemError(OPCHANDLE h) const;
  std::map<std::wstring, Known>* catalogue_;
  OPCHANDLE nextServerHandle_ = 7001;
};

class Server final : public common::ComObject<Server, IOPCServer> {
 public:
  std::map<std::wstring, Known> catalogue;
  std::vector<common::ComPtr<Group>> groups;

  STDMETHODIMP AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE clientGroup, LONG* bias,
                        FLOAT* deadband, DWORD lcid, OPCHANDLE* serverGroup, DWORD* revised,
                        REFIID riid, LPUNKNOWN* unk) override;
  STDMETHODIMP GetErrorString(HRESULT, LCID, LPWSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
  STDMETHODIMP GetStatus(OPCSERVERSTATUS**) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveGroup(OPCHANDLE, BOOL) override { return S_OK; }
  STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
};

}  // namespace fakeitems
