// The OPCBrowser object in this process against a fake address space: the browse cases a real
// server cannot be made to show (no enumerator, a Next that fails halfway, a server that never
// refuses to go up, odd organisations) and the exact arguments that reach the custom interface.
// Early bound, through the vtable, as compiled clients call.
#include <gtest/gtest.h>

#include "BrowserObject.h"

#include <set>
#include <string>
#include <vector>

using common::Bstr;
using common::ComPtr;
using common::Variant;

namespace {

// Every string the fake server hands out, so a test can see that each was freed.
std::vector<void*> gHandedOut;

LPWSTR TaskString(const std::wstring& s) {
  auto* p = static_cast<LPWSTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(wchar_t)));
  std::copy(s.begin(), s.end(), p);
  p[s.size()] = 0;
  gHandedOut.push_back(p);
  return p;
}

// Watches the task allocator: which blocks were freed while it is registered.
class FreeSpy final : public common::ComObject<FreeSpy, IMallocSpy> {
 public:
  std::set<void*> freed;
  STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T cb) override { return cb; }
  STDMETHODIMP_(void*) PostAlloc(void* p) override { return p; }
  STDMETHODIMP_(void*) PreFree(void* p, BOOL) override {
    freed.insert(p);
    return p;
  }
  STDMETHODIMP_(void) PostFree(BOOL) override {}
  STDMETHODIMP_(SIZE_T) PreRealloc(void* p, SIZE_T cb, void** out, BOOL) override {
    *out = p;
    return cb;
  }
  STDMETHODIMP_(void*) PostRealloc(void* p, BOOL) override { return p; }
  STDMETHODIMP_(void*) PreGetSize(void* p, BOOL) override { return p; }
  STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T cb, BOOL) override { return cb; }
  STDMETHODIMP_(void*) PreDidAlloc(void* p, BOOL) override { return p; }
  STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int found) override { return found; }
  STDMETHODIMP_(void) PreHeapMinimize() override {}
  STDMETHODIMP_(void) PostHeapMinimize() override {}
};

// The names of one browse. Next hands out at most celt names; the call numbered failOnCall
// (1-based) fails instead; stuck makes every Next say S_OK with nothing.
class FakeNames final : public common::ComObject<FakeNames, IEnumString> {
 public:
  FakeNames(std::vector<std::wstring> names, int* alive) : names_(std::move(names)), alive_(alive) { ++*alive_; }
  ~FakeNames() override { --*alive_; }

  int failOnCall = 0;
  HRESULT failure = RPC_E_DISCONNECTED;
  bool stuck = false;
  ULONG claimExtra = 0;  // added to *fetched on a full batch, as a careless server might
  std::vector<ULONG>* asked = nullptr;

  STDMETHODIMP Next(ULONG celt, LPOLESTR* out, ULONG* fetched) override {
    ++calls_;
    if (asked) asked->push_back(celt);
    if (fetched) *fetched = 0;
    if (calls_ == failOnCall) return failure;
    if (stuck) return S_OK;
    ULONG n = 0;
    while (n < celt && pos_ < names_.size()) out[n++] = TaskString(names_[pos_++]);
    if (fetched) *fetched = n + (n == celt ? claimExtra : 0);
    return n == celt ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
  STDMETHODIMP Reset() override { pos_ = 0; return S_OK; }
  STDMETHODIMP Clone(IEnumString**) override { return E_NOTIMPL; }

 private:
  std::vector<std::wstring> names_;
  size_t pos_ = 0;
  int calls_ = 0;
  int* alive_;
};

struct BrowseCall {
  OPCBROWSETYPE type;
  std::wstring filter;
  bool filterNull;
  VARTYPE vt;
  DWORD rights;
};

// A server with a browse position of any depth: every branch name but "missing" exists below
// every branch; up from the root is refused with E_FAIL (or never, with upAlwaysSucceeds).
class FakeSpace final : public common::ComObject<FakeSpace, IOPCServer, IOPCBrowseServerAddressSpace> {
 public:
  bool hasBrowse = true;
  HRESULT organizationResult = S_OK;
  OPCNAMESPACETYPE organization = OPC_NS_HIERARCHIAL;
  HRESULT browseResult = S_OK;
  bool giveEnumerator = true;
  std::vector<std::wstring> names;
  int failOnCall = 0;
  HRESULT nextFailure = RPC_E_DISCONNECTED;
  bool stuck = false;
  ULONG claimExtra = 0;
  HRESULT downRefusal = E_INVALIDARG;
  bool upAlwaysSucceeds = false;
  HRESULT itemIdResult = S_OK;
  bool nullItemId = false;

