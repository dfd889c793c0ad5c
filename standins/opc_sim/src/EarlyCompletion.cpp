#include "EarlyCompletion.h"

#include <OpcDataAccess.h>

#include <cwchar>
#include <vector>

namespace opc_sim {

namespace {

// The toolkit posts this to its hidden window when asynchronous work is queued.
constexpr UINT kToolkitWorkMessage = WM_APP + 1;
const wchar_t kToolkitWindowClass[] = L"OpcToolkitEngineWindow";

template <class T>
void ReleaseNull(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

class RefCount {
 protected:
  virtual ~RefCount() = default;
  ULONG AddRefImpl() { return ++refs_; }
  ULONG ReleaseImpl() {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

 private:
  ULONG refs_ = 1;
};

#define SIM_REFCOUNT                                                   \
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }   \
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

HRESULT WrapGroup(IUnknown* inner, REFIID riid, LPUNKNOWN* ppUnk);

class GroupWrap : public IOPCItemMgt,
                  public IOPCGroupStateMgt,
                  public IOPCSyncIO,
                  public IOPCAsyncIO,
                  public IDataObject,
                  public RefCount {
 public:
  explicit GroupWrap(IUnknown* inner) {
    inner->QueryInterface(IID_IOPCItemMgt, reinterpret_cast<void**>(&items_));
    inner->QueryInterface(IID_IOPCGroupStateMgt, reinterpret_cast<void**>(&state_));
    inner->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync_));
    inner->QueryInterface(IID_IOPCAsyncIO, reinterpret_cast<void**>(&async_));
    inner->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&data_));
  }
  bool Complete() const { return items_ && state_ && sync_ && async_ && data_; }
  ~GroupWrap() override {
    ReleaseNull(items_);
    ReleaseNull(state_);
    ReleaseNull(sync_);
    ReleaseNull(async_);
    ReleaseNull(data_);
  }
  SIM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCItemMgt) *ppv = static_cast<IOPCItemMgt*>(this);
    else if (riid == IID_IOPCGroupStateMgt) *ppv = static_cast<IOPCGroupStateMgt*>(this);
    else if (riid == IID_IOPCSyncIO) *ppv = static_cast<IOPCSyncIO*>(this);
    else if (riid == IID_IOPCAsyncIO) *ppv = static_cast<IOPCAsyncIO*>(this);
    else if (riid == IID_IDataObject) *ppv = static_cast<IDataObject*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }

  // IOPCGroupStateMgt
  HRESULT STDMETHODCALLTYPE GetState(DWORD* a, BOOL* b, LPWSTR* c, LONG* d, FLOAT* e, DWORD* f,
                                     OPCHANDLE* g, OPCHANDLE* h) override {
    return state_->GetState(a, b, c, d, e, f, g, h);
  }
  HRESULT STDMETHODCALLTYPE SetState(DWORD* a, DWORD* b, BOOL* c, LONG* d, FLOAT* e, DWORD* f,
                                     OPCHANDLE* g) override {
    return state_->SetState(a, b, c, d, e, f, g);
  }
  HRESULT STDMETHODCALLTYPE SetName(LPCWSTR n) override { return state_->SetName(n); }
  HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR n, REFIID riid, LPUNKNOWN* ppUnk) override {
    if (!ppUnk) return E_INVALIDARG;
    *ppUnk = nullptr;
    IUnknown* clone = nullptr;
    HRESULT hr = state_->CloneGroup(n, IID_IUnknown, &clone);
    if (FAILED(hr)) return hr;
    HRESULT wrapped = WrapGroup(clone, riid, ppUnk);
    clone->Release();
    return FAILED(wrapped) ? wrapped : hr;
  }
  // IOPCItemMgt
  HRESULT STDMETHODCALLTYPE AddItems(DWORD n, OPCITEMDEF* d, OPCITEMRESULT** r,
                                     HRESULT** e) override {
    return items_->AddItems(n, d, r, e);
  }
  HRESULT STDMETHODCALLTYPE ValidateItems(DWORD n, OPCITEMDEF* d, BOOL b, OPCITEMRESULT** r,
                                          HRESULT** e) override {
    return items_->ValidateItems(n, d, b, r, e);
  }
  HRESULT STDMETHODCALLTYPE RemoveItems(DWORD n, OPCHANDLE* h, HRESULT** e) override {
    return items_->RemoveItems(n, h, e);
  }
  HRESULT STDMETHODCALLTYPE SetActiveState(DWORD n, OPCHANDLE* h, BOOL a, HRESULT** e) override {
    return items_->SetActiveState(n, h, a, e);
  }
  HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD n, OPCHANDLE* h, OPCHANDLE* c,
                                             HRESULT** e) override {
    return items_->SetClientHandles(n, h, c, e);
  }
  HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD n, OPCHANDLE* h, VARTYPE* t, HRESULT** e) override {
    return items_->SetDatatypes(n, h, t, e);
  }
  HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override {
    return items_->CreateEnumerator(riid, ppUnk);
  }
  // IOPCSyncIO
  HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE s, DWORD n, OPCHANDLE* h, OPCITEMSTATE** v,
                                 HRESULT** e) override {
    return sync_->Read(s, n, h, v, e);
  }
  HRESULT STDMETHODCALLTYPE Write(DWORD n, OPCHANDLE* h, VARIANT* v, HRESULT** e) override {
    return sync_->Write(n, h, v, e);
  }
  // IOPCAsyncIO: the completion goes out before the transaction ID comes back.
  HRESULT STDMETHODCALLTYPE Read(DWORD c, OPCDATASOURCE s, DWORD n, OPCHANDLE* h, DWORD* t,
                                 HRESULT** e) override {
    HRESULT hr = async_->Read(c, s, n, h, t, e);
    RunPendingCompletions();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Write(DWORD c, DWORD n, OPCHANDLE* h, VARIANT* v, DWORD* t,
                                  HRESULT** e) override {
    HRESULT hr = async_->Write(c, n, h, v, t, e);
    RunPendingCompletions();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Refresh(DWORD c, OPCDATASOURCE s, DWORD* t) override {
    HRESULT hr = async_->Refresh(c, s, t);
    RunPendingCompletions();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Cancel(DWORD t) override { return async_->Cancel(t); }
  // IDataObject
  HRESULT STDMETHODCALLTYPE GetData(FORMATETC* f, STGMEDIUM* m) override {
    return data_->GetData(f, m);
  }
  HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC* f, STGMEDIUM* m) override {
    return data_->GetDataHere(f, m);
  }
  HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* f) override { return data_->QueryGetData(f); }
  HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC* i, FORMATETC* o) override {
    return data_->GetCanonicalFormatEtc(i, o);
  }
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC* f, STGMEDIUM* m, BOOL r) override {
    return data_->SetData(f, m, r);
  }
  HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD d, IEnumFORMATETC** e) override {
    return data_->EnumFormatEtc(d, e);
  }
  HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* f, DWORD a, IAdviseSink* s, DWORD* c) override {
    return data_->DAdvise(f, a, s, c);
  }
  HRESULT STDMETHODCALLTYPE DUnadvise(DWORD c) override { return data_->DUnadvise(c); }
  HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** e) override {
    return data_->EnumDAdvise(e);
  }

 private:
  IOPCItemMgt* items_ = nullptr;
  IOPCGroupStateMgt* state_ = nullptr;
  IOPCSyncIO* sync_ = nullptr;
  IOPCAsyncIO* async_ = nullptr;
  IDataObject* data_ = nullptr;
};

