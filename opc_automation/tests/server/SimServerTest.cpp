// The OPCServer object against SimServer in its own process, both personalities, the way a
// compiled client calls it: early bound through the standard IIDs and vtable. The custom
// interfaces cross processes through OpcProxy.dll and the server list comes from OpcEnum, all
// as scripts/register registers them in the prefix. The test that starts SimServer itself (for
// --shutdown-after) comes first: a server COM started for a later test would still be serving.
#include <gtest/gtest.h>

#include "ServerObject.h"
#include "SimServerProcess.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cmath>
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

const wchar_t kDa20Clsid[] = L"{B689282A-2E15-43BB-A6B2-7BED22FE6FF7}";



// ServerShutDown as a client's event sink receives it.
class ShutdownEvents final : public common::ComObject<ShutdownEvents, IDispatch> {
 public:
  std::vector<std::wstring> reasons;
  HRESULT QueryInterfaceExtra(REFIID riid, void** p) noexcept {
    if (!IsEqualIID(riid, DIID_DIOPCServerEvent)) return E_NOINTERFACE;
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
    if (id == 1 && p && p->cArgs == 1 && V_VT(&p->rgvarg[0]) == VT_BSTR)
      reasons.emplace_back(V_BSTR(&p->rgvarg[0]), SysStringLen(V_BSTR(&p->rgvarg[0])));
    return S_OK;
  }
};

class SimServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_EQ(S_OK, veltrane::CreateServerObject(IID_IOPCAutoServer, server_.PutVoid()));
    ASSERT_EQ(S_OK, server_->get_OPCGroups(groups_.GetAddressOf()));
  }
  void TearDown() override {
    if (server_) server_->Disconnect();
    groups_.Reset();
    server_.Reset();
    CoUninitialize();
  }
  HRESULT Connect(const wchar_t* progId, const Variant& node = Variant::Missing()) {
    return server_->Connect(Bstr(progId).Get(), node);
  }
  Bstr Name(HRESULT (STDMETHODCALLTYPE IOPCAutoServer::*get)(BSTR*)) {
    Bstr b;
    EXPECT_EQ(S_OK, (server_.Get()->*get)(b.ReleaseAndGetAddressOf()));
    return b;
  }
  static DATE Now() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    DATE d = 0;
    SystemTimeToVariantTime(&st, &d);
    return d;
  }

  ComPtr<IOPCAutoServer> server_;
  ComPtr<IOPCGroups> groups_;
};

// ----------------------------------------------------------------- the server the test starts

TEST_F(SimServerTest, ShutdownAfterRaisesServerShutDownWithItsReasonAndTheConnectionStays) {
  StartedServer sim(L"--shutdown-after 3 --shutdown-reason \"maintenance at noon\" --linger-ms 200");
  ASSERT_TRUE(sim.ready) << sim.text;
  auto events = common::Make<ShutdownEvents>();
  ComPtr<IConnectionPointContainer> cpc;
  ASSERT_EQ(S_OK, server_->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid()));
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_DIOPCServerEvent, point.GetAddressOf()));
  DWORD cookie = 0;
  ASSERT_EQ(S_OK, point->Advise(events->Unknown(), &cookie));

  ASSERT_EQ(S_OK, Connect(L"Sim.OPCDA.2"));
  Pump(20000, [&] { return !events->reasons.empty(); });
  ASSERT_EQ(1u, events->reasons.size()) << "ServerShutDown within 20 s";
  EXPECT_EQ(L"maintenance at noon", events->reasons[0]);
  // The library leaves the decision to the client: still connected, the server still answers.
  EXPECT_EQ(Bstr(L"Sim.OPCDA.2"), Name(&IOPCAutoServer::get_ServerName));
  LONG state = 0;
  EXPECT_EQ(S_OK, server_->get_ServerState(&state));
  EXPECT_EQ(S_OK, server_->Disconnect());
  EXPECT_EQ(0, sim.WaitExit(20000)) << "the server ends once its client has gone";
  point->Unadvise(cookie);
}

// ----------------------------------------------------------------- servers COM starts