  std::vector<std::wstring> position;
  std::vector<BrowseCall> browses;
  std::vector<ULONG> nextAsked;
  std::vector<std::wstring> downs;
  std::vector<std::wstring> itemIdArgs;
  int ups = 0;
  int enumeratorsAlive = 0;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!hasBrowse && IsEqualIID(riid, IID_IOPCBrowseServerAddressSpace)) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    return ComObject::QueryInterface(riid, ppv);
  }
  int Calls() const { return ups + static_cast<int>(downs.size() + browses.size() + itemIdArgs.size()); }
  void GoTo(int depth) {
    position.clear();
    for (int i = 1; i <= depth; ++i) position.push_back(L"L" + std::to_wstring(i));
  }
  std::wstring Path(const std::wstring& leaf = L"") const {
    std::wstring s;
    for (auto& p : position) s += (s.empty() ? L"" : L".") + p;
    if (!leaf.empty()) s += (s.empty() ? L"" : L".") + leaf;
    return s;
  }

  // IOPCServer: nothing the browser needs
  STDMETHODIMP AddGroup(LPCWSTR, BOOL, DWORD, OPCHANDLE, LONG*, FLOAT*, DWORD, OPCHANDLE*, DWORD*, REFIID,
                        LPUNKNOWN*) override { return E_NOTIMPL; }
  STDMETHODIMP GetErrorString(HRESULT, LCID, LPWSTR*) override { return E_NOTIMPL; }
  STDMETHODIMP GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }
  STDMETHODIMP GetStatus(OPCSERVERSTATUS**) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveGroup(OPCHANDLE, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }

  // IOPCBrowseServerAddressSpace
  STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* t) override {
    if (FAILED(organizationResult)) return organizationResult;
    *t = organization;
    return organizationResult;
  }
  STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION d, LPCWSTR s) override {
    if (d == OPC_BROWSE_UP) {
      ++ups;
      if (position.empty()) return upAlwaysSucceeds ? S_OK : E_FAIL;
      position.pop_back();
      return S_OK;
    }
    if (d != OPC_BROWSE_DOWN || !s) return E_UNEXPECTED;
    downs.push_back(s);
    if (downs.back() == L"missing") return downRefusal;
    position.push_back(s);
    return S_OK;
  }
  STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE vt, DWORD rights,
                                LPENUMSTRING* out) override {
    browses.push_back({type, filter ? filter : L"", filter == nullptr, vt, rights});
    *out = nullptr;
    if (FAILED(browseResult) || !giveEnumerator) return browseResult;
    auto e = common::Make<FakeNames>(names, &enumeratorsAlive);
    e->failOnCall = failOnCall;
    e->failure = nextFailure;
    e->stuck = stuck;
    e->claimExtra = claimExtra;
    e->asked = &nextAsked;
    *out = e.Detach();
    return browseResult;
  }
  STDMETHODIMP GetItemID(LPWSTR leaf, LPWSTR* id) override {
    itemIdArgs.push_back(leaf ? leaf : L"(null)");
    *id = nullptr;
    if (FAILED(itemIdResult)) return itemIdResult;
    if (!nullItemId) *id = TaskString(Path(leaf ? leaf : L""));
    return itemIdResult;
  }
  STDMETHODIMP BrowseAccessPaths(LPCWSTR, LPENUMSTRING*) override { return E_NOTIMPL; }
};

