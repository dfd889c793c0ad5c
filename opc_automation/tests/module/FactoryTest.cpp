// The class objects of Veltrane.dll through its exports, and the module count that
// DllCanUnloadNow reports: which classes are creatable, the one cached factory, what keeps the
// library loaded (objects, server locks, a client's hold on the factory) and what does not (the
// cache itself).
#include <gtest/gtest.h>

#include "ModuleTestSupport.h"

using namespace veltrane_test;

namespace {

const CLSID kRandom = {0x3f2a9c51, 0x7d4e, 0x4b8a, {0x9e, 0x61, 0x2c, 0x5d, 0x8f, 0x13, 0xa7, 0x04}};
void* const kGarbage = reinterpret_cast<void*>(static_cast<uintptr_t>(0x1234));

// An unrelated object to pose as an outer unknown.
class Outer final : public common::ComObject<Outer, IUnknown> {};

class ClassObjects : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll_.Loaded());
    // Nothing of an earlier test may still be alive, or the counts below mean nothing.
    ASSERT_EQ(dll_.CanUnloadNow(), S_OK);
  }
  void TearDown() override { EXPECT_EQ(dll_.CanUnloadNow(), S_OK) << "an object outlived its test"; }

  common::ComPtr<IClassFactory> Factory() {
    common::ComPtr<IClassFactory> f;
    EXPECT_EQ(dll_.GetClassObject(&CLSID_OPCServer, &IID_IClassFactory, f.PutVoid()), S_OK);
    return f;
  }

  Library dll_{BinPath(L"Veltrane.dll")};
};

TEST_F(ClassObjects, OnlyTheServerClassIsAvailable) {
  EXPECT_EQ(dll_.GetClassObject(&CLSID_OPCServer, &IID_IClassFactory, nullptr), E_POINTER);
  // The groups and the group are reached through a server only.
  for (const CLSID* c : {&CLSID_OPCGroups, &CLSID_OPCGroup, &kRandom, &IID_IClassFactory}) {
    void* p = kGarbage;
    EXPECT_EQ(dll_.GetClassObject(c, &IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE)
        << common::WideToUtf8(common::GuidToString(*c));
    EXPECT_EQ(p, nullptr);
  }
  // What a C caller can pass.
  void* p = kGarbage;
  EXPECT_EQ(dll_.GetClassObject(nullptr, &IID_IClassFactory, &p), E_INVALIDARG);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(dll_.GetClassObject(&CLSID_OPCServer, nullptr, &p), E_INVALIDARG);
  // An interface the factory does not have.
  p = kGarbage;
  EXPECT_EQ(dll_.GetClassObject(&CLSID_OPCServer, &IID_IClassFactory2, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
}

TEST_F(ClassObjects, TheFactoryIsCachedAndOnlyClientHoldsKeepTheLibrary) {
  common::ComPtr<IClassFactory> a = Factory(), b = Factory();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a.Get(), b.Get());
  common::ComPtr<IUnknown> u;
  ASSERT_EQ(dll_.GetClassObject(&CLSID_OPCServer, &IID_IUnknown, u.PutVoid()), S_OK);
  EXPECT_TRUE(common::SameObject(u.Get(), a.Get()));

  // Held by a client: the library stays, however many references.
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);
  a.Reset();
  u.Reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);
  // Only the cache holds it: the library may go.
  b.Reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
  // And the cache still gives the same factory (its address, as nothing else can tell).
  common::ComPtr<IClassFactory> c = Factory();
  void* again = c.Get();
  c.Reset();
  c = Factory();
  EXPECT_EQ(c.Get(), again);

  // A server lock keeps the library without any reference.
  ASSERT_EQ(c->LockServer(TRUE), S_OK);
  c.Reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);
  c = Factory();
  ASSERT_EQ(c->LockServer(TRUE), S_OK);
  ASSERT_EQ(c->LockServer(FALSE), S_OK);
  c.Reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);
  c = Factory();
  ASSERT_EQ(c->LockServer(FALSE), S_OK);
  c.Reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

