// The OPCServer object and its OPCGroups face in this process, against fakes of an outside
// server and of the node seam: the cases a real server cannot be made to show (interfaces
// missing, Advise or RemoveGroup failing, remote nodes) and the exact arguments that reach the
// custom interfaces. Early bound, through the vtable, as compiled clients call.
#include <gtest/gtest.h>

#include "Conversion.h"
#include "FakeOpcServer.h"
#include "ServerObject.h"

#include <functional>
#include <string>
#include <vector>

using common::Bstr;
using common::ComPtr;
using common::Variant;

namespace {

const CLSID kFakeClsid = {0x6a0e2f11, 0x3c4d, 0x4e5f, {0x90, 0x81, 0x72, 0x63, 0x54, 0x45, 0x36, 0x27}};
const wchar_t kFakeClsidText[] = L"{6A0E2F11-3C4D-4E5F-9081-726354453627}";
const char kTestRoot[] = "Software\\Tessarel\\VeltraneServerTests";

// One recorded event: what the sink's Invoke was given.
struct Event {
  std::string sink;
  DISPID id;
  LCID lcid;
  WORD flags;
  UINT namedArgs;
  bool wantedResult;
  std::vector<Variant> args;  // in natural order
};

// An event sink for one dispinterface that records every Invoke into a shared log.
class EventSink final : public common::ComObject<EventSink, IDispatch> {
 public:
  EventSink(REFIID iid, std::string name, std::vector<Event>* log) : iid_(iid), name_(std::move(name)), log_(log) {}
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
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* p, VARIANT* result,
                      EXCEPINFO*, UINT*) override {
    Event e{name_, id, lcid, flags, p ? p->cNamedArgs : 0, result != nullptr, {}};
    for (UINT i = p ? p->cArgs : 0; i-- > 0;) e.args.emplace_back(p->rgvarg[i]);
    log_->push_back(std::move(e));
    if (onEvent) onEvent();
    return S_OK;
  }

  std::function<void()> onEvent;  // runs after the event was recorded

 private:
  IID iid_;
  std::string name_;
  std::vector<Event>* log_;
};

class ServerObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // The node's classes root for ProgID resolution: Fake.Server.1 -> kFakeClsid.
    RegDeleteTreeA(HKEY_CURRENT_USER, kTestRoot);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kTestRoot, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &root_, nullptr));
    HKEY k = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root_, "Fake.Server.1\\CLSID", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &k, nullptr));
    std::string text = common::WideToAnsi(kFakeClsidText);
    RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    RegCloseKey(k);
    nodes_.classesRoot = root_;
    fake_ = common::Make<fake::Server>();
    nodes_.server = fake_->Unknown();
    baseRefs_ = fake_->RefCount();
    veltrane::SetNodeServices(&nodes_);
    ASSERT_EQ(S_OK, veltrane::CreateServerObject(IID_IOPCAutoServer, server_.PutVoid()));
    ASSERT_EQ(S_OK, server_->QueryInterface(IID_IOPCGroups, groups_.PutVoid()));
  }
  void TearDown() override {
    groups_.Reset();
    server_.Reset();
    veltrane::SetNodeServices(nullptr);
    nodes_.server.Reset();
    fake_.Reset();
    RegCloseKey(root_);
    RegDeleteTreeA(HKEY_CURRENT_USER, kTestRoot);
    CoUninitialize();
  }

  HRESULT ConnectFake(const Variant& node = Variant::Missing()) {
    return server_->Connect(Bstr(L"Fake.Server.1").Get(), node);
  }
  Bstr ServerName() {
    Bstr b;
    EXPECT_EQ(S_OK, server_->get_ServerName(b.ReleaseAndGetAddressOf()));
    return b;
  }
  ComPtr<IOPCGroup> AddGroup(const Variant& name) {
    ComPtr<IOPCGroup> g;
    EXPECT_EQ(S_OK, groups_->Add(name, g.GetAddressOf()));
    return g;
  }
  static Bstr NameOf(IOPCGroup* g) {
    Bstr b;
    EXPECT_EQ(S_OK, g->get_Name(b.ReleaseAndGetAddressOf()));
    return b;
  }
  static LONG HandleOf(IOPCGroup* g) {
    LONG h = 0;
    EXPECT_EQ(S_OK, g->get_ServerHandle(&h));
    return h;
  }
  // The advised ShutdownSink as the fake server holds it.
  ComPtr<IOPCShutdown> AdvisedSink() {
    if (fake_->shutdownPoint->sinks.empty()) return {};
    return fake_->shutdownPoint->sinks.begin()->second;
  }
  DWORD Advise(REFIID events, IUnknown* sink) {
    ComPtr<IConnectionPointContainer> c;
    EXPECT_EQ(S_OK, server_->QueryInterface(IID_IConnectionPointContainer, c.PutVoid()));
    ComPtr<IConnectionPoint> p;
    EXPECT_EQ(S_OK, c->FindConnectionPoint(events, p.GetAddressOf()));
    DWORD cookie = 0;
    EXPECT_EQ(S_OK, p->Advise(sink, &cookie));
    return cookie;
  }

  HKEY root_ = nullptr;
  ULONG baseRefs_ = 0;  // the fake's references held by the test itself
  fake::NodeServices nodes_;
  ComPtr<fake::Server> fake_;
  ComPtr<IOPCAutoServer> server_;
  ComPtr<IOPCGroups> groups_;
};

// ---------------------------------------------------------------------------- the object

