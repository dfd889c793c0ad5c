// The group's data path in this process against the fake group: I/O arguments refused before
// the server is called, what reaches the server and what comes back, subscriptions, and the
// events the data callback sink raises with their exact VARIANT types.
#include <gtest/gtest.h>

#include "Arguments.h"
#include "FakeGroup.h"
#include "GroupObject.h"
#include "ServerObject.h"

#include <cmath>
#include <functional>
#include <string>
#include <vector>

using common::Bstr;
using common::ComPtr;
using common::Variant;

namespace {

struct Event {
  std::string sink;
  DISPID id;
  std::vector<Variant> args;  // natural order, deep copies
};

class Recorder final : public common::ComObject<Recorder, IDispatch> {
 public:
  Recorder(REFIID iid, std::string name, std::vector<Event>* log) : iid_(iid), name_(std::move(name)), log_(log) {}
  HRESULT QueryInterfaceExtra(REFIID riid, void** p) noexcept {
    if (!IsEqualIID(riid, iid_)) return E_NOINTERFACE;
    *p = static_cast<IDispatch*>(this);
    return S_OK;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
    Event e{name_, id, {}};
    for (UINT i = p ? p->cArgs : 0; i-- > 0;) e.args.emplace_back(p->rgvarg[i]);
    log_->push_back(std::move(e));
    if (onEvent) onEvent();
    return S_OK;
  }
  std::function<void()> onEvent;

 private:
  IID iid_;
  std::string name_;
  std::vector<Event>* log_;
};

// The elements of a 1-based one-dimensional array held in a VARIANT of VT_ARRAY | vt.
template <class T>
std::vector<T> Elements(const VARIANT& v, VARTYPE vt) {
  std::vector<T> out;
  EXPECT_EQ(VT_ARRAY | vt, V_VT(&v));
  if (V_VT(&v) != (VT_ARRAY | vt)) return out;
  SAFEARRAY* sa = V_ARRAY(&v);
  EXPECT_EQ(1u, SafeArrayGetDim(sa));
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(sa, 1, &lo);
  SafeArrayGetUBound(sa, 1, &hi);
  EXPECT_EQ(1, lo);
  for (LONG i = lo; i <= hi; ++i) {
    T x{};
    SafeArrayGetElement(sa, &i, &x);
    out.push_back(x);
  }
  return out;
}
std::vector<Variant> VariantElements(const VARIANT& v) {
  std::vector<Variant> out;
  for (auto& x : Elements<VARIANT>(v, VT_VARIANT)) {
    out.emplace_back(x);
    VariantClear(&x);
  }
  return out;
}
std::vector<LONG> LongsOf(SAFEARRAY* sa) {
  Variant v;
  V_VT(&v) = VT_ARRAY | VT_I4;
  V_ARRAY(&v) = sa;
  auto out = Elements<LONG>(v, VT_I4);
  V_VT(&v) = VT_EMPTY;
  return out;
}

SAFEARRAY* LongArray(std::vector<LONG> values, LONG lower = 1) {
  SAFEARRAYBOUND b{static_cast<ULONG>(values.size()), lower};
  SAFEARRAY* sa = SafeArrayCreate(VT_I4, 1, &b);
  for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
    LONG at = i + lower;
    SafeArrayPutElement(sa, &at, &values[i]);
  }
  return sa;
}
SAFEARRAY* VariantArray(std::vector<Variant> values, LONG lower = 1) {
  SAFEARRAYBOUND b{static_cast<ULONG>(values.size()), lower};
  SAFEARRAY* sa = SafeArrayCreate(VT_VARIANT, 1, &b);
  for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
    LONG at = i + lower;
    SafeArrayPutElement(sa, &at, &values[i]);
  }
  return sa;
}

DATE LocalDateOf(const FILETIME& utc) {
  FILETIME local;
  FileTimeToLocalFileTime(&utc, &local);
  SYSTEMTIME st;
  FileTimeToSystemTime(&local, &st);
  WORD ms = st.wMilliseconds;
  st.wMilliseconds = 0;
  DATE d = 0;
  SystemTimeToVariantTime(&st, &d);
  return d + ms / 86400000.0;
}

class GroupDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    server_ = common::Make<veltrane::ServerObject>();
    fake_ = common::Make<fakegroup::Group>();
    object_ = common::Make<veltrane::GroupObject>();
    ASSERT_EQ(S_OK, object_->Initialise(server_.Get(), fake_->Unknown()));
    ASSERT_EQ(S_OK, object_->QueryInterface(IID_IOPCGroup, group_.PutVoid()));
    ASSERT_EQ(S_OK, group_->get_OPCItems(items_.GetAddressOf()));
    // Two items: a UI2 (adjusted to I4 for clients) and an R8, client handles 11 and 22.
    ui2_ = AddItem(L"Ramp.UI2", 11);
    r8_ = AddItem(L"Ramp.R8", 22);
    ASSERT_EQ(2u, fake_->items.size());
    fake_->items[1001].value = Variant(static_cast<unsigned short>(65000));
    fake_->items[1001].quality = OPC_QUALITY_GOOD;
    fake_->items[1001].time = fakegroup::MakeFileTime(2024, 3, 1, 12, 0, 0, 250);
    fake_->items[1002].value = Variant(2.5);
    fake_->items[1002].quality = 0x54;  // uncertain, sensor not accurate
    fake_->items[1002].time = fakegroup::MakeFileTime(2024, 3, 1, 12, 0, 1, 999);
  }
  void TearDown() override {
    if (object_) object_->Detach();
    items_.Reset();
    group_.Reset();
    object_.Reset();
    fake_.Reset();
    server_.Reset();
    CoUninitialize();
  }
  LONG AddItem(const wchar_t* id, LONG client) {
    ComPtr<OPCItem> item;
    EXPECT_EQ(S_OK, items_->AddItem(Bstr(id).Get(), client, item.GetAddressOf()));
    LONG handle = 0;
    if (item) item->get_ServerHandle(&handle);
    return handle;
  }
  Variant ValueOf(LONG itemHandle) {
    ComPtr<OPCItem> item;
    EXPECT_EQ(S_OK, items_->GetOPCItem(itemHandle, item.GetAddressOf()));
    Variant v;
    if (item) EXPECT_EQ(S_OK, item->get_Value(&v));
    return v;
  }
  void AdviseRecorders() {
    groupSink_ = common::Make<Recorder>(DIID_DIOPCGroupEvent, "group", &log_);
    globalSink_ = common::Make<Recorder>(DIID_DIOPCGroupsEvent, "global", &log_);
    Advise(object_->Unknown(), DIID_DIOPCGroupEvent, groupSink_->Unknown());
    Advise(server_->Unknown(), DIID_DIOPCGroupsEvent, globalSink_->Unknown());
  }
  static void Advise(IUnknown* source, REFIID iid, IUnknown* sink) {
    ComPtr<IConnectionPointContainer> c;
    ASSERT_EQ(S_OK, source->QueryInterface(IID_IConnectionPointContainer, c.PutVoid()));
    ComPtr<IConnectionPoint> p;
    ASSERT_EQ(S_OK, c->FindConnectionPoint(iid, p.GetAddressOf()));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, p->Advise(sink, &cookie));
  }
  IOPCDataCallback* Subscribe() {
    EXPECT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
    return fake_->point->Sink();
  }

  ComPtr<veltrane::ServerObject> server_;
  ComPtr<fakegroup::Group> fake_;
  ComPtr<veltrane::GroupObject> object_;
  ComPtr<IOPCGroup> group_;
  ComPtr<OPCItems> items_;
  LONG ui2_ = 0, r8_ = 0;
  std::vector<Event> log_;
  ComPtr<Recorder> groupSink_, globalSink_;
};

// ------------------------------------------------------------------------- SyncRead / SyncWrite

