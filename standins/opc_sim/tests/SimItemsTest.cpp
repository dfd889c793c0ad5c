// SimServer's item engine in this process: the tree as a client meets it (types, rights,
// qualities, properties, the deep branch), the movement of ramps, sines and random values,
// registers, the write-only item, the DA 1.0 personality, early DA 1.0 completions, and the
// registry entries of both personalities.
#include <gtest/gtest.h>

#include <windows.h>
#include <comcat.h>
#include <OpcCommon.h>
#include <OpcDataAccess.h>

#include "EarlyCompletion.h"
#include "SimServer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

using namespace opc_sim;

namespace {

struct ComInit {
  ComInit() { CoInitialize(nullptr); }
  ~ComInit() { CoUninitialize(); }
};

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// A client's group over the in-process server: added items, sync reads and writes.
struct Client {
  IOPCServer* server = nullptr;
  IOPCItemMgt* items = nullptr;
  IOPCSyncIO* io = nullptr;
  std::vector<OPCHANDLE> handles;
  std::vector<HRESULT> addErrors;
  std::vector<OPCITEMRESULT> results;

  explicit Client(IUnknown* serverUnknown) {
    serverUnknown->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(&server));
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    if (server)
      server->AddGroup(L"test", TRUE, 1000, 1, nullptr, nullptr, 0x409, &hGroup, &revised,
                       IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(&items));
    if (items) items->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&io));
  }
  ~Client() {
    for (auto& r : results) CoTaskMemFree(r.pBlob);
    if (io) io->Release();
    if (items) items->Release();
    if (server) server->Release();
  }
  bool Ok() const { return server && items && io; }
  void Add(const std::vector<std::wstring>& ids) {
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      defs[i] = {};
      defs[i].szAccessPath = const_cast<LPWSTR>(L"");
      defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(handles.size() + i);
    }
    OPCITEMRESULT* r = nullptr;
    HRESULT* e = nullptr;
    ASSERT_TRUE(SUCCEEDED(items->AddItems(static_cast<DWORD>(ids.size()), defs.data(), &r, &e)));
    for (size_t i = 0; i < ids.size(); ++i) {
      handles.push_back(r[i].hServer);
      addErrors.push_back(e[i]);
      results.push_back(r[i]);
    }
    CoTaskMemFree(r);
    CoTaskMemFree(e);
  }
  // Reads item k (an index into handles) from the device.
  HRESULT Read(size_t k, VARIANT* v, WORD* q, FILETIME* t = nullptr) {
    OPCITEMSTATE* st = nullptr;
    HRESULT* e = nullptr;
    HRESULT hr = io->Read(OPC_DS_DEVICE, 1, &handles[k], &st, &e);
    if (FAILED(hr)) return hr;
    hr = e[0];
    *v = st[0].vDataValue;
    *q = st[0].wQuality;
    if (t) *t = st[0].ftTimeStamp;
    CoTaskMemFree(st);
    CoTaskMemFree(e);
    return hr;
  }
  HRESULT Write(size_t k, VARIANT v) {
    HRESULT* e = nullptr;
    HRESULT hr = io->Write(1, &handles[k], &v, &e);
    if (FAILED(hr)) return hr;
    hr = e[0];
    CoTaskMemFree(e);
    return hr;
  }
};

struct Engine : ::testing::Test {
  ComInit com;
  SimPersonality sim{false, 7};
  IUnknown* unk = nullptr;
  void SetUp() override {
    ASSERT_EQ(S_OK, sim.Populate());
    ASSERT_EQ(S_OK, opc_toolkit::ConnectInProcess(sim.Toolkit(), IID_IUnknown,
                                                  reinterpret_cast<void**>(&unk)));
  }
  void TearDown() override {
    if (unk) unk->Release();
  }
  double ReadNumber(Client& c, size_t k) {
    VARIANT v;
    WORD q = 0;
    EXPECT_EQ(S_OK, c.Read(k, &v, &q));
    VARIANT d;
    VariantInit(&d);
    EXPECT_EQ(S_OK, VariantChangeType(&d, &v, 0, VT_R8));
    VariantClear(&v);
    return V_R8(&d);
  }
};

