// The group's DA 2.0 data path against SimServer in its own process (Sim.OPCDA.2), early bound
// as a compiled client calls: subscriptions to ramps with DataChange and GlobalDataChange reaching
// a C++ event sink, the asynchronous calls and their completions, SyncRead and SyncWrite on
// registers, and a group held after its removal.
#include <gtest/gtest.h>

#include "ServerObject.h"
#include "SimServerProcess.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using common::Bstr;
using common::ComPtr;
using common::Variant;

using simserver::BinPath;
using simserver::NoSimServerRunning;
using simserver::Pump;
using simserver::StartedServer;

namespace {


struct Event {
  std::string sink;
  DISPID id;
  std::vector<Variant> args;
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
    if (onEvent) onEvent(id);
    return S_OK;
  }
  std::function<void(DISPID)> onEvent;

 private:
  IID iid_;
  std::string name_;
  std::vector<Event>* log_;
};

template <class T>
std::vector<T> Elements(const VARIANT& v, VARTYPE vt) {
  std::vector<T> out;
  EXPECT_EQ(VT_ARRAY | vt, V_VT(&v));
  if (V_VT(&v) != (VT_ARRAY | vt)) return out;
  SAFEARRAY* sa = V_ARRAY(&v);
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
std::vector<LONG> LongsOf(SAFEARRAY* sa) {
  VARIANT v;
  V_VT(&v) = VT_ARRAY | VT_I4;
  V_ARRAY(&v) = sa;
  return Elements<LONG>(v, VT_I4);
}
SAFEARRAY* LongArray(std::vector<LONG> values) {
  SAFEARRAYBOUND b{static_cast<ULONG>(values.size()), 1};
  SAFEARRAY* sa = SafeArrayCreate(VT_I4, 1, &b);
  for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
    LONG at = i + 1;
    SafeArrayPutElement(sa, &at, &values[i]);
  }
  return sa;
}
SAFEARRAY* VariantArray(std::vector<Variant> values) {
  SAFEARRAYBOUND b{static_cast<ULONG>(values.size()), 1};
  SAFEARRAY* sa = SafeArrayCreate(VT_VARIANT, 1, &b);
  for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
    LONG at = i + 1;
    SafeArrayPutElement(sa, &at, &values[i]);
  }
  return sa;
}


DATE Now() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  DATE d = 0;
  SystemTimeToVariantTime(&st, &d);
  return d;
}

class GroupSimTest : public ::testing::Test {
 protected:
  virtual const wchar_t* ProgId() const { return L"Sim.OPCDA.2"; }
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_EQ(S_OK, veltrane::CreateServerObject(IID_IOPCAutoServer, server_.PutVoid()));
    ASSERT_EQ(S_OK, server_->Connect(Bstr(ProgId()).Get(), Variant::Missing()));
    ASSERT_EQ(S_OK, server_->get_OPCGroups(groups_.GetAddressOf()));
    ASSERT_EQ(S_OK, groups_->put_DefaultGroupUpdateRate(100));
    ASSERT_EQ(S_OK, groups_->Add(Variant(L"data"), group_.GetAddressOf()));
    ASSERT_EQ(S_OK, group_->get_OPCItems(items_.GetAddressOf()));
    groupSink_ = common::Make<Recorder>(DIID_DIOPCGroupEvent, "group", &log_);
    globalSink_ = common::Make<Recorder>(DIID_DIOPCGroupsEvent, "global", &log_);
    Advise(group_.Get(), DIID_DIOPCGroupEvent, groupSink_->Unknown());
    Advise(server_.Get(), DIID_DIOPCGroupsEvent, globalSink_->Unknown());
  }
  void TearDown() override {
    items_.Reset();
    group_.Reset();
    if (server_) server_->Disconnect();
    groups_.Reset();
    server_.Reset();
    CoUninitialize();
  }
  static void Advise(IUnknown* source, REFIID iid, IUnknown* sink) {
    ComPtr<IConnectionPointContainer> c;
    ASSERT_EQ(S_OK, source->QueryInterface(IID_IConnectionPointContainer, c.PutVoid()));
    ComPtr<IConnectionPoint> p;
    ASSERT_EQ(S_OK, c->FindConnectionPoint(iid, p.GetAddressOf()));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, p->Advise(sink, &cookie));
  }
  LONG AddItem(const wchar_t* id, LONG client) {
    ComPtr<OPCItem> item;
    EXPECT_EQ(S_OK, items_->AddItem(Bstr(id).Get(), client, item.GetAddressOf()));
    LONG handle = 0;
    if (item) item->get_ServerHandle(&handle);
    return handle;
  }
  size_t Count(const char* sink, DISPID id) const {
    size_t n = 0;
    for (auto& e : log_) n += e.sink == sink && e.id == id;
    return n;
  }
  const Event* First(const char* sink, DISPID id) const {
    for (auto& e : log_)
      if (e.sink == sink && e.id == id) return &e;
    return nullptr;
  }

  ComPtr<IOPCAutoServer> server_;
  ComPtr<IOPCGroups> groups_;
  ComPtr<IOPCGroup> group_;
  ComPtr<OPCItems> items_;
  std::vector<Event> log_;
  ComPtr<Recorder> groupSink_, globalSink_;
};