class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    space_ = common::Make<FakeSpace>();
    object_ = common::Make<veltrane::BrowserObject>();
    ASSERT_EQ(S_OK, object_->Initialise(space_.Get()));
    ASSERT_EQ(S_OK, object_->QueryInterface(IID_OPCBrowser, browser_.PutVoid()));
  }
  void TearDown() override {
    browser_.Reset();
    object_.Reset();
    space_.Reset();
    CoUninitialize();
  }
  LONG Count() {
    LONG n = -1;
    EXPECT_EQ(S_OK, browser_->get_Count(&n));
    return n;
  }
  std::vector<std::wstring> Names() {
    std::vector<std::wstring> out;
    for (LONG i = 1; i <= Count(); ++i) {
      Bstr b;
      EXPECT_EQ(S_OK, browser_->Item(Variant(static_cast<int>(i)), b.ReleaseAndGetAddressOf()));
      out.emplace_back(b.c_str());
    }
    return out;
  }
  HRESULT ItemOf(const VARIANT& v, Bstr* out) { return browser_->Item(v, out->ReleaseAndGetAddressOf()); }
  // A list of three names shown as leaves, to see what later calls do to it.
  void ShowThree() {
    space_->names = {L"a", L"b", L"c"};
    ASSERT_EQ(S_OK, browser_->ShowLeafs(Variant::Missing()));
    ASSERT_EQ(3, Count());
  }

  ComPtr<FakeSpace> space_;
  ComPtr<veltrane::BrowserObject> object_;
  ComPtr<OPCBrowser> browser_;
};

// ----------------------------------------------------------------- identity and filters

TEST_F(BrowserTest, AnswersItsDualInterfaceOnlyAndNeedsTheAddressSpace) {
  ComPtr<IUnknown> unk;
  EXPECT_EQ(S_OK, browser_->QueryInterface(IID_IUnknown, unk.PutVoid()));
  ComPtr<IDispatch> disp;
  ASSERT_EQ(S_OK, browser_->QueryInterface(IID_IDispatch, disp.PutVoid()));
  EXPECT_EQ(static_cast<void*>(disp.Get()), static_cast<void*>(browser_.Get()));
  for (const IID* iid : {&IID_IOPCGroup, &IID_OPCItems, &IID_IEnumVARIANT, &IID_IConnectionPointContainer,
                         &IID_ISupportErrorInfo, &IID_IOPCAutoServer}) {
    ComPtr<IUnknown> other;
    EXPECT_EQ(E_NOINTERFACE, browser_->QueryInterface(*iid, other.PutVoid()));
    EXPECT_FALSE(other);
  }
  auto plain = common::Make<FakeSpace>();
  plain->hasBrowse = false;
  auto second = common::Make<veltrane::BrowserObject>();
  EXPECT_EQ(E_NOINTERFACE, second->Initialise(plain.Get()));
  EXPECT_EQ(E_INVALIDARG, second->Initialise(nullptr));
}

TEST_F(BrowserTest, FiltersStartOpenAndReachEveryBrowse) {
  Bstr filter(L"x");
  ASSERT_EQ(S_OK, browser_->get_Filter(filter.ReleaseAndGetAddressOf()));
  EXPECT_FALSE(filter.IsNull());
  EXPECT_EQ(0u, filter.Length());
  SHORT vt = -1;
  ASSERT_EQ(S_OK, browser_->get_DataType(&vt));
  EXPECT_EQ(VT_EMPTY, vt);
  LONG rights = 0;
  ASSERT_EQ(S_OK, browser_->get_AccessRights(&rights));
  EXPECT_EQ(OPCReadable | OPCWritable, rights);

  EXPECT_EQ(S_OK, browser_->ShowBranches());
  ASSERT_EQ(1u, space_->browses.size());
  EXPECT_EQ(OPC_BRANCH, space_->browses[0].type);
  EXPECT_FALSE(space_->browses[0].filterNull);
  EXPECT_EQ(L"", space_->browses[0].filter);
  EXPECT_EQ(VT_EMPTY, space_->browses[0].vt);
  EXPECT_EQ(3u, space_->browses[0].rights);

  // A filter with an embedded NUL keeps its length; the stored values go to the next browse.
  Bstr odd(L"R*\0z", 4);
  ASSERT_EQ(S_OK, browser_->put_Filter(odd.Get()));
  ASSERT_EQ(S_OK, browser_->put_DataType(VT_R8));
  ASSERT_EQ(S_OK, browser_->put_AccessRights(OPCWritable));
  ASSERT_EQ(S_OK, browser_->get_Filter(filter.ReleaseAndGetAddressOf()));
  EXPECT_EQ(4u, filter.Length());
  EXPECT_EQ(S_OK, browser_->ShowLeafs(Variant::Missing()));
  EXPECT_EQ(L"R*", space_->browses[1].filter);
  EXPECT_EQ(VT_R8, space_->browses[1].vt);
  EXPECT_EQ(2u, space_->browses[1].rights);

  // A null filter stays null for the client and reaches the server as "".
  ASSERT_EQ(S_OK, browser_->put_Filter(nullptr));
  ASSERT_EQ(S_OK, browser_->get_Filter(filter.ReleaseAndGetAddressOf()));
  EXPECT_TRUE(filter.IsNull());
  EXPECT_EQ(S_OK, browser_->ShowBranches());
  EXPECT_FALSE(space_->browses[2].filterNull);
  EXPECT_EQ(L"", space_->browses[2].filter);

  EXPECT_EQ(E_INVALIDARG, browser_->get_Filter(nullptr));
  EXPECT_EQ(E_INVALIDARG, browser_->get_DataType(nullptr));
  EXPECT_EQ(E_INVALIDARG, browser_->get_AccessRights(nullptr));
  EXPECT_EQ(E_INVALIDARG, browser_->get_Count(nullptr));
}