TEST_F(Engine, EveryTypeHasConstantArrayAndRegisterItemsWithTheirRights) {
  Client c(unk);
  ASSERT_TRUE(c.Ok());
  std::vector<std::wstring> ids;
  for (VARTYPE vt : SimulatedTypes()) {
    std::wstring t = TypeSuffix(vt);
    for (auto prefix : {L"Static.", L"Static.Array.", L"Register.", L"Register.Array."})
      ids.push_back(prefix + t);
  }
  c.Add(ids);
  ASSERT_EQ(ids.size(), c.handles.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(std::string(ids[i].begin(), ids[i].end()));
    ASSERT_EQ(S_OK, c.addErrors[i]);
    VARTYPE element = SimulatedTypes()[i / 4];
    bool array = ids[i].find(L"Array") != std::wstring::npos;
    bool reg = ids[i].rfind(L"Register", 0) == 0;
    EXPECT_EQ(array ? (VT_ARRAY | element) : element, c.results[i].vtCanonicalDataType);
    EXPECT_EQ(reg ? DWORD(OPC_READABLE | OPC_WRITEABLE) : DWORD(OPC_READABLE),
              c.results[i].dwAccessRights);
    VARIANT v;
    WORD q = 0;
    ASSERT_EQ(S_OK, c.Read(i, &v, &q));
    EXPECT_EQ(OPC_QUALITY_GOOD, q);
    EXPECT_EQ(c.results[i].vtCanonicalDataType, V_VT(&v));
    if (array) {
      ASSERT_EQ(1u, SafeArrayGetDim(V_ARRAY(&v)));
      LONG lo = -1, hi = -1;
      SafeArrayGetLBound(V_ARRAY(&v), 1, &lo);
      SafeArrayGetUBound(V_ARRAY(&v), 1, &hi);
      EXPECT_EQ(0, lo);
      EXPECT_EQ(4, hi);
    }
    VariantClear(&v);
  }
  // Unknown names are refused, not invented.
  c.Add({L"Static.Nothing", L"Deep.L02.Depth"});
  EXPECT_EQ(OPC_E_UNKNOWNITEMID, c.addErrors[ids.size()]);
  EXPECT_EQ(OPC_E_UNKNOWNITEMID, c.addErrors[ids.size() + 1]);
}

TEST_F(Engine, DeepBranchIsBrowsedDownAndBackUpToTheRoot) {
  IOPCBrowseServerAddressSpace* b = nullptr;
  ASSERT_EQ(S_OK, unk->QueryInterface(IID_IOPCBrowseServerAddressSpace,
                                      reinterpret_cast<void**>(&b)));
  ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_TO, L""));
  ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Deep"));
  wchar_t part[8];
  for (int level = 1; level <= kDeepLevels; ++level) {
    swprintf(part, 8, L"L%02d", level);
    ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_DOWN, part)) << level;
    LPWSTR id = nullptr;
    ASSERT_EQ(S_OK, b->GetItemID(const_cast<LPWSTR>(L"Depth"), &id));
    EXPECT_EQ(DeepItemId(level), id);
    CoTaskMemFree(id);
  }
  // The bottom has no further branch; climbing takes exactly the levels plus "Deep".
  IEnumString* e = nullptr;
  EXPECT_EQ(S_FALSE, b->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, &e));
  if (e) e->Release();
  for (int up = 0; up < kDeepLevels + 1; ++up) ASSERT_EQ(S_OK, b->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
  EXPECT_TRUE(FAILED(b->ChangeBrowsePosition(OPC_BROWSE_UP, L"")));
  b->Release();

  Client c(unk);
  c.Add({DeepItemId(kDeepLevels)});
  ASSERT_EQ(S_OK, c.addErrors[0]);
  EXPECT_EQ(kDeepLevels, ReadNumber(c, 0));
}

