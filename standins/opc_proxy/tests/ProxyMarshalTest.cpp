// OpcProxy.dll carries the OPC custom interfaces across processes. This test starts a second
// copy of itself as a server, unmarshals the server's object and calls, through the proxies,
// every method whose [out] string pointers the build repairs, plus string arrays and structures
// holding strings. Each call's strings must arrive intact.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include <OpcCommon.h>
#include <OpcDataAccess.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

wchar_t* CoDup(const wchar_t* s) {
  if (!s) return nullptr;
  size_t n = (wcslen(s) + 1) * sizeof(wchar_t);
  auto* p = static_cast<wchar_t*>(CoTaskMemAlloc(n));
  if (p) memcpy(p, s, n);
  return p;
}

template <class T>
T* CoArray(size_t n) {
  return static_cast<T*>(CoTaskMemAlloc(n ? n * sizeof(T) : 1));
}

// The server side: one object with every interface under test; it answers with fixed texts
// that depend on the arguments, so a stale or shifted reply shows.
class StringServer : public IOPCServer,
                     public IOPCCommon,
                     public IOPCBrowseServerAddressSpace,
                     public IOPCGroupStateMgt,
                     public IOPCItemProperties,
                     public IOPCServerList,
                     public IOPCServerList2 {
 public:
  LONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCServer) *ppv = static_cast<IOPCServer*>(this);
    else if (riid == IID_IOPCCommon) *ppv = static_cast<IOPCCommon*>(this);
    else if (riid == IID_IOPCBrowseServerAddressSpace)
      *ppv = static_cast<IOPCBrowseServerAddressSpace*>(this);
    else if (riid == IID_IOPCGroupStateMgt) *ppv = static_cast<IOPCGroupStateMgt*>(this);
    else if (riid == IID_IOPCItemProperties) *ppv = static_cast<IOPCItemProperties*>(this);
    else if (riid == IID_IOPCServerList) *ppv = static_cast<IOPCServerList*>(this);
    else if (riid == IID_IOPCServerList2) *ppv = static_cast<IOPCServerList2*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG n = InterlockedDecrement(&refs);
    if (n == 0) PostQuitMessage(0);
    return n;
  }

  // IOPCServer
  HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR, BOOL, DWORD, OPCHANDLE, LONG*, FLOAT*, DWORD,
                                     OPCHANDLE*, DWORD*, REFIID, LPUNKNOWN*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT err, LCID, LPWSTR* out) override {
    *out = CoDup((L"server error " + std::to_wstring((unsigned long)err)).c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR, REFIID, LPUNKNOWN*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** pp) override {
    auto* s = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
    ZeroMemory(s, sizeof *s);
    s->dwServerState = OPC_STATUS_RUNNING;
    s->dwGroupCount = 7;
    s->wMajorVersion = 2;
    s->szVendorInfo = CoDup(L"Vendor text");
    *pp = s;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE, REFIID, LPUNKNOWN*) override {
    return E_NOTIMPL;
  }

  // IOPCCommon
  HRESULT STDMETHODCALLTYPE SetLocaleID(LCID) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* p) override { *p = 0x409; return S_OK; }
  HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* n, LCID** p) override {
    *n = 2;
    *p = CoArray<LCID>(2);
    (*p)[0] = 0x409;
    (*p)[1] = 0x407;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT err, LPWSTR* out) override {
    *out = CoDup((L"common error " + std::to_wstring((unsigned long)err)).c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR name) override {
    client = name ? name : L"";
    return S_OK;
  }

  // IOPCBrowseServerAddressSpace
  HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* p) override {
    *p = OPC_NS_HIERARCHIAL;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION, LPCWSTR) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE, LPCWSTR, VARTYPE, DWORD,
                                             LPENUMSTRING*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR leaf, LPWSTR* id) override {
    *id = CoDup((L"Area." + std::wstring(leaf ? leaf : L"")).c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR, LPENUMSTRING*) override { return E_NOTIMPL; }

  // IOPCGroupStateMgt
  HRESULT STDMETHODCALLTYPE GetState(DWORD* rate, BOOL* active, LPWSTR* name, LONG* bias,
                                     FLOAT* deadband, DWORD* lcid, OPCHANDLE* hClient,
                                     OPCHANDLE* hServer) override {
    *rate = 250;
    *active = TRUE;
    *name = CoDup(L"Group One");
    *bias = -60;
    *deadband = 1.5f;
    *lcid = 0x409;
    *hClient = 11;
    *hServer = 22;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetState(DWORD*, DWORD*, BOOL*, LONG*, FLOAT*, DWORD*,
                                     OPCHANDLE*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetName(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR, REFIID, LPUNKNOWN*) override { return E_NOTIMPL; }

  // IOPCItemProperties
  HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR, DWORD* n, DWORD** ids,
                                                     LPWSTR** texts, VARTYPE** types) override {
    *n = 3;
    *ids = CoArray<DWORD>(3);
    *texts = CoArray<LPWSTR>(3);
    *types = CoArray<VARTYPE>(3);
    const wchar_t* t[] = {L"Item Canonical DataType", L"Item Value", L"Item Quality"};
    for (DWORD i = 0; i < 3; ++i) {
      (*ids)[i] = i + 1;
      (*texts)[i] = CoDup(t[i]);
      (*types)[i] = VT_I2;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR, DWORD, DWORD*, VARIANT**,
                                              HRESULT**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR item, DWORD n, DWORD* ids, LPWSTR** out,
                                          HRESULT** errors) override {
    *out = CoArray<LPWSTR>(n);
    *errors = CoArray<HRESULT>(n);
    for (DWORD i = 0; i < n; ++i) {
      if (ids[i] >= 100) {
        (*out)[i] = CoDup((std::wstring(item) + L"#" + std::to_wstring(ids[i])).c_str());
        (*errors)[i] = S_OK;
      } else {
        (*out)[i] = nullptr;
        (*errors)[i] = OPC_E_INVALID_PID;
      }
    }
    return S_FALSE;
  }

  // IOPCServerList and IOPCServerList2
  HRESULT STDMETHODCALLTYPE EnumClassesOfCategories(ULONG, CATID*, ULONG, CATID*,
                                                    IEnumGUID**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE EnumClassesOfCategories(ULONG, CATID*, ULONG, CATID*,
                                                    IOPCEnumGUID**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetClassDetails(REFCLSID, LPOLESTR* progId,
                                            LPOLESTR* userType) override {
    *progId = CoDup(L"Vendor.Server.1");
    *userType = CoDup(L"Vendor Server");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetClassDetails(REFCLSID, LPOLESTR* progId, LPOLESTR* userType,
                                            LPOLESTR* verIndependent) override {
    *progId = CoDup(L"Vendor.Server.2");
    *userType = CoDup(L"Vendor Server Two");
    *verIndependent = CoDup(L"Vendor.Server");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CLSIDFromProgID(LPCOLESTR, LPCLSID clsid) override {
    *clsid = CATID_OPCDAServer20;
    return S_OK;
  }

  std::wstring client;
};

std::wstring g_self;

int Serve(const wchar_t* path) {
  CoInitialize(nullptr);
  auto* obj = new StringServer;
  IStream* stream = nullptr;
  CreateStreamOnHGlobal(nullptr, TRUE, &stream);
  HRESULT hr = CoMarshalInterface(stream, IID_IUnknown, static_cast<IOPCServer*>(obj),
                                  MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL);
  if (FAILED(hr)) return 2;
  HGLOBAL mem = nullptr;
  GetHGlobalFromStream(stream, &mem);
  std::wstring tmp = std::wstring(path) + L".tmp";
  HANDLE f = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(f, GlobalLock(mem), (DWORD)GlobalSize(mem), &written, nullptr);
  GlobalUnlock(mem);
  CloseHandle(f);
  MoveFileW(tmp.c_str(), path);
  obj->Release();  // the marshaled reference keeps it alive until the client lets go
  MSG msg;
  // Ends when the last reference goes, or after a minute should the client die.
  SetTimer(nullptr, 0, 60000, nullptr);
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER) break;
    DispatchMessageW(&msg);
  }
  stream->Release();
  CoUninitialize();
  return 0;
}

class CrossProcess : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitialize(nullptr);
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    path_ = std::wstring(dir) + L"opcproxy_objref_" + std::to_wstring(GetCurrentProcessId());
    DeleteFileW(path_.c_str());
    std::wstring cmd = L"\"" + g_self + L"\" --serve \"" + path_ + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &si, &server_));
    std::vector<char> bytes;
    for (int i = 0; i < 200 && bytes.empty(); ++i) {
      HANDLE f = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
      if (f != INVALID_HANDLE_VALUE) {
        bytes.resize(GetFileSize(f, nullptr));
        DWORD got = 0;
        ReadFile(f, bytes.data(), (DWORD)bytes.size(), &got, nullptr);
        CloseHandle(f);
      } else {
        Sleep(50);
      }
    }
    ASSERT_FALSE(bytes.empty()) << "the server process wrote no object reference";
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    memcpy(GlobalLock(mem), bytes.data(), bytes.size());
    GlobalUnlock(mem);
    IStream* stream = nullptr;
    CreateStreamOnHGlobal(mem, TRUE, &stream);
    HRESULT hr = CoUnmarshalInterface(stream, IID_IUnknown, reinterpret_cast<void**>(&unk_));
    stream->Release();
    ASSERT_EQ(hr, S_OK) << "is OpcProxy.dll registered?";
  }
  static void TearDownTestSuite() {
    if (unk_) unk_->Release();
    unk_ = nullptr;
    if (server_.hProcess) {
      EXPECT_EQ(WaitForSingleObject(server_.hProcess, 20000), WAIT_OBJECT_0);
      CloseHandle(server_.hProcess);
      CloseHandle(server_.hThread);
    }
    DeleteFileW(path_.c_str());
    CoUninitialize();
  }
  template <class I>
  I* Get(REFIID iid) {
    I* p = nullptr;
    EXPECT_EQ(unk_->QueryInterface(iid, reinterpret_cast<void**>(&p)), S_OK);
    return p;
  }
  static std::wstring Take(LPWSTR s) {
    std::wstring r = s ? s : L"<null>";
    CoTaskMemFree(s);
    return r;
  }
  static inline IUnknown* unk_ = nullptr;
  static inline PROCESS_INFORMATION server_{};
  static inline std::wstring path_;
};