TEST_F(GroupDataTest, SyncReadRefusesBadArgumentsBeforeTheServer) {
  SAFEARRAY* values = nullptr;
  SAFEARRAY* errors = nullptr;
  SAFEARRAY* good = LongArray({ui2_, r8_});
  SAFEARRAY* zeroBased = LongArray({ui2_, r8_}, 0);
  SAFEARRAY* shortOne = LongArray({ui2_});
  SAFEARRAY* unknown = LongArray({ui2_, 987654});
  EXPECT_EQ(E_INVALIDARG, group_->SyncRead(0, 2, &good, &values, &errors, nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->SyncRead(3, 2, &good, &values, &errors, nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->SyncRead(1, 2, nullptr, &values, &errors, nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->SyncRead(1, 2, &good, nullptr, &errors, nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->SyncRead(1, 2, &good, &values, nullptr, nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->SyncRead(1, 2, &zeroBased, &values, &errors, nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->SyncRead(1, 2, &shortOne, &values, &errors, nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->SyncRead(1, 2, &unknown, &values, &errors, nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->SyncRead(1, -1, &good, &values, &errors, nullptr, nullptr));
  EXPECT_TRUE(fake_->readHandles.empty()) << "nothing reached the server";
  for (SAFEARRAY* sa : {good, zeroBased, shortOne, unknown}) SafeArrayDestroy(sa);
}

TEST_F(GroupDataTest, SyncReadGivesTheServersValuesAndStoresClientTypesInTheItems) {
  SAFEARRAY* handles = LongArray({r8_, ui2_});
  SAFEARRAY* values = nullptr;
  SAFEARRAY* errors = nullptr;
  Variant qualities, times;
  ASSERT_EQ(S_OK, group_->SyncRead(OPC_DS_DEVICE, 2, &handles, &values, &errors, &qualities, &times));
  ASSERT_EQ(1u, fake_->readHandles.size());
  EXPECT_EQ((std::vector<OPCHANDLE>{1002, 1001}), fake_->readHandles[0]) << "mapped to server handles";
  EXPECT_EQ(OPC_DS_DEVICE, fake_->readSources[0]);

  Variant valueHolder;
  V_VT(&valueHolder) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&valueHolder) = values;
  auto got = VariantElements(valueHolder);
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ(VT_R8, V_VT(&got[0]));
  EXPECT_EQ(VT_UI2, V_VT(&got[1])) << "Values holds what the server gave";
  EXPECT_EQ(65000, V_UI2(&got[1]));
  EXPECT_EQ((std::vector<LONG>{0, 0}), LongsOf(errors));
  SafeArrayDestroy(errors);

  auto q = Elements<SHORT>(qualities, VT_I2);
  EXPECT_EQ((std::vector<SHORT>{0x54, OPC_QUALITY_GOOD}), q);
  auto t = Elements<DATE>(times, VT_DATE);
  ASSERT_EQ(2u, t.size());
  EXPECT_NEAR(LocalDateOf(fake_->items[1002].time), t[0], 1e-9);
  EXPECT_NEAR(LocalDateOf(fake_->items[1001].time), t[1], 1e-9);

  Variant stored = ValueOf(ui2_);
  EXPECT_EQ(VT_I4, V_VT(&stored)) << "the item holds the client type";
  EXPECT_EQ(65000, V_I4(&stored));
  SafeArrayDestroy(handles);
}

TEST_F(GroupDataTest, SyncReadLeavesMissingOutputsAloneAndFailedItemsUnstored) {
  fake_->items[1002].readError = OPC_E_BADRIGHTS;
  SAFEARRAY* handles = LongArray({ui2_, r8_});
  SAFEARRAY* values = nullptr;
  SAFEARRAY* errors = nullptr;
  Variant missing = Variant::Missing();
  ASSERT_EQ(S_OK, group_->SyncRead(OPC_DS_CACHE, 2, &handles, &values, &errors, &missing, nullptr));
  EXPECT_TRUE(veltrane::IsMissing(missing)) << "a missing output stays missing";
  EXPECT_EQ((std::vector<LONG>{0, static_cast<LONG>(OPC_E_BADRIGHTS)}), LongsOf(errors));
  Variant stored = ValueOf(r8_);
  EXPECT_EQ(VT_EMPTY, V_VT(&stored)) << "a failed read stores nothing";
  SafeArrayDestroy(values);
  SafeArrayDestroy(errors);

  // A failing Read is passed on with no outputs.
  fake_->syncReadResult = E_OUTOFMEMORY;
  values = errors = nullptr;
  Variant qualities;
  EXPECT_EQ(E_OUTOFMEMORY, group_->SyncRead(OPC_DS_CACHE, 2, &handles, &values, &errors, &qualities, nullptr));
  EXPECT_EQ(nullptr, values);
  EXPECT_EQ(nullptr, errors);
  EXPECT_EQ(VT_EMPTY, V_VT(&qualities));
  SafeArrayDestroy(handles);
}

TEST_F(GroupDataTest, SyncWriteSendsTheValuesAsGivenAndLeavesTheItemsAlone) {
  SAFEARRAY* handles = LongArray({ui2_, r8_});
  SAFEARRAY* values = VariantArray({Variant(7), Variant(L"text")});
  SAFEARRAY* zeroBased = VariantArray({Variant(7), Variant(8)}, 0);
  SAFEARRAY* errors = nullptr;
  EXPECT_EQ(E_INVALIDARG, group_->SyncWrite(2, &handles, &zeroBased, &errors));
  EXPECT_EQ(E_INVALIDARG, group_->SyncWrite(2, &handles, nullptr, &errors));
  EXPECT_EQ(E_INVALIDARG, group_->SyncWrite(2, &handles, &values, nullptr));
  EXPECT_TRUE(fake_->writeHandles.empty());

  fake_->writeErrors[1002] = OPC_E_BADTYPE;
  ASSERT_EQ(S_OK, group_->SyncWrite(2, &handles, &values, &errors));
  ASSERT_EQ(1u, fake_->writeHandles.size());
  EXPECT_EQ((std::vector<OPCHANDLE>{1001, 1002}), fake_->writeHandles[0]);
  EXPECT_EQ(VT_I4, V_VT(&fake_->writeValues[0][0]));
  EXPECT_EQ(VT_BSTR, V_VT(&fake_->writeValues[0][1]));
  EXPECT_EQ((std::vector<LONG>{0, static_cast<LONG>(OPC_E_BADTYPE)}), LongsOf(errors));
  SafeArrayDestroy(errors);
  Variant after = ValueOf(ui2_);
  EXPECT_EQ(VT_EMPTY, V_VT(&after)) << "writing does not change the stored value";

  fake_->syncWriteResult = E_FAIL;
  errors = nullptr;
  EXPECT_EQ(E_FAIL, group_->SyncWrite(2, &handles, &values, &errors));
  EXPECT_EQ(nullptr, errors);
  for (SAFEARRAY* sa : {handles, values, zeroBased}) SafeArrayDestroy(sa);
}

// ------------------------------------------------------------------------- subscriptions

TEST_F(GroupDataTest, SubscribingAdvisesOnceAndUnsubscribingUnadvisesThatCookie) {
  EXPECT_EQ(0, fake_->point->advises) << "a new group is not subscribed";
  EXPECT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  EXPECT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  EXPECT_EQ(S_OK, group_->put_IsSubscribed(1)) << "any non-zero value means subscribed";
  EXPECT_EQ(1, fake_->point->advises);
  ASSERT_EQ(1u, fake_->point->sinks.size());
  DWORD cookie = fake_->point->sinks.begin()->first;
  VARIANT_BOOL flag = 0;
  EXPECT_EQ(S_OK, group_->get_IsSubscribed(&flag));
  EXPECT_EQ(VARIANT_TRUE, flag);
  EXPECT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_FALSE));
  EXPECT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_FALSE));
  EXPECT_EQ((std::vector<DWORD>{cookie}), fake_->point->unadvised);
  EXPECT_EQ(S_OK, group_->get_IsSubscribed(&flag));
  EXPECT_EQ(VARIANT_FALSE, flag);

  // A refused Advise is returned and the flag stays False.
  fake_->point->adviseResult = CONNECT_E_ADVISELIMIT;
  EXPECT_EQ(CONNECT_E_ADVISELIMIT, group_->put_IsSubscribed(VARIANT_TRUE));
  EXPECT_EQ(S_OK, group_->get_IsSubscribed(&flag));
  EXPECT_EQ(VARIANT_FALSE, flag);

  // Detach unsubscribes first.
  fake_->point->adviseResult = S_OK;
  EXPECT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  object_->Detach();
  EXPECT_TRUE(fake_->point->sinks.empty());
}

// ------------------------------------------------------------------------- callbacks and events

TEST_F(GroupDataTest, DataChangeCarriesKnownItemsWithExactTypesToTheGroupAndTheServer) {
  AdviseRecorders();
  EXPECT_EQ(S_OK, group_->put_ClientHandle(555));
  IOPCDataCallback* sink = Subscribe();
  ASSERT_NE(nullptr, sink);

  // Three entries, the middle one naming no item of this group.
  OPCHANDLE clients[] = {static_cast<OPCHANDLE>(r8_), 4242, static_cast<OPCHANDLE>(ui2_)};
  Variant values[] = {Variant(1.25), Variant(3), Variant(static_cast<unsigned short>(40000))};
  WORD qualities[] = {0xC0, 0xC0, 0x40};
  FILETIME times[] = {fakegroup::MakeFileTime(2024, 6, 30, 23, 59, 59, 123),
                      fakegroup::MakeFileTime(2024, 6, 30, 23, 59, 59, 124),
                      fakegroup::MakeFileTime(2024, 7, 1, 0, 0, 0, 1)};
  HRESULT errors[] = {S_OK, S_OK, S_OK};
  EXPECT_EQ(S_OK, sink->OnDataChange(0, 900, S_OK, S_OK, 3, clients, values, qualities, times, errors));

  ASSERT_EQ(2u, log_.size());
  const Event& dc = log_[0];
  EXPECT_EQ("group", dc.sink);
  EXPECT_EQ(1, dc.id);
  ASSERT_EQ(6u, dc.args.size());
  EXPECT_EQ(VT_I4, V_VT(&dc.args[0]));
  EXPECT_EQ(0, V_I4(&dc.args[0]));
  EXPECT_EQ(VT_I4, V_VT(&dc.args[1]));
  EXPECT_EQ(2, V_I4(&dc.args[1])) << "only the known items count";
  EXPECT_EQ((std::vector<LONG>{22, 11}), Elements<LONG>(dc.args[2], VT_I4));
  auto v = VariantElements(dc.args[3]);
  ASSERT_EQ(2u, v.size());
  EXPECT_EQ(VT_R8, V_VT(&v[0]));
  EXPECT_EQ(VT_I4, V_VT(&v[1])) << "event values are in the client types";
  EXPECT_EQ(40000, V_I4(&v[1]));
  EXPECT_EQ((std::vector<LONG>{0xC0, 0x40}), Elements<LONG>(dc.args[4], VT_I4));
  auto t = Elements<DATE>(dc.args[5], VT_DATE);
  ASSERT_EQ(2u, t.size());
  EXPECT_NEAR(LocalDateOf(times[0]), t[0], 1e-9);
  EXPECT_NEAR(LocalDateOf(times[2]), t[1], 1e-9);

  const Event& global = log_[1];
  EXPECT_EQ("global", global.sink);
  EXPECT_EQ(1, global.id);
  ASSERT_EQ(7u, global.args.size());
  EXPECT_EQ(VT_I4, V_VT(&global.args[1]));
  EXPECT_EQ(555, V_I4(&global.args[1])) << "the group's ClientHandle";
  EXPECT_EQ(2, V_I4(&global.args[2]));
  EXPECT_EQ((std::vector<LONG>{22, 11}), Elements<LONG>(global.args[3], VT_I4));
  EXPECT_EQ(2u, VariantElements(global.args[4]).size());
  EXPECT_EQ(VT_ARRAY | VT_I4, V_VT(&global.args[5]));
  EXPECT_EQ(VT_ARRAY | VT_DATE, V_VT(&global.args[6]));

  Variant stored = ValueOf(ui2_);
  EXPECT_EQ(VT_I4, V_VT(&stored));
  EXPECT_EQ(40000, V_I4(&stored));

  // Only unknown items, or a null array: nothing is raised, and the server hears S_OK.
  log_.clear();
  OPCHANDLE strangers[] = {4242, 4343, 4444};
  EXPECT_EQ(S_OK, sink->OnDataChange(0, 900, S_OK, S_OK, 3, strangers, values, qualities, times, errors));
  EXPECT_EQ(S_OK, sink->OnDataChange(0, 900, S_OK, S_OK, 3, clients, nullptr, qualities, times, errors));
  EXPECT_EQ(S_OK, sink->OnReadComplete(5, 900, S_OK, S_OK, 3, clients, values, nullptr, times, errors));
  EXPECT_EQ(S_OK, sink->OnWriteComplete(5, 900, S_OK, 3, clients, nullptr));
  EXPECT_TRUE(log_.empty());
}

TEST_F(GroupDataTest, CompletionsRaiseTheirEventsWithTheClientsTransaction) {
  AdviseRecorders();
  IOPCDataCallback* sink = Subscribe();
  ASSERT_NE(nullptr, sink);

  SAFEARRAY* handles = LongArray({ui2_, r8_});
  SAFEARRAY* values = VariantArray({Variant(1), Variant(2.0)});
  SAFEARRAY* errors = nullptr;
  LONG cancel = 0;
  ASSERT_EQ(S_OK, group_->AsyncRead(2, &handles, &errors, 77, &cancel));
  EXPECT_EQ(301, cancel);
  EXPECT_EQ((std::vector<LONG>{0, 0}), LongsOf(errors));
  SafeArrayDestroy(errors);
  errors = nullptr;
  ASSERT_EQ(S_OK, group_->AsyncWrite(2, &handles, &values, &errors, 78, &cancel));
  EXPECT_EQ(302, cancel);
  SafeArrayDestroy(errors);
  ASSERT_EQ(S_OK, group_->AsyncRefresh(OPC_DS_CACHE, 79, &cancel));
  EXPECT_EQ(303, cancel);
  EXPECT_EQ(S_OK, group_->AsyncCancel(303));
  EXPECT_EQ((std::vector<DWORD>{77, 78, 79}), fake_->transactions);
  EXPECT_EQ((std::vector<DWORD>{303}), fake_->cancelled);
  EXPECT_EQ((std::vector<OPCHANDLE>{1001, 1002}), fake_->readHandles.back());
  EXPECT_EQ(E_INVALIDARG, group_->AsyncRefresh(0, 80, &cancel));
  EXPECT_EQ(E_INVALIDARG, group_->AsyncRefresh(OPC_DS_CACHE, 80, nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->AsyncRead(2, &handles, &errors, 80, nullptr));
  EXPECT_EQ(3u, fake_->transactions.size()) << "refused calls reach no server";
  fake_->asyncResult = E_FAIL;
  errors = nullptr;
  EXPECT_EQ(E_FAIL, group_->AsyncRead(2, &handles, &errors, 81, &cancel));
  EXPECT_EQ(nullptr, errors);

  OPCHANDLE clients[] = {static_cast<OPCHANDLE>(ui2_), 4242};
  Variant readValues[] = {Variant(static_cast<unsigned short>(5)), Variant()};
  WORD qualities[] = {0xC0, 0x00};
  FILETIME times[] = {fakegroup::MakeFileTime(2024, 1, 2, 3, 4, 5, 6), {}};
  HRESULT readErrors[] = {S_OK, OPC_E_INVALIDHANDLE};
  EXPECT_EQ(S_OK, sink->OnReadComplete(77, 900, S_OK, S_FALSE, 2, clients, readValues, qualities, times, readErrors));
  HRESULT writeErrors[] = {OPC_E_BADRIGHTS, S_OK};
  EXPECT_EQ(S_OK, sink->OnWriteComplete(78, 900, S_FALSE, 2, clients, writeErrors));
  EXPECT_EQ(S_OK, sink->OnCancelComplete(79, 900));

  ASSERT_EQ(3u, log_.size()) << "no GlobalDataChange for completions";
  const Event& read = log_[0];
  EXPECT_EQ(2, read.id);
  ASSERT_EQ(7u, read.args.size());
  EXPECT_EQ(77, V_I4(&read.args[0]));
  EXPECT_EQ(2, V_I4(&read.args[1]));
  EXPECT_EQ((std::vector<LONG>{11, 0}), Elements<LONG>(read.args[2], VT_I4));
  auto v = VariantElements(read.args[3]);
  ASSERT_EQ(2u, v.size());
  EXPECT_EQ(VT_I4, V_VT(&v[0]));
  EXPECT_EQ((std::vector<LONG>{0xC0, 0}), Elements<LONG>(read.args[4], VT_I4));
  EXPECT_EQ(VT_ARRAY | VT_DATE, V_VT(&read.args[5]));
  EXPECT_EQ((std::vector<LONG>{0, static_cast<LONG>(OPC_E_INVALIDHANDLE)}), Elements<LONG>(read.args[6], VT_I4));

  const Event& write = log_[1];
  EXPECT_EQ(3, write.id);
  ASSERT_EQ(4u, write.args.size());
  EXPECT_EQ(VT_I4, V_VT(&write.args[0]));
  EXPECT_EQ(78, V_I4(&write.args[0]));
  EXPECT_EQ(2, V_I4(&write.args[1]));
  EXPECT_EQ((std::vector<LONG>{11, 0}), Elements<LONG>(write.args[2], VT_I4));
  EXPECT_EQ((std::vector<LONG>{static_cast<LONG>(OPC_E_BADRIGHTS), 0}), Elements<LONG>(write.args[3], VT_I4));

  const Event& cancelled = log_[2];
  EXPECT_EQ(4, cancelled.id);
  ASSERT_EQ(1u, cancelled.args.size());
  EXPECT_EQ(VT_I4, V_VT(&cancelled.args[0]));
  EXPECT_EQ(79, V_I4(&cancelled.args[0]));
  SafeArrayDestroy(handles);
  SafeArrayDestroy(values);
}

TEST_F(GroupDataTest, AGroupRemovedInsideItsDataChangeRaisesNoGlobalDataChangeAndIgnoresLaterCallbacks) {
  AdviseRecorders();
  IOPCDataCallback* sink = Subscribe();
  ASSERT_NE(nullptr, sink);
  ComPtr<IOPCDataCallback> held(sink);  // as the server's stub holds it
  groupSink_->onEvent = [&] { object_->Detach(); };
  OPCHANDLE clients[] = {static_cast<OPCHANDLE>(r8_)};
  Variant values[] = {Variant(1.0)};
  WORD qualities[] = {0xC0};
  FILETIME times[] = {fakegroup::MakeFileTime(2024, 1, 1, 0, 0, 0, 0)};
  HRESULT errors[] = {S_OK};
  EXPECT_EQ(S_OK, held->OnDataChange(0, 900, S_OK, S_OK, 1, clients, values, qualities, times, errors));
  ASSERT_EQ(1u, log_.size());
  EXPECT_EQ("group", log_[0].sink);
  EXPECT_TRUE(fake_->point->sinks.empty()) << "detach unadvised";
  EXPECT_EQ(S_OK, held->OnDataChange(0, 900, S_OK, S_OK, 1, clients, values, qualities, times, errors));
  EXPECT_EQ(S_OK, held->OnCancelComplete(1, 900));
  EXPECT_EQ(1u, log_.size()) << "a detached group ignores callbacks";
  LONG rate = 0;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->get_UpdateRate(&rate));
}

}  // namespace