TEST_F(ServerObjectTest, IsOneObjectWithTheServerGroupsAndEnhancementFaces) {
  ComPtr<IUnknown> unk, viaGroups;
  ASSERT_EQ(S_OK, server_->QueryInterface(IID_IUnknown, unk.PutVoid()));
  ComPtr<IDispatch> disp;
  ASSERT_EQ(S_OK, server_->QueryInterface(IID_IDispatch, disp.PutVoid()));
  EXPECT_EQ(static_cast<void*>(disp.Get()), static_cast<void*>(server_.Get()))
      << "IDispatch is the IOPCAutoServer interface";
  ComPtr<IKestrovEnhancement> enhancement;
  EXPECT_EQ(S_OK, server_->QueryInterface(IID_IKestrovEnhancement, enhancement.PutVoid()));
  ComPtr<IOPCGroups> groups;
  ASSERT_EQ(S_OK, server_->get_OPCGroups(groups.GetAddressOf()));
  ASSERT_EQ(S_OK, groups->QueryInterface(IID_IUnknown, viaGroups.PutVoid()));
  EXPECT_EQ(unk.Get(), viaGroups.Get()) << "OPCGroups is the same COM object";
  ComPtr<IOPCGroup> notHere;
  EXPECT_EQ(E_NOINTERFACE, server_->QueryInterface(IID_IOPCGroup, notHere.PutVoid()));

  ComPtr<ISupportErrorInfo> sei;
  ASSERT_EQ(S_OK, server_->QueryInterface(IID_ISupportErrorInfo, sei.PutVoid()));
  EXPECT_EQ(S_OK, sei->InterfaceSupportsErrorInfo(IID_IOPCAutoServer));
  EXPECT_EQ(S_FALSE, sei->InterfaceSupportsErrorInfo(IID_IOPCGroups));
  EXPECT_EQ(S_FALSE, sei->InterfaceSupportsErrorInfo(IID_IKestrovEnhancement));

  ComPtr<IConnectionPointContainer> cpc;
  ASSERT_EQ(S_OK, server_->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid()));
  ComPtr<IConnectionPoint> p1, p2, none;
  EXPECT_EQ(S_OK, cpc->FindConnectionPoint(DIID_DIOPCServerEvent, p1.GetAddressOf()));
  EXPECT_EQ(S_OK, cpc->FindConnectionPoint(DIID_DIOPCGroupsEvent, p2.GetAddressOf()));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, cpc->FindConnectionPoint(DIID_DIOPCGroupEvent, none.GetAddressOf()));

  EXPECT_EQ(E_NOTIMPL, server_->get_PublicGroupNames(Variant().ReleaseAndGetAddressOf()));
  ComPtr<IOPCGroup> g;
  EXPECT_EQ(E_NOTIMPL, groups_->ConnectPublicGroup(Bstr(L"p").Get(), g.GetAddressOf()));
  EXPECT_EQ(E_NOTIMPL, groups_->RemovePublicGroup(Variant(1)));
}

TEST_F(ServerObjectTest, ConnectionPointsRefuseStrangersAndDeliverToEverySinkInOrder) {
  ComPtr<IConnectionPointContainer> cpc;
  ASSERT_EQ(S_OK, server_->QueryInterface(IID_IConnectionPointContainer, cpc.PutVoid()));
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID_DIOPCServerEvent, point.GetAddressOf()));
  std::vector<Event> log;
  auto stranger = common::Make<EventSink>(DIID_DIOPCGroupEvent, "stranger", &log);
  DWORD cookie = 77;
  EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(stranger->Unknown(), &cookie))
      << "a sink without DIOPCServerEvent";
  EXPECT_EQ(E_POINTER, point->Advise(nullptr, &cookie));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(12345));

  auto first = common::Make<EventSink>(DIID_DIOPCServerEvent, "first", &log);
  auto second = common::Make<EventSink>(DIID_DIOPCServerEvent, "second", &log);
  DWORD c1 = Advise(DIID_DIOPCServerEvent, first->Unknown());
  Advise(DIID_DIOPCServerEvent, second->Unknown());

  ASSERT_EQ(S_OK, ConnectFake());
  ComPtr<IOPCShutdown> sink = AdvisedSink();
  ASSERT_TRUE(sink);
  EXPECT_EQ(S_OK, sink->ShutdownRequest(L"maintenance"));
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ("first", log[0].sink);
  EXPECT_EQ("second", log[1].sink);
  for (auto& e : log) {
    EXPECT_EQ(1, e.id) << "ServerShutDown";
    EXPECT_EQ(0x400u, e.lcid);
    EXPECT_EQ(DISPATCH_METHOD, e.flags);
    EXPECT_EQ(0u, e.namedArgs);
    EXPECT_FALSE(e.wantedResult);
    ASSERT_EQ(1u, e.args.size());
    ASSERT_EQ(VT_BSTR, e.args[0].Type());
    EXPECT_EQ(Bstr(L"maintenance"), Bstr::Copy(V_BSTR(&e.args[0])));
  }

  // Raised as often as the server asks; the connection stays.
  ASSERT_EQ(S_OK, point->Unadvise(c1));
  log.clear();
  EXPECT_EQ(S_OK, sink->ShutdownRequest(nullptr));
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("second", log[0].sink);
  EXPECT_EQ(Bstr(L"Fake.Server.1"), ServerName()) << "the library does not disconnect by itself";
  EXPECT_TRUE(fake_->shutdownPoint->unadvised.empty());
}

TEST_F(ServerObjectTest, AClientMayReleaseTheServerObjectFromInsideServerShutDown) {
  std::vector<Event> log;
  auto first = common::Make<EventSink>(DIID_DIOPCServerEvent, "first", &log);
  auto second = common::Make<EventSink>(DIID_DIOPCServerEvent, "second", &log);
  Advise(DIID_DIOPCServerEvent, first->Unknown());
  Advise(DIID_DIOPCServerEvent, second->Unknown());
  ASSERT_EQ(S_OK, ConnectFake());
  auto group = AddGroup(Variant(L"g"));
  ComPtr<IOPCShutdown> sink = AdvisedSink();
  // The first handler lets go of its last references: the object disconnects and goes once
  // the event is over, and the second sink still gets the event.
  first->onEvent = [&] {
    groups_.Reset();
    server_.Reset();
  };
  EXPECT_EQ(S_OK, sink->ShutdownRequest(L"going"));
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ("second", log[1].sink);
  EXPECT_FALSE(server_);
  EXPECT_EQ(1u, fake_->shutdownPoint->unadvised.size()) << "the final release disconnected";
  EXPECT_EQ(1u, fake_->removedGroups.size());
  Bstr name;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group->get_Name(name.ReleaseAndGetAddressOf()));
  EXPECT_EQ(S_OK, sink->ShutdownRequest(L"again")) << "no owner any more";
  EXPECT_EQ(2u, log.size());
}

// ---------------------------------------------------------------------------- connecting

TEST_F(ServerObjectTest, ConnectResolvesTheProgIdAndFollowsTheNodeRule) {
  // No node: local class context, no COSERVERINFO.
  ASSERT_EQ(S_OK, ConnectFake());
  ASSERT_EQ(1u, nodes_.activations.size());
  EXPECT_TRUE(IsEqualCLSID(kFakeClsid, nodes_.activations[0].clsid));
  EXPECT_EQ(0x17u, nodes_.activations[0].clsctx);
  EXPECT_FALSE(nodes_.activations[0].node);
  EXPECT_TRUE(IsEqualIID(IID_IOPCServer, nodes_.activations[0].iid));
  EXPECT_EQ(Bstr(L"Fake.Server.1"), ServerName());
  Bstr node;
  EXPECT_EQ(S_OK, server_->get_ServerNode(node.ReleaseAndGetAddressOf()));
  EXPECT_TRUE(node.IsNull());
  EXPECT_EQ(1, fake_->shutdownPoint->advises);

  // The local host named in capitals behind backslashes is still this computer.
  ASSERT_EQ(S_OK, ConnectFake(Variant(L"\\\\LOCALHOST")));
  ASSERT_EQ(2u, nodes_.activations.size());
  EXPECT_EQ(0x17u, nodes_.activations[1].clsctx);
  ASSERT_TRUE(nodes_.activations[1].node);
  EXPECT_EQ("\\\\LOCALHOST", *nodes_.activations[1].node);
  EXPECT_EQ(S_OK, server_->get_ServerNode(node.ReleaseAndGetAddressOf()));
  EXPECT_EQ(Bstr(L"\\\\LOCALHOST"), node);

  // Another machine: remote only, with its name.
  ASSERT_EQ(S_OK, ConnectFake(Variant(L"plant7")));
  ASSERT_EQ(3u, nodes_.activations.size());
  EXPECT_EQ(0x10u, nodes_.activations[2].clsctx);
  ASSERT_TRUE(nodes_.activations[2].node);
  EXPECT_EQ("plant7", *nodes_.activations[2].node);
  // Each new Connect dropped the connection before: the earlier advices were taken back.
  EXPECT_EQ(2u, fake_->shutdownPoint->unadvised.size());
  EXPECT_EQ(1u, fake_->shutdownPoint->sinks.size());
}