TEST_F(CrossProcess, ObjectCrossesAsAProxy) {
  ASSERT_NE(unk_, nullptr);
  IOPCServer* s = Get<IOPCServer>(IID_IOPCServer);
  ASSERT_NE(s, nullptr);
  // A proxy, not the object itself: the server lives in the other process.
  IUnknown* marshal = nullptr;
  EXPECT_EQ(s->QueryInterface(IID_IClientSecurity, reinterpret_cast<void**>(&marshal)), S_OK);
  if (marshal) marshal->Release();
  s->Release();
}

TEST_F(CrossProcess, ErrorStringsOfServerAndCommon) {
  ASSERT_NE(unk_, nullptr);
  IOPCServer* s = Get<IOPCServer>(IID_IOPCServer);
  LPWSTR text = nullptr;
  ASSERT_EQ(s->GetErrorString(OPC_E_INVALIDHANDLE, 0x409, &text), S_OK);
  EXPECT_EQ(Take(text), L"server error 3221487617");
  s->Release();

  IOPCCommon* c = Get<IOPCCommon>(IID_IOPCCommon);
  text = nullptr;
  ASSERT_EQ(c->GetErrorString(E_FAIL, &text), S_OK);
  EXPECT_EQ(Take(text), L"common error 2147500037");
  DWORD n = 0;
  LCID* ids = nullptr;
  ASSERT_EQ(c->QueryAvailableLocaleIDs(&n, &ids), S_OK);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(ids[1], 0x407u);
  CoTaskMemFree(ids);
  c->Release();
}

