// The toolkit's server engine, driven in process through the OPC interfaces exactly as a
// client drives it; timers and completions run through the thread's message queue.
#include <algorithm>
#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace opc_toolkit;
using namespace opc_toolkit_test;

namespace {

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    Make(ToolkitConfig{});
  }
  void TearDown() override {
    for (auto* u : held_) u->Release();
    held_.clear();
    if (server_) server_->Release();
    server_ = nullptr;
    toolkit_.reset();
    CoUninitialize();
  }
  void Make(const ToolkitConfig& cfg) {
    toolkit_ = CreateServerToolkit(cfg, &host_);
    IServedTags& tags = toolkit_->ServedTags();
    VARIANT d = Var(1.5), i = Var(7L), b = VarBool(true), s;
    VariantInit(&s);
    V_VT(&s) = VT_BSTR;
    V_BSTR(&s) = SysAllocString(L"hello");
    ASSERT_EQ(tags.Add(L"Plant.Line1.Speed", kAccessReadWrite, d, kQualityGood, 0), S_OK);
    ASSERT_EQ(tags.Add(L"Plant.Line1.Count", kAccessRead, i, kQualityGood, 0), S_OK);
    ASSERT_EQ(tags.Add(L"Plant.Line2.Name", kAccessReadWrite, s, kQualityBad, 0), S_OK);
    ASSERT_EQ(tags.Add(L"Level", kAccessReadWrite, d, kQualityGood, 0), S_OK);
    ASSERT_EQ(tags.Add(L"Top", kAccessReadWrite, b, kQualityGood, 0), S_OK);
    VariantClear(&s);
    ASSERT_EQ(ConnectInProcess(*toolkit_, IID_IOPCServer, reinterpret_cast<void**>(&server_)),
              S_OK);
  }
  template <class I>
  I* As(IUnknown* u, REFIID iid) {
    I* p = nullptr;
    EXPECT_EQ(u->QueryInterface(iid, reinterpret_cast<void**>(&p)), S_OK);
    if (p) held_.push_back(p);
    return p;
  }
  IOPCItemMgt* Group(const wchar_t* name, DWORD rate = 100, bool active = true,
                     float deadband = 0.0f, OPCHANDLE* hServer = nullptr) {
    OPCHANDLE h = 0;
    DWORD revised = 0;
    IOPCItemMgt* g = nullptr;
    HRESULT hr = server_->AddGroup(name, active, rate, 900, nullptr, &deadband, 0, &h, &revised,
                                   IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&g));
    EXPECT_TRUE(SUCCEEDED(hr));
    if (g) held_.push_back(g);
    if (hServer) *hServer = h;
    return g;
  }
  // Adds items (client handle = 100 + index); returns their server handles (0 for failures).
  std::vector<OPCHANDLE> Add(IOPCItemMgt* g, std::vector<const wchar_t*> ids,
                             std::vector<HRESULT>* errs = nullptr, VARTYPE vt = VT_EMPTY) {
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      defs[i] = {};
      defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
      defs[i].szAccessPath = const_cast<LPWSTR>(L"");
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
      defs[i].vtRequestedDataType = vt;
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* e = nullptr;
    g->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &res, &e);
    std::vector<OPCHANDLE> out;
    for (size_t i = 0; i < ids.size(); ++i) {
      out.push_back(SUCCEEDED(e[i]) ? res[i].hServer : 0);
      if (errs) errs->push_back(e[i]);
    }
    CoTaskMemFree(res);
    CoTaskMemFree(e);
    return out;
  }
  DWORD Subscribe(IUnknown* g, Sink& sink) {
    auto* cpc = As<IConnectionPointContainer>(g, IID_IConnectionPointContainer);
    IConnectionPoint* cp = nullptr;
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp), S_OK);
    DWORD cookie = 0;
    EXPECT_EQ(cp->Advise(static_cast<IOPCDataCallback*>(&sink), &cookie), S_OK);
    cp->Release();
    return cookie;
  }
  void Update(const wchar_t* tag, VARIANT v, short q = kQualityGood) {
    ASSERT_EQ(toolkit_->ServedTags().Item(tag)->UpdateValue(&v, q, 0), S_OK);
    VariantClear(&v);
  }

  // Sinks outlive the objects that hold them (released in TearDown).
  Sink& NewSink() {
    sinks_.push_back(std::make_unique<Sink>());
    return *sinks_.back();
  }

  std::vector<std::unique_ptr<Sink>> sinks_;
  Host host_;
  std::unique_ptr<IServerToolkit> toolkit_;
  IOPCServer* server_ = nullptr;
  std::vector<IUnknown*> held_;
};

TEST_F(Engine, CountsClientsFromCreationToLastRelease) {
  EXPECT_EQ(host_.connected, std::vector<long>{1});
  IOPCServer* second = nullptr;
  ASSERT_EQ(ConnectInProcess(*toolkit_, IID_IOPCServer, reinterpret_cast<void**>(&second)), S_OK);
  EXPECT_EQ(host_.connected, (std::vector<long>{1, 2}));
  EXPECT_TRUE(toolkit_->ClientsConnected());
  // A group keeps nothing alive once the server object is gone: no cycle keeps a client counted.
  IOPCItemMgt* g = nullptr;
  OPCHANDLE h;
  DWORD rate;
  ASSERT_EQ(second->AddGroup(L"g", TRUE, 1000, 1, nullptr, nullptr, 0, &h, &rate, IID_IOPCItemMgt,
                             reinterpret_cast<LPUNKNOWN*>(&g)),
            S_OK);
  second->Release();
  EXPECT_EQ(host_.disconnected, std::vector<long>{1});
  g->Release();
  server_->Release();
  server_ = nullptr;
  EXPECT_EQ(host_.disconnected, (std::vector<long>{1, 0}));
  EXPECT_FALSE(toolkit_->ClientsConnected());
}