HRESULT WrapGroup(IUnknown* inner, REFIID riid, LPUNKNOWN* ppUnk) {
  auto* g = new (std::nothrow) GroupWrap(inner);
  if (!g) return E_OUTOFMEMORY;
  HRESULT hr = g->Complete() ? g->QueryInterface(riid, reinterpret_cast<void**>(ppUnk))
                             : E_NOINTERFACE;
  g->Release();
  return hr;
}

class ServerWrap : public IOPCServer, public IOPCBrowseServerAddressSpace, public RefCount {
 public:
  ServerWrap(IOPCServer* server, IOPCBrowseServerAddressSpace* browse)
      : server_(server), browse_(browse) {}
  ~ServerWrap() override {
    ReleaseNull(browse_);
    ReleaseNull(server_);
  }
  SIM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCServer) *ppv = static_cast<IOPCServer*>(this);
    else if (riid == IID_IOPCBrowseServerAddressSpace)
      *ppv = static_cast<IOPCBrowseServerAddressSpace*>(this);
    else return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  // IOPCServer
  HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR name, BOOL active, DWORD rate, OPCHANDLE hClient,
                                     LONG* bias, FLOAT* deadband, DWORD lcid,
                                     OPCHANDLE* hServer, DWORD* revised, REFIID riid,
                                     LPUNKNOWN* ppUnk) override {
    if (!ppUnk) return E_INVALIDARG;
    *ppUnk = nullptr;
    IUnknown* inner = nullptr;
    HRESULT hr = server_->AddGroup(name, active, rate, hClient, bias, deadband, lcid, hServer,
                                   revised, IID_IUnknown, &inner);
    if (FAILED(hr)) return hr;
    HRESULT wrapped = WrapGroup(inner, riid, ppUnk);
    inner->Release();
    if (FAILED(wrapped)) {
      server_->RemoveGroup(*hServer, TRUE);
      return wrapped;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT e, LCID l, LPWSTR* s) override {
    return server_->GetErrorString(e, l, s);
  }
  HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR name, REFIID riid, LPUNKNOWN* ppUnk) override {
    if (!ppUnk) return E_INVALIDARG;
    *ppUnk = nullptr;
    IUnknown* inner = nullptr;
    HRESULT hr = server_->GetGroupByName(name, IID_IUnknown, &inner);
    if (FAILED(hr)) return hr;
    HRESULT wrapped = WrapGroup(inner, riid, ppUnk);
    inner->Release();
    return wrapped;
  }
  HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** s) override {
    return server_->GetStatus(s);
  }
  HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE h, BOOL force) override {
    return server_->RemoveGroup(h, force);
  }
  HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE scope, REFIID riid,
                                                  LPUNKNOWN* ppUnk) override {
    // The enumerated groups are the toolkit's own: their asynchronous calls complete later.
    return server_->CreateGroupEnumerator(scope, riid, ppUnk);
  }
  // IOPCBrowseServerAddressSpace
  HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* t) override {
    return browse_->QueryOrganization(t);
  }
  HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION d, LPCWSTR s) override {
    return browse_->ChangeBrowsePosition(d, s);
  }
  HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE t, LPCWSTR f, VARTYPE vt, DWORD r,
                                             LPENUMSTRING* e) override {
    return browse_->BrowseOPCItemIDs(t, f, vt, r, e);
  }
  HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR d, LPWSTR* id) override {
    return browse_->GetItemID(d, id);
  }
  HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR id, LPENUMSTRING* e) override {
    return browse_->BrowseAccessPaths(id, e);
  }

 private:
  IOPCServer* server_;
  IOPCBrowseServerAddressSpace* browse_;
};

