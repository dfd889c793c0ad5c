// OPCItems and OPCItem in this process, against a fake outside server whose groups manage
// items: the exact definitions and handles that reach IOPCItemMgt and IOPCSyncIO, the argument
// rules that stop a call before the server, per-item errors, and detached items. Early bound,
// through the vtable, as compiled clients call.
#include <gtest/gtest.h>

#include "Arguments.h"
#include "FakeItemMgt.h"
#include "FakeOpcServer.h"
#include "GroupObject.h"
#include "ServerObject.h"

#include <string>
#include <vector>

using common::Bstr;
using common::ComPtr;
using common::Variant;

namespace {

const wchar_t kClsid[] = L"{6A0E2F11-3C4D-4E5F-9081-726354453627}";

// Owned 1-based input arrays, as a compiled caller builds them.
struct Array {
  SAFEARRAY* sa = nullptr;
  Array() = default;
  explicit Array(SAFEARRAY* s) : sa(s) {}
  Array(Array&& o) noexcept : sa(o.sa) { o.sa = nullptr; }
  Array& operator=(Array&& o) noexcept {
    std::swap(sa, o.sa);
    return *this;
  }
  ~Array() {
    if (sa) SafeArrayDestroy(sa);
  }
  SAFEARRAY** operator&() { return &sa; }
};
Array Longs(std::vector<LONG> v) {
  Array a;
  EXPECT_EQ(S_OK, veltrane::MakeLongArray(v, &a.sa));
  return a;
}
Array Shorts(std::vector<SHORT> v) {
  Array a;
  EXPECT_EQ(S_OK, veltrane::MakeShortArray(v, &a.sa));
  return a;
}
Array Strings(std::vector<LPCWSTR> v) {
  Array a;
  EXPECT_EQ(S_OK, veltrane::MakeStringArray(v, &a.sa));
  return a;
}
std::vector<LONG> Read(SAFEARRAY* sa) {
  std::vector<LONG> v;
  LONG lo = 0, hi = -1;
  EXPECT_EQ(1u, SafeArrayGetDim(sa));
  SafeArrayGetLBound(sa, 1, &lo);
  SafeArrayGetUBound(sa, 1, &hi);
  EXPECT_EQ(1, lo);
  for (LONG i = lo; i <= hi; ++i) {
    LONG x = 0;
    SafeArrayGetElement(sa, &i, &x);
    v.push_back(x);
  }
  return v;
}
Variant ArrayArg(Array& a, VARTYPE vt) {
  Variant v;
  V_VT(&v) = VT_ARRAY | vt;
  V_ARRAY(&v) = a.sa;
  a.sa = nullptr;
  return v;
}

FILETIME Utc(WORD h, WORD m, WORD s, WORD ms) {
  SYSTEMTIME st{2024, 3, 5, 1, h, m, s, ms};
  FILETIME ft{};
  SystemTimeToFileTime(&st, &ft);
  return ft;
}

class ItemsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    fake_ = common::Make<fakeitems::Server>();
    auto& c = fake_->catalogue;
    c[L"Tank.Level"] = {VT_R8, OPC_READABLE | OPC_WRITEABLE, Variant(12.5), OPC_QUALITY_GOOD, Utc(12, 0, 0, 250)};
    c[L"Tank.Count"] = {VT_UI2, OPC_READABLE, Variant(static_cast<unsigned short>(65535)), 0x40, Utc(12, 0, 1, 0)};
    c[L"Tank.Total"] = {VT_UI4, OPC_READABLE, Variant(4294967295u), OPC_QUALITY_GOOD, Utc(12, 0, 2, 0)};
    nodes_.server = fake_->Unknown();
    veltrane::SetNodeServices(&nodes_);
    ASSERT_EQ(S_OK, veltrane::CreateServerObject(IID_IOPCAutoServer, server_.PutVoid()));
    auto enhancement = server_.Query<IKestrovEnhancement>();
    ASSERT_EQ(S_OK, enhancement->ConnectViaCLSID(Bstr(kClsid).Get(), Variant::Missing()));
    ASSERT_EQ(S_OK, server_->get_OPCGroups(groups_.GetAddressOf()));
    ASSERT_EQ(S_OK, groups_->Add(Variant(L"g"), group_.GetAddressOf()));
    ASSERT_EQ(S_OK, group_->get_OPCItems(items_.GetAddressOf()));
    ASSERT_EQ(1u, fake_->groups.size());
    g_ = fake_->groups[0].Get();
  }
  void TearDown() override {
    items_.Reset();
    group_.Reset();
    groups_.Reset();
    if (server_) server_->Disconnect();
    server_.Reset();
    veltrane::SetNodeServices(nullptr);
    nodes_.server.Reset();
    fake_.Reset();
    CoUninitialize();
  }

  ComPtr<OPCItem> Add(const wchar_t* id, LONG client = 5) {
    ComPtr<OPCItem> item;
    EXPECT_EQ(S_OK, items_->AddItem(Bstr(id).Get(), client, item.GetAddressOf()));
    return item;
  }
  static LONG HandleOf(OPCItem* item) {
    LONG h = 0;
    EXPECT_EQ(S_OK, item->get_ServerHandle(&h));
    return h;
  }
  // AddItems of the given IDs with client handles 101, 102, ...; returns the handles.
  std::vector<LONG> AddMany(std::vector<LPCWSTR> ids, std::vector<LONG>* errors = nullptr) {
    std::vector<LONG> clients;
    for (size_t i = 0; i < ids.size(); ++i) clients.push_back(101 + static_cast<LONG>(i));
    Array idArray = Strings(ids), clientArray = Longs(clients), handles, errs;
    EXPECT_EQ(S_OK, items_->AddItems(static_cast<LONG>(ids.size()), &idArray, &clientArray, &handles,
                                     &errs, Variant::Missing(), Variant::Missing()));
    if (errors) *errors = Read(errs.sa);
    return Read(handles.sa);
  }
  veltrane::GroupObject* GroupImpl() {
    return static_cast<veltrane::GroupObject*>(static_cast<veltrane::Dispatch<IOPCGroup>*>(group_.Get()));
  }

  fake::NodeServices nodes_;
  ComPtr<fakeitems::Server> fake_;
  fakeitems::Group* g_ = nullptr;
  ComPtr<IOPCAutoServer> server_;
  ComPtr<IOPCGroups> groups_;
  ComPtr<IOPCGroup> group_;
  ComPtr<OPCItems> items_;
};