TEST_F(Engine, TagSpaceRefusesBadTagsAndKeepsTypes) {
  IServedTags& tags = toolkit_->ServedTags();
  VARIANT v = Var(1L);
  EXPECT_EQ(tags.Add(L"", kAccessRead, v, 0, 0), E_INVALIDARG);
  EXPECT_EQ(tags.Add(L"a..b", kAccessRead, v, 0, 0), E_INVALIDARG);
  EXPECT_EQ(tags.Add(L"x", 2, v, 0, 0), E_INVALIDARG);
  EXPECT_EQ(tags.Add(L"plant.line1.SPEED", kAccessRead, v, 0, 0), OPC_E_DUPLICATENAME);
  EXPECT_EQ(tags.Count(), 5);
  IServedTag* t = tags.Item(L"PLANT.line1.speed");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->DataType(), VT_R8);
  EXPECT_EQ(tags.Item(L"nothing"), nullptr);
  // A value of another type is kept in the tag's own type; an impossible one is refused.
  VARIANT s;
  VariantInit(&s);
  V_VT(&s) = VT_BSTR;
  V_BSTR(&s) = SysAllocString(L"2.25");
  EXPECT_EQ(t->UpdateValue(&s, kQualityGood, 0), S_OK);
  VariantClear(&s);
  VARIANT out;
  short q = 0;
  t->Read(&out, &q, nullptr);
  EXPECT_EQ(V_VT(&out), VT_R8);
  EXPECT_DOUBLE_EQ(V_R8(&out), 2.25);
  V_VT(&s) = VT_BSTR;
  V_BSTR(&s) = SysAllocString(L"abc");
  EXPECT_TRUE(FAILED(t->UpdateValue(&s, kQualityGood, 0)));
  VariantClear(&s);
  // No value: empty, with the quality given.
  EXPECT_EQ(t->UpdateValue(nullptr, kQualityBad, 0), S_OK);
  VariantClear(&out);
  t->Read(&out, &q, nullptr);
  EXPECT_EQ(V_VT(&out), VT_EMPTY);
  EXPECT_EQ(q, kQualityBad);
}

