// The OPCBrowser object against SimServer in its own process, both personalities: its branch
// tree, the filters as the server applies them, and the Deep branch of 60 levels below "Deep"
// for the climb limit of MoveToRoot. Early bound through the OPCServer object made in this
// process; the last case goes late bound through the registered Veltrane.dll, as script hosts
// call (by-reference arguments included). The custom interfaces cross processes through
// OpcProxy.dll, registered by scripts/register.
#include <gtest/gtest.h>

#include "ServerObject.h"

#include <algorithm>
#include <string>
#include <vector>

using common::Bstr;
using common::ComPtr;
using common::Variant;

namespace {

// "Deep", "L01", ..., up to `levels` names in all.
std::vector<std::wstring> DeepPath(int levels) {
  std::vector<std::wstring> path;
  if (levels >= 1) path.push_back(L"Deep");
  for (int i = 1; i < levels; ++i) path.push_back((i < 10 ? L"L0" : L"L") + std::to_wstring(i));
  return path;
}

std::wstring Joined(const std::vector<std::wstring>& path) {
  std::wstring s;
  for (auto& p : path) s += (s.empty() ? L"" : L".") + p;
  return s;
}

class BrowserSimTest : public ::testing::TestWithParam<const wchar_t*> {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_EQ(S_OK, veltrane::CreateServerObject(IID_IOPCAutoServer, server_.PutVoid()));
    ASSERT_EQ(S_OK, server_->Connect(Bstr(GetParam()).Get(), Variant::Missing()));
    ASSERT_EQ(S_OK, server_->CreateBrowser(browser_.GetAddressOf()));
  }
  void TearDown() override {
    browser_.Reset();
    if (server_) server_->Disconnect();
    server_.Reset();
    CoUninitialize();
  }
  std::vector<std::wstring> Names() {
    std::vector<std::wstring> out;
    LONG n = 0;
    EXPECT_EQ(S_OK, browser_->get_Count(&n));
    for (LONG i = 1; i <= n; ++i) {
      Bstr b;
      EXPECT_EQ(S_OK, browser_->Item(Variant(static_cast<int>(i)), b.ReleaseAndGetAddressOf()));
      out.emplace_back(b.c_str());
    }
    return out;
  }
  static bool Has(const std::vector<std::wstring>& names, const wchar_t* name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  }
  std::wstring Position() {
    Bstr b;
    HRESULT hr = browser_->get_CurrentPosition(b.ReleaseAndGetAddressOf());
    // SimServer has no item ID for its root: an empty ID is refused.
    if (hr == E_INVALIDARG) return L"(root)";
    EXPECT_EQ(S_OK, hr);
    return b.c_str();
  }
  HRESULT MoveTo(const std::vector<std::wstring>& path) {
    SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 1, static_cast<ULONG>(path.size()));
    for (LONG i = 0; i < static_cast<LONG>(path.size()); ++i) {
      LONG at = i + 1;
      SafeArrayPutElement(sa, &at, Bstr(path[i].c_str()).Get());
    }
    HRESULT hr = browser_->MoveTo(&sa);
    SafeArrayDestroy(sa);
    return hr;
  }

  ComPtr<IOPCAutoServer> server_;
  ComPtr<OPCBrowser> browser_;
};

