// ServerEnumerator and the node rule through a fake NodeServices: the node's classes root is a
// registry tree this test builds under HKEY_CURRENT_USER, the server list service a small COM
// object of the test, so every source the list draws on can be made to misbehave. The platform's
// own services are checked at the end (a bogus remote node must fail, and soon).
#include <gtest/gtest.h>

#include "NodeServices.h"
#include "ServerEnumerator.h"
#include "common/ComObject.h"
#include "common/ComPtr.h"
#include "common/Strings.h"

#include <OpcCommon.h>
#include <OpcDataAccess.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace veltrane {
namespace {

using common::ComPtr;

constexpr char kTestRoot[] = "Software\\TessarelTests\\VeltraneServerList";

const CLSID kClassA = {0xa0000001, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
const CLSID kClassListOnly = {0xa0000002, 0, 0, {0, 0, 0, 0, 0, 0, 0, 2}};
const CLSID kClassNoDetails = {0xa0000003, 0, 0, {0, 0, 0, 0, 0, 0, 0, 3}};
const CLSID kClassCase = {0xa0000004, 0, 0, {0, 0, 0, 0, 0, 0, 0, 4}};
const CLSID kClassFromService = {0xa0000005, 0, 0, {0, 0, 0, 0, 0, 0, 0, 5}};

struct ComInit {
  ComInit() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComInit() { CoUninitialize(); }
};

std::string ClsidText(REFCLSID c) { return common::WideToAnsi(common::GuidToString(c)); }

// --- the test's registry tree --------------------------------------------------------------

void SetDefault(HKEY root, const std::string& path, const char* value) {
  HKEY k = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr)) << path;
  if (value)
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                            static_cast<DWORD>(strlen(value) + 1)));
  RegCloseKey(k);
}

// A ProgID key as servers register it: description, CLSID, and (optionally) the OPC marker.
void ProgIdKey(HKEY root, const std::string& name, const std::string& clsid, bool opc, const char* description = "A server") {
  SetDefault(root, name, description);
  SetDefault(root, name + "\\CLSID", clsid.c_str());
  if (opc) SetDefault(root, name + "\\OPC", nullptr);
}

void ClassKey(HKEY root, const std::string& clsid, const char* progId) {
  SetDefault(root, "CLSID\\" + clsid, "A class");
  if (progId) SetDefault(root, "CLSID\\" + clsid + "\\ProgID", progId);
}

// --- the fake server list service ------------------------------------------------------------

class FakeEnumGuid final : public common::ComObject<FakeEnumGuid, IEnumGUID> {
 public:
  FakeEnumGuid(std::vector<GUID> items, bool failAtEnd, int* nextCalls)
      : items_(std::move(items)), failAtEnd_(failAtEnd), nextCalls_(nextCalls) {}
  STDMETHODIMP Next(ULONG celt, GUID* out, ULONG* fetched) override {
    ++*nextCalls_;
    if (fetched) *fetched = 0;
    if (pos_ >= items_.size()) return failAtEnd_ ? RPC_E_DISCONNECTED : S_FALSE;  // forever
    ULONG n = 0;
    while (n < celt && pos_ < items_.size()) out[n++] = items_[pos_++];
    if (fetched) *fetched = n;
    return n == celt ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
  STDMETHODIMP Reset() override { pos_ = 0; return S_OK; }
  STDMETHODIMP Clone(IEnumGUID**) override { return E_NOTIMPL; }

 private:
  std::vector<GUID> items_;
  size_t pos_ = 0;
  bool failAtEnd_;
  int* nextCalls_;
};

struct ListScript {
  std::vector<GUID> da10, da20;
  bool failAtEnd = false;       // Next keeps failing once the classes are given
  std::map<std::string, std::string> details;  // CLSID text -> ProgID (absent: REGDB_E_CLASSNOTREG)
  std::map<std::wstring, CLSID> progIds;       // CLSIDFromProgID
  std::vector<std::string> categoriesAsked;
  bool argumentsAsClientsAsk = true;           // (1, {cat}, 1, {cat}) every time
  int nextCalls = 0;
  int live = 0;                                // objects of the fake alive
};

class FakeServerList final : public common::ComObject<FakeServerList, IOPCServerList> {
 public:
  explicit FakeServerList(ListScript* s) : s_(s) { ++s_->live; }
  ~FakeServerList() { --s_->live; }
  STDMETHODIMP EnumClassesOfCategories(ULONG cImpl, CATID impl[], ULONG cReq, CATID req[], IEnumGUID** out) override {
    if (cImpl != 1 || cReq != 1 || !IsEqualGUID(impl[0], req[0])) s_->argumentsAsClientsAsk = false;
    bool is10 = IsEqualGUID(impl[0], CATID_OPCDAServer10);
    s_->categoriesAsked.push_back(is10 ? "DA10" : IsEqualGUID(impl[0], CATID_OPCDAServer20) ? "DA20" : "other");
    return common::CreateObjectAs<FakeEnumGuid>(out, is10 ? s_->da10 : s_->da20, s_->failAtEnd, &s_->nextCalls);
  }
  STDMETHODIMP GetClassDetails(REFCLSID clsid, LPOLESTR* progId, LPOLESTR* userType) override {
    *progId = *userType = nullptr;
    auto it = s_->details.find(ClsidText(clsid));
    if (it == s_->details.end()) return REGDB_E_CLASSNOTREG;
    *progId = Dup(common::AnsiToWide(it->second));
    *userType = Dup(L"A server");
    return S_OK;
  }
  STDMETHODIMP CLSIDFromProgID(LPCOLESTR progId, LPCLSID clsid) override {
    auto it = s_->progIds.find(progId);
    if (it == s_->progIds.end()) return REGDB_E_CLASSNOTREG;
    *clsid = it->second;
    return S_OK;
  }