TEST_F(Engine, GroupsNamesRatesAndRemoval) {
  OPCHANDLE h = 0, h2 = 0;
  DWORD revised = 0;
  IUnknown* g = nullptr;
  EXPECT_EQ(server_->AddGroup(L"Fast", TRUE, 10, 5, nullptr, nullptr, 0, &h, &revised,
                              IID_IOPCGroupStateMgt, &g),
            OPC_S_UNSUPPORTEDRATE);
  EXPECT_EQ(revised, 50u);
  held_.push_back(g);
  IUnknown* dup = nullptr;
  EXPECT_EQ(server_->AddGroup(L"fast", TRUE, 1000, 5, nullptr, nullptr, 0, &h2, &revised,
                              IID_IOPCGroupStateMgt, &dup),
            OPC_E_DUPLICATENAME);
  float bad = 101.0f;
  EXPECT_EQ(server_->AddGroup(L"x", TRUE, 1000, 5, nullptr, &bad, 0, &h2, &revised,
                              IID_IOPCGroupStateMgt, &dup),
            E_INVALIDARG);
  EXPECT_EQ(server_->AddGroup(L"x", TRUE, 1000, 5, nullptr, nullptr, 0, nullptr, &revised,
                              IID_IOPCGroupStateMgt, &dup),
            E_INVALIDARG);
  EXPECT_EQ(server_->AddGroup(L"x", TRUE, 1000, 5, nullptr, nullptr, 0, &h2, &revised,
                              IID_IOPCServer, &dup),
            E_NOINTERFACE);

  auto* state = As<IOPCGroupStateMgt>(g, IID_IOPCGroupStateMgt);
  DWORD rate, lcid;
  BOOL active;
  LPWSTR name = nullptr;
  LONG bias;
  FLOAT db;
  OPCHANDLE hc, hs;
  ASSERT_EQ(state->GetState(&rate, &active, &name, &bias, &db, &lcid, &hc, &hs), S_OK);
  EXPECT_STREQ(name, L"Fast");
  CoTaskMemFree(name);
  EXPECT_EQ(hc, 5u);
  EXPECT_EQ(hs, h);
  DWORD want = 2000, got = 0;
  EXPECT_EQ(state->SetState(&want, &got, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(got, 2000u);

  IUnknown* byName = nullptr;
  ASSERT_EQ(server_->GetGroupByName(L"FAST", IID_IOPCSyncIO, &byName), S_OK);
  byName->Release();
  EXPECT_EQ(server_->GetGroupByName(L"none", IID_IOPCSyncIO, &byName), E_INVALIDARG);

  IEnumString* names = nullptr;
  ASSERT_EQ(server_->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString,
                                           reinterpret_cast<LPUNKNOWN*>(&names)),
            S_OK);
  LPOLESTR first = nullptr;
  ULONG n = 0;
  EXPECT_EQ(names->Next(1, &first, &n), S_OK);
  EXPECT_STREQ(first, L"Fast");
  CoTaskMemFree(first);
  names->Release();

  EXPECT_EQ(server_->RemoveGroup(h + 77, FALSE), E_INVALIDARG);
  // The client still holds the group: it is removed from the server but still in use.
  EXPECT_EQ(server_->RemoveGroup(h, FALSE), OPC_S_INUSE);
  EXPECT_EQ(server_->GetGroupByName(L"Fast", IID_IOPCSyncIO, &byName), E_INVALIDARG);
}

TEST_F(Engine, ItemsAreCheckedOneByOne) {
  IOPCItemMgt* g = Group(L"g");
  std::vector<HRESULT> errs;
  auto h = Add(g, {L"plant.line1.speed", L"Unknown.Tag", L"", L"bad..name", L"Top"}, &errs);
  EXPECT_EQ(errs[0], S_OK);
  EXPECT_EQ(errs[1], OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(errs[2], OPC_E_INVALIDITEMID);
  EXPECT_EQ(errs[3], OPC_E_INVALIDITEMID);
  EXPECT_EQ(errs[4], S_OK);
  errs.clear();
  // A string tag cannot be served as a date unless its text converts; an interface never.
  Add(g, {L"Plant.Line1.Count"}, &errs, VT_UNKNOWN);
  EXPECT_EQ(errs[0], OPC_E_BADTYPE);

  // The host may refuse an item.
  host_.validateErrors[L"Level"] = static_cast<long>(E_ACCESSDENIED);
  errs.clear();
  Add(g, {L"Level"}, &errs);
  EXPECT_EQ(errs[0], E_ACCESSDENIED);

  OPCITEMRESULT* res = nullptr;
  HRESULT* e = nullptr;
  EXPECT_EQ(g->AddItems(0, nullptr, &res, &e), E_INVALIDARG);
  OPCHANDLE handles[] = {h[0], 4242, h[4]};
  EXPECT_EQ(g->SetActiveState(3, handles, FALSE, &e), S_FALSE);
  EXPECT_EQ(e[0], S_OK);
  EXPECT_EQ(e[1], OPC_E_INVALIDHANDLE);
  CoTaskMemFree(e);
  VARTYPE types[] = {VT_BSTR, VT_BSTR, VT_DISPATCH};
  EXPECT_EQ(g->SetDatatypes(3, handles, types, &e), S_FALSE);
  EXPECT_EQ(e[0], S_OK);
  EXPECT_EQ(e[1], OPC_E_INVALIDHANDLE);
  EXPECT_EQ(e[2], OPC_E_BADTYPE);
  CoTaskMemFree(e);
  EXPECT_EQ(g->RemoveItems(3, handles, &e), S_FALSE);
  EXPECT_EQ(e[1], OPC_E_INVALIDHANDLE);
  CoTaskMemFree(e);
  // Removed handles are unknown from now on.
  EXPECT_EQ(g->RemoveItems(1, handles, &e), S_FALSE);
  EXPECT_EQ(e[0], OPC_E_INVALIDHANDLE);
  CoTaskMemFree(e);

  IEnumOPCItemAttributes* en = nullptr;
  ASSERT_EQ(g->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(&en)),
            S_FALSE);  // nothing left
  en->Release();
}

TEST_F(Engine, SyncReadsFromCacheAndDevice) {
  IOPCItemMgt* g = Group(L"g", 1000, false);
  auto h = Add(g, {L"Plant.Line1.Speed", L"Plant.Line2.Name"});
  auto* io = As<IOPCSyncIO>(g, IID_IOPCSyncIO);
  OPCHANDLE handles[] = {h[0], 999, h[1]};
  OPCITEMSTATE* st = nullptr;
  HRESULT* e = nullptr;
  // Inactive group: the cache is out of service, the device still answers.
  ASSERT_EQ(io->Read(OPC_DS_CACHE, 3, handles, &st, &e), S_FALSE);
  EXPECT_EQ(st[0].wQuality, OPC_QUALITY_OUT_OF_SERVICE);
  EXPECT_EQ(e[1], OPC_E_INVALIDHANDLE);
  for (int i = 0; i < 3; ++i) VariantClear(&st[i].vDataValue);
  CoTaskMemFree(st);
  CoTaskMemFree(e);
  ASSERT_EQ(io->Read(OPC_DS_DEVICE, 3, handles, &st, &e), S_FALSE);
  EXPECT_EQ(st[0].hClient, 100u);
  EXPECT_EQ(V_VT(&st[0].vDataValue), VT_R8);
  EXPECT_DOUBLE_EQ(V_R8(&st[0].vDataValue), 1.5);
  EXPECT_EQ(st[0].wQuality, OPC_QUALITY_GOOD);
  EXPECT_STREQ(V_BSTR(&st[2].vDataValue), L"hello");
  EXPECT_EQ(st[2].wQuality, OPC_QUALITY_BAD);
  for (int i = 0; i < 3; ++i) VariantClear(&st[i].vDataValue);
  CoTaskMemFree(st);
  CoTaskMemFree(e);
  EXPECT_EQ(io->Read(static_cast<OPCDATASOURCE>(7), 1, handles, &st, &e), E_INVALIDARG);
  EXPECT_EQ(io->Read(OPC_DS_DEVICE, 0, handles, &st, &e), E_INVALIDARG);
  EXPECT_EQ(io->Read(OPC_DS_DEVICE, 1, nullptr, &st, &e), E_INVALIDARG);

  // A requested type converts on the way out.
  VARTYPE vt = VT_BSTR;
  ASSERT_EQ(g->SetDatatypes(1, handles, &vt, &e), S_OK);
  CoTaskMemFree(e);
  ASSERT_EQ(io->Read(OPC_DS_DEVICE, 1, handles, &st, &e), S_OK);
  ASSERT_EQ(V_VT(&st[0].vDataValue), VT_BSTR);
  VariantClear(&st[0].vDataValue);
  CoTaskMemFree(st);
  CoTaskMemFree(e);
}

TEST_F(Engine, WritesReachTheHostWithItsResults) {
  IOPCItemMgt* g = Group(L"g");
  auto h = Add(g, {L"Plant.Line1.Speed", L"Plant.Line1.Count", L"Top"});
  auto* io = As<IOPCSyncIO>(g, IID_IOPCSyncIO);
  OPCHANDLE handles[] = {h[0], h[1], 31337, h[2]};
  VARIANT values[4];
  values[0] = Var(42L);  // converted to the tag's double
  values[1] = Var(1L);
  values[2] = Var(1L);
  values[3] = VarBool(false);
  host_.writeErrors[L"Top"] = static_cast<long>(E_FAIL);
  HRESULT* e = nullptr;
  ASSERT_EQ(io->Write(4, handles, values, &e), S_FALSE);
  EXPECT_EQ(e[0], S_OK);
  EXPECT_EQ(e[1], OPC_E_BADRIGHTS);
  EXPECT_EQ(e[2], OPC_E_INVALIDHANDLE);
  EXPECT_EQ(e[3], E_FAIL);
  CoTaskMemFree(e);
  ASSERT_EQ(host_.written, (std::vector<std::wstring>{L"Plant.Line1.Speed", L"Top"}));
  EXPECT_EQ(V_VT(&host_.values[0]), VT_R8);
  EXPECT_DOUBLE_EQ(V_R8(&host_.values[0]), 42.0);
  EXPECT_EQ(host_.writeCalls, 1);
  // A value that cannot become the tag's type never reaches the host.
  VARIANT text;
  VariantInit(&text);
  V_VT(&text) = VT_BSTR;
  V_BSTR(&text) = SysAllocString(L"not a number");
  ASSERT_EQ(io->Write(1, handles, &text, &e), S_FALSE);
  EXPECT_EQ(e[0], OPC_E_BADTYPE);
  CoTaskMemFree(e);
  VariantClear(&text);
  EXPECT_EQ(host_.writeCalls, 1);
}

TEST_F(Engine, WritesWithoutAHostFailAndWriteItemsExCarriesQualities) {
  // The host's answer decides; without a host nothing is written and nothing claims success.
  TearDown();
  CoInitialize(nullptr);
  ToolkitConfig cfg;
  cfg.writeItemsEx = true;
  Make(cfg);
  IOPCItemMgt* g = Group(L"g");
  auto h = Add(g, {L"Level"});
  auto* io = As<IOPCSyncIO>(g, IID_IOPCSyncIO);
  VARIANT v = Var(3.0);
  HRESULT* e = nullptr;
  ASSERT_EQ(io->Write(1, h.data(), &v, &e), S_OK);
  CoTaskMemFree(e);
  EXPECT_EQ(host_.writeExCalls, 1);
  EXPECT_EQ(host_.writeCalls, 0);
  EXPECT_EQ(host_.exQualities, std::vector<short>{kQualityGood});

  auto lonely = CreateServerToolkit(ToolkitConfig{}, nullptr);
  lonely->ServedTags().Add(L"T", kAccessReadWrite, v, kQualityGood, 0);
  IOPCServer* s = nullptr;
  ASSERT_EQ(ConnectInProcess(*lonely, IID_IOPCServer, reinterpret_cast<void**>(&s)), S_OK);
  OPCHANDLE hg;
  DWORD rate;
  IOPCItemMgt* g2 = nullptr;
  s->AddGroup(L"g", TRUE, 1000, 1, nullptr, nullptr, 0, &hg, &rate, IID_IOPCItemMgt,
              reinterpret_cast<LPUNKNOWN*>(&g2));
  auto h2 = Add(g2, {L"T"});
  IOPCSyncIO* io2 = nullptr;
  g2->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&io2));
  ASSERT_EQ(io2->Write(1, h2.data(), &v, &e), S_FALSE);
  EXPECT_EQ(e[0], E_FAIL);
  CoTaskMemFree(e);
  io2->Release();
  g2->Release();
  s->Release();
}