TEST_F(Engine, RampsSinesAndRandomValuesMoveWithTheTicks) {
  Client c(unk);
  c.Add({L"Ramp.I1", L"Ramp.UI4", L"Ramp.R8", L"Sine.R8", L"Sine.I2", L"Random.I4",
         L"Random.R8", L"Random.BOOL", L"Time.Seconds", L"Random.Array.R8"});
  for (HRESULT e : c.addErrors) ASSERT_EQ(S_OK, e);
  SimItems& items = sim.Items();
  items.Tick(2.5);  // a quarter of the sines' 10 s period: the peak
  EXPECT_EQ(1, ReadNumber(c, 0));
  EXPECT_EQ(1, ReadNumber(c, 1));
  EXPECT_DOUBLE_EQ(0.1, ReadNumber(c, 2));
  EXPECT_NEAR(100.0, ReadNumber(c, 3), 1e-9);
  EXPECT_EQ(100, ReadNumber(c, 4));
  EXPECT_EQ(2, ReadNumber(c, 8));
  std::vector<double> ints, reals;
  int trues = 0;
  for (int i = 0; i < 99; ++i) {
    items.Tick(7.5);  // three quarters: the trough
    ints.push_back(ReadNumber(c, 5));
    reals.push_back(ReadNumber(c, 6));
    trues += ReadNumber(c, 7) != 0;
  }
  EXPECT_EQ(100, ReadNumber(c, 0));  // 100 ticks so far
  EXPECT_NEAR(-100.0, ReadNumber(c, 3), 1e-9);
  items.Tick(8);
  EXPECT_EQ(0, ReadNumber(c, 0)) << "integer ramps wrap after 100";
  EXPECT_EQ(101, items.Ticks());
  for (double x : ints) EXPECT_TRUE(x >= 0 && x <= 1000 && x == std::floor(x)) << x;
  for (double x : reals) EXPECT_TRUE(x >= 0 && x < 1) << x;
  EXPECT_GT(trues, 10);
  EXPECT_LT(trues, 89);
  std::sort(ints.begin(), ints.end());
  EXPECT_GT(std::unique(ints.begin(), ints.end()) - ints.begin(), 50) << "random values vary";

  VARIANT a;
  WORD q = 0;
  ASSERT_EQ(S_OK, c.Read(9, &a, &q));
  ASSERT_EQ(VT_ARRAY | VT_R8, V_VT(&a));
  double* p = nullptr;
  ASSERT_EQ(S_OK, SafeArrayAccessData(V_ARRAY(&a), reinterpret_cast<void**>(&p)));
  EXPECT_FALSE(p[0] == p[1] && p[1] == p[2]);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(p[i] >= 0 && p[i] < 1);
  SafeArrayUnaccessData(V_ARRAY(&a));
  VariantClear(&a);
}

TEST_F(Engine, RegistersKeepWritesAndRightsAndRangesAreEnforced) {
  Client c(unk);
  c.Add({L"Register.BSTR", L"Register.UI1", L"Register.Array.I2", L"Static.I4",
         L"Access.ReadOnly", L"Register.DATE"});
  for (HRESULT e : c.addErrors) ASSERT_EQ(S_OK, e);
  VARIANT s;
  VariantInit(&s);
  V_VT(&s) = VT_BSTR;
  V_BSTR(&s) = SysAllocString(L"kept text");
  EXPECT_EQ(S_OK, c.Write(0, s));
  VariantClear(&s);
  VARIANT v;
  WORD q = 0;
  ASSERT_EQ(S_OK, c.Read(0, &v, &q));
  EXPECT_EQ(VT_BSTR, V_VT(&v));
  EXPECT_STREQ(L"kept text", V_BSTR(&v));
  VariantClear(&v);

  // A string that reads as a number reaches the UI1 register as that number; 300 does not fit.
  V_VT(&s) = VT_BSTR;
  V_BSTR(&s) = SysAllocString(L"200");
  EXPECT_EQ(S_OK, c.Write(1, s));
  VariantClear(&s);
  EXPECT_EQ(200, ReadNumber(c, 1));
  VARIANT big = MakeScalar(VT_I4, 300);
  EXPECT_EQ(OPC_E_RANGE, c.Write(1, big));
  EXPECT_EQ(200, ReadNumber(c, 1));

  VARIANT arr = MakeArray(VT_I2, 3, 40);
  EXPECT_EQ(S_OK, c.Write(2, arr));
  VariantClear(&arr);
  ASSERT_EQ(S_OK, c.Read(2, &v, &q));
  ASSERT_EQ(VT_ARRAY | VT_I2, V_VT(&v));
  LONG hi = 0, i = 2;
  SafeArrayGetUBound(V_ARRAY(&v), 1, &hi);
  EXPECT_EQ(2, hi);
  SHORT x = 0;
  SafeArrayGetElement(V_ARRAY(&v), &i, &x);
  EXPECT_EQ(42, x);
  VariantClear(&v);

  VARIANT one = MakeScalar(VT_I4, 1);
  EXPECT_EQ(OPC_E_BADRIGHTS, c.Write(3, one));
  EXPECT_EQ(OPC_E_BADRIGHTS, c.Write(4, one));
  EXPECT_EQ(7, ReadNumber(c, 3));
  EXPECT_EQ(42, ReadNumber(c, 4));

  VARIANT d = MakeScalar(VT_DATE, 0);
  V_DATE(&d) = 45123.25;
  EXPECT_EQ(S_OK, c.Write(5, d));
  EXPECT_DOUBLE_EQ(45123.25, ReadNumber(c, 5));
}