// ----------------------------------------------------------------- defaults and AddItem

TEST_F(ItemsTest, DefaultsAreKeptWithoutServerCallsAndShapeAddItem) {
  SHORT type = -1;
  Bstr path;
  VARIANT_BOOL active = 0;
  ASSERT_EQ(S_OK, items_->get_DefaultRequestedDataType(&type));
  ASSERT_EQ(S_OK, items_->get_DefaultAccessPath(path.ReleaseAndGetAddressOf()));
  ASSERT_EQ(S_OK, items_->get_DefaultIsActive(&active));
  EXPECT_EQ(VT_EMPTY, type);
  EXPECT_EQ(Bstr(L""), path);
  EXPECT_EQ(VARIANT_TRUE, active);
  EXPECT_EQ(E_INVALIDARG, items_->get_DefaultAccessPath(nullptr));
  EXPECT_EQ(E_INVALIDARG, items_->get_Count(nullptr));

  // Active by default: added inactive with the default path and type, then activated alone.
  ASSERT_EQ(S_OK, items_->put_DefaultAccessPath(Bstr(L"plc1").Get()));
  ASSERT_EQ(S_OK, items_->put_DefaultRequestedDataType(VT_R4));
  auto item = Add(L"Tank.Level", 77);
  ASSERT_TRUE(item);
  ASSERT_EQ(1u, g_->addCalls.size());
  const auto& def = g_->addCalls[0][0];
  EXPECT_EQ(L"Tank.Level", def.id);
  EXPECT_EQ(L"plc1", def.path);
  EXPECT_EQ(FALSE, def.active);
  EXPECT_EQ(VT_R4, def.type);
  EXPECT_EQ(0u, def.blobSize);
  EXPECT_EQ(static_cast<OPCHANDLE>(HandleOf(item.Get())), def.client) << "hClient is the item handle";
  ASSERT_EQ(1u, g_->activeCalls.size());
  EXPECT_EQ(std::vector<OPCHANDLE>{7001}, g_->activeCalls[0].handles);
  EXPECT_EQ(TRUE, g_->activeCalls[0].active);

  LONG client = 0, rights = 0;
  SHORT canonical = 0, requested = 0;
  Bstr id, itemPath;
  EXPECT_EQ(S_OK, item->get_ClientHandle(&client));
  EXPECT_EQ(S_OK, item->get_AccessRights(&rights));
  EXPECT_EQ(S_OK, item->get_CanonicalDataType(&canonical));
  EXPECT_EQ(S_OK, item->get_RequestedDataType(&requested));
  EXPECT_EQ(S_OK, item->get_ItemID(id.ReleaseAndGetAddressOf()));
  EXPECT_EQ(S_OK, item->get_AccessPath(itemPath.ReleaseAndGetAddressOf()));
  EXPECT_EQ(S_OK, item->get_IsActive(&active));
  EXPECT_EQ(77, client);
  EXPECT_EQ(OPC_READABLE | OPC_WRITEABLE, rights);
  EXPECT_EQ(VT_R8, canonical);
  EXPECT_EQ(VT_R4, requested);
  EXPECT_EQ(Bstr(L"Tank.Level"), id);
  EXPECT_EQ(Bstr(L"plc1"), itemPath);
  EXPECT_EQ(VARIANT_TRUE, active);
  DATE stamp = 1;
  EXPECT_EQ(S_OK, item->get_TimeStamp(&stamp));
  EXPECT_EQ(0.0, stamp) << "no data yet";
  ComPtr<IOPCGroup> parent;
  ASSERT_EQ(S_OK, item->get_Parent(parent.GetAddressOf()));
  EXPECT_TRUE(common::SameObject(parent.Get(), group_.Get()));
  SHORT eu = 0;
  EXPECT_EQ(E_NOTIMPL, item->get_EUType(&eu));

  // Inactive by default: only the add.
  ASSERT_EQ(S_OK, items_->put_DefaultIsActive(VARIANT_FALSE));
  auto second = Add(L"Tank.Count");
  EXPECT_EQ(2u, g_->addCalls.size());
  EXPECT_EQ(1u, g_->activeCalls.size());
  EXPECT_EQ(S_OK, second->get_IsActive(&active));
  EXPECT_EQ(VARIANT_FALSE, active);
}

