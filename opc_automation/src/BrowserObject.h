// The OPCBrowser object of one connection. CreateBrowser makes it once per connection and
// hands the same object out again, so its position and filters survive between calls. Today it
// only holds the server's IOPCBrowseServerAddressSpace; browsing itself answers E_NOTIMPL until
// the browser is built.
#pragma once

#include "Dispatch.h"
#include "OPCAutomation.h"
#include "OpcDataAccess.h"
#include "common/Kit.h"

namespace veltrane {

class BrowserObject final : public common::ComObject<BrowserObject, veltrane::Dispatch<OPCBrowser>> {
 public:
  // Takes the server's address-space interface; E_NOINTERFACE when it has none.
  HRESULT Initialise(IOPCServer* server) noexcept;

  STDMETHODIMP get_Organization(LONG* organization) override;
  STDMETHODIMP get_Filter(BSTR* filter) override;
  STDMETHODIMP put_Filter(BSTR filter) override;
  STDMETHODIMP get_DataType(SHORT* dataType) override;
  STDMETHODIMP put_DataType(SHORT dataType) override;
  STDMETHODIMP get_AccessRights(LONG* accessRights) override;
  STDMETHODIMP put_AccessRights(LONG accessRights) override;
  STDMETHODIMP get_CurrentPosition(BSTR* position) override;
  STDMETHODIMP get_Count(LONG* count) override;
  STDMETHODIMP get__NewEnum(IUnknown** enumerator) override;
  STDMETHODIMP Item(VARIANT itemSpecifier, BSTR* item) override;
  STDMETHODIMP ShowBranches() override;
  STDMETHODIMP ShowLeafs(VARIANT flat) override;
  STDMETHODIMP MoveUp() override;
  STDMETHODIMP MoveToRoot() override;
  STDMETHODIMP MoveDown(BSTR branch) override;
  STDMETHODIMP MoveTo(SAFEARRAY** branches) override;
  STDMETHODIMP GetItemID(BSTR leaf, BSTR* itemId) override;
  STDMETHODIMP GetAccessPaths(BSTR itemId, VARIANT* accessPaths) override;

 private:
  common::ComPtr<IOPCBrowseServerAddressSpace> browse_;
};

}  // namespace veltrane