 private:
  static LPOLESTR Dup(const std::wstring& s) {
    auto p = static_cast<LPOLESTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(wchar_t)));
    wcscpy(p, s.c_str());
    return p;
  }
  ListScript* s_;
};

// --- the fake node services -------------------------------------------------------------------

struct Activation {
  CLSID clsid;
  std::optional<std::string> node;
  DWORD clsctx;
  IID iid;
};

class FakeNode final : public NodeServices {
 public:
  HRESULT CreateInstance(REFCLSID clsid, const char* node, DWORD clsctx, REFIID iid, IUnknown** out) override {
    activations.push_back({clsid, node ? std::optional<std::string>(node) : std::nullopt, clsctx, iid});
    *out = nullptr;
    if (FAILED(createResult)) return createResult;
    if (!IsEqualCLSID(clsid, CLSID_OPCServerList)) return REGDB_E_CLASSNOTREG;
    return common::CreateObject<FakeServerList>(iid, reinterpret_cast<void**>(out), &script);
  }
  LONG OpenClassesRoot(const char* node, HKEY* out) override {
    rootNodes.push_back(node ? std::optional<std::string>(node) : std::nullopt);
    *out = nullptr;
    if (rootResult != ERROR_SUCCESS) return rootResult;
    LONG s = RegOpenKeyExA(HKEY_CURRENT_USER, kTestRoot, 0, KEY_READ, out);
    if (s == ERROR_SUCCESS) ++openRoots;
    return s;
  }
  void CloseClassesRoot(HKEY root) override {
    --openRoots;
    RegCloseKey(root);
  }
  std::string ComputerName() override { return "TESTPC"; }

  ListScript script;
  HRESULT createResult = S_OK;
  LONG rootResult = ERROR_SUCCESS;
  std::vector<Activation> activations;
  std::vector<std::optional<std::string>> rootNodes;
  int openRoots = 0;
};

class ServerListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeA(HKEY_CURRENT_USER, kTestRoot);
    SetDefault(HKEY_CURRENT_USER, kTestRoot, nullptr);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, kTestRoot, 0, KEY_ALL_ACCESS, &root_));
    const std::string a = ClsidText(kClassA), kase = ClsidText(kClassCase);
    // Listed: a versioned ProgID with its OPC key, and its version-independent ProgID, which is
    // listed under the class's own (versioned) ProgID, so once.
    ProgIdKey(root_, "Vendor.A.1", a, true);
    ProgIdKey(root_, "Vendor.A", a, true);
    ClassKey(root_, a, "Vendor.A.1");
    ProgIdKey(root_, "Case.Server.1", kase, true);
    ClassKey(root_, kase, "Case.Server.1");
    // Two keys whose classes name ProgIDs that differ only in case: listed once.
    ProgIdKey(root_, "Dup.X.1", "{B0000001-0000-0000-0000-000000000001}", true);
    ClassKey(root_, "{B0000001-0000-0000-0000-000000000001}", "Dup.X.1");
    ProgIdKey(root_, "Dup.X", "{B0000002-0000-0000-0000-000000000002}", true);
    ClassKey(root_, "{B0000002-0000-0000-0000-000000000002}", "DUP.X.1");
    // Not listed: the CLSID and AppID keys and a file extension even with OPC keys of their own,
    // a server without the OPC key, a class without a ProgID key, a ProgID whose class is not
    // registered, a ProgID key without a description.
    SetDefault(root_, "CLSID", "classes");
    SetDefault(root_, "CLSID\\OPC", nullptr);
    SetDefault(root_, "CLSID\\CLSID", "{C0000007-0000-0000-0000-000000000007}");
    ClassKey(root_, "{C0000007-0000-0000-0000-000000000007}", "Wrong.Clsid.1");
    SetDefault(root_, "AppID", "ids");
    ProgIdKey(root_, "AppID", "{C0000001-0000-0000-0000-000000000001}", true);
    ClassKey(root_, "{C0000001-0000-0000-0000-000000000001}", "Wrong.AppID.1");
    ProgIdKey(root_, ".opcx", "{C0000002-0000-0000-0000-000000000002}", true);
    ClassKey(root_, "{C0000002-0000-0000-0000-000000000002}", "Wrong.Extension.1");
    ProgIdKey(root_, "Vendor.NoOpc.1", "{C0000003-0000-0000-0000-000000000003}", false);
    ClassKey(root_, "{C0000003-0000-0000-0000-000000000003}", "Vendor.NoOpc.1");
    ProgIdKey(root_, "Vendor.NoProgIdKey.1", "{C0000004-0000-0000-0000-000000000004}", true);
    ClassKey(root_, "{C0000004-0000-0000-0000-000000000004}", nullptr);
    ProgIdKey(root_, "Vendor.Unregistered.1", "{C0000005-0000-0000-0000-000000000005}", true);
    ProgIdKey(root_, "Vendor.NoDescription.1", "{C0000006-0000-0000-0000-000000000006}", true, nullptr);
    ClassKey(root_, "{C0000006-0000-0000-0000-000000000006}", "Vendor.NoDescription.1");

    // The service: DA 1.0 repeats a registry entry, has one of its own and one whose details
    // cannot be read; DA 2.0 gives the registry's Case.Server.1 in other letters.
    fake_.script.da10 = {kClassA, kClassListOnly, kClassNoDetails};
    fake_.script.da20 = {kClassCase};
    fake_.script.details = {{ClsidText(kClassA), "Vendor.A.1"},
                            {ClsidText(kClassListOnly), "List.Only.1"},
                            {ClsidText(kClassCase), "CASE.SERVER.1"}};
    SetNodeServices(&fake_);
  }
  void TearDown() override {
    SetNodeServices(nullptr);
    RegCloseKey(root_);
    RegDeleteTreeA(HKEY_CURRENT_USER, kTestRoot);
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\TessarelTests");
  }

  std::vector<std::string> List(const char* node, HRESULT expect = S_OK) {
    SAFEARRAY* sa = nullptr;
    EXPECT_EQ(expect, enumerator_.ListServers(node, &sa));
    std::vector<std::string> out;
    if (!sa) return out;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(sa, 1, &lower);
    SafeArrayGetUBound(sa, 1, &upper);
    EXPECT_EQ(1, lower);
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(sa, &vt);
    EXPECT_EQ(VT_BSTR, vt);
    for (LONG i = lower; i <= upper; ++i) {
      BSTR b = nullptr;
      SafeArrayGetElement(sa, &i, &b);
      out.push_back(common::WideToAnsi(common::FromOle(b)));
      SysFreeString(b);
    }
    SafeArrayDestroy(sa);
    return out;
  }

  ComInit com_;
  HKEY root_ = nullptr;
  FakeNode fake_;
  ServerEnumerator enumerator_;
};

