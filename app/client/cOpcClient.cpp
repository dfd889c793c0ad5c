#include "cOpcClient.h"

#include <ocidl.h>

#include <algorithm>

#include "ClientValues.h"
#include "ConfigRules.h"
#include "common/Bstr.h"
#include "common/Dispatch.h"
#include "common/SafeArray.h"
#include "common/Strings.h"

using common::Bstr;
using common::ComPtr;
using common::SafeArray;
using common::Variant;

namespace {

constexpr long kQualityMask = 0xC0;  // both bits clear: bad
constexpr HRESULT kRepeatedItemId = E_INVALIDARG;
constexpr HRESULT kNoGroup = E_POINTER;

// A failed call carries its HRESULT out of a step, so one handler reports the step's failure.
struct CallFailed {
  HRESULT hr;
};
void Check(HRESULT hr) {
  if (FAILED(hr)) throw CallFailed{hr};
}

// The array of a VARIANT holding one, by value or by reference.
SAFEARRAY* ArrayOf(const VARIANT& v) {
  if (!(V_VT(&v) & VT_ARRAY)) return nullptr;
  if (V_VT(&v) & VT_BYREF) return V_ARRAYREF(&v) ? *V_ARRAYREF(&v) : nullptr;
  return V_ARRAY(&v);
}

// Element i (from the array's own lower bound) of a one-dimensional array, as a VARIANT.
bool ElementAt(SAFEARRAY* sa, LONG i, VARIANT* out) {
  VARTYPE vt = VT_EMPTY;
  LONG lo = 0;
  if (!sa || SafeArrayGetDim(sa) != 1 || FAILED(SafeArrayGetVartype(sa, &vt)) ||
      FAILED(SafeArrayGetLBound(sa, 1, &lo)))
    return false;
  LONG at = lo + i;
  VariantInit(out);
  if (vt == VT_VARIANT) return SUCCEEDED(SafeArrayGetElement(sa, &at, out));
  if (vt == VT_I4 || vt == VT_INT || vt == VT_UI4) {
    LONG x = 0;
    if (FAILED(SafeArrayGetElement(sa, &at, &x))) return false;
    V_VT(out) = VT_I4;
    V_I4(out) = x;
    return true;
  }
  if (vt == VT_I2 || vt == VT_UI2) {
    // Qualities of a read come as 16-bit integers: taken as the unsigned word they are.
    USHORT x = 0;
    if (FAILED(SafeArrayGetElement(sa, &at, &x))) return false;
    V_VT(out) = VT_I4;
    V_I4(out) = x;
    return true;
  }
  return false;
}

LONG Count(SAFEARRAY* sa) {
  return sa && SafeArrayGetDim(sa) == 1 ? static_cast<LONG>(sa->rgsabound[0].cElements) : 0;
}

long LongOf(const VARIANT& v) {
  Variant c;
  if (FAILED(VariantChangeType(c.Ptr(), const_cast<VARIANT*>(&v), 0, VT_I4))) return 0;
  return V_I4(c.Ptr());
}

SafeArray LongArray(const std::vector<long>& values) {
  SafeArray a;
  Check(a.Create(VT_I4, static_cast<ULONG>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    LONG x = values[i];
    Check(a.Put(static_cast<LONG>(i + 1), x));
  }
  return a;
}

}  // namespace

cOpcClient::cOpcClient(ClientContext context) : ctx_(std::move(context)) {}

cOpcClient::~cOpcClient() {
  RemoveItems();
  RemoveGroup();
  DisconnectServer();
  tags_.Clear();
}

void cOpcClient::SetServerAlias(const std::string& alias) {
  serverAlias_ = alias;
  if (alias.empty()) return;
  const std::string file = ctx_.programFolder + "\\ServerAlias.ini";
  char server[256] = {}, node[256] = {};
  GetPrivateProfileStringA(alias.c_str(), "Server", "", server, sizeof server, file.c_str());
  GetPrivateProfileStringA(alias.c_str(), "Node", "localhost", node, sizeof node, file.c_str());
  if (!*server) serverAlias_.clear();
  Server = server;
  Node = node;
}

void cOpcClient::SetUpdateRateSec(long seconds) {
  updateRateSec_ = std::clamp(seconds, 1L, 3600L);
}

void cOpcClient::SetDeadbandPercentage(float percent) {
  if (percent >= 0.0f && percent < 100.0f) deadband_ = percent;
}

void cOpcClient::LogClientError(const std::string& context, long number) {
  status_ = ClientErrorText(number, context);
  if (ctx_.log) ctx_.log(status_);
}

HRESULT cOpcClient::Advise(IUnknown* source, REFIID events, IDispatch* sink, Sink& into) {
  ComPtr<IConnectionPointContainer> container;
  HRESULT hr = source->QueryInterface(IID_IConnectionPointContainer, container.PutVoid());
  if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(events, into.point.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = into.point->Advise(sink, &into.cookie);
  if (FAILED(hr)) into = Sink{};
  return hr;
}

void cOpcClient::Unadvise(Sink& sink) {
  if (sink.point && sink.cookie) sink.point->Unadvise(sink.cookie);
  sink = Sink{};
}

bool cOpcClient::Connect() {
  if (Server.empty()) return false;
  try {
    Check(ctx_.createServer ? ctx_.createServer(server_.ReleaseAndGetAddressOf()) : E_NOINTERFACE);
    auto sink = common::Make<common::DispatchSink>(
        DIID_DIOPCServerEvent,
        [this](DISPID id, WORD, std::span<VARIANT* const> args, VARIANT*) -> HRESULT {
          if (id == 1 && args.size() >= 1 && V_VT(args[0]) == VT_BSTR && ServerShutdown)
            ServerShutdown(common::WideToAnsi(common::FromOle(V_BSTR(args[0]))));
          return S_OK;
        });
    Check(Advise(server_.Get(), DIID_DIOPCServerEvent, sink.Get(), serverSink_));
    Bstr progId = Bstr::FromAnsi(Server);
    if (config::Lower(Node) == "localhost" || Node.empty())
      Check(server_->Connect(progId.Get(), Variant::Missing()));
    else
      Check(server_->Connect(progId.Get(), Variant(common::AnsiToWide(Node))));
  } catch (const CallFailed& f) {
    LogClientError("Error connecting to " + Server + (Node.empty() ? "" : " on " + Node), f.hr);
    Unadvise(serverSink_);
    server_.Reset();
    return false;
  }
  AddGroup();
  status_ = "Connected";
  return true;
}

void cOpcClient::AddGroup() {
  try {
    Check(server_->get_OPCGroups(groups_.ReleaseAndGetAddressOf()));
    Check(groups_->put_DefaultGroupIsActive(VARIANT_TRUE));
    Check(groups_->put_DefaultGroupDeadband(deadband_));
    Check(groups_->Add(Variant(common::AnsiToWide(groupName_)), group_.ReleaseAndGetAddressOf()));
    auto sink = common::Make<common::DispatchSink>(
        DIID_DIOPCGroupEvent,
        [this](DISPID id, WORD, std::span<VARIANT* const> args, VARIANT*) -> HRESULT {
          // DataChange(TransactionID, NumItems, ClientHandles, ItemValues, Qualities, TimeStamps)
          if (id == 1 && args.size() >= 5) OnDataChange(LongOf(*args[1]), *args[2], *args[3], *args[4]);
          return S_OK;
        });
    Check(Advise(group_.Get(), DIID_DIOPCGroupEvent, sink.Get(), groupSink_));
    Check(group_->put_UpdateRate(updateRateSec_ * 1000));
    Check(group_->put_IsSubscribed(VARIANT_TRUE));
    status_ = "Group Added";
  } catch (const CallFailed& f) {
    LogClientError("Add Group", f.hr);
  }
}

void cOpcClient::AddOPCItems(const std::vector<std::string>& strItems,
                             const std::vector<std::string>& strCells,
                             const std::vector<bool>& bWrite) {
  const long n = static_cast<long>(strItems.size());
  numItems_ = n;
  itemIds_.assign(n + 1, std::string());
  clientHandles_.assign(n + 1, 0);
  srvHandles_.assign(n + 1, 0);
  addErrors_.assign(n + 1, 0);
  qualityCache_.assign(n + 1, 0);
  dataTypes_.assign(n + 1, 0);
  valueCache_.assign(n + 1, Variant());
  itemStateTexts_.assign(n + 1, std::string());
  cells_.assign(n + 1, std::string());
  writeFlags_.assign(n + 1, false);
  tags_.Clear();
  try {
    for (long i = 0; i < n; ++i) {
      itemIds_[i + 1] = strItems[i];
      clientHandles_[i + 1] = i + 1;
      auto tag = std::make_shared<ClientTag>();
      tag->Index = i + 1;
      tag->TagName = strItems[i];
      tag->Cell = i < static_cast<long>(strCells.size()) ? strCells[i] : std::string();
      if (!tags_.Add(strItems[i], tag)) throw CallFailed{kRepeatedItemId};
      cells_[i + 1] = tag->Cell;
      writeFlags_[i + 1] = i < static_cast<long>(bWrite.size()) && bWrite[i];
    }
    if (!group_) throw CallFailed{kNoGroup};
    Check(group_->get_OPCItems(items_.ReleaseAndGetAddressOf()));
    Check(items_->put_DefaultIsActive(VARIANT_TRUE));

    SafeArray ids, handles;
    Check(ids.Create(VT_BSTR, static_cast<ULONG>(n)));
    for (long i = 1; i <= n; ++i) {
      Bstr id = Bstr::FromAnsi(itemIds_[i]);
      Check(ids.Put(i, id.Get()));
    }
    handles = LongArray(std::vector<long>(clientHandles_.begin() + 1, clientHandles_.end()));
    SAFEARRAY* srv = nullptr;
    SAFEARRAY* errs = nullptr;
    SAFEARRAY* idsPtr = ids.Get();
    SAFEARRAY* handlesPtr = handles.Get();
    HRESULT hr = items_->AddItems(n, &idsPtr, &handlesPtr, &srv, &errs, Variant::Missing(),
                                  Variant::Missing());
    SafeArray srvOwned, errsOwned;
    srvOwned.Attach(srv);
    errsOwned.Attach(errs);
    Check(hr);
    for (long i = 1; i <= n; ++i) {
      LONG s = 0, e = 0;
      srvOwned.GetElement(i, &s);
      errsOwned.GetElement(i, &e);
      srvHandles_[i] = s;
      addErrors_[i] = e;
    }
    for (long i = 1; i <= n; ++i) {
      if (addErrors_[i] != 0) {
        valueCache_[i] = Variant::Null();
        qualityCache_[i] = 0;
        itemStateTexts_[i] = HexCode(addErrors_[i]);
        srvHandles_[i] = 0;  // the server gave no item; nothing to write or remove
        if (ctx_.log)
          ctx_.log("OPC Client: Error " + HexCode(addErrors_[i]) + " adding tag " + itemIds_[i]);
        if (ctx_.countError) ctx_.countError();
        continue;
      }
      // By server handle, not by position: the collection holds only the items that were added.
      ComPtr<OPCItem> item;
      Check(items_->GetOPCItem(srvHandles_[i], item.GetAddressOf()));
      SHORT type = 0;
      Check(item->get_CanonicalDataType(&type));
      dataTypes_[i] = type;
      // Cells that feed the server get no data changes from it.
      if (writeFlags_[i]) Check(item->put_IsActive(VARIANT_FALSE));
    }
    status_ = "Items Added";
  } catch (const CallFailed& f) {
    LogClientError("Error adding OPC Items", f.hr);
    if (ctx_.countError) ctx_.countError();
    return;
  }
  SyncReadAll();
}

// One read of every added read item from the device, so the cells show the server's values at
// start-up rather than after its first update. Write items are left out: their cells are the
// source.
void cOpcClient::SyncReadAll() {
  std::vector<long> handles, indexes;
  for (long i = 1; i <= numItems_; ++i)
    if (srvHandles_[i] != 0 && !writeFlags_[i]) {
      handles.push_back(srvHandles_[i]);
      indexes.push_back(i);
    }
  if (handles.empty() || !group_) return;
  try {
    SafeArray h = LongArray(handles);
    SAFEARRAY* hp = h.Get();
    SAFEARRAY* values = nullptr;
    SAFEARRAY* errors = nullptr;
    Variant qualities, stamps;
    HRESULT hr = group_->SyncRead(kDataSourceDevice, static_cast<LONG>(handles.size()), &hp,
                                  &values, &errors, qualities.Ptr(), stamps.Ptr());
    SafeArray v, e;
    v.Attach(values);
    e.Attach(errors);
    Check(hr);
    SAFEARRAY* q = ArrayOf(qualities);
    std::vector<CellWrite> cells;
    std::vector<Variant> held(handles.size());
    for (std::size_t k = 0; k < handles.size(); ++k) {
      LONG at = static_cast<LONG>(k + 1), err = 0;
      e.GetElement(at, &err);
      if (FAILED(err)) continue;
      Variant quality;
      if (!ElementAt(q, static_cast<LONG>(k), quality.Ptr())) continue;
      v.GetVariant(at, &held[k]);
      Store(indexes[k], held[k], LongOf(quality), cells);
    }
    if (sheet_ && !cells.empty()) sheet_->SetValues(cells);
    status_ = "OPC Sync Read All OK";
  } catch (const CallFailed& f) {
    LogClientError("OPC Sync Read All", f.hr);
  }
}

void cOpcClient::Store(long h, const VARIANT& value, long quality,
                       std::vector<CellWrite>& cells) {
  qualityCache_[h] = quality;
  if ((quality & kQualityMask) == 0) {
    // Bad: the cell keeps its last good value.
    valueCache_[h] = Variant::Null();
    itemStateTexts_[h] = "Bad";
    return;
  }
  valueCache_[h] = Variant(value);
  itemStateTexts_[h] = "Good";
  if (sheet_ && !cells_[h].empty()) cells.push_back({cells_[h], valueCache_[h].Ptr()});
}

void cOpcClient::OnDataChange(long numItems, const VARIANT& clientHandles, const VARIANT& values,
                              const VARIANT& qualities) {
  // Every entry counts, however many there are; entries beyond the arrays the server sent are
  // not invented.
  SAFEARRAY* h = ArrayOf(clientHandles);
  SAFEARRAY* v = ArrayOf(values);
  SAFEARRAY* q = ArrayOf(qualities);
  LONG n = std::min({static_cast<LONG>(std::max(numItems, 0L)), Count(h), Count(v), Count(q)});
  std::vector<CellWrite> cells;
  cells.reserve(static_cast<std::size_t>(n));
  for (LONG i = 0; i < n; ++i) {
    Variant handle, value, quality;
    if (!ElementAt(h, i, handle.Ptr()) || !ElementAt(v, i, value.Ptr()) ||
        !ElementAt(q, i, quality.Ptr()))
      continue;
    long at = LongOf(handle);
    if (at < 1 || at > numItems_) continue;  // not one of ours
    Store(at, value, LongOf(quality), cells);
  }
  if (sheet_ && !cells.empty()) sheet_->SetValues(cells);
}

long cOpcClient::IndexOf(const std::string& tag) const {
  std::shared_ptr<ClientTag> t = tags_.Find(tag);
  return t ? t->Index : 0;
}

Variant cOpcClient::ItemByTag(const std::string& strTagName) const {
  long i = IndexOf(strTagName);
  return i ? valueCache_[i] : Variant(kNotFound);
}

Variant cOpcClient::ItemValue(long nIndex) const {
  if (nIndex < 0 || nIndex >= numItems_) return Variant(kNotFound);
  return valueCache_[nIndex + 1];
}

void cOpcClient::SetItemByTag(const std::string& strTagName, const VARIANT& value) {
  if (long i = IndexOf(strTagName)) WriteIndex(i, value);
}

void cOpcClient::SetItemValue(long nIndex, const VARIANT& value) {
  if (nIndex >= 0 && nIndex < numItems_) WriteIndex(nIndex + 1, value);
}

void cOpcClient::WriteIndex(long i, const VARIANT& value) {
  // In the item's own type, so a set point arrives exactly as the cell holds it; a single
  // only when the server never said which type the item has.
  VARTYPE type = dataTypes_[i] ? static_cast<VARTYPE>(dataTypes_[i]) : VT_R4;
  Variant converted;
  if (FAILED(VariantChangeTypeEx(converted.Ptr(), const_cast<VARIANT*>(&value),
                                 LOCALE_USER_DEFAULT, 0, type)))
    return;  // not convertible: nothing is written
  AsyncWriteItem(i, converted);
}

void cOpcClient::AsyncWriteItem(long i, const VARIANT& value) {
  try {
    if (!group_) throw CallFailed{kNoGroup};
    SafeArray handles = LongArray({srvHandles_[i]});
    SafeArray values;
    Check(values.Create(VT_VARIANT, 1));
    Check(values.PutVariant(1, value));
    SAFEARRAY* hp = handles.Get();
    SAFEARRAY* vp = values.Get();
    SAFEARRAY* errors = nullptr;
    LONG cancel = 0;
    HRESULT hr = group_->AsyncWrite(1, &hp, &vp, &errors, 0, &cancel);
    SafeArray e;
    e.Attach(errors);
    Check(hr);
    // A write the server refused for this item is a failed write, not an OK one.
    LONG itemError = 0;
    if (SUCCEEDED(e.GetElement(1, &itemError))) Check(itemError);
    status_ = "OPC Async Write OK";
  } catch (const CallFailed& f) {
    LogClientError("OPC Async Write", f.hr);
  }
}

long cOpcClient::ItemQuality(long nIndex) const {
  return nIndex >= 0 && nIndex < numItems_ ? qualityCache_[nIndex + 1] : 0;
}
long cOpcClient::QualityByTag(const std::string& strTagName) const {
  long i = IndexOf(strTagName);
  return i ? qualityCache_[i] : 0;
}
long cOpcClient::DataTypeByTag(const std::string& strTagName) const {
  long i = IndexOf(strTagName);
  return i ? dataTypes_[i] : 0;
}
std::string cOpcClient::CellByTag(const std::string& strTagName) const {
  long i = IndexOf(strTagName);
  return i ? cells_[i] : std::string();
}
std::string cOpcClient::CellByIndex(long nIndex) const {
  return nIndex >= 0 && nIndex < numItems_ ? cells_[nIndex + 1] : std::string();
}
std::string cOpcClient::ItemStateText(long nIndex) const {
  return nIndex >= 0 && nIndex < numItems_ ? itemStateTexts_[nIndex + 1] : std::string();
}

void cOpcClient::DisableGroup() {
  if (group_) group_->put_IsActive(VARIANT_FALSE);
}

void cOpcClient::Disconnect() {
  DisableGroup();
  RemoveItems();
  RemoveGroup();
  DisconnectServer();
}

void cOpcClient::RemoveItems() {
  if (!items_) return;
  try {
    std::vector<long> handles;
    for (long i = 1; i <= numItems_; ++i)
      if (srvHandles_[i] != 0) handles.push_back(srvHandles_[i]);
    std::fill(srvHandles_.begin(), srvHandles_.end(), 0);
    ComPtr<OPCItems> items = std::move(items_);
    items_.Reset();
    if (!handles.empty()) {
      SafeArray h = LongArray(handles);
      SAFEARRAY* hp = h.Get();
      SAFEARRAY* errors = nullptr;
      HRESULT hr = items->Remove(static_cast<LONG>(handles.size()), &hp, &errors);
      if (errors) SafeArrayDestroy(errors);
      Check(hr);
    }
    status_ = "Items Removed";
  } catch (const CallFailed& f) {
    LogClientError("OPC Remove Items", f.hr);
  }
}

void cOpcClient::RemoveGroup() {
  if (!groups_) return;
  ComPtr<IOPCGroups> groups = std::move(groups_);
  groups_.Reset();
  Unadvise(groupSink_);
  group_.Reset();
  HRESULT hr = groups->Remove(Variant(common::AnsiToWide(groupName_)));
  if (FAILED(hr)) {
    LogClientError("Remove Group", hr);
    return;
  }
  status_ = "Group Removed";
}

void cOpcClient::DisconnectServer() {
  if (!server_) return;
  ComPtr<IOPCAutoServer> server = std::move(server_);
  server_.Reset();
  Unadvise(serverSink_);
  HRESULT hr = server->Disconnect();
  if (FAILED(hr)) {
    LogClientError("Disconnect", hr);
    return;
  }
  status_ = "Disconnected";
}

Variant cOpcClient::OPCServerList() {
  ComPtr<IOPCAutoServer> listServer;  // ListServer: only for this call
  Variant list;
  HRESULT hr = ctx_.createServer ? ctx_.createServer(listServer.ReleaseAndGetAddressOf())
                                 : E_NOINTERFACE;
  if (SUCCEEDED(hr)) hr = listServer->GetOPCServers(Variant::Missing(), list.Ptr());
  if (FAILED(hr)) {
    LogClientError("Get OPC Server List", hr);
    return Variant();
  }
  status_ = "OK";
  return list;
}

ComPtr<OPCBrowser> cOpcClient::OpcBrowserObject() {
  ComPtr<OPCBrowser> browser;
  if (server_) server_->CreateBrowser(browser.GetAddressOf());
  return browser;
}

void cOpcClient::CreateBrowser(ComPtr<OPCBrowser>& browser) {
  if (!browser) browser = OpcBrowserObject();
}

std::string cOpcClient::ValidateItem(const std::string& itemId, long requestedType) {
  if (!server_ || !groups_) return "Not connected to an OPC server: the item cannot be tested";
  ComPtr<IOPCGroup> scratch;
  const char* step = "OPCGroups.Add";
  LONG errorCode = 0;
  HRESULT failed = S_OK;
  try {
    Check(groups_->Add(Variant::Missing(), scratch.GetAddressOf()));
    step = "OPCItems";
    ComPtr<OPCItems> items;
    Check(scratch->get_OPCItems(items.GetAddressOf()));
    SafeArray ids;
    Check(ids.Create(VT_BSTR, 1));
    Bstr id = Bstr::FromAnsi(itemId);
    Check(ids.Put(1, id.Get()));
    Variant types = Variant::Missing();
    if (requestedType != 0) {
      SafeArray typeArray;
      Check(typeArray.Create(VT_I2, 1));
      SHORT t = static_cast<SHORT>(requestedType);
      Check(typeArray.Put(1, t));
      types = Variant();
      V_VT(types.Ptr()) = VT_ARRAY | VT_I2;
      V_ARRAY(types.Ptr()) = typeArray.Detach();
    }
    step = "OPCItems.Validate";
    SAFEARRAY* idsPtr = ids.Get();
    SAFEARRAY* errs = nullptr;
    HRESULT hr = items->Validate(1, &idsPtr, &errs, types, Variant::Missing());
    SafeArray errsOwned;
    errsOwned.Attach(errs);
    Check(hr);
    Check(errsOwned.GetElement(1, &errorCode));
  } catch (const CallFailed& f) {
    failed = f.hr;
  }
  LONG handle = 0;
  if (scratch && SUCCEEDED(scratch->get_ServerHandle(&handle)))
    groups_->Remove(Variant(static_cast<int>(handle)));
  if (FAILED(failed))
    return "The item could not be tested: " + std::string(step) + " failed (" + HexCode(failed) +
           ")";
  if (errorCode == 0) return "Valid: the server knows " + itemId;
  BSTR message = nullptr;
  std::string reason;
  if (SUCCEEDED(server_->GetErrorString(errorCode, &message)) && message)
    reason = common::WideToAnsi(common::FromOle(message));
  SysFreeString(message);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  return "Not valid (" + HexCode(errorCode) + ")" + (reason.empty() ? "" : ": " + reason);
}