TEST_F(ItemsTest, AddItemRefusedByTheServerOrGivenNothingKeepsNoItem) {
  ComPtr<OPCItem> item;
  EXPECT_EQ(OPC_E_UNKNOWNITEMID, items_->AddItem(Bstr(L"No.Such").Get(), 1, item.GetAddressOf()));
  EXPECT_FALSE(item);
  EXPECT_EQ(E_INVALIDARG, items_->AddItem(nullptr, 1, item.GetAddressOf()));
  EXPECT_EQ(E_INVALIDARG, items_->AddItem(Bstr(L"Tank.Level").Get(), 1, nullptr));
  EXPECT_EQ(1u, g_->addCalls.size()) << "null arguments stop before the server";
  EXPECT_TRUE(g_->activeCalls.empty());
  g_->addResult = E_OUTOFMEMORY;
  EXPECT_EQ(E_OUTOFMEMORY, items_->AddItem(Bstr(L"Tank.Level").Get(), 1, item.GetAddressOf()));
  LONG count = -1;
  EXPECT_EQ(S_OK, items_->get_Count(&count));
  EXPECT_EQ(0, count);
}

// ----------------------------------------------------------------- AddItems

TEST_F(ItemsTest, AddItemsReportsRefusedItemsAndKeepsTheAcceptedInAddingOrder) {
  ASSERT_EQ(S_OK, items_->put_DefaultAccessPath(Bstr(L"not for AddItems").Get()));
  std::vector<LONG> errors;
  auto handles = AddMany({L"Tank.Level", L"No.Such", L"Tank.Count", L"Tank.Total"}, &errors);
  ASSERT_EQ(4u, handles.size());
  EXPECT_EQ(0, handles[1]);
  EXPECT_EQ(OPC_E_UNKNOWNITEMID, errors[1]);
  EXPECT_EQ(S_OK, errors[0]);
  EXPECT_LT(handles[0], handles[2]);
  EXPECT_LT(handles[2], handles[3]);
  for (const auto& def : g_->addCalls[0]) {
    EXPECT_EQ(L"", def.path) << "AddItems ignores DefaultAccessPath";
    EXPECT_EQ(FALSE, def.active);
    EXPECT_EQ(VT_EMPTY, def.type);
  }
  // One activation, of the three accepted ones.
  ASSERT_EQ(1u, g_->activeCalls.size());
  EXPECT_EQ((std::vector<OPCHANDLE>{7001, 7002, 7003}), g_->activeCalls[0].handles);

  LONG count = 0;
  ASSERT_EQ(S_OK, items_->get_Count(&count));
  EXPECT_EQ(3, count);
  // Item(index), GetOPCItem and the enumeration follow the order of adding.
  for (LONG i = 1; i <= 3; ++i) {
    ComPtr<OPCItem> item;
    ASSERT_EQ(S_OK, items_->Item(Variant(static_cast<int>(i)), item.GetAddressOf()));
    EXPECT_EQ(handles[i == 1 ? 0 : i], HandleOf(item.Get()));
    LONG client = 0;
    item->get_ClientHandle(&client);
    EXPECT_EQ(i == 1 ? 101 : 101 + i, client);
  }
  ComPtr<OPCItem> item;
  EXPECT_EQ(E_INVALIDARG, items_->Item(Variant(0), item.GetAddressOf()));
  EXPECT_EQ(E_INVALIDARG, items_->Item(Variant(4), item.GetAddressOf()));
  EXPECT_EQ(E_INVALIDARG, items_->Item(Variant(L"x"), item.GetAddressOf()));
  EXPECT_EQ(S_OK, items_->Item(Variant(L"2"), item.GetAddressOf())) << "converted to a number";
  EXPECT_EQ(handles[2], HandleOf(item.Get()));
  EXPECT_EQ(S_OK, items_->GetOPCItem(handles[3], item.GetAddressOf()));
  EXPECT_EQ(handles[3], HandleOf(item.Get()));
  EXPECT_EQ(E_INVALIDARG, items_->GetOPCItem(handles[3] + 1000, item.GetAddressOf()));
  EXPECT_FALSE(item) << "output cleared";

  ComPtr<IUnknown> unk;
  ASSERT_EQ(S_OK, items_->get__NewEnum(unk.GetAddressOf()));
  auto e = unk.Query<IEnumVARIANT>();
  ASSERT_TRUE(e);
  Variant v[4];
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, e->Next(4, v, &fetched));
  ASSERT_EQ(3u, fetched);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(VT_DISPATCH, V_VT(&v[i]));
    ComPtr<OPCItem> it;
    ASSERT_EQ(S_OK, V_DISPATCH(&v[i])->QueryInterface(IID_OPCItem, it.PutVoid()));
    EXPECT_EQ(handles[i == 0 ? 0 : i + 1], HandleOf(it.Get()));
  }
}