TEST_F(Engine, WriteOnlyItemShowsNothingAndItsEchoShowsTheWrite) {
  Client c(unk);
  c.Add({L"Access.WriteOnly", L"Access.WriteOnlyEcho"});
  VARIANT v;
  WORD q = 0;
  ASSERT_EQ(S_OK, c.Read(0, &v, &q));
  EXPECT_EQ(VT_EMPTY, V_VT(&v));
  EXPECT_EQ(OPC_QUALITY_OUT_OF_SERVICE, q);
  EXPECT_EQ(S_OK, c.Write(0, MakeScalar(VT_R8, 3.25)));
  ASSERT_EQ(S_OK, c.Read(0, &v, &q));
  EXPECT_EQ(VT_EMPTY, V_VT(&v));
  EXPECT_EQ(OPC_QUALITY_OUT_OF_SERVICE, q);
  EXPECT_EQ(3.25, ReadNumber(c, 1));
  EXPECT_EQ(VT_R8, V_VT(&sim.Items().LastWriteOnlyValue()));
  EXPECT_EQ(3.25, V_R8(&sim.Items().LastWriteOnlyValue()));
}

TEST_F(Engine, QualityItemsTimeStampsAndProperties) {
  Client c(unk);
  c.Add({L"Quality.Bad", L"Quality.BadNotConnected", L"Quality.Uncertain",
         L"Quality.UncertainLastUsable", L"Quality.GoodLocalOverride", L"Quality.BadNoValue",
         L"Ramp.R4"});
  WORD expected[] = {OPC_QUALITY_BAD, OPC_QUALITY_NOT_CONNECTED, OPC_QUALITY_UNCERTAIN,
                     OPC_QUALITY_LAST_USABLE, OPC_QUALITY_LOCAL_OVERRIDE, OPC_QUALITY_BAD};
  for (size_t k = 0; k < 6; ++k) {
    VARIANT v;
    WORD q = 0xFFFF;
    ASSERT_EQ(S_OK, c.Read(k, &v, &q));
    EXPECT_EQ(expected[k], q) << k;
    EXPECT_EQ(k == 5 ? VT_EMPTY : VT_R8, V_VT(&v)) << k;
    VariantClear(&v);
  }
  // Time stamps are UTC, to the millisecond.
  bool sawMilliseconds = false;
  for (int i = 0; i < 20 && !sawMilliseconds; ++i) {
    sim.Items().Tick(i);
    VARIANT v;
    WORD q;
    FILETIME t, now;
    ASSERT_EQ(S_OK, c.Read(6, &v, &q, &t));
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER a{{t.dwLowDateTime, t.dwHighDateTime}}, b{{now.dwLowDateTime, now.dwHighDateTime}};
    EXPECT_LT(b.QuadPart - a.QuadPart, 60ull * 10000000) << "not UTC, or not now";
    sawMilliseconds = (a.QuadPart / 10000) % 1000 != 0;
    Sleep(3);
  }
  EXPECT_TRUE(sawMilliseconds);

  IOPCItemProperties* p = nullptr;
  ASSERT_EQ(S_OK, unk->QueryInterface(IID_IOPCItemProperties, reinterpret_cast<void**>(&p)));
  DWORD ids[] = {OPC_PROP_CDT, OPC_PROP_RIGHTS, OPC_PROP_HIEU, OPC_PROP_LOEU};
  VARIANT* vals = nullptr;
  HRESULT* errs = nullptr;
  ASSERT_EQ(S_OK, p->GetItemProperties(const_cast<LPWSTR>(L"Sine.R4"), 4, ids, &vals, &errs));
  EXPECT_EQ(VT_R4, V_I2(&vals[0]));
  EXPECT_EQ(OPC_READABLE, V_I4(&vals[1]));
  EXPECT_EQ(100.0, V_R8(&vals[2]));
  EXPECT_EQ(-100.0, V_R8(&vals[3]));
  for (int i = 0; i < 4; ++i) VariantClear(&vals[i]);
  CoTaskMemFree(vals);
  CoTaskMemFree(errs);
  // Every item of the tree answers its properties.
  DWORD n = 0;
  DWORD* pids = nullptr;
  LPWSTR* descs = nullptr;
  VARTYPE* types = nullptr;
  ASSERT_EQ(S_OK, p->QueryAvailableProperties(const_cast<LPWSTR>(L"Register.Array.BSTR"), &n,
                                              &pids, &descs, &types));
  EXPECT_GE(n, 5u);
  for (DWORD i = 0; i < n; ++i) CoTaskMemFree(descs[i]);
  CoTaskMemFree(pids);
  CoTaskMemFree(descs);
  CoTaskMemFree(types);
  p->Release();
}