// A local server that withdrew its class objects (or died) between handing out its factory and
// the creation is reached again, a moment later, as a fresh server; Wine reports that failure as
// REGDB_E_CLASSNOTREG, which counts only for a class registered with a local server.
TEST_F(ServerObjectTest, ALocalServerLeavingAsItIsReachedIsTriedAgainAFewTimes) {
  HKEY k = nullptr;
  const std::string localServer =
      "CLSID\\" + common::WideToAnsi(kFakeClsidText) + "\\LocalServer32";
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root_, localServer.c_str(), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &k, nullptr));
  RegCloseKey(k);

  nodes_.createResults = {REGDB_E_CLASSNOTREG};
  ASSERT_EQ(S_OK, ConnectFake());
  EXPECT_EQ(2u, nodes_.activations.size());
  EXPECT_EQ(std::vector<DWORD>{100}, nodes_.pauses);
  EXPECT_EQ(1, fake_->shutdownPoint->advises);

  // Leaving every time: three tries, and the last failure is the answer.
  nodes_.activations.clear();
  nodes_.pauses.clear();
  nodes_.createResults = {CO_E_SERVER_STOPPING, RPC_E_DISCONNECTED, CO_E_SERVER_STOPPING};
  EXPECT_EQ(CO_E_SERVER_STOPPING, ConnectFake());
  EXPECT_EQ(3u, nodes_.activations.size());
  EXPECT_EQ((std::vector<DWORD>{100, 400}), nodes_.pauses);

  // Failures that say nothing of a leaving server, and remote nodes, get one try.
  struct Case {
    HRESULT result;
    const wchar_t* node;
  } once[] = {{E_ACCESSDENIED, nullptr},
              {CO_E_SERVER_EXEC_FAILURE, nullptr},
              {CO_E_SERVER_STOPPING, L"plant7"},
              {REGDB_E_CLASSNOTREG, L"plant7"}};
  for (const Case& c : once) {
    nodes_.activations.clear();
    nodes_.pauses.clear();
    nodes_.createResults = {c.result, S_OK};
    EXPECT_EQ(c.result, c.node ? ConnectFake(Variant(c.node)) : ConnectFake())
        << std::hex << c.result;
    EXPECT_EQ(1u, nodes_.activations.size()) << std::hex << c.result;
    EXPECT_TRUE(nodes_.pauses.empty());
  }

  // Without a local server registered, "not registered" is believed at once.
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(root_, localServer.c_str()));
  nodes_.activations.clear();
  nodes_.createResults = {REGDB_E_CLASSNOTREG, S_OK};
  EXPECT_EQ(REGDB_E_CLASSNOTREG, ConnectFake());
  EXPECT_EQ(1u, nodes_.activations.size());
}

TEST_F(ServerObjectTest, BadConnectArgumentsAndUnknownProgIdsReachNoServer) {
  EXPECT_EQ(E_INVALIDARG, server_->Connect(nullptr, Variant::Missing()));
  EXPECT_EQ(E_INVALIDARG, ConnectFake(Variant(7))) << "a node that is not a string";
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
            server_->Connect(Bstr(L"No.Such.Server").Get(), Variant::Missing()));
  auto enhancement = server_.Query<IKestrovEnhancement>();
  ASSERT_TRUE(enhancement);
  EXPECT_EQ(E_INVALIDARG, enhancement->ConnectViaCLSID(nullptr, Variant::Missing()));
  EXPECT_EQ(CO_E_CLASSSTRING, enhancement->ConnectViaCLSID(Bstr(L"{not a clsid}").Get(), Variant::Missing()));
  EXPECT_TRUE(nodes_.activations.empty());
}

TEST_F(ServerObjectTest, ConnectViaClsidSkipsResolutionAndNamesTheServerByTheClsid) {
  auto enhancement = server_.Query<IKestrovEnhancement>();
  ASSERT_EQ(S_OK, enhancement->ConnectViaCLSID(Bstr(kFakeClsidText).Get(), Variant(L"plant7")));
  ASSERT_EQ(1u, nodes_.activations.size());
  EXPECT_TRUE(IsEqualCLSID(kFakeClsid, nodes_.activations[0].clsid));
  EXPECT_EQ(0x10u, nodes_.activations[0].clsctx);
  EXPECT_EQ(Bstr(kFakeClsidText), ServerName());
}

TEST_F(ServerObjectTest, AServerWithCommonButWithoutItemPropertiesOrShutdownIsRefused) {
  fake_->hasItemProperties = false;
  EXPECT_EQ(E_NOINTERFACE, ConnectFake());
  EXPECT_TRUE(ServerName().IsNull());
  LONG state = 0;
  EXPECT_EQ(E_FAIL, server_->get_ServerState(&state)) << "left disconnected";
  EXPECT_EQ(0, fake_->shutdownPoint->advises);
  EXPECT_EQ(baseRefs_, fake_->RefCount()) << "nothing of the server is kept";

  fake_->hasItemProperties = true;
  fake_->hasShutdownPoint = false;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, ConnectFake()) << "the server's own error";
  EXPECT_TRUE(ServerName().IsNull());
  EXPECT_EQ(baseRefs_, fake_->RefCount());
}