TEST_F(ItemsTest, AddItemsOptionalArraysAreTypedAndBadArraysStopBeforeTheServer) {
  Array ids = Strings({L"Tank.Level", L"Tank.Count"}), clients = Longs({1, 2}), handles, errs;
  Array types = Shorts({VT_R4, VT_BSTR}), paths = Strings({L"a", L"b"});
  ASSERT_EQ(S_OK, items_->AddItems(2, &ids, &clients, &handles, &errs, ArrayArg(types, VT_I2),
                                   ArrayArg(paths, VT_BSTR)));
  ASSERT_EQ(1u, g_->addCalls.size());
  EXPECT_EQ(VT_R4, g_->addCalls[0][0].type);
  EXPECT_EQ(VT_BSTR, g_->addCalls[0][1].type);
  EXPECT_EQ(L"a", g_->addCalls[0][0].path);
  EXPECT_EQ(L"b", g_->addCalls[0][1].path);

  // Types as 32-bit integers, paths that are no strings, too short or 0-based arrays.
  Array longTypes = Longs({VT_R4, VT_R4});
  EXPECT_EQ(E_INVALIDARG, items_->AddItems(2, &ids, &clients, &handles, &errs,
                                           ArrayArg(longTypes, VT_I4), Variant::Missing()));
  EXPECT_EQ(E_INVALIDARG, items_->AddItems(2, &ids, &clients, &handles, &errs, Variant::Missing(),
                                           Variant(L"a")));
  Array shortIds = Strings({L"Tank.Level"});
  EXPECT_EQ(E_INVALIDARG, items_->AddItems(2, &shortIds, &clients, &handles, &errs,
                                           Variant::Missing(), Variant::Missing()));
  Array zeroBased(SafeArrayCreateVector(VT_I4, 0, 2));
  EXPECT_EQ(E_INVALIDARG, items_->AddItems(2, &ids, &zeroBased, &handles, &errs,
                                           Variant::Missing(), Variant::Missing()));
  EXPECT_EQ(E_INVALIDARG, items_->AddItems(2, &ids, &clients, nullptr, &errs,
                                           Variant::Missing(), Variant::Missing()));
  SAFEARRAY* none = nullptr;
  EXPECT_EQ(E_INVALIDARG, items_->AddItems(2, &none, &clients, &handles, &errs,
                                           Variant::Missing(), Variant::Missing()));
  EXPECT_EQ(1u, g_->addCalls.size()) << "none of these reached the server";

  // A failing call keeps nothing.
  g_->addResult = E_FAIL;
  EXPECT_EQ(E_FAIL, items_->AddItems(2, &ids, &clients, &handles, &errs, Variant::Missing(), Variant::Missing()));
  LONG count = 0;
  items_->get_Count(&count);
  EXPECT_EQ(2, count);
}