TEST_F(GroupSimTest, RampsRaiseDataChangeAndGlobalDataChangeOnlyWhileSubscribed) {
  LONG ramp = AddItem(L"Ramp.I4", 7);
  LONG rampU = AddItem(L"Ramp.UI2", 8);
  ASSERT_NE(0, ramp);
  ASSERT_NE(0, rampU);
  ASSERT_EQ(S_OK, group_->put_ClientHandle(1234));
  Pump(700, [] { return false; });
  EXPECT_EQ(0u, Count("group", 1)) << "a new group raises nothing before it is subscribed";

  ASSERT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  ASSERT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  Pump(10000, [&] { return Count("group", 1) >= 3 && Count("global", 1) >= 3; });
  ASSERT_GE(Count("group", 1), 3u);
  ASSERT_GE(Count("global", 1), 3u);
  // Subscribing twice advised once: every group event is matched by exactly one global one.
  EXPECT_EQ(Count("group", 1), Count("global", 1));

  const Event* dc = First("group", 1);
  ASSERT_EQ(6u, dc->args.size());
  EXPECT_EQ(VT_I4, V_VT(&dc->args[0]));
  EXPECT_EQ(0, V_I4(&dc->args[0])) << "subscription data carries transaction 0";
  LONG n = V_I4(&dc->args[1]);
  auto clients = Elements<LONG>(dc->args[2], VT_I4);
  EXPECT_EQ(static_cast<size_t>(n), clients.size());
  for (LONG c : clients) EXPECT_TRUE(c == 7 || c == 8) << c;
  auto qualities = Elements<LONG>(dc->args[4], VT_I4);
  for (LONG q : qualities) EXPECT_EQ(OPC_QUALITY_GOOD, q & 0xC0);
  auto times = Elements<DATE>(dc->args[5], VT_DATE);
  for (DATE t : times) EXPECT_NEAR(Now(), t, 30.0 / 86400) << "a local-time stamp of now";
  auto values = Elements<VARIANT>(dc->args[3], VT_VARIANT);
  for (auto& v : values) {
    EXPECT_EQ(VT_I4, V_VT(&v)) << "Ramp.I4 as it is, Ramp.UI2 adjusted";
    VariantClear(&v);
  }
  const Event* global = First("global", 1);
  ASSERT_EQ(7u, global->args.size());
  EXPECT_EQ(1234, V_I4(&global->args[1]));

  // Unsubscribed, the data stops.
  ASSERT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_FALSE));
  Pump(300, [] { return false; });
  size_t before = Count("group", 1);
  Pump(800, [] { return false; });
  EXPECT_EQ(before, Count("group", 1));
}