TEST_F(SimServerTest, ConnectsByProgIdVersionIndependentProgIdAndClsid) {
  ASSERT_EQ(S_OK, Connect(L"Sim.OPCDA.2"));
  EXPECT_EQ(Bstr(L"Sim.OPCDA.2"), Name(&IOPCAutoServer::get_ServerName));
  EXPECT_TRUE(Name(&IOPCAutoServer::get_ServerNode).IsNull());

  ASSERT_EQ(S_OK, Connect(L"Sim.OPCDA"));
  EXPECT_EQ(Bstr(L"Sim.OPCDA"), Name(&IOPCAutoServer::get_ServerName));
  LONG state = 0;
  EXPECT_EQ(S_OK, server_->get_ServerState(&state));

  auto enhancement = server_.Query<IKestrovEnhancement>();
  ASSERT_TRUE(enhancement);
  ASSERT_EQ(S_OK, enhancement->ConnectViaCLSID(Bstr(kDa20Clsid).Get(), Variant::Missing()));
  EXPECT_EQ(Bstr(kDa20Clsid), Name(&IOPCAutoServer::get_ServerName));
  EXPECT_EQ(S_OK, server_->get_ServerState(&state));
  EXPECT_EQ(OPCRunning, state);

  // This computer by name: local rules, the node kept as given.
  ASSERT_EQ(S_OK, Connect(L"Sim.OPCDA.2", Variant(L"\\\\LOCALHOST")));
  EXPECT_EQ(Bstr(L"\\\\LOCALHOST"), Name(&IOPCAutoServer::get_ServerNode));
  EXPECT_EQ(S_OK, server_->get_ServerState(&state));

  // A ProgID nobody registered: the registry's error, and nothing connected.
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), Connect(L"Sim.NoSuchServer.7"));
  EXPECT_TRUE(Name(&IOPCAutoServer::get_ServerName).IsNull());
  EXPECT_EQ(E_FAIL, server_->get_ServerState(&state));
}

TEST_F(SimServerTest, AnotherNodeFailsCleanlyWithThePlatformsError) {
  // Remote activation cannot work here; it must come back, with a failure, and leave nothing.
  auto enhancement = server_.Query<IKestrovEnhancement>();
  DWORD start = GetTickCount();
  HRESULT hr = enhancement->ConnectViaCLSID(Bstr(kDa20Clsid).Get(), Variant(L"plant7"));
  DWORD took = GetTickCount() - start;
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  EXPECT_LT(took, 60000u);
  EXPECT_TRUE(Name(&IOPCAutoServer::get_ServerName).IsNull());
  RecordProperty("remote_connect_ms", static_cast<int>(took));
}

TEST_F(SimServerTest, StatusMembersDescribeTheRunningServer) {
  ASSERT_EQ(S_OK, Connect(L"Sim.OPCDA.2"));
  DATE start = 0, current = 0, update = 0;
  ASSERT_EQ(S_OK, server_->get_StartTime(&start));
  ASSERT_EQ(S_OK, server_->get_CurrentTime(&current));
  ASSERT_EQ(S_OK, server_->get_LastUpdateTime(&update));
  EXPECT_LE(start, current);
  EXPECT_LT(std::fabs(current - Now()), 10.0 / 86400) << "the server's clock, in local time";
  short major = 0, minor = 0, build = 0;
  EXPECT_EQ(S_OK, server_->get_MajorVersion(&major));
  EXPECT_EQ(S_OK, server_->get_MinorVersion(&minor));
  EXPECT_EQ(S_OK, server_->get_BuildNumber(&build));
  EXPECT_GT(major + minor + build, 0);
  Bstr vendor;
  EXPECT_EQ(S_OK, server_->get_VendorInfo(vendor.ReleaseAndGetAddressOf()));
  EXPECT_FALSE(vendor.Empty());
  LONG state = 0, bandwidth = 0;
  EXPECT_EQ(S_OK, server_->get_ServerState(&state));
  EXPECT_EQ(OPCRunning, state);
  EXPECT_EQ(S_OK, server_->get_Bandwidth(&bandwidth));

  // The server's own text for an OPC error, through its GetErrorString across processes.
  Bstr text;
  EXPECT_EQ(S_OK, server_->GetErrorString(static_cast<LONG>(0xC0040007), text.ReleaseAndGetAddressOf()));
  EXPECT_FALSE(text.Empty());
}