// ----------------------------------------------------------------- handle calls

TEST_F(ItemsTest, RemoveChecksEveryHandleFirstThenDetachesAndRemovesFromTheServer) {
  auto handles = AddMany({L"Tank.Level", L"Tank.Count", L"Tank.Total"});
  ComPtr<OPCItem> held;
  ASSERT_EQ(S_OK, items_->GetOPCItem(handles[0], held.GetAddressOf()));

  // An unknown handle after a known one: nothing leaves the collection or the server.
  Array bad = Longs({handles[0], 999999}), errs;
  EXPECT_EQ(E_INVALIDARG, items_->Remove(2, &bad, &errs));
  EXPECT_TRUE(g_->removeCalls.empty());
  LONG count = 0;
  items_->get_Count(&count);
  EXPECT_EQ(3, count);
  LONG client = 0;
  EXPECT_EQ(S_OK, held->get_ClientHandle(&client));

  Array good = Longs({handles[0], handles[2]});
  ASSERT_EQ(S_OK, items_->Remove(2, &good, &errs));
  EXPECT_EQ((std::vector<LONG>{S_OK, S_OK}), Read(errs.sa));
  ASSERT_EQ(1u, g_->removeCalls.size());
  EXPECT_EQ((std::vector<OPCHANDLE>{7001, 7003}), g_->removeCalls[0].handles);
  items_->get_Count(&count);
  EXPECT_EQ(1, count);
  EXPECT_EQ(CONNECT_E_NOCONNECTION, held->get_ClientHandle(&client));
  VARIANT_BOOL active = 0;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, held->get_IsActive(&active));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, held->Read(OPCCache, nullptr, nullptr, nullptr));
}

TEST_F(ItemsTest, SetActiveAndSetDataTypesStoreOnlyWhatTheServerAccepted) {
  auto handles = AddMany({L"Tank.Level", L"Tank.Count"});
  ComPtr<OPCItem> first, second;
  items_->GetOPCItem(handles[0], first.GetAddressOf());
  items_->GetOPCItem(handles[1], second.GetAddressOf());
  g_->itemErrors[7002] = OPC_E_BADTYPE;

  Array h = Longs(handles), errs;
  ASSERT_EQ(S_OK, items_->SetActive(2, &h, VARIANT_FALSE, &errs));
  EXPECT_EQ((std::vector<LONG>{S_OK, OPC_E_BADTYPE}), Read(errs.sa));
  EXPECT_EQ((std::vector<OPCHANDLE>{7001, 7002}), g_->activeCalls.back().handles);
  VARIANT_BOOL active = 0;
  first->get_IsActive(&active);
  EXPECT_EQ(VARIANT_FALSE, active);
  second->get_IsActive(&active);
  EXPECT_EQ(VARIANT_TRUE, active) << "the server refused it";

  // Types arrive as 32-bit integers; their low 16 bits are the VARTYPE.
  Array types = Longs({0x10005, VT_I4});
  ASSERT_EQ(S_OK, items_->SetDataTypes(2, &h, &types, &errs));
  EXPECT_EQ((std::vector<VARTYPE>{VT_R8, VT_I4}), g_->typeCalls.back().types);
  SHORT t = 0;
  first->get_RequestedDataType(&t);
  EXPECT_EQ(VT_R8, t);
  second->get_RequestedDataType(&t);
  EXPECT_EQ(VT_EMPTY, t);

  // Unknown handles and bad arrays stop before the server.
  size_t calls = g_->activeCalls.size() + g_->typeCalls.size();
  Array unknown = Longs({handles[0], 424242});
  EXPECT_EQ(E_INVALIDARG, items_->SetActive(2, &unknown, VARIANT_TRUE, &errs));
  EXPECT_EQ(E_INVALIDARG, items_->SetDataTypes(2, &unknown, &types, &errs));
  Array shortTypes = Longs({VT_R8});
  EXPECT_EQ(E_INVALIDARG, items_->SetDataTypes(2, &h, &shortTypes, &errs));
  EXPECT_EQ(E_INVALIDARG, items_->SetActive(2, &h, VARIANT_TRUE, nullptr));
  EXPECT_EQ(calls, g_->activeCalls.size() + g_->typeCalls.size());

  // A failing call changes nothing.
  g_->activeResult = E_ACCESSDENIED;
  EXPECT_EQ(E_ACCESSDENIED, items_->SetActive(2, &h, VARIANT_TRUE, &errs));
  first->get_IsActive(&active);
  EXPECT_EQ(VARIANT_FALSE, active);
}