TEST_F(GroupSimTest, AsyncCallsCompleteWithTheClientsTransaction) {
  LONG reg = AddItem(L"Register.I4", 31);
  LONG ramp = AddItem(L"Ramp.R8", 32);
  ASSERT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  Pump(3000, [&] { return Count("group", 1) >= 1; });

  SAFEARRAY* handles = LongArray({reg, ramp});
  SAFEARRAY* errors = nullptr;
  LONG cancel = 0;
  ASSERT_EQ(S_OK, group_->AsyncRead(2, &handles, &errors, 501, &cancel));
  EXPECT_EQ((std::vector<LONG>{0, 0}), LongsOf(errors));
  SafeArrayDestroy(errors);
  Pump(5000, [&] { return Count("group", 2) >= 1; });
  const Event* read = First("group", 2);
  ASSERT_NE(nullptr, read);
  ASSERT_EQ(7u, read->args.size());
  EXPECT_EQ(501, V_I4(&read->args[0]));
  EXPECT_EQ(2, V_I4(&read->args[1]));
  auto clients = Elements<LONG>(read->args[2], VT_I4);
  std::sort(clients.begin(), clients.end());
  EXPECT_EQ((std::vector<LONG>{31, 32}), clients);
  EXPECT_EQ((std::vector<LONG>{0, 0}), Elements<LONG>(read->args[6], VT_I4));

  SAFEARRAY* one = LongArray({reg});
  SAFEARRAY* values = VariantArray({Variant(4321)});
  errors = nullptr;
  ASSERT_EQ(S_OK, group_->AsyncWrite(1, &one, &values, &errors, 502, &cancel));
  SafeArrayDestroy(errors);
  Pump(5000, [&] { return Count("group", 3) >= 1; });
  const Event* write = First("group", 3);
  ASSERT_NE(nullptr, write);
  ASSERT_EQ(4u, write->args.size());
  EXPECT_EQ(502, V_I4(&write->args[0]));
  EXPECT_EQ((std::vector<LONG>{31}), Elements<LONG>(write->args[2], VT_I4));
  EXPECT_EQ((std::vector<LONG>{0}), Elements<LONG>(write->args[3], VT_I4));

  log_.clear();
  ASSERT_EQ(S_OK, group_->AsyncRefresh(OPC_DS_DEVICE, 503, &cancel));
  Pump(5000, [&] {
    for (auto& e : log_)
      if (e.sink == "group" && e.id == 1 && V_I4(&e.args[0]) == 503) return true;
    return false;
  });
  bool refreshed = false;
  for (auto& e : log_) refreshed |= e.sink == "group" && e.id == 1 && V_I4(&e.args[0]) == 503;
  EXPECT_TRUE(refreshed) << "refresh data arrives as DataChange with the client's transaction";

  // Cancel: either the server still had the read (AsyncCancelComplete) or it had already
  // completed it (the cancel is refused); both are the server's to decide.
  log_.clear();
  errors = nullptr;
  ASSERT_EQ(S_OK, group_->AsyncRead(2, &handles, &errors, 504, &cancel));
  SafeArrayDestroy(errors);
  HRESULT hr = group_->AsyncCancel(cancel);
  if (hr == S_OK) {
    Pump(5000, [&] { return Count("group", 4) + Count("group", 2) >= 1; });
    const Event* c = First("group", 4);
    if (c) {
      ASSERT_EQ(1u, c->args.size());
      EXPECT_EQ(VT_I4, V_VT(&c->args[0]));
      EXPECT_EQ(504, V_I4(&c->args[0]));
    }
    EXPECT_GE(Count("group", 4) + Count("group", 2), 1u);
  } else {
    EXPECT_TRUE(FAILED(hr));
  }
  for (SAFEARRAY* sa : {handles, one, values}) SafeArrayDestroy(sa);
}

TEST_F(GroupSimTest, SyncReadAndWriteOnRegisters) {
  LONG reg = AddItem(L"Register.UI2", 41);
  SAFEARRAY* handles = LongArray({reg});
  SAFEARRAY* values = VariantArray({Variant(static_cast<LONG>(60000))});
  SAFEARRAY* errors = nullptr;
  ASSERT_EQ(S_OK, group_->SyncWrite(1, &handles, &values, &errors));
  EXPECT_EQ((std::vector<LONG>{0}), LongsOf(errors));
  SafeArrayDestroy(errors);

  SAFEARRAY* read = nullptr;
  errors = nullptr;
  Variant qualities, times;
  ASSERT_EQ(S_OK, group_->SyncRead(OPC_DS_DEVICE, 1, &handles, &read, &errors, &qualities, &times));
  VARIANT holder;
  V_VT(&holder) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&holder) = read;
  auto got = Elements<VARIANT>(holder, VT_VARIANT);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(VT_UI2, V_VT(&got[0])) << "Values as the server gave them";
  EXPECT_EQ(60000, V_UI2(&got[0]));
  VariantClear(&got[0]);
  SafeArrayDestroy(read);
  SafeArrayDestroy(errors);
  EXPECT_EQ((std::vector<SHORT>{OPC_QUALITY_GOOD}), Elements<SHORT>(qualities, VT_I2));
  auto t = Elements<DATE>(times, VT_DATE);
  ASSERT_EQ(1u, t.size());
  EXPECT_NEAR(Now(), t[0], 30.0 / 86400);

  ComPtr<OPCItem> item;
  ASSERT_EQ(S_OK, items_->GetOPCItem(reg, item.GetAddressOf()));
  Variant stored;
  ASSERT_EQ(S_OK, item->get_Value(&stored));
  EXPECT_EQ(VT_I4, V_VT(&stored)) << "the item holds the client type";
  EXPECT_EQ(60000, V_I4(&stored));
  SafeArrayDestroy(handles);
  SafeArrayDestroy(values);
}