TEST_F(Engine, SettableQualityTurnsTheReadingBadAndGoodAgainKeepingItsValue) {
  Client c(unk);
  c.Add({L"Quality.Settable", L"Quality.SettableQuality"});
  for (HRESULT e : c.addErrors) ASSERT_EQ(S_OK, e);
  EXPECT_EQ(VT_R8, c.results[0].vtCanonicalDataType);
  EXPECT_EQ(VT_I4, c.results[1].vtCanonicalDataType);
  EXPECT_EQ(DWORD(OPC_READABLE | OPC_WRITEABLE), c.results[0].dwAccessRights);
  EXPECT_EQ(DWORD(OPC_READABLE | OPC_WRITEABLE), c.results[1].dwAccessRights);
  auto state = [&](double& value) {
    VARIANT v;
    WORD q = 0xFFFF;
    EXPECT_EQ(S_OK, c.Read(0, &v, &q));
    EXPECT_EQ(VT_R8, V_VT(&v));
    value = V_VT(&v) == VT_R8 ? V_R8(&v) : -1;
    VariantClear(&v);
    return q;
  };
  double x = -1;
  EXPECT_EQ(OPC_QUALITY_GOOD, state(x));
  EXPECT_EQ(0, x);
  EXPECT_EQ(OPC_QUALITY_GOOD, ReadNumber(c, 1));

  // A value, then the quality turned bad: the value stays, the quality is what was written.
  EXPECT_EQ(S_OK, c.Write(0, MakeScalar(VT_R8, 4.5)));
  EXPECT_EQ(S_OK, c.Write(1, MakeScalar(VT_I4, 0)));
  EXPECT_EQ(0, state(x));
  EXPECT_EQ(4.5, x);
  EXPECT_EQ(0, ReadNumber(c, 1));
  // A new value while bad keeps the bad quality; another quality (uncertain) keeps the value.
  EXPECT_EQ(S_OK, c.Write(0, MakeScalar(VT_R8, 6.25)));
  EXPECT_EQ(0, state(x));
  EXPECT_EQ(6.25, x);
  EXPECT_EQ(S_OK, c.Write(1, MakeScalar(VT_I4, OPC_QUALITY_UNCERTAIN)));
  EXPECT_EQ(OPC_QUALITY_UNCERTAIN, state(x));
  EXPECT_EQ(6.25, x);
  // Good again, and later values come with it.
  EXPECT_EQ(S_OK, c.Write(1, MakeScalar(VT_I4, OPC_QUALITY_GOOD)));
  EXPECT_EQ(OPC_QUALITY_GOOD, state(x));
  EXPECT_EQ(6.25, x);
  EXPECT_EQ(S_OK, c.Write(0, MakeScalar(VT_R8, 7)));
  EXPECT_EQ(OPC_QUALITY_GOOD, state(x));
  EXPECT_EQ(7, x);
  // What is not a 16-bit quality is refused and changes nothing; the ticks leave both alone.
  EXPECT_EQ(OPC_E_RANGE, c.Write(1, MakeScalar(VT_I4, 0x10000)));
  EXPECT_EQ(OPC_E_RANGE, c.Write(1, MakeScalar(VT_I4, -1)));
  sim.Items().Tick(1);
  EXPECT_EQ(OPC_QUALITY_GOOD, state(x));
  EXPECT_EQ(7, x);
  EXPECT_EQ(OPC_QUALITY_GOOD, ReadNumber(c, 1));
}