TEST_F(BrowserTest, OnlyABooleanTrueBrowsesFlat) {
  VARIANT_BOOL yes = VARIANT_TRUE;
  Variant boolRef;
  V_VT(boolRef.Ptr()) = VT_BOOL | VT_BYREF;
  V_BOOLREF(boolRef.Ptr()) = &yes;
  Variant scriptTrue(true);
  Variant scriptVar;  // a script variable holding True, passed by reference
  V_VT(scriptVar.Ptr()) = VT_VARIANT | VT_BYREF;
  V_VARIANTREF(scriptVar.Ptr()) = scriptTrue.Ptr();
  struct Case {
    const char* what;
    Variant flat;
    OPCBROWSETYPE expected;
  } cases[] = {
      {"True", Variant(true), OPC_FLAT},
      {"False", Variant(false), OPC_LEAF},
      {"integer 1", Variant(1), OPC_LEAF},
      {"short -1", Variant(static_cast<short>(-1)), OPC_LEAF},
      {"string True", Variant(L"True"), OPC_LEAF},
      {"missing", Variant::Missing(), OPC_LEAF},
      {"Boolean by reference", boolRef, OPC_FLAT},
      {"script variable holding True", scriptVar, OPC_FLAT},
  };
  for (auto& c : cases) {
    space_->browses.clear();
    EXPECT_EQ(S_OK, browser_->ShowLeafs(c.flat)) << c.what;
    ASSERT_EQ(1u, space_->browses.size()) << c.what;
    EXPECT_EQ(c.expected, space_->browses[0].type) << c.what;
  }
}

TEST_F(BrowserTest, OrganizationMapsTheServersAnswer) {
  LONG org = 0;
  EXPECT_EQ(S_OK, browser_->get_Organization(&org));
  EXPECT_EQ(OPCHierarchical, org);
  space_->organization = OPC_NS_FLAT;
  EXPECT_EQ(S_OK, browser_->get_Organization(&org));
  EXPECT_EQ(OPCFlat, org);
  space_->organization = static_cast<OPCNAMESPACETYPE>(7);
  EXPECT_EQ(E_FAIL, browser_->get_Organization(&org));
  space_->organizationResult = static_cast<HRESULT>(0x80041234);
  EXPECT_EQ(static_cast<HRESULT>(0x80041234), browser_->get_Organization(&org));
  EXPECT_EQ(E_INVALIDARG, browser_->get_Organization(nullptr));
}

// ----------------------------------------------------------------- collecting names