TEST_F(CrossProcess, BrowseItemIdAndGroupName) {
  ASSERT_NE(unk_, nullptr);
  IOPCBrowseServerAddressSpace* b =
      Get<IOPCBrowseServerAddressSpace>(IID_IOPCBrowseServerAddressSpace);
  LPWSTR id = nullptr;
  wchar_t leaf[] = L"Pump7";
  ASSERT_EQ(b->GetItemID(leaf, &id), S_OK);
  EXPECT_EQ(Take(id), L"Area.Pump7");
  b->Release();

  IOPCGroupStateMgt* g = Get<IOPCGroupStateMgt>(IID_IOPCGroupStateMgt);
  DWORD rate = 0, lcid = 0;
  BOOL active = FALSE;
  LPWSTR name = nullptr;
  LONG bias = 0;
  FLOAT deadband = 0;
  OPCHANDLE hc = 0, hs = 0;
  ASSERT_EQ(g->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &hc, &hs), S_OK);
  EXPECT_EQ(Take(name), L"Group One");
  // The arguments after the string still line up.
  EXPECT_EQ(rate, 250u);
  EXPECT_EQ(bias, -60);
  EXPECT_FLOAT_EQ(deadband, 1.5f);
  EXPECT_EQ(hc, 11u);
  EXPECT_EQ(hs, 22u);
  g->Release();
}

