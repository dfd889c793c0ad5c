// The OPCBrowser object of one connection. CreateBrowser makes it once per connection and
// hands the same object out again, so its position, filters and name list survive between
// calls. The position itself lives in the outside server (IOPCBrowseServerAddressSpace keeps one
// per client); the browser keeps the filters and the names the last ShowBranches/ShowLeafs gave.
// Every move and every show empties the name list; nothing else does.
//
// It answers IUnknown, OPCBrowser and IDispatch (the dual interface's own base: a late-bound
// client asking for IDispatch gets the same interface).
#pragma once

#include "Dispatch.h"
#include "OPCAutomation.h"
#include "OpcDataAccess.h"
#include "common/Kit.h"

#include <vector>

namespace veltrane {

class BrowserObject final : public common::ComObject<BrowserObject, veltrane::Dispatch<OPCBrowser>> {
 public:
  // How many names one IEnumString::Next asks for.
  static constexpr ULONG kNamesPerNext = 100;
  // How many OPC_BROWSE_UP calls MoveToRoot makes at most.
  static constexpr int kMaxClimb = 50;

  BrowserObject();

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
  // Empties the list, browses with the stored filters and collects the names.
  HRESULT Browse(OPCBROWSETYPE type);
  // Walks `names` to its end, appending to the list; releases it in every case.
  HRESULT Collect(IEnumString* names);
  // Up until the server refuses, at most kMaxClimb times (the list is not touched).
  HRESULT Climb();

  common::ComPtr<IOPCBrowseServerAddressSpace> browse_;
  common::Bstr filter_;
  VARTYPE dataType_ = VT_EMPTY;
  LONG accessRights_ = OPCReadable | OPCWritable;
  std::vector<common::Bstr> names_;
};

}  // namespace veltrane