TEST_F(BrowserTest, NamesAreCollectedAHundredAtATimeInTheServersOrder) {
  for (int i = 0; i < 250; ++i) space_->names.push_back(L"n" + std::to_wstring(i));
  ASSERT_EQ(S_OK, browser_->ShowBranches());
  EXPECT_EQ((std::vector<ULONG>{100, 100, 100}), space_->nextAsked);
  auto names = Names();
  ASSERT_EQ(250u, names.size());
  for (int i = 0; i < 250; ++i) EXPECT_EQ(L"n" + std::to_wstring(i), names[i]);
  EXPECT_EQ(0, space_->enumeratorsAlive);

  // Exactly a hundred: the second Next says S_FALSE with nothing.
  space_->names.resize(100);
  space_->nextAsked.clear();
  ASSERT_EQ(S_OK, browser_->ShowLeafs(Variant::Missing()));
  EXPECT_EQ(100, Count());
  EXPECT_EQ(2u, space_->nextAsked.size());

  // An empty branch (S_FALSE from the browse, with an enumerator) is an empty list.
  space_->names.clear();
  space_->browseResult = S_FALSE;
  EXPECT_EQ(S_OK, browser_->ShowBranches());
  EXPECT_EQ(0, Count());
  EXPECT_EQ(0, space_->enumeratorsAlive);
}

TEST_F(BrowserTest, BrowseFailuresLeaveWhatWasCollectedAndReleaseTheEnumerator) {
  ShowThree();
  // A failing browse is returned and the list is still emptied.
  space_->browseResult = static_cast<HRESULT>(0xC0040203);  // OPC_E_INVALIDFILTER
  EXPECT_EQ(static_cast<HRESULT>(0xC0040203), browser_->ShowBranches());
  EXPECT_EQ(0, Count());

  // Success without an enumerator.
  space_->browseResult = S_OK;
  ShowThree();
  space_->giveEnumerator = false;
  EXPECT_EQ(E_INVALIDARG, browser_->ShowBranches());
  EXPECT_EQ(0, Count());
  space_->giveEnumerator = true;

  // Next fails on its second call: the first hundred stay.
  for (int i = 0; i < 150; ++i) space_->names.push_back(L"n" + std::to_wstring(i));
  space_->failOnCall = 2;
  EXPECT_EQ(RPC_E_DISCONNECTED, browser_->ShowLeafs(Variant(true)));
  EXPECT_EQ(100, Count());
  EXPECT_EQ(0, space_->enumeratorsAlive);
  // ... and on its first: nothing.
  space_->failOnCall = 1;
  EXPECT_EQ(RPC_E_DISCONNECTED, browser_->ShowBranches());
  EXPECT_EQ(0, Count());
  EXPECT_EQ(0, space_->enumeratorsAlive);
}

TEST_F(BrowserTest, AMisbehavingEnumeratorNeitherHangsNorOverreads) {
  space_->stuck = true;  // S_OK with nothing, for ever
  EXPECT_EQ(S_OK, browser_->ShowBranches());
  EXPECT_EQ(0, Count());
  EXPECT_EQ(1u, space_->nextAsked.size());
  space_->stuck = false;
  // A hundred names claimed as a hundred and fifty: only the room given is read.
  for (int i = 0; i < 100; ++i) space_->names.push_back(L"n" + std::to_wstring(i));
  space_->claimExtra = 50;
  EXPECT_EQ(S_OK, browser_->ShowBranches());
  EXPECT_EQ(100, Count());
  EXPECT_EQ(0, space_->enumeratorsAlive);
}

TEST_F(BrowserTest, EveryStringTheServerHandsOverIsFreed) {
  auto spy = common::Make<FreeSpy>();
  if (FAILED(CoRegisterMallocSpy(spy.Get()))) GTEST_SKIP() << "no IMallocSpy on this platform";
  gHandedOut.clear();
  for (int i = 0; i < 230; ++i) space_->names.push_back(L"n" + std::to_wstring(i));
  EXPECT_EQ(S_OK, browser_->ShowBranches());
  space_->failOnCall = 2;
  EXPECT_EQ(RPC_E_DISCONNECTED, browser_->ShowBranches());
  Bstr id;
  EXPECT_EQ(S_OK, browser_->GetItemID(Bstr(L"x").Get(), id.ReleaseAndGetAddressOf()));
  EXPECT_EQ(S_OK, browser_->get_CurrentPosition(id.ReleaseAndGetAddressOf()));
  CoRevokeMallocSpy();
  ASSERT_EQ(332u, gHandedOut.size());  // 230, then 100 before the failure, then two IDs
  size_t leaked = 0;
  for (void* p : gHandedOut) leaked += spy->freed.count(p) == 0;
  EXPECT_EQ(0u, leaked);
}

// ----------------------------------------------------------------- reading the list