TEST_F(ServerListTest, RegistryAndServiceMergeIntoOneCaseBlindOrderedList) {
  std::vector<std::string> got = List(nullptr);
  ASSERT_EQ(4u, got.size()) << ::testing::PrintToString(got);
  EXPECT_EQ("Case.Server.1", got[0]);  // the registry's spelling came first and stays
  EXPECT_EQ(0, CompareNoCase("Dup.X.1", got[1]));
  EXPECT_EQ("List.Only.1", got[2]);
  EXPECT_EQ("Vendor.A.1", got[3]);

  // The service was asked as OPC clients ask: locally, for IOPCServerList, DA 1.0 then 2.0.
  ASSERT_EQ(1u, fake_.activations.size());
  EXPECT_TRUE(IsEqualCLSID(CLSID_OPCServerList, fake_.activations[0].clsid));
  EXPECT_FALSE(fake_.activations[0].node.has_value());
  EXPECT_EQ(static_cast<DWORD>(CLSCTX_LOCAL_SERVER), fake_.activations[0].clsctx);
  EXPECT_TRUE(IsEqualIID(IID_IOPCServerList, fake_.activations[0].iid));
  EXPECT_EQ((std::vector<std::string>{"DA10", "DA20"}), fake_.script.categoriesAsked);
  EXPECT_TRUE(fake_.script.argumentsAsClientsAsk);
  // Nothing kept open or alive afterwards.
  EXPECT_EQ(0, fake_.openRoots);
  EXPECT_EQ(0, fake_.script.live);
  EXPECT_EQ(4u, enumerator_.Servers().Size());
}

TEST_F(ServerListTest, EachCallStartsAfresh) {
  ASSERT_EQ(4u, List(nullptr).size());
  RegDeleteTreeA(root_, "Vendor.A.1");
  RegDeleteTreeA(root_, "Vendor.A");
  fake_.script.da10 = {kClassListOnly};
  std::vector<std::string> got = List(nullptr);
  EXPECT_EQ(3u, got.size()) << ::testing::PrintToString(got);  // Vendor.A.1 gone from both sources
  EXPECT_EQ("List.Only.1", got.back());
  enumerator_.Clear();
  EXPECT_EQ(0u, enumerator_.Servers().Size());
}

TEST_F(ServerListTest, AnEnumeratorThatKeepsFailingEndsTheWalk) {
  fake_.script.failAtEnd = true;
  auto start = std::chrono::steady_clock::now();
  std::vector<std::string> got = List(nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(4u, got.size()) << ::testing::PrintToString(got);
  // 3 + 1 classes, then one failing call per category.
  EXPECT_EQ(6, fake_.script.nextCalls);
}

TEST_F(ServerListTest, WithoutTheServiceTheRegistryAloneAndWithoutTheRegistryTheServiceAlone) {
  fake_.createResult = REGDB_E_CLASSNOTREG;
  EXPECT_EQ((std::vector<std::string>{"Case.Server.1", "Dup.X.1", "Vendor.A.1"}).size(), List(nullptr).size());

  fake_.createResult = S_OK;
  fake_.rootResult = ERROR_ACCESS_DENIED;
  std::vector<std::string> got = List(nullptr);
  EXPECT_EQ((std::vector<std::string>{"CASE.SERVER.1", "List.Only.1", "Vendor.A.1"}), got);

  fake_.createResult = E_ACCESSDENIED;
  EXPECT_TRUE(List(nullptr).empty());  // still a result: an empty, 1-based array
}

TEST_F(ServerListTest, NodesDecideTheClassContextAndAreNamedToTheService) {
  struct Case {
    const char* node;
    DWORD clsctx;
  } cases[] = {{"plant-07", kRemoteClassContext},
               {"\\\\LOCALHOST", kLocalClassContext},
               {"127.0.0.1", kLocalClassContext},
               {"testpc", kLocalClassContext},
               {"//TestPC", kLocalClassContext}};
  for (const Case& c : cases) {
    fake_.activations.clear();
    fake_.rootNodes.clear();
    List(c.node);
    ASSERT_EQ(1u, fake_.activations.size()) << c.node;
    EXPECT_EQ(c.clsctx, fake_.activations[0].clsctx) << c.node;
    EXPECT_EQ(c.node, fake_.activations[0].node.value_or("<none>"));
    ASSERT_EQ(1u, fake_.rootNodes.size());
    EXPECT_EQ(c.node, fake_.rootNodes[0].value_or("<none>"));
  }
  // An empty node is this computer, asked exactly as with no node at all.
  fake_.activations.clear();
  fake_.rootNodes.clear();
  List("");
  ASSERT_EQ(1u, fake_.activations.size());
  EXPECT_EQ(static_cast<DWORD>(CLSCTX_LOCAL_SERVER), fake_.activations[0].clsctx);
  EXPECT_FALSE(fake_.activations[0].node.has_value());
}

TEST_F(ServerListTest, ConnectingOnANodeUsesTheNodeRule) {
  ComPtr<IUnknown> unk;
  EXPECT_EQ(S_OK, CreateOnNode(CLSID_OPCServerList, "plant-07", IID_IOPCServerList, unk.GetAddressOf()));
  EXPECT_TRUE(unk);
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CreateOnNode(kClassA, "\\\\localhost", IID_IUnknown, unk.ReleaseAndGetAddressOf()));
  EXPECT_FALSE(unk);
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CreateOnNode(kClassA, nullptr, IID_IUnknown, unk.ReleaseAndGetAddressOf()));
  ASSERT_EQ(3u, fake_.activations.size());
  EXPECT_EQ(kRemoteClassContext, fake_.activations[0].clsctx);
  EXPECT_EQ("plant-07", fake_.activations[0].node.value_or(""));
  EXPECT_EQ(kLocalClassContext, fake_.activations[1].clsctx);
  EXPECT_EQ("\\\\localhost", fake_.activations[1].node.value_or(""));  // named, though local
  EXPECT_EQ(kLocalClassContext, fake_.activations[2].clsctx);
  EXPECT_FALSE(fake_.activations[2].node.has_value());
  EXPECT_EQ(0x17u, ClassContextFor("TESTPC"));
  EXPECT_EQ(0x10u, ClassContextFor("TESTPC2"));
  EXPECT_TRUE(IsLocalNode(nullptr, ""));
}