TEST_F(GroupSimTest, AGroupHeldAfterRemovalAnswersNoConnection) {
  AddItem(L"Ramp.I4", 1);
  ASSERT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  LONG handle = 0;
  ASSERT_EQ(S_OK, group_->get_ServerHandle(&handle));
  ASSERT_EQ(S_OK, groups_->Remove(Variant(handle)));
  Bstr name;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->get_Name(name.ReleaseAndGetAddressOf()));
  LONG cancel = 0;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->AsyncRefresh(OPC_DS_CACHE, 1, &cancel));
  log_.clear();
  Pump(800, [] { return false; });
  EXPECT_TRUE(log_.empty()) << "no data once removed";
}

// ------------------------------------------------------------------------- DA 1.0 (Sim.OPCDA.1)

class GroupSimDa10Test : public GroupSimTest {
 protected:
  const wchar_t* ProgId() const override { return L"Sim.OPCDA.1"; }
  bool Has(const char* sink, DISPID id, LONG transaction) const {
    for (auto& e : log_)
      if (e.sink == sink && e.id == id && V_I4(&e.args[0]) == transaction) return true;
    return false;
  }
};

TEST_F(GroupSimDa10Test, StreamsRaiseDataChangeAndCompletionsWithTheClientsTransaction) {
  LONG reg = AddItem(L"Register.I4", 51);
  LONG ramp = AddItem(L"Ramp.UI2", 52);
  ASSERT_EQ(S_OK, group_->put_ClientHandle(77));
  Pump(600, [] { return false; });
  EXPECT_EQ(0u, Count("group", 1)) << "nothing before subscribing";
  ASSERT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  ASSERT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  Pump(10000, [&] { return Count("group", 1) >= 3; });
  ASSERT_GE(Count("group", 1), 3u);
  EXPECT_EQ(Count("group", 1), Count("global", 1));
  const Event* dc = First("group", 1);
  EXPECT_EQ(0, V_I4(&dc->args[0])) << "subscription data carries 0";
  auto clients = Elements<LONG>(dc->args[2], VT_I4);
  for (LONG c : clients) EXPECT_TRUE(c == 51 || c == 52) << c;
  auto values = Elements<VARIANT>(dc->args[3], VT_VARIANT);
  for (auto& v : values) {
    EXPECT_EQ(VT_I4, V_VT(&v));
    VariantClear(&v);
  }
  for (DATE t : Elements<DATE>(dc->args[5], VT_DATE)) EXPECT_NEAR(Now(), t, 30.0 / 86400);
  EXPECT_EQ(77, V_I4(&First("global", 1)->args[1]));

  SAFEARRAY* handles = LongArray({reg, ramp});
  SAFEARRAY* errors = nullptr;
  LONG cancel = 0;
  ASSERT_EQ(S_OK, group_->AsyncRead(2, &handles, &errors, 601, &cancel));
  SafeArrayDestroy(errors);
  Pump(5000, [&] { return Has("group", 2, 601); });
  EXPECT_TRUE(Has("group", 2, 601));

  SAFEARRAY* one = LongArray({reg});
  SAFEARRAY* written = VariantArray({Variant(99)});
  errors = nullptr;
  ASSERT_EQ(S_OK, group_->AsyncWrite(1, &one, &written, &errors, 602, &cancel));
  SafeArrayDestroy(errors);
  Pump(5000, [&] { return Has("group", 3, 602); });
  EXPECT_TRUE(Has("group", 3, 602));

  ASSERT_EQ(S_OK, group_->AsyncRefresh(OPC_DS_CACHE, 603, &cancel));
  Pump(5000, [&] { return Has("group", 1, 603); });
  EXPECT_TRUE(Has("group", 1, 603)) << "refresh data as DataChange with the client's transaction";
  EXPECT_FALSE(Has("group", 2, 603));
  for (SAFEARRAY* sa : {handles, one, written}) SafeArrayDestroy(sa);
}