TEST_F(BrowserTest, ItemTakesAOneBasedIndexInAnyConvertibleForm) {
  ShowThree();
  Bstr b;
  EXPECT_EQ(S_OK, ItemOf(Variant(1), &b));
  EXPECT_EQ(Bstr(L"a"), b);
  EXPECT_EQ(S_OK, ItemOf(Variant(L"2"), &b));
  EXPECT_EQ(Bstr(L"b"), b);
  EXPECT_EQ(S_OK, ItemOf(Variant(2.6), &b));
  EXPECT_EQ(Bstr(L"c"), b);
  LONG three = 3;
  Variant byRef;
  V_VT(byRef.Ptr()) = VT_I4 | VT_BYREF;
  V_I4REF(byRef.Ptr()) = &three;
  EXPECT_EQ(S_OK, ItemOf(byRef, &b));
  EXPECT_EQ(Bstr(L"c"), b);
  Variant text(L"1");
  Variant scriptVar;
  V_VT(scriptVar.Ptr()) = VT_VARIANT | VT_BYREF;
  V_VARIANTREF(scriptVar.Ptr()) = text.Ptr();
  EXPECT_EQ(S_OK, ItemOf(scriptVar, &b));
  EXPECT_EQ(Bstr(L"a"), b);

  b = Bstr(L"stale");
  EXPECT_EQ(E_INVALIDARG, ItemOf(Variant(0), &b));
  EXPECT_TRUE(b.IsNull());
  EXPECT_EQ(E_INVALIDARG, ItemOf(Variant(4), &b));
  EXPECT_EQ(E_INVALIDARG, ItemOf(Variant(-1), &b));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, ItemOf(Variant(L"x"), &b));
  EXPECT_EQ(DISP_E_OVERFLOW, ItemOf(Variant(1e12), &b));
  Variant dangling;
  V_VT(dangling.Ptr()) = VT_VARIANT | VT_BYREF;
  V_VARIANTREF(dangling.Ptr()) = nullptr;
  EXPECT_EQ(E_INVALIDARG, ItemOf(dangling, &b));
  EXPECT_EQ(E_INVALIDARG, browser_->Item(Variant(1), nullptr));
}

TEST_F(BrowserTest, EnumerationGivesOneStringPerNameAndKeepsItsSnapshot) {
  ComPtr<IUnknown> unk;
  ASSERT_EQ(S_OK, browser_->get__NewEnum(unk.GetAddressOf()));
  ComPtr<IEnumVARIANT> empty;
  ASSERT_EQ(S_OK, unk.As(&empty));
  Variant v[4];
  ULONG got = 9;
  EXPECT_EQ(S_FALSE, empty->Next(1, v[0].Ptr(), &got));
  EXPECT_EQ(0u, got);

  ShowThree();
  ASSERT_EQ(S_OK, browser_->get__NewEnum(unk.ReleaseAndGetAddressOf()));
  ComPtr<IEnumVARIANT> e;
  ASSERT_EQ(S_OK, unk.As(&e));
  space_->GoTo(1);
  EXPECT_EQ(S_OK, browser_->MoveUp());  // empties the list, not the enumerator
  EXPECT_EQ(0, Count());
  EXPECT_EQ(S_FALSE, e->Next(4, v[0].Ptr(), &got));
  ASSERT_EQ(3u, got);
  const wchar_t* expected[] = {L"a", L"b", L"c"};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(VT_BSTR, v[i].Type());
    EXPECT_STREQ(expected[i], V_BSTR(v[i].Ptr()));
  }
  EXPECT_EQ(E_INVALIDARG, browser_->get__NewEnum(nullptr));
}

// ----------------------------------------------------------------- moves