TEST_F(ServerListTest, ProgIdsResolveThroughTheServiceFirstThenTheRegistry) {
  CLSID got = GUID_NULL;
  // The service's answer wins over the registry's.
  fake_.script.progIds = {{L"Vendor.A.1", kClassFromService}};
  ASSERT_EQ(S_OK, enumerator_.ResolveProgId(L"Vendor.A.1", nullptr, &got));
  EXPECT_TRUE(IsEqualCLSID(kClassFromService, got));
  EXPECT_TRUE(fake_.rootNodes.empty());  // the registry was not needed
  EXPECT_EQ(0, fake_.script.live);

  // Unknown to the service: the registry's ProgID\CLSID.
  ASSERT_EQ(S_OK, enumerator_.ResolveProgId(L"Vendor.A", nullptr, &got));
  EXPECT_TRUE(IsEqualCLSID(kClassA, got));
  // No service at all: the registry.
  fake_.createResult = REGDB_E_CLASSNOTREG;
  ASSERT_EQ(S_OK, enumerator_.ResolveProgId(L"Vendor.A.1", nullptr, &got));
  EXPECT_TRUE(IsEqualCLSID(kClassA, got));
  EXPECT_EQ(0, fake_.openRoots);

  // Registry failures in the Win32 form.
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), enumerator_.ResolveProgId(L"No.Such.Server", nullptr, &got));
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), enumerator_.ResolveProgId(L"Vendor.NoDescription", nullptr, &got));
  SetDefault(root_, "Vendor.EmptyClsid.1\\CLSID", nullptr);  // the key there, its value not
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), enumerator_.ResolveProgId(L"Vendor.EmptyClsid.1", nullptr, &got));
  SetDefault(root_, "Vendor.BadClsid.1\\CLSID", "not a class id");
  EXPECT_EQ(CO_E_CLASSSTRING, enumerator_.ResolveProgId(L"Vendor.BadClsid.1", nullptr, &got));
  fake_.rootResult = ERROR_ACCESS_DENIED;
  EXPECT_EQ(E_ACCESSDENIED, enumerator_.ResolveProgId(L"Vendor.A.1", nullptr, &got));
  EXPECT_EQ(E_INVALIDARG, enumerator_.ResolveProgId(nullptr, nullptr, &got));
  EXPECT_EQ(E_POINTER, enumerator_.ResolveProgId(L"Vendor.A.1", nullptr, nullptr));
}