TEST_F(SimServerTest, ClientNameAndLocaleRoundTrip) {
  ASSERT_EQ(S_OK, Connect(L"Sim.OPCDA.2"));
  ASSERT_EQ(S_OK, server_->put_ClientName(Bstr(L"Veltrane test client").Get()));
  EXPECT_EQ(Bstr(L"Veltrane test client"), Name(&IOPCAutoServer::get_ClientName));
  ASSERT_EQ(S_OK, server_->put_LocaleID(0x409));
  LONG lcid = 0;
  ASSERT_EQ(S_OK, server_->get_LocaleID(&lcid));
  EXPECT_EQ(0x409, lcid);
  EXPECT_EQ(E_INVALIDARG, server_->put_LocaleID(0x41D)) << "a locale the server does not offer";
  ASSERT_EQ(S_OK, server_->get_LocaleID(&lcid));
  EXPECT_EQ(0x409, lcid);

  Variant locales;
  ASSERT_EQ(S_OK, server_->QueryAvailableLocaleIDs(locales.ReleaseAndGetAddressOf()));
  ASSERT_EQ(VT_ARRAY | VT_I4, locales.Type());
  LONG lb = 0, ub = 0;
  SafeArrayGetLBound(V_ARRAY(&locales), 1, &lb);
  SafeArrayGetUBound(V_ARRAY(&locales), 1, &ub);
  EXPECT_EQ(1, lb);
  bool has409 = false;
  for (LONG i = lb; i <= ub; ++i) {
    LONG v = 0;
    SafeArrayGetElement(V_ARRAY(&locales), &i, &v);
    has409 = has409 || v == 0x409;
  }
  EXPECT_TRUE(has409);
}

TEST_F(SimServerTest, ItemPropertiesOfARampItem) {
  ASSERT_EQ(S_OK, Connect(L"Sim.OPCDA.2"));
  LONG count = 0;
  SAFEARRAY *ids = nullptr, *texts = nullptr, *types = nullptr;
  ASSERT_EQ(S_OK, server_->QueryAvailableProperties(Bstr(L"Ramp.I4").Get(), &count, &ids, &texts, &types));
  common::SafeArray i, t, y;
  i.Attach(ids);
  t.Attach(texts);
  y.Attach(types);
  ASSERT_GE(count, 6) << "data type, value, quality, time stamp, rights, EU range";
  EXPECT_EQ(1, i.LowerBound());
  EXPECT_EQ(count, static_cast<LONG>(i.Count()));
  std::vector<LONG> found;
  for (LONG k = 1; k <= count; ++k) {
    LONG id = 0;
    i.GetElement(k, &id);
    found.push_back(id);
    BSTR b = nullptr;
    t.GetElement(k, &b);
    EXPECT_GT(SysStringLen(b), 0u) << "description of property " << id;
    SysFreeString(b);
  }
  for (LONG wanted : {1, 2, 3, 4, 5, 102, 103})
    EXPECT_NE(found.end(), std::find(found.begin(), found.end(), wanted)) << "property " << wanted;

  common::SafeArray in;
  ASSERT_EQ(S_OK, in.Create(VT_I4, 3));
  in.Put(1, static_cast<LONG>(1));
  in.Put(2, static_cast<LONG>(3));
  in.Put(3, static_cast<LONG>(9999));
  SAFEARRAY* inArray = in.Get();
  SAFEARRAY *values = nullptr, *errors = nullptr;
  ASSERT_TRUE(SUCCEEDED(server_->GetItemProperties(Bstr(L"Ramp.I4").Get(), 3, &inArray, &values, &errors)));
  common::SafeArray v, e;
  v.Attach(values);
  e.Attach(errors);
  EXPECT_EQ(1, v.LowerBound());
  EXPECT_EQ(3, v.UpperBound());
  Variant value;
  ASSERT_EQ(S_OK, v.GetVariant(1, &value));
  EXPECT_EQ(VT_I2, value.Type());
  EXPECT_EQ(VT_I4, V_I2(&value)) << "the canonical data type";
  ASSERT_EQ(S_OK, v.GetVariant(2, &value));
  LONG quality = 0;
  ASSERT_EQ(S_OK, value.ToInt32(&quality));
  EXPECT_EQ(192, quality);
  LONG err = 0;
  e.GetElement(1, &err);
  EXPECT_EQ(S_OK, err);
  e.GetElement(3, &err);
  EXPECT_EQ(static_cast<LONG>(0xC0040203), err) << "OPC_E_INVALID_PID";

  // LookupItemIDs: no property of the simulator has an item of its own; per-entry errors.
  SAFEARRAY *names = nullptr;
  ASSERT_TRUE(SUCCEEDED(server_->LookupItemIDs(Bstr(L"Ramp.I4").Get(), 2, &inArray, &names, &errors)));
  common::SafeArray n;
  n.Attach(names);
  e.Attach(errors);
  EXPECT_EQ(1, n.LowerBound());
  EXPECT_EQ(2, n.UpperBound());
  EXPECT_EQ(VT_BSTR, n.ElementType());
  e.GetElement(1, &err);
  EXPECT_TRUE(FAILED(err));

  EXPECT_EQ(static_cast<HRESULT>(0xC0040007),
            server_->QueryAvailableProperties(Bstr(L"No.Such.Item").Get(), &count, &ids, &texts, &types))
      << "OPC_E_UNKNOWNITEMID, unchanged";
}