TEST_F(BrowserTest, EveryMoveEmptiesTheListAndPassesTheServersAnswerOn) {
  ShowThree();
  EXPECT_EQ(S_OK, browser_->MoveDown(Bstr(L"Plant").Get()));
  EXPECT_EQ(0, Count());
  EXPECT_EQ(std::vector<std::wstring>{L"Plant"}, space_->position);

  ShowThree();
  space_->downRefusal = static_cast<HRESULT>(0xC0040007);  // OPC_E_UNKNOWNITEMID
  EXPECT_EQ(static_cast<HRESULT>(0xC0040007), browser_->MoveDown(Bstr(L"missing").Get()));
  EXPECT_EQ(0, Count());
  EXPECT_EQ(S_OK, browser_->MoveDown(nullptr));  // a null name goes as ""
  EXPECT_EQ(L"", space_->downs.back());

  ShowThree();
  space_->GoTo(1);
  EXPECT_EQ(S_OK, browser_->MoveUp());
  EXPECT_EQ(0, Count());
  EXPECT_TRUE(space_->position.empty());
  ShowThree();
  EXPECT_EQ(E_FAIL, browser_->MoveUp());  // the server's refusal at the root
  EXPECT_EQ(0, Count());

  ShowThree();
  EXPECT_EQ(S_OK, browser_->MoveToRoot());
  EXPECT_EQ(0, Count());
}

TEST_F(BrowserTest, MoveToRootClimbsAtMostFiftyLevels) {
  struct Case {
    int depth;
    HRESULT result;
    int ups;
    size_t leftAt;
  } cases[] = {
      {0, S_OK, 1, 0},
      {10, S_OK, 11, 0},
      // 49 ups reach the root and the 50th is refused: the root was reached, so S_OK.
      {49, S_OK, 50, 0},
      // 50 ups all succeed: the browser stands at the root but cannot know it.
      {50, E_FAIL, 50, 0},
      {60, E_FAIL, 50, 10},
  };
  for (auto& c : cases) {
    space_->GoTo(c.depth);
    space_->ups = 0;
    EXPECT_EQ(c.result, browser_->MoveToRoot()) << "from depth " << c.depth;
    EXPECT_EQ(c.ups, space_->ups) << "from depth " << c.depth;
    EXPECT_EQ(c.leftAt, space_->position.size()) << "from depth " << c.depth;
  }
  // A server that never refuses to go up.
  space_->GoTo(0);
  space_->upAlwaysSucceeds = true;
  space_->ups = 0;
  EXPECT_EQ(E_FAIL, browser_->MoveToRoot());
  EXPECT_EQ(50, space_->ups);
}

SAFEARRAY* BstrArray(std::vector<const wchar_t*> items, LONG lower) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, lower, static_cast<ULONG>(items.size()));
  for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i) {
    LONG at = lower + i;
    Bstr b = items[i] ? Bstr(items[i]) : Bstr();
    SafeArrayPutElement(sa, &at, b.Get());
  }
  return sa;
}

struct ArrayGuard {
  SAFEARRAY* sa;
  ~ArrayGuard() { SafeArrayDestroy(sa); }
};

TEST_F(BrowserTest, MoveToGoesToTheRootThenDownEachElement) {
  // An empty array: to the root, and success.
  ShowThree();
  space_->GoTo(3);
  ArrayGuard empty{SafeArrayCreateVector(VT_BSTR, 0, 0)};
  EXPECT_EQ(S_OK, browser_->MoveTo(&empty.sa));
  EXPECT_TRUE(space_->position.empty());
  EXPECT_EQ(0, Count());

  // Any lower bound; a null element goes as "".
  space_->GoTo(2);
  ArrayGuard path{BstrArray({L"Plant", nullptr, L"Line1"}, -2)};
  EXPECT_EQ(S_OK, browser_->MoveTo(&path.sa));
  EXPECT_EQ((std::vector<std::wstring>{L"Plant", L"", L"Line1"}), space_->position);

  // Script hosts build arrays of VARIANTs.
  ArrayGuard vars{SafeArrayCreateVector(VT_VARIANT, 1, 2)};
  LONG at = 1;
  Variant plant(L"Plant");
  SafeArrayPutElement(vars.sa, &at, plant.Ptr());
  at = 2;
  Variant seven(7);
  SafeArrayPutElement(vars.sa, &at, seven.Ptr());
  EXPECT_EQ(S_OK, browser_->MoveTo(&vars.sa));
  EXPECT_EQ((std::vector<std::wstring>{L"Plant", L"7"}), space_->position);

  // The first refusal is returned; the position stays where it got to.
  ArrayGuard broken{BstrArray({L"Plant", L"missing", L"Line1"}, 1)};
  EXPECT_EQ(E_INVALIDARG, browser_->MoveTo(&broken.sa));
  EXPECT_EQ(std::vector<std::wstring>{L"Plant"}, space_->position);

  // Too deep to climb: nothing goes down.
  space_->GoTo(60);
  space_->downs.clear();
  EXPECT_EQ(E_FAIL, browser_->MoveTo(&path.sa));
  EXPECT_TRUE(space_->downs.empty());
}