// The DA 1.0 client's sink: streams arrive through IAdviseSink.
struct StreamSink : IAdviseSink {
  int streams = 0;
  std::vector<CLIPFORMAT> formats;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IAdviseSink) return E_NOINTERFACE;
    *ppv = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  void STDMETHODCALLTYPE OnDataChange(FORMATETC* f, STGMEDIUM*) override {
    ++streams;
    formats.push_back(f->cfFormat);
  }
  void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
  void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
  void STDMETHODCALLTYPE OnSave() override {}
  void STDMETHODCALLTYPE OnClose() override {}
};

// Streams that arrived during IOPCAsyncIO Read and Write (before pumping), and after.
struct Da10Run {
  int duringRead = -1, duringWrite = -1, afterAll = -1;
  DWORD readTrans = 0;
};

Da10Run RunDa10(IUnknown* server) {
  Da10Run r;
  Client c(server);
  if (!c.server || !c.items) return r;
  c.Add({L"Register.I4"});
  IDataObject* data = nullptr;
  IOPCAsyncIO* async = nullptr;
  c.items->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&data));
  c.items->QueryInterface(IID_IOPCAsyncIO, reinterpret_cast<void**>(&async));
  if (!data || !async) return r;
  StreamSink sink;
  FORMATETC fd = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")),
                  nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  FORMATETC fw = {static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE")),
                  nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  DWORD cd = 0, cw = 0;
  data->DAdvise(&fd, ADVF_PRIMEFIRST, &sink, &cd);
  data->DAdvise(&fw, ADVF_PRIMEFIRST, &sink, &cw);
  HRESULT* e = nullptr;
  if (SUCCEEDED(async->Read(cd, OPC_DS_DEVICE, 1, c.handles.data(), &r.readTrans, &e))) {
    r.duringRead = sink.streams;
    CoTaskMemFree(e);
  }
  int before = sink.streams;
  VARIANT v = MakeScalar(VT_I4, 5);
  DWORD wt = 0;
  if (SUCCEEDED(async->Write(cw, 1, c.handles.data(), &v, &wt, &e))) {
    r.duringWrite = sink.streams - before;
    CoTaskMemFree(e);
  }
  Pump();
  r.afterAll = sink.streams;
  data->DUnadvise(cd);
  data->DUnadvise(cw);
  data->Release();
  async->Release();
  return r;
}

TEST(Da10Personality, OffersTheDa10InterfacesOnly) {
  ComInit com;
  SimPersonality sim(true, 3);
  ASSERT_EQ(S_OK, sim.Populate());
  IUnknown* unk = nullptr;
  ASSERT_EQ(S_OK, opc_toolkit::ConnectInProcess(sim.Toolkit(), IID_IUnknown,
                                                reinterpret_cast<void**>(&unk)));
  IUnknown* other = nullptr;
  EXPECT_EQ(E_NOINTERFACE, unk->QueryInterface(IID_IOPCCommon, reinterpret_cast<void**>(&other)));
  EXPECT_EQ(E_NOINTERFACE,
            unk->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&other)));
  IOPCServer* s = nullptr;
  ASSERT_EQ(S_OK, unk->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(&s)));
  OPCSERVERSTATUS* st = nullptr;
  ASSERT_EQ(S_OK, s->GetStatus(&st));
  EXPECT_EQ(1, st->wMajorVersion);
  CoTaskMemFree(st->szVendorInfo);
  CoTaskMemFree(st);
  s->Release();

  // Without the early mode the completions wait for the message loop.
  Da10Run r = RunDa10(unk);
  EXPECT_EQ(0, r.duringRead);
  EXPECT_EQ(0, r.duringWrite);
  EXPECT_EQ(2, r.afterAll);
  unk->Release();
}