TEST_F(ItemsTest, SetClientHandlesGivesPerItemErrorsAndCallsNoServer) {
  auto handles = AddMany({L"Tank.Level", L"Tank.Count"});
  ComPtr<OPCItem> first;
  items_->GetOPCItem(handles[0], first.GetAddressOf());
  size_t calls = g_->activeCalls.size();
  // Script hosts build VARIANT arrays; elements that are no number fail on their own.
  Array h(SafeArrayCreateVector(VT_VARIANT, 1, 3));
  LONG i = 1;
  Variant v0(static_cast<int>(handles[0])), v1(L"not a handle"), v2(static_cast<int>(handles[1]) + 5000);
  SafeArrayPutElement(h.sa, &i, &v0);
  i = 2;
  SafeArrayPutElement(h.sa, &i, &v1);
  i = 3;
  SafeArrayPutElement(h.sa, &i, &v2);
  Array clients = Longs({900, 901, 902}), errs;
  ASSERT_EQ(S_OK, items_->SetClientHandles(3, &h, &clients, &errs));
  auto e = Read(errs.sa);
  ASSERT_EQ(3u, e.size());
  EXPECT_EQ(S_OK, e[0]);
  EXPECT_TRUE(FAILED(e[1]));
  EXPECT_EQ(E_INVALIDARG, e[2]);
  LONG client = 0;
  first->get_ClientHandle(&client);
  EXPECT_EQ(900, client);
  EXPECT_EQ(calls, g_->activeCalls.size());
  Array shortClients = Longs({1});
  EXPECT_EQ(E_INVALIDARG, items_->SetClientHandles(3, &h, &shortClients, &errs));

  // The group gone from its collection: items are detached and the map empty, so every
  // handle is unknown, while the server-bound members answer CONNECT_E_NOCONNECTION.
  ASSERT_EQ(S_OK, groups_->Remove(Variant(L"items")));
  Array one = Longs({handles[1]}), oneClient = Longs({5});
  ASSERT_EQ(S_OK, items_->SetClientHandles(1, &one, &oneClient, &errs));
  EXPECT_EQ(std::vector<LONG>{E_INVALIDARG}, Read(errs.sa));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, items_->SetActive(1, &one, VARIANT_TRUE, &errs));
  ComPtr<OPCItem> item;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, items_->AddItem(Bstr(L"Tank.Level").Get(), 1, item.GetAddressOf()));
}

// ----------------------------------------------------------------- Validate

TEST_F(ItemsTest, ValidateSendsPositionsAsClientHandlesAndMakesNoItems) {
  Array ids = Strings({L"Tank.Level", L"No.Such"}), errs;
  ASSERT_EQ(S_OK, items_->Validate(2, &ids, &errs, Variant::Missing(), Variant::Missing()));
  EXPECT_EQ((std::vector<LONG>{S_OK, OPC_E_UNKNOWNITEMID}), Read(errs.sa));
  ASSERT_EQ(1u, g_->validateCalls.size());
  EXPECT_EQ(0u, g_->validateCalls[0][0].client);
  EXPECT_EQ(1u, g_->validateCalls[0][1].client);
  EXPECT_TRUE(g_->addCalls.empty());
  LONG count = -1;
  items_->get_Count(&count);
  EXPECT_EQ(0, count);
  Array longTypes = Longs({VT_R4, VT_R4});
  EXPECT_EQ(E_INVALIDARG, items_->Validate(2, &ids, &errs, ArrayArg(longTypes, VT_I4), Variant::Missing()));
  EXPECT_EQ(1u, g_->validateCalls.size());
}