TEST_F(Engine, DataChangesCarryOnlyChangedItems) {
  IOPCItemMgt* g = Group(L"g", 50);
  auto h = Add(g, {L"Plant.Line1.Speed", L"Plant.Line1.Count", L"Top"});
  Sink& sink = NewSink();
  Subscribe(g, sink);
  Pump(2000, [&] { return sink.Count("data") >= 1; });
  ASSERT_EQ(sink.Count("data"), 1u);
  EXPECT_EQ(sink.Last("data")->handles.size(), 3u);  // first report: every active item
  EXPECT_EQ(sink.Last("data")->group, 900u);

  Update(L"Plant.Line1.Count", Var(8L));
  Pump(2000, [&] { return sink.Count("data") >= 2; });
  ASSERT_EQ(sink.Count("data"), 2u);
  const auto* c = sink.Last("data");
  ASSERT_EQ(c->handles, std::vector<OPCHANDLE>{101});
  EXPECT_EQ(V_I4(&c->values[0]), 8);

  // The same value again is no change; a new quality is.
  Update(L"Plant.Line1.Count", Var(8L));
  Pump(300);
  EXPECT_EQ(sink.Count("data"), 2u);
  Update(L"Plant.Line1.Count", Var(8L), kQualityBad);
  Pump(2000, [&] { return sink.Count("data") >= 3; });
  ASSERT_EQ(sink.Count("data"), 3u);
  EXPECT_EQ(sink.Last("data")->qualities, std::vector<WORD>{0});
  EXPECT_EQ(sink.Last("data")->masterQuality, S_FALSE);

  // Inactive items and disabled callbacks send nothing.
  HRESULT* e = nullptr;
  g->SetActiveState(1, &h[1], FALSE, &e);
  CoTaskMemFree(e);
  Update(L"Plant.Line1.Count", Var(9L));
  Pump(300);
  EXPECT_EQ(sink.Count("data"), 3u);
  auto* async = As<IOPCAsyncIO2>(g, IID_IOPCAsyncIO2);
  ASSERT_EQ(async->SetEnable(FALSE), S_OK);
  Update(L"Top", VarBool(false));
  Pump(300);
  EXPECT_EQ(sink.Count("data"), 3u);
  ASSERT_EQ(async->SetEnable(TRUE), S_OK);
  Pump(2000, [&] { return sink.Count("data") >= 4; });
  ASSERT_EQ(sink.Count("data"), 4u);
  EXPECT_EQ(sink.Last("data")->handles, std::vector<OPCHANDLE>{102});
}