TEST_F(ServerObjectTest, AFailedAdviseLeavesTheObjectDisconnectedAndTheSinkDeaf) {
  std::vector<Event> log;
  auto events = common::Make<EventSink>(DIID_DIOPCServerEvent, "events", &log);
  Advise(DIID_DIOPCServerEvent, events->Unknown());
  fake_->shutdownPoint->adviseResult = CONNECT_E_ADVISELIMIT;
  EXPECT_EQ(CONNECT_E_ADVISELIMIT, ConnectFake());
  EXPECT_TRUE(ServerName().IsNull());
  EXPECT_EQ(baseRefs_, fake_->RefCount());

  // A good connection, then one that fails: nothing of the first is left.
  fake_->shutdownPoint->adviseResult = S_OK;
  ASSERT_EQ(S_OK, ConnectFake(Variant(L"plant7")));
  ComPtr<IOPCShutdown> sink = AdvisedSink();
  auto group = AddGroup(Variant(L"kept"));
  fake_->hasItemProperties = false;
  EXPECT_EQ(E_NOINTERFACE, ConnectFake());
  EXPECT_TRUE(ServerName().IsNull());
  Bstr node;
  EXPECT_EQ(S_OK, server_->get_ServerNode(node.ReleaseAndGetAddressOf()));
  EXPECT_TRUE(node.IsNull());
  LONG count = -1;
  EXPECT_EQ(S_OK, groups_->get_Count(&count));
  EXPECT_EQ(0, count);
  EXPECT_EQ(1u, fake_->removedGroups.size()) << "the group was removed from the first server";
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group->get_Name(node.ReleaseAndGetAddressOf()));
  EXPECT_EQ(1u, fake_->shutdownPoint->unadvised.size());
  EXPECT_EQ(S_OK, sink->ShutdownRequest(L"late")) << "answered, and ignored";
  EXPECT_TRUE(log.empty());
  group.Reset();
  EXPECT_EQ(baseRefs_, fake_->RefCount());
}

TEST_F(ServerObjectTest, ADa10ServerConnectsWithoutShutdownAdviceAndRefusesCommonMembers) {
  fake_->hasCommon = false;
  fake_->hasItemProperties = false;
  fake_->hasShutdownPoint = false;
  ASSERT_EQ(S_OK, ConnectFake());
  EXPECT_EQ(0, fake_->shutdownPoint->advises);
  LONG lcid = 0;
  EXPECT_EQ(E_NOINTERFACE, server_->get_LocaleID(&lcid));
  EXPECT_EQ(E_NOINTERFACE, server_->put_LocaleID(0x409));
  EXPECT_EQ(E_NOINTERFACE, server_->put_ClientName(Bstr(L"me").Get()));
  Variant locales;
  EXPECT_EQ(E_NOINTERFACE, server_->QueryAvailableLocaleIDs(locales.ReleaseAndGetAddressOf()));
  LONG count = 0;
  SAFEARRAY *a = nullptr, *b = nullptr, *c = nullptr;
  EXPECT_EQ(E_NOINTERFACE, server_->QueryAvailableProperties(Bstr(L"Ramp.I4").Get(), &count, &a, &b, &c));
  common::SafeArray ids;
  ASSERT_EQ(S_OK, ids.Create(VT_I4, 1));
  SAFEARRAY* idArray = ids.Get();
  EXPECT_EQ(E_NOINTERFACE, server_->GetItemProperties(Bstr(L"Ramp.I4").Get(), 1, &idArray, &a, &b));
  EXPECT_EQ(E_NOINTERFACE, server_->LookupItemIDs(Bstr(L"Ramp.I4").Get(), 1, &idArray, &a, &b));
  short major = 0;
  EXPECT_EQ(S_OK, server_->get_MajorVersion(&major)) << "status works on DA 1.0";
  EXPECT_EQ(S_OK, server_->Disconnect());
  EXPECT_TRUE(fake_->shutdownPoint->unadvised.empty());
}

TEST_F(ServerObjectTest, FinalReleaseDisconnectsAndAHeldGroupAnswersNoConnection) {
  ASSERT_EQ(S_OK, ConnectFake());
  auto group = AddGroup(Variant(L"held"));
  ComPtr<IOPCShutdown> sink = AdvisedSink();
  groups_.Reset();
  server_.Reset();
  EXPECT_EQ(1u, fake_->removedGroups.size());
  EXPECT_EQ(1u, fake_->shutdownPoint->unadvised.size());
  Bstr name;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group->get_Name(name.ReleaseAndGetAddressOf()));
  ComPtr<IOPCAutoServer> parent;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group->get_Parent(parent.GetAddressOf()));
  LONG h = 0;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group->get_ServerHandle(&h));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group->put_ClientHandle(3));
  EXPECT_EQ(S_OK, sink->ShutdownRequest(L"after the end")) << "the sink outlives its owner safely";
  group.Reset();
  sink.Reset();
  EXPECT_EQ(baseRefs_, fake_->RefCount());
}

// ---------------------------------------------------------------------------- members

TEST_F(ServerObjectTest, StatusMembersComeFromGetStatusAndFailWithoutAConnection) {
  DATE d = 0;
  LONG l = 0;
  short s = 0;
  Bstr text;
  EXPECT_EQ(E_FAIL, server_->get_ServerState(&l)) << "not OPCDisconnected";
  EXPECT_EQ(E_FAIL, server_->get_StartTime(&d));
  EXPECT_EQ(E_FAIL, server_->get_VendorInfo(text.ReleaseAndGetAddressOf()));
  EXPECT_EQ(E_INVALIDARG, server_->get_ServerState(nullptr));

  ASSERT_EQ(S_OK, ConnectFake());
  DATE expected = 0;
  ASSERT_EQ(S_OK, server_->get_StartTime(&d));
  ASSERT_EQ(S_OK, veltrane::FileTimeToLocalDate(fake::kStartTime, &expected));
  EXPECT_DOUBLE_EQ(expected, d);
  ASSERT_EQ(S_OK, server_->get_CurrentTime(&d));
  ASSERT_EQ(S_OK, veltrane::FileTimeToLocalDate(fake::kCurrentTime, &expected));
  EXPECT_DOUBLE_EQ(expected, d);
  ASSERT_EQ(S_OK, server_->get_LastUpdateTime(&d));
  ASSERT_EQ(S_OK, veltrane::FileTimeToLocalDate(fake::kUpdateTime, &expected));
  EXPECT_DOUBLE_EQ(expected, d);
  EXPECT_EQ(S_OK, server_->get_MajorVersion(&s));
  EXPECT_EQ(2, s);
  EXPECT_EQ(S_OK, server_->get_MinorVersion(&s));
  EXPECT_EQ(5, s);
  EXPECT_EQ(S_OK, server_->get_BuildNumber(&s));
  EXPECT_EQ(static_cast<short>(40000), s);
  EXPECT_EQ(S_OK, server_->get_VendorInfo(text.ReleaseAndGetAddressOf()));
  EXPECT_EQ(Bstr(L"Fake Vendor"), text);
  EXPECT_EQ(S_OK, server_->get_ServerState(&l));
  EXPECT_EQ(OPCSuspended, l);
  EXPECT_EQ(S_OK, server_->get_Bandwidth(&l));
  EXPECT_EQ(-1, l);
  EXPECT_EQ(9, fake_->statusCalls) << "one GetStatus per member";

  fake_->getStatusResult = E_OUTOFMEMORY;
  EXPECT_EQ(E_OUTOFMEMORY, server_->get_ServerState(&l));
}