TEST_F(CrossProcess, PropertyDescriptionsAndLookedUpItemIds) {
  ASSERT_NE(unk_, nullptr);
  IOPCItemProperties* p = Get<IOPCItemProperties>(IID_IOPCItemProperties);
  wchar_t item[] = L"Area.Pump7";
  DWORD n = 0;
  DWORD* ids = nullptr;
  LPWSTR* texts = nullptr;
  VARTYPE* types = nullptr;
  ASSERT_EQ(p->QueryAvailableProperties(item, &n, &ids, &texts, &types), S_OK);
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(ids[2], 3u);
  EXPECT_EQ(types[0], VT_I2);
  EXPECT_EQ(Take(texts[0]), L"Item Canonical DataType");
  EXPECT_EQ(Take(texts[2]), L"Item Quality");
  Take(texts[1]);
  CoTaskMemFree(ids);
  CoTaskMemFree(texts);
  CoTaskMemFree(types);

  DWORD want[] = {100, 2, 101};
  LPWSTR* found = nullptr;
  HRESULT* errors = nullptr;
  ASSERT_EQ(p->LookupItemIDs(item, 3, want, &found, &errors), S_FALSE);
  EXPECT_EQ(Take(found[0]), L"Area.Pump7#100");
  EXPECT_EQ(found[1], nullptr);
  EXPECT_EQ(errors[1], OPC_E_INVALID_PID);
  EXPECT_EQ(Take(found[2]), L"Area.Pump7#101");
  CoTaskMemFree(found);
  CoTaskMemFree(errors);
  p->Release();
}

TEST_F(CrossProcess, ServerListClassDetailsAndStatusVendor) {
  ASSERT_NE(unk_, nullptr);
  IOPCServerList* l = Get<IOPCServerList>(IID_IOPCServerList);
  LPOLESTR prog = nullptr, user = nullptr, vi = nullptr;
  ASSERT_EQ(l->GetClassDetails(CATID_OPCDAServer20, &prog, &user), S_OK);
  EXPECT_EQ(Take(prog), L"Vendor.Server.1");
  EXPECT_EQ(Take(user), L"Vendor Server");
  l->Release();

  IOPCServerList2* l2 = Get<IOPCServerList2>(IID_IOPCServerList2);
  ASSERT_EQ(l2->GetClassDetails(CATID_OPCDAServer20, &prog, &user, &vi), S_OK);
  EXPECT_EQ(Take(prog), L"Vendor.Server.2");
  EXPECT_EQ(Take(user), L"Vendor Server Two");
  EXPECT_EQ(Take(vi), L"Vendor.Server");
  l2->Release();

  IOPCServer* s = Get<IOPCServer>(IID_IOPCServer);
  OPCSERVERSTATUS* st = nullptr;
  ASSERT_EQ(s->GetStatus(&st), S_OK);
  EXPECT_EQ(st->dwGroupCount, 7u);
  EXPECT_EQ(Take(st->szVendorInfo), L"Vendor text");
  CoTaskMemFree(st);
  s->Release();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  g_self = self;
  if (argc >= 3 && wcscmp(argv[1], L"--serve") == 0) return Serve(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