TEST(Da10Personality, EarlyCompletionsArriveBeforeTheCallReturns) {
  ComInit com;
  SimPersonality sim(true, 3);
  ASSERT_EQ(S_OK, sim.Populate());
  IClassFactory* f = CreateEarlyCompletionFactory(sim.Toolkit());
  ASSERT_NE(nullptr, f);
  IUnknown* unk = nullptr;
  ASSERT_EQ(S_OK, f->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&unk)));
  EXPECT_EQ(1, sim.Toolkit().ClientCount());
  IUnknown* other = nullptr;
  EXPECT_EQ(E_NOINTERFACE, unk->QueryInterface(IID_IOPCCommon, reinterpret_cast<void**>(&other)));
  Da10Run r = RunDa10(unk);
  EXPECT_NE(0u, r.readTrans);
  EXPECT_EQ(1, r.duringRead);
  EXPECT_EQ(1, r.duringWrite);
  EXPECT_EQ(2, r.afterAll) << "each completion once";
  unk->Release();
  EXPECT_EQ(0, sim.Toolkit().ClientCount());
  f->Release();
}

std::wstring ClassesValue(const std::wstring& key) {
  wchar_t buf[256];
  LONG size = sizeof buf;
  if (RegQueryValueW(HKEY_CLASSES_ROOT, key.c_str(), buf, &size) != ERROR_SUCCESS) return L"(none)";
  return buf;
}

TEST(Registration, BothPersonalitiesTheirCategoriesAndTheVersionIndependentProgId) {
  ComInit com;
  // Registered as the build's SimServer.exe, as scripts/register leaves it.
  const char* bin = std::getenv("TESSAREL_BIN_DIR");
  ASSERT_NE(nullptr, bin);
  std::string unixExe = std::string(bin) + "/SimServer.exe";
  std::wstring exe = L"Z:" + std::wstring(unixExe.begin(), unixExe.end());
  for (auto& c : exe)
    if (c == L'/') c = L'\\';
  ASSERT_EQ(S_OK, RegisterSimServer(true, exe));
  wchar_t g20[40], g10[40];
  StringFromGUID2(CLSID_SimServerDA20, g20, 40);
  StringFromGUID2(CLSID_SimServerDA10, g10, 40);
  EXPECT_EQ(g20, ClassesValue(L"Sim.OPCDA.2\\CLSID"));
  EXPECT_EQ(g10, ClassesValue(L"Sim.OPCDA.1\\CLSID"));
  EXPECT_EQ(g20, ClassesValue(L"Sim.OPCDA\\CLSID"));
  EXPECT_EQ(L"Sim.OPCDA.2", ClassesValue(L"Sim.OPCDA\\CurVer"));
  for (auto key : {L"Sim.OPCDA.2\\OPC", L"Sim.OPCDA.1\\OPC", L"Sim.OPCDA\\OPC"}) {
    HKEY k;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyW(HKEY_CLASSES_ROOT, key, &k)) << key;
    RegCloseKey(k);
  }
  EXPECT_EQ(L"Sim.OPCDA", ClassesValue(std::wstring(L"CLSID\\") + g10 + L"\\VersionIndependentProgID"));
  EXPECT_EQ(L"Sim.OPCDA.1", ClassesValue(std::wstring(L"CLSID\\") + g10 + L"\\ProgID"));
  EXPECT_EQ(exe, ClassesValue(std::wstring(L"CLSID\\") + g10 + L"\\LocalServer32"));
  EXPECT_EQ(exe, ClassesValue(std::wstring(L"CLSID\\") + g20 + L"\\LocalServer32"));

  ICatInformation* ci = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_ICatInformation, reinterpret_cast<void**>(&ci)));
  CATID da20 = CATID_OPCDAServer20, da10 = CATID_OPCDAServer10;
  EXPECT_EQ(S_OK, ci->IsClassOfCategories(CLSID_SimServerDA20, 1, &da20, 0, nullptr));
  EXPECT_EQ(S_FALSE, ci->IsClassOfCategories(CLSID_SimServerDA20, 1, &da10, 0, nullptr));
  EXPECT_EQ(S_OK, ci->IsClassOfCategories(CLSID_SimServerDA10, 1, &da10, 0, nullptr));
  EXPECT_EQ(S_FALSE, ci->IsClassOfCategories(CLSID_SimServerDA10, 1, &da20, 0, nullptr));
  ci->Release();
}

}  // namespace