TEST_F(SimServerTest, Da10PersonalityConnectsWithoutCommonMembers) {
  ASSERT_EQ(S_OK, Connect(L"Sim.OPCDA.1"));
  LONG state = 0, lcid = 0;
  EXPECT_EQ(S_OK, server_->get_ServerState(&state));
  EXPECT_EQ(OPCRunning, state);
  EXPECT_EQ(E_NOINTERFACE, server_->get_LocaleID(&lcid));
  EXPECT_EQ(E_NOINTERFACE, server_->put_LocaleID(0x409));
  EXPECT_EQ(E_NOINTERFACE, server_->put_ClientName(Bstr(L"x").Get()));
  Variant locales;
  EXPECT_EQ(E_NOINTERFACE, server_->QueryAvailableLocaleIDs(locales.ReleaseAndGetAddressOf()));
  LONG count = 0;
  SAFEARRAY *a = nullptr, *b = nullptr, *c = nullptr;
  EXPECT_EQ(E_NOINTERFACE, server_->QueryAvailableProperties(Bstr(L"Ramp.I4").Get(), &count, &a, &b, &c));
  common::SafeArray in;
  ASSERT_EQ(S_OK, in.Create(VT_I4, 1));
  SAFEARRAY* inArray = in.Get();
  EXPECT_EQ(E_NOINTERFACE, server_->GetItemProperties(Bstr(L"Ramp.I4").Get(), 1, &inArray, &a, &b));
  EXPECT_EQ(E_NOINTERFACE, server_->LookupItemIDs(Bstr(L"Ramp.I4").Get(), 1, &inArray, &a, &b));

  // Its groups take the DA 1.0 path.
  ComPtr<IOPCGroup> g;
  ASSERT_EQ(S_OK, groups_->Add(Variant(L"old"), g.GetAddressOf()));
  Bstr name;
  EXPECT_EQ(S_OK, g->get_Name(name.ReleaseAndGetAddressOf()));
  EXPECT_EQ(Bstr(L"old"), name);
  EXPECT_EQ(S_OK, groups_->Remove(Variant(L"old")));
}