TEST_P(BrowserSimTest, BrowsesTheBranchTreeWithTheServersFilters) {
  LONG org = 0;
  ASSERT_EQ(S_OK, browser_->get_Organization(&org));
  EXPECT_EQ(OPCHierarchical, org);
  EXPECT_EQ(L"(root)", Position());

  ASSERT_EQ(S_OK, browser_->ShowBranches());
  auto root = Names();
  for (const wchar_t* b : {L"Static", L"Register", L"Ramp", L"Sine", L"Random", L"Time", L"Quality",
                           L"Access", L"Control", L"Deep"})
    EXPECT_TRUE(Has(root, b)) << "branch " << common::WideToUtf8(b);
  ASSERT_EQ(S_OK, browser_->put_Filter(Bstr(L"R*").Get()));
  ASSERT_EQ(S_OK, browser_->ShowBranches());
  auto r = Names();
  std::sort(r.begin(), r.end());
  EXPECT_EQ((std::vector<std::wstring>{L"Ramp", L"Random", L"Register"}), r);
  ASSERT_EQ(S_OK, browser_->put_Filter(Bstr(L"").Get()));

  // Ramps are read-only. The standard lets an item through the access-rights filter when it has
  // any of the asked rights, but SimServer's toolkit asks for all of them; readable alone is the
  // same under both readings.
  ASSERT_EQ(S_OK, browser_->put_AccessRights(OPCReadable));
  ASSERT_EQ(S_OK, browser_->MoveDown(Bstr(L"Ramp").Get()));
  LONG count = -1;
  EXPECT_EQ(S_OK, browser_->get_Count(&count));
  EXPECT_EQ(0, count) << "a move empties the list";
  EXPECT_EQ(L"Ramp", Position());
  ASSERT_EQ(S_OK, browser_->ShowLeafs(Variant::Missing()));
  auto leaves = Names();
  EXPECT_TRUE(Has(leaves, L"I4"));
  EXPECT_TRUE(Has(leaves, L"R8"));
  EXPECT_FALSE(Has(leaves, L"BSTR")) << "ramps are numeric";
  Bstr id;
  ASSERT_EQ(S_OK, browser_->GetItemID(Bstr(L"I4").Get(), id.ReleaseAndGetAddressOf()));
  EXPECT_EQ(Bstr(L"Ramp.I4"), id);

  // The data-type filter goes to the server.
  ASSERT_EQ(S_OK, browser_->put_DataType(VT_R8));
  ASSERT_EQ(S_OK, browser_->ShowLeafs(Variant::Missing()));
  EXPECT_EQ(std::vector<std::wstring>{L"R8"}, Names());
  ASSERT_EQ(S_OK, browser_->put_DataType(VT_EMPTY));

  // Flat only for a Boolean True: full item IDs below the position.
  ASSERT_EQ(S_OK, browser_->ShowLeafs(Variant(true)));
  auto flat = Names();
  EXPECT_TRUE(Has(flat, L"Ramp.I4"));
  EXPECT_EQ(leaves.size(), flat.size());
  ASSERT_EQ(S_OK, browser_->ShowLeafs(Variant(1)));
  EXPECT_EQ(leaves, Names());

  // The access-rights filter goes to the server: writable leaves only, then readable ones.
  ASSERT_EQ(S_OK, browser_->MoveUp());
  ASSERT_EQ(S_OK, browser_->MoveDown(Bstr(L"Access").Get()));
  ASSERT_EQ(S_OK, browser_->put_AccessRights(OPCWritable));
  ASSERT_EQ(S_OK, browser_->ShowLeafs(Variant::Missing()));
  auto writable = Names();
  EXPECT_TRUE(Has(writable, L"ReadWrite"));
  EXPECT_FALSE(Has(writable, L"ReadOnly"));
  ASSERT_EQ(S_OK, browser_->put_AccessRights(OPCReadable));
  ASSERT_EQ(S_OK, browser_->ShowLeafs(Variant::Missing()));
  EXPECT_TRUE(Has(Names(), L"ReadOnly"));

  // Enumeration: one string per name.
  ComPtr<IUnknown> unk;
  ASSERT_EQ(S_OK, browser_->get__NewEnum(unk.GetAddressOf()));
  ComPtr<IEnumVARIANT> e;
  ASSERT_EQ(S_OK, unk.As(&e));
  std::vector<std::wstring> walked;
  Variant v;
  while (e->Next(1, v.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
    ASSERT_EQ(VT_BSTR, v.Type());
    walked.emplace_back(V_BSTR(v.Ptr()));
  }
  EXPECT_EQ(Names(), walked);

  // A refused move is passed on and the position stays.
  EXPECT_TRUE(FAILED(browser_->MoveDown(Bstr(L"NoSuchBranch").Get())));
  EXPECT_EQ(L"Access", Position());

  // The server object hands out the same browser, where it stood.
  ComPtr<OPCBrowser> again;
  ASSERT_EQ(S_OK, server_->CreateBrowser(again.GetAddressOf()));
  EXPECT_TRUE(common::SameObject(again.Get(), browser_.Get()));
  Bstr where;
  ASSERT_EQ(S_OK, again->get_CurrentPosition(where.ReleaseAndGetAddressOf()));
  EXPECT_EQ(Bstr(L"Access"), where);
}

TEST_P(BrowserSimTest, TheDeepBranchAndTheClimbLimit) {
  // 49 levels down, the 50th up is refused at the root: the root was reached.
  ASSERT_EQ(S_OK, browser_->put_AccessRights(OPCReadable));  // each Depth is read-only
  ASSERT_EQ(S_OK, MoveTo(DeepPath(49)));
  EXPECT_EQ(Joined(DeepPath(49)), Position());
  ASSERT_EQ(S_OK, browser_->ShowLeafs(Variant::Missing()));
  EXPECT_EQ(std::vector<std::wstring>{L"Depth"}, Names());
  EXPECT_EQ(S_OK, browser_->MoveToRoot());
  EXPECT_EQ(L"(root)", Position());

  // 50 levels: fifty ups all succeed; the browser is at the root but cannot tell.
  ASSERT_EQ(S_OK, MoveTo(DeepPath(50)));
  EXPECT_EQ(E_FAIL, browser_->MoveToRoot());
  EXPECT_EQ(L"(root)", Position());

  // The whole branch, 61 levels: fifty ups leave it eleven down, and MoveTo gives up there.
  ASSERT_EQ(S_OK, MoveTo(DeepPath(61)));
  Bstr depth;
  ASSERT_EQ(S_OK, browser_->GetItemID(Bstr(L"Depth").Get(), depth.ReleaseAndGetAddressOf()));
  EXPECT_EQ(Joined(DeepPath(61)) + L".Depth", std::wstring(depth.c_str()));
  EXPECT_EQ(E_FAIL, browser_->MoveToRoot());
  EXPECT_EQ(Joined(DeepPath(11)), Position());
  ASSERT_EQ(S_OK, MoveTo(DeepPath(61)));
  EXPECT_EQ(E_FAIL, MoveTo({L"Ramp"}));
  EXPECT_EQ(Joined(DeepPath(11)), Position()) << "MoveTo goes down nothing after a failed climb";
  // From there MoveTo climbs the rest and goes down.
  EXPECT_EQ(S_OK, MoveTo({L"Ramp"}));
  EXPECT_EQ(L"Ramp", Position());
}

INSTANTIATE_TEST_SUITE_P(BothPersonalities, BrowserSimTest, ::testing::Values(L"Sim.OPCDA.2", L"Sim.OPCDA.1"),
                         [](const auto& info) { return std::string(info.index == 0 ? "Da20" : "Da10"); });

// A late-bound call's failure as the member returned it: ITypeInfo::Invoke reports a failing
// member as DISP_E_EXCEPTION with the member's HRESULT in the exception information.
HRESULT Late(IDispatch* d, const wchar_t* name, std::initializer_list<Variant> args, VARIANT* result) {
  EXCEPINFO excep{};
  HRESULT hr = common::CallMethod(d, name, args, result, &excep);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  if (hr == DISP_E_EXCEPTION) return excep.scode ? excep.scode : E_FAIL;
  return hr;
}

// Late bound through the registered library, with the arguments as a script host passes them.
TEST(BrowserLateBound, ScriptStyleArgumentsReachTheBrowser) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    const CLSID clsidOpcServer = {0x5C163340, 0x1BFF, 0x4165, {0xBD, 0x0F, 0x88, 0xF3, 0x8B, 0x96, 0x9E, 0x81}};
    ComPtr<IDispatch> server;
    ASSERT_EQ(S_OK, CoCreateInstance(clsidOpcServer, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                     server.PutVoid()))
        << "Veltrane.dll registered by scripts/register";
    Variant r;
    ASSERT_EQ(S_OK, common::CallMethod(server.Get(), L"Connect", {Variant(L"Sim.OPCDA.2")}, r.ReleaseAndGetAddressOf()));
    Variant b;
    ASSERT_EQ(S_OK, common::CallMethod(server.Get(), L"CreateBrowser", {}, b.ReleaseAndGetAddressOf()));
    ASSERT_EQ(VT_DISPATCH, b.Type());
    IDispatch* browser = V_DISPATCH(b.Ptr());

    ASSERT_EQ(S_OK, common::PutProperty(browser, L"AccessRights", Variant(static_cast<int>(OPCReadable))));
    Variant ramp(L"Ramp");
    ASSERT_EQ(S_OK, common::CallMethod(browser, L"MoveDown", {ramp}, r.ReleaseAndGetAddressOf()));
    // ShowLeafs flat with a script variable holding True, passed by reference.
    Variant yes(true);
    Variant yesRef;
    V_VT(yesRef.Ptr()) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(yesRef.Ptr()) = yes.Ptr();
    ASSERT_EQ(S_OK, common::CallMethod(browser, L"ShowLeafs", {yesRef}, r.ReleaseAndGetAddressOf()));
    // Item with a by-reference index.
    Variant one(1);
    Variant oneRef;
    V_VT(oneRef.Ptr()) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(oneRef.Ptr()) = one.Ptr();
    Variant name;
    ASSERT_EQ(S_OK, common::CallMethod(browser, L"Item", {oneRef}, name.ReleaseAndGetAddressOf()));
    ASSERT_EQ(VT_BSTR, name.Type());
    EXPECT_EQ(0, wcsncmp(V_BSTR(name.Ptr()), L"Ramp.", 5)) << "flat names are full item IDs";
    // A name that is not a number: the conversion's own error.
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Late(browser, L"Item", {Variant(L"x")}, name.ReleaseAndGetAddressOf()));
    EXPECT_EQ(E_INVALIDARG, Late(browser, L"Item", {Variant(0)}, name.ReleaseAndGetAddressOf()));
    EXPECT_EQ(S_OK, common::CallMethod(server.Get(), L"Disconnect", {}, r.ReleaseAndGetAddressOf()));
  }
  CoUninitialize();
}

}  // namespace