TEST_F(ServerObjectTest, ClientNameAndLocaleReachTheServerAndAreKept) {
  Bstr name;
  EXPECT_EQ(S_OK, server_->get_ClientName(name.ReleaseAndGetAddressOf()));
  EXPECT_TRUE(name.IsNull());
  EXPECT_EQ(E_NOINTERFACE, server_->put_ClientName(Bstr(L"early").Get())) << "not connected";
  ASSERT_EQ(S_OK, ConnectFake());
  EXPECT_EQ(S_OK, server_->put_ClientName(Bstr(L"Tessarel").Get()));
  EXPECT_EQ(L"Tessarel", fake_->clientName);
  EXPECT_EQ(S_OK, server_->put_ClientName(nullptr));
  EXPECT_EQ(L"", fake_->clientName) << "a null name reaches the server as \"\"";
  EXPECT_EQ(S_OK, server_->put_ClientName(Bstr(L"Tessarel").Get()));

  LONG lcid = 0;
  EXPECT_EQ(S_OK, server_->put_LocaleID(0x407));
  EXPECT_EQ(0x407u, fake_->locale);
  EXPECT_EQ(E_INVALIDARG, server_->put_LocaleID(0xDEAD)) << "the server's refusal";
  fake_->locale = 0x40C;  // the server changed it by itself
  EXPECT_EQ(S_OK, server_->get_LocaleID(&lcid));
  EXPECT_EQ(0x40C, lcid);
  Bstr text;
  EXPECT_EQ(S_OK, server_->GetErrorString(E_FAIL, text.ReleaseAndGetAddressOf()));
  ASSERT_EQ(1u, fake_->errorStringLocales.size());
  EXPECT_EQ(0x40Cu, fake_->errorStringLocales[0]) << "GetErrorString uses the locale read last";
  EXPECT_EQ(Bstr(L"fake text " + std::to_wstring(static_cast<unsigned long>(E_FAIL))), text);

  Variant locales;
  ASSERT_EQ(S_OK, server_->QueryAvailableLocaleIDs(locales.ReleaseAndGetAddressOf()));
  ASSERT_EQ(VT_ARRAY | VT_I4, locales.Type());
  LONG lb = 0, ub = 0, v = 0;
  SafeArrayGetLBound(V_ARRAY(&locales), 1, &lb);
  SafeArrayGetUBound(V_ARRAY(&locales), 1, &ub);
  EXPECT_EQ(1, lb);
  EXPECT_EQ(3, ub);
  LONG i = 2;
  SafeArrayGetElement(V_ARRAY(&locales), &i, &v);
  EXPECT_EQ(0x407, v);

  // The client name outlives the connection; the server name does not.
  EXPECT_EQ(S_OK, server_->Disconnect());
  EXPECT_EQ(S_OK, server_->get_ClientName(name.ReleaseAndGetAddressOf()));
  EXPECT_EQ(Bstr(L"Tessarel"), name);
}

TEST_F(ServerObjectTest, GetErrorStringWithoutAConnectionUsesTheSystemTable) {
  Bstr text;
  EXPECT_EQ(E_INVALIDARG, server_->GetErrorString(E_ACCESSDENIED, nullptr));
  ASSERT_EQ(S_OK, server_->GetErrorString(E_ACCESSDENIED, text.ReleaseAndGetAddressOf()));
  EXPECT_FALSE(text.Empty());
  // The same text the system gives in its default language search.
  LPWSTR system = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(E_ACCESSDENIED), 0,
                           reinterpret_cast<LPWSTR>(&system), 0, nullptr);
  ASSERT_NE(0u, n);
  EXPECT_EQ(Bstr(system), text);
  LocalFree(system);
  EXPECT_EQ(E_INVALIDARG, server_->GetErrorString(static_cast<LONG>(0x80041234), text.ReleaseAndGetAddressOf()))
      << "no text in the system table";
  EXPECT_TRUE(text.IsNull());
  EXPECT_TRUE(fake_->errorStringLocales.empty());
}

