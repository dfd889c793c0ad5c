#include "ServerObject.h"

#include "Arguments.h"
#include "BrowserObject.h"
#include "Conversion.h"
#include "GroupObject.h"
#include "NodeServices.h"
#include "ShutdownSink.h"

#include <vector>

namespace veltrane {

HRESULT CreateServerObject(REFIID riid, void** ppv) {
  return common::CreateObject<ServerObject>(riid, ppv);
}

ServerObject::ServerObject() {
  serverEvents_ = &AddConnectionPoint(DIID_DIOPCServerEvent);
  groupsEvents_ = &AddConnectionPoint(DIID_DIOPCGroupsEvent);
}

ServerObject::~ServerObject() {
  // Normally done by the last Release; this covers an object that never got that far.
  FinalRelease();
}

STDMETHODIMP_(ULONG) ServerObject::Release() {
  // Disconnecting calls out (Unadvise, RemoveGroup) and may be called back; with the count
  // still at one, references taken and dropped meanwhile cannot destroy the object twice.
  if (RefCount() == 1 && !finalReleasing_) {
    finalReleasing_ = true;
    FinalRelease();
  }
  return ComObject::Release();
}

void ServerObject::FinalRelease() noexcept {
  Disconnect();
  if (shutdownSink_) {
    shutdownSink_->ForgetOwner();
    shutdownSink_.Reset();
  }
  serverList_.Clear();
  serverName_.Reset();
  serverNode_.Reset();
  clientName_.Reset();
}

// ---- connecting ------------------------------------------------------------------------------

HRESULT ServerObject::ConnectToClass(REFCLSID clsid, const std::optional<std::string>& node) noexcept {
  return common::GuardHResult([&]() -> HRESULT {
    common::ComPtr<IUnknown> created;
    HRESULT hr = CreateOnNode(clsid, node ? node->c_str() : nullptr, IID_IOPCServer,
                              created.GetAddressOf());
    if (FAILED(hr)) return hr;
    if (!created) return E_NOINTERFACE;
    // The one interface asked for comes back as it is: an IOPCServer.
    server_.Attach(static_cast<IOPCServer*>(created.Detach()));

    // A DA 1.0 server has no IOPCCommon: connected, without shutdown advice or item properties.
    if (FAILED(server_->QueryInterface(IID_IOPCCommon, common_.PutVoid())) || !common_) {
      common_.Reset();
      return S_OK;
    }
    if (FAILED(server_->QueryInterface(IID_IOPCItemProperties, itemProperties_.PutVoid())) ||
        !itemProperties_) {
      itemProperties_.Reset();
      return E_NOINTERFACE;
    }
    common::ComPtr<IConnectionPointContainer> container;
    hr = server_->QueryInterface(IID_IConnectionPointContainer, container.PutVoid());
    if (FAILED(hr)) return hr;
    if (!container) return E_NOINTERFACE;
    common::ComPtr<IConnectionPoint> point;
    hr = container->FindConnectionPoint(IID_IOPCShutdown, point.GetAddressOf());
    if (FAILED(hr)) return hr;
    if (!point) return E_FAIL;

    if (!shutdownSink_) shutdownSink_ = common::Make<ShutdownSink>(this);
    shutdownSink_->Attach();
    DWORD cookie = 0;
    hr = point->Advise(shutdownSink_->Unknown(), &cookie);
    if (FAILED(hr)) {
      shutdownSink_->Detach();
      return hr;
    }
    shutdownCookie_ = cookie;
    return S_OK;
  });
}

HRESULT ServerObject::FinishConnect(BSTR serverName, const std::optional<std::string>& node) noexcept {
  return common::GuardHResult([&] {
    serverName_ = common::Bstr::Copy(serverName);
    if (node)
      serverNode_ = common::Bstr::FromAnsi(*node);
    else
      serverNode_.Reset();
  });
}

STDMETHODIMP ServerObject::Connect(BSTR progId, VARIANT node) {
  if (!progId) return E_INVALIDARG;
  Disconnect();
  std::optional<std::string> ansiNode;
  HRESULT hr = ReadNode(node, &ansiNode);
  if (FAILED(hr)) return hr;
  const char* nodeName = ansiNode ? ansiNode->c_str() : nullptr;
  CLSID clsid = CLSID_NULL;
  hr = serverList_.ResolveProgId(progId, nodeName, &clsid);
  if (FAILED(hr)) return hr;
  hr = ConnectToClass(clsid, ansiNode);
  if (SUCCEEDED(hr)) hr = FinishConnect(progId, ansiNode);
  if (FAILED(hr)) {
    Disconnect();
    return hr;
  }
  return S_OK;
}

STDMETHODIMP ServerObject::ConnectViaCLSID(BSTR clsidText, VARIANT node) {
  if (!clsidText) return E_INVALIDARG;
  Disconnect();
  std::optional<std::string> ansiNode;
  HRESULT hr = ReadNode(node, &ansiNode);
  if (FAILED(hr)) return hr;
  CLSID clsid = CLSID_NULL;
  hr = CLSIDFromString(clsidText, &clsid);
  if (FAILED(hr)) return hr;
  hr = ConnectToClass(clsid, ansiNode);
  if (SUCCEEDED(hr)) hr = FinishConnect(clsidText, ansiNode);
  if (FAILED(hr)) {
    Disconnect();
    return hr;
  }
  return S_OK;
}

STDMETHODIMP ServerObject::Disconnect() {
  if (!server_) return S_OK;
  // A shutdown request that still arrives belongs to the connection being dropped.
  if (shutdownSink_) shutdownSink_->Detach();
  if (shutdownCookie_) {
    common::ComPtr<IConnectionPointContainer> container;
    common::ComPtr<IConnectionPoint> point;
    if (SUCCEEDED(server_->QueryInterface(IID_IConnectionPointContainer, container.PutVoid())) &&
        container &&
        SUCCEEDED(container->FindConnectionPoint(IID_IOPCShutdown, point.GetAddressOf())) && point)
      point->Unadvise(shutdownCookie_);
    shutdownCookie_ = 0;
  }
  RemoveAll();
  browser_.Reset();
  itemProperties_.Reset();
  common_.Reset();
  server_.Reset();
  serverName_.Reset();
  serverNode_.Reset();
  return S_OK;
}

void ServerObject::OnShutdownRequest(LPCWSTR reason) noexcept {
  // A sink may release this object from inside the event.
  common::ComPtr<ServerObject> self(this);
  common::GuardNoThrow([&] {
    common::Variant text{common::Bstr(reason ? reason : L"")};
    serverEvents_->FireDispatch(1, std::span<const VARIANT>(static_cast<const VARIANT*>(&text), 1));
  });
}

// ---- status ----------------------------------------------------------------------------------

template <class F>
HRESULT ServerObject::WithStatus(const void* out, F&& f) noexcept {
  if (!out) return E_INVALIDARG;
  if (!server_) return E_FAIL;
  OPCSERVERSTATUS* status = nullptr;
  HRESULT hr = server_->GetStatus(&status);
  if (FAILED(hr)) return hr;
  if (!status) return E_FAIL;  // success without a record
  hr = common::GuardHResult([&]() -> HRESULT { return f(*status); });
  CoTaskMemFree(status->szVendorInfo);
  CoTaskMemFree(status);
  return hr;
}

STDMETHODIMP ServerObject::get_StartTime(DATE* out) {
  return WithStatus(out, [&](const OPCSERVERSTATUS& s) { return FileTimeToLocalDate(s.ftStartTime, out); });
}
STDMETHODIMP ServerObject::get_CurrentTime(DATE* out) {
  return WithStatus(out, [&](const OPCSERVERSTATUS& s) { return FileTimeToLocalDate(s.ftCurrentTime, out); });
}
STDMETHODIMP ServerObject::get_LastUpdateTime(DATE* out) {
  return WithStatus(out, [&](const OPCSERVERSTATUS& s) { return FileTimeToLocalDate(s.ftLastUpdateTime, out); });
}
STDMETHODIMP ServerObject::get_MajorVersion(short* out) {
  return WithStatus(out, [&](const OPCSERVERSTATUS& s) {
    *out = static_cast<short>(s.wMajorVersion);
    return S_OK;
  });
}
STDMETHODIMP ServerObject::get_MinorVersion(short* out) {
  return WithStatus(out, [&](const OPCSERVERSTATUS& s) {
    *out = static_cast<short>(s.wMinorVersion);
    return S_OK;
  });
}
STDMETHODIMP ServerObject::get_BuildNumber(short* out) {
  return WithStatus(out, [&](const OPCSERVERSTATUS& s) {
    *out = static_cast<short>(s.wBuildNumber);
    return S_OK;
  });
}
STDMETHODIMP ServerObject::get_VendorInfo(BSTR* out) {
  if (out) *out = nullptr;
  return WithStatus(out, [&](const OPCSERVERSTATUS& s) {
    return common::Bstr(s.szVendorInfo ? s.szVendorInfo : L"").CopyTo(out);
  });
}
STDMETHODIMP ServerObject::get_ServerState(LONG* out) {
  return WithStatus(out, [&](const OPCSERVERSTATUS& s) {
    *out = static_cast<LONG>(s.dwServerState);
    return S_OK;
  });
}
STDMETHODIMP ServerObject::get_Bandwidth(LONG* out) {
  return WithStatus(out, [&](const OPCSERVERSTATUS& s) {
    *out = static_cast<LONG>(s.dwBandWidth);
    return S_OK;
  });
}

// ---- names and locale ------------------------------------------------------------------------

STDMETHODIMP ServerObject::get_ServerName(BSTR* out) {
  if (!out) return E_INVALIDARG;
  return serverName_.CopyTo(out);
}
STDMETHODIMP ServerObject::get_ServerNode(BSTR* out) {
  if (!out) return E_INVALIDARG;
  return serverNode_.CopyTo(out);
}
STDMETHODIMP ServerObject::get_ClientName(BSTR* out) {
  if (!out) return E_INVALIDARG;
  return clientName_.CopyTo(out);
}

STDMETHODIMP ServerObject::put_ClientName(BSTR name) {
  if (!common_) return E_NOINTERFACE;
  HRESULT hr = common_->SetClientName(NonNull(name));
  if (FAILED(hr)) return hr;
  return common::GuardHResult([&] { clientName_ = common::Bstr::Copy(name); });
}

STDMETHODIMP ServerObject::get_LocaleID(LONG* out) {
  if (!out) return E_INVALIDARG;
  if (!common_) return E_NOINTERFACE;
  LCID lcid = 0;
  HRESULT hr = common_->GetLocaleID(&lcid);
  if (FAILED(hr)) return hr;
  locale_ = lcid;
  *out = static_cast<LONG>(lcid);
  return S_OK;
}

STDMETHODIMP ServerObject::put_LocaleID(LONG localeId) {
  if (!common_) return E_NOINTERFACE;
  HRESULT hr = common_->SetLocaleID(static_cast<LCID>(localeId));
  if (FAILED(hr)) return hr;
  locale_ = static_cast<LCID>(localeId);
  return S_OK;
}

STDMETHODIMP ServerObject::QueryAvailableLocaleIDs(VARIANT* out) {
  if (!out) return E_INVALIDARG;
  VariantInit(out);
  if (!common_) return E_NOINTERFACE;
  DWORD count = 0;
  LCID* lcids = nullptr;
  HRESULT hr = common_->QueryAvailableLocaleIDs(&count, &lcids);
  if (FAILED(hr)) return hr;
  SAFEARRAY* array = nullptr;
  hr = common::GuardHResult([&]() -> HRESULT {
    std::vector<LONG> values(count);
    for (DWORD i = 0; i < count && lcids; ++i) values[i] = static_cast<LONG>(lcids[i]);
    return MakeLongArray(values, &array);
  });
  CoTaskMemFree(lcids);
  if (FAILED(hr)) return hr;
  ArrayToVariant(array, VT_I4, out);
  return S_OK;
}

// ---- objects of the connection ---------------------------------------------------------------

STDMETHODIMP ServerObject::get_OPCGroups(IOPCGroups** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  return QueryInterface(IID_IOPCGroups, reinterpret_cast<void**>(out));
}

STDMETHODIMP ServerObject::get_PublicGroupNames(VARIANT*) { return E_NOTIMPL; }

STDMETHODIMP ServerObject::GetOPCServers(VARIANT node, VARIANT* out) {
  if (!out) return E_INVALIDARG;
  VariantInit(out);
  std::optional<std::string> ansiNode;
  HRESULT hr = ReadNode(node, &ansiNode);
  if (FAILED(hr)) return hr;
  SAFEARRAY* list = nullptr;
  hr = serverList_.ListServers(ansiNode ? ansiNode->c_str() : nullptr, &list);
  if (FAILED(hr)) return hr;
  ArrayToVariant(list, VT_BSTR, out);
  return S_OK;
}

STDMETHODIMP ServerObject::CreateBrowser(OPCBrowser** out) {
  if (!server_) return E_FAIL;
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  return common::GuardHResult([&]() -> HRESULT {
    // One browser per connection: its position and filters are the client's browse state.
    if (!browser_) {
      auto browser = common::Make<BrowserObject>();
      HRESULT hr = browser->Initialise(server_.Get());
      if (FAILED(hr)) return hr;
      browser_ = browser;
    }
    return browser_->QueryInterface(IID_OPCBrowser, reinterpret_cast<void**>(out));
  });
}

// ---- errors ----------------------------------------------------------------------------------

namespace {

// The system message table's text for `code` in `language`; empty when it has none.
common::WString SystemMessage(DWORD code, DWORD language) {
  LPWSTR text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, language, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  common::WString result;
  if (n && text) {
    try {
      result = common::FromOle(text, n);
    } catch (...) {
      LocalFree(text);
      throw;
    }
  }
  if (text) LocalFree(text);
  return result;
}

}  // namespace

STDMETHODIMP ServerObject::GetErrorString(LONG errorCode, BSTR* out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (server_) {
    LPWSTR text = nullptr;
    HRESULT hr = server_->GetErrorString(static_cast<HRESULT>(errorCode), locale_, &text);
    if (FAILED(hr)) return hr;
    return TakeServerString(text, out);
  }
  return common::GuardHResult([&]() -> HRESULT {
    common::WString text = SystemMessage(static_cast<DWORD>(errorCode), LANGIDFROMLCID(locale_));
    if (text.empty()) return E_INVALIDARG;
    return common::Bstr(text).CopyTo(out);
  });
}

// ---- item properties -------------------------------------------------------------------------

STDMETHODIMP ServerObject::QueryAvailableProperties(BSTR itemId, LONG* count, SAFEARRAY** propertyIds,
                                                    SAFEARRAY** descriptions, SAFEARRAY** dataTypes) {
  if (!itemProperties_) return E_NOINTERFACE;
  if (!itemId || !count || !propertyIds || !descriptions || !dataTypes) return E_INVALIDARG;
  *count = 0;
  *propertyIds = *descriptions = *dataTypes = nullptr;

  DWORD n = 0;
  DWORD* ids = nullptr;
  LPWSTR* texts = nullptr;
  VARTYPE* types = nullptr;
  HRESULT hr = itemProperties_->QueryAvailableProperties(itemId, &n, &ids, &texts, &types);
  if (FAILED(hr)) return hr;

  common::SafeArray idArray, textArray, typeArray;
  HRESULT built = common::GuardHResult([&]() -> HRESULT {
    if (n && (!ids || !texts || !types)) return E_FAIL;  // a count without its arrays
    std::vector<LONG> idValues(n);
    std::vector<LPCWSTR> textValues(n);
    std::vector<SHORT> typeValues(n);
    for (DWORD i = 0; i < n; ++i) {
      idValues[i] = static_cast<LONG>(ids[i]);
      textValues[i] = texts[i];
      typeValues[i] = static_cast<SHORT>(types[i]);
    }
    HRESULT r = MakeLongArray(idValues, idArray.ReleaseAndGetAddressOf());
    if (SUCCEEDED(r)) r = MakeStringArray(textValues, textArray.ReleaseAndGetAddressOf());
    if (SUCCEEDED(r)) r = MakeShortArray(typeValues, typeArray.ReleaseAndGetAddressOf());
    return r;
  });
  for (DWORD i = 0; i < n && texts; ++i) CoTaskMemFree(texts[i]);
  CoTaskMemFree(ids);
  CoTaskMemFree(texts);
  CoTaskMemFree(types);
  if (FAILED(built)) return built;  // the arrays already built go with their owners
  *count = static_cast<LONG>(n);
  *propertyIds = idArray.Detach();
  *descriptions = textArray.Detach();
  *dataTypes = typeArray.Detach();
  return hr;  // the server's own success code (S_FALSE and the like)
}

namespace {

// What GetItemProperties and LookupItemIDs share: the property ids of a 1-based input array.
HRESULT ReadPropertyIds(SAFEARRAY** propertyIds, LONG count, std::vector<DWORD>* out) noexcept {
  std::vector<LONG> ids;
  HRESULT hr = ReadLongArray(*propertyIds, count, &ids);
  if (FAILED(hr)) return hr;
  return common::GuardHResult([&] { out->assign(ids.begin(), ids.end()); });
}

}  // namespace

STDMETHODIMP ServerObject::GetItemProperties(BSTR itemId, LONG count, SAFEARRAY** propertyIds,
                                             SAFEARRAY** propertyValues, SAFEARRAY** errors) {
  if (!itemProperties_) return E_NOINTERFACE;
  if (!itemId || !propertyIds || !*propertyIds || !propertyValues || !errors) return E_INVALIDARG;
  *propertyValues = *errors = nullptr;
  std::vector<DWORD> ids;
  HRESULT hr = ReadPropertyIds(propertyIds, count, &ids);
  if (FAILED(hr)) return hr;

  VARIANT* values = nullptr;
  HRESULT* results = nullptr;
  hr = itemProperties_->GetItemProperties(itemId, static_cast<DWORD>(count), ids.data(), &values, &results);
  if (FAILED(hr)) return hr;

  common::SafeArray valueArray, errorArray;
  HRESULT built = common::GuardHResult([&]() -> HRESULT {
    if (count && (!values || !results)) return E_FAIL;
    std::vector<LONG> codes(results, results + count);
    HRESULT r = MakeVariantArray(std::span<const VARIANT>(values, static_cast<size_t>(count)),
                                 valueArray.ReleaseAndGetAddressOf());
    if (SUCCEEDED(r)) r = MakeLongArray(codes, errorArray.ReleaseAndGetAddressOf());
    return r;
  });
  for (LONG i = 0; i < count && values; ++i) VariantClear(&values[i]);
  CoTaskMemFree(values);
  CoTaskMemFree(results);
  if (FAILED(built)) return built;
  *propertyValues = valueArray.Detach();
  *errors = errorArray.Detach();
  return hr;
}

STDMETHODIMP ServerObject::LookupItemIDs(BSTR itemId, LONG count, SAFEARRAY** propertyIds,
                                         SAFEARRAY** newItemIds, SAFEARRAY** errors) {
  if (!itemProperties_) return E_NOINTERFACE;
  if (!itemId || !propertyIds || !*propertyIds || !newItemIds || !errors) return E_INVALIDARG;
  *newItemIds = *errors = nullptr;
  std::vector<DWORD> ids;
  HRESULT hr = ReadPropertyIds(propertyIds, count, &ids);
  if (FAILED(hr)) return hr;

  LPWSTR* names = nullptr;
  HRESULT* results = nullptr;
  hr = itemProperties_->LookupItemIDs(itemId, static_cast<DWORD>(count), ids.data(), &names, &results);
  if (FAILED(hr)) return hr;

  common::SafeArray nameArray, errorArray;
  HRESULT built = common::GuardHResult([&]() -> HRESULT {
    if (count && (!names || !results)) return E_FAIL;
    std::vector<LPCWSTR> texts(names, names + count);
    std::vector<LONG> codes(results, results + count);
    HRESULT r = MakeStringArray(texts, nameArray.ReleaseAndGetAddressOf());
    if (SUCCEEDED(r)) r = MakeLongArray(codes, errorArray.ReleaseAndGetAddressOf());
    return r;
  });
  for (LONG i = 0; i < count && names; ++i) CoTaskMemFree(names[i]);
  CoTaskMemFree(names);
  CoTaskMemFree(results);
  if (FAILED(built)) return built;
  *newItemIds = nameArray.Detach();
  *errors = errorArray.Detach();
  return hr;
}

}  // namespace veltrane