TEST_F(ServerListTest, ResolvingOnARemoteNodeAsksThatNode) {
  fake_.script.progIds = {{L"Vendor.A.1", kClassFromService}};
  CLSID got = GUID_NULL;
  ASSERT_EQ(S_OK, enumerator_.ResolveProgId(L"Vendor.A.1", "plant-07", &got));
  ASSERT_EQ(1u, fake_.activations.size());
  EXPECT_EQ(kRemoteClassContext, fake_.activations[0].clsctx);
  EXPECT_EQ("plant-07", fake_.activations[0].node.value_or(""));
  fake_.createResult = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  ASSERT_EQ(S_OK, enumerator_.ResolveProgId(L"Vendor.A.1", "plant-07", &got));
  EXPECT_TRUE(IsEqualCLSID(kClassA, got));
  ASSERT_EQ(1u, fake_.rootNodes.size());
  EXPECT_EQ("plant-07", fake_.rootNodes[0].value_or(""));
}

// --- the platform's services ------------------------------------------------------------------

TEST(PlatformNodeServicesTest, LocalRootIsTheClassesRootAndTheNameIsTheComputers) {
  NodeServices& p = PlatformNodeServices();
  EXPECT_EQ(&p, &CurrentNodeServices());
  HKEY root = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, p.OpenClassesRoot(nullptr, &root));
  EXPECT_EQ(HKEY_CLASSES_ROOT, root);
  p.CloseClassesRoot(root);
  ASSERT_EQ(ERROR_SUCCESS, p.OpenClassesRoot("", &root));
  EXPECT_EQ(HKEY_CLASSES_ROOT, root);
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  ASSERT_TRUE(GetComputerNameA(name, &size));
  EXPECT_EQ(std::string(name), p.ComputerName());
  EXPECT_EQ(kLocalClassContext, ClassContextFor(name));
  // A node that names this computer reads this computer's classes, without the network registry
  // (which the platform may not offer: a ProgID on "\\LOCALHOST" must still resolve).
  const std::string ownName = std::string("\\\\") + name;
  for (const char* local : {"\\\\LOCALHOST", "localhost", "127.0.0.1", ownName.c_str()}) {
    SCOPED_TRACE(local);
    root = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, p.OpenClassesRoot(local, &root));
    EXPECT_EQ(HKEY_CLASSES_ROOT, root);
    p.CloseClassesRoot(root);
  }
}

// A remote node that does not exist fails with the platform's error, and within bounds.
TEST(PlatformNodeServicesTest, ABogusRemoteNodeFailsWithoutHanging) {
  ComInit com;
  NodeServices& p = PlatformNodeServices();
  const char* bogus = "veltrane-no-such-node.invalid";
  auto t0 = std::chrono::steady_clock::now();
  ComPtr<IUnknown> unk;
  HRESULT hr = CreateOnNode(CLSID_OPCServerList, bogus, IID_IOPCServerList, unk.GetAddressOf());
  auto t1 = std::chrono::steady_clock::now();
  HKEY root = nullptr;
  LONG status = p.OpenClassesRoot(bogus, &root);
  auto t2 = std::chrono::steady_clock::now();
  ServerEnumerator e;
  SAFEARRAY* sa = nullptr;
  HRESULT listed = e.ListServers(bogus, &sa);
  CLSID clsid;
  HRESULT resolved = e.ResolveProgId(L"Sim.OPCDA.2", bogus, &clsid);
  auto t3 = std::chrono::steady_clock::now();
  using ms = std::chrono::milliseconds;
  std::printf("bogus node: CoCreateInstanceEx 0x%08lX in %lld ms; RegConnectRegistryA %ld in %lld ms; "
              "ListServers + ResolveProgId %lld ms (0x%08lX)\n",
              static_cast<unsigned long>(hr), static_cast<long long>(std::chrono::duration_cast<ms>(t1 - t0).count()),
              status, static_cast<long long>(std::chrono::duration_cast<ms>(t2 - t1).count()),
              static_cast<long long>(std::chrono::duration_cast<ms>(t3 - t2).count()),
              static_cast<unsigned long>(resolved));
  EXPECT_TRUE(FAILED(hr));
  EXPECT_FALSE(unk);
  EXPECT_NE(ERROR_SUCCESS, status);
  EXPECT_EQ(nullptr, root);
  // The list is empty but still a list; the resolution fails with the registry's error.
  EXPECT_EQ(S_OK, listed);
  ASSERT_NE(nullptr, sa);
  EXPECT_EQ(0u, sa->rgsabound[0].cElements);
  SafeArrayDestroy(sa);
  EXPECT_EQ(HRESULT_FROM_WIN32(status), resolved);
  EXPECT_LT(t3 - t0, std::chrono::seconds(120));
}

}  // namespace
}  // namespace veltrane