TEST_F(SimServerTest, GroupsAreAddedFoundAndRemovedOnTheServer) {
  EXPECT_EQ(S_OK, groups_->put_DefaultGroupUpdateRate(250));
  ASSERT_EQ(S_OK, Connect(L"Sim.OPCDA.2"));
  ComPtr<IOPCGroup> named, unnamed, found;
  ASSERT_EQ(S_OK, groups_->Add(Variant(L"Fast"), named.GetAddressOf()));
  ASSERT_EQ(S_OK, groups_->Add(Variant::Missing(), unnamed.GetAddressOf()));
  Bstr serverChosen;
  ASSERT_EQ(S_OK, unnamed->get_Name(serverChosen.ReleaseAndGetAddressOf()));
  EXPECT_FALSE(serverChosen.Empty()) << "the server names a group the client did not";
  ASSERT_EQ(S_OK, groups_->Item(Variant(serverChosen), found.GetAddressOf()));
  EXPECT_EQ(unnamed.Get(), found.Get());
  ComPtr<IOPCGroup> duplicate;
  EXPECT_EQ(static_cast<HRESULT>(0xC004000C), groups_->Add(Variant(L"Fast"), duplicate.GetAddressOf()))
      << "OPC_E_DUPLICATENAME from the server, unchanged";
  LONG count = 0;
  EXPECT_EQ(S_OK, groups_->get_Count(&count));
  EXPECT_EQ(2, count);

  ASSERT_EQ(S_OK, named->put_Name(Bstr(L"Renamed").Get()));
  ASSERT_EQ(S_OK, groups_->Item(Variant(L"Renamed"), found.GetAddressOf()));
  EXPECT_EQ(named.Get(), found.Get());
  LONG handle = 0;
  ASSERT_EQ(S_OK, named->get_ServerHandle(&handle));
  EXPECT_EQ(S_OK, groups_->Remove(Variant(handle)));
  EXPECT_EQ(S_OK, groups_->RemoveAll());
  EXPECT_EQ(S_OK, groups_->get_Count(&count));
  EXPECT_EQ(0, count);
  Bstr name;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, unnamed->get_Name(name.ReleaseAndGetAddressOf()));
  // The name is free again on the server.
  ASSERT_EQ(S_OK, groups_->Add(Variant(L"Fast"), named.GetAddressOf()));
}

TEST_F(SimServerTest, GetOpcServersListsEachSimulatorPersonalityOnce) {
  Variant list;
  ASSERT_EQ(S_OK, server_->GetOPCServers(Variant::Missing(), list.ReleaseAndGetAddressOf()));
  ASSERT_EQ(VT_ARRAY | VT_BSTR, list.Type());
  LONG lb = 0, ub = -1;
  SafeArrayGetLBound(V_ARRAY(&list), 1, &lb);
  SafeArrayGetUBound(V_ARRAY(&list), 1, &ub);
  EXPECT_EQ(1, lb);
  int da1 = 0, da2 = 0, independent = 0;
  for (LONG i = lb; i <= ub; ++i) {
    BSTR b = nullptr;
    SafeArrayGetElement(V_ARRAY(&list), &i, &b);
    std::wstring s(b ? b : L"");
    SysFreeString(b);
    da1 += _wcsicmp(s.c_str(), L"Sim.OPCDA.1") == 0;
    da2 += _wcsicmp(s.c_str(), L"Sim.OPCDA.2") == 0;
    independent += _wcsicmp(s.c_str(), L"Sim.OPCDA") == 0;
  }
  EXPECT_EQ(1, da1);
  EXPECT_EQ(1, da2);
  EXPECT_EQ(0, independent) << "listed under its class's own ProgID";
}

// ----------------------------------------------------------------- through the registered DLL

TEST_F(SimServerTest, TheRegisteredClassIsCreatedThroughCom) {
  const CLSID clsidOpcServer = {0x5C163340, 0x1BFF, 0x4165, {0xBD, 0x0F, 0x88, 0xF3, 0x8B, 0x96, 0x9E, 0x81}};
  ComPtr<IOPCAutoServer> viaCom;
  HRESULT hr = CoCreateInstance(clsidOpcServer, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCAutoServer,
                                viaCom.PutVoid());
  ASSERT_EQ(S_OK, hr) << "Veltrane.dll registered by scripts/register";
  ASSERT_EQ(S_OK, viaCom->Connect(Bstr(L"Sim.OPCDA.2").Get(), Variant::Missing()));
  LONG state = 0;
  EXPECT_EQ(S_OK, viaCom->get_ServerState(&state));
  EXPECT_EQ(OPCRunning, state);
  // Late bound by name through the registered type library, as script hosts call.
  ComPtr<IDispatch> disp;
  ASSERT_EQ(S_OK, viaCom->QueryInterface(IID_IDispatch, disp.PutVoid()));
  Variant name;
  ASSERT_EQ(S_OK, common::GetProperty(disp.Get(), L"ServerName", name.ReleaseAndGetAddressOf()));
  ASSERT_EQ(VT_BSTR, name.Type());
  EXPECT_EQ(Bstr(L"Sim.OPCDA.2"), Bstr::Copy(V_BSTR(&name)));
  EXPECT_EQ(S_OK, viaCom->Disconnect());
}

}  // namespace