TEST_F(Engine, PercentDeadbandAppliesToAnalogTags) {
  ASSERT_EQ(toolkit_->ServedTags().Item(L"Level")->SetEURange(0, 200), S_OK);
  IOPCItemMgt* g = Group(L"g", 50, true, 10.0f);  // 10 % of 200 = 20
  Add(g, {L"Level", L"Plant.Line1.Speed"});
  Sink& sink = NewSink();
  Subscribe(g, sink);
  Pump(2000, [&] { return sink.Count("data") >= 1; });
  ASSERT_EQ(sink.Count("data"), 1u);
  Update(L"Level", Var(11.5));  // 10 from the last report (1.5): inside the deadband
  Update(L"Plant.Line1.Speed", Var(1.6));  // not analog: every change counts
  Pump(2000, [&] { return sink.Count("data") >= 2; });
  ASSERT_EQ(sink.Count("data"), 2u);
  EXPECT_EQ(sink.Last("data")->handles, std::vector<OPCHANDLE>{101});
  Update(L"Level", Var(22.0));  // 20.5 from the last report: outside
  Pump(2000, [&] { return sink.Count("data") >= 3; });
  ASSERT_EQ(sink.Count("data"), 3u);
  EXPECT_EQ(sink.Last("data")->handles, std::vector<OPCHANDLE>{100});
  EXPECT_DOUBLE_EQ(V_R8(&sink.Last("data")->values[0]), 22.0);
}

TEST_F(Engine, AsyncReadWriteRefreshAndCancel) {
  IOPCItemMgt* g = Group(L"g", 60000);
  auto h = Add(g, {L"Plant.Line1.Speed", L"Plant.Line1.Count"});
  auto* async = As<IOPCAsyncIO2>(g, IID_IOPCAsyncIO2);
  DWORD cancel = 0;
  HRESULT* e = nullptr;
  EXPECT_EQ(async->Read(2, h.data(), 1, &cancel, &e), CONNECT_E_NOCONNECTION);
  Sink& sink = NewSink();
  Subscribe(g, sink);
  Pump(100);  // a 60 s rate: no data change comes in between
  sink.calls.clear();

  OPCHANDLE handles[] = {h[0], 555, h[1]};
  ASSERT_EQ(async->Read(3, handles, 71, &cancel, &e), S_FALSE);
  EXPECT_EQ(e[1], OPC_E_INVALIDHANDLE);
  CoTaskMemFree(e);
  EXPECT_EQ(sink.calls.size(), 0u);  // completes later, from the message loop
  Pump(2000, [&] { return sink.Count("read") >= 1; });
  ASSERT_EQ(sink.Count("read"), 1u);
  const auto* r = sink.Last("read");
  EXPECT_EQ(r->trans, 71u);
  EXPECT_EQ(r->handles, (std::vector<OPCHANDLE>{100, 101}));
  EXPECT_EQ(V_I4(&r->values[1]), 7);
  EXPECT_EQ(async->Cancel2(cancel), E_FAIL);  // already done

  VARIANT values[2] = {Var(5.0), Var(1L)};
  ASSERT_EQ(async->Write(2, h.data(), values, 72, &cancel, &e), S_FALSE);
  EXPECT_EQ(e[1], OPC_E_BADRIGHTS);
  CoTaskMemFree(e);
  Pump(2000, [&] { return sink.Count("write") >= 1; });
  ASSERT_EQ(sink.Count("write"), 1u);
  EXPECT_EQ(sink.Last("write")->trans, 72u);
  EXPECT_EQ(sink.Last("write")->handles, std::vector<OPCHANDLE>{100});
  EXPECT_EQ(sink.Last("write")->errors, std::vector<HRESULT>{S_OK});
  EXPECT_EQ(host_.written, std::vector<std::wstring>{L"Plant.Line1.Speed"});

  ASSERT_EQ(async->Refresh2(OPC_DS_CACHE, 73, &cancel), S_OK);
  Pump(2000, [&] { return sink.Count("data") >= 1; });
  ASSERT_EQ(sink.Count("data"), 1u);
  EXPECT_EQ(sink.Last("data")->trans, 73u);
  EXPECT_EQ(sink.Last("data")->handles.size(), 2u);

  // Cancelled before it ran: a cancel completion and no read completion.
  ASSERT_EQ(async->Read(1, h.data(), 74, &cancel, &e), S_OK);
  CoTaskMemFree(e);
  ASSERT_EQ(async->Cancel2(cancel), S_OK);
  Pump(2000, [&] { return sink.Count("cancel") >= 1; });
  ASSERT_EQ(sink.Count("cancel"), 1u);
  EXPECT_EQ(sink.Last("cancel")->trans, 74u);
  EXPECT_EQ(sink.Count("read"), 1u);
  EXPECT_EQ(async->Cancel2(12345), E_FAIL);

  // Refresh of an inactive group is refused.
  auto* state = As<IOPCGroupStateMgt>(g, IID_IOPCGroupStateMgt);
  BOOL off = FALSE;
  DWORD revised;
  state->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 75, &cancel), E_FAIL);
}

TEST_F(Engine, ShutdownRequestsReachEveryAdvisedClient) {
  Sink& a = NewSink();
  Sink& b = NewSink();
  IOPCServer* other = nullptr;
  ASSERT_EQ(ConnectInProcess(*toolkit_, IID_IOPCServer, reinterpret_cast<void**>(&other)), S_OK);
  held_.push_back(other);
  for (auto [srv, sink] : {std::pair<IOPCServer*, Sink*>{server_, &a}, {other, &b}}) {
    auto* cpc = As<IConnectionPointContainer>(srv, IID_IConnectionPointContainer);
    IConnectionPoint* cp = nullptr;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, &cp), S_OK);
    DWORD cookie;
    ASSERT_EQ(cp->Advise(static_cast<IOPCShutdown*>(sink), &cookie), S_OK);
    cp->Release();
  }
  ASSERT_EQ(toolkit_->RequestClientShutdown(L"Excel is being shut down"), S_OK);
  ASSERT_EQ(a.Count("shutdown"), 1u);
  ASSERT_EQ(b.Count("shutdown"), 1u);
  EXPECT_EQ(a.Last("shutdown")->reason, L"Excel is being shut down");
  // A connection point of another interface does not exist.
  auto* cpc = As<IConnectionPointContainer>(server_, IID_IConnectionPointContainer);
  IConnectionPoint* cp = nullptr;
  EXPECT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp), CONNECT_E_NOCONNECTION);
}