class Factory : public IClassFactory, public RefCount {
 public:
  explicit Factory(opc_toolkit::IServerToolkit& toolkit) : toolkit_(toolkit) {}
  SIM_REFCOUNT
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    IOPCServer* server = nullptr;
    HRESULT hr = opc_toolkit::ConnectInProcess(toolkit_, IID_IOPCServer,
                                               reinterpret_cast<void**>(&server));
    if (FAILED(hr)) return hr;
    IOPCBrowseServerAddressSpace* browse = nullptr;
    hr = server->QueryInterface(IID_IOPCBrowseServerAddressSpace,
                                reinterpret_cast<void**>(&browse));
    if (FAILED(hr)) {
      server->Release();
      return hr;
    }
    auto* wrap = new (std::nothrow) ServerWrap(server, browse);
    if (!wrap) {
      browse->Release();
      server->Release();
      return E_OUTOFMEMORY;
    }
    hr = wrap->QueryInterface(riid, ppv);
    wrap->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  opc_toolkit::IServerToolkit& toolkit_;
};

}  // namespace

IClassFactory* CreateEarlyCompletionFactory(opc_toolkit::IServerToolkit& toolkit) {
  return new (std::nothrow) Factory(toolkit);
}

void RunPendingCompletions() {
  std::vector<MSG> others;
  MSG msg;
  while (PeekMessageW(&msg, nullptr, kToolkitWorkMessage, kToolkitWorkMessage, PM_REMOVE)) {
    wchar_t cls[64] = L"";
    if (msg.hwnd && GetClassNameW(msg.hwnd, cls, 64) && wcscmp(cls, kToolkitWindowClass) == 0)
      DispatchMessageW(&msg);
    else
      others.push_back(msg);
  }
  for (const MSG& m : others) PostMessageW(m.hwnd, m.message, m.wParam, m.lParam);
}

}  // namespace opc_sim