TEST_F(BrowserTest, MoveToRefusesBadArraysBeforeTheServerIsCalled) {
  ShowThree();
  space_->GoTo(2);
  int before = space_->Calls();
  EXPECT_EQ(E_INVALIDARG, browser_->MoveTo(nullptr));
  SAFEARRAY* none = nullptr;
  EXPECT_EQ(E_INVALIDARG, browser_->MoveTo(&none));
  SAFEARRAYBOUND two[2] = {{2, 0}, {2, 0}};
  ArrayGuard square{SafeArrayCreate(VT_BSTR, 2, two)};
  EXPECT_EQ(E_INVALIDARG, browser_->MoveTo(&square.sa));
  ArrayGuard longs{SafeArrayCreateVector(VT_I4, 1, 2)};
  EXPECT_EQ(DISP_E_TYPEMISMATCH, browser_->MoveTo(&longs.sa));
  ArrayGuard vars{SafeArrayCreateVector(VT_VARIANT, 1, 2)};
  LONG at = 2;
  Variant unconvertible = Variant::Error(E_FAIL);
  SafeArrayPutElement(vars.sa, &at, unconvertible.Ptr());
  EXPECT_EQ(DISP_E_TYPEMISMATCH, browser_->MoveTo(&vars.sa));
  EXPECT_EQ(before, space_->Calls());
  EXPECT_EQ(2u, space_->position.size());
  EXPECT_EQ(3, Count()) << "a refused MoveTo is not a move";
}

// ----------------------------------------------------------------- item IDs

TEST_F(BrowserTest, ItemIdsComeFromTheServerAndLeaveTheListAlone) {
  ShowThree();
  space_->GoTo(2);
  Bstr id;
  ASSERT_EQ(S_OK, browser_->get_CurrentPosition(id.ReleaseAndGetAddressOf()));
  EXPECT_EQ(Bstr(L"L1.L2"), id);
  EXPECT_EQ(L"", space_->itemIdArgs.back());
  ASSERT_EQ(S_OK, browser_->GetItemID(Bstr(L"Speed").Get(), id.ReleaseAndGetAddressOf()));
  EXPECT_EQ(Bstr(L"L1.L2.Speed"), id);
  ASSERT_EQ(S_OK, browser_->GetItemID(nullptr, id.ReleaseAndGetAddressOf()));
  EXPECT_EQ(L"", space_->itemIdArgs.back());
  EXPECT_EQ(3, Count());

  space_->nullItemId = true;
  EXPECT_EQ(S_OK, browser_->GetItemID(Bstr(L"x").Get(), id.ReleaseAndGetAddressOf()));
  EXPECT_TRUE(id.IsNull());
  space_->itemIdResult = static_cast<HRESULT>(0xC0040007);
  id = Bstr(L"stale");
  EXPECT_EQ(static_cast<HRESULT>(0xC0040007), browser_->GetItemID(Bstr(L"x").Get(), id.ReleaseAndGetAddressOf()));
  EXPECT_TRUE(id.IsNull());
  EXPECT_EQ(static_cast<HRESULT>(0xC0040007), browser_->get_CurrentPosition(id.ReleaseAndGetAddressOf()));
  EXPECT_EQ(3, Count());

  size_t calls = space_->itemIdArgs.size();
  EXPECT_EQ(E_INVALIDARG, browser_->get_CurrentPosition(nullptr));
  EXPECT_EQ(E_INVALIDARG, browser_->GetItemID(Bstr(L"x").Get(), nullptr));
  EXPECT_EQ(calls, space_->itemIdArgs.size());

  Variant paths(L"left over");
  paths.Clear();
  V_VT(paths.Ptr()) = VT_I4;
  EXPECT_EQ(E_NOTIMPL, browser_->GetAccessPaths(Bstr(L"L1").Get(), paths.Ptr()));
  EXPECT_EQ(VT_EMPTY, paths.Type());
}

}  // namespace