std::vector<std::wstring> Strings(IEnumString* e) {
  std::vector<std::wstring> out;
  LPOLESTR s[8];
  ULONG n = 0;
  while (e && SUCCEEDED(e->Next(8, s, &n)) && n > 0) {
    for (ULONG i = 0; i < n; ++i) {
      out.push_back(s[i]);
      CoTaskMemFree(s[i]);
    }
    if (n < 8) break;
  }
  if (e) e->Release();
  return out;
}

TEST_F(Engine, BrowsesBranchesSeparatedByDots) {
  auto* b = As<IOPCBrowseServerAddressSpace>(server_, IID_IOPCBrowseServerAddressSpace);
  IEnumString* e = nullptr;
  ASSERT_EQ(b->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, &e), S_OK);
  EXPECT_EQ(Strings(e), std::vector<std::wstring>{L"Plant"});
  ASSERT_EQ(b->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, &e), S_OK);
  EXPECT_EQ(Strings(e), (std::vector<std::wstring>{L"Level", L"Top"}));
  ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"plant"), S_OK);
  ASSERT_EQ(b->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, &e), S_OK);
  EXPECT_EQ(Strings(e), (std::vector<std::wstring>{L"Line1", L"Line2"}));
  ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Line1"), S_OK);
  ASSERT_EQ(b->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, OPC_WRITEABLE, &e), S_OK);
  EXPECT_EQ(Strings(e), std::vector<std::wstring>{L"Speed"});
  // Readable or writable: the read-only Count as well (any right asked for is enough).
  ASSERT_EQ(b->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, OPC_READABLE | OPC_WRITEABLE, &e), S_OK);
  auto both = Strings(e);
  std::sort(both.begin(), both.end());
  EXPECT_EQ(both, (std::vector<std::wstring>{L"Count", L"Speed"}));
  LPWSTR id = nullptr;
  wchar_t leaf[] = L"Count";
  ASSERT_EQ(b->GetItemID(leaf, &id), S_OK);
  EXPECT_STREQ(id, L"Plant.Line1.Count");
  CoTaskMemFree(id);
  wchar_t none[] = L"Nope";
  EXPECT_EQ(b->GetItemID(none, &id), E_INVALIDARG);
  ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_UP, L""), S_OK);
  ASSERT_EQ(b->BrowseOPCItemIDs(OPC_FLAT, L"*Name", VT_EMPTY, 0, &e), S_OK);
  EXPECT_EQ(Strings(e), std::vector<std::wstring>{L"Plant.Line2.Name"});
  ASSERT_EQ(b->BrowseOPCItemIDs(OPC_FLAT, L"", VT_R8, 0, &e), S_OK);
  EXPECT_EQ(Strings(e), std::vector<std::wstring>{L"Plant.Line1.Speed"});
  EXPECT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Line9"), E_INVALIDARG);
  EXPECT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Line1.Speed"), E_INVALIDARG);
  ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_TO, L""), S_OK);
  EXPECT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_UP, L""), E_FAIL);
  EXPECT_EQ(b->BrowseOPCItemIDs(OPC_LEAF, L"zz*", VT_EMPTY, 0, &e), S_FALSE);
  EXPECT_TRUE(Strings(e).empty());
  EXPECT_EQ(b->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(9), L"", VT_EMPTY, 0, &e),
            E_INVALIDARG);
}

TEST_F(Engine, PropertiesAndErrorTexts) {
  auto* p = As<IOPCItemProperties>(server_, IID_IOPCItemProperties);
  wchar_t item[] = L"Plant.Line1.Count";
  DWORD n = 0, *ids = nullptr;
  LPWSTR* texts = nullptr;
  VARTYPE* types = nullptr;
  ASSERT_EQ(p->QueryAvailableProperties(item, &n, &ids, &texts, &types), S_OK);
  ASSERT_EQ(n, 6u);
  EXPECT_EQ(types[1], VT_I4);
  for (DWORD i = 0; i < n; ++i) CoTaskMemFree(texts[i]);
  CoTaskMemFree(ids);
  CoTaskMemFree(texts);
  CoTaskMemFree(types);
  DWORD want[] = {OPC_PROP_VALUE, OPC_PROP_RIGHTS, 999};
  VARIANT* v = nullptr;
  HRESULT* e = nullptr;
  ASSERT_EQ(p->GetItemProperties(item, 3, want, &v, &e), S_FALSE);
  EXPECT_EQ(V_I4(&v[0]), 7);
  EXPECT_EQ(V_I4(&v[1]), kAccessRead);
  EXPECT_EQ(e[2], OPC_E_INVALID_PID);
  for (int i = 0; i < 3; ++i) VariantClear(&v[i]);
  CoTaskMemFree(v);
  CoTaskMemFree(e);
  wchar_t unknown[] = L"No.Such";
  EXPECT_EQ(p->GetItemProperties(unknown, 1, want, &v, &e), OPC_E_UNKNOWNITEMID);

  LPWSTR text = nullptr;
  ASSERT_EQ(server_->GetErrorString(OPC_E_INVALIDHANDLE, 0x409, &text), S_OK);
  EXPECT_STREQ(text, L"The value of the handle is invalid.");
  CoTaskMemFree(text);
  OPCSERVERSTATUS* st = nullptr;
  ASSERT_EQ(server_->GetStatus(&st), S_OK);
  EXPECT_EQ(st->dwServerState, OPC_STATUS_RUNNING);
  EXPECT_STREQ(st->szVendorInfo, L"Marrowby");
  EXPECT_EQ(st->wMajorVersion, 2);
  CoTaskMemFree(st->szVendorInfo);
  CoTaskMemFree(st);
}

