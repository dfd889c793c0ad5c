#include "BrowserObject.h"

namespace veltrane {

HRESULT BrowserObject::Initialise(IOPCServer* server) noexcept {
  if (!server) return E_INVALIDARG;
  if (FAILED(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse_.PutVoid())) || !browse_) {
    browse_.Reset();
    return E_NOINTERFACE;
  }
  return S_OK;
}

// Browsing comes with the browser itself.
STDMETHODIMP BrowserObject::get_Organization(LONG*) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::get_Filter(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::put_Filter(BSTR) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::get_DataType(SHORT*) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::put_DataType(SHORT) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::get_AccessRights(LONG*) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::put_AccessRights(LONG) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::get_CurrentPosition(BSTR*) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::get_Count(LONG*) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::get__NewEnum(IUnknown**) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::Item(VARIANT, BSTR*) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::ShowBranches() { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::ShowLeafs(VARIANT) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::MoveUp() { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::MoveToRoot() { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::MoveDown(BSTR) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::MoveTo(SAFEARRAY**) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::GetItemID(BSTR, BSTR*) { return E_NOTIMPL; }
STDMETHODIMP BrowserObject::GetAccessPaths(BSTR, VARIANT*) { return E_NOTIMPL; }

}  // namespace veltrane
