#include "FakeGroup10.h"

#include <cstring>

namespace fakegroup {

STDMETHODIMP Group10::GetState(DWORD* rate, BOOL* active, LPWSTR* name, LONG* bias,
                               FLOAT* deadband, DWORD* lcid, OPCHANDLE* client, OPCHANDLE* server) {
  *rate = 1000;
  *active = TRUE;
  *name = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof(wchar_t) * 3));
  std::memcpy(*name, L"da", sizeof(wchar_t) * 3);
  *bias = 0;
  *deadband = 0;
  *lcid = 0x409;
  *client = 0;
  *server = 700;
  return S_OK;
}

STDMETHODIMP Group10::AddItems(DWORD count, OPCITEMDEF*, OPCITEMRESULT** results, HRESULT** errors) {
  *results = static_cast<OPCITEMRESULT*>(CoTaskMemAlloc(sizeof(OPCITEMRESULT) * count));
  *errors = static_cast<HRESULT*>(CoTaskMemAlloc(sizeof(HRESULT) * count));
  std::memset(*results, 0, sizeof(OPCITEMRESULT) * count);
  for (DWORD i = 0; i < count; ++i) {
    (*results)[i].hServer = nextItem++;
    (*results)[i].vtCanonicalDataType = VT_I4;
    (*results)[i].dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
    (*errors)[i] = S_OK;
  }
  return S_OK;
}

STDMETHODIMP Group10::RemoveItems(DWORD count, OPCHANDLE*, HRESULT** errors) {
  *errors = static_cast<HRESULT*>(CoTaskMemAlloc(sizeof(HRESULT) * (count ? count : 1)));
  for (DWORD i = 0; i < count; ++i) (*errors)[i] = S_OK;
  return S_OK;
}

STDMETHODIMP Group10::Read(DWORD connection, OPCDATASOURCE, DWORD count, OPCHANDLE*,
                           DWORD* transaction, HRESULT** errors) {
  connections.push_back(connection);
  const DWORD id = nextTransaction++;
  if (insideCall) insideCall(id);
  *transaction = id;
  *errors = static_cast<HRESULT*>(CoTaskMemAlloc(sizeof(HRESULT) * (count ? count : 1)));
  for (DWORD i = 0; i < count; ++i) (*errors)[i] = S_OK;
  return S_OK;
}

STDMETHODIMP Group10::Write(DWORD connection, DWORD count, OPCHANDLE*, VARIANT*, DWORD* transaction,
                            HRESULT** errors) {
  connections.push_back(connection);
  const DWORD id = nextTransaction++;
  if (insideCall) insideCall(id);
  *transaction = id;
  *errors = static_cast<HRESULT*>(CoTaskMemAlloc(sizeof(HRESULT) * (count ? count : 1)));
  for (DWORD i = 0; i < count; ++i) (*errors)[i] = S_OK;
  return S_OK;
}

STDMETHODIMP Group10::Refresh(DWORD connection, OPCDATASOURCE, DWORD* transaction) {
  connections.push_back(connection);
  const DWORD id = nextTransaction++;
  if (insideCall) insideCall(id);
  *transaction = id;
  return S_OK;
}

STDMETHODIMP Group10::Cancel(DWORD transaction) {
  cancelled.push_back(transaction);
  return cancelResult;
}

STDMETHODIMP Group10::DAdvise(FORMATETC* format, DWORD advf, IAdviseSink* sink, DWORD* connection) {
  advisedFormats.push_back(format->cfFormat);
  advfs.push_back(advf);
  if (advisedFormats.size() % 2 == 0 && FAILED(writeAdviseResult)) return writeAdviseResult;
  *connection = nextConnection_++;
  advises[*connection] = {format->cfFormat, common::ComPtr<IAdviseSink>(sink)};
  return S_OK;
}

STDMETHODIMP Group10::DUnadvise(DWORD connection) {
  unadvised.push_back(connection);
  return advises.erase(connection) ? S_OK : OLE_E_NOCONNECTION;
}

}  // namespace fakegroup