// Every item lists properties 1 to 6 (and an item with a range its EU limits), and each listed
// property is one GetItemProperties answers and LookupItemIDs knows; unlisted ones are unknown
// to all three.
TEST_F(Engine, PropertiesListedAreTheOnesAnswered) {
  ASSERT_EQ(toolkit_->ServedTags().Item(L"Level")->SetEURange(0, 200), S_OK);
  auto* p = As<IOPCItemProperties>(server_, IID_IOPCItemProperties);
  struct Case {
    const wchar_t* item;
    std::vector<DWORD> ids;
  } cases[] = {
      {L"Plant.Line1.Count", {1, 2, 3, 4, 5, 6}},
      {L"Level", {1, 2, 3, 4, 5, 6, OPC_PROP_HIEU, OPC_PROP_LOEU}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "item " << std::string(c.item, c.item + wcslen(c.item)));
    std::wstring name = c.item;
    DWORD n = 0, *ids = nullptr;
    LPWSTR* texts = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(p->QueryAvailableProperties(name.data(), &n, &ids, &texts, &types), S_OK);
    ASSERT_EQ(std::vector<DWORD>(ids, ids + n), c.ids);
    std::vector<VARTYPE> listed(types, types + n);
    for (DWORD i = 0; i < n; ++i) {
      EXPECT_TRUE(texts[i] && *texts[i]) << "property " << ids[i];
      CoTaskMemFree(texts[i]);
    }
    CoTaskMemFree(ids);
    CoTaskMemFree(texts);
    CoTaskMemFree(types);
    EXPECT_EQ(listed[5], VT_R4);

    // Asked for all of them plus one unknown id, the values come in the listed types.
    std::vector<DWORD> ask = c.ids;
    ask.push_back(7);
    VARIANT* v = nullptr;
    HRESULT* e = nullptr;
    ASSERT_EQ(p->GetItemProperties(name.data(), static_cast<DWORD>(ask.size()), ask.data(), &v,
                                   &e),
              S_FALSE);
    for (size_t i = 0; i < c.ids.size(); ++i) {
      EXPECT_EQ(e[i], S_OK) << "property " << ask[i];
      EXPECT_EQ(V_VT(&v[i]), listed[i])
          << "property " << ask[i];
    }
    EXPECT_GE(V_R4(&v[5]), 1.0f);  // a rate in milliseconds
    EXPECT_EQ(e[c.ids.size()], OPC_E_INVALID_PID);
    for (size_t i = 0; i < ask.size(); ++i) VariantClear(&v[i]);
    CoTaskMemFree(v);
    CoTaskMemFree(e);

    LPWSTR* newIds = nullptr;
    ASSERT_EQ(p->LookupItemIDs(name.data(), static_cast<DWORD>(ask.size()), ask.data(), &newIds,
                               &e),
              S_FALSE);
    for (size_t i = 0; i < c.ids.size(); ++i) {
      EXPECT_EQ(e[i], E_FAIL) << "property " << ask[i];
      EXPECT_EQ(newIds[i], nullptr);
    }
    EXPECT_EQ(e[c.ids.size()], OPC_E_INVALID_PID);
    CoTaskMemFree(newIds);
    CoTaskMemFree(e);
  }
}

TEST_F(Engine, Da10PersonalityStreamsThroughIDataObject) {
  TearDown();
  CoInitialize(nullptr);
  ToolkitConfig cfg;
  cfg.da10 = true;
  Make(cfg);
  IUnknown* none = nullptr;
  EXPECT_EQ(server_->QueryInterface(IID_IOPCCommon, reinterpret_cast<void**>(&none)),
            E_NOINTERFACE);
  EXPECT_EQ(server_->QueryInterface(IID_IConnectionPointContainer,
                                    reinterpret_cast<void**>(&none)),
            E_NOINTERFACE);
  IOPCItemMgt* g = Group(L"g", 50);
  EXPECT_EQ(g->QueryInterface(IID_IOPCAsyncIO2, reinterpret_cast<void**>(&none)), E_NOINTERFACE);
  auto h = Add(g, {L"Plant.Line1.Count"});
  auto* data = As<IDataObject>(g, IID_IDataObject);
  auto* async = As<IOPCAsyncIO>(g, IID_IOPCAsyncIO);
  Sink& sink = NewSink();
  FORMATETC fmt = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")),
                   nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  DWORD conn = 0;
  ASSERT_EQ(data->DAdvise(&fmt, 0, static_cast<IAdviseSink*>(&sink), &conn), S_OK);
  FORMATETC bad = {CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  DWORD conn2;
  EXPECT_EQ(data->DAdvise(&bad, 0, static_cast<IAdviseSink*>(&sink), &conn2), DV_E_FORMATETC);
  Pump(2000, [&] { return sink.Count("stream") >= 1; });
  ASSERT_EQ(sink.Count("stream"), 1u);
  const auto& s = sink.Last("stream")->stream;
  ASSERT_GE(s.size(), 20u + 20u + 16u);
  auto u32 = [&](size_t at) { return s[at] | s[at + 1] << 8 | s[at + 2] << 16 | s[at + 3] << 24; };
  EXPECT_EQ(u32(0), 56u);   // whole stream
  EXPECT_EQ(u32(4), 1u);    // one item
  EXPECT_EQ(u32(8), 900u);  // client group handle
  EXPECT_EQ(u32(20), 100u); // client item handle
  EXPECT_EQ(u32(24), 40u);  // value offset
  EXPECT_EQ(s[40], VT_I4);
  EXPECT_EQ(u32(48), 7u);

  DWORD trans = 0;
  HRESULT* e = nullptr;
  OPCHANDLE handles[] = {h[0], 8888};
  ASSERT_EQ(async->Read(conn, OPC_DS_DEVICE, 2, handles, &trans, &e), S_FALSE);
  EXPECT_EQ(e[1], OPC_E_INVALIDHANDLE);
  CoTaskMemFree(e);
  Pump(2000, [&] { return sink.Count("stream") >= 2; });
  ASSERT_EQ(sink.Count("stream"), 2u);
  EXPECT_EQ(sink.Last("stream")->stream[12], trans);
  EXPECT_EQ(async->Read(conn + 50, OPC_DS_DEVICE, 1, handles, &trans, &e),
            CONNECT_E_NOCONNECTION);
  EXPECT_EQ(data->DUnadvise(conn), S_OK);
  EXPECT_EQ(data->DUnadvise(conn), OLE_E_NOCONNECTION);
}

}  // namespace