// ----------------------------------------------------------------- OPCItem

TEST_F(ItemsTest, ReadStoresTheAdjustedValueAndFillsTheSuppliedOutputs) {
  auto count = Add(L"Tank.Count");
  auto total = Add(L"Tank.Total");
  EXPECT_EQ(E_INVALIDARG, count->Read(3, nullptr, nullptr, nullptr));
  EXPECT_TRUE(g_->readCalls.empty());

  Variant value, quality, stamp;
  ASSERT_EQ(S_OK, count->Read(OPCDevice, &value, &quality, &stamp));
  EXPECT_EQ(OPC_DS_DEVICE, g_->readCalls.back().source);
  EXPECT_EQ(std::vector<OPCHANDLE>{7001}, g_->readCalls.back().handles);
  ASSERT_EQ(VT_I4, V_VT(&value)) << "VT_UI2 reaches the client as VT_I4";
  EXPECT_EQ(65535, V_I4(&value));
  ASSERT_EQ(VT_I2, V_VT(&quality));
  EXPECT_EQ(0x40, V_I2(&quality));
  ASSERT_EQ(VT_R8, V_VT(&stamp));
  DATE fromProperty = 0;
  ASSERT_EQ(S_OK, count->get_TimeStamp(&fromProperty));
  EXPECT_EQ(fromProperty, V_R8(&stamp));
  EXPECT_NE(0.0, fromProperty);
  Variant stored;
  ASSERT_EQ(S_OK, count->get_Value(stored.ReleaseAndGetAddressOf()));
  EXPECT_EQ(VT_I4, V_VT(&stored));
  LONG q = 0;
  count->get_Quality(&q);
  EXPECT_EQ(0x40, q);
  // What the group's data path sees of the item.
  veltrane::ItemObject* impl = GroupImpl()->FindItem(static_cast<DWORD>(HandleOf(count.Get())));
  ASSERT_NE(nullptr, impl);
  EXPECT_EQ(VT_I4, V_VT(&impl->CurrentValue()));
  EXPECT_EQ(7001u, impl->ServerItemHandle());

  // Omitted outputs (the missing marker) stay as they were.
  Variant missing = Variant::Missing();
  ASSERT_EQ(S_OK, total->Read(OPCCache, nullptr, &missing, nullptr));
  EXPECT_TRUE(veltrane::IsMissing(missing));
  total->get_Value(stored.ReleaseAndGetAddressOf());
  ASSERT_EQ(VT_R8, V_VT(&stored)) << "VT_UI4 reaches the client as VT_R8";
  EXPECT_EQ(4294967295.0, V_R8(&stored));

  // A per-item failure or a failing call is the result, and nothing is stored.
  g_->itemErrors[7002] = OPC_E_BADRIGHTS;
  EXPECT_EQ(OPC_E_BADRIGHTS, total->Read(OPCCache, &value, nullptr, nullptr));
  g_->readResult = E_FAIL;
  EXPECT_EQ(E_FAIL, count->Read(OPCCache, &value, nullptr, nullptr));
}

TEST_F(ItemsTest, WriteSendsTheValueBehindAReferenceAndSingleItemErrorsAreResults) {
  auto level = Add(L"Tank.Level");
  // A script variable passed by reference: the server gets the value, not the pointer.
  Variant target(42.5);
  Variant byRef;
  V_VT(&byRef) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(&byRef) = &target;
  ASSERT_EQ(S_OK, level->Write(byRef));
  ASSERT_EQ(1u, g_->writeCalls.size());
  ASSERT_EQ(VT_R8, V_VT(&g_->writeCalls[0].values[0]));
  EXPECT_EQ(42.5, V_R8(&g_->writeCalls[0].values[0]));
  Variant stored;
  level->get_Value(stored.ReleaseAndGetAddressOf());
  EXPECT_EQ(VT_EMPTY, V_VT(&stored)) << "writing does not change the stored value";

  g_->itemErrors[7001] = OPC_E_BADTYPE;
  EXPECT_EQ(OPC_E_BADTYPE, level->Write(Variant(1.0)));
  EXPECT_EQ(OPC_E_BADTYPE, level->put_IsActive(VARIANT_FALSE));
  EXPECT_EQ(OPC_E_BADTYPE, level->put_RequestedDataType(VT_I4));
  VARIANT_BOOL active = 0;
  level->get_IsActive(&active);
  EXPECT_EQ(VARIANT_TRUE, active);
  SHORT type = 0;
  level->get_RequestedDataType(&type);
  EXPECT_EQ(VT_EMPTY, type);
  g_->itemErrors.clear();
  EXPECT_EQ(S_OK, level->put_RequestedDataType(VT_I4));
  level->get_RequestedDataType(&type);
  EXPECT_EQ(VT_I4, type);
  EXPECT_EQ(std::vector<VARTYPE>{VT_I4}, g_->typeCalls.back().types);
}

