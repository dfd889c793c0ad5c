// The OPCServer coclass: the one object automation clients create. It connects to one outside
// OPC DA server at a time (DA 2.0, or DA 1.0 without IOPCCommon), keeps the custom interfaces
// of that connection, and is at the same time the OPCGroups collection of that connection:
// IOPCAutoServer, IOPCGroups and IKestrovEnhancement are three faces of this one object.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "Dispatch.h"
#include "OPCAutomation.h"
#include "OpcCommon.h"
#include "OpcDataAccess.h"
#include "ServerEnumerator.h"
#include "common/Kit.h"

#include <map>
#include <optional>
#include <string>

namespace veltrane {

// Makes a new OPCServer object and asks it for riid (the class factory's creator).
// E_OUTOFMEMORY when it cannot be made; when the interface is refused the object is destroyed
// and that failure returned.
HRESULT CreateServerObject(REFIID riid, void** ppv);

class BrowserObject;
class GroupObject;
class ShutdownSink;

class ServerObject final
    : public common::ComObject<ServerObject, veltrane::Dispatch<IOPCAutoServer>,
                               veltrane::Dispatch<IOPCGroups>,
                               veltrane::Dispatch<IKestrovEnhancement>,
                               common::SupportErrorInfo<&IID_IOPCAutoServer>,
                               common::ConnectionPointContainer> {
 public:
  ServerObject();

  // The last release disconnects first, while the object is still whole (a count of one).
  STDMETHODIMP_(ULONG) Release() override;

  // From the ShutdownSink: raises ServerShutDown(reason) on every DIOPCServerEvent sink.
  void OnShutdownRequest(LPCWSTR reason) noexcept;
  // DIOPCGroupsEvent, where groups raise GlobalDataChange.
  common::ConnectionPoint& GroupsEvents() noexcept { return *groupsEvents_; }
  bool Connected() const noexcept { return static_cast<bool>(server_); }

  // ---- IOPCAutoServer ----
  STDMETHODIMP get_StartTime(DATE* startTime) override;
  STDMETHODIMP get_CurrentTime(DATE* currentTime) override;
  STDMETHODIMP get_LastUpdateTime(DATE* lastUpdateTime) override;
  STDMETHODIMP get_MajorVersion(short* majorVersion) override;
  STDMETHODIMP get_MinorVersion(short* minorVersion) override;
  STDMETHODIMP get_BuildNumber(short* buildNumber) override;
  STDMETHODIMP get_VendorInfo(BSTR* vendorInfo) override;
  STDMETHODIMP get_ServerState(LONG* serverState) override;
  STDMETHODIMP get_ServerName(BSTR* serverName) override;
  STDMETHODIMP get_ServerNode(BSTR* serverNode) override;
  STDMETHODIMP get_ClientName(BSTR* clientName) override;
  STDMETHODIMP put_ClientName(BSTR clientName) override;
  STDMETHODIMP get_LocaleID(LONG* localeId) override;
  STDMETHODIMP put_LocaleID(LONG localeId) override;
  STDMETHODIMP get_Bandwidth(LONG* bandwidth) override;
  STDMETHODIMP get_OPCGroups(IOPCGroups** groups) override;
  STDMETHODIMP get_PublicGroupNames(VARIANT* publicGroups) override;
  STDMETHODIMP GetOPCServers(VARIANT node, VARIANT* servers) override;
  STDMETHODIMP Connect(BSTR progId, VARIANT node) override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP CreateBrowser(OPCBrowser** browser) override;
  STDMETHODIMP GetErrorString(LONG errorCode, BSTR* errorString) override;
  STDMETHODIMP QueryAvailableLocaleIDs(VARIANT* localeIds) override;
  STDMETHODIMP QueryAvailableProperties(BSTR itemId, LONG* count, SAFEARRAY** propertyIds,
                                        SAFEARRAY** descriptions, SAFEARRAY** dataTypes) override;
  STDMETHODIMP GetItemProperties(BSTR itemId, LONG count, SAFEARRAY** propertyIds,
                                 SAFEARRAY** propertyValues, SAFEARRAY** errors) override;
  STDMETHODIMP LookupItemIDs(BSTR itemId, LONG count, SAFEARRAY** propertyIds,
                             SAFEARRAY** newItemIds, SAFEARRAY** errors) override;

  // ---- IKestrovEnhancement ----
  STDMETHODIMP ConnectViaCLSID(BSTR clsid, VARIANT node) override;

  // ---- IOPCGroups (ServerGroups.cpp) ----
  STDMETHODIMP get_Parent(IOPCAutoServer** parent) override;
  STDMETHODIMP get_DefaultGroupIsActive(VARIANT_BOOL* value) override;
  STDMETHODIMP put_DefaultGroupIsActive(VARIANT_BOOL value) override;
  STDMETHODIMP get_DefaultGroupUpdateRate(LONG* value) override;
  STDMETHODIMP put_DefaultGroupUpdateRate(LONG value) override;
  STDMETHODIMP get_DefaultGroupDeadband(float* value) override;
  STDMETHODIMP put_DefaultGroupDeadband(float value) override;
  STDMETHODIMP get_DefaultGroupLocaleID(LONG* value) override;
  STDMETHODIMP put_DefaultGroupLocaleID(LONG value) override;
  STDMETHODIMP get_DefaultGroupTimeBias(LONG* value) override;
  STDMETHODIMP put_DefaultGroupTimeBias(LONG value) override;
  STDMETHODIMP get_Count(LONG* count) override;
  STDMETHODIMP get__NewEnum(IUnknown** enumerator) override;
  STDMETHODIMP Item(VARIANT itemSpecifier, IOPCGroup** group) override;
  STDMETHODIMP Add(VARIANT name, IOPCGroup** group) override;
  STDMETHODIMP GetOPCGroup(VARIANT itemSpecifier, IOPCGroup** group) override;
  STDMETHODIMP RemoveAll() override;
  STDMETHODIMP Remove(VARIANT itemSpecifier) override;
  STDMETHODIMP ConnectPublicGroup(BSTR name, IOPCGroup** group) override;
  STDMETHODIMP RemovePublicGroup(VARIANT itemSpecifier) override;

  ~ServerObject() override;

 private:
  using GroupMap = std::map<DWORD, common::ComPtr<GroupObject>>;
  enum class Lookup { kByIndex, kByHandle };

  void FinalRelease() noexcept;
  HRESULT ConnectToClass(REFCLSID clsid, const std::optional<std::string>& node) noexcept;
  HRESULT FinishConnect(BSTR serverName, const std::optional<std::string>& node) noexcept;
  // Calls f(status) with the outside server's status; null output / not connected / the
  // failure of GetStatus as the status members describe. Frees the record in every case.
  template <class F>
  HRESULT WithStatus(const void* out, F&& f) noexcept;
  HRESULT FindGroup(const VARIANT& specifier, Lookup how, GroupMap::iterator* found) noexcept;
  HRESULT RemoveOne(GroupObject& group) noexcept;

  // The connection.
  common::Bstr serverName_;
  common::Bstr serverNode_;
  common::Bstr clientName_;
  LCID locale_ = LOCALE_SYSTEM_DEFAULT;
  common::ComPtr<IOPCServer> server_;
  common::ComPtr<IOPCItemProperties> itemProperties_;
  common::ComPtr<IOPCCommon> common_;
  common::ComPtr<BrowserObject> browser_;
  DWORD shutdownCookie_ = 0;
  common::ComPtr<ShutdownSink> shutdownSink_;
  ServerEnumerator serverList_;
  bool finalReleasing_ = false;

  // The groups collection.
  VARIANT_BOOL defaultGroupIsActive_ = VARIANT_TRUE;
  LONG defaultGroupUpdateRate_ = 1000;
  float defaultGroupDeadband_ = 0.0f;
  LONG defaultGroupLocaleId_ = LOCALE_SYSTEM_DEFAULT;
  LONG defaultGroupTimeBias_ = 0;
  GroupMap groups_;

  common::ConnectionPoint* serverEvents_ = nullptr;  // DIOPCServerEvent
  common::ConnectionPoint* groupsEvents_ = nullptr;  // DIOPCGroupsEvent
};

}  // namespace veltrane