TEST_F(ServerObjectTest, ItemPropertyMembersCheckArgumentsFirstAndHandBackOneBasedArrays) {
  LONG count = 0;
  SAFEARRAY *ids = nullptr, *texts = nullptr, *types = nullptr;
  EXPECT_EQ(E_NOINTERFACE, server_->QueryAvailableProperties(Bstr(L"Ramp.I4").Get(), &count, &ids, &texts, &types))
      << "not connected";
  ASSERT_EQ(S_OK, ConnectFake());
  EXPECT_EQ(E_INVALIDARG, server_->QueryAvailableProperties(nullptr, &count, &ids, &texts, &types));
  EXPECT_EQ(E_INVALIDARG, server_->QueryAvailableProperties(Bstr(L"Ramp.I4").Get(), &count, &ids, nullptr, &types));
  EXPECT_EQ(0, fake_->propertyCalls);

  ASSERT_EQ(S_OK, server_->QueryAvailableProperties(Bstr(L"Ramp.I4").Get(), &count, &ids, &texts, &types));
  common::SafeArray i, t, y;
  i.Attach(ids);
  t.Attach(texts);
  y.Attach(types);
  EXPECT_EQ(3, count);
  EXPECT_EQ(1, i.LowerBound());
  EXPECT_EQ(3, i.UpperBound());
  EXPECT_EQ(VT_I4, i.ElementType());
  EXPECT_EQ(VT_BSTR, t.ElementType());
  EXPECT_EQ(VT_I2, y.ElementType());
  EXPECT_EQ(1, t.LowerBound());
  EXPECT_EQ(1, y.LowerBound());
  LONG id = 0;
  BSTR b = nullptr;
  SHORT vt = 0;
  EXPECT_EQ(S_OK, i.GetElement(3, &id));
  EXPECT_EQ(102, id);
  EXPECT_EQ(S_OK, t.GetElement(2, &b));
  EXPECT_EQ(Bstr(L"Item Value"), Bstr::Adopt(b));
  EXPECT_EQ(S_OK, y.GetElement(1, &vt));
  EXPECT_EQ(VT_I2, vt);

  // An unknown item: the server's error, outputs empty.
  EXPECT_EQ(OPC_E_UNKNOWNITEMID, server_->QueryAvailableProperties(Bstr(L"Nope").Get(), &count, &ids, &texts, &types));
  EXPECT_EQ(0, count);
  EXPECT_EQ(nullptr, ids);
  EXPECT_EQ(nullptr, texts);

  // Input arrays: lower bound 1 and long enough, or nothing reaches the server.
  int calls = fake_->propertyCalls;
  common::SafeArray zeroBased, shortOne, good;
  ASSERT_EQ(S_OK, zeroBased.Create(VT_I4, 3, 0));
  ASSERT_EQ(S_OK, shortOne.Create(VT_I4, 2));
  ASSERT_EQ(S_OK, good.Create(VT_I4, 3));
  for (LONG k = 1; k <= 3; ++k) good.Put(k, static_cast<LONG>(k == 1 ? 1 : k == 2 ? 5 : 99));
  SAFEARRAY *values = nullptr, *errors = nullptr;
  SAFEARRAY* in = zeroBased.Get();
  EXPECT_EQ(E_INVALIDARG, server_->GetItemProperties(Bstr(L"Ramp.I4").Get(), 3, &in, &values, &errors));
  in = shortOne.Get();
  EXPECT_EQ(E_INVALIDARG, server_->GetItemProperties(Bstr(L"Ramp.I4").Get(), 3, &in, &values, &errors));
  EXPECT_EQ(E_INVALIDARG, server_->LookupItemIDs(Bstr(L"Ramp.I4").Get(), 3, &in, &values, &errors));
  in = nullptr;
  EXPECT_EQ(E_INVALIDARG, server_->GetItemProperties(Bstr(L"Ramp.I4").Get(), 3, &in, &values, &errors));
  EXPECT_EQ(E_INVALIDARG, server_->GetItemProperties(Bstr(L"Ramp.I4").Get(), 3, nullptr, &values, &errors));
  in = good.Get();
  EXPECT_EQ(E_INVALIDARG, server_->GetItemProperties(Bstr(L"Ramp.I4").Get(), 3, &in, nullptr, &errors));
  EXPECT_EQ(E_INVALIDARG, server_->GetItemProperties(Bstr(L"Ramp.I4").Get(), -1, &in, &values, &errors));
  EXPECT_EQ(calls, fake_->propertyCalls);

  ASSERT_EQ(S_OK, server_->GetItemProperties(Bstr(L"Ramp.I4").Get(), 3, &in, &values, &errors));
  EXPECT_EQ((std::vector<DWORD>{1, 5, 99}), fake_->lastPropertyIds);
  common::SafeArray v, e;
  v.Attach(values);
  e.Attach(errors);
  EXPECT_EQ(VT_VARIANT, v.ElementType());
  EXPECT_EQ(1, v.LowerBound());
  EXPECT_EQ(3, v.UpperBound());
  Variant value;
  EXPECT_EQ(S_OK, v.GetVariant(1, &value));
  EXPECT_EQ(VT_I2, value.Type()) << "values as the server gave them";
  EXPECT_EQ(S_OK, v.GetVariant(2, &value));
  ASSERT_EQ(VT_BSTR, value.Type());
  EXPECT_EQ(Bstr(L"read/write"), Bstr::Copy(V_BSTR(&value)));
  LONG err = 0;
  EXPECT_EQ(S_OK, e.GetElement(3, &err));
  EXPECT_EQ(OPC_E_INVALID_PID, err);

  // Only the first two entries of a longer array are read for a count of 2.
  ASSERT_EQ(S_OK, server_->LookupItemIDs(Bstr(L"Ramp.I4").Get(), 2, &in, &values, &errors));
  EXPECT_EQ((std::vector<DWORD>{1, 5}), fake_->lastPropertyIds);
  v.Attach(values);
  e.Attach(errors);
  EXPECT_EQ(2, v.UpperBound());
  EXPECT_EQ(VT_BSTR, v.ElementType());
  b = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(S_OK, v.GetElement(1, &b));
  EXPECT_EQ(nullptr, b) << "no name for a failed entry";
  good.Put(2, static_cast<LONG>(102));
  ASSERT_EQ(S_OK, server_->LookupItemIDs(Bstr(L"Ramp.I4").Get(), 2, &in, &values, &errors));
  v.Attach(values);
  e.Attach(errors);
  EXPECT_EQ(S_OK, v.GetElement(2, &b));
  EXPECT_EQ(Bstr(L"Ramp.I4.HighEU"), Bstr::Adopt(b));
}

TEST_F(ServerObjectTest, CreateBrowserKeepsOneBrowserPerConnection) {
  ComPtr<OPCBrowser> a, b, c;
  EXPECT_EQ(E_FAIL, server_->CreateBrowser(a.GetAddressOf())) << "not connected";
  ASSERT_EQ(S_OK, ConnectFake());
  EXPECT_EQ(E_INVALIDARG, server_->CreateBrowser(nullptr));
  ASSERT_EQ(S_OK, server_->CreateBrowser(a.GetAddressOf()));
  ASSERT_EQ(S_OK, server_->CreateBrowser(b.GetAddressOf()));
  EXPECT_EQ(a.Get(), b.Get());
  ASSERT_EQ(S_OK, server_->Disconnect());
  ASSERT_EQ(S_OK, ConnectFake());
  ASSERT_EQ(S_OK, server_->CreateBrowser(c.GetAddressOf()));
  EXPECT_NE(a.Get(), c.Get()) << "a new connection, a new browser";

  fake_->hasBrowse = false;
  ASSERT_EQ(S_OK, ConnectFake());
  EXPECT_EQ(E_NOINTERFACE, server_->CreateBrowser(c.GetAddressOf()));
  EXPECT_FALSE(c);
}

// ---------------------------------------------------------------------------- groups