TEST_F(GroupSimDa10Test, AsyncCancelRaisesItsEventBeforeItReturns) {
  LONG reg = AddItem(L"Register.I4", 61);
  ASSERT_EQ(S_OK, group_->put_IsSubscribed(VARIANT_TRUE));
  SAFEARRAY* handles = LongArray({reg});
  SAFEARRAY* errors = nullptr;
  LONG cancel = 0;
  ASSERT_EQ(S_OK, group_->AsyncRead(1, &handles, &errors, 701, &cancel));
  SafeArrayDestroy(errors);
  log_.clear();
  HRESULT hr = group_->AsyncCancel(cancel);
  if (SUCCEEDED(hr)) {
    ASSERT_TRUE(Has("group", 4, 701)) << "raised inside AsyncCancel, with the client's transaction";
  } else {
    // The read had already completed: the server refuses and nothing is raised.
    EXPECT_EQ(0u, Count("group", 4));
  }
  SafeArrayDestroy(handles);
}

// A server that sends a completion before the call that asked for it has returned its id.
TEST(GroupSimEarlyCompletionTest, AsyncReadAndCancelCompleteWithTheRightTransaction) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    StartedServer sim(L"--early-completion --linger-ms 200");
    ASSERT_TRUE(sim.ready) << sim.text;
    ComPtr<IOPCAutoServer> server;
    ASSERT_EQ(S_OK, veltrane::CreateServerObject(IID_IOPCAutoServer, server.PutVoid()));
    ASSERT_EQ(S_OK, server->Connect(Bstr(L"Sim.OPCDA.1").Get(), Variant::Missing()));
    ComPtr<IOPCGroups> groups;
    ASSERT_EQ(S_OK, server->get_OPCGroups(groups.GetAddressOf()));
    ComPtr<IOPCGroup> group;
    ASSERT_EQ(S_OK, groups->Add(Variant(L"early"), group.GetAddressOf()));
    ComPtr<OPCItems> items;
    ASSERT_EQ(S_OK, group->get_OPCItems(items.GetAddressOf()));
    ComPtr<OPCItem> item;
    ASSERT_EQ(S_OK, items->AddItem(Bstr(L"Register.I4").Get(), 81, item.GetAddressOf()));
    LONG handle = 0;
    item->get_ServerHandle(&handle);
    std::vector<Event> log;
    auto sink = common::Make<Recorder>(DIID_DIOPCGroupEvent, "group", &log);
    ComPtr<IConnectionPointContainer> c;
    ASSERT_EQ(S_OK, group->QueryInterface(IID_IConnectionPointContainer, c.PutVoid()));
    ComPtr<IConnectionPoint> p;
    ASSERT_EQ(S_OK, c->FindConnectionPoint(DIID_DIOPCGroupEvent, p.GetAddressOf()));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, p->Advise(sink->Unknown(), &cookie));
    ASSERT_EQ(S_OK, group->put_IsSubscribed(VARIANT_TRUE));

    SAFEARRAY* handles = LongArray({handle});
    SAFEARRAY* errors = nullptr;
    LONG cancel = -1, cancelAtEvent = -2;
    sink->onEvent = [&](DISPID id) {
      if (id == 2) cancelAtEvent = cancel;
    };
    ASSERT_EQ(S_OK, group->AsyncRead(1, &handles, &errors, 801, &cancel));
    SafeArrayDestroy(errors);
    Pump(5000, [&] {
      for (auto& e : log)
        if (e.id == 2) return true;
      return false;
    });
    const Event* read = nullptr;
    for (auto& e : log)
      if (e.id == 2) read = &e;
    ASSERT_NE(nullptr, read) << "AsyncReadComplete for the early stream";
    EXPECT_EQ(801, V_I4(&read->args[0]));
    EXPECT_EQ(cancel, cancelAtEvent) << "raised once the call's own outputs were set";
    EXPECT_EQ((std::vector<LONG>{81}), Elements<LONG>(read->args[2], VT_I4));

    // Refresh data that came early still carries the client's transaction.
    log.clear();
    ASSERT_EQ(S_OK, group->AsyncRefresh(OPC_DS_DEVICE, 802, &cancel));
    Pump(5000, [&] {
      for (auto& e : log)
        if (e.id == 1 && V_I4(&e.args[0]) == 802) return true;
      return false;
    });
    bool refreshed = false;
    for (auto& e : log) refreshed |= e.id == 1 && V_I4(&e.args[0]) == 802;
    EXPECT_TRUE(refreshed);
    SafeArrayDestroy(handles);
    p->Unadvise(cookie);
    item.Reset();
    items.Reset();
    group.Reset();
    groups.Reset();
    server->Disconnect();
  }
  CoUninitialize();
}

}  // namespace