TEST_F(ClassObjects, CreateInstanceRefusesAggregationAndBadArguments) {
  common::ComPtr<IClassFactory> f = Factory();
  ASSERT_TRUE(f);
  common::ComPtr<Outer> outer = common::Make<Outer>();
  EXPECT_EQ(f->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  for (const IID* iid : {&IID_IUnknown, &IID_IOPCAutoServer, &IID_IDispatch}) {
    void* p = kGarbage;
    EXPECT_EQ(f->CreateInstance(outer->Unknown(), *iid, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
  }
  // An interface the server does not have: no object is left behind.
  void* p = kGarbage;
  EXPECT_EQ(f->CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  f.Reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

TEST_F(ClassObjects, ObjectsKeepTheLibraryUntilTheLastIsReleased) {
  common::ComPtr<IOPCAutoServer> server;
  {
    common::ComPtr<IClassFactory> f = Factory();
    ASSERT_TRUE(f);
    ASSERT_EQ(f->CreateInstance(nullptr, IID_IOPCAutoServer, server.PutVoid()), S_OK);
  }
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);
  // Other faces of the server and a second server count too.
  common::ComPtr<IOPCGroups> groups;
  ASSERT_EQ(server->get_OPCGroups(groups.GetAddressOf()), S_OK);
  common::ComPtr<IOPCAutoServer> second;
  {
    common::ComPtr<IClassFactory> f = Factory();
    ASSERT_EQ(f->CreateInstance(nullptr, IID_IOPCAutoServer, second.PutVoid()), S_OK);
  }
  server.Reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);
  second.Reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);
  groups.Reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

}  // namespace

// Through COM, as clients load the library: a group alone keeps it loaded after its server was
// released (the group itself is detached then); once the group goes too, COM may unload it (its unload releases the cached factory)
// and load it again for the next client. Needs SimServer and OpcProxy registered.
TEST(ThroughCom, AGroupWhoseServerWasReleasedKeepsTheLibraryLoaded) {
  const std::wstring path = BinPath(L"Veltrane.dll");
  common::ComPtr<IOPCAutoServer> server;
  ASSERT_EQ(CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCAutoServer,
                             server.PutVoid()),
            S_OK);
  HMODULE loaded = GetModuleHandleW(path.c_str());
  ASSERT_NE(loaded, nullptr) << "COM loaded another file than " << Narrow(path);
  auto canUnload = reinterpret_cast<HRESULT(WINAPI*)()>(
      reinterpret_cast<void*>(GetProcAddress(loaded, "DllCanUnloadNow")));
  ASSERT_NE(canUnload, nullptr);

  HRESULT hr = server->Connect(common::Bstr(L"Sim.OPCDA.2").Get(), common::Variant::Missing());
  ASSERT_EQ(hr, S_OK) << common::HResultToString(hr);
  common::ComPtr<IOPCGroup> group;
  {
    common::ComPtr<IOPCGroups> groups;
    ASSERT_EQ(server->get_OPCGroups(groups.GetAddressOf()), S_OK);
    ASSERT_EQ(groups->Add(common::Variant(L"held"), group.GetAddressOf()), S_OK);
  }
  server.Reset();
  EXPECT_EQ(canUnload(), S_FALSE);
  CoFreeUnusedLibrariesEx(0, 0);
  ASSERT_EQ(GetModuleHandleW(path.c_str()), loaded) << "unloaded under a live group";
  // Alive, and detached with its server's final release.
  common::Bstr name;
  EXPECT_EQ(group->get_Name(name.ReleaseAndGetAddressOf()), CONNECT_E_NOCONNECTION);

  group.Reset();
  EXPECT_EQ(canUnload(), S_OK);
  // Unloaded now (DLL_PROCESS_DETACH with a cached factory and cached type information), and
  // loaded again by the next creation.
  CoFreeUnusedLibrariesEx(0, 0);
  RecordProperty("UnloadedByCom", GetModuleHandleW(path.c_str()) == nullptr ? "yes" : "no");
  ASSERT_EQ(CoCreateInstance(CLSID_OPCServer, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCAutoServer,
                             server.PutVoid()),
            S_OK);
  LONG count = -1;
  common::ComPtr<IOPCGroups> groups;
  ASSERT_EQ(server->get_OPCGroups(groups.GetAddressOf()), S_OK);
  EXPECT_EQ(groups->get_Count(&count), S_OK);
  EXPECT_EQ(count, 0);
  DISPID id = 0;
  EXPECT_EQ(common::GetDispId(server.Get(), L"Connect", &id), S_OK);
}