// ----------------------------------------------------------------- the group's side

TEST_F(ItemsTest, MapItemHandlesAndDetachingTheGroupRemoveItemsFromTheServer) {
  auto handles = AddMany({L"Tank.Level", L"Tank.Count", L"Tank.Total"});
  veltrane::GroupObject* group = GroupImpl();
  std::vector<OPCHANDLE> mapped;
  Array h = Longs({handles[2], handles[0]});
  ASSERT_EQ(S_OK, group->MapItemHandles(h.sa, 2, &mapped));
  EXPECT_EQ((std::vector<OPCHANDLE>{7003, 7001}), mapped);
  Array unknown = Longs({handles[0], 31337});
  EXPECT_EQ(E_INVALIDARG, group->MapItemHandles(unknown.sa, 2, &mapped));
  Array zeroBased(SafeArrayCreateVector(VT_I4, 0, 2));
  EXPECT_EQ(E_INVALIDARG, group->MapItemHandles(zeroBased.sa, 2, &mapped));
  EXPECT_EQ(E_INVALIDARG, group->MapItemHandles(h.sa, 3, &mapped)) << "too short";
  EXPECT_EQ(nullptr, group->FindItem(31337));
  ASSERT_NE(nullptr, group->FindItem(static_cast<DWORD>(handles[1])));
  EXPECT_EQ(102, group->FindItem(static_cast<DWORD>(handles[1]))->ClientHandle());

  ComPtr<OPCItem> held;
  items_->GetOPCItem(handles[1], held.GetAddressOf());
  ASSERT_EQ(S_OK, server_->Disconnect());
  ASSERT_EQ(1u, g_->removeCalls.size());
  EXPECT_EQ((std::vector<OPCHANDLE>{7001, 7002, 7003}), g_->removeCalls[0].handles);
  EXPECT_TRUE(g_->items.empty());
  LONG count = -1;
  EXPECT_EQ(S_OK, items_->get_Count(&count));
  EXPECT_EQ(0, count);
  ComPtr<IOPCGroup> parent;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, held->get_Parent(parent.GetAddressOf()));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, held->Write(Variant(1)));
  // The item outlives its group without reaching it.
  items_.Reset();
  group_.Reset();
  groups_.Reset();
  EXPECT_EQ(CONNECT_E_NOCONNECTION, held->get_Parent(parent.GetAddressOf()));
}

TEST_F(ItemsTest, AGroupDetachedWhileItsCallIsOutNeitherKeepsItemsNorCrashes) {
  // Disconnected from inside AddItems: what the server accepted is taken off it again.
  auto item = Add(L"Tank.Level");
  g_->whileCalled = [&] { server_->Disconnect(); };
  Array ids = Strings({L"Tank.Count", L"Tank.Total"}), clients = Longs({1, 2}), handles, errs;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, items_->AddItems(2, &ids, &clients, &handles, &errs,
                                                     Variant::Missing(), Variant::Missing()));
  EXPECT_TRUE(g_->items.empty()) << "nothing left on the server";
  LONG count = -1;
  items_->get_Count(&count);
  EXPECT_EQ(0, count);
  EXPECT_EQ(CONNECT_E_NOCONNECTION, item->Read(OPCCache, nullptr, nullptr, nullptr));
}

TEST_F(ItemsTest, AnItemRemovedWhileItsReadIsOutGetsTheServersAnswer) {
  auto item = Add(L"Tank.Level");
  LONG handle = HandleOf(item.Get());
  g_->whileCalled = [&] {
    Array h = Longs({handle}), errs;
    EXPECT_EQ(S_OK, items_->Remove(1, &h, &errs));
  };
  Variant value;
  EXPECT_EQ(OPC_E_INVALIDHANDLE, item->Read(OPCDevice, &value, nullptr, nullptr));
  EXPECT_EQ(VT_EMPTY, V_VT(&value));
  LONG client = 0;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, item->get_ClientHandle(&client));
}

}  // namespace