TEST_F(ServerObjectTest, GroupDefaultsSetWhileDisconnectedAreWhatAddGroupReceives) {
  VARIANT_BOOL active = 0;
  LONG rate = 0, lcid = 0, bias = 1;
  float deadband = 1.0f;
  EXPECT_EQ(S_OK, groups_->get_DefaultGroupIsActive(&active));
  EXPECT_EQ(VARIANT_TRUE, active);
  EXPECT_EQ(S_OK, groups_->get_DefaultGroupUpdateRate(&rate));
  EXPECT_EQ(1000, rate);
  EXPECT_EQ(S_OK, groups_->get_DefaultGroupDeadband(&deadband));
  EXPECT_EQ(0.0f, deadband);
  EXPECT_EQ(S_OK, groups_->get_DefaultGroupLocaleID(&lcid));
  EXPECT_EQ(2048, lcid);
  EXPECT_EQ(S_OK, groups_->get_DefaultGroupTimeBias(&bias));
  EXPECT_EQ(0, bias);
  EXPECT_EQ(E_INVALIDARG, groups_->get_DefaultGroupUpdateRate(nullptr));

  ComPtr<IOPCGroup> g;
  EXPECT_EQ(E_FAIL, groups_->Add(Variant(L"x"), g.GetAddressOf())) << "not connected";
  EXPECT_EQ(S_OK, groups_->put_DefaultGroupUpdateRate(250));
  EXPECT_EQ(S_OK, groups_->put_DefaultGroupIsActive(1));  // any non-zero value
  EXPECT_EQ(S_OK, groups_->put_DefaultGroupDeadband(2.5f));
  EXPECT_EQ(S_OK, groups_->put_DefaultGroupLocaleID(0x407));
  EXPECT_EQ(S_OK, groups_->put_DefaultGroupTimeBias(-60));
  ComPtr<IOPCAutoServer> parent;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, groups_->get_Parent(parent.GetAddressOf()));

  ASSERT_EQ(S_OK, ConnectFake());
  EXPECT_EQ(E_INVALIDARG, groups_->Add(Variant(L"x"), nullptr));
  g = AddGroup(Variant(L"Fast"));
  ASSERT_EQ(1u, fake_->addGroupCalls.size());
  const auto& call = fake_->addGroupCalls[0];
  EXPECT_EQ(L"Fast", call.name);
  EXPECT_NE(FALSE, call.active);
  EXPECT_EQ(250u, call.rate);
  EXPECT_EQ(2.5f, call.deadband.value_or(-1));
  EXPECT_EQ(0x407u, call.lcid);
  EXPECT_EQ(-60, call.timeBias.value_or(0));
  EXPECT_TRUE(IsEqualIID(IID_IOPCGroupStateMgt, call.riid));
  EXPECT_EQ(static_cast<OPCHANDLE>(HandleOf(g.Get())), call.clientGroup)
      << "the group's handle is the server's client handle of the group";
  LONG client = 0;
  EXPECT_EQ(S_OK, g->get_ClientHandle(&client));
  EXPECT_EQ(HandleOf(g.Get()), client) << "ClientHandle starts as the group handle";

  EXPECT_EQ(S_OK, groups_->put_DefaultGroupIsActive(VARIANT_FALSE));
  AddGroup(Variant::Missing());
  EXPECT_EQ(FALSE, fake_->addGroupCalls[1].active);

  EXPECT_EQ(S_OK, groups_->get_Parent(parent.GetAddressOf()));
  EXPECT_TRUE(common::SameObject(parent.Get(), server_.Get()));
  ComPtr<IOPCAutoServer> groupParent;
  ASSERT_EQ(S_OK, g->get_Parent(groupParent.GetAddressOf()));
  EXPECT_TRUE(common::SameObject(groupParent.Get(), server_.Get()));
  ComPtr<OPCItems> items;
  ASSERT_EQ(S_OK, g->get_OPCItems(items.GetAddressOf()));
  ComPtr<IOPCGroup> itemsParent;
  ASSERT_EQ(S_OK, items->get_Parent(itemsParent.GetAddressOf()));
  EXPECT_TRUE(common::SameObject(itemsParent.Get(), g.Get()));
}

TEST_F(ServerObjectTest, AddNamesGroupsAsTheServerSaysAndItemFindsThemByNameOrPosition) {
  ASSERT_EQ(S_OK, ConnectFake());
  auto unnamed = AddGroup(Variant::Missing());
  EXPECT_EQ(L"", fake_->addGroupCalls[0].name);
  Bstr serverChosen = NameOf(unnamed.Get());
  EXPECT_EQ(Bstr(L"_Group500"), serverChosen) << "read back from the server";
  auto numbered = AddGroup(Variant(7));
  EXPECT_EQ(L"", fake_->addGroupCalls[1].name) << "a name that is not a string counts as none";
  auto one = AddGroup(Variant(L"1"));
  auto empty = AddGroup(Variant(L"x"));
  ASSERT_EQ(S_OK, empty->put_Name(Bstr(L"").Get()));

  LONG count = 0;
  EXPECT_EQ(S_OK, groups_->get_Count(&count));
  EXPECT_EQ(4, count);
  ComPtr<IOPCGroup> found;
  ASSERT_EQ(S_OK, groups_->Item(Variant(serverChosen), found.GetAddressOf()));
  EXPECT_EQ(found.Get(), unnamed.Get());
  ASSERT_EQ(S_OK, groups_->Item(Variant(1), found.GetAddressOf()));
  EXPECT_EQ(found.Get(), unnamed.Get()) << "the number one: the first group in handle order";
  ASSERT_EQ(S_OK, groups_->Item(Variant(L"1"), found.GetAddressOf()));
  EXPECT_EQ(found.Get(), one.Get()) << "the digit one as a string: a name";
  ASSERT_EQ(S_OK, groups_->Item(Variant(3.0), found.GetAddressOf()));
  EXPECT_EQ(found.Get(), one.Get());
  VARIANT nullName;
  VariantInit(&nullName);
  V_VT(&nullName) = VT_BSTR;
  V_BSTR(&nullName) = nullptr;
  ASSERT_EQ(S_OK, groups_->Item(nullName, found.GetAddressOf()));
  EXPECT_EQ(found.Get(), empty.Get()) << "a null string is the empty name";

  EXPECT_EQ(E_INVALIDARG, groups_->Item(Variant(0), found.GetAddressOf()));
  EXPECT_FALSE(found) << "the output is cleared";
  EXPECT_EQ(E_INVALIDARG, groups_->Item(Variant(count + 1), found.GetAddressOf()));
  EXPECT_EQ(E_INVALIDARG, groups_->Item(Variant(L"_GROUP500"), found.GetAddressOf())) << "case counts";
  EXPECT_EQ(E_INVALIDARG, groups_->Item(Variant(static_cast<IDispatch*>(nullptr)), found.GetAddressOf()));
  EXPECT_EQ(E_INVALIDARG, groups_->Item(Variant(1), nullptr));

  // Script hosts pass their variables by reference.
  Variant index(2), name(L"1");
  VARIANT byRef;
  V_VT(&byRef) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(&byRef) = &index;
  ASSERT_EQ(S_OK, groups_->Item(byRef, found.GetAddressOf()));
  EXPECT_EQ(found.Get(), numbered.Get());
  V_VARIANTREF(&byRef) = &name;
  ASSERT_EQ(S_OK, groups_->Item(byRef, found.GetAddressOf()));
  EXPECT_EQ(found.Get(), one.Get());
  BSTR text = V_BSTR(&name);
  V_VT(&byRef) = VT_BYREF | VT_BSTR;
  V_BSTRREF(&byRef) = &text;
  ASSERT_EQ(S_OK, groups_->Item(byRef, found.GetAddressOf()));
  EXPECT_EQ(found.Get(), one.Get());

  // GetOPCGroup: by name or by handle, never by position.
  ASSERT_EQ(S_OK, groups_->GetOPCGroup(Variant(HandleOf(one.Get())), found.GetAddressOf()));
  EXPECT_EQ(found.Get(), one.Get());
  ASSERT_EQ(S_OK, groups_->GetOPCGroup(Variant(L"1"), found.GetAddressOf()));
  EXPECT_EQ(found.Get(), one.Get());
  EXPECT_EQ(E_INVALIDARG, groups_->GetOPCGroup(Variant(HandleOf(empty.Get()) + 1000), found.GetAddressOf()));
}