namespace {

// The class object as COM hands it out once the host serves: a lock and its release must not
// suspend it for later clients, and every object it makes counts as a client.
TEST(ClassObject, ServesAfterLockAndUnlock) {
  CoInitialize(nullptr);
  Host host;
  ToolkitConfig cfg;
  cfg.progId = L"Marrowby.ToolkitEngineTest.1";
  cfg.clsid = {0x5b0c0a51, 0x7d7e, 0x4b0e, {0x9a, 0x51, 0x1c, 0x6e, 0x0b, 0x37, 0x20, 0x11}};
  auto toolkit = CreateServerToolkit(cfg, &host);
  ASSERT_EQ(toolkit->StartServing(), S_OK);
  EXPECT_EQ(toolkit->StartServing(), S_FALSE);
  IClassFactory* cf = nullptr;
  ASSERT_EQ(CoGetClassObject(cfg.clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&cf)),
            S_OK);
  EXPECT_EQ(cf->LockServer(TRUE), S_OK);
  EXPECT_EQ(cf->LockServer(FALSE), S_OK);
  cf->Release();
  IOPCServer* s = nullptr;
  ASSERT_EQ(CoCreateInstance(cfg.clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                             reinterpret_cast<void**>(&s)),
            S_OK);
  EXPECT_EQ(host.connected, std::vector<long>{1});
  s->Release();
  EXPECT_EQ(host.disconnected, std::vector<long>{0});
  toolkit->StopServing();
  EXPECT_NE(CoCreateInstance(cfg.clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                             reinterpret_cast<void**>(&s)),
            S_OK);
  toolkit.reset();
  CoUninitialize();
}

}  // namespace

namespace {

std::wstring RegText(const std::wstring& key, const wchar_t* value = nullptr) {
  wchar_t buf[512];
  DWORD size = sizeof buf;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), value, RRF_RT_REG_SZ, nullptr, buf, &size) !=
      ERROR_SUCCESS)
    return L"<missing>";
  return buf;
}

bool RegKeyExists(const std::wstring& key) {
  HKEY k;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

// What OPC clients and COM look up: the class with its local server and AppID, the ProgID with
// its OPC key, and the DA categories; unregistration takes all of it away again.
TEST(Registration, WritesAndRemovesEverythingAClientLooksFor) {
  CoInitialize(nullptr);
  ToolkitConfig cfg;
  cfg.progId = L"Marrowby.ToolkitRegTest.1";
  cfg.clsid = {0x1f3e0a7c, 0x2b4d, 0x4e5f, {0x80, 0x91, 0xa2, 0xb3, 0xc4, 0xd5, 0xe6, 0xf7}};
  cfg.appId = {0x2a3b4c5d, 0x6e7f, 0x4081, {0x92, 0xa3, 0xb4, 0xc5, 0xd6, 0xe7, 0xf8, 0x09}};
  cfg.description = L"Registration Test";
  cfg.vendor = L"Test Vendor";
  cfg.da10 = true;
  cfg.serverCommand = L"C:\\Program Files\\Test\\server.exe";
  cfg.serverArguments = L"--config x.ini";
  auto toolkit = CreateServerToolkit(cfg, nullptr);
  ASSERT_EQ(toolkit->RegisterServer(), S_OK);
  const std::wstring clsid = L"{1F3E0A7C-2B4D-4E5F-8091-A2B3C4D5E6F7}";
  EXPECT_EQ(RegText(L"Marrowby.ToolkitRegTest.1\\CLSID"), clsid);
  EXPECT_EQ(RegText(L"Marrowby.ToolkitRegTest.1"), L"Registration Test");
  EXPECT_TRUE(RegKeyExists(L"Marrowby.ToolkitRegTest.1\\OPC"));
  EXPECT_EQ(RegText(L"Marrowby.ToolkitRegTest.1\\OPC\\Vendor"), L"Test Vendor");
  // A path with a blank is quoted before its arguments.
  EXPECT_EQ(RegText(L"CLSID\\" + clsid + L"\\LocalServer32"),
            L"\"C:\\Program Files\\Test\\server.exe\" --config x.ini");
  EXPECT_EQ(RegText(L"CLSID\\" + clsid + L"\\ProgID"), L"Marrowby.ToolkitRegTest.1");
  EXPECT_EQ(RegText(L"CLSID\\" + clsid, L"AppID"), L"{2A3B4C5D-6E7F-4081-92A3-B4C5D6E7F809}");
  EXPECT_TRUE(RegKeyExists(L"AppID\\{2A3B4C5D-6E7F-4081-92A3-B4C5D6E7F809}"));
  const std::wstring cats = L"CLSID\\" + clsid + L"\\Implemented Categories\\";
  EXPECT_TRUE(RegKeyExists(cats + L"{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"));
  EXPECT_TRUE(RegKeyExists(cats + L"{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}"));
  CLSID found;
  EXPECT_EQ(CLSIDFromProgID(L"Marrowby.ToolkitRegTest.1", &found), S_OK);

  ASSERT_EQ(toolkit->UnregisterServer(), S_OK);
  EXPECT_FALSE(RegKeyExists(L"Marrowby.ToolkitRegTest.1"));
  EXPECT_FALSE(RegKeyExists(L"CLSID\\" + clsid));
  EXPECT_FALSE(RegKeyExists(L"AppID\\{2A3B4C5D-6E7F-4081-92A3-B4C5D6E7F809}"));
  // Unregistering what is not there is no failure.
  EXPECT_EQ(toolkit->UnregisterServer(), S_OK);
  toolkit.reset();
  CoUninitialize();
}

}  // namespace