TEST_F(ServerObjectTest, NewEnumIsASnapshotInHandleOrder) {
  ASSERT_EQ(S_OK, ConnectFake());
  auto a = AddGroup(Variant(L"a"));
  auto b = AddGroup(Variant(L"b"));
  ComPtr<IUnknown> unk;
  ASSERT_EQ(S_OK, groups_->get__NewEnum(unk.GetAddressOf()));
  auto e = unk.Query<IEnumVARIANT>();
  ASSERT_TRUE(e);
  ASSERT_EQ(S_OK, groups_->Remove(Variant(L"a")));
  AddGroup(Variant(L"c"));
  Variant got[3];
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, e->Next(3, got, &fetched));
  ASSERT_EQ(2u, fetched);
  ASSERT_EQ(VT_DISPATCH, got[0].Type());
  EXPECT_TRUE(common::SameObject(V_DISPATCH(&got[0]), a.Get()));
  EXPECT_TRUE(common::SameObject(V_DISPATCH(&got[1]), b.Get()));
  ComPtr<IOPCGroup> typed;
  EXPECT_EQ(S_OK, V_DISPATCH(&got[1])->QueryInterface(IID_IOPCGroup, typed.PutVoid()));
}

TEST_F(ServerObjectTest, RemoveDetachesTheGroupAndRemovesItFromTheServer) {
  EXPECT_EQ(E_FAIL, groups_->Remove(Variant(1))) << "not connected";
  ASSERT_EQ(S_OK, ConnectFake());
  auto a = AddGroup(Variant(L"a"));
  auto b = AddGroup(Variant(L"b"));
  EXPECT_EQ(E_INVALIDARG, groups_->Remove(Variant(L"A")));
  EXPECT_EQ(E_INVALIDARG, groups_->Remove(Variant(HandleOf(b.Get()) + 1)));
  EXPECT_TRUE(fake_->removedGroups.empty());

  OPCHANDLE serverHandleOfB = fake_->groups[1]->serverHandle;
  fake_->removeGroupResults[serverHandleOfB] = OPC_E_INVALIDHANDLE;
  EXPECT_EQ(OPC_E_INVALIDHANDLE, groups_->Remove(Variant(HandleOf(b.Get()))))
      << "RemoveGroup's result; the group is gone anyway";
  ASSERT_EQ(1u, fake_->removedGroups.size());
  EXPECT_EQ(serverHandleOfB, fake_->removedGroups[0]);
  EXPECT_EQ(FALSE, fake_->removeForce[0]);
  Variant byName(L"a");
  VARIANT byRef;
  V_VT(&byRef) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(&byRef) = &byName;
  EXPECT_EQ(S_OK, groups_->Remove(byRef));
  LONG count = -1;
  EXPECT_EQ(S_OK, groups_->get_Count(&count));
  EXPECT_EQ(0, count);
  Bstr name;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, a->get_Name(name.ReleaseAndGetAddressOf()));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, b->get_Name(name.ReleaseAndGetAddressOf()));
  b.Reset();
  EXPECT_EQ(1u, fake_->groups[1]->RefCount()) << "the group's custom interfaces were released";
}

TEST_F(ServerObjectTest, RemoveAllContinuesAfterAFailureAndEmptiesTheCollection) {
  ASSERT_EQ(S_OK, ConnectFake());
  auto a = AddGroup(Variant(L"a"));
  auto b = AddGroup(Variant(L"b"));
  auto c = AddGroup(Variant(L"c"));
  fake_->removeGroupResults[fake_->groups[1]->serverHandle] = E_OUTOFMEMORY;
  fake_->removeGroupResults[fake_->groups[2]->serverHandle] = E_UNEXPECTED;
  EXPECT_EQ(E_OUTOFMEMORY, groups_->RemoveAll()) << "the first failure";
  EXPECT_EQ(3u, fake_->removedGroups.size());
  LONG count = -1;
  EXPECT_EQ(S_OK, groups_->get_Count(&count));
  EXPECT_EQ(0, count);
  Bstr name;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, c->get_Name(name.ReleaseAndGetAddressOf()));
  EXPECT_EQ(S_OK, groups_->RemoveAll()) << "nothing left";

  // Disconnect removes the groups while the connection still stands.
  AddGroup(Variant(L"d"));
  AddGroup(Variant(L"e"));
  EXPECT_EQ(S_OK, server_->Disconnect());
  EXPECT_EQ(5u, fake_->removedGroups.size());
  EXPECT_EQ(S_OK, groups_->get_Count(&count));
  EXPECT_EQ(0, count);
}

TEST_F(ServerObjectTest, AGroupTheLibraryCannotUseIsTakenOffTheServerAgain) {
  ASSERT_EQ(S_OK, ConnectFake());
  fake_->addGroupResult = OPC_E_DUPLICATENAME;
  ComPtr<IOPCGroup> g;
  EXPECT_EQ(OPC_E_DUPLICATENAME, groups_->Add(Variant(L"dup"), g.GetAddressOf()));
  EXPECT_TRUE(fake_->removedGroups.empty());

  fake_->addGroupResult = S_OK;
  fake_->groupsHaveSyncIo = false;
  EXPECT_EQ(E_NOINTERFACE, groups_->Add(Variant(L"odd"), g.GetAddressOf()));
  EXPECT_FALSE(g);
  ASSERT_EQ(1u, fake_->groups.size());
  ASSERT_EQ(1u, fake_->removedGroups.size());
  EXPECT_EQ(fake_->groups[0]->serverHandle, fake_->removedGroups[0]);
  EXPECT_EQ(1u, fake_->groups[0]->RefCount()) << "the interface AddGroup returned was released";
  LONG count = -1;
  EXPECT_EQ(S_OK, groups_->get_Count(&count));
  EXPECT_EQ(0, count);
}

TEST_F(ServerObjectTest, GroupHandlesAreDistinctAcrossServerObjects) {
  ASSERT_EQ(S_OK, ConnectFake());
  ComPtr<IOPCAutoServer> other;
  ASSERT_EQ(S_OK, veltrane::CreateServerObject(IID_IOPCAutoServer, other.PutVoid()));
  ASSERT_EQ(S_OK, other->Connect(Bstr(L"Fake.Server.1").Get(), Variant::Missing()));
  ComPtr<IOPCGroups> otherGroups;
  ASSERT_EQ(S_OK, other->get_OPCGroups(otherGroups.GetAddressOf()));
  auto a = AddGroup(Variant(L"a"));
  ComPtr<IOPCGroup> b;
  ASSERT_EQ(S_OK, otherGroups->Add(Variant(L"b"), b.GetAddressOf()));
  EXPECT_NE(HandleOf(a.Get()), HandleOf(b.Get()));
  EXPECT_NE(0, HandleOf(a.Get()));
  ComPtr<IOPCGroup> found;
  EXPECT_EQ(E_INVALIDARG, groups_->GetOPCGroup(Variant(HandleOf(b.Get())), found.GetAddressOf()))
      << "another server object's group is not in this collection";
}

}  // namespace
